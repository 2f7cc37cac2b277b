"""Property tests: decode(encode(v)) gives v back, however the bytes are split."""

import math
import struct

from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import decode, decode_chunks, encode

INT32 = 2**31


def near(point, spread=3):
    return st.integers(min_value=point - spread, max_value=point + spread)


ints = st.one_of(
    st.integers(min_value=-INT32, max_value=INT32 - 1),
    near(INT32),
    near(-INT32),
    near(0),
    st.integers(min_value=-(2**448) + 1, max_value=2**448 - 1),
    st.booleans(),
)
floats = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.floats(min_value=-2.3e-308, max_value=2.3e-308, allow_subnormal=True),
)
scalars = st.one_of(ints, floats, st.binary(max_size=300))
values = st.recursive(
    scalars,
    lambda children: st.one_of(st.lists(children, max_size=6), st.lists(children, max_size=6).map(tuple)),
    max_leaves=40,
)


def canonical(value):
    """What decoding gives back: lists for tuples, ints for bools, 0.0 for
    -0.0, with each float tagged by its exact bits so that types and signs
    are compared too."""
    if isinstance(value, (list, tuple)):
        return ["list", [canonical(item) for item in value]]
    if isinstance(value, float):
        return ["float", struct.pack(">d", value + 0.0)]
    if isinstance(value, int):
        return ["int", int(value)]
    return [type(value).__name__, value]


@given(values)
def test_round_trip(value):
    wire = encode(value)
    decoded, consumed = decode(wire)
    assert consumed == len(wire)
    assert [canonical(item) for item in decoded] == [canonical(value)]


@given(st.lists(values, min_size=1, max_size=4), st.data())
@settings(max_examples=200)
def test_any_split_decodes_the_same(stream, data):
    wire = b"".join(encode(value) for value in stream)
    cuts = sorted(data.draw(st.lists(st.integers(min_value=0, max_value=len(wire)), max_size=12)))
    chunks = [wire[start:end] for start, end in zip([0] + cuts, cuts + [len(wire)])]
    decoded, pending = decode_chunks(chunks)
    assert pending == b""
    assert [canonical(item) for item in decoded] == [canonical(value) for value in stream]


short_scalars = st.one_of(ints, floats, st.binary(max_size=40))


@given(st.lists(st.one_of(short_scalars, short_scalars, values), min_size=2, max_size=80), st.data())
@settings(max_examples=200)
def test_long_lists_any_split(items, data):
    # The scalars of a list are taken in runs; a run ends at another
    # element, at the list's last slot or item, and at the chunk's end. A
    # list of more than 64 items hands its block over to the list made.
    wire = encode(items)
    cuts = sorted(data.draw(st.lists(st.integers(min_value=0, max_value=len(wire)), max_size=6)))
    chunks = [wire[start:end] for start, end in zip([0] + cuts, cuts + [len(wire)])]
    decoded, pending = decode_chunks(chunks)
    assert (pending, [canonical(item) for item in decoded]) == (b"", [canonical(items)])


@given(values)
@settings(max_examples=50)
def test_one_byte_at_a_time(value):
    wire = encode(value)
    decoded, pending = decode_chunks(wire[i : i + 1] for i in range(len(wire)))
    assert (pending, [canonical(item) for item in decoded]) == (b"", [canonical(value)])


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_are_big_endian_binary64(value):
    assert encode(value) == b"\x84" + struct.pack(">d", value + 0.0)
    (back,), _ = decode(encode(value))
    assert back == value and math.copysign(1.0, back) == math.copysign(1.0, value + 0.0)
