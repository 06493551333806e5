"""The route revert record across re-runs and failures, and a stage followed
by its restore on a service whose route table follows the changes."""

import copy
import hashlib
import sys

import pytest

from testing.fakes import FakeHttpError, FakeService, instance_url

KEY = "proj-m::vpc-m"


def spec(cidr="10.9.0.0/16", dest_instance="fw-1", priority=None, name=None):
    return {"cidr": cidr, "zone": "z-a", "dest_instance": dest_instance, "priority": priority,
            "name": name}


def tsr_of(s):
    key = "proj-m" + "vpc-m" + s["cidr"] + s["zone"] + s["dest_instance"] + str(s["priority"])
    return "tsr-" + hashlib.md5(key.encode("utf-8")).hexdigest()


class RouteTable(FakeService):
    """A service whose routes get, delete and insert follow one table."""

    def __init__(self, routes):
        super().__init__()
        self.table = {r["name"]: r for r in copy.deepcopy(routes)}
        self.on("routes.get", self._get)
        self.on("routes.delete", self._delete)
        self.on("routes.insert", self._insert)
        self.on("instances.get",
                lambda project, zone, instance: {"selfLink": instance_url(project, zone, instance)})

    def _get(self, project, route):
        if route not in self.table:
            raise FakeHttpError(404, f"route {route} not found")
        return copy.deepcopy(self.table[route])

    def _delete(self, project, route):
        if self.table.pop(route, None) is None:
            raise FakeHttpError(404, f"route {route} not found")
        return {"name": f"op-delete-{route}"}

    def _insert(self, project, body):
        if body["name"] in self.table:
            raise FakeHttpError(409, f"route {body['name']} already exists")
        self.table[body["name"]] = copy.deepcopy(body)
        return {"name": f"op-insert-{body['name']}"}


ROUTES = [{"name": n, "destRange": f"10.{i}.0.0/16", "priority": 100 + i,
           "nextHopIp": f"10.{i}.0.1"}
          for i, n in enumerate(["r1", "r2", "r3", "r4"])]


@pytest.fixture
def stage_run(run, logs):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    run.service = RouteTable(ROUTES)
    return run


def record(run, stage="s1"):
    return run.revert["manage_routes"][stage][KEY]


CONFIG_1 = {"delete": ["r1", "r2"], "add": [spec(), spec(priority=50, name="mine")]}
CONFIG_2 = {"delete": ["r2", "r3"], "add": [spec(), spec(cidr="10.8.0.0/16")]}


@pytest.mark.parametrize("plans", [[CONFIG_1], [CONFIG_1, CONFIG_1], [CONFIG_1, CONFIG_2]])
def test_stage_then_restore_leaves_the_table_as_it_was(GcpLib, stage_run, plans):
    before = copy.deepcopy(stage_run.service.table)
    stage_run.plan["manage_routes"] = {"s1": None}
    for config in plans:
        stage_run.plan["manage_routes"]["s1"] = config
        GcpLib.manageSwitchRoute(True, "s1")
    assert stage_run.service.table != before
    GcpLib.manageSwitchRoute(False, "s1")
    assert stage_run.service.table == before


def test_rerun_merges_into_the_stored_record(GcpLib, stage_run):
    old_r2 = {"name": "r2", "destRange": "old"}
    nameless = {"destRange": "10.99.0.0/16"}
    kept_deleted = [{"name": "r9", "destRange": "x"}, old_r2, nameless]
    kept_added = ["n1", tsr_of(spec())]
    stored = {"deleted_route_list": kept_deleted, "added_route_list": kept_added}
    stage_run.revert["manage_routes"]["s1"] = {KEY: stored}
    GcpLib.manageRoute(stage_run.service,
                       {"delete": ["r2", "r3"], "add": [spec(), spec(name="n3")]}, "s1")
    assert record(stage_run) is stored
    assert stored["deleted_route_list"] is kept_deleted and stored["added_route_list"] is kept_added
    assert kept_deleted == [{"name": "r9", "destRange": "x"}, ROUTES[1], nameless, ROUTES[2]]
    # the first spec's insert is refused (it exists from the stored run); its name stands once
    assert kept_added == ["n1", tsr_of(spec()), "n3"]


class Interrupt(KeyboardInterrupt):
    pass


def failing_names():
    yield "r1"
    raise ValueError("plan broken")


# Each case: config, failure set-up, deleted names, added names.
EXIT_CASES = {
    "add not iterable": (lambda: {"delete": ["r1"], "add": 5}, None, ["r1"], []),
    "delete iteration": (lambda: {"delete": failing_names()}, None, ["r1"], []),
    "interrupt on insert": (lambda: {"delete": ["r1"], "add": [spec(name="a"), spec(name="b")]},
                            ("routes.insert", lambda kw: kw["body"]["name"] == "b"), ["r1"], ["a"]),
    "interrupt on get": (lambda: {"delete": ["r1", "r2"]},
                         ("routes.get", lambda kw: kw["route"] == "r2"), ["r1"], []),
    "interrupt in an insert's wait": (
        lambda: {"delete": ["r1"], "add": [spec(name="a"), spec(name="b")]},
        ("globalOperations.wait", lambda kw: kw["operation"] == "op-insert-b"),
        ["r1"], ["a", "b"]),
}


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("case", EXIT_CASES)
def test_record_is_stored_when_an_error_ends_the_call(GcpLib, stage_run, case, existing):
    config, failure, deleted, added = EXIT_CASES[case]
    error = Interrupt()
    if failure:
        stage_run.service.fail(failure[0], error, when=failure[1])
    if existing:
        stage_run.revert["manage_routes"]["s1"] = {
            KEY: {"deleted_route_list": [ROUTES[3]], "added_route_list": ["z"]}}
    with pytest.raises(BaseException) as raised:
        GcpLib.manageRoute(stage_run.service, config(), "s1")
    if failure:
        assert raised.value is error
    else:
        assert type(raised.value) in (TypeError, ValueError)
    prior_deleted, prior_added = ([ROUTES[3]], ["z"]) if existing else ([], [])
    assert (record(stage_run)["deleted_route_list"]
            == prior_deleted + [r for r in ROUTES if r["name"] in deleted])
    assert record(stage_run)["added_route_list"] == prior_added + added


def test_a_failing_store_does_not_hide_the_error(GcpLib, stage_run, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    stage_run.revert = None  # storing fails: `in` on None
    error = Interrupt()
    stage_run.service.fail("routes.get", error)
    with pytest.raises(Interrupt) as raised:
        GcpLib.manageRoute(stage_run.service, {"delete": ["r1"]}, "s1")
    assert raised.value is error and raised.value.__context__ is None
    assert [type(u.exc_value) for u in unraisable] == [TypeError]
    # with nothing else to report, the storing error is the call's error
    with pytest.raises(TypeError):
        GcpLib.manageRoute(stage_run.service, {}, "s1")


@pytest.mark.parametrize("revert", [{"peerings": {}}, {"manage_routes": {"s0": {}}}])
def test_missing_containers_are_created(GcpLib, stage_run, revert):
    stage_run.revert = revert
    GcpLib.manageRoute(stage_run.service, {"delete": ["r1"]}, "s1")
    assert revert["manage_routes"]["s1"] == {
        KEY: {"deleted_route_list": [ROUTES[0]], "added_route_list": []}}
    assert revert["manage_routes"].get("s0", {}) == {}


@pytest.mark.parametrize("created", [True, False], ids=["service-completes", "operation-fails"])
def test_an_accepted_insert_whose_wait_fails_is_recorded_and_the_restore_deletes_it(
        GcpLib, stage_run, logs, created):
    before = copy.deepcopy(stage_run.service.table)
    name = tsr_of(spec())
    stage_run.service.fail("globalOperations.wait", FakeHttpError(500, "wait failed"),
                           when=lambda kw: kw["operation"] == f"op-insert-{name}")
    GcpLib.manageRoute(stage_run.service,
                       {"delete": ["r1"], "add": [spec(), spec(name="n2")]}, "s1")
    assert ([m for lvl, m in logs.lines if lvl == "ERROR"]
            == ["  **Error** <HttpError 500: wait failed>"])
    assert record(stage_run)["added_route_list"] == [name, "n2"]
    if not created:  # the operation ended in error: the route never came
        del stage_run.service.table[name]
    logs.clear()
    GcpLib.restoreRoute(stage_run.service, "s1")
    alerts = [m for m in logs.messages if "**Alert**" in m]
    assert alerts == ([] if created else [f"  **Alert** <HttpError 404: route {name} not found>"])
    assert logs.messages[-1] == "  Done"
    assert stage_run.service.table == before
