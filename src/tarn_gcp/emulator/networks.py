"""Networks and their peerings.

A peering record is INACTIVE until the peer network holds a record naming
this network, then both are ACTIVE; removing one side leaves the other's
record INACTIVE."""

import copy

from .errors import already_exists, bad_request, invalid
from .fields import KINDS, check_name, now_rfc3339, read_bool, read_int, read_text
from .operations import PEERING_IN_PROGRESS, OperationLog, fault_names, mutation
from .paths import collection_of, link, path_of, ref_path

_PEERING_FLAGS = (("autoCreateRoutes", True), ("exchangeSubnetRoutes", True),
                  ("exportCustomRoutes", False), ("importCustomRoutes", False),
                  ("exportSubnetRoutesWithPublicIp", True),
                  ("importSubnetRoutesWithPublicIp", False))
_STACK_TYPES = ("IPV4_ONLY", "IPV4_IPV6")
_UPDATE_STRATEGIES = ("INDEPENDENT", "CONSENSUS")


class NetworksAndPeerings(OperationLog):
    """networks.insert, networks.addPeering and networks.removePeering."""

    def _build_network(self, project, body):
        name = check_name(body.get("name"))
        if body.get("IPv4Range"):
            raise invalid("resource.IPv4Range", body["IPv4Range"],
                          "Legacy networks are not supported.")
        routing = body.get("routingConfig") or {}
        mode = routing.get("routingMode", "REGIONAL") if isinstance(routing, dict) else routing
        if mode not in ("REGIONAL", "GLOBAL"):
            raise invalid("resource.routingConfig.routingMode", mode,
                          "Must be REGIONAL or GLOBAL.")
        path = "projects/%s/global/networks/%s" % (project, name)
        network = {"kind": KINDS["networks"], "id": self._new_id(),
                   "creationTimestamp": now_rfc3339(), "name": name,
                   "description": read_text(body, "description", "resource.description"),
                   "selfLink": link(path),
                   "autoCreateSubnetworks": read_bool(body, "autoCreateSubnetworks", False,
                                                      "resource.autoCreateSubnetworks"),
                   "subnetworks": [], "peerings": [],
                   "routingConfig": {"routingMode": mode},
                   "mtu": read_int(body.get("mtu", 1460), "resource.mtu", 1300, 8896),
                   "networkFirewallPolicyEnforcementOrder": "AFTER_CLASSIC_FIREWALL"}
        network["selfLinkWithId"] = link("projects/%s/global/networks/%s"
                                         % (project, network["id"]))
        return path, network

    @mutation
    def insert_network(self, project, body, request_id=None):
        self._need_project(project)
        path, network = self._build_network(project, body)

        def apply():
            if path in self._resources:
                raise already_exists(path)
            self._put(path, network)
            self._refresh_peerings()
        if path in self._resources:
            raise already_exists(path)
        self._refuse_if_being_inserted(path)
        return self._start_operation(project, None, "insert", path, network["id"],
                                     "compute.networks.insert", fault_names(network["name"]),
                                     apply, request_id)

    def _build_peering(self, project, network_path, body):
        if not isinstance(body, dict):
            raise bad_request("The request body must be an object.")
        spec = body.get("networkPeering")
        if spec is None:
            # The older form: name, peerNetwork and flags at the top of the body.
            spec = {k: v for k, v in body.items() if k != "peerNetwork"}
            spec["network"] = body.get("peerNetwork")
            if "autoCreateRoutes" in body:
                spec.setdefault("exchangeSubnetRoutes", body["autoCreateRoutes"])
            field = "resource"
        elif not isinstance(spec, dict):
            raise invalid("resource.networkPeering", spec, "Must be an object.")
        else:
            field = "resource.networkPeering"
        name = check_name(spec.get("name"), field + ".name")
        peer_path = ref_path(spec.get("network"), project, "networks", field + ".network")
        if peer_path == network_path:
            raise invalid(field + ".network", spec.get("network"),
                          "A network cannot be peered with itself.")
        record = {"name": name, "network": link(peer_path), "state": "INACTIVE",
                  "stateDetails": ""}
        for key, default in _PEERING_FLAGS:
            record[key] = read_bool(spec, key, default, "%s.%s" % (field, key))
        if not record["exchangeSubnetRoutes"] or not record["autoCreateRoutes"]:
            raise invalid(field + ".exchangeSubnetRoutes", False,
                          "Subnet routes are always exchanged between peered networks.")
        stack = spec.get("stackType", "IPV4_ONLY")
        if stack not in _STACK_TYPES:
            raise invalid(field + ".stackType", stack,
                          "Must be one of %s." % ", ".join(_STACK_TYPES))
        record["stackType"] = stack
        strategy = spec.get("updateStrategy", "INDEPENDENT")
        if strategy not in _UPDATE_STRATEGIES:
            raise invalid(field + ".updateStrategy", strategy,
                          "Must be one of %s." % ", ".join(_UPDATE_STRATEGIES))
        record["updateStrategy"] = strategy
        return record

    def _check_new_peering(self, network_path, record):
        network = self._stored(network_path)
        for existing in network["peerings"]:
            if existing["name"] == record["name"]:
                raise bad_request("There is already a peering named '%s' on network '%s'."
                                  % (record["name"], network_path))
            if existing["network"] == record["network"]:
                raise bad_request("Network '%s' already has a peering '%s' with network '%s'."
                                  % (network_path, existing["name"], record["network"]))

    def _refuse_if_peering_busy(self):
        if self.faults is not None and self.faults.take_peering_refusal():
            raise bad_request(PEERING_IN_PROGRESS)

    @mutation
    def add_peering(self, project, network, body, request_id=None):
        """networks.addPeering: the record is INACTIVE until the peer network
        holds a record naming this network, then both are ACTIVE."""
        path = self._resolve(project, "global", "networks", network)
        self._stored(path)
        self._refuse_if_peering_busy()
        record = self._build_peering(project, path, body)
        networks = (path, path_of(record["network"]))
        self._refuse_if_busy("peering", networks)
        self._check_new_peering(path, record)

        def apply():
            self._check_new_peering(path, record)
            self._resources[path]["peerings"].append(copy.deepcopy(record))
            self._refresh_peerings()
        return self._start_operation(project, None, "addPeering", path,
                                     self._resources[path]["id"], "compute.networks.addPeering",
                                     fault_names(network, record["name"]), apply, request_id,
                                     networks)

    @mutation
    def remove_peering(self, project, network, body, request_id=None):
        """networks.removePeering: the peer's record stays, INACTIVE."""
        path = self._resolve(project, "global", "networks", network)
        self._stored(path)
        self._refuse_if_peering_busy()
        name = body.get("name") if isinstance(body, dict) else None
        check_name(name, "resource.name")

        def find():
            for index, peering in enumerate(self._stored(path)["peerings"]):
                if peering["name"] == name:
                    return index
            raise bad_request("There is no peering named '%s' on network '%s'."
                              % (name, path))
        networks = (path, path_of(self._stored(path)["peerings"][find()]["network"]))
        self._refuse_if_busy("peering", networks)

        def apply():
            del self._resources[path]["peerings"][find()]
            self._refresh_peerings()
        return self._start_operation(project, None, "removePeering", path,
                                     self._resources[path]["id"],
                                     "compute.networks.removePeering",
                                     fault_names(network, name), apply, request_id, networks)

    def _refresh_peerings(self):
        """Recomputes every peering's state from the records on both sides,
        with what the service reports of the connection: the peer's MTU
        and, while ACTIVE, the traffic both records let through."""
        stamp = now_rfc3339()
        for path, resource in self._resources.items():
            if collection_of(path) != "networks":
                continue
            own = link(path)
            for peering in resource["peerings"]:
                peer = self._resources.get(path_of(peering["network"]))
                back = next((p for p in peer["peerings"] if p["network"] == own),
                            None) if peer is not None else None
                active = back is not None
                peering.pop("peerMtu", None)
                peering.pop("connectionStatus", None)
                if peer is not None:
                    peering["peerMtu"] = peer["mtu"]
                if active:
                    peering["connectionStatus"] = _connection_status(peering, back)
                state = "ACTIVE" if active else "INACTIVE"
                if state != peering["state"] or not peering["stateDetails"]:
                    peering["state"] = state
                    peering["stateDetails"] = "[%s]: %s" % (
                        stamp, "Connected." if active else "Waiting for peer network to connect.")


def _connection_status(local, remote):
    """A peering's connectionStatus: the traffic its record and the peer's
    matching record together let through."""
    def both(mine, theirs):
        return bool(local.get(mine) and remote.get(theirs))
    dual = local.get("stackType") == remote.get("stackType") == "IPV4_IPV6"
    return {"trafficConfiguration": {
                "exportCustomRoutesToPeer": both("exportCustomRoutes", "importCustomRoutes"),
                "importCustomRoutesFromPeer": both("importCustomRoutes", "exportCustomRoutes"),
                "exportSubnetRoutesWithPublicIpToPeer": both("exportSubnetRoutesWithPublicIp",
                                                             "importSubnetRoutesWithPublicIp"),
                "importSubnetRoutesWithPublicIpFromPeer": both("importSubnetRoutesWithPublicIp",
                                                               "exportSubnetRoutesWithPublicIp"),
                "stackType": "IPV4_IPV6" if dual else "IPV4_ONLY"},
            "updateStrategy": local.get("updateStrategy", "INDEPENDENT")}
