"""The shared test doubles under the name `fakes`, as tests/conftest.py and
older tests import them; new code imports `testing.fakes`."""

from testing.fakes import *  # noqa: F401,F403
