"""Decoding with the garbage collector on, as applications run.

bench/run.py times with the collector off, which leaves out the collections
that decoding a large value sets off on 3.9 to 3.11, where an allocation
past the threshold collects at once. Here each value decoded is held while
the collection left due runs (a set is made: no free list makes it), then
dropped, beside a live heap of the size given. Ratios below 1.0: cMolvar
is faster.

    .venv-bench/bin/python bench/collector.py [--heap N] [--seed S]
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from typing import Any, Callable, Dict, List, Sequence

import families
from kestrix.vantle import molvar


def best(decode: Callable[[bytes], Any], blobs: Sequence[bytes], repeats: int = 9, target: float = 0.05) -> float:
    """The best seconds per pass over ``blobs``, the collector on."""
    gc.enable()
    fastest = float("inf")
    for _ in range(repeats):
        begin, passes = time.process_time(), 0
        while True:
            for blob in blobs:
                value = decode(blob)
                due = set()
                del value, due
            passes += 1
            elapsed = time.process_time() - begin
            if elapsed >= target:
                break
        fastest = min(fastest, elapsed / passes)
    return fastest


def peers() -> Dict[str, tuple]:
    """Each installed peer's (encode, decode)."""
    found: Dict[str, tuple] = {}
    try:
        import msgspec

        found["msgspec"] = (msgspec.msgpack.encode, msgspec.msgpack.decode)
    except ImportError:
        pass
    try:
        import ormsgpack

        found["ormsgpack"] = (ormsgpack.packb, ormsgpack.unpackb)
    except ImportError:
        pass
    return found


def main(argv: List[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--heap", type=int, default=1_000_000, help="live lists beside the values (default 1000000)")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args(argv)
    heap = [[i] for i in range(options.heap)]
    documents = next(family for family in families.make_families(options.seed, 1) if family.name == "documents")
    cases = [(member.name, list(member.values)) for member in documents.members]
    pages = next(member.values for member in documents.members if "search page, one document" in member.name)
    cases += [("40 search pages as one value", [list(pages)]), ("400 search pages as one value", [list(pages) * 10])]
    others = peers()
    print(f"Python {sys.version.split()[0]}, a live heap of {len(heap)} lists; ours / peer, decode, the collector on")
    print("| member | " + " | ".join(others) + " |")
    print("|---|" + "---:|" * len(others))
    for name, values in cases:
        ours = best(molvar.loads, [molvar.dumps(value) for value in values])
        ratios = [ours / best(decode, [encode(value) for value in values]) for encode, decode in others.values()]
        print(f"| {name} | " + " | ".join(f"{ratio:.2f}" for ratio in ratios) + " |")
    gc.disable()


if __name__ == "__main__":
    main(sys.argv[1:])
