"""In-process stand-ins for everything GcpLib talks to.

Compute services:

* ``FakeService``: for unit tests.  Checks every collection, method and
  keyword argument against the API the module may use, records builds,
  ``execute()`` and ``list_next`` calls in ``log``, answers from scripted
  handlers, pages, failures and operation statuses.
* ``RecordingService``: records ``(collection, method, kwargs)`` and answers
  through one function the caller supplies (the model's tests, the fuzz
  tests' queue-driven service).
* ``FastService``: for the benchmarks.  Every request is a tiny object whose
  ``execute()`` hands back a dict prepared in advance, so that the time
  measured is the time of the code under test and not of the fake.

Run state:

* ``Run``: one test's plan, dry-run switch, revert information and
  ``Globals`` attributes, recording what the module asks; installed on a
  module with a pytest monkeypatch.
* ``FakeGlobals``, ``FakeYamlContext``, ``FakeRouteInfo``, ``FakeCommon``:
  class-level stand-ins bound on the extension or the model by
  ``bind_siblings(module)``; both look these names up at each use, so
  rebinding is enough.

Logs: ``LogCapture`` keeps the records of a logger, ``DropHandler`` formats
and drops them (the benchmarks' cost of logging).
"""

from __future__ import annotations

import contextlib
import importlib
import itertools
import logging
import sys
import types
from typing import Any, Callable, Dict, List, Optional, Tuple

from testing.urls import (BASE, PROJECTS, instance_url, network_url,  # noqa: F401
                          region_url, subnet_url)

LOGGER_NAME = "tarn_gcp.gcplib"


# ---------------------------------------------------------------- siblings

def empty_revert() -> Dict[str, Any]:
    """Revert information that records nothing yet."""
    return {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}


class FakeGlobals:
    service = None
    project = None
    vpc = None
    networkLink = None
    routeInfo = None
    dry_run = True
    revert = empty_revert()

    @classmethod
    def getDryRun(cls):
        return cls.dry_run

    @classmethod
    def getRevertInfo(cls):
        return cls.revert

    @classmethod
    def reset(cls, dry_run=True):
        cls.service = None
        cls.project = None
        cls.vpc = None
        cls.networkLink = None
        cls.routeInfo = None
        cls.dry_run = dry_run
        cls.revert = empty_revert()


class FakeYamlContext:
    """``yctx()``: every instance reads the one class-level plan."""

    plan = {}

    def getContext(self, key):
        return type(self).plan.get(key)


class FakeRouteInfo:
    def __init__(self):
        self.gke_export_routes = []

    def add_gke_export_routes(self, cidr):
        self.gke_export_routes.append(cidr)

    def get_gke_export_routes(self):
        return self.gke_export_routes


class FakeCommon:
    INSTANCE_I = 10
    vpc_headers = 0
    subnets = 0

    @classmethod
    def logVpcHeader(cls, network):
        cls.vpc_headers += 1

    @classmethod
    def logSubnet(cls, subnetwork):
        cls.subnets += 1


def bind_siblings(module):
    """Make ``module`` (the extension or the model) use the fakes above."""
    module.Globals = FakeGlobals
    module.yctx = FakeYamlContext
    module.RouteInfo = FakeRouteInfo
    module.common = FakeCommon


_STUBS = {
    "tarn_gcp.commonlib": ("Common", FakeCommon),
    "tarn_gcp.res.Globals": ("Globals", FakeGlobals),
    "tarn_gcp.core.YamlContext": ("YamlContext", FakeYamlContext),
    "tarn_gcp.res.RouteInfo": ("RouteInfo", FakeRouteInfo),
}


def ensure_sibling_modules():
    """Register stand-in modules for sibling modules that cannot be imported.

    GcpLib imports its siblings when it is loaded; where the package's own
    ones are missing (a partial checkout), these stubs let both the model and
    the extension load.  Returns the names that had to be stubbed.
    """
    stubbed = []
    for name, (attr, value) in _STUBS.items():
        try:
            importlib.import_module(name)
            continue
        except ImportError:
            pass
        parts = name.split(".")
        for depth in range(1, len(parts)):
            parent = ".".join(parts[:depth])
            if parent in sys.modules:
                continue
            try:
                importlib.import_module(parent)
            except ImportError:
                package = types.ModuleType(parent)
                package.__path__ = []
                sys.modules[parent] = package
                if depth > 1:
                    setattr(sys.modules[".".join(parts[:depth - 1])], parts[depth - 1], package)
        module = types.ModuleType(name)
        setattr(module, attr, value)
        sys.modules[name] = module
        setattr(sys.modules[".".join(parts[:-1])], parts[-1], module)
        stubbed.append(name)
    return stubbed


# ------------------------------------------------------------ fast service

class Request:
    __slots__ = ("response", "next")

    def __init__(self, response, next=None):
        self.response = response
        self.next = next

    def execute(self):
        return self.response


DONE = Request({"kind": "compute#operation", "name": "operation-done", "status": "DONE"})


def chain_pages(pages):
    """Requests for a list of page responses, each linked to the next."""
    following = None
    for page in reversed(pages):
        following = Request(page, following)
    return following


class _Paged:
    """A collection listed as a chain of prepared pages from ``first``."""

    def __init__(self):
        self.first = None
        self.by_name = {}

    def list_next(self, previous_request, previous_response):
        return previous_request.next


class _Routes(_Paged):
    def list(self, project, filter):
        return self.first

    def get(self, project, route):
        return self.by_name[route]

    def delete(self, project, route):
        return DONE

    def insert(self, project, body):
        return DONE


class _Networks(_Paged):
    def list(self, project):
        return self.first

    def get(self, project, network):
        return self.by_name[network]

    def addPeering(self, project, network, body):
        return DONE

    def removePeering(self, project, network, body):
        return DONE


class _Subnetworks:
    def __init__(self):
        self.by_name = {}

    def get(self, project, region, subnetwork):
        return self.by_name[subnetwork]


class _Instances:
    def __init__(self):
        self.by_name = {}

    def get(self, project, zone, instance):
        return self.by_name[instance]


class _Routers:
    def __init__(self):
        self.listing = Request({"kind": "compute#routerList"})
        self.by_name = {}

    def list(self, project, region):
        return self.listing

    def get(self, project, region, router):
        return self.by_name[router]

    def patch(self, project, region, router, body):
        return DONE


class _GlobalOperations:
    def wait(self, project, operation):
        return DONE


class FastService:
    """Compute service answering from prepared requests.

    Fill ``routes_.first`` (page chain), ``networks_.by_name``,
    ``subnetworks_.by_name``, ``instances_.by_name`` and
    ``routers_.by_name`` with ``Request`` objects.
    """

    def __init__(self):
        self.routes_ = _Routes()
        self.networks_ = _Networks()
        self.subnetworks_ = _Subnetworks()
        self.instances_ = _Instances()
        self.routers_ = _Routers()
        self.globalOperations_ = _GlobalOperations()

    def routes(self):
        return self.routes_

    def networks(self):
        return self.networks_

    def subnetworks(self):
        return self.subnetworks_

    def instances(self):
        return self.instances_

    def routers(self):
        return self.routers_

    def globalOperations(self):
        return self.globalOperations_


# ------------------------------------------------------- recording services

class RecordedRequest:
    """A request built on a recording service; ``execute()`` asks it."""

    def __init__(self, service, collection, method, kwargs):
        self.service = service
        self.collection = collection
        self.method = method
        self.kwargs = kwargs
        self.page = 0

    @property
    def name(self):
        return f"{self.collection}.{self.method}"

    def execute(self, *args, **kwargs):
        if args or kwargs:
            raise AssertionError("execute() takes no arguments")
        return self.service._execute(self)

    def __repr__(self):
        return f"<request {self.name} {self.kwargs}>"


class _Collection:
    def __init__(self, service, name):
        self._service = service
        self._name = name

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)
        return self._service._method(self._name, method)


class _Recorder:
    """What both recording services share: ``service.<collection>()``
    returns a collection whose methods the service's ``_method`` builds,
    and requests whose ``execute()`` calls the service's ``_execute``."""

    def __getattr__(self, collection):
        if collection.startswith("_") or not self._serves(collection):
            raise AttributeError(collection)
        return lambda: _Collection(self, collection)

    def _serves(self, collection):
        return True

    def request(self, collection, method, kwargs):
        return RecordedRequest(self, collection, method, kwargs)


class RecordingService(_Recorder):
    """Compute service that records every call.

    ``calls`` receives, in order, ``(collection, method, kwargs)`` when a
    request is built and ``(collection, method, "execute")`` when it runs.
    ``respond(collection, method, kwargs)`` gives the response of
    ``execute()``; it may raise to model an HTTP error.  ``list_next`` is
    answered by ``respond(collection, "list_next", kwargs)`` directly and
    must return a request (from ``self.request(...)``) or None.
    """

    def __init__(self, respond):
        self.respond = respond
        self.calls = []

    def _method(self, collection, method):
        def build(*args, **kwargs):
            if args:
                raise AssertionError("positional arguments to %s.%s" % (collection, method))
            self.calls.append((collection, method, dict(kwargs)))
            if method == "list_next":
                return self.respond(collection, method, kwargs)
            return self.request(collection, method, kwargs)

        return build

    def _execute(self, req):
        self.calls.append((req.collection, req.method, "execute"))
        return self.respond(req.collection, req.method, req.kwargs)


# ----------------------------------------------------------------- logging

@contextlib.contextmanager
def attached(handler, level=logging.INFO, name=LOGGER_NAME):
    """`handler` on the module logger, at `level`, for the block; the
    logger's level and propagate flag are restored after it."""
    logger = logging.getLogger(name)
    old_level, old_propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(level)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        logger.propagate = old_propagate


class DropHandler(logging.Handler):
    """Formats every record, as a real handler would, and keeps nothing."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.setFormatter(logging.Formatter("%(levelname)s %(name)s %(message)s"))

    def emit(self, record):
        self.format(record)


class LogCapture(logging.Handler):
    """Keeps every record and its ``(levelname, message)`` in ``lines``."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: List[logging.LogRecord] = []
        self.lines: List[Tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)
        self.lines.append((record.levelname, record.getMessage()))

    @property
    def messages(self) -> List[str]:
        return [message for _, message in self.lines]

    def clear(self) -> None:
        self.records.clear()
        self.lines.clear()


# ------------------------------------------------- scripted service for tests

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


class FakeService(_Recorder):
    """A Compute service that records what is asked of it, and checks every
    collection, method and keyword argument against `API`.

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
    def _serves(self, collection: str) -> bool:
        return collection in API

    def _method(self, collection: str, method: str):
        if method == "list_next" and collection in PAGED:
            return lambda *args, **kwargs: self._list_next(collection, *args, **kwargs)
        if method not in API[collection]:
            raise AttributeError(f"{collection}() has no method {method!r}")
        allowed = API[collection][method]

        def build(*args, **kwargs):
            assert not args, f"{collection}().{method}() takes keyword arguments only"
            unknown = set(kwargs) - allowed
            assert not unknown, f"{collection}().{method}() got unexpected {sorted(unknown)}"
            self.log.append(("build", f"{collection}.{method}", dict(kwargs)))
            return self.request(collection, method, kwargs)

        return build

    def _list_next(self, collection, *args, previous_request=None, previous_response=None,
                   **kwargs):
        assert not args and not kwargs, \
            "list_next() takes previous_request and previous_response only"
        self.log.append(("list_next", f"{collection}.list", dict(previous_request.kwargs)))
        pages = self.pages.get(f"{collection}.list")
        if pages is None or previous_request.page + 1 >= len(pages):
            return None
        req = self.request(collection, "list", previous_request.kwargs)
        req.page = previous_request.page + 1
        return req

    # --- scripting
    def on(self, name: str, response: Any) -> "FakeService":
        self.handlers[name] = response
        return self

    def fail(self, name: str, error: BaseException,
             when: Optional[Callable[[dict], bool]] = None) -> "FakeService":
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
    def _execute(self, req: RecordedRequest):
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
        self.revert: Dict[str, Any] = empty_revert()
        self.service = FakeService()
        self.project = "proj-m"
        self.vpc = {"vpc_name": "vpc-m"}
        self.networkLink = ("https://www.googleapis.com/compute/v1/projects/proj-m/global/networks/"
                            "vpc-m")
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
