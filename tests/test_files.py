"""dump, load and iter_load on real files, pipes and loopback sockets."""

import io
import os
import random
import socket
import tempfile
import threading
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix.vantle.molvar import MolvarError, dump, dumps, iter_load, load, loads

leaves = (
    st.integers(min_value=-(2**100), max_value=2**100)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.binary(max_size=30)
)
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4), max_leaves=12)


@settings(max_examples=60, deadline=None)
@given(st.lists(values, min_size=1, max_size=8), st.integers(1, 40))
def test_a_file_of_values_comes_back_in_any_chunk_size(stream, chunk_size):
    with tempfile.TemporaryFile() as fp:
        for value in stream:
            dump(value, fp)
        fp.seek(0)
        assert list(iter_load(fp, chunk_size)) == stream
        fp.seek(-len(dumps(stream[-1])), os.SEEK_END)
        assert load(fp) == stream[-1]  # the rest of the file, from where it stands


@pytest.mark.parametrize("chunk_size", [1, 3, 65536])
def test_values_before_an_error_are_yielded_first(chunk_size):
    head = dumps(1) + dumps([2, b"ab"])
    for tail, offset in (
        (dumps([4, b"xyz"])[:-1], len(head) + 4),  # end of file inside the string
        (dumps([4, 5])[:-2], len(head) + 4),  # end of file inside an open list
        (b"\x88" + dumps(6), len(head)),  # a malformed element
    ):
        received = []
        with pytest.raises(MolvarError) as caught:
            for value in iter_load(io.BytesIO(head + tail), chunk_size):
                received.append(value)
        assert received == [1, [2, b"ab"]]
        assert caught.value.offset == offset


@pytest.mark.parametrize(
    "data",
    [b"", dumps(1) + dumps(2), dumps(b"abcdef")[:-2], dumps([1, 2])[:-2], dumps(7) + b"\x88", b"\x00" * 65 + b"\x81"],
    ids=["empty", "trailing", "truncated", "open list", "garbage after", "long header"],
)
def test_load_raises_what_loads_raises(data):
    with pytest.raises(MolvarError) as expected:
        loads(data)
    with pytest.raises(MolvarError) as caught:
        load(io.BytesIO(data))
    assert (str(caught.value), caught.value.offset) == (str(expected.value), expected.value.offset)


class Trickle(io.RawIOBase):
    """A raw file that takes at most three bytes per write."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, data):
        taken = bytes(data[:3])
        self.data += taken
        return len(taken)


def test_dump_writes_everything_to_a_raw_file_that_takes_part():
    raw = Trickle()
    dump([1, b"abcdefgh", 2.5], raw)
    assert loads(raw.data) == [1, b"abcdefgh", 2.5]


def test_iter_load_limits_what_a_stream_may_make_it_hold():
    deep, long = [[[b"ok"]]], b"y" * 900
    stream = dumps(deep) + dumps(1) + b"\x00\x00\x28\x80" * 4
    received = []
    with pytest.raises(MolvarError, match=r"more than 3 lists open at once \(max_depth=3\)") as caught:
        for value in iter_load(io.BytesIO(stream), 5, max_depth=3):
            received.append(value)
    assert received == [deep, 1]
    assert caught.value.offset == len(dumps(deep)) + 2 + 12
    stream = dumps(long) + dumps(2)
    assert list(iter_load(io.BytesIO(stream), 7, max_buffer_size=1000)) == [long, 2]
    with pytest.raises(MolvarError, match=r"byte offset 0: .*\(max_buffer_size=500\)"):
        list(iter_load(io.BytesIO(stream), 7, max_buffer_size=500))
    with pytest.raises(TypeError, match="^iter_load\\(\\) max_depth must be an int or None, not float$"):
        iter_load(io.BytesIO(stream), max_depth=2.0)  # at the call, before any read
    with pytest.raises(ValueError, match="^iter_load\\(\\) max_buffer_size must be at least 1, or None$"):
        iter_load(io.BytesIO(stream), max_buffer_size=0)


def test_iter_load_holds_the_values_of_one_read_within_the_limit():
    # Each 64 KiB read of empty lists makes 32768 values: under the limit,
    # only a slice of them is made before the first is yielded.
    limit = 4096
    values = iter_load(io.BytesIO(b"\x00\x80" * 65536), max_buffer_size=limit)
    tracemalloc.start()
    try:
        assert next(values) == []
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 65536 + 2 * limit  # the read, and its values
    assert sum(1 for _ in values) == 65535


# Reads fed in slices of max_buffer_size // 64 bytes: 20 here.
@pytest.mark.parametrize("chunk_size", [19, 20, 21, 40, 61, 1000])
def test_iter_load_delivers_whatever_the_slices_cut(chunk_size):
    stream = b"".join(dumps(value) for value in ([1, [b"ab" * 20, 2.5]], b"q" * 600, [[[]]] * 3, 2**70))
    stream += b"\x03\x80\x01\x81\x20\x87"  # a list open, then a bad element
    whole = list(iter_load(io.BytesIO(stream[:-6])))
    received = []
    with pytest.raises(MolvarError, match="vocabulary index") as caught:
        for value in iter_load(io.BytesIO(stream), chunk_size, max_buffer_size=1280):
            received.append(value)
    assert received == whole[: len(received)] and len(received) == 4
    assert caught.value.offset == len(stream) - 2


def test_refusals():
    with pytest.raises(ValueError):
        iter_load(io.BytesIO(dumps(1)), 0)
    with pytest.raises(TypeError, match="text"):
        list(iter_load(io.StringIO("abc")))
    with pytest.raises(TypeError):
        load(object())
    with pytest.raises(TypeError, match="^dump needs a binary file, not a text file$"):
        dump(1, io.StringIO())
    fp = io.BytesIO()
    with pytest.raises(MolvarError):
        dump([1, "text"], fp)
    assert fp.getvalue() == b""  # nothing written for a value that cannot be encoded


def pipe_files():
    read_fd, write_fd = os.pipe()
    return os.fdopen(read_fd, "rb"), os.fdopen(write_fd, "wb", buffering=0)


def socket_files():
    with socket.create_server(("127.0.0.1", 0)) as server:
        client = socket.create_connection(server.getsockname(), timeout=10)
        accepted, _ = server.accept()
    accepted.settimeout(10)
    reader, writer = accepted.makefile("rb"), client.makefile("wb", buffering=0)
    accepted.close()  # the files keep the sockets open
    client.close()
    return reader, writer


@pytest.mark.parametrize("make_files", [pipe_files, socket_files], ids=["pipe", "socket"])
def test_iter_load_yields_each_value_as_it_arrives(make_files):
    rng = random.Random(7)
    later = [[i, rng.randbytes(rng.randrange(40)), [rng.random()] * rng.randrange(3)] for i in range(2000)]
    wire = b"".join(dumps(value) for value in later)
    reader, writer = make_files()
    first_arrived = threading.Event()
    outcome = {}

    def send():
        with writer:
            dump(b"first", writer)
            # iter_load must hand over the first value without waiting for
            # more bytes: if it waited, this would time out.
            outcome["in time"] = first_arrived.wait(10)
            position = 0
            while position < len(wire):  # the rest in random small pieces
                size = rng.randrange(1, 30)
                writer.write(wire[position : position + size])
                position += size

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    received = []
    with reader:
        for value in iter_load(reader):
            received.append(value)
            first_arrived.set()
    sender.join(20)
    assert outcome == {"in time": True}
    assert received == [b"first"] + later


def test_load_raises_on_malformed_bytes_before_the_pipe_ends():
    reader, writer = pipe_files()
    writer.write(dumps(1) + b"\x88")
    closer = threading.Timer(10, writer.close)  # if load waited for the end, it gets it late
    closer.start()
    try:
        with pytest.raises(MolvarError):
            load(reader)
        assert not writer.closed
    finally:
        closer.cancel()
        writer.close()
        reader.close()


def test_dump_strict_refuses_what_no_reader_takes_and_writes_nothing():
    stream = io.BytesIO()
    with pytest.raises(MolvarError, match=r"an int of 2\*\*448 or more at \[1\]"):
        dump([1, 2**448], stream, strict=True)
    assert stream.getvalue() == b""
