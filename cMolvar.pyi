"""Native codec for nested values: a compact, self-delimiting wire format.

Import ``kestrix.vantle.molvar`` (or anything from it) before encoding or
decoding integers outside the signed 32-bit range: it installs the two
big-integer converters. Most code wants that package's ``dumps``,
``loads`` and ``Decoder`` rather than these four functions.

``cMolvarBuf`` and ``cMolvarState`` are not attributes of the module at run
time; use them in annotations only.
"""

from typing import Any, Callable, List, Optional, Tuple, Union, final

from kestrix.vantle.molvar import MolvarError as MolvarError

_BytesLike = Union[bytes, bytearray, memoryview]

# What encode accepts (list and tuple items may be any of these, nested)
# and what dataReceived delivers (tuples come back as lists).
_Encodable = Union[int, float, bytes, List[Any], Tuple[Any, ...]]
_Decoded = Union[int, float, bytes, List[Any]]

@final
class cMolvarBuf:
    """A growable output buffer; make one with ``newBuf()``."""

    def write(self, data: _BytesLike, /) -> None:
        """Append the raw bytes of ``data`` (any bytes-like object).

        Raises TypeError naming ``write`` for anything else.
        """
    def clear(self) -> None:
        """Empty the buffer; its memory is kept for the next values."""
    def get(self) -> bytes:
        """Return a copy of the bytes written so far; the buffer is unchanged."""

@final
class cMolvarState:
    """The lists one incoming stream has opened and not yet completed.

    Make one per stream with ``newState()`` and pass it to every
    ``dataReceived`` call for that stream. It has no methods.
    """

def newBuf() -> cMolvarBuf:
    """Return a new, empty output buffer."""

def encode(value: _Encodable, buf: cMolvarBuf, /) -> None:
    """Append the wire form of ``value`` to ``buf``.

    ``value`` is an int, float or bytes, or a list or tuple of such values
    nested up to 5000 deep. Raises MolvarError for any other type (str, None,
    dict, ...) or when ``buf`` is not a ``cMolvarBuf``; SystemError for an
    infinity or NaN; RecursionError for lists nested more than 5000 deep or
    that contain themselves; RuntimeError when host code run in the middle
    of a list resizes it. Bytes already appended for a failed value stay in
    the buffer.
    """

def newState() -> cMolvarState:
    """Return a new decoder state with no list open."""

def dataReceived(state: cMolvarState, data: bytes, callback: Callable[[_Decoded], object], /) -> Optional[int]:
    """Decode every complete element at the front of ``data``.

    Each completed top-level value is passed to ``callback``; lists still
    open are kept in ``state``. Returns the number of bytes consumed: the
    caller must present ``data[consumed:]`` again, ahead of the next chunk.

    Returns None, and decodes nothing, when ``callback`` is not callable,
    and also (after printing a line on the C standard output) when
    ``data`` is not bytes or ``state`` is not from ``newState()``.

    Raises MolvarError for an over-limit list or string, an unknown
    vocabulary index or an invalid type byte; SystemError for a header of
    more than 64 digit bytes or a negative list count; and whatever
    ``callback`` raises. The position reached is then unknown: the stream
    cannot go on.
    """

def pyint2b128(magnitude: int, write: Callable[[bytes], object]) -> None:
    """Write the base-128 digits of ``magnitude`` (>= 0), least significant first.

    Installed by ``kestrix.vantle.molvar`` when it is imported; ``encode``
    calls it for ints outside the signed 32-bit range.
    """

def pyb1282int(digits: bytes) -> int:
    """Return the int that base-128 ``digits`` (least significant first) denote.

    Installed by ``kestrix.vantle.molvar`` when it is imported;
    ``dataReceived`` calls it for big integers.
    """
