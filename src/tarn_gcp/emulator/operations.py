"""Operations: the record an accepted change returns, the time it runs,
and when its change lands.

An operation is PENDING when the mutation returns it and RUNNING at once
after; it runs for the seconds ``op_seconds`` gives its kind (peering,
route, router; other operations take the plain value) and is then DONE,
whether or not anyone polls it.  Global operations (networks, peerings,
routes) apply their change when they are done; regional and zonal ones
(router, subnetwork and instance changes) at acceptance, the operation
then tracking the programming of a configuration that already reads back.
Work that has become due is done whenever the model is next used (see
``store._CatchUpLock``), so nobody can observe it late.

``get`` reads an operation; ``wait`` holds the request until it is DONE or
``WAIT_SECONDS`` have passed.  Faults may make an operation fail (DONE with
an "error", its change never applied) or hold it PENDING or RUNNING for a
number of polls (its clock starts once the hold is used up) or until it is
released; a wait on a held operation returns at once, as the service's
wait now and then returns early.
"""

import copy
import fnmatch
import functools
import http
import math
import threading
import time
import uuid

from .errors import ApiError, already_exists, bad_request, not_found
from .fields import check_name, now_rfc3339
from .paths import link
from .store import ResourceStore

# How long a wait may hold its request, as the service's does (about two minutes).
WAIT_SECONDS = 120.0
# The kinds of operation whose duration can be set on its own.
OP_KINDS = ("peering", "route", "router")
_KIND_OF = {"compute.networks.addPeering": "peering", "compute.networks.removePeering": "peering",
            "compute.routes.insert": "route", "compute.routes.delete": "route",
            "compute.routers.insert": "router", "compute.routers.patch": "router"}

PEERING_IN_PROGRESS = ("There is a peering operation in progress on the local or peer "
                       "network. Try again later.")
ROUTE_IN_PROGRESS = ("There is a route operation in progress on the local or peer "
                     "network. Try again later.")


def op_durations(value):
    """Seconds per kind of operation from ``op_seconds``: None (every
    operation done at once), a number (every kind), or a mapping of kinds
    ("peering", "route", "router", or None for the other operations) to
    seconds.  ValueError when a kind or a number is not one."""
    if value is None:
        return {}
    if not isinstance(value, dict):
        value = dict.fromkeys(OP_KINDS + (None,), value)
    out = {}
    for kind, seconds in value.items():
        if kind not in OP_KINDS + (None,):
            raise ValueError("unknown kind of operation %r (known: %s)"
                             % (kind, ", ".join(OP_KINDS)))
        try:
            seconds = float(seconds)
        except (TypeError, ValueError):
            raise ValueError("operation seconds must be a number, not %r" % (seconds,)) from None
        if not 0 <= seconds < math.inf:
            raise ValueError("operation seconds must be 0 or more, not %r" % (seconds,))
        out[kind] = seconds
    return out


def mutation(method):
    """Runs a mutating call under the lock; a repeated requestId returns the
    operation of the first call instead of making the change again."""
    @functools.wraps(method)
    def wrapper(self, project, *args, request_id=None):
        with self.lock:
            if request_id and (project, request_id) in self._request_ids:
                tracked = self._operations[self._request_ids[project, request_id]]
                return copy.deepcopy(tracked.record)
            return method(self, project, *args, request_id=request_id)
    return wrapper


def fault_names(*values):
    """The names of a change that fault rules may match."""
    return {v for v in values if isinstance(v, str) and v}


class _TrackedOperation:
    """An operation's record and what it still has to do."""
    __slots__ = ("record", "apply", "error", "hold", "held_in", "method", "names", "kind",
                 "seconds", "ends", "networks", "target", "seq")

    def __init__(self, record, apply, error, hold, held_in, method, names, seconds, networks,
                 target, seq):
        self.record = record
        self.apply = apply
        self.error = error
        self.hold = hold          # polls still to stay in held_in (math.inf: until released)
        self.held_in = held_in
        self.method = method
        self.names = frozenset(names)
        self.kind = _KIND_OF.get(method)
        self.seconds = seconds
        self.ends = None          # time.monotonic() when it is done; None while held
        self.networks = frozenset(networks)   # network paths a peering or route op works on
        self.target = target      # the path of the resource it changes
        self.seq = seq

    @property
    def done(self):
        return self.record["status"] == "DONE"

    @property
    def held(self):
        return self.hold > 0 and not self.done


class OperationLog(ResourceStore):
    """Every operation of the store, by path, and the requestIds seen.

    ``faults`` is consulted for operation faults (see
    :class:`tarn_gcp.emulator.faults.Faults`); ``op_seconds`` sets how long
    operations run (see ``op_durations``); with ``wait_completes`` a
    ``wait`` ends its operation at once instead of waiting out its time.
    """

    def __init__(self, faults=None, wait_completes=False, op_seconds=None):
        super().__init__()
        self.faults = faults
        self.wait_completes = wait_completes
        self.op_seconds = op_durations(op_seconds)
        self._operations = {}
        self._request_ids = {}
        self._unfinished = []
        self.waits_released = threading.Event()   # set: waits answer at once (shutting down)

    def reset(self):
        """Forgets every project, resource and operation."""
        with self.lock:
            super().reset()
            self._operations.clear()
            self._request_ids.clear()
            self._unfinished.clear()    # a wait on one of them answers at once

    # --------------------------------------------------------- the clock

    def _due(self):
        """Finishes, oldest end first, every operation whose time is up."""
        if not self._unfinished:
            return
        now = time.monotonic()
        due = sorted((op for op in self._unfinished if op.ends is not None and op.ends <= now),
                     key=lambda op: (op.ends, op.seq))
        for op in due:
            self._finish(op)

    def _start_clock(self, op):
        op.hold = 0
        if op.record["status"] == "PENDING":
            op.record["status"] = "RUNNING"
            op.record["startTime"] = now_rfc3339()
        op.ends = time.monotonic() + op.seconds

    def _finish(self, op):
        """DONE: the change applied, or the error recorded."""
        record = op.record
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
        if "startTime" not in record:
            record["startTime"] = now_rfc3339()
        record["status"] = "DONE"
        record["progress"] = 100
        record["endTime"] = now_rfc3339()
        if op in self._unfinished:
            self._unfinished.remove(op)

    # ------------------------------------------------ starting operations

    def _running(self, kind, networks=None, target=None):
        """The unfinished operations of ``kind`` that work on one of
        ``networks`` or change ``target``."""
        return [op for op in self._unfinished if op.kind == kind
                and (networks is None or op.networks & set(networks))
                and (target is None or op.target == target)]

    def _refuse_if_busy(self, kind, networks):
        """A peering or route change is refused while changes that conflict
        with it run: peering operations on the networks it works on, and
        for a peering change also route operations there."""
        if self._running("peering", networks):
            raise bad_request(PEERING_IN_PROGRESS)
        if kind == "peering" and self._running("route", networks):
            raise bad_request(ROUTE_IN_PROGRESS)

    def _refuse_if_not_ready(self, path):
        """A change of a resource whose previous change still runs."""
        if [op for op in self._unfinished if op.target == path and op.kind == "router"]:
            raise ApiError(400, "The resource '%s' is not ready" % path, "resourceNotReady")

    def _refuse_if_being_inserted(self, path):
        """A name an accepted insert has taken, though not yet stored."""
        if [op for op in self._unfinished
                if op.target == path and op.record["operationType"] == "insert"]:
            raise already_exists(path)

    def _start_operation(self, project, scope, op_type, target_path, target_id, method, names,
                         apply, request_id=None, networks=()):
        """Records an operation for an accepted change and starts it.

        Global operations keep ``apply`` for DONE; regional and zonal ones
        apply it now.  A fault may make the operation fail (its change is
        then never applied) or hold it PENDING or RUNNING.  Fault rules see
        the project and, for a regional or zonal operation, the region or
        zone among the names.  ``networks``: the network paths a peering or
        route operation works on.
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
        returned = copy.deepcopy(record)
        if scope is not None and error is None:
            apply()
            apply = None
        seconds = self.op_seconds.get(_KIND_OF.get(method), self.op_seconds.get(None, 0.0))
        op = _TrackedOperation(record, apply, error, hold, held_in, method, names, seconds,
                               networks, target_path, len(self._operations))
        self._operations[path] = op
        self._unfinished.append(op)
        if request_id:
            self._request_ids[project, request_id] = path
        if hold == 0:
            self._start_clock(op)
        elif held_in == "RUNNING":
            record["status"] = "RUNNING"
            record["startTime"] = now_rfc3339()
        return returned

    def _insert_at_acceptance(self, project, scope, build, body, method, store, request_id):
        """A regional or zonal insert (``scope`` ("regions", R) or ("zones",
        Z)): ``build(project, R or Z, body)`` makes the resource, refused
        when its path is taken, else ``store(path, resource)`` runs now."""
        self._need_project(project)
        check_name(scope[1], scope[0][:-1])
        path, resource = build(project, scope[1], body)
        if path in self._resources:
            raise already_exists(path)
        return self._start_operation(project, scope, "insert", path, resource["id"], method,
                                     fault_names(resource["name"]),
                                     lambda: store(path, resource), request_id)

    # ------------------------------------------------------------ reading

    def _find_operation(self, project, operation, scope):
        self._need_project(project)
        where = "global" if scope is None else "%s/%s" % scope
        path = self._resolve(project, where, "operations", operation)
        op = self._operations.get(path)
        if op is None:
            raise not_found(path)
        return op

    def _read(self, op):
        """One poll: a held operation uses up one held poll (its clock
        starts when none is left)."""
        if op.held:
            op.hold -= 1
            if op.hold <= 0:
                self._start_clock(op)
                copy_ = copy.deepcopy(op.record)
                copy_["status"] = op.held_in if op.held_in == "PENDING" else "RUNNING"
                if op.held_in == "PENDING":
                    copy_.pop("startTime", None)
                return copy_
        return copy.deepcopy(op.record)

    def poll_operation(self, project, operation, scope=None, wait=False):
        """globalOperations (scope None), regionOperations (("regions", R)) or
        zoneOperations (("zones", Z)) get or wait; a wait holds the call
        until the operation is DONE (at most WAIT_SECONDS), unless it is
        held (then it answers at once) or ``wait_completes`` ends it now."""
        deadline = time.monotonic() + WAIT_SECONDS
        with self.lock:
            op = self._find_operation(project, operation, scope)
            if not wait or op.held or op.done:
                return self._read(op)
            if self.wait_completes:
                self._finish(op)
                return self._read(op)
        while True:
            with self.lock:
                now = time.monotonic()
                if (op.done or op.held or now >= deadline or op not in self._unfinished
                        or self.waits_released.is_set()):
                    return self._read(op)
                ends = op.ends
            time.sleep(max(0.0, min(0.05, deadline - now,
                                    (ends - now) if ends is not None else 0.05)))

    def list_operations(self, project, scope=None):
        """The records of one project's global (``scope`` None), regional or
        zonal operations, oldest first."""
        with self.lock:
            self._need_project(project)
            where = "global" if scope is None else "%s/%s" % scope
            prefix = "projects/%s/%s/operations/" % (project, where)
            return [copy.deepcopy(op.record) for path, op in self._operations.items()
                    if path.startswith(prefix)]

    def operation_scopes(self, project):
        """The "regions/R" and "zones/Z" of a project's operations."""
        with self.lock:
            prefix = "projects/%s/" % project
            return sorted({"/".join(p.split("/")[2:4]) for p in self._operations
                           if p.startswith(prefix) and "/global/" not in p})

    def operations(self):
        """Every operation record, oldest first, each with the method id
        that made it under "method" (not an API field)."""
        with self.lock:
            return [dict(copy.deepcopy(op.record), method=op.method)
                    for op in self._operations.values()]

    def release_operations(self, method=None, name=None):
        """Ends the hold of unfinished operations (of ``method``, a method id
        or shell-style pattern, and naming ``name``, when given), held for a
        number of polls or until released; they then run their time.
        Returns how many were released."""
        count = 0
        with self.lock:
            for op in list(self._unfinished):
                if (op.held
                        and (method is None or fnmatch.fnmatchcase(op.method or "", method))
                        and (name is None or name in op.names)):
                    self._start_clock(op)
                    count += 1
        return count
