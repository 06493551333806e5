"""Differential fuzzing of the route stage: manageRoute, restoreRoute and
manageSwitchRoute, against the plain-Python model (see testing/fuzz.py).

Scenarios draw route configurations, plans, revert records left by earlier
runs (so that re-runs merge), dry-run switches and service answers, then
mutate a few places or nest one value deeper than the recursion limit.

Run longer with:  HYPOTHESIS_PROFILE=long python -m pytest tests/test_fuzz_*.py
"""

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from testing.fuzz import (BASE, DEEP, Deep, FuzzInterrupt, Outcome, Sub, Svc, cidrs, differential,
                          dry_runs, failure, fuzz_settings, names, network_urls, networks, ok,
                          operations, outcomes, projects, scenarios, waits, weighted)

stages = st.sampled_from(("s1", "s1", "s2", 3))
priorities = st.sampled_from((None, None, 500, "7", 0))
specs = st.fixed_dictionaries({
    "cidr": cidrs, "zone": st.sampled_from(("z1", "z2")), "dest_instance": names,
    "priority": priorities, "name": st.one_of(st.none(), names)})
deletes = st.lists(names, min_size=1, max_size=4)
adds = st.lists(specs, min_size=1, max_size=3)
configs = weighted((4, st.fixed_dictionaries({"delete": deletes, "add": adds})),
                   (1, st.fixed_dictionaries({"delete": deletes})),
                   (1, st.fixed_dictionaries({"add": adds})), (1, st.just({})))

route_resources = st.builds(
    lambda name, cidr, extra: dict({"name": name, "destRange": cidr}, **extra), names, cidrs,
    st.sampled_from(({}, {"priority": 1000, "selfLink": BASE + "p1/global/routes/a"},
                     {"network": BASE + "p1/global/networks/net-a", "nextHopIp": "10.0.0.2"})))
records = st.fixed_dictionaries({
    "deleted_route_list": st.lists(route_resources, min_size=1, max_size=3),
    "added_route_list": st.lists(names, min_size=1, max_size=3)})
plans = st.fixed_dictionaries({"project_id": projects, "vpc_name": networks})


@st.composite
def staged(draw, args):
    """A scenario whose revert information mostly holds a record of an
    earlier run for the plan's VPC and the stage in the arguments; `args`
    draws the arguments, the stage last."""
    plan = draw(plans)
    arguments = draw(args)
    stored = {}
    if draw(weighted((3, st.just(True)), (1, st.just(False)))):
        stored[arguments[-1]] = {plan["project_id"] + "::" + plan["vpc_name"]: draw(records)}
    stored.update(draw(st.dictionaries(stages, st.dictionaries(
        st.sampled_from(("p1::net-a", "p2::net-b")), records, max_size=1), max_size=1)))
    return {"args": arguments, "plan": plan,
            "revert": {"peerings": {}, "manage_routes": stored, "cloud_routers": {}}}


responses = st.fixed_dictionaries({
    "routes.get": outcomes(route_resources, max_size=4),
    "routes.delete": outcomes(operations(), max_size=3),
    "instances.get": outcomes(st.fixed_dictionaries({"selfLink": st.builds(
        lambda n: BASE + "p1/zones/z1/instances/" + n, names)}), max_size=3),
    "routes.insert": outcomes(operations(), max_size=3),
    "globalOperations.wait": outcomes(waits(), max_size=4),
})
rest = st.fixed_dictionaries(dict(dry_run=dry_runs(), responses=responses,
                                  globals=st.fixed_dictionaries({"networkLink": network_urls})))


def with_rest(base):
    return st.tuples(base, rest).map(lambda pair: dict(pair[0], **pair[1]))


@fuzz_settings(160)
@given(scenarios(with_rest(staged(
    st.tuples(st.builds(Svc), weighted((6, configs), (1, st.none())), stages).map(list)))))
@example({  # a re-run over a record lacking its deleted list, stored resources without a name
    "args": [Svc(), {"delete": ["a", "b"]}, "s1"],
    "plan": {"project_id": "p1", "vpc_name": "net-a"}, "dry_run": True,
    "revert": {"manage_routes": {"s1": {"p1::net-a": {"added_route_list": ["x"]},
                                        "p1::net-b": {}}}},
    "responses": {"routes.get": [Outcome("ok", {"destRange": "10.0.0.0/24"}),
                                 Outcome("ok", {"name": "b"})]}})
@example({
    "args": [Svc(), {"delete": ["a"]}, "s1"], "plan": {"project_id": "p1", "vpc_name": "net-a"},
    "dry_run": True,
    "revert": {"manage_routes": {"s1": {"p1::net-a": {
        "deleted_route_list": [{"destRange": "x"}, {"name": None}, {"name": "a", "old": 1}],
        "added_route_list": []}}}},
    "responses": {"routes.get": [Outcome("ok", {"name": "a"})]}})
@example({  # route key pieces that are not strs, or not UTF-8 encodable
    "args": [Svc(), {"add": [{"cidr": 5, "zone": "z", "dest_instance": "i", "priority": None,
                              "name": None},
                             {"cidr": "\ud800", "zone": "z", "dest_instance": "i", "priority": 1,
                              "name": None},
                             {"cidr": Sub("str", "c"), "zone": "z", "dest_instance": "i",
                              "priority": [], "name": "n"}]},
             "s1"],
    "plan": {"project_id": "p1", "vpc_name": "net-a"}, "dry_run": False, "revert": {},
    "responses": {"instances.get": [Outcome("ok", {"selfLink": "vm"})]}})
@example({  # the record's key cannot be formed: nothing of the record is created
    "args": [Svc(), {}, "s1"], "plan": {"project_id": Deep(DEEP), "vpc_name": "net-a"},
    "revert": {}})
def test_manageRoute(sc):
    differential("manageRoute", sc)


# Inserts mostly accepted, and their waits often failing: an operation
# ending in error, a failing request, or an interrupt.
interrupt = st.just(Outcome("raise", exc=("interrupt", "stop")))
accepted_inserts = st.fixed_dictionaries(dict(
    dry_run=st.sampled_from((False, False, False, True)),
    globals=st.fixed_dictionaries({"networkLink": network_urls}),
    responses=st.fixed_dictionaries({
        "routes.get": outcomes(route_resources, max_size=2),
        "instances.get": outcomes(st.fixed_dictionaries({"selfLink": st.builds(
            lambda n: BASE + "p1/zones/z1/instances/" + n, names)}), max_size=3),
        "routes.insert": st.lists(weighted((4, ok(operations())), (1, failure())),
                                  min_size=1, max_size=3),
        "globalOperations.wait": st.lists(weighted((2, ok(waits())), (2, failure()),
                                                   (1, interrupt)), min_size=1, max_size=4)})))


@fuzz_settings(100)
@given(scenarios(st.tuples(staged(st.tuples(st.builds(Svc), weighted(
    (3, st.fixed_dictionaries({"add": adds})),
    (1, st.fixed_dictionaries({"delete": deletes, "add": adds}))),
    stages).map(list)), accepted_inserts).map(lambda pair: dict(pair[0], **pair[1]))))
@example({  # the first insert's wait fails, the second's is interrupted: both names recorded
    "args": [Svc(), {"add": [{"cidr": "10.0.0.0/24", "zone": "z1", "dest_instance": "vm",
                              "priority": None, "name": None},
                             {"cidr": "10.1.0.0/16", "zone": "z2", "dest_instance": "vm",
                              "priority": 5, "name": "n2"}]}, "s1"],
    "plan": {"project_id": "p1", "vpc_name": "net-a"}, "dry_run": False, "revert": {},
    "responses": {"instances.get": [Outcome("ok", {"selfLink": "vm"})],
                  "globalOperations.wait": [Outcome("ok", {"status": "DONE", "error": "quota"}),
                                            Outcome("raise", exc=("interrupt", "stop"))]}})
def test_manageRoute_accepted_inserts(sc):
    differential("manageRoute", sc)


@fuzz_settings(120)
@given(scenarios(with_rest(staged(st.tuples(st.builds(Svc), stages).map(list)))))
@example({
    "args": [Svc(), "s1"], "plan": {"project_id": "p1", "vpc_name": "net-a"}, "dry_run": False,
    "revert": {"manage_routes": {"s1": {"p1::net-a": {
        "added_route_list": ["a", "b"],
        "deleted_route_list": [{"name": "c"}, {"destRange": "d"}]}}}},
    "responses": {"routes.delete": [Outcome("raise", exc=("http", "gone"))]}})
def test_restoreRoute(sc):
    differential("restoreRoute", sc)


@st.composite
def switch_scenarios(draw):
    sc = draw(staged(st.tuples(st.sampled_from((True, False, 1, 0, "", None)), stages).map(list)))
    stage = sc["args"][-1]
    kind = draw(weighted((4, st.just("stage")), (1, st.just("other")), (1, st.just("none"))))
    if kind == "none":
        sc["plan"]["manage_routes"] = None
    else:
        routes = draw(st.dictionaries(stages, weighted((5, configs), (1, st.none())), max_size=2))
        if kind == "stage":
            routes[stage] = draw(weighted((5, configs), (1, st.none())))
        sc["plan"]["manage_routes"] = routes
    return sc


@fuzz_settings(120)
@given(scenarios(with_rest(switch_scenarios())))
def test_manageSwitchRoute(sc):
    differential("manageSwitchRoute", sc)


def interrupted(revert):
    """manageRoute whose run ends by an error outside Exception, with the
    given revert information."""
    return {
        "args": [Svc(), {"delete": ["a"], "add": [{"cidr": "10.0.0.0/24", "zone": "z1",
                                                   "dest_instance": "vm", "priority": None,
                                                   "name": None}]}, "s1"],
        "plan": {"project_id": "p1", "vpc_name": "net-a"},
        "revert": revert,
        "dry_run": False,
        "responses": {"routes.get": [Outcome("ok", {"name": "a", "destRange": "10.0.0.0/24"})],
                      "routes.delete": [Outcome("raise", exc=("interrupt", "stop"))]},
    }


def test_interrupted_run_keeps_its_error_when_the_record_cannot_be_stored():
    # Storing fails ("manage_routes" holds an int): the interrupt is what
    # the caller sees, the storing error goes to sys.unraisablehook.
    rec = differential("manageRoute", interrupted({"manage_routes": 5}))
    assert rec.outcome[:2] == ("raise", FuzzInterrupt)
    assert [u[0] for u in rec.unraisable] == ["TypeError"]


def test_interrupted_run_stores_what_it_fetched():
    rec = differential("manageRoute", interrupted({}))
    assert rec.outcome[:2] == ("raise", FuzzInterrupt) and rec.unraisable == []
    assert "'a'" in repr(rec.revert) and "deleted_route_list" in repr(rec.revert)


@pytest.mark.parametrize("kept", [{"name": "a"}, Sub("dict", {"name": "a"}),
                                  Sub("mapping", {"n": 1}), ("x",), "ab"],
                         ids=["dict", "dict-subclass", "mapping", "tuple", "str"])
def test_stored_deleted_list_of_another_kind(kept):
    # A re-run walks whatever is stored as Python iteration would.
    differential("manageRoute", {
        "args": [Svc(), {"delete": ["a"]}, "s1"], "plan": {"project_id": "p1", "vpc_name": "net-a"},
        "dry_run": True, "responses": {"routes.get": [Outcome("ok", {"name": "a"})]},
        "revert": {"manage_routes": {"s1": {"p1::net-a": {"added_route_list": [],
                                                          "deleted_route_list": kept}}}}})
