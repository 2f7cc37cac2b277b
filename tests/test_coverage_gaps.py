"""Paths of the codec that the rest of the suite left unreached (the
coverage session's report) or let change unnoticed (scripts/mutants): one
test per behaviour. docs/development.md lists the paths no test can reach."""

import pytest

import cMolvar
from conftest import decode, encode
from kestrix.vantle.molvar import Decoder, MolvarError, dumps, loads

WIDE = 2**40  # a first wide int: the ones after it in its list are written natively

# Around each width the encoder treats apart: 32 bits (the header), two and
# three host digits, 63 and 64 bits, the reader's 448.
EDGES = [
    sign * (2**bits + delta)
    for bits in (31, 32, 60, 62, 63, 64, 90, 447)
    for delta in (-1, 0, 1)
    for sign in (1, -1)
] + [2**448 - 1, -(2**448 - 1)]


def test_wide_ints_after_the_first_of_a_list_encode_as_alone():
    # The native writer that takes over after the first wide int of a list
    # writes what the converter writes for the same int alone.
    for value in EDGES:
        alone = dumps([value])
        after = dumps([WIDE, value])
        assert after[2:] == dumps([WIDE])[2:] + alone[2:], value
        assert loads(after) == [WIDE, value]
    assert loads(dumps([WIDE] + EDGES)) == [WIDE] + EDGES


def test_strict_refuses_a_too_wide_int_after_a_settled_one():
    assert loads(dumps([WIDE, 2**448 - 1], strict=True)) == [WIDE, 2**448 - 1]
    for value in (2**448, -(2**448)):
        with pytest.raises(MolvarError, match=r"2\*\*448 or more at \[1\]"):
            dumps([WIDE, value], strict=True)


def test_an_int_subclass_whose_comparison_lies_is_refused_by_the_converter():
    class Liar(int):
        def __lt__(self, other):
            return True  # "below zero", so its magnitude is its negation: below zero

    with pytest.raises(ValueError, match="takes a magnitude"):
        dumps(Liar(WIDE))
    buf = cMolvar.newBuf()
    with pytest.raises(ValueError):
        cMolvar.encode([1, Liar(WIDE)], buf)


def test_a_big_ints_type_byte_written_past_the_end_of_its_block():
    # The digits of the big int fill the block, exactly at some prefix
    # length, and its type byte starts the next one.
    value = -(2**100)
    for size in range(990, 1040):
        item = [b"\xaa" * size, value, 7]
        wire = encode(item)
        assert decode(wire)[0] == [item], size
        buf = cMolvar.newBuf()
        cMolvar.encode(item, buf)
        cMolvar.encode(item, buf)
        assert buf.get() == wire + wire


def test_a_limited_decoder_reuses_its_frames_after_long_lists():
    # A frame whose item block grew past what is kept gives it back when
    # it is recycled; short lists that follow take a frame of their own.
    long = list(range(300))
    wire = dumps([long, [1, [2, long]], [3]])
    decoder = Decoder(max_buffer_size=1 << 20)
    for _ in range(3):
        for start in range(0, len(wire), 97):
            values = decoder.feed(wire[start : start + 97])
        assert values == [[long, [1, [2, long]], [3]]]
    decoder.close()
