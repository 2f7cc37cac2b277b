"""Allocation failures at every point of one workload, in one process.

Run as a script by test_nomemory.py: `nomemory_workload.py NAME`. For each
n, allocation n of the workload fails, in two modes: only that one (the
workload may carry on past a handled failure), and the eight from n on
(memory stays short, so even building the error can fail; failing every
allocation from n on would reach CPython's own fatal error when it cannot
make a MemoryError). Any exception is accepted; a crash is not, and after
each run, with memory back, the codec must still decode what it encodes.
The sweep ends when a run of starts in a row fail nothing that the workload
notices. Prints "<runs> <runs that raised>".
"""

import sys

import _testcapi

import cMolvar
from kestrix.vantle import molvar
from kestrix.vantle.molvar._native import _thresholds


class Sub(list):
    pass


class Int(int):
    pass


VALUE = [1, -5, 2**31, -(2**70), True, Int(-(2**40)), 1.5, b"abc", (b"x" * 2000,), [[[]]], b"y" * 40000, Sub([7, [8]])]


def encoded(value):
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


HEAD = encoded([[1, [2, b"str" * 10, 2**70]], [b"x" * 100, 3.5, []], -7]) + encoded(2**80) + encoded([0] * 20)
# Ints the interpreter does not share (each one allocated), then big ints
# and floats: the scalars' and the big ints' runs fail at each allocation.
STREAM = HEAD + encoded(list(range(1000, 1020)) + [2**70 + i for i in range(6)] + [0.5 * i for i in range(6)])
# Cut mid-list (two lists open), in a string's header and in its body; the
# last chunk closes every list, the one after holds whole values.
CUTS = [6, 9, 12, 60, len(HEAD) - 40]
CHUNKS = [STREAM[start:end] for start, end in zip([0] + CUTS, CUTS + [len(STREAM)])]


# Values written into a new buffer whose first block has only `spare`
# bytes left, so that the reservation of each kind of scalar is the one
# that grows it: a float and a wide int alone, in a list and in a tuple
# (their headers still fit), a subclass's magnitude, a byte string's header
# in a list and in a tuple, and a wide int written natively after a first
# one, which just fits.
BLOCK = _thresholds["INITIAL_CAPACITY"]
CROSSINGS = [(8, item) for item in (1.5, [1.5], (1.5,), 2**70, [2**70], (2**70,), [Int(-(2**40))])] + [
    (6, [b"ab"]),
    (6, (b"ab",)),
    (11, [2**40, 2**41]),
    (11, (2**40, 2**41)),
]


def encode():
    cMolvar.encode(VALUE, cMolvar.newBuf())
    for spare, item in CROSSINGS:
        buf = cMolvar.newBuf()
        buf.write(bytes(BLOCK - spare))
        cMolvar.encode(item, buf)


def buffer():
    buf = cMolvar.newBuf()
    buf.write(b"x" * 3000)
    buf.write(memoryview(b"ab"))
    buf.get()
    buf.clear()
    buf.write(bytearray(5000))


def decode():
    values = []
    cMolvar.dataReceived(cMolvar.newState(), STREAM, values.append)
    state = cMolvar.newState()
    pending = b""
    for start, end in zip([0] + CUTS, CUTS + [len(STREAM)]):
        pending += STREAM[start:end]
        pending = pending[cMolvar.dataReceived(state, pending, values.append) :]


# The decoder of the last api() run, and whether its stream was cut short
# by an exception.
stopped_decoder = None


def api():
    global stopped_decoder
    stopped_decoder = None
    molvar.loads(molvar.dumps(VALUE))
    molvar.dumps(b"z" * 40000)  # a result handed over
    molvar.dumps([b"z" * 40000, b"w" * 2000])  # its block resized in place first
    decoder = molvar.Decoder()
    for call, *args in [(decoder.feed, chunk) for chunk in CHUNKS] + [(decoder.close,)]:
        try:
            call(*args)
        except BaseException:
            stopped_decoder = decoder
            raise


WORKLOADS = {"encode": encode, "buffer": buffer, "decode": decode, "api": api}


def still_works():
    if stopped_decoder is not None:
        # Whatever stopped it, its stream is in an unknown state: every
        # later call must say so.
        try:
            stopped_decoder.feed(b"\x05\x81")
        except molvar.MolvarError:
            pass
        else:
            raise AssertionError("a decoder went on after an exception")
    assert molvar.pyb1282int(encoded(2**70)[:-1]) == 2**70
    values = []
    assert cMolvar.dataReceived(cMolvar.newState(), encoded(VALUE), values.append) == len(encoded(VALUE))
    assert values[0][3] == -(2**70) and values[0][-1] == [7, [8]]


def run(action, start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        action()
        return True
    except SystemError:
        raise  # a failure reported without its exception, or the like
    except Exception:
        return False
    finally:
        _testcapi.remove_mem_hooks()


def main():
    action = WORKLOADS[sys.argv[1]]
    action()  # caches settle first: interned names, the kept states
    runs = raised = 0
    for width in (1, 8):
        start = quiet = 0
        while quiet < 30:
            if run(action, start, start + width):
                quiet += 1
            else:
                quiet = 0
                raised += 1
            still_works()
            start += 1
            runs += 1
    print(runs, raised)


if __name__ == "__main__":
    main()
