"""Discovery of the Cloud Routers of one network in one region."""

import pytest

from testing.fakes import network_url, region_url

HEAD = ("INFO", "- Discover cloud router(s)")


def router(name, network="net-a", region="europe-west1", mode="CUSTOM", **bgp):
    return {"name": name, "network": network_url("proj-a", network),
            "region": region_url("proj-a", region),
            "bgp": {"asn": 64512, "advertiseMode": mode, **bgp}}


def listing(GcpLib, service, routers, network="net-a"):
    service.on("routers.list",
               {"items": routers} if routers is not None else {"kind": "compute#routerList"})
    return GcpLib.listRouterByRegion(service, "proj-a", network, "europe-west1")


def test_no_router_in_the_region(GcpLib, service, logs):
    assert listing(GcpLib, service, None) is None
    assert logs.lines == [HEAD, ("INFO", "  No cloud router found")]
    assert service.executed() == [("routers.list", {"project": "proj-a", "region": "europe-west1"})]
    assert [e[0] for e in service.log] == ["build", "execute"]


@pytest.mark.parametrize("network", ["net-b", network_url("proj-a", "net-a"), "NET-A"])
def test_routers_of_other_networks_are_not_reported(GcpLib, service, logs, network):
    assert listing(GcpLib, service, [router("cr-1"), router("cr-2")], network=network) is None
    assert logs.lines == [HEAD]


@pytest.mark.parametrize("bgp,lines", [
    ({}, []),
    ({"advertisedIpRanges": [], "advertisedGroups": []}, []),
    ({"advertisedGroups": ["ALL_SUBNETS"]}, ["    ALL_SUBNETS"]),
    # ranges come before groups whatever the order of the keys
    ({"advertisedGroups": ["ALL_SUBNETS"],
      "advertisedIpRanges": [{"range": "10.0.0.0/8", "description": "first"},
                             {"range": "192.168.0.0/16", "description": ""}]},
     ["    10.0.0.0/8 first", "    192.168.0.0/16 ", "    ALL_SUBNETS"]),
])
@pytest.mark.parametrize("mode", ["CUSTOM", "DEFAULT"])
def test_router_lines(GcpLib, service, logs, bgp, lines, mode):
    routers = [router("cr-x", network="net-b"), router("cr-1", mode=mode, **bgp),
               router("cr-2", asn=4200000001)]
    listing(GcpLib, service, routers)
    assert logs.lines == ([HEAD, ("INFO", f"  cr-1 europe-west1 bgp 64512 {mode}")]
                          + [("INFO", l) for l in lines]
                          + [("INFO", "  cr-2 europe-west1 bgp 4200000001 CUSTOM")])


@pytest.mark.parametrize("case,expected,logged", [
    ("no_description", KeyError, ["  cr-1 europe-west1 bgp 64512 CUSTOM", "    10.0.0.0/8 first"]),
    ("no_asn", KeyError, []),
    ("short_region_elsewhere", IndexError, []),
    ("no_network", KeyError, []),
])
def test_router_failures_reach_the_caller_after_the_lines_logged(GcpLib, service, logs, case,
                                                                 expected, logged):
    first = router("cr-1", advertisedIpRanges=[{"range": "10.0.0.0/8", "description": "first"},
                                                {"range": "10.1.0.0/16"}])
    other = router("cr-o", network="net-b")
    if case == "no_asn":
        del first["bgp"]["asn"]
    elif case == "short_region_elsewhere":
        other["region"] = "/".join(other["region"].split("/")[:8])
        first = other
    elif case == "no_network":
        del first["network"]
    with pytest.raises(expected) as raised:
        listing(GcpLib, service, [first, router("cr-2")])
    if case == "no_description":
        assert raised.value.args == ("description",)
    assert logs.lines == [HEAD] + [("INFO", l) for l in logged]
