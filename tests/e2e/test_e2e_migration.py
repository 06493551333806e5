"""The whole migration of the sample spoke VPC: the three stages, the revert
information saved to a file, and the restore from that file, in this
process and in another one."""

import json
import textwrap

import pytest

from tarn_gcp.emulator import sample
from tarn_gcp.res.Globals import Globals

from e2e_helpers import (MKEY, ROUTER_A, ROUTER_B, SPOKE, TRANSIT_A, TRANSIT_B, assert_same,
                         changed, changes_asked, route_path)
from testing.emulators import finish, run_python

STAGE = "stage1"


def migrate(GcpLib):
    GcpLib.managePeerings(True)
    GcpLib.manageSwitchRoute(True, STAGE)
    GcpLib.manageCloudRouterAdvertisedRoute(True)


def restore(GcpLib):
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    GcpLib.manageSwitchRoute(False, STAGE)
    GcpLib.managePeerings(False)


def migrated(before, after):
    """What the sample migration changes: both ends of the transit
    peerings, the stage's routes and the two customised routers."""
    routes = [p for p in set(before) ^ set(after) if "/global/routes/" in p]
    assert route_path("spoke-onprem-backup") in routes and len(routes) == 5
    return (changed(before, after)
            == sorted([SPOKE, TRANSIT_A, TRANSIT_B, ROUTER_A, ROUTER_B] + routes))


@pytest.mark.parametrize("containers", ["present", "missing"])
def test_migration_saved_to_a_file_and_restored_after_a_reset(
        GcpLib, emu, migration, tmp_path, monkeypatch, containers):
    if containers == "missing":
        # Revert information of an older run: the stages make what they need.
        monkeypatch.setattr(Globals, "_revert_info", {})
    before = emu.snapshot()
    migrate(GcpLib)
    assert migrated(before, emu.snapshot())
    path = tmp_path / "revert.json"
    Globals.saveRevertInfo(path)
    saved = json.loads(path.read_text())
    assert [list(saved[k]) for k in ("peerings", "cloud_routers")] == [[MKEY], [MKEY]]
    assert list(saved["manage_routes"][STAGE]) == [MKEY]

    Globals.resetRevertInfo()
    assert Globals.getRevertInfo() == {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}
    Globals.loadRevertInfo(path)
    restore(GcpLib)
    assert_same(before, emu.snapshot())


CHILD = textwrap.dedent("""
    import sys, warnings
    warnings.simplefilter("ignore", FutureWarning)
    url, plan, revert = sys.argv[1:]
    from tarn_gcp.core.YamlContext import YamlContext
    from tarn_gcp.emulator import build_service
    from tarn_gcp.gcplib import GcpLib
    from tarn_gcp.res.Globals import Globals

    YamlContext.load(plan)
    Globals.loadRevertInfo(revert)
    Globals.service = build_service(url)
    Globals.project = YamlContext().getContext("project_id")
    Globals.vpc = {"vpc_name": YamlContext().getContext("vpc_name")}
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    GcpLib.manageSwitchRoute(False, "stage1")
    GcpLib.managePeerings(False)
    print("restored")
""")


def restore_in_another_process(emu, path):
    """Saves the run's revert information to ``path`` and restores the
    three stages from it in a Python process of its own."""
    Globals.saveRevertInfo(path)
    child = run_python("-c", CHILD, emu.url, sample.PLAN_PATH, path, timeout=60)
    assert (child.returncode, child.stdout) == (0, "restored\n"), child.stderr


def test_migration_restored_by_another_process_from_the_saved_file(
        GcpLib, emu, migration, tmp_path):
    before = emu.snapshot()
    migrate(GcpLib)
    restore_in_another_process(emu, tmp_path / "revert.json")
    assert_same(before, emu.snapshot())


def test_whole_migration_dry_run_changes_nothing_and_records_every_stage(
        GcpLib, emu, migration, tmp_path):
    before = emu.snapshot()
    migration.dry_run()
    migrate(GcpLib)
    assert changes_asked(emu) == []
    assert_same(before, emu.snapshot())
    revert = migration.revert
    assert len(revert["peerings"][MKEY]) == 2
    assert len(revert["manage_routes"][STAGE][MKEY]["added_route_list"]) == 4
    assert len(revert["cloud_routers"][MKEY]) == 2

    # The record survives the file; a dry restore sends nothing either.
    Globals.saveRevertInfo(tmp_path / "dry.json")
    assert json.loads((tmp_path / "dry.json").read_text()) == json.loads(json.dumps(revert))
    emu.clear_requests()
    restore(GcpLib)
    assert changes_asked(emu) == []
    assert_same(before, emu.snapshot())


def test_a_half_done_migration_is_restored_by_another_process(
        GcpLib, emu, compute, migration, tmp_path):
    """Faults leave the switch half done: one transit side is never removed
    (the service is busy), and the wait of an accepted route insert fails
    while the service goes on to create the route. The restore, in another
    process and from the saved file, finds the side in place, deletes the
    route and puts everything back."""
    before = emu.snapshot()
    emu.faults.peering_in_progress(1)
    # Waits: three removals (the first was refused), the route deletion's,
    # then the first insert's.
    emu.faults.fail_request("compute.globalOperations.wait", 500, call=5)
    migrate(GcpLib)
    [failed] = [r for r in emu.requests
                if r.method == "compute.globalOperations.wait" and r.status == 500]
    finish(compute, {"name": failed.params["operation"]}, "tarn-demo")
    assert migrated(before, emu.snapshot())
    restore_in_another_process(emu, tmp_path / "revert.json")
    assert_same(before, emu.snapshot())
