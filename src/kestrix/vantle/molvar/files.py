"""Values on binary files: regular files, pipes, sockets' ``makefile``.

``dump`` writes one value, ``load`` reads the one value that the rest of a
file holds, and ``iter_load`` yields the values of a stream as they arrive.
They take any binary file object: buffered or raw, seekable or not. Byte
offsets in their errors count from where they started reading.
"""

from __future__ import annotations

import io
from typing import Any, BinaryIO, Callable, Iterable, Iterator, List, Optional

# The package binds these before it imports this module.
from kestrix.vantle.molvar import Decoder, MolvarError, dumps, loads

__all__ = ["dump", "load", "iter_load"]

DEFAULT_CHUNK_SIZE = 65536

# The most memory a decoded value takes per byte of its wire form, with its
# slot in the list of values a feed returns: an empty list is one byte, 80,
# and a 56-byte object. Under max_buffer_size B, a read is fed in slices of
# B // VALUE_BYTES_PER_WIRE_BYTE bytes and the values of each are handed
# over before the next is decoded, so that they hold about B at most,
# whatever the read size.
VALUE_BYTES_PER_WIRE_BYTE = 64


def dump(value: Any, fp: BinaryIO, *, strict: bool = False) -> None:
    """Write the wire bytes of ``value`` to the binary file ``fp``.

    Errors are those of ``dumps`` (``strict`` as there); nothing is written
    for a value that cannot be encoded. A raw file that takes part of the bytes is written
    again until it has taken them all. Like ``json.dump``, this does not
    flush ``fp``: flush a buffered pipe or socket file before waiting for
    the peer's answer.
    """
    if isinstance(fp, io.TextIOBase):
        raise TypeError("dump needs a binary file, not a text file")
    data = memoryview(dumps(value, strict=strict))
    raw = isinstance(fp, io.RawIOBase)
    while data:
        written = fp.write(data)
        if written is None:
            if raw:  # a non-blocking raw file that took nothing
                raise BlockingIOError("dump: the file took no bytes (it is non-blocking)")
            return  # a file-like object that reports nothing: it took them all
        if written >= len(data):
            return
        data = data[written:]


def load(fp: BinaryIO) -> Any:
    """Read ``fp`` to its end and return the one value that those bytes hold.

    The errors are those of ``loads`` on the same bytes: ``MolvarError`` for
    an empty rest, trailing bytes, a truncated value or malformed input,
    its offset counted from where reading began. Malformed input raises as
    soon as it arrives, without waiting for the end of a pipe or socket.
    """
    read = _reader(fp, "load")
    decoder = Decoder()
    parts: List[bytes] = []  # kept to report errors exactly as loads does
    values: List[Any] = []  # the first value, and a second one if any
    while True:
        chunk = read(DEFAULT_CHUNK_SIZE)
        if not chunk:
            break
        parts.append(chunk)
        if len(values) < 2:
            values += decoder.feed(chunk)[:2]  # its MolvarError locates the element as loads would
    if len(values) == 1 and not decoder.pending:
        try:
            decoder.close()
        except MolvarError:
            pass  # a list left open: loads explains it below
        else:
            return values[0]
    return loads(b"".join(parts))  # raises the error that loads gives


def iter_load(
    fp: BinaryIO,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    *,
    max_depth: Optional[int] = None,
    max_buffer_size: Optional[int] = None,
) -> Iterator[Any]:
    """Yield every value of the stream on ``fp`` until its end.

    Reads at most ``chunk_size`` bytes at a time and yields each value as
    soon as its last byte has arrived (on a buffered file it reads what is
    available rather than waiting for a whole chunk). Values completed
    before an error have been yielded when it is raised: ``MolvarError``
    for malformed input, or for an end of file in the middle of a value,
    with ``offset`` counted from where reading began.

    ``max_depth`` and ``max_buffer_size`` are the ``Decoder``'s limits, for
    a stream from a peer that is not trusted: more lists open at once, or
    more bytes held for values not yet yielded, raise ``MolvarError`` at
    that byte, whatever the reads. Bad limits raise here, before anything
    is read.
    """
    check_chunk_size(chunk_size)
    decoder = new_decoder("iter_load() ", max_depth, max_buffer_size)
    return _iter_load(_reader(fp, "iter_load"), chunk_size, decoder, slice_size(max_buffer_size))


def check_chunk_size(chunk_size: int) -> None:
    """Refuse a chunk size that is not a positive int: a read of 0 bytes
    would look like the end of the stream."""
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError("chunk_size must be an int, not %r" % type(chunk_size).__name__)
    if chunk_size <= 0:
        raise ValueError("chunk_size must be positive, not %d" % chunk_size)


def check_limit(limit: Optional[int], name: str) -> None:
    """Refuse a limit that is not None or a positive int, naming it as the
    caller knows it (``name``: "iter_load() max_depth")."""
    if limit is None:
        return
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError("%s must be an int or None, not %s" % (name, type(limit).__name__))
    if limit < 1:
        raise ValueError("%s must be at least 1, or None" % name)


def new_decoder(caller: str, max_depth: Optional[int], max_buffer_size: Optional[int]) -> Decoder:
    """A Decoder with these limits; bad ones are refused in the caller's
    name (``caller``: "iter_load() ", or "Echo." for a protocol's)."""
    check_limit(max_depth, caller + "max_depth")
    check_limit(max_buffer_size, caller + "max_buffer_size")
    return Decoder(max_depth=max_depth, max_buffer_size=max_buffer_size)


def slice_size(max_buffer_size: Optional[int]) -> Optional[int]:
    """How many bytes of a read to feed at once under ``max_buffer_size``
    (None: the whole read)."""
    if max_buffer_size is None:
        return None
    return max(1, max_buffer_size // VALUE_BYTES_PER_WIRE_BYTE)


def feed_slices(decoder: Decoder, chunk: bytes, step: Optional[int]) -> Iterator[List[Any]]:
    """The values ``chunk`` completes, as lists, ``step`` bytes of it fed at
    a time (all at once for None). The caller hands each list over before
    asking for the next. A MolvarError raises after the values completed
    before it, yielded as one more list."""
    if step is None or len(chunk) <= step:
        pieces: Iterable[Any] = (chunk,)
    else:
        view = memoryview(chunk)
        pieces = (view[start : start + step] for start in range(0, len(view), step))
    for piece in pieces:
        try:
            values = decoder.feed(piece)
        except MolvarError as error:
            yield getattr(error, "values", [])
            raise
        yield values
        del values  # handed over: not kept while the next slice is decoded


def _iter_load(
    read: Callable[[int], bytes], chunk_size: int, decoder: Decoder, step: Optional[int]
) -> Iterator[Any]:
    while True:
        chunk = read(chunk_size)
        if not chunk:
            break
        for values in feed_slices(decoder, chunk, step):
            yield from values
            del values
    decoder.close()


def _reader(fp: BinaryIO, caller: str) -> Callable[[int], bytes]:
    """A ``read(size)`` on ``fp`` that returns what is available, at most
    ``size`` bytes and at least one, or b"" at the end of the file."""
    read: Optional[Callable[[int], Any]] = getattr(fp, "read1", None)
    if read is None:  # raw files and most file-like objects: one read is one system call
        read = getattr(fp, "read", None)
        if read is None:
            raise TypeError("%s needs a binary file object, not %r" % (caller, type(fp).__name__))
    checked_read = read

    def read_some(size: int) -> bytes:
        chunk = checked_read(size)
        if chunk is None:
            raise BlockingIOError("%s: no bytes yet on a non-blocking file" % caller)
        if isinstance(chunk, str):
            raise TypeError("%s needs a binary file, not a text file" % caller)
        data: bytes = chunk
        return data

    return read_some
