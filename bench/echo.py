"""Messages per second over loopback: asyncio echo loops, cMolvar against msgpack.

    .venv/bin/python -P bench/echo.py [--quick] [--messages N] [--rounds R] [--no-soak]
    .venv-bench/bin/python -P bench/echo.py   # where scripts/bench installed the peers

A client sends N RPC-like messages to an echo server on 127.0.0.1, without
waiting for the answers (writing each with a drain), reads every echo and
checks it. Two loops, each built the same way on both codecs:

- streams: server and client on asyncio streams. cMolvar reads with
  read_values and writes with write_value_and_drain; msgpack runs the same
  loop on msgpack.Unpacker (fed each chunk read) and packb.
- protocol: the server is an asyncio.Protocol (a MolvarProtocol subclass;
  for msgpack the same protocol on Unpacker); the client is the streams one.

- soak: tests/soak.py, the echo server with limits in its own process,
  rounds of hundreds of honest clients each sending a few dozen messages,
  alone, then beside about a hundred hostile clients (nested list headers,
  a 600 KB string trickling in, garbage, a truncated value then silence,
  a client that sends without reading). Its rows are the honest messages
  per second, clients and server on this machine's cores; below the table,
  the server's peak memory and the drops.

Codecs and loops are interleaved round by round and the best round counts,
so that the ratio holds on a busy machine. The corpus stays within what
msgpack carries (ints within 64 bits). A peer that is not installed is
skipped. --quick sends few messages once: it only proves the benchmark
still works (its figures mean nothing).
"""

import argparse
import asyncio
import collections
import json
import os
import platform
import random
import subprocess
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
SOAK = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "soak.py")


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


async def bench(codecs: List[Codec], count: int, rounds: int, soak: Any) -> None:
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
    if soak is not None:
        per_round = soak["alone"]["clients"] // max(1, soak["rounds"])
        corpus = "soak: %d clients at once, %d messages each" % (per_round, soak["alone"]["messages"] // soak["alone"]["clients"])
        hostile = "%d hostile" % soak["hostile_at_once"]
        for loop_name, phase in (("protocol, limits, alone", "alone"), ("protocol, limits, %s beside" % hostile, "attacked")):
            cells = [corpus, loop_name, "%.0f" % soak["bytes_per_message"], "%.0f" % soak[phase]["messages_per_second"]]
            cells += ["-"] * (len(columns) - len(cells))
            print("| " + " | ".join(cells) + " |")
    if len(codecs) > 1:
        print()
        print("Above 1.00, cMolvar echoes more messages per second.")
    if soak is not None:
        print()
        print(soak_summary(soak))


def run_soak(quick: bool) -> Any:
    """The figures of tests/soak.py, run in its own interpreter."""
    result = subprocess.run([sys.executable, SOAK] + (["--quick"] if quick else []), capture_output=True, text=True, check=True)
    return json.loads(result.stdout.splitlines()[-1])


def soak_summary(soak: Any) -> str:
    server, limits = soak["server"], soak["limits"]
    drops: Dict[str, List[float]] = collections.defaultdict(list)
    for record in soak["hostile"]:
        drop = record["drop"] or {}
        drops[record["kind"]].append(drop["idle"] if drop.get("why") == "idle" else record["latency"])
    lines = [
        "Soak: max_depth=%(max_depth)s, max_buffer_size=%(max_buffer_size)s, idle_timeout=%(idle_timeout)s s;" % limits
        + " %d honest clients (%d messages) alone in %.1f s, and again in %.1f s beside %d attacks, every echo checked."
        % (soak["alone"]["clients"], soak["alone"]["messages"], soak["alone"]["seconds"], soak["attacked"]["seconds"], len(soak["hostile"])),
        "Server: %.1f MB idle, peak (VmHWM) %.1f MB alone and %.1f MB under attack; %.1f KB per idle connection;"
        % (server["idle_rss_kb"] / 1024, server["peak_alone_kb"] / 1024, server["peak_kb"] / 1024, server["connection_kb"])
        + " %d descriptors before, %d after." % (server["fds_idle"], server["fds_after"]),
        "Drops (kind: attacks, seconds from the last byte sent to the drop, or idle seconds at the drop, max): "
        + ", ".join("%s: %d, %.2f s" % (kind, len(times), max(times)) for kind, times in drops.items()) + ".",
    ]
    return "\n".join(lines)





def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few messages, once: proves the benchmark runs")
    parser.add_argument("--messages", type=int, default=10000, metavar="N", help="messages per run (default 10000)")
    parser.add_argument("--rounds", type=int, default=9, metavar="R", help="rounds; the best counts (default 9)")
    parser.add_argument("--no-soak", action="store_true", help="skip the soak with hostile clients (tests/soak.py)")
    arguments = parser.parse_args()
    count, rounds = (300, 1) if arguments.quick else (arguments.messages, arguments.rounds)
    if count <= 0 or rounds <= 0:
        parser.error("--messages and --rounds must be positive")
    codecs = [molvar_codec()]
    if msgpack is None:
        print("msgpack is not installed: measuring cMolvar alone")
    else:
        codecs.append(msgpack_codec())
    soak = None if arguments.no_soak else run_soak(arguments.quick)
    asyncio.run(bench(codecs, count, rounds, soak))
    return 0


if __name__ == "__main__":
    sys.exit(main())
