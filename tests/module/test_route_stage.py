"""The route stage: adding and deleting a stage's routes, restoring them,
and the entry point that chooses between the two."""

import hashlib

import pytest

from testing.fakes import FakeHttpError, FakeService, instance_url

MARKER = "Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"
KEY = "proj-m::vpc-m"


def tsr(*pieces):
    return "tsr-" + hashlib.md5("".join(pieces).encode("utf-8")).hexdigest()


def spec(cidr="10.9.0.0/16", zone="z-a", dest_instance="fw-1", priority=None, name=None):
    return {"cidr": cidr, "zone": zone, "dest_instance": dest_instance, "priority": priority,
            "name": name}


def resource(name):
    return {"name": name, "destRange": f"10.{len(name)}.0.0/16", "selfLink": f"link/{name}"}


@pytest.fixture
def stage_run(run, logs):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    run.service.on("routes.get", lambda project, route: resource(route))
    run.service.on("instances.get", lambda project, zone, instance: {
        "selfLink": instance_url(project, zone, instance)})
    return run


def record(run, stage="s1"):
    return run.revert["manage_routes"][stage][KEY]


def test_no_config_touches_nothing(GcpLib, run, logs):
    assert GcpLib.manageRoute(run.service, None, "s1") is None
    assert logs.lines == [("INFO", "- Manage route(s) s1"), ("INFO", "  No route config found!")]
    assert run.service.log == [] and run.events == [] and run.revert["manage_routes"] == {}


def test_empty_config_stores_empty_record(GcpLib, stage_run, logs):
    GcpLib.manageRoute(stage_run.service, {}, 7)
    assert logs.lines == [("INFO", "- Manage route(s) 7")]
    assert stage_run.revert["manage_routes"][7] == {
        KEY: {"deleted_route_list": [], "added_route_list": []}}


@pytest.mark.parametrize("project, vpc, s, key_tail", [
    ("proj-m", "vpc-m", spec(), "None"),
    ("proj-m", "vpc-m", spec(priority=500), "500"),
    ("prøj", "vpc-é", spec(cidr="10.0.0.0/8", zone="ü-1", dest_instance="gw"), "None"),
])
def test_generated_names_are_md5_of_the_route_key(GcpLib, stage_run, project, vpc, s, key_tail):
    stage_run.plan.update(project_id=project, vpc_name=vpc)
    GcpLib.manageRoute(stage_run.service, {"add": [s]}, "s1")
    expected = tsr(project, vpc, s["cidr"], s["zone"], s["dest_instance"], key_tail)
    assert len(expected) == 36
    (_, kw), = stage_run.service.executed("routes.insert")
    assert kw["body"]["name"] == expected
    assert (stage_run.revert["manage_routes"]["s1"][f"{project}::{vpc}"]["added_route_list"]
            == [expected])


@pytest.mark.parametrize("priority, name", [(None, None), (500, None), (None, "my-route"),
                                            (0, "r0")])
def test_insert_body_and_overrides(GcpLib, stage_run, logs, priority, name):
    s = spec(priority=priority, name=name)
    GcpLib.manageRoute(stage_run.service, {"add": [s]}, "s1")
    final_name = name if name is not None else tsr("proj-m", "vpc-m", "10.9.0.0/16", "z-a",
                                                   "fw-1", str(priority))
    final_priority = 1000 if priority is None else priority
    assert stage_run.service.executed_names() == [
        "instances.get", "routes.insert", "globalOperations.wait"]
    assert stage_run.service.executed("instances.get")[0][1] == {
        "project": "proj-m", "zone": "z-a", "instance": "fw-1"}
    (_, kw), = stage_run.service.executed("routes.insert")
    assert kw["project"] == "proj-m"
    assert list(kw["body"].items()) == [
        ("destRange", "10.9.0.0/16"), ("nextHopInstance", instance_url("proj-m", "z-a", "fw-1")),
        ("priority", final_priority), ("name", final_name),
        ("network", stage_run.networkLink), ("description", MARKER),
    ]
    assert logs.lines[-1] == (
        "INFO", f"  add route 10.9.0.0/16 to fw-1 priority {final_priority} name {final_name}")
    assert record(stage_run)["added_route_list"] == [final_name]


def test_same_spec_twice_refused_second_insert(GcpLib, stage_run, logs):
    inserted = []

    def insert(project, body):
        if body["name"] in inserted:
            raise FakeHttpError(409, "already exists")
        inserted.append(body["name"])
        return {"name": f"op-{len(inserted)}"}

    stage_run.service.on("routes.insert", insert)
    GcpLib.manageRoute(stage_run.service, {"add": [spec(), spec(priority=10), spec()]}, "s1")
    assert len(set(inserted)) == 2
    assert record(stage_run)["added_route_list"] == inserted
    assert logs.lines[-1] == ("ERROR", "  **Error** <HttpError 409: already exists>")


def test_delete_then_add_requests_and_record(GcpLib, stage_run, logs):
    GcpLib.manageRoute(stage_run.service, {"delete": ["r1", "r2"], "add": [spec()]}, "s1")
    assert stage_run.service.executed_names() == [
        "routes.get", "routes.delete", "globalOperations.wait",
        "routes.get", "routes.delete", "globalOperations.wait",
        "instances.get", "routes.insert", "globalOperations.wait",
    ]
    assert stage_run.service.executed("routes.delete")[1][1] == {"project": "proj-m", "route": "r2"}
    assert stage_run.service.executed("globalOperations.wait")[0][1] == {
        "project": "proj-m", "operation": "operation-1"}
    assert logs.messages[1:3] == ["  delete route r1", "  delete route r2"]
    assert list(record(stage_run)) == ["deleted_route_list", "added_route_list"]
    assert record(stage_run)["deleted_route_list"] == [resource("r1"), resource("r2")]
    assert stage_run.count("revert_info") == 1
    assert stage_run.count("dry_run") == 3


def wait_fails(service, ops):
    for op in ops:
        service.operation_extra[op] = {"error": {"errors": ["boom"]}}


# Each case: config, failure set-up, error text, deleted names, added count.
GUARD_CASES = {
    "fetch": ({"delete": ["r1", "r2"]},
              lambda s: s.fail("routes.get", FakeHttpError(404, "r1"),
                               when=lambda kw: kw["route"] == "r1"),
              "<HttpError 404: r1>", ["r2"], 0),
    "delete": ({"delete": ["r1", "r2"]},
               lambda s: s.fail("routes.delete", FakeHttpError(500, "x"),
                                when=lambda kw: kw["route"] == "r1"),
               "<HttpError 500: x>", ["r1", "r2"], 0),
    "delete wait": ({"delete": ["r1"]}, lambda s: wait_fails(s, ["operation-1"]),
                    "{'errors': ['boom']}", ["r1"], 0),
    "instance": ({"add": [spec(), spec(dest_instance="fw-2")]},
                 lambda s: s.fail("instances.get", FakeHttpError(404, "fw"),
                                  when=lambda kw: kw["instance"] == "fw-1"),
                 "<HttpError 404: fw>", [], 1),
    "insert": ({"add": [spec(), spec(priority=1)]},
               lambda s: s.fail("routes.insert", FakeHttpError(400, "bad"),
                                when=lambda kw: kw["body"]["priority"] == 1000),
               "<HttpError 400: bad>", [], 1),
    # An accepted insert is recorded before its wait, which may fail while
    # the service goes on to create the route.
    "insert wait": ({"add": [spec(), spec(priority=1)]}, lambda s: wait_fails(s, ["operation-1"]),
                    "{'errors': ['boom']}", [], 2),
    "missing key": ({"add": [{"cidr": "c"}, spec()]}, lambda s: None, "'zone'", [], 1),
    "non-str key": ({"add": [spec(cidr=10), spec()]}, lambda s: None,
                    'can only concatenate str (not "int") to str', [], 1),
}


@pytest.mark.parametrize("case", GUARD_CASES)
def test_guard_logs_and_goes_on(GcpLib, stage_run, logs, case):
    config, setup, text, deleted, added = GUARD_CASES[case]
    setup(stage_run.service)
    GcpLib.manageRoute(stage_run.service, config, "s1")
    errors = [line for line in logs.lines if line[0] == "ERROR"]
    assert errors == [("ERROR", "  **Error** " + text)]
    assert [r["name"] for r in record(stage_run)["deleted_route_list"]] == deleted
    assert len(record(stage_run)["added_route_list"]) == added


def test_dry_run_reads_and_records_but_changes_nothing(GcpLib, stage_run, logs):
    config = {"delete": ["r1"], "add": [spec(), spec(priority=3, name="n")]}
    GcpLib.manageRoute(stage_run.service, config, "s1")
    real = record(stage_run)
    real_logs = logs.messages
    stage_run.revert["manage_routes"] = {}
    stage_run.service.log.clear()
    logs.clear()
    stage_run.dry_run = 1
    GcpLib.manageRoute(stage_run.service, config, "s1")
    assert stage_run.service.executed_names() == ["routes.get", "instances.get", "instances.get"]
    assert record(stage_run) == real and logs.messages == real_logs


# ---------------------------------------------------------------------------
# Restore

def stored(run, added, deleted, stage="s1"):
    run.revert["manage_routes"] = {
        stage: {KEY: {"added_route_list": added, "deleted_route_list": deleted}}}


@pytest.mark.parametrize("manage_routes", [{}, {"s2": {KEY: {}}}, {"s1": {"other::vpc": {}}}])
def test_restore_without_record(GcpLib, stage_run, logs, manage_routes):
    stage_run.revert["manage_routes"] = manage_routes
    assert GcpLib.restoreRoute(stage_run.service, "s1") is None
    assert logs.lines == [("INFO", "- Restore route(s) s1"), ("INFO", "  Done")]
    assert stage_run.service.log == []


def test_restore_removes_added_before_reinserting_deleted(GcpLib, stage_run, logs):
    stored(stage_run, ["tsr-a", "tsr-b"], [resource("r1")])
    for _ in range(2):  # the record stays, so a second restore repeats it
        service = FakeService()
        logs.clear()
        GcpLib.restoreRoute(service, "s1")
        assert service.executed() == [
            ("routes.delete", {"project": "proj-m", "route": "tsr-a"}),
            ("globalOperations.wait", {"project": "proj-m", "operation": "operation-1"}),
            ("routes.delete", {"project": "proj-m", "route": "tsr-b"}),
            ("globalOperations.wait", {"project": "proj-m", "operation": "operation-2"}),
            ("routes.insert", {"project": "proj-m", "body": resource("r1")}),
            ("globalOperations.wait", {"project": "proj-m", "operation": "operation-3"}),
        ]
        assert logs.messages == [
            "- Restore route(s) s1", "  remove route tsr-a", "  remove route tsr-b",
            "  restore route 10.2.0.0/16", "  Done"]
    assert stage_run.count("revert_info") == 10


def test_restore_alerts_at_info_and_goes_on(GcpLib, stage_run, logs):
    stored(stage_run, ["gone", "tsr-b"], [{"name": "no-range"}, resource("r1")])
    stage_run.service.fail("routes.delete", FakeHttpError(404, "gone"),
                           when=lambda kw: kw["route"] == "gone")
    GcpLib.restoreRoute(stage_run.service, "s1")
    assert ("INFO", "  **Alert** <HttpError 404: gone>") in logs.lines
    assert ("INFO", "  **Alert** 'destRange'") in logs.lines
    assert not [line for line in logs.lines if line[0] != "INFO"]
    assert ([n for n, _ in stage_run.service.mutations()]
            == ["routes.delete", "routes.delete", "routes.insert"])


def test_restore_dry_run(GcpLib, stage_run, logs):
    stored(stage_run, ["tsr-a"], [resource("r1")])
    stage_run.dry_run = True
    GcpLib.restoreRoute(stage_run.service, "s1")
    assert stage_run.service.log == []
    assert logs.messages == [
        "- Restore route(s) s1", "  remove route tsr-a", "  restore route 10.2.0.0/16", "  Done"]


def test_restore_needs_manage_routes(GcpLib, stage_run, logs):
    del stage_run.revert["manage_routes"]
    with pytest.raises(KeyError):
        GcpLib.restoreRoute(stage_run.service, "s1")
    assert "  Done" not in logs.messages


# ---------------------------------------------------------------------------
# Entry point

@pytest.fixture
def recording(GcpLib):
    calls = []

    class Sub(GcpLib):
        @classmethod
        def manageRoute(cls, service, manage_routes, stage):
            calls.append(("manage", service, manage_routes, stage))

        @classmethod
        def restoreRoute(cls, service, stage):
            calls.append(("restore", service, stage))

    return Sub, calls


@pytest.mark.parametrize("request_, plan, expected", [
    (False, None, []),
    (True, None, []),
    (True, {"s2": {}}, []),
    (True, {"s1": None}, [("manage", None, "s1")]),
    (True, {"s1": {"add": []}}, [("manage", {"add": []}, "s1")]),
    ("yes", {"s1": {}}, [("manage", {}, "s1")]),
    (0, {}, [("restore", "s1")]),
    ("", {"s1": {}}, [("restore", "s1")]),
    (None, {"s9": {}}, [("restore", "s1")]),
])
def test_switch_route_branches(recording, run, logs, request_, plan, expected):
    Sub, calls = recording
    run.plan["manage_routes"] = plan
    assert Sub.manageSwitchRoute(request_, "s1") is None
    assert [(c[0], *c[2:]) for c in calls] == expected
    assert all(c[1] is run.service for c in calls)
    assert run.events[0] == ("context", "manage_routes")
    assert run.events[1:] == ([] if plan is None else [("attr", "service")])
    assert logs.lines == []


def test_switch_route_reaches_the_stage(GcpLib, stage_run, logs):
    stage_run.plan["manage_routes"] = {"s1": None}
    GcpLib.manageSwitchRoute(True, "s1")
    assert logs.messages == ["- Manage route(s) s1", "  No route config found!"]
