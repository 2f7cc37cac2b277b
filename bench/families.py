"""Corpus families: each shape over a range, drawn from a seed.

A fixed corpus per shape (corpora.py) tells how one shape fares; a family
tells whether that holds across the shape's range. Each family has members
(corpora) that step through one parameter: nesting depth and fan-out, the
size of a vocabulary, the size of a message, the range of the ints, the
size of the byte strings, and large values sent through one reused buffer.
What each member holds beyond its parameter (which leaves, which sizes,
which words) is drawn from a random generator seeded per run: the seed is
printed, and ``--seed`` gives it back, so that a run can be repeated.

As in corpora.py, every member holds distinct objects, except those of the
vocabulary family, whose words repeat on purpose (marked ``repeats``), and
the interpreter's own shared objects (the ints -5..256, the byte strings of
length 0 and 1), which are the point of the "cached" ints and a small share
elsewhere.
"""

from __future__ import annotations

import math
import random
from typing import Any, Callable, List, Sequence

from corpora import BIG_INT_PEERS, Corpus, fresh, zipf_picker

KB = 1024


class Family:
    """A named list of corpora, each a member: ``members[i].label`` says
    where it lies in the family's range."""

    def __init__(self, name: str, parameter: str, members: List[Corpus]) -> None:
        self.name = name
        self.parameter = parameter
        self.members = members


def member(family: str, label: str, values: List[Any], **options: Any) -> Corpus:
    corpus = Corpus(f"{family}: {label}", values, **options)
    corpus.label = label  # type: ignore[attr-defined]
    corpus.family = family  # type: ignore[attr-defined]
    return corpus


def log_uniform(rng: random.Random, low: float, high: float) -> float:
    return math.exp(rng.uniform(math.log(low), math.log(high)))


def jitter(rng: random.Random, value: int, spread: float = 0.2) -> int:
    """``value`` moved by up to ``spread`` of itself, at random."""
    return max(1, round(value * rng.uniform(1 - spread, 1 + spread)))


def word(rng: random.Random, size: int) -> bytes:
    """A new byte string of ``size`` printable bytes."""
    return bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz0123456789-_.", k=size))


# ------------------------------------------------------------- leaves


def scalar(rng: random.Random) -> Any:
    """A new leaf: an int of one of the common ranges, a float or a short
    byte string."""
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(300, 1 << 16)
    if kind == 1:
        return rng.randrange(1 << 16, 1 << 31)
    if kind == 2:
        return -rng.randrange(300, 1 << 31)
    if kind == 3:
        return rng.uniform(-1e6, 1e6)
    return word(rng, rng.randrange(2, 25))


def nested(rng: random.Random, depth: int, fan_out: int) -> Any:
    """A list ``depth`` levels deep, each list of 1 to ``fan_out`` items."""
    if depth == 0:
        return scalar(rng)
    return [nested(rng, depth - 1, fan_out) for _ in range(rng.randint(1, fan_out))]


# ------------------------------------------------------------ families


def nesting_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Depth 1 to 8, a fan-out of 1 to 4 drawn for each depth, one message
    per value; messages enough for about 3000 leaves per member."""
    members = []
    for depth in range(1, 9):
        fan_out = rng.randint(1, 4)
        leaves = ((1 + fan_out) / 2) ** depth
        count = n(max(30, round(3000 / leaves)))
        values = [nested(rng, depth, fan_out) for _ in range(count)]
        members.append(member("nesting", f"depth {depth}, fan-out 1-{fan_out}", values))
    return Family("nesting", "depth, fan-out", members)


def rpc_call(rng: random.Random, i: int, pick: Callable[[], bytes]) -> List[Any]:
    """An RPC call whose byte strings come from ``pick`` (6 of its 11
    leaves), but for a request id and a key that are new in each call, as
    are the ints and the float."""
    return [
        pick(),
        100000 + i,
        b"req-%d" % rng.randrange(1 << 30),
        pick(),
        [pick(), pick(), rng.randrange(1 << 20), rng.random() * 100.0, b"k%x" % rng.randrange(1 << 24), pick()],
        -rng.randrange(300, 1 << 20),
        pick(),
    ]


def vocabulary_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """RPC calls whose words (3 in 4 of their byte strings) come from
    vocabularies of 10 to 5000 words of 3 to 24 bytes, picked with
    Zipf-like frequencies (exponent 0.8 to 1.2,
    drawn per member), in batches of 100 calls; and, last, the same calls
    with every word new."""
    members = []
    count = n(2000)

    def batches(pick: Callable[[], bytes]) -> List[Any]:
        # Batches of 100 calls, one value each, as a busy connection sends
        # them: a codec that refers back to an object it made (marshal,
        # pickle) does so within a batch.
        calls = [rpc_call(rng, i, pick) for i in range(count)]
        return [calls[at : at + 100] for at in range(0, len(calls), 100)]

    for size in (10, 30, 100, 300, 1000, 2000, 5000):
        size = size if size in (10, 5000) else jitter(rng, size)
        exponent = rng.uniform(0.8, 1.2)
        words = [word(rng, rng.randrange(3, 25)) for _ in range(size)]
        members.append(member("vocabulary", f"{size} words, s={exponent:.2f}", batches(zipf_picker(rng, words, exponent)), repeats=True))

    def new_word() -> bytes:
        return word(rng, rng.randrange(3, 25))

    members.append(member("vocabulary", "distinct words", batches(new_word)))
    return Family("vocabulary", "words", members)


def message(rng: random.Random, size: int) -> List[Any]:
    """A message of about ``size`` bytes on the wire: RPC-like items (ints,
    words, floats, small lists) until the estimate reaches it."""
    items: List[Any] = [fresh(b"call"), rng.randrange(1 << 20, 1 << 31)]
    estimate = 12
    while estimate < size:
        kind = rng.randrange(5)
        if kind == 0:
            items.append(rng.randrange(300, 1 << 31))
            estimate += 5
        elif kind == 1:
            items.append(rng.uniform(-1e6, 1e6))
            estimate += 9
        elif kind == 2:
            length = rng.randrange(2, 40)
            items.append(word(rng, length))
            estimate += length + 2
        else:
            part = [rng.randrange(300, 1 << 16), word(rng, rng.randrange(2, 12)), rng.random()]
            items.append(part)
            estimate += 24
    return items


def size_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Messages of 20 B to 64 KB, about 256 KB of them per member."""
    members = []
    for size in (20, 80, 300, 1 * KB, 4 * KB, 16 * KB, 64 * KB):
        size = size if size in (20, 64 * KB) else jitter(rng, size)
        count = n(max(4, 256 * KB // size))
        members.append(member("message size", f"{size} B", [message(rng, size) for _ in range(count)]))
    return Family("message size", "bytes per message", members)


def int_lists(rng: random.Random, count: int, draw: Callable[[], int]) -> List[Any]:
    """Lists of 1 to 200 ints, ``count`` ints in all."""
    values = []
    while count > 0:
        length = min(count, rng.randint(1, 200))
        values.append([draw() for _ in range(length)])
        count -= length
    return values


def big_int(rng: random.Random) -> int:
    bits = rng.randrange(65, 401)
    return rng.choice((1, -1)) * (rng.getrandbits(bits) | (1 << (bits - 1)))


def int_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Ints in lists of 1 to 200, 20000 per member: the interpreter's cached
    ones, 16-bit, 31-bit, negative 32-bit, 32 to 63 bits (both signs), and
    big ones of 65 to 400 bits (carried by cbor2, marshal and pickle only)."""
    count = n(20000)
    draws = [
        ("cached, 0-256", lambda: rng.randrange(0, 257)),
        ("16-bit, 257-65535", lambda: rng.randrange(257, 1 << 16)),
        ("31-bit", lambda: rng.randrange(1 << 16, 1 << 31)),
        ("negative 32-bit", lambda: -rng.randrange(6, (1 << 31) + 1)),
        ("32-63 bits", lambda: rng.choice((1, -1)) * rng.randrange(1 << 31, 1 << 63)),
    ]
    members = [member("ints", label, int_lists(rng, count, draw)) for label, draw in draws]
    members.append(member("ints", "65-400 bits", int_lists(rng, n(5000), lambda: big_int(rng)), peers=BIG_INT_PEERS))
    return Family("ints", "range", members)


def byte_strings(rng: random.Random, low: int, high: int, total: int, per_value: int) -> List[Any]:
    """New byte strings of ``low`` to ``high`` bytes (log-uniform sizes),
    about ``total`` bytes in all: ``per_value`` to a list, or one per value
    when ``per_value`` is 1."""
    out: List[Any] = []
    made = 0
    while made < total:
        group = []
        for _ in range(per_value):
            size = int(log_uniform(rng, max(low, 1), high + 1)) - (1 if low == 0 else 0)
            size = min(max(size, low), high)
            group.append(rng.randbytes(size) if size > 1 else fresh(b"x" * size))
            made += size + 2
        out.append(group if per_value > 1 else group[0])
    return out


def bytes_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Byte strings of 0-64 B and 64 B-4 KB (lists of 100) and 4 KB-600 KB
    (one per value), in steps of about a factor 8."""
    members = []
    for low, high, per_value, total in (
        (0, 64, 100, 256 * KB),
        (64, 512, 100, 1024 * KB),
        (512, 4 * KB, 100, 2048 * KB),
        (4 * KB, 32 * KB, 1, 2048 * KB),
        (32 * KB, 128 * KB, 1, 4096 * KB),
        (128 * KB, 600 * 1000, 1, 4096 * KB),
    ):
        label = f"{low if low < KB else str(low // KB) + ' K'}-{high if high < KB else str(high // KB) + ' K'}B"
        members.append(member("bytes", label, byte_strings(rng, low, high, n(total), per_value)))
    return Family("bytes", "size", members)


def sending_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Values of 32 KB and more as a sender makes them, one after another
    through one reused buffer (the "raw" path: clear, encode, get) next to
    ``dumps``: a call with a large payload, a bare payload, and a batch of
    small items."""

    def call(size: int) -> List[Any]:
        return [fresh(b"putObject"), rng.randrange(1 << 20, 1 << 31), word(rng, 12), rng.randbytes(size)]

    sizes = [int(log_uniform(rng, 32 * KB, 600 * 1000)) for _ in range(max(2, n(16)))]
    members = [
        member("sending", "call with a 32-600 KB payload", [call(size) for size in sizes]),
        member("sending", "bare 32-600 KB payload", [rng.randbytes(size) for size in sizes]),
        member("sending", "32-64 KB of small items", [message(rng, rng.randrange(32 * KB, 64 * KB)) for _ in range(max(2, n(16)))]),
    ]
    return Family("sending", "value", members)


def as_value(document: Any) -> Any:
    """A JSON document mapped onto this format's values: a dict becomes a
    list of [key, value] pairs, text UTF-8 bytes, None the empty list, a
    bool an int. Every key is a new bytes object (equal keys, distinct
    objects, as a decoder of JSON text makes them)."""
    if isinstance(document, dict):
        return [[fresh(key.encode()), as_value(item)] for key, item in document.items()]
    if isinstance(document, list):
        return [as_value(item) for item in document]
    if isinstance(document, str):
        return fresh(document.encode())
    if document is None:
        return []
    if isinstance(document, bool):
        return int(document)
    return document


def text(rng: random.Random, low: int, high: int) -> str:
    """Short text: a few words of letters."""
    return " ".join(word(rng, rng.randrange(2, 9)).decode() for _ in range(rng.randint(low, high)))


def search_hit(rng: random.Random, i: int) -> dict:
    return {
        "id": rng.randrange(1 << 40, 1 << 52),
        "title": text(rng, 2, 8),
        "url": "https://example.org/%s/%d" % (word(rng, 8).decode(), i),
        "score": rng.random() * 30.0,
        "snippet": text(rng, 8, 20),
        "tags": [word(rng, rng.randrange(3, 10)).decode() for _ in range(rng.randrange(0, 4))],
        "published": rng.randrange(1_500_000_000, 1_800_000_000),
        "author": None if rng.random() < 0.3 else text(rng, 1, 2),
        "cached": rng.random() < 0.5,
    }


def event(rng: random.Random, i: int) -> dict:
    return {
        "event_id": 10**11 + i,
        "name": text(rng, 2, 5),
        "venue": {"name": text(rng, 1, 3), "city": word(rng, 7).decode(), "lat": rng.uniform(-90, 90),
                  "lon": rng.uniform(-180, 180)},
        "starts": rng.randrange(1_700_000_000, 1_900_000_000),
        "prices": [round(rng.uniform(5, 200), 2) for _ in range(rng.randrange(1, 4))],
        "sold_out": rng.random() < 0.1,
        "performers": [{"id": rng.randrange(1 << 33, 1 << 40), "name": text(rng, 1, 3)} for _ in range(rng.randrange(1, 3))],
        "note": None,
    }


def review(rng: random.Random, i: int) -> dict:
    return {
        "review_id": rng.randrange(1 << 34, 1 << 45),
        "product_id": rng.randrange(1 << 33, 1 << 40),
        "user": {"id": rng.randrange(1 << 33, 1 << 40), "name": word(rng, 9).decode()},
        "stars": rng.randint(1, 5),
        "title": text(rng, 1, 6),
        "body": text(rng, 10, 60),
        "helpful": rng.randrange(0, 500),
        "verified": rng.random() < 0.7,
        "images": [],
        "time": rng.randrange(1_500_000_000, 1_800_000_000),
    }


def documents_family(rng: random.Random, n: Callable[[int], int]) -> Family:
    """Record-shaped documents, as JSON APIs return them and mapped as
    ``as_value`` says: records whose keys repeat in every record, with short
    text, ids past 32 bits, floats, small nested lists and empty lists for
    absent values. Each kind twice: one document as one value (a page of
    records), and a feed of one record per message."""
    members = []
    for kind, make, per_page in (("search page", search_hit, 50), ("event catalogue", event, 200),
                                 ("review feed", review, 100)):
        records = [make(rng, i) for i in range(n(2000))]
        pages = [{"total": len(records), "page": page, "results": records[at : at + per_page]}
                 for page, at in enumerate(range(0, len(records), per_page))]
        members.append(member("documents", f"{kind}, one document per value", [as_value(p) for p in pages]))
        members.append(member("documents", f"{kind}, one record per message", [as_value(r) for r in records], stream=True))
    return Family("documents", "kind, shape", members)


FAMILIES = (nesting_family, vocabulary_family, size_family, int_family, bytes_family, sending_family, documents_family)


def make_families(seed: int, scale: int) -> List[Family]:
    """Every family, drawn from ``seed``; ``scale`` divides their sizes (1
    for the real figures)."""

    def n(count: int) -> int:
        return max(1, count // scale)

    families = []
    for index, make in enumerate(FAMILIES):
        # One generator per family, so that a family is the same for a seed
        # whichever others run.
        families.append(make(random.Random(seed * 64 + index), n))
    return families
