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

from .errors import ApiError, already_exists, bad_request, invalid, not_found
from .fields import check_name, merge_patch, now_rfc3339
from .instances import SubnetworksAndInstances
from .networks import PEERING_IN_PROGRESS, NetworksAndPeerings
from .paths import (API_ROOT, NAME_PATTERN, PROJECT_PATTERN, is_name, is_project, link, ref_path,
                    region_of_zone)
from .routers import Routers
from .routes import Routes
from .store import ResourceStore


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
