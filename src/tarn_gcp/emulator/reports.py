"""What the API computes rather than stores: the resources of a project by
region or zone (aggregated lists), the subnetworks usable to it, a Cloud
Router's status and the routes a peering exchanges."""

import copy
import ipaddress
from datetime import datetime

from .errors import ApiError, invalid
from .fields import KINDS, prune_empty
from .operations import OperationLog
from .paths import collection_of, link, path_of

_DEFAULT_BGP_PRIORITY = 100


def _required(field):
    return ApiError(400, "Required field '%s' not specified" % field, "required")


def _net_key(cidr):
    net = ipaddress.ip_network(cidr)
    return (net.version, net.network_address, net.prefixlen)


class Reports(OperationLog):
    """Aggregated lists, subnetworks.listUsable, routers.getRouterStatus and
    networks.listPeeringRoutes."""

    # ----------------------------------------------------- aggregated lists

    def scoped(self, project, collection):
        """[(scope, resource)] of a regional or zonal collection in a
        project, scope "regions/R" or "zones/Z", by scope then name."""
        with self.lock:
            self._need_project(project)
            prefix = "projects/%s/" % project
            found = []
            for path in sorted(self._resources):
                parts = path.split("/")
                if path.startswith(prefix) and len(parts) == 6 and parts[4] == collection:
                    found.append(("%s/%s" % (parts[2], parts[3]), self._output(path)))
            return found

    def usable_subnetworks(self, project):
        """The UsableSubnetwork entries of a project's subnetworks."""
        usable = []
        for _, subnet in self.scoped(project, "subnetworks"):
            entry = {"subnetwork": subnet["selfLink"], "network": subnet["network"],
                     "ipCidrRange": subnet["ipCidrRange"],
                     "secondaryIpRanges": [{"rangeName": s["rangeName"],
                                            "ipCidrRange": s["ipCidrRange"]}
                                           for s in subnet.get("secondaryIpRanges", [])],
                     "stackType": subnet.get("stackType"), "purpose": subnet.get("purpose")}
            usable.append(prune_empty(entry))
        return usable

    # --------------------------------------------------------- router status

    def _subnets_seen_by(self, router):
        """The subnetworks a router's network offers it: all of them under
        GLOBAL dynamic routing, else those of the router's region."""
        network = self._resources.get(path_of(router["network"]), {})
        mode = network.get("routingConfig", {}).get("routingMode", "REGIONAL")
        return [s for s in self._subnetworks_of(router["network"])
                if mode == "GLOBAL"
                or s["region"].rsplit("/", 1)[1] == router["region"].rsplit("/", 1)[1]]

    def _advertised(self, router, peer=None):
        """The ranges a router (or one of its BGP peers, with its own
        advertisement) advertises, in order, each once."""
        bgp = peer if peer is not None and peer.get("advertiseMode") == "CUSTOM" else \
            router.get("bgp") or {}
        ranges = []
        if bgp.get("advertiseMode", "DEFAULT") == "DEFAULT" or \
                "ALL_SUBNETS" in (bgp.get("advertisedGroups") or []):
            ranges += [s["ipCidrRange"] for s in self._subnets_seen_by(router)]
        ranges += [r["range"] for r in bgp.get("advertisedIpRanges") or []]
        seen = set()
        return [r for r in ranges if not (str(ipaddress.ip_network(r)) in seen
                                          or seen.add(str(ipaddress.ip_network(r))))]

    def _learned(self, router, peer):
        """The routes a BGP peer announces: a router appliance announces the
        ranges that static routes send through its instance."""
        instance = peer.get("routerApplianceInstance")
        if not instance or peer.get("enable") == "FALSE":
            return []
        instance = link(path_of(instance)) if instance.startswith("http") else instance
        ranges = sorted({r["destRange"] for r in self._resources.values()
                         if r.get("kind") == KINDS["routes"]
                         and r.get("nextHopInstance") == instance}, key=_net_key)
        priority = peer.get("advertisedRoutePriority", _DEFAULT_BGP_PRIORITY)
        return [{"kind": "compute#route", "network": router["network"], "destRange": cidr,
                 "priority": priority, "nextHopIp": peer.get("peerIpAddress"),
                 "routeType": "BGP", "routeStatus": "ACTIVE", "nextHopOrigin": "INCOMPLETE",
                 "asPaths": [{"pathSegmentType": "AS_SEQUENCE",
                              "asLists": [peer["peerAsn"]] if "peerAsn" in peer else []}]}
                for cidr in ranges]

    def router_status(self, project, region, router):
        """routers.getRouterStatus: the BGP peers as configured, with the
        routes each advertises and announces, and the best routes learned."""
        with self.lock:
            path = self._resolve(project, "regions/" + region, "routers", router)
            current = self._stored(path)
            try:
                created = datetime.fromisoformat(current["creationTimestamp"])
                uptime = max(0, int((datetime.now(created.tzinfo) - created).total_seconds()))
            except (KeyError, ValueError):
                uptime = 0
            peers, best = [], []
            for peer in current.get("bgpPeers") or []:
                up = peer.get("enable", "TRUE") != "FALSE"
                learned = self._learned(current, peer)
                best += learned
                status = {"name": peer.get("name"), "ipAddress": peer.get("ipAddress"),
                          "peerIpAddress": peer.get("peerIpAddress"),
                          "routerApplianceInstance": peer.get("routerApplianceInstance"),
                          "enableIpv4": True, "md5AuthEnabled": False,
                          "status": "UP" if up else "DOWN",
                          "state": "Established" if up else "Idle",
                          "numLearnedRoutes": len(learned)}
                if up:
                    status["uptime"] = "%d minutes, %d seconds" % divmod(uptime, 60)
                    status["uptimeSeconds"] = str(uptime)
                    priority = peer.get("advertisedRoutePriority", _DEFAULT_BGP_PRIORITY)
                    status["advertisedRoutes"] = [
                        {"kind": "compute#route", "destRange": cidr, "priority": priority,
                         "nextHopIp": peer.get("ipAddress"), "routeType": "BGP"}
                        for cidr in self._advertised(current, peer)]
                peers.append(status)
            result = {"network": current["network"], "bestRoutes": copy.deepcopy(best),
                      "bestRoutesForRouter": best, "bgpPeerStatus": peers}
            return {"kind": "compute#routerStatusResponse", "result": prune_empty(result)}

    # -------------------------------------------------------- peering routes

    def peering_routes(self, project, network, peering_name, direction):
        """networks.listPeeringRoutes: what the named peering exchanges in
        ``direction`` (INCOMING: what the peer exports to this network;
        OUTGOING: what this network exports to the peer).  Subnet ranges
        always cross an ACTIVE peering; static routes when the exporting
        side exports custom routes, save routes to the internet gateway,
        tagged routes and routes learned over another peering; INCOMING also
        lists the peering routes the network's route table shows for it."""
        if not peering_name:
            raise _required("peering_name")
        if not direction:
            raise _required("direction")
        with self.lock:
            path = self._resolve(project, "global", "networks", network)
            own = self._stored(path)
            peering = next((p for p in own["peerings"] if p["name"] == peering_name), None)
            if peering is None:
                raise invalid("peeringName", peering_name,
                              "There is no peering named '%s' on network '%s'."
                              % (peering_name, path))
            peer = self._resources.get(path_of(peering["network"]))
            if peering["state"] != "ACTIVE" or peer is None:
                return []
            back = next(p for p in peer["peerings"] if p["network"] == link(path))
            if direction == "INCOMING":
                source, exports, imports = peer, back, peering
            else:
                source, exports, imports = own, peering, back
            routes = []
            for subnet in self._subnetworks_of(source["selfLink"]):
                for cidr in [subnet["ipCidrRange"]] + [
                        s["ipCidrRange"] for s in subnet.get("secondaryIpRanges", [])]:
                    routes.append({"destRange": cidr, "type": "SUBNET_PEERING_ROUTE",
                                   "priority": 0, "imported": True})
            if exports["exportCustomRoutes"]:
                for route_path, route in self._resources.items():
                    if (collection_of(route_path) == "routes"
                            and route["network"] == source["selfLink"]
                            and "nextHopPeering" not in route and "nextHopGateway" not in route
                            and not route.get("tags")):
                        routes.append({"destRange": route["destRange"],
                                       "type": "STATIC_PEERING_ROUTE",
                                       "priority": route["priority"],
                                       "imported": imports["importCustomRoutes"]})
            if direction == "INCOMING":
                # The peering routes the network holds for this peering stand
                # for what the peer exports beyond its subnets and static
                # routes (on-premises ranges its routers learn): what the
                # route table shows over a peering, this list shows too.
                listed = {r["destRange"] for r in routes}
                for route_path, route in self._resources.items():
                    if (collection_of(route_path) == "routes" and route["network"] == link(path)
                            and route.get("nextHopPeering") == peering_name
                            and route["destRange"] not in listed):
                        listed.add(route["destRange"])
                        routes.append({"destRange": route["destRange"],
                                       "type": route["routeType"] + "_PEERING_ROUTE",
                                       "priority": route["priority"], "imported": True})
            routes.sort(key=lambda r: (_net_key(r["destRange"]), r["priority"]))
            return routes
