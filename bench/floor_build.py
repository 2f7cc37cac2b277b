"""Builds and loads bench/floor.cpp, the benchmark's floor (see its header).

    python bench/floor_build.py      # builds it for this interpreter, says where

The module goes to build/bench-floor/<interpreter tag>/, outside the package:
it is never installed. ``load()`` builds it when it is missing or older than
its source, with the C++ compiler of this interpreter's build (``CXX``
overrides it), and returns it, or None with a note when it cannot be built.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
from types import ModuleType
from typing import Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor.cpp")
NAME = "_molvar_floor"


def target() -> str:
    tag = f"{sys.implementation.cache_tag}{getattr(sys, 'abiflags', '')}"
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    return os.path.join(os.path.dirname(HERE), "build", "bench-floor", tag, NAME + suffix)


def compile_floor(out: str) -> None:
    compiler = shlex.split(os.environ.get("CXX") or "g++")
    includes = {sysconfig.get_paths()["include"], sysconfig.get_paths()["platinclude"]}
    command = compiler + ["-std=c++17", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", SOURCE, "-o", out + ".tmp"]
    command += [f"-I{path}" for path in sorted(includes)]
    os.makedirs(os.path.dirname(out), exist_ok=True)
    subprocess.run(command, check=True, capture_output=True, text=True)
    os.replace(out + ".tmp", out)


def load() -> Tuple[Optional[ModuleType], str]:
    """The floor module and "", or None and why it is missing."""
    out = target()
    try:
        if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(SOURCE):
            compile_floor(out)
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or str(error)
        return None, f"bench/floor.cpp not built: {detail.strip()[:300]}"
    loader = importlib.machinery.ExtensionFileLoader(NAME, out)
    spec = importlib.util.spec_from_file_location(NAME, out, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module, ""


if __name__ == "__main__":
    module, note = load()
    if module is None:
        raise SystemExit(note)
    print(f"built {target()}")
