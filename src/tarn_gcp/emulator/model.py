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

import base64
import copy
import fnmatch
import functools
import hashlib
import http
import ipaddress
import itertools
import re
import threading
import time
import uuid
from datetime import datetime

API_ROOT = "https://www.googleapis.com/compute/v1/"

NAME_PATTERN = r"[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?"
PROJECT_PATTERN = (r"(?:(?:[-a-z0-9]{1,63}\.)*(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?):)?"
                   r"(?:[0-9]{1,19}|(?:[a-z0-9](?:[-a-z0-9]{0,61}[a-z0-9])?))")
_NAME_RE = re.compile(NAME_PATTERN)
_PROJECT_RE = re.compile(PROJECT_PATTERN)

PEERING_IN_PROGRESS = ("There is a peering operation in progress on the local or peer "
                       "network. Try again later.")

_REASONS = {400: "invalid", 401: "required", 403: "forbidden", 404: "notFound",
            405: "httpMethodNotAllowed", 409: "alreadyExists", 412: "conditionNotMet",
            429: "rateLimitExceeded", 500: "backendError", 503: "backendError"}
_OP_CODES = {400: "INVALID_USAGE", 403: "PERMISSION_DENIED", 404: "RESOURCE_NOT_FOUND",
             409: "RESOURCE_ALREADY_EXISTS", 412: "CONDITION_NOT_MET",
             429: "RATE_LIMIT_EXCEEDED", 500: "INTERNAL_ERROR", 503: "SERVICE_UNAVAILABLE"}

# Fields the service fills in itself; they are ignored when sent on insert
# or patch (a route fetched with routes.get can be inserted again as it is).
_OUTPUT_ONLY = {"kind", "id", "creationTimestamp", "selfLink", "selfLinkWithId",
                "warnings", "fingerprint", "status", "statusMessage"}
_ROUTE_OUTPUT_ONLY = _OUTPUT_ONLY | {
    "routeType", "routeStatus", "asPaths", "nextHopPeering", "nextHopNetwork", "nextHopHub",
    "nextHopOrigin", "nextHopMed", "nextHopInterRegionCost", "nextHopInterconnectAttachment"}
_ROUTE_HOPS = ("nextHopGateway", "nextHopInstance", "nextHopIp", "nextHopIlb", "nextHopVpnTunnel")

_PEERING_FLAGS = (("autoCreateRoutes", True), ("exchangeSubnetRoutes", True),
                  ("exportCustomRoutes", False), ("importCustomRoutes", False),
                  ("exportSubnetRoutesWithPublicIp", True),
                  ("importSubnetRoutesWithPublicIp", False))
_STACK_TYPES = ("IPV4_ONLY", "IPV4_IPV6")
_ADVERTISE_MODES = ("CUSTOM", "DEFAULT")
_ADVERTISED_GROUPS = ("ALL_SUBNETS",)

# Where each collection lives: "global", "regions" or "zones".
_SCOPES = {"networks": "global", "routes": "global", "gateways": "global",
           "subnetworks": "regions", "routers": "regions", "forwardingRules": "regions",
           "vpnTunnels": "regions", "instances": "zones", "machineTypes": "zones"}
_KINDS = {"networks": "compute#network", "subnetworks": "compute#subnetwork",
          "instances": "compute#instance", "routes": "compute#route",
          "routers": "compute#router"}


class ApiError(Exception):
    """A refusal as the API reports it: an HTTP status and a message."""

    def __init__(self, code, message, reason=None, domain="global", op_code=None, *,
                 status=None, details=None):
        super().__init__(message)
        self.code = int(code)
        self.message = message
        self.reason = reason or _REASONS.get(self.code, "backendError")
        self.domain = domain
        self.op_code = op_code or _OP_CODES.get(self.code, "INTERNAL_ERROR")
        self.status = status          # e.g. "INVALID_ARGUMENT", as the JSON front end says
        self.details = details

    def body(self):
        """The JSON error body of an HTTP response."""
        error = {"code": self.code, "message": self.message,
                 "errors": [{"message": self.message, "domain": self.domain,
                             "reason": self.reason}]}
        if self.status is not None:
            error["status"] = self.status
        if self.details is not None:
            error["details"] = self.details
        return {"error": error}

    def __repr__(self):
        return "ApiError(%d, %r)" % (self.code, self.message)


def not_found(path):
    return ApiError(404, "The resource '%s' was not found" % path, "notFound")


def already_exists(path):
    return ApiError(409, "The resource '%s' already exists" % path, "alreadyExists")


def invalid(field, value, detail):
    return ApiError(400, "Invalid value for field '%s': '%s'. %s" % (field, value, detail),
                    "invalid")


def bad_request(message):
    return ApiError(400, message, "badRequest")


def link(path):
    """The self-link of a relative resource path."""
    return API_ROOT + path


def now_rfc3339():
    return datetime.now().astimezone().isoformat(timespec="milliseconds")


def is_name(value):
    return isinstance(value, str) and _NAME_RE.fullmatch(value) is not None


def is_project(value):
    return isinstance(value, str) and _PROJECT_RE.fullmatch(value) is not None


def check_name(value, field="resource.name"):
    if not is_name(value):
        raise invalid(field, value, "Must be a match of regex '(?:%s)'" % NAME_PATTERN)
    return value


_URL_PREFIX = re.compile(r"^(?:[a-z]+://[^/]+)?/*(?:compute/(?:v1|beta|alpha)/)?")


def ref_path(value, project, collection, field, scope=None):
    """Canonical relative path of a reference given as a full or partial URL.

    Accepted: full URLs of any host ending in compute/v1/..., project paths
    ("projects/P/global/networks/N"), project-relative paths
    ("global/networks/N", "zones/Z/instances/I") and, for global collections
    or when ``scope`` gives the region/zone, a bare name.
    """
    if not isinstance(value, str) or not value:
        raise invalid(field, value, "The URL is malformed.")
    parts = _URL_PREFIX.sub("", value, count=1).split("/")
    if parts[0] == "projects" and len(parts) >= 2:
        project, parts = parts[1], parts[2:]
    kind = _SCOPES[collection]
    if kind == "global":
        if len(parts) == 3 and parts[0] == "global" and parts[1] == collection:
            parts = parts[2:]
        ok = len(parts) == 1 and is_name(parts[0])
        where = "global"
    else:
        if len(parts) == 1 and scope:
            parts = [kind, scope, collection, parts[0]]
        ok = (len(parts) == 4 and parts[0] == kind and parts[2] == collection
              and is_name(parts[1]) and is_name(parts[3]))
        where = "/".join(parts[:2])
        parts = parts[3:]
    if not ok or not is_project(project):
        raise invalid(field, value, "The URL is malformed.")
    return "projects/%s/%s/%s/%s" % (project, where, collection, parts[0])


def region_of_zone(zone):
    return zone.rsplit("-", 1)[0]


def merge_patch(target, patch):
    """JSON merge patch: dicts merge, anything else (lists included) replaces,
    None removes the key."""
    if not isinstance(patch, dict):
        return copy.deepcopy(patch)
    result = dict(target) if isinstance(target, dict) else {}
    for key, value in patch.items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = merge_patch(result.get(key), value)
    return result


def _prune(value):
    """Drops empty lists and None values, as the API leaves such fields out."""
    if isinstance(value, dict):
        return {k: _prune(v) for k, v in value.items() if v is not None and v != []}
    if isinstance(value, list):
        return [_prune(v) for v in value]
    return value


def _cidr(value, field, version=None):
    try:
        net = ipaddress.ip_network(value, strict=True)
    except (ValueError, TypeError):
        raise invalid(field, value, "Must be a valid CIDR range with no host bits set.")
    if version and net.version != version:
        raise invalid(field, value, "Must be an IPv%d range." % version)
    return net


def _bool(body, key, default, field):
    value = body.get(key, default)
    if not isinstance(value, bool):
        raise invalid(field, value, "Must be a boolean.")
    return value


def _int(value, field, low, high):
    if isinstance(value, str) and value.isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise invalid(field, value, "Must be an integer between %d and %d." % (low, high))
    return value


def _text(body, key, field):
    value = body.get(key)
    if value is not None and not isinstance(value, str):
        raise invalid(field, value, "Must be a string.")
    return value


def _names(*values):
    return {v for v in values if isinstance(v, str) and v}


def _collection(path):
    return path.split("/")[-2]


def _mutation(method):
    """Runs a mutating call under the lock; a repeated requestId returns the
    operation of the first call instead of making the change again."""
    @functools.wraps(method)
    def wrapper(self, project, *args, request_id=None):
        with self.lock:
            if request_id and (project, request_id) in self._request_ids:
                return copy.deepcopy(self._ops[self._request_ids[project, request_id]].record)
            return method(self, project, *args, request_id=request_id)
    return wrapper


class _Operation:
    __slots__ = ("record", "apply", "error", "hold", "held_in", "method", "names")

    def __init__(self, record, apply, error, hold, held_in="RUNNING", method=None, names=()):
        self.record = record
        self.apply = apply
        self.error = error
        self.hold = hold          # polls still to stay in held_in (math.inf: until released)
        self.held_in = held_in
        self.method = method
        self.names = frozenset(names)


class ComputeModel:
    """The state and behaviour of the emulated Compute Engine API.

    ``faults`` is consulted for operation faults and peering refusals (see
    :class:`tarn_gcp.emulator.faults.Faults`).  With ``wait_completes`` a
    ``wait`` call drives its operation to DONE at once (unless a fault holds
    it), the way the real ``wait`` usually returns; by default every poll
    moves it one step.
    """

    def __init__(self, faults=None, wait_completes=False):
        self.lock = threading.RLock()
        self.faults = faults
        self.wait_completes = wait_completes
        self._projects = set()
        self._res = {}
        self._by_id = {}
        self._ops = {}
        self._request_ids = {}
        self._ids = itertools.count(5170000000000000001, 7919)

    # ----------------------------------------------------------- plumbing

    def reset(self):
        """Forgets every project, resource and operation."""
        with self.lock:
            self._projects.clear()
            self._res.clear()
            self._by_id.clear()
            self._ops.clear()
            self._request_ids.clear()

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
            return self._res[path]
        except KeyError:
            raise not_found(path) from None

    def _resolve(self, project, where, collection, name):
        """The stored path of a resource named or numbered in a request."""
        self._need_project(project)
        if name.isdigit():
            path = self._by_id.get(name)
            prefix = "projects/%s/%s/%s/" % (project, where, collection)
            if path and path.startswith(prefix):
                return path
        return "projects/%s/%s/%s/%s" % (project, where, collection, name)

    def _put(self, path, resource):
        self._res[path] = resource
        self._by_id[resource["id"]] = path

    def _drop(self, path):
        resource = self._res.pop(path)
        self._by_id.pop(resource["id"], None)

    def _operation(self, project, scope, op_type, target_path, target_id, method, names,
                   apply, request_id=None):
        """Records an operation for an accepted change.

        Global operations keep ``apply`` for DONE; regional and zonal ones
        apply it now.  A fault may make the operation fail (its change is
        then never applied) or hold it PENDING or RUNNING.  Fault rules see
        the project and, for a regional or zonal operation, the region or
        zone among the names.
        """
        error, hold, held_in = None, 0, "RUNNING"
        names = names | {project} | ({scope[1]} if scope is not None else set())
        if self.faults is not None:
            error, hold, held_in = self.faults.operation_fault(method, names)
        stamp = int(time.time() * 1000)
        name = "operation-%d-%s-%s-%s" % (stamp, uuid.uuid4().hex[:13],
                                          uuid.uuid4().hex[:8], uuid.uuid4().hex[:8])
        where = "global" if scope is None else "%s/%s" % scope
        path = "projects/%s/%s/operations/%s" % (project, where, name)
        record = {"kind": "compute#operation", "id": self._new_id(), "name": name,
                  "operationType": op_type, "targetLink": link(target_path),
                  "targetId": target_id, "status": "PENDING",
                  "user": "anonymous@tarn-emulator.invalid", "progress": 0,
                  "insertTime": now_rfc3339(), "selfLink": link(path)}
        if scope is not None:
            record[{"regions": "region", "zones": "zone"}[scope[0]]] = link(
                "projects/%s/%s" % (project, where))
        if scope is not None and error is None:
            apply()
            apply = None
        self._ops[path] = _Operation(record, apply, error, hold, held_in, method, names)
        if request_id:
            self._request_ids[project, request_id] = path
        return copy.deepcopy(record)

    def _advance(self, op):
        record = op.record
        if op.hold > 0 and record["status"] == op.held_in:
            op.hold -= 1
            return
        if record["status"] == "PENDING":
            record["status"] = "RUNNING"
            record["startTime"] = now_rfc3339()
        elif record["status"] == "RUNNING":
            error = op.error
            if error is None and op.apply is not None:
                try:
                    op.apply()
                except ApiError as exc:
                    error = exc
            op.apply = None
            if error is not None:
                record["error"] = {"errors": [{"code": error.op_code, "message": error.message}]}
                record["httpErrorStatusCode"] = error.code
                try:
                    record["httpErrorMessage"] = http.HTTPStatus(error.code).phrase.upper()
                except ValueError:
                    record["httpErrorMessage"] = "ERROR"
            record["status"] = "DONE"
            record["progress"] = 100
            record["endTime"] = now_rfc3339()

    def poll_operation(self, project, operation, scope=None, wait=False):
        """globalOperations (scope None), regionOperations (("regions", R)) or
        zoneOperations (("zones", Z)) get/wait: advances and returns it."""
        with self.lock:
            self._need_project(project)
            where = "global" if scope is None else "%s/%s" % scope
            path = self._resolve(project, where, "operations", operation)
            op = self._ops.get(path)
            if op is None:
                raise not_found(path)
            if wait and self.wait_completes:
                # One wait uses up one held poll, else it ends the operation.
                if op.hold > 0 and op.record["status"] != "DONE":
                    if op.record["status"] == "PENDING" and op.held_in == "RUNNING":
                        self._advance(op)
                    op.hold -= 1
                else:
                    while op.record["status"] != "DONE":
                        self._advance(op)
            else:
                self._advance(op)
            return copy.deepcopy(op.record)

    def operations(self):
        """Every operation record, oldest first, each with the method id
        that made it under "method" (not an API field)."""
        with self.lock:
            return [dict(copy.deepcopy(op.record), method=op.method) for op in self._ops.values()]

    def release_operations(self, method=None, name=None):
        """Ends the hold of unfinished operations (of ``method``, a method id
        or shell-style pattern, and naming ``name``, when given), held for a
        number of polls or until released; they finish on their next poll
        (or two, from PENDING).  Returns how many were released."""
        count = 0
        with self.lock:
            for op in self._ops.values():
                if (op.hold > 0 and op.record["status"] != "DONE"
                        and (method is None or fnmatch.fnmatchcase(op.method or "", method))
                        and (name is None or name in op.names)):
                    op.hold = 0
                    count += 1
        return count

    # ------------------------------------------------------------ reading

    def _output(self, path):
        return _prune(copy.deepcopy(self._res[path]))

    def get(self, project, collection, name, scope=None):
        """A resource as the API's get returns it; ``scope`` is the region
        or zone name for regional and zonal collections."""
        with self.lock:
            kind = _SCOPES[collection]
            where = "global" if kind == "global" else "%s/%s" % (kind, scope)
            path = self._resolve(project, where, collection, name)
            if collection == "routes":
                for route in self._routes(project):
                    if route["name"] == name or route["id"] == name:
                        return _prune(copy.deepcopy(route))
                raise not_found(path)
            self._stored(path)
            return self._output(path)

    def list(self, project, collection, scope=None):
        """All resources of one collection in a project (and region or zone),
        in name order."""
        with self.lock:
            self._need_project(project)
            if collection == "routes":
                return [_prune(copy.deepcopy(r)) for r in self._routes(project)]
            kind = _SCOPES[collection]
            where = "global" if kind == "global" else "%s/%s" % (kind, scope)
            prefix = "projects/%s/%s/%s/" % (project, where, collection)
            return [self._output(p) for p in sorted(self._res)
                    if p.startswith(prefix) and "/" not in p[len(prefix):]]

    def _routes(self, project):
        """The routes a project's route table shows: stored static routes,
        peering routes of ACTIVE peerings and one local route per subnetwork."""
        routes = []
        prefix = "projects/%s/" % project
        for path in sorted(self._res):
            if not path.startswith(prefix):
                continue
            resource = self._res[path]
            collection = _collection(path)
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
        digest = hashlib.md5(path.encode()).hexdigest()
        name = "default-route-" + digest[:16]
        return {"kind": "compute#route", "id": str(int(digest[16:31], 16)),
                "creationTimestamp": subnet["creationTimestamp"], "name": name,
                "description": "Default local route to the subnetwork %s." % subnet["ipCidrRange"],
                "network": subnet["network"], "destRange": subnet["ipCidrRange"],
                "priority": 0, "nextHopNetwork": subnet["network"], "routeType": "SUBNET",
                "selfLink": link("%s/global/routes/%s" % ("/".join(path.split("/")[:2]), name))}

    def _peering_active(self, network_link, peering_name):
        network = self._res.get(network_link[len(API_ROOT):])
        return network is not None and any(
            p["name"] == peering_name and p["state"] == "ACTIVE"
            for p in network.get("peerings", []))

    def snapshot(self):
        """The whole stored state as plain data keyed by resource path, with
        ids, timestamps, fingerprints and peering stateDetails left out and
        peerings sorted by name, so two snapshots of equal topologies are
        equal.  Operations are not part of it."""
        volatile = ("id", "creationTimestamp", "selfLinkWithId", "fingerprint")
        with self.lock:
            result = {}
            for path in sorted(self._res):
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

    # ----------------------------------------------------------- networks

    def _build_network(self, project, body):
        name = check_name(body.get("name"))
        if body.get("IPv4Range"):
            raise invalid("resource.IPv4Range", body["IPv4Range"],
                          "Legacy networks are not supported.")
        routing = body.get("routingConfig") or {}
        mode = routing.get("routingMode", "REGIONAL") if isinstance(routing, dict) else routing
        if mode not in ("REGIONAL", "GLOBAL"):
            raise invalid("resource.routingConfig.routingMode", mode, "Must be REGIONAL or GLOBAL.")
        path = "projects/%s/global/networks/%s" % (project, name)
        network = {"kind": _KINDS["networks"], "id": self._new_id(),
                   "creationTimestamp": now_rfc3339(), "name": name,
                   "description": _text(body, "description", "resource.description"),
                   "selfLink": link(path),
                   "autoCreateSubnetworks": _bool(body, "autoCreateSubnetworks", False,
                                                  "resource.autoCreateSubnetworks"),
                   "subnetworks": [], "peerings": [],
                   "routingConfig": {"routingMode": mode},
                   "mtu": _int(body.get("mtu", 1460), "resource.mtu", 1300, 8896),
                   "networkFirewallPolicyEnforcementOrder": "AFTER_CLASSIC_FIREWALL"}
        network["selfLinkWithId"] = link("projects/%s/global/networks/%s" % (project, network["id"]))
        return path, network

    @_mutation
    def insert_network(self, project, body, request_id=None):
        self._need_project(project)
        path, network = self._build_network(project, body)

        def apply():
            if path in self._res:
                raise already_exists(path)
            self._put(path, network)
            self._refresh_peerings()
        if path in self._res:
            raise already_exists(path)
        return self._operation(project, None, "insert", path, network["id"],
                               "compute.networks.insert", _names(network["name"]),
                               apply, request_id)

    # ----------------------------------------------------------- peerings

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
            record[key] = _bool(spec, key, default, "%s.%s" % (field, key))
        if not record["exchangeSubnetRoutes"] or not record["autoCreateRoutes"]:
            raise invalid(field + ".exchangeSubnetRoutes", False,
                          "Subnet routes are always exchanged between peered networks.")
        stack = spec.get("stackType", "IPV4_ONLY")
        if stack not in _STACK_TYPES:
            raise invalid(field + ".stackType", stack, "Must be one of %s." % ", ".join(_STACK_TYPES))
        record["stackType"] = stack
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

    @_mutation
    def add_peering(self, project, network, body, request_id=None):
        """networks.addPeering: the record is INACTIVE until the peer network
        holds a record naming this network, then both are ACTIVE."""
        path = self._resolve(project, "global", "networks", network)
        self._stored(path)
        self._refuse_if_peering_busy()
        record = self._build_peering(project, path, body)
        self._check_new_peering(path, record)

        def apply():
            self._check_new_peering(path, record)
            self._res[path]["peerings"].append(copy.deepcopy(record))
            self._refresh_peerings()
        return self._operation(project, None, "addPeering", path, self._res[path]["id"],
                               "compute.networks.addPeering",
                               _names(network, record["name"]), apply, request_id)

    @_mutation
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
        find()

        def apply():
            del self._res[path]["peerings"][find()]
            self._refresh_peerings()
        return self._operation(project, None, "removePeering", path, self._res[path]["id"],
                               "compute.networks.removePeering", _names(network, name),
                               apply, request_id)

    def _refresh_peerings(self):
        """Recomputes every peering's state from the records on both sides."""
        stamp = now_rfc3339()
        for path, resource in self._res.items():
            if _collection(path) != "networks":
                continue
            own = link(path)
            for peering in resource["peerings"]:
                peer = self._res.get(peering["network"][len(API_ROOT):])
                active = peer is not None and any(
                    p["network"] == own for p in peer["peerings"])
                state = "ACTIVE" if active else "INACTIVE"
                if state != peering["state"] or not peering["stateDetails"]:
                    peering["state"] = state
                    peering["stateDetails"] = "[%s]: %s" % (
                        stamp, "Connected." if active else "Waiting for peer network to connect.")

    # -------------------------------------------------------- subnetworks

    def _build_subnetwork(self, project, region, body):
        name = check_name(body.get("name"))
        self._check_region_field(body, region)
        network_path = ref_path(body.get("network"), project, "networks", "resource.network")
        if network_path not in self._res:
            raise invalid("resource.network", body.get("network"),
                          "The referenced network resource cannot be found.")
        primary = _cidr(body.get("ipCidrRange"), "resource.ipCidrRange", 4)
        if primary.prefixlen > 29:
            raise invalid("resource.ipCidrRange", body.get("ipCidrRange"),
                          "The prefix length must be 29 or shorter.")
        ranges = [primary]
        secondary = []
        for i, item in enumerate(body.get("secondaryIpRanges") or []):
            field = "resource.secondaryIpRanges[%d]" % i
            if not isinstance(item, dict):
                raise invalid(field, item, "Must be an object.")
            range_name = check_name(item.get("rangeName"), field + ".rangeName")
            ranges.append(_cidr(item.get("ipCidrRange"), field + ".ipCidrRange", 4))
            secondary.append({"rangeName": range_name, "ipCidrRange": str(ranges[-1])})
        taken = []
        for other in self._res.values():
            if other.get("kind") == _KINDS["subnetworks"] and other["network"] == link(network_path):
                taken.append(ipaddress.ip_network(other["ipCidrRange"]))
                taken.extend(ipaddress.ip_network(s["ipCidrRange"])
                             for s in other.get("secondaryIpRanges", []))
        for i, net in enumerate(ranges):
            if any(net.overlaps(t) for t in taken + ranges[:i]):
                raise invalid("resource.ipCidrRange", str(net),
                              "The range conflicts with an existing range of the network.")
        path = "projects/%s/regions/%s/subnetworks/%s" % (project, region, name)
        subnet = {"kind": _KINDS["subnetworks"], "id": self._new_id(),
                  "creationTimestamp": now_rfc3339(), "name": name,
                  "description": _text(body, "description", "resource.description"),
                  "network": link(network_path), "ipCidrRange": str(primary),
                  "gatewayAddress": str(primary.network_address + 1),
                  "region": link("projects/%s/regions/%s" % (project, region)),
                  "selfLink": link(path),
                  "privateIpGoogleAccess": _bool(body, "privateIpGoogleAccess", False,
                                                 "resource.privateIpGoogleAccess"),
                  "secondaryIpRanges": secondary,
                  "fingerprint": base64.b64encode(hashlib.md5(path.encode()).digest()[:8]).decode(),
                  "stackType": "IPV4_ONLY", "purpose": "PRIVATE"}
        return path, subnet

    @staticmethod
    def _check_region_field(body, region):
        given = body.get("region")
        if given is not None and (not isinstance(given, str)
                                  or given.rstrip("/").split("/")[-1] != region):
            raise invalid("resource.region", given, "Must be the region of the request, %s." % region)

    @_mutation
    def insert_subnetwork(self, project, region, body, request_id=None):
        self._need_project(project)
        check_name(region, "region")
        path, subnet = self._build_subnetwork(project, region, body)
        if path in self._res:
            raise already_exists(path)

        def apply():
            self._put(path, subnet)
            self._res[subnet["network"][len(API_ROOT):]]["subnetworks"].append(subnet["selfLink"])
        return self._operation(project, ("regions", region), "insert", path, subnet["id"],
                               "compute.subnetworks.insert", _names(subnet["name"]),
                               apply, request_id)

    # ---------------------------------------------------------- instances

    def _build_instance(self, project, zone, body):
        name = check_name(body.get("name"))
        machine = body.get("machineType")
        machine_path = ref_path(machine, project, "machineTypes", "resource.machineType", zone)
        nics = body.get("networkInterfaces")
        if not isinstance(nics, list) or not nics:
            raise invalid("resource.networkInterfaces", nics,
                          "An instance needs at least one network interface.")
        region = region_of_zone(zone)
        interfaces = []
        for i, nic in enumerate(nics):
            field = "resource.networkInterfaces[%d]" % i
            if not isinstance(nic, dict):
                raise invalid(field, nic, "Must be an object.")
            subnet = None
            if nic.get("subnetwork"):
                subnet_path = ref_path(nic["subnetwork"], project, "subnetworks",
                                       field + ".subnetwork", region)
                subnet = self._res.get(subnet_path)
                if subnet is None or subnet_path.split("/")[3] != region:
                    raise invalid(field + ".subnetwork", nic["subnetwork"],
                                  "The referenced subnetwork resource cannot be found.")
            if nic.get("network"):
                network_path = ref_path(nic["network"], project, "networks", field + ".network")
            elif subnet is not None:
                network_path = subnet["network"][len(API_ROOT):]
            else:
                raise invalid(field, nic, "A network or a subnetwork must be given.")
            if network_path not in self._res:
                raise invalid(field + ".network", nic.get("network"),
                              "The referenced network resource cannot be found.")
            if subnet is None:
                candidates = [s for s in self._res.values() if s.get("kind") == _KINDS["subnetworks"]
                              and s["network"] == link(network_path)
                              and s["region"].endswith("/regions/" + region)]
                if not candidates:
                    raise invalid(field, nic.get("network"),
                                  "The network has no subnetwork in region %s." % region)
                subnet = candidates[0]
            if subnet["network"] != link(network_path):
                raise invalid(field + ".subnetwork", nic.get("subnetwork"),
                              "The subnetwork does not belong to the network.")
            address = self._address(subnet, nic.get("networkIP"), field + ".networkIP")
            interfaces.append({"kind": "compute#networkInterface", "name": "nic%d" % i,
                               "network": link(network_path), "subnetwork": subnet["selfLink"],
                               "networkIP": address})
        path = "projects/%s/zones/%s/instances/%s" % (project, zone, name)
        instance = {"kind": _KINDS["instances"], "id": self._new_id(),
                    "creationTimestamp": now_rfc3339(), "name": name,
                    "description": _text(body, "description", "resource.description"),
                    "zone": link("projects/%s/zones/%s" % (project, zone)),
                    "machineType": link(machine_path), "status": "RUNNING",
                    "canIpForward": _bool(body, "canIpForward", False, "resource.canIpForward"),
                    "networkInterfaces": interfaces, "selfLink": link(path)}
        if isinstance(body.get("labels"), dict):
            instance["labels"] = dict(body["labels"])
        return path, instance

    def _address(self, subnet, wanted, field):
        net = ipaddress.ip_network(subnet["ipCidrRange"])
        used = {nic["networkIP"] for r in self._res.values() if r.get("kind") == _KINDS["instances"]
                for nic in r["networkInterfaces"] if nic["subnetwork"] == subnet["selfLink"]}
        if wanted is not None:
            try:
                address = ipaddress.ip_address(wanted)
            except ValueError:
                raise invalid(field, wanted, "Must be an IP address.") from None
            if address not in net or str(address) in used:
                raise invalid(field, wanted, "The address is not free in the subnetwork.")
            return str(address)
        for address in itertools.islice(net.hosts(), 1, None):
            if str(address) not in used:
                return str(address)
        raise bad_request("The subnetwork %s has no free address." % subnet["name"])

    @_mutation
    def insert_instance(self, project, zone, body, request_id=None):
        self._need_project(project)
        check_name(zone, "zone")
        path, instance = self._build_instance(project, zone, body)
        if path in self._res:
            raise already_exists(path)
        return self._operation(project, ("zones", zone), "insert", path, instance["id"],
                               "compute.instances.insert", _names(instance["name"]),
                               lambda: self._put(path, instance), request_id)

    # ------------------------------------------------------------- routes

    def _build_route(self, project, body, seeding=False):
        if not isinstance(body, dict):
            raise bad_request("The request body must be an object.")
        ignored = {"nextHopPeering"} if seeding else set()
        body = {k: v for k, v in body.items() if k not in _ROUTE_OUTPUT_ONLY - ignored}
        name = check_name(body.get("name"))
        network_path = ref_path(body.get("network"), project, "networks", "resource.network")
        if network_path not in self._res:
            raise invalid("resource.network", body.get("network"),
                          "The referenced network resource cannot be found.")
        dest = _cidr(body.get("destRange"), "resource.destRange")
        priority = _int(body.get("priority", 1000), "resource.priority", 0, 65535)
        tags = body.get("tags") or []
        if not isinstance(tags, list) or not all(is_name(t) for t in tags):
            raise invalid("resource.tags", tags, "Must be a list of tag names.")
        hops = [key for key in _ROUTE_HOPS if body.get(key)]
        if seeding and body.get("nextHopPeering"):
            hops.append("nextHopPeering")
        if len(hops) != 1:
            raise invalid("resource", name, "Exactly one of %s must be set." % ", ".join(_ROUTE_HOPS))
        hop, value = hops[0], body[hops[0]]
        field = "resource." + hop
        if hop == "nextHopInstance":
            target = ref_path(value, project, "instances", field)
            if target not in self._res:
                raise invalid(field, value, "The referenced instance resource cannot be found.")
            value = link(target)
        elif hop == "nextHopIp":
            try:
                value = str(ipaddress.ip_address(value))
            except ValueError:
                raise invalid(field, value, "Must be an IP address.") from None
        elif hop == "nextHopGateway":
            target = ref_path(value, project, "gateways", field)
            if not target.endswith("/default-internet-gateway"):
                raise invalid(field, value, "Only the default internet gateway is supported.")
            value = link(target)
        elif hop == "nextHopIlb":
            try:
                value = str(ipaddress.ip_address(value))
            except ValueError:
                value = link(ref_path(value, project, "forwardingRules", field))
        elif hop == "nextHopVpnTunnel":
            value = link(ref_path(value, project, "vpnTunnels", field))
        else:
            check_name(value, field)
        path = "projects/%s/global/routes/%s" % (project, name)
        route = {"kind": _KINDS["routes"], "id": self._new_id(), "creationTimestamp": now_rfc3339(),
                 "name": name, "description": _text(body, "description", "resource.description"),
                 "network": link(network_path), "tags": list(tags),
                 "destRange": str(dest), "priority": priority, hop: value,
                 "routeType": "STATIC", "selfLink": link(path)}
        if hop == "nextHopPeering":
            del route["routeType"]
        return path, route

    def _check_route_free(self, path, name, project):
        if path in self._res or any(r["name"] == name for r in self._routes(project)):
            raise already_exists(path)

    @_mutation
    def insert_route(self, project, body, request_id=None):
        self._need_project(project)
        path, route = self._build_route(project, body)
        self._check_route_free(path, route["name"], project)

        def apply():
            self._check_route_free(path, route["name"], project)
            if route["network"][len(API_ROOT):] not in self._res:
                raise invalid("resource.network", route["network"],
                              "The referenced network resource cannot be found.")
            self._put(path, route)
        return self._operation(project, None, "insert", path, route["id"],
                               "compute.routes.insert", _names(route["name"]),
                               apply, request_id)

    @_mutation
    def delete_route(self, project, route, request_id=None):
        path = self._resolve(project, "global", "routes", route)
        shown = self.get(project, "routes", route)
        if path not in self._res or "nextHopPeering" in self._res[path]:
            raise bad_request("The route '%s' is maintained by the service and cannot be "
                              "deleted." % path)

        def apply():
            self._stored(path)
            self._drop(path)
        return self._operation(project, None, "delete", path, shown["id"],
                               "compute.routes.delete", _names(shown["name"]),
                               apply, request_id)

    # ------------------------------------------------------------ routers

    def _build_router(self, project, region, body, existing=None):
        name = check_name(body.get("name"))
        self._check_region_field(body, region)
        network_path = ref_path(body.get("network"), project, "networks", "resource.network")
        if network_path not in self._res:
            raise invalid("resource.network", body.get("network"),
                          "The referenced network resource cannot be found.")
        if existing is not None and link(network_path) != existing["network"]:
            raise invalid("resource.network", body.get("network"),
                          "The network of a router cannot be changed.")
        bgp = body.get("bgp")
        if bgp is not None:
            bgp = self._build_bgp(bgp)
        path = "projects/%s/regions/%s/routers/%s" % (project, region, name)
        router = {"kind": _KINDS["routers"],
                  "id": existing["id"] if existing else self._new_id(),
                  "creationTimestamp": existing["creationTimestamp"] if existing else now_rfc3339(),
                  "name": name, "description": _text(body, "description", "resource.description"),
                  "region": link("projects/%s/regions/%s" % (project, region)),
                  "network": link(network_path), "bgp": bgp}
        for key in ("bgpPeers", "interfaces", "nats"):
            value = body.get(key) or []
            if not isinstance(value, list):
                raise invalid("resource." + key, value, "Must be a list.")
            router[key] = copy.deepcopy(value)
        router["selfLink"] = link(path)
        return path, router

    @staticmethod
    def _build_bgp(bgp):
        if not isinstance(bgp, dict):
            raise invalid("resource.bgp", bgp, "Must be an object.")
        if "asn" not in bgp:
            raise invalid("resource.bgp.asn", None, "The ASN of the router must be given.")
        out = {"asn": _int(bgp["asn"], "resource.bgp.asn", 1, 4294967294)}
        mode = bgp.get("advertiseMode", "DEFAULT")
        if mode not in _ADVERTISE_MODES:
            raise invalid("resource.bgp.advertiseMode", mode, "Must be CUSTOM or DEFAULT.")
        out["advertiseMode"] = mode
        groups = bgp.get("advertisedGroups") or []
        if not isinstance(groups, list):
            raise invalid("resource.bgp.advertisedGroups", groups, "Must be a list.")
        for i, group in enumerate(groups):
            field = "resource.bgp.advertisedGroups[%d]" % i
            if group not in _ADVERTISED_GROUPS:
                raise invalid(field, group, "Must be one of %s." % ", ".join(_ADVERTISED_GROUPS))
            if group in groups[:i]:
                raise invalid(field, group, "The group is listed twice.")
        ranges = bgp.get("advertisedIpRanges") or []
        if not isinstance(ranges, list):
            raise invalid("resource.bgp.advertisedIpRanges", ranges, "Must be a list.")
        seen, kept = set(), []
        for i, item in enumerate(ranges):
            field = "resource.bgp.advertisedIpRanges[%d]" % i
            if not isinstance(item, dict):
                raise invalid(field, item, "Must be an object.")
            net = _cidr(item.get("range"), field + ".range")
            if net in seen:
                raise invalid(field + ".range", item.get("range"), "The range is advertised twice.")
            seen.add(net)
            entry = {"range": item["range"]}
            if item.get("description") is not None:
                entry["description"] = _text(item, "description", field + ".description")
            kept.append(entry)
        if mode == "DEFAULT" and (groups or kept):
            raise invalid("resource.bgp.advertiseMode", mode,
                          "Custom advertised groups and ranges need advertiseMode CUSTOM.")
        out["advertisedGroups"] = list(groups)
        out["advertisedIpRanges"] = kept
        out["keepaliveInterval"] = _int(bgp.get("keepaliveInterval", 20),
                                        "resource.bgp.keepaliveInterval", 20, 60)
        return out

    @_mutation
    def insert_router(self, project, region, body, request_id=None):
        self._need_project(project)
        check_name(region, "region")
        if not isinstance(body, dict):
            raise bad_request("The request body must be an object.")
        body = {k: v for k, v in body.items() if k not in _OUTPUT_ONLY}
        path, router = self._build_router(project, region, body)
        if path in self._res:
            raise already_exists(path)
        return self._operation(project, ("regions", region), "insert", path, router["id"],
                               "compute.routers.insert", _names(router["name"]),
                               lambda: self._put(path, router), request_id)

    @_mutation
    def patch_router(self, project, region, router, body, request_id=None):
        """routers.patch as a JSON merge patch of the stored router."""
        path = self._resolve(project, "regions/" + region, "routers", router)
        current = self._stored(path)
        if not isinstance(body, dict):
            raise bad_request("The request body must be an object.")
        patch = {k: v for k, v in body.items() if k not in _OUTPUT_ONLY}
        if "name" in patch and patch["name"] != current["name"]:
            raise invalid("resource.name", patch["name"], "A router cannot be renamed.")
        merged = merge_patch(_prune(copy.deepcopy(current)), patch)
        merged["name"] = current["name"]
        _, updated = self._build_router(project, region, merged, existing=current)

        def apply():
            self._res[path] = updated
        return self._operation(project, ("regions", region), "patch", path, current["id"],
                               "compute.routers.patch", _names(current["name"]),
                               apply, request_id)

    # ------------------------------------------------------------ seeding

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
                self._put(path, subnet)
                self._res[subnet["network"][len(API_ROOT):]]["subnetworks"].append(subnet["selfLink"])
            for project, body in items("instances"):
                path, instance = self._build_instance(project, body.pop("zone"), body)
                self._put(path, instance)
            for project, body in items("peerings"):
                network_path = "projects/%s/global/networks/%s" % (project, body.pop("network"))
                self._stored(network_path)
                record = self._build_peering(project, network_path, body)
                self._check_new_peering(network_path, record)
                self._res[network_path]["peerings"].append(record)
            self._refresh_peerings()
            for project, body in items("routes"):
                path, route = self._build_route(project, body, seeding=True)
                self._check_route_free(path, route["name"], project)
                self._put(path, route)
            for project, body in items("routers"):
                region = body.pop("region")
                path, router = self._build_router(project, region, body)
                if path in self._res:
                    raise already_exists(path)
                self._put(path, router)

