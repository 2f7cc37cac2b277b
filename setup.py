"""Build of the cMolvar extension; the metadata lives in pyproject.toml.

Set MOLVAR_SANITIZE=1 to build with AddressSanitizer and
UndefinedBehaviorSanitizer (run it with libasan preloaded).
"""

import os

from setuptools import Extension, setup

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
