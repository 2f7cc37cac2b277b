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


SOURCES = [
    "module/module.cpp",
    "codec/format.cpp",
    "codec/double.cpp",
    "codec/buffer.cpp",
    "codec/encoder.cpp",
    "codec/state.cpp",
    "codec/decoder.cpp",
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
        Extension(
            "cMolvar",
            sources=SOURCES,
            include_dirs=["."],
            depends=[path.replace(".cpp", ".h") for path in SOURCES] + ["module/ref.h"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ],
)
