"""Messages per second over loopback: asyncio echo loops, cMolvar against msgpack.

    .venv/bin/python -P bench/echo.py [--quick] [--messages N] [--rounds R]
    .venv-bench/bin/python -P bench/echo.py   # where scripts/bench installed the peers

A client sends N RPC-like messages to an echo server on 127.0.0.1, without
waiting for the answers (writing each with a drain), reads every echo and
checks it. Two loops, each built the same way on both codecs:

- streams: server and client on asyncio streams. cMolvar reads with
  read_values and writes with write_value_and_drain; msgpack runs the same
  loop on msgpack.Unpacker (fed each chunk read) and packb.
- protocol: the server is an asyncio.Protocol (a MolvarProtocol subclass;
  for msgpack the same protocol on Unpacker); the client is the streams one.

Codecs and loops are interleaved round by round and the best round counts,
so that the ratio holds on a busy machine. The corpus stays within what
msgpack carries (ints within 64 bits). A peer that is not installed is
skipped. --quick sends few messages once: it only proves the benchmark
still works (its figures mean nothing).
"""

import argparse
import asyncio
import platform
import random
import sys
import time
from typing import Any, AsyncIterator, Callable, Dict, List, Tuple

from kestrix.vantle.molvar import dumps
from kestrix.vantle.molvar.aio import MolvarProtocol, read_values

try:
    import msgpack  # type: ignore[import]
except ImportError:
    msgpack = None

HOST = "127.0.0.1"
CHUNK_SIZE = 65536


def rpc_messages(count: int, wide: bool, seed: int = 1) -> List[Any]:
    """[number, method, target, args]: a few ints, floats and byte strings.

    With ``wide``, each message also carries a 40-bit id, which cMolvar
    sends as a big int (its short ints hold 32 bits).
    """
    rng = random.Random(seed)
    messages = []
    for number in range(count):
        args: List[Any] = [
            rng.choice([rng.randrange(100), rng.randrange(-(2**31), 2**31), rng.random() * 1e6])
            for _ in range(rng.randrange(4))
        ]
        args += [rng.randbytes(rng.choice([0, 8, 30, 120])) for _ in range(rng.randrange(3))]
        if rng.random() < 0.2:
            args.append([[rng.randrange(1000), rng.randbytes(6)] for _ in range(rng.randrange(1, 8))])
        if wide:
            args.append(rng.randrange(2**39, 2**40))
        messages.append([number, rng.choice([b"callRemote", b"answer", b"error"]), b"obj-%d" % rng.randrange(10000), args])
    return messages


class Codec:
    """What a loop needs of a codec: encode, iterate over a stream reader's
    values, and an echo protocol."""

    def __init__(self, name: str, encode: Callable[[Any], bytes], values: Callable[..., AsyncIterator[Any]], protocol: type):
        self.name = name
        self.encode = encode
        self.values = values
        self.protocol = protocol


class MolvarEcho(MolvarProtocol):
    def value_received(self, value: Any) -> None:
        self.send_value(value)


def molvar_codec() -> Codec:
    return Codec("cMolvar", dumps, read_values, MolvarEcho)


def msgpack_codec() -> Codec:
    def encode(value: Any) -> bytes:
        data: bytes = msgpack.packb(value, use_bin_type=True)
        return data

    async def values(reader: asyncio.StreamReader) -> AsyncIterator[Any]:
        unpacker = msgpack.Unpacker(raw=True)
        while True:
            chunk = await reader.read(CHUNK_SIZE)
            if not chunk:
                break
            unpacker.feed(chunk)
            for value in unpacker:
                yield value

    class MsgpackEcho(asyncio.Protocol):
        def connection_made(self, transport: Any) -> None:
            self.transport = transport
            self.unpacker = msgpack.Unpacker(raw=True)

        def data_received(self, data: bytes) -> None:
            self.unpacker.feed(data)
            for value in self.unpacker:
                self.transport.write(encode(value))

        # The same back-pressure as MolvarProtocol's.
        def pause_writing(self) -> None:
            self.transport.pause_reading()

        def resume_writing(self) -> None:
            self.transport.resume_reading()

    return Codec("msgpack", encode, values, MsgpackEcho)


async def stream_server(codec: Codec) -> asyncio.AbstractServer:
    async def echo(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            async for value in codec.values(reader):
                writer.write(codec.encode(value))
                await writer.drain()
        finally:
            writer.close()

    return await asyncio.start_server(echo, HOST, 0)


async def protocol_server(codec: Codec) -> asyncio.AbstractServer:
    return await asyncio.get_running_loop().create_server(codec.protocol, HOST, 0)


async def client(codec: Codec, port: int, messages: List[Any]) -> int:
    """Sends every message, checks every echo; returns how many matched."""
    reader, writer = await asyncio.open_connection(HOST, port)

    async def send() -> None:
        for message in messages:
            writer.write(codec.encode(message))
            await writer.drain()
        writer.write_eof()

    sender = asyncio.ensure_future(send())
    matched = 0
    try:
        async for echo in codec.values(reader):
            if matched < len(messages) and echo == messages[matched]:
                matched += 1
        await sender
    finally:
        sender.cancel()
        writer.close()
    return matched


async def one_run(codec: Codec, make_server: Callable[[Codec], Any], messages: List[Any]) -> float:
    """Messages per second of one echo run; raises if an echo differs."""
    server = await make_server(codec)
    port = server.sockets[0].getsockname()[1]
    try:
        start = time.perf_counter()
        matched = await client(codec, port, messages)
        elapsed = time.perf_counter() - start
    finally:
        server.close()
        await server.wait_closed()
    if matched != len(messages):
        raise SystemExit("%s: %d of %d echoes matched" % (codec.name, matched, len(messages)))
    return len(messages) / elapsed


async def bench(codecs: List[Codec], count: int, rounds: int) -> None:
    corpora = [("ints within 32 bits", rpc_messages(count, False)), ("one 40-bit int each", rpc_messages(count, True))]
    loops = [("streams", stream_server), ("protocol", protocol_server)]
    best: Dict[Tuple[str, str, str], float] = {}
    for _ in range(rounds):
        for corpus, messages in corpora:
            for loop_name, make_server in loops:
                for codec in codecs:
                    rate = await one_run(codec, make_server, messages)
                    key = (corpus, loop_name, codec.name)
                    best[key] = max(best.get(key, 0.0), rate)
    print("RPC messages over loopback, %d a run, best of %d rounds" % (count, rounds))
    print("Python %s, %s, %s" % (platform.python_version(), platform.machine(), platform.system()))
    print()
    names = [codec.name for codec in codecs]
    columns = ["corpus", "loop", "bytes/msg"] + ["%s msg/s" % name for name in names]
    if len(codecs) > 1:
        columns.append("cMolvar / %s" % names[1])
    print("| " + " | ".join(columns) + " |")
    print("|---" * len(columns) + "|")
    for corpus, messages in corpora:
        size = sum(len(dumps(message)) for message in messages) / len(messages)
        for loop_name, _ in loops:
            rates = [best[(corpus, loop_name, name)] for name in names]
            cells = [corpus, loop_name, "%.0f" % size] + ["%.0f" % rate for rate in rates]
            if len(rates) > 1:
                cells.append("%.2f" % (rates[0] / rates[1]))
            print("| " + " | ".join(cells) + " |")
    if len(codecs) > 1:
        print()
        print("Above 1.00, cMolvar echoes more messages per second.")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few messages, once: proves the benchmark runs")
    parser.add_argument("--messages", type=int, default=10000, metavar="N", help="messages per run (default 10000)")
    parser.add_argument("--rounds", type=int, default=9, metavar="R", help="rounds; the best counts (default 9)")
    arguments = parser.parse_args()
    count, rounds = (300, 1) if arguments.quick else (arguments.messages, arguments.rounds)
    if count <= 0 or rounds <= 0:
        parser.error("--messages and --rounds must be positive")
    codecs = [molvar_codec()]
    if msgpack is None:
        print("msgpack is not installed: measuring cMolvar alone")
    else:
        codecs.append(msgpack_codec())
    asyncio.run(bench(codecs, count, rounds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
