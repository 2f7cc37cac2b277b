"""The fuzz campaign: each libFuzzer target for a fixed time from its kept
corpus, as the nox session `fuzz` runs it (not collected by the suite).

Each test builds the targets once (fuzz/build-fuzzer, into build/fuzz/ or
$FUZZ_OUT), runs one campaign for MOLVAR_FUZZ_SECONDS (60) with one worker,
and fails on any crash, abort, leak, timeout or out-of-memory report. The
input that did it is copied to build/fuzz/known-bad/ and its bytes are
printed: add it to fuzz/known-bad/ with a test in tests/test_fuzz.py.
The new inputs a campaign finds stay in build/fuzz/campaign/NAME/corpus.

    pytest --noconftest -s tests/fuzz_campaign.py
"""

import glob
import os
import re
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.environ.get("FUZZ_OUT") or os.path.join(REPO, "build", "fuzz")
SECONDS = int(os.environ.get("MOLVAR_FUZZ_SECONDS", "60"))
KNOWN_BAD = os.path.join(REPO, "build", "fuzz", "known-bad")

# name: (target, kept corpus, input size, environment)
CAMPAIGNS = {
    "decoder": ("decoder_fuzz", "corpus", 4096, {}),
    "decoder-limits": ("decoder_fuzz", "corpus", 4096, {"MOLVAR_FUZZ_LIMITS": "1"}),
    "encoder": ("encoder_fuzz", "corpus-encoder", 256, {}),
}
FINDINGS = ("crash-", "leak-", "timeout-", "oom-", "slow-unit-")


@pytest.fixture(scope="module")
def targets():
    if shutil.which("clang++") is None:
        pytest.fail("clang++ is not installed (scripts/install-deps)")
    build = subprocess.run(["sh", os.path.join(REPO, "fuzz", "build-fuzzer")], capture_output=True, text=True,
                           env=dict(os.environ, FUZZ_OUT=OUT))
    assert build.returncode == 0, build.stdout + build.stderr
    return OUT


@pytest.mark.parametrize("name", sorted(CAMPAIGNS))
def test_campaign(targets, name):
    target, kept, max_len, extra = CAMPAIGNS[name]
    work = os.path.join(targets, "campaign", name)
    corpus = os.path.join(work, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for old in glob.glob(os.path.join(work, "*-*")):
        if os.path.basename(old).startswith(FINDINGS):
            os.remove(old)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(REPO, "src"), os.path.join(REPO, "fuzz")]),
               ASAN_OPTIONS="detect_leaks=0:" + os.environ.get("ASAN_OPTIONS", ""), **extra)
    env.pop("LD_PRELOAD", None)
    env.pop("PYTHONMALLOC", None)
    # Slow inputs are only reported (they are the large values, by design);
    # a single input that takes minutes is a timeout, and fails.
    command = [os.path.join(targets, target), "-max_total_time=%d" % SECONDS, "-max_len=%d" % max_len,
               "-timeout=120", "-rss_limit_mb=4096", "-detect_leaks=0", "-print_final_stats=1",
               "-report_slow_units=600", "-artifact_prefix=" + work + os.sep, corpus,
               os.path.join(REPO, "fuzz", kept)]
    run = subprocess.run(command, capture_output=True, text=True, env=env, cwd=work, timeout=SECONDS + 600)
    executions = re.search(r"stat::number_of_executed_units:\s*(\d+)", run.stderr)
    print("\n%s: %s executions in %d s, corpus of %d inputs (%s)"
          % (name, executions.group(1) if executions else "?", SECONDS, len(os.listdir(corpus)), corpus))
    found = [path for path in glob.glob(os.path.join(work, "*")) if os.path.basename(path).startswith(FINDINGS[:4])]
    if run.returncode != 0 or found:
        os.makedirs(KNOWN_BAD, exist_ok=True)
        kept_inputs = []
        for path in found:
            copy = os.path.join(KNOWN_BAD, "%s-%s" % (name, os.path.basename(path)))
            shutil.copyfile(path, copy)
            with open(path, "rb") as file:
                kept_inputs.append("%s (%s)" % (copy, file.read()[:512].hex()))
        pytest.fail("%s: libFuzzer exited %d; inputs: %s\n%s"
                    % (name, run.returncode, ", ".join(kept_inputs) or "none", run.stderr[-6000:]))
