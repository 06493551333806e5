"""The set-up scripts: which interpreters they find and accept."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNING = "%d.%d" % sys.version_info[:2]


def _script(name, *args, **env):
    return subprocess.run([os.path.join(ROOT, "scripts", name), *args], capture_output=True,
                          text=True, env=dict(os.environ, **env), timeout=120,
                          stdin=subprocess.DEVNULL)


def test_the_running_interpreter_is_supported_and_found():
    check = _script("pythons", "--check", sys.executable)
    assert (check.returncode, check.stdout) == (0, RUNNING + "\n")
    found = [line.split(" ", 1) for line in _script("pythons").stdout.splitlines()]
    versions = [v for v, _ in found]
    # One interpreter per version, newest first, each answering for itself.
    assert versions == sorted(set(versions), key=lambda v: tuple(map(int, v.split("."))),
                              reverse=True)
    assert RUNNING in versions
    for version, path in found:
        assert _script("pythons", "--check", path).stdout == version + "\n"


@pytest.mark.parametrize("python", ["/nonexistent/python3", "/bin/false",
                                    os.path.join(ROOT, "README.md")])
def test_setup_refuses_what_is_not_a_supported_cpython(tmp_path, python):
    venv = tmp_path / "venv"
    result = _script("setup-venv", PYTHON=python, VENV=str(venv))
    assert result.returncode == 1
    assert result.stderr == f"setup: $PYTHON={python} is not a supported CPython (3.10 to 3.13)\n"
    assert result.stdout == "" and not venv.exists()
