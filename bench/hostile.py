"""What hostile input and hostile values cost the codec: time and peak memory.

    .venv/bin/python -P bench/hostile.py            # every case
    .venv/bin/python -P bench/hostile.py CASE...    # some of them
    .venv/bin/python -P bench/hostile.py --limits   # what one connection holds, with limits

Each case runs in a fresh interpreter, so that its peak resident memory is its
own. "extra peak" is the growth of the process's peak resident set over what
it was just before the measured step (the input is made before that).

The cases marked "eager" emulate what a decoder that made each list at its
announced size, when its header arrived, cost: one list of that size per
header, held until the end, then released. "eager exact" makes exactly those
lists, slots empty, through the C API (PyList_New); "eager filled" makes them
as `[None] * n`, which touches every slot, at 1/16 of the input and is scaled
up (the whole would need 20 GB). Both eager cases run 1/16 of the headers
and scale the figures up.

--limits sizes a server's connections: for each hostile shape and each pair
of the Decoder's limits (max_depth, max_buffer_size), in a fresh interpreter,
it feeds CONNECTIONS decoders every byte up to the one that would be refused
(the most a peer can make a connection hold) and reports the growth of the
resident set per decoder, and the tracemalloc peak of one decoder fed the
same bytes through to the refusal. Reads are fed as MolvarProtocol,
read_values and iter_load feed them (in slices under max_buffer_size, each
slice's values handed over, and dropped, before the next), so the peak
counts the values made from one slice too; the reads themselves are made
before it is measured.
"""

import json
import os
import resource
import subprocess
import sys
import time

MAX_LIST = b"\x00\x00\x28\x80"
SIZE_LIMIT = 655360


def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def vm_peak_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmPeak:"):
                return int(line.split()[1])
    return 0


def measure(step):
    before_peak, before_vm = peak_kb(), vm_peak_kb()
    started, cpu = time.perf_counter(), time.process_time()
    note = step()
    return {
        "seconds": time.perf_counter() - started,
        "cpu": time.process_time() - cpu,
        "extra_peak_mb": (peak_kb() - before_peak) / 1024,
        "extra_address_space_mb": (vm_peak_kb() - before_vm) / 1024,
        "note": note or "",
    }


def codec():
    import cMolvar
    import kestrix.vantle.molvar  # noqa: F401

    return cMolvar


def nested_headers_after():
    cMolvar = codec()
    data = MAX_LIST * 4096

    def step():
        state = cMolvar.newState()
        consumed = cMolvar.dataReceived(state, data, None.__class__)
        assert consumed == len(data)
        del state

    return measure(step)


EAGER_SCALE = 16  # the whole would take 20 GB of this 24 GB machine


def empty_list_maker():
    """PyList_New: a list of n empty slots, as an eager decoder made them."""
    import ctypes

    new_list = ctypes.pythonapi.PyList_New
    new_list.restype = ctypes.py_object
    new_list.argtypes = [ctypes.c_ssize_t]
    return new_list


def scaled(result):
    for key in ("seconds", "cpu", "extra_peak_mb", "extra_address_space_mb"):
        result[key] *= EAGER_SCALE
    result["note"] = "1/%d of the headers, scaled up" % EAGER_SCALE
    return result


def nested_headers_eager_exact():
    new_list = empty_list_maker()

    def step():
        # Lists with empty slots: never touched, only held and released.
        held = [new_list(SIZE_LIMIT) for _ in range(4096 // EAGER_SCALE)]
        del held

    return scaled(measure(step))


def nested_headers_eager_filled():
    def step():
        held = [[None] * SIZE_LIMIT for _ in range(4096 // EAGER_SCALE)]
        del held

    return scaled(measure(step))


def stalled_list_after():
    cMolvar = codec()
    data = MAX_LIST + b"\x81" * 1000
    keep = []

    def step():
        state = cMolvar.newState()
        assert cMolvar.dataReceived(state, data, None.__class__) == len(data)
        keep.append(state)
        return "a maximal list header, then 1000 items, and the peer stalls"

    return measure(step)


def stalled_list_eager():
    new_list = empty_list_maker()
    keep = []

    def step():
        keep.append(new_list(SIZE_LIMIT))

    return measure(step)


def full_maximal_list():
    cMolvar = codec()
    data = MAX_LIST + b"\x81" * SIZE_LIMIT

    def step():
        values = []
        assert cMolvar.dataReceived(cMolvar.newState(), data, values.append) == len(data)
        assert len(values[0]) == SIZE_LIMIT

    return measure(step)


def million_nested_decode():
    cMolvar = codec()
    data = b"\x01\x80" * 1_000_000 + b"\x81"

    def step():
        values = []
        assert cMolvar.dataReceived(cMolvar.newState(), data, values.append) == len(data)
        del values
        return "decoded, delivered and released"

    return measure(step)


def million_nested_open():
    cMolvar = codec()
    data = b"\x02\x80" * 1_000_000

    def step():
        state = cMolvar.newState()
        assert cMolvar.dataReceived(state, data, None.__class__) == len(data)
        del state
        return "a million lists left open, then the state released"

    return measure(step)


def encode_refused(value):
    """Encoding `value`, which must raise RecursionError, measured."""
    cMolvar = codec()
    buf = cMolvar.newBuf()

    def step():
        try:
            cMolvar.encode(value, buf)
        except RecursionError:
            return "RecursionError"
        raise AssertionError("encoded a value that is too deep or contains itself")

    return measure(step)


def million_nested_encode():
    value = []
    for _ in range(1_000_000):
        value = [value]
    return encode_refused(value)


def self_containing_encode():
    loop = [1]
    loop.append(loop)
    return encode_refused(loop)


def decoded_whole(data):
    """Decoding `data` in one call on a fresh state, measured."""
    cMolvar = codec()

    def step():
        values = []
        assert cMolvar.dataReceived(cMolvar.newState(), data, values.append) == len(data)

    return measure(step)


def long_headers():
    return decoded_whole((b"\x7f" * 63 + b"\x01\x81") * 256)  # 16 KB of 64-digit headers


def big_ints():
    return decoded_whole((b"\x7f" * 64 + b"\x85") * 252)  # 16 KB of 448-bit integers


def maximal_string_trickled():
    cMolvar = codec()
    wire = b"\x00\x00\x28\x82" + b"s" * SIZE_LIMIT
    chunks = [wire[i : i + 1024] for i in range(0, len(wire), 1024)]

    def step():
        state, values, pending = cMolvar.newState(), [], b""
        for chunk in chunks:
            pending += chunk
            pending = pending[cMolvar.dataReceived(state, pending, values.append) :]
        assert len(values[0]) == SIZE_LIMIT
        return "1 KB chunks, the tail presented again each time (the caller's copying included)"

    return measure(step)


CASES = {
    "nested-headers": ("16 KB of nested maximal list headers (00 00 28 80)", nested_headers_after),
    "nested-headers-eager-exact": ("  the same, eager exact", nested_headers_eager_exact),
    "nested-headers-eager-filled": ("  the same, eager filled", nested_headers_eager_filled),
    "stalled-list": ("maximal list header + 1000 items, then nothing", stalled_list_after),
    "stalled-list-eager": ("  the same, eager", stalled_list_eager),
    "full-list": ("a list of 655360 ints, complete", full_maximal_list),
    "million-nested": ("1,000,000 nested one-item lists", million_nested_decode),
    "million-open": ("1,000,000 nested lists left open", million_nested_open),
    "million-encode": ("encoding a 1,000,000-deep list", million_nested_encode),
    "self-containing": ("encoding a list that contains itself", self_containing_encode),
    "long-headers": ("16 KB of 64-digit headers", long_headers),
    "big-ints": ("16 KB of 448-bit integers (pyb1282int)", big_ints),
    "string-trickled": ("655360-byte string in 1 KB chunks", maximal_string_trickled),
}


# --- what one connection holds, with the Decoder's limits ---------------------


def shape_nested(budget):
    return MAX_LIST * (budget // 4)


def shape_string(budget):
    return b"\x00\x40\x25\x82" + b"s" * min(budget, 614400)  # 614400 bytes announced


def shape_huge_list(budget):
    return MAX_LIST + b"\x2c\x02\x81" * (budget // 3)  # ints of 300: a new object each


def shape_small_lists(budget):
    return MAX_LIST + b"\x01\x80\x2c\x02\x81" * (budget // 5)  # [300], again and again


def shape_empty_lists(budget):
    return b"\x80" * budget  # an empty list per byte: the most values a read can make


SHAPES = {
    "nested-headers": ("nested maximal list headers (00 00 28 80)", shape_nested),
    "string-trickle": ("a 600 KB string trickling in", shape_string),
    "huge-list": ("a maximal list header, then ints of 300", shape_huge_list),
    "small-lists": ("a maximal list header, then one-item lists [300]", shape_small_lists),
    "empty-lists": ("empty lists, one byte each (80), delivered", shape_empty_lists),
}


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def limited_case(shape, max_depth, max_buffer_size, connections, budget, read_size):
    """What one decoder holds at most for `shape` under the limits (None:
    none), fed `budget` bytes at most, `read_size` bytes at a time."""
    import gc
    import tracemalloc

    from kestrix.vantle.molvar import Decoder, MolvarError
    from kestrix.vantle.molvar.files import feed_slices, slice_size

    limits = {"max_depth": max_depth, "max_buffer_size": max_buffer_size}
    step = slice_size(max_buffer_size)
    data = SHAPES[shape][1](budget)
    chunks = [data[i : i + read_size] for i in range(0, len(data), read_size)]

    def feed(decoder, chunk):
        for values in feed_slices(decoder, chunk, step):
            del values  # handed over, and dropped

    # The bytes a decoder takes before the refusal, and the refusal.
    probe, taken, refusal = Decoder(**limits), 0, ""
    tracemalloc.start()
    try:
        for chunk in chunks:
            feed(probe, chunk)
            taken += len(chunk)
    except MolvarError as error:
        refusal = str(error)  # `taken`: the reads before the refused one
    else:
        taken -= 1  # not refused: all but the last byte, so that nothing is delivered
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del probe
    # Each connection fed every byte before the refused one: the most it holds.
    accepted, left = [], taken
    for chunk in chunks:
        if left <= 0:
            break
        accepted.append(chunk[:left])
        left -= len(chunk)
    gc.collect()
    before = rss_kb()
    decoders = []
    for _ in range(connections):
        decoder = Decoder(**limits)
        for chunk in accepted:
            feed(decoder, chunk)
        decoders.append(decoder)
    held_kb = (rss_kb() - before) / connections
    return {
        "sent": taken,
        "refusal": refusal,
        "rss_per_connection_kb": held_kb,
        "traced_peak_kb": traced_peak / 1024,
    }


# (max_depth, max_buffer_size, connections, bytes sent at most)
LIMIT_SETS = [
    (None, None, 1, 1 << 20),
    (None, 65536, 200, 1 << 20),
    (None, 262144, 60, 1 << 20),
    (None, 1 << 20, 16, 4 << 20),
    (64, 262144, 60, 1 << 20),
]
# The peer chooses how its bytes are split: each row is the worst of these reads.
READ_SIZES = [16, 1024, 65536, 262144]  # up to what asyncio reads at once


def limits_main():
    print("| what the peer sends | max_depth | max_buffer_size | worst reads of (bytes) | bytes taken "
          "| held per connection, RSS (KB) | tracemalloc peak (KB) | peak / max_buffer_size | refused with |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for shape in SHAPES:
        for max_depth, max_buffer_size, connections, budget in LIMIT_SETS:
            rows = []
            for read_size in READ_SIZES:
                result = subprocess.run(
                    [sys.executable, "-P", os.path.abspath(__file__), "--limited-case", shape,
                     json.dumps([max_depth, max_buffer_size, connections, budget, read_size])],
                    capture_output=True, text=True, check=True,
                )
                row = json.loads(result.stdout.splitlines()[-1])
                row["read_size"] = read_size
                rows.append(row)
            row = max(rows, key=lambda row: max(row["rss_per_connection_kb"], row["traced_peak_kb"]))
            ratio = "%.2f" % (row["traced_peak_kb"] * 1024 / max_buffer_size) if max_buffer_size else "-"
            refusal = row["refusal"].split(": ", 1)[-1] if row["refusal"] else "(not refused)"
            print("| %s | %s | %s | %d | %d | %.0f | %.0f | %s | %s |" % (
                SHAPES[shape][0], max_depth or "-", max_buffer_size or "-", row["read_size"], row["sent"],
                row["rss_per_connection_kb"], row["traced_peak_kb"], ratio, refusal))


def run_case(name):
    print(json.dumps(CASES[name][1]()))


def main(names):
    if len(names) == 2 and names[0] == "--case":
        run_case(names[1])
        return
    if len(names) == 3 and names[0] == "--limited-case":
        print(json.dumps(limited_case(names[1], *json.loads(names[2]))))
        return
    if names == ["--limits"]:
        limits_main()
        return
    names = names or list(CASES)
    print("| case | time (ms) | CPU (ms) | extra peak RSS (MB) | extra address space (MB) | note |")
    print("|---|---:|---:|---:|---:|---|")
    for name in names:
        result = subprocess.run(
            [sys.executable, "-P", os.path.abspath(__file__), "--case", name],
            capture_output=True, text=True, check=True,
        )
        row = json.loads(result.stdout.splitlines()[-1])
        print("| %s | %.1f | %.1f | %.1f | %.1f | %s |" % (
            CASES[name][0], row["seconds"] * 1000, row["cpu"] * 1000, row["extra_peak_mb"],
            row["extra_address_space_mb"], row["note"]))


if __name__ == "__main__":
    main(sys.argv[1:])
