"""cMolvar against the serializers a Python user would pick instead.

    scripts/bench                 # builds, then runs the full benchmark
    .venv/bin/python -P bench/run.py [--quick] [--repeats N] [--filter WORD]

Every corpus is encoded and decoded by every codec that can carry it, all
in this one process and interleaved sample by sample, so that the ratios
hold on a noisy machine. A sample is the best of N repeats of a loop long
enough to be timed, with the garbage collector off while it runs. Before
any timing, each codec's round trip is checked against the corpus.

The first table gives cMolvar's time over each peer's (below 1.0: cMolvar
is faster); the second, decoding throughput when a stream arrives in
chunks and the unconsumed tail is presented again with the next one.

--quick shrinks the corpora and times each loop once: it runs in seconds
and only proves that the benchmark still works (its figures mean nothing).
"""

import argparse
import gc
import marshal
import math
import os
import pickle
import platform
import random
import sys
import time

import cMolvar
import kestrix.vantle.molvar  # noqa: F401  (installs the big-integer converters)

try:
    import msgpack
except ImportError:  # the table then has no msgpack column
    msgpack = None

KIB = 1024


# ---------------------------------------------------------------- corpora


class Corpus:
    """`values` are encoded one call each; `peers` is the set of peers
    that can carry them (every one unless said otherwise)."""

    def __init__(self, name, values, peers=("msgpack", "marshal", "pickle")):
        self.name = name
        self.values = values
        self.peers = peers


def rpc_message(rng, i):
    """A name, a small int, two short byte strings and a few mixed args."""
    return [
        b"callRemote",
        i,
        b"obj-%d" % rng.randrange(10000),
        rng.choice([b"getItem", b"update", b"notify", b"ping"]),
        [rng.randrange(-1000, 1000), b"key%d" % i, rng.random() * 100.0, rng.randrange(2**20)],
    ]


def make_corpora(scale):
    """The corpora; `scale` divides their sizes (1 for the real figures)."""
    rng = random.Random(20260)
    n = lambda count: max(1, count // scale)  # noqa: E731
    rpc = [rpc_message(rng, i) for i in range(n(2000))]
    return [
        Corpus("RPC messages, one by one", rpc),
        Corpus("RPC messages, one list", [rpc]),
        Corpus(
            "nested small-int lists, one by one",
            [[[list(range(10)), list(range(10))] for _ in range(10)] for _ in range(n(200))],
        ),
        Corpus("[7] * 10000", [[7] * n(10000)]),
        Corpus("1000 bytes of 0-99 B", [[b"x" * (i % 100) for i in range(n(1000))]]),
        Corpus("10000 empty lists", [[[] for _ in range(n(10000))]]),
        Corpus("100k int32", [[rng.randrange(-(2**31), 2**31) for _ in range(n(100000))]]),
        Corpus("100k floats", [[rng.uniform(-1e9, 1e9) for _ in range(n(100000))]]),
        Corpus("100k short bytes", [[rng.randbytes(rng.randrange(17)) for _ in range(n(100000))]]),
        Corpus("600 KB bytes", [rng.randbytes(600 * 1000 // scale)]),
        Corpus(
            "ints beyond 64 bits",
            [[rng.choice((1, -1)) * rng.randrange(2**64, 2**200) for _ in range(n(10000))]],
            peers=("marshal", "pickle"),
        ),
    ]


# ----------------------------------------------------------------- codecs
#
# Each maker takes the list of values and returns a function that runs the
# whole loop and returns what it produced (freed by the timing loop, as a
# caller would free it).


def molvar_encoder(values):
    buf = cMolvar.newBuf()
    clear, get, encode = buf.clear, buf.get, cMolvar.encode

    def run():
        out = []
        append = out.append
        for value in values:
            clear()
            encode(value, buf)
            append(get())
        return out

    return run


def molvar_decoder(blobs):
    new_state, data_received = cMolvar.newState, cMolvar.dataReceived

    def run():
        out = []
        append = out.append
        for blob in blobs:
            data_received(new_state(), blob, append)
        return out

    return run


def molvar_encode_one(value):
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


def molvar_decode_one(blob):
    out = []
    consumed = cMolvar.dataReceived(cMolvar.newState(), blob, out.append)
    assert consumed == len(blob) and len(out) == 1, (consumed, len(out))
    return out[0]


def one_by_one(convert):
    """A task maker that runs `convert` (a dumps or a loads) on each input."""

    def maker(inputs):
        def run():
            out = []
            append = out.append
            for item in inputs:
                append(convert(item))
            return out

        return run

    return maker


class Codec:
    def __init__(self, name, dumps, loads, encoder=None, decoder=None):
        self.name = name
        self.dumps = dumps
        self.loads = loads
        self.encoder = encoder or one_by_one(dumps)
        self.decoder = decoder or one_by_one(loads)


def make_codecs():
    codecs = [Codec("cMolvar", molvar_encode_one, molvar_decode_one, molvar_encoder, molvar_decoder)]
    if msgpack is not None:
        packb, unpackb = msgpack.packb, msgpack.unpackb
        codecs.append(
            Codec("msgpack", lambda v: packb(v, use_bin_type=True), lambda b: unpackb(b, raw=True))
        )
    codecs.append(Codec("marshal", marshal.dumps, marshal.loads))
    codecs.append(Codec("pickle", lambda v: pickle.dumps(v, protocol=5), pickle.loads))
    return codecs


def as_lists(value):
    """What cMolvar gives back for `value`: tuples become lists."""
    if isinstance(value, (list, tuple)):
        return [as_lists(item) for item in value]
    return value


def check_round_trip(codec, corpus, blobs):
    for value, blob in zip(corpus.values, blobs):
        back = codec.loads(blob)
        expected = as_lists(value) if codec.name in ("cMolvar", "msgpack") else value
        if back != expected:
            raise SystemExit(f"{codec.name} does not round-trip {corpus.name!r}")


# ----------------------------------------------------------------- timing


def calibrate(run, target):
    """Loops per sample so that one sample lasts about `target` seconds.

    A first, untimed run warms up: a cold first call would otherwise set
    one loop per sample, and single cold runs are not what is compared.
    """
    run()
    number = 1
    while True:
        elapsed = timed(run, number)
        if elapsed >= target / 5 or number >= 1 << 20:
            return max(1, round(number * target / max(elapsed, 1e-9)))
        number *= 4


def timed(run, number):
    """Seconds for `number` runs with the collector off."""
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        begin = time.perf_counter()
        for _ in range(number):
            run()
        return time.perf_counter() - begin
    finally:
        if gc_was_on:
            gc.enable()


def best_of(tasks, repeats, target):
    """Per task name, the best seconds per run over `repeats` samples.

    The tasks are interleaved: each repeat takes one sample of every task,
    in an order that rotates, so drift affects them all alike.
    """
    numbers = {name: (calibrate(run, target) if target else 1) for name, run in tasks}
    best = {name: math.inf for name, _ in tasks}
    for repeat in range(repeats):
        shift = repeat % len(tasks)
        for name, run in tasks[shift:] + tasks[:shift]:
            best[name] = min(best[name], timed(run, numbers[name]) / numbers[name])
    return best


def chunked_decoder(stream, size):
    """Feeds `stream` in chunks of `size` bytes as a caller does: the
    unconsumed tail goes again ahead of the next chunk."""
    chunks = [stream[offset : offset + size] for offset in range(0, len(stream), size)]
    new_state, data_received = cMolvar.newState, cMolvar.dataReceived

    def run():
        state = new_state()
        out = []
        append = out.append
        pending = b""
        for chunk in chunks:
            pending += chunk
            consumed = data_received(state, pending, append)
            pending = pending[consumed:]
        assert not pending
        return out

    return run


def msgpack_chunked_decoder(stream, size):
    chunks = [stream[offset : offset + size] for offset in range(0, len(stream), size)]

    def run():
        unpacker = msgpack.Unpacker(raw=True, max_buffer_size=0)
        out = []
        for chunk in chunks:
            unpacker.feed(chunk)
            out.extend(unpacker)
        return out

    return run


# ----------------------------------------------------------------- report


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = f"Python {platform.python_version()}"
    if msgpack is not None:
        versions += ", msgpack " + ".".join(map(str, msgpack.version))
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; {versions}"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small corpora, one run each: a smoke test")
    parser.add_argument("--repeats", type=int, default=9, help="samples per task, the best is kept (default 9)")
    parser.add_argument("--target", type=float, default=0.02, help="seconds per sample (default 0.02)")
    parser.add_argument("--filter", default="", help="only the corpora whose name contains this")
    args = parser.parse_args(argv)
    scale, repeats, target = (100, 1, 0.0) if args.quick else (1, args.repeats, args.target)

    codecs = make_codecs()
    peers = [codec.name for codec in codecs[1:]]
    corpora = [corpus for corpus in make_corpora(scale) if args.filter in corpus.name]
    print(f"# cMolvar benchmark{' (quick: figures are meaningless)' if args.quick else ''}")
    print(f"\n{machine()}; best of {repeats}, ratios are cMolvar time / peer time\n")
    print("| corpus | direction | cMolvar µs | " + " | ".join(f"/ {p}" for p in peers) + " |")
    print("|---|---|---:|" + "---:|" * len(peers))

    ratios = {peer: [] for peer in peers}
    streams = []
    begin = time.perf_counter()
    for corpus in corpora:
        blobs = {}
        for codec in codecs:
            if codec.name == "cMolvar" or codec.name in corpus.peers:
                blobs[codec.name] = [codec.dumps(value) for value in corpus.values]
                check_round_trip(codec, corpus, blobs[codec.name])
        streams.append((corpus, b"".join(blobs["cMolvar"])))
        for direction in ("encode", "decode"):
            tasks = []
            for codec in codecs:
                if codec.name in blobs:
                    maker = codec.encoder if direction == "encode" else codec.decoder
                    tasks.append((codec.name, maker(corpus.values if direction == "encode" else blobs[codec.name])))
            best = best_of(tasks, repeats, target)
            row = []
            for peer in peers:
                ratio = best["cMolvar"] / best[peer] if peer in best else None
                if ratio is not None:
                    ratios[peer].append(ratio)
                row.append(fmt_ratio(ratio))
            print(f"| {corpus.name} | {direction} | {best['cMolvar'] * 1e6:.1f} | " + " | ".join(row) + " |")
            sys.stdout.flush()

    means = [math.exp(sum(map(math.log, r)) / len(r)) if r else None for r in ratios.values()]
    print("| **geometric mean** | | | " + " | ".join(f"**{fmt_ratio(m)}**" for m in means) + " |")

    # The big string against a plain copy of its bytes.
    for corpus in corpora:
        if corpus.name.startswith("600 KB"):
            data = corpus.values[0]
            view = memoryview(data)
            blob = molvar_encode_one(data)
            best = best_of(
                [
                    ("copy", lambda: view.tobytes()),
                    ("encode", molvar_encoder([data])),
                    ("decode", molvar_decoder([blob])),
                ],
                repeats,
                target,
            )
            print(
                f"\n600 KB bytes against a plain copy ({best['copy'] * 1e6:.1f} µs): "
                f"encode {best['encode'] / best['copy']:.2f}x, decode {best['decode'] / best['copy']:.2f}x"
            )

    print("\nDecoding a stream fed in chunks, the unconsumed tail presented again (MB/s)\n")
    columns = ["one call", "64 KiB chunks", "1 KiB chunks"]
    if msgpack is not None:
        columns.append("msgpack Unpacker, 1 KiB")
    print("| stream | bytes | " + " | ".join(columns) + " |")
    print("|---|---:|" + "---:|" * len(columns))
    for corpus, stream in streams:
        tasks = [
            ("one call", chunked_decoder(stream, len(stream))),
            ("64 KiB chunks", chunked_decoder(stream, 64 * KIB)),
            ("1 KiB chunks", chunked_decoder(stream, KIB)),
        ]
        if msgpack is not None and "msgpack" in corpus.peers:
            packed = b"".join(msgpack.packb(value, use_bin_type=True) for value in corpus.values)
            tasks.append(("msgpack Unpacker, 1 KiB", msgpack_chunked_decoder(packed, KIB)))
        best = best_of(tasks, repeats, target)
        cells = [f"{len(stream) / best[c] / 1e6:.0f}" if c in best else "-" for c in columns]
        print(f"| {corpus.name} | {len(stream)} | " + " | ".join(cells) + " |")
        sys.stdout.flush()

    decoder_class = getattr(kestrix.vantle.molvar, "Decoder", None)
    if decoder_class is not None and not args.filter:
        stream = molvar_encode_one(random.Random(5).randbytes(640 * KIB // scale))
        chunks = [stream[offset : offset + KIB] for offset in range(0, len(stream), KIB)]

        def feed():
            decoder = decoder_class()
            for chunk in chunks:
                result = decoder.feed(chunk)
            return result

        try:
            best = best_of([("Decoder", feed)], repeats, target)
            print(f"\nDecoder, 640 KB string in 1 KiB chunks: {len(stream) / best['Decoder'] / 1e6:.0f} MB/s")
        except Exception as error:  # its interface is not this runner's to fix
            print(f"\nDecoder measurement skipped: {error!r}")

    print(f"\n({time.perf_counter() - begin:.0f} s)")


if __name__ == "__main__":
    main()
