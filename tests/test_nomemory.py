"""Allocation failures anywhere: an exception, never a crash, and the process
still works afterwards. Each sweep runs in its own process."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import OUTSIDE, REPO, run_python

pytest.importorskip("_testcapi")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    # 3.13t's own allocator crashes under _testcapi.set_nomemory, with no
    # extension loaded: a loop that makes lists in pure Python is enough.
    pytest.skip("allocation failures crash the free-threaded interpreter itself", allow_module_level=True)


@pytest.mark.parametrize("workload", ["encode", "buffer", "decode", "api"])
def test_allocation_failures_in_the_codec(workload):
    result = subprocess.run(
        [sys.executable, os.path.join(REPO, "tests", "nomemory_workload.py"), workload],
        cwd=OUTSIDE, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    runs, raised = map(int, result.stdout.split())
    assert raised > 5, "the sweep never reached the codec"


STRIDE = 16  # every other window of 8 allocations: a few seconds in all

IMPORT_SWEEP = textwrap.dedent("""
    import compileall, faulthandler, importlib.util, sys
    import _testcapi
    # CPython's own module locks can spin for ever when an allocation fails
    # inside them (importlib._bootstrap's _ModuleLock.release): such a
    # process is stopped, its stack printed, and the sweep goes on past it.
    faulthandler.dump_traceback_later(30, exit=True)
    import typing, __future__  # what the companion needs: not part of the sweep

    first, start, stride, cache = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    # The companion compiled ahead: CPython's compiler can crash when an
    # allocation fails inside it.
    sys.pycache_prefix, sys.dont_write_bytecode = cache, False
    compileall.compile_dir(importlib.util.find_spec("kestrix").submodule_search_locations[0], quiet=1)
    while True:
        _testcapi.set_nomemory(start, start + 8)
        try:
            __import__(first)
            imported = True
        except Exception:
            imported = False
        finally:
            _testcapi.remove_mem_hooks()
        if imported:
            break
        start += stride
    import cMolvar, kestrix.vantle.molvar as companion
    assert cMolvar.MolvarError is companion.MolvarError
    assert companion.loads(companion.dumps([2**100, -1])) == [2**100, -1]
    print(start)
""")


# From 3.12, CPython's own import machinery crashes under injected allocation
# failures (importing json or decimal the same way crashes it too), so the
# import sweep runs where the host survives it.
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="CPython 3.12+ crashes in its own import code under this sweep")
@pytest.mark.parametrize("first", ["cMolvar", "kestrix.vantle.molvar"])
def test_allocation_failures_while_importing(first, tmp_path):
    # A process imports until an import succeeds (failed ones are retried in
    # it, as a program would); the next process starts past that point. The
    # sweep ends when imports no longer fail.
    start = failed = 0
    in_a_row = 0
    while in_a_row < 3:
        result = run_python(IMPORT_SWEEP, first, str(start), str(STRIDE), str(tmp_path))
        if result.returncode != 0 and "Timeout" in result.stderr and "importlib._bootstrap>\", line" in result.stderr \
                and "in release" in result.stderr:
            start += STRIDE  # stuck in importlib's own lock code: not ours
            continue
        assert result.returncode == 0, "from allocation %d: %s" % (start, result.stderr)
        stopped = int(result.stdout)
        failed += (stopped - start) // STRIDE
        in_a_row = in_a_row + 1 if stopped == start else 0
        start = stopped + STRIDE
    assert failed > 20, "the sweep never reached the import"
