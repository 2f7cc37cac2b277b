"""The test matrix: `nox` (scripts/nox installs it) runs every session.

- ``tests-3.9`` ... ``tests-3.13``: the suite on each CPython 3.9+ that pyenv
  has, and ``tests-system`` on the system's /usr/bin/python3 (unless it is
  one of those: an interpreter runs once); each in its own virtual
  environment, cMolvar installed with a plain ``pip install .`` (build
  isolation, build requirements from the package registry); then mypy over
  the companion package and the stub, for that Python version (the suite
  itself runs stubtest against the module).
- ``tests-3.14``, ``tests-3.15``, ``leaks-3.14`` (and ``tests-3.14t`` where
  Debian packages a free-threaded 3.14): the same inside the Debian unstable
  root that scripts/interpreters keeps, where nox runs again for them, unless
  this machine has those interpreters itself.
- ``tests-3.13t``: the suite and mypy on a free-threaded CPython 3.13 built by
  scripts/interpreters; it runs as the interpreter starts it.
- ``leaks``: the reference-leak test under the debug interpreter python3-dbg.
- ``sanitize``: the suite against an AddressSanitizer + UndefinedBehaviorSanitizer
  build, on the system's python3.
- ``public-api``: the suite against a build that leaves CPython's internals
  alone and compares the string cache's words without SSE2
  (MOLVAR_PUBLIC_API=1), on the system's python3.
- ``tsan``: tests/test_threads.py against a ThreadSanitizer build, on a
  free-threaded 3.13 built with ThreadSanitizer (scripts/interpreters --all).
- ``coverage``: the suite against a gcov build (MOLVAR_COVERAGE=1), on pyenv's
  3.12: line and branch figures for codec/ and module/ in
  build/reports/coverage.json, the annotated sources in build/coverage/.
- ``wheels``: scripts/wheels, the sdist and the manylinux_2_17 wheel of every
  interpreter above but the system's, the debug and the ThreadSanitizer ones,
  built by zig into dist/ and checked (auditwheel, the libraries needed, twine
  check, one wheel built twice and compared); under MOLVAR_MATRIX_ALL=1 only
  (scripts/test --all), or when named (scripts/nox -s wheels). Then, under
  MOLVAR_MATRIX_ALL=1, ``tests-3.9`` ... ``tests-3.15`` and ``tests-3.13t``
  install that wheel (``--only-binary=:all: --no-index``) instead of building
  from source, and run the suite with no compiler on PATH: they test what users
  get. ``tests-system``, ``leaks``, ``sanitize`` and the rest still build with
  the machine's g++.
- ``fuzz``: both libFuzzer targets (fuzz/build-fuzzer) for a minute each from
  the kept corpora, the decoder also with limits (tests/fuzz_campaign.py), on
  the system's python3, whose python3-config the build uses.

Arguments after ``--`` go to pytest. Every test session writes a JUnit report
to build/reports/, which scripts/matrix-summary turns into a table, with each
session's wall time; a session whose interpreter this machine lacks writes a
note there instead, and shows as missing (an error under MOLVAR_MATRIX_ALL=1,
which scripts/test --all sets once it has set every interpreter up).
Development builds turn compiler warnings into errors (MOLVAR_WERROR=1).
See docs/development.md.
"""

from __future__ import annotations

import functools
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time

import nox
from nox.command import CommandFailed

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"  # only interpreters the machine has
nox.options.reuse_venv = "yes"  # the package itself is reinstalled every run
# A missing interpreter (python3-dbg, say) skips its session, but fails under CI (nox reads CI).

ROOT = os.path.dirname(os.path.abspath(__file__))
REPORTS = os.path.join(ROOT, "build", "reports")
SYSTEM_PYTHON = "/usr/bin/python3"
DEBUG_PYTHON = "/usr/bin/python3-dbg"
OLDEST_MINOR = 9
NEWEST_HOST_MINOR = 13  # pyenv's newest; 3.14 and 3.15 come from the unstable root
DEVELOPMENT = {"MOLVAR_WERROR": "1"}
# Where scripts/interpreters keeps what it sets up; inside the unstable root,
# the file it leaves there says so.
INTERPRETERS = os.path.join(ROOT, "scripts", "interpreters")
CACHE = os.environ.get("MOLVAR_INTERPRETERS") or "/var/cache/molvar"
ROOT_MARKER = "etc/molvar-root"
IN_SID_ROOT = os.path.exists("/" + ROOT_MARKER)
ROOT_NOX = "/opt/molvar-tools/bin/nox"
FREE_THREADED_PYTHON = os.path.join(CACHE, "cpython-3.13t", "bin", "python3.13t")
TSAN_PYTHON = os.path.join(CACHE, "cpython-3.13t-tsan", "bin", "python3.13t")
READY = ".molvar-ready"
# On a free-threaded build, newer hypothesis and mypy releases need a Rust
# extension that has no wheel for it, and the crates cannot be fetched here.
PURE_HYPOTHESIS = "hypothesis<6.151"
FREE_THREADED_PINS = (PURE_HYPOTHESIS, "mypy<2")
# Set by scripts/test --all, after setting every interpreter up: a missing one is an error.
FULL_MATRIX = os.environ.get("MOLVAR_MATRIX_ALL", "") not in ("", "0")
# The wheels (scripts/wheels) and the sessions that, under FULL_MATRIX, test
# them installed instead of a source build.
DIST = os.path.join(ROOT, "dist")
WHEELS = os.path.join(ROOT, "scripts", "wheels")
WHEEL_TESTED = {"tests-3.%d" % minor for minor in range(OLDEST_MINOR, 16)} | {"tests-3.13t"}
# Built twice by the wheels session, from two paths, and compared byte for byte.
REPRODUCED = "3.12"


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


def note(name: str, kind: str, why: str) -> None:
    """A row of the matrix without a report: `kind` is missing, skipped or same."""
    os.makedirs(REPORTS, exist_ok=True)
    with open(os.path.join(REPORTS, name + ".note"), "w", encoding="utf-8") as file:
        json.dump({"kind": kind, "why": why}, file)


def timed(function):
    """Writes the session's wall time beside its report."""

    @functools.wraps(function)
    def session_function(session: nox.Session) -> None:
        started = time.monotonic()
        try:
            function(session)
        finally:
            os.makedirs(REPORTS, exist_ok=True)
            with open(os.path.join(REPORTS, session.name + ".time"), "w", encoding="utf-8") as file:
                file.write("%.1f\n" % (time.monotonic() - started))

    return session_function


def placeholder(name: str, kind: str, why: str) -> None:
    """A session that cannot run here: it says why, in the matrix too."""

    def session_function(session: nox.Session) -> None:
        note(session.name, kind, why)
        if kind == "missing" and FULL_MATRIX:
            session.error(why)
        session.skip(why)

    nox.session(session_function, name=name, python=False)


def sid_state() -> dict:
    """What the unstable root holds (scripts/interpreters writes it), or {}."""
    try:
        with open(os.path.join(CACHE, "sid", ROOT_MARKER), encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError):
        return {}


def in_sid_root(session: nox.Session) -> None:
    """Inside the unstable root (scripts/interpreters run), by nox there."""
    # The work tree is mounted there at its own path, and nox there reads
    # this file again, defining that root's sessions only.
    if os.geteuid() != 0:
        note(session.name, "missing", "entering the unstable root needs root")
        session.error("entering the unstable root needs root") if FULL_MATRIX else session.skip("needs root")
    command = [ROOT_NOX, "-f", os.path.join(ROOT, "noxfile.py"), "-s", session.name]
    session.run(INTERPRETERS, "run", "--", *command, "--", *session.posargs, external=True)


def built(python: str) -> bool:
    return os.access(python, os.X_OK) and os.path.exists(os.path.join(os.path.dirname(os.path.dirname(python)), READY))


def host_matrix() -> None:
    """The sessions of this machine's interpreters, every expected one shown."""
    matrix = interpreters()
    if os.environ.get("CI") and not any(name[0].isdigit() for name in matrix):
        sys.exit("noxfile.py: no CPython 3.9+ found but the system's (is pyenv installed?)")
    seen: dict[str, str] = {}
    expected = ["3.%d" % minor for minor in range(OLDEST_MINOR, NEWEST_HOST_MINOR + 1)]
    for name in expected + [name for name in matrix if name not in expected]:
        python = matrix.get(name)
        if name in ("3.14", "3.15") and not python:
            continue  # from the unstable root, below
        if not python:
            placeholder("tests-" + name, "missing", "no CPython %s on this machine (pyenv install %s)" % (name, name))
            continue
        same = seen.get(os.path.realpath(python))
        if same:
            placeholder("tests-" + name, "same", "the same interpreter as " + same)
            continue
        seen[os.path.realpath(python)] = "tests-" + name
        nox.session(timed(tests), python=python, name="tests-" + name)

    sid = sid_state().get("interpreters", {})
    root = [("tests-3.14", "python3.14"), ("tests-3.15", "python3.15"), ("leaks-3.14", "python3.14-dbg")]
    if "python3.14t" in sid:
        root.append(("tests-3.14t", "python3.14t"))
    for name, python in root:
        if name.startswith("tests-") and name[len("tests-"):] in matrix:
            continue  # this machine has it: run above
        if name == "leaks-3.14" and shutil.which(python):
            nox.session(timed(leak_tests), python=shutil.which(python), name=name)
        elif python in sid:
            nox.session(timed(in_sid_root), python=False, name=name)
        else:
            placeholder(name, "missing", "no %s: the unstable root is not set up (scripts/interpreters sid)" % python)

    if built(FREE_THREADED_PYTHON):
        nox.session(timed(tests), python=FREE_THREADED_PYTHON, name="tests-3.13t")
        nox.session(timed(thread_stress), python=FREE_THREADED_PYTHON, name="stress-3.13t")
    else:
        placeholder("tests-3.13t", "missing", "no free-threaded 3.13 (scripts/interpreters 3.13t)")
        placeholder("stress-3.13t", "missing", "no free-threaded 3.13 (scripts/interpreters 3.13t)")


def install(session: nox.Session, *targets: str, **env: str) -> None:
    """Installs cMolvar (and its test requirements) the way a user does."""
    targets = targets or (".[test]",)
    if session.name.startswith("tests-") and session.name.endswith("t"):
        targets += FREE_THREADED_PINS
    session.install(*targets, env={**DEVELOPMENT, **env})


def pytest(session: nox.Session, *args: str, **env: str) -> None:
    """Runs the suite with the environment's `pytest` command, which keeps
    the source tree off sys.path; a run that collects no test fails."""
    os.makedirs(REPORTS, exist_ok=True)
    report = os.path.join(REPORTS, session.name + ".xml")
    session.run("pytest", "-q", "-p", "no:cacheprovider", "--junitxml=" + report, *args, env=env)


def tests(session: nox.Session) -> None:
    env: dict[str, str] = {}
    if FULL_MATRIX and session.name in WHEEL_TESTED:
        env = install_wheel(session)
    else:
        install(session)
    pytest(session, *session.posargs, **env)
    # This interpreter's mypy, for its Python version (pyproject.toml says what).
    session.run("mypy", env=env)


# What may be on PATH no longer: compilers, preprocessors, assemblers, linkers.
COMPILERS = re.compile(r"(.*-)?(cc|c\+\+|gcc|g\+\+|cpp|c89|c99|clang|clang\+\+|clang-cpp|zig|tcc|ld|ld\.\w+|lld|as)(-[\d.]+)?")


def without_compilers(session: nox.Session) -> str:
    """A PATH of the session's environment, then a directory of links to
    every command on this PATH but the compilers, assemblers and linkers."""
    shadow = os.path.join(session.virtualenv.location, "no-compilers")
    shutil.rmtree(shadow, ignore_errors=True)
    os.makedirs(shadow)
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if not os.path.isdir(directory) or os.path.realpath(directory) == os.path.realpath(session.bin):
            continue
        for entry in sorted(os.listdir(directory)):
            path, link = os.path.join(directory, entry), os.path.join(shadow, entry)
            if COMPILERS.fullmatch(entry) or os.path.lexists(link) or not (os.path.isfile(path) and os.access(path, os.X_OK)):
                continue
            os.symlink(path, link)
    return session.bin + os.pathsep + shadow


def project_version() -> str:
    with open(os.path.join(ROOT, "src", "kestrix", "vantle", "molvar", "_version.py"), encoding="utf-8") as file:
        return re.search(r'__version__ = "([^"]+)"', file.read()).group(1)


def test_requirements() -> list[str]:
    import tomllib  # nox runs on 3.11 or later, here and in the unstable root

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as file:
        return tomllib.load(file)["project"]["optional-dependencies"]["test"]


def install_wheel(session: nox.Session) -> dict[str, str]:
    """Installs the test requirements from the registry, then cMolvar from
    its wheel in dist/ alone, as a user without a compiler gets it; returns
    the environment to test in: no compiler on PATH."""
    if not glob.glob(os.path.join(DIST, "cmolvar-%s-*.whl" % project_version())):
        session.error("no cMolvar %s wheel in dist/: the wheels session makes them (scripts/wheels)" % project_version())
    pins = FREE_THREADED_PINS if session.name.endswith("t") else ()
    pinned = {re.split(r"[<>=!~ ]", pin)[0] for pin in pins}
    session.install(*[name for name in test_requirements() if name not in pinned], *pins)
    env = {"PATH": without_compilers(session), "CC": "", "CXX": ""}
    # No index, binaries only: there is no source build to fall back on.
    session.run("python", "-m", "pip", "install", "--quiet", "--force-reinstall", "--no-deps", "--only-binary=:all:",
                "--no-index", "--find-links", DIST, "cMolvar==" + project_version(), env=env)
    session.run("python", "-I", "-c", FROM_WHEEL, env=env)
    os.makedirs(REPORTS, exist_ok=True)
    with open(os.path.join(REPORTS, session.name + ".info"), "w", encoding="utf-8") as file:
        file.write("the installed wheel, no compiler on PATH\n")
    return env


FROM_WHEEL = """
import importlib.metadata, os, shutil, subprocess
import cMolvar
import kestrix.vantle.molvar._native as native
tags = importlib.metadata.distribution("cMolvar").read_text("WHEEL")
assert "manylinux_2_17_x86_64" in tags, "not installed from the manylinux wheel: " + tags
for name in ("cc", "c++", "gcc", "g++", "clang", "clang++", "zig", "ld", "as"):
    assert shutil.which(name) is None, "a compiler on PATH: " + shutil.which(name)
allowed = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libpthread.so.0", "ld-linux-x86-64.so.2"}
for module in (cMolvar, native):
    lines = subprocess.run(["ldd", module.__file__], capture_output=True, text=True, check=True).stdout.splitlines()
    needed = {os.path.basename(line.split()[0]) for line in lines if line.strip()}
    assert needed <= allowed, (module.__file__, sorted(needed - allowed))
    print(os.path.basename(module.__file__), "needs", " ".join(sorted(needed)))
"""


def requested(name: str) -> bool:
    """Whether the command line names the session (scripts/nox -s NAME)."""
    argv = sys.argv[: sys.argv.index("--")] if "--" in sys.argv else sys.argv
    return any(name in re.split(r"[=,]", arg) for arg in argv[1:])


def wheels(session: nox.Session) -> None:
    """The sdist and the wheels into dist/, each checked (scripts/wheels)."""
    if not (FULL_MATRIX or requested(session.name)):
        why = "scripts/test --all builds them (or scripts/nox -s wheels)"
        note(session.name, "skipped", why)
        session.skip(why)
    # Under the full matrix every interpreter must have its wheel.
    available = () if FULL_MATRIX else ("--available",)
    session.run(WHEELS, "--junit", os.path.join(REPORTS, session.name + ".xml"), "--reproducible", REPRODUCED, *available,
                external=True)


# The thread races repeated (tests/test_threads.py reads these): hundreds
# of rounds with the GIL off, each race bounded in time.
STRESS = {"MOLVAR_STRESS_ROUNDS": "300", "MOLVAR_STRESS_SECONDS": "45", "PYTHON_GIL": "0"}


def thread_stress(session: nox.Session) -> None:
    install(session, ".")
    session.install("pytest", PURE_HYPOTHESIS)
    pytest(session, os.path.join("tests", "test_threads.py"), *session.posargs, **STRESS)


def leak_tests(session: nox.Session) -> None:
    # Only what the leak tests import: the debug ABI has no wheels for the rest.
    install(session, ".")
    session.install("pytest")
    session.run("python", "-c", "import sys; assert hasattr(sys, 'gettotalrefcount'), 'not a debug interpreter'")
    pytest(session, "tests/test_leaks.py", "tests/test_module.py::test_subinterpreters_refuse_cmolvar_run_the_companion_and_leave_the_main_interpreter_whole")


if IN_SID_ROOT:
    # Inside the unstable root: only its own interpreters' sessions.
    for _name, _python in [("tests-3.14", "python3.14"), ("tests-3.15", "python3.15"), ("tests-3.14t", "python3.14t")]:
        if shutil.which(_python):
            nox.session(timed(tests), python=shutil.which(_python), name=_name)
    if shutil.which("python3.14-dbg"):
        nox.session(timed(leak_tests), python=shutil.which("python3.14-dbg"), name="leaks-3.14")
else:
    # First: under the full matrix, the sessions after it install its wheels.
    nox.session(timed(wheels), python=False, name="wheels")
    host_matrix()
    if os.access(DEBUG_PYTHON, os.X_OK):
        nox.session(timed(leak_tests), python=DEBUG_PYTHON, name="leaks")
    else:
        placeholder("leaks", "missing", "no debug interpreter " + DEBUG_PYTHON + " (scripts/install-deps)")


@nox.session(python=SYSTEM_PYTHON)
@timed
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


@nox.session(python=SYSTEM_PYTHON, name="public-api")
@timed
def public_api(session: nox.Session) -> None:
    """The suite over the public-API and portable paths only (MOLVAR_PUBLIC_API=1)."""
    install(session, MOLVAR_PUBLIC_API="1")
    pytest(session, *session.posargs)


# The coverage session: gcovr (from the package registry) reads gcc's counts.
COVERAGE_FOLDERS = ("codec", "module")
COVERAGE_HTML = os.path.join(ROOT, "build", "coverage")
COVERAGE_FIGURES = os.path.join(REPORTS, "coverage.json")
# Where setup.py builds under these switches (the .gcno and .gcda files).
BUILD_BASE = """
import runpy, setuptools
setuptools.setup = lambda **options: None
print(runpy.run_path("setup.py")["build_base"]())
"""


def coverage_figures(summary: str) -> dict:
    """Lines and branches, covered/total/percent, per folder, from gcovr's --json-summary."""
    with open(summary, encoding="utf-8") as file:
        files = json.load(file)["files"]
    figures: dict = {}
    for folder in COVERAGE_FOLDERS:
        mine = [entry for entry in files if entry["filename"].replace(os.sep, "/").startswith(folder + "/")]
        figures[folder] = {}
        for kind, key in (("lines", "line"), ("branches", "branch")):
            covered = sum(entry[key + "_covered"] for entry in mine)
            total = sum(entry[key + "_total"] for entry in mine)
            figures[folder][kind] = {
                "covered": covered,
                "total": total,
                "percent": round(100.0 * covered / total, 1) if total else 100.0,
            }
    return figures


def coverage(session: nox.Session) -> None:
    """The suite against a gcov build, then gcovr's report: figures per folder
    (build/reports/coverage.json, printed by scripts/matrix-summary) and the
    annotated sources (build/coverage/index.html)."""
    env = {"MOLVAR_COVERAGE": "1"}
    why = ""
    if not shutil.which("gcov"):
        why = "no gcov (g++ brings it: scripts/install-deps)"
    else:
        try:
            session.install("gcovr", "setuptools>=77")
        except CommandFailed:
            why = "gcovr could not be installed from the package registry"
    if why:
        note(session.name, "skipped", why)
        session.error(why) if FULL_MATRIX else session.skip(why)
    install(session, **env)
    base = os.path.join(ROOT, session.run("python", "-c", BUILD_BASE, env={**DEVELOPMENT, **env}, silent=True).strip())
    for stale in glob.glob(os.path.join(base, "**", "*.gcda"), recursive=True):
        os.remove(stale)  # counts of an earlier run
    failed = None
    try:
        pytest(session, *session.posargs)
    except CommandFailed as error:
        failed = error  # the report still shows what ran
    shutil.rmtree(COVERAGE_HTML, ignore_errors=True)
    os.makedirs(COVERAGE_HTML)
    summary = os.path.join(COVERAGE_HTML, "summary.json")
    filters = [arg for folder in COVERAGE_FOLDERS for arg in ("--filter", folder + "/")]
    session.run("gcovr", "--root", ROOT, "--object-directory", base, *filters, "-j", "1",
                "--html-details", os.path.join(COVERAGE_HTML, "index.html"), "--json-summary", summary,
                "--json-summary-pretty", base)
    figures = coverage_figures(summary)
    with open(COVERAGE_FIGURES, "w", encoding="utf-8") as file:
        json.dump(figures, file, indent=1)
    for folder, figure in figures.items():
        session.log("%s/: lines %s, branches %s" % (folder, *(
            "%(covered)d/%(total)d (%(percent).1f%%)" % figure[kind] for kind in ("lines", "branches"))))
    if failed:
        raise failed


COVERAGE_PYTHON = interpreters().get("3.12", SYSTEM_PYTHON) if not IN_SID_ROOT else None
if COVERAGE_PYTHON:
    nox.session(timed(coverage), python=COVERAGE_PYTHON, name="coverage")


THREAD_TESTS = os.path.join("tests", "test_threads.py")
TSAN_SUPPRESSIONS = os.path.join(ROOT, "scripts", "tsan.supp")


def thread_sanitizer(session: nox.Session) -> None:
    # The interpreter's own reports that are not ours are suppressed by name
    # (scripts/tsan.supp); any other report fails the run.
    session.env["TSAN_OPTIONS"] = "suppressions=%s:halt_on_error=1:second_deadlock_stack=1 %s" % (
        TSAN_SUPPRESSIONS,
        os.environ.get("TSAN_OPTIONS", ""),
    )
    install(session, ".", MOLVAR_SANITIZE="thread", CC="clang", CXX="clang++")
    session.install("pytest", PURE_HYPOTHESIS)
    session.run("python", "-I", "-c", THREAD_SANITIZED)
    # Fewer rounds than stress-3.13t: each runs some ten times slower here.
    pytest(session, THREAD_TESTS, *session.posargs, **{**STRESS, "MOLVAR_STRESS_ROUNDS": "40"})


THREAD_SANITIZED = """
import cMolvar
with open(cMolvar.__file__, "rb") as file:
    assert b"__tsan_init" in file.read(), "not the ThreadSanitizer build: " + cMolvar.__file__
"""

if not IN_SID_ROOT:
    if not built(TSAN_PYTHON):
        placeholder("tsan", "missing", "no ThreadSanitizer 3.13t (scripts/interpreters 3.13t-tsan)")
    elif not os.path.exists(os.path.join(ROOT, THREAD_TESTS)):
        placeholder("tsan", "skipped", "no %s yet" % THREAD_TESTS)
    else:
        nox.session(timed(thread_sanitizer), python=TSAN_PYTHON, name="tsan")


FUZZ_CAMPAIGN = os.path.join("tests", "fuzz_campaign.py")


@nox.session(python=SYSTEM_PYTHON)
@timed
def fuzz(session: nox.Session) -> None:
    """The fuzz campaigns, a test each; a crash fails its test and leaves
    its input in build/fuzz/known-bad/. Without clang it is skipped, but
    fails under the full matrix."""
    if shutil.which("clang++") is None:
        why = "no clang++ (scripts/install-deps)"
        note(session.name, "skipped", why)
        session.error(why) if FULL_MATRIX else session.skip(why)
    session.install("pytest")
    # The campaigns build what they run: the package is not installed, so
    # the suite's conftest (which imports it) stays out.
    pytest(session, "--noconftest", "-s", FUZZ_CAMPAIGN, *session.posargs)


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
