"""No reference or memory leaks on any success or error path.

The reference count is checked under the debug interpreter (python3-dbg,
whose sys.gettotalrefcount counts every reference), with cMolvar built for
its ABI into build/dbg; native blocks (buffers, open-list frames) are checked
with tracemalloc in this interpreter.
"""

import gc
import os
import subprocess
import sys
import tracemalloc

import pytest

import cMolvar
import leak_workload
from conftest import DEBUG_PYTHON, REPO, build_for_debug_interpreter, plain_environment

ROUNDS = 40


@pytest.mark.skipif(DEBUG_PYTHON is None, reason="python3-dbg is not installed")
def test_no_reference_grows_over_many_rounds():
    lib = build_for_debug_interpreter()
    env = plain_environment(PYTHONPATH=os.pathsep.join([lib, REPO]))
    result = subprocess.run(
        [DEBUG_PYTHON, "-P", os.path.join(REPO, "tests", "leak_workload.py"), str(ROUNDS)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    (idle_refs, idle_blocks), (refs, blocks) = [tuple(map(int, line.split())) for line in result.stdout.splitlines()]
    print("references gained: %d idle, %d over %d rounds; blocks: %d, %d" % (idle_refs, refs, ROUNDS, idle_blocks, blocks))
    # A path that leaks a reference gains at least one every round.
    assert refs - idle_refs < ROUNDS // 4


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
