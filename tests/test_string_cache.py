"""The decoder's cache of short byte strings, seen from outside: a word
shared is one object, and never one for other bytes.

The cache hashes and compares a string by the 32 bytes that end where it
ends, masked by its size: read in the chunk, or from a copy for a string
that starts within 32 bytes of the chunk's start; it admits a string that
misses twice in a row in its slot, unless the slot's own string was hit in
between; and it stands aside while it hits too little. Each test here
crosses one of those.
"""

import itertools
import sysconfig

import pytest

from kestrix.vantle.molvar import Decoder, dumps
from kestrix.vantle.molvar._native import _thresholds

pytestmark = pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="a build with no global lock keeps no cache"
)

LONGEST = _thresholds["CACHED_STRING_SIZE"]
# Far from either end of a chunk.
PAD = dumps([b"p" * 40])
# The bytes the cache reads back from a string's end.
REACH = _thresholds["CACHE_REACH"]


def zeros(count):
    """`count` bytes: ints 0, each written with no digits (one byte)."""
    return b"\x81" * count


def serving_decoder():
    """A Decoder whose cache serves: a word repeated past the longest pause
    (the cache is shared by every decoder of the module, whatever ran
    before)."""
    decoder = Decoder()
    decoder.feed(dumps(b"warm") * (_thresholds["CACHE_PAUSE"] + 3 * _thresholds["CACHE_WINDOW"]))
    return decoder


def word_of(size, salt=0):
    return bytes((97 + (i * 7 + salt) % 26) for i in range(size))


def test_repeated_short_strings_are_shared_up_to_the_caches_size_and_no_further():
    # A word repeated long enough past a pause is one object from then on,
    # from 2 to 32 bytes, and never past them.
    repeats = _thresholds["CACHE_PAUSE"] + 3 * _thresholds["CACHE_WINDOW"]
    for size in (2, 3, 8, 9, 31, 32, 33, 40):
        word = bytes(range(97, 97 + size))
        values = Decoder().feed(dumps(word) * repeats)
        assert values == [word] * repeats
        assert (values[-1] is values[-2] is values[-3]) == (size <= LONGEST), size


def test_a_cache_that_stood_aside_once_looks_again_soon():
    # Once serving, a window of distinct strings makes the cache stand aside
    # for its first, short pause, and each window in a row that misses
    # doubles it: words that repeat again are shared after a few windows,
    # long before the longest pause is over.
    window, first, longest = (_thresholds[name] for name in ("CACHE_WINDOW", "CACHE_FIRST_PAUSE", "CACHE_PAUSE"))
    decoder = serving_decoder()
    decoder.feed(b"".join(dumps(b"distinct-%06d" % i) for i in range(2 * window)))
    soon = 4 * window + 7 * first  # the pauses of three windows in a row that miss, and four windows
    assert soon < longest
    values = decoder.feed(dumps(b"word") * soon)
    assert values[-1] is values[-2]


@pytest.mark.parametrize("hits", [_thresholds["CACHE_MIN_HITS"] - 1, _thresholds["CACHE_MIN_HITS"]])
def test_a_window_stands_aside_below_its_least_hits_and_not_at_them(hits):
    # The windows are found from outside: the first lookup that serves the
    # cached word again after a pause is a window's first. A later window,
    # of the lookup under way when the one before it closed and the ones up
    # to the next close, keeps the cache serving with the least hits it asks
    # for, and makes it stand aside with one fewer.
    window = _thresholds["CACHE_WINDOW"]
    decoder = serving_decoder()
    word = b"edge-word"
    kept = decoder.feed(PAD + dumps(word) * 3 + PAD)[-2]
    for n in range(64 * window):  # distinct strings until a probe of the word finds the cache standing aside
        if decoder.feed(b"".join(dumps(b"edge-%07d-%02d" % (n, i)) for i in range(15)) + dumps(word))[-1] is not kept:
            break
    else:
        pytest.fail("the cache never stood aside")
    run = decoder.feed(dumps(word) * (_thresholds["CACHE_PAUSE"] + 4 * window))  # the pause ends in it
    first = next(i for i, value in enumerate(run) if value is kept)
    # The lookup at whose start a window after the run closes, counted on
    # from the run's first.
    closing = first + window - 1 + window * (1 + (len(run) - first) // window)
    filler = closing - window - len(run)
    values = decoder.feed(
        dumps(word) * (filler + hits)
        + b"".join(dumps(b"edge-miss-%06d" % i) for i in range(window - hits))
        + dumps(word) * 2
    )
    assert values[-2] is kept  # the lookup under way when the window closes is served
    assert (values[-1] is kept) == (hits >= _thresholds["CACHE_MIN_HITS"])


def test_a_cached_word_is_never_handed_back_for_one_byte_else():
    # Every size the cache keeps, and one past it; every byte of the word
    # changed in turn, inside a long chunk, at its end, and alone in one (read
    # from a copy): each value is its own bytes, however the masks of its
    # size cut the words read. The word's own hits between keep the cache
    # serving.
    decoder = serving_decoder()
    for size in range(2, LONGEST + 2):
        word = word_of(size)
        decoder.feed(PAD + dumps(word) * 3 + PAD)  # two misses take it in
        for at in range(size):
            other = word[:at] + bytes([word[at] ^ 0x20]) + word[at + 1 :]
            assert decoder.feed(PAD + dumps(other) + dumps(word) * 4 + PAD)[1:-1] == [other] + [word] * 4
            assert decoder.feed(PAD + dumps(word) * 4 + dumps(other))[1:] == [word] * 4 + [other]
            assert decoder.feed(dumps(other)) == [other], (size, at)


def test_a_word_is_one_object_however_it_was_read():
    # A string is read where it lies when the chunk holds the 32 bytes that
    # end where it ends, else from a copy: a word taken in through one
    # reading is hit through each of the others, at every size, and on both
    # sides of those 32 bytes.
    decoder = serving_decoder()

    def ending_at(end):  # the word, ending `end` bytes into its chunk
        return lambda word: decoder.feed(zeros(end - len(dumps(word))) + dumps(word))[-1]

    readings = {
        "far into the chunk": lambda word: decoder.feed(PAD + dumps(word) + PAD)[1],
        "alone in the chunk": lambda word: decoder.feed(dumps(word))[0],
        "32 bytes into it": ending_at(REACH),
        "31 bytes into it": ending_at(REACH - 1),
    }
    for size, (salt, taken_in) in itertools.product(range(2, LONGEST + 1), enumerate(readings)):
        word = word_of(size, salt=3 * size + salt)
        fits = {name for name in readings if "bytes into it" not in name or len(dumps(word)) <= REACH - 1}
        if taken_in not in fits:
            continue  # its header takes it past the bound
        kept = [readings[taken_in](word) for _ in range(3)][-1]  # two misses take it in; the third is a hit
        for name in fits:
            assert readings[name](word) is kept, (size, taken_in, name)


def test_a_slots_string_hit_between_two_misses_of_another_keeps_the_slot():
    # Two words that meet in one slot, found by looking (a candidate that
    # takes the slot after two misses in a row): the one the slot holds,
    # hit between the other's misses, stays; two misses in a row with no hit
    # between take the slot over.
    decoder = serving_decoder()
    held = word_of(12)
    for _ in range(3):
        decoder.feed(PAD + dumps(held) + PAD)
    for n in range(20000):
        candidate = b"cand-%07d" % n
        values = decoder.feed(PAD + dumps(held) * 64 + dumps(candidate) * 2 + dumps(held) + PAD)
        if values[-2] is not values[1]:
            break
        decoder.feed(PAD + dumps(held) * 3 + PAD)  # the held word's slot, taken back if it was lost
    else:
        pytest.fail("no two words met in one slot")
    # The candidate holds the slot now; the held word takes it back, then
    # keeps it while it is hit between the candidate's misses.
    decoder.feed(PAD + dumps(held) * 2 + PAD)
    values = decoder.feed(PAD + (dumps(held) + dumps(candidate)) * 8 + dumps(held) + PAD)[1:-1]
    helds = values[0::2]
    assert all(value is helds[0] for value in helds)
    assert len({id(value) for value in values[1::2]}) == 8
