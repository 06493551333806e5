"""Google's own command line against the emulator: the commands an operator
runs around a migration show what the API documents.

gcloud takes a second or two per command, so everything runs in one test,
on one emulator started as a user starts it, its operations taking a
moment and its waits holding until they are done."""

import json
import os
import shutil
import subprocess

import pytest

from testing.emulators import wait_until
from tarn_gcp.emulator import Emulator, sample

GCLOUD = shutil.which("gcloud")
pytestmark = pytest.mark.skipif(GCLOUD is None, reason="gcloud is not installed")


@pytest.fixture(scope="module")
def gcloud(tmp_path_factory):
    home = tmp_path_factory.mktemp("gcloud")
    token = home / "token"
    token.write_text("emulator-token\n")
    with Emulator(seed=sample, op_seconds=0.2) as emu:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("CLOUDSDK_") and k.lower() not in ("http_proxy", "https_proxy")}
        env.update(CLOUDSDK_API_ENDPOINT_OVERRIDES_COMPUTE=emu.url,
                   CLOUDSDK_AUTH_ACCESS_TOKEN_FILE=str(token),
                   CLOUDSDK_CONFIG=str(home / "config"), CLOUDSDK_CORE_PROJECT="tarn-demo",
                   CLOUDSDK_CORE_DISABLE_PROMPTS="1", CLOUDSDK_CORE_CHECK_GCE_METADATA="false",
                   CLOUDSDK_COMPONENT_MANAGER_DISABLE_UPDATE_CHECK="1",
                   CLOUDSDK_CORE_DISABLE_USAGE_REPORTING="1", NO_PROXY="127.0.0.1")

        def run(*args, ok=True):
            return many((args, ok))[0]

        def many(*calls):
            """gcloud commands that read only, run side by side."""
            started = [(subprocess.Popen([GCLOUD, "compute", *args], env=env, text=True,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE), ok)
                       for args, ok in calls]
            done = []
            for process, ok in started:
                out, err = process.communicate(timeout=120)
                assert (process.returncode == 0) == ok, err
                assert not ok or "WARNING" not in err, err
                done.append(subprocess.CompletedProcess(process.args, process.returncode, out,
                                                        err))
            return done
        run.emu = emu
        run.many = many
        yield run


def table(done):
    return json.loads(done.stdout)


def test_operator_commands_around_a_migration(gcloud):
    emu = gcloud.emu
    networks = table(gcloud("networks", "list", "--format=json"))
    assert [n["name"] for n in networks] == ["spoke-vpc"]
    subnets = table(gcloud("networks", "subnets", "list", "--regions=europe-west1",
                           "--format=json"))
    assert [(s["name"], s["ipCidrRange"]) for s in subnets] == [
        ("spoke-euw1", "10.10.0.0/20"), ("spoke-gke-euw1", "10.10.16.0/20")]

    # Routes: created, described, listed with a filter, deleted, each waiting on its operation.
    gcloud("routes", "create", "gc-route", "--network=spoke-vpc",
           "--destination-range=10.77.0.0/16", "--next-hop-instance=router-appliance-euw1",
           "--next-hop-instance-zone=europe-west1-b", "--priority=900")
    described = table(gcloud("routes", "describe", "gc-route", "--format=json"))
    assert described["priority"] == 900 and described["destRange"] == "10.77.0.0/16"
    assert described["nextHopInstance"].endswith(
        "/projects/tarn-demo/zones/europe-west1-b/instances/router-appliance-euw1")
    listed = table(gcloud("routes", "list", "--filter=network:spoke-vpc", "--format=json"))
    sent = emu.requests_for("compute.routes.list")[-1].query["filter"]
    assert sent == r'network eq ".*\bspoke\-vpc\b.*"'
    everything = emu.model.list("tarn-demo", "routes")
    assert sorted(r["name"] for r in listed) == sorted(
        r["name"] for r in everything if r["network"].endswith("/spoke-vpc"))
    assert len(listed) == 12 and "gc-route" in [r["name"] for r in listed]
    gcloud("routes", "delete", "gc-route")
    assert "projects/tarn-demo/global/routes/gc-route" not in emu.snapshot()

    # Peerings: one side removed, the peer's record INACTIVE, added back, both ACTIVE.
    def peerings(network, project):
        shown = table(gcloud("networks", "peerings", "list", "--network=" + network,
                             "--project=" + project, "--format=json"))
        return {p["name"]: p["state"] for n in shown for p in n.get("peerings", [])}
    gcloud("networks", "peerings", "delete", "spoke-to-transit-a", "--network=spoke-vpc")
    assert peerings("transit-a", "tarn-transit") == {"transit-a-to-spoke": "INACTIVE"}
    gcloud("networks", "peerings", "create", "spoke-to-transit-a", "--network=spoke-vpc",
           "--peer-project=tarn-transit", "--peer-network=transit-a")
    assert peerings("transit-a", "tarn-transit") == {"transit-a-to-spoke": "ACTIVE"}
    assert peerings("spoke-vpc", "tarn-demo")["spoke-to-transit-a"] == "ACTIVE"

    # A Cloud Router: described, its advertisements updated (a regional operation).
    where = ["transit-a-cr-euw1", "--region=europe-west1", "--project=tarn-transit"]
    router = table(gcloud("routers", "describe", *where, "--format=json"))
    assert [r["range"] for r in router["bgp"]["advertisedIpRanges"]] == [
        "10.10.0.0/20", "10.10.16.0/20"]
    gcloud("routers", "update", *where, "--add-advertisement-ranges=10.99.0.0/16")
    assert emu.requests_for("compute.regionOperations.wait")
    router = table(gcloud("routers", "describe", *where, "--format=json"))
    assert [r["range"] for r in router["bgp"]["advertisedIpRanges"]][-1] == "10.99.0.0/16"
    # ...and an update whose regional operation fails is reported as failed, nothing changed.
    emu.faults.fail_operation("compute.routers.patch", 400, "Router is busy.")
    failed = gcloud("routers", "update", *where, "--add-advertisement-ranges=10.98.0.0/16",
                    ok=False)
    assert "Router is busy." in failed.stderr
    router = table(gcloud("routers", "describe", *where, "--format=json"))
    assert "10.98.0.0/16" not in str(router)

    # The default lists, across regions and zones (aggregated lists).
    reads = [("instances", "list"), ("routers", "list", "--project=tarn-transit"),
             ("networks", "subnets", "list"), ("operations", "list"),
             ("routers", "get-status", *where),
             ("networks", "peerings", "list-routes", "spoke-to-transit-a", "--network=spoke-vpc",
              "--region=europe-west1", "--direction=INCOMING")]
    answers = gcloud.many(*[((*args, "--format=json"), True) for args in reads], (
        ("routers", "describe", "transit-a-cr-euw1", "--region=mars-north9",
         "--project=tarn-transit"), False))
    listed = {args[0]: [r["name"] for r in table(done)] for args, done in zip(reads[:4],
                                                                               answers)}
    assert listed["instances"] == ["router-appliance-euw1", "vpn-gw-euw1",
                                   "router-appliance-usc1"]
    assert listed["routers"] == ["transit-a-cr-euw1", "transit-a-cr-usc1", "transit-b-cr-usc1"]
    assert listed["networks"] == ["spoke-euw1", "spoke-gke-euw1", "spoke-usc1"]
    mine = [r["name"] for r in emu.model.operations() if "/tarn-demo/" in r["selfLink"]]
    assert sorted(listed["operations"]) == sorted(mine) and len(mine) == 4
    # What a router and a peering report of themselves.
    status = table(answers[4])
    assert status["result"]["network"].endswith("/projects/tarn-transit/global/networks/transit-a")
    exchanged = table(answers[5])
    assert [(r["destRange"], r["type"]) for r in exchanged] == [
        ("10.100.0.0/20", "SUBNET_PEERING_ROUTE"), ("10.100.16.0/20", "SUBNET_PEERING_ROUTE"),
        ("192.168.0.0/16", "STATIC_PEERING_ROUTE")]
    # An unknown region is refused as the API refuses it.
    refused = answers[6]
    assert "Invalid value for field 'region': 'mars-north9'. Unknown region." in refused.stderr
    assert [r.params.get("region") for r in emu.requests if r.invalid] == ["mars-north9"]


def test_the_python_client_library_sees_what_gcloud_shows(gcloud):
    """google-cloud-compute over REST, another client nobody here wrote."""
    compute_v1 = pytest.importorskip("google.cloud.compute_v1")
    from google.api_core.client_options import ClientOptions
    from google.auth.credentials import AnonymousCredentials

    def client(cls):
        return cls(transport="rest", credentials=AnonymousCredentials(),
                   client_options=ClientOptions(api_endpoint=gcloud.emu.root_url.rstrip("/")))
    shown = table(gcloud("instances", "list", "--format=json"))
    listed = [i.name for _, scoped in client(compute_v1.InstancesClient).aggregated_list(
        project="tarn-demo") for i in scoped.instances]
    assert sorted(listed) == sorted(i["name"] for i in shown) and len(listed) == 3

    where = dict(project="tarn-transit", region="us-central1", router="transit-b-cr-usc1")
    shown = table(gcloud("routers", "get-status", where["router"], "--region=us-central1",
                         "--project=tarn-transit", "--format=json"))
    status = client(compute_v1.RoutersClient).get_router_status(**where)
    assert status.result.network == shown["result"]["network"]

    shown = table(gcloud("networks", "peerings", "list-routes", "spoke-to-transit-a",
                         "--network=spoke-vpc", "--region=europe-west1", "--direction=OUTGOING",
                         "--format=json"))
    request = compute_v1.ListPeeringRoutesNetworksRequest(
        project="tarn-demo", network="spoke-vpc", peering_name="spoke-to-transit-a",
        direction="OUTGOING", region="europe-west1")
    routes = client(compute_v1.NetworksClient).list_peering_routes(request=request)
    assert [(r.dest_range, r.type_, r.priority, r.imported) for r in routes] == [
        (r["destRange"], r["type"], r["priority"], r["imported"]) for r in shown]
    assert "SUBNET_PEERING_ROUTE" in {r["type"] for r in shown}

    # A route inserted through it lands without anyone waiting, and shows its status.
    routes = client(compute_v1.RoutesClient)
    routes.insert(project="tarn-demo", route_resource=compute_v1.Route(
        name="via-client", network="global/networks/spoke-vpc", dest_range="10.91.0.0/16",
        next_hop_ip="10.10.0.9"))
    assert wait_until(lambda: "projects/tarn-demo/global/routes/via-client" in
                      gcloud.emu.snapshot(), seconds=10)
    assert routes.get(project="tarn-demo", route="via-client").route_status == "ACTIVE"
    assert [r.params.get("region") for r in gcloud.emu.requests if r.invalid] in (
        [], ["mars-north9"])
