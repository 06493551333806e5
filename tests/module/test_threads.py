"""The methods called from several threads at once, each with its own fakes,
give what the same calls give one after another."""

import copy
import logging
import threading

import pytest

from testing.fakes import FakeService, attached, instance_url, network_url, subnet_url

THREADS = 4
REPEATS = 25


class PerThread:
    """Sibling stand-ins whose state belongs to the calling thread."""

    def __init__(self):
        self.local = threading.local()
        here = self

        class Context:
            def getContext(self, key):
                return here.local.plan.get(key)

        class Meta(type):
            def __getattr__(cls, name):
                try:
                    return getattr(here.local, name)
                except AttributeError:
                    raise AttributeError(name) from None

        class Globals(metaclass=Meta):
            @classmethod
            def getDryRun(cls):
                return here.local.dry_run

            @classmethod
            def getRevertInfo(cls):
                return here.local.revert

        self.yctx = Context
        self.Globals = Globals

    def setup(self, n):
        local = self.local
        project, vpc = f"proj-{n}", f"vpc-{n}"
        local.project, local.vpc = project, {"vpc_name": vpc}
        local.networkLink = network_url(project, vpc)
        local.dry_run = n % 2 == 1
        local.revert = {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}
        local.plan = {
            "project_id": project, "vpc_name": vpc,
            "transit_vpcs": [{"vpc_name": f"transit-{n}::t", "cloud_routers": [{
                "region": "r1", "router_name": f"cr-{n}",
                "add_advertised_routes": [f"10.{n}.0.0/16"],
                "remove_advertised_routes": ["10.200.0.0/24"], "remove_advertised_groups": [],
            }]}],
            "manage_routes": {"s1": {"delete": [f"old-{n}"], "add": [
                {"cidr": f"10.{n}.1.0/24", "zone": "z", "dest_instance": f"vm-{n}",
                 "priority": None, "name": None},
            ]}},
        }
        service = FakeService()
        service.pages["routes.list"] = [
            {"items": [{"destRange": f"10.{n}.{i}.0/24", "nextHopPeering": f"gke-{n}-{i}-peer"}
                       for i in range(5)]},
            {"items": [{"destRange": f"10.{n}.9.0/24", "nextHopIp": "10.0.0.1"}]},
        ]
        service.on("subnetworks.get", lambda project, region, subnetwork: {
            "ipCidrRange": f"{subnetwork}/24", "name": subnetwork, "region": region})
        service.on("routes.get",
                   lambda project, route: {"name": route, "destRange": "192.168.0.0/24"})
        service.on("instances.get", lambda project, zone, instance: {
            "selfLink": instance_url(project, zone, instance)})
        service.on("routers.get", lambda project, region, router: {
            "name": router, "network": network_url(project, "t"),
            "bgp": {"asn": 64512, "advertiseMode": "CUSTOM",
                    "advertisedIpRanges": [{"range": "10.200.0.0/24", "description": "old"}]}})
        local.service = service
        network = {"selfLink": local.networkLink,
                   "subnetworks": [subnet_url(project, "r1", f"10.{n}.{i}.0") for i in range(4)],
                   "peerings": [{"name": f"p-{n}-{i}", "network": network_url(f"peer-{i}", "n")}
                                for i in range(3)]}
        return project, service, network


def work(GcpLib, siblings, n):
    """One thread's calls; returns everything they produced."""
    project, service, network = siblings.setup(n)
    out = []
    for _ in range(REPEATS):
        out.append(GcpLib.listRouteTable(project, service, network).get_gke_export_routes())
        out.append(GcpLib.listSubnet(service, network))
        out.append(GcpLib.listSubnetByRegion(service, network, "r1"))
        out.append(GcpLib.listPeering(network))
        GcpLib.manageSwitchRoute(True, "s1")
        GcpLib.manageCloudRouterAdvertisedRoute(True)
    out.append(copy.deepcopy(siblings.local.revert))
    out.append([(ev, name, kw) for ev, name, kw in service.log])
    return out


class ThreadRecords(logging.Handler):
    def __init__(self):
        super().__init__()
        self.by_thread = {}

    def emit(self, record):  # called under the handler's own lock
        self.by_thread.setdefault(record.thread, []).append((record.levelname, record.getMessage()))


@pytest.fixture
def records():
    with attached(ThreadRecords()) as handler:
        yield handler


def run_in_thread(fn):
    box = {}

    def target():
        box["ident"] = threading.get_ident()
        try:
            box["result"] = fn()
        except BaseException as e:  # reported to the test below
            box["error"] = e

    t = threading.Thread(target=target)
    return t, box


def test_concurrent_calls_match_serial_ones(gcplib, GcpLib, monkeypatch, records):
    siblings = PerThread()
    monkeypatch.setattr(gcplib, "yctx", siblings.yctx)
    monkeypatch.setattr(gcplib, "Globals", siblings.Globals)

    serial = []
    for n in range(THREADS):
        t, box = run_in_thread(lambda n=n: work(GcpLib, siblings, n))
        t.start()
        t.join()
        assert "error" not in box, box.get("error")
        serial.append((box["result"], records.by_thread.pop(box["ident"])))

    records.by_thread.clear()
    barrier = threading.Barrier(THREADS)

    def together(n):
        barrier.wait()
        return work(GcpLib, siblings, n)

    started = [run_in_thread(lambda n=n: together(n)) for n in range(THREADS)]
    for t, _ in started:
        t.start()
    for t, _ in started:
        t.join()
    for n, (_, box) in enumerate(started):
        assert "error" not in box, box.get("error")
        assert box["result"] == serial[n][0]
        assert records.by_thread[box["ident"]] == serial[n][1]
    # The logger passes records to its parents again once every listing is over.
    assert logging.getLogger("tarn_gcp.gcplib").propagate is True
