import pytest


@pytest.fixture(scope="session")
def emulator_options():
    """Here an operation moves one step per get or wait, as the API's do."""
    return {}
