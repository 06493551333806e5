"""The stored resources of the emulated API: projects, resources by path
and by id, and the generic reads (get, list, snapshot)."""

import copy
import itertools
import threading

from .errors import invalid, not_found
from .fields import prune_empty
from .paths import SCOPES, is_project, ref_path


class _CatchUpLock:
    """A re-entrant lock that runs ``catch_up`` each time a thread takes it
    from outside: whatever reads or changes the store first sees the work
    that has become due meanwhile (operations that have run their time)."""

    def __init__(self, catch_up):
        self._lock = threading.RLock()
        self._catch_up = catch_up
        self._depth = 0          # changed only by the holder

    def __enter__(self):
        self._lock.acquire()
        self._depth += 1
        if self._depth == 1:
            try:
                self._catch_up()
            except BaseException:
                self.__exit__(None, None, None)
                raise
        return self

    def __exit__(self, *exc):
        self._depth -= 1
        self._lock.release()


class ResourceStore:
    """Projects and resources, stored under their relative path
    ("projects/P/global/routes/R") and handed out as deep copies.  Everything
    is guarded by one re-entrant lock; taking it brings the state up to date
    first (see ``_due``)."""

    def __init__(self):
        self.lock = _CatchUpLock(self._due)
        self._projects = set()
        self._resources = {}
        self._path_by_id = {}
        self._ids = itertools.count(5170000000000000001, 7919)

    def reset(self):
        """Forgets every project and resource."""
        with self.lock:
            self._projects.clear()
            self._resources.clear()
            self._path_by_id.clear()

    def _due(self):
        """Work that has become due, done when the lock is taken."""

    def _new_id(self):
        return str(next(self._ids))

    def add_project(self, project):
        if not is_project(project):
            raise ValueError("invalid project id %r" % (project,))
        with self.lock:
            self._projects.add(project)

    def projects(self):
        with self.lock:
            return sorted(self._projects)

    def _need_project(self, project):
        if project not in self._projects:
            raise not_found("projects/%s" % project)

    def _stored(self, path):
        try:
            return self._resources[path]
        except KeyError:
            raise not_found(path) from None

    def _resolve(self, project, where, collection, name):
        """The stored path of a resource named or numbered in a request."""
        self._need_project(project)
        if name.isdigit():
            path = self._path_by_id.get(name)
            prefix = "projects/%s/%s/%s/" % (project, where, collection)
            if path and path.startswith(prefix):
                return path
        return "projects/%s/%s/%s/%s" % (project, where, collection, name)

    def _referenced_network(self, project, body):
        """The path of the existing network a body's "network" names."""
        path = ref_path(body.get("network"), project, "networks", "resource.network")
        if path not in self._resources:
            raise invalid("resource.network", body.get("network"),
                          "The referenced network resource cannot be found.")
        return path

    def _put(self, path, resource):
        self._resources[path] = resource
        self._path_by_id[resource["id"]] = path

    def _drop(self, path):
        resource = self._resources.pop(path)
        self._path_by_id.pop(resource["id"], None)

    def _output(self, path):
        return prune_empty(copy.deepcopy(self._resources[path]))

    def get(self, project, collection, name, scope=None):
        """A resource as the API's get returns it; ``scope`` is the region
        or zone name for regional and zonal collections."""
        with self.lock:
            kind = SCOPES[collection]
            where = "global" if kind == "global" else "%s/%s" % (kind, scope)
            path = self._resolve(project, where, collection, name)
            self._stored(path)
            return self._output(path)

    def list(self, project, collection, scope=None):
        """All resources of one collection in a project (and region or zone),
        in name order."""
        with self.lock:
            self._need_project(project)
            kind = SCOPES[collection]
            where = "global" if kind == "global" else "%s/%s" % (kind, scope)
            prefix = "projects/%s/%s/%s/" % (project, where, collection)
            return [self._output(p) for p in sorted(self._resources)
                    if p.startswith(prefix) and "/" not in p[len(prefix):]]

    def snapshot(self):
        """The whole stored state as plain data keyed by resource path, with
        ids, timestamps, fingerprints and peering stateDetails left out and
        peerings sorted by name, so two snapshots of equal topologies are
        equal.  Operations are not part of it."""
        volatile = ("id", "creationTimestamp", "selfLinkWithId", "fingerprint")
        with self.lock:
            result = {}
            for path in sorted(self._resources):
                resource = self._output(path)
                for key in volatile:
                    resource.pop(key, None)
                if "peerings" in resource:
                    for peering in resource["peerings"]:
                        peering.pop("stateDetails", None)
                    resource["peerings"].sort(key=lambda p: p["name"])
                if "subnetworks" in resource:
                    resource["subnetworks"].sort()
                result[path] = resource
            return result
