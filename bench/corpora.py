"""The values the benchmark encodes and decodes.

Every corpus but one holds DISTINCT objects: no list, tuple, float, int or
byte string is reachable twice from it, so that a codec that answers a
repeated object with a back-reference (marshal, pickle) wins nothing by it.
Each value is built afresh: byte strings by formatting, slicing or
``bytes(bytearray(...))``, never a shared literal; ints above 256 by
arithmetic or the random generator, which make a new object each time.

The interpreter itself shares a few objects whatever makes them: the ints
-5..256 and the byte strings of length 0 and 1. No codec can return two
distinct ones, so they are not counted as repeats; corpora use them only
where they are the point (the nested small-int lists) or a small share of
the objects (about 2 % of "1000 bytes of 0-99 B").

The two "shared words" corpora repeat their byte strings on purpose: an RPC
batch whose method and object names come from a vocabulary, as real traffic
does, of 85 words or of 500 of mixed sizes and Zipf-like frequencies. They
are reported apart, and compared mainly to marshal, whose back-references
make each word once.
"""

from __future__ import annotations

import random
import itertools
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple

# The peers that carry every corpus but the big ints.
MSGPACK_FAMILY = ("msgspec", "ormsgpack", "msgpack")
# Ints beyond 64 bits: only these peers carry them.
BIG_INT_PEERS = ("cbor2", "marshal", "pickle")

VERBS = (b"getItem", b"update", b"notify", b"ping")


class Corpus:
    """A named list of values, each encoded by one call.

    ``peers`` names the peers that can carry the values (None: all of them);
    ``repeats`` is True for the corpus whose objects repeat on purpose;
    ``stream`` is True when its concatenated encoding is also fed to the
    streaming decoders in chunks.
    """

    def __init__(
        self,
        name: str,
        values: List[Any],
        peers: Optional[Sequence[str]] = None,
        repeats: bool = False,
        stream: bool = False,
    ) -> None:
        self.name = name
        self.values = values
        self.peers = peers
        self.repeats = repeats
        self.stream = stream

    def carried_by(self, peer: str) -> bool:
        return self.peers is None or peer in self.peers


def fresh(data: bytes) -> bytes:
    """A new bytes object equal to ``data`` (the interpreter still shares
    those of length 0 and 1)."""
    return bytes(bytearray(data))


def rpc_message(rng: random.Random, i: int) -> List[Any]:
    """A call: its name, a message id, an object name, a verb and a few
    mixed arguments; every object in it is new."""
    return [
        fresh(b"callRemote"),
        100000 + i,
        b"obj-%d" % rng.randrange(10000),
        fresh(rng.choice(VERBS)),
        [rng.randrange(-1000, 1000), b"key%d" % i, rng.random() * 100.0, rng.randrange(2**20)],
    ]


def shared_words_batch(rng: random.Random, count: int) -> List[Any]:
    """RPC calls whose byte strings come from a vocabulary of 85 shared
    objects (names, verbs, keys, words), as a busy connection repeats them:
    seven of the ten leaves of each call are such words; the ints and the
    float are new."""
    names = [b"obj-%d" % k for k in range(40)]
    keys = [b"key%d" % k for k in range(20)]
    words = [b"word-%d" % k for k in range(20)]
    call = fresh(b"callRemote")
    verbs = [fresh(verb) for verb in VERBS]
    return [
        [
            call,
            100000 + i,
            rng.choice(names),
            rng.choice(verbs),
            [rng.choice(keys), rng.choice(words), rng.randrange(2**20), rng.choice(words), rng.random() * 100.0, rng.choice(keys)],
        ]
        for i in range(count)
    ]


def zipf_picker(rng: random.Random, words: Sequence[bytes], exponent: float) -> Callable[[], bytes]:
    """A picker of ``words`` with Zipf-like frequencies: the word of rank r
    (in an order shuffled first) comes with weight 1 / r ** ``exponent``."""
    weights = list(itertools.accumulate(1.0 / (rank + 1) ** exponent for rank in range(len(words))))
    order = list(words)
    rng.shuffle(order)  # which word is most frequent has nothing to do with its length

    def pick() -> bytes:
        return rng.choices(order, cum_weights=weights)[0]

    return pick


def zipf_words_batch(rng: random.Random, count: int, size: int = 500) -> List[Any]:
    """RPC calls whose six byte strings each come from a vocabulary of
    ``size`` shared words of 3 to 24 bytes, picked with Zipf frequencies (s =
    1): one value holding many records, which marshal answers with a
    back-reference to each word it has made. The ints and the float are
    new."""
    words = list({bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz-_", k=rng.randrange(3, 25))) for _ in range(2 * size)})
    pick = zipf_picker(rng, sorted(words)[:size], 1.0)
    return [
        [100000 + i, pick(), pick(), [pick(), pick(), rng.randrange(2**20), pick(), rng.random() * 100.0, pick()]]
        for i in range(count)
    ]


def big_int(rng: random.Random) -> int:
    """An int of 65 to 400 bits, either sign; bit lengths are uniform."""
    bits = rng.randrange(65, 401)
    return rng.choice((1, -1)) * (rng.getrandbits(bits) | (1 << (bits - 1)))


def make_corpora(scale: int) -> List[Corpus]:
    """Every corpus; ``scale`` divides their sizes (1 for the real figures)."""
    rng = random.Random(20260)

    def n(count: int) -> int:
        return max(1, count // scale)

    rpc = [rpc_message(rng, i) for i in range(n(2000))]
    return [
        Corpus("RPC messages, one by one", rpc, stream=True),
        Corpus("RPC messages, one list", [[rpc_message(rng, i) for i in range(n(2000))]]),
        Corpus(
            "nested small-int lists, one by one",
            [[[list(range(10)), list(range(10))] for _ in range(10)] for _ in range(n(200))],
            stream=True,
        ),
        Corpus("10000 ints 300-10299", [[300 + i for i in range(n(10000))]]),
        Corpus("1000 bytes of 0-99 B", [[b"x" * (i % 100) for i in range(n(1000))]]),
        Corpus("10000 empty lists", [[[] for _ in range(n(10000))]]),
        Corpus("100k int32", [[rng.randrange(-(2**31), 2**31) for _ in range(n(100000))]], stream=True),
        Corpus("100k floats", [[rng.uniform(-1e9, 1e9) for _ in range(n(100000))]], stream=True),
        Corpus("100k short bytes, 2-16 B", [[rng.randbytes(rng.randrange(2, 17)) for _ in range(n(100000))]], stream=True),
        Corpus("600 KB bytes", [rng.randbytes(600 * 1000 // scale)], stream=True),
        Corpus("10000 ints of 65-400 bits", [[big_int(rng) for _ in range(n(10000))]], peers=BIG_INT_PEERS),
        Corpus("shared words, one list", [shared_words_batch(rng, n(2000))], repeats=True),
        Corpus("500 shared words of mixed sizes, one list", [zipf_words_batch(rng, n(2000))], repeats=True),
    ]


def interpreter_shared(value: Any) -> bool:
    """True for the objects the interpreter shares whoever makes them."""
    if type(value) is int:
        # The range of the shared small ints differs between releases (3.15
        # shares more): an int made again from its digits is the same object
        # only where the interpreter shares it.
        return int(str(value)) is value
    if type(value) is bytes:
        return len(value) <= 1
    return value is None or value is True or value is False or (type(value) is tuple and not value)


def repeated_objects(values: Iterable[Any]) -> int:
    """How many times an object is reached again, the interpreter's shared
    objects aside: 0 for a corpus of distinct objects."""
    seen = set()
    repeats = 0
    pending: List[Any] = list(values)
    while pending:
        value = pending.pop()
        if interpreter_shared(value):
            continue
        if id(value) in seen:
            repeats += 1
            continue
        seen.add(id(value))
        if isinstance(value, (list, tuple)):
            pending.extend(value)
    return repeats


def check_distinct(corpora: Sequence[Corpus]) -> List[Tuple[str, int]]:
    """The corpora whose objects are not as declared, with their count of
    repeats (empty when every corpus is as it says)."""
    wrong = []
    for corpus in corpora:
        count = repeated_objects(corpus.values)
        if (count > 0) != corpus.repeats:
            wrong.append((corpus.name, count))
    return wrong
