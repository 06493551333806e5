"""Discovery of routes: the route table listing and the CIDR composition."""

import logging
import types

import pytest

from testing.fakes import FakeHttpError, instance_url, network_url, subnet_url

RULE = "  " + "." * 63
HEADER = "  " + "CIDR".ljust(25) + "Next-hop".ljust(30)
SELF_LINK = network_url("proj-a", "net-a")
NETWORK = {"name": "net-a", "selfLink": SELF_LINK}
LOGGER = "tarn_gcp.gcplib"


def opening():
    return [("INFO", ""), ("INFO", "- Discover route(s)"), ("INFO", RULE), ("INFO", HEADER),
            ("INFO", RULE)]


def row(dest_range, dest):
    return ("INFO", "  " + dest_range.ljust(25) + dest)


def gke_routes(record):
    return record.get_gke_export_routes()


# ---------------------------------------------------------------------------
# listRouteTable


def test_network_without_routes(GcpLib, gcplib, service, logs):
    service.on("routes.list", {"kind": "compute#routeList"})
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines == opening() + [("INFO", "    no route found")]
    assert len(RULE) == 65 and HEADER == "  CIDR" + " " * 21 + "Next-hop" + " " * 22
    assert type(record) is gcplib.RouteInfo and gke_routes(record) == []
    assert service.executed() == [
        ("routes.list", {"project": "proj-a", "filter": f'network: "{SELF_LINK}"'})]
    assert [e for e in service.log if e[0] == "list_next"] == []


NEXT_HOPS = [
    ("nextHopNetwork", network_url("p", "net-b"), "Virtual network net-b"),
    ("nextHopIp", "10.1.2.3", "10.1.2.3"),
    ("nextHopGateway",
     network_url("p", "x").rsplit("/", 2)[0] + "/gateways/default-internet-gateway",
     "default-internet-gateway"),
    ("nextHopIlb",
     "https://www.googleapis.com/compute/v1/projects/p/regions/r/forwardingRules/fr-1", "fr-1"),
    ("nextHopPeering", "peer-1", "peer-1"),
    ("nextHopInstance", instance_url("p", "zone-a", "vm-1"), "vm-1"),
    # Values without a "/" or ending in one keep split("/")[-1]'s meaning.
    ("nextHopGateway", "default-internet-gateway", "default-internet-gateway"),
    ("nextHopIlb", "forwardingRules/", ""),
    ("nextHopNetwork", "net-c", "Virtual network net-c"),
]


@pytest.mark.parametrize("key,value,dest", NEXT_HOPS)
def test_each_next_hop_kind(GcpLib, service, logs, key, value, dest):
    service.pages["routes.list"] = [{"items": [{"destRange": "10.0.0.0/8", key: value}]}]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines == opening() + [row("10.0.0.0/8", dest)]
    assert gke_routes(record) == []


class Text(str):
    """A str of another type: its split, startswith and endswith are its own."""


@pytest.mark.parametrize("key,value,dest", [
    ("nextHopGateway", Text("a/b/gw"), "gw"),
    ("nextHopNetwork", Text("a/net-z"), "Virtual network net-z"),
    ("nextHopInstance", Text(instance_url("p", "z", "vm-9")), "vm-9"),
    ("nextHopPeering", Text("gke-x-peer"), "gke-x-peer"),
])
def test_next_hop_values_of_a_str_subclass(GcpLib, service, logs, key, value, dest):
    service.pages["routes.list"] = [{"items": [{"destRange": "10.0.0.0/8", key: value}]}]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines[-1] == row("10.0.0.0/8", dest)
    assert gke_routes(record) == (["10.0.0.0/8"] if key == "nextHopPeering" else [])


ORDER = ["nextHopNetwork", "nextHopIp", "nextHopGateway", "nextHopIlb", "nextHopPeering",
         "nextHopInstance"]
VALUES = {
    "nextHopNetwork": ("a/net-n", "Virtual network net-n"),
    "nextHopIp": ("10.9.9.9", "10.9.9.9"),
    "nextHopGateway": ("a/gw-g", "gw-g"),
    "nextHopIlb": ("a/ilb-i", "ilb-i"),
    "nextHopPeering": ("gke-a-peer", "gke-a-peer"),
    "nextHopInstance": (instance_url("p", "z", "vm-i"), "vm-i"),
}


@pytest.mark.parametrize("first", range(len(ORDER)))
def test_the_first_next_hop_key_in_order_wins(GcpLib, service, logs, first):
    # Keys inserted in reverse, so the dict's own order cannot decide.
    route = {"destRange": "10.0.0.0/8"}
    for key in reversed(ORDER[first:]):
        route[key] = VALUES[key][0]
    service.pages["routes.list"] = [{"items": [route]}]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines[-1] == row("10.0.0.0/8", VALUES[ORDER[first]][1])
    # Only a peering route that wins records its range.
    assert gke_routes(record) == (["10.0.0.0/8"] if ORDER[first] == "nextHopPeering" else [])


class Route(dict):
    """A route that records the membership tests and subscriptions made."""

    def __init__(self, *args, asked, **kwargs):
        super().__init__(*args, **kwargs)
        self.asked = asked

    def __contains__(self, key):
        self.asked.append(("in", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.asked.append(("get", key))
        return super().__getitem__(key)


def test_next_hop_keys_are_tested_in_order_and_read_once(GcpLib, service, logs):
    asked = []
    peering = Route({"destRange": "10.0.0.0/8", "nextHopPeering": "gke-a-peer"}, asked=asked)
    instance = Route({"destRange": "10.1.0.0/16", "nextHopInstance": instance_url("p", "z", "vm")},
                     asked=asked)
    service.pages["routes.list"] = [{"items": [peering, instance]}]
    GcpLib.listRouteTable("proj-a", service, NETWORK)
    tests = [("in", k) for k in ORDER]
    assert asked == (
        tests[:5] + [("get", "nextHopPeering"), ("get", "destRange")]
        + tests + [("get", "nextHopInstance"), ("get", "destRange")]
    )


@pytest.mark.parametrize("name,recorded", [
    ("gke-abc-123-peer", True),
    ("gke-peer", True),  # the prefix and the suffix may overlap
    ("gke-abc", False),
    ("abc-peer", False),
    ("GKE-abc-peer", False),
    ("gke-abc-peer-1", False),
    ("xgke-abc-peer", False),
])
def test_gke_peering_names(GcpLib, service, logs, name, recorded):
    service.pages["routes.list"] = [{"items": [
        {"destRange": "172.16.0.0/28", "nextHopPeering": name},
        {"destRange": "172.16.1.0/28", "nextHopPeering": name},
    ]}]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines[-2:] == [row("172.16.0.0/28", name), row("172.16.1.0/28", name)]
    assert gke_routes(record) == (["172.16.0.0/28", "172.16.1.0/28"] if recorded else [])


@pytest.mark.parametrize("dest_range",
                         ["2001:db8:abcd:0012:0000:0000:0000:0000/64", "ü" * 24, "ü" * 25, ""])
def test_range_column_is_padded_in_characters_and_never_cut(GcpLib, service, logs, dest_range):
    service.pages["routes.list"] = [{"items": [{"destRange": dest_range, "nextHopIp": "10.0.0.1"}]}]
    GcpLib.listRouteTable("proj-a", service, NETWORK)
    line = logs.lines[-1][1]
    assert line == "  " + dest_range.ljust(25) + "10.0.0.1"
    assert len(line) == 2 + max(25, len(dest_range)) + len("10.0.0.1")


def test_unknown_destination_is_reported_and_the_listing_goes_on(GcpLib, service, logs):
    odd = {"destRange": "10.5.0.0/16", "nextHopVpnTunnel": "a/tunnel-1"}
    service.pages["routes.list"] = [
        {"items": [odd, {"name": "r"}, {"destRange": "10.6.0.0/16", "nextHopIp": "10.0.0.9"}]}]
    GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines == opening() + [
        ("ERROR", "  **Error** unknown destination " + str(odd)),
        ("ERROR", "  **Error** unknown destination {'name': 'r'}"),
        row("10.6.0.0/16", "10.0.0.9"),
    ]


def test_pages_are_listed_in_order(GcpLib, service, logs):
    service.pages["routes.list"] = [
        {"items": [{"destRange": "10.1.0.0/16", "nextHopPeering": "gke-1-peer"}]},
        {"items": [{"destRange": "10.2.0.0/16", "nextHopIp": "10.0.0.2"},
                   {"destRange": "10.3.0.0/16", "nextHopPeering": "gke-3-peer"}]},
        {"items": [{"destRange": "10.4.0.0/16", "nextHopIp": "10.0.0.4"}]},
    ]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines == opening() + [
        row("10.1.0.0/16", "gke-1-peer"), row("10.2.0.0/16", "10.0.0.2"),
        row("10.3.0.0/16", "gke-3-peer"), row("10.4.0.0/16", "10.0.0.4"),
    ]
    assert gke_routes(record) == ["10.1.0.0/16", "10.3.0.0/16"]
    assert [e[0] for e in service.log] == ["build", "execute", "list_next", "execute", "list_next",
                                           "execute", "list_next"]
    assert all(kw == {"project": "proj-a", "filter": f'network: "{SELF_LINK}"'}
               for _, kw in service.executed())


def test_a_later_page_without_items_ends_the_listing(GcpLib, service, logs):
    service.pages["routes.list"] = [
        {"items": [{"destRange": "10.1.0.0/16", "nextHopPeering": "gke-1-peer"}]},
        {"nextPageToken": "t"},
        {"items": [{"destRange": "10.9.0.0/16", "nextHopIp": "10.0.0.9"}]},
    ]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert logs.lines == opening() + [row("10.1.0.0/16", "gke-1-peer"),
                                      ("INFO", "    no route found")]
    assert gke_routes(record) == ["10.1.0.0/16"]
    assert len(service.executed()) == 2
    assert sum(1 for e in service.log if e[0] == "list_next") == 1


def test_module_names_are_looked_up_at_each_call(GcpLib, gcplib, service, logs, monkeypatch):
    made = []

    class Record:
        def __init__(self, *args):
            made.append(args)
            self.ranges = []

        def add_gke_export_routes(self, cidr):
            self.ranges.append(cidr)

    monkeypatch.setattr(gcplib, "RouteInfo", Record)
    monkeypatch.setattr(gcplib, "common", types.SimpleNamespace(INSTANCE_I=8))
    service.pages["routes.list"] = [{"items": [
        {"destRange": "10.1.0.0/16", "nextHopInstance": instance_url("p", "zone-q", "vm")},
        {"destRange": "10.2.0.0/16", "nextHopPeering": "gke-2-peer"},
    ]}]
    record = GcpLib.listRouteTable("proj-a", service, NETWORK)
    assert type(record) is Record and made == [()]
    assert record.ranges == ["10.2.0.0/16"]
    assert logs.lines[-2] == row("10.1.0.0/16", "zone-q")


def propagate_flag():
    return logging.getLogger(LOGGER).propagate


@pytest.mark.parametrize("args,during", [((), True), ((False,), False), ((0,), 0)])
def test_propagate_holds_during_the_listing_and_is_true_after(GcpLib, service, logs, args, during):
    seen = []

    def page(**kw):
        seen.append(propagate_flag())
        return {"items": [{"destRange": "10.0.0.0/8", "nextHopIp": "10.0.0.1"}]}

    service.on("routes.list", page)
    parent = logging.getLogger("tarn_gcp")
    upstream = []
    handler = logging.Handler()
    handler.emit = lambda record: upstream.append(record.getMessage())
    parent.addHandler(handler)
    try:
        GcpLib.listRouteTable("proj-a", service, NETWORK, *args)
        assert seen == [during] and propagate_flag() is True
        assert bool(upstream) == bool(during)
        logging.getLogger(LOGGER).info("after")
        assert upstream[-1] == "after"
    finally:
        parent.removeHandler(handler)


class Interrupt(BaseException):
    pass


def failing_record(error):
    class Record:
        def add_gke_export_routes(self, cidr):
            raise error
    return Record


@pytest.mark.parametrize("case", ["no_self_link", "execute", "interrupt", "no_range", "record",
                                  "second_page"])
def test_an_error_ends_the_listing_unchanged_and_propagate_is_restored(
        GcpLib, gcplib, service, logs, monkeypatch, case):
    network = dict(NETWORK)
    first = {"destRange": "10.1.0.0/16", "nextHopIp": "10.0.0.1"}
    service.pages["routes.list"] = [{"items": [first]}]
    before = opening() + [row("10.1.0.0/16", "10.0.0.1")]
    if case == "no_self_link":
        del network["selfLink"]
        expected, error, before = KeyError, None, opening()[:2]
    elif case == "execute":
        error = FakeHttpError(403, "forbidden")
        service.fail("routes.list", error)
        expected, before = FakeHttpError, opening()
    elif case == "interrupt":
        error = Interrupt()
        service.fail("routes.list", error)
        expected, before = Interrupt, opening()
    elif case == "no_range":
        service.pages["routes.list"] = [{"items": [first, {"nextHopIp": "10.0.0.2"}]}]
        expected, error = KeyError, None
    elif case == "record":
        error = KeyboardInterrupt()
        monkeypatch.setattr(gcplib, "RouteInfo", failing_record(error))
        service.pages["routes.list"] = [
            {"items": [first, {"destRange": "10.2.0.0/16", "nextHopPeering": "gke-p-peer"}]}]
        expected = KeyboardInterrupt
    else:
        error = FakeHttpError(500, "backend")
        service.pages["routes.list"] = [{"items": [first]}, {"items": []}]
        service.fail("routes.list", error, when=lambda kw: len(service.executed()) > 1)
        expected = FakeHttpError
    with pytest.raises(expected) as raised:
        GcpLib.listRouteTable("proj-a", service, network, False)
    if error is not None:
        assert raised.value is error
    else:
        assert raised.value.args in (("selfLink",), ("destRange",))
    assert logs.lines == before
    assert propagate_flag() is True


# ---------------------------------------------------------------------------
# composeVpcCidrs

SUBNETS = ["10.10.0.0/24", "10.10.1.0/24"]


class Routes:
    def __init__(self, ranges):
        self.ranges = ranges

    def get_gke_export_routes(self):
        return list(self.ranges)


@pytest.fixture
def spoke(GcpLib):
    """GcpLib with the subnet listing replaced, to see the composition alone."""
    calls = []

    class Spoke(GcpLib):
        @classmethod
        def listSubnetByRegion(cls, service, network, region):
            calls.append((service, network, region))
            return list(SUBNETS)

    Spoke.calls = calls
    return Spoke


@pytest.mark.parametrize("advertisement,flag,gke,expected,listed", [
    # no advertisement, no GKE ranges added: nothing to advertise
    (None, False, ["172.16.0.0/28"], None, False),
    (None, True, [], None, False),
    (None, None, ["172.16.0.0/28"], None, False),
    # no advertisement, GKE ranges: those and the region's subnets
    (None, True, ["172.16.0.0/28", "172.16.1.0/28"],
     ["172.16.0.0/28", "172.16.1.0/28"] + SUBNETS, True),
    # an advertisement, no GKE ranges: the advertisement alone
    (["192.168.0.0/16"], False, ["172.16.0.0/28"], ["192.168.0.0/16"], False),
    ([], False, [], None, False),
    ([], True, [], None, False),
    (["192.168.0.0/16", "192.168.0.0/16"], True, [], ["192.168.0.0/16", "192.168.0.0/16"], False),
    # an advertisement and GKE ranges: both, GKE ranges first
    (["192.168.0.0/16"], True, ["172.16.0.0/28"], ["172.16.0.0/28", "192.168.0.0/16"], False),
    ([], True, ["172.16.0.0/28"], ["172.16.0.0/28"], False),
    # only True itself switches the GKE ranges on
    (None, "true", ["172.16.0.0/28"], None, False),
    (None, 1, ["172.16.0.0/28"], None, False),
    (["192.168.0.0/16"], 1.0, ["172.16.0.0/28"], ["192.168.0.0/16"], False),
])
def test_composition(spoke, run, service, logs, advertisement, flag, gke, expected, listed):
    run.plan = {"spoke_advertisement": advertisement, "advertise_gke": flag}
    run.routeInfo = Routes(gke)
    network = {"name": "spoke"}
    result = spoke.composeVpcCidrs(service, network, {"region": "europe-west1"})
    assert result == expected
    assert spoke.calls == ([(service, network, "europe-west1")] if listed else [])
    reads = [("context", "spoke_advertisement"), ("context", "advertise_gke")]
    assert run.events == reads + ([("attr", "routeInfo")] if flag is True else [])
    assert logs.lines == [] and service.log == []
    if advertisement is not None and result is not None:
        assert result is not advertisement


def test_composition_lists_the_region_through_the_real_subnet_listing(GcpLib, run, service):
    run.plan = {"advertise_gke": True}
    run.routeInfo = Routes(["172.16.0.0/28"])
    network = {"subnetworks": [subnet_url("proj-s", "r1", "a"), subnet_url("proj-s", "r2", "b"),
                               subnet_url("proj-s", "r1", "c")]}
    service.on("subnetworks.get",
               lambda project, region, subnetwork: {"ipCidrRange": "10.0.%s.0/24" % subnetwork})
    assert GcpLib.composeVpcCidrs(service, network, {"region": "r1"}) == [
        "172.16.0.0/28", "10.0.a.0/24", "10.0.c.0/24"]
    assert [kw["subnetwork"] for _, kw in service.executed()] == ["a", "c"]


@pytest.mark.parametrize("plan,route_info,region,expected", [
    # the region is read only when the subnets are listed
    ({"advertise_gke": True}, Routes(["172.16.0.0/28"]), {}, KeyError),
    ({"spoke_advertisement": ("10.0.0.0/8",)}, None, {}, TypeError),
    ({"spoke_advertisement": "10.0.0.0/8"}, None, {}, TypeError),
    ({"advertise_gke": True}, types.SimpleNamespace(get_gke_export_routes=lambda: ("x",)), {},
     TypeError),
    ({"advertise_gke": True}, None, {}, AttributeError),
])
def test_composition_failures_reach_the_caller(
        spoke, run, service, plan, route_info, region, expected):
    run.plan = plan
    run.routeInfo = route_info
    with pytest.raises(expected):
        spoke.composeVpcCidrs(service, {}, region)
    assert spoke.calls == []
