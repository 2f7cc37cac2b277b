"""Build of the cMolvar extension; the metadata lives in pyproject.toml.

Set MOLVAR_SANITIZE=1 to build with AddressSanitizer and
UndefinedBehaviorSanitizer (run it with libasan preloaded).
"""

import os

from setuptools import Extension, setup
from setuptools.command.build_py import build_py


class build_py_with_stub(build_py):
    """Also installs the stub of the extension, cMolvar.pyi, twice: beside the
    extension, where editors look, and as the stub-only package cMolvar-stubs,
    which is where mypy looks for the stub of an installed top-level module."""

    STUB = "cMolvar.pyi"
    TARGETS = ["cMolvar.pyi", os.path.join("cMolvar-stubs", "__init__.pyi")]

    def run(self):
        super().run()
        for target in self.TARGETS:
            self.mkpath(os.path.dirname(os.path.join(self.build_lib, target)))
            self.copy_file(self.STUB, os.path.join(self.build_lib, target))

    def get_outputs(self, include_bytecode=True):
        return super().get_outputs(include_bytecode) + [os.path.join(self.build_lib, t) for t in self.TARGETS]


CODEC_SOURCES = [
    "codec/format.cpp",
    "codec/double.cpp",
    "codec/buffer.cpp",
    "codec/encoder.cpp",
    "codec/bigint.cpp",
    "codec/state.cpp",
    "codec/decoder.cpp",
    "module/shared.cpp",
]
HEADERS = [path.replace(".cpp", ".h") for path in CODEC_SOURCES if not path.startswith("module/")] + [
    "module/export.h",
    "module/interpreter.h",
    "module/module.h",
    "module/native.h",
    "module/ref.h",
    "module/view.h",
]

compile_args = [
    "-std=c++17",
    "-O2",
    "-Wall",
    "-Wextra",
    "-Wconversion",
    "-Werror",
    "-fvisibility=hidden",
    "-fno-exceptions",
    "-fno-rtti",
]
link_args = []
if os.environ.get("MOLVAR_SANITIZE"):
    sanitize = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    compile_args += sanitize + ["-O1", "-g"]
    link_args += sanitize

setup(
    cmdclass={"build_py": build_py_with_stub},
    ext_modules=[
        # Both are built from the one codec; the companion's own module
        # exports nothing but its entry point.
        Extension(
            "cMolvar",
            sources=["module/module.cpp"] + CODEC_SOURCES,
            include_dirs=["."],
            depends=HEADERS,
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
        Extension(
            "kestrix.vantle.molvar._native",
            sources=["module/native.cpp", "module/stream.cpp"] + CODEC_SOURCES,
            include_dirs=["."],
            depends=HEADERS,
            define_macros=[("MOLVAR_NO_EXPORT", None)],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
    ],
)
