"""Host-side companion of the cMolvar codec.

It provides the exception class that cMolvar raises, ``MolvarError``, and
the two conversions of big integers to and from base-128 digit bytes, least
significant digit first (the order of the wire format's headers). Importing
this module installs the conversions into ``cMolvar`` as ``pyint2b128`` and
``pyb1282int``.

``MolvarError`` is defined before ``cMolvar`` is imported, because cMolvar
imports this module to find it: either import order gives one class.

The one-call functions ``dumps`` and ``loads`` and the streaming
``Decoder`` come from ``kestrix.vantle.molvar.api``; ``python3 -m
kestrix.vantle.molvar`` is the command-line tool.
"""


class MolvarError(Exception):
    """A malformed, over-limit or unencodable value met by cMolvar."""


_DIGIT_BITS = 7
# Seven bytes hold exactly eight digits, so both conversions go a 56-bit
# group at a time: linear in the size of the number.
_GROUP_BYTES = 7
_GROUP_DIGITS = 8


def pyint2b128(magnitude, write):
    """Write the base-128 digits of ``magnitude`` (an int >= 0) through ``write``.

    The digits come least significant first, one byte each (0x00-0x7F),
    with no trailing zero digits; 0 is the single digit 0x00.
    """
    magnitude = int(magnitude)
    if magnitude < 0:
        raise ValueError("pyint2b128 takes a magnitude, not %d" % magnitude)
    raw = magnitude.to_bytes((magnitude.bit_length() + 7) // 8 or 1, "little")
    digits = bytearray()
    for offset in range(0, len(raw), _GROUP_BYTES):
        group = int.from_bytes(raw[offset : offset + _GROUP_BYTES], "little")
        for _ in range(_GROUP_DIGITS):
            digits.append(group & 0x7F)
            group >>= _DIGIT_BITS
    while len(digits) > 1 and digits[-1] == 0:
        digits.pop()
    write(bytes(digits))


def pyb1282int(digits):
    """Return the int that base-128 ``digits`` (least significant first) denote.

    Each byte must be a digit, 0x00-0x7F; an empty string denotes 0.
    """
    digits = bytes(digits)
    if any(byte > 0x7F for byte in digits):
        raise MolvarError("not a base-128 digit string: %r" % digits[:16])
    raw = bytearray()
    for offset in range(0, len(digits), _GROUP_DIGITS):
        group = 0
        for index, digit in enumerate(digits[offset : offset + _GROUP_DIGITS]):
            group |= digit << (_DIGIT_BITS * index)
        raw += group.to_bytes(_GROUP_BYTES, "little")
    return int.from_bytes(raw, "little")


import cMolvar  # noqa: E402  (after MolvarError: cMolvar looks it up here)

cMolvar.pyint2b128 = pyint2b128
cMolvar.pyb1282int = pyb1282int

# Last: the API uses both MolvarError and the installed converters.
from kestrix.vantle.molvar.api import Decoder, dumps, loads  # noqa: E402,F401
