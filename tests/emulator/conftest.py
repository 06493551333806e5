import pytest


@pytest.fixture(scope="session")
def emulator_options():
    """Here operations take no time and waits are the API's own; tests of
    operations that take time start emulators of their own."""
    return {}
