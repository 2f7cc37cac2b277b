"""An echo server and client over TCP on loopback, with kestrix.vantle.molvar.aio.

    .venv/bin/python examples/echo.py --messages 10000

(from the repository root, after scripts/demo) runs both in this process. The client sends N RPC-like messages of random
shapes and sizes without waiting for the answers, the server sends each
one back, and the client checks every echo against what it sent. It prints
messages per second; the exit status is 0 only if every echo matched.
--tamper makes the server alter one echo, to see the check fail.

The server is a MolvarProtocol subclass; the client uses asyncio streams
with read_values and write_value.
"""

import argparse
import asyncio
import random
import sys
import time
from typing import Any, List, Tuple

from kestrix.vantle.molvar import MolvarError
from kestrix.vantle.molvar.aio import MolvarProtocol, read_values, write_value

HOST = "127.0.0.1"


class EchoServer(MolvarProtocol):
    """Sends every value back as it arrives, with the limits a server sets
    for peers it does not trust (docs/limits.md)."""

    max_depth = 64
    max_buffer_size = 262144
    idle_timeout = 30.0

    def value_received(self, value: Any) -> None:
        self.send_value(value)

    def bad_input(self, error: MolvarError) -> None:
        print("server: dropping a client: %s" % error, file=sys.stderr)
        super().bad_input(error)


class TamperingServer(EchoServer):
    """Alters the first echo of each connection."""

    tampered = False

    def value_received(self, value: Any) -> None:
        if not self.tampered:
            self.tampered = True
            value = [b"tampered", value]
        super().value_received(value)


def random_message(rng: random.Random, number: int) -> List[Any]:
    """[number, method, args]: a request with a few arguments of random kinds and sizes."""

    def argument(depth: int) -> Any:
        kind = rng.random()
        if kind < 0.3:
            return rng.choice([rng.randrange(-100, 100), rng.randrange(-(2**31), 2**31), rng.randrange(-(2**70), 2**70)])
        if kind < 0.5:
            return rng.uniform(-1e9, 1e9)
        if kind < 0.8 or depth > 2:
            return rng.randbytes(rng.choice([0, 3, 12, 40, 200, 3000]))
        return [argument(depth + 1) for _ in range(rng.randrange(6))]

    method = rng.choice([b"get", b"put", b"callRemote", b"subscribe"])
    return [number, method, [argument(0) for _ in range(rng.randrange(5))]]


async def run_client(port: int, messages: List[Any]) -> Tuple[int, int]:
    """Send every message, pipelined, and check the echoes in order.

    Returns (echoes received, echoes that differ from what was sent).
    """
    reader, writer = await asyncio.open_connection(HOST, port)

    async def send() -> None:
        for message in messages:
            write_value(writer, message)
            await writer.drain()  # waits only while the server is behind
        writer.write_eof()

    sender = asyncio.ensure_future(send())
    received = mismatched = 0
    try:
        async for echo in read_values(reader):
            if received >= len(messages) or echo != messages[received]:
                mismatched += 1
            received += 1
        await sender
    finally:
        sender.cancel()
        writer.close()
    return received, mismatched


async def main_async(count: int, seed: int, tamper: bool) -> int:
    rng = random.Random(seed)
    messages = [random_message(rng, number) for number in range(count)]
    loop = asyncio.get_running_loop()
    server = await loop.create_server(TamperingServer if tamper else EchoServer, HOST, 0)
    port = server.sockets[0].getsockname()[1]
    try:
        start = time.perf_counter()
        received, mismatched = await run_client(port, messages)
        elapsed = time.perf_counter() - start
    finally:
        server.close()
        await server.wait_closed()
    print("%d messages, %d echoes, %d mismatched, in %.3f s: %.0f messages per second"
          % (count, received, mismatched, elapsed, received / elapsed if elapsed else 0.0))
    return 0 if received == count and not mismatched else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=10000, metavar="N", help="messages to send (default 10000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random messages")
    parser.add_argument("--tamper", action="store_true", help="the server alters one echo")
    arguments = parser.parse_args()
    if arguments.messages < 0:
        parser.error("--messages must be 0 or more")
    return asyncio.run(main_async(arguments.messages, arguments.seed, arguments.tamper))


if __name__ == "__main__":
    sys.exit(main())
