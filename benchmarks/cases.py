"""The hot paths measured by run.py.

Each case builds, for a size ``n``, a ``FastService`` holding prepared
responses, the run context and the state of ``Globals`` it needs, and offers
three ways to do the work:

* ``run(lib)``: the GcpLib method of ``lib`` (the extension or the model);
* ``floor()``: the same Compute, logger and sibling calls in the same order,
  with every message built in advance; it also makes the host-module calls
  the method is bound to make (``ipaddress.IPv4Network`` for the Cloud
  Router stage, ``hashlib.md5``/``base64.b16encode`` for the route names),
  since those go through names that callers may rebind and so cannot be
  avoided.  What remains above the floor is the method's own work.

``setup()`` puts the shared state back before every measured call (revert
information emptied, dry-run switch set), so repetitions are alike.
``outcome(result)`` is what the check compares between implementations,
besides the log lines.
"""

import base64
import hashlib
import ipaddress
import logging

from testing import fakes
from testing.fakes import FakeGlobals, FakeYamlContext, FakeRouteInfo, FakeCommon, Request

LOG = logging.getLogger(fakes.LOGGER_NAME)
API = "https://www.googleapis.com/compute/v1/projects/"
RULE = "  " + "".ljust(63, ".")
MIGRATED_PROJECT = "mig-proj"
MIGRATED_VPC = "spoke-vpc"
NETWORK_LINK = API + MIGRATED_PROJECT + "/global/networks/" + MIGRATED_VPC


def network_url(project, network):
    return API + project + "/global/networks/" + network


class Case:
    name = ""
    default_n = 0
    dry_run = True

    def __init__(self, n):
        self.n = n
        self.service = fakes.FastService()
        self.plan = {"project_id": MIGRATED_PROJECT, "vpc_name": MIGRATED_VPC}

    def setup(self):
        FakeGlobals.reset(dry_run=self.dry_run)
        FakeGlobals.service = self.service
        FakeGlobals.project = MIGRATED_PROJECT
        FakeGlobals.vpc = {"vpc_name": MIGRATED_VPC}
        FakeGlobals.networkLink = NETWORK_LINK
        FakeYamlContext.plan = self.plan

    def outcome(self, result):
        return result, FakeGlobals.revert


# ------------------------------------------------------------------ routes

class RouteTable(Case):
    name = "listRouteTable"
    default_n = 100_000
    page = 500

    def __init__(self, n):
        super().__init__(n)
        self.network = {"name": MIGRATED_VPC, "selfLink": NETWORK_LINK}
        self.filter = 'network: "' + NETWORK_LINK + '"'
        pages, self.floor_pages = [], []
        for start in range(0, n, self.page):
            items, lines, gke = [], [], []
            for i in range(start, min(n, start + self.page)):
                route, line, gke_range = self._route(i)
                items.append(route)
                lines.append(line)
                if gke_range is not None:
                    gke.append(gke_range)
            pages.append({"kind": "compute#routeList", "id": "routes", "items": items,
                          "selfLink": API + "p/global/routes"})
            self.floor_pages.append((lines, gke))
        if pages:
            for page in pages[:-1]:
                page["nextPageToken"] = "token"
        else:
            pages.append({"kind": "compute#routeList"})
        self.service.routes_.first = fakes.chain_pages(pages)

    @staticmethod
    def _route(i):
        dest = "10.%d.%d.%d/32" % ((i >> 16) & 255, (i >> 8) & 255, i & 255)
        route = {"kind": "compute#route", "id": str(4_000_000_000 + i), "name": "route-%d" % i,
                 "network": NETWORK_LINK, "destRange": dest, "priority": 1000,
                 "selfLink": API + MIGRATED_PROJECT + "/global/routes/route-%d" % i}
        gke = None
        kind = i % 8
        if i % 997 == 996:
            return route, (LOG.error, "  **Error** unknown destination " + str(route)), None
        if kind == 0:
            route["nextHopNetwork"] = network_url("peer-proj", "peer-net-%d" % (i % 50))
            hop = "Virtual network peer-net-%d" % (i % 50)
        elif kind == 1:
            hop = route["nextHopIp"] = "10.128.%d.%d" % ((i >> 8) & 255, i & 255)
        elif kind == 2:
            route["nextHopGateway"] = (API + MIGRATED_PROJECT
                                       + "/global/gateways/default-internet-gateway")
            hop = "default-internet-gateway"
        elif kind == 3:
            route["nextHopIlb"] = (API + MIGRATED_PROJECT
                                   + "/regions/us-central1/forwardingRules/ilb-%d" % (i % 20))
            hop = "ilb-%d" % (i % 20)
        elif kind == 4:
            hop = route["nextHopPeering"] = "peering-%d" % (i % 10)
        elif kind == 5:
            hop = route["nextHopPeering"] = "gke-cluster-%d-%04x-peer" % (i % 7, i % 65536)
            gke = dest
        elif kind == 6:
            route["nextHopInstance"] = (API + MIGRATED_PROJECT
                                        + "/zones/us-central1-a/instances/vm-%d" % (i % 100))
            hop = "vm-%d" % (i % 100)
        else:
            hop = route["nextHopIp"] = "10.129.%d.%d" % ((i >> 8) & 255, i & 255)
            route["nextHopInstance"] = (API + MIGRATED_PROJECT
                                        + "/zones/us-central1-b/instances/vm-x")
        return route, (LOG.info, "  " + dest.ljust(25) + hop), gke

    def run(self, lib):
        return lib.listRouteTable(MIGRATED_PROJECT, self.service, self.network)

    def floor(self):
        logger = logging.getLogger(fakes.LOGGER_NAME)
        logger.propagate = True
        info = logger.info
        info("")
        info("- Discover route(s)")
        request = self.service.routes().list(project=MIGRATED_PROJECT, filter=self.filter)
        info(RULE)
        info("  CIDR                     Next-hop                      ")
        info(RULE)
        record = FakeRouteInfo()
        _ = FakeCommon.INSTANCE_I
        for lines, gke in self.floor_pages:
            response = request.execute()
            for log, line in lines:
                log(line)
            for cidr in gke:
                record.add_gke_export_routes(cidr)
            request = self.service.routes().list_next(previous_request=request,
                                                      previous_response=response)
        logger.propagate = True
        return record

    def outcome(self, result):
        return result.get_gke_export_routes(), FakeGlobals.revert


# ----------------------------------------------------------------- subnets

REGIONS = ["region-%d" % r for r in range(10)]


class Subnets(Case):
    name = "listSubnet"
    default_n = 10_000

    def __init__(self, n):
        super().__init__(n)
        urls, self.fetches = [], []
        for i in range(n):
            region = REGIONS[i % len(REGIONS)]
            project = "proj-%d" % (i % 3)
            subnet = "subnet-%d" % i
            url = API + project + "/regions/" + region + "/subnetworks/" + subnet
            urls.append(url)
            self.service.subnetworks_.by_name[subnet] = Request({
                "kind": "compute#subnetwork", "id": str(7_000_000 + i), "name": subnet,
                "network": NETWORK_LINK, "ipCidrRange": "10.%d.%d.0/24" % ((i >> 8) & 255, i & 255),
                "gatewayAddress": "10.%d.%d.1" % ((i >> 8) & 255, i & 255),
                "region": API + project + "/regions/" + region,
                "selfLink": url, "privateIpGoogleAccess": False, "stackType": "IPV4_ONLY"})
            self.fetches.append((project, region, subnet))
        self.network = {"name": MIGRATED_VPC, "selfLink": NETWORK_LINK, "subnetworks": urls}

    def run(self, lib):
        return lib.listSubnet(self.service, self.network)

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        info("")
        info("- Discover subnet(s)")
        info(RULE)
        info("  CIDR                     REGION                        subnet")
        info(RULE)
        subnetworks = self.service.subnetworks
        logSubnet = FakeCommon.logSubnet
        for project, region, subnet in self.fetches:
            logSubnet(subnetworks().get(project=project, region=region,
                                        subnetwork=subnet).execute())


class SubnetsByRegion(Subnets):
    name = "listSubnetByRegion"
    region = REGIONS[3]

    def __init__(self, n):
        super().__init__(n)
        self.fetches = [f for f in self.fetches if f[1] == self.region]

    def run(self, lib):
        return lib.listSubnetByRegion(self.service, self.network, self.region)

    def floor(self):
        subnetworks = self.service.subnetworks
        for project, region, subnet in self.fetches:
            subnetworks().get(project=project, region=region, subnetwork=subnet).execute()


# ---------------------------------------------------------------- peerings

def peering(name, project, network):
    return {"name": name, "network": network_url(project, network), "state": "ACTIVE",
            "stateDetails": "[2024-01-01T00:00:00.000-00:00]: Connected.", "autoCreateRoutes": True,
            "exportCustomRoutes": True, "importCustomRoutes": False, "exchangeSubnetRoutes": True,
            "exportSubnetRoutesWithPublicIp": False, "importSubnetRoutesWithPublicIp": False,
            "peerMtu": 1460, "stackType": "IPV4_ONLY"}


class PeeringList(Case):
    name = "listPeering"
    default_n = 5_000

    def __init__(self, n):
        super().__init__(n)
        peerings, self.rows = [], []
        for i in range(n):
            record = peering("peering-to-network-number-%d" % i, "proj-%d" % (i % 20), "net-%d" % i)
            peerings.append(record)
            self.rows.append("  " + record["name"].ljust(50) + " proj-%d::net-%d" % (i % 20, i))
        self.network = {"name": MIGRATED_VPC, "selfLink": NETWORK_LINK, "peerings": peerings}

    def run(self, lib):
        return lib.listPeering(self.network)

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        info("- Discover peering(s)")
        info(RULE)
        info("  Peering name                                       Project::VPC                  ")
        info(RULE)
        for row in self.rows:
            info(row)


class DeletePeerings(Case):
    """The peering stage in dry run: n transit peerings, plus n/5 others."""

    name = "deletePeerings"
    default_n = 500

    def __init__(self, n):
        super().__init__(n)
        local, transit, self.steps, self.pairs = [], [], [], []
        for i in range(n):
            hub, net = "hub-%d" % (i % 5), "transit-%d" % i
            transit.append({"vpc_name": hub + "::" + net, "cloud_routers": []})
            mine = peering("to-" + net, hub, net)
            theirs = peering("from-" + MIGRATED_VPC + "-%d" % i, MIGRATED_PROJECT, MIGRATED_VPC)
            others = [peering("side-%d-%d" % (i, k), "proj-x", "other-%d" % k) for k in range(3)]
            self.service.networks_.by_name[net] = Request(
                {"name": net, "selfLink": network_url(hub, net), "peerings": others + [theirs]})
            local.append(mine)
            if i % 5 == 4:
                local.append(peering("to-other-%d" % i, "proj-y", "not-transit-%d" % i))
            self.steps.append((hub, net,
                               "  delete peering " + theirs["name"] + " in " + hub + "::" + net,
                               "  delete peering " + mine["name"] + " in " + MIGRATED_PROJECT
                               + "::" + MIGRATED_VPC))
            self.pairs.append({"localPeeringProperties": mine, "remotePeeringProperties": theirs})
        self.service.networks_.by_name[MIGRATED_VPC] = Request(
            {"name": MIGRATED_VPC, "selfLink": NETWORK_LINK, "peerings": local})
        self.plan = dict(self.plan, transit_vpcs=transit)
        self.vpc = {"vpc_name": MIGRATED_VPC}

    def run(self, lib):
        return lib.deletePeerings(self.service, MIGRATED_PROJECT, self.vpc)

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        networks = self.service.networks
        getDryRun = FakeGlobals.getDryRun
        info("- Delete transit peerings in " + MIGRATED_PROJECT + "::" + MIGRATED_VPC)
        FakeYamlContext().getContext("transit_vpcs")
        networks().get(project=MIGRATED_PROJECT, network=MIGRATED_VPC).execute()
        for hub, net, remote_line, local_line in self.steps:
            networks().get(project=hub, network=net).execute()
            info(remote_line)
            getDryRun()
            info(local_line)
            getDryRun()
        if not self.steps:
            info("  no transit peering found!")
        FakeGlobals.getRevertInfo()["peerings"][MIGRATED_PROJECT + "::" + MIGRATED_VPC] = \
            list(self.pairs)


# ----------------------------------------------------------- cloud routers

class CloudRouters(Case):
    """The Cloud Router stage in dry run: n routers, 50 ranges each."""

    name = "manageCloudRouterAdvertisedRoutePerVpc"
    default_n = 1_000
    ranges = 50
    region = "us-central1"

    def __init__(self, n):
        super().__init__(n)
        per_vpc = 100
        transit, self.steps = [], []
        for t in range(max(1, (n + per_vpc - 1) // per_vpc)):
            hub, net = "hub-proj", "transit-%d" % t
            entries = []
            for i in range(t * per_vpc, min(n, (t + 1) * per_vpc)):
                entries.append(self._router(i, hub, net))
            transit.append({"vpc_name": hub + "::" + net, "cloud_routers": entries})
        transit.append({"vpc_name": "hub-proj::no-routers"})
        self.plan = dict(self.plan, transit_vpcs=transit)

    def _router(self, i, hub, net):
        name = "cr-%d" % i
        where = " from " + hub + "::" + net + " " + self.region
        ranges = ["10.%d.%d.0/24" % (i & 255, j) for j in range(self.ranges)]
        mode = "DEFAULT" if i % 50 == 49 else "CUSTOM"
        network = net if i % 100 != 98 else "elsewhere"
        bgp = {"asn": 64512 + i % 100, "advertiseMode": mode, "keepaliveInterval": 20,
               "advertisedGroups": ["ALL_SUBNETS"],
               "advertisedIpRanges": [{"range": r, "description": "range %d" % j}
                                      for j, r in enumerate(ranges)]}
        self.service.routers_.by_name[name] = Request({
            "kind": "compute#router", "name": name, "network": network_url(hub, network),
            "region": API + hub + "/regions/" + self.region, "bgp": bgp})
        removed = ranges[:3]
        added = ["172.%d.%d.0/24" % (16 + i % 16, k) for k in range(5)] + [ranges[10]]
        entry = {"region": self.region, "router_name": name, "add_advertised_routes": added,
                 "remove_advertised_routes": removed, "remove_advertised_groups": []}
        # What the stage logs and records for this router, for the floor.
        if network != net:
            step = (hub, name, [],
                    ["  " + name + " not found in " + hub + "::" + net + " " + self.region], None)
        elif mode == "DEFAULT":
            step = (hub, name, [], ["  " + name + " in " + hub + "::" + net + " " + self.region
                                    + " is in DEFAULT advertize mode, cannot customize route"],
                    None)
        else:
            lines = ["  delete " + r + " in " + name + where for r in removed]
            lines += ["  add " + r + " to " + name + where for r in added[:-1]]
            lines.append("  already advertised " + added[-1] + " in " + name + where)
            step = (hub, name, ranges, lines,
                    (hub + "::" + net + "::" + self.region + "::" + name, bgp))
        self.steps.append(step)
        return entry

    def run(self, lib):
        return lib.manageCloudRouterAdvertisedRoutePerVpc(self.service)

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        routers = self.service.routers
        IPv4Network = ipaddress.IPv4Network
        getRevertInfo = FakeGlobals.getRevertInfo
        info("- Manage cloud router route(s)")
        FakeYamlContext().getContext("transit_vpcs")
        FakeYamlContext().getContext("project_id")
        FakeYamlContext().getContext("vpc_name")
        mkey = MIGRATED_PROJECT + "::" + MIGRATED_VPC
        region = self.region
        for hub, name, ranges, lines, save in self.steps:
            routers().get(project=hub, region=region, router=name).execute()
            for text in ranges:
                str(IPv4Network(text))
            for line in lines:
                info(line)
            if save is not None:
                if mkey not in getRevertInfo()["cloud_routers"]:
                    getRevertInfo()["cloud_routers"][mkey] = {}
                getRevertInfo()["cloud_routers"][mkey][save[0]] = save[1]
                FakeGlobals.getDryRun()
        info("  No cloud router found")


# ------------------------------------------------------------ route stage

class ManageRoute(Case):
    """The route stage in dry run with n route specs to add."""

    name = "manageRoute"
    default_n = 2_000
    stage = "stage-1"

    def __init__(self, n):
        super().__init__(n)
        specs, self.steps, self.names = [], [], []
        for i in range(n):
            spec = {"cidr": "172.%d.%d.%d/32" % (16 + (i >> 16) % 16, (i >> 8) & 255, i & 255),
                    "zone": "us-central1-" + "abc"[i % 3], "dest_instance": "nva-%d" % (i % 200),
                    "priority": None if i % 2 else 500 + i % 100,
                    "name": None if i % 5 else "custom-%d" % i}
            specs.append(spec)
            key = (MIGRATED_PROJECT + MIGRATED_VPC + spec["cidr"] + spec["zone"]
                   + spec["dest_instance"] + str(spec["priority"])).encode("utf-8")
            name = spec["name"] or "tsr-" + hashlib.md5(key).hexdigest()
            priority = 1000 if spec["priority"] is None else spec["priority"]
            self.service.instances_.by_name[spec["dest_instance"]] = Request({
                "kind": "compute#instance", "name": spec["dest_instance"], "status": "RUNNING",
                "selfLink": API + MIGRATED_PROJECT + "/zones/" + spec["zone"] + "/instances/"
                + spec["dest_instance"]})
            self.steps.append((key, spec["zone"], spec["dest_instance"],
                               "  add route " + spec["cidr"] + " to " + spec["dest_instance"]
                               + " priority " + str(priority) + " name " + name))
            self.names.append(name)
        self.config = {"add": specs}

    def setup(self):
        super().setup()
        FakeGlobals.revert["manage_routes"][self.stage] = {}

    def run(self, lib):
        return lib.manageRoute(self.service, self.config, self.stage)

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        instances = self.service.instances
        md5, b16encode = hashlib.md5, base64.b16encode
        getDryRun = FakeGlobals.getDryRun
        info("- Manage route(s) " + self.stage)
        FakeYamlContext().getContext("project_id")
        FakeYamlContext().getContext("vpc_name")
        for key, zone, instance, line in self.steps:
            b16encode(md5(key).digest())
            instances().get(project=MIGRATED_PROJECT, zone=zone, instance=instance).execute()
            info(line)
            getDryRun()
        FakeGlobals.getRevertInfo()["manage_routes"][self.stage][
            MIGRATED_PROJECT + "::" + MIGRATED_VPC] = {
                "deleted_route_list": [], "added_route_list": list(self.names)}


class ManageRouteInsert(ManageRoute):
    """The route stage with n route specs to add, each inserted and its
    operation waited for (done at the first poll)."""

    name = "manageRouteInsert"
    dry_run = False

    def floor(self):
        info = logging.getLogger(fakes.LOGGER_NAME).info
        service = self.service
        md5, b16encode = hashlib.md5, base64.b16encode
        getDryRun = FakeGlobals.getDryRun
        info("- Manage route(s) " + self.stage)
        FakeYamlContext().getContext("project_id")
        FakeYamlContext().getContext("vpc_name")
        body = {}
        for key, zone, instance, line in self.steps:
            b16encode(md5(key).digest())
            service.instances().get(project=MIGRATED_PROJECT, zone=zone,
                                    instance=instance).execute()
            info(line)
            getDryRun()
            operation = service.routes().insert(project=MIGRATED_PROJECT, body=body).execute()
            service.globalOperations().wait(project=MIGRATED_PROJECT,
                                            operation=operation["name"]).execute()
        FakeGlobals.getRevertInfo()["manage_routes"][self.stage][
            MIGRATED_PROJECT + "::" + MIGRATED_VPC] = {
                "deleted_route_list": [], "added_route_list": list(self.names)}


CASES = [RouteTable, Subnets, SubnetsByRegion, PeeringList, DeletePeerings, CloudRouters,
         ManageRoute, ManageRouteInsert]
