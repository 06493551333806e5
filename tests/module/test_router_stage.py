"""The Cloud Router stage: customising transit routers' advertisements, the
revert entries it saves, their restore, and the stage's entry point."""

import copy
import sys
import types

import pytest

from testing.fakes import FakeHttpError, network_url

TAG = "tessaron-migration-added"
WHERE = "tp::tv r1"
MKEY = "proj-m::vpc-m"


def rng(r, d="own"):
    return {"range": r, "description": d}


def resource(ranges=None, groups=None, mode="CUSTOM", network="tv"):
    bgp = {"asn": 64512, "advertiseMode": mode}
    if ranges is not None:
        bgp["advertisedIpRanges"] = [rng(r) for r in ranges]
    if groups is not None:
        bgp["advertisedGroups"] = list(groups)
    return {"name": "x", "network": network_url("tp", network), "bgp": bgp}


def entry(name="cr1", add=(), remove=(), groups=(), region="r1"):
    return {"region": region, "router_name": name, "add_advertised_routes": list(add),
            "remove_advertised_routes": list(remove), "remove_advertised_groups": list(groups)}


def plan(run, *crouters, vpc_name="tp::tv"):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m",
                    transit_vpcs=[{"vpc_name": vpc_name, "cloud_routers": list(crouters)}])


class Fleet:
    """Routers that follow the patches they get: `get` answers a deep copy of
    the stored router, `patch` merges the body's "bgp" keys into the stored
    "bgp", lists replacing."""

    def __init__(self, service, routers):
        self.routers = routers  # {(project, region, name): resource}
        service.on("routers.get", self.get).on("routers.patch", self.patch)

    def get(self, project, region, router):
        if (project, region, router) not in self.routers:
            raise FakeHttpError(404, "router not found")
        return copy.deepcopy(self.routers[(project, region, router)])

    def patch(self, project, region, router, body):
        self.routers[(project, region, router)]["bgp"].update(copy.deepcopy(body["bgp"]))
        return {"name": "operation-p", "status": "PENDING"}


def patches(service):
    return [kw for _, kw in service.executed("routers.patch")]


def manage(GcpLib, run):
    assert GcpLib.manageCloudRouterAdvertisedRoutePerVpc(run.service) is None


# ---------------------------------------------------------------------------
# customisation


def test_withdraws_ranges_and_groups_and_adds(GcpLib, run, logs):
    router = resource(["10.0.0.0/24", "10.1.0.0/24", "10.2.0.0/24"], ["ALL_SUBNETS", "G2"])
    run.service.on("routers.get", router)
    plan(run, entry(add=["172.16.0.0/12", "10.3.0.0/24"], remove=["10.1.0.0/24", "9.9.9.0/24"],
                    groups=["ALL_SUBNETS"]))
    manage(GcpLib, run)
    assert logs.lines == [("INFO", m) for m in [
        "- Manage cloud router route(s)",
        f"  delete 10.1.0.0/24 in cr1 from {WHERE}",
        f"  add 172.16.0.0/12 to cr1 from {WHERE}",
        f"  add 10.3.0.0/24 to cr1 from {WHERE}",
        f"  delete ALL_SUBNETS in cr1 from {WHERE}"]]
    assert run.service.executed() == [
        ("routers.get", {"project": "tp", "region": "r1", "router": "cr1"}),
        ("routers.patch", {"project": "tp", "region": "r1", "router": "cr1", "body": {"bgp": {
            "advertisedIpRanges": [rng("10.0.0.0/24"), rng("10.2.0.0/24"),
                                   rng("172.16.0.0/12", TAG), rng("10.3.0.0/24", TAG)],
            "advertisedGroups": ["G2"]}}})]
    body = patches(run.service)[0]["body"]["bgp"]
    assert list(body) == ["advertisedIpRanges", "advertisedGroups"]
    assert body["advertisedIpRanges"][0] is router["bgp"]["advertisedIpRanges"][0]
    assert list(body["advertisedIpRanges"][2]) == ["range", "description"]
    # The revert entry is the router's own "bgp", saved before the dry-run test.
    assert run.revert["cloud_routers"] == {MKEY: {"tp::tv::r1::cr1": router["bgp"]}}
    assert run.revert["cloud_routers"][MKEY]["tp::tv::r1::cr1"] is router["bgp"]
    assert run.events == [("context", "transit_vpcs"), ("context", "project_id"),
                          ("context", "vpc_name")] + [("revert_info",)] * 4 + [("dry_run",)]


@pytest.mark.parametrize("router, crouter, body", [
    # no groups on the router: none in the body
    (resource(["10.0.0.0/24"]), entry(remove=["10.0.0.0/24"]), {"advertisedIpRanges": []}),
    # no ranges on the router: only the added ones
    (resource(groups=["G"]), entry(add=["10.9.0.0/16"]),
     {"advertisedIpRanges": [rng("10.9.0.0/16", TAG)], "advertisedGroups": ["G"]}),
    # the router's ranges are normalised before the test, the list is not
    (resource(["10.0.0.0/255.255.255.0", "10.1.0.0/24"]),
     entry(remove=["10.0.0.0/24", "10.1.0.0/255.255.255.0"]),
     {"advertisedIpRanges": [rng("10.1.0.0/24")]}),
])
def test_patch_body(GcpLib, run, router, crouter, body):
    run.service.on("routers.get", router)
    plan(run, crouter)
    manage(GcpLib, run)
    assert patches(run.service)[0]["body"] == {"bgp": body}


@pytest.mark.parametrize("router, crouter, line", [
    (resource(["10.0.0.0/24"], network="other"), entry(remove=["10.0.0.0/24"]),
     f"  cr1 not found in {WHERE}"),
    ({"network": network_url("tp", "other")}, entry(), f"  cr1 not found in {WHERE}"),
    (resource(["10.0.0.0/24"], mode="DEFAULT"), entry(remove=["10.0.0.0/24"], add=["1.0.0.0/8"]),
     f"  cr1 in {WHERE} is in DEFAULT advertize mode, cannot customize route"),
    (resource(["10.0.0.0/24"], ["G"]), entry(remove=["10.0.0.0/25"], groups=["H"]), None),
])
def test_router_left_alone(GcpLib, run, logs, router, crouter, line):
    run.service.on("routers.get", router)
    plan(run, crouter)
    manage(GcpLib, run)
    assert logs.messages[1:] == ([line] if line else [])
    assert run.service.executed_names() == ["routers.get"]
    assert run.revert["cloud_routers"] == {}


def test_transit_vpc_without_routers(GcpLib, run, logs):
    run.plan.update(project_id="p", vpc_name="v", transit_vpcs=[
        {"vpc_name": "a::b"}, {"vpc_name": "c::d", "cloud_routers": []}])
    manage(GcpLib, run)
    assert logs.messages == ["- Manage cloud router route(s)", "  No cloud router found"]
    assert run.service.log == []


def test_dry_run_logs_and_saves_but_sends_nothing(GcpLib, run, logs):
    run.dry_run = True
    run.service.on("routers.get", lambda **kw: resource(["10.0.0.0/24"]))
    plan(run, entry("cr1", remove=["10.0.0.0/24"]), entry("cr2", add=["10.5.0.0/16"]))
    manage(GcpLib, run)
    assert logs.messages[1:] == [f"  delete 10.0.0.0/24 in cr1 from {WHERE}",
                                 f"  add 10.5.0.0/16 to cr2 from {WHERE}"]
    assert patches(run.service) == []
    assert list(run.revert["cloud_routers"][MKEY]) == ["tp::tv::r1::cr1", "tp::tv::r1::cr2"]


@pytest.mark.parametrize("case", ["host bits", "missing key", "get fails", "patch fails"])
def test_failure_of_one_router_is_logged_and_the_next_is_handled(GcpLib, run, logs, capsys, case):
    bad = resource(["10.0.0.1/24" if case == "host bits" else "10.0.0.0/24"])
    run.service.on("routers.get", lambda router, **kw: bad if router == "cr1" else resource())
    first = entry("cr1", remove=["10.7.0.0/24"], add=["10.8.0.0/24"])
    if case == "missing key":
        del first["add_advertised_routes"]
    if case == "host bits":
        # the range is normalised before the withdrawal list is read
        del first["remove_advertised_routes"]
    if case == "get fails":
        run.service.fail("routers.get", FakeHttpError(500, "boom"),
                         when=lambda kw: kw["router"] == "cr1")
    if case == "patch fails":
        run.service.fail("routers.patch", FakeHttpError(503, "busy"),
                         when=lambda kw: kw["router"] == "cr1")
    plan(run, first, entry("cr2", add=["10.9.0.0/24"]))
    manage(GcpLib, run)
    text, kind = {"host bits": ("10.0.0.1/24 has host bits set", "ValueError"),
                  "missing key": ("'add_advertised_routes'", "KeyError"),
                  "get fails": ("<HttpError 500: boom>", "FakeHttpError"),
                  "patch fails": ("<HttpError 503: busy>", "FakeHttpError")}[case]
    assert ("ERROR", "**Error** " + text) in logs.lines
    err = capsys.readouterr().err
    # A KeyError raised by a lookup in the module itself has no Python frame
    # to show: print_exc() then prints the exception line alone.
    if case != "missing key":
        assert err.startswith("Traceback (most recent call last):\n")
    assert err.endswith(f"{kind}: {text}\n")
    assert patches(run.service)[-1]["router"] == "cr2"
    # A failed patch still leaves the revert entry; earlier failures none.
    saved = run.revert["cloud_routers"][MKEY]
    assert ("tp::tv::r1::cr1" in saved) == (case == "patch fails")
    assert "tp::tv::r1::cr2" in saved


def test_traceback_and_ipaddress_go_through_the_module_names(
        GcpLib, gcplib, run, logs, monkeypatch):
    seen = []
    monkeypatch.setattr(gcplib, "traceback", types.SimpleNamespace(
        print_exc=lambda: seen.append(sys.exc_info()[1])))
    monkeypatch.setattr(gcplib, "ipaddress", types.SimpleNamespace(
        IPv4Network=lambda text: "net:" + text if text != "bad" else int(text)))
    run.service.on("routers.get",
                   lambda router, **kw: resource(["a", "b"] if router == "cr1" else ["bad"]))
    plan(run, entry("cr1", remove=["net:b"]), entry("cr2"))
    manage(GcpLib, run)
    assert patches(run.service)[0]["body"]["bgp"]["advertisedIpRanges"] == [rng("a")]
    assert len(seen) == 1 and isinstance(seen[0], ValueError)
    assert logs.lines[-1] == ("ERROR", "**Error** " + str(seen[0]))


@pytest.mark.parametrize("transit, error", [
    ({"vpc_name": "no-separator", "cloud_routers": []}, IndexError),
    ({"cloud_routers": []}, KeyError),
    ({"vpc_name": "tp::tv", "cloud_routers": [{"router_name": "cr2"}]}, KeyError),
])
def test_failures_outside_the_router_guard_raise(GcpLib, run, transit, error):
    run.service.on("routers.get", resource())
    run.plan.update(project_id="p", vpc_name="v", transit_vpcs=[
        {"vpc_name": "tp::tv", "cloud_routers": [entry(add=["10.0.0.0/8"])]}, transit])
    with pytest.raises(error):
        manage(GcpLib, run)
    assert len(patches(run.service)) == 1


def test_interrupt_is_not_caught(GcpLib, run):
    run.service.fail("routers.get", KeyboardInterrupt())
    plan(run, entry(), entry("cr2"))
    with pytest.raises(KeyboardInterrupt):
        manage(GcpLib, run)
    assert len(run.service.executed()) == 1


# ---------------------------------------------------------------------------
# repairs: no duplicate advertisements, first saved settings win, container


def test_ranges_already_advertised_are_not_added_again(GcpLib, run, logs):
    run.service.on("routers.get", resource(["10.0.0.0/24", "10.1.0.0/24"]))
    plan(run, entry(remove=["10.1.0.0/24"], add=["10.0.0.0/24", "10.1.0.0/24", "10.2.0.0/24",
                                                  "10.2.0.0/24", "10.0.0.0/255.255.255.0"]))
    manage(GcpLib, run)
    assert logs.messages[1:] == [
        f"  delete 10.1.0.0/24 in cr1 from {WHERE}",
        f"  already advertised 10.0.0.0/24 in cr1 from {WHERE}",
        f"  add 10.1.0.0/24 to cr1 from {WHERE}",
        f"  add 10.2.0.0/24 to cr1 from {WHERE}",
        f"  already advertised 10.2.0.0/24 in cr1 from {WHERE}",
        # equal as a network, but not as text
        f"  add 10.0.0.0/255.255.255.0 to cr1 from {WHERE}"]
    assert [r["range"] for r in patches(run.service)[0]["body"]["bgp"]["advertisedIpRanges"]] == [
        "10.0.0.0/24", "10.1.0.0/24", "10.2.0.0/24", "10.0.0.0/255.255.255.0"]


def test_only_duplicates_is_no_change(GcpLib, run, logs):
    run.service.on("routers.get", resource(["10.0.0.0/24"]))
    plan(run, entry(add=["10.0.0.0/24"]))
    manage(GcpLib, run)
    assert logs.messages[1:] == [f"  already advertised 10.0.0.0/24 in cr1 from {WHERE}"]
    assert patches(run.service) == [] and run.revert["cloud_routers"] == {}


def test_first_saved_settings_are_kept(GcpLib, run):
    original = {"advertiseMode": "CUSTOM", "advertisedIpRanges": [rng("10.0.0.0/24")]}
    run.revert["cloud_routers"] = {MKEY: {"tp::tv::r1::cr1": original}}
    run.service.on("routers.get", resource(["10.9.0.0/24"]))
    plan(run, entry("cr1", remove=["10.9.0.0/24"]), entry("cr2", remove=["10.9.0.0/24"]))
    manage(GcpLib, run)
    saved = run.revert["cloud_routers"][MKEY]
    assert saved["tp::tv::r1::cr1"] is original
    assert saved["tp::tv::r1::cr2"]["advertisedIpRanges"] == [rng("10.9.0.0/24")]
    assert len(patches(run.service)) == 2


def test_missing_container_is_created(GcpLib, run):
    del run.revert["cloud_routers"]
    run.service.on("routers.get", resource())
    plan(run, entry(add=["10.0.0.0/8"]))
    manage(GcpLib, run)
    assert list(run.revert["cloud_routers"][MKEY]) == ["tp::tv::r1::cr1"]
    assert len(patches(run.service)) == 1


# ---------------------------------------------------------------------------
# restore


def restore(GcpLib, run):
    assert GcpLib.restoreCloudRouterAdvertisedRoutePerVpc(run.service) is None


@pytest.mark.parametrize("saved, lines", [
    ({}, ["- Restore cloud router route(s)", "  Done"]),
    ({"other::vpc": {"a::b::c::d": {}}}, ["- Restore cloud router route(s)"]),
])
def test_restore_with_nothing_saved(GcpLib, run, logs, saved, lines):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    run.revert["cloud_routers"] = saved
    restore(GcpLib, run)
    assert logs.messages == lines and run.service.log == []


@pytest.mark.parametrize("dry", [False, True])
def test_restore_patches_saved_settings(GcpLib, run, logs, dry):
    run.dry_run = dry
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    bare = {"advertiseMode": "CUSTOM"}
    full = {"advertiseMode": "CUSTOM", "advertisedIpRanges": [rng("10.0.0.0/24")],
            "advertisedGroups": []}
    run.revert["cloud_routers"] = {MKEY: {"p1::n1::r1::a": bare, "p2::n2::r2::b": full}}
    restore(GcpLib, run)
    assert logs.messages == ["- Restore cloud router route(s)",
                             "  restore p1::n1::r1::a, bgp {'advertiseMode': 'CUSTOM'}",
                             f"  restore p2::n2::r2::b, bgp {full}"]
    if dry:
        assert run.service.log == [] and bare == {"advertiseMode": "CUSTOM"}
        return
    assert patches(run.service) == [
        {"project": "p1", "region": "r1", "router": "a", "body": {"bgp": bare}},
        {"project": "p2", "region": "r2", "router": "b", "body": {"bgp": full}}]
    assert patches(run.service)[0]["body"]["bgp"] is bare
    assert bare == {"advertiseMode": "CUSTOM", "advertisedIpRanges": []}
    assert run.events[2:] == ([("revert_info",)] * 3
                              + [("revert_info",), ("dry_run",), ("revert_info",)] * 2)


def test_restore_failure_of_one_router_does_not_stop_the_next(GcpLib, run, logs, capsys):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    run.revert["cloud_routers"] = {MKEY: {"p::n::r::a": {}, "p::n::r::b": {}}}
    run.service.fail("routers.patch", FakeHttpError(500, "boom"),
                     when=lambda kw: kw["router"] == "a")
    restore(GcpLib, run)
    assert ("ERROR", "**Error** <HttpError 500: boom>") in logs.lines
    assert capsys.readouterr().err.endswith("FakeHttpError: <HttpError 500: boom>\n")
    assert [kw["router"] for kw in patches(run.service)] == ["a", "b"]


@pytest.mark.parametrize("revert, error", [
    ({MKEY: {"p::n::r": {}}}, IndexError),
    ({MKEY: ["p::n::r::a"]}, TypeError),
    (None, KeyError),
])
def test_restore_failures_outside_the_router_guard_raise(GcpLib, run, revert, error):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    if revert is None:
        del run.revert["cloud_routers"]
    else:
        run.revert["cloud_routers"] = revert
    with pytest.raises(error):
        restore(GcpLib, run)
    assert run.service.log == []


def test_restore_stops_when_the_saved_routers_change_during_the_walk(GcpLib, run):
    run.plan.update(project_id="proj-m", vpc_name="vpc-m")
    routers = {"p::n::r::a": {}, "p::n::r::b": {}}
    run.revert["cloud_routers"] = {MKEY: routers}
    run.service.on("routers.patch", lambda **kw: routers.setdefault("p::n::r::c", {}))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        restore(GcpLib, run)
    assert len(patches(run.service)) == 1


# ---------------------------------------------------------------------------
# entry point


@pytest.mark.parametrize("switch, called", [
    (True, "manage"), (1, "restore"), ("yes", "restore"), (False, "restore"), (None, "restore")])
def test_entry_point_branches_on_identity_with_true(GcpLib, run, switch, called):
    calls = []

    class Sub(GcpLib):
        @classmethod
        def manageCloudRouterAdvertisedRoutePerVpc(cls, service):
            calls.append(("manage", service))
            return "ignored"

        @classmethod
        def restoreCloudRouterAdvertisedRoutePerVpc(cls, service):
            calls.append(("restore", service))
            return "ignored"

    assert Sub.manageCloudRouterAdvertisedRoute(switch) is None
    assert calls == [(called, run.service)]
    assert run.events == [("attr", "service")]


def test_entry_point_without_globals_service_raises(GcpLib, gcplib, monkeypatch):
    monkeypatch.setattr(gcplib, "Globals", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        GcpLib.manageCloudRouterAdvertisedRoute(True)


# ---------------------------------------------------------------------------
# stage and restore together, on routers that follow the patches


def comparable(bgp):
    # An empty "advertisedIpRanges" is how the restore clears the ranges of a
    # router that advertised none; the API reports no such field.
    bgp = dict(bgp)
    if bgp.get("advertisedIpRanges") == []:
        del bgp["advertisedIpRanges"]
    return bgp


@pytest.mark.parametrize("stage_runs", [1, 2])
def test_stage_then_restore_leaves_routers_as_they_were(GcpLib, run, logs, stage_runs):
    fleet = Fleet(run.service, {
        ("tp", "r1", "both"): resource(["10.0.0.0/24", "10.1.0.0/24"], ["ALL_SUBNETS", "G"]),
        ("tp", "r1", "ranges"): resource(["10.0.0.0/24", "10.1.0.0/24"]),
        ("tp", "r1", "none"): resource(),
        ("tp", "r1", "groups"): resource(groups=["ALL_SUBNETS"]),
        ("tp", "r1", "default"): resource(["10.0.0.0/24"], mode="DEFAULT"),
        ("tp", "r1", "elsewhere"): resource(["10.0.0.0/24"], network="other"),
    })
    before = copy.deepcopy(fleet.routers)
    add, remove = ["10.1.0.0/24", "172.16.0.0/12"], ["10.0.0.0/24"]
    plan(run, *[entry(name, add=add, remove=remove, groups=["ALL_SUBNETS"])
                for _, _, name in fleet.routers] + [entry("missing", add=add)])
    for n in range(stage_runs):
        run.service.log.clear()
        manage(GcpLib, run)
        assert len(patches(run.service)) == (4 if n == 0 else 0)
    assert sorted(run.revert["cloud_routers"][MKEY]) == [
        f"tp::tv::r1::{name}" for name in ("both", "groups", "none", "ranges")]
    restore(GcpLib, run)
    for key, router in fleet.routers.items():
        assert comparable(router["bgp"]) == before[key]["bgp"], key
