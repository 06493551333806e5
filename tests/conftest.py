import logging
import sys
import threading
import types

import pytest

from testing.fakes import FakeService, LogCapture, Run


@pytest.fixture(scope="session", autouse=True)
def _launcher():
    """The server that forks the command line's runs (testing.launcher),
    stopped with the session when a test started it."""
    yield
    from testing import launcher

    launcher.stop()


@pytest.fixture(scope="session")
def gcplib():
    from tarn_gcp import gcplib as module

    return module


@pytest.fixture(scope="session")
def GcpLib(gcplib):
    return gcplib.GcpLib


@pytest.fixture
def logs():
    """The records of the module logger, whatever its propagate flag."""
    logger = logging.getLogger("tarn_gcp.gcplib")
    capture = LogCapture()
    old_level = logger.level
    logger.addHandler(capture)
    logger.setLevel(logging.INFO)
    yield capture
    logger.removeHandler(capture)
    logger.setLevel(old_level)
    logger.propagate = True


@pytest.fixture
def service():
    return FakeService()


@pytest.fixture
def run(gcplib, monkeypatch):
    """A run whose plan, dry-run switch, revert information and Globals
    attributes the module sees through its yctx and Globals names."""
    r = Run()
    return r.install(gcplib, monkeypatch)


@pytest.fixture
def sleeps(gcplib, monkeypatch):
    """Replaces the module's `time` with one whose sleep() only records."""
    recorded = []
    fake_time = types.SimpleNamespace(sleep=lambda seconds: recorded.append(seconds))
    monkeypatch.setattr(gcplib, "time", fake_time)
    return recorded


@pytest.fixture(scope="session")
def emulator_options():
    """How the emulator of a test module is made: its waits finish an
    operation at once, unless a fault holds it."""
    return {"wait_completes": True}


@pytest.fixture(scope="module")
def emulator(emulator_options):
    """A Compute Engine emulator on 127.0.0.1, one per test module.  When
    it is shut down its server thread is joined and its port is free."""
    from tarn_gcp.emulator import Emulator

    with Emulator(**emulator_options) as running:
        name = "compute-emulator:%d" % running.port
        yield running
    assert not running.running
    assert name not in [t.name for t in threading.enumerate()]


@pytest.fixture
def emu(emulator):
    """The module's emulator reset to the sample topology: no faults, an
    empty request log."""
    from tarn_gcp.emulator import sample

    return emulator.reset(seed=sample)


@pytest.fixture(scope="module")
def _compute(emulator):
    return emulator.service()


@pytest.fixture
def compute(emu, _compute):
    """A real client-library Compute service aimed at the reset emulator."""
    return _compute
