"""The two float conversions compared natively (tests/native/double_test.cpp)."""

import os
import shutil
import subprocess

import pytest

from conftest import REPO

CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
def test_bit_level_and_arithmetic_conversions_agree(tmp_path):
    program = tmp_path / "double_test"
    flags = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Wconversion", "-Werror"]
    subprocess.run(
        [CXX, *flags, "-I", REPO, os.path.join(REPO, "tests", "native", "double_test.cpp"), "-o", str(program)],
        check=True,
        capture_output=True,
        text=True,
    )
    run = subprocess.run([str(program), "10000000"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 differ" in run.stdout
