"""Differential fuzzing support: the extension against the plain-Python model.

A scenario is plain data drawn by hypothesis: the method's arguments, the
plan, the revert information, the ``Globals`` attributes, the dry-run switch,
the logger level and, per Compute request kind, a queue of outcomes (a
response or an exception). Values that must not be shared between the two
runs (containers, nested lists, dict and str subclasses) are described by
marker objects and built afresh for each run by ``materialize``, so both
implementations see equal, independent data (deep copies would not do: a
nested list deeper than the recursion limit cannot be copied).

``differential(method, scenario)`` runs the scenario on ``tarn_gcp.gcplib``
and on ``testing.model`` with fresh fakes and compares what each did:
the result or the exception, the log lines with their levels, the Compute
requests and ``execute()`` calls in order, the calls on the run context,
``Globals``, ``common``, ``RouteInfo`` and ``time``, the revert information,
the plan and the arguments afterwards (a container met twice is written as
a reference, so that the same object and a copy differ), the exception line
of every traceback written to stderr (not its frames), and the errors handed
to ``sys.unraisablehook``. A quarter of the scenarios call the method on a
subclass whose methods reached through ``cls`` record their calls, some with
other index attributes.

Values nested deeper than the recursion limit come alone in their scenario:
the extension reads all values of a log line before converting them, the
model converts each as it reads it, so with a second fault in the same line
the two would report different ones of the two faults.

Profiles: HYPOTHESIS_PROFILE=long runs 40 times as many, randomised
examples (``fuzz-long``); the default (``fuzz``) is small and derandomised.
"""

from __future__ import annotations

import io
import logging
import os
import sys
import types
from collections.abc import Mapping

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from testing import fakes as bfakes
from testing import model as reference
from testing.urls import PROJECTS as BASE
from testing.urls import network_url as net_url
from testing.urls import region_url
from testing.urls import subnet_url as sub_url

LOGGER = "tarn_gcp.gcplib"

# ---------------------------------------------------------------- settings

_COMMON = dict(
    deadline=None,
    database=None,
    print_blob=False,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much, HealthCheck.large_base_example],
)
settings.register_profile("fuzz", derandomize=True, **_COMMON)
settings.register_profile("fuzz-long", derandomize=False, **_COMMON)
LONG = os.environ.get("HYPOTHESIS_PROFILE", "") in ("long", "fuzz-long")


def fuzz_settings(examples):
    """Settings for one fuzz test: `examples` by default, 40 times as many
    with HYPOTHESIS_PROFILE=long."""
    if LONG:
        return settings(settings.get_profile("fuzz-long"), max_examples=examples * 40)
    return settings(settings.get_profile("fuzz"), max_examples=examples)


# ------------------------------------------------------------------ values

class FuzzStr(str):
    """A str subclass: equal to the str, but not of type str."""


class FuzzDict(dict):
    """A dict subclass."""


class FuzzMapping(Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def __repr__(self):
        return "FuzzMapping(%r)" % (self._data,)


class FuzzHttpError(Exception):
    """What a failing request raises."""


class FuzzInterrupt(BaseException):
    """An error outside the Exception hierarchy, as KeyboardInterrupt is."""


EXCEPTIONS = {
    "http": FuzzHttpError,
    "key": KeyError,
    "value": ValueError,
    "runtime": RuntimeError,
    "exception": Exception,
    "interrupt": FuzzInterrupt,
}

# A depth that stands for "deeper than the recursion limit": str(), == and
# repr() of such a list raise RecursionError, whatever calls them.
DEEP = "beyond the recursion limit"


class Marker:
    def __repr__(self):
        fields = ", ".join("%s=%r" % kv for kv in vars(self).items())
        return "%s(%s)" % (type(self).__name__, fields)

    def __eq__(self, other):
        return type(self) is type(other) and vars(self) == vars(other)

    def __hash__(self):
        return hash(type(self))


class Deep(Marker):
    """A list nested `depth` times around "x"; with DEEP, 500 levels more
    than the recursion limit in force when it is built (hypothesis raises
    the limit while a test runs)."""

    def __init__(self, depth):
        self.depth = depth

    def build(self):
        depth = sys.getrecursionlimit() + 500 if self.depth == DEEP else self.depth
        value = "x"
        for _ in range(depth):
            value = [value]
        return value


class Huge(Marker):
    """A list of `n` elements, cycling through fresh copies of `items`."""

    def __init__(self, n, items):
        self.n = n
        self.items = items

    def build(self):
        items = self.items or [None]
        return [materialize(items[i % len(items)]) for i in range(self.n)]


class Sub(Marker):
    """A value of a subclass: FuzzStr, FuzzDict or FuzzMapping."""

    def __init__(self, kind, value):
        self.kind = kind
        self.value = value

    def build(self):
        value = materialize(self.value)
        return {"str": FuzzStr, "dict": FuzzDict, "mapping": FuzzMapping}[self.kind](value)


class Outcome(Marker):
    """One answer of the fake service: "ok" (value), "raise" (exception kind
    and message), and for list_next "page" (value) or "end"."""

    def __init__(self, kind, value=None, exc=None):
        self.kind = kind
        self.value = value
        self.exc = exc

    def build(self):
        if self.kind == "raise":
            kind, message = self.exc
            return ("raise", EXCEPTIONS[kind](materialize(message)))
        return (self.kind, materialize(self.value))


def materialize(spec):
    """A fresh object for a spec: containers rebuilt, markers built."""
    t = type(spec)
    if t is dict:
        return {materialize(k): materialize(v) for k, v in spec.items()}
    if t is list:
        return [materialize(v) for v in spec]
    if t is tuple:
        return tuple(materialize(v) for v in spec)
    if isinstance(spec, Marker):
        return spec.build()
    return spec


def clone(spec):
    """A copy of a spec's containers, so that mutating it leaves what
    hypothesis holds alone."""
    t = type(spec)
    if t is dict:
        return {k: clone(v) for k, v in spec.items()}
    if t is list:
        return [clone(v) for v in spec]
    if t is Outcome:
        return Outcome(spec.kind, clone(spec.value), spec.exc)
    return spec


# ---------------------------------------------------------- normalisation

def nesting(obj):
    depth = 0
    while type(obj) in (list, tuple) and obj:
        obj = obj[0]
        depth += 1
    return depth


def safe_str(obj):
    try:
        return str(obj)
    except BaseException as e:  # noqa: BLE001 - any failure is a result too
        return "<str() raised %s>" % type(e).__name__


def normalize(obj, depth=0, seen=None):
    """A comparable, printable form: types tagged, nesting cut off. With
    `seen` (a dict shared by the calls of one record), a mutable container
    met again is written as a reference to its first appearance, so that
    what is the same object (a stored record and the body sent, say) and
    what is a copy are told apart."""
    if depth > 40:
        return ("<nested>", nesting(obj))
    t = type(obj)
    if t in (str, int, bool, bytes, float) or obj is None:
        return (t.__name__, obj)
    if seen is not None and t in (dict, list, FuzzDict, FuzzMapping):
        if id(obj) in seen:
            return ("same as", seen[id(obj)][0])
        seen[id(obj)] = (len(seen), obj)
    if t is dict or t is FuzzDict:
        return (t.__name__, tuple((normalize(k, depth + 1, seen), normalize(v, depth + 1, seen))
                                  for k, v in obj.items()))
    if t in (list, tuple):
        return (t.__name__, tuple(normalize(v, depth + 1, seen) for v in obj))
    if t is FuzzStr:
        return ("FuzzStr", str.__str__(obj))
    if t is FuzzMapping:
        return ("FuzzMapping", normalize(obj._data, depth + 1, seen))
    if isinstance(obj, bfakes.FakeRouteInfo):
        return ("RouteInfo", normalize(obj.gke_export_routes, depth + 1, seen))
    if isinstance(obj, BaseException):
        return ("exception", type(obj).__name__, safe_str(obj))
    if isinstance(obj, bfakes.RecordedRequest):
        return ("request", obj.collection, obj.method, normalize(obj.kwargs, depth + 1, seen))
    if isinstance(obj, FuzzService):
        return ("service",)
    if isinstance(obj, type):
        return ("class", obj.__name__)
    return ("object", t.__name__)


# ------------------------------------------------------------------ fakes

class Events:
    current = None


class FuzzGlobals(bfakes.FakeGlobals):
    revert = None

    @classmethod
    def getDryRun(cls):
        Events.current.append(("getDryRun",))
        return cls.dry_run

    @classmethod
    def getRevertInfo(cls):
        Events.current.append(("getRevertInfo",))
        return cls.revert


class FuzzYamlContext(bfakes.FakeYamlContext):
    plan = {}

    def getContext(self, key):
        Events.current.append(("getContext", key))
        return super().getContext(key)


class FuzzRouteInfo(bfakes.FakeRouteInfo):
    def __init__(self, routes=None):
        Events.current.append(("RouteInfo",))
        super().__init__()
        if routes is not None:
            self.gke_export_routes = routes

    def add_gke_export_routes(self, cidr):
        Events.current.append(("add_gke_export_routes", normalize(cidr)))
        super().add_gke_export_routes(cidr)

    def get_gke_export_routes(self):
        Events.current.append(("get_gke_export_routes",))
        return super().get_gke_export_routes()


class FuzzCommon:
    INSTANCE_I = 10

    @classmethod
    def logVpcHeader(cls, network):
        Events.current.append(("logVpcHeader", normalize(network)))

    @classmethod
    def logSubnet(cls, subnetwork):
        Events.current.append(("logSubnet", normalize(subnetwork)))


class FuzzTime:
    @staticmethod
    def sleep(seconds):
        Events.current.append(("sleep", normalize(seconds)))


# What an exhausted queue answers.
OPERATION = {"name": "operation-1", "status": "PENDING"}
DEFAULTS = {
    "globalOperations.wait": ("ok", {"name": "operation-1", "status": "DONE"}),
    "networks.addPeering": ("ok", OPERATION),
    "networks.removePeering": ("ok", OPERATION),
    "routes.delete": ("ok", OPERATION),
    "routes.insert": ("ok", OPERATION),
    "routers.patch": ("ok", OPERATION),
    "routes.list_next": ("end", None),
    "networks.list_next": ("end", None),
    "routes.list": ("ok", {}),
    "routers.list": ("ok", {}),
}


class FuzzService(bfakes.RecordingService):
    """Answers each request kind from its queue of drawn outcomes; when the
    queue is used up, a read answers its last response again, a change or a
    wait as DEFAULTS says, anything else with an HTTP error."""

    def __init__(self, queues):
        super().__init__(self._answer)
        self.queues = {key: list(outcomes) for key, outcomes in queues.items()}
        self.last = {}

    def _answer(self, collection, method, kwargs):
        if "__page__" in kwargs:
            return kwargs["__page__"]
        key = collection + "." + method
        queue = self.queues.get(key)
        if queue:
            outcome = queue.pop(0)
            if outcome.kind == "ok":
                self.last[key] = outcome
            kind, value = outcome.build()
        elif key in DEFAULTS:
            kind, value = DEFAULTS[key]
            value = materialize(value)
        elif key in self.last:
            kind, value = self.last[key].build()
        else:
            kind, value = "raise", FuzzHttpError("<HttpError 404 %s>" % key)
        if kind == "raise":
            raise value
        if kind == "end":
            return None
        if kind == "page":
            return self.request(collection, "list", {"__page__": value})
        return value


# ---------------------------------------------------------------- running

def extension():
    from tarn_gcp import gcplib

    return gcplib


MODULES = {"cpp": None, "py": reference}
SIBLINGS = ("Globals", "yctx", "RouteInfo", "common", "time", "google", "discovery")
OURS = ("Argument '", "Expected ")


class Record:
    """What one implementation did with one scenario."""

    def __init__(self):
        self.outcome = None
        self.logs = []
        self.calls = []
        self.events = []
        self.revert = None
        self.plan = None
        self.args = None
        self.tracebacks = []
        self.unraisable = []
        self.route_info = None
        self.propagate_after = None

    def fields(self):
        return ["outcome", "logs", "calls", "events", "revert", "plan", "args", "tracebacks",
                "unraisable", "route_info", "propagate_after"]


def traceback_lines(text):
    """The exception lines of the tracebacks in `text`, without their
    frames: those differ between the extension and Python code, and an error
    raised by the extension itself has no frame, so no "Traceback" header."""
    return [line for line in text.split("\n")
            if line and not line[0].isspace() and line != "Traceback (most recent call last):"]


def run_once(module, method, scenario):
    data = materialize({k: v for k, v in scenario.items() if k != "responses"})
    service = FuzzService(scenario.get("responses", {}))
    record = Record()
    Events.current = record.events

    def bind(value):
        return service if value is SERVICE else value

    g = data.get("globals", {})
    FuzzGlobals.service = bind(g.get("service", SERVICE))
    FuzzGlobals.project = g.get("project")
    FuzzGlobals.vpc = g.get("vpc")
    FuzzGlobals.networkLink = g.get("networkLink")
    gke = g.get("routeInfo", [])
    FuzzGlobals.routeInfo = FuzzRouteInfo(gke) if type(gke) is list else gke
    FuzzGlobals.dry_run = data.get("dry_run", False)
    FuzzGlobals.revert = data.get("revert", {})
    FuzzYamlContext.plan = data.get("plan", {})
    del record.events[:]

    auth = data.get("auth")  # ("ok", value) or ("raise", error)

    def default():
        Events.current.append(("google.auth.default",))
        if auth is not None and auth[0] == "raise":
            raise auth[1]
        return auth[1] if auth is not None else ("credentials", "p1")

    def build(*args, **kwargs):
        Events.current.append(("discovery.build", normalize(args), normalize(kwargs)))
        return service

    saved = {name: getattr(module, name) for name in SIBLINGS}
    module.Globals = FuzzGlobals
    module.yctx = FuzzYamlContext
    module.RouteInfo = FuzzRouteInfo
    module.common = FuzzCommon
    module.time = FuzzTime
    module.google = types.SimpleNamespace(auth=types.SimpleNamespace(default=default))
    module.discovery = types.SimpleNamespace(build=build)

    logger = logging.getLogger(LOGGER)
    handler = bfakes.LogCapture()
    old_level, old_propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(getattr(logging, scenario.get("level", "INFO")))
    if scenario.get("logger") == "patched":
        # Replaced on the instance, as a test double would be: called for
        # every message, whatever the level.
        for level in ("info", "warning", "error"):
            setattr(logger, level,
                    lambda msg, _level=level: handler.lines.append(("patched " + _level, msg)))
    # Kept from the test run's own log capture; the listing sets it itself.
    logger.propagate = False
    old_stderr, old_hook = sys.stderr, sys.unraisablehook
    stderr = io.StringIO()
    sys.stderr = stderr
    sys.unraisablehook = lambda u: record.unraisable.append(
        (u.exc_type.__name__, safe_str(u.exc_value)))
    args = [bind(a) for a in data.get("args", [])]
    kwargs = {k: bind(v) for k, v in data.get("kwargs", {}).items()}
    target = module.GcpLib
    if "subclass" in scenario:
        target = subclass(module.GcpLib, scenario["subclass"])
    result = None
    try:
        result = getattr(target, method)(*args, **kwargs)
        record.outcome = ("return", None)
    except (Exception, FuzzInterrupt) as e:
        record.outcome = ("raise", type(e), safe_str(e))
    finally:
        sys.stderr, sys.unraisablehook = old_stderr, old_hook
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        for level in ("info", "warning", "error"):
            logger.__dict__.pop(level, None)
        record.propagate_after = logger.propagate
        logger.propagate = old_propagate
        for name, value in saved.items():
            setattr(module, name, value)
        Events.current = None
    record.logs = list(handler.lines)
    seen = {}
    if record.outcome[0] == "return":
        record.outcome = ("return", normalize(result, 0, seen))
    record.calls = [normalize(c, 0, seen) for c in service.calls]
    record.revert = normalize(FuzzGlobals.revert, 0, seen)
    record.plan = normalize(FuzzYamlContext.plan, 0, seen)
    record.args = normalize((args, kwargs), 0, seen)
    record.tracebacks = traceback_lines(stderr.getvalue())
    record.route_info = normalize(FuzzGlobals.routeInfo)
    return record


# The methods that others reach through cls.
REACHED = ("wait_for_global_operation", "deletePeering", "lookupRemotePeering", "deletePeerings",
           "addPeerings", "listRouteTable", "listSubnetByRegion", "listSubnet", "manageRoute",
           "restoreRoute", "manageCloudRouterAdvertisedRoutePerVpc",
           "restoreCloudRouterAdvertisedRoutePerVpc")


def subclass(base, attributes):
    """A subclass of `base` with `attributes` (index overrides) whose
    methods that others reach through cls record each call, then run the
    base's method bound to the subclass."""
    namespace = dict(attributes)
    for name in REACHED:
        namespace[name] = _recording(base.__dict__[name], name)
    return type("FuzzGcpLib", (base,), namespace)


def _recording(descriptor, name):
    def method(cls, *args, **kwargs):
        Events.current.append(("cls." + name, cls.__name__, normalize(args), normalize(kwargs)))
        return descriptor.__get__(None, cls)(*args, **kwargs)

    return classmethod(method)


def comparable_outcome(outcome, other):
    """The outcome as compared: exception messages only where the text is
    the system's own or one the fakes raised."""
    if outcome[0] != "raise":
        return outcome
    _, etype, message = outcome
    ours = (etype is Exception or etype in EXCEPTIONS.values()
            or message.startswith(OURS) or other[0] == "raise" and other[2].startswith(OURS))
    return ("raise", etype.__name__, message if ours else "<not compared>")


def differential(method, scenario):
    """Runs `scenario` through `method` of both implementations and asserts
    they did the same. Returns the extension's record."""
    if MODULES["cpp"] is None:
        MODULES["cpp"] = extension()
    cpp = run_once(MODULES["cpp"], method, scenario)
    py = run_once(MODULES["py"], method, scenario)
    problems = []
    for field in cpp.fields():
        a, b = getattr(cpp, field), getattr(py, field)
        if field == "outcome":
            a, b = comparable_outcome(a, b), comparable_outcome(b, a)
        if a != b:
            problems.append(describe(field, a, b))
    if method == "listRouteTable" and cpp.propagate_after is not True:
        problems.append("logger.propagate left as %r" % (cpp.propagate_after,))
    assert not problems, "%s differs:\n%s" % (method, "\n".join(problems))
    return cpp


def describe(field, a, b):
    if isinstance(a, list) and isinstance(b, list):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return "  %s[%d]:\n    extension: %.600r\n    model:     %.600r" % (field, i, x, y)
        return "  %s: lengths %d (extension) and %d (model); extra: %.600r" % (
            field, len(a), len(b), (a[len(b):] or b[len(a):])[:3])
    return "  %s:\n    extension: %.900r\n    model:     %.900r" % (field, a, b)


# -------------------------------------------------------------- strategies

PROJECTS = ("p1", "p2")
NETWORKS = ("net-a", "net-b")
REGIONS = ("r1", "r2")

projects = st.sampled_from(PROJECTS)
networks = st.sampled_from(NETWORKS)
regions = st.sampled_from(REGIONS)
names = st.sampled_from(("a", "b", "peer-1", "route-x", "gke-c1-peer", "tsr-0"))
texts = st.one_of(names, st.text(max_size=12))
cidrs = st.sampled_from(("10.0.0.0/24", "10.1.0.0/16", "192.168.0.0/24", "10.0.0.0/8",
                         "10.0.0.1/24", "fd00::/8", "300.0.0.0/8", "10.0.0.0/24 "))


network_urls = st.builds(net_url, projects, networks)
subnet_urls = st.builds(sub_url, projects, regions, names)
region_urls = st.builds(region_url, projects, regions)


def weighted(*pairs):
    """One of the strategies, drawn in proportion to its weight (one_of
    would merge repeated strategies)."""
    choices = [i for i, (weight, _) in enumerate(pairs) for _ in range(weight)]
    return st.sampled_from(choices).flatmap(lambda i: pairs[i][1])


def ok(values):
    return values.map(lambda v: Outcome("ok", v))


def failure():
    return st.tuples(st.sampled_from(sorted(EXCEPTIONS)),
                     st.sampled_from(("boom", "", "ünïcødé 名前", "\ud800", "x" * 300,
                                      Deep(DEEP)))).map(lambda e: Outcome("raise", exc=e))


def outcomes(values, max_size=3, min_size=1):
    """A queue of answers, mostly responses."""
    return st.lists(weighted((3, ok(values)), (1, failure())), min_size=min_size, max_size=max_size)


# Operation records, as a mutating request answers them; each of the
# three fields that are checked, alone, together, or false.
OPERATIONS = (
    {"name": "operation-1", "status": "PENDING"}, {"name": "op-2"},
    {"name": "operation-1", "error": {"errors": [{"code": "X"}]}},
    {"name": "operation-1", "error": "bad"},
    {"name": "operation-1", "warnings": [{"code": "W"}]},
    {"name": "operation-1", "httpErrorMessage": "FORBIDDEN"},
    {"name": "op-2", "error": "", "warnings": [], "httpErrorMessage": None},
    {"name": "op-2", "error": None, "warnings": [{"code": "W"}], "httpErrorMessage": "FORBIDDEN"},
    {"name": "operation-1", "error": {"errors": []}, "warnings": [{"code": "W"}]},
)
# What globalOperations.wait answers.
WAITS = (
    {"status": "DONE"}, {"status": "DONE", "name": "operation-1"}, {"status": "RUNNING"},
    {"status": "done"}, {"status": "DONE", "error": {"errors": []}},
    {"status": "DONE", "error": None},
    {"status": "DONE", "error": {}}, {"status": "RUNNING", "error": "e"},
)


def operations():
    return weighted((2, st.sampled_from(OPERATIONS[:2])), (1, st.sampled_from(OPERATIONS)))


def waits():
    return weighted((3, st.sampled_from(WAITS[:2])), (1, st.sampled_from(WAITS)))


JUNK = (None, 0, 1, -7, True, False, 2 ** 70, 1.5, "", "x", "ünïcødé-名前", "\ud800", "a\udfffb",
        "x" * 5000, "é/" * 3000, b"p1", b"", (), ("a", "b"), [], [None], {}, {"name": None},
        # self-links in 2- and 4-byte strings, with a lone surrogate, and
        # around 32 slashes
        BASE + "p名/global/networks/n名", BASE + "p1/regions/r名/subnetworks/s\U0001f600",
        BASE + "\ud800/global/networks/\ud800", "a/" * 32 + "z", "a/" * 33 + "z", "/" * 40,
        Deep(25), Sub("str", "p1"), Sub("str", "net-a"), Sub("dict", {"name": "a"}),
        Sub("mapping", {"name": "a"}))


def has_huge(spec):
    """Whether a spec holds a Huge list (one in another would make
    millions of elements)."""
    if isinstance(spec, Huge):
        return True
    if type(spec) is dict:
        return any(has_huge(v) for v in spec.values())
    if type(spec) is list:
        return any(has_huge(v) for v in spec)
    if isinstance(spec, (Sub, Outcome)):
        return has_huge(spec.value)
    return False


@st.composite
def mutation(draw, value):
    kind = draw(st.sampled_from(("junk", "junk", "junk", "drop", "drop", "huge", "sub", "wrap")))
    if kind == "junk":
        return draw(st.sampled_from(JUNK))
    if kind == "drop":
        return DROP
    if kind == "huge" and not has_huge(value):
        items = value if type(value) is list else [value]
        return Huge(draw(st.sampled_from((150, 300))), items)
    if kind == "huge":
        return draw(st.sampled_from(JUNK))
    if kind == "sub":
        if type(value) is str:
            return Sub("str", value)
        if type(value) is dict:
            return Sub(draw(st.sampled_from(("dict", "mapping"))), value)
        return draw(st.sampled_from(JUNK))
    return draw(st.sampled_from(({"value": value}, [value])))


DROP = object()
REGIONS_OF_SCENARIO = ("args", "kwargs", "plan", "revert", "globals", "dry_run", "responses",
                       "auth")


def paths(node, path, out):
    """Every place below `node` a mutation can go, as key paths."""
    t = type(node)
    if t is dict:
        for k in node:
            out.append(path + (k,))
            paths(node[k], path + (k,), out)
    elif t is list:
        for i, v in enumerate(node):
            out.append(path + (i,))
            paths(v, path + (i,), out)
    elif t is Outcome and node.kind in ("ok", "page"):
        out.append(path + ("value",))
        paths(node.value, path + ("value",), out)


def places_of(scenario, service=False):
    """The mutable places of a scenario; the service placeholder only when
    `service` (a broken service is of little interest, and rarely drawn)."""
    out = []
    for region in REGIONS_OF_SCENARIO:
        if region not in scenario:
            continue
        if region in ("dry_run", "revert"):
            out.append((region,))
            if region == "revert":
                paths(scenario[region], (region,), out)
        else:
            paths(scenario[region], (region,), out)
    # A response queue and its outcomes are the fake's own structure; only
    # the values inside them are data.
    out = [p for p in out if p[0] != "responses" or len(p) > 3]
    if not service:
        out = [p for p in out if type(get_at(scenario, p)) is not Svc]
    return out


def get_at(root, path):
    node = root
    for k in path:
        node = node.value if type(node) is Outcome else node[k]
    return node


def set_at(root, path, value):
    # A copy: junk values are shared constants, and a later mutation may
    # change what was put here.
    value = value if value is DROP else clone(value)
    parent = get_at(root, path[:-1])
    k = path[-1]
    if type(parent) is Outcome:
        parent.value = None if value is DROP else value
    elif value is DROP:
        del parent[k]
    else:
        parent[k] = value


@st.composite
def scenarios(draw, base):
    """`base` (a strategy of valid scenarios) with a few mutations anywhere
    in its data, or with one value nested deeper than the recursion limit."""
    scenario = clone(draw(base))
    scenario.setdefault("level",
                        draw(st.sampled_from(("INFO", "INFO", "INFO", "INFO", "WARNING", "ERROR"))))
    if draw(st.integers(0, 7)) == 7:
        scenario["logger"] = "patched"
    if draw(st.integers(0, 3)) == 3:
        scenario["subclass"] = draw(subclass_attributes)
    mode = draw(st.sampled_from(("clean", "clean", "mutate", "mutate", "mutate", "mutate", "deep")))
    if mode == "clean":
        return scenario
    if mode == "deep":
        # Alone in its scenario: with two faults in one message, which one
        # is met first is an ordering detail, not behaviour.
        places = places_of(scenario)
        if places:
            set_at(scenario, draw(st.sampled_from(places)), Deep(DEEP))
        return scenario
    service = draw(st.integers(0, 9)) == 9
    for _ in range(draw(st.integers(1, 3))):
        places = places_of(scenario, service)
        if not places:
            break
        path = draw(st.sampled_from(places))
        value = draw(mutation(get_at(scenario, path)))
        if value is DROP and (len(path) == 1 or (len(path) == 2 and path[0] == "args")):
            # Arguments are replaced, never dropped: a missing argument is
            # the host's binding error, the same for any function.
            value = draw(st.sampled_from(JUNK))
        set_at(scenario, path, value)
    return scenario


# Index overrides of a subclass: mostly none, else other positions, from
# the end, out of range or not ints.
subclass_attributes = st.sampled_from((
    {}, {"PROJECT_I": -4}, {"NETWORK_I": -1, "PROJECT_I": -4}, {"REGION_I": -3, "SUBNET_I": -1},
    {"NETWORK_I": 40}, {"PROJECT_I": "6"}, {"NETWORK_I": True}, {"REGION_I": 2 ** 70},
    {"PROJECT_I": 5},
))


class Svc(Marker):
    """The fake service, wherever an argument or Globals.service takes it."""

    def build(self):
        return SERVICE


SERVICE = object()


def dry_runs():
    return st.sampled_from((True, False, False, 0, 1, "", "yes", None))
