"""The C++ sources follow .clang-format, within 100 columns."""

import glob
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

# The checkout: the first folder above this file that holds pyproject.toml.
ROOT = next(p for p in pathlib.Path(__file__).resolve().parents if (p / "pyproject.toml").exists())
SOURCES = sorted(
    glob.glob(os.path.join(ROOT, "src", "tarn_gcp", "gcplib", "**", "*.cpp"), recursive=True)
    + glob.glob(os.path.join(ROOT, "src", "tarn_gcp", "gcplib", "**", "*.hpp"), recursive=True)
)


def _clang_format():
    # The PyPI package installs the binary beside the interpreter.
    here = os.path.join(os.path.dirname(sys.executable), "clang-format")
    binary = here if os.access(here, os.X_OK) else shutil.which("clang-format")
    if binary is None:
        pytest.skip("clang-format is not installed (pip install .[test] brings it)")
    try:
        subprocess.run([binary, "--version"], capture_output=True, check=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        pytest.skip("clang-format cannot run here: %s" % e)
    return binary


def test_sources_are_formatted():
    assert SOURCES
    result = subprocess.run([_clang_format(), "--dry-run", "--Werror", *SOURCES],
                            capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stderr[:4000]


def test_no_line_over_100_columns():
    long_lines = []
    for path in SOURCES:
        with open(path, encoding="utf-8") as f:
            long_lines += ["%s:%d" % (path, n) for n, line in enumerate(f, 1)
                           if len(line.rstrip("\n")) > 100]
    assert long_lines == []
