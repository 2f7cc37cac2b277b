"""Cost of the high-level API over the bare cMolvar calls.

1. A 640 KiB string (655360 bytes, the largest the decoder accepts) given to
   Decoder.feed whole, in 1 KiB chunks, and in 64-byte chunks; beside it,
   the naive loop that joins the tail to every chunk and decodes again,
   which is quadratic. The target: 1 KiB chunks cost at most 3x whole.
2. dumps/loads on a small message against newBuf+encode+get and
   newState+dataReceived.

Run: .venv/bin/python -P bench/decoder_feed.py
"""

import timeit

import cMolvar
from kestrix.vantle.molvar import Decoder, dumps, loads

REPEAT = 7


def best(function, number):
    return min(timeit.repeat(function, number=number, repeat=REPEAT)) / number


def chunks_of(data, size):
    return [data[i : i + size] for i in range(0, len(data), size)]


def feed_decoder(chunks):
    decoder = Decoder()
    received = []
    for chunk in chunks:
        received += decoder.feed(chunk)
    assert len(received) == 1


def feed_naive(chunks):
    state = cMolvar.newState()
    received = []
    pending = b""
    for chunk in chunks:
        pending += chunk
        pending = pending[cMolvar.dataReceived(state, pending, received.append) :]
    assert len(received) == 1


class NoOp:
    def feed(self, chunk):
        return []


def feed_floor(chunks):
    """The least any Python-level feed can cost: one method call a chunk."""
    feed = NoOp().feed
    received = []
    for chunk in chunks:
        received += feed(chunk)


def big_string():
    wire = dumps(b"z" * 655360)
    whole = best(lambda: cMolvar.dataReceived(cMolvar.newState(), wire, lambda value: None), 200)
    print("640 KiB string, %d wire bytes; whole = one dataReceived call on all of it: %.3f ms" % (len(wire), whole * 1e3))
    print()
    print("| fed as | chunks | Decoder.feed | x whole | floor: no-op call a chunk | naive re-decode loop | x whole |")
    print("|---|---|---|---|---|---|---|")
    for label, size in (
        ("whole", len(wire)),
        ("64 KiB chunks", 65536),
        ("16 KiB chunks", 16384),
        ("1 KiB chunks", 1024),
        ("64-byte chunks", 64),
    ):
        chunks = chunks_of(wire, size)
        number = max(1, 20000 // len(chunks))
        decoder_time = best(lambda: feed_decoder(chunks), number)
        floor_time = best(lambda: feed_floor(chunks), number)
        naive_time = best(lambda: feed_naive(chunks), max(1, number // 20))
        print(
            "| %s | %d | %.3f ms | %.1f | %.3f ms | %.3f ms | %.0f |"
            % (
                label,
                len(chunks),
                decoder_time * 1e3,
                decoder_time / whole,
                floor_time * 1e3,
                naive_time * 1e3,
                naive_time / whole,
            )
        )


def small_message():
    message = [b"answer", 7, [2147483647, -2147483648, 2**100], [1.5, -0.1], (b"payload", b"\x00\xff" * 4), []]
    wire = dumps(message)

    def bare_encode():
        buf = cMolvar.newBuf()
        cMolvar.encode(message, buf)
        return buf.get()

    def bare_decode():
        received = []
        cMolvar.dataReceived(cMolvar.newState(), wire, received.append)
        return received[0]

    number = 20000
    print()
    print("small message, %d wire bytes" % len(wire))
    print("| operation | API | bare cMolvar | overhead |")
    print("|---|---|---|---|")
    for label, api, bare in (
        ("encode", lambda: dumps(message), bare_encode),
        ("decode", lambda: loads(wire), bare_decode),
        ("decode with Decoder.feed", lambda: Decoder().feed(wire), bare_decode),
    ):
        api_time = best(api, number)
        bare_time = best(bare, number)
        print("| %s | %.2f us | %.2f us | %.2f us |" % (label, api_time * 1e6, bare_time * 1e6, (api_time - bare_time) * 1e6))


if __name__ == "__main__":
    big_string()
    small_message()
