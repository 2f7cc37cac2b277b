"""The installed stubs and typing marker, and the API's place in the package."""

import ast
import importlib.util
import os
import pydoc
import subprocess
import sys

import pytest

import cMolvar
import kestrix.vantle.molvar

from conftest import REPO, run_python

SITE = os.path.dirname(cMolvar.__file__)
STUB_SOURCE = os.path.join(REPO, "cMolvar.pyi")
# The sanitizer run imports a build that pip did not install: no stubs beside it.
needs_installed = pytest.mark.skipif(
    os.path.basename(SITE) not in ("site-packages", "dist-packages"), reason="cMolvar was not installed by pip"
)


def functions(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.fixture(scope="module")
def stub():
    with open(STUB_SOURCE) as file:
        return ast.parse(file.read())


@needs_installed
def test_installed_beside_the_extension_and_as_a_stub_package():
    with open(STUB_SOURCE, "rb") as file:
        source = file.read()
    for path in (os.path.join(SITE, "cMolvar.pyi"), os.path.join(SITE, "cMolvar-stubs", "__init__.pyi")):
        with open(path, "rb") as file:
            assert file.read() == source, path
    assert os.path.isfile(os.path.join(os.path.dirname(kestrix.vantle.molvar.__file__), "py.typed"))


def test_stub_describes_every_function_and_method(stub):
    stubbed = functions(stub)
    runtime = {name for name in vars(cMolvar) if callable(getattr(cMolvar, name)) and name != "MolvarError"}
    assert set(stubbed) == runtime | {"pyint2b128", "pyb1282int"}
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {type(cMolvar.newBuf()).__name__, type(cMolvar.newState()).__name__}
    methods = functions(classes["cMolvarBuf"])
    assert set(methods) == {name for name in dir(cMolvar.newBuf()) if not name.startswith("_")}
    for node in [*stubbed.values(), *methods.values(), *classes.values(), stub]:
        assert ast.get_docstring(node), getattr(node, "name", "module")


@needs_installed
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy (pip install .[test])")
def test_stub_matches_the_module(tmp_path):
    # The two types are reachable only through instances, so not as attributes.
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("cMolvar.cMolvarBuf\ncMolvar.cMolvarState\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "cMolvar", "--allowlist", str(allowlist)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("first", ["import cMolvar", "import kestrix.vantle.molvar"])
def test_api_in_either_import_order(first):
    result = run_python(
        first
        + """
import cMolvar
from kestrix.vantle.molvar import Decoder, MolvarError, dumps, loads
assert cMolvar.MolvarError is MolvarError
assert loads(dumps([2**100, b"x"])) == [2**100, b"x"]
try:
    Decoder().feed(b"\\x88")
except cMolvar.MolvarError as error:
    print(error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "byte offset 0: invalid type byte 0x88 (type bytes are 0x80 to 0x87)\n"


def test_help_shows_the_public_api():
    package = kestrix.vantle.molvar
    assert sorted(package.__all__) == sorted(
        ["Decoder", "MolvarError", "dumps", "loads", "dump", "load", "iter_load", "pyb1282int", "pyint2b128"]
    )
    shown = pydoc.render_doc(package, renderer=pydoc.plaintext)
    documented = [getattr(package, name) for name in package.__all__]
    documented += [package.Decoder.feed, package.Decoder.close, package.Decoder.pending, package.Decoder.consumed]
    for item in documented:
        assert item.__doc__, item
        assert item.__doc__.strip().splitlines()[0] in shown, item
    assert cMolvar.__doc__ is None  # cMolvar.pyi carries the module's documentation


def test_kestrix_namespace_is_shared_with_other_distributions(tmp_path):
    # Another distribution's portions of kestrix and kestrix.vantle, found first.
    for package in ("kestrix/other", "kestrix/vantle/peer"):
        (tmp_path / package).mkdir(parents=True)
        (tmp_path / package / "__init__.py").write_text("NAME = %r\n" % package)
    result = run_python(
        """
import kestrix, kestrix.other, kestrix.vantle.peer
from kestrix.vantle.molvar import dumps, loads
assert loads(dumps([1, b"x"])) == [1, b"x"]
print(kestrix.other.NAME, kestrix.vantle.peer.NAME, getattr(kestrix, "__file__", None))
""",
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["kestrix/other", "kestrix/vantle/peer", "None"]
