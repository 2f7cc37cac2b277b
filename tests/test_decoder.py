"""The incremental decoder: every element type, limits, messages, resumption."""

import collections
import gc
import signal
import struct
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import cMolvar
from kestrix.vantle.molvar import Decoder, MolvarError, dumps, loads

from conftest import decode, decode_chunks, encode

H = bytes.fromhex
HEADER_TEXT = "Security precaution: more than 64 bytes of prefix (this should raise an exception).\n"
LIST_TEXT = "Security precaution: List too long.\n"
STRING_TEXT = "Security precaution: String too long.\n"


@pytest.mark.parametrize(
    "wire, values, consumed",
    [
        ("", [], 0),
        ("81", [0], 1),  # a header of no digits reads as 0
        ("05 81 03 83", [5, -3], 4),
        ("02 80 01 81 02 82 61 62", [[1, b"ab"]], 8),
        ("00 80", [[]], 2),
        ("01 80 01 80 00 80", [[[[]]]], 6),
        ("7f 7f 7f 7f 07 81", [2**31 - 1], 6),
        ("00 00 00 00 08 83", [-(2**31)], 6),
        ("00 00 00 00 00 01 81", [8], 7),  # the sixth digit's shift wraps to 3
        ("00 00 00 00 00 00 00 00 00 01 81", [-(2**31)], 11),  # the tenth digit lands on bit 31
        ("00 87", [b"Dummy"], 2),
        ("1f 87", [b"uncache"], 2),
        ("07 84 3f f8 00 00 00 00 00 00", [1.5], 10),  # digits before a float are ignored
        ("85", [0], 1),
        ("05 86", [-5], 2),
    ],
)
def test_complete_elements(wire, values, consumed):
    assert decode(H(wire)) == (values, consumed)


@pytest.mark.parametrize(
    "wire, values, consumed",
    [
        ("03 82 61 62", [], 0),  # string body short by one
        ("84 3f f8 00 00 00 00 00", [], 0),  # float body of 7 bytes
        ("05 81 2c 02", [5], 2),  # header cut before its type byte
        ("02 80 01 81 02", [], 4),  # inside an open list
        ("00 00 28 82" + " 00" * 10, [], 0),  # the largest string waits for its body
    ],
)
def test_incomplete_elements_return_their_first_byte(wire, values, consumed):
    assert decode(H(wire)) == (values, consumed)


def test_list_opened_in_one_call_goes_to_the_callback_of_the_call_that_completes_it():
    state = cMolvar.newState()
    first, second = [], []
    assert cMolvar.dataReceived(state, H("02 80 01 81 02"), first.append) == 4
    assert cMolvar.dataReceived(state, H("02 82 61 62"), second.append) == 4
    assert (first, second) == ([], [[1, b"ab"]])


@pytest.mark.parametrize("size", [655360, 655359])
def test_largest_strings_are_accepted(size):
    body = bytes(range(256)) * (size // 256) + b"\x01" * (size % 256)
    assert decode(encode(body)) == ([body], len(body) + 4)


def test_header_limit():
    # Digit 63 is shifted by (7 * 63) mod 32 = 25 bits.
    assert decode(b"\x00" * 63 + b"\x01\x81") == ([2**25], 65)
    assert decode(b"\x00" * 64) == ([], 0)  # 64 digits then the end: wait for more
    for wire in (b"\x00" * 65, b"\x00" * 65 + b"\x81", b"\x05\x81" + b"\x7f" * 80):
        with pytest.raises(SystemError) as caught:
            decode(wire)
        assert str(caught.value) == HEADER_TEXT


@pytest.mark.parametrize(
    "wire, error, text",
    [
        ("01 00 28 80", MolvarError, LIST_TEXT),  # 655361 items
        ("01 00 28 82", MolvarError, STRING_TEXT),  # 655361 bytes, refused before its body
        ("00 00 00 00 08 82", MolvarError, STRING_TEXT),  # a length that reads as negative
        ("20 87", MolvarError, "Vocab String Not Found: 32"),
        ("00 00 00 00 08 87", MolvarError, "Vocab String Not Found: -2147483648"),
        ("88", MolvarError, "Invalid Type Byte: 136"),
        ("05 ff", MolvarError, "Invalid Type Byte: 255"),
    ],
)
def test_refusals(wire, error, text):
    with pytest.raises(error) as caught:
        decode(H(wire))
    assert type(caught.value) is error
    assert str(caught.value) == text


def test_a_negative_list_count_is_refused_by_the_list_constructor():
    with pytest.raises(SystemError):
        decode(H("00 00 00 00 08 80"))


def test_every_single_byte():
    for byte in range(256):
        data = bytes([byte])
        if byte < 0x80:
            assert decode(data) == ([], 0)
        elif byte in (0x80, 0x81, 0x83, 0x85, 0x86):
            assert decode(data) == ([[] if byte == 0x80 else 0], 1)
        elif byte == 0x82:
            assert decode(data) == ([b""], 1)
        elif byte == 0x84:
            assert decode(data) == ([], 0)
        elif byte == 0x87:
            assert decode(data) == ([b"Dummy"], 1)
        else:
            with pytest.raises(MolvarError, match=f"^Invalid Type Byte: {byte}$"):
                decode(data)


def test_infinity_and_nan_bodies_read_as_infinities():
    for body, expected in [("7f f8 00 00 00 00 00 00", float("inf")), ("ff f0 00 00 00 00 00 00", float("-inf")),
                           ("7f f0 00 00 00 00 00 01", float("inf")), ("80 00 00 00 00 00 00 00", -0.0)]:
        (value,), _ = decode(H("84" + body))
        assert struct.pack(">d", value) == struct.pack(">d", expected)


class TestArgumentChecks:
    def test_non_callable_callback_returns_none_silently(self, capfd):
        assert cMolvar.dataReceived(None, 5, "not callable") is None
        assert capfd.readouterr() == ("", "")

    def test_non_bytes_data_prints_its_line(self, capfd):
        for data in (5, "81", bytearray(b"\x81")):
            assert cMolvar.dataReceived(None, data, print) is None
        assert capfd.readouterr().out == "Second arg was not a string\n" * 3

    def test_wrong_state_prints_its_line(self, capfd):
        calls = []
        assert cMolvar.dataReceived(cMolvar.newBuf(), b"\x81", calls.append) is None
        assert cMolvar.dataReceived(None, b"\x81", calls.append) is None
        assert capfd.readouterr().out == "state object wasn't\n" * 2
        assert calls == []

    def test_bytes_subclasses_are_data(self):
        class Chunk(bytes):
            pass

        assert decode(Chunk(b"\x05\x81")) == ([5], 2)


class TestFailingHostCode:
    def test_callback_failure_stops_at_the_failing_value(self):
        calls = []

        def callback(value):
            calls.append(value)
            raise KeyError(value)

        for wire in ("05 81 03 83", "84 3f f8 00 00 00 00 00 00 05 81"):
            calls.clear()
            with pytest.raises(KeyError):
                cMolvar.dataReceived(cMolvar.newState(), H(wire), callback)
            assert len(calls) == 1

    def test_big_int_converter_failures_pass_through(self, monkeypatch):
        monkeypatch.delattr(cMolvar, "pyb1282int")
        with pytest.raises(AttributeError):
            decode(H("05 85"))
        monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: 1 / 0, raising=False)
        with pytest.raises(ZeroDivisionError):
            decode(H("05 85"))
        monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: "not a number")
        assert decode(H("05 85")) == (["not a number"], 2)
        with pytest.raises(TypeError):
            decode(H("05 86"))

    def test_converter_gets_exactly_the_digits(self, monkeypatch):
        seen = []
        monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: seen.append(digits) or 1)
        decode(H("85 01 02 03 86") + b"\x7f" * 64 + H("85"))
        assert seen == [b"", H("01 02 03"), b"\x7f" * 64]


def test_one_byte_at_a_time_and_every_split_of_a_mixed_stream():
    values = [[1, b"ab", [2**100, -(2**31)]], 1.5, b"x" * 300, [], [[[]]], -7]
    wire = b"".join(encode(value) for value in values)
    expected, _ = decode(wire)
    assert decode_chunks([wire[i : i + 1] for i in range(len(wire))]) == (expected, b"")
    for cut in range(len(wire) + 1):
        assert decode_chunks([wire[:cut], wire[cut:]]) == (expected, b"")


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize(
    "wire, last",
    [
        # 40 MB of ints, delivered to a native callable, so that no Python
        # code runs to notice the signal: only the decoder's own check can.
        (b"\x05\x81" * 20_000_000, 5),
        # Top-level lists, read by the outer loop (each made whole), which
        # checks for signals once per megabyte too.
        (b"\x01\x80\x05\x81" * 10_000_000, [5]),
    ],
    ids=["ints", "lists"],  # not the 40 MB of each: older pytest names a case by its bytes
)
def test_a_signal_stops_a_long_chunk_between_two_elements(wire, last):
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    sink = collections.deque(maxlen=1)
    state = cMolvar.newState()
    previous = signal.signal(signal.SIGALRM, stop)
    gc.disable()  # a collector's callback (hypothesis has one) would take the signal, and its exception is lost
    try:
        # On a busy machine the signal may land before the call has begun
        # (nothing delivered yet): that try says nothing, so it is made again.
        for _ in range(5):
            with pytest.raises(Stop):
                signal.setitimer(signal.ITIMER_REAL, 0.02)
                cMolvar.dataReceived(state, wire, sink.append)
            if sink:
                break
    finally:
        gc.enable()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert sink[0] == last
    # Stopped between two elements: the state takes a new stream as it is.
    assert decode(b"\x02\x80\x01\x81\x02\x81", state) == ([[1, 2]], 6)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_a_signal_stops_a_decoder_among_the_top_level_lists_it_reads_on():
    # A Decoder reads a run of whole top-level lists in one loop, which
    # must still leave it once a megabyte for the signal check: were the
    # signal noticed only once feed returned, the decoder would not be
    # stopped by it.
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    wire = dumps([b"ab"] * 1000) * 4000  # 16 MB
    previous = signal.signal(signal.SIGALRM, stop)
    gc.disable()  # as above
    try:
        for _ in range(5):  # a signal that lands before feed has begun says nothing
            decoder = Decoder()
            with pytest.raises(Stop):
                signal.setitimer(signal.ITIMER_REAL, 0.005)
                decoder.feed(wire)
            try:
                decoder.feed(b"")
            except MolvarError as stopped:
                assert "decoder stopped by Stop" in str(stopped)
                break
        else:
            pytest.fail("the signal never stopped a feed")
    finally:
        gc.enable()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def limited_outcome(chunks, limits):
    """Everything a Decoder with `limits` delivers from `chunks`, and how it
    ends: the refusal's text and offset, or None."""
    decoder, received = Decoder(**limits), []
    try:
        for chunk in chunks:
            received += decoder.feed(chunk)
    except MolvarError as error:
        return received + error.values, str(error), error.offset
    return received, None, None


# Strings around the limits drawn below, ints and floats, lists deep enough
# for max_depth, and list headers that announce far more than comes.
limited_values = st.recursive(
    st.integers(-(2**70), 2**70) | st.floats(allow_nan=False, allow_infinity=False) | st.binary(max_size=30)
    | st.integers(0, 1500).map(lambda size: b"s" * size),
    lambda inner: st.lists(inner, max_size=5),
    max_leaves=25,
)
MAX_LIST = b"\x00\x00\x28\x80"


@st.composite
def split_streams(draw):
    """A stream of values and open maximal lists, and its bytes cut into reads."""
    items = draw(st.lists(limited_values.map(dumps) | st.just(MAX_LIST), min_size=1, max_size=5))
    stream = b"".join(items)
    bounds = [0] + sorted(draw(st.lists(st.integers(0, len(stream)), max_size=8))) + [len(stream)]
    return stream, [stream[a:b] for a, b in zip(bounds, bounds[1:])]


LARGEST_HELD = dumps(b"x" * 1000)


@settings(max_examples=300, deadline=None)
@given(split_streams(), st.none() | st.integers(1, 6), st.none() | st.integers(1, 3000))
@example((LARGEST_HELD, [LARGEST_HELD[:10], LARGEST_HELD[10:]]), None, 1000)  # may be held, in two reads
def test_limits_refuse_the_same_whatever_the_reads(split_stream, max_depth, max_buffer_size):
    stream, chunks = split_stream
    limits = {"max_depth": max_depth, "max_buffer_size": max_buffer_size}
    assert limited_outcome(chunks, limits) == limited_outcome([stream], limits)


class TestCompleteInput:
    """A list that lies whole in its chunk is made at its size, with no
    frame; one the chunk cuts, or nested past the levels that path takes,
    or that needs host code, goes through the frames. Both give the same."""

    def test_nesting_around_the_levels_made_whole(self):
        from kestrix.vantle.molvar._native import _thresholds

        levels = _thresholds["WHOLE_LEVELS"]
        for depth in (levels, levels + 1, levels + 2, 3 * levels):
            value = [1, b"ab"]
            for _ in range(depth):
                value = [value, 2**40, []]
            wire = dumps(value)
            assert loads(wire) == value
            assert decode_chunks([wire[:-1], wire[-1:]])[0] == [value]
            for max_depth in (depth, depth + 1, depth + 2):
                decoder = Decoder(max_depth=max_depth)
                try:
                    got = decoder.feed(wire)
                except MolvarError as error:
                    assert max_depth <= depth and "max_depth=%d" % max_depth in str(error)
                    assert error.offset == 2 * max_depth  # the header of the list one level too deep
                else:
                    assert max_depth > depth and got == [value]

    @pytest.mark.parametrize("max_depth", [None, 3])
    def test_a_run_of_top_level_lists_ends_as_the_general_loop_would(self, max_depth):
        # A Decoder reads the top-level lists that follow one another whole
        # in one loop; whatever comes after them is the general loop's,
        # which fed a byte at a time reads them all: both must agree, on
        # the values, the refusal's text and its offset.
        lists = dumps([1, [b"ab", 2**40]]) * 3
        followers = [
            dumps(7), dumps([]), dumps(b"word"), dumps([[[[1]]]]),  # the last too deep for max_depth 3
            b"\x8f",  # no such type
            b"\x7f" * 65 + b"\x80",  # a header past its 64 digits
            b"\x01\x00\x28\x80",  # a list past the size limit
            dumps([1, 2])[:-1],  # cut by the chunk's end
        ]
        limits = {} if max_depth is None else {"max_depth": max_depth}
        for follower in followers:
            wire = lists + follower + lists
            by_byte = limited_outcome([wire[i : i + 1] for i in range(len(wire))], limits)
            assert limited_outcome([wire], limits) == by_byte, follower

    def test_a_value_cut_anywhere_goes_on_in_frames_with_what_was_read(self):
        # The lists a chunk's end stops are left open in frames that take
        # the items read so far, at every depth; the next chunk finishes them.
        value = [[1, [b"ab", 2**40, [3.5, []]], -7], [b"x" * 40, [[9]]], 5]
        wire = dumps(value) * 2
        for cut in range(len(wire) + 1):
            decoder = Decoder()
            assert decoder.feed(wire[:cut]) + decoder.feed(wire[cut:]) == [value, value], cut
            decoder.close()

    def test_the_collector_waits_for_a_whole_value_and_is_left_as_the_host_set_it(self, monkeypatch):
        # Before 3.12 an allocation past the threshold collects at once;
        # from 3.10, not while a value that lies whole in its input is made,
        # from 1024 bytes after its first header (empty lists written as a
        # bare type byte make a list per byte). Host code run meanwhile (the converter's
        # look-up, through the module's __getattr__) sees the collector as
        # the host set it, and so does the host after every call, failed or not.
        starts = []
        own = cMolvar.pyb1282int
        seen = []

        def module_getattr(name):
            seen.append(gc.isenabled())
            return own

        looked_up = dumps([[b"id", 2**40 + i] for i in range(50)])
        thresholds, enabled_before = gc.get_threshold(), gc.isenabled()
        gc.callbacks.append(lambda phase, info: phase == "start" and starts.append(info["generation"]))
        gc.set_threshold(50)
        try:
            for enabled in (True, False):
                (gc.enable if enabled else gc.disable)()
                for lists in (1023, 1024, 5000):
                    wire = dumps([[]] * lists).replace(b"\x00\x80", b"\x80")  # a list per byte after the header
                    del starts[:]
                    assert len(loads(wire)) == lists
                    during = len(starts)  # makes no tracked object: no collection starts here
                    assert gc.isenabled() is enabled
                    if enabled and sys.version_info < (3, 12):
                        assert (during == 0) == (sys.version_info >= (3, 10) and lists >= 1024), lists
                    with pytest.raises(MolvarError):
                        loads(wire[:-1])
                    assert gc.isenabled() is enabled
                with monkeypatch.context() as patched:
                    patched.delattr(cMolvar, "pyb1282int")
                    patched.setattr(cMolvar, "__getattr__", module_getattr, raising=False)
                    del seen[:]
                    assert loads(looked_up) == [[b"id", 2**40 + i] for i in range(50)]
                assert seen and set(seen) == {enabled}
                assert gc.isenabled() is enabled
        finally:
            gc.callbacks.pop()
            gc.set_threshold(*thresholds)
            (gc.enable if enabled_before else gc.disable)()

    def test_a_host_converter_is_called_once_for_each_big_int(self, monkeypatch):
        # The path of complete input leaves a list that needs host code to
        # the frames, which must not call the converter a second time.
        own = cMolvar.pyb1282int
        calls = []
        monkeypatch.setattr(cMolvar, "pyb1282int", lambda digits: calls.append(digits) or own(digits))
        value = [[1, 2**40], [[2**50, b"x"], 3], -(2**60)]
        assert loads(dumps(value)) == value
        assert len(calls) == 3

    @pytest.mark.parametrize("lists", [100, 300])  # under and over the 1 KiB that hold the collector back
    def test_a_converter_installed_by_the_collector_mid_value_makes_the_big_ints_after_it(self, monkeypatch, lists):
        # The look-up of pyb1282int holds across the lists a value makes
        # until host code may have changed it: before 3.12 the collector
        # runs (with finalizers) inside a list's allocation, except from
        # 3.10 in a value of 1 KiB or more, where it waits for the end of
        # the call, as it does by itself from 3.12. No big int read after the host's converter is
        # installed is made natively (the value is read again through the
        # frames from its first list that met it).
        monkeypatch.setattr(cMolvar, "pyb1282int", cMolvar.pyb1282int)
        ran = []

        class InstallsAConverter:
            def __del__(self):
                ran.append(True)
                cMolvar.pyb1282int = lambda digits: "host"

        wire = dumps([[2**40 + i] for i in range(lists)])
        thresholds = gc.get_threshold()
        gc.collect()
        cycle = InstallsAConverter()
        cycle.itself = cycle
        del cycle
        gc.set_threshold(50)  # collected at about the 50th list made
        try:
            got = [item for (item,) in loads(wire)]
            ran_inside = bool(ran)
        finally:
            gc.set_threshold(*thresholds)
            gc.collect()
        assert ran
        natively = [item for item in got if item != "host"]
        assert got == [2**40 + i for i in range(len(natively))] + ["host"] * (len(got) - len(natively))
        if gc.isenabled() and (sys.version_info < (3, 10) or (sys.version_info < (3, 12) and len(wire) < 1024)):
            assert ran_inside and got[-1] == "host"
        else:
            assert natively == [2**40 + i for i in range(lists)]
