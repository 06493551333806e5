"""Helpers shared by the end-to-end tests."""

import yaml

from tarn_gcp.emulator import API_ROOT, sample

SPOKE = "projects/tarn-demo/global/networks/spoke-vpc"
TRANSIT_A = "projects/tarn-transit/global/networks/transit-a"
TRANSIT_B = "projects/tarn-transit/global/networks/transit-b"
GKE_NET = "projects/gke-prod-abc123/global/networks/gke-abc123-def4-net"
SPOKE_LINK = API_ROOT + SPOKE
ROUTER_A = "projects/tarn-transit/regions/europe-west1/routers/transit-a-cr-euw1"
ROUTER_B = "projects/tarn-transit/regions/us-central1/routers/transit-b-cr-usc1"
ROUTER_A_USC1 = "projects/tarn-transit/regions/us-central1/routers/transit-a-cr-usc1"
MKEY = "tarn-demo::spoke-vpc"
RKEY_A = "tarn-transit::transit-a::europe-west1::transit-a-cr-euw1"
RKEY_B = "tarn-transit::transit-b::us-central1::transit-b-cr-usc1"
MARKER = "Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"


def load_plan():
    """A fresh copy of the sample plan."""
    return yaml.safe_load(sample.plan_text())


def route_path(name, project="tarn-demo"):
    return "projects/%s/global/routes/%s" % (project, name)


def peering_names(snapshot, network_path):
    return [p["name"] for p in snapshot[network_path].get("peerings", [])]


def changed(before, after):
    """The resource paths whose content differs between two snapshots."""
    return sorted(path for path in set(before) | set(after) if before.get(path) != after.get(path))


def assert_same(before, after):
    """Two snapshots hold the same resources; names the differing ones first."""
    assert changed(before, after) == []
    assert after == before


def changes_asked(emu):
    """The requests other than reads (GET) the emulator received: changes
    and operation waits."""
    return [r.method for r in emu.requests if r.http_method != "GET"]


def methods(emu, *wanted):
    """The method ids of the logged requests, oldest first, optionally only
    those named (short names such as "routes.insert")."""
    ids = [r.method for r in emu.requests]
    if wanted:
        full = {"compute." + w for w in wanted}
        ids = [m for m in ids if m in full]
    return ids


def messages(logs, level=None):
    return [m for lvl, m in logs.lines if level is None or lvl == level]
