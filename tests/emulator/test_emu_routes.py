import pytest
from googleapiclient.errors import HttpError

from emu_helpers import SPOKE
from testing.emulators import finish

APPLIANCE = ("https://www.googleapis.com/compute/v1/projects/tarn-demo/zones/europe-west1-b/"
             "instances/router-appliance-euw1")


def route(name="r1", **extra):
    body = {"name": name, "network": SPOKE, "destRange": "10.50.0.0/16", "nextHopIp": "10.10.0.9"}
    body.update(extra)
    return body


def insert(compute, body, project="tarn-demo"):
    return finish(compute, compute.routes().insert(project=project, body=body).execute())[0]


def names(response):
    return [r["name"] for r in response.get("items", [])]


@pytest.mark.parametrize("name, ok", [
    ("a", True), ("a" * 63, True), ("tsr-" + "0f" * 16, True), ("a-1-b", True),
    ("a" * 64, False), ("route_1", False), ("route-", False), ("1route", False),
    ("Route", False), ("", False),
])
def test_route_names_are_checked_in_full(compute, name, ok):
    request = compute.routes().insert(project="tarn-demo", body=route(name))
    if ok:
        assert "error" not in finish(compute, request.execute())[0]
        assert compute.routes().get(project="tarn-demo", route=name).execute()["name"] == name
    else:
        with pytest.raises(HttpError) as err:
            request.execute()
        assert err.value.status_code == 400
        assert "resource.name" in err.value.reason


def test_the_client_passes_a_bad_path_name_that_the_service_refuses(compute):
    # The client library checks only a prefix of the name against its pattern.
    with pytest.raises(HttpError) as err:
        compute.routes().get(project="tarn-demo", route="spoke_default").execute()
    assert err.value.status_code == 400


def test_insert_fills_output_fields_and_a_fetched_route_inserts_again(compute):
    sent = route(nextHopIp=None,
                 nextHopInstance="zones/europe-west1-b/instances/router-appliance-euw1", id="1",
                 kind="bogus", selfLink="x", creationTimestamp="x",
                 description="Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource")
    del sent["nextHopIp"]
    insert(compute, sent)
    got = compute.routes().get(project="tarn-demo", route="r1").execute()
    assert got["priority"] == 1000
    assert got["nextHopInstance"] == APPLIANCE
    assert got["kind"] == "compute#route"
    assert got["selfLink"] == ("https://www.googleapis.com/compute/v1/projects/tarn-demo/global/"
                               "routes/r1")
    assert got["id"] != "1" and got["creationTimestamp"] != "x" and "zone" not in got

    finish(compute, compute.routes().delete(project="tarn-demo", route="r1").execute())
    insert(compute, got)   # as restoring a deleted route does
    again = compute.routes().get(project="tarn-demo", route="r1").execute()
    assert {k: v for k, v in again.items() if k not in ("id", "creationTimestamp")} == \
        {k: v for k, v in got.items() if k not in ("id", "creationTimestamp")}


def test_duplicate_name_is_refused_with_409_already_exists(compute):
    with pytest.raises(HttpError) as err:
        compute.routes().insert(project="tarn-demo", body=route("spoke-onprem-backup")).execute()
    assert err.value.status_code == 409
    assert err.value.error_details[0]["reason"] == "alreadyExists"
    assert err.value.reason == ("The resource 'projects/tarn-demo/global/routes/"
                                "spoke-onprem-backup' already exists")


GATEWAY = ("https://www.googleapis.com/compute/v1/projects/tarn-demo/global/gateways/"
           "default-internet-gateway")


@pytest.mark.parametrize("key, value, stored", [
    ("nextHopInstance", APPLIANCE, APPLIANCE),
    ("nextHopInstance", APPLIANCE.replace("www.googleapis.com", "compute.googleapis.com"),
     APPLIANCE),
    ("nextHopInstance", APPLIANCE.split("v1/")[1], APPLIANCE),
    ("nextHopInstance", "zones/europe-west1-b/instances/router-appliance-euw1", APPLIANCE),
    ("nextHopGateway", "global/gateways/default-internet-gateway", GATEWAY),
    ("nextHopIlb", "10.10.0.50", "10.10.0.50"),
])
def test_next_hops_are_stored_in_full(compute, key, value, stored):
    body = route()
    del body["nextHopIp"]
    insert(compute, dict(body, **{key: value}))
    assert compute.routes().get(project="tarn-demo", route="r1").execute()[key] == stored


@pytest.mark.parametrize("change, field", [
    ({"nextHopInstance": APPLIANCE}, "Exactly one of"),                      # two next hops
    ({"nextHopIp": None}, "Exactly one of"),                                # none
    ({"nextHopIp": None, "nextHopPeering": "spoke-to-transit-a"}, "Exactly one of"),
    ({"nextHopIp": None, "nextHopInstance": "zones/europe-west1-b/instances/gone"},
     "nextHopInstance"),
    ({"nextHopIp": "10.0.0.300"}, "nextHopIp"),
    ({"destRange": "10.50.0.1/16"}, "destRange"),                          # host bits set
    ({"priority": 70000}, "priority"),
    ({"network": "global/networks/nowhere"}, "resource.network"),
])
def test_route_refusals(compute, change, field):
    with pytest.raises(HttpError) as err:
        compute.routes().insert(project="tarn-demo", body=route(**change)).execute()
    assert err.value.status_code == 400
    assert field in err.value.reason


@pytest.mark.parametrize("template", ['network: "{}"', 'network = "{}"', 'network="{}"',
                                      '(network = "{}")', "network eq {}"])
def test_route_filter_on_the_network(compute, template):
    insert(compute, {"name": "transit-only", "network": "global/networks/transit-a",
                     "destRange": "10.60.0.0/16", "nextHopIp": "10.100.0.9"}, "tarn-transit")
    everything = compute.routes().list(project="tarn-transit").execute()
    response = compute.routes().list(project="tarn-transit", filter=template.format(
        "https://www.googleapis.com/compute/v1/projects/tarn-transit/global/networks/transit-a"
    )).execute()
    assert "transit-only" in names(response)
    assert "transit-b-default-internet" in names(everything)
    assert set(names(response)) == {r["name"] for r in everything["items"]
                                    if r["network"].endswith("/transit-a")}


def test_paging_with_list_next_visits_every_route_once(compute):
    for i in range(7):
        insert(compute, route("p%d" % i, destRange="10.%d.0.0/16" % (60 + i)))
    wanted = names(compute.routes().list(project="tarn-demo").execute())
    request = compute.routes().list(project="tarn-demo", maxResults=4,
                                    filter='network: "%s"' % SPOKE)
    seen, pages = [], 0
    while request is not None:
        response = request.execute()
        assert len(response["items"]) <= 4
        seen += names(response)
        pages += 1
        request = compute.routes().list_next(previous_request=request, previous_response=response)
    assert seen == wanted and pages == -(-len(wanted) // 4)


def test_list_without_resources_has_no_items_key(compute):
    response = compute.routes().list(project="tarn-demo", filter='network = "none"').execute()
    assert "items" not in response and "nextPageToken" not in response
    assert response["kind"] == "compute#routeList"


@pytest.mark.parametrize("query", [{"maxResults": 501}, {"pageToken": "garbage"},
                                   {"filter": "network OR name"}])
def test_bad_list_parameters_are_refused(compute, query):
    with pytest.raises(HttpError) as err:
        compute.routes().list(project="tarn-demo", **query).execute()
    assert err.value.status_code == 400


def test_subnet_and_peering_routes_cannot_be_deleted(compute):
    table = compute.routes().list(project="tarn-demo").execute()["items"]
    local = [r for r in table if "nextHopNetwork" in r]
    assert {r["routeType"] for r in local} == {"SUBNET"}
    # Peering routes tell subnet ranges of the peer from the custom routes it exports.
    assert {r["destRange"]: r["routeType"] for r in table if "nextHopPeering" in r} == {
        "172.16.0.0/28": "SUBNET", "192.168.0.0/16": "STATIC", "10.100.0.0/20": "SUBNET",
        "10.200.0.0/20": "SUBNET"}
    assert [r.get("routeStatus") for r in table if r.get("routeType") == "STATIC"
            and "nextHopPeering" not in r] == ["ACTIVE"] * 4
    assert {r["destRange"] for r in local} == {"10.10.0.0/20", "10.10.16.0/20", "10.20.0.0/20"}
    assert all(r["nextHopNetwork"] == SPOKE and r["priority"] == 0 for r in local)
    gke = [r for r in table if r.get("nextHopPeering") == "gke-abc123-def4-peer"]
    for r in (local[0], gke[0]):
        with pytest.raises(HttpError) as err:
            compute.routes().delete(project="tarn-demo", route=r["name"]).execute()
        assert err.value.status_code == 400


def test_delete_lands_when_the_operation_is_done(compute, emu):
    emu.faults.hold_operation(1, "compute.routes.delete")
    op = compute.routes().delete(project="tarn-demo", route="spoke-onprem-backup").execute()
    assert op["operationType"] == "delete"
    compute.routes().get(project="tarn-demo", route="spoke-onprem-backup").execute()
    finish(compute, op)
    with pytest.raises(HttpError) as err:
        compute.routes().get(project="tarn-demo", route="spoke-onprem-backup").execute()
    assert err.value.status_code == 404
