"""The module surface: import order, the error class, the namespace, arguments."""

import os
import subprocess
import sys

import pytest

import cMolvar
from kestrix.vantle import molvar

from conftest import OUTSIDE, REPO, run_python

SUBINTERPRETERS = os.path.join(REPO, "tests", "subinterpreters.py")

SAME_CLASS = """
import sys
{imports}
import cMolvar, kestrix.vantle.molvar as companion
assert cMolvar.MolvarError is companion.MolvarError
assert issubclass(cMolvar.MolvarError, Exception)
assert sys.modules["cMolvar"] is cMolvar is companion.cMolvar
assert cMolvar.pyint2b128 is companion.pyint2b128
assert cMolvar.pyb1282int is companion.pyb1282int
try:
    cMolvar.encode(None, cMolvar.newBuf())
except companion.MolvarError as error:
    print("caught", error)
"""


@pytest.mark.parametrize("first", ["import cMolvar", "import kestrix.vantle.molvar"])
def test_either_import_order_gives_one_module_and_one_error_class(first):
    result = run_python(SAME_CLASS.format(imports=first))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "caught Unknown Python Type: NoneType\n"
    assert result.stderr == ""


FALLBACK = """
import sys
sys.modules["kestrix.vantle.molvar"] = None  # the companion cannot be imported
import cMolvar
names = sorted(name for name in vars(cMolvar) if not name.startswith("__"))
print(names)
error = cMolvar.MolvarError
print(error.__name__, error.__module__, issubclass(error, Exception))
try:
    cMolvar.encode(5, b"not a buffer")
except error as caught:
    print("caught", caught)
"""


def test_missing_companion_prints_its_traceback_once_and_falls_back():
    result = run_python(FALLBACK)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['MolvarError', 'dataReceived', 'encode', 'newBuf', 'newState']",
        "MolvarError cMolvar True",
        "caught Encoding only accepts MolvarBufs",
    ]
    # importlib strips its own frames: what is left is the error's one line.
    assert result.stderr.count("ModuleNotFoundError") == 1
    assert "kestrix.vantle.molvar" in result.stderr


def test_namespace_holds_functions_error_class_and_installed_converters():
    names = {name for name in vars(cMolvar) if not name.startswith("__")}
    assert names == {"dataReceived", "encode", "newState", "newBuf", "MolvarError", "pyint2b128", "pyb1282int"}
    assert cMolvar.MolvarError is molvar.MolvarError


def test_types_are_named_and_cannot_be_called_or_subclassed():
    buf_type = type(cMolvar.newBuf())
    state_type = type(cMolvar.newState())
    assert (buf_type.__name__, state_type.__name__) == ("cMolvarBuf", "cMolvarState")
    assert buf_type.__module__ == state_type.__module__ == "cMolvar"
    for made_type in (buf_type, state_type):
        with pytest.raises(TypeError):
            made_type()
        with pytest.raises(TypeError):
            type("Sub", (made_type,), {})


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: cMolvar.newState(1), "newState"),
        (lambda: cMolvar.newBuf(1), "newBuf"),
        (lambda: cMolvar.encode(1), None),
        (lambda: cMolvar.encode(1, cMolvar.newBuf(), 3), None),
        (lambda: cMolvar.dataReceived(cMolvar.newState(), b""), None),
    ],
)
def test_wrong_argument_counts_raise_type_error(call, name):
    with pytest.raises(TypeError) as caught:
        call()
    if name:
        assert name in str(caught.value)


REIMPORT = """
import importlib, sys
import cMolvar
from kestrix.vantle import molvar
first = cMolvar
del sys.modules["cMolvar"]
import cMolvar
assert cMolvar is first
assert importlib.reload(cMolvar) is first
assert cMolvar.MolvarError is molvar.MolvarError
assert molvar.loads(molvar.dumps([2**100, -(2**70)])) == [2**100, -(2**70)]
"""


def test_a_second_import_gives_the_module_bound_first():
    result = run_python(REIMPORT)
    assert result.returncode == 0, result.stderr


def test_subinterpreters_refuse_cmolvar_run_the_companion_and_leave_the_main_interpreter_whole():
    # Under a debug interpreter (nox -s leaks), the script also counts the
    # references that rounds of subinterpreters gain.
    result = subprocess.run(
        [sys.executable, SUBINTERPRETERS, "40"], cwd=OUTSIDE, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    refused = "ImportError: module cMolvar does not support loading in subinterpreters"
    assert lines[0] == "default: %s | works" % refused
    assert all(line.endswith(" | works") for line in lines if ": " in line and "references" not in line), lines
    if hasattr(sys, "gettotalrefcount"):
        # A round that leaked would gain at least one reference each time.
        without, with_imports = map(int, lines[-1].split()[2::3])
        assert with_imports - without < 10, lines[-1]


FAILING_COMPANION = """
import builtins, sys
builtins.companion_failure = {failure}
try:
    import cMolvar
except Exception as error:
    print("failed:", type(error).__name__)
print("cMolvar" in sys.modules)
builtins.companion_failure = None
import cMolvar, kestrix.vantle.molvar as companion
print(cMolvar.MolvarError is companion.MolvarError)
"""

# Stands in for the companion; it fails its first import as told, after
# calling the codec, whose errors must then have a class.
COMPANION_SOURCE = """
import builtins
class MolvarError(Exception):
    pass
import cMolvar
for call in (lambda: cMolvar.encode(None, cMolvar.newBuf()), lambda: cMolvar.dataReceived(cMolvar.newState(), b"\\x88", print)):
    try:
        call()
    except Exception as error:
        print("inside:", type(error).__module__, type(error).__name__, error)
if builtins.companion_failure is not None:
    raise builtins.companion_failure
"""


@pytest.mark.parametrize(
    "failure", ["MemoryError()", "ModuleNotFoundError('no module named x', name='x')"], ids=["memory", "dependency"]
)
def test_a_companion_that_fails_fails_the_import_and_a_retry_binds_its_class(tmp_path, failure):
    package = tmp_path / "kestrix" / "vantle" / "molvar"
    package.mkdir(parents=True)
    (tmp_path / "kestrix" / "__init__.py").write_text("")
    (tmp_path / "kestrix" / "vantle" / "__init__.py").write_text("")
    (package / "__init__.py").write_text(COMPANION_SOURCE)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))
    result = run_python(FAILING_COMPANION.format(failure=failure), env=env)
    assert result.returncode == 0, result.stderr
    inside = [
        "inside: cMolvar MolvarError Unknown Python Type: NoneType",
        "inside: cMolvar MolvarError Invalid Type Byte: 136",
    ]
    assert result.stdout.splitlines() == inside + [
        "failed: " + failure.split("(")[0], "False"] + inside + ["True"]


POOL = """
import concurrent.futures
from kestrix.vantle import molvar
values = [[i, 2**(64 + i), [b"w%d" % i, i / 4]] for i in range(40)]
with concurrent.futures.InterpreterPoolExecutor(max_workers=2) as pool:
    wire = list(pool.map(molvar.dumps, values))
    back = list(pool.map(molvar.loads, wire))
assert wire == [molvar.dumps(v) for v in values]
assert back == values
"""


@pytest.mark.skipif(sys.version_info < (3, 14), reason="InterpreterPoolExecutor is new in 3.14")
def test_an_interpreter_pool_gives_the_main_interpreters_results():
    result = run_python(POOL)
    assert result.returncode == 0, result.stderr
