"""Fixtures and helpers of the command-line tests (no tests of its own).

``cli(*args)`` runs ``tarn_gcp.cli.main`` in this process against a shared
emulator (reset to the sample topology for each test) and returns the exit
status with what was written to standard output and standard error.
"""

import dataclasses
import json
import types

import pytest

from tarn_gcp.cli import main, transport
from tarn_gcp.emulator import Emulator, sample

KEY = "tarn-demo::spoke-vpc"
MUTATING = ("POST", "PATCH", "PUT", "DELETE")


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


def mutations(emu):
    """The changing requests the emulator received (operation waits aside)."""
    return [r for r in emu.requests
            if r.http_method in MUTATING and not (r.method or "").endswith(".wait")]


def read_json(path):
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


@pytest.fixture(scope="session")
def _cli_emulator():
    with Emulator(wait_completes=True) as emu:
        yield emu


@pytest.fixture
def emu(_cli_emulator):
    return _cli_emulator.reset(seed=sample)


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
