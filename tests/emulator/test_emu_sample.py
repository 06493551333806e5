import ipaddress
import signal
import subprocess

import pytest
import requests
import yaml

from emu_helpers import SPOKE
from testing.emulators import finish, python
from tarn_gcp.emulator import Emulator, sample, spokes, write_plans

PLAN = yaml.safe_load(sample.plan_text())


def split(link):
    parts = link.split("/")
    return parts[6], parts[9]


def migrate(compute, plan):
    """The three migration stages, made with the requests the migration tool
    makes; returns what a restore needs."""
    project, vpc = plan["project_id"], plan["vpc_name"]
    transit = {t["vpc_name"] for t in plan["transit_vpcs"]}
    saved = {"peerings": [], "routes": [], "added": [], "bgp": {}}
    spoke = compute.networks().get(project=project, network=vpc).execute()
    for local in spoke.get("peerings", []):
        peer_project, peer_vpc = split(local["network"])
        if "%s::%s" % (peer_project, peer_vpc) not in transit:
            continue
        remote = next(p for p in compute.networks().get(
            project=peer_project, network=peer_vpc).execute()["peerings"]
            if split(p["network"]) == (project, vpc))
        saved["peerings"].append((local, remote))
        for where, name in (((peer_project, peer_vpc), remote["name"]),
                            ((project, vpc), local["name"])):
            op = compute.networks().removePeering(project=where[0], network=where[1],
                                                  body={"name": name}).execute()
            assert "error" not in finish(compute, op, where[0])[0]
    stage = plan["manage_routes"]["stage1"]
    for name in stage["delete"]:
        saved["routes"].append(compute.routes().get(project=project, route=name).execute())
        finish(compute, compute.routes().delete(project=project, route=name).execute())
    for i, spec in enumerate(stage["add"]):
        instance = compute.instances().get(project=project, zone=spec["zone"],
                                           instance=spec["dest_instance"]).execute()
        body = {"destRange": spec["cidr"], "nextHopInstance": instance["selfLink"],
                "priority": spec["priority"] or 1000, "name": spec["name"] or "tsr-%032x" % i,
                "network": spoke["selfLink"],
                "description": "Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"}
        finish(compute, compute.routes().insert(project=project, body=body).execute())
        saved["added"].append(body["name"])
    for entry in plan["transit_vpcs"]:
        router_project, _ = entry["vpc_name"].split("::")
        for cr in entry.get("cloud_routers", []):
            where = dict(project=router_project, region=cr["region"], router=cr["router_name"])
            bgp = compute.routers().get(**where).execute()["bgp"]
            ranges = [r for r in bgp.get("advertisedIpRanges", [])
                      if str(ipaddress.IPv4Network(r["range"]))
                      not in cr["remove_advertised_routes"]]
            ranges += [{"range": r, "description": "tessaron-migration-added"}
                       for r in cr["add_advertised_routes"]]
            body = {"advertisedIpRanges": ranges}
            if "advertisedGroups" in bgp:
                body["advertisedGroups"] = [g for g in bgp["advertisedGroups"]
                                            if g not in cr["remove_advertised_groups"]]
            saved["bgp"][tuple(where.values())] = bgp
            compute.routers().patch(body={"bgp": body}, **where).execute()
    return saved


def restore(compute, project, saved):
    keys = ("name", "network", "exportCustomRoutes", "importCustomRoutes", "exchangeSubnetRoutes",
            "exportSubnetRoutesWithPublicIp", "importSubnetRoutesWithPublicIp", "stackType")
    for local, remote in saved["peerings"]:
        for record, other in ((local, remote), (remote, local)):
            where = split(other["network"])
            op = compute.networks().addPeering(project=where[0], network=where[1], body={
                "networkPeering": {k: record[k] for k in keys}}).execute()
            assert "error" not in finish(compute, op, where[0])[0]
    for name in saved["added"]:
        finish(compute, compute.routes().delete(project=project, route=name).execute())
    for route in saved["routes"]:
        finish(compute, compute.routes().insert(project=project, body=route).execute())
    for (project_, region, router), bgp in saved["bgp"].items():
        bgp.setdefault("advertisedIpRanges", [])
        compute.routers().patch(project=project_, region=region, router=router,
                                body={"bgp": bgp}).execute()


def test_migration_round_trip_restores_the_snapshot(emu, compute):
    before = emu.snapshot()
    saved = migrate(compute, PLAN)
    during = emu.snapshot()

    spoke = "projects/tarn-demo/global/networks/spoke-vpc"
    assert [p["name"] for p in during[spoke]["peerings"]] == ["gke-abc123-def4-peer"]
    assert during[spoke]["peerings"] == [p for p in before[spoke]["peerings"]
                                         if p["name"] == "gke-abc123-def4-peer"]
    assert "transit-a-to-spoke" not in str(
        during["projects/tarn-transit/global/networks/transit-a"])
    router = during["projects/tarn-transit/regions/us-central1/routers/transit-b-cr-usc1"]["bgp"]
    assert "advertisedGroups" not in router
    assert [r["range"] for r in router["advertisedIpRanges"]] == [
        "192.168.100.0/24", "10.200.0.0/16", "10.20.0.0/16"]
    assert "projects/tarn-demo/global/routes/spoke-onprem-backup" not in during
    assert "projects/tarn-demo/global/routes/spoke-transit-a-via-appliance" in during

    restore(compute, "tarn-demo", saved)
    assert emu.snapshot() == before


def test_each_spoke_of_many_has_a_plan_that_round_trips(emu, compute, tmp_path):
    emu.reset(seed=spokes(3))
    wave_path = write_plans(3, tmp_path / "wave")
    wave = yaml.safe_load(open(wave_path))
    assert wave == {"spokes": ["tarn-spoke-001.yaml", "tarn-spoke-002.yaml",
                               "tarn-spoke-003.yaml"], "revert": "revert/", "parallel": 4}
    plans = [yaml.safe_load(open(tmp_path / "wave" / name)) for name in wave["spokes"]]
    # Every spoke's subnetworks are its own: no range of one overlaps another's.
    ranges = [ipaddress.ip_network(s["ipCidrRange"])
              for s in emu.snapshot().values() if s["kind"] == "compute#subnetwork"]
    assert len(ranges) == 2 * 2 + 3 * 2
    assert not [(a, b) for i, a in enumerate(ranges) for b in ranges[i + 1:] if a.overlaps(b)]
    before = emu.snapshot()
    for plan in plans:
        assert check_plan(compute, plan) == {"tarn-transit::transit-a", "tarn-transit::transit-b"}
        saved = migrate(compute, plan)
        during = emu.snapshot()
        spoke = "projects/%s/global/networks/spoke-vpc" % plan["project_id"]
        assert "peerings" not in during[spoke]
        router = during["projects/tarn-transit/regions/us-central1/routers/transit-b-cr-usc1"]
        summary = [r["range"] for r in router["bgp"]["advertisedIpRanges"]][-1]
        assert ipaddress.ip_network(plan["transit_vpcs"][1]["cloud_routers"][1][
            "remove_advertised_routes"][0]).subnet_of(ipaddress.ip_network(summary))
        restore(compute, plan["project_id"], saved)
        assert emu.snapshot() == before
    with pytest.raises(ValueError):
        spokes(0)


def test_snapshot_leaves_out_what_changes_between_runs(emu):
    snapshot = emu.snapshot()
    text = str(snapshot)
    for key in ("'id'", "creationTimestamp", "stateDetails", "operation-", "fingerprint"):
        assert key not in text
    with Emulator(seed=sample) as other:
        assert other.snapshot() == snapshot


def check_plan(compute, plan):
    """The plan fits the topology: its transit VPCs are peered with its VPC,
    its routers advertise what it removes and not what it adds, the routes
    it deletes and the instances it routes through exist.  Returns the
    peers of its VPC."""
    project = plan["project_id"]
    spoke = compute.networks().get(project=project, network=plan["vpc_name"]).execute()
    peers = {"%s::%s" % split(p["network"]) for p in spoke["peerings"]}
    for entry in plan["transit_vpcs"]:
        assert entry["vpc_name"] in peers
        transit, vpc = entry["vpc_name"].split("::")
        for cr in entry["cloud_routers"]:
            router = compute.routers().get(project=transit, region=cr["region"],
                                           router=cr["router_name"]).execute()
            assert split(router["network"]) == (transit, vpc)
            assert router["bgp"]["advertiseMode"] == "CUSTOM"
            advertised = [r["range"] for r in router["bgp"]["advertisedIpRanges"]]
            for cidr in cr["remove_advertised_routes"]:
                assert str(ipaddress.IPv4Network(cidr)) == cidr and cidr in advertised
            for cidr in cr["add_advertised_routes"]:
                assert str(ipaddress.IPv4Network(cidr)) == cidr and cidr not in advertised
            assert (set(cr["remove_advertised_groups"])
                    <= set(router["bgp"].get("advertisedGroups", [])))
    for stage in plan["manage_routes"].values():
        for name in stage["delete"]:
            compute.routes().get(project=project, route=name).execute()
        for spec in stage["add"]:
            assert set(spec) == {"cidr", "zone", "dest_instance", "priority", "name"}
            compute.instances().get(project=project, zone=spec["zone"],
                                    instance=spec["dest_instance"]).execute()
    return peers


def test_plan_fits_the_sample_topology(emu, compute):
    assert (PLAN["project_id"], PLAN["vpc_name"]) == ("tarn-demo", "spoke-vpc")
    assert PLAN["spoke_advertisement"] is None and PLAN["advertise_gke"] is True
    peers = check_plan(compute, PLAN)
    # Peerings the plan leaves alone, with a GKE export route among the peering routes.
    assert (peers - {t["vpc_name"] for t in PLAN["transit_vpcs"]}
            == {"gke-prod-abc123::gke-abc123-def4-net"})
    table = compute.routes().list(project="tarn-demo", filter='network = "%s"' % SPOKE).execute()
    hops = {r.get("nextHopPeering") for r in table["items"]}
    assert any(h and h.startswith("gke-") and h.endswith("-peer") for h in hops)
    header = [line for line in sample.plan_text().splitlines() if line.startswith("#")]
    for key in ("project_id", "vpc_name", "transit_vpcs", "cloud_routers", "add_advertised_routes",
                "remove_advertised_routes", "remove_advertised_groups", "spoke_advertisement",
                "advertise_gke", "manage_routes", "dest_instance"):
        assert any(key in line for line in header), key


@pytest.mark.parametrize("args, network", [
    ([], SPOKE),
    (["--spokes", "12", "--write-plans", "{tmp}", "--op-seconds", "route=5"],
     SPOKE.replace("tarn-demo", "tarn-spoke-012")),
])
def test_module_entry_point_serves_its_topology_until_terminated(tmp_path, args, network):
    proc = python("-m", "tarn_gcp.emulator", *[a.format(tmp=tmp_path) for a in args])
    try:
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:") and url.endswith("/compute/v1/")
        path = network.split("/v1/")[1]
        assert requests.get(url + path).json()["selfLink"] == network
        if args:
            assert len(list(tmp_path.glob("tarn-spoke-*.yaml"))) == 12
            assert proc.stderr.readline() == "plans: %s\n" % (tmp_path / "wave.yaml")
            op = requests.post(url + path.replace("networks/spoke-vpc", "routes"), json={
                "name": "r", "network": path, "destRange": "10.99.0.0/16",
                "nextHopIp": "10.2.192.9"}).json()
            assert requests.get(url + op["selfLink"].split("/v1/")[1]).json()[
                "status"] == "RUNNING"
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0


def test_every_request_of_the_demo_is_one_the_api_accepts(monkeypatch, tmp_path, capsys):
    """The demo (discovery, the three stages, the three restores) against the
    strict emulator: nothing it sends is refused by the front end's checks."""
    import tarn_gcp.emulator as package
    from tarn_gcp.cli import app

    started = []
    start = package.Emulator.start
    monkeypatch.setattr(package.Emulator, "start",
                        lambda self: started.append(self) or start(self))
    monkeypatch.chdir(tmp_path)
    assert app.main(["-q", "demo"]) == 0, capsys.readouterr().err
    sent = started[0].requests
    assert not started[0].lenient
    assert [(r.method, r.status, r.body) for r in sent if r.invalid or r.status >= 400] == []
    assert {"compute.routes.insert", "compute.routes.delete", "compute.routers.patch",
            "compute.networks.addPeering", "compute.networks.removePeering",
            "compute.routes.list"} <= {r.method for r in sent}
