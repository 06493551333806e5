"""Checks of the plain-Python model against the behaviour GcpLib must have.

The model is the oracle of the extension's property tests, so a slip here
would turn into false alarms (or hide real faults) there.  These tests pin
the messages, request order and revert records on small hand-made cases.

Run with:  python -m pytest tests/test_model.py
"""

import hashlib
import logging
import sys

import pytest

from testing import fakes
from testing import model as reference

G = reference.GcpLib
RULE = "  " + "." * 63
NET = "https://www.googleapis.com/compute/v1/projects/%s/global/networks/%s"
SUB = "https://www.googleapis.com/compute/v1/projects/%s/regions/%s/subnetworks/%s"
INFO, WARNING, ERROR = "INFO", "WARNING", "ERROR"


@pytest.fixture
def log():
    fakes.bind_siblings(reference)
    fakes.FakeGlobals.reset(dry_run=False)
    fakes.FakeYamlContext.plan = {}
    with fakes.attached(fakes.LogCapture()) as handler:
        yield handler.lines


def requests_of(service):
    """The requests built, without their execute() entries."""
    return [(c, m, kw) for c, m, kw in service.calls if kw != "execute"]


def done(collection, method, kwargs):
    return {"name": "op-1", "status": "DONE"}


def peering_record(name, project, network):
    return {"name": name, "network": NET % (project, network), "state": "ACTIVE",
            "exportCustomRoutes": False, "importCustomRoutes": True,
            "exchangeSubnetRoutes": True, "exportSubnetRoutesWithPublicIp": False,
            "importSubnetRoutesWithPublicIp": False, "stackType": "IPV4_ONLY"}


class TestSurface:
    def test_namespace_and_class(self):
        names = [n for n in vars(reference) if not n.startswith("_")]  # private helpers aside
        assert names == [
            "requests", "logging", "discovery", "GoogleCredentials", "google", "common", "Globals",
            "pprint", "yctx", "RouteInfo", "time", "traceback", "ipaddress", "hashlib", "base64",
            "GcpLib"]
        members = [n for n in vars(G) if not n.startswith("__")]
        assert members[:4] == ["PROJECT_I", "REGION_I", "SUBNET_I", "NETWORK_I"]
        assert (G.PROJECT_I, G.REGION_I, G.SUBNET_I, G.NETWORK_I) == (6, 8, 10, 9)
        assert len(members) == 23
        assert G.listRouteTable.__defaults__ == (True,)
        assert G.wait_for_global_operation.__annotations__ == {
            "service": "object", "project": "str", "operation": "str", "return": "dict"}
        assert G.managePeerings.__annotations__ == {"switch_traffic": "bool"}
        assert G.listRouteTable.__annotations__ == {"return": "RouteInfo"}

    def test_wait_docstring(self):
        lines = G.wait_for_global_operation.__doc__.split("\n")
        assert len(lines) == 11
        assert lines[0] == "Waits for the given operation to complete."
        assert lines[1] == lines[7] == ""
        # From 3.13 on, the compiler strips a docstring's common indentation.
        indent = "" if sys.version_info >= (3, 13) else " " * 8
        assert lines[10] == indent
        assert all(lines[i].startswith(indent) and lines[i][len(indent)] != " "
                   for i in (2, 3, 4, 5, 6, 8, 9))


class TestWait:
    def test_argument_types_checked_before_any_request(self):
        service = fakes.RecordingService(done)
        with pytest.raises(TypeError, match=r"^Argument 'project' has incorrect type "
                                            r"\(expected str, got NoneType\)$"):
            G.wait_for_global_operation(service, None, b"op")
        with pytest.raises(TypeError, match="'operation'.*got bytes"):
            G.wait_for_global_operation(service, "p", b"op")
        assert service.calls == []

    def test_polls_until_done_then_checks_error_and_type(self, monkeypatch):
        sleeps = []
        monkeypatch.setattr(reference, "time",
                            type("T", (), {"sleep": staticmethod(sleeps.append)}))
        answers = iter([{"status": "RUNNING", "error": "ignored"}, {"status": "done"},
                        {"status": "DONE", "name": "x"}])
        service = fakes.RecordingService(lambda c, m, kw: next(answers))
        assert G.wait_for_global_operation(service, "p", "op") == {"status": "DONE", "name": "x"}
        assert sleeps == [1, 1]
        assert requests_of(service) == [
            ("globalOperations", "wait", {"project": "p", "operation": "op"})] * 3

        service = fakes.RecordingService(lambda c, m, kw: {"status": "DONE", "error": None})
        with pytest.raises(Exception) as info:
            G.wait_for_global_operation(service, "p", "op")
        assert type(info.value) is Exception and info.value.args == (None,)

        class Mapping(dict):
            pass
        service = fakes.RecordingService(lambda c, m, kw: Mapping(status="DONE"))
        with pytest.raises(TypeError, match="^Expected dict, got Mapping$"):
            G.wait_for_global_operation(service, "p", "op")


class TestPeerings:
    def test_list_peering_table(self, log):
        G.listPeering({})
        assert [m for _, m in log] == [
            "- Discover peering(s)", "  no peering found", RULE,
            "  " + "Peering name".ljust(51) + "Project::VPC".ljust(30), RULE]
        assert len(log[3][1]) == 83
        log.clear()
        G.listPeering({"peerings": [{"name": "n" * 50, "network": NET % ("p1", "transit")}]})
        assert log[-1][1] == "  " + "n" * 50 + " p1::transit"
        G.listPeering({"peerings": [{"name": "m" * 52, "network": NET % ("p1", "transit")}]})
        assert log[-1][1] == "  " + "m" * 52 + " p1::transit"
        with pytest.raises(TypeError):
            G.listPeering({"peerings": None})

    def test_delete_peering_checks_operation(self, log):
        results = iter([{"name": "op"}, {"name": "op", "warnings": [1], "httpErrorMessage": "x"},
                        {"name": "op", "httpErrorMessage": "boom"}])

        def respond(c, m, kw):
            return done(c, m, kw) if c == "globalOperations" else next(results)
        service = fakes.RecordingService(respond)
        for _ in range(3):
            G.deletePeering(service, "p", "v", "peer")
        assert log == [(INFO, "  delete peering peer in p::v"),
                       (INFO, "  delete peering peer in p::v"), (WARNING, "  **Error** [1]"),
                       (INFO, "  delete peering peer in p::v"), (ERROR, "  **Check Error** boom")]
        assert requests_of(service)[0] == ("networks", "removePeering",
                                           {"project": "p", "network": "v",
                                            "body": {"name": "peer"}})

    def test_delete_peering_absorbs_failures_and_honours_dry_run(self, log):
        def fail(c, m, kw):
            raise RuntimeError("HTTP 404")
        service = fakes.RecordingService(fail)
        G.deletePeering(service, "p", "v", 7)
        assert log[-1] == (ERROR, "  **Error** HTTP 404")
        fakes.FakeGlobals.dry_run = True
        service = fakes.RecordingService(fail)
        G.deletePeering(service, "p", "v", "x")
        assert service.calls == [] and log[-1] == (INFO, "  delete peering x in p::v")

    def _stage(self, local_peerings, transit_side):
        fakes.FakeYamlContext.plan = {"transit_vpcs": [{"vpc_name": "hub::transit"}]}
        networks = {"spoke": {"peerings": local_peerings}, "transit": {"peerings": transit_side}}

        def respond(c, m, kw):
            if c == "networks" and m == "get":
                return networks[kw["network"]]
            return {"name": "op", "status": "DONE"}
        return fakes.RecordingService(respond)

    def test_stage_saves_pairs_removes_transit_side_first(self, log):
        local = peering_record("to-transit", "hub", "transit")
        other = peering_record("to-other", "x", "other")
        remote = peering_record("from-spoke", "mig", "spoke")
        service = self._stage([other, local], [peering_record("z", "mig", "else"), remote])
        G.deletePeerings(service, "mig", {"vpc_name": "spoke"})
        assert [m for _, m in log] == ["- Delete transit peerings in mig::spoke",
                                       "  delete peering from-spoke in hub::transit",
                                       "  delete peering to-transit in mig::spoke"]
        removals = [kw for c, m, kw in requests_of(service) if m == "removePeering"]
        assert [(k["project"], k["network"]) for k in removals] == [("hub", "transit"),
                                                                    ("mig", "spoke")]
        saved = fakes.FakeGlobals.revert["peerings"]["mig::spoke"]
        assert saved == [{"localPeeringProperties": local, "remotePeeringProperties": remote}]
        assert saved[0]["localPeeringProperties"] is local

    def test_rerun_merges_into_saved_pairs(self, log):
        fakes.FakeGlobals.dry_run = True
        a, b = peering_record("a", "hub", "transit"), peering_record("b", "hub", "transit")
        old_a = {"localPeeringProperties": {"name": "a"}, "remotePeeringProperties": None}
        old_c = {"localPeeringProperties": {"name": "c"}, "remotePeeringProperties": None}
        stored = [old_c, old_a]
        fakes.FakeGlobals.revert["peerings"]["mig::spoke"] = stored
        G.deletePeerings(self._stage([a, b], []), "mig", {"vpc_name": "spoke"})
        assert [p["localPeeringProperties"] for p in stored] == [{"name": "c"}, a, b]
        # A run that finds nothing leaves the saved pairs alone.
        G.deletePeerings(self._stage([], []), "mig", {"vpc_name": "spoke"})
        assert log[-1] == (INFO, "  no transit peering found!")
        assert len(fakes.FakeGlobals.revert["peerings"]["mig::spoke"]) == 3

    def test_failure_midway_keeps_saved_pairs(self, log):
        fakes.FakeGlobals.dry_run = True
        good = peering_record("a", "hub", "transit")
        service = self._stage([good, {"name": "broken"}], [])
        with pytest.raises(KeyError):
            G.deletePeerings(service, "mig", {"vpc_name": "spoke"})
        assert (fakes.FakeGlobals.revert["peerings"]["mig::spoke"][0]["localPeeringProperties"]
                is good)
        assert "  no transit peering found!" not in [m for _, m in log]
        # Failing before any pair was saved stores nothing.
        fakes.FakeGlobals.revert = {}
        with pytest.raises(KeyError):
            G.deletePeerings(self._stage([{"name": "broken"}], []), "mig", {"vpc_name": "spoke"})
        assert fakes.FakeGlobals.revert == {}

    def test_missing_container_is_created(self, log):
        fakes.FakeGlobals.revert = {}
        G.deletePeerings(self._stage([], []), "mig", {"vpc_name": "spoke"})
        assert fakes.FakeGlobals.revert == {"peerings": {"mig::spoke": []}}

    def test_add_peerings_both_sides_in_order(self, log):
        local = peering_record("to-transit", "P2", "T")
        remote = peering_record("from-spoke", "P1", "M")
        remote["extra"] = "not sent"
        service = fakes.RecordingService(done)
        G.addPeerings(service,
                      [{"localPeeringProperties": local, "remotePeeringProperties": remote}])
        assert [m for _, m in log] == [
            "- Restore peerings", "- Add local peering in P1::M",
            "  add peering to-transit in P1::M", "  add peering from-spoke in P2::T"]
        calls = requests_of(service)
        assert [(c, m) for c, m, _ in calls] == [("networks", "addPeering"),
                                                 ("globalOperations", "wait")] * 2
        assert (calls[0][2]["project"], calls[0][2]["network"]) == ("P1", "M")
        body = calls[0][2]["body"]["networkPeering"]
        assert list(body) == ["name", "network", "exportCustomRoutes", "importCustomRoutes",
                              "exchangeSubnetRoutes", "exportSubnetRoutesWithPublicIp",
                              "importSubnetRoutesWithPublicIp", "stackType"]
        assert "extra" not in calls[2][2]["body"]["networkPeering"]
        assert calls[1][2] == {"project": "P1", "operation": "op-1"}

    def test_add_peerings_without_remote_record(self, log):
        fakes.FakeGlobals.project = "mig"
        fakes.FakeGlobals.vpc = {"vpc_name": "spoke"}
        service = fakes.RecordingService(done)
        G.addPeerings(service, [{"localPeeringProperties": peering_record("l", "hub", "t"),
                                 "remotePeeringProperties": None}])
        assert [m for _, m in log] == ["- Restore peerings", "- Add local peering in mig::spoke",
                                       "  add peering l in mig::spoke"]
        assert [(c, m, kw.get("network")) for c, m, kw in requests_of(service)] == [
            ("networks", "addPeering", "spoke"), ("globalOperations", "wait", None)]
        log.clear()
        G.addPeerings(service, [])
        assert [m for _, m in log] == ["- Restore peerings", "  no peering found"]

    def test_manage_peerings_selects_by_identity(self, log):
        fakes.FakeGlobals.project = "mig"
        fakes.FakeGlobals.vpc = {"vpc_name": "spoke"}
        fakes.FakeGlobals.service = fakes.RecordingService(done)
        fakes.FakeGlobals.revert["peerings"]["mig::spoke"] = []
        G.managePeerings(1)
        assert [m for _, m in log] == ["- Restore peerings", "  no peering found"]


class TestRoutes:
    def test_route_table_rows_and_gke_ranges(self, log):
        base = "https://www.googleapis.com/compute/v1/projects/p/"
        page1 = {"items": [
            {"destRange": "10.0.0.0/8", "nextHopNetwork": base + "global/networks/net-a"},
            {"destRange": "10.1.0.0/16", "nextHopIp": "10.0.0.5", "nextHopInstance": "x"},
            {"destRange": "0.0.0.0/0",
             "nextHopGateway": base + "global/gateways/default-internet-gateway"},
            {"destRange": "10.2.0.0/16", "nextHopPeering": "gke-abc-123-peer"},
            {"destRange": "10.3.0.0/16", "nextHopPeering": "gke-abc"},
            {"destRange": "10.4.0.0/16", "nextHopInstance": base + "zones/z/instances/vm-1"},
            {"destRange": "10.5.0.0/16"},
        ]}
        pages = iter([page1, {}])

        def respond(c, m, kw):
            if m == "list_next":
                return service.request(c, "list", {})
            return next(pages)
        service = fakes.RecordingService(respond)
        info = G.listRouteTable("p", service, {"selfLink": base + "global/networks/n"})
        assert info.get_gke_export_routes() == ["10.2.0.0/16"]
        assert log[:5] == [(INFO, ""), (INFO, "- Discover route(s)"), (INFO, RULE),
                           (INFO, "  " + "CIDR".ljust(25) + "Next-hop".ljust(30)), (INFO, RULE)]
        assert [m for _, m in log[5:11]] == [
            "  " + "10.0.0.0/8".ljust(25) + "Virtual network net-a",
            "  " + "10.1.0.0/16".ljust(25) + "10.0.0.5",
            "  " + "0.0.0.0/0".ljust(25) + "default-internet-gateway",
            "  " + "10.2.0.0/16".ljust(25) + "gke-abc-123-peer",
            "  " + "10.3.0.0/16".ljust(25) + "gke-abc",
            "  " + "10.4.0.0/16".ljust(25) + "vm-1"]
        assert log[11] == (ERROR, "  **Error** unknown destination {'destRange': '10.5.0.0/16'}")
        assert log[12] == (INFO, "    no route found") and len(log) == 13
        assert requests_of(service)[0] == ("routes", "list", {
            "project": "p", "filter": 'network: "' + base + 'global/networks/n"'})

    def test_route_table_restores_propagate_on_error(self, log):
        def fail(c, m, kw):
            raise RuntimeError("HTTP 500")
        with pytest.raises(RuntimeError):
            G.listRouteTable("p", fakes.RecordingService(fail), {"selfLink": "s"}, False)
        assert logging.getLogger("tarn_gcp.gcplib").propagate is True

    @pytest.mark.parametrize("spoke, gke, ranges, expected", [
        (None, True, [], None),
        (None, True, ["g1", "g2"], ["g1", "g2", "10.0.0.0/24"]),
        ([], False, ["g1"], None),
        (["s1"], 1, ["g1"], ["s1"]),
        (["s1"], True, ["g1"], ["g1", "s1"]),
    ])
    def test_compose_vpc_cidrs(self, log, spoke, gke, ranges, expected):
        fakes.FakeYamlContext.plan = {"spoke_advertisement": spoke, "advertise_gke": gke}
        fakes.FakeGlobals.routeInfo = fakes.FakeRouteInfo()
        fakes.FakeGlobals.routeInfo.gke_export_routes = ranges
        service = fakes.RecordingService(lambda c, m, kw: {"ipCidrRange": "10.0.0.0/24"})
        network = {"subnetworks": [SUB % ("p", "r1", "a"), SUB % ("p", "r2", "b")]}
        assert G.composeVpcCidrs(service, network, {"region": "r1"}) == expected
        assert len(requests_of(service)) == (1 if expected and "10.0.0.0/24" in expected else 0)

    def _plan(self):
        fakes.FakeYamlContext.plan = {"project_id": "mig", "vpc_name": "spoke"}
        fakes.FakeGlobals.networkLink = NET % ("mig", "spoke")

    def _service(self, missing=()):
        def respond(c, m, kw):
            if c == "routes" and m == "get":
                if kw["route"] in missing:
                    raise RuntimeError("HTTP 404 " + kw["route"])
                return {"name": kw["route"], "destRange": "1.0.0.0/8"}
            if c == "instances":
                return {"selfLink": "link/" + kw["instance"]}
            return {"name": "op", "status": "DONE"}
        return fakes.RecordingService(respond)

    def test_manage_route_names_bodies_and_record(self, log):
        self._plan()
        spec = {"cidr": "10.9.0.0/16", "zone": "z1", "dest_instance": "vm", "priority": 500,
                "name": None}
        named = dict(spec, priority=None, name="mine")
        service = self._service(missing={"gone"})
        G.manageRoute(service, {"delete": ["gone", "old"], "add": [spec, named]}, "s1")
        digest = hashlib.md5("mig" "spoke" "10.9.0.0/16" "z1" "vm" "500".encode()).hexdigest()
        assert [m for _, m in log] == [
            "- Manage route(s) s1", "  delete route gone", "  **Error** HTTP 404 gone",
            "  delete route old",
            "  add route 10.9.0.0/16 to vm priority 500 name tsr-" + digest,
            "  add route 10.9.0.0/16 to vm priority 1000 name mine"]
        inserts = [kw["body"] for c, m, kw in requests_of(service) if m == "insert"]
        assert inserts[0] == {"destRange": "10.9.0.0/16", "nextHopInstance": "link/vm",
                              "priority": 500, "name": "tsr-" + digest,
                              "network": NET % ("mig", "spoke"),
                              "description": "Tessaron-Created-Resource: "
                                             "Do-Not-Delete-Tessaron-Created-Resource"}
        assert list(inserts[1]) == list(inserts[0])
        record = fakes.FakeGlobals.revert["manage_routes"]["s1"]["mig::spoke"]
        assert record == {"deleted_route_list": [{"name": "old", "destRange": "1.0.0.0/8"}],
                          "added_route_list": ["tsr-" + digest, "mine"]}
        assert [(c, m) for c, m, _ in requests_of(service)] == [
            ("routes", "get"), ("routes", "get"), ("routes", "delete"),
            ("globalOperations", "wait"),
            ("instances", "get"), ("routes", "insert"), ("globalOperations", "wait"),
            ("instances", "get"), ("routes", "insert"), ("globalOperations", "wait")]

    def test_manage_route_rerun_merges_record(self, log):
        self._plan()
        fakes.FakeGlobals.dry_run = True
        stored_old = {"name": "old", "destRange": "stale"}
        fakes.FakeGlobals.revert["manage_routes"] = {"s1": {"mig::spoke": {
            "deleted_route_list": [{"name": "keep"}, stored_old], "added_route_list": ["n1"]}}}
        spec = {"cidr": "c", "zone": "z", "dest_instance": "vm", "priority": 1, "name": "n1"}
        G.manageRoute(self._service(),
                      {"delete": ["old", "new"], "add": [spec, dict(spec, name="n2")]}, "s1")
        record = fakes.FakeGlobals.revert["manage_routes"]["s1"]["mig::spoke"]
        assert record["deleted_route_list"] == [{"name": "keep"},
                                                {"name": "old", "destRange": "1.0.0.0/8"},
                                                {"name": "new", "destRange": "1.0.0.0/8"}]
        assert record["added_route_list"] == ["n1", "n2"]

    def test_manage_route_stores_record_on_every_exit(self, log):
        self._plan()
        fakes.FakeGlobals.revert = {}
        G.manageRoute(self._service(), {}, "s2")
        assert fakes.FakeGlobals.revert == {"manage_routes": {"s2": {"mig::spoke": {
            "deleted_route_list": [], "added_route_list": []}}}}
        with pytest.raises(TypeError):
            G.manageRoute(self._service(), {"delete": ["r"], "add": 5}, "s3")
        assert (fakes.FakeGlobals.revert["manage_routes"]["s3"]["mig::spoke"]["deleted_route_list"]
                == [{"name": "r", "destRange": "1.0.0.0/8"}])

        def interrupted(c, m, kw):
            if c == "instances":
                raise KeyboardInterrupt
            return {"name": kw.get("route"), "status": "DONE"}
        spec = {"cidr": "c", "zone": "z", "dest_instance": "vm", "priority": 1, "name": None}
        with pytest.raises(KeyboardInterrupt):
            G.manageRoute(fakes.RecordingService(interrupted), {"delete": ["r"], "add": [spec]},
                          "s4")
        assert "mig::spoke" in fakes.FakeGlobals.revert["manage_routes"]["s4"]
        log.clear()
        G.manageRoute(self._service(), None, "s5")
        assert [m for _, m in log] == ["- Manage route(s) s5", "  No route config found!"]
        assert "s5" not in fakes.FakeGlobals.revert["manage_routes"]

    def test_restore_route(self, log):
        self._plan()
        fakes.FakeGlobals.revert["manage_routes"] = {"s1": {"mig::spoke": {
            "deleted_route_list": [{"name": "old", "destRange": "1.0.0.0/8"}],
            "added_route_list": ["a1", "a2"]}}}

        def respond(c, m, kw):
            if m == "delete" and kw["route"] == "a1":
                raise RuntimeError("HTTP 404")
            return {"name": "op", "status": "DONE"}
        service = fakes.RecordingService(respond)
        G.restoreRoute(service, "s1")
        assert log == [(INFO, "- Restore route(s) s1"), (INFO, "  remove route a1"),
                       (INFO, "  **Alert** HTTP 404"), (INFO, "  remove route a2"),
                       (INFO, "  restore route 1.0.0.0/8"), (INFO, "  Done")]
        assert [(c, m) for c, m, _ in requests_of(service)] == [
            ("routes", "delete"), ("routes", "delete"), ("globalOperations", "wait"),
            ("routes", "insert"), ("globalOperations", "wait")]
        log.clear()
        G.restoreRoute(service, "unknown")
        assert [m for _, m in log] == ["- Restore route(s) unknown", "  Done"]

    def test_switch_route(self, log):
        self._plan()
        fakes.FakeGlobals.service = self._service()
        fakes.FakeYamlContext.plan["manage_routes"] = {"s1": None}
        G.manageSwitchRoute(True, "s1")
        G.manageSwitchRoute(True, "absent")
        G.manageSwitchRoute("", "absent")
        assert [m for _, m in log] == ["- Manage route(s) s1", "  No route config found!",
                                       "- Restore route(s) absent", "  Done"]


class TestSubnets:
    def test_list_subnet_and_by_region(self, log):
        urls = [SUB % ("p1", "r1", "a"), SUB % ("p2", "r2", "b"), SUB % ("p1", "r1", "c")]
        service = fakes.RecordingService(
            lambda c, m, kw: {"ipCidrRange": kw["subnetwork"] + "-range"})
        assert G.listSubnet(service, {"subnetworks": urls}) == ["a-range", "b-range", "c-range"]
        assert [m for _, m in log] == [
            "", "- Discover subnet(s)", RULE,
            "  " + "CIDR".ljust(25) + "REGION".ljust(30) + "subnet", RULE]
        assert requests_of(service)[1] == ("subnetworks", "get",
                                           {"project": "p2", "region": "r2", "subnetwork": "b"})
        service = fakes.RecordingService(lambda c, m, kw: {"ipCidrRange": kw["subnetwork"]})
        assert G.listSubnetByRegion(service, {"subnetworks": urls}, "r1") == ["a", "c"]
        assert G.listSubnetByRegion(service, {}, "r1") == []
        assert len(requests_of(service)) == 2


class TestCloudRouters:
    def _router(self, network="transit", mode="CUSTOM", ranges=("10.0.0.0/24",), groups=None):
        bgp = {"asn": 64512, "advertiseMode": mode,
               "advertisedIpRanges": [{"range": r, "description": "d"} for r in ranges]}
        if groups is not None:
            bgp["advertisedGroups"] = list(groups)
        return {"name": "cr", "network": NET % ("hub", network), "bgp": bgp}

    def _setup(self, routers, entries):
        fakes.FakeYamlContext.plan = {"project_id": "mig", "vpc_name": "spoke", "transit_vpcs": [
            {"vpc_name": "hub::transit", "cloud_routers": entries}, {"vpc_name": "hub::bare"}]}

        def respond(c, m, kw):
            if m == "get":
                return routers[kw["router"]]
            return {"name": "op"}
        return fakes.RecordingService(respond)

    def _entry(self, name, add=(), remove=(), groups=()):
        return {"region": "r1", "router_name": name, "add_advertised_routes": list(add),
                "remove_advertised_routes": list(remove), "remove_advertised_groups": list(groups)}

    def test_patch_body_and_revert_entry(self, log):
        router = self._router(ranges=("10.0.0.0/24", "10.1.0.0/24"), groups=("ALL_SUBNETS", "X"))
        service = self._setup({"cr": router}, [self._entry("cr", add=["10.9.0.0/16", "10.0.0.0/24"],
                                                            remove=["10.1.0.0/24"], groups=["X"])])
        G.manageCloudRouterAdvertisedRoutePerVpc(service)
        where = " in cr from hub::transit r1"
        assert [m for _, m in log] == [
            "- Manage cloud router route(s)", "  delete 10.1.0.0/24" + where,
            "  add 10.9.0.0/16 to cr from hub::transit r1",
            "  already advertised 10.0.0.0/24" + where, "  delete X" + where,
            "  No cloud router found"]
        patch = requests_of(service)[1]
        assert patch[:2] == ("routers", "patch")
        assert patch[2]["body"] == {"bgp": {
            "advertisedIpRanges": [{"range": "10.0.0.0/24", "description": "d"},
                                   {"range": "10.9.0.0/16",
                                    "description": "tessaron-migration-added"}],
            "advertisedGroups": ["ALL_SUBNETS"]}}
        assert (fakes.FakeGlobals.revert["cloud_routers"]["mig::spoke"]["hub::transit::r1::cr"]
                is router["bgp"])

    def test_second_run_changes_nothing_and_first_save_wins(self, log):
        first = self._router()
        service = self._setup({"cr": first}, [self._entry("cr", add=["10.9.0.0/16"])])
        G.manageCloudRouterAdvertisedRoutePerVpc(service)
        patched = requests_of(service)[1][2]["body"]["bgp"]
        later = self._router(ranges=[r["range"] for r in patched["advertisedIpRanges"]])
        service = self._setup({"cr": later}, [self._entry("cr", add=["10.9.0.0/16"])])
        G.manageCloudRouterAdvertisedRoutePerVpc(service)
        assert [m for c, m, kw in requests_of(service)] == ["get"]
        # A third run that withdraws a range does patch, but keeps the first save.
        service = self._setup({"cr": later}, [self._entry("cr", remove=["10.9.0.0/16"])])
        G.manageCloudRouterAdvertisedRoutePerVpc(service)
        assert (fakes.FakeGlobals.revert["cloud_routers"]["mig::spoke"]["hub::transit::r1::cr"]
                is first["bgp"])

    def test_guarded_failures_and_skips(self, log, capsys):
        fakes.FakeGlobals.revert = {}
        fakes.FakeGlobals.dry_run = True
        routers = {"other": self._router(network="elsewhere"), "dflt": self._router(mode="DEFAULT"),
                   "bad": self._router(ranges=["10.0.0.1/24"]), "ok": self._router()}
        service = self._setup(routers, [self._entry(n, add=["1.0.0.0/8"]) for n in routers])
        G.manageCloudRouterAdvertisedRoutePerVpc(service)
        assert [m for _, m in log][1:5] == [
            "  other not found in hub::transit r1",
            "  dflt in hub::transit r1 is in DEFAULT advertize mode, cannot customize route",
            "**Error** 10.0.0.1/24 has host bits set",
            "  add 1.0.0.0/8 to ok from hub::transit r1"]
        assert log[3][0] == ERROR and "Traceback" in capsys.readouterr().err
        assert [m for c, m, kw in requests_of(service)] == ["get"] * 4
        assert (list(fakes.FakeGlobals.revert["cloud_routers"]["mig::spoke"])
                == ["hub::transit::r1::ok"])

    def test_restore(self, log):
        saved = {"asn": 1, "advertiseMode": "CUSTOM"}
        fakes.FakeYamlContext.plan = {"project_id": "mig", "vpc_name": "spoke"}
        fakes.FakeGlobals.revert["cloud_routers"] = {"mig::spoke": {"hub::net::r1::cr": saved}}
        service = fakes.RecordingService(lambda c, m, kw: {"name": "op"})
        G.restoreCloudRouterAdvertisedRoutePerVpc(service)
        assert [m for _, m in log] == [
            "- Restore cloud router route(s)",
            "  restore hub::net::r1::cr, bgp {'asn': 1, 'advertiseMode': 'CUSTOM'}"]
        assert requests_of(service) == [("routers", "patch", {
            "project": "hub", "region": "r1", "router": "cr", "body": {"bgp": saved}})]
        assert saved["advertisedIpRanges"] == []
        log.clear()
        fakes.FakeGlobals.revert["cloud_routers"] = {}
        G.restoreCloudRouterAdvertisedRoutePerVpc(service)
        assert [m for _, m in log] == ["- Restore cloud router route(s)", "  Done"]

    def test_list_router_by_region(self, log):
        router = self._router(ranges=["10.0.0.0/24", "10.1.0.0/24"], groups=["G"])
        router["region"] = "https://www.googleapis.com/compute/v1/projects/hub/regions/r1"
        service = fakes.RecordingService(lambda c, m, kw: {"items": [router]})
        G.listRouterByRegion(service, "hub", "transit", "r1")
        assert [m for _, m in log] == ["- Discover cloud router(s)", "  cr r1 bgp 64512 CUSTOM",
                                       "    10.0.0.0/24 d", "    10.1.0.0/24 d", "    G"]
        log.clear()
        G.listRouterByRegion(fakes.RecordingService(lambda c, m, kw: {}), "hub", "transit", "r1")
        assert [m for _, m in log] == ["- Discover cloud router(s)", "  No cloud router found"]
