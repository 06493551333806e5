import pytest
from googleapiclient.errors import HttpError

from emu_helpers import SPOKE, peerings
from testing.emulators import finish
from tarn_gcp.emulator.model import PEERING_IN_PROGRESS

TRANSIT_A = "https://www.googleapis.com/compute/v1/projects/tarn-transit/global/networks/transit-a"


def add(compute, project, local, **peering):
    return compute.networks().addPeering(project=project, network=local,
                                         body={"networkPeering": peering}).execute()


def remove(compute, project, network, name):
    return compute.networks().removePeering(project=project, network=network,
                                            body={"name": name}).execute()


def test_removing_one_side_leaves_the_other_inactive_and_adding_it_back_reactivates(compute):
    assert peerings(compute, "tarn-demo", "spoke-vpc")["spoke-to-transit-a"]["state"] == "ACTIVE"
    finish(compute, remove(compute, "tarn-transit", "transit-a", "transit-a-to-spoke"))

    assert "transit-a-to-spoke" not in peerings(compute, "tarn-transit", "transit-a")
    left = peerings(compute, "tarn-demo", "spoke-vpc")["spoke-to-transit-a"]
    assert left["state"] == "INACTIVE"
    assert "Waiting for peer network to connect" in left["stateDetails"]
    # The peering routes through the inactive peering leave the route table.
    routes = compute.routes().list(project="tarn-demo").execute()["items"]
    assert not [r for r in routes if r.get("nextHopPeering") == "spoke-to-transit-a"]

    # Re-added with a partial URL under another name, it matches again.
    finish(compute, add(compute, "tarn-transit", "transit-a", name="back-to-spoke",
                        network="projects/tarn-demo/global/networks/spoke-vpc"))
    back = peerings(compute, "tarn-transit", "transit-a")["back-to-spoke"]
    assert back["network"] == SPOKE
    assert back["state"] == "ACTIVE"
    assert peerings(compute, "tarn-demo", "spoke-vpc")["spoke-to-transit-a"]["state"] == "ACTIVE"


def test_new_peering_waits_for_the_peer_then_both_sides_are_active(compute, emu):
    for name in ("x", "y"):
        finish(compute,
               compute.networks().insert(project="tarn-demo", body={"name": name}).execute())
    finish(compute, add(compute, "tarn-demo", "x", name="x-to-y", network="global/networks/y"))
    x_side = peerings(compute, "tarn-demo", "x")["x-to-y"]
    assert x_side == {
        "name": "x-to-y",
        "network": "https://www.googleapis.com/compute/v1/projects/tarn-demo/global/networks/y",
        "state": "INACTIVE", "stateDetails": x_side["stateDetails"],
        "autoCreateRoutes": True, "exchangeSubnetRoutes": True,
        "exportCustomRoutes": False, "importCustomRoutes": False,
        "exportSubnetRoutesWithPublicIp": True, "importSubnetRoutesWithPublicIp": False,
        "stackType": "IPV4_ONLY", "updateStrategy": "INDEPENDENT", "peerMtu": 1460}
    # The older request form, with a full URL of the compute host.
    emu.faults.hold_operation(1, "compute.networks.addPeering")
    op = compute.networks().addPeering(project="tarn-demo", network="y", body={
        "name": "y-to-x", "autoCreateRoutes": True,
        "peerNetwork":
            "https://compute.googleapis.com/compute/v1/projects/tarn-demo/global/networks/x",
    }).execute()
    assert peerings(compute, "tarn-demo", "y") == {}   # not before the operation is done
    finish(compute, op)
    assert peerings(compute, "tarn-demo", "x")["x-to-y"]["state"] == "ACTIVE"
    # What the connection lets through: the flags of both records together.
    spoke = peerings(compute, "tarn-demo", "spoke-vpc")
    assert spoke["spoke-to-transit-b"]["connectionStatus"] == {
        "trafficConfiguration": {"exportCustomRoutesToPeer": False,
                                 "importCustomRoutesFromPeer": True,
                                 "exportSubnetRoutesWithPublicIpToPeer": False,
                                 "importSubnetRoutesWithPublicIpFromPeer": False,
                                 "stackType": "IPV4_ONLY"},
        "updateStrategy": "INDEPENDENT"}
    assert spoke["spoke-to-transit-a"]["connectionStatus"]["trafficConfiguration"][
        "exportCustomRoutesToPeer"] is True
    assert peerings(compute, "tarn-demo", "y")["y-to-x"]["state"] == "ACTIVE"


@pytest.mark.parametrize("peering, fragment", [
    ({"name": "spoke-to-transit-a", "network": "projects/tarn-transit/global/networks/nowhere"},
     "already a peering named"),
    ({"name": "second-to-a", "network": TRANSIT_A}, "already has a peering"),
    ({"name": "to-self", "network": "global/networks/spoke-vpc"}, "cannot be peered with itself"),
    ({"name": "Bad_Name", "network": TRANSIT_A}, "networkPeering.name"),
    ({"name": "bad-url", "network": "projects/tarn-transit/networks/transit-a"}, "malformed"),
    ({"name": "no-exchange", "network": TRANSIT_A, "exchangeSubnetRoutes": False},
     "always exchanged"),
    ({"name": "bad-stack", "network": TRANSIT_A, "stackType": "IPV6_ONLY"}, "stackType"),
])
def test_add_peering_refusals(compute, emu, peering, fragment):
    with pytest.raises(HttpError) as err:
        add(compute, "tarn-demo", "spoke-vpc", **peering)
    assert err.value.status_code == 400
    assert fragment in err.value.reason
    assert len(peerings(compute, "tarn-demo", "spoke-vpc")) == 3


def test_remove_unknown_peering_and_unknown_network(compute):
    with pytest.raises(HttpError) as err:
        remove(compute, "tarn-demo", "spoke-vpc", "no-such-peering")
    assert err.value.status_code == 400
    with pytest.raises(HttpError) as err:
        remove(compute, "tarn-demo", "no-such-net", "spoke-to-transit-a")
    assert err.value.status_code == 404


def test_peering_in_progress_refuses_the_next_mutations_only(compute, emu):
    emu.faults.peering_in_progress(2)
    for call in (lambda: remove(compute, "tarn-demo", "spoke-vpc", "spoke-to-transit-b"),
                 lambda: add(compute, "tarn-demo", "spoke-vpc", name="n",
                             network="global/networks/x")):
        with pytest.raises(HttpError) as err:
            call()
        assert err.value.status_code == 400
        assert err.value.reason == PEERING_IN_PROGRESS
    # Reads are not peering mutations; the third mutation goes through.
    compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
    finish(compute, remove(compute, "tarn-demo", "spoke-vpc", "spoke-to-transit-b"))
    assert "spoke-to-transit-b" not in peerings(compute, "tarn-demo", "spoke-vpc")


def test_second_add_of_same_name_is_refused_while_the_first_runs_and_after(compute, emu):
    emu.faults.hold_operation(1, "compute.networks.addPeering")
    first = add(compute, "tarn-demo", "spoke-vpc", name="twin", network="global/networks/a")
    for fragment in (PEERING_IN_PROGRESS, "already a peering named"):
        with pytest.raises(HttpError) as err:
            add(compute, "tarn-demo", "spoke-vpc", name="twin", network="global/networks/b")
        assert err.value.status_code == 400 and fragment in err.value.reason
        assert "error" not in finish(compute, first)[0]
    assert peerings(compute, "tarn-demo", "spoke-vpc")["twin"]["network"].endswith("/networks/a")


EXCHANGED = [
    # (network, peering, direction, (destRange, type, imported) of the routes it exchanges)
    # The on-premises range the spoke's route table shows over the peering
    # is among what the peering brings in.
    ("spoke-vpc", "spoke-to-transit-a", "INCOMING",
     [("10.100.0.0/20", "SUBNET", True), ("10.100.16.0/20", "SUBNET", True),
      ("192.168.0.0/16", "STATIC", True)]),
    ("spoke-vpc", "spoke-to-transit-b", "INCOMING",
     [("10.200.0.0/20", "SUBNET", True), ("10.200.16.0/20", "SUBNET", True)]),
    # The spoke exports its custom routes, save the one to the internet gateway.
    ("spoke-vpc", "spoke-to-transit-a", "OUTGOING",
     [("10.10.0.0/20", "SUBNET", True), ("10.10.16.0/20", "SUBNET", True),
      ("10.12.0.0/14", "SUBNET", True), ("10.16.0.0/20", "SUBNET", True),
      ("10.20.0.0/20", "SUBNET", True), ("172.20.0.0/16", "STATIC", True),
      ("172.20.0.0/16", "STATIC", True), ("192.168.0.0/16", "STATIC", True)]),
    # Towards transit-b the spoke exports no custom routes.
    ("spoke-vpc", "spoke-to-transit-b", "OUTGOING",
     [("10.10.0.0/20", "SUBNET", True), ("10.10.16.0/20", "SUBNET", True),
      ("10.12.0.0/14", "SUBNET", True), ("10.16.0.0/20", "SUBNET", True),
      ("10.20.0.0/20", "SUBNET", True)]),
    ("tarn-transit/transit-a", "transit-a-to-spoke", "INCOMING",
     [("10.10.0.0/20", "SUBNET", True), ("10.10.16.0/20", "SUBNET", True),
      ("10.12.0.0/14", "SUBNET", True), ("10.16.0.0/20", "SUBNET", True),
      ("10.20.0.0/20", "SUBNET", True), ("172.20.0.0/16", "STATIC", True),
      ("172.20.0.0/16", "STATIC", True), ("192.168.0.0/16", "STATIC", True)]),
    ("spoke-vpc", "gke-abc123-def4-peer", "INCOMING", [("172.16.0.0/28", "SUBNET", True)]),
]


@pytest.mark.parametrize("network, peering, direction, wanted", EXCHANGED)
def test_peering_routes_are_what_the_two_records_exchange(compute, network, peering, direction,
                                                          wanted):
    project, _, network = network.rpartition("/")
    response = compute.networks().listPeeringRoutes(
        project=project or "tarn-demo", network=network, peeringName=peering,
        direction=direction, region="europe-west1").execute()
    assert response["kind"] == "compute#exchangedPeeringRoutesList"
    assert [(r["destRange"], r["type"].split("_")[0], r["imported"])
            for r in response.get("items", [])] == wanted


def test_routes_exported_but_not_imported_and_an_inactive_peering(compute):
    # The GKE network exports custom routes; the spoke does not import them.
    finish(compute, compute.routes().insert(project="gke-prod-abc123", body={
        "name": "gke-extra", "network": "global/networks/gke-abc123-def4-net",
        "destRange": "172.16.8.0/24", "nextHopIp": "172.16.0.5"}).execute())
    response = compute.networks().listPeeringRoutes(
        project="tarn-demo", network="spoke-vpc", peeringName="gke-abc123-def4-peer",
        direction="INCOMING", region="europe-west1").execute()
    assert [(r["destRange"], r["imported"]) for r in response["items"]] == [
        ("172.16.0.0/28", True), ("172.16.8.0/24", False)]
    finish(compute, remove(compute, "tarn-transit", "transit-a", "transit-a-to-spoke"))
    response = compute.networks().listPeeringRoutes(
        project="tarn-demo", network="spoke-vpc", peeringName="spoke-to-transit-a",
        direction="INCOMING", region="europe-west1").execute()
    assert "items" not in response
    with pytest.raises(HttpError) as err:
        compute.networks().listPeeringRoutes(project="tarn-demo", network="spoke-vpc",
                                             peeringName="nothing", direction="INCOMING",
                                             region="europe-west1").execute()
    assert err.value.status_code == 400
