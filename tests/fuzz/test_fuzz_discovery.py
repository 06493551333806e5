"""Differential fuzzing of the discovery methods and the operation wait.

Each test draws mostly-valid inputs and service answers, mutates a few
places (a key dropped, a value of the wrong type, non-ASCII, lone-surrogate
and very long strings, nesting, lists of hundreds of elements, or a single
value nested deeper than the recursion limit) and checks that the extension
and the plain-Python model do exactly the same (see testing/fuzz.py).

Run longer with:  HYPOTHESIS_PROFILE=long python -m pytest tests/test_fuzz_*.py
"""

from hypothesis import example, given
from hypothesis import strategies as st

from testing.fuzz import (BASE, DEEP, Deep, Outcome, Sub, Svc, cidrs, differential, fuzz_settings,
                          names, network_urls, networks, ok, outcomes, projects, region_urls,
                          regions, scenarios, subnet_urls, texts, waits, weighted)


def scenario(**parts):
    return st.fixed_dictionaries(parts)


def pages(items, max_size=3):
    """A list response: mostly with "items", sometimes without."""
    page = st.fixed_dictionaries({"items": st.lists(items, min_size=1, max_size=max_size)})
    return weighted((3, page), (1, st.just({})))


def next_pages(items):
    """What list_next answers, in turn: a further page, or the end."""
    page = pages(items).map(lambda v: Outcome("page", v))
    return st.lists(st.one_of(page, st.just(Outcome("end")), ok(st.sampled_from((0, "next")))),
                    max_size=2)


# ------------------------------------------------------------- resources

peering_records = st.fixed_dictionaries(
    {"name": names, "network": network_urls},
    optional={"state": st.sampled_from(("ACTIVE", "INACTIVE")),
              "exportCustomRoutes": st.booleans(), "stackType": st.just("IPV4_ONLY")})

subnetworks = st.fixed_dictionaries(
    {"ipCidrRange": cidrs},
    optional={"name": names, "region": region_urls,
              "secondaryIpRanges": st.just([{"ipCidrRange": "10.9.0.0/24"}])})

network_resources = st.fixed_dictionaries(
    {"name": networks, "selfLink": network_urls,
     "subnetworks": st.lists(subnet_urls, min_size=1, max_size=4)},
    optional={"peerings": st.lists(peering_records, min_size=1, max_size=4)})

next_hops = {
    "nextHopNetwork": network_urls,
    "nextHopIp": st.sampled_from(("10.0.0.2", "fd00::1")),
    "nextHopGateway": st.just(BASE + "p1/global/gateways/default-internet-gateway"),
    "nextHopIlb": st.just(BASE + "p1/regions/r1/forwardingRules/fr-1"),
    "nextHopPeering": st.sampled_from(("gke-abc-123-peer", "gke-abc", "abc-peer", "peer-1",
                                       "gke--peer")),
    "nextHopInstance": st.builds(lambda p, z, i: BASE + p + "/zones/" + z + "/instances/" + i,
                                 projects, st.just("z1"), names),
}


def one_hop(key):
    return st.fixed_dictionaries({"destRange": cidrs, key: next_hops[key]},
                                 optional={"name": names})


# Mostly one next hop (GKE peerings often), sometimes several or none.
routes = st.one_of(*[one_hop(k) for k in next_hops], one_hop("nextHopPeering"),
                   st.fixed_dictionaries({"destRange": cidrs},
                                         optional=dict(next_hops, name=names)))

bgp_ranges = st.fixed_dictionaries({"range": cidrs, "description": texts})
routers = st.fixed_dictionaries({
    "name": names, "network": network_urls, "region": region_urls,
    "bgp": st.fixed_dictionaries({"asn": st.sampled_from((64512, 65001, "x")),
                                  "advertiseMode": st.sampled_from(("CUSTOM", "DEFAULT"))},
                                 optional={"advertisedIpRanges": st.lists(bgp_ranges, max_size=3),
                                           "advertisedGroups": st.lists(
                                               st.sampled_from(("ALL_SUBNETS", "X")),
                                               max_size=2)})})


# ----------------------------------------------------------------- tests

@fuzz_settings(100)
@given(scenarios(scenario(args=st.tuples(st.fixed_dictionaries(
    {"peerings": st.lists(peering_records, min_size=1, max_size=4)},
    optional={"name": networks})).map(list))))
@example({"args": [{"peerings": [{"name": "n" * 50, "network": BASE + "p1/global/networks/t"}]}]})
@example({"args": [{"peerings": None}]})
@example({"args": [{"peerings": [{"name": Deep(DEEP),
                                  "network": BASE + "p1/global/networks/t"}]}]})
def test_listPeering(sc):
    differential("listPeering", sc)


@fuzz_settings(120)
@given(scenarios(scenario(
    args=st.tuples(st.builds(Svc), st.one_of(projects, texts),
                   st.sampled_from(("operation-1", "op-2"))).map(list),
    responses=st.fixed_dictionaries({"globalOperations.wait": outcomes(waits(), max_size=4)}))))
@example({"args": [Svc(), Sub("str", "p1"), "op"]})
@example({"args": [Svc(), None, b"op"]})
@example({"args": [Svc(), "p1", "op"], "responses": {"globalOperations.wait": [
    Outcome("ok", {"status": "RUNNING", "error": "e"}),
    Outcome("ok", {"status": "DONE", "error": None})]}})
@example({"args": [Svc(), "p1", "op"], "responses": {"globalOperations.wait": [
    Outcome("ok", Sub("mapping", {"status": "DONE"}))]}})
def test_wait_for_global_operation(sc):
    differential("wait_for_global_operation", sc)


subnet_responses = st.fixed_dictionaries({"subnetworks.get": outcomes(subnetworks, max_size=5)})


@fuzz_settings(100)
@given(scenarios(scenario(args=st.tuples(st.builds(Svc), network_resources).map(list),
                          responses=subnet_responses)))
def test_listSubnet(sc):
    differential("listSubnet", sc)


@fuzz_settings(100)
@given(scenarios(scenario(args=st.tuples(st.builds(Svc), network_resources, regions).map(list),
                          responses=subnet_responses)))
def test_listSubnetByRegion(sc):
    differential("listSubnetByRegion", sc)


route_responses = st.fixed_dictionaries({"routes.list": outcomes(pages(routes, 4), max_size=1),
                                         "routes.list_next": next_pages(routes)})


@fuzz_settings(120)
@given(scenarios(scenario(
    args=st.tuples(projects, st.builds(Svc), network_resources).map(list),
    kwargs=st.fixed_dictionaries({},
                                 optional={"propagate": st.sampled_from((True, False, 0, None))}),
    responses=route_responses)))
@example({"args": ["p1", Svc(), {"selfLink": BASE + "p1/global/networks/a"}],
          "kwargs": {"propagate": False},
          "responses": {"routes.list": [Outcome("ok", {"items": [
              {"destRange": "10.0.0.0/24", "nextHopPeering": "gke-a-peer"},
              {"destRange": "10.1.0.0/16"}]})],
              "routes.list_next": [Outcome("raise", exc=("http", "gone"))]}})
def test_listRouteTable(sc):
    differential("listRouteTable", sc)


@fuzz_settings(100)
@given(scenarios(scenario(
    args=st.tuples(st.builds(Svc), network_resources,
                   st.fixed_dictionaries({"region": regions})).map(list),
    plan=st.fixed_dictionaries({
        "spoke_advertisement": weighted((2, st.none()),
                                        (1, st.lists(cidrs, min_size=1, max_size=3))),
        "advertise_gke": st.sampled_from((True, True, False, None, 1, "true"))}),
    globals=st.fixed_dictionaries({"routeInfo": st.lists(cidrs, min_size=1, max_size=3)}),
    responses=subnet_responses)))
@example({"args": [Svc(), {"subnetworks": [BASE + "p1/regions/r1/subnetworks/a",
                                           BASE + "p1/regions/r2/subnetworks/b"]},
                    {"region": "r1"}],
          "plan": {"spoke_advertisement": None, "advertise_gke": True},
          "globals": {"routeInfo": ["10.8.0.0/16"]},
          "responses": {"subnetworks.get": [Outcome("ok", {"ipCidrRange": "10.0.0.0/24"})]}})
def test_composeVpcCidrs(sc):
    differential("composeVpcCidrs", sc)


@fuzz_settings(100)
@given(scenarios(scenario(
    args=st.tuples(st.builds(Svc), projects, networks, regions).map(list),
    responses=st.fixed_dictionaries({"routers.list": outcomes(pages(routers, 4), max_size=1)}))))
@example({"args": [Svc(), "p1", "net-a", "r1"], "responses": {"routers.list": [
    Outcome("ok", {"items": [
        {"name": "cr", "network": BASE + "p1/global/networks/net-a",
         "region": BASE + "p1/regions/r1",
         "bgp": {"asn": 1, "advertiseMode": "CUSTOM",
                 "advertisedIpRanges": [{"range": "10.0.0.0/24"}]}}]})]}})
def test_listRouterByRegion(sc):
    differential("listRouterByRegion", sc)


@fuzz_settings(80)
@given(scenarios(scenario(
    args=st.tuples(st.one_of(projects, st.none())).map(list),
    auth=weighted((5, ok(st.tuples(st.just("credentials"), projects))),
                  (1, st.just(Outcome("raise", exc=("runtime", "no credentials"))))),
    responses=st.fixed_dictionaries({
        "networks.list": st.lists(ok(pages(network_resources, 2)), min_size=1, max_size=1),
        "networks.list_next": next_pages(network_resources),
        "subnetworks.get": outcomes(subnetworks, max_size=4),
        "routes.list": outcomes(pages(routes, 2), max_size=2),
    }))))
@example({"args": ["ignored"], "auth": Outcome("ok", ("credentials", "p1", "extra"))})
@example({"args": ["ignored"], "auth": Outcome("ok", ("credentials", "p1")),
          "responses": {"networks.list": [Outcome("ok", {})]}})
def test_listAllNetwork(sc):
    differential("listAllNetwork", sc)
