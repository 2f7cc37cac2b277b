"""A short fuzz run, and proof that the fuzz harness reports what it should."""

import glob
import os
import shutil
import subprocess
import sys

import pytest

from conftest import REPO

sys.path.insert(0, os.path.join(REPO, "fuzz"))
import harness  # noqa: E402

KNOWN_BAD = os.path.join(REPO, "fuzz", "known-bad", "int-one")
ENCODER_KNOWN_BAD = os.path.join(REPO, "fuzz", "known-bad", "encoder-int-one")
# Found by a campaign: 16383 copies of [a wide int] under a converter that
# takes the buffer's content each time; the target ran out of memory.
ENCODER_FOUND = glob.glob(os.path.join(REPO, "fuzz", "known-bad", "encoder-converter-*"))


def test_seed_corpus_passes():
    seeds = harness.load_corpus()
    assert len(seeds) >= 5
    for data in seeds:
        harness.check(data)


def test_short_mutation_run():
    assert harness.fuzz(count=60000, seed=1) == 60000


def test_harness_reports_a_wrong_round_trip():
    with open(KNOWN_BAD, "rb") as handle:
        data = handle.read()
    harness.check(data)
    with pytest.raises(harness.HarnessFailure, match="round trip of 1 gave 2"):
        harness.check(data, harness.broken_encode)
    # The mutation fuzzer finds it on its own.
    with pytest.raises(harness.HarnessFailure):
        harness.fuzz(count=5000, seed=2, check_one=lambda d: harness.check(d, harness.broken_encode))


@pytest.mark.parametrize(
    "whole, chunked",
    [
        # Delivered values, tail, error: any difference is a fault.
        (([1], b"", None), ([1, 1], b"", None)),
        (([1], b"\x05", None), ([1], b"", None)),
        (([], None, (ValueError, "x")), ([], None, (ValueError, "y"))),
    ],
)
def test_harness_reports_chunked_decoding_that_differs(monkeypatch, whole, chunked):
    results = iter([whole, chunked])
    monkeypatch.setattr(harness, "feed", lambda stream, cuts: next(results))
    with pytest.raises(harness.HarnessFailure, match="whole"):
        harness.check(b"\x02\x01\x81")


def test_split_points_cover_whole_single_bytes_and_random_cuts():
    assert harness.split_points(0, 10) == []
    assert harness.split_points(1, 5) == [1, 2, 3, 4]
    cuts = harness.split_points(2 + 4 * 5, 100)
    assert cuts == sorted(set(cuts)) and all(0 <= cut <= 100 for cut in cuts) and cuts


def test_limited_decoder_checked_against_the_unlimited_one(monkeypatch):
    for data in harness.load_corpus():
        harness.check(data, limits=True)
    # A Decoder that ignores its limits lets deep values through: reported.
    feed = harness.feed_decoder
    monkeypatch.setattr(harness, "feed_decoder", lambda stream, cuts, **limits: feed(stream, cuts))
    with pytest.raises(harness.HarnessFailure, match="nested 2 deep came through"):
        harness.check(b"\x00\x01\x80\x01\x80\x01\x81", limits=True)


@pytest.mark.skipif(shutil.which("clang++") is None, reason="clang++ is not installed")
def test_libfuzzer_target_runs_and_fails_on_the_known_bad_input(tmp_path):
    build = subprocess.run(["sh", os.path.join(REPO, "fuzz", "build-fuzzer")], capture_output=True, text=True,
                           timeout=300, env=dict(os.environ, FUZZ_OUT=str(tmp_path)))
    if build.returncode != 0 and "libclang_rt.fuzzer" in build.stderr:
        pytest.skip("clang's fuzzer runtime is not installed")
    assert build.returncode == 0, build.stderr
    target = str(tmp_path / "decoder_fuzz")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(REPO, "src"), os.path.join(REPO, "fuzz")]),
               ASAN_OPTIONS="detect_leaks=0")
    env.pop("LD_PRELOAD", None)
    env.pop("PYTHONMALLOC", None)
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    run = subprocess.run([target, "-detect_leaks=0", "-runs=3000", "-max_len=1024", "-seed=1", str(corpus),
                          os.path.join(REPO, "fuzz", "corpus")], capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "Done 3000 runs" in run.stderr
    bad = subprocess.run([target, KNOWN_BAD], capture_output=True, text=True, timeout=300,
                         env=dict(env, MOLVAR_FUZZ_SELF_CHECK="1"))
    assert bad.returncode != 0
    assert "round trip of 1 gave 2" in bad.stderr
    replay = subprocess.run([target, "-detect_leaks=0"] + glob.glob(os.path.join(REPO, "fuzz", "corpus", "*")),
                            capture_output=True, text=True, timeout=300, env=env)
    assert replay.returncode == 0, replay.stderr[-3000:]
    limited = subprocess.run([target, "-detect_leaks=0", "-runs=1000", "-max_len=1024", "-seed=1", str(corpus)], capture_output=True,
                             text=True, timeout=300, env=dict(env, MOLVAR_FUZZ_LIMITS="1"))
    assert limited.returncode == 0, limited.stderr[-3000:]
    # The encoder's target: its seeds and what campaigns found pass (within
    # libFuzzer's default memory), and a wrong model is reported.
    encoder = str(tmp_path / "encoder_fuzz")
    seeds = glob.glob(os.path.join(REPO, "fuzz", "corpus-encoder", "*"))
    assert len(seeds) >= 5 and ENCODER_FOUND
    replay = subprocess.run([encoder, "-detect_leaks=0"] + seeds + ENCODER_FOUND, capture_output=True, text=True,
                            timeout=300, env=env)
    assert replay.returncode == 0, replay.stderr[-3000:]
    bad = subprocess.run([encoder, ENCODER_KNOWN_BAD], capture_output=True, text=True, timeout=300,
                         env=dict(env, MOLVAR_FUZZ_SELF_CHECK="1"))
    assert bad.returncode != 0
    assert "get() gave 2 bytes where 2 were expected" in bad.stderr
