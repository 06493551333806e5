"""In-process stand-ins for everything GcpLib talks to.

Two kinds of Compute service live here:

* ``FastService``: built for the benchmarks.  Every request is a tiny object
  whose ``execute()`` hands back a dict prepared in advance, so that the time
  measured is the time of the code under test and not of the fake.
* ``RecordingService``: built for tests.  It records every collection call,
  method call (with its keyword arguments) and ``execute()``, and answers
  through a function the test supplies.

The sibling classes (``FakeGlobals``, ``FakeYamlContext``, ``FakeRouteInfo``,
``FakeCommon``) replace ``Globals``, ``yctx``, ``RouteInfo`` and ``common`` on
a GcpLib module through ``bind_siblings(module)``; both the extension and the
plain-Python model look these names up at each use, so rebinding is enough.
"""

import importlib
import logging
import sys
import types

LOGGER_NAME = "tarn_gcp.gcplib"


# ---------------------------------------------------------------- siblings

class FakeGlobals:
    service = None
    project = None
    vpc = None
    networkLink = None
    routeInfo = None
    dry_run = True
    revert = {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}

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
        cls.revert = {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}


class FakeYamlContext:
    """``yctx()``: every instance reads the one class-level plan."""

    plan = {}

    def getContext(self, key):
        return FakeYamlContext.plan.get(key)


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


class _Routes:
    def __init__(self):
        self.first = None
        self.by_name = {}

    def list(self, project, filter):
        return self.first

    def list_next(self, previous_request, previous_response):
        return previous_request.next

    def get(self, project, route):
        return self.by_name[route]

    def delete(self, project, route):
        return DONE

    def insert(self, project, body):
        return DONE


class _Networks:
    def __init__(self):
        self.first = None
        self.by_name = {}

    def list(self, project):
        return self.first

    def list_next(self, previous_request, previous_response):
        return previous_request.next

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


# ------------------------------------------------------- recording service

class RecordingService:
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

    def __getattr__(self, collection):
        if collection.startswith("_"):
            raise AttributeError(collection)
        return lambda: _RecordingCollection(self, collection)

    def request(self, collection, method, kwargs):
        return _RecordingRequest(self, collection, method, kwargs)


class _RecordingCollection:
    def __init__(self, service, collection):
        self._service = service
        self._collection = collection

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)
        service, collection = self._service, self._collection

        def build(*args, **kwargs):
            if args:
                raise AssertionError("positional arguments to %s.%s" % (collection, method))
            service.calls.append((collection, method, dict(kwargs)))
            if method == "list_next":
                return service.respond(collection, method, kwargs)
            return service.request(collection, method, kwargs)

        return build


class _RecordingRequest:
    def __init__(self, service, collection, method, kwargs):
        self._service = service
        self.collection = collection
        self.method = method
        self.kwargs = kwargs

    def execute(self, *args, **kwargs):
        if args or kwargs:
            raise AssertionError("execute() takes no arguments")
        self._service.calls.append((self.collection, self.method, "execute"))
        return self._service.respond(self.collection, self.method, self.kwargs)


# ----------------------------------------------------------------- logging

class DropHandler(logging.Handler):
    """Formats every record, as a real handler would, and keeps nothing."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.setFormatter(logging.Formatter("%(levelname)s %(name)s %(message)s"))

    def emit(self, record):
        self.format(record)


class RecordingHandler(logging.Handler):
    """Keeps ``(levelname, message)`` of every record."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelname, record.getMessage()))
