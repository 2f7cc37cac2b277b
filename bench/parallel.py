"""Parallel throughput: workers that each decode and encode their own stream
of RPC messages, as a messaging layer with one connection per worker does.

    python bench/parallel.py [--kind threads|interpreters|processes] [--workers 2] [--runs 5]
                             [--work all|loads|dumps|feed]

`threads` scales only on a free-threaded build (3.13t, 3.14t); with the
global lock, two threads share one core's worth of interpreter. On 3.14,
`interpreters` runs the workers in an InterpreterPoolExecutor: isolated
interpreters, each with its own lock, where the companion runs without
cMolvar. `processes` runs them in separate processes, which share nothing:
the most the machine's cores give, the ceiling of the other two kinds (a
machine whose cores are time-sliced on fewer real ones shows it here).
Prints one worker's throughput, N workers' throughput, and their
ratio (best of --runs each), in messages per second.
"""

import argparse
import concurrent.futures
import os
import random
import site
import sys
import sysconfig
import threading
import time

from kestrix.vantle import molvar

MESSAGES = 2000
ROUNDS = 60


def rpc_messages(seed):
    """A stream of RPC-like messages: a verb, an object id, a method name,
    arguments (ints, floats, byte strings, a nested list), now and then a big int."""
    rng = random.Random(seed)
    # Each worker's own words: the literals are one object for every
    # thread, and with them two threads of dumps (ours or marshal's) reached
    # 1.3 times one thread on 3.13t, where two processes reach 2.0.
    verbs = [bytes(bytearray(word)) for word in (b"call", b"reply", b"error", b"notify")]
    methods = [bytes(bytearray(word)) for word in (b"get_state", b"set_position", b"list_children", b"subscribe", b"ping")]
    return [
        [rng.choice(verbs), rng.randrange(1 << 20), rng.choice(methods),
         [rng.randrange(-1000, 1000), rng.random(), b"arg-%d" % rng.randrange(100),
          [rng.randrange(1 << 31) for _ in range(rng.randrange(1, 6))]]
         + ([rng.randrange(1 << 64, 1 << 100)] if rng.random() < 0.1 else [])]
        for _ in range(MESSAGES)
    ]


WORKS = ("all", "loads", "dumps", "feed")


def work(seed, rounds=ROUNDS, kind="all"):
    """Decodes and encodes one worker's own stream `rounds` times: the
    messages one at a time (loads, dumps), and the whole stream through a
    Decoder in 1 KB chunks (feed); `kind` names one of them, or all.
    Returns the count of messages handled."""
    # The functions are bound here, once: on a free-threaded build, each
    # `molvar.dumps` looked up in the loop takes a reference to the one
    # function object all threads share, and the threads take turns at its
    # reference count (as they do for marshal.dumps).
    dumps, loads, decoder_class = molvar.dumps, molvar.loads, molvar.Decoder
    values = rpc_messages(seed)
    wire = [dumps(value) for value in values]
    stream = b"".join(wire)
    parts = WORKS[1:] if kind == "all" else (kind,)
    for _ in range(rounds):
        if "loads" in parts:
            for data in wire:
                loads(data)
        if "dumps" in parts:
            for value in values:
                dumps(value)
        if "feed" in parts:
            decoder = decoder_class()
            for start in range(0, len(stream), 1024):
                decoder.feed(stream[start:start + 1024])
    return len(parts) * rounds * len(values)


def timed_threads(workers, kind):
    barrier = threading.Barrier(workers + 1)
    counts = [0] * workers

    def body(index):
        barrier.wait()
        counts[index] = work(index, ROUNDS, kind)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(workers)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    return sum(counts) / (time.perf_counter() - start)


def timed_interpreters(executor, workers, kind):
    # Each worker (interpreter or process) has imported everything already (warm-up).
    start = time.perf_counter()
    counts = list(executor.map(work, range(workers), [ROUNDS] * workers, [kind] * workers))
    return sum(counts) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kind", choices=["threads", "interpreters", "processes"], default="threads")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", choices=WORKS, default="all", help="what each worker does (default: all three)")
    args = parser.parse_args()
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print("Python %s, %s, GIL %s, %d workers, kind %s, work %s" % (
        sys.version.split()[0], "free-threaded" if free_threaded else "with the GIL", "on" if gil else "off",
        args.workers, args.kind, args.work))
    best = {}
    if args.kind == "threads":
        for workers in (1, args.workers):
            best[workers] = max(timed_threads(workers, args.work) for _ in range(args.runs))
    elif args.kind == "processes":
        for workers in (1, args.workers):
            with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as executor:
                list(executor.map(work, range(workers), [1] * workers))  # warm-up
                best[workers] = max(timed_interpreters(executor, workers, args.work) for _ in range(args.runs))
    else:
        bench = os.path.dirname(os.path.abspath(__file__))
        for workers in (1, args.workers):
            # site.addsitedir is pickled by name: each worker puts bench/ on its path.
            with concurrent.futures.InterpreterPoolExecutor(
                max_workers=workers, initializer=site.addsitedir, initargs=(bench,)
            ) as executor:
                list(executor.map(work, range(workers), [1] * workers))  # warm-up
                best[workers] = max(timed_interpreters(executor, workers, args.work) for _ in range(args.runs))
    one, many = best[1], best[args.workers]
    print("1 worker: %.0f messages/s; %d workers: %.0f messages/s; ratio %.2fx" % (one, args.workers, many, many / one))


if __name__ == "__main__":
    main()
