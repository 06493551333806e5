"""A topology with many spokes, for migrations run side by side, and one
migration plan per spoke.

Project "tarn-transit" holds the transit VPCs "transit-a" and "transit-b",
each with a subnetwork and a Cloud Router in europe-west1 and us-central1;
the routers advertise, in CUSTOM mode with ALL_SUBNETS, the spokes'
subnetworks of their region.  Spoke i (from 1) is the VPC "spoke-vpc" of
project "tarn-spoke-NNN", peered with both transit VPCs (custom routes
exchanged both ways), with a subnetwork per region cut from its own /18 of
10.0.0.0/8, an SD-WAN router appliance VM per region and static routes like
the sample's: to the internet gateway, a backup path to on-premises and a
partner range through each appliance.

    emu.seed(spokes(20))                     # or: python -m tarn_gcp.emulator --spokes 20
    write_plans(20, "plans")                 # plans/tarn-spoke-001.yaml ... plans/wave.yaml

Each plan has the layout of sample_plan.yaml: its stage moves the spoke onto
its appliances, and its transit routers trade the spoke's subnet ranges for
the spoke's /18 summary.  ``wave.yaml`` lists every plan (relative to
itself), the revert folder and how many spokes to migrate at once.
"""

import ipaddress
import os

import yaml

TRANSIT_PROJECT = "tarn-transit"
TRANSITS = ("transit-a", "transit-b")
REGIONS = (("europe-west1", "euw1", "europe-west1-b"), ("us-central1", "usc1", "us-central1-a"))
# Each transit VPC's subnetwork per region, and the spokes' address space.
_TRANSIT_RANGES = {("transit-a", "euw1"): "172.16.0.0/20",
                   ("transit-a", "usc1"): "172.16.16.0/20",
                   ("transit-b", "euw1"): "172.17.16.0/20",
                   ("transit-b", "usc1"): "172.17.0.0/20"}
_TRANSIT_SUMMARY = {"transit-a": "172.16.0.0/16", "transit-b": "172.17.0.0/16"}
_SPOKE_SPACE = ipaddress.ip_network("10.0.0.0/8")
_SPOKE_PREFIX = 18
MAX_SPOKES = 2 ** (_SPOKE_PREFIX - _SPOKE_SPACE.prefixlen)
VPC = "spoke-vpc"
PARALLEL = 4


def project(index):
    """The project of spoke ``index`` (from 1)."""
    return "tarn-spoke-%03d" % index


def summary(index):
    """The /18 of spoke ``index``."""
    size = 2 ** (32 - _SPOKE_PREFIX)
    return str(ipaddress.ip_network(
        (int(_SPOKE_SPACE.network_address) + (index - 1) * size, _SPOKE_PREFIX)))


def subnet_range(index, short):
    """The subnetwork range of spoke ``index`` in region ``short`` (euw1, usc1)."""
    first = ipaddress.ip_network(summary(index)).network_address
    offset = [s for _, s, _ in REGIONS].index(short) * 16
    return str(ipaddress.ip_network((int(first) + offset * 256, 20)))


def _check(count):
    if isinstance(count, bool) or not isinstance(count, int) or not 1 <= count <= MAX_SPOKES:
        raise ValueError("the number of spokes must be from 1 to %d, not %r"
                         % (MAX_SPOKES, count))


def _net(owner, name):
    return "projects/%s/global/networks/%s" % (owner, name)


def spokes(count):
    """The topology of ``count`` spokes, as Emulator.seed takes it."""
    _check(count)
    topology = {"projects": [TRANSIT_PROJECT], "networks": [], "subnetworks": [],
                "instances": [], "peerings": [], "routes": [], "routers": []}
    for transit in TRANSITS:
        topology["networks"].append({"project": TRANSIT_PROJECT, "name": transit,
                                     "description": "Transit VPC %s" % transit[-1].upper()})
        topology["routes"].append({
            "project": TRANSIT_PROJECT, "name": transit + "-default-internet",
            "network": _net(TRANSIT_PROJECT, transit), "destRange": "0.0.0.0/0",
            "priority": 1000, "nextHopGateway": "global/gateways/default-internet-gateway"})
    for index in range(1, count + 1):
        _add_spoke(topology, index)
    for transit_index, transit in enumerate(TRANSITS):
        for region, short, _ in REGIONS:
            topology["subnetworks"].append({
                "project": TRANSIT_PROJECT, "region": region, "name": "%s-%s" % (transit, short),
                "network": _net(TRANSIT_PROJECT, transit),
                "ipCidrRange": _TRANSIT_RANGES[transit, short]})
            ranges = [{"range": subnet_range(i, short),
                       "description": "%s %s spoke-%s" % (project(i), VPC, short)}
                      for i in range(1, count + 1)]
            topology["routers"].append({
                "project": TRANSIT_PROJECT, "region": region, "name": router(transit, short),
                "network": _net(TRANSIT_PROJECT, transit),
                "bgp": {"asn": 64514 + 2 * transit_index + [s for _, s, _ in REGIONS].index(short),
                        "advertiseMode": "CUSTOM", "advertisedGroups": ["ALL_SUBNETS"],
                        "advertisedIpRanges": ranges}})
    return topology


def router(transit, short):
    return "%s-cr-%s" % (transit, short)


def _add_spoke(topology, index):
    owner = project(index)
    topology["projects"].append(owner)
    topology["networks"].append({"project": owner, "name": VPC,
                                 "routingConfig": {"routingMode": "GLOBAL"},
                                 "description": "Spoke VPC %d" % index})
    for region, short, zone in REGIONS:
        cidr = ipaddress.ip_network(subnet_range(index, short))
        topology["subnetworks"].append({"project": owner, "region": region,
                                        "name": "spoke-" + short, "network": _net(owner, VPC),
                                        "ipCidrRange": str(cidr)})
        topology["instances"].append({
            "project": owner, "zone": zone, "name": "router-appliance-" + short,
            "machineType": "e2-standard-4", "description": "SD-WAN router appliance",
            "canIpForward": True,
            "networkInterfaces": [{"subnetwork": "regions/%s/subnetworks/spoke-%s"
                                                 % (region, short),
                                   "networkIP": str(cidr.network_address + 2)}]})
        topology["routes"].append({
            "project": owner, "name": "spoke-partner-" + short, "network": _net(owner, VPC),
            "destRange": "172.20.0.0/16", "priority": 1000 if short == "euw1" else 1100,
            "nextHopInstance": "zones/%s/instances/router-appliance-%s" % (zone, short)})
    first = ipaddress.ip_network(subnet_range(index, "euw1")).network_address
    topology["routes"] += [
        {"project": owner, "name": "spoke-default-internet", "network": _net(owner, VPC),
         "destRange": "0.0.0.0/0", "priority": 1000,
         "nextHopGateway": "global/gateways/default-internet-gateway"},
        {"project": owner, "name": "spoke-onprem-backup", "network": _net(owner, VPC),
         "destRange": "192.168.0.0/16", "priority": 2000, "nextHopIp": str(first + 10),
         "description": "Backup path to on-premises through the VPN gateway"}]
    for transit in TRANSITS:
        flags = {"exportCustomRoutes": True, "importCustomRoutes": True}
        topology["peerings"] += [
            dict({"project": owner, "network": VPC, "name": "spoke-to-" + transit,
                  "peerNetwork": _net(TRANSIT_PROJECT, transit)}, **flags),
            dict({"project": TRANSIT_PROJECT, "network": transit,
                  "name": "%s-to-spoke-%03d" % (transit, index),
                  "peerNetwork": _net(owner, VPC)}, **flags)]


def plan(index):
    """The migration plan of spoke ``index``, as plain data."""
    transit_vpcs = []
    for transit in TRANSITS:
        transit_vpcs.append({"vpc_name": "%s::%s" % (TRANSIT_PROJECT, transit), "cloud_routers": [
            {"region": region, "router_name": router(transit, short),
             "add_advertised_routes": [summary(index)],
             "remove_advertised_routes": [subnet_range(index, short)],
             "remove_advertised_groups": []} for region, short, _ in REGIONS]})
    add = [{"cidr": "192.168.0.0/16", "zone": zone, "dest_instance": "router-appliance-" + short,
            "priority": 800 + 100 * n, "name": None}
           for n, (_, short, zone) in enumerate(REGIONS)]
    add += [{"cidr": _TRANSIT_SUMMARY[transit], "zone": zone,
             "dest_instance": "router-appliance-" + short, "priority": None,
             "name": "spoke-%s-via-appliance" % transit}
            for transit, (_, short, zone) in zip(TRANSITS, REGIONS)]
    return {"project_id": project(index), "vpc_name": VPC, "transit_vpcs": transit_vpcs,
            "spoke_advertisement": None, "advertise_gke": False,
            "manage_routes": {"stage1": {"delete": ["spoke-onprem-backup"], "add": add}}}


def write_plans(count, folder):
    """Writes one plan per spoke and ``wave.yaml`` into ``folder`` (made if
    missing); returns the wave file's path."""
    _check(count)
    os.makedirs(folder, exist_ok=True)
    names = []
    for index in range(1, count + 1):
        names.append(project(index) + ".yaml")
        text = ("# Migration plan of spoke %d of the emulator's %d-spoke topology "
                "(tarn_gcp.emulator.fleet).\n" % (index, count))
        with open(os.path.join(folder, names[-1]), "w", encoding="utf-8") as handle:
            handle.write(text + yaml.safe_dump(plan(index), sort_keys=False))
    wave = os.path.join(folder, "wave.yaml")
    with open(wave, "w", encoding="utf-8") as handle:
        handle.write("# The migration of every spoke, %d at once.\n" % PARALLEL)
        handle.write(yaml.safe_dump({"spokes": names, "revert": "revert/",
                                     "parallel": PARALLEL}, sort_keys=False))
    return wave
