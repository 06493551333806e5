import pytest
from googleapiclient.errors import HttpError

from testing.emulators import finish

WHERE = {"project": "tarn-transit", "region": "europe-west1", "router": "transit-a-cr-euw1"}


def get(compute, **where):
    return compute.routers().get(**dict(WHERE, **where)).execute()


def patch(compute, body, **where):
    return compute.routers().patch(body=body, **dict(WHERE, **where)).execute()


def test_patch_is_a_merge_patch(compute):
    before = get(compute)
    op = patch(compute, {"bgp": {"advertisedIpRanges": [{"range": "10.10.0.0/16",
                                                          "description": "summary"}]},
                         "description": "patched"})
    after = get(compute)   # visible at once, without waiting for the operation
    assert after["bgp"]["advertisedIpRanges"] == [{"range": "10.10.0.0/16",
                                                   "description": "summary"}]
    assert after["bgp"]["asn"] == before["bgp"]["asn"] == 64514
    assert after["bgp"]["advertiseMode"] == "CUSTOM"
    assert after["bgp"]["advertisedGroups"] == ["ALL_SUBNETS"]
    assert after["description"] == "patched"
    assert {k: after[k] for k in ("id", "creationTimestamp", "network", "region", "selfLink")} == \
        {k: before[k] for k in ("id", "creationTimestamp", "network", "region", "selfLink")}
    # Router changes report a regional operation.
    assert op["region"].endswith("/projects/tarn-transit/regions/europe-west1")
    assert op["operationType"] == "patch" and op["targetLink"] == before["selfLink"]
    assert finish(compute, op)[0]["status"] == "DONE"


def test_empty_lists_clear_and_the_saved_bgp_restores(compute):
    saved = get(compute)["bgp"]
    patch(compute, {"bgp": {"advertisedIpRanges": [], "advertisedGroups": []}})
    cleared = get(compute)["bgp"]
    assert "advertisedIpRanges" not in cleared and "advertisedGroups" not in cleared
    patch(compute, {"bgp": saved})
    assert get(compute)["bgp"] == saved


def test_switching_to_default_mode_needs_the_custom_lists_gone(compute):
    with pytest.raises(HttpError) as err:
        patch(compute, {"bgp": {"advertiseMode": "DEFAULT"}})
    assert err.value.status_code == 400
    patch(compute, {"bgp": {"advertiseMode": "DEFAULT", "advertisedIpRanges": None,
                            "advertisedGroups": None}})
    assert get(compute)["bgp"] == {"asn": 64514, "advertiseMode": "DEFAULT",
                                   "keepaliveInterval": 20}


@pytest.mark.parametrize("bgp, where, fragment", [
    ({"advertisedIpRanges": [{"range": "10.30.0.0/16"}]},
     {"region": "us-central1", "router": "transit-a-cr-usc1"}, "CUSTOM"),   # DEFAULT mode
    ({"advertisedGroups": ["ALL_SUBNETS"]},
     {"region": "us-central1", "router": "transit-a-cr-usc1"}, "CUSTOM"),
    ({"advertisedIpRanges": [{"range": "10.10.0.1/20"}]}, {}, "host bits"),
    ({"advertisedIpRanges": [{"range": "not-a-cidr"}]}, {}, "CIDR"),
    ({"advertisedIpRanges": [{"range": "10.30.0.0/16"}, {"range": "10.30.0.0/16"}]}, {},
     "advertised twice"),
    ({"advertisedGroups": ["ALL_SUBNETS", "ALL_SUBNETS"]}, {}, "listed twice"),
    ({"advertisedGroups": ["ALL_PEERS"]}, {}, "advertisedGroups[0]"),
    ({"advertiseMode": "custom"}, {}, "advertiseMode"),
])
def test_router_refusals_leave_the_router_unchanged(compute, bgp, where, fragment):
    before = get(compute, **where)
    with pytest.raises(HttpError) as err:
        patch(compute, {"bgp": bgp}, **where)
    assert err.value.status_code == 400
    assert fragment in err.value.reason
    assert get(compute, **where) == before


@pytest.mark.parametrize("body, fragment", [
    ({"name": "other-name"}, "renamed"),
    ({"network": "global/networks/transit-b"}, "network of a router"),
])
def test_router_identity_cannot_be_patched(compute, body, fragment):
    with pytest.raises(HttpError) as err:
        patch(compute, body)
    assert err.value.status_code == 400 and fragment in err.value.reason


def test_insert_list_and_duplicate(compute):
    body = {"name": "new-cr", "network": "projects/tarn-transit/global/networks/transit-b",
            "bgp": {"asn": 64600, "advertiseMode": "CUSTOM",
                    "advertisedIpRanges": [{"range": "10.200.0.0/16"}]}}
    compute.routers().insert(project="tarn-transit", region="europe-west1", body=body).execute()
    listed = compute.routers().list(project="tarn-transit", region="europe-west1").execute()
    new = {r["name"]: r for r in listed["items"]}["new-cr"]
    assert new["network"] == ("https://www.googleapis.com/compute/v1/projects/tarn-transit/"
                              "global/networks/transit-b")
    assert new["region"] == ("https://www.googleapis.com/compute/v1/projects/tarn-transit/"
                             "regions/europe-west1")
    # no description made up
    assert new["bgp"]["advertisedIpRanges"] == [{"range": "10.200.0.0/16"}]
    with pytest.raises(HttpError) as err:
        compute.routers().insert(project="tarn-transit", region="europe-west1", body=body).execute()
    assert err.value.status_code == 409


def test_list_of_region_without_routers(compute):
    response = compute.routers().list(project="tarn-demo", region="europe-west1").execute()
    assert "items" not in response


def test_router_status_shows_peers_what_they_advertise_and_the_routes_learned(compute):
    appliance = ("https://www.googleapis.com/compute/v1/projects/tarn-demo/zones/europe-west1-b/"
                 "instances/router-appliance-euw1")
    peer = {"name": "to-appliance", "ipAddress": "10.10.0.20", "peerIpAddress": "10.10.0.2",
            "peerAsn": 65010, "routerApplianceInstance": appliance}
    compute.routers().insert(project="tarn-demo", region="europe-west1", body={
        "name": "spoke-cr", "network": "global/networks/spoke-vpc",
        "bgp": {"asn": 64600}, "bgpPeers": [peer, dict(peer, name="off", enable="FALSE")],
    }).execute()
    status = compute.routers().getRouterStatus(project="tarn-demo", region="europe-west1",
                                               router="spoke-cr").execute()
    assert status["kind"] == "compute#routerStatusResponse"
    result = status["result"]
    assert result["network"].endswith("/projects/tarn-demo/global/networks/spoke-vpc")
    up, off = result["bgpPeerStatus"]
    assert (up["name"], up["status"], up["state"], up["numLearnedRoutes"]) == (
        "to-appliance", "UP", "Established", 1)
    # DEFAULT mode under GLOBAL routing: every subnet of the VPC.
    assert [r["destRange"] for r in up["advertisedRoutes"]] == [
        "10.10.0.0/20", "10.10.16.0/20", "10.20.0.0/20"]
    assert (off["status"], off["numLearnedRoutes"], "advertisedRoutes" in off) == (
        "DOWN", 0, False)
    # The appliance announces what the VPC routes through it.
    [learned] = result["bestRoutesForRouter"]
    assert (learned["destRange"], learned["nextHopIp"], learned["routeType"]) == (
        "172.20.0.0/16", "10.10.0.2", "BGP")
    assert learned["asPaths"] == [{"pathSegmentType": "AS_SEQUENCE", "asLists": [65010]}]
    assert result["bestRoutes"] == result["bestRoutesForRouter"]
    # A CUSTOM router advertises its groups and ranges.
    patch(compute, {"bgpPeers": [peer], "bgp": {"advertiseMode": "CUSTOM",
                                                "advertisedIpRanges": [{"range": "10.0.0.0/8"}]}},
          project="tarn-demo", router="spoke-cr")
    status = compute.routers().getRouterStatus(project="tarn-demo", region="europe-west1",
                                               router="spoke-cr").execute()
    assert [r["destRange"] for r in status["result"]["bgpPeerStatus"][0]["advertisedRoutes"]] == [
        "10.0.0.0/8"]
