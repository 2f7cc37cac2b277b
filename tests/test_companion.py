"""The companion package: its metadata, and its big-integer converters
(base-128 digits, least significant first)."""

import doctest
from importlib import metadata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import cMolvar
from kestrix.vantle import molvar
from kestrix.vantle.molvar import MolvarError, pyb1282int, pyint2b128


def digits_of(magnitude):
    written = []
    pyint2b128(magnitude, written.append)
    return b"".join(written)


@pytest.mark.parametrize(
    "value, digits",
    [
        (0, b"\x00"),
        (1, b"\x01"),
        (127, b"\x7f"),
        (128, b"\x00\x01"),
        (300, b"\x2c\x02"),
        (2**31, b"\x00\x00\x00\x00\x08"),
        (2**56 - 1, b"\x7f" * 8),
        (2**56, b"\x00" * 8 + b"\x01"),
        (2**448 - 1, b"\x7f" * 64),
    ],
)
def test_known_digits(value, digits):
    assert digits_of(value) == digits
    assert pyb1282int(digits) == value


@given(st.integers(min_value=0, max_value=2**448))
def test_round_trip_up_to_448_bits(value):
    digits = digits_of(value)
    assert all(byte < 0x80 for byte in digits)
    assert digits == b"\x00" or digits[-1] != 0
    assert pyb1282int(digits) == value


def test_every_power_of_two_boundary_round_trips():
    for bits in range(449):
        for value in (2**bits - 1, 2**bits, 2**bits + 1):
            assert pyb1282int(digits_of(value)) == value


def test_empty_and_zero_padded_digits():
    assert pyb1282int(b"") == 0
    assert pyb1282int(b"\x05\x00\x00") == 5


def test_refusals():
    with pytest.raises(ValueError):
        pyint2b128(-1, print)
    with pytest.raises(MolvarError):
        pyb1282int(b"\x80")


@given(st.integers(min_value=0, max_value=2**5000))
def test_numbers_longer_than_one_block_round_trip(value):
    digits = digits_of(value)
    assert pyb1282int(digits) == value
    assert pyb1282int(digits + b"\x00" * 70) == value


def test_block_boundaries():
    for count in (63, 64, 65, 127, 128, 129):
        for value in (2 ** (7 * count) - 1, 2 ** (7 * (count - 1))):
            digits = digits_of(value)
            assert len(digits) == count
            assert pyb1282int(digits) == value


@settings(max_examples=300)
@given(st.lists(st.integers(min_value=-(2**600), max_value=2**600) | st.integers(-(2**64), 2**64), max_size=6))
def test_native_conversion_matches_the_installed_converters(values):
    """While the companion's converters are installed, the codec converts
    natively (the wide ints of one list after one look-up); any other
    converter is called. Both give the same bytes and values."""
    native = molvar.dumps(values)
    cMolvar.pyint2b128 = lambda magnitude, write: molvar.pyint2b128(magnitude, write)
    cMolvar.pyb1282int = lambda digits: molvar.pyb1282int(digits)
    try:
        called = molvar.dumps(values)
        small = all(abs(value) < 2**448 for value in values)  # 64 digits at most
        called_back = molvar.loads(native) if small else None
    finally:
        cMolvar.pyint2b128, cMolvar.pyb1282int = molvar.pyint2b128, molvar.pyb1282int
    assert native == called
    if called_back is not None:
        assert molvar.loads(native) == called_back == values


@settings(max_examples=300)
@given(st.binary(max_size=64).map(lambda raw: bytes(byte & 0x7F for byte in raw)), st.sampled_from([b"\x85", b"\x86"]))
def test_native_reading_takes_any_digits_as_the_converter_does(digits, type_byte):
    """Leading zero digits, no digits at all, a negative zero: the native
    reading gives what the companion's converter gives, alone and in a list
    (where the big ints after the first are read without a look-up)."""
    wire = b"\x04\x80" + (digits + type_byte) * 4
    native = molvar.loads(wire)
    cMolvar.pyb1282int = lambda digits: molvar.pyb1282int(digits)
    try:
        called = molvar.loads(wire)
    finally:
        cMolvar.pyb1282int = molvar.pyb1282int
    assert native == called == [called[0]] * 4
    assert all(type(value) is int and hash(value) == hash(called[0]) for value in native)


def test_version_help_and_its_example():
    """One version everywhere, and help() opens with an example that runs."""
    assert molvar.__version__ == metadata.version("cMolvar")
    assert molvar.__doc__.split("\n\n")[1].lstrip().startswith(">>> from kestrix.vantle.molvar import")
    assert doctest.testmod(molvar, raise_on_error=True).attempted >= 5
