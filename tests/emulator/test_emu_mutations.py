"""Every mutation of the model alike: a repeated requestId, a taken name and
a malformed region or zone, through the emulator's Python API."""

import pytest

from tarn_gcp.emulator import ApiError, model

P, T = "tarn-demo", "tarn-transit"
NET = "global/networks/spoke-vpc"
NIC = [{"subnetwork": "regions/us-central1/subnetworks/spoke-usc1"}]

# (model method, arguments before the body, a body that is accepted, a
# body naming a resource that already exists)
MUTATIONS = [
    ("insert_network", (P,), {"name": "new-vpc"}, {"name": "spoke-vpc"}),
    ("insert_subnetwork", (P, "us-central1"),
     {"name": "new-sub", "network": NET, "ipCidrRange": "10.99.0.0/24"},
     {"name": "spoke-usc1", "network": NET, "ipCidrRange": "10.98.0.0/24"}),
    ("insert_instance", (P, "us-central1-a"),
     {"name": "new-vm", "machineType": "e2-small", "networkInterfaces": NIC},
     {"name": "router-appliance-usc1", "machineType": "e2-small", "networkInterfaces": NIC}),
    ("insert_route", (P,),
     {"name": "new-route", "network": NET, "destRange": "10.77.0.0/16", "nextHopIp": "10.20.0.9"},
     {"name": "spoke-onprem-backup", "network": NET, "destRange": "10.77.0.0/16",
      "nextHopIp": "10.20.0.9"}),
    ("insert_router", (T, "europe-west1"),
     {"name": "new-cr", "network": "global/networks/transit-a"},
     {"name": "transit-a-cr-euw1", "network": "global/networks/transit-a"}),
    ("patch_router", (T, "europe-west1", "transit-a-cr-euw1"), {"bgp": {"asn": 65001}}, None),
    ("add_peering", (T, "transit-a"),
     {"networkPeering": {"name": "new-peer", "network": "global/networks/transit-b"}}, None),
    ("remove_peering", (P, "spoke-vpc"), {"name": "spoke-to-transit-b"}, None),
    ("delete_route", (P, "spoke-onprem-backup"), None, None),
]


def _call(emu, method, args, body, request_id=None):
    args = args if body is None else args + (body,)
    return getattr(emu.model, method)(*args, request_id=request_id)


@pytest.mark.parametrize("method, args, body, taken", MUTATIONS)
def test_a_repeated_request_id_returns_the_first_operation(emu, method, args, body, taken):
    first = _call(emu, method, args, body, request_id="retry-1")
    state = emu.snapshot()
    again = _call(emu, method, args, body, request_id="retry-1")
    assert again["name"] == first["name"] and again["operationType"] == first["operationType"]
    assert [op["name"] for op in emu.model.operations()] == [first["name"]]
    assert emu.snapshot() == state


@pytest.mark.parametrize("method, args, body, taken",
                         [row for row in MUTATIONS if row[3] is not None])
def test_an_insert_of_a_taken_name_is_refused_at_once(emu, method, args, body, taken):
    state = emu.snapshot()
    with pytest.raises(ApiError) as refused:
        _call(emu, method, args, taken)
    kind = {"insert_subnetwork": "regions/us-central1/subnetworks",
            "insert_instance": "zones/us-central1-a/instances",
            "insert_router": "regions/europe-west1/routers"}.get(method,
                                                                  "global/%ss" % method[7:])
    path = "projects/%s/%s/%s" % (args[0], kind, taken["name"])
    assert (refused.value.code, refused.value.message) == (
        409, "The resource '%s' already exists" % path)
    assert emu.model.operations() == [] and emu.snapshot() == state


@pytest.mark.parametrize("method, field", [("insert_subnetwork", "region"),
                                           ("insert_instance", "zone"),
                                           ("insert_router", "region")])
def test_a_malformed_region_or_zone_is_refused_before_the_body(emu, method, field):
    with pytest.raises(ApiError) as refused:
        getattr(emu.model, method)(P, "Bad_Scope", "not a body")
    assert refused.value.code == 400
    assert refused.value.message.startswith(
        "Invalid value for field '%s': 'Bad_Scope'. Must be a match of regex" % field)


def test_the_model_module_still_offers_its_names():
    names = ("API_ROOT NAME_PATTERN PROJECT_PATTERN PEERING_IN_PROGRESS ApiError ComputeModel "
             "not_found already_exists invalid bad_request link now_rfc3339 is_name is_project "
             "check_name ref_path region_of_zone merge_patch").split()
    assert [n for n in names if not hasattr(model, n)] == []
