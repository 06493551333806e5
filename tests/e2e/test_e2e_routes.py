"""The route stage of the sample plan and its restore, through the real
client against the emulator: round trips, re-runs, injected faults, held
operations and dry runs."""

import copy
import hashlib
import types

import pytest

from tarn_gcp.emulator import API_ROOT

from e2e_helpers import (MARKER, MKEY, SPOKE_LINK, assert_same, changed, changes_asked,
                         load_plan, messages, methods, route_path)
from testing.emulators import finish

PLAN = load_plan()
STAGES = sorted(PLAN["manage_routes"])
VOLATILE = ("id", "creationTimestamp")


def added_name(spec):
    """The name the stage gives the route of one spec."""
    if spec["name"] is not None:
        return spec["name"]
    key = ("tarn-demo" + "spoke-vpc" + spec["cidr"] + spec["zone"] + spec["dest_instance"]
           + str(spec["priority"]))
    return "tsr-" + hashlib.md5(key.encode("utf-8")).hexdigest()


def config(stage):
    return PLAN["manage_routes"][stage]


def add_lines(stage):
    return ["  add route %s to %s priority %s name %s" % (
        s["cidr"], s["dest_instance"], 1000 if s["priority"] is None else s["priority"],
        added_name(s))
        for s in config(stage)["add"]]


def record(migration, stage):
    return migration.revert["manage_routes"][stage][MKEY]


def touched(stage):
    """The route paths the stage deletes or adds."""
    return sorted(route_path(n) for n in config(stage)["delete"]
                  + [added_name(s) for s in config(stage)["add"]])


def restore_lines(stage, before):
    return (["- Restore route(s) " + stage]
            + ["  remove route " + added_name(s) for s in config(stage)["add"]]
            + ["  restore route " + before[route_path(n)]["destRange"]
               for n in config(stage)["delete"]]
            + ["  Done"])


@pytest.mark.parametrize("stage", STAGES)
def test_route_stage_then_restore_gives_back_the_route_table(GcpLib, emu, migration, logs, stage):
    before = emu.snapshot()
    assert GcpLib.manageSwitchRoute(True, stage) is None
    during = emu.snapshot()

    assert changed(before, during) == touched(stage)
    for name in config(stage)["delete"]:
        assert route_path(name) not in during
    for spec in config(stage)["add"]:
        route = during[route_path(added_name(spec))]
        assert route == {
            "kind": "compute#route", "name": added_name(spec), "description": MARKER,
            "network": SPOKE_LINK, "destRange": spec["cidr"], "priority": spec["priority"] or 1000,
            "nextHopInstance": API_ROOT + "projects/tarn-demo/zones/%s/instances/%s" % (
                spec["zone"], spec["dest_instance"]),
            "routeType": "STATIC", "routeStatus": "ACTIVE",
            "selfLink": API_ROOT + route_path(added_name(spec))}
    assert messages(logs) == (["- Manage route(s) " + stage]
                              + ["  delete route " + n for n in config(stage)["delete"]]
                              + add_lines(stage))
    # Each change is awaited before the next request.
    assert methods(emu) == (["compute.routes.get", "compute.routes.delete",
                             "compute.globalOperations.wait"] * len(config(stage)["delete"])
                            + ["compute.instances.get", "compute.routes.insert",
                               "compute.globalOperations.wait"] * len(config(stage)["add"]))
    # The bodies on the wire carry the Route fields the API knows, nothing else.
    assert [list(r.body) for r in emu.requests if r.method == "compute.routes.insert"] == [
        ["destRange", "nextHopInstance", "priority", "name", "network", "description"]
    ] * len(config(stage)["add"])
    saved = record(migration, stage)
    assert [{k: v for k, v in r.items() if k not in VOLATILE}
            for r in saved["deleted_route_list"]] == [before[route_path(n)]
                                                      for n in config(stage)["delete"]]
    assert saved["added_route_list"] == [added_name(s) for s in config(stage)["add"]]

    logs.clear()
    assert GcpLib.manageSwitchRoute(False, stage) is None
    assert messages(logs) == restore_lines(stage, before)
    assert_same(before, emu.snapshot())


@pytest.mark.parametrize("stage", STAGES)
def test_route_stage_run_twice_keeps_the_first_record_and_restores(
        GcpLib, emu, migration, logs, stage):
    before = emu.snapshot()
    GcpLib.manageSwitchRoute(True, stage)
    first = copy.deepcopy(record(migration, stage))
    during = emu.snapshot()
    logs.clear()

    GcpLib.manageSwitchRoute(True, stage)
    # The deleted routes are gone (404) and the added ones exist (409): every
    # element fails, is logged, and the record keeps what the first run saved.
    errors = messages(logs, "ERROR")
    assert len(errors) == len(config(stage)["delete"]) + len(config(stage)["add"])
    assert all(e.startswith("  **Error** <HttpError ") for e in errors)
    assert ["404" in e for e in errors] == [True] * len(config(stage)["delete"]) + [False] * len(
        config(stage)["add"])
    assert all("409" in e for e in errors[len(config(stage)["delete"]):])
    assert record(migration, stage) == first
    assert_same(during, emu.snapshot())

    GcpLib.manageSwitchRoute(False, stage)
    assert_same(before, emu.snapshot())


def test_a_failing_route_delete_is_logged_and_the_restore_finds_the_route_in_place(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    emu.faults.fail_request("compute.routes.delete", 500, name="spoke-onprem-backup")
    GcpLib.manageSwitchRoute(True, "stage1")

    [error] = messages(logs, "ERROR")
    assert error.startswith("  **Error** <HttpError 500 ") and "Injected failure" in error
    # The stage went on with the additions; the route was fetched, so the
    # record holds it although it was not deleted.
    during = emu.snapshot()
    assert (changed(before, during)
            == sorted(route_path(added_name(s)) for s in config("stage1")["add"]))
    assert ([r["name"] for r in record(migration, "stage1")["deleted_route_list"]]
            == ["spoke-onprem-backup"])

    logs.clear()
    GcpLib.manageSwitchRoute(False, "stage1")
    # Re-inserting the route that never left is refused and only alerted.
    [alert] = [m for m in messages(logs) if "**Alert**" in m]
    assert alert.startswith("  **Alert** <HttpError 409 ")
    assert ("INFO", alert) in logs.lines
    assert_same(before, emu.snapshot())


def fail_insert_request(emu):
    emu.faults.fail_request("compute.routes.insert", 503, name="spoke-transit-a-via-appliance")
    return "  **Error** <HttpError 503 "


def fail_insert_operation(emu):
    emu.faults.fail_operation("compute.routes.insert", 403, "Quota ROUTES exceeded.",
                              name="spoke-transit-a-via-appliance")
    return ("  **Error** {'errors': [{'code': 'PERMISSION_DENIED', "
            "'message': 'Quota ROUTES exceeded.'}]}")


def fail_instance_lookup(emu):
    # The lookup of the first spec whose next hop is in us-central1.
    emu.faults.fail_request("compute.instances.get", 404, name="router-appliance-usc1")
    return "  **Error** <HttpError 404 "


@pytest.mark.parametrize("fault,failing", [
    (fail_insert_request, 2), (fail_insert_operation, 2), (fail_instance_lookup, 1)])
def test_a_failing_route_addition_is_logged_and_the_stage_goes_on(
        GcpLib, emu, migration, logs, fault, failing):
    before = emu.snapshot()
    error_start = fault(emu)
    GcpLib.manageSwitchRoute(True, "stage1")

    [error] = messages(logs, "ERROR")
    assert error.startswith(error_start)
    specs = config("stage1")["add"]
    created = [added_name(s) for i, s in enumerate(specs) if i != failing]
    # A refused insert, or one never sent, is left out of the record; an
    # accepted one is recorded even though its operation failed.
    accepted = fault is fail_insert_operation
    assert record(migration, "stage1")["added_route_list"] == [
        added_name(s) for i, s in enumerate(specs) if i != failing or accepted]
    during = emu.snapshot()
    assert changed(before, during) == sorted([route_path("spoke-onprem-backup")]
                                             + [route_path(n) for n in created])
    assert [m for m in messages(logs) if m.startswith("  add route ")] == [
        line for i, line in enumerate(add_lines("stage1"))
        if i != failing or fault is not fail_instance_lookup]

    logs.clear()
    GcpLib.manageSwitchRoute(False, "stage1")
    # The route that never came is only alerted, at info level.
    alerts = [m for m in messages(logs) if "**" in m]
    if accepted:
        [alert] = alerts
        assert alert.startswith("  **Alert** <HttpError 404 ") and alert in messages(logs, "INFO")
    else:
        assert alerts == []
    assert_same(before, emu.snapshot())


@pytest.mark.parametrize("wait_fault", ["request", "interrupt"])
def test_an_insert_whose_wait_fails_is_recorded_and_the_restore_deletes_it(
        GcpLib, gcplib, emu, compute, migration, logs, wait_fault):
    """The wait of an accepted insert fails (or is interrupted): the name is
    recorded all the same, so the route the service goes on to create is
    deleted by the restore."""
    before = emu.snapshot()
    first = added_name(config("stage1")["add"][0])
    if wait_fault == "request":
        # Waits: the deletion's, then the first insert's.
        emu.faults.fail_request("compute.globalOperations.wait", 500, call=2)
        GcpLib.manageSwitchRoute(True, "stage1")
        [error] = messages(logs, "ERROR")
        assert error.startswith("  **Error** <HttpError 500 ")
        [failed] = [r for r in emu.requests
                    if r.method == "compute.globalOperations.wait" and r.status == 500]
        operation = failed.params["operation"]
    else:
        # The insert's operation is still running at the first poll, and
        # Ctrl-C comes during the one-second sleep that follows.
        emu.faults.hold_operation(1, "compute.routes.insert", name=first)

        def interrupt(seconds):
            raise KeyboardInterrupt
        with pytest.MonkeyPatch.context() as patch, pytest.raises(KeyboardInterrupt):
            patch.setattr(gcplib, "time", types.SimpleNamespace(sleep=interrupt))
            GcpLib.manageSwitchRoute(True, "stage1")
        assert methods(emu)[-2:] == ["compute.routes.insert", "compute.globalOperations.wait"]
        operation = emu.requests[-1].params["operation"]
    assert first in record(migration, "stage1")["added_route_list"]
    # The service carries the accepted insert out (here: once it is polled).
    assert "error" not in finish(compute, {"name": operation}, "tarn-demo")[0]
    assert route_path(first) in emu.snapshot()

    GcpLib.manageSwitchRoute(False, "stage1")
    assert_same(before, emu.snapshot())


class Interrupting(dict):
    """A route spec whose reading is interrupted (as by Ctrl-C)."""

    def __getitem__(self, key):
        raise KeyboardInterrupt


def test_an_interrupted_stage_keeps_the_record_of_what_it_changed(GcpLib, emu, migration, logs):
    before = emu.snapshot()
    plan = load_plan()
    plan["manage_routes"]["stage1"]["add"].insert(1, Interrupting())
    migration.use_plan(plan)
    with pytest.raises(KeyboardInterrupt):
        GcpLib.manageSwitchRoute(True, "stage1")
    first = added_name(config("stage1")["add"][0])
    saved = record(migration, "stage1")
    assert [r["name"] for r in saved["deleted_route_list"]] == ["spoke-onprem-backup"]
    assert saved["added_route_list"] == [first]
    assert (changed(before, emu.snapshot())
            == sorted([route_path("spoke-onprem-backup"), route_path(first)]))

    GcpLib.manageSwitchRoute(False, "stage1")
    assert_same(before, emu.snapshot())


def test_a_failing_restore_delete_is_alerted_and_a_second_restore_finishes(
        GcpLib, emu, migration, logs):
    before = emu.snapshot()
    GcpLib.manageSwitchRoute(True, "stage1")
    first = added_name(config("stage1")["add"][0])
    emu.faults.fail_request("compute.routes.delete", 500, name=first)
    logs.clear()

    GcpLib.manageSwitchRoute(False, "stage1")
    alerts = [(lvl, m) for lvl, m in logs.lines if "**Alert**" in m]
    assert ([lvl for lvl, _ in alerts] == ["INFO"]
            and alerts[0][1].startswith("  **Alert** <HttpError 500 "))
    assert messages(logs)[-1] == "  Done"
    assert changed(before, emu.snapshot()) == [route_path(first)]

    # The record stays: a second restore repeats every request; what is
    # already restored is refused and alerted, the leftover route goes.
    logs.clear()
    GcpLib.manageSwitchRoute(False, "stage1")
    assert (len([m for m in messages(logs) if m.startswith("  **Alert** ")])
            == len(config("stage1")["add"]))
    assert_same(before, emu.snapshot())


def test_held_route_operations_are_polled_with_one_second_sleeps(GcpLib, emu, migration, sleeps):
    before = emu.snapshot()
    emu.faults.hold_operation(2, "compute.routes.insert", name="spoke-transit-a-via-appliance")
    emu.faults.hold_operation(1, "compute.routes.delete", name="spoke-onprem-backup")
    GcpLib.manageSwitchRoute(True, "stage1")
    assert sleeps == [1, 1, 1]
    assert (methods(emu, "globalOperations.wait").count("compute.globalOperations.wait")
            == 1 + 1 + 4 + 2)
    assert changed(before, emu.snapshot()) == touched("stage1")

    emu.faults.hold_operation(1, "compute.routes.insert", name="spoke-onprem-backup")
    GcpLib.manageSwitchRoute(False, "stage1")
    assert sleeps == [1, 1, 1, 1]
    assert_same(before, emu.snapshot())


@pytest.mark.parametrize("stage", STAGES)
def test_route_stage_dry_run_changes_nothing_and_records_what_a_real_run_records(
        GcpLib, emu, migration, logs, stage):
    before = emu.snapshot()
    migration.dry_run()
    GcpLib.manageSwitchRoute(True, stage)
    assert changes_asked(emu) == []
    assert methods(emu) == (["compute.routes.get"] * len(config(stage)["delete"])
                            + ["compute.instances.get"] * len(config(stage)["add"]))
    assert_same(before, emu.snapshot())
    dry_lines, dry_record = messages(logs), copy.deepcopy(record(migration, stage))

    # A dry restore after the dry stage sends nothing either.
    logs.clear()
    GcpLib.manageSwitchRoute(False, stage)
    assert messages(logs) == restore_lines(stage, before)
    assert changes_asked(emu) == []
    assert_same(before, emu.snapshot())

    # The real run that follows logs the same and, merged into the dry
    # record, leaves it as a real run alone would have written it.
    migration.dry_run(False)
    logs.clear()
    GcpLib.manageSwitchRoute(True, stage)
    assert messages(logs) == dry_lines and record(migration, stage) == dry_record
    assert changed(before, emu.snapshot()) == touched(stage)
    GcpLib.manageSwitchRoute(False, stage)
    assert_same(before, emu.snapshot())


def test_dry_restore_after_a_real_stage_sends_nothing(GcpLib, emu, migration, logs):
    GcpLib.manageSwitchRoute(True, "stage1")
    during = emu.snapshot()
    emu.clear_requests()
    migration.dry_run()
    GcpLib.manageSwitchRoute(False, "stage1")
    assert emu.requests == []
    assert_same(during, emu.snapshot())


def test_manage_and_restore_route_called_directly_for_a_stage_outside_the_plan(
        GcpLib, emu, compute, migration, logs):
    before = emu.snapshot()
    spec = {"cidr": "172.30.0.0/16", "zone": "europe-west1-b",
            "dest_instance": "router-appliance-euw1", "priority": 500, "name": None}
    routes = {"delete": ["spoke-partner-euw1", "no-such-route"], "add": [spec, dict(spec)]}
    assert GcpLib.manageRoute(compute, routes, "hotfix") is None
    name = added_name(spec)
    # The same spec twice names one route: the second insert is refused and
    # the name stands once in the record.
    errors = messages(logs, "ERROR")
    assert len(errors) == 2 and "404" in errors[0] and "409" in errors[1]
    assert migration.revert["manage_routes"]["hotfix"][MKEY]["added_route_list"] == [name]
    assert (changed(before, emu.snapshot())
            == sorted([route_path(name), route_path("spoke-partner-euw1")]))
    assert emu.snapshot()[route_path(name)]["priority"] == 500

    assert GcpLib.restoreRoute(compute, "hotfix") is None
    assert_same(before, emu.snapshot())

    # No configuration, or a stage the plan does not name: nothing is asked.
    emu.clear_requests()
    logs.clear()
    GcpLib.manageRoute(compute, None, "hotfix")
    GcpLib.manageSwitchRoute(True, "stage9")
    assert messages(logs) == ["- Manage route(s) hotfix", "  No route config found!"]
    assert emu.requests == [] and "stage9" not in migration.revert["manage_routes"]


def test_wait_for_global_operation_returns_the_done_record_or_raises_its_error(
        GcpLib, emu, compute, sleeps):
    body = {"name": "probe", "network": SPOKE_LINK, "destRange": "10.77.0.0/16",
            "nextHopIp": "10.10.0.9"}
    emu.faults.hold_operation(2, "compute.routes.insert", name="probe")
    op = compute.routes().insert(project="tarn-demo", body=body).execute()
    done = GcpLib.wait_for_global_operation(compute, "tarn-demo", op["name"])
    assert type(done) is dict and done["status"] == "DONE" and done["name"] == op["name"]
    assert sleeps == [1, 1] and route_path("probe") in emu.snapshot()

    emu.faults.fail_operation("compute.routes.delete", 412, "Route is in use.", name="probe")
    op = compute.routes().delete(project="tarn-demo", route="probe").execute()
    with pytest.raises(Exception) as err:
        GcpLib.wait_for_global_operation(compute, "tarn-demo", op["name"])
    assert type(err.value) is Exception
    assert err.value.args == (
        {"errors": [{"code": "CONDITION_NOT_MET", "message": "Route is in use."}]},)
    assert route_path("probe") in emu.snapshot()
