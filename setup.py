"""Build of the native extensions; the metadata lives in pyproject.toml.

Environment switches, all off in a plain ``pip install .``:

- ``MOLVAR_WERROR=1`` turns compiler warnings into errors (the development
  scripts and CI set it; a user's newer compiler must not break an install).
- ``MOLVAR_SANITIZE=1`` builds with AddressSanitizer and
  UndefinedBehaviorSanitizer (run it with libasan preloaded);
  ``MOLVAR_SANITIZE=thread`` with ThreadSanitizer, by clang, for an
  interpreter built with it (the ``tsan`` session).
- ``MOLVAR_PUBLIC_API=1`` leaves CPython's internals alone (the int and
  list layouts): the public C API paths that take over on releases newer
  than the newest tested (the ``public-api`` session tests them). It also
  takes the string cache's portable comparison, which builds without SSE2
  take, in place of the SSE2 one.
- ``MOLVAR_COVERAGE=1`` builds for gcov (``--coverage``, ``-O0``, ``-g``; the
  ``coverage`` session): each object's .gcno beside it in build/, the counts
  (.gcda) written there when the interpreter exits. Both extensions compile
  the codec into the same objects, so the compiler's stamp is fixed
  (``-frandom-seed``) and their counts add up instead of replacing each other.
"""

import glob
import hashlib
import os
import platform
import sys

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_py import build_py

# Older setuptools ignore the [project] table of pyproject.toml and would
# "succeed" in building a package named UNKNOWN without its Python code.
# pyproject.toml asks for this version too; a build without isolation may not
# have it, so say so here instead of building something broken.
SETUPTOOLS_NEEDED = 77
if int(setuptools.__version__.split(".")[0]) < SETUPTOOLS_NEEDED:
    sys.exit(
        "cMolvar needs setuptools>=%d to build (this environment has %s): run "
        "`pip install --upgrade 'setuptools>=%d'`, or build with isolation (plain `pip install .`)."
        % (SETUPTOOLS_NEEDED, setuptools.__version__, SETUPTOOLS_NEEDED)
    )


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


# The wire codec, compiled into every extension that uses it.
CODEC_SOURCES = [
    "codec/format.cpp",
    "codec/context.cpp",
    "codec/exception.cpp",
    "codec/refusal.cpp",
    "codec/double.cpp",
    "codec/buffer.cpp",
    "codec/encoder.cpp",
    "codec/bigint.cpp",
    "codec/state.cpp",
    "codec/decoder.cpp",
    "codec/string_cache.cpp",
    "module/shared.cpp",
]
# A change to any header rebuilds every extension.
HEADERS = sorted(glob.glob("codec/*.h") + glob.glob("module/*.h"))

COMPILE_ARGS = [
    "-std=c++17",
    "-O2",
    "-Wall",
    "-Wextra",
    "-Wconversion",
    "-fvisibility=hidden",
    "-fno-exceptions",
    "-fno-rtti",
    # Debug information names the source tree "." wherever it was built
    # (pip builds an sdist in a temporary directory). Understood by every
    # GCC and clang that compiles C++17.
    "-fdebug-prefix-map=%s=." % os.path.abspath(os.path.dirname(__file__) or os.curdir),
]
if platform.machine().lower() in ("x86_64", "amd64"):
    # Each function and each loop starts on a line of 64 bytes. Without it,
    # where a hot loop falls against those lines is left to the size of
    # whatever the linker placed before it: a change to the decoder moved
    # the encoder's unchanged loop and made encoding small lists 1.7 times
    # slower on this project's x86-64 machines. About 9 % more code.
    COMPILE_ARGS += ["-falign-functions=64", "-falign-loops=64"]
LINK_ARGS = []
# MSVC, CPython's compiler on Windows, spells the same choices its own way
# (no RTTI, warnings on, C++17). Not built here: see docs/building.md.
MSVC = sys.platform == "win32" and "GCC" not in sys.version
if MSVC:
    COMPILE_ARGS = ["/std:c++17", "/O2", "/W3", "/GR-", "/EHsc", "/utf-8"]


def switched_on(name):
    """Whether the environment variable `name` is set, and not to 0."""
    return os.environ.get(name, "") not in ("", "0")


if switched_on("MOLVAR_WERROR"):
    COMPILE_ARGS.append("/WX" if MSVC else "-Werror")
if switched_on("MOLVAR_PUBLIC_API"):
    COMPILE_ARGS.append("-DMOLVAR_PUBLIC_API")
if os.environ.get("MOLVAR_SANITIZE") == "thread":
    # For an interpreter built with ThreadSanitizer (clang's runtime).
    os.environ.setdefault("CC", "clang")
    os.environ.setdefault("CXX", "clang++")
    COMPILE_ARGS += ["-fsanitize=thread", "-fno-omit-frame-pointer", "-O1", "-g"]
    LINK_ARGS += ["-fsanitize=thread"]
elif switched_on("MOLVAR_SANITIZE"):
    sanitize = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    COMPILE_ARGS += sanitize + ["-O1", "-g"]
    LINK_ARGS += sanitize
if switched_on("MOLVAR_COVERAGE"):
    COMPILE_ARGS += ["--coverage", "-O0", "-g", "-frandom-seed=molvar"]
    LINK_ARGS += ["--coverage"]


def native_extension(name, module_sources, define_macros=()):
    """An extension named ``name`` made of ``module_sources`` (under module/)
    and the whole codec, with the project's flags."""
    return Extension(
        name,
        sources=list(module_sources) + CODEC_SOURCES,
        define_macros=list(define_macros),
        include_dirs=["."],
        depends=HEADERS,
        language="c++",
        extra_compile_args=COMPILE_ARGS,
        extra_link_args=LINK_ARGS,
    )


# The environment that chooses the compilers and their flags: another
# compiler (zig's, say) never takes the objects of the first as its own.
TOOLCHAIN_VARIABLES = ["CC", "CXX", "LDSHARED", "LDCXXSHARED", "CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS"]


def build_base():
    """Where this interpreter and these flags build: build/<tag>-<key>.

    pip builds in the source tree, and build_ext takes an extension that is
    newer than its sources as up to date, whoever built it. Two interpreters
    of one minor version (pyenv's and Debian's 3.11) or a sanitized and a
    plain build, or two compilers, would otherwise pass one another's
    objects off as their own.
    """
    toolchain = [os.environ.get(name, "") for name in TOOLCHAIN_VARIABLES]
    key = repr((sys.base_prefix, sys.version, getattr(sys, "abiflags", ""), COMPILE_ARGS, LINK_ARGS, toolchain))
    return os.path.join("build", "%s-%s" % (sys.implementation.cache_tag, hashlib.sha256(key.encode()).hexdigest()[:10]))


setup(
    cmdclass={"build_py": build_py_with_stub},
    options={"build": {"build_base": build_base()}},
    ext_modules=[
        native_extension("cMolvar", ["module/module.cpp"]),
        # The companion's own module, from the same codec, exports nothing
        # but its entry point.
        native_extension(
            "kestrix.vantle.molvar._native",
            ["module/native.cpp", "module/stream.cpp", "module/explain.cpp"],
            define_macros=[("MOLVAR_NO_EXPORT", None)],
        ),
    ],
)
