"""The module frame: namespace, class surface, argument binding, import."""

import ast
import importlib
import importlib.machinery
import importlib.util
import inspect
import os
import pathlib
import pydoc
import subprocess
import sys
import textwrap

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from testing.fuzz import FuzzStr, fuzz_settings

# The checkout: the first folder above this file that holds pyproject.toml.
ROOT = next(p for p in pathlib.Path(__file__).resolve().parents if (p / "pyproject.toml").exists())
STUB = os.path.join(ROOT, "src", "tarn_gcp", "gcplib.pyi")


def _stub_methods():
    """The methods the typing stub declares, in order."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "GcpLib"]
    return [n.name for n in cls.body if isinstance(n, ast.FunctionDef)]


# The method names come from the typing stub, which test_typing_stub_is_the_
# module_s_own checks against the module's introspection (made from the
# method table): adding a method means its table row and a regenerated stub.
METHODS = _stub_methods()


def _stub_parameters():
    """(name, "(parameters)") of each method the stub declares, without cls
    and without annotations: what binding an argument list depends on."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "GcpLib"]
    found = []
    for node in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
        node.args.args = node.args.args[1:]
        for arg in node.args.posonlyargs + node.args.args + node.args.kwonlyargs:
            arg.annotation = None
        found.append((node.name, "(%s)" % ast.unparse(node.args)))
    return found


PARAMETERS = _stub_parameters()

# The signatures with something besides plain parameters.
SIGNATURES = {
    "wait_for_global_operation": "(service: 'object', project: 'str', operation: 'str') -> 'dict'",
    "managePeerings": "(switch_traffic: 'bool')",
    "manageCloudRouterAdvertisedRoute": "(switch_traffic: 'bool')",
    "listRouteTable": "(project, service, network, propagate=True) -> 'RouteInfo'",
}

WAIT_DOC = (
    "Waits for the given operation to complete.\n"
    "\n"
    "        Args:\n"
    "        compute: an initialized compute service object.\n"
    "        project: the Google Cloud project ID.\n"
    "        zone: the name of the zone in which the operation should be executed.\n"
    "        operation: the operation ID.\n"
    "\n"
    "        Returns:\n"
    "        The result of the operation.\n"
    "        "
)


def test_namespace_is_bound_in_import_order(gcplib):
    import base64, hashlib, ipaddress, logging, pprint, time, traceback

    import google
    import requests
    from googleapiclient import discovery
    from oauth2client.client import GoogleCredentials
    from tarn_gcp.commonlib import Common
    from tarn_gcp.core.YamlContext import YamlContext
    from tarn_gcp.res.Globals import Globals
    from tarn_gcp.res.RouteInfo import RouteInfo

    expected = [
        ("requests", requests), ("logging", logging), ("discovery", discovery),
        ("GoogleCredentials", GoogleCredentials), ("google", google), ("common", Common),
        ("Globals", Globals), ("pprint", pprint.pprint), ("yctx", YamlContext),
        ("RouteInfo", RouteInfo), ("time", time), ("traceback", traceback),
        ("ipaddress", ipaddress), ("hashlib", hashlib), ("base64", base64),
    ]
    names = [n for n in vars(gcplib) if not n.startswith("__")]
    assert names == [n for n, _ in expected] + ["GcpLib"]
    for name, value in expected:
        assert getattr(gcplib, name) is value, name
    assert "google.auth" in sys.modules


def test_class_surface(GcpLib):
    assert GcpLib.__bases__ == (object,)
    assert GcpLib.__module__ == "tarn_gcp.gcplib" and GcpLib.__qualname__ == "GcpLib"
    assert GcpLib.__doc__ is None
    assert (GcpLib.PROJECT_I, GcpLib.REGION_I, GcpLib.SUBNET_I, GcpLib.NETWORK_I) == (6, 8, 10, 9)
    own = [n for n in vars(GcpLib) if not n.startswith("__")]
    assert own == ["PROJECT_I", "REGION_I", "SUBNET_I", "NETWORK_I"] + METHODS
    assert len(METHODS) == 19
    for name in METHODS:
        assert isinstance(vars(GcpLib)[name], classmethod)


@pytest.mark.parametrize("name", METHODS)
def test_method_introspection(GcpLib, name):
    method = getattr(GcpLib, name)
    # Plain parameters: the names the code object lists after cls.
    code = method.__code__
    plain = "(" + ", ".join(code.co_varnames[1:code.co_argcount]) + ")"
    signature = SIGNATURES.get(name, plain)
    assert method.__self__ is GcpLib
    assert method.__name__ == name
    assert method.__qualname__ == "GcpLib." + name
    assert method.__module__ == "tarn_gcp.gcplib"
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == (WAIT_DOC if name == "wait_for_global_operation" else None)
    assert method.__defaults__ == ((True,) if name == "listRouteTable" else None)
    expected_annotations = {
        "wait_for_global_operation": {"service": "object", "project": "str", "operation": "str",
                                      "return": "dict"},
        "managePeerings": {"switch_traffic": "bool"},
        "manageCloudRouterAdvertisedRoute": {"switch_traffic": "bool"},
        "listRouteTable": {"return": "RouteInfo"},
    }.get(name, {})
    assert method.__annotations__ == expected_annotations
    assert type(method.__annotations__) is dict
    assert method.__kwdefaults__ is None
    # The code object describes the parameters as a Python function's does.
    code = method.__code__
    assert (code.co_name == name
            and code.co_filename == inspect.getfile(sys.modules["tarn_gcp.gcplib"]))
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
    params = list(inspect.signature(vars(GcpLib)[name].__func__).parameters)
    assert list(code.co_varnames[:code.co_argcount]) == params and params[0] == "cls"
    if sys.version_info >= (3, 11):
        assert code.co_qualname == "GcpLib." + name
    # An instance binds the class as cls too.
    assert getattr(GcpLib(), name).__self__ is GcpLib


def test_help_reads_like_a_python_class(GcpLib):
    text = pydoc.render_doc(GcpLib, renderer=pydoc.plaintext)
    assert "class GcpLib(builtins.object)" in text
    assert "listRouteTable(project, service, network, propagate=True) -> 'RouteInfo'" in text
    assert "Waits for the given operation to complete." in text
    assert "PROJECT_I = 6" in text


def _python_twin():
    """A Python class with the same parameters, whose errors are the reference."""
    ns = {}
    exec(textwrap.dedent("""
        class GcpLib:
            @classmethod
            def listRouteTable(cls, project, service, network, propagate=True): pass
            @classmethod
            def listPeering(cls, network): pass
            @classmethod
            def deletePeering(cls, service, project, vpc, peering): pass
            @classmethod
            def restoreRoute(cls, service, stage): pass
    """), ns)
    return ns["GcpLib"]


ARGUMENT_ERRORS = [
    ("listRouteTable", ("p",), {}),
    ("listRouteTable", (), {}),
    ("listRouteTable", (1, 2, 3, 4, 5), {}),
    ("listRouteTable", (1, 2, 3), {"propagate": 1, "x": 2}),
    ("listRouteTable", (1, 2, 3), {"project": 1}),
    ("listRouteTable", (1,), {"cls": 1}),
    ("listRouteTable", (1, 2, 3, 4, 5, 6), {"bogus": 1}),
    ("listPeering", (1, 2), {}),
    ("listPeering", (), {"x": 1}),
    ("listPeering", (), {}),
    ("deletePeering", (), {}),
    ("deletePeering", (1,), {"peering": 1}),
    ("restoreRoute", (1, 2, 3), {}),
    ("restoreRoute", (), {"stage": 1}),
    # near misses, which newer interpreters answer with a suggestion
    ("listPeering", (), {"netwrk": 1}),
    ("listRouteTable", (1, 2, 3), {"propagat": 1}),
    ("listRouteTable", (1, 2), {"network": 1, "servce": 2}),
    ("deletePeering", (1, 2, 3), {"peering": 4, "Peering": 5}),
]


@pytest.mark.parametrize("name,args,kwargs", ARGUMENT_ERRORS)
def test_argument_errors_match_python(GcpLib, name, args, kwargs):
    twin = _python_twin()
    with pytest.raises(TypeError) as expected:
        getattr(twin, name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(GcpLib, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def _python_twins():
    """A Python class with the parameters of all nineteen methods, as their
    signatures above spell them."""
    ns = {}
    body = "".join(f"    @classmethod\n    def {name}(cls, {sig[1:]}: pass\n"
                   for name, sig in PARAMETERS)
    exec("class GcpLib:\n" + body, ns)
    return ns["GcpLib"]


TWINS = _python_twins()
KEYWORDS = sorted(
    {p for name, _ in PARAMETERS for p in inspect.signature(getattr(TWINS, name)).parameters}
    | {"cls", "netwrk", "propagat", "Network", "x"})


@fuzz_settings(300)
@given(name=st.sampled_from(METHODS), nargs=st.integers(0, 8),
       keywords=st.lists(st.tuples(st.sampled_from(KEYWORDS), st.booleans()), max_size=4,
                         unique_by=lambda k: k[0]))
def test_argument_binding_fuzz_matches_python(GcpLib, name, nargs, keywords):
    # Calls that do not fit: the same TypeError as the running interpreter
    # raises for a Python function with the same parameters (keywords that
    # are str subclasses included). Calls that fit would run the body.
    args = tuple(range(nargs))
    kwargs = {(FuzzStr(k) if subclass else k): k for k, subclass in keywords}
    try:
        getattr(TWINS, name)(*args, **kwargs)
    except TypeError as error:
        expected = str(error)
    else:
        assume(False)
    with pytest.raises(TypeError) as got:
        getattr(GcpLib, name)(*args, **kwargs)
    assert str(got.value) == expected


def test_arguments_bind_by_position_or_keyword(GcpLib, service, logs):
    GcpLib.listPeering(network={})
    GcpLib.listPeering({})
    GcpLib.listPeering(**{"network": {}})
    assert logs.messages.count("- Discover peering(s)") == 3


def test_calls_through_the_raw_function(GcpLib, logs):
    function = vars(GcpLib)["listPeering"].__func__
    assert function(GcpLib, {}) is None
    assert "GcpFunction" in type(function).__name__
    with pytest.raises(TypeError):
        type(function)()


def test_missing_arguments_raise_before_the_body_runs(GcpLib):
    with pytest.raises(TypeError):
        GcpLib.listAllNetwork()


def test_module_names_are_looked_up_at_each_use(gcplib, GcpLib, monkeypatch, logs):
    import logging

    class Recorder:
        def __init__(self):
            self.names = []

        def getLogger(self, name):
            self.names.append(name)
            return logging.getLogger(name)

    recorder = Recorder()
    monkeypatch.setattr(gcplib, "logging", recorder)
    GcpLib.listPeering({})
    assert recorder.names == ["tarn_gcp.gcplib"]
    monkeypatch.delattr(gcplib, "logging")
    with pytest.raises(NameError, match="name 'logging' is not defined"):
        GcpLib.listPeering({})


def test_class_attributes_are_read_through_cls(GcpLib, logs):
    class Shifted(GcpLib):
        PROJECT_I = 5
        NETWORK_I = 8

    Shifted.listPeering({"peerings": [
        {"name": "p", "network": "https://h/compute/v1/projects/pa/global/networks/na"}]})
    assert logs.messages[-1].endswith(" projects::networks")


def test_reimport_gives_the_same_module(gcplib):
    sys.modules.pop("tarn_gcp.gcplib")
    try:
        again = importlib.import_module("tarn_gcp.gcplib")
    finally:
        sys.modules["tarn_gcp.gcplib"] = gcplib
    assert again is gcplib
    assert again.GcpLib is gcplib.GcpLib


def _run_python(code):
    env = dict(os.environ)
    env["PYTHONWARNINGS"] = "ignore"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)


def test_failed_initialisation_is_discarded_and_retried():
    # With oauth2client hidden the import fails; once it is back, a fresh
    # initialisation succeeds.
    code = textwrap.dedent("""
        import sys, importlib
        class Hide:
            def find_spec(self, name, path=None, target=None):
                if name == "oauth2client" or name.startswith("oauth2client."):
                    raise ModuleNotFoundError("No module named 'oauth2client'", name="oauth2client")
        hide = Hide()
        sys.meta_path.insert(0, hide)
        try:
            import tarn_gcp.gcplib
        except ModuleNotFoundError as e:
            print("failed:", e)
        assert "tarn_gcp.gcplib" not in sys.modules
        sys.meta_path.remove(hide)
        import tarn_gcp.gcplib as m
        print("names:", [n for n in vars(m) if not n.startswith("__")][-2:])
        print("GcpLib:", m.GcpLib.listPeering.__qualname__)
    """)
    result = _run_python(code)
    assert result.returncode == 0, result.stderr
    assert "failed: No module named 'oauth2client'" in result.stdout
    assert "names: ['base64', 'GcpLib']" in result.stdout
    assert "GcpLib: GcpLib.listPeering" in result.stdout


def test_failed_import_binds_nothing_after_the_failure():
    code = textwrap.dedent("""
        import sys
        sys.modules["tarn_gcp.commonlib"] = None   # import of Common fails
        import importlib.machinery
        try:
            import tarn_gcp.gcplib
        except ImportError as e:
            print("failed")
        sys.modules.pop("tarn_gcp.commonlib")
        import tarn_gcp.gcplib as m
        print(sorted(n for n in vars(m) if not n.startswith("__")) == sorted(
            ["requests","logging","discovery","GoogleCredentials","google","common","Globals",
             "pprint","yctx","RouteInfo","time","traceback","ipaddress","hashlib","base64",
             "GcpLib"]))
    """)
    result = _run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["failed", "True"]


class Loud:
    def __str__(self):
        raise ValueError("no text")


def _peering(name):
    return {"name": name,
            "network": "https://www.googleapis.com/compute/v1/projects/p/global/networks/n"}


@pytest.fixture
def quiet_logger():
    import logging

    logger = logging.getLogger("tarn_gcp.gcplib")
    old = logger.level
    logger.setLevel(logging.WARNING)
    yield logger
    logger.setLevel(old)


def test_filtered_records_still_read_and_convert_every_value(GcpLib, quiet_logger):
    # Lines the logger drops are not built, but what they read is still read
    # and converted, so the same errors arise.
    GcpLib.listPeering({"peerings": [_peering("a")]})
    with pytest.raises(KeyError, match="name"):
        GcpLib.listPeering({"peerings": [{"network": _peering("a")["network"]}]})
    with pytest.raises(ValueError, match="no text"):
        GcpLib.listPeering({"peerings": [_peering(Loud())]})


def test_a_replaced_logger_method_gets_every_call(GcpLib, quiet_logger, monkeypatch):
    seen = []
    monkeypatch.setattr(quiet_logger, "info", seen.append)
    GcpLib.listPeering({"peerings": [_peering("a")]})
    assert len(seen) == 5 and seen[-1].startswith("  a ")


def test_records_follow_level_changes_made_during_a_call(GcpLib, quiet_logger):
    import logging

    # A value whose str() raises the level half-way through the table.
    class Switch:
        def __str__(self):
            quiet_logger.setLevel(logging.INFO)
            return "b"

    capture = __import__("testing.fakes", fromlist=["LogCapture"]).LogCapture()
    quiet_logger.addHandler(capture)
    try:
        GcpLib.listPeering({"peerings": [_peering("a"), _peering(Switch()), _peering("c")]})
    finally:
        quiet_logger.removeHandler(capture)
    assert [m.split()[0] for m in capture.messages] == ["b", "c"]


def test_typing_stub_is_the_module_s_own(gcplib):
    # scripts/gen-stub writes the stub from the module; run it when this fails.
    path = os.path.join(ROOT, "scripts", "gen-stub")
    spec = importlib.util.spec_from_loader("gen_stub",
                                           importlib.machinery.SourceFileLoader("gen_stub", path))
    gen_stub = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen_stub)
    with open(STUB, encoding="utf-8") as f:
        committed = f.read()
    assert committed == gen_stub.render(gcplib, committed)
