"""Fuzzing harness for the cMolvar decoder.

One input is a control byte followed by a stream. The stream is fed to
``dataReceived`` in chunks chosen by the control byte, the unconsumed tail
presented again ahead of each chunk as real callers do. ``check`` then
demands:

* the chunked decode delivers the same values, leaves the same tail and
  fails with the same error as decoding the stream in one call, and so
  does a ``Decoder`` fed the same chunks, which reports a failure at the
  same offset however the stream is split;
* the only failures are the codec's refusals of bad input (MolvarError and
  the SystemError of the header limit or of a negative list count);
* every delivered value is made of lists, ints, floats and bytes only, and
  re-encoding it with ``encode`` and decoding that gives the same value back,
  and the same bytes when encoded again.

With ``limits`` (MOLVAR_FUZZ_LIMITS=1 for the libFuzzer target), the
stream also goes to a ``Decoder`` with ``max_depth`` and ``max_buffer_size``
drawn from the control byte, whole and in the same chunks, and ``check``
also demands:

* the same values and the same refusal (offset and text) whatever the split;
* the values it delivers are the first of those without limits, all of them
  unless it refused, and it refuses no later than the decoder without
  limits fails;
* nothing it delivers is nested deeper than ``max_depth`` or holds a byte
  string longer than ``max_buffer_size`` (vocabulary words aside).

``check`` raises HarnessFailure on any breach. The libFuzzer target
(decoder_fuzz.cpp) calls it for every input; run as a script, this file is
also a small mutation fuzzer of its own:

    python3 fuzz/harness.py --seconds 10        # mutate the corpus for 10 s
    python3 fuzz/harness.py FILE...             # replay inputs
    python3 fuzz/harness.py --self-check FILE   # with a wrong encoder injected

``--self-check`` (or MOLVAR_FUZZ_SELF_CHECK=1 for the libFuzzer target)
swaps in an encoder that writes 2 for every int 1, so that an input holding
the int 1 must be reported: proof that the harness can fail.
"""

import math
import os
import random
import sys
import time

import cMolvar
from kestrix.vantle.molvar import Decoder, pyb1282int

MolvarError = cMolvar.MolvarError

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# Failures that are the codec refusing bad input, not faults.
REFUSALS = (MolvarError, SystemError)

# Deeper values than this are not compared by re-encoding: the encoder's
# recursion guard may refuse them, which is its documented behaviour.
MAX_ROUND_TRIP_DEPTH = 200


class HarnessFailure(AssertionError):
    """A fault found by the harness."""


def split_points(control, size):
    """Where the stream is cut, as chosen by the control byte."""
    mode = control & 3
    if size == 0 or mode == 0:
        return []
    if mode == 1 and size <= 512:
        return list(range(1, size))
    rng = random.Random(control * 65537 + size)
    cuts = 1 + (control >> 2) % 8
    return sorted({rng.randrange(0, size + 1) for _ in range(cuts)})


def feed(stream, cuts):
    """Decode `stream` cut at `cuts`; returns (values, tail, error)."""
    state = cMolvar.newState()
    values = []
    pending = b""
    previous = 0
    try:
        for cut in cuts + [len(stream)]:
            pending += stream[previous:cut]
            previous = cut
            consumed = cMolvar.dataReceived(state, pending, values.append)
            if type(consumed) is not int or not 0 <= consumed <= len(pending):
                raise HarnessFailure("dataReceived returned %r for %d bytes" % (consumed, len(pending)))
            pending = pending[consumed:]
    except REFUSALS as error:
        return values, None, (type(error), str(error))
    return values, pending, None


def feed_decoder(stream, cuts, **limits):
    """Decode `stream` cut at `cuts` with a Decoder(**limits); returns
    (values, pending bytes, (offset, message) of the error)."""
    decoder = Decoder(**limits)
    values = []
    previous = 0
    try:
        for cut in cuts + [len(stream)]:
            values += decoder.feed(stream[previous:cut])
            previous = cut
    except MolvarError as error:
        if not 0 <= error.offset <= len(stream):
            raise HarnessFailure("error offset %r outside the stream of %d bytes" % (error.offset, len(stream)))
        return values + error.values, None, (error.offset, str(error))
    if decoder.consumed + decoder.pending != len(stream):
        raise HarnessFailure("consumed %d + pending %d != %d" % (decoder.consumed, decoder.pending, len(stream)))
    return values, decoder.pending, None


def walk(value):
    """Yields every value nested in `value`, without recursion; and checks
    that nothing but the decoder's own kinds occurs."""
    stack = [value]
    while stack:
        item = stack.pop()
        kind = type(item)
        if kind is list:
            stack.extend(item)
        elif kind not in (int, float, bytes):
            raise HarnessFailure("decoded a %s: %r" % (kind.__name__, item))
        yield item


def depth(value):
    deepest = 0
    stack = [(value, 1)]
    while stack:
        item, level = stack.pop()
        if type(item) is list:
            deepest = max(deepest, level)
            stack.extend((child, level + 1) for child in item)
    return deepest


def open_depth(value):
    """The most lists open at once while `value` is decoded: an empty list
    is complete at its header, and opens none."""
    deepest = 0
    stack = [(value, 1)]
    while stack:
        item, level = stack.pop()
        if type(item) is list and item:
            deepest = max(deepest, level)
            stack.extend((child, level + 1) for child in item)
    return deepest


def same(a, b):
    """Structural equality without recursion (deep values would exhaust ==)."""
    stack = [(a, b)]
    while stack:
        x, y = stack.pop()
        if type(x) is not type(y):
            return False
        if type(x) is list:
            if len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif x != y:
            return False
    return True


def encode_with(encode, value):
    buf = cMolvar.newBuf()
    encode(value, buf)
    return buf.get()


def round_trip(value, encode):
    items = list(walk(value))
    if depth(value) > MAX_ROUND_TRIP_DEPTH:
        return
    try:
        wire = encode_with(encode, value)
    except SystemError as error:
        # Infinities (decoded from exponent 2047) cannot be encoded.
        if "frexp() result out of range" in str(error) and any(
            type(item) is float and math.isinf(item) for item in items
        ):
            return
        raise HarnessFailure("encode(%r) failed: %r" % (value, error))
    except Exception as error:
        raise HarnessFailure("encode(%r) failed: %r" % (value, error))
    back = []
    try:
        consumed = cMolvar.dataReceived(cMolvar.newState(), wire, back.append)
    except Exception as error:
        raise HarnessFailure("decoding the encoding %r of %r failed: %r" % (wire, value, error))
    if consumed != len(wire) or len(back) != 1:
        raise HarnessFailure(
            "encoding %r of %r decoded to %r, consuming %r bytes" % (wire, value, back, consumed)
        )
    if not same(back[0], value):
        raise HarnessFailure("round trip of %r gave %r (wire %r)" % (value, back[0], wire))
    if type(value) is int and wire[-1] in (0x85, 0x86) and pyb1282int(wire[:-1]) != abs(value):
        # Big ints are converted natively: the companion's own converter
        # must read the same digits back.
        raise HarnessFailure("%r encodes as digits %r, which the converter reads otherwise" % (value, wire))
    again = encode_with(encode, back[0])
    if again != wire:
        raise HarnessFailure("%r encodes as %r, then as %r" % (value, wire, again))


# The limits of the limited Decoder, drawn from the control byte.
MAX_DEPTHS = (1, 2, 3, 8)
MAX_BUFFER_SIZES = (1, 100, 200, 1000, 4096, 20000, 65536, 1 << 20)
LIMITS = os.environ.get("MOLVAR_FUZZ_LIMITS") == "1"
# A vocabulary word travels as its index: "unpersistable" takes 2 bytes.
LONGEST_WORD = 13


def limits_of(control):
    return {"max_depth": MAX_DEPTHS[(control >> 2) & 3], "max_buffer_size": MAX_BUFFER_SIZES[control >> 5]}


def check_limited(stream, control, unlimited):
    """The limited Decoder against the same one without limits (`unlimited`,
    the result of feed_decoder)."""
    limits = limits_of(control)
    whole = feed_decoder(stream, [], **limits)
    chunked = feed_decoder(stream, split_points(control, len(stream)), **limits)
    if whole[1:] != chunked[1:] or len(whole[0]) != len(chunked[0]) \
            or not all(same(a, b) for a, b in zip(whole[0], chunked[0])):
        raise HarnessFailure("under %r, whole %r but chunked %r" % (limits, whole, chunked))
    values, pending, error = whole
    free_values, free_pending, free_error = unlimited
    if len(values) > len(free_values) or not all(same(a, b) for a, b in zip(values, free_values)) \
            or (error is None and (len(values) != len(free_values) or pending != free_pending or free_error)) \
            or (error is not None and free_error is not None and error[0] > free_error[0]):
        raise HarnessFailure("under %r the Decoder gave %r, without limits %r" % (limits, whole, unlimited))
    for value in values:
        if type(value) is list and open_depth(value) > limits["max_depth"]:
            raise HarnessFailure("under %r a value nested %d deep came through" % (limits, open_depth(value)))
        for item in walk(value):
            if type(item) is bytes and len(item) > max(limits["max_buffer_size"], LONGEST_WORD):
                raise HarnessFailure("under %r a byte string of %d bytes came through" % (limits, len(item)))


def check(data, encode=cMolvar.encode, limits=None):
    """Runs one input; raises HarnessFailure on a fault. `limits`: also
    through a limited Decoder (default: MOLVAR_FUZZ_LIMITS=1)."""
    if limits is None:
        limits = LIMITS
    if not data:
        return
    control, stream = data[0], bytes(data[1:])
    whole = feed(stream, [])
    chunked = feed(stream, split_points(control, len(stream)))
    if whole[1:] != chunked[1:] or not all(same(a, b) for a, b in zip(whole[0], chunked[0])) \
            or len(whole[0]) != len(chunked[0]):
        raise HarnessFailure("whole %r but chunked %r" % (whole, chunked))
    # The Decoder: the same values, tail and refusal whatever the split,
    # and at the same offset.
    decoded = feed_decoder(stream, [])
    for result in (decoded, feed_decoder(stream, split_points(control, len(stream)))):
        values, pending, error = result
        if (error is None) != (whole[2] is None) or len(values) != len(whole[0]) \
                or not all(same(a, b) for a, b in zip(values, whole[0])) \
                or (error is None and pending != len(whole[1])) or error != decoded[2]:
            raise HarnessFailure("dataReceived gave %r but the Decoder %r" % (whole, result))
    for value in whole[0]:
        round_trip(value, encode)
    if limits:
        check_limited(stream, control, decoded)


def _ones_as_twos(value):
    if type(value) is list:
        return [_ones_as_twos(item) for item in value]
    return 2 if type(value) is int and value == 1 else value


def broken_encode(value, buf):
    """A wrong encoder, injected to prove that the harness reports faults."""
    cMolvar.encode(_ones_as_twos(value), buf)


def selected_encode():
    return broken_encode if os.environ.get("MOLVAR_FUZZ_SELF_CHECK") == "1" else cMolvar.encode


# --- the stand-alone mutation fuzzer ---------------------------------------

TOKENS = [
    b"\x80", b"\x00\x80", b"\x01\x80", b"\x02\x80", b"\x00\x00\x28\x80", b"\x7f\x7f\x7f\x7f\x07\x81",
    b"\x00\x00\x00\x00\x08\x83", b"\x81", b"\x83", b"\x84", b"\x00\x82", b"\x03\x82abc", b"\x00\x00\x28\x82",
    b"\x7f\x7f\x7f\x7f\x0f\x85", b"\x01\x86", b"\x1f\x87", b"\x20\x87", b"\x88", b"\xff",
    b"\x84\x3f\xf8\x00\x00\x00\x00\x00\x00", b"\x84\x7f\xf0\x00\x00\x00\x00\x00\x01", b"\x7f" * 64,
]


def load_corpus(directory=CORPUS):
    seeds = []
    if os.path.isdir(directory):
        for name in sorted(os.listdir(directory)):
            with open(os.path.join(directory, name), "rb") as handle:
                seeds.append(handle.read())
    return seeds or [b"\x00\x02\x80\x01\x81\x02\x82ab"]


def mutate(data, rng, seeds):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        choice = rng.randrange(8)
        pos = rng.randint(0, len(data))
        if choice == 0 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif choice == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif choice == 2:
            data[pos:pos] = rng.choice(TOKENS)
        elif choice == 3 and data:
            end = min(len(data), pos + rng.randint(1, 16))
            del data[pos:end]
        elif choice == 4 and data:
            start = rng.randrange(len(data))
            data[pos:pos] = data[start : start + rng.randint(1, 32)]
        elif choice == 5:
            other = rng.choice(seeds)
            data[pos:] = other[rng.randint(0, len(other)) :]
        elif choice == 6 and data:
            data[0] = rng.randrange(256)
        elif choice == 7:
            data[pos:pos] = bytes([rng.randrange(0x80)]) * rng.randint(1, 6)
    return bytes(data[:4096])


def fuzz(seconds=None, count=None, seed=0, check_one=check, seeds=None):
    """Mutates the corpus until the time or count is used up. Returns the
    number of inputs run; raises HarnessFailure (with the input) on a fault."""
    rng = random.Random(seed)
    seeds = list(seeds if seeds is not None else load_corpus())
    pool = list(seeds)
    deadline = None if seconds is None else time.monotonic() + seconds
    runs = 0
    while (count is None or runs < count) and (deadline is None or time.monotonic() < deadline):
        data = mutate(rng.choice(pool), rng, seeds)
        try:
            check_one(data)
        except HarnessFailure as failure:
            raise HarnessFailure("input %r: %s" % (data, failure)) from None
        runs += 1
        if rng.random() < 0.05:
            pool.append(data)
            if len(pool) > 500:
                del pool[len(seeds) : len(seeds) + 100]
    return runs


def main(argv):
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("inputs", nargs="*", help="input files to replay")
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--count", type=int)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--corpus", action="append", help="seed directory (default: fuzz/corpus)")
    parser.add_argument("--self-check", action="store_true", help="inject a wrong encoder")
    args = parser.parse_args(argv)
    encode = broken_encode if args.self_check else selected_encode()
    try:
        if args.inputs:
            for path in args.inputs:
                with open(path, "rb") as handle:
                    check(handle.read(), encode)
            print("%d inputs replayed, no fault" % len(args.inputs))
        else:
            if args.seconds is None and args.count is None:
                args.seconds = 10
            seeds = [seed for directory in args.corpus or [CORPUS] for seed in load_corpus(directory)]
            runs = fuzz(args.seconds, args.count, args.seed, lambda data: check(data, encode), seeds)
            print("%d inputs, no fault" % runs)
    except HarnessFailure as failure:
        print("FAULT: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
