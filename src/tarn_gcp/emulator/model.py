"""In-memory Compute Engine v1 state for the resources tarn_gcp works on.

The model holds projects, networks (with their peerings), subnetworks,
instances, routes, Cloud Routers and operations, and behaves as the
Compute Engine API does for the requests the migration tool makes.
Everything is guarded by one re-entrant lock, so the HTTP front may call
it from many threads.

When a change takes effect
--------------------------
* Global operations (network insert, peering add/remove, route
  insert/delete) are checked when the request is accepted (a bad request is
  refused at once with an HTTP error) and the change lands when the
  operation reaches DONE.  Each ``globalOperations.get`` or ``wait`` moves
  the operation one step: PENDING -> RUNNING -> DONE.  The checks run again
  at DONE; if the world changed meanwhile (say a route of the same name
  appeared) the operation ends with an "error" instead.  A caller that
  never polls never sees the change, as with the real service a caller that
  does not wait cannot rely on it.
* Regional and zonal operations (subnetwork, router and instance inserts,
  router patches) apply the change at acceptance; the operation returned is
  only a record that moves through the same states when polled.  Callers
  do not wait for router patches, so their effect must not depend on it.
* An operation that a fault marks as failing never applies its change; it
  reaches DONE carrying "error", "httpErrorStatusCode" and
  "httpErrorMessage".

Resources are stored under their relative path ("projects/P/global/routes/R")
and handed out as deep copies, so callers can never alter stored state.
"""

import copy

from .errors import ApiError, already_exists, bad_request, invalid, not_found
from .fields import (KINDS, OUTPUT_ONLY, check_name, check_region_field, merge_patch, now_rfc3339,
                     prune_empty, read_cidr, read_int, read_list, read_text)
from .instances import SubnetworksAndInstances
from .networks import PEERING_IN_PROGRESS, NetworksAndPeerings
from .operations import OperationLog, fault_names, mutation
from .paths import (API_ROOT, NAME_PATTERN, PROJECT_PATTERN, is_name, is_project, link, ref_path,
                    region_of_zone)
from .routes import Routes
from .store import ResourceStore


# --------------------------------------------------------------------- routers

_ADVERTISE_MODES = ("CUSTOM", "DEFAULT")
_ADVERTISED_GROUPS = ("ALL_SUBNETS",)


def _writable_fields(body):
    """The fields of a request body the caller may set."""
    if not isinstance(body, dict):
        raise bad_request("The request body must be an object.")
    return {k: v for k, v in body.items() if k not in OUTPUT_ONLY}


def _build_bgp(bgp):
    if not isinstance(bgp, dict):
        raise invalid("resource.bgp", bgp, "Must be an object.")
    if "asn" not in bgp:
        raise invalid("resource.bgp.asn", None, "The ASN of the router must be given.")
    out = {"asn": read_int(bgp["asn"], "resource.bgp.asn", 1, 4294967294)}
    mode = bgp.get("advertiseMode", "DEFAULT")
    if mode not in _ADVERTISE_MODES:
        raise invalid("resource.bgp.advertiseMode", mode, "Must be CUSTOM or DEFAULT.")
    out["advertiseMode"] = mode
    groups = read_list(bgp, "advertisedGroups", "resource.bgp.advertisedGroups")
    for i, group in enumerate(groups):
        field = "resource.bgp.advertisedGroups[%d]" % i
        if group not in _ADVERTISED_GROUPS:
            raise invalid(field, group, "Must be one of %s." % ", ".join(_ADVERTISED_GROUPS))
        if group in groups[:i]:
            raise invalid(field, group, "The group is listed twice.")
    ranges = read_list(bgp, "advertisedIpRanges", "resource.bgp.advertisedIpRanges")
    seen, kept = set(), []
    for i, item in enumerate(ranges):
        field = "resource.bgp.advertisedIpRanges[%d]" % i
        if not isinstance(item, dict):
            raise invalid(field, item, "Must be an object.")
        net = read_cidr(item.get("range"), field + ".range")
        if net in seen:
            raise invalid(field + ".range", item.get("range"), "The range is advertised twice.")
        seen.add(net)
        entry = {"range": item["range"]}
        if item.get("description") is not None:
            entry["description"] = read_text(item, "description", field + ".description")
        kept.append(entry)
    if mode == "DEFAULT" and (groups or kept):
        raise invalid("resource.bgp.advertiseMode", mode,
                      "Custom advertised groups and ranges need advertiseMode CUSTOM.")
    out["advertisedGroups"] = list(groups)
    out["advertisedIpRanges"] = kept
    out["keepaliveInterval"] = read_int(bgp.get("keepaliveInterval", 20),
                                        "resource.bgp.keepaliveInterval", 20, 60)
    return out


class Routers(OperationLog):
    """routers.insert and routers.patch; both apply at acceptance."""

    def _build_router(self, project, region, body, existing=None):
        """A router from an insert's body, or from the merged state of
        ``existing`` and a patch."""
        name = check_name(body.get("name"))
        check_region_field(body, region)
        network_path = self._referenced_network(project, body)
        if existing is not None and link(network_path) != existing["network"]:
            raise invalid("resource.network", body.get("network"),
                          "The network of a router cannot be changed.")
        bgp = body.get("bgp")
        if bgp is not None:
            bgp = _build_bgp(bgp)
        path = "projects/%s/regions/%s/routers/%s" % (project, region, name)
        router = {"kind": KINDS["routers"],
                  "id": existing["id"] if existing else self._new_id(),
                  "creationTimestamp": (existing["creationTimestamp"] if existing
                                        else now_rfc3339()),
                  "name": name,
                  "description": read_text(body, "description", "resource.description"),
                  "region": link("projects/%s/regions/%s" % (project, region)),
                  "network": link(network_path), "bgp": bgp}
        for key in ("bgpPeers", "interfaces", "nats"):
            router[key] = copy.deepcopy(read_list(body, key, "resource." + key))
        router["selfLink"] = link(path)
        return path, router

    @mutation
    def insert_router(self, project, region, body, request_id=None):
        def build(project, region, body):
            return self._build_router(project, region, _writable_fields(body))
        return self._insert_at_acceptance(project, ("regions", region), build, body,
                                          "compute.routers.insert", self._put, request_id)

    @mutation
    def patch_router(self, project, region, router, body, request_id=None):
        """routers.patch as a JSON merge patch of the stored router."""
        path = self._resolve(project, "regions/" + region, "routers", router)
        current = self._stored(path)
        patch = _writable_fields(body)
        if "name" in patch and patch["name"] != current["name"]:
            raise invalid("resource.name", patch["name"], "A router cannot be renamed.")
        merged = merge_patch(prune_empty(copy.deepcopy(current)), patch)
        merged["name"] = current["name"]
        _, updated = self._build_router(project, region, merged, existing=current)

        def apply():
            self._resources[path] = updated
        return self._start_operation(project, ("regions", region), "patch", path,
                                     current["id"], "compute.routers.patch",
                                     fault_names(current["name"]), apply, request_id)


# --------------------------------------------------------------------- seeding

class Seeding(ResourceStore):
    """ComputeModel.seed; it builds each resource with the builders of the
    resource classes ComputeModel is made of, so every item is checked as
    an insert would check it."""

    def seed(self, data):
        """Loads a topology: a dict with "projects" (names) and lists of
        "networks", "subnetworks", "instances", "peerings", "routes" and
        "routers", each item an API resource body plus "project" and, where
        the collection needs it, "region" or "zone".  Peerings are
        {"project", "network" (the local network's name), "name", "peerNetwork",
        flags...}; routes may carry "nextHopPeering" to stand for peering
        routes.  Everything is checked as an insert would be and lands at
        once, without operations."""
        with self.lock:
            for project in data.get("projects", []):
                self.add_project(project)

            def items(key):
                for item in data.get(key, []):
                    item = dict(item)
                    project = item.pop("project")
                    self._need_project(project)
                    yield project, item
            for project, body in items("networks"):
                path, network = self._build_network(project, body)
                self._put(path, network)
            for project, body in items("subnetworks"):
                region = body.pop("region")
                path, subnet = self._build_subnetwork(project, region, body)
                self._put_subnetwork(path, subnet)
            for project, body in items("instances"):
                path, instance = self._build_instance(project, body.pop("zone"), body)
                self._put(path, instance)
            for project, body in items("peerings"):
                network_path = "projects/%s/global/networks/%s" % (project, body.pop("network"))
                self._stored(network_path)
                record = self._build_peering(project, network_path, body)
                self._check_new_peering(network_path, record)
                self._resources[network_path]["peerings"].append(record)
            self._refresh_peerings()
            for project, body in items("routes"):
                path, route = self._build_route(project, body, seeding=True)
                self._check_route_free(path, route["name"], project)
                self._put(path, route)
            for project, body in items("routers"):
                region = body.pop("region")
                path, router = self._build_router(project, region, body)
                if path in self._resources:
                    raise already_exists(path)
                self._put(path, router)


__all__ = ["ComputeModel", "ApiError", "API_ROOT", "NAME_PATTERN", "PROJECT_PATTERN",
           "PEERING_IN_PROGRESS", "already_exists", "bad_request", "check_name", "invalid",
           "is_name", "is_project", "link", "merge_patch", "not_found", "now_rfc3339",
           "ref_path", "region_of_zone"]


class ComputeModel(Seeding, NetworksAndPeerings, SubnetworksAndInstances, Routes, Routers):
    """The state and behaviour of the emulated Compute Engine API.

    ``faults`` is consulted for operation faults and peering refusals (see
    :class:`tarn_gcp.emulator.faults.Faults`).  With ``wait_completes`` a
    ``wait`` call drives its operation to DONE at once (unless a fault holds
    it), the way the real ``wait`` usually returns; by default every poll
    moves it one step.
    """
