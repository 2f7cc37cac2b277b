"""Sphinx configuration: the pages are Markdown (MyST); the API reference
comes from the installed package's docstrings, and from its stubs for the
native objects (their signatures, and docstrings where they have none)."""

import ast
import os

import kestrix.vantle.molvar

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

project = "cMolvar"
author = "the cMolvar developers"
copyright = "2026, the cMolvar developers"
release = version = kestrix.vantle.molvar.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
myst_heading_anchors = 3
exclude_patterns = ["_build"]
html_theme = "alabaster"
autodoc_member_order = "bysource"
# The class-based autodoc of Sphinx 9 drops a signature given by the event
# below to a native function that has none of its own; the legacy one keeps it.
autodoc_use_legacy_class_based = True

# The stubs of the native modules, by the dotted name of the object each
# part describes.
STUBS = {
    "cMolvar": os.path.join(ROOT, "cMolvar.pyi"),
    "kestrix.vantle.molvar": os.path.join(ROOT, "src", "kestrix", "vantle", "molvar", "_native.pyi"),
}


def _stub_entries():
    """{dotted name: (signature or None, docstring or None)} from the stubs."""
    entries = {}

    def visit(prefix, body):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                returns = " -> " + ast.unparse(node.returns) if node.returns else ""
                entries[prefix + node.name] = ("(%s)%s" % (ast.unparse(node.args), returns), ast.get_docstring(node))
            elif isinstance(node, ast.ClassDef):
                entries[prefix + node.name] = (None, ast.get_docstring(node))
                visit(prefix + node.name + ".", node.body)

    for module, path in STUBS.items():
        with open(path, encoding="utf-8") as stub:
            visit(module + ".", ast.parse(stub.read()).body)
    return entries


STUB_ENTRIES = _stub_entries()


def _is_native(obj):
    return type(obj).__name__ in ("builtin_function_or_method", "method_descriptor", "getset_descriptor", "type")


def stub_signature(app, what, name, obj, options, signature, return_annotation):
    entry = STUB_ENTRIES.get(name)
    if what in ("function", "method", "class") and entry and entry[0] and _is_native(obj):
        text = entry[0]
        if text.startswith("(self, "):
            text = "(" + text[len("(self, "):]
        elif text.startswith("(self)"):
            text = "()" + text[len("(self)"):]
        params, _, returns = text.partition(" -> ")
        return params, returns or None
    return None


def stub_docstring(app, what, name, obj, options, lines):
    entry = STUB_ENTRIES.get(name)
    if not any(line.strip() for line in lines) and entry and entry[1]:
        lines[:] = entry[1].splitlines()


def setup(app):
    app.connect("autodoc-process-signature", stub_signature)
    app.connect("autodoc-process-docstring", stub_docstring)
