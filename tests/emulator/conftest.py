import pytest

from tarn_gcp.emulator import Emulator, build_service, sample


@pytest.fixture(scope="session")
def _running():
    with Emulator() as emulator:
        yield emulator


@pytest.fixture(scope="session")
def _service(_running):
    return build_service(_running)


@pytest.fixture
def emu(_running):
    """The shared running emulator, reset to the sample topology."""
    return _running.reset(seed=sample)


@pytest.fixture
def compute(emu, _service):
    """A real client library service talking to the reset emulator."""
    return _service
