"""Discovery of the sample topology through the real client: networks,
subnetworks, route tables, peerings, Cloud Routers and the spoke's
advertised ranges."""

import logging
import types

import google_auth_httplib2
import pytest
from google.auth.credentials import AnonymousCredentials
from googleapiclient import discovery as real_discovery
from googleapiclient.errors import HttpError
from googleapiclient.http import build_http

from tarn_gcp.emulator import API_ROOT, endpoint_url
from tarn_gcp.res.RouteInfo import RouteInfo

from e2e_helpers import SPOKE, SPOKE_LINK, TRANSIT_A, load_plan, messages, methods, changes_asked

RULE = "  " + "." * 63
ROUTE_OPENING = ["", "- Discover route(s)", RULE, "  " + "CIDR".ljust(25) + "Next-hop".ljust(30),
                 RULE]
SUBNET_OPENING = ["", "- Discover subnet(s)", RULE,
                  "  " + "CIDR".ljust(25) + "REGION".ljust(30) + "subnet", RULE]


def row(cidr, hop):
    return "  " + cidr.ljust(25) + hop


def subnet_row(cidr, region, name):
    return "  " + cidr.ljust(25) + region.ljust(30) + name


SPOKE_ROUTES = [  # in the emulator's order: by route name
    row("10.10.16.0/20", "Virtual network spoke-vpc"),
    row("10.20.0.0/20", "Virtual network spoke-vpc"),
    row("10.10.0.0/20", "Virtual network spoke-vpc"),
    row("10.200.0.0/20", "spoke-to-transit-b"),
    row("172.16.0.0/28", "gke-abc123-def4-peer"),
    row("10.100.0.0/20", "spoke-to-transit-a"),
    row("192.168.0.0/16", "spoke-to-transit-a"),
    row("0.0.0.0/0", "default-internet-gateway"),
    row("192.168.0.0/16", "10.10.0.10"),
    row("172.20.0.0/16", "router-appliance-euw1"),
    row("172.20.0.0/16", "router-appliance-usc1"),
]


def table_order(emu, link):
    """The destination ranges of a network's route table, in the order the
    service lists them (by route name)."""
    project = link.split("/")[6]
    return [r["destRange"] for r in emu.model.list(project, "routes") if r["network"] == link]


def network(compute, path):
    _, project, _, _, name = path.split("/")
    return compute.networks().get(project=project, network=name).execute()


# --------------------------------------------------------------- networks


class EmulatorDiscovery:
    """Stands in for the module's ``discovery``: the module builds its
    service with ``discovery.build("compute", "v1", credentials=...)`` and no
    endpoint, which would reach Google.  This ``build`` records the call and
    makes the real client library service from the shipped discovery
    document, authorised with the credentials the module passed, with the
    emulator's endpoint added."""

    def __init__(self, emu):
        self.emu = emu
        self.calls = []

    def build(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        transport = build_http()
        transport.proxy_info = None          # the emulator is local
        http = google_auth_httplib2.AuthorizedHttp(kwargs["credentials"], http=transport)
        return real_discovery.build(*args, http=http, static_discovery=True,
                                    cache_discovery=False,
                                    client_options={"api_endpoint": endpoint_url(self.emu)})


@pytest.fixture
def default_project(gcplib, emu, monkeypatch):
    """Rebinds the module's ``discovery`` (see EmulatorDiscovery) and its
    ``google`` to one whose ``auth.default()`` returns anonymous credentials
    and the project the test sets in ``project``."""
    state = types.SimpleNamespace(project=None, credentials=AnonymousCredentials(),
                                  discovery=EmulatorDiscovery(emu), asked=0)

    def default():
        state.asked += 1
        return state.credentials, state.project
    monkeypatch.setattr(gcplib, "discovery", state.discovery)
    monkeypatch.setattr(gcplib, "google",
                        types.SimpleNamespace(auth=types.SimpleNamespace(default=default)))
    return state


def test_list_all_network_walks_the_credentials_project(GcpLib, emu, default_project, caplog):
    default_project.project = "tarn-transit"
    caplog.set_level(logging.INFO)
    # The argument is not the project listed: the credentials' project is.
    assert GcpLib.listAllNetwork("tarn-demo") is None

    assert default_project.asked == 1
    [(args, kwargs)] = default_project.discovery.calls
    assert args == ("compute", "v1") and kwargs == {"credentials": default_project.credentials}
    [listing] = [r for r in emu.requests if r.method == "compute.networks.list"]
    assert listing.params == {"project": "tarn-transit"}
    assert changes_asked(emu) == []

    gcp, common = "tarn_gcp.gcplib", "tarn_gcp.commonlib"
    expected = []
    for name, subnets, hops in [
            ("transit-a", [("10.100.0.0/20", "europe-west1", "transit-a-euw1"),
                           ("10.100.16.0/20", "us-central1", "transit-a-usc1")],
             {"10.100.0.0/20": "Virtual network transit-a",
              "10.100.16.0/20": "Virtual network transit-a",
              "10.10.0.0/20": "transit-a-to-spoke", "0.0.0.0/0": "default-internet-gateway"}),
            ("transit-b", [("10.200.0.0/20", "us-central1", "transit-b-usc1"),
                           ("10.200.16.0/20", "europe-west1", "transit-b-euw1")],
             {"10.200.0.0/20": "Virtual network transit-b",
              "10.200.16.0/20": "Virtual network transit-b",
              "0.0.0.0/0": "default-internet-gateway"})]:
        link = API_ROOT + "projects/tarn-transit/global/networks/" + name
        expected += [(common, ""), (common, "= VPC %s (%s)" % (name, link))]
        expected += [(gcp, m) for m in SUBNET_OPENING]
        expected += [(common, subnet_row(*s)) for s in subnets]
        expected += [(gcp, m) for m in ROUTE_OPENING]
        order = table_order(emu, link)
        assert sorted(order) == sorted(hops)
        expected += [(gcp, row(cidr, hops[cidr])) for cidr in order]
    assert [(r.name, r.getMessage()) for r in caplog.records] == expected


def test_list_all_network_of_a_project_without_networks_raises_key_error(
        GcpLib, emu, default_project, logs):
    emu.model.add_project("empty-project")
    default_project.project = "empty-project"
    with pytest.raises(KeyError, match="items"):
        GcpLib.listAllNetwork(None)
    assert logs.lines == []


# ------------------------------------------------------------ subnetworks


def test_list_subnet_fetches_every_subnetwork(GcpLib, emu, compute, logs, caplog):
    caplog.set_level(logging.INFO)
    spoke = network(compute, SPOKE)
    emu.clear_requests()
    assert GcpLib.listSubnet(compute, spoke) == ["10.10.0.0/20", "10.10.16.0/20", "10.20.0.0/20"]
    assert messages(logs) == SUBNET_OPENING
    assert [r.getMessage() for r in caplog.records if r.name == "tarn_gcp.commonlib"] == [
        subnet_row("10.10.0.0/20", "europe-west1", "spoke-euw1"),
        subnet_row("10.10.16.0/20", "europe-west1", "spoke-gke-euw1"),
        subnet_row("10.20.0.0/20", "us-central1", "spoke-usc1")]
    assert [r.params for r in emu.requests] == [
        {"project": "tarn-demo", "region": "europe-west1", "subnetwork": "spoke-euw1"},
        {"project": "tarn-demo", "region": "europe-west1", "subnetwork": "spoke-gke-euw1"},
        {"project": "tarn-demo", "region": "us-central1", "subnetwork": "spoke-usc1"}]


@pytest.mark.parametrize("region,ranges", [
    ("europe-west1", ["10.10.0.0/20", "10.10.16.0/20"]),
    ("us-central1", ["10.20.0.0/20"]),
    ("asia-east1", []),
])
def test_list_subnet_by_region_fetches_only_that_region(GcpLib, emu, compute, logs, region, ranges):
    spoke = network(compute, SPOKE)
    emu.clear_requests()
    assert GcpLib.listSubnetByRegion(compute, spoke, region) == ranges
    assert [r.params["region"] for r in emu.requests] == [region] * len(ranges)
    assert logs.lines == []


def test_a_deleted_subnetwork_ends_the_listing_with_the_client_error(GcpLib, emu, compute, logs):
    spoke = network(compute, SPOKE)
    spoke["subnetworks"].insert(1, spoke["subnetworks"][0].replace("spoke-euw1", "gone-euw1"))
    with pytest.raises(HttpError) as err:
        GcpLib.listSubnet(compute, spoke)
    assert err.value.status_code == 404
    assert messages(logs) == SUBNET_OPENING


# ----------------------------------------------------------- route tables


def test_list_route_table_of_the_spoke(GcpLib, emu, compute, logs):
    spoke = network(compute, SPOKE)
    emu.clear_requests()
    info = GcpLib.listRouteTable("tarn-demo", compute, spoke, False)
    assert isinstance(info, RouteInfo)
    assert info.get_gke_export_routes() == ["172.16.0.0/28"]
    assert messages(logs) == ROUTE_OPENING + SPOKE_ROUTES
    [listing] = emu.requests
    assert listing.method == "compute.routes.list"
    assert listing.query == {"filter": 'network: "%s"' % SPOKE_LINK, "alt": "json"}
    assert logging.getLogger("tarn_gcp.gcplib").propagate is True


def test_peering_routes_leave_the_table_with_their_peering(GcpLib, emu, compute, logs):
    # With transit-a's side removed the spoke's peering towards it is
    # INACTIVE and the service stops showing the routes it brought.
    op = compute.networks().removePeering(project="tarn-transit", network="transit-a",
                                          body={"name": "transit-a-to-spoke"}).execute()
    compute.globalOperations().wait(project="tarn-transit", operation=op["name"]).execute()
    GcpLib.listRouteTable("tarn-demo", compute, network(compute, SPOKE))
    rows = messages(logs)[len(ROUTE_OPENING):]
    assert rows == [r for r in SPOKE_ROUTES if not r.endswith("spoke-to-transit-a")]


def test_a_failing_route_listing_raises_and_propagate_is_restored(GcpLib, emu, compute, logs):
    spoke = network(compute, SPOKE)
    emu.faults.fail_request("compute.routes.list", 503)
    with pytest.raises(HttpError) as err:
        GcpLib.listRouteTable("tarn-demo", compute, spoke, False)
    assert err.value.status_code == 503
    assert messages(logs) == ROUTE_OPENING
    assert logging.getLogger("tarn_gcp.gcplib").propagate is True


def test_a_network_without_routes_logs_no_route_found(GcpLib, emu, compute, logs):
    emu.seed({"networks": [{"project": "tarn-demo", "name": "bare-vpc"}]})
    bare = compute.networks().get(project="tarn-demo", network="bare-vpc").execute()
    info = GcpLib.listRouteTable("tarn-demo", compute, bare)
    assert info.get_gke_export_routes() == []
    assert messages(logs) == ROUTE_OPENING + ["    no route found"]


# -------------------------------------------------------------- peerings


def test_list_peering_of_the_spoke_and_of_a_transit_vpc(GcpLib, emu, compute, logs):
    header = ["- Discover peering(s)", RULE,
              "  " + "Peering name".ljust(51) + "Project::VPC".ljust(30), RULE]
    emu.clear_requests()
    spoke = network(compute, SPOKE)
    transit = network(compute, TRANSIT_A)
    emu.clear_requests()
    assert GcpLib.listPeering(spoke) is None
    assert GcpLib.listPeering(transit) is None
    assert emu.requests == []
    assert messages(logs) == header + [
        "  " + "spoke-to-transit-a".ljust(50) + " tarn-transit::transit-a",
        "  " + "spoke-to-transit-b".ljust(50) + " tarn-transit::transit-b",
        "  " + "gke-abc123-def4-peer".ljust(50) + " gke-prod-abc123::gke-abc123-def4-net",
    ] + header + ["  " + "transit-a-to-spoke".ljust(50) + " tarn-demo::spoke-vpc"]


# ---------------------------------------------------------- Cloud Routers


@pytest.mark.parametrize("project,vpc,region,lines", [
    ("tarn-transit", "transit-a", "europe-west1", [
        "  transit-a-cr-euw1 europe-west1 bgp 64514 CUSTOM",
        "    10.10.0.0/20 spoke-vpc spoke-euw1", "    10.10.16.0/20 spoke-vpc spoke-gke-euw1",
        "    ALL_SUBNETS"]),
    ("tarn-transit", "transit-a", "us-central1",
     ["  transit-a-cr-usc1 us-central1 bgp 64515 DEFAULT"]),
    ("tarn-transit", "transit-b", "us-central1", [
        "  transit-b-cr-usc1 us-central1 bgp 64516 CUSTOM",
        "    10.20.0.0/20 spoke-vpc spoke-usc1", "    192.168.100.0/24 partner extranet",
        "    ALL_SUBNETS"]),
    # europe-west1 holds only transit-a's router: nothing for transit-b.
    ("tarn-transit", "transit-b", "europe-west1", []),
    ("tarn-demo", "spoke-vpc", "europe-west1", ["  No cloud router found"]),
])
def test_list_router_by_region(GcpLib, emu, compute, logs, project, vpc, region, lines):
    assert GcpLib.listRouterByRegion(compute, project, vpc, region) is None
    assert messages(logs) == ["- Discover cloud router(s)"] + lines
    [listing] = emu.requests
    assert (listing.method, listing.params) == ("compute.routers.list",
                                                {"project": project, "region": region})


# ------------------------------------------------- advertised spoke ranges


@pytest.mark.parametrize("changes,region,expected,subnet_gets", [
    ({}, "europe-west1", ["172.16.0.0/28", "10.10.0.0/20", "10.10.16.0/20"], 2),
    ({}, "us-central1", ["172.16.0.0/28", "10.20.0.0/20"], 1),
    ({"spoke_advertisement": ["10.10.0.0/16", "10.20.0.0/16"]}, "europe-west1",
     ["172.16.0.0/28", "10.10.0.0/16", "10.20.0.0/16"], 0),
    ({"advertise_gke": False, "spoke_advertisement": ["10.10.0.0/16"]}, "europe-west1",
     ["10.10.0.0/16"], 0),
    # Without GKE ranges and without a spoke list nothing is advertised.
    ({"advertise_gke": "true"}, "europe-west1", None, 0),
])
def test_compose_vpc_cidrs_from_the_discovered_route_table(
        GcpLib, emu, compute, migration, changes, region, expected, subnet_gets):
    from tarn_gcp.res.Globals import Globals
    plan = load_plan()
    plan.update(changes)
    migration.use_plan(plan)
    spoke = network(compute, SPOKE)
    Globals.routeInfo = GcpLib.listRouteTable("tarn-demo", compute, spoke)
    emu.clear_requests()
    assert GcpLib.composeVpcCidrs(compute, spoke, {"region": region}) == expected
    assert methods(emu) == ["compute.subnetworks.get"] * subnet_gets
