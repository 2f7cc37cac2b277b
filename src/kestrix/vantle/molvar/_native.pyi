"""The native dumps, loads and Decoder of kestrix.vantle.molvar."""

from typing import Any, Dict, List, Optional, Union, final

from kestrix.vantle.molvar import MolvarError

_BytesLike = Union[bytes, bytearray, memoryview]

# The sizes at which the buffer and the encoder change what they do (for tests).
_thresholds: Dict[str, int]

def dumps(value: Any, /, *, strict: bool = False) -> bytes:
    """Return the wire bytes of ``value``; with ``strict``, refuse what no reader accepts."""

def loads(data: _BytesLike, /) -> Any:
    """Return the one value that ``data`` encodes."""

@final
class Decoder:
    """Decodes one incoming stream, fed in chunks that may split it anywhere."""

    def __init__(self, *, max_depth: Optional[int] = None, max_buffer_size: Optional[int] = None) -> None:
        """``max_depth``: the most lists open at once; ``max_buffer_size``: the
        most bytes held for values not yet delivered. None: the format's own
        limits only. Going over raises ``MolvarError`` at that byte."""
    def feed(self, chunk: _BytesLike, /) -> List[Any]:
        """Decode ``chunk`` after the pending bytes; return the values it completed."""
    def close(self) -> None:
        """End the stream; raise ``MolvarError`` if it stopped inside a value."""
    @property
    def pending(self) -> int:
        """Bytes received but not yet decoded: the start of an incomplete element."""
    @property
    def consumed(self) -> int:
        """Bytes decoded so far: delivered, or stored in a list still open."""
    @property
    def error(self) -> Optional[MolvarError]:
        """The MolvarError that stopped this decoder, or None."""
