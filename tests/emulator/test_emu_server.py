import json
import os
import socket
import threading
import time

import googleapiclient
import httplib2
import pytest
import requests
from googleapiclient.errors import HttpError

from testing.emulators import finish, wait_until
from tarn_gcp.emulator import Emulator, build_service, endpoint_url
from tarn_gcp.emulator.server import METHODS


def test_method_table_matches_the_shipped_discovery_document():
    path = os.path.join(os.path.dirname(googleapiclient.__file__),
                        "discovery_cache", "documents", "compute.v1.json")
    with open(path) as handle:
        document = json.load(handle)
    assert document["servicePath"] == "compute/v1/"
    for method_id, verb, template in METHODS:
        _, collection, name = method_id.split(".")
        method = document["resources"][collection]["methods"][name]
        assert (method["id"], method["httpMethod"], method["path"]) == (method_id, verb, template)


def test_error_body_as_the_api_sends_it(emu):
    response = requests.get(emu.url + "projects/tarn-demo/global/networks/nowhere")
    assert response.status_code == 404
    assert response.headers["Content-Type"].startswith("application/json")
    message = "The resource 'projects/tarn-demo/global/networks/nowhere' was not found"
    assert response.json() == {"error": {"code": 404, "message": message, "errors": [
        {"message": message, "domain": "global", "reason": "notFound"}]}}


@pytest.mark.parametrize("call, status", [
    (lambda c: c.networks().get(project="tarn-demo", network="nowhere"), 404),
    (lambda c: c.networks().list(project="no-such-project"), 404),
    (lambda c: c.subnetworks().get(project="tarn-demo", region="us-central1",
                                   subnetwork="spoke-euw1"), 404),   # another region
    (lambda c: c.instances().get(project="tarn-demo", zone="europe-west1-b",
                                 instance="router_appliance"), 400),
    (lambda c: c.routes().insert(project="tarn-demo", body={"name": "x"}), 400),
])
def test_errors_surface_as_http_errors_with_their_status(compute, call, status):
    with pytest.raises(HttpError) as err:
        call(compute).execute()
    assert err.value.status_code == status
    assert err.value.error_details[0]["domain"] == "global"


def test_requests_library_round_trip(emu):
    session = requests.Session()
    body = {"name": "via-requests", "network": "global/networks/spoke-vpc",
            "destRange": "10.80.0.0/16", "nextHopIp": "10.10.0.9"}
    op = session.post(emu.url + "projects/tarn-demo/global/routes", json=body).json()
    for _ in range(2):
        op = session.post(
            emu.url + "projects/tarn-demo/global/operations/%s/wait" % op["name"]).json()
    assert op["status"] == "DONE"
    got = session.get(emu.url + "projects/tarn-demo/global/routes/via-requests").json()
    assert got["network"].endswith("/projects/tarn-demo/global/networks/spoke-vpc")
    assert session.get(emu.root_url + "elsewhere").status_code == 404
    assert session.put(emu.url + "projects/tarn-demo/global/routes/via-requests").status_code == 405


def test_long_get_sent_as_post_with_method_override(compute, emu):
    # The client library turns a GET with a long URL into a POST carrying the query.
    selector = 'network = "%s"' % ("x" * 2100)
    response = compute.routes().list(project="tarn-demo", filter=selector).execute()
    assert "items" not in response
    assert emu.requests[-1].method == "compute.routes.list"


def test_subnetworks_instances_and_networks(compute):
    spoke = compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
    region = [u for u in spoke["subnetworks"] if "/regions/us-central1/" in u]
    subnet = compute.subnetworks().get(project="tarn-demo", region="us-central1",
                                       subnetwork=region[0].rsplit("/", 1)[1]).execute()
    assert subnet["ipCidrRange"] == "10.20.0.0/20" and subnet["network"] == spoke["selfLink"]
    listed = compute.subnetworks().list(project="tarn-demo", region="europe-west1").execute()
    assert [s["name"] for s in listed["items"]] == ["spoke-euw1", "spoke-gke-euw1"]

    op = compute.subnetworks().insert(project="tarn-demo", region="us-central1", body={
        "name": "spoke-usc1-b", "network": "global/networks/spoke-vpc",
        "ipCidrRange": "10.20.16.0/20"}).execute()
    assert op["region"].endswith("/regions/us-central1")
    with pytest.raises(HttpError) as err:   # overlaps spoke-usc1
        compute.subnetworks().insert(project="tarn-demo", region="us-central1", body={
            "name": "overlap", "network": "global/networks/spoke-vpc",
            "ipCidrRange": "10.20.8.0/21"}).execute()
    assert err.value.status_code == 400
    after = compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
    assert len(after["subnetworks"]) == 4

    compute.instances().insert(project="tarn-demo", zone="us-central1-f", body={
        "name": "vm-1", "machineType": "zones/us-central1-f/machineTypes/e2-micro",
        "networkInterfaces": [{"subnetwork": "regions/us-central1/subnetworks/spoke-usc1-b"}],
    }).execute()
    vm = compute.instances().get(project="tarn-demo", zone="us-central1-f",
                                 instance="vm-1").execute()
    assert vm["networkInterfaces"][0]["networkIP"] == "10.20.16.2"
    assert vm["networkInterfaces"][0]["network"] == spoke["selfLink"]
    assert vm["selfLink"].endswith("/projects/tarn-demo/zones/us-central1-f/instances/vm-1")

    listed = []
    request = compute.networks().list(project="tarn-transit", maxResults=1)
    while request is not None:
        response = request.execute()
        listed += [n["name"] for n in response["items"]]
        request = compute.networks().list_next(previous_request=request, previous_response=response)
    assert listed == ["transit-a", "transit-b"]


def test_control_path_injects_faults_and_reads_state(emu, compute):
    post = requests.post(emu.root_url + "_emulator/faults", json={
        "kind": "request", "method": "compute.networks.get", "status": 429})
    assert post.status_code == 200
    with pytest.raises(HttpError) as err:
        compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
    assert err.value.status_code == 429
    snapshot = requests.get(emu.root_url + "_emulator/snapshot").json()
    assert snapshot == emu.snapshot()
    logged = requests.get(emu.root_url + "_emulator/requests").json()
    assert logged[-1]["method"] == "compute.networks.get" and logged[-1]["status"] == 429
    assert requests.post(emu.root_url + "_emulator/faults",
                         json={"kind": "nope"}).status_code == 400


def test_endpoint_url_forms():
    assert endpoint_url("http://127.0.0.1:9") == "http://127.0.0.1:9/compute/v1/"
    assert endpoint_url("http://127.0.0.1:9/compute/v1") == "http://127.0.0.1:9/compute/v1/"


def test_caller_transport_is_used(emu):
    seen = []

    class Recording(httplib2.Http):
        def request(self, uri, *args, **kwargs):
            seen.append(uri)
            return super().request(uri, *args, **kwargs)

    compute = build_service(emu, http=Recording())
    compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
    assert seen and seen[0].startswith(emu.url + "projects/tarn-demo/global/networks/spoke-vpc")


def test_starts_fast_and_shuts_down_cleanly():
    threads_before = set(threading.enumerate())
    started = time.monotonic()
    emu = Emulator(projects=["p"]).start()
    assert time.monotonic() - started < 0.5
    port = emu.port
    compute = build_service(emu)
    for _ in range(3):   # keep-alive connections held open by the client
        compute.networks().list(project="p").execute()
    stopped = time.monotonic()
    emu.close()
    assert time.monotonic() - stopped < 1.0
    assert set(threading.enumerate()) <= threads_before
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    with Emulator(port=port, projects=["p"], op_seconds=600) as again:   # the port is free again
        assert again.port == port
        # A wait held on a long operation does not hold up the shutdown.
        compute = build_service(again)
        op = compute.networks().insert(project="p", body={"name": "n"}).execute()

        def wait():
            try:
                compute.globalOperations().wait(project="p", operation=op["name"]).execute()
            except (OSError, httplib2.HttpLib2Error):
                pass   # the connection may close before the answer
        waiting = threading.Thread(target=wait)
        waiting.start()
        assert wait_until(lambda: again.requests_for("compute.networks.insert")
                          and again.model.operations()[0]["status"] == "RUNNING")
        stopped = time.monotonic()
    assert time.monotonic() - stopped < 60   # not the wait's limit of 120 s
    waiting.join()
    emu.close()   # closing twice is harmless


def test_concurrent_clients(emu):
    errors = []

    def work(i):
        try:
            compute = build_service(emu)
            op = compute.routes().insert(project="tarn-demo", body={
                "name": "c%d" % i, "network": "global/networks/spoke-vpc",
                "destRange": "10.9%d.0.0/16" % i, "nextHopIp": "10.10.0.9"}).execute()
            finish(compute, op)
        except Exception as exc:   # reported below
            errors.append(exc)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    names = {r["name"]
             for r in build_service(emu).routes().list(project="tarn-demo").execute()["items"]}
    assert {"c%d" % i for i in range(6)} <= names


def _scoped_names(answer, key):
    return {scope: [r["name"] for r in entry.get(key, [])]
            for scope, entry in answer.get("items", {}).items()}


READS = [
    # (id, path below the API root, query, what the answer must be)
    ("fields: one field of every item", "projects/tarn-transit/global/networks",
     {"fields": "items/name"}, {"items": [{"name": "transit-a"}, {"name": "transit-b"}]}),
    ("fields: a sub-selection and a nested path",
     "projects/tarn-transit/regions/us-central1/routers",
     {"fields": "kind,items(name,bgp/asn)"},
     {"kind": "compute#routerList",
      "items": [{"name": "transit-a-cr-usc1", "bgp": {"asn": 64515}},
                {"name": "transit-b-cr-usc1", "bgp": {"asn": 64516}}]}),
    ("aggregated subnetworks by region", "projects/tarn-transit/aggregated/subnetworks",
     {"fields": "items/*/subnetworks/name"},
     {"items": {"regions/europe-west1": {"subnetworks": [{"name": "transit-a-euw1"},
                                                         {"name": "transit-b-euw1"}]},
                "regions/us-central1": {"subnetworks": [{"name": "transit-a-usc1"},
                                                        {"name": "transit-b-usc1"}]}}}),
    ("aggregated routers, filtered", "projects/tarn-transit/aggregated/routers",
     {"filter": "bgp.advertiseMode = CUSTOM", "fields": "items/*/routers/name"},
     {"items": {"regions/europe-west1": {"routers": [{"name": "transit-a-cr-euw1"}]},
                "regions/us-central1": {"routers": [{"name": "transit-b-cr-usc1"}]}}}),
    ("aggregated instances, paged", "projects/tarn-demo/aggregated/instances",
     {"maxResults": "1", "fields": "items/*/instances/name"},
     {"items": {"zones/europe-west1-b": {"instances": [{"name": "router-appliance-euw1"}]}}}),
    ("subnetworks usable to a project", "projects/tarn-demo/aggregated/subnetworks/listUsable",
     {"fields": "kind,items(ipCidrRange,secondaryIpRanges/rangeName)"},
     {"kind": "compute#usableSubnetworksAggregatedList",
      "items": [{"ipCidrRange": "10.10.0.0/20"},
                {"ipCidrRange": "10.10.16.0/20",
                 "secondaryIpRanges": [{"rangeName": "pods"}, {"rangeName": "services"}]},
                {"ipCidrRange": "10.20.0.0/20"}]}),
]


@pytest.mark.parametrize("path, query, wanted", [r[1:] for r in READS], ids=[r[0] for r in READS])
def test_reads_computed_and_trimmed_as_the_api_does(emu, path, query, wanted):
    response = requests.get(emu.url + path, params=query)
    assert response.status_code == 200, response.text
    assert response.json() == wanted


def test_operations_listed_by_scope_and_aggregated(emu, compute):
    route = compute.routes().insert(project="tarn-demo", body={
        "name": "listed", "network": "global/networks/spoke-vpc", "destRange": "10.80.0.0/16",
        "nextHopIp": "10.10.0.9"}).execute()
    patch = compute.routers().patch(project="tarn-transit", region="us-central1",
                                    router="transit-b-cr-usc1", body={"description": "x"}).execute()
    listed = compute.globalOperations().list(project="tarn-demo").execute()
    assert [(o["name"], o["status"]) for o in listed["items"]] == [(route["name"], "DONE")]
    assert listed["kind"] == "compute#operationList"
    regional = compute.regionOperations().list(project="tarn-transit",
                                               region="us-central1").execute()
    assert [o["name"] for o in regional["items"]] == [patch["name"]]
    assert "items" not in compute.regionOperations().list(project="tarn-transit",
                                                          region="europe-west1").execute()
    everywhere = compute.globalOperations().aggregatedList(project="tarn-transit",
                                                           includeAllScopes=True).execute()
    assert _scoped_names(everywhere, "operations")["regions/us-central1"] == [patch["name"]]
    assert everywhere["items"]["global"]["warning"]["code"] == "NO_RESULTS_ON_PAGE"
    assert everywhere["kind"] == "compute#operationAggregatedList"
