"""Loading a whole topology into the model at once, without operations."""

from .errors import already_exists
from .store import ResourceStore


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
