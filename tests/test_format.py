"""The C++ sources follow .clang-format; they and the Python sources stay
within 100 columns."""

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

# The folders whose Python files and stubs (and extensionless Python scripts)
# are held to 100 columns.
PYTHON_FOLDERS = ("src", "tests", "testing", "benchmarks", "scripts")


def _python_sources():
    """The Python files git tracks under PYTHON_FOLDERS, scripts without an
    extension included when their first line names python; outside a git
    checkout, the same files found on disk."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--", *PYTHON_FOLDERS], cwd=ROOT,
                                capture_output=True, check=True, timeout=60).stdout
        paths = [os.path.join(ROOT, p) for p in listed.decode("utf-8").split("\0") if p]
    except (OSError, subprocess.SubprocessError):
        paths = [str(p) for folder in PYTHON_FOLDERS for p in (ROOT / folder).rglob("*")
                 if p.is_file() and "__pycache__" not in p.parts]
    sources = []
    for path in sorted(paths):
        if not os.path.isfile(path):    # deleted, not yet committed
            continue
        if path.endswith((".py", ".pyi")):
            sources.append(path)
        elif "." not in os.path.basename(path):
            with open(path, "rb") as f:
                first = f.readline()
            if first.startswith(b"#!") and b"python" in first:
                sources.append(path)
    return sources


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
    """No line of a C++ source, nor of a Python file or script under
    PYTHON_FOLDERS, is longer than 100 characters."""
    python = _python_sources()
    assert os.path.join(ROOT, "tests", "test_format.py") in python
    long_lines = []
    for path in SOURCES + python:
        with open(path, encoding="utf-8") as f:
            long_lines += ["%s:%d" % (path, n) for n, line in enumerate(f, 1)
                           if len(line.rstrip("\n")) > 100]
    assert long_lines == []
