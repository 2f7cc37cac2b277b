"""Hostile peers and hostile host code: bounded cost, no crash, no lost data."""

import gc
import sys
import textwrap
import threading
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import cMolvar
from kestrix.vantle import molvar
from conftest import decode, decode_chunks, encode, run_python

MAX_LIST = b"\x00\x00\x28\x80"  # a list of 655360, the most a header may announce


# --- memory grows with the bytes received, not with the headers -------------


def test_nested_maximal_headers_cost_memory_in_proportion_to_their_bytes():
    data = MAX_LIST * 4096  # 16 KB
    tracemalloc.start()
    try:
        state = cMolvar.newState()
        assert cMolvar.dataReceived(state, data, pytest.fail) == len(data)
        _, peak = tracemalloc.get_traced_memory()
        del state
    finally:
        tracemalloc.stop()
    # An eager list per header would be 5 MB each, 20 GB in all.
    assert peak < 2 * 1024 * 1024


def test_items_of_a_maximal_list_cost_memory_as_they_arrive():
    state = cMolvar.newState()
    tracemalloc.start()
    try:
        assert cMolvar.dataReceived(state, MAX_LIST + b"\x81" * 1000, pytest.fail) == 1004
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current < 64 * 1024


def test_no_list_with_empty_slots_is_reachable_between_chunks():
    # Run apart: touching a list with empty slots would crash the interpreter.
    result = run_python(textwrap.dedent("""
        import gc
        import cMolvar, kestrix.vantle.molvar
        marker = b"marker-" + bytes(range(20))
        state = cMolvar.newState()
        data = b"\\x00\\x00\\x28\\x80\\x03\\x80" + b"\\x1b\\x82" + marker + b"\\x05\\x81"
        assert cMolvar.dataReceived(state, data, print) == len(data)
        holders = []
        for obj in gc.get_objects():
            if type(obj) is list and obj is not holders:
                for item in obj:
                    if type(item) is bytes and item == marker and item is not marker:
                        holders.append(obj)
        assert not holders, "an open list is reachable"
        values = []
        cMolvar.dataReceived(state, b"\\x06\\x81", values.append)
        assert values == [], values
        print("ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


@pytest.mark.parametrize("size", [0, 1, 3, 4, 5, 7, 8, 9, 16, 17, 100, 1000, 4099])
def test_lists_around_the_growth_steps_come_back_whole(size):
    value = [[i, b"%d" % i] for i in range(size)]
    wire = encode(value)
    assert decode(wire) == ([value], len(wire))
    # Item by item, so the open list grows between calls.
    values, pending = decode_chunks(wire[i : i + 3] for i in range(0, len(wire), 3))
    assert values == [value] and pending == b""


def test_a_maximal_list_fills_completely():
    value = list(range(655360))
    wire = encode(value)
    assert decode(wire) == ([value], len(wire))


leaves = st.one_of(
    st.integers(min_value=-(2**200), max_value=2**200),
    st.floats(allow_nan=False, allow_infinity=False),
    st.binary(max_size=40),
)
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=12), max_leaves=40)


@settings(max_examples=100, deadline=None)
@given(value=values, cuts=st.lists(st.integers(min_value=0, max_value=10_000), max_size=8))
def test_chunked_decoding_delivers_what_whole_decoding_does(value, cuts):
    wire = encode(value)
    cuts = sorted({cut % (len(wire) + 1) for cut in cuts})
    chunks = [wire[a:b] for a, b in zip([0] + cuts, cuts + [len(wire)])]
    expected = decode(wire)[0]
    assert decode_chunks(chunks) == (expected, b"")
    assert len(expected) == 1 and encode(expected[0]) == wire


# --- host code that misbehaves ----------------------------------------------


def test_callback_that_feeds_the_same_state_again():
    state = cMolvar.newState()
    seen = []

    def callback(value):
        seen.append(value)
        if value == 1:
            # Opens a list of two and stores one item in it, mid-delivery.
            assert cMolvar.dataReceived(state, b"\x02\x80\x07\x81", callback) == 4
        elif value == 2:
            assert cMolvar.dataReceived(state, b"\x09\x81\x01\x80", callback) == 4

    # 1 re-enters and leaves a list open, which the caller's 8 completes;
    # 2 re-enters and leaves a list of one open, which the caller's 3 fills.
    assert cMolvar.dataReceived(state, b"\x01\x81\x08\x81\x02\x81\x03\x81\x01\x80", callback) == 10
    assert seen == [1, [7, 8], 2, 9, [3]]
    assert decode(b"\x05\x81", state) == ([[5]], 2)


def test_callback_that_feeds_the_same_state_from_inside_a_long():
    # The value of a big integer is made by host code, which here opens a list
    # in the same state: the long becomes its first item.
    state = cMolvar.newState()
    seen = []
    original = molvar.pyb1282int

    def pyb1282int(digits):
        cMolvar.pyb1282int = original
        assert cMolvar.dataReceived(state, b"\x02\x80", seen.append) == 2
        return original(digits)

    cMolvar.pyb1282int = pyb1282int
    try:
        assert cMolvar.dataReceived(state, b"\x01\x85\x04\x81", seen.append) == 4
    finally:
        cMolvar.pyb1282int = original
    assert seen == [[1, 4]]


STREAM_VALUES = [[1, [2, [b"three", 4.5]], []], 2**70, [[[-6]]], b"seven", [[], [8, [9, -(2**40)]]]]
STREAM = b"".join(encode(value) for value in STREAM_VALUES)


class Refused(Exception):
    pass


@pytest.mark.parametrize("failing", range(len(STREAM_VALUES)))
def test_callback_that_raises_at_each_delivery(failing):
    state = cMolvar.newState()
    seen = []

    def callback(value):
        seen.append(value)
        if len(seen) == failing + 1:
            raise Refused

    with pytest.raises(Refused):
        cMolvar.dataReceived(state, STREAM, callback)
    # Delivered once, never again; the values after it were not decoded.
    assert seen == STREAM_VALUES[: failing + 1]
    rest = b"".join(encode(value) for value in STREAM_VALUES[failing + 1 :])
    assert decode(rest + encode([b"after"]), state) == (STREAM_VALUES[failing + 1 :] + [[b"after"]], len(rest) + 9)


@pytest.mark.parametrize("cut", range(1, len(STREAM)))
def test_callback_that_raises_after_every_split_of_a_nested_stream(cut):
    # Raising on whatever the first chunk completes, then carrying on with the
    # tail as a caller does: nothing is lost or delivered twice.
    state = cMolvar.newState()
    seen = []

    def raising(value):
        seen.append(value)
        raise Refused

    try:
        consumed = cMolvar.dataReceived(state, STREAM[:cut], raising)
    except Refused:
        # Which element failed is not reported; the caller resynchronises on
        # value boundaries, here the end of the failed top-level value.
        done = len(b"".join(encode(value) for value in STREAM_VALUES[: len(seen)]))
        consumed = done
    values = list(seen)
    cMolvar.dataReceived(state, STREAM[consumed:], values.append)
    assert values == STREAM_VALUES


def test_pyb1282int_that_raises_keeps_the_open_lists():
    state = cMolvar.newState()
    original = molvar.pyb1282int

    def pyb1282int(digits):
        raise Refused(digits)

    cMolvar.pyb1282int = pyb1282int
    try:
        with pytest.raises(Refused):
            cMolvar.dataReceived(state, b"\x03\x80\x01\x81\x05\x85\x02\x81", pytest.fail)
    finally:
        cMolvar.pyb1282int = original
    # The list of three holds 1; the failed long is lost; 2 and 3 complete it.
    assert decode(b"\x02\x81\x03\x81", state) == ([[1, 2, 3]], 4)


@pytest.mark.parametrize("result", ["text", None, object()])
def test_pyb1282int_result_that_cannot_be_negated(result):
    original = molvar.pyb1282int
    cMolvar.pyb1282int = lambda digits: result
    try:
        with pytest.raises(TypeError):
            decode(b"\x05\x86")
        # Not negated, it is delivered as it is.
        assert decode(b"\x02\x80\x05\x85\x00\x80") == ([[result, []]], 6)
    finally:
        cMolvar.pyb1282int = original


def test_missing_pyb1282int_is_an_attribute_error():
    original = molvar.pyb1282int
    del cMolvar.pyb1282int
    try:
        with pytest.raises(AttributeError):
            decode(b"\x05\x85")
    finally:
        cMolvar.pyb1282int = original


@pytest.fixture
def pyint2b128():
    """Installs a replacement pyint2b128 for one test."""
    original = molvar.pyint2b128

    def install(function):
        cMolvar.pyint2b128 = function

    yield install
    cMolvar.pyint2b128 = original


def test_pyint2b128_that_clears_the_buffer(buf, pyint2b128):
    def clearing(magnitude, write):
        write(b"\x01\x02")
        write.__self__.clear()
        molvar.pyint2b128(magnitude, write)

    expected = encode(2**40) + b"\x03\x81"
    pyint2b128(clearing)
    cMolvar.encode([1, 2**40, 3], buf)
    assert buf.get() == expected


def test_pyint2b128_that_writes_a_lot(buf, pyint2b128):
    junk = b"\x7f" * (3 * 1024 * 1024)

    def flooding(magnitude, write):
        for _ in range(4):
            write(junk)
        molvar.pyint2b128(magnitude, write)

    expected = b"\x02\x80" + junk * 4 + encode(2**40) + encode(b"end")
    pyint2b128(flooding)
    cMolvar.encode([2**40, b"end"], buf)
    assert buf.get() == expected


def test_pyint2b128_that_encodes_into_the_same_buffer(buf, pyint2b128):
    def nested(magnitude, write):
        cMolvar.encode([5], write.__self__)
        molvar.pyint2b128(magnitude, write)

    expected = encode([5]) + encode(2**40)
    pyint2b128(nested)
    cMolvar.encode(2**40, buf)
    assert buf.get() == expected


def test_pyint2b128_that_raises_or_is_missing(buf, pyint2b128):
    def raising(magnitude, write):
        write(b"\x01")
        raise Refused

    pyint2b128(raising)
    with pytest.raises(Refused):
        cMolvar.encode([2**40], buf)
    assert buf.get() == b"\x01\x80\x01"
    del cMolvar.pyint2b128
    with pytest.raises(AttributeError):
        cMolvar.encode(-(2**40), buf)


def make_evil_int(target, when, change):
    class Evil(int):
        def __lt__(self, other):
            if when == "compare":
                change(target)
            return int(self) < other

        def __neg__(self):
            if when == "negate":
                change(target)
            return -int(self)

    return Evil


@pytest.mark.parametrize("when", ["compare", "negate"])
@pytest.mark.parametrize(
    "change, rest",
    [(list.clear, b""), (list.pop, b"\x02\x81"), (lambda target: target.append(7), b"\x02\x81\x03\x81")],
    ids=["clear", "pop", "append"],
)
def test_int_subclass_that_resizes_the_list_being_encoded(buf, when, change, rest):
    target = []
    Evil = make_evil_int(target, when, change)
    big = Evil(-(2**40))
    target.extend([1, big, 2, 3])
    del big
    with pytest.raises(RuntimeError, match="^list changed size during encoding$"):
        cMolvar.encode(target, buf)
    # The header said 4: what was written before the refusal stays.
    assert buf.get() == b"\x04\x80\x01\x81" + encode(-(2**40)) + rest


class Resizing(int):
    """An int past 32 bits whose sign test runs `change` on `target`."""

    def __new__(cls, target, change):
        self = super().__new__(cls, 2**40)
        self.target, self.change = target, change
        return self

    def __lt__(self, other):
        self.change(self.target)
        return int(self) < other


CHANGES = [
    list.clear,
    list.reverse,
    lambda target: target.append(7),
    lambda target: target and target.pop(0),
    lambda target: target.insert(0, b"x"),
    lambda target: target.extend([1, [2]]),
    lambda target: target.__delitem__(slice(0, 2)),
]


@given(st.data())
@settings(max_examples=300, deadline=None)
def test_an_encode_raises_or_writes_exactly_one_value(data):
    small = st.lists(st.integers(-3, 3), max_size=4)
    inner, outer = data.draw(small), data.draw(small)
    outer.insert(data.draw(st.integers(0, len(outer))), inner)
    for _ in range(data.draw(st.integers(1, 3))):
        host, target = data.draw(st.sampled_from([outer, inner])), data.draw(st.sampled_from([outer, inner]))
        host.insert(data.draw(st.integers(0, len(host))), Resizing(target, data.draw(st.sampled_from(CHANGES))))
    buf = cMolvar.newBuf()
    try:
        cMolvar.encode(outer, buf)
    except RuntimeError as error:
        assert str(error) == "list changed size during encoding"
        return
    values, consumed = decode(buf.get())
    assert len(values) == 1 and consumed == len(buf.get())


@pytest.mark.parametrize("method, result", [("__lt__", Refused), ("__neg__", Refused), ("__neg__", "text")])
def test_int_subclass_whose_comparison_or_negation_fails(buf, method, result):
    def misbehave(self, *args):
        if result is Refused:
            raise Refused
        return result

    Evil = type("Evil", (int,), {method: misbehave})
    with pytest.raises((Refused, TypeError, ValueError)):
        cMolvar.encode([7, Evil(-(2**40))], buf)
    assert buf.get() == b"\x02\x80\x07\x81"


# --- deep values --------------------------------------------------------------


def test_a_million_nested_lists_decode_deliver_and_release():
    depth = 1_000_000
    data = b"\x01\x80" * depth + b"\x2a\x81"
    values, consumed = decode(data)
    assert consumed == len(data) and len(values) == 1
    value = values[0]
    for _ in range(depth):
        assert type(value) is list and len(value) == 1
        value = value[0]
    assert value == 42
    with pytest.raises(RecursionError):
        encode(values[0])
    del value, values  # released without native recursion


ENCODER_DEPTH = 5000  # list levels the encoder accepts


class Nested(list):
    """A list subclass: the encoder's deepest native path per level."""


def nest(levels, innermost=()):
    value = Nested(innermost)
    for _ in range(levels - 1):
        value = Nested([value])
    return value


@pytest.mark.parametrize("limit", [None, 10**6], ids=["default limit", "huge limit"])
@pytest.mark.parametrize("in_thread", [False, True], ids=["main thread", "thread"])
def test_encoder_nesting_is_bounded_whatever_the_recursion_limit(limit, in_thread):
    def run():
        former = sys.getrecursionlimit()
        sys.setrecursionlimit(limit or former)
        try:
            assert encode(nest(ENCODER_DEPTH)) == b"\x01\x80" * (ENCODER_DEPTH - 1) + b"\x00\x80"
            with pytest.raises(RecursionError):
                encode(nest(ENCODER_DEPTH + 1))
            with pytest.raises(RecursionError):
                encode(nest(300_000))
        finally:
            sys.setrecursionlimit(former)

    if not in_thread:
        run()
        return
    failures = []
    thread = threading.Thread(target=lambda: failures.append(catch(run)))
    thread.start()
    thread.join()
    assert failures == [None]


def catch(function):
    try:
        function()
    except BaseException as error:  # reported by the main thread
        return error
    return None


def test_encodes_nested_through_host_code_share_the_bound(buf, pyint2b128):
    inner = nest(ENCODER_DEPTH // 2 + 1)
    outer = nest(ENCODER_DEPTH // 2, [2**40])

    def encoding(magnitude, write):
        cMolvar.encode(inner, cMolvar.newBuf())
        molvar.pyint2b128(magnitude, write)

    cMolvar.encode(inner, buf)
    cMolvar.encode(outer, buf)
    pyint2b128(encoding)
    with pytest.raises(RecursionError):
        cMolvar.encode(outer, buf)


def test_a_million_open_lists_are_released_with_their_state():
    state = cMolvar.newState()
    data = b"\x02\x80\x03\x82abc" * 500_000
    assert cMolvar.dataReceived(state, data, pytest.fail) == len(data)
    del state


def test_a_list_that_contains_itself_cannot_be_encoded(buf):
    loop = [1]
    loop.append(loop)
    with pytest.raises(RecursionError):
        cMolvar.encode(loop, buf)
    pair = ([], [])
    pair[0].append(pair[1])
    pair[1].append(pair)
    with pytest.raises(RecursionError):
        cMolvar.encode(pair, buf)


def test_a_maximal_string_split_at_its_header_and_body_ends():
    body = bytes(range(256)) * 2560
    wire = encode(body)
    assert wire[:4] == b"\x00\x00\x28\x82" and len(wire) == 655364
    for cut in (1, 2, 3, 4, 5, len(wire) - 1):
        state = cMolvar.newState()
        values = []
        consumed = cMolvar.dataReceived(state, wire[:cut], values.append)
        assert consumed == 0 and values == []
        assert cMolvar.dataReceived(state, wire, values.append) == len(wire)
        assert values == [body]


def test_a_string_fed_one_byte_at_a_time():
    body = bytes(range(251)) * 20
    wire = encode([body, b"x"])
    values, pending = decode_chunks(wire[i : i + 1] for i in range(len(wire)))
    assert values == [[body, b"x"]] and pending == b""


def test_collector_runs_between_chunks_of_open_lists():
    value = [[list(range(50))] * 3, [[[b"z"]]], 2**80] * 4
    stream = encode(value)
    state = cMolvar.newState()
    values = []
    pending = b""
    for i in range(0, len(stream), 61):
        pending += stream[i : i + 61]
        pending = pending[cMolvar.dataReceived(state, pending, values.append) :]
        gc.collect()
        for obj in gc.get_objects():
            if type(obj) is list:
                len([type(item) for item in obj])
    assert values == [value] and pending == b""
