"""Test doubles for the gcplib methods: a recording Compute service and a run.

`FakeService` stands in for a googleapiclient Compute service. Every request
built on it is recorded with its keyword arguments, and so is every
`execute()`; responses come from handlers registered per collection and
method, and failures can be injected. `Run` holds a plan, a dry-run switch,
revert information and the `Globals` attributes, and installs stand-ins for
the module's `yctx` and `Globals` names.
"""

from __future__ import annotations

import itertools
import logging
from typing import Any, Callable, Dict, List, Optional, Tuple

# The collections, methods and keyword arguments the module may use.
API = {
    "networks": {
        "list": {"project"},
        "get": {"project", "network"},
        "addPeering": {"project", "network", "body"},
        "removePeering": {"project", "network", "body"},
    },
    "subnetworks": {"get": {"project", "region", "subnetwork"}},
    "routes": {
        "list": {"project", "filter"},
        "get": {"project", "route"},
        "delete": {"project", "route"},
        "insert": {"project", "body"},
    },
    "instances": {"get": {"project", "zone", "instance"}},
    "routers": {
        "list": {"project", "region"},
        "get": {"project", "region", "router"},
        "patch": {"project", "region", "router", "body"},
    },
    "globalOperations": {"wait": {"project", "operation"}},
}
PAGED = {"networks", "routes"}
MUTATING = {
    ("networks", "addPeering"),
    ("networks", "removePeering"),
    ("routes", "delete"),
    ("routes", "insert"),
    ("routers", "patch"),
}


class FakeHttpError(Exception):
    """What a failing request raises, like googleapiclient's HttpError."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(f"<HttpError {status}: {message}>")
        self.status = status


class FakeRequest:
    def __init__(self, service: "FakeService", collection: str, method: str, kwargs: dict) -> None:
        self.service = service
        self.collection = collection
        self.method = method
        self.kwargs = kwargs
        self.page = 0

    @property
    def name(self) -> str:
        return f"{self.collection}.{self.method}"

    def execute(self, *args, **kwargs):
        assert not args and not kwargs, "execute() takes no arguments"
        return self.service._execute(self)

    def __repr__(self) -> str:
        return f"<FakeRequest {self.name} {self.kwargs}>"


class FakeCollection:
    def __init__(self, service: "FakeService", name: str) -> None:
        self._service = service
        self._name = name

    def __getattr__(self, method: str):
        if method.startswith("_"):
            raise AttributeError(method)
        if method == "list_next" and self._name in PAGED:
            return self._list_next
        if method not in API[self._name]:
            raise AttributeError(f"{self._name}() has no method {method!r}")
        allowed = API[self._name][method]

        def build(*args, **kwargs):
            assert not args, f"{self._name}().{method}() takes keyword arguments only"
            unknown = set(kwargs) - allowed
            assert not unknown, f"{self._name}().{method}() got unexpected {sorted(unknown)}"
            return self._service._build(self._name, method, kwargs)

        return build

    def _list_next(self, *args, previous_request=None, previous_response=None, **kwargs):
        assert not args and not kwargs, "list_next() takes previous_request and previous_response only"
        self._service.log.append(("list_next", f"{self._name}.list", dict(previous_request.kwargs)))
        pages = self._service.pages.get(f"{self._name}.list")
        if pages is None or previous_request.page + 1 >= len(pages):
            return None
        req = FakeRequest(self._service, self._name, "list", previous_request.kwargs)
        req.page = previous_request.page + 1
        return req


class FakeService:
    """A Compute service that records what is asked of it.

    - `log`: every event in order: ("build", name, kwargs), ("execute", name,
      kwargs) and ("list_next", name, kwargs), name being "collection.method".
    - `on(name, handler_or_response)`: what `execute()` of that request
      returns; a callable gets the request's keyword arguments.
    - `pages[name]`: a list of responses, one per page, for paged lists.
    - `fail(name, error, when=None)`: `execute()` raises `error` (for the
      calls whose keyword arguments satisfy `when`).
    - `statuses[operation name]`: the statuses that successive waits report
      (default: DONE at once); `operation_extra[operation name]`: more keys
      of the final wait response.
    Mutating requests return {"name": "operation-N", "status": "PENDING"}
    unless a handler says otherwise.
    """

    def __init__(self) -> None:
        self.log: List[Tuple[str, str, dict]] = []
        self.handlers: Dict[str, Any] = {}
        self.pages: Dict[str, List[dict]] = {}
        self.failures: List[Tuple[str, BaseException, Optional[Callable[[dict], bool]]]] = []
        self.statuses: Dict[str, List[str]] = {}
        self.operation_extra: Dict[str, dict] = {}
        self._op_ids = itertools.count(1)

    # --- collections
    def __getattr__(self, collection: str):
        if collection.startswith("_") or collection not in API:
            raise AttributeError(collection)
        return lambda: FakeCollection(self, collection)

    # --- scripting
    def on(self, name: str, response: Any) -> "FakeService":
        self.handlers[name] = response
        return self

    def fail(self, name: str, error: BaseException, when: Optional[Callable[[dict], bool]] = None) -> "FakeService":
        self.failures.append((name, error, when))
        return self

    # --- what was asked
    def executed(self, *names: str) -> List[Tuple[str, dict]]:
        """The executed requests, optionally only those of the given names."""
        return [(n, kw) for ev, n, kw in self.log if ev == "execute" and (not names or n in names)]

    def executed_names(self) -> List[str]:
        return [n for n, _ in self.executed()]

    def mutations(self) -> List[Tuple[str, dict]]:
        return [(n, kw) for n, kw in self.executed() if tuple(n.split(".")) in MUTATING]

    # --- internals
    def _build(self, collection: str, method: str, kwargs: dict) -> FakeRequest:
        self.log.append(("build", f"{collection}.{method}", dict(kwargs)))
        return FakeRequest(self, collection, method, kwargs)

    def _execute(self, req: FakeRequest):
        name = req.name
        self.log.append(("execute", name, dict(req.kwargs)))
        for fname, error, when in self.failures:
            if fname == name and (when is None or when(req.kwargs)):
                raise error
        if name in self.pages:
            return self.pages[name][req.page]
        if name == "globalOperations.wait":
            return self._wait(req.kwargs)
        handler = self.handlers.get(name)
        if handler is not None:
            return handler(**req.kwargs) if callable(handler) else handler
        if (req.collection, req.method) in MUTATING:
            return {"name": f"operation-{next(self._op_ids)}", "status": "PENDING"}
        raise AssertionError(f"no response scripted for {name} {req.kwargs}")

    def _wait(self, kwargs: dict):
        handler = self.handlers.get("globalOperations.wait")
        if handler is not None:
            return handler(**kwargs) if callable(handler) else handler
        op = kwargs["operation"]
        queue = self.statuses.get(op)
        status = queue.pop(0) if queue else "DONE"
        response = {"name": op, "status": status}
        if status == "DONE":
            response.update(self.operation_extra.get(op, {}))
        return response


# ---------------------------------------------------------------------------
# The run: plan, dry run, revert information, Globals attributes


class Run:
    """The sibling state a method sees, with a record of what it asked.

    `install(module, monkeypatch)` binds `yctx` and `Globals` on the module
    to stand-ins reading this run; `events` lists ("context", key),
    ("dry_run",) and ("revert_info",) in the order they were asked.
    """

    def __init__(self) -> None:
        self.plan: Dict[str, Any] = {}
        self.dry_run: Any = False
        self.revert: Dict[str, Any] = {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}
        self.service = FakeService()
        self.project = "proj-m"
        self.vpc = {"vpc_name": "vpc-m"}
        self.networkLink = "https://www.googleapis.com/compute/v1/projects/proj-m/global/networks/vpc-m"
        self.routeInfo = None
        self.events: List[tuple] = []
        run = self

        class Context:
            def getContext(self, key):
                run.events.append(("context", key))
                return run.plan.get(key)

        def yctx():
            return Context()

        class GlobalsMeta(type):
            def __getattr__(cls, name):
                if name in ("service", "project", "vpc", "networkLink", "routeInfo"):
                    run.events.append(("attr", name))
                    return getattr(run, name)
                raise AttributeError(name)

        class Globals(metaclass=GlobalsMeta):
            @classmethod
            def getDryRun(cls):
                run.events.append(("dry_run",))
                return run.dry_run

            @classmethod
            def getRevertInfo(cls):
                run.events.append(("revert_info",))
                return run.revert

        self.yctx = yctx
        self.Globals = Globals

    def install(self, module, monkeypatch) -> "Run":
        monkeypatch.setattr(module, "yctx", self.yctx)
        monkeypatch.setattr(module, "Globals", self.Globals)
        return self

    def count(self, *event) -> int:
        return sum(1 for e in self.events if e == event)


# ---------------------------------------------------------------------------
# Log capture


class LogCapture(logging.Handler):
    """Collects (level name, message) of the records of one logger."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: List[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)

    @property
    def lines(self) -> List[Tuple[str, str]]:
        return [(r.levelname, r.getMessage()) for r in self.records]

    @property
    def messages(self) -> List[str]:
        return [r.getMessage() for r in self.records]

    def clear(self) -> None:
        self.records.clear()


# URL builders
BASE = "https://www.googleapis.com/compute/v1"


def network_url(project: str, network: str) -> str:
    return f"{BASE}/projects/{project}/global/networks/{network}"


def subnet_url(project: str, region: str, name: str) -> str:
    return f"{BASE}/projects/{project}/regions/{region}/subnetworks/{name}"


def region_url(project: str, region: str) -> str:
    return f"{BASE}/projects/{project}/regions/{region}"


def instance_url(project: str, zone: str, name: str) -> str:
    return f"{BASE}/projects/{project}/zones/{zone}/instances/{name}"
