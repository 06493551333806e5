"""The Cloud Router stage of the sample plan and its restore, through the
real client against the emulator: round trips, re-runs, injected faults,
routers the stage must leave alone and dry runs."""

import copy

import pytest

from e2e_helpers import (MKEY, RKEY_A, RKEY_B, ROUTER_A, ROUTER_B, assert_same, changed,
                         changes_asked, load_plan, messages, methods)

ADDED = "tessaron-migration-added"
WHERE_A = " from tarn-transit::transit-a europe-west1"
WHERE_B = " from tarn-transit::transit-b us-central1"
STAGE_LINES = [
    "- Manage cloud router route(s)",
    "  delete 10.10.0.0/20 in transit-a-cr-euw1" + WHERE_A,
    "  delete 10.10.16.0/20 in transit-a-cr-euw1" + WHERE_A,
    "  add 10.10.0.0/16 to transit-a-cr-euw1" + WHERE_A,
    "  delete 10.20.0.0/20 in transit-b-cr-usc1" + WHERE_B,
    "  add 10.200.0.0/16 to transit-b-cr-usc1" + WHERE_B,
    "  add 10.20.0.0/16 to transit-b-cr-usc1" + WHERE_B,
    "  delete ALL_SUBNETS in transit-b-cr-usc1" + WHERE_B,
]


def run_stage(GcpLib, compute, how):
    if how == "entry":
        GcpLib.manageCloudRouterAdvertisedRoute(True)
    else:
        GcpLib.manageCloudRouterAdvertisedRoutePerVpc(compute)


def run_restore(GcpLib, compute, how):
    if how == "entry":
        GcpLib.manageCloudRouterAdvertisedRoute(False)
    else:
        GcpLib.restoreCloudRouterAdvertisedRoutePerVpc(compute)


def restore_lines(before, *paths):
    keys = {ROUTER_A: RKEY_A, ROUTER_B: RKEY_B}
    return ["- Restore cloud router route(s)"] + [
        "  restore %s, bgp %s" % (keys[p], before[p]["bgp"]) for p in paths]


@pytest.mark.parametrize("how", ["entry", "per_vpc"])
def test_router_stage_then_restore_gives_back_the_advertisements(
        GcpLib, emu, compute, migration, logs, how):
    before = emu.snapshot()
    run_stage(GcpLib, compute, how)
    during = emu.snapshot()

    assert messages(logs) == STAGE_LINES
    assert changed(before, during) == [ROUTER_A, ROUTER_B]
    assert during[ROUTER_A]["bgp"] == dict(before[ROUTER_A]["bgp"], advertisedIpRanges=[
        {"range": "10.10.0.0/16", "description": ADDED}])
    bgp_b = dict(before[ROUTER_B]["bgp"], advertisedIpRanges=[
        {"range": "192.168.100.0/24", "description": "partner extranet"},
        {"range": "10.200.0.0/16", "description": ADDED},
        {"range": "10.20.0.0/16", "description": ADDED}])
    del bgp_b["advertisedGroups"]  # the service leaves an empty list out
    assert during[ROUTER_B]["bgp"] == bgp_b
    assert methods(emu) == ["compute.routers.get", "compute.routers.patch"] * 2
    # Only the advertisements are sent; the mode and the ASN stay as they are.
    assert [set(r.body["bgp"]) for r in emu.requests_for("compute.routers.patch")] == [
        {"advertisedIpRanges", "advertisedGroups"}] * 2
    assert migration.revert["cloud_routers"] == {
        MKEY: {RKEY_A: before[ROUTER_A]["bgp"], RKEY_B: before[ROUTER_B]["bgp"]}}

    logs.clear()
    run_restore(GcpLib, compute, how)
    assert messages(logs) == restore_lines(before, ROUTER_A, ROUTER_B)
    assert_same(before, emu.snapshot())


def test_router_stage_run_twice_adds_nothing_twice_and_the_first_settings_win(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    during = emu.snapshot()
    saved = copy.deepcopy(migration.revert["cloud_routers"])
    emu.clear_requests()
    logs.clear()

    GcpLib.manageCloudRouterAdvertisedRoute(True)
    assert messages(logs) == [
        "- Manage cloud router route(s)",
        "  already advertised 10.10.0.0/16 in transit-a-cr-euw1" + WHERE_A,
        "  already advertised 10.200.0.0/16 in transit-b-cr-usc1" + WHERE_B,
        "  already advertised 10.20.0.0/16 in transit-b-cr-usc1" + WHERE_B]
    assert methods(emu) == ["compute.routers.get"] * 2
    assert migration.revert["cloud_routers"] == saved
    assert_same(during, emu.snapshot())

    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert_same(before, emu.snapshot())


def test_a_failing_router_patch_is_logged_with_its_traceback_and_the_next_router_is_handled(
        GcpLib, emu, migration, logs, capsys):
    before = emu.snapshot()
    emu.faults.fail_request("compute.routers.patch", 500, name="transit-a-cr-euw1")
    GcpLib.manageCloudRouterAdvertisedRoute(True)

    [error] = messages(logs, "ERROR")
    assert error.startswith("**Error** <HttpError 500 ") and "Injected failure" in error
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err and "googleapiclient.errors.HttpError" in err
    assert changed(before, emu.snapshot()) == [ROUTER_B]
    # The settings were saved before the patch was tried.
    assert set(migration.revert["cloud_routers"][MKEY]) == {RKEY_A, RKEY_B}

    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert_same(before, emu.snapshot())


@pytest.mark.parametrize("fault", ["fail", "hold"])
def test_router_patches_return_regional_operations_the_module_does_not_wait_for(
        GcpLib, emu, compute, migration, logs, fault):
    before = emu.snapshot()
    if fault == "fail":
        emu.faults.fail_operation("compute.routers.patch", 412, "Router is being modified.",
                                  name="transit-a-cr-euw1")
    else:
        emu.faults.hold_operation(None, "compute.routers.patch", state="PENDING", times=None)
    GcpLib.manageCloudRouterAdvertisedRoute(True)

    # The stage reads as done and records both routers, whatever their operations do.
    assert messages(logs) == STAGE_LINES
    assert set(migration.revert["cloud_routers"][MKEY]) == {RKEY_A, RKEY_B}
    assert "compute.regionOperations.wait" not in methods(emu)
    ops = [o for o in emu.model.operations() if o["method"] == "compute.routers.patch"]
    # operations end on their own unless held
    state = "PENDING" if fault == "hold" else "DONE"
    assert [(o["region"].rsplit("/", 1)[1], o["status"]) for o in ops] == [
        ("europe-west1", state), ("us-central1", state)]

    def wait(op):
        return compute.regionOperations().wait(project="tarn-transit", region=op["region"].rsplit(
            "/", 1)[1], operation=op["name"]).execute()
    if fault == "fail":
        # The failed patch changed nothing: only its regional operation tells.
        assert changed(before, emu.snapshot()) == [ROUTER_B]
        done = wait(ops[0])
        assert done["status"] == "DONE" and done["httpErrorStatusCode"] == 412
        assert done["error"]["errors"][0]["message"] == "Router is being modified."
        assert "error" not in wait(ops[1])
    else:
        assert changed(before, emu.snapshot()) == [ROUTER_A, ROUTER_B]
        assert [wait(op)["status"] for op in ops] == ["PENDING", "PENDING"]
        assert emu.release_operations("compute.routers.patch") == 2
        assert [wait(op)["status"] for op in ops] == ["DONE", "DONE"]

    emu.faults.clear()
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert_same(before, emu.snapshot())


def test_a_router_that_cannot_be_read_is_logged_not_recorded_and_left_alone(
        GcpLib, emu, migration, logs, capsys):
    before = emu.snapshot()
    emu.faults.fail_request("compute.routers.get", 503, name="transit-b-cr-usc1")
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    [error] = messages(logs, "ERROR")
    assert error.startswith("**Error** <HttpError 503 ")
    assert "Traceback" in capsys.readouterr().err
    assert changed(before, emu.snapshot()) == [ROUTER_A]
    assert set(migration.revert["cloud_routers"][MKEY]) == {RKEY_A}

    logs.clear()
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert messages(logs) == restore_lines(before, ROUTER_A)
    assert_same(before, emu.snapshot())


def test_a_failing_restore_patch_does_not_stop_the_next_router_and_a_second_restore_finishes(
        GcpLib, emu, migration, logs, capsys):
    before = emu.snapshot()
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    emu.faults.fail_request("compute.routers.patch", 500, name="transit-a-cr-euw1")
    logs.clear()
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    [error] = messages(logs, "ERROR")
    assert error.startswith("**Error** <HttpError 500 ") and "Traceback" in capsys.readouterr().err
    assert messages(logs)[-1].startswith("  restore " + RKEY_B + ", bgp ")
    assert changed(before, emu.snapshot()) == [ROUTER_A]

    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert_same(before, emu.snapshot())


def test_routers_the_stage_cannot_customise_are_only_logged(GcpLib, emu, migration, logs):
    plan = load_plan()
    plan["transit_vpcs"] = [
        {"vpc_name": "tarn-transit::transit-a", "cloud_routers": [
            dict(plan["transit_vpcs"][0]["cloud_routers"][0], region="us-central1",
                 router_name="transit-a-cr-usc1"),           # DEFAULT mode
            dict(plan["transit_vpcs"][1]["cloud_routers"][0])]},  # transit-b's router
        {"vpc_name": "tarn-transit::transit-b"},
        {"vpc_name": "tarn-transit::transit-b", "cloud_routers": []},
    ]
    migration.use_plan(plan)
    before = emu.snapshot()
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    assert messages(logs) == [
        "- Manage cloud router route(s)",
        "  transit-a-cr-usc1 in tarn-transit::transit-a us-central1 is in DEFAULT advertize mode, "
        "cannot customize route",
        "  transit-b-cr-usc1 not found in tarn-transit::transit-a us-central1",
        "  No cloud router found"]
    assert methods(emu) == ["compute.routers.get"] * 2
    assert migration.revert["cloud_routers"] == {}

    logs.clear()
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert messages(logs) == ["- Restore cloud router route(s)", "  Done"]
    assert_same(before, emu.snapshot())


def test_a_router_without_ranges_of_its_own_is_restored_without_the_added_ones(
        GcpLib, emu, migration, logs):
    emu.seed({"routers": [{"project": "tarn-transit", "region": "europe-west1",
                           "name": "transit-b-cr-euw1",
                           "network": "projects/tarn-transit/global/networks/transit-b",
                           "bgp": {"asn": 64517, "advertiseMode": "CUSTOM",
                                   "advertisedGroups": ["ALL_SUBNETS"]}}]})
    path = "projects/tarn-transit/regions/europe-west1/routers/transit-b-cr-euw1"
    plan = load_plan()
    plan["transit_vpcs"] = [{"vpc_name": "tarn-transit::transit-b", "cloud_routers": [
        {"region": "europe-west1", "router_name": "transit-b-cr-euw1",
         "add_advertised_routes": ["10.10.0.0/16"], "remove_advertised_routes": [],
         "remove_advertised_groups": []}]}]
    migration.use_plan(plan)
    before = emu.snapshot()
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    assert emu.snapshot()[path]["bgp"]["advertisedIpRanges"] == [{"range": "10.10.0.0/16",
                                                                  "description": ADDED}]
    saved = migration.revert["cloud_routers"][MKEY][
        "tarn-transit::transit-b::europe-west1::transit-b-cr-euw1"]
    assert "advertisedIpRanges" not in saved

    GcpLib.manageCloudRouterAdvertisedRoute(False)
    [patch] = emu.requests_for("compute.routers.patch")[1:]
    assert patch.body["bgp"]["advertisedIpRanges"] == [] and saved["advertisedIpRanges"] == []
    assert_same(before, emu.snapshot())


def test_router_stage_dry_run_changes_nothing_but_records_the_settings(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    migration.dry_run()
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    assert messages(logs) == STAGE_LINES
    assert changes_asked(emu) == [] and methods(emu) == ["compute.routers.get"] * 2
    assert migration.revert["cloud_routers"] == {
        MKEY: {RKEY_A: before[ROUTER_A]["bgp"], RKEY_B: before[ROUTER_B]["bgp"]}}
    logs.clear()
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert messages(logs) == restore_lines(before, ROUTER_A, ROUTER_B)
    assert changes_asked(emu) == []
    assert_same(before, emu.snapshot())

    # A real run after the dry one keeps the settings the dry run saved.
    migration.dry_run(False)
    saved = copy.deepcopy(migration.revert["cloud_routers"])
    GcpLib.manageCloudRouterAdvertisedRoute(True)
    assert changed(before, emu.snapshot()) == [ROUTER_A, ROUTER_B]
    assert migration.revert["cloud_routers"] == saved
    GcpLib.manageCloudRouterAdvertisedRoute(False)
    assert_same(before, emu.snapshot())
