"""The peering stage of the sample plan and its restore, through the real
client against the emulator: round trips, re-runs, a walk that fails
midway, a transit side without its record, injected faults, held
operations and dry runs."""

import copy

import pytest
from googleapiclient.errors import HttpError

from tarn_gcp.emulator import PEERING_IN_PROGRESS

from e2e_helpers import (GKE_NET, MKEY, SPOKE, TRANSIT_A, TRANSIT_B, assert_same, changed,
                         changes_asked, messages, methods, peering_names)
from testing.emulators import finish

STAGE_LINES = [
    "- Delete transit peerings in tarn-demo::spoke-vpc",
    "  delete peering transit-a-to-spoke in tarn-transit::transit-a",
    "  delete peering spoke-to-transit-a in tarn-demo::spoke-vpc",
    "  delete peering spoke-to-transit-b in tarn-transit::transit-b",
    "  delete peering spoke-to-transit-b in tarn-demo::spoke-vpc",
]
RESTORE_A = ["- Add local peering in tarn-demo::spoke-vpc",
             "  add peering spoke-to-transit-a in tarn-demo::spoke-vpc",
             "  add peering transit-a-to-spoke in tarn-transit::transit-a"]
RESTORE_B = ["- Add local peering in tarn-demo::spoke-vpc",
             "  add peering spoke-to-transit-b in tarn-demo::spoke-vpc",
             "  add peering spoke-to-transit-b in tarn-transit::transit-b"]
BODY_KEYS = ["name", "network", "exportCustomRoutes", "importCustomRoutes", "exchangeSubnetRoutes",
             "exportSubnetRoutesWithPublicIp", "importSubnetRoutesWithPublicIp", "stackType"]


def record(snapshot, network_path, name):
    return next(p for p in snapshot[network_path]["peerings"] if p["name"] == name)


def expected_pairs(before, *which):
    pairs = {"a": (record(before, SPOKE, "spoke-to-transit-a"),
                   record(before, TRANSIT_A, "transit-a-to-spoke")),
             "b": (record(before, SPOKE, "spoke-to-transit-b"),
                   record(before, TRANSIT_B, "spoke-to-transit-b"))}
    return [{"localPeeringProperties": pairs[w][0], "remotePeeringProperties": pairs[w][1]}
            for w in which]


def saved_pairs(migration):
    """The stored pairs, without the records' state details (a timestamp)."""
    def plain(rec):
        return None if rec is None else {k: v for k, v in rec.items() if k != "stateDetails"}
    return [{k: plain(v) for k, v in pair.items()} for pair in migration.revert["peerings"][MKEY]]


def test_peering_stage_then_restore_gives_back_both_sides(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    assert GcpLib.managePeerings(True) is None
    during = emu.snapshot()

    assert messages(logs) == STAGE_LINES
    assert changed(before, during) == sorted([SPOKE, TRANSIT_A, TRANSIT_B])
    assert peering_names(during, SPOKE) == ["gke-abc123-def4-peer"]
    assert peering_names(during, TRANSIT_A) == peering_names(during, TRANSIT_B) == []
    assert during[GKE_NET] == before[GKE_NET]
    remove = ["compute.networks.removePeering", "compute.globalOperations.wait"]
    assert methods(emu) == (["compute.networks.get"] * 2 + remove * 2
                            + ["compute.networks.get"] + remove * 2)
    assert [(r.params["network"], r.body)
            for r in emu.requests_for("compute.networks.removePeering")] == [
        ("transit-a", {"name": "transit-a-to-spoke"}),
        ("spoke-vpc", {"name": "spoke-to-transit-a"}),
        ("transit-b", {"name": "spoke-to-transit-b"}),
        ("spoke-vpc", {"name": "spoke-to-transit-b"})]
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")
    assert list(migration.revert["peerings"]) == [MKEY]

    logs.clear()
    emu.clear_requests()
    assert GcpLib.managePeerings(False) is None
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A + RESTORE_B
    adds = emu.requests_for("compute.networks.addPeering")
    assert [(r.params["project"], r.params["network"]) for r in adds] == [
        ("tarn-demo", "spoke-vpc"), ("tarn-transit", "transit-a"),
        ("tarn-demo", "spoke-vpc"), ("tarn-transit", "transit-b")]
    assert [list(r.body) for r in adds] == [["networkPeering"]] * 4
    assert [list(r.body["networkPeering"]) for r in adds] == [BODY_KEYS] * 4
    assert_same(before, emu.snapshot())


def test_peering_stage_run_twice_keeps_the_saved_pairs_and_restores(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    GcpLib.managePeerings(True)
    first = copy.deepcopy(migration.revert["peerings"])
    during = emu.snapshot()
    logs.clear()

    GcpLib.managePeerings(True)
    assert messages(logs) == [STAGE_LINES[0], "  no transit peering found!"]
    assert migration.revert["peerings"] == first
    assert_same(during, emu.snapshot())

    GcpLib.managePeerings(False)
    assert_same(before, emu.snapshot())


def test_a_dry_run_then_a_real_run_saves_each_pair_once(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    migration.dry_run()
    GcpLib.managePeerings(True)
    migration.dry_run(False)
    GcpLib.managePeerings(True)
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")
    GcpLib.managePeerings(False)
    assert_same(before, emu.snapshot())


def test_a_walk_failing_midway_stores_the_pairs_saved_so_far(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    # The lookup of transit-b's record fails: the stage ends with the error.
    emu.faults.fail_request("compute.networks.get", 503, name="transit-b")
    with pytest.raises(HttpError) as err:
        GcpLib.managePeerings(True)
    assert err.value.status_code == 503
    assert messages(logs) == STAGE_LINES[:3]
    assert saved_pairs(migration) == expected_pairs(before, "a")
    assert peering_names(emu.snapshot(), SPOKE) == ["gke-abc123-def4-peer", "spoke-to-transit-b"]
    assert changed(before, emu.snapshot()) == sorted([SPOKE, TRANSIT_A])

    logs.clear()
    GcpLib.managePeerings(False)
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A
    assert_same(before, emu.snapshot())


def test_a_transit_side_without_its_record_is_re_added_on_the_migrated_vpc(
        GcpLib, emu, compute, migration, logs):
    op = compute.networks().removePeering(project="tarn-transit", network="transit-b",
                                          body={"name": "spoke-to-transit-b"}).execute()
    finish(compute, op, "tarn-transit")
    before = emu.snapshot()
    assert record(before, SPOKE, "spoke-to-transit-b")["state"] == "INACTIVE"

    GcpLib.managePeerings(True)
    assert messages(logs) == STAGE_LINES[:3] + [STAGE_LINES[4]]
    [pair_a, pair_b] = saved_pairs(migration)
    assert pair_b == {"localPeeringProperties": record(before, SPOKE, "spoke-to-transit-b"),
                      "remotePeeringProperties": None}
    emu.clear_requests()
    logs.clear()

    GcpLib.managePeerings(False)
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A + RESTORE_B[:2]
    adds = emu.requests_for("compute.networks.addPeering")
    assert [(r.params["project"], r.params["network"], r.body["networkPeering"]["name"])
            for r in adds] == [("tarn-demo", "spoke-vpc", "spoke-to-transit-a"),
                               ("tarn-transit", "transit-a", "transit-a-to-spoke"),
                               ("tarn-demo", "spoke-vpc", "spoke-to-transit-b")]
    assert_same(before, emu.snapshot())


def test_a_failing_transit_side_removal_is_absorbed_and_the_restore_finds_it_in_place(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    emu.faults.fail_request("compute.networks.removePeering", 500, name="transit-b")
    assert GcpLib.managePeerings(True) is None
    [error] = messages(logs, "ERROR")
    assert error.startswith("  **Error** <HttpError 500 ")
    # The stage went on: the migrated side of that peering went all the same.
    assert messages(logs, "INFO") == STAGE_LINES
    during = emu.snapshot()
    assert peering_names(during, TRANSIT_B) == ["spoke-to-transit-b"]
    assert record(during, TRANSIT_B, "spoke-to-transit-b")["state"] == "INACTIVE"
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")

    # The service refuses to re-create the record that never left; the
    # restore finds it on transit-b and finishes.
    logs.clear()
    emu.clear_requests()
    assert GcpLib.managePeerings(False) is None
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A + RESTORE_B + [
        "  peering spoke-to-transit-b already in tarn-transit::transit-b"]
    assert ([r.status for r in emu.requests_for("compute.networks.addPeering")]
            == [200, 200, 200, 400])
    assert methods(emu)[-1] == "compute.networks.get"
    assert_same(before, emu.snapshot())


def test_a_peering_operation_in_progress_is_absorbed_and_restores_run_again_finish(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    emu.faults.peering_in_progress(1)   # refuses the first removal, transit-a's side
    GcpLib.managePeerings(True)
    [error] = messages(logs, "ERROR")
    assert error.startswith("  **Error** <HttpError 400 ") and PEERING_IN_PROGRESS in error
    during = emu.snapshot()
    assert peering_names(during, TRANSIT_A) == ["transit-a-to-spoke"]
    assert peering_names(during, SPOKE) == ["gke-abc123-def4-peer"]
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")

    # The restore re-adds the migrated side of the first pair, finds the
    # transit side still there and goes on with the second pair.
    logs.clear()
    GcpLib.managePeerings(False)
    assert messages(logs) == (["- Restore peerings"] + RESTORE_A
                              + ["  peering transit-a-to-spoke already in tarn-transit::transit-a"]
                              + RESTORE_B)
    assert_same(before, emu.snapshot())
    # Restoring again finds every side in place and changes nothing.
    logs.clear()
    GcpLib.managePeerings(False)
    assert (messages(logs, "INFO")[-1]
            == "  peering spoke-to-transit-b already in tarn-transit::transit-b")
    assert len([m for m in messages(logs) if " already in " in m]) == 4
    assert_same(before, emu.snapshot())


def test_an_interrupted_restore_run_again_finishes(GcpLib, emu, migration, logs):
    """The first restore stops on transit-a's side (the service fails it,
    and transit-a does not hold it): that error is raised. The re-run finds
    the migrated side re-added by the first and completes."""
    before = emu.snapshot()
    GcpLib.managePeerings(True)
    emu.faults.fail_request("compute.networks.addPeering", 503, name="transit-a")
    with pytest.raises(HttpError) as err:
        GcpLib.managePeerings(False)
    assert err.value.status_code == 503
    assert methods(emu)[-2:] == ["compute.networks.addPeering", "compute.networks.get"]
    assert peering_names(emu.snapshot(), SPOKE) == ["gke-abc123-def4-peer", "spoke-to-transit-a"]

    logs.clear()
    GcpLib.managePeerings(False)
    assert messages(logs) == (["- Restore peerings"] + RESTORE_A[:2]
                              + ["  peering spoke-to-transit-a already in tarn-demo::spoke-vpc"]
                              + RESTORE_A[2:] + RESTORE_B)
    assert_same(before, emu.snapshot())


def test_a_failing_removal_operation_is_absorbed(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    # The second removal of the migrated side: spoke-to-transit-b.
    emu.faults.fail_operation("compute.networks.removePeering", 412, "Peering is being modified.",
                              name="spoke-vpc", call=2)
    GcpLib.managePeerings(True)
    assert messages(logs, "ERROR") == [
        "  **Error** {'errors': [{'code': 'CONDITION_NOT_MET', "
        "'message': 'Peering is being modified.'}]}"]
    during = emu.snapshot()
    assert peering_names(during, SPOKE) == ["gke-abc123-def4-peer", "spoke-to-transit-b"]
    assert peering_names(during, TRANSIT_B) == []
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")


def test_held_peering_operations_are_polled_with_one_second_sleeps(GcpLib, emu, migration, sleeps):
    before = emu.snapshot()
    emu.faults.hold_operation(2, "compute.networks.removePeering", name="transit-a-to-spoke")
    GcpLib.managePeerings(True)
    assert sleeps == [1, 1]
    emu.faults.hold_operation(1, "compute.networks.addPeering", times=None)
    GcpLib.managePeerings(False)
    assert sleeps == [1, 1] + [1] * 4
    assert_same(before, emu.snapshot())


def test_peering_stage_dry_run_changes_nothing_but_saves_the_pairs(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    migration.dry_run()
    GcpLib.managePeerings(True)
    assert messages(logs) == STAGE_LINES
    assert changes_asked(emu) == [] and methods(emu) == ["compute.networks.get"] * 3
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")

    logs.clear()
    GcpLib.managePeerings(False)
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A + RESTORE_B
    assert changes_asked(emu) == []
    assert_same(before, emu.snapshot())


def test_restore_without_saved_pairs_does_nothing(GcpLib, emu, migration, logs):
    GcpLib.managePeerings(False)
    assert logs.lines == [] and emu.requests == []
    migration.revert["peerings"][MKEY] = []
    GcpLib.managePeerings(0)
    assert messages(logs) == ["- Restore peerings", "  no peering found"] and emu.requests == []


def test_peering_methods_called_directly(GcpLib, emu, compute, migration, logs):
    before = emu.snapshot()
    found = GcpLib.lookupRemotePeering(compute, "tarn-demo", "spoke-vpc", "tarn-transit",
                                       "transit-a")
    assert ({k: v for k, v in found.items() if k != "stateDetails"}
            == record(before, TRANSIT_A, "transit-a-to-spoke"))
    assert GcpLib.lookupRemotePeering(compute, "tarn-demo", "other-vpc", "tarn-transit",
                                      "transit-a") is None
    # transit-b names its side as the spoke does.
    found = GcpLib.lookupRemotePeering(compute, "tarn-demo", "spoke-vpc", "tarn-transit",
                                       "transit-b")
    assert found["name"] == "spoke-to-transit-b" and found["exportCustomRoutes"] is True

    # A peering that is not there: the refusal is logged, not raised.
    assert GcpLib.deletePeering(compute, "tarn-demo", "spoke-vpc", "no-such-peering") is None
    assert messages(logs)[0] == "  delete peering no-such-peering in tarn-demo::spoke-vpc"
    [error] = messages(logs, "ERROR")
    assert error.startswith("  **Error** <HttpError 400 ") and "no-such-peering" in error
    assert_same(before, emu.snapshot())

    GcpLib.deletePeerings(compute, "tarn-demo", {"vpc_name": "spoke-vpc"})
    pairs = migration.revert["peerings"][MKEY]
    assert len(pairs) == 2
    logs.clear()
    GcpLib.addPeerings(compute, pairs)
    assert messages(logs) == ["- Restore peerings"] + RESTORE_A + RESTORE_B
    assert_same(before, emu.snapshot())


def test_a_re_run_after_a_failed_migrated_side_removal_keeps_the_saved_transit_record(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    # First run: spoke-to-transit-b stays on the migrated VPC, its transit
    # side goes.
    emu.faults.fail_request("compute.networks.removePeering", 500, name="spoke-vpc", call=2)
    GcpLib.managePeerings(True)
    assert peering_names(emu.snapshot(), SPOKE) == ["gke-abc123-def4-peer", "spoke-to-transit-b"]
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")

    # The re-run finds the leftover, whose transit side is gone by now; the
    # transit record saved by the first run must not be lost.
    GcpLib.managePeerings(True)
    assert peering_names(emu.snapshot(), SPOKE) == ["gke-abc123-def4-peer"]
    assert saved_pairs(migration) == expected_pairs(before, "a", "b")
    GcpLib.managePeerings(False)
    assert_same(before, emu.snapshot())
