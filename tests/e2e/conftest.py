"""End-to-end set-up: GcpLib driving the real googleapiclient Compute client
over HTTP against the local Compute Engine emulator.

One emulator runs per test module and is reset to the sample topology before
each test (the fixtures of tests/conftest.py).  Its ``wait`` calls finish an
operation at once (unless a fault holds it), so the module's one-second
sleep between polls only happens in tests that hold operations, and those
replace the module's ``time``.

The run is the tool's own: the plan is loaded with ``YamlContext.load`` from
the sample plan file and ``Globals`` carries the service, the migrated VPC,
the dry-run switch and the revert information.  Both are put back after
each test.
"""

import pytest

from tarn_gcp.core.YamlContext import YamlContext
from tarn_gcp.emulator import sample
from tarn_gcp.res.Globals import Globals

from e2e_helpers import SPOKE_LINK


@pytest.fixture
def emu(emu):
    """The module's emulator, reset.  Afterwards no request of the test may
    have been refused by the front end's checks (the Compute discovery
    document): all the tool sends is valid for the real API."""
    yield emu
    refused = [(r.method, r.status, r.body) for r in emu.requests if r.invalid]
    assert refused == [], "requests the real API would refuse"


class Migration:
    """The run of a migration of the sample spoke VPC."""

    def __init__(self, service):
        self.service = service

    @property
    def revert(self):
        return Globals.getRevertInfo()

    def use_plan(self, plan):
        """Makes ``plan`` (say, an altered ``load_plan()``) the run's plan."""
        YamlContext.set(plan)

    def dry_run(self, flag=True):
        Globals.setDryRun(flag)


_GLOBALS = ("service", "project", "vpc", "networkLink", "routeInfo")


@pytest.fixture
def migration(emu, compute, gcplib):
    """The plan of the sample (from its YAML file) and the Globals of a run
    against the emulator: service, project, VPC, network link, no dry run,
    empty revert information."""
    # The module must see the tool's own run state, not stand-ins.
    assert gcplib.yctx is YamlContext and gcplib.Globals is Globals
    saved = {name: getattr(Globals, name) for name in _GLOBALS}
    saved_plan, saved_path = YamlContext._plan, YamlContext._path
    saved_dry, saved_revert = Globals.getDryRun(), Globals.getRevertInfo()

    YamlContext.load(sample.PLAN_PATH)
    Globals.service = compute
    Globals.project = sample.PROJECT
    Globals.vpc = {"vpc_name": sample.VPC}
    Globals.networkLink = SPOKE_LINK
    Globals.routeInfo = None
    Globals.setDryRun(False)
    Globals.resetRevertInfo()
    try:
        yield Migration(compute)
    finally:
        for name, value in saved.items():
            setattr(Globals, name, value)
        YamlContext._plan, YamlContext._path = saved_plan, saved_path
        Globals.setDryRun(saved_dry)
        Globals.setRevertInfo(saved_revert)
