"""No reference or memory leaks on any success or error path.

The reference count is checked when the suite runs under a debug
interpreter (python3-dbg, whose sys.gettotalrefcount counts every
reference; `nox -s leaks` installs cMolvar for it); native blocks (buffers,
open-list frames) are checked with tracemalloc under every interpreter.
"""

import gc
import os
import subprocess
import sys
import tracemalloc

import pytest

import cMolvar
import leak_workload

ROUNDS = 40
# No allowance for any interpreter. A name made anew for each call
# (PyObject_CallMethod(obj, "strip"), PyObject_GetAttrString) would show
# here: the type attribute cache holds a reference to the name of each of
# its 4096 entries, so such names stay alive after the call, spreading over
# entries for a thousand rounds or so. On 3.12 and later the names they
# displace are mostly immortal, whose references the total does not count,
# so each entry taken gains one (3.14: 110 over 40 rounds); 3.11 gains the
# blocks alone. The codec calls methods by interned names (codec/context.h).
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


@pytest.mark.skipif(not DEBUG_INTERPRETER, reason="needs a debug interpreter (nox -s leaks runs this under python3-dbg)")
def test_no_reference_grows_over_many_rounds():
    # A fresh process: nothing else the suite did is counted. The sanitizer
    # run's settings are for its own build, not for this interpreter.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")}
    result = subprocess.run(
        [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "leak_workload.py"), str(ROUNDS)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    (idle_refs, idle_blocks), (refs, blocks) = [tuple(map(int, line.split())) for line in result.stdout.splitlines()]
    print("references gained: %d idle, %d over %d rounds; blocks: %d, %d" % (idle_refs, refs, ROUNDS, idle_blocks, blocks))
    # A path that leaks a reference gains at least one every round (in each
    # of the spans the workload measures).
    assert refs - idle_refs < ROUNDS // 2


def native_paths():
    """The paths that take native blocks: buffers growing, frames growing past
    their inline slots, states dropped with lists open, failures mid-list."""
    buf = cMolvar.newBuf()
    cMolvar.encode([b"x" * 3000, list(range(1000, 1040)), -1.5], buf)
    state = cMolvar.newState()
    cMolvar.dataReceived(state, buf.get()[:3100], pytest.fail)
    item = b"\x04\x82item"
    cMolvar.dataReceived(state, b"\x02\x80" + (b"\x09\x80" + item * 6) * 3, pytest.fail)
    for bad in (b"\x88", b"\x01\x00\x00\x29\x80", b"\x00\x00\x00\x00\x08\x80"):
        with pytest.raises((cMolvar.MolvarError, SystemError)):
            cMolvar.dataReceived(state, b"\x07\x80" + item * 5 + bad, pytest.fail)
    with pytest.raises(cMolvar.MolvarError):
        cMolvar.encode([b"y" * 2000, [None]], buf)


def test_no_native_memory_grows_over_many_rounds():
    for _ in range(50):
        native_paths()
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            native_paths()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A block lost per round would be 1000 blocks; settling caches are a few.
    assert grown < 32 * 1024
