"""Helpers shared by the tests: one-call encode and decode over cMolvar."""

import os
import shutil
import subprocess
import sys

import pytest

import cMolvar
import kestrix.vantle.molvar  # noqa: F401  (installs the big-integer converters)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEBUG_PYTHON = shutil.which("python3-dbg")


def encode(value):
    """The wire bytes of one value."""
    buf = cMolvar.newBuf()
    cMolvar.encode(value, buf)
    return buf.get()


def decode(data, state=None):
    """Decode one chunk; returns (values delivered, bytes consumed)."""
    values = []
    consumed = cMolvar.dataReceived(state or cMolvar.newState(), data, values.append)
    return values, consumed


def decode_chunks(chunks):
    """Feed chunks as a real caller does: the unconsumed tail goes again
    ahead of the next chunk. Returns (values, pending tail)."""
    state = cMolvar.newState()
    values = []
    pending = b""
    for chunk in chunks:
        pending += chunk
        consumed = cMolvar.dataReceived(state, pending, values.append)
        pending = pending[consumed:]
    return values, pending


def run_python(code, *args, env=None, python=None):
    """Run `code` in a fresh interpreter (the same one, by default)."""
    return subprocess.run(
        [python or sys.executable, "-P", "-c", code, *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


def plain_environment(**extra):
    """The environment without the sanitizer run's settings, which are for
    the sanitized build and not for the debug interpreter."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")}
    env.update(extra)
    return env


def build_for_debug_interpreter():
    """Builds cMolvar for python3-dbg (a no-op when it is up to date)."""
    build = os.path.join(REPO, "build", "dbg")
    result = subprocess.run(
        [DEBUG_PYTHON, "setup.py", "-q", "build_ext", "--build-lib", os.path.join(build, "lib"),
         "--build-temp", os.path.join(build, "temp")],
        cwd=REPO, capture_output=True, text=True, timeout=300, env=plain_environment(),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return os.path.join(build, "lib")


@pytest.fixture
def buf():
    return cMolvar.newBuf()
