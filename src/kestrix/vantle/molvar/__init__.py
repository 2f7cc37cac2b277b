"""Encode nested values to a compact wire format, and decode them back.

    >>> from kestrix.vantle.molvar import dumps, loads, Decoder
    >>> wire = dumps([1, b"ab", 2.5])
    >>> loads(wire)
    [1, b'ab', 2.5]
    >>> decoder = Decoder()              # one per incoming stream
    >>> decoder.feed(wire[:3]), decoder.feed(wire[3:])
    ([], [[1, b'ab', 2.5]])
    >>> decoder.close()                  # raises if the stream stopped mid-value

Values are ints (bool too), floats, bytes, and lists or tuples of them;
lists come back for tuples. ``dumps``, ``loads`` and ``Decoder`` are
native; ``dump``, ``load`` and ``iter_load`` work on binary files;
``kestrix.vantle.molvar.aio`` carries values on asyncio connections, and
``python3 -m kestrix.vantle.molvar`` is the command-line tool. Malformed
input raises ``MolvarError``, with the byte offset of the element at fault.

The package is also the host side of the ``cMolvar`` extension: it defines
the ``MolvarError`` that cMolvar raises, and importing it installs the
big-integer conversions ``pyint2b128`` and ``pyb1282int`` (base-128 digits,
least significant first) into ``cMolvar``.
"""

# Import order: MolvarError is defined before cMolvar is imported, because
# cMolvar imports this module to find it, so either import order gives one
# class. cMolvar binds that class once per process: when this module runs
# again (its first import failed part way, after cMolvar had bound the
# class), it takes the class back from cMolvar instead of defining another.

__all__ = ["MolvarError", "pyint2b128", "pyb1282int", "dumps", "loads", "Decoder", "dump", "load", "iter_load"]


import sys
from typing import Type, cast

from kestrix.vantle.molvar._version import __version__ as __version__


class MolvarError(Exception):
    """A malformed, over-limit or unencodable value met by cMolvar.

    Raised by ``loads`` and ``Decoder`` for input they cannot decode, it
    carries ``offset``, the stream offset of the element at fault, and
    ``values``, the values completed before it in the same call. Raised by
    the encoder or by cMolvar's own functions, it carries neither.
    """

    offset: int
    values: list


def _class_bound_by_cmolvar(defined: Type[MolvarError]) -> Type[MolvarError]:
    """The MolvarError that cMolvar already raises, if an earlier run of
    this module gave it one, else ``defined``."""
    bound = getattr(sys.modules.get("cMolvar"), "MolvarError", None)
    if isinstance(bound, type) and bound.__module__ == __name__ and bound.__qualname__ == defined.__qualname__:
        return cast(Type[MolvarError], bound)
    return defined


MolvarError = _class_bound_by_cmolvar(MolvarError)  # type: ignore[misc]


_DIGIT_BITS = 7
# Both conversions move 7-bit digits between 8-bit lanes and a packed
# number with a few whole-number mask operations: lanes are paired, then
# the pairs paired, and so on (log2 of the digit count in steps). Numbers
# longer than one block go a block at a time, so the cost stays linear.
_BLOCK_LEVELS = 6
_BLOCK_DIGITS = 1 << _BLOCK_LEVELS  # 64 digits ...
_BLOCK_BYTES = _BLOCK_DIGITS * _DIGIT_BITS // 8  # ... hold exactly 56 bytes


def _lane_masks(levels):
    """Per level, the mask of the payload (7 << level bits) of every lower
    half of a lane of 16 << level bits, across 2**levels digit bytes."""
    size = 1 << levels
    return tuple(
        int.from_bytes(((1 << (_DIGIT_BITS << level)) - 1).to_bytes(2 << level, "little") * (size >> level + 1), "little")
        for level in range(levels)
    )


_MASKS = [_lane_masks(levels) for levels in range(_BLOCK_LEVELS + 1)]


def _spread(number, count):
    """The digit bytes of ``number``, which has at most ``count`` <= 64 digits."""
    levels = (count - 1).bit_length()
    masks = _MASKS[levels]
    for level in range(levels - 1, -1, -1):
        low = masks[level]
        number = (number & low) | ((number >> (_DIGIT_BITS << level) & low) << (8 << level))
    return number.to_bytes(count, "little")


def _pack(digits):
    """The number that at most 64 digit bytes denote."""
    levels = (len(digits) - 1).bit_length() if digits else 0
    masks = _MASKS[levels]
    number = int.from_bytes(digits, "little")
    for level in range(levels):
        low = masks[level]
        number = (number & low) | ((number >> (8 << level) & low) << (_DIGIT_BITS << level))
    return number


def pyint2b128(magnitude, write):
    """Write the base-128 digits of ``magnitude`` (an int >= 0) through ``write``.

    The digits come least significant first, one byte each (0x00-0x7F),
    with no trailing zero digits; 0 is the single digit 0x00.
    """
    magnitude = int(magnitude)
    if magnitude < 0:
        raise ValueError("pyint2b128 takes a magnitude, not %d" % magnitude)
    count = (magnitude.bit_length() + _DIGIT_BITS - 1) // _DIGIT_BITS or 1
    if count <= _BLOCK_DIGITS:
        write(_spread(magnitude, count))
        return
    raw = magnitude.to_bytes(-(-count // _BLOCK_DIGITS) * _BLOCK_BYTES, "little")
    digits = b"".join(
        _spread(int.from_bytes(raw[offset : offset + _BLOCK_BYTES], "little"), _BLOCK_DIGITS)
        for offset in range(0, len(raw), _BLOCK_BYTES)
    )
    write(digits[:count])


def pyb1282int(digits):
    """Return the int that base-128 ``digits`` (least significant first) denote.

    Each byte must be a digit, 0x00-0x7F; an empty string denotes 0.
    """
    digits = bytes(digits)
    if not digits.isascii():  # a byte with bit 7 set
        raise MolvarError("not a base-128 digit string: %r" % digits[:16])
    if len(digits) <= _BLOCK_DIGITS:
        return _pack(digits)
    raw = b"".join(
        _pack(digits[offset : offset + _BLOCK_DIGITS]).to_bytes(_BLOCK_BYTES, "little")
        for offset in range(0, len(digits), _BLOCK_DIGITS)
    )
    return int.from_bytes(raw, "little")


def _import_cmolvar():
    """cMolvar, or None in a subinterpreter, which it refuses to load in."""
    try:
        import cMolvar
    except ImportError as error:
        if "does not support loading in subinterpreters" not in str(error):
            raise
        return None
    return cMolvar


cMolvar = _import_cmolvar()  # after MolvarError: cMolvar looks it up here
if cMolvar is not None:
    cMolvar.pyint2b128 = pyint2b128
    cMolvar.pyb1282int = pyb1282int

# Last: the native API binds MolvarError, and cMolvar with its converters
# installed where this interpreter loads it (elsewhere it uses its own).
from kestrix.vantle.molvar._native import Decoder, dumps, loads  # noqa: E402,F401
from kestrix.vantle.molvar.files import dump, iter_load, load  # noqa: E402,F401  (after dumps and loads)
