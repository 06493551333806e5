import logging
import sys
import types

import pytest

from testing.fakes import FakeService, LogCapture, Run


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
