"""Helpers shared by the tests: one-call encode and decode over cMolvar.

The tests exercise what pip installed: the companion's sources live under
src/, so no working directory puts them on sys.path in its place.
"""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import cMolvar
import kestrix.vantle.molvar  # noqa: F401  (installs the big-integer converters)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Where subprocesses start: an empty directory, so that `python -c` and
# `python -m`, which put their working directory first on sys.path, import
# the installed package too.
OUTSIDE = tempfile.mkdtemp(prefix="molvar-tests-")
atexit.register(shutil.rmtree, OUTSIDE, ignore_errors=True)


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
        [python or sys.executable, "-c", code, *args],
        cwd=OUTSIDE,
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


@pytest.fixture
def buf():
    return cMolvar.newBuf()
