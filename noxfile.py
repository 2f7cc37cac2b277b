"""The test matrix: `nox` (scripts/nox installs it) runs every session.

- ``tests-3.9`` ... ``tests-3.13``: the suite on each CPython 3.9+ that pyenv
  has, and ``tests-system`` on the system's /usr/bin/python3; each in its own
  virtual environment, cMolvar installed with a plain ``pip install .``
  (build isolation, build requirements from the package registry); then
  mypy over the companion package and the stub, for that Python version
  (the suite itself runs stubtest against the module).
- ``leaks``: the reference-leak test under the debug interpreter python3-dbg.
- ``sanitize``: the suite against an AddressSanitizer + UndefinedBehaviorSanitizer
  build, on the system's python3.

Arguments after ``--`` go to pytest. Every test session writes a JUnit report
to build/reports/, which scripts/matrix-summary turns into a table.
Development builds turn compiler warnings into errors (MOLVAR_WERROR=1).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import nox

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"  # only interpreters the machine has
nox.options.reuse_venv = "yes"  # the package itself is reinstalled every run
# A missing interpreter (python3-dbg, say) skips its session, but fails under CI (nox reads CI).

ROOT = os.path.dirname(os.path.abspath(__file__))
REPORTS = os.path.join(ROOT, "build", "reports")
SYSTEM_PYTHON = "/usr/bin/python3"
DEBUG_PYTHON = "/usr/bin/python3-dbg"
OLDEST_MINOR = 9
DEVELOPMENT = {"MOLVAR_WERROR": "1"}


def _output(*command: str) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""


def interpreters() -> dict[str, str]:
    """Session suffix -> interpreter: pyenv's CPython 3.9+ (the newest patch
    release of each minor version), then any other python3.X on PATH that
    pyenv does not hold, then the system's python3."""
    found: dict[str, tuple[tuple[int, ...], str]] = {}
    # pyenv's shell setup may be missing (CI runs no login shell): look in its root too.
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    pyenv = shutil.which("pyenv") or os.path.join(root, "bin", "pyenv")
    for version in _output(pyenv, "versions", "--bare").split():
        match = re.fullmatch(r"3\.(\d+)\.(\d+)", version)
        if not match or int(match.group(1)) < OLDEST_MINOR:
            continue
        prefix = _output(pyenv, "prefix", version).strip()
        python = os.path.join(prefix, "bin", "python3")
        key = (int(match.group(1)), int(match.group(2)))
        name = "3.%d" % key[0]
        if prefix and os.access(python, os.X_OK) and (name not in found or found[name][0] < key):
            found[name] = (key, python)
    for minor in range(OLDEST_MINOR, 30):
        name = "3.%d" % minor
        python = shutil.which("python" + name)
        # pyenv's shims answer for every installed version but run only the active one.
        if name not in found and python and "/shims/" not in python:
            found[name] = ((minor,), python)
    matrix = {name: python for name, (_, python) in sorted(found.items(), key=lambda item: item[1][0])}
    if os.access(SYSTEM_PYTHON, os.X_OK):
        matrix["system"] = SYSTEM_PYTHON
    return matrix


MATRIX = interpreters()
if os.environ.get("CI") and not any(name[0].isdigit() for name in MATRIX):
    sys.exit("noxfile.py: no CPython 3.9+ found but the system's (is pyenv installed?)")


def install(session: nox.Session, target: str = ".[test]", **env: str) -> None:
    """Installs cMolvar (and its test requirements) the way a user does."""
    session.install(target, env={**DEVELOPMENT, **env})


def pytest(session: nox.Session, *args: str, **env: str) -> None:
    """Runs the suite with the environment's `pytest` command, which keeps
    the source tree off sys.path; a run that collects no test fails."""
    os.makedirs(REPORTS, exist_ok=True)
    report = os.path.join(REPORTS, session.name + ".xml")
    session.run("pytest", "-q", "-p", "no:cacheprovider", "--junitxml=" + report, *args, env=env)


def tests(session: nox.Session) -> None:
    install(session)
    pytest(session, *session.posargs)
    # This interpreter's mypy, for its Python version (pyproject.toml says what).
    session.run("mypy")


for _name, _python in MATRIX.items():
    nox.session(tests, python=_python, name="tests-" + _name)


@nox.session(python=DEBUG_PYTHON)
def leaks(session: nox.Session) -> None:
    # Only what the leak tests import: the debug ABI has no wheels for the rest.
    install(session, ".")
    session.install("pytest")
    session.run("python", "-c", "import sys; assert hasattr(sys, 'gettotalrefcount'), 'not a debug interpreter'")
    pytest(session, "tests/test_leaks.py", "tests/test_module.py::test_subinterpreters_are_refused_and_leave_the_main_interpreter_whole")


@nox.session(python=SYSTEM_PYTHON)
def sanitize(session: nox.Session) -> None:
    install(session, MOLVAR_SANITIZE="1")
    libasan = subprocess.run(
        [os.environ.get("CC", "gcc"), "-print-file-name=libasan.so"], capture_output=True, text=True, check=True
    ).stdout.strip()
    # PYTHONMALLOC=malloc sends every allocation through the sanitizer's
    # allocator (pymalloc's arenas would hide overruns of small blocks);
    # leaks are left to the leak tests, since the interpreter keeps memory
    # at exit.
    env = {
        "LD_PRELOAD": libasan,
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:" + os.environ.get("ASAN_OPTIONS", ""),
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:" + os.environ.get("UBSAN_OPTIONS", ""),
        "PYTHONMALLOC": "malloc",
    }
    session.run("python", "-I", "-c", SANITIZED, env=env)
    pytest(session, *session.posargs, **env)


SANITIZED = """
import cMolvar
with open(cMolvar.__file__, "rb") as file:
    assert b"__asan_init" in file.read(), "not the sanitized build: " + cMolvar.__file__
"""


@nox.session(python=SYSTEM_PYTHON)
def docs(session: nox.Session) -> None:
    """The documents: docs/ built with Sphinx, warnings as errors, into
    build/docs/html; then the examples of README.md and docs/ as doctests
    (from the repository root, where README.md's asyncio example reads it)."""
    install(session, ".")
    session.install("sphinx", "myst-parser", "pytest")
    out = os.path.join(ROOT, "build", "docs")
    session.run("sphinx-build", "-W", "--keep-going", "-q", "-b", "html", "-d", os.path.join(out, "doctrees"),
                "docs", os.path.join(out, "html"))
    pytest(session, "--doctest-glob=*.md", "README.md", "docs")
