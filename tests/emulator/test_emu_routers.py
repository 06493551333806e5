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
