"""Operations: the record an accepted change returns, how polls move it
through PENDING, RUNNING and DONE, and when its change lands.

Global operations keep their change for DONE; regional and zonal ones apply
it at acceptance (see the ``model`` module)."""

import copy
import fnmatch
import functools
import http
import time
import uuid

from .errors import ApiError, already_exists, not_found
from .fields import check_name, now_rfc3339
from .paths import link
from .store import ResourceStore


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
    __slots__ = ("record", "apply", "error", "hold", "held_in", "method", "names")

    def __init__(self, record, apply, error, hold, held_in="RUNNING", method=None, names=()):
        self.record = record
        self.apply = apply
        self.error = error
        self.hold = hold          # polls still to stay in held_in (math.inf: until released)
        self.held_in = held_in
        self.method = method
        self.names = frozenset(names)


class OperationLog(ResourceStore):
    """Every operation of the store, by path, and the requestIds seen.

    ``faults`` is consulted for operation faults (see
    :class:`tarn_gcp.emulator.faults.Faults`); with ``wait_completes`` a
    ``wait`` call drives its operation to DONE at once unless a fault holds
    it.
    """

    def __init__(self, faults=None, wait_completes=False):
        super().__init__()
        self.faults = faults
        self.wait_completes = wait_completes
        self._operations = {}
        self._request_ids = {}

    def reset(self):
        """Forgets every project, resource and operation."""
        with self.lock:
            super().reset()
            self._operations.clear()
            self._request_ids.clear()

    def _start_operation(self, project, scope, op_type, target_path, target_id, method, names,
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
        self._operations[path] = _TrackedOperation(record, apply, error, hold, held_in, method,
                                                   names)
        if request_id:
            self._request_ids[project, request_id] = path
        return copy.deepcopy(record)

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

    def _advance(self, op):
        """One poll's step: PENDING -> RUNNING -> DONE, unless held."""
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
            op = self._operations.get(path)
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
            return [dict(copy.deepcopy(op.record), method=op.method)
                    for op in self._operations.values()]

    def release_operations(self, method=None, name=None):
        """Ends the hold of unfinished operations (of ``method``, a method id
        or shell-style pattern, and naming ``name``, when given), held for a
        number of polls or until released; they finish on their next poll
        (or two, from PENDING).  Returns how many were released."""
        count = 0
        with self.lock:
            for op in self._operations.values():
                if (op.hold > 0 and op.record["status"] != "DONE"
                        and (method is None or fnmatch.fnmatchcase(op.method or "", method))
                        and (name is None or name in op.names)):
                    op.hold = 0
                    count += 1
        return count
