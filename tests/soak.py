"""A soak over loopback: a MolvarProtocol echo server with limits, in its own
process, serving honest clients while hostile ones attack it.

    python tests/soak.py [--quick]          # the figures, as JSON
    python tests/soak.py serve LIMITS       # the server alone (what the soak starts)

The server listens on 127.0.0.1, on a port the system picks, and answers
commands on its standard input, one a line: ``stats`` prints what it saw as
one JSON line (drops, echoes, open connections, VmHWM and VmRSS),
``reset-peak`` resets the peak resident set (VmHWM);
the end of its input stops it.

The soak runs the honest clients alone, then the same number again beside
the hostile ones, and waits until the server has dropped every hostile
client. Each client sends a bounded amount and every wait has a time limit,
so a run ends by itself. ``run`` returns the figures; tests/test_soak.py
checks them and bench/echo.py reports the throughput.
"""

import asyncio
import json
import os
import random
import socket
import subprocess
import sys
import time

from kestrix.vantle.molvar import Decoder, MolvarError, dumps
from kestrix.vantle.molvar.aio import MolvarProtocol, read_values

HOST = "127.0.0.1"
MAX_LIST = b"\x00\x00\x28\x80"  # a list of 655360 items, the most a header may announce
STRING_600K = b"\x00\x40\x25\x82"  # the header of a 614400-byte string

# The server's limits, and the soak's sizes; QUICK for a short run (debug
# and sanitizer builds, the benchmark's --quick).
LIMITS = {"max_depth": 64, "max_buffer_size": 16384, "idle_timeout": 2.0}
# Rounds of `honest` clients at once, each sending `messages`; beside them,
# `hostile` clients of each kind, each attacking again once dropped, until
# the honest rounds are done (`attacks` times at most).
FULL = {"rounds": 16, "honest": 300, "messages": 30, "attacks": 40,
        "hostile": {"nested": 30, "trickle": 10, "garbage": 20, "truncated": 20, "no-read": 20}}
QUICK = {"rounds": 2, "honest": 40, "messages": 20, "attacks": 2,
         "hostile": {"nested": 4, "trickle": 2, "garbage": 4, "truncated": 4, "no-read": 4}}
# A kind refused on its bytes, or dropped for going silent.
REFUSED = ("nested", "trickle", "garbage")


# --- the server -----------------------------------------------------------------


def status_kb(pid="self"):
    """VmHWM and VmRSS of a process, in KB."""
    fields = {}
    with open("/proc/%s/status" % pid) as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmHWM", "VmRSS"):
                fields[name] = int(rest.split()[0])
    return fields


def open_fds(pid="self"):
    return len(os.listdir("/proc/%s/fd" % pid))


def serve(limits):
    asyncio.run(_serve(limits))


async def _serve(limits):
    loop = asyncio.get_running_loop()
    drops = {}  # by client port: a port may serve one connection after another
    counts = {"made": 0, "open": 0, "echoed": 0}

    class SoakEcho(MolvarProtocol):
        max_depth = limits["max_depth"]
        max_buffer_size = limits["max_buffer_size"]
        idle_timeout = limits["idle_timeout"]

        def connection_made(self, transport):
            super().connection_made(transport)
            self.port = transport.get_extra_info("peername")[1]
            self.last = loop.time()
            counts["made"] += 1
            counts["open"] += 1

        def data_received(self, data):
            self.last = loop.time()
            super().data_received(data)

        def value_received(self, value):
            counts["echoed"] += 1
            self.send_value(value)

        def bad_input(self, error):
            drops.setdefault(self.port, []).append({"why": "bad input", "offset": error.offset, "message": str(error)})
            super().bad_input(error)

        def timed_out(self):
            drops.setdefault(self.port, []).append({"why": "idle", "idle": loop.time() - self.last})
            super().timed_out()

        def connection_lost(self, exc):
            super().connection_lost(exc)
            counts["open"] -= 1

    server = await loop.create_server(SoakEcho, HOST, 0, backlog=4096)
    commands = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(commands), sys.stdin)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port, "pid": os.getpid()}), flush=True)
    async with server:
        while True:
            line = (await commands.readline()).strip()
            if not line:
                break
            if line == b"reset-peak":
                with open("/proc/self/clear_refs", "w") as clear:
                    clear.write("5")
                print(json.dumps({"reset": True}), flush=True)
            elif line == b"stats":
                stats = dict(counts, drops=drops, **status_kb())
                print(json.dumps(stats), flush=True)


# --- the clients ----------------------------------------------------------------


def rpc_messages(seed, count):
    """RPC-like messages: [number, method, target, args], args of small and
    40-bit ints, floats, byte strings and a nested list now and then."""
    rng = random.Random(seed)
    messages = []
    for number in range(count):
        args = [rng.choice([rng.randrange(100), rng.randrange(-(2**40), 2**40), rng.random() * 1e6]) for _ in range(rng.randrange(4))]
        args += [rng.randbytes(rng.choice([0, 8, 30, 200])) for _ in range(rng.randrange(3))]
        if rng.random() < 0.2:
            args.append([[rng.randrange(1000), rng.randbytes(6)] for _ in range(rng.randrange(1, 8))])
        messages.append([number, rng.choice([b"callRemote", b"answer", b"error"]), b"obj-%d" % rng.randrange(10000), args])
    return messages


async def honest_client(port, seed, count):
    """Sends `count` messages and checks every echo: (echoes matched, mismatched)."""
    messages = rpc_messages(seed, count)
    reader, writer = await asyncio.open_connection(HOST, port)

    async def send():
        for message in messages:
            writer.write(dumps(message))
            await writer.drain()
        writer.write_eof()

    sender = asyncio.ensure_future(send())
    matched = mismatched = 0
    try:
        async for echo in read_values(reader, idle_timeout=30):
            if matched + mismatched < len(messages) and echo == messages[matched + mismatched]:
                matched += 1
            else:
                mismatched += 1
        await sender
    finally:
        sender.cancel()
        writer.close()
    return matched, mismatched


def refused_at(data, limits, step=None):
    """Where a Decoder with the server's limits refuses `data` (fed `step`
    bytes at a time): (offset, message), or None."""
    decoder = Decoder(max_depth=limits["max_depth"], max_buffer_size=limits["max_buffer_size"])
    step = step or len(data)
    try:
        for start in range(0, len(data), step):
            decoder.feed(data[start : start + step])
    except MolvarError as error:
        return error.offset, str(error)
    return None


async def wait_closed(reader, limit):
    """Reads until the server ends the connection, `limit` seconds at most:
    True if it did."""

    async def read_all():
        while await reader.read(65536):
            pass

    try:
        await asyncio.wait_for(read_all(), limit)
    except asyncio.TimeoutError:
        return False
    except ConnectionError:
        pass
    return True


async def hostile_client(port, kind, seed, limits):
    """One attack; returns what it did and saw."""
    rng = random.Random(seed)
    limit = limits["idle_timeout"] + 20
    if kind == "no-read":
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        sock.setblocking(False)
        await asyncio.get_running_loop().sock_connect(sock, (HOST, port))
        reader, writer = await asyncio.open_connection(sock=sock)
    else:
        reader, writer = await asyncio.open_connection(HOST, port)
    own_port = writer.get_extra_info("sockname")[1]
    started = time.monotonic()
    record = {"kind": kind, "port": own_port, "expected": None, "sent": 0, "started": started}
    last_write = started
    try:
        if kind == "nested":
            data = MAX_LIST * 262144  # 1 MB of nested maximal list headers
            record["expected"] = refused_at(data, limits)
            writer.write(data)
            record["sent"] = len(data)
            closed = await wait_closed(reader, limit)
        elif kind == "garbage":
            data = b"".join(dumps(value) for value in rpc_messages(seed, rng.randrange(3)))
            data += bytes([rng.randrange(0x88, 0x100)]) + rng.randbytes(4096)
            record["expected"] = refused_at(data, limits)
            writer.write(data)
            record["sent"] = len(data)
            closed = await wait_closed(reader, limit)
        elif kind == "trickle":
            # A declared 600 KB string, a byte at a time, until the server
            # ends the connection (it must, long before the end).
            data = STRING_600K + b"t" * 614400
            record["expected"] = refused_at(data[: limits["max_buffer_size"] * 2], limits, 1)
            closer = asyncio.ensure_future(wait_closed(reader, limit))
            try:
                for byte in range(len(data)):
                    if closer.done() or writer.is_closing():
                        break
                    writer.write(data[byte : byte + 1])
                    last_write = time.monotonic()
                    record["sent"] += 1
                    await writer.drain()
                    await asyncio.sleep(0)
            except ConnectionError:
                pass
            closed = await closer
        elif kind == "truncated":
            data = dumps(rpc_messages(seed, 5))[:-3]
            writer.write(data)
            record["sent"] = len(data)
            closed = await wait_closed(reader, limit)  # silence, and no EOF
        else:  # no-read: requests, never reading the answers
            message = dumps([0, b"put", b"x" * 4096])

            async def send():
                for _ in range(20000):  # 80 MB at most; it is stopped well before
                    writer.write(message)
                    record["sent"] += len(message)
                    await writer.drain()
                    nonlocal last_write
                    last_write = time.monotonic()

            try:
                await asyncio.wait_for(send(), limit)
            except (ConnectionError, asyncio.TimeoutError):
                pass
            closed = await wait_closed(reader, limit)
    except ConnectionError:
        closed = True
    finally:
        record["seconds"] = time.monotonic() - started
        record["latency"] = time.monotonic() - last_write  # from its last write to the drop
        writer.close()
    record["closed"] = closed
    return record


async def attack_and_serve(port, config, limits, attack):
    """Rounds of honest clients, beside hostile ones with `attack`: the
    honest figures, and a record of every attack."""
    done = asyncio.Event()
    records = []

    async def keep_attacking(kind, seed):
        for attack in range(config["attacks"]):
            records.append(await hostile_client(port, kind, seed * 1000 + attack, limits))
            if done.is_set():
                break

    seeds = [(kind, 10000 + i) for i, kind in enumerate(kind for kind, count in config["hostile"].items() for _ in range(count))]
    attackers = [asyncio.ensure_future(keep_attacking(kind, seed)) for kind, seed in seeds] if attack else []
    started = time.perf_counter()
    results = []
    for round_ in range(config["rounds"]):
        base = (round_ + config["rounds"] * attack) * config["honest"]
        results += await asyncio.gather(*(honest_client(port, base + seed, config["messages"]) for seed in range(config["honest"])))
    elapsed = time.perf_counter() - started
    done.set()
    await asyncio.gather(*attackers)
    echoes = sum(matched for matched, _ in results)
    return {
        "clients": len(results),
        "messages": len(results) * config["messages"],
        "matched": echoes,
        "mismatched": sum(mismatched for _, mismatched in results),
        "seconds": elapsed,
        "messages_per_second": echoes / elapsed,
    }, records


async def connection_cost(server, count=200):
    """The server's resident set per connection open and idle, in KB."""
    before = server.command("stats")["VmRSS"]
    sockets = []
    try:
        for _ in range(count):
            _, writer = await asyncio.open_connection(HOST, server.port)
            sockets.append(writer)
        stats = await settle(server, open_at_least=count)
    finally:
        for writer in sockets:
            writer.close()
    await settle(server)
    return (stats["VmRSS"] - before) / count


class Server:
    """The soak server in its own process."""

    def __init__(self, limits):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", json.dumps(limits)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        started = json.loads(self.process.stdout.readline())
        self.port, self.pid = started["port"], started["pid"]

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


async def settle(server, open_at_least=0, limit=10.0):
    """Waits until the server has `open_at_least` connections open (none
    with 0), `limit` seconds at most."""
    deadline = time.monotonic() + limit
    while True:
        stats = server.command("stats")
        if (stats["open"] >= open_at_least if open_at_least else stats["open"] == 0) or time.monotonic() > deadline:
            return stats
        await asyncio.sleep(0.05)


async def soak(config, limits):
    started = time.perf_counter()
    server = Server(limits)
    try:
        idle = server.command("stats")
        fds_idle = open_fds(server.pid)
        per_connection = await connection_cost(server)
        alone, _ = await attack_and_serve(server.port, config, limits, attack=False)
        peak_alone = (await settle(server))["VmHWM"]
        server.command("reset-peak")
        before_attack = server.command("stats")
        attacked, hostile = await attack_and_serve(server.port, config, limits, attack=True)
        after = await settle(server)
        fds_after = open_fds(server.pid)
    finally:
        server.stop()
    # Each attack with what the server said of it, in the order of each port's connections.
    drops = {int(port): list(reversed(entries)) for port, entries in after["drops"].items()}
    for record in sorted(hostile, key=lambda record: record["started"]):
        entries = drops.get(record["port"])
        record["drop"] = entries.pop() if entries else None
    sample = rpc_messages(0, 1000)
    return {
        "limits": limits,
        "rounds": config["rounds"],
        "hostile_at_once": sum(config["hostile"].values()),
        "bytes_per_message": sum(len(dumps(message)) for message in sample) / len(sample),
        "alone": alone,
        "attacked": attacked,
        "hostile": hostile,
        "unmatched_drops": sum(len(entries) for entries in drops.values()),
        "server": {
            "idle_rss_kb": idle["VmRSS"],
            "connection_kb": per_connection,
            "rss_before_attack_kb": before_attack["VmRSS"],
            "peak_alone_kb": peak_alone,
            "peak_kb": after["VmHWM"],  # under attack
            "open_after": after["open"],
            "fds_idle": fds_idle,
            "fds_after": fds_after,
            "connections": after["made"],
            "echoed": after["echoed"],
        },
        "seconds": time.perf_counter() - started,
    }


def run(quick=False, limits=LIMITS):
    return asyncio.run(soak(QUICK if quick else FULL, limits))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "serve":
        serve(json.loads(sys.argv[2]))
    else:
        print(json.dumps(run(quick="--quick" in sys.argv[1:])))
