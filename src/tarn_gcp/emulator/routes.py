"""Routes: the static routes a project stores and the route table it shows,
which adds the routes of ACTIVE peerings and one local route per
subnetwork."""

import copy
import hashlib
import ipaddress

from .errors import already_exists, bad_request, invalid, not_found
from .fields import (KINDS, OUTPUT_ONLY, check_name, now_rfc3339, prune_empty, read_cidr,
                     read_int, read_ip_address, read_text)
from .operations import OperationLog, fault_names, mutation
from .paths import collection_of, is_name, link, path_of, ref_path

_ROUTE_OUTPUT_ONLY = OUTPUT_ONLY | {
    "routeType", "routeStatus", "asPaths", "nextHopPeering", "nextHopNetwork", "nextHopHub",
    "nextHopOrigin", "nextHopMed", "nextHopInterRegionCost", "nextHopInterconnectAttachment"}
_ROUTE_HOPS = ("nextHopGateway", "nextHopInstance", "nextHopIp", "nextHopIlb", "nextHopVpnTunnel")


class Routes(OperationLog):
    """routes.insert and routes.delete, and routes.get and routes.list
    answered from the route table."""

    def _build_route(self, project, body, seeding=False):
        """A route from an insert's body; ``seeding`` also accepts the
        "nextHopPeering" of a peering route."""
        if not isinstance(body, dict):
            raise bad_request("The request body must be an object.")
        ignored = {"nextHopPeering"} if seeding else set()
        body = {k: v for k, v in body.items() if k not in _ROUTE_OUTPUT_ONLY - ignored}
        name = check_name(body.get("name"))
        network_path = self._referenced_network(project, body)
        dest = read_cidr(body.get("destRange"), "resource.destRange")
        priority = read_int(body.get("priority", 1000), "resource.priority", 0, 65535)
        tags = body.get("tags") or []
        if not isinstance(tags, list) or not all(is_name(t) for t in tags):
            raise invalid("resource.tags", tags, "Must be a list of tag names.")
        hops = [key for key in _ROUTE_HOPS if body.get(key)]
        if seeding and body.get("nextHopPeering"):
            hops.append("nextHopPeering")
        if len(hops) != 1:
            raise invalid("resource", name,
                          "Exactly one of %s must be set." % ", ".join(_ROUTE_HOPS))
        hop = hops[0]
        value = self._next_hop(project, hop, body[hop])
        path = "projects/%s/global/routes/%s" % (project, name)
        route = {"kind": KINDS["routes"], "id": self._new_id(),
                 "creationTimestamp": now_rfc3339(), "name": name,
                 "description": read_text(body, "description", "resource.description"),
                 "network": link(network_path), "tags": list(tags),
                 "destRange": str(dest), "priority": priority, hop: value,
                 "routeType": "STATIC", "routeStatus": "ACTIVE", "selfLink": link(path)}
        if hop == "nextHopPeering":
            del route["routeStatus"]
            route["routeType"] = self._peering_route_type(network_path, value, dest)
        return path, route

    def _peering_route_type(self, network_path, peering_name, dest):
        """SUBNET for a peering route to a range of the peer's subnetworks,
        else STATIC (a custom route the peer exports)."""
        network = self._resources[network_path]
        peering = next((p for p in network["peerings"] if p["name"] == peering_name), None)
        if peering is not None:
            for subnet in self._subnetworks_of(peering["network"]):
                ranges = [subnet["ipCidrRange"]] + [
                    s["ipCidrRange"] for s in subnet.get("secondaryIpRanges", [])]
                if str(dest) in ranges:
                    return "SUBNET"
        return "STATIC"

    def _next_hop(self, project, hop, value):
        """The stored value of a route's one next hop field."""
        field = "resource." + hop
        if hop == "nextHopInstance":
            target = ref_path(value, project, "instances", field)
            if target not in self._resources:
                raise invalid(field, value, "The referenced instance resource cannot be found.")
            return link(target)
        if hop == "nextHopIp":
            return read_ip_address(value, field)
        if hop == "nextHopGateway":
            target = ref_path(value, project, "gateways", field)
            if not target.endswith("/default-internet-gateway"):
                raise invalid(field, value, "Only the default internet gateway is supported.")
            return link(target)
        if hop == "nextHopIlb":
            try:
                return str(ipaddress.ip_address(value))
            except ValueError:
                return link(ref_path(value, project, "forwardingRules", field))
        if hop == "nextHopVpnTunnel":
            return link(ref_path(value, project, "vpnTunnels", field))
        return check_name(value, field)

    def _check_route_free(self, path, name, project, accepting=True):
        """The name is free: no route shows it, and when ``accepting`` a new
        insert no earlier insert still running has taken it."""
        if path in self._resources or any(r["name"] == name for r in self._routes(project)):
            raise already_exists(path)
        if accepting:
            self._refuse_if_being_inserted(path)

    def _route_networks(self, network_link):
        """A route's network and every network peered with it, whichever
        side holds the peering record: a peering change on any of them
        holds up route changes there."""
        own = path_of(network_link)
        found = {own}
        for path, resource in self._resources.items():
            if collection_of(path) != "networks":
                continue
            for peering in resource["peerings"]:
                if path == own:
                    found.add(path_of(peering["network"]))
                elif peering["network"] == network_link:
                    found.add(path)
        return found

    @mutation
    def insert_route(self, project, body, request_id=None):
        self._need_project(project)
        path, route = self._build_route(project, body)
        self._check_route_free(path, route["name"], project)
        networks = self._route_networks(route["network"])
        self._refuse_if_busy("route", networks)

        def apply():
            self._check_route_free(path, route["name"], project, accepting=False)
            if path_of(route["network"]) not in self._resources:
                raise invalid("resource.network", route["network"],
                              "The referenced network resource cannot be found.")
            self._put(path, route)
        return self._start_operation(project, None, "insert", path, route["id"],
                                     "compute.routes.insert", fault_names(route["name"]),
                                     apply, request_id, {path_of(route["network"])})

    @mutation
    def delete_route(self, project, route, request_id=None):
        path = self._resolve(project, "global", "routes", route)
        shown = self.get(project, "routes", route)
        if path not in self._resources or "nextHopPeering" in self._resources[path]:
            raise bad_request("The route '%s' is maintained by the service and cannot be "
                              "deleted." % path)
        self._refuse_if_busy("route", self._route_networks(shown["network"]))

        def apply():
            self._stored(path)
            self._drop(path)
        return self._start_operation(project, None, "delete", path, shown["id"],
                                     "compute.routes.delete", fault_names(shown["name"]),
                                     apply, request_id, {path_of(shown["network"])})

    def get(self, project, collection, name, scope=None):
        if collection != "routes":
            return super().get(project, collection, name, scope)
        with self.lock:
            path = self._resolve(project, "global", collection, name)
            for route in self._routes(project):
                if route["name"] == name or route["id"] == name:
                    return prune_empty(copy.deepcopy(route))
            raise not_found(path)

    def list(self, project, collection, scope=None):
        if collection != "routes":
            return super().list(project, collection, scope)
        with self.lock:
            self._need_project(project)
            return [prune_empty(copy.deepcopy(r)) for r in self._routes(project)]

    def _routes(self, project):
        """The routes a project's route table shows: stored static routes,
        peering routes of ACTIVE peerings and one local route per subnetwork."""
        routes = []
        prefix = "projects/%s/" % project
        for path in sorted(self._resources):
            if not path.startswith(prefix):
                continue
            resource = self._resources[path]
            collection = collection_of(path)
            if collection == "routes":
                if "nextHopPeering" in resource and not self._peering_active(
                        resource["network"], resource["nextHopPeering"]):
                    continue
                routes.append(resource)
            elif collection == "subnetworks":
                routes.append(self._subnet_route(path, resource))
        routes.sort(key=lambda r: r["name"])
        return routes

    @staticmethod
    def _subnet_route(path, subnet):
        """The local route the service shows for a subnetwork."""
        digest = hashlib.md5(path.encode()).hexdigest()
        name = "default-route-" + digest[:16]
        return {"kind": "compute#route", "id": str(int(digest[16:31], 16)),
                "creationTimestamp": subnet["creationTimestamp"], "name": name,
                "description": "Default local route to the subnetwork %s." % subnet["ipCidrRange"],
                "network": subnet["network"], "destRange": subnet["ipCidrRange"],
                "priority": 0, "nextHopNetwork": subnet["network"], "routeType": "SUBNET",
                "selfLink": link("%s/global/routes/%s" % ("/".join(path.split("/")[:2]), name))}

    def _peering_active(self, network_link, peering_name):
        """Whether a peering route's peering is ACTIVE: only then does the
        route table show it."""
        network = self._resources.get(path_of(network_link))
        return network is not None and any(
            p["name"] == peering_name and p["state"] == "ACTIVE"
            for p in network.get("peerings", []))
