"""Differential fuzzing of the Cloud Router stage: the customisation of the
transit routers' advertisements, its restore and the entry point, against
the plain-Python model (see testing/fuzz.py). Guarded failures also print a
traceback; the last line of each is compared.

Run longer with:  HYPOTHESIS_PROFILE=long python -m pytest tests/test_fuzz_*.py
"""

from hypothesis import example, given
from hypothesis import strategies as st

from testing.fuzz import (BASE, DEEP, Deep, Outcome, Svc, cidrs, differential, dry_runs,
                          fuzz_settings, names, network_urls, networks, operations, outcomes,
                          projects, regions, scenarios, weighted)

crouters = st.fixed_dictionaries({
    "region": regions, "router_name": names,
    "add_advertised_routes": st.sampled_from(([], ["10.9.0.0/24"], ["10.0.0.0/24", "10.9.0.0/24"],
                                              ["10.1.0.0/16", "10.1.0.0/16"], ["300.0.0.0/8"])),
    "remove_advertised_routes": st.sampled_from(([], ["10.1.0.0/16"],
                                                 ["10.0.0.0/24", "10.0.0.1/24"])),
    "remove_advertised_groups": st.sampled_from(([], ["X"], ["ALL_SUBNETS", "ALL_VPC_SUBNETS"]))})
transit_names = st.builds(lambda p, n: p + "::" + n, projects, networks)
transit_vpcs = st.lists(weighted(
    (5, st.fixed_dictionaries({"vpc_name": transit_names,
                               "cloud_routers": st.lists(crouters, min_size=1, max_size=3)})),
    (1, st.fixed_dictionaries({"vpc_name": transit_names}))), min_size=1, max_size=2)

# What a router advertises: ranges valid or not, canonical or not, with or
# without a description; groups.
RANGES = ([{"range": "10.0.0.0/24", "description": ""}],
          [{"range": "10.1.0.0/16"}, {"range": "10.0.0.0/24"}],
          [{"range": "10.0.0.1/24", "description": "d"}],
          [{"range": "192.168.0.0/24"}, {"range": "fd00::/8"}],
          [{"range": "10.9.0.0/24", "description": "tessaron-migration-added"},
           {"range": "10.1.0.0/16"}])
GROUPS = (["ALL_SUBNETS"], ["ALL_SUBNETS", "X"], ["ALL_VPC_SUBNETS"])


def bgp(mode, ranges, groups, asn):
    settings = {"advertiseMode": mode}
    if asn:
        settings["asn"] = 64512
    if ranges is not None:
        settings["advertisedIpRanges"] = ranges
    if groups is not None:
        settings["advertisedGroups"] = groups
    return settings


bgps = st.builds(bgp,
                 weighted((4, st.just("CUSTOM")), (1, st.just("DEFAULT")), (1, st.just("custom"))),
                 st.one_of(st.none(), st.sampled_from(RANGES)),
                 st.one_of(st.none(), st.sampled_from(GROUPS)), st.booleans())
router_resources = st.fixed_dictionaries({"network": network_urls, "bgp": bgps},
                                         optional={"name": names})

plans = st.fixed_dictionaries({"project_id": projects, "vpc_name": networks,
                               "transit_vpcs": transit_vpcs})
mkeys = st.sampled_from(("p1::net-a", "p2::net-b"))
rkeys = st.builds(lambda p, n, r, name: "::".join((p, n, r, name)),
                  projects, networks, regions, names)


@st.composite
def reverts(draw, plan):
    """Router settings saved by earlier runs, mostly under the plan's VPC."""
    saved = draw(st.dictionaries(mkeys, st.dictionaries(rkeys, bgps, max_size=2), max_size=1))
    if draw(weighted((3, st.just(True)), (1, st.just(False)))):
        saved[plan["project_id"] + "::" + plan["vpc_name"]] = draw(
            st.dictionaries(rkeys, bgps, min_size=1, max_size=3))
    revert = {"peerings": {}, "manage_routes": {}}
    if draw(weighted((5, st.just(True)), (1, st.just(False)))):
        revert["cloud_routers"] = saved
    return revert


@st.composite
def router_scenarios(draw, args):
    plan = draw(plans)
    return {
        "args": draw(args), "plan": plan, "revert": draw(reverts(plan)),
        "dry_run": draw(dry_runs()),
        "responses": {"routers.get": draw(outcomes(router_resources, max_size=5)),
                      "routers.patch": draw(outcomes(operations(), max_size=3))},
    }


CROUTER = {"region": "r1", "router_name": "cr",
           "add_advertised_routes": ["10.0.0.0/24", "10.9.0.0/24", "10.9.0.0/24"],
           "remove_advertised_routes": ["10.1.0.0/16"], "remove_advertised_groups": []}


@fuzz_settings(160)
@given(scenarios(router_scenarios(st.tuples(st.builds(Svc)).map(list))))
@example({  # ranges already advertised, a router saved before (the first settings win)
    "args": [Svc()], "dry_run": False,
    "plan": {"project_id": "p1", "vpc_name": "net-a", "transit_vpcs": [
        {"vpc_name": "hub::transit", "cloud_routers": [CROUTER]}]},
    "revert": {"cloud_routers": {"p1::net-a": {
        "hub::transit::r1::cr": {"advertiseMode": "CUSTOM", "first": 1}}}},
    "responses": {"routers.get": [Outcome("ok", {
        "network": BASE + "hub/global/networks/transit",
        "bgp": {"advertiseMode": "CUSTOM",
                "advertisedIpRanges": [{"range": "10.0.0.0/24"}, {"range": "10.1.0.0/16"}]}})]}})
@example({  # no "cloud_routers" yet; a range with host bits set
    "args": [Svc()], "dry_run": True,
    "plan": {"project_id": "p1", "vpc_name": "net-a", "transit_vpcs": [
        {"vpc_name": "hub::transit", "cloud_routers": [CROUTER, CROUTER]}]},
    "revert": {},
    "responses": {"routers.get": [
        Outcome("ok", {"network": BASE + "hub/global/networks/transit",
                       "bgp": {"advertiseMode": "CUSTOM"}}),
        Outcome("ok", {"network": BASE + "hub/global/networks/transit", "bgp": {
            "advertiseMode": "CUSTOM", "advertisedIpRanges": [{"range": "10.0.0.1/24"}]}})]}})
@example({  # a region without a str() text, for a router that needs no line: nothing is logged
    "args": [Svc()], "plan": {"project_id": "p1", "vpc_name": "net-a", "transit_vpcs": [
        {"vpc_name": "hub::transit", "cloud_routers": [
            {"region": Deep(DEEP), "router_name": "cr", "add_advertised_routes": [],
             "remove_advertised_routes": [], "remove_advertised_groups": []}]}]},
    "revert": {}, "responses": {"routers.get": [Outcome("ok", {
        "network": BASE + "hub/global/networks/transit", "bgp": {"advertiseMode": "CUSTOM"}})]}})
def test_manageCloudRouterAdvertisedRoutePerVpc(sc):
    differential("manageCloudRouterAdvertisedRoutePerVpc", sc)


@fuzz_settings(120)
@given(scenarios(router_scenarios(st.tuples(st.builds(Svc)).map(list))))
@example({"args": [Svc()], "plan": {"project_id": "p1", "vpc_name": "net-a"},
          "revert": {"cloud_routers": {"p1::net-a": [{"advertiseMode": "CUSTOM"}]}}})
@example({"args": [Svc()], "plan": {"project_id": "p1", "vpc_name": "net-a"}, "revert": {}})
@example({"args": [Svc()], "plan": {"project_id": "p1", "vpc_name": "net-a"}, "dry_run": False,
          "revert": {"cloud_routers": {"p1::net-a": {"p1::n::r1::a": {"advertiseMode": "CUSTOM"},
                                                     "p1::n::r1": {},
                                                     "p1::n::r2::b": {"advertisedIpRanges": []}}}},
          "responses": {"routers.patch": [Outcome("raise", exc=("http", "refused"))]}})
def test_restoreCloudRouterAdvertisedRoutePerVpc(sc):
    differential("restoreCloudRouterAdvertisedRoutePerVpc", sc)


@fuzz_settings(80)
@given(scenarios(router_scenarios(
    st.tuples(st.sampled_from((True, False, 1, "yes", None))).map(list))))
def test_manageCloudRouterAdvertisedRoute(sc):
    differential("manageCloudRouterAdvertisedRoute", sc)
