"""kestrix.vantle.molvar.aio over real loopback sockets, and the echo example.

Every connection is to 127.0.0.1 on a port the system picked; every test
runs under a timeout and asserts no timing.
"""

import asyncio
import collections
import os
import random
import socket
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix.vantle.molvar import Decoder, MolvarError, dumps
from kestrix.vantle.molvar.aio import MolvarProtocol, read_values, write_value, write_value_and_drain

from conftest import REPO

HOST = "127.0.0.1"
MAX_LIST = b"\x00\x00\x28\x80"  # a list of 655360 items, the most a header may announce


def run(coroutine, timeout=20):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def rpc_messages(seed, count, big=0):
    rng = random.Random(seed)
    return [
        [number, rng.choice([b"get", b"put", b"callRemote"]), [rng.randrange(-(2**40), 2**40), rng.random(), rng.randbytes(rng.randrange(60) + big)]]
        for number in range(count)
    ]


class Log:
    """What an echo server saw, by client port."""

    def __init__(self):
        self.values = collections.defaultdict(list)
        self.errors = {}
        self.timeouts = []
        self.bytes = 0
        self.paused_reading = False


class EchoProtocol(MolvarProtocol):
    def __init__(self, log, idle_timeout=None, limits=None):
        self.log = log
        self.idle_timeout = idle_timeout
        for name, limit in (limits or {}).items():
            setattr(self, name, limit)

    def connection_made(self, transport):
        super().connection_made(transport)
        self.port = transport.get_extra_info("peername")[1]

    def data_received(self, data):
        self.log.bytes += len(data)
        super().data_received(data)

    def value_received(self, value):
        self.log.values[self.port].append(value)
        self.send_value(value)

    def bad_input(self, error):
        self.log.errors[self.port] = error
        super().bad_input(error)

    def timed_out(self):
        self.log.timeouts.append(self.port)
        super().timed_out()


async def start_server(kind, log, protocol=EchoProtocol, idle_timeout=None, limits=None):
    if kind == "protocol":
        server = await asyncio.get_running_loop().create_server(lambda: protocol(log, idle_timeout, limits), HOST, 0)
    else:

        async def echo(reader, writer):
            port = writer.get_extra_info("peername")[1]
            try:
                async for value in read_values(reader, idle_timeout=idle_timeout, **(limits or {})):
                    log.values[port].append(value)
                    await write_value_and_drain(writer, value)
            except MolvarError as error:
                log.errors[port] = error
            except asyncio.TimeoutError:
                log.timeouts.append(port)
            finally:
                writer.close()

        server = await asyncio.start_server(echo, HOST, 0)
    return server, server.sockets[0].getsockname()[1]


async def echo_client(port, messages, rng=None):
    """Sends the messages (in random small pieces with `rng`), then its EOF;
    returns every echo up to the server's EOF."""
    reader, writer = await asyncio.open_connection(HOST, port)

    async def send():
        wire = b"".join(dumps(message) for message in messages)
        position = 0
        while position < len(wire):
            size = rng.randrange(1, 64) if rng else len(wire)
            writer.write(wire[position : position + size])
            position += size
            await writer.drain()
        writer.write_eof()

    sender = asyncio.ensure_future(send())
    try:
        return [value async for value in read_values(reader)]
    finally:
        await sender
        writer.close()


@pytest.mark.parametrize("kind", ["protocol", "streams"])
def test_thousands_of_messages_sent_in_random_small_pieces(kind):
    messages = rpc_messages(1, 3000)

    async def scenario():
        server, port = await start_server(kind, Log())
        async with server:
            return await echo_client(port, messages, random.Random(2))

    assert run(scenario()) == messages


async def hostile_client(port, data, send_eof=False, eof_after=None):
    """Sends `data`, and its EOF if `send_eof` (once `eof_after` is set, if
    given), then waits for the server to end the connection."""
    reader, writer = await asyncio.open_connection(HOST, port)
    own_port = writer.get_extra_info("sockname")[1]
    try:
        writer.write(data)
        if eof_after is not None:
            await eof_after.wait()
        if send_eof:
            writer.write_eof()
        while await reader.read(65536):
            pass
    except ConnectionResetError:
        pass
    finally:
        writer.close()
    return own_port


@pytest.mark.parametrize("kind", ["protocol", "streams"])
def test_hostile_clients_are_dropped_and_the_others_served(kind):
    hostile = {  # data, whether an EOF follows, offset of the error, values received before
        "garbage after a value": (dumps(7) + b"\x88" + b"junk" * 10, False, 2, [7]),
        "truncated value": (dumps([1, b"abcdef"])[:-3], True, 4, []),
        "header of 65 digits": (b"\x00" * 65 + b"\x81", False, 0, []),
        "list too long": (b"\x01\x00\x28\x80", False, 0, []),
        "huge list header, silence, then EOF": (MAX_LIST * 16, True, 64, []),
    }
    good = [rpc_messages(seed, 50) for seed in range(40)]
    log = Log()

    async def scenario():
        server, port = await start_server(kind, log)
        async with server:
            good_done = asyncio.Event()
            attacks = asyncio.ensure_future(
                asyncio.gather(
                    *(
                        hostile_client(port, data, eof, good_done if "silence" in name else None)
                        for name, (data, eof, _, _) in hostile.items()
                    )
                )
            )
            echoes = await asyncio.gather(*(echo_client(port, messages) for messages in good))
            good_done.set()
            return echoes, await attacks

    echoes, attacks = run(scenario())
    assert echoes == good
    for name, own_port in zip(hostile, attacks):
        _, _, offset, values = hostile[name]
        assert log.errors[own_port].offset == offset, name
        assert log.values[own_port] == values, name
    assert len(log.errors) == len(hostile)


@pytest.mark.parametrize("kind", ["protocol", "streams"])
def test_limits_drop_a_peer_at_the_byte_that_goes_over(kind):
    limits = {"max_depth": 8, "max_buffer_size": 4096}
    deep = [1]
    for _ in range(7):
        deep = [deep]  # 8 lists open at once: the most allowed
    good = [deep, [b"x" * 3000], rpc_messages(3, 5)]
    hostile = {  # data, offset of the error, what it names, values received before
        "nested headers": (dumps(7) + MAX_LIST * 100, 2 + 4 * 8, "more than 8 lists open at once (max_depth=8)", [7]),
        "a long open list": (dumps(7) + dumps([b"s" * 10] * 400), None, "bytes held for values not yet delivered (max_buffer_size=4096)", [7]),
    }
    with pytest.raises(MolvarError) as whole:  # where the reads fall changes nothing
        Decoder(**limits).feed(hostile["a long open list"][0])
    log = Log()

    async def scenario():
        with pytest.raises(ValueError, match="^read_values\\(\\) max_buffer_size must be at least 1, or None$"):
            read_values(asyncio.StreamReader(), max_buffer_size=0)  # at the call, before any read
        server, port = await start_server(kind, log, limits=limits)
        async with server:
            attacks = asyncio.gather(*(hostile_client(port, data) for data, _, _, _ in hostile.values()))
            return await echo_client(port, good), await attacks

    echoes, attacks = run(scenario())
    assert echoes == good
    for (offset, message, values), own_port in zip((case[1:] for case in hostile.values()), attacks):
        error = log.errors[own_port]
        if offset is None:
            offset = whole.value.offset
        assert (error.offset, log.values[own_port]) == (offset, values)
        assert message in str(error)
    assert len(log.errors) == len(hostile)


class Transport:
    aborted = False

    def abort(self):
        self.aborted = True

    def is_closing(self):
        return self.aborted

    def get_extra_info(self, name):
        return None


@pytest.mark.parametrize("max_buffer_size", [None, 4096])  # a read fed whole, or in slices
def test_a_dropped_peer_leaves_nothing_of_its_chunk_behind(max_buffer_size):
    # The decoder keeps its error until the connection is lost; if the error
    # kept the frame that read the chunk, in a cycle, every dropped peer's
    # last read would wait for the garbage collector.
    protocol, transport = MolvarProtocol(), Transport()
    protocol.max_buffer_size = max_buffer_size
    protocol.connection_made(transport)
    chunk = dumps(1) + b"\x81" * 1000 + b"\x88" + bytes(100000)  # 1002 values in 16 slices, then garbage
    before = sys.getrefcount(chunk)
    protocol.data_received(chunk)
    assert transport.aborted and protocol._decoder.error.offset == 1002
    assert sys.getrefcount(chunk) == before
    with pytest.raises(ValueError, match="^MolvarProtocol.max_depth must be at least 1, or None$"):
        protocol.max_depth = 0
        protocol.connection_made(Transport())


@pytest.mark.parametrize("kind", ["protocol", "streams"])
def test_the_values_of_one_read_are_held_within_the_limit(kind):
    # 256 KiB of empty lists of one byte (80), the most values one read can
    # make: 16 MB of them at once if they were all made before any is handed over.
    limit, read = 262144, b"\x80" * 262144
    received = collections.Counter()

    class Counting(MolvarProtocol):
        max_depth, max_buffer_size = 64, limit

        def value_received(self, value):
            received[len(value)] += 1

    async def stream():
        reader = asyncio.StreamReader(limit=len(read))
        reader.feed_data(read)
        reader.feed_eof()
        async for value in read_values(reader, len(read), max_depth=64, max_buffer_size=limit):
            received[len(value)] += 1

    protocol = Counting()
    protocol.connection_made(Transport())
    tracemalloc.start()
    try:
        protocol.data_received(read) if kind == "protocol" else run(stream())
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert received == {0: len(read)}
    # Streams hold the read twice: the reader's buffer (which 3.11 keeps
    # allocated after a read) and read_values' copy of it.
    assert peak < 2 * limit + (2 * len(read) if kind == "streams" else 0)


def test_a_huge_list_header_holds_memory_for_the_bytes_sent():
    log = Log()
    data = MAX_LIST * 4096  # 16 KB of nested lists announcing 655360 items each

    async def scenario():
        server, port = await start_server("protocol", log)
        async with server:
            close_now = asyncio.Event()
            tracemalloc.start()
            try:
                attack = asyncio.ensure_future(hostile_client(port, data, True, close_now))
                while log.bytes < len(data):
                    await asyncio.sleep(0.01)
                _, peak = tracemalloc.get_traced_memory()
            finally:
                tracemalloc.stop()
            echoes = await echo_client(port, [[1, b"still served"]])
            close_now.set()
            await attack
            return peak, echoes

    peak, echoes = run(scenario())
    # Lists made at their announced size would take 5 MB each, 20 GB in all.
    assert peak < 4 * 1024 * 1024
    assert echoes == [[1, b"still served"]]
    assert [error.offset for error in log.errors.values()] == [len(data)]


@pytest.mark.parametrize("kind", ["protocol", "streams"])
def test_an_idle_timeout_drops_a_peer_that_stalls_inside_a_value(kind):
    log = Log()

    messages = rpc_messages(4, 14)

    async def steady_client(port):
        """Sends a message every 50 ms: slow, never idle for long."""
        reader, writer = await asyncio.open_connection(HOST, port)
        for message in messages:
            await write_value_and_drain(writer, message)
            await asyncio.sleep(0.05)
        writer.write_eof()
        echoes = [value async for value in read_values(reader)]
        writer.close()
        return echoes

    async def scenario():
        server, port = await start_server(kind, log, idle_timeout=0.5)
        async with server:
            return await asyncio.gather(hostile_client(port, MAX_LIST * 16), steady_client(port))  # silence, no EOF

    silent_port, echoes = run(scenario())
    assert log.timeouts == [silent_port]
    assert echoes == messages
    assert not log.errors


class SlowToSend(EchoProtocol):
    """An echo server with small send buffers, so that its transport's
    write buffer fills while the client does not read."""

    def connection_made(self, transport):
        super().connection_made(transport)
        transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8192)
        transport.set_write_buffer_limits(high=65536)

    def pause_writing(self):
        super().pause_writing()
        self.log.paused_reading = not self.transport.is_reading()


def test_protocol_stops_reading_while_its_peer_does_not_read():
    messages = rpc_messages(3, 300, big=10000)  # about 3 MB each way
    log = Log()

    async def scenario():
        server, port = await start_server("protocol", log, SlowToSend)
        async with server:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
            sock.setblocking(False)
            await asyncio.get_running_loop().sock_connect(sock, (HOST, port))
            reader, writer = await asyncio.open_connection(sock=sock)
            for message in messages:
                write_value(writer, message)  # no drain: it all waits in this process
            writer.write_eof()
            while not log.paused_reading:
                await asyncio.sleep(0.01)
            echoes = [value async for value in read_values(reader)]
            writer.close()
            return echoes

    assert run(scenario()) == messages
    assert not log.errors


values = st.recursive(
    st.integers(min_value=-(2**80), max_value=2**80) | st.floats(allow_nan=False, allow_infinity=False) | st.binary(max_size=20),
    lambda inner: st.lists(inner, max_size=4),
    max_leaves=10,
)


@settings(max_examples=50, deadline=None)
@given(st.lists(values, max_size=6), st.data())
def test_read_values_over_any_split(stream, data):
    wire = b"".join(dumps(value) for value in stream)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(wire)), max_size=10)))
    bounds = [0] + cuts + [len(wire)]

    async def scenario():
        reader = asyncio.StreamReader()
        for start, end in zip(bounds, bounds[1:]):
            reader.feed_data(wire[start:end])
        reader.feed_eof()
        return [value async for value in read_values(reader, chunk_size=7)]

    assert run(scenario()) == stream


def run_script(*arguments):
    return subprocess.run(
        [sys.executable, *arguments], capture_output=True, text=True, timeout=120, cwd=REPO
    )


def test_echo_example_checks_every_echo():
    result = run_script(os.path.join("examples", "echo.py"), "--messages", "500")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "500 echoes, 0 mismatched" in result.stdout
    result = run_script(os.path.join("examples", "echo.py"), "--messages", "50", "--tamper")
    assert result.returncode == 1
    assert "1 mismatched" in result.stdout


def test_echo_benchmark_runs():
    result = run_script(os.path.join("bench", "echo.py"), "--quick")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("| ints within 32 bits |") == 2
