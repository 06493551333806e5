"""Reference leaks: every method, on its success and error paths, many times.

Each scenario builds its own fakes, runs one call and drops everything; run
many times, it must leave the interpreter's allocated blocks where they were,
and the objects handed in must keep their reference counts.
"""

import contextlib
import copy
import gc
import io
import logging
import sys

import pytest

from testing.fakes import (DropHandler, FakeHttpError, FakeService, Run, attached, instance_url,
                           network_url, subnet_url)

ROUNDS = 500
# A little slack for the interpreter's own caches (type attribute cache,
# free lists) that settle during the first rounds.
SLACK = 100


@pytest.fixture(params=["emitted", "filtered"])
def logger_mode(request):
    level = logging.INFO if request.param == "emitted" else logging.WARNING
    with attached(DropHandler(), level):
        yield request.param


@contextlib.contextmanager
def no_root_handlers():
    """Sets the root logger's handlers aside (pytest's capture among them,
    added for each test phase), since they keep every record."""
    root = logging.getLogger()
    saved = root.handlers[:]
    root.handlers[:] = []
    try:
        yield
    finally:
        root.handlers[:] = saved


@contextlib.contextmanager
def bound(gcplib, **names):
    saved = {name: getattr(gcplib, name) for name in names}
    for name, value in names.items():
        setattr(gcplib, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(gcplib, name, value)


def run_with(gcplib, run, call):
    with bound(gcplib, yctx=run.yctx, Globals=run.Globals), \
            contextlib.redirect_stderr(io.StringIO()):
        call()


def expect(error, call):
    with pytest.raises(error):
        call()


class NoSleep:
    @staticmethod
    def sleep(seconds):
        pass


# --- inputs shared by the scenarios (their reference counts are checked) ---

NET_M = network_url("pm", "vpc-m")
NET_T = network_url("pt", "transit")
PEERING_LOCAL = {
    "name": "m-to-t", "network": NET_T, "exportCustomRoutes": True, "importCustomRoutes": False,
    "exchangeSubnetRoutes": True, "exportSubnetRoutesWithPublicIp": False,
    "importSubnetRoutesWithPublicIp": False, "stackType": "IPV4_ONLY",
}
PEERING_REMOTE = dict(PEERING_LOCAL, name="t-to-m", network=NET_M)
NETWORK = {
    "name": "vpc-m", "selfLink": NET_M,
    "peerings": [PEERING_LOCAL, {"name": "other", "network": network_url("px", "other")}],
    "subnetworks": [subnet_url("pm", "r1", "a"), subnet_url("pm", "r2", "b"),
                    subnet_url("po", "r1", "c")],
}
ROUTES = [
    {"destRange": "10.0.0.0/24", "nextHopNetwork": NET_T},
    {"destRange": "10.0.1.0/24", "nextHopIp": "10.9.9.9"},
    {"destRange": "0.0.0.0/0", "nextHopGateway": "x/global/gateways/default-internet-gateway"},
    {"destRange": "10.0.2.0/24", "nextHopIlb": "x/forwardingRules/ilb"},
    {"destRange": "10.0.3.0/24", "nextHopPeering": "gke-abc-123-peer"},
    {"destRange": "10.0.4.0/24", "nextHopInstance": instance_url("pm", "z1", "vm-1")},
    {"destRange": "10.0.5.0/24"},
]
ROUTER = {
    "name": "cr-1", "network": NET_T,
    "region": "https://www.googleapis.com/compute/v1/projects/pt/regions/r1",
    "bgp": {
        "asn": 64512, "advertiseMode": "CUSTOM", "advertisedGroups": ["ALL_SUBNETS"],
        "advertisedIpRanges": [{"range": "10.0.0.0/24", "description": "a"},
                               {"range": "10.1.0.0/24", "description": "b"}],
    },
}
TRANSIT = [{
    "vpc_name": "pt::transit",
    "cloud_routers": [
        {"region": "r1", "router_name": "cr-1",
         "add_advertised_routes": ["10.5.0.0/16", "10.0.0.0/24"],
         "remove_advertised_routes": ["10.1.0.0/24"], "remove_advertised_groups": ["ALL_SUBNETS"]},
        {"region": "r1", "router_name": "cr-bad"},
    ],
}]
ROUTE_CONFIG = {
    "delete": ["old-1", "missing"],
    "add": [
        {"cidr": "10.7.0.0/16", "zone": "z1", "dest_instance": "vm-1", "priority": None,
         "name": None},
        {"cidr": "10.8.0.0/16", "zone": "z1", "dest_instance": "vm-1", "priority": 500,
         "name": "given"},
        {"cidr": "10.9.0.0/16"},
    ],
}
SHARED = [NETWORK, PEERING_LOCAL, PEERING_REMOTE, ROUTES, ROUTER, TRANSIT, ROUTE_CONFIG]


def networks_service():
    service = FakeService()
    nets = {("pm", "vpc-m"): NETWORK,
            ("pt", "transit"): {"name": "transit", "peerings": [PEERING_REMOTE]}}
    service.on("networks.get", lambda project, network: nets[(project, network)])
    return service


def stage_run(dry_run=False):
    run = Run()
    run.project, run.vpc = "pm", {"vpc_name": "vpc-m"}
    run.plan = {"project_id": "pm", "vpc_name": "vpc-m", "transit_vpcs": TRANSIT,
                "manage_routes": {"s1": ROUTE_CONFIG}, "spoke_advertisement": None,
                "advertise_gke": True}
    run.dry_run = dry_run
    run.service = networks_service()
    return run


# --- scenarios ------------------------------------------------------------


def s_list_peering(G, m):
    G.listPeering(NETWORK)
    G.listPeering({})
    expect(KeyError, lambda: G.listPeering({"peerings": [{"name": "x"}]}))
    expect(TypeError, lambda: G.listPeering({"peerings": None}))
    expect(TypeError, lambda: G.listPeering())


def s_wait(G, m):
    service = FakeService()
    service.statuses["op"] = ["RUNNING", "DONE"]
    with bound(m, time=NoSleep):
        G.wait_for_global_operation(service, "p", "op")
        service.operation_extra["bad"] = {"error": {"errors": []}}
        expect(Exception, lambda: G.wait_for_global_operation(service, "p", "bad"))
    expect(TypeError, lambda: G.wait_for_global_operation(service, None, "op"))
    expect(TypeError, lambda: G.wait_for_global_operation(service, "p", b"op"))
    service.on("globalOperations.wait", {"name": "x"})
    expect(KeyError, lambda: G.wait_for_global_operation(service, "p", "x"))
    service.on("globalOperations.wait", dict)  # a fresh {} each time: no "status"
    expect(KeyError, lambda: G.wait_for_global_operation(service, "p", "x"))


def s_delete_peering(G, m):
    run = stage_run()
    service = run.service
    service.fail("networks.removePeering", FakeHttpError(400, "in progress"),
                 when=lambda kw: kw["network"] == "bad")
    service.operation_extra["operation-2"] = {"error": "late"}

    def call():
        G.deletePeering(service, "pm", "vpc-m", "p1")
        G.deletePeering(service, "pm", "bad", "p1")
        G.deletePeering(service, "pm", "vpc-m", "p2")
        service.on("networks.removePeering", {"name": "op-w", "warnings": [{"code": "W"}]})
        G.deletePeering(service, "pm", "vpc-m", "p3")
        service.on("networks.removePeering", {"name": "op-h", "httpErrorMessage": "denied"})
        G.deletePeering(service, "pm", "vpc-m", "p4")
        service.on("networks.removePeering", {})
        G.deletePeering(service, "pm", "vpc-m", "p5")

    run_with(m, run, call)


def s_lookup(G, m):
    service = networks_service()
    assert G.lookupRemotePeering(service, "pm", "vpc-m", "pt", "transit") is PEERING_REMOTE
    assert G.lookupRemotePeering(service, "px", "vpc-m", "pt", "transit") is None
    expect(KeyError, lambda: G.lookupRemotePeering(service, "pm", "vpc-m", "nope", "x"))


def s_delete_peerings(G, m):
    for dry in (False, True):
        run = stage_run(dry)
        run_with(m, run, lambda: G.deletePeerings(run.service, "pm", {"vpc_name": "vpc-m"}))
        run_with(m, run, lambda: G.deletePeerings(run.service, "pm", {"vpc_name": "vpc-m"}))
    run = stage_run()
    run.service.fail("networks.get", FakeHttpError(503, "busy"),
                     when=lambda kw: kw["project"] == "pt")
    run_with(m, run, lambda: expect(
        FakeHttpError, lambda: G.deletePeerings(run.service, "pm", {"vpc_name": "vpc-m"})))
    run = stage_run()
    del run.revert["peerings"]
    run_with(m, run, lambda: G.deletePeerings(run.service, "pm", {"vpc_name": "vpc-m"}))


def s_add_peerings(G, m):
    pairs = [
        {"localPeeringProperties": PEERING_LOCAL, "remotePeeringProperties": PEERING_REMOTE},
        {"localPeeringProperties": PEERING_LOCAL, "remotePeeringProperties": None},
    ]
    for dry in (False, True):
        run = stage_run(dry)
        run_with(m, run, lambda: G.addPeerings(run.service, pairs))
        run_with(m, run, lambda: G.addPeerings(run.service, []))
    run = stage_run()
    broken = [{"localPeeringProperties": {"name": "x", "network": NET_T},
               "remotePeeringProperties": PEERING_REMOTE}]
    run_with(m, run, lambda: expect(KeyError, lambda: G.addPeerings(run.service, broken)))
    run.service.operation_extra["operation-1"] = {"error": {"errors": []}}
    # The failed side is found in place (logged, the restore goes on), then
    # not found, then the lookup fails: the addition's error is raised.
    run_with(m, run, lambda: G.addPeerings(run.service, pairs))
    for lookup in ({"name": "vpc-m", "peerings": [PEERING_REMOTE]}, FakeHttpError(503, "busy")):
        run = stage_run()
        run.service.fail("networks.addPeering", FakeHttpError(400, "already"))
        if isinstance(lookup, dict):
            run.service.on("networks.get", lookup)
        else:
            run.service.fail("networks.get", lookup)
        run_with(m, run, lambda: expect(FakeHttpError, lambda: G.addPeerings(run.service, pairs)))


def s_manage_peerings(G, m):
    run = stage_run()
    run.service = networks_service()
    run_with(m, run, lambda: G.managePeerings(True))
    run_with(m, run, lambda: G.managePeerings(False))
    run_with(m, run, lambda: G.managePeerings("yes"))


def s_list_route_table(G, m):
    service = FakeService()
    service.pages["routes.list"] = [{"items": ROUTES}, {"items": ROUTES[:2]}, {}]
    G.listRouteTable("pm", service, NETWORK)
    G.listRouteTable("pm", service, NETWORK, False)
    expect(KeyError, lambda: G.listRouteTable("pm", service, {}))
    service.pages["routes.list"] = [{"items": [{"nextHopIp": "1.2.3.4"}]}]
    expect(KeyError, lambda: G.listRouteTable("pm", service, NETWORK))


def subnet_service():
    service = FakeService()
    service.on("subnetworks.get", lambda project, region, subnetwork: {
        "ipCidrRange": "10.0.%d.0/24" % len(subnetwork), "name": subnetwork, "region": region})
    return service


def s_subnets(G, m):
    service = subnet_service()
    assert len(G.listSubnet(service, NETWORK)) == 3
    assert len(G.listSubnetByRegion(service, NETWORK, "r1")) == 2
    G.listSubnetByRegion(service, {}, "r1")
    expect(IndexError, lambda: G.listSubnet(service, {"subnetworks": ["a/b"]}))
    service.on("subnetworks.get", {"name": "no-range"})
    expect(KeyError, lambda: G.listSubnetByRegion(service, NETWORK, "r2"))


def s_compose(G, m):
    info = m.RouteInfo()
    info.add_gke_export_routes("10.100.0.0/16")
    for plan in ({"spoke_advertisement": None, "advertise_gke": True},
                 {"spoke_advertisement": ["10.0.0.0/8"], "advertise_gke": True},
                 {"spoke_advertisement": None, "advertise_gke": 1},
                 {"spoke_advertisement": [], "advertise_gke": False}):
        run = stage_run()
        run.plan.update(plan)
        run.routeInfo = info
        run_with(m, run, lambda: G.composeVpcCidrs(subnet_service(), NETWORK, {"region": "r1"}))
    run = stage_run()
    run.routeInfo = info
    run_with(m, run,
             lambda: expect(KeyError, lambda: G.composeVpcCidrs(subnet_service(), NETWORK, {})))
    run.plan["spoke_advertisement"] = "10.0.0.0/8"
    run_with(m, run,
             lambda: expect(TypeError, lambda: G.composeVpcCidrs(subnet_service(), NETWORK, {})))


def s_routers(G, m):
    service = FakeService()
    service.on("routers.list", {"items": [ROUTER, dict(ROUTER, network=NET_M)]})
    G.listRouterByRegion(service, "pt", "transit", "r1")
    service.on("routers.list", {})
    G.listRouterByRegion(service, "pt", "transit", "r1")
    service.on("routers.list", {"items": [{"name": "x", "network": NET_T, "region": "r"}]})
    expect(IndexError, lambda: G.listRouterByRegion(service, "pt", "transit", "r1"))


def router_service():
    service = FakeService()
    service.on("routers.get", lambda project, region, router: copy.deepcopy(ROUTER))
    service.on("routers.patch", {"name": "op-r"})
    return service


def s_router_stage(G, m):
    for dry in (False, True):
        run = stage_run(dry)
        run.service = router_service()
        run_with(m, run, lambda: G.manageCloudRouterAdvertisedRoute(True))
        run_with(m, run, lambda: G.manageCloudRouterAdvertisedRoute(True))
        run_with(m, run, lambda: G.manageCloudRouterAdvertisedRoute(False))
        run_with(m, run, lambda: G.restoreCloudRouterAdvertisedRoutePerVpc(run.service))
    run = stage_run()
    run.service = router_service()
    bad = copy.deepcopy(ROUTER)
    bad["bgp"]["advertisedIpRanges"].append({"range": "10.2.0.1/24", "description": "host bits"})
    run.service.on("routers.get", lambda **kw: copy.deepcopy(bad))
    run_with(m, run, lambda: G.manageCloudRouterAdvertisedRoutePerVpc(run.service))
    run.plan["transit_vpcs"] = [{"vpc_name": "no-separator"}]
    run_with(m, run, lambda: expect(
        IndexError, lambda: G.manageCloudRouterAdvertisedRoutePerVpc(run.service)))
    run.revert["cloud_routers"] = {"pm::vpc-m": {"short::key": {}}}
    run_with(m, run, lambda: expect(
        IndexError, lambda: G.restoreCloudRouterAdvertisedRoutePerVpc(run.service)))
    run.revert["cloud_routers"] = {"pm::vpc-m": {"pt::transit::r1::cr-1": {"asn": 1}}}
    run.service.fail("routers.patch", FakeHttpError(500, "x"))
    run_with(m, run, lambda: G.restoreCloudRouterAdvertisedRoutePerVpc(run.service))


def route_service():
    service = FakeService()
    service.on("routes.get",
               lambda project, route: {"name": route, "destRange": "10.6.0.0/16", "priority": 900})
    service.fail("routes.get", FakeHttpError(404, "not found"),
                 when=lambda kw: kw["route"] == "missing")
    service.on("instances.get",
               lambda project, zone, instance: {"selfLink": instance_url(project, zone, instance)})
    return service


def s_route_stage(G, m):
    for dry in (False, True):
        run = stage_run(dry)
        run.service = route_service()
        run_with(m, run, lambda: G.manageSwitchRoute(True, "s1"))
        run_with(m, run, lambda: G.manageSwitchRoute(True, "s1"))
        run_with(m, run, lambda: G.manageSwitchRoute(0, "s1"))
        run_with(m, run, lambda: G.manageSwitchRoute(True, "absent"))
    run = stage_run()
    run.service = route_service()
    run_with(m, run, lambda: G.manageRoute(run.service, None, "s1"))
    run_with(m, run,
             lambda: expect(TypeError, lambda: G.manageRoute(run.service, {"add": 5}, "s1")))
    run.revert = {"peerings": {}}
    run_with(m, run, lambda: G.manageRoute(run.service, ROUTE_CONFIG, "s1"))
    run.revert = {}
    run_with(m, run, lambda: expect(KeyError, lambda: G.restoreRoute(run.service, "s1")))
    run.plan["manage_routes"] = None
    run_with(m, run, lambda: G.manageSwitchRoute(False, "s1"))
    # Accepted inserts whose waits fail, then one interrupted: recorded all the same.
    run = stage_run()
    run.service = route_service()
    run.service.operation_extra.update({"operation-2": {"error": "late"},
                                        "operation-3": {"error": "late"}})
    run_with(m, run, lambda: G.manageRoute(run.service, ROUTE_CONFIG, "s1"))
    run.service.fail("globalOperations.wait", KeyboardInterrupt(),
                     when=lambda kw: kw["operation"] == "operation-5")
    run_with(m, run, lambda: expect(
        KeyboardInterrupt, lambda: G.manageRoute(run.service, ROUTE_CONFIG, "s2")))


def s_list_all_network(G, m):
    service = FakeService()
    service.pages["networks.list"] = [{"items": [NETWORK]}, {"items": []}]
    service.pages["routes.list"] = [{"items": ROUTES[:3]}]
    service.on("subnetworks.get", {"ipCidrRange": "10.0.0.0/24", "name": "s", "region": "r"})

    class Auth:
        @staticmethod
        def default():
            return object(), "pm"

    class Google:
        auth = Auth

    class Discovery:
        @staticmethod
        def build(name, version, credentials=None):
            return service

    with bound(m, google=Google, discovery=Discovery):
        G.listAllNetwork("ignored")
        Auth.default = staticmethod(lambda: ("only-one",))
        expect(ValueError, lambda: G.listAllNetwork("ignored"))


SCENARIOS = {
    "listPeering": s_list_peering,
    "wait_for_global_operation": s_wait,
    "deletePeering": s_delete_peering,
    "lookupRemotePeering": s_lookup,
    "deletePeerings": s_delete_peerings,
    "addPeerings": s_add_peerings,
    "managePeerings": s_manage_peerings,
    "listRouteTable": s_list_route_table,
    "listSubnet+listSubnetByRegion": s_subnets,
    "composeVpcCidrs": s_compose,
    "listRouterByRegion": s_routers,
    "router stage": s_router_stage,
    "route stage": s_route_stage,
    "listAllNetwork": s_list_all_network,
}


def blocks_after(fn, rounds):
    for _ in range(rounds):
        fn()
    gc.collect()
    return sys.getallocatedblocks()


# The interpreter's caches settle within a few hundred rounds on 3.10 and
# take a few thousand on 3.13; a leak grows in every window of ROUNDS.
WINDOWS = 8


def growth(fn):
    """The blocks gained over successive windows of ROUNDS calls after a
    warm-up, up to the first window that stays within SLACK."""
    grown = []
    base = blocks_after(fn, 100)
    while len(grown) < WINDOWS and (not grown or grown[-1] >= SLACK):
        now = blocks_after(fn, ROUNDS)
        grown.append(now - base)
        base = now
    return grown


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_reference_leaks(gcplib, GcpLib, logger_mode, name):
    scenario = SCENARIOS[name]

    def once():
        scenario(GcpLib, gcplib)

    refcounts = [sys.getrefcount(obj) for obj in SHARED]
    with no_root_handlers():
        grown = growth(once)
    assert grown[-1] < SLACK, f"{name}: blocks gained in each window of {ROUNDS} rounds: {grown}"
    assert [sys.getrefcount(obj) for obj in SHARED] == refcounts


def test_argument_errors_leak_nothing(GcpLib):
    calls = [
        lambda: GcpLib.listRouteTable("p"),
        lambda: GcpLib.listRouteTable(1, 2, 3, 4, 5),
        lambda: GcpLib.listPeering(network=1, other=2),
        lambda: GcpLib.listPeering(1, network=2),
        lambda: GcpLib.wait_for_global_operation(1, "p", None),
        lambda: GcpLib.deletePeering(),
        lambda: GcpLib.listRouteTable(1, 2, 3, propagat=1),
        lambda: GcpLib.listPeering(**{"network": 1, "netwrk": 2}),
    ]
    arg = object()
    before_ref = sys.getrefcount(arg)

    def once():
        for call in calls:
            with pytest.raises(TypeError):
                call()
        with pytest.raises(TypeError):
            GcpLib.listSubnet(arg, arg, arg)

    grown = growth(once)
    assert grown[-1] < SLACK, grown
    assert sys.getrefcount(arg) == before_ref
