"""The sample topology: a spoke VPC about to move its traffic onto two
transit VPCs, and the migration plan that goes with it (sample_plan.yaml).

Project "tarn-demo" holds the migrated VPC "spoke-vpc": subnetworks in
europe-west1 and us-central1, an SD-WAN router appliance VM per region,
static routes (internet gateway, instance and IP next hops) and three
peerings:

* "spoke-to-transit-a" <-> "transit-a-to-spoke" (names differ per side) and
  "spoke-to-transit-b" <-> "spoke-to-transit-b", towards the transit VPCs
  "transit-a" and "transit-b" of project "tarn-transit";
* "gke-abc123-def4-peer", the peering of a private GKE cluster's control
  plane (project "gke-prod-abc123"), which no migration may touch; its
  peering route carries the control plane range (a GKE export route).

The transit VPCs hold Cloud Routers that advertise the spoke's subnets:
transit-a-cr-euw1 and transit-b-cr-usc1 in CUSTOM mode, transit-a-cr-usc1
in DEFAULT mode.
"""

import copy
import os

PROJECT = "tarn-demo"
TRANSIT_PROJECT = "tarn-transit"
GKE_PROJECT = "gke-prod-abc123"
VPC = "spoke-vpc"
PLAN_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample_plan.yaml")


def _net(project, name):
    return "projects/%s/global/networks/%s" % (project, name)


def _subnet(project, region, name, network, cidr, **extra):
    return dict(project=project, region=region, name=name, network=_net(project, network),
                ipCidrRange=cidr, **extra)


def _appliance(zone, name, subnet, address):
    return {"project": PROJECT, "zone": zone, "name": name, "machineType": "e2-standard-4",
            "description": "SD-WAN router appliance", "canIpForward": True,
            "networkInterfaces": [{"subnetwork": "regions/%s/subnetworks/%s"
                                   % (zone[:-2], subnet), "networkIP": address}]}


def _route(project, network, name, dest, priority, **hop):
    return dict(project=project, name=name, network=_net(project, network), destRange=dest,
                priority=priority, **hop)


def _router(region, name, network, asn, mode, ranges=(), groups=()):
    bgp = {"asn": asn, "advertiseMode": mode}
    if ranges:
        bgp["advertisedIpRanges"] = [{"range": r, "description": d} for r, d in ranges]
    if groups:
        bgp["advertisedGroups"] = list(groups)
    return {"project": TRANSIT_PROJECT, "region": region, "name": name,
            "network": _net(TRANSIT_PROJECT, network), "bgp": bgp}


TOPOLOGY = {
    "projects": [PROJECT, TRANSIT_PROJECT, GKE_PROJECT],
    "networks": [
        {"project": PROJECT, "name": VPC, "routingConfig": {"routingMode": "GLOBAL"},
         "description": "Spoke VPC whose traffic moves onto the transit VPCs"},
        {"project": TRANSIT_PROJECT, "name": "transit-a", "description": "Transit VPC A"},
        {"project": TRANSIT_PROJECT, "name": "transit-b", "description": "Transit VPC B"},
        {"project": GKE_PROJECT, "name": "gke-abc123-def4-net"},
    ],
    "subnetworks": [
        _subnet(PROJECT, "europe-west1", "spoke-euw1", VPC, "10.10.0.0/20"),
        _subnet(PROJECT, "europe-west1", "spoke-gke-euw1", VPC, "10.10.16.0/20",
                secondaryIpRanges=[{"rangeName": "pods", "ipCidrRange": "10.12.0.0/14"},
                                   {"rangeName": "services", "ipCidrRange": "10.16.0.0/20"}]),
        _subnet(PROJECT, "us-central1", "spoke-usc1", VPC, "10.20.0.0/20"),
        _subnet(TRANSIT_PROJECT, "europe-west1", "transit-a-euw1", "transit-a", "10.100.0.0/20"),
        _subnet(TRANSIT_PROJECT, "us-central1", "transit-a-usc1", "transit-a", "10.100.16.0/20"),
        _subnet(TRANSIT_PROJECT, "us-central1", "transit-b-usc1", "transit-b", "10.200.0.0/20"),
        _subnet(TRANSIT_PROJECT, "europe-west1", "transit-b-euw1", "transit-b", "10.200.16.0/20"),
        _subnet(GKE_PROJECT, "europe-west1", "gke-abc123-def4-pe-subnet", "gke-abc123-def4-net",
                "172.16.0.0/28"),
    ],
    "instances": [
        _appliance("europe-west1-b", "router-appliance-euw1", "spoke-euw1", "10.10.0.2"),
        _appliance("us-central1-a", "router-appliance-usc1", "spoke-usc1", "10.20.0.2"),
        {"project": PROJECT, "zone": "europe-west1-b", "name": "vpn-gw-euw1",
         "machineType": "e2-small", "canIpForward": True,
         "description": "Old VPN gateway VM, the backup path to on-premises",
         "networkInterfaces": [{"subnetwork": "regions/europe-west1/subnetworks/spoke-euw1",
                                "networkIP": "10.10.0.10"}]},
    ],
    "peerings": [
        {"project": PROJECT, "network": VPC, "name": "spoke-to-transit-a",
         "peerNetwork": _net(TRANSIT_PROJECT, "transit-a"),
         "exportCustomRoutes": True, "importCustomRoutes": True},
        {"project": TRANSIT_PROJECT, "network": "transit-a", "name": "transit-a-to-spoke",
         "peerNetwork": "https://www.googleapis.com/compute/v1/" + _net(PROJECT, VPC),
         "exportCustomRoutes": True, "importCustomRoutes": True},
        {"project": PROJECT, "network": VPC, "name": "spoke-to-transit-b",
         "peerNetwork": _net(TRANSIT_PROJECT, "transit-b"), "importCustomRoutes": True},
        {"project": TRANSIT_PROJECT, "network": "transit-b", "name": "spoke-to-transit-b",
         "peerNetwork": _net(PROJECT, VPC), "exportCustomRoutes": True},
        {"project": PROJECT, "network": VPC, "name": "gke-abc123-def4-peer",
         "peerNetwork": _net(GKE_PROJECT, "gke-abc123-def4-net")},
        {"project": GKE_PROJECT, "network": "gke-abc123-def4-net", "name": "gke-abc123-def4-peer",
         "peerNetwork": _net(PROJECT, VPC), "exportCustomRoutes": True},
    ],
    "routes": [
        _route(PROJECT, VPC, "spoke-default-internet", "0.0.0.0/0", 1000,
               nextHopGateway="global/gateways/default-internet-gateway",
               description="Default route to the internet"),
        _route(PROJECT, VPC, "spoke-onprem-backup", "192.168.0.0/16", 2000,
               nextHopIp="10.10.0.10",
               description="Backup path to on-premises through the VPN gateway VM"),
        _route(PROJECT, VPC, "spoke-partner-euw1", "172.20.0.0/16", 1000,
               nextHopInstance="zones/europe-west1-b/instances/router-appliance-euw1"),
        _route(PROJECT, VPC, "spoke-partner-usc1", "172.20.0.0/16", 1100,
               nextHopInstance="projects/tarn-demo/zones/us-central1-a/instances/"
                               "router-appliance-usc1"),
        # Peering routes: the GKE control plane, on-premises ranges the
        # transit VPCs export and their subnets.
        _route(PROJECT, VPC, "peering-route-3f1a9c0e5b7d2468", "172.16.0.0/28", 0,
               nextHopPeering="gke-abc123-def4-peer"),
        _route(PROJECT, VPC, "peering-route-8c2e4b6a0d1f3957", "192.168.0.0/16", 1000,
               nextHopPeering="spoke-to-transit-a"),
        _route(PROJECT, VPC, "peering-route-5d7f9b1c3e5a7092", "10.100.0.0/20", 0,
               nextHopPeering="spoke-to-transit-a"),
        _route(PROJECT, VPC, "peering-route-0b9d7f5e3c1a8264", "10.200.0.0/20", 0,
               nextHopPeering="spoke-to-transit-b"),
        _route(TRANSIT_PROJECT, "transit-a", "transit-a-default-internet", "0.0.0.0/0", 1000,
               nextHopGateway="global/gateways/default-internet-gateway"),
        _route(TRANSIT_PROJECT, "transit-a", "peering-route-6e4c2a0f8d6b4913", "10.10.0.0/20", 0,
               nextHopPeering="transit-a-to-spoke"),
        _route(TRANSIT_PROJECT, "transit-b", "transit-b-default-internet", "0.0.0.0/0", 1000,
               nextHopGateway="global/gateways/default-internet-gateway"),
    ],
    "routers": [
        _router("europe-west1", "transit-a-cr-euw1", "transit-a", 64514, "CUSTOM",
                ranges=[("10.10.0.0/20", "spoke-vpc spoke-euw1"),
                        ("10.10.16.0/20", "spoke-vpc spoke-gke-euw1")],
                groups=["ALL_SUBNETS"]),
        _router("us-central1", "transit-a-cr-usc1", "transit-a", 64515, "DEFAULT"),
        _router("us-central1", "transit-b-cr-usc1", "transit-b", 64516, "CUSTOM",
                ranges=[("10.20.0.0/20", "spoke-vpc spoke-usc1"),
                        ("192.168.100.0/24", "partner extranet")],
                groups=["ALL_SUBNETS"]),
    ],
}


def topology():
    """A fresh copy of the sample topology, as Emulator.seed takes it."""
    return copy.deepcopy(TOPOLOGY)


def seed(target):
    """Loads the sample topology into an Emulator or a ComputeModel."""
    target.seed(topology())
    return target


def plan_text():
    """The migration plan for the sample topology, as YAML."""
    with open(PLAN_PATH, encoding="utf-8") as handle:
        return handle.read()
