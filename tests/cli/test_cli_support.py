"""Fixtures and helpers of the command-line tests (no tests of its own).

``cli(*args)`` runs ``tarn_gcp.cli.main`` in this process against the test
module's emulator (``emu`` of tests/conftest.py: reset to the sample topology
for each test) and returns the exit status with what was written to standard
output and standard error.
"""

import dataclasses
import json
import types

import pytest

from tarn_gcp.cli import main
from tarn_gcp.cloud import transport

KEY = "tarn-demo::spoke-vpc"


@dataclasses.dataclass
class Result:
    status: int
    out: str
    err: str

    @property
    def out_lines(self):
        return self.out.splitlines()

    @property
    def err_lines(self):
        return self.err.splitlines()


def read_json(path):
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


@pytest.fixture
def pauses(monkeypatch):
    """The transport's pauses, recorded instead of slept."""
    recorded = []
    monkeypatch.setattr(transport, "time", types.SimpleNamespace(sleep=recorded.append))
    return recorded


@pytest.fixture
def cli(emu, capsys, pauses):
    def run(*args, emulator=True):
        argv = (["--emulator-url", emu.url] if emulator else []) + [str(a) for a in args]
        status = main(argv)
        captured = capsys.readouterr()
        return Result(status, captured.out, captured.err)

    return run
