"""The codec against a plain-Python model of the wire format.

The encoder and the decoder take shortcuts for speed (exact-type paths,
digits written and summed in one pass, item slots reserved ahead); the
model takes none. Any difference in bytes, values, consumed counts or
errors is a fault of a shortcut.
"""

import math
import struct
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import cMolvar
from kestrix.vantle.molvar import MolvarError, pyb1282int

from conftest import decode, decode_chunks, encode

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
VOCABULARY = (
    b"Dummy None class dereference reference dictionary function instance list module persistent tuple "
    b"unpersistable copy cache cached remote local lcache version login password challenge perspective "
    b"inperspective cachemessage message answer error decref decache uncache"
).split()


def header(n):
    digits = bytearray()
    while True:
        digits.append(n & 0x7F)
        n >>= 7
        if not n:
            return bytes(digits)


def model_encode(value):
    if isinstance(value, (list, tuple)):
        return header(len(value)) + b"\x80" + b"".join(map(model_encode, value))
    if isinstance(value, int):
        if 0 <= value <= INT32_MAX:
            return header(value) + b"\x81"
        if INT32_MIN <= value < 0:
            return header(-value) + b"\x83"
        return header(abs(value)) + (b"\x85" if value > 0 else b"\x86")
    if isinstance(value, float):
        return b"\x84" + struct.pack(">d", value + 0.0)  # -0.0 travels as 0.0
    if isinstance(value, bytes):
        return header(len(value)) + b"\x82" + value
    raise TypeError(value)


def model_decode(data):
    """One call on a fresh state: (values, consumed, (class, text) or None)."""
    values, stack = [], []

    def deliver(value):
        (stack[-1][1] if stack else values).append(value)
        while stack and len(stack[-1][1]) == stack[-1][0]:
            items = stack.pop()[1]
            (stack[-1][1] if stack else values).append(items)

    pos = 0
    try:
        while pos < len(data):
            start = pos
            while data[pos] < 0x80:
                pos += 1
                if pos - start > 64:
                    raise SystemError(
                        "Security precaution: more than 64 bytes of prefix (this should raise an exception).\n"
                    )
                if pos == len(data):
                    return values, start, None
            kind, digits = data[pos], data[start:pos]
            pos += 1
            v = sum(d << (7 * i % 32) for i, d in enumerate(digits)) % 2**32
            v = v - 2**32 if v >= 2**31 else v
            if kind == 0x80:
                if v > 655360:
                    raise MolvarError("Security precaution: List too long.\n")
                if v < 0:
                    raise SystemError("negative list size")
                stack.append((v, []))
                if v == 0:
                    deliver(stack.pop()[1])
            elif kind == 0x81:
                deliver(v)
            elif kind == 0x82:
                if not 0 <= v <= 655360:
                    raise MolvarError("Security precaution: String too long.\n")
                if len(data) - pos < v:
                    return values, start, None
                deliver(data[pos : pos + v])
                pos += v
            elif kind == 0x83:
                deliver(-v if v != INT32_MIN else v)
            elif kind == 0x84:
                if len(data) - pos < 8:
                    return values, start, None
                body = bytearray(data[pos : pos + 8])
                if body[0] & 0x7F == 0x7F and body[1] >= 0xF0:  # exponent 2047: an infinity
                    body[1] &= 0xF0
                    body[2:] = bytes(6)
                deliver(struct.unpack(">d", body)[0])
                pos += 8
            elif kind in (0x85, 0x86):
                number = pyb1282int(digits)
                deliver(-number if kind == 0x86 else number)
            elif kind == 0x87:
                if not 0 <= v < 32:
                    raise MolvarError("Vocab String Not Found: %d" % v)
                deliver(VOCABULARY[v])
            else:
                raise MolvarError("Invalid Type Byte: %d" % kind)
    except Exception as error:
        return values, None, (type(error), str(error))
    return values, pos, None


def outcome(feed):
    """(values, consumed or None, (class, text) or None) of a decoding."""
    values = []
    try:
        consumed = feed(values.append)
    except Exception as error:
        return values, None, (type(error), str(error))
    return values, consumed, None


def same_error(got, expected):
    if expected is None or got is None:
        return got == expected
    if expected[1] == "negative list size":  # the host list constructor's own text
        return got[0] is SystemError
    return got == expected


def same_values(a, b):
    """Equal, with NaN-free floats compared by their bits (0.0 vs -0.0)."""
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(same_values, a, b))
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack(">d", a) == struct.pack(">d", b)
    return type(a) is type(b) and a == b


# Values: the int boundaries of every header length and of the 32-bit range.
boundaries = [0, 1, 127, 128, 16383, 16384, 2**21 - 1, 2**21, 2**28 - 1, 2**28, INT32_MAX, 2**31, 2**32, 2**64]
ints = st.one_of(
    st.sampled_from(boundaries + [-b for b in boundaries] + [INT32_MIN, INT32_MIN - 1]),
    st.integers(INT32_MIN, INT32_MAX),
    st.integers(-(2**200), 2**200),
)
finite_floats = st.floats(allow_nan=False, allow_infinity=False)
leaves = st.one_of(ints, finite_floats, st.binary(max_size=40))


def containers(inner, size):
    return st.one_of(inner, st.lists(inner, max_size=size), st.lists(inner, max_size=size).map(tuple))


values = containers(containers(containers(leaves, 6), 6), 10)


@settings(max_examples=300, deadline=None)
@given(values)
def test_encode_matches_model(value):
    assert encode(value) == model_encode(value)


class IntSub(int):
    pass


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "value",
    [IntSub(5), IntSub(-(2**40)), FloatSub(2.5), BytesSub(b"ab"), ListSub([1, (2,)]), True, [False, True]],
    ids=repr,
)
def test_subtypes_encode_as_their_base(value):
    assert encode(value) == model_encode(value)


# Streams: well-formed elements mixed with every kind of hostile one.
digit_runs = st.one_of(
    st.binary(max_size=6).map(lambda b: bytes(x & 0x7F for x in b)),
    st.sampled_from([b"", b"\x00", b"\x7f\x7f\x7f\x7f\x0f", b"\x00\x00\x28", b"\x01\x00\x28", b"\x7f" * 6]),
    st.integers(60, 66).map(lambda n: b"\x01" * n),
)
elements = st.one_of(
    st.builds(model_encode, values),
    st.tuples(digit_runs, st.integers(0x80, 0xFF).map(lambda t: bytes([t])), st.binary(max_size=12)).map(b"".join),
    st.integers(0, 20).map(lambda n: header(n) + b"\x80"),
)
streams = st.lists(elements, max_size=12).map(b"".join)


@settings(max_examples=300, deadline=None)
@given(streams)
def test_one_call_matches_model(data):
    got = outcome(lambda deliver: cMolvar.dataReceived(cMolvar.newState(), data, deliver))
    expected = model_decode(data)
    assert same_values(got[0], expected[0]) and got[1] == expected[1] and same_error(got[2], expected[2])


@settings(max_examples=300, deadline=None)
@given(streams, st.lists(st.integers(0, 400), max_size=8))
def test_any_chunking_matches_one_call(data, cuts):
    cuts = sorted({min(cut, len(data)) for cut in cuts})
    chunks = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]

    def fed(deliver):
        state, pending = cMolvar.newState(), b""
        for chunk in chunks:
            pending += chunk
            pending = pending[cMolvar.dataReceived(state, pending, deliver) :]
        return len(data) - len(pending)

    got = outcome(fed)
    expected = model_decode(data)
    assert same_values(got[0], expected[0]) and same_error(got[2], expected[2])
    if expected[2] is None:
        assert got[1] == expected[1]


@settings(max_examples=100, deadline=None)
@given(st.lists(values, min_size=1, max_size=5), st.integers(1, 64))
def test_fixed_size_chunks_deliver_every_value(sent, size):
    wire = b"".join(map(model_encode, sent))
    got, pending = decode_chunks([wire[i : i + size] for i in range(0, len(wire), size)])
    assert pending == b"" and same_values(got, [model_decode(model_encode(v))[0][0] for v in sent])


def test_byte_strings_of_every_short_size_are_copied_whole():
    # Up to 32 bytes, a body is copied as two fixed-size pieces that overlap
    # (1-3, 4-7, 8-16, 17-32 bytes), past that by one copy; each byte is
    # distinct, so that a piece put in the wrong place shows. Each size is
    # written alone and between others, at every offset in the block.
    bodies = [bytes(range(1 + n % 7, 1 + n % 7 + n)) for n in range(0, 41)]
    for body in bodies:
        assert encode([body]) == model_encode([body])
    assert encode(bodies) == model_encode(bodies)
    assert encode(bodies[::-1] + [b"\xff" * 33]) == model_encode(bodies[::-1] + [b"\xff" * 33])


def test_header_digits_past_the_fifth_wrap():
    # The sixth digit lands at bit 3, the seventh at bit 10.
    assert decode(b"\x00\x00\x00\x00\x00\x01\x81") == ([8], 7)
    assert decode(b"\x01\x00\x00\x00\x00\x00\x01\x81") == ([1 + 1024], 8)
    assert decode(b"\x00\x00\x00\x00\x08\x83") == ([INT32_MIN], 6)
    assert decode(b"\x00" * 64 + b"\x81") == ([0], 65)


def test_float_bodies_with_exponent_2047_read_as_infinities():
    for body, expected in [(b"\x7f\xf0" + bytes(6), math.inf), (b"\xff\xf8" + bytes(5) + b"\x01", -math.inf)]:
        assert decode(b"\x84" + body) == ([expected], 9)


def test_reserved_slots_are_bounded_by_the_bytes_received():
    # Lists that announce the most items allowed, nested, with no items:
    # what the decoder holds must follow the bytes, not the announcements.
    hostile = b"\x00\x00\x28\x80" * 2000
    state = cMolvar.newState()
    tracemalloc.start()
    try:
        assert cMolvar.dataReceived(state, hostile, print) == len(hostile)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 200 * len(hostile)
    del state


def test_a_list_filled_across_calls_keeps_its_items():
    wire = model_encode([list(range(50)), [b"x" * 10] * 30, []])
    for size in (1, 3, 64):
        got, pending = decode_chunks([wire[i : i + size] for i in range(0, len(wire), size)])
        assert got == [[list(range(50)), [b"x" * 10] * 30, []]] and pending == b""


def test_big_int_converters_are_looked_up_at_each_use(monkeypatch):
    # A replacement installed after the first big int is the one called.
    assert decode(encode(2**70)) == ([2**70], len(encode(2**70)))
    calls = []
    monkeypatch.setattr(cMolvar, "pyint2b128", lambda magnitude, write: calls.append(magnitude) or write(b"\x05"))
    monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: calls.append(digits) or 99)
    assert encode(-(2**70)) == b"\x05\x86"
    assert decode(b"\x05\x86") == ([-99], 2)
    assert calls == [2**70, b"\x05"]
    monkeypatch.delattr(cMolvar, "pyint2b128")
    with pytest.raises(AttributeError):
        encode(2**70)


def test_converter_replaced_by_host_code_within_a_list(monkeypatch):
    # Wide ints after the first in a list skip the look-up only until host
    # code runs: here an int subclass's comparison installs a replacement.
    calls = []

    class Rebinding(int):
        def __lt__(self, other):
            monkeypatch.setattr(cMolvar, "pyint2b128", lambda magnitude, write: calls.append(magnitude) or write(b"\x05"))
            return int(self) < other

    wire = encode([2**40, 2**41, Rebinding(2**42), 2**43, 2**70])
    assert calls == [2**42, 2**43, 2**70]
    assert wire == b"\x05\x80" + model_encode(2**40) + model_encode(2**41) + b"\x05\x85" * 3


def test_converter_replaced_by_host_code_in_a_nested_list(monkeypatch):
    # A settled look-up carries into nested lists and back out of them, until
    # host code runs anywhere in the value: after it, at any depth, the next
    # wide int asks again, and host code that empties a parent is seen there.
    calls = []
    replacement = lambda magnitude, write: calls.append(magnitude) or write(b"\x05")

    class Rebinding(int):
        def __lt__(self, other):
            monkeypatch.setattr(cMolvar, "pyint2b128", replacement)
            return int(self) < other

    value = [[2**40], (2**41, [[Rebinding(2**42)]], 2**43), [2**44], 2**45]
    wire = encode(value)
    assert calls == [2**42, 2**43, 2**44, 2**45]
    monkeypatch.undo()
    assert decode(wire) == ([[[2**40], [2**41, [[5]], 5], [5], 5]], len(wire))  # b"\x05" is the digits of 5

    parent = [[2**40], []]

    class Emptying(int):
        def __lt__(self, other):
            parent.clear()
            return int(self) < other

    parent[1].append(Emptying(2**41))
    parent.append(2**70)
    with pytest.raises(RuntimeError, match="list changed size during encoding"):
        encode(parent)


def test_converter_that_empties_the_list_being_encoded(monkeypatch):
    # Items are lent to the encoder: host code run for a big int may drop
    # them, and the encoder must neither read freed items nor go past the end,
    # nor leave a header that promises more items than follow.
    victim = [2**70, 2**71, b"x" * 100, 3.5]
    real = cMolvar.pyint2b128

    def clearing(magnitude, write):
        victim.clear()
        real(magnitude, write)

    monkeypatch.setattr(cMolvar, "pyint2b128", clearing)
    buf = cMolvar.newBuf()
    with pytest.raises(RuntimeError, match="list changed size during encoding"):
        cMolvar.encode(victim, buf)
    assert buf.get() == b"\x04\x80" + model_encode(2**70)


@pytest.mark.parametrize("route", ["colliding key", "module getattr"])
def test_host_code_in_the_converters_look_up_that_empties_the_list(monkeypatch, route):
    # Finding pyint2b128 can run host code: a namespace key of another type
    # with the name's hash is compared through its __eq__, and a name not in
    # the namespace goes to the module's __getattr__. It may free the wide
    # int being written (no other reference holds it), and the look-up is
    # then not settled: the list is read again.
    victim = []
    own = cMolvar.pyint2b128
    monkeypatch.delattr(cMolvar, "pyint2b128")
    if route == "colliding key":
        class Colliding:
            def __hash__(self):
                return hash("pyint2b128")

            def __eq__(self, other):
                victim.clear()
                return NotImplemented

        monkeypatch.setitem(vars(cMolvar), Colliding(), None)
        monkeypatch.setattr(cMolvar, "pyint2b128", own, raising=False)  # probed after the colliding key
    else:
        def module_getattr(name):
            victim.clear()
            return own

        monkeypatch.setattr(cMolvar, "__getattr__", module_getattr, raising=False)
    victim.extend([2**70 + 12345, 2**71 + 1, 2**72 + 7])
    buf = cMolvar.newBuf()
    with pytest.raises(RuntimeError, match="list changed size during encoding"):
        cMolvar.encode(victim, buf)
    assert buf.get() == b"\x03\x80" + model_encode(2**70 + 12345)


def test_frames_and_their_blocks_are_reused_not_leaked():
    # States made and dropped per message, lists of every size class,
    # streams cut mid-list: what the decoder keeps for reuse stays bounded.
    wire = model_encode([[list(range(n)) for n in (0, 3, 9, 40, 70, 300)], [b"x"] * 20])
    chunks = [wire[:50], wire[50:]]

    def run():
        for _ in range(30):
            decode(wire)
            decode_chunks(chunks)
            state = cMolvar.newState()
            cMolvar.dataReceived(state, wire[: len(wire) // 2], print)  # dropped with open lists

    run()
    tracemalloc.start()
    try:
        run()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(5):
            run()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20000
