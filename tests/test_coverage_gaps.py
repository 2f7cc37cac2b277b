"""Paths of the codec that the rest of the suite left unreached (the
coverage session's report) or let change unnoticed (scripts/mutants): one
test per behaviour. docs/development.md lists the paths no test can reach."""

import gc
import math
import re

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
    # or a tuple (each item loop has its own) writes what the converter
    # writes for the same int alone.
    for value in EDGES:
        alone = dumps([value])
        for after in (dumps([WIDE, value]), dumps((WIDE, value))):
            assert after[2:] == dumps([WIDE])[2:] + alone[2:], value
            assert loads(after) == [WIDE, value]
    assert loads(dumps([WIDE] + EDGES)) == loads(dumps(tuple([WIDE] + EDGES))) == [WIDE] + EDGES


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
    # The digits of the big int (four full host digits: as many as the room
    # reserved for them) fill the block, exactly at some prefix length, and
    # its type byte starts the next one.
    value = -(2**120 - 1)
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


def test_a_result_handed_over_is_never_written_by_the_next_encode():
    # A large content's block is the result itself; clear() lets go of it,
    # so that what comes next is written into a block of its own.
    buf = cMolvar.newBuf()
    cMolvar.encode([b"x" * 40000], buf)
    first = buf.get()
    kept = bytes(bytearray(first))
    buf.clear()
    cMolvar.encode([b"y" * 40000], buf)
    assert first == kept and buf.get() == kept.replace(b"x", b"y")


def test_a_list_count_with_bit_31_set():
    wire = b"\x00\x00\x00\x00\x08\x80"  # 2**31 items
    with pytest.raises(MolvarError, match="a list of 2147483648 items declared") as error:
        loads(wire)
    assert error.value.offset == 0
    with pytest.raises(SystemError):
        decode(wire)
    for limits in ({}, {"max_buffer_size": 1 << 20}):  # the limited decoder is a reader of its own
        with pytest.raises(MolvarError, match="2147483648 items"):
            Decoder(**limits).feed(wire)


def test_loads_refuses_what_follows_the_first_value():
    # Whole elements after it are trailing bytes, at its end; a malformed
    # one among them is reported where it is. Either way the value is kept.
    for first in (5, [1, [2]], b"ab", 2**100):
        end = len(dumps(first))
        with pytest.raises(MolvarError, match="trailing bytes") as error:
            loads(dumps(first) + dumps(7) + dumps([8]))
        assert error.value.values == [first] and error.value.offset == end
        with pytest.raises(MolvarError, match="invalid type byte 0xff") as error:
            loads(dumps(first) + dumps(7) + b"\xff")
        assert error.value.values == [first] and error.value.offset == end + 2


def test_a_failed_dumps_after_a_large_value_leaves_its_buffer_ready():
    # The failure drops the block in a bytes object that the value had
    # grown; the kept buffer then serves the next call whole.
    large = b"x" * 40_000
    with pytest.raises(MolvarError):
        dumps([large, None])
    assert loads(dumps([large[:-1], 5])) == [large[:-1], 5]


def test_a_long_list_cut_by_a_chunk_goes_through_a_frame_that_is_recycled():
    # Cut, it is not made whole: its frame's block of more than the kept
    # size is freed when the frame is recycled, and the next list reuses it.
    value = list(range(300))
    wire = dumps(value)
    decoder = Decoder()
    for _ in range(3):
        assert decoder.feed(wire[:100]) == [] and decoder.feed(wire[100:]) == [value]


def test_scalars_alone_in_a_list_and_in_a_tuple_are_refused_alike():
    # A value alone and each item loop have copies of their own of the
    # scalar writers: a float that is not finite, a byte string longer than
    # a header holds, and one longer than a reader takes (under strict), are
    # refused by each, with the path.
    from kestrix.vantle.molvar import _native

    big = b"x" * (_native._thresholds["SIZE_LIMIT"] + 1)
    huge = bytes(2**32 + 2)  # zero pages that are never touched
    for wrap, path in ((lambda v: v, ""), (lambda v: [v], " at [0]"), (lambda v: (v,), " at [0]")):
        for value in (math.inf, -math.inf, math.nan):
            with pytest.raises(ValueError, match=re.escape("cannot encode %r%s: only finite" % (value, path))):
                dumps(wrap(value))
            with pytest.raises(SystemError):
                encode(wrap(value))
        with pytest.raises(MolvarError, match="bytes too long to encode: %d" % len(huge)):
            encode(wrap(huge))
        with pytest.raises(MolvarError, match=re.escape("of %d bytes%s: readers" % (len(big), path))):
            dumps(wrap(big), strict=True)
        assert dumps(wrap(big)) == encode(wrap(big)) and dumps(wrap(big)).endswith(b"\x82" + big)


def test_a_result_got_inside_dumps_is_never_written(monkeypatch):
    # A converter that gets the content of dumps' own buffer through its
    # `write` shares the block's bytes object: what the converter writes
    # next goes into a block of its own, even in a buffer whose content
    # dumps would otherwise resize in place.
    own = cMolvar.pyint2b128
    got = []

    def getting(magnitude, write):
        content = write.__self__.get()
        got.append((content, bytes(bytearray(content))))
        own(magnitude, write)

    monkeypatch.setattr(cMolvar, "pyint2b128", getting)
    large = b"x" * 40_000
    wire = dumps([large, 2**100])
    (content, copy), = got
    assert content == copy and wire.startswith(content) and len(wire) > len(content)
    assert loads(wire) == [large, 2**100]


def test_the_own_converter_found_through_a_module_getattr_is_looked_up_again(monkeypatch):
    # Found by an attribute lookup (host code) rather than in the namespace,
    # the companion's own converter does its work natively, but is not
    # settled: the next wide int asks again, and gets what is there then.
    own = cMolvar.pyint2b128
    alone = dumps(WIDE)
    asked = []

    def module_getattr(name):
        if name != "pyint2b128":
            raise AttributeError(name)
        asked.append(name)
        return own if len(asked) == 1 else (lambda magnitude, write: write(b"\x01"))

    monkeypatch.delattr(cMolvar, "pyint2b128")
    monkeypatch.setattr(cMolvar, "__getattr__", module_getattr, raising=False)
    wire = dumps([WIDE, WIDE + 1, 2**100])
    assert len(asked) == 3
    assert wire == b"\x03\x80" + alone + b"\x01\x85\x01\x85"


def test_a_namespace_lookup_that_raises_is_the_error_of_the_encode(monkeypatch):
    # A key of the converter name's hash whose comparison raises: the look-up
    # in the namespace fails, and its error is the one raised, with no
    # attribute lookup after it (which would find nothing and say so).
    class Colliding:
        armed = True

        def __hash__(self):
            return hash("pyint2b128")

        def __eq__(self, other):
            if Colliding.armed:
                Colliding.armed = False
                raise LookupError("compared")
            return NotImplemented

    monkeypatch.delattr(cMolvar, "pyint2b128")
    monkeypatch.setitem(vars(cMolvar), Colliding(), None)
    with pytest.raises(LookupError, match="compared"):
        dumps(2**100)
    assert not Colliding.armed


def test_loads_reports_a_trailing_value_it_holds_to_the_collector(monkeypatch):
    # While loads reads what follows its value, the last whole value read
    # is held by its state, which the collector then sees holding it.
    own = cMolvar.pyb1282int
    holders = []

    def collecting(digits):
        for found in [obj for obj in gc.get_objects() if type(obj) is list and obj == [b"held-by-the-state"]]:
            holders.extend(type(holder).__name__ for holder in gc.get_referrers(found))
        return own(digits)

    monkeypatch.setattr(cMolvar, "pyb1282int", collecting)
    with pytest.raises(MolvarError, match="trailing bytes") as error:
        loads(dumps(5) + dumps([b"held-by-the-state"]) + dumps(2**100))
    assert error.value.values == [5]
    assert "cMolvarState" in holders
