"""dumps, loads and the streaming Decoder of kestrix.vantle.molvar."""

import array
import copy
import gc
import pickle
import sys
import tracemalloc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import cMolvar
from kestrix.vantle.molvar import Decoder, MolvarError, dumps, loads

from conftest import encode

# Ints up to the 64 digits a big-integer header may have (448 bits).
leaves = (
    st.integers(min_value=-(2**440), max_value=2**440)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.binary(max_size=40)
)
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner), max_leaves=20)


def as_decoded(value):
    """What a value comes back as: tuples as lists."""
    if isinstance(value, (list, tuple)):
        return [as_decoded(item) for item in value]
    return value


def feed_all(decoder, chunks):
    received = []
    for chunk in chunks:
        received += decoder.feed(chunk)
    return received


@st.composite
def split(draw, data):
    """`data` cut at random points into chunks, empty chunks included."""
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=12)))
    bounds = [0] + cuts + [len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


class TestDumpsLoads:
    @given(values)
    def test_round_trip(self, value):
        wire = dumps(value)
        assert wire == encode(value)
        assert loads(wire) == as_decoded(value)

    def test_a_lone_byte_string_is_written_as_in_a_buffer_up_to_the_readers_limit(self):
        # An exact bytes object within the limit is written at its size,
        # with no buffer; a subclass takes the buffer, as one past the limit
        # does (test_scalars_alone_in_a_list_and_in_a_tuple_are_refused_alike).
        from kestrix.vantle.molvar._native import _thresholds

        class Sub(bytes):
            pass

        limit = _thresholds["SIZE_LIMIT"]
        for size in (0, 1, 127, 128, 16383, 16384, limit - 1, limit):
            value = bytes(range(251)) * (size // 251) + bytes(range(size % 251))
            wire = dumps(value)
            assert wire == encode(value) == dumps(Sub(value)) == dumps(value, strict=True)
            assert loads(wire) == value

    def test_any_bytes_like_input(self):
        wire = dumps([1, b"ab", 2.5])
        for data in (bytearray(wire), memoryview(wire), array.array("B", wire), memoryview(b"xx" + wire)[2:]):
            assert loads(data) == [1, b"ab", 2.5]

    @pytest.mark.parametrize("data", ["\x05\x81", 5, None])
    def test_refuses_what_is_not_bytes(self, data):
        with pytest.raises(TypeError, match="bytes-like"):
            loads(data)

    @pytest.mark.parametrize(
        "value, error, message",
        [
            ([1, [2, "x"]], MolvarError, r"^cannot encode a str at \[1\]\[1\]: the format carries int, float, bytes, "
                                         r"and lists or tuples of them; encode text to bytes first"),
            ({}, MolvarError, r"^cannot encode a dict: the format carries"),
            ([None], MolvarError, r"^cannot encode None at \[0\]:"),
            ((b"", bytearray()), MolvarError, r"^cannot encode a bytearray at \[1\]: pass bytes\(value\)"),
            ([1, 2, float("nan")], ValueError, r"^cannot encode nan at \[2\]: only finite floats can be encoded$"),
            (float("-inf"), ValueError, r"^cannot encode -inf: only finite"),
        ],
    )
    def test_dumps_says_where_and_why_it_refuses(self, value, error, message):
        with pytest.raises(error, match=message):
            dumps(value)

    def test_dumps_names_a_list_that_contains_itself(self):
        loop = [1]
        loop.append(loop)
        with pytest.raises(RecursionError, match=r"^the list at \[1\] contains itself$"):
            dumps([b"", loop])

    @pytest.mark.parametrize(
        "value, message",
        [
            ([b"x" * 655361], r"a byte string of 655361 bytes at \[0\]: readers take at most 655360 \(strict\)"),
            ([[0] * 655361], r"a list of 655361 items at \[0\]: readers take"),
            ([1, (2, -(2**448))], r"an int of 2\*\*448 or more at \[1\]\[1\]"),
        ],
    )
    def test_strict_refuses_what_no_reader_takes(self, value, message):
        dumps(value)  # by default, the writer applies no reader's limits
        with pytest.raises(MolvarError, match=message):
            dumps(value, strict=True)
        assert dumps([2**448 - 1, b"x" * 655360], strict=True) == dumps([2**448 - 1, b"x" * 655360])

    @pytest.mark.parametrize(
        "data, offset, message",
        [
            (b"\x05\x81\x06\x81", 2, "trailing bytes after the value \\(2 of 4 bytes\\)"),
            (b"\x05\x81\x03", 2, "trailing bytes"),  # an incomplete second element
            (b"\x05\x81\x02\x80\x01\x81", 2, "trailing bytes"),  # a list left open after it
            (b"\x02\x80\x01\x81\x00\x80\x07\x81", 6, "trailing bytes"),
            (b"\x05\x81\x88", 2, "invalid type byte 0x88"),  # malformed after the value
        ],
    )
    def test_trailing_bytes(self, data, offset, message):
        with pytest.raises(MolvarError, match="byte offset %d: %s" % (offset, message)) as caught:
            loads(data)
        assert caught.value.offset == offset
        assert caught.value.values == [loads(data[:offset])]  # the value completed before it

    def test_a_converters_exception_is_not_taken_for_a_refusal(self, monkeypatch):
        def failing(digits):
            raise SystemError("converter failed")

        monkeypatch.setattr(cMolvar, "pyb1282int", failing)
        for decode in (loads, lambda data: Decoder().feed(data)):
            with pytest.raises(SystemError, match="^converter failed$"):
                decode(dumps([1, 2**80]))

    @pytest.mark.parametrize(
        "data, offset, message",
        [
            (b"", 0, "no bytes"),
            (b"\x05", 0, "1 byte of an element that needs more$"),
            (b"\x02\x80\x01\x81\x03\x82ab", 4, "4 bytes of an element that needs more$"),
            (b"\x84\x3f\xf8", 0, "3 bytes of an element that needs more$"),
            (b"\x02\x80\x01\x81", 4, "a list is still open at the end$"),
            (b"\x01\x80\x02\x80\x00\x80", 6, "a list is still open at the end$"),
        ],
    )
    def test_incomplete_input(self, data, offset, message):
        # loads and a Decoder closed after the same bytes say the same (an
        # empty stream is no fault for a Decoder).
        decoder = Decoder()
        decoder.feed(data)
        for action in (lambda: loads(data), decoder.close)[: 2 if data else 1]:
            with pytest.raises(MolvarError, match="^byte offset %d: incomplete input: %s" % (offset, message)):
                action()

    @pytest.mark.parametrize(
        "data, offset, message",
        [
            (b"\x88", 0, r"invalid type byte 0x88 \(type bytes are 0x80 to 0x87\)"),
            (b"\x03\x80\x01\x81\x02\x82ab\xff", 8, "invalid type byte 0xff"),
            (b"\x01\x80\x20\x87", 2, "vocabulary index 32; valid indexes are 0 to 31"),
            (b"\x02\x80\x05\x81" + b"\x01\x00\x28\x80", 4, "a list of 655361 items declared; at most 655360"),
            (b"\x01\x80" + b"\x01\x00\x28\x82", 2, "a byte string of 655361 bytes declared; at most 655360"),
            # Where cMolvar raises SystemError, the companion says what the bytes declared.
            (b"\x05\x81" + b"\x01" * 65, 2, "a header of more than 64 digit bytes.*is the input in this format"),
            (b"\x01\x80\x00\x00\x00\x00\x08\x80", 2, "a list of 2147483648 items declared"),
            # The same refusals among the scalars of a list, well before its end.
            (b"\x09\x80\x01\x81\x00\x84" + bytes(8) + b"\x8a" + b"\x01\x81" * 6, 14, "invalid type byte 0x8a"),
            (b"\x09\x80\x01\x81\x40\x87" + b"\x01\x81" * 6, 4, "vocabulary index 64"),
            (b"\x09\x80\x01\x81\x01\x00\x28\x82" + b"\x01\x81" * 6, 4, "a byte string of 655361 bytes"),
            (b"\x09\x80\x01\x81\x01\x81" + b"\x01" * 65 + b"\x85", 6, "a header of more than 64 digit bytes"),
        ],
    )
    def test_malformed_input_names_the_offset(self, data, offset, message):
        with pytest.raises(MolvarError, match="byte offset %d: .*%s" % (offset, message)) as caught:
            loads(data)
        assert caught.value.offset == offset
        assert "\n" not in str(caught.value)


class TestDecoder:
    STREAM_VALUES = [[1, b"ab"], 2.5, 2**100, -(2**70), b"x" * 300, [[[]], [-5, 7.25]], 0]
    STREAM = b"".join(dumps(value) for value in STREAM_VALUES)

    def test_one_byte_at_a_time(self):
        decoder = Decoder()
        received = []
        for index in range(len(self.STREAM)):
            received += decoder.feed(self.STREAM[index : index + 1])
            assert decoder.consumed + decoder.pending == index + 1
        assert received == self.STREAM_VALUES
        assert decoder.pending == 0
        decoder.close()

    @given(st.data())
    def test_any_split_gives_the_same_values(self, data):
        chunks = data.draw(split(self.STREAM))
        decoder = Decoder()
        assert feed_all(decoder, chunks) == self.STREAM_VALUES
        decoder.close()

    @settings(max_examples=30)
    @given(st.lists(values, max_size=3), st.data())
    def test_any_values_in_any_split(self, stream_values, data):
        chunks = data.draw(split(b"".join(dumps(value) for value in stream_values)))
        assert feed_all(Decoder(), chunks) == [as_decoded(value) for value in stream_values]

    def test_feed_returns_what_each_chunk_completes(self):
        decoder = Decoder()
        assert decoder.feed(b"\x05\x81\x02\x80\x01") == [5]
        assert (decoder.consumed, decoder.pending) == (4, 1)
        assert decoder.feed(bytearray(b"\x81\x03\x82a")) == []
        assert (decoder.consumed, decoder.pending) == (6, 3)
        assert decoder.feed(memoryview(b"bc\x81")) == [[1, b"abc"], 0]
        assert (decoder.consumed, decoder.pending) == (12, 0)

    def test_close(self):
        decoder = Decoder()
        decoder.feed(b"\x05\x81")
        decoder.close()
        with pytest.raises(MolvarError, match="decoder is closed"):
            decoder.feed(b"\x05\x81")

        decoder = Decoder()
        decoder.feed(b"\x05\x81\x0a\x82abc")
        with pytest.raises(MolvarError, match="byte offset 2: incomplete input: 5 bytes"):
            decoder.close()

        decoder = Decoder()
        decoder.feed(b"\x02\x80\x01\x81")
        with pytest.raises(MolvarError, match="byte offset 4: incomplete input: a list is still open"):
            decoder.close()

    def test_an_error_sticks(self):
        decoder = Decoder()
        assert decoder.feed(b"\x05\x81") == [5]
        with pytest.raises(MolvarError, match="byte offset 4: invalid type byte") as caught:
            decoder.feed(b"\x06\x81\x99\x07\x81")
        assert caught.value.values == [6]  # completed before the bad element
        assert decoder.error is caught.value
        for action in (lambda: decoder.feed(b"\x05\x81"), lambda: decoder.feed(b""), decoder.close):
            with pytest.raises(MolvarError, match="earlier error .*byte offset 4") as again:
                action()
            assert again.value.offset == 4

    @given(st.data())
    def test_error_offset_does_not_depend_on_the_split(self, data):
        stream = dumps([1, [b"abc", 2.5]]) + dumps(b"y" * 200) + b"\x03\x80\x01\x81\x20\x87"
        decoder = Decoder()
        with pytest.raises(MolvarError, match="vocabulary index") as caught:
            feed_all(decoder, data.draw(split(stream)))
        assert caught.value.offset == len(stream) - 2

    def test_refuses_str(self):
        with pytest.raises(TypeError, match="bytes-like"):
            Decoder().feed("\x05\x81")


class TestDecoderMemory:
    def test_an_announced_length_reserves_nothing_until_its_bytes_come(self):
        decoder = Decoder()
        tracemalloc.start()
        try:
            decoder.feed(b"\x00\x00\x28\x82" + b"z" * 10)  # 655360 bytes announced, 10 sent
            held, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert decoder.pending == 14
        assert held < 100_000

    def test_a_long_string_in_pieces(self):
        wire = dumps(b"z" * 655360)
        pieces = [wire[i : i + 1024] for i in range(0, len(wire), 1024)]
        assert feed_all(Decoder(), pieces) == [b"z" * 655360]


# Honest values, then what a hostile peer sends: nested maximal list headers,
# a list of many small items, a long string.
LIMITED_STREAM = (dumps([[1, [2, b"ab"]], 3.5]) * 3 + b"\x00\x00\x28\x80" * 40
                  + dumps([[7] * 300]) + dumps(b"s" * 5000))


def limited_outcome(chunks, **limits):
    """(values received, the limit's error or None) of a Decoder fed `chunks`."""
    decoder, received = Decoder(**limits), []
    try:
        for chunk in chunks:
            received += decoder.feed(chunk)
    except MolvarError as error:
        return received + error.values, error
    return received, None


class TestDecoderLimits:
    @settings(max_examples=150, deadline=None)
    @given(split(LIMITED_STREAM), st.integers(1, 45), st.integers(200, 20000))
    def test_limits_hold_across_any_split(self, chunks, max_depth, max_buffer_size):
        unlimited = feed_all(Decoder(), chunks)
        # Depth does not depend on the split: the same values, the same offset.
        whole = limited_outcome([LIMITED_STREAM], max_depth=max_depth)
        received, error = limited_outcome(chunks, max_depth=max_depth)
        assert received == whole[0] == unlimited[: len(received)]
        assert (error and error.offset) == (whole[1] and whole[1].offset)
        if error:
            assert "more than %d lists open at once (max_depth=%d)" % (max_depth, max_depth) in str(error)
        # What is held: the values before the error are the right ones, and
        # the error names the limit (test_decoder: at the same offset as whole).
        received, error = limited_outcome(chunks, max_buffer_size=max_buffer_size)
        assert received == unlimited[: len(received)]
        if error:
            assert "bytes held for values not yet delivered (max_buffer_size=%d)" % max_buffer_size in str(error)
        else:
            assert received == unlimited

    def test_memory_stays_within_a_small_factor_of_the_buffer_limit(self):
        limit = 100_000
        for hostile in (b"\x00\x00\x28\x80" * 20000, b"\x00\x00\x28\x80" + b"\x05\x81" * 100_000,
                        b"\x00\x00\x28\x80" + b"\x80" * 100_000, b"\x00\x00\x28\x82" + b"z" * 200_000):
            decoder = Decoder(max_buffer_size=limit)
            tracemalloc.start()
            try:
                with pytest.raises(MolvarError, match="max_buffer_size=100000"):
                    for start in range(0, len(hostile), 1000):
                        decoder.feed(hostile[start : start + 1000])
                _, peak = tracemalloc.get_traced_memory()
            finally:
                tracemalloc.stop()
            assert peak < 3 * limit, (hostile[:8], peak)

    @pytest.mark.parametrize("limits, error", [({"max_depth": 0}, ValueError), ({"max_buffer_size": -1}, ValueError),
                                               ({"max_depth": 1.5}, TypeError), ({"max_depth": True}, TypeError)])
    def test_refuses_limits_that_are_not_positive_ints(self, limits, error):
        with pytest.raises(error):
            Decoder(**limits)


class TestDecoderObject:
    def test_refuses_copy_and_pickle(self):
        decoder = Decoder()
        decoder.feed(b"\x02\x80\x01\x81")
        for action in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError, match="cannot pickle or copy a Decoder"):
                action(decoder)

    def test_repr_tells_where_the_stream_stands(self):
        decoder = Decoder()
        decoder.feed(b"\x05\x81\x02\x80\x01\x80\x03\x82a")
        assert repr(decoder) == "<Decoder consumed=6 pending=3 open_lists=2>"
        with pytest.raises(MolvarError):
            decoder.close()
        assert repr(decoder).endswith(" failed>")

    @pytest.mark.skipif(sys.version_info < (3, 10), reason="heap types are immutable from 3.10")
    def test_the_native_types_are_immutable(self, monkeypatch):
        seen = []
        own = cMolvar.pyint2b128
        monkeypatch.setattr(cMolvar, "pyint2b128", lambda magnitude, write: seen.append(write) or own(magnitude, write))
        dumps(2**80)
        for native_type in (Decoder, type(seen[0].__self__)):
            with pytest.raises(TypeError, match="immutable"):
                native_type.feed = None

    def test_a_feed_from_inside_a_feed_is_refused(self, monkeypatch):
        decoder = Decoder()
        inner = []

        def reentering(digits):
            with pytest.raises(RuntimeError, match="while the decoder is running"):
                decoder.feed(b"\x05\x81")
            inner.append(digits)
            return 7

        monkeypatch.setattr(cMolvar, "pyb1282int", reentering)
        assert decoder.feed(b"\x01\x85\x06\x81") == [7, 6]
        assert inner == [b"\x01"]

    def test_any_exception_inside_feed_stops_the_stream(self, monkeypatch):
        def refusing(digits):
            raise KeyError("converter")

        monkeypatch.setattr(cMolvar, "pyb1282int", refusing)
        decoder = Decoder()
        with pytest.raises(KeyError):
            decoder.feed(b"\x05\x81\x01\x85")
        monkeypatch.undo()
        with pytest.raises(MolvarError, match="byte offset 2: decoder stopped by an earlier error .*KeyError"):
            decoder.feed(b"\x05\x81")

    def test_a_cycle_through_a_decoder_is_collected(self):
        decoder = Decoder()
        with pytest.raises(MolvarError):
            decoder.feed(b"\x02\x80\x01\x81\x88")
        decoder.error.decoder = decoder  # decoder -> its error -> decoder
        probe = weakref.ref(decoder.error)
        del decoder
        gc.collect()
        assert probe() is None
