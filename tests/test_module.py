"""The module surface: import order, the error class, the namespace, arguments."""

import pytest

import cMolvar
from kestrix.vantle import molvar

from conftest import run_python

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
