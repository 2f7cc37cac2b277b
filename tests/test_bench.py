"""The benchmark's quick mode, so that it cannot rot: it checks every timed
loop's round trip on every corpus, with whichever peers are installed (a
missing one is skipped with a note). Its figures are not looked at."""

import json
import os
import subprocess
import sys

from conftest import REPO

try:
    import matplotlib  # noqa: F401  (the chart is drawn only where it is installed)
except ImportError:
    matplotlib = None

# -P keeps the source tree off sys.path (Python 3.11 and later).
PYTHON = [sys.executable] + (["-P"] if sys.version_info >= (3, 11) else [])


def test_quick_benchmark_checks_every_corpus_and_charts(tmp_path):
    results_path = tmp_path / "results.json"
    result = subprocess.run(
        PYTHON + [os.path.join(REPO, "bench", "run.py"), "--quick", "--json", str(results_path)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Geometric mean of ours / fastest peer" in result.stdout
    results = json.loads(results_path.read_text())
    rows = {(row["corpus"], row["direction"]): row for row in results["rows"]}
    assert len(rows) == len(results["rows"]) and len(rows) % 2 == 0
    for (corpus, direction), row in rows.items():
        assert (corpus, "decode" if direction == "encode" else "encode") in rows
        assert {"raw", "API", "marshal", "pickle"} <= set(row["ms"]), corpus
    assert any(row["repeats"] for row in results["rows"])
    assert results["copy"]["ratios"]["encode"]["raw"] > 0
    assert set(results["peers"]) | set(results["missing"]) == {"msgspec", "ormsgpack", "msgpack", "cbor2", "marshal", "pickle"}
    # The families, drawn from the seed the run printed, each summarized
    # over its members for both our paths against every peer that carried it.
    assert f"families' seed: {results['seed']}" in result.stderr
    assert {f["name"] for f in results["families"]} == {"nesting", "vocabulary", "message size", "ints", "bytes", "sending", "documents"}
    for family in results["families"]:
        for direction in ("encode", "decode"):
            summary = family["summary"][direction]
            assert set(summary["ratios"]) == {"raw", "API"}
            low, median, high = summary["ratios"]["raw"]["marshal"]
            assert 0 < low <= median <= high, family["name"]
    # The floor is measured wherever a C++ compiler could build it.
    if not results["floor_missing"]:
        assert all("floor" in row for row in results["rows"])

    if matplotlib is not None:
        png = tmp_path / "ratios.png"
        chart = subprocess.run(
            PYTHON + [os.path.join(REPO, "bench", "chart.py"), str(results_path), str(png)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert chart.returncode == 0, chart.stdout + chart.stderr
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
