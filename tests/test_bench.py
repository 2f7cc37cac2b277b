"""The benchmark's quick mode, so that it cannot rot: it checks every
codec's round trip on every corpus. Its figures are not looked at."""

import os
import subprocess
import sys

from conftest import REPO


def test_quick_benchmark_runs_every_corpus():
    result = subprocess.run(
        [sys.executable, os.path.join(REPO, "bench", "run.py"), "--quick"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    table = result.stdout
    assert "geometric mean" in table and "600 KB bytes against a plain copy" in table
    for corpus in ("RPC messages, one by one", "100k floats", "ints beyond 64 bits"):
        assert table.count(f"| {corpus} |") == 3  # encode, decode, chunked
