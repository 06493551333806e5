"""The REST front of the emulator: Compute Engine v1 paths and JSON over
HTTP/1.1 on a local port, served by a ThreadingHTTPServer.

Paths are those of the API's discovery document below /compute/v1/.  Errors
carry the API's error body.  Regions and zones a request names must be known
(see ``geography``), and the ``fields`` parameter trims the answer (see
``partial``).  A small control path below /_emulator/ lets a
process that does not hold the Emulator object read the state and inject
faults:

    GET    /_emulator/snapshot     the snapshot (see ComputeModel.snapshot)
    GET    /_emulator/requests     the request log
    GET    /_emulator/operations   every operation record, with its "method"
    POST   /_emulator/faults       {"kind": "request"|"operation"|"hold"|
                                    "peering_in_progress", ...arguments of the
                                    Faults method of that kind}; answers the
                                    rule as data
    GET    /_emulator/faults       the rules, with how often each "fired"
    DELETE /_emulator/faults       removes every fault
    POST   /_emulator/release      {"method": ..., "name": ...} (both
                                    optional): held operations may finish;
                                    answers {"released": N}

For instance a regional operation of a router patch that fails, and one
that stays PENDING until released:

    POST /_emulator/faults {"kind": "operation", "method": "compute.routers.patch",
                            "name": "transit-a-cr-euw1", "status": 400,
                            "message": "Router is busy."}
    POST /_emulator/faults {"kind": "hold", "method": "compute.routers.patch",
                            "polls": null, "state": "PENDING"}
"""

import json
import re
import socket
import sys
import threading
import time
import traceback
import urllib.parse
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import listing, partial, validation
from .errors import ApiError, bad_request
from .paths import API_ROOT, NAME_PATTERN, PROJECT_PATTERN

BASE_PATH = "/compute/v1/"

# The methods the model serves: method id, HTTP method, path below BASE_PATH
# (as the discovery document has them; requests are routed by the document).
# One row per method: the rows look alike on purpose, and `duplicates`
# reports them as one pair of the same shape.
METHODS = (
    ("compute.networks.list", "GET", "projects/{project}/global/networks"),
    ("compute.networks.insert", "POST", "projects/{project}/global/networks"),
    ("compute.networks.get", "GET", "projects/{project}/global/networks/{network}"),
    ("compute.networks.addPeering", "POST",
     "projects/{project}/global/networks/{network}/addPeering"),
    ("compute.networks.removePeering", "POST",
     "projects/{project}/global/networks/{network}/removePeering"),
    ("compute.subnetworks.list", "GET", "projects/{project}/regions/{region}/subnetworks"),
    ("compute.subnetworks.insert", "POST", "projects/{project}/regions/{region}/subnetworks"),
    ("compute.subnetworks.get", "GET",
     "projects/{project}/regions/{region}/subnetworks/{subnetwork}"),
    ("compute.instances.list", "GET", "projects/{project}/zones/{zone}/instances"),
    ("compute.instances.insert", "POST", "projects/{project}/zones/{zone}/instances"),
    ("compute.instances.get", "GET", "projects/{project}/zones/{zone}/instances/{instance}"),
    ("compute.routes.list", "GET", "projects/{project}/global/routes"),
    ("compute.routes.insert", "POST", "projects/{project}/global/routes"),
    ("compute.routes.get", "GET", "projects/{project}/global/routes/{route}"),
    ("compute.routes.delete", "DELETE", "projects/{project}/global/routes/{route}"),
    ("compute.routers.list", "GET", "projects/{project}/regions/{region}/routers"),
    ("compute.routers.insert", "POST", "projects/{project}/regions/{region}/routers"),
    ("compute.routers.get", "GET", "projects/{project}/regions/{region}/routers/{router}"),
    ("compute.routers.patch", "PATCH", "projects/{project}/regions/{region}/routers/{router}"),
    ("compute.globalOperations.get", "GET", "projects/{project}/global/operations/{operation}"),
    ("compute.globalOperations.wait", "POST",
     "projects/{project}/global/operations/{operation}/wait"),
    ("compute.regionOperations.get", "GET",
     "projects/{project}/regions/{region}/operations/{operation}"),
    ("compute.regionOperations.wait", "POST",
     "projects/{project}/regions/{region}/operations/{operation}/wait"),
    ("compute.zoneOperations.get", "GET", "projects/{project}/zones/{zone}/operations/{operation}"),
    ("compute.zoneOperations.wait", "POST",
     "projects/{project}/zones/{zone}/operations/{operation}/wait"),
    ("compute.globalOperations.list", "GET", "projects/{project}/global/operations"),
    ("compute.regionOperations.list", "GET", "projects/{project}/regions/{region}/operations"),
    ("compute.zoneOperations.list", "GET", "projects/{project}/zones/{zone}/operations"),
    ("compute.globalOperations.aggregatedList", "GET", "projects/{project}/aggregated/operations"),
    ("compute.subnetworks.aggregatedList", "GET", "projects/{project}/aggregated/subnetworks"),
    ("compute.routers.aggregatedList", "GET", "projects/{project}/aggregated/routers"),
    ("compute.instances.aggregatedList", "GET", "projects/{project}/aggregated/instances"),
    ("compute.subnetworks.listUsable", "GET",
     "projects/{project}/aggregated/subnetworks/listUsable"),
    ("compute.routers.getRouterStatus", "GET",
     "projects/{project}/regions/{region}/routers/{router}/getRouterStatus"),
    ("compute.networks.listPeeringRoutes", "GET",
     "projects/{project}/global/networks/{network}/listPeeringRoutes"),
)

_PARAM_PATTERNS = {"project": PROJECT_PATTERN, "region": NAME_PATTERN, "zone": NAME_PATTERN}
_ID_OR_NAME = NAME_PATTERN + r"|[1-9][0-9]{0,19}"


_IMPLEMENTED = frozenset(method_id for method_id, _, _ in METHODS)
MAX_BODY = 1 << 20   # no request of this API comes near


def _utf8(raw):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise validation.payload_error(
            "Invalid JSON payload received. The body is not UTF-8 (byte %d)." % exc.start) \
            from None


def _check_params(params):
    for key, value in params.items():
        pattern = _PARAM_PATTERNS.get(key, _ID_OR_NAME)
        if re.fullmatch(pattern, value) is None:
            raise ApiError(400, "Invalid value for field '%s': '%s'. Must be a match of regex "
                           "'%s'" % (key, value, pattern), "invalid")


def _list(model, params, query, collection, scope_key=None, kind=None, known=None):
    project = params["project"]
    scope = params.get(scope_key) if scope_key else None
    where = "global" if scope is None else "%ss/%s" % (scope_key, scope)
    path = "projects/%s/%s/%s" % (project, where, collection)
    if collection == "operations":
        items = model.list_operations(project, (scope_key + "s", scope) if scope else None)
    else:
        items = model.list(project, collection, scope)
    return listing.page(items, query, kind, path, API_ROOT + path, known)


def _aggregated(model, params, query, collection, known):
    """An aggregatedList: the items of every scope, filtered and paged as
    one list, handed back under their scopes.  Scopes without items are
    listed (with a warning) when asked for or when no scope has any."""
    project = params["project"]
    if collection == "operations":
        pairs = [("global", op) for op in model.list_operations(project)]
        for scope in model.operation_scopes(project):
            pairs += [(scope, op) for op in model.list_operations(project,
                                                                  tuple(scope.split("/")))]
    else:
        pairs = model.scoped(project, collection)
    path = "projects/%s/aggregated/%s" % (project, collection)
    scope_of = {id(item): scope for scope, item in pairs}
    kind = "compute#%sAggregatedList" % collection[:-1]
    response = listing.page([item for _, item in pairs], query, kind, path, API_ROOT + path,
                            known)
    grouped = {}
    for item in response.pop("items", []):
        grouped.setdefault(scope_of[id(item)], {collection: []})[collection].append(item)
    if not grouped or query.get("includeAllScopes", "").lower() in ("true", "1"):
        # Every scope the project could use, each empty one with the API's warning.
        scopes = (["global"] if collection == "operations" else []) + [
            "%s/%s" % ("zones" if collection == "instances" else "regions", name)
            for name in (model.zones() if collection == "instances" else model.regions())]
        for scope in scopes:
            grouped.setdefault(scope, {"warning": {
                "code": "NO_RESULTS_ON_PAGE",
                "message": "There are no results for scope '%s' on this page." % scope,
                "data": [{"key": "scope", "value": scope}]}})
    out = {"kind": kind, "id": response["id"]}
    if grouped:
        out["items"] = dict(sorted(grouped.items()))
    out.update((k, v) for k, v in response.items() if k not in out)
    return out


# The model method of each mutation and the path parameters it takes, in
# order; all but a delete take the body after them.
_MUTATIONS = {
    "compute.networks.insert": ("insert_network", ("project",)),
    "compute.networks.addPeering": ("add_peering", ("project", "network")),
    "compute.networks.removePeering": ("remove_peering", ("project", "network")),
    "compute.subnetworks.insert": ("insert_subnetwork", ("project", "region")),
    "compute.instances.insert": ("insert_instance", ("project", "zone")),
    "compute.routes.insert": ("insert_route", ("project",)),
    "compute.routes.delete": ("delete_route", ("project", "route")),
    "compute.routers.insert": ("insert_router", ("project", "region")),
    "compute.routers.patch": ("patch_router", ("project", "region", "router")),
}


def _dispatch(model, method_id, params, query, body, known=None):
    request_id = query.get("requestId") or None
    op_scope = ("regions", params["region"]) if "region" in params else (
        ("zones", params["zone"]) if "zone" in params else None)
    collection, verb = method_id.split(".")[1:]
    if verb in ("get", "wait") and collection.endswith("Operations"):
        return model.poll_operation(params["project"], params["operation"], op_scope,
                                    wait=verb == "wait")
    if collection.endswith("Operations"):
        collection = "operations"
    if verb == "aggregatedList":
        return _aggregated(model, params, query, collection, known)
    if verb == "getRouterStatus":
        return model.router_status(params["project"], params["region"], params["router"])
    if verb in ("listUsable", "listPeeringRoutes"):
        path = "projects/%s/%s" % (params["project"], (
            "aggregated/subnetworks/listUsable" if verb == "listUsable" else
            "global/networks/%s/listPeeringRoutes" % params["network"]))
        if verb == "listUsable":
            kind, items = "compute#usableSubnetworksAggregatedList", \
                model.usable_subnetworks(params["project"])
        else:
            if query.get("region"):
                model.check_scope(region=query["region"])
            kind, items = "compute#exchangedPeeringRoutesList", model.peering_routes(
                params["project"], params["network"], query.get("peeringName"),
                query.get("direction"))
        return listing.page(items, query, kind, path, API_ROOT + path, known)
    if verb == "list":
        return _list(model, params, query, collection,
                     {"subnetworks": "region", "routers": "region", "instances": "zone",
                      "operations": op_scope[0][:-1] if op_scope else None}.get(collection),
                     "compute#%sList" % collection[:-1], known)
    if verb == "get":
        name = params[collection[:-1]]
        scope = params.get("region") or params.get("zone")
        return model.get(params["project"], collection, name, scope)
    if body is None and verb != "delete":
        raise bad_request("The request has no body.")
    if method_id not in _MUTATIONS:
        raise AssertionError(method_id)
    method, keys = _MUTATIONS[method_id]
    args = [params[key] for key in keys] + ([] if verb == "delete" else [body])
    return getattr(model, method)(*args, request_id=request_id)


@dataclass
class LoggedRequest:
    """One request as the emulator received it."""
    method: str            # method id, e.g. "compute.routes.insert"; None if unknown
    http_method: str
    path: str
    params: dict           # path parameters
    query: dict            # query parameters, one value each
    body: object           # decoded JSON body or None
    status: int = 0
    time: float = field(default_factory=time.time)
    invalid: bool = False  # refused by the front end's checks (discovery document)


class _Server(ThreadingHTTPServer):
    # Handler threads are joined by server_close(), once close() has ended
    # their connections, so no thread outlives the emulator.
    daemon_threads = False
    block_on_close = True
    allow_reuse_address = True

    def __init__(self, address, emulator):
        self.emulator = emulator
        self.connections = set()
        self.connections_lock = threading.Lock()
        super().__init__(address, _Handler)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    server_version = "tarn-compute-emulator/1"
    timeout = 60

    def setup(self):
        super().setup()
        with self.server.connections_lock:
            self.server.connections.add(self.connection)

    def finish(self):
        try:
            super().finish()
        finally:
            with self.server.connections_lock:
                self.server.connections.discard(self.connection)

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self._handle("GET")

    def do_POST(self):
        self._handle("POST")

    def do_PATCH(self):
        self._handle("PATCH")

    def do_PUT(self):
        self._handle("PUT")

    def do_DELETE(self):
        self._handle("DELETE")

    def _send(self, status, payload):
        data = json.dumps(payload, indent=1).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=UTF-8")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def send_error(self, code, message=None, explain=None):
        """The base class's refusals (bad request line, unknown HTTP method,
        oversized headers...) in the API's JSON error shape."""
        self.close_connection = True
        if self.request_version == "HTTP/0.9":
            self.request_version = "HTTP/1.0"   # a status line, even for a garbled request
        try:
            self._send(code, ApiError(code, message or "Bad request.").body())
        except OSError:
            pass

    def _read_body(self):
        """The request's body bytes; ApiError (the connection then closes,
        its remaining bytes unread) when its framing is unusable."""
        length = self.headers.get("Content-Length")
        chunked = self.headers.get("Transfer-Encoding", "").lower()
        if chunked:
            if chunked != "chunked" or length is not None:
                self.close_connection = True
                raise bad_request("Unsupported Transfer-Encoding %r." % chunked)
            return self._read_chunked()
        if length is None:
            if self.command in ("POST", "PUT", "PATCH"):
                self.close_connection = True
                raise bad_request("A request with a body needs a Content-Length header.")
            return b""
        if re.fullmatch(r"[0-9]{1,18}", length.strip()) is None:
            self.close_connection = True
            raise bad_request("Malformed Content-Length header %r." % length[:40])
        size = int(length)
        if size > MAX_BODY:
            self.close_connection = True
            raise ApiError(413, "The request body of %d bytes exceeds the limit of %d bytes."
                           % (size, MAX_BODY), "requestTooLarge")
        raw = self.rfile.read(size) if size else b""
        if len(raw) != size:
            self.close_connection = True
            raise bad_request("The request body ended after %d of %d bytes." % (len(raw), size))
        return raw

    def _read_chunked(self):
        raw = b""
        while True:
            line = self.rfile.readline(100)
            try:
                size = int(line.split(b";")[0].strip(), 16)
            except ValueError:
                size = -1
            if size < 0:
                self.close_connection = True
                raise bad_request("Malformed chunked request body.")
            if len(raw) + size > MAX_BODY:
                self.close_connection = True
                raise ApiError(413, "The request body exceeds the limit of %d bytes." % MAX_BODY,
                               "requestTooLarge")
            if size == 0:
                while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                    pass
                return raw
            chunk = self.rfile.read(size)
            self.rfile.readline(100)
            if len(chunk) != size:
                self.close_connection = True
                raise bad_request("Malformed chunked request body.")
            raw += chunk

    def _handle(self, verb):
        emulator = self.server.emulator
        url = urllib.parse.urlsplit(self.path)
        entry = LoggedRequest(None, verb, url.path, {}, {}, None)
        try:
            raw = self._read_body()
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            entry.query = query
            override = self.headers.get("X-HTTP-Method-Override")
            if verb == "POST" and override:
                # The client library turns long GET requests into POST requests
                # carrying the query in a form-encoded body.
                verb = entry.http_method = override.upper()
                content_type = self.headers.get("Content-Type", "")
                if content_type.startswith("application/x-www-form-urlencoded"):
                    query.update(urllib.parse.parse_qsl(_utf8(raw), keep_blank_values=True))
                    raw = b""
            if url.path.startswith("/_emulator/"):
                return self._control(verb, url.path, raw)
            status, payload = 200, self._api(verb, url.path, query, raw, entry)
        except ApiError as exc:
            status, payload = exc.code, exc.body()
        except Exception as exc:  # a fault of the emulator itself
            traceback.print_exc(file=sys.stderr)
            status, payload = 500, ApiError(500, "Internal error: %r" % exc).body()
        entry.status = status
        emulator._log_request(entry)
        if getattr(self, "_lose", False):
            self._lose = False
            self.close_connection = True   # done, and the answer never leaves
            return
        self._send(status, payload)

    def _api(self, verb, path, query, raw, entry):
        emulator = self.server.emulator
        if not path.startswith(BASE_PATH):
            raise ApiError(404, "The requested URL %s was not found." % path, "notFound")
        tail = urllib.parse.unquote(path[len(BASE_PATH):])
        api = validation.discovery()
        method, params = api.match(verb, tail, path)
        method_id = method.id
        entry.method, entry.params = method_id, params
        body = None
        if raw:
            try:
                body = json.loads(_utf8(raw))
            except ValueError:
                entry.invalid = True
                raise validation.payload_error(
                    "Invalid JSON payload received. The body is not valid JSON.") from None
            entry.body = body
            if not isinstance(body, dict):
                entry.invalid = True
                raise validation.payload_error(
                    "Invalid JSON payload received. Expected an object at the top level.")
        if method_id not in _IMPLEMENTED:
            raise ApiError(501, "Method %s is not implemented by the emulator." % method_id,
                           "notImplemented", status="UNIMPLEMENTED")
        if emulator.lenient:
            _check_params(params)
        else:
            try:
                body = api.check(method, params, query, body)
            except ApiError:
                entry.invalid = True
                raise
        names = set(params.values())
        if isinstance(body, dict):
            names.add(body.get("name"))
            if isinstance(body.get("networkPeering"), dict):
                names.add(body["networkPeering"].get("name"))
        error = emulator.faults.request_fault(method_id, names - {None})
        if error is not None:
            raise error
        self._lose = emulator.faults.answer_lost(method_id, names - {None})
        try:
            emulator.model.check_scope(params.get("region"), params.get("zone"))
            selection = partial.parse(query["fields"]) if query.get("fields") else None
        except ApiError:
            entry.invalid = True
            raise
        answer = _dispatch(emulator.model, method_id, params, query, body,
                           None if emulator.lenient else method.fields)
        return answer if selection is None else partial.trim(answer, selection)

    def _control(self, verb, path, raw):
        emulator = self.server.emulator
        try:
            raw = _utf8(raw).encode()
            if path == "/_emulator/snapshot" and verb == "GET":
                return self._send(200, emulator.snapshot())
            if path == "/_emulator/requests" and verb == "GET":
                return self._send(200, [vars(r) for r in emulator.requests])
            if path == "/_emulator/operations" and verb == "GET":
                return self._send(200, emulator.model.operations())
            if path == "/_emulator/faults" and verb == "GET":
                return self._send(200, [rule.describe() for rule in emulator.faults.rules])
            if path == "/_emulator/faults" and verb == "DELETE":
                emulator.faults.clear()
                return self._send(200, {})
            if path == "/_emulator/faults" and verb == "POST":
                spec = self._control_body(raw)
                kind = spec.pop("kind")
                method = {"request": emulator.faults.fail_request,
                          "operation": emulator.faults.fail_operation,
                          "hold": emulator.faults.hold_operation,
                          "peering_in_progress": emulator.faults.peering_in_progress}[kind]
                rule = method(**spec)
                return self._send(200, rule.describe() if rule is not None else {})
            if path == "/_emulator/release" and verb == "POST":
                spec = self._control_body(raw)
                released = emulator.release_operations(spec.pop("method", None),
                                                       spec.pop("name", None), **spec)
                return self._send(200, {"released": released})
        except (ValueError, KeyError, TypeError, ApiError) as exc:
            return self._send(400, ApiError(400, "Bad control request: %r" % exc).body())
        self._send(404, ApiError(404, "No control path %s %s." % (verb, path)).body())


    @staticmethod
    def _control_body(raw):
        spec = json.loads(raw or b"{}")
        if not isinstance(spec, dict):
            raise ValueError("the body must be a JSON object")
        return spec


class HttpFront:
    """Serves an emulator on (host, port) from a background thread."""

    def __init__(self, emulator, host="127.0.0.1", port=0):
        self._server = _Server((host, port), emulator)
        self.host, self.port = self._server.server_address[:2]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="compute-emulator:%d" % self.port, daemon=True)
        self._thread.start()

    def close(self):
        """Stops serving, ends open keep-alive connections, joins every
        thread and frees the port."""
        self._server.shutdown()
        with self._server.connections_lock:
            connections = list(self._server.connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._server.server_close()
        self._thread.join()
