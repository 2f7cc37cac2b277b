"""One-call functions and a streaming decoder over cMolvar.

``dumps`` and ``loads`` handle one value; ``Decoder`` takes a stream in
chunks of any size and returns the values each chunk completes. Every
malformed input raises ``MolvarError`` whose message starts with the byte
offset of the offending element (also kept as the ``offset`` attribute).
"""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Union

import cMolvar

from kestrix.vantle.molvar import MolvarError

__all__ = ["Decoder", "dumps", "loads"]

BytesLike = Union[bytes, bytearray, memoryview]

_TYPE_BIT = 0x80
_TYPE_STRING = 0x82
_TYPE_FLOAT = 0x84
_FLOAT_BODY_SIZE = 8
_HEADER_LIMIT = 64
# An empty list: decoded on its own it is the top-level value [], but with a
# list still open it becomes an item of that list instead.
_EMPTY_LIST = b"\x00\x80"


def dumps(value: Any) -> bytes:
    """Return the wire bytes of ``value``.

    ``value`` is an int, float, bytes, or a list or tuple of such values,
    nested to any depth. Errors are cMolvar's: ``MolvarError`` for a type
    the wire cannot carry (str, None, dict, ...), ``SystemError`` or
    ``OverflowError`` for infinities and NaN, ``RecursionError`` for values
    nested too deeply or containing themselves.
    """
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


def loads(data: BytesLike) -> Any:
    """Return the one value that ``data`` (any bytes-like object) encodes.

    ``data`` must hold exactly one complete top-level value: trailing bytes,
    a truncated element, a list left open, or any malformed element raise
    ``MolvarError``.
    """
    data = _as_bytes(data)
    if not data:
        raise _error(0, "incomplete input: no bytes")
    state = cMolvar.newState()
    values: List[Any] = []
    try:
        consumed = _receive(state, data, values.append)
    except (MolvarError, SystemError) as error:
        raise _located(error, _failure_offset(data) or 0) from error
    if not values:
        if consumed < len(data):
            raise _error(consumed, "incomplete input: the element here needs more bytes")
        raise _error(len(data), "incomplete input: a list is still open at the end")
    if len(values) > 1 or consumed < len(data) or not _no_open_list(state):
        end = _first_value_end(data)
        raise _error(end, "trailing bytes after the value (%d of %d bytes)" % (len(data) - end, len(data)))
    return values[0]


class Decoder:
    """Decodes one incoming stream, fed in chunks that may split it anywhere.

    ``feed(chunk)`` returns the top-level values that the chunk completed,
    in order. The decoder keeps the bytes of an incomplete element itself
    (``pending`` counts them) and the lists still open. A large element fed
    in many small chunks is collected until it is complete, so the cost
    stays linear. ``close()`` says whether the stream ended cleanly.

    After a decoding error the stream cannot be resynchronised: the error
    is raised, and every later ``feed`` or ``close`` raises ``MolvarError``
    again. Use a new ``Decoder`` for a new stream.
    """

    __slots__ = ("_state", "_parts", "_have", "_need", "_consumed", "_error", "_error_offset", "_closed", "_stopped")

    def __init__(self) -> None:
        self._state = cMolvar.newState()
        self._parts: List[bytes] = []  # the pending bytes, joined only when needed
        self._have = 0  # bytes in _parts
        self._need = 0  # bytes the pending element needs before decoding again
        self._consumed = 0  # stream offset of the first pending byte
        self._error: Optional[MolvarError] = None
        self._error_offset = 0
        self._closed = False
        self._stopped = False  # closed or failed

    @property
    def pending(self) -> int:
        """Bytes received but not yet decoded: the start of an incomplete element."""
        return self._have

    @property
    def consumed(self) -> int:
        """Bytes decoded so far: delivered, or stored in a list still open."""
        return self._consumed

    @property
    def error(self) -> Optional[MolvarError]:
        """The error that stopped this decoder, or None."""
        return self._error

    def feed(self, chunk: BytesLike) -> List[Any]:
        """Decode ``chunk`` (any bytes-like object) after the pending bytes.

        Returns the top-level values completed by it, possibly none. On a
        malformed element raises ``MolvarError``; the values completed
        before that element in the same call are on the error's ``values``.
        """
        if self._stopped:
            self._check_usable()
        data = chunk if type(chunk) is bytes else _as_bytes(chunk)
        parts = self._parts
        parts.append(data)
        have = self._have = self._have + len(data)
        if have < self._need:
            return []  # a long element still arriving: no decoding until it is whole
        data = parts[0] if len(parts) == 1 else b"".join(parts)
        self._parts = []
        self._have = 0
        self._need = 0
        values: List[Any] = []
        try:
            consumed = cMolvar.dataReceived(self._state, data, values.append)
        except (MolvarError, SystemError) as error:
            offset = self._consumed + (_failure_offset(data) or 0)
            raise self._fail(offset, _located(error, offset, values)) from error
        except BaseException as error:
            # The state may hold part of this chunk: it cannot go on.
            self._fail(self._consumed, _error(self._consumed, "decoder stopped by %s" % type(error).__name__))
            raise
        assert consumed is not None  # None only for arguments of the wrong kind
        self._consumed += consumed
        if consumed < len(data):
            tail = data[consumed:] if consumed else data
            self._parts.append(tail)
            self._have = len(tail)
            self._need = _element_size(tail)
        return values

    def close(self) -> None:
        """End the stream; raise ``MolvarError`` if it stopped inside a value.

        That is, inside an element (``pending`` bytes) or inside a list
        still open. The decoder takes no more input after this.
        """
        self._check_usable()
        self._closed = self._stopped = True
        if self._have:
            message = "truncated input: %d bytes of an incomplete element" % self._have
            raise self._fail(self._consumed, _error(self._consumed, message))
        if not _no_open_list(self._state):
            message = "truncated input: a list is still open at the end"
            raise self._fail(self._consumed, _error(self._consumed, message))

    def _fail(self, offset: int, error: MolvarError) -> MolvarError:
        self._error = error
        self._error_offset = offset
        self._stopped = True
        return error

    def _check_usable(self) -> None:
        if self._error is not None:
            raise _error(
                self._error_offset, "decoder stopped by an earlier error (%s)" % self._error.args[0]
            ) from self._error
        if self._closed:
            raise _error(self._consumed, "decoder is closed")


def _as_bytes(data: Any) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        raise TypeError("a bytes-like object is required, not 'str'")
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError("a bytes-like object is required, not %r" % type(data).__name__) from None


def _error(offset: int, message: str, values: Optional[List[Any]] = None) -> MolvarError:
    error = MolvarError("byte offset %d: %s" % (offset, message))
    error.offset = offset  # type: ignore[attr-defined]
    error.values = values or []  # type: ignore[attr-defined]
    return error


def _located(error: BaseException, offset: int, values: Optional[List[Any]] = None) -> MolvarError:
    """A MolvarError for a decoding failure, whatever class cMolvar raised."""
    message = str(error).strip() or type(error).__name__
    return _error(offset, message, values)


def _receive(state: Any, data: bytes, callback: Callable[[Any], object]) -> int:
    consumed = cMolvar.dataReceived(state, data, callback)
    if consumed is None:  # only for arguments of the wrong kind
        raise TypeError("dataReceived refused its arguments")
    return consumed


def _discard(value: Any) -> None:
    pass


def _fails(data: bytes) -> bool:
    try:
        _receive(cMolvar.newState(), data, _discard)
    except Exception:
        return True
    return False


def _failure_offset(data: bytes) -> Optional[int]:
    """Where the element that the decoder refuses starts in ``data``.

    Whether an element is refused depends only on its own bytes, not on the
    lists around it, and once refused it stays refused however many bytes
    follow. So the shortest failing prefix ends inside that element, and the
    longest one that passes stops at its first byte.
    """
    if not _fails(data):
        return None
    passes, fails = 0, len(data)
    while fails - passes > 1:
        middle = (passes + fails) // 2
        if _fails(data[:middle]):
            fails = middle
        else:
            passes = middle
    return _receive(cMolvar.newState(), data[:passes], _discard)


def _first_value_end(data: bytes) -> int:
    """The length of the shortest prefix of ``data`` that holds a whole value."""

    def delivers(length: int) -> bool:
        values: List[Any] = []
        _receive(cMolvar.newState(), data[:length], values.append)
        return bool(values)

    lacks, holds = 0, len(data)
    while holds - lacks > 1:
        middle = (lacks + holds) // 2
        if delivers(middle):
            holds = middle
        else:
            lacks = middle
    return holds


def _no_open_list(state: Any) -> bool:
    """Whether ``state`` has no list open. It changes the state when one is."""
    probe: List[Any] = []
    _receive(state, _EMPTY_LIST, probe.append)
    return probe == [[]]


def _element_size(tail: bytes) -> int:
    """How many bytes the incomplete element at the start of ``tail`` needs.

    The decoder has already checked its header against the limits. When
    only header digits have arrived, one more byte may complete it.
    """
    digits = 0
    while digits < len(tail) and tail[digits] < _TYPE_BIT and digits <= _HEADER_LIMIT:
        digits += 1
    if digits == len(tail):
        return len(tail) + 1
    element_type = tail[digits]
    if element_type == _TYPE_FLOAT:
        return digits + 1 + _FLOAT_BODY_SIZE
    if element_type == _TYPE_STRING:
        return digits + 1 + _header_value(tail[:digits])
    return len(tail) + 1


def _header_value(digits: bytes) -> int:
    """The signed 32-bit number that header ``digits`` denote.

    Digit i is shifted left by (7 * i) mod 32 bits and the sum wraps at
    32 bits, exactly as the decoder reads headers.
    """
    total = 0
    for index, digit in enumerate(digits):
        total = (total + (digit << ((7 * index) % 32))) & 0xFFFFFFFF
    return total - (1 << 32) if total & 0x80000000 else total
