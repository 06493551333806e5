"""Discovery of a project's networks and of a network's subnetworks."""

import logging
import types

import pytest

from testing.fakes import BASE, FakeHttpError, network_url, subnet_url

RULE = "  " + "." * 63
SUBNET_HEADER = "  " + "CIDR".ljust(25) + "REGION".ljust(30) + "subnet"
OPENING = [("INFO", ""), ("INFO", "- Discover subnet(s)"), ("INFO", RULE), ("INFO", SUBNET_HEADER),
           ("INFO", RULE)]
LOGGER = "tarn_gcp.gcplib"


def ranges_by_name(project, region, subnetwork):
    return {"name": subnetwork, "region": f"{BASE}/projects/{project}/regions/{region}",
            "ipCidrRange": RANGES[subnetwork]}


RANGES = {"a": "10.0.1.0/24", "b": "10.0.2.0/24", "c": "10.0.3.0/24", "d": "10.0.1.0/24"}
URLS = [subnet_url("proj-a", "r1", "a"), subnet_url("proj-a", "r2", "b"),
        subnet_url("proj-b", "r1", "c")]


@pytest.fixture
def logged_subnets(gcplib, monkeypatch):
    """Replaces the module's `common`: records what logSubnet is given."""
    given = []
    monkeypatch.setattr(gcplib, "common", types.SimpleNamespace(logSubnet=given.append))
    return given


@pytest.mark.parametrize("network", [{}, {"subnetworks": []}])
def test_no_subnetworks(GcpLib, service, logs, logged_subnets, network):
    assert GcpLib.listSubnet(service, network) == []
    assert logs.lines == OPENING
    # The column line is as long as the run of dots in the rule lines.
    assert SUBNET_HEADER == "  CIDR" + " " * 21 + "REGION" + " " * 24 + "subnet"
    assert len(SUBNET_HEADER) == RULE.count(".") == 63
    assert GcpLib.listSubnetByRegion(service, network, "r1") == []
    assert logs.lines == OPENING and service.log == [] and logged_subnets == []


def test_subnets_of_every_region(GcpLib, service, logs, logged_subnets):
    service.on("subnetworks.get", ranges_by_name)
    urls = URLS + [subnet_url("proj-a", "r2", "d")]
    assert GcpLib.listSubnet(service, {"subnetworks": urls}) == [RANGES[n] for n in "abcd"]
    assert service.executed() == [
        ("subnetworks.get", {"project": "proj-a", "region": "r1", "subnetwork": "a"}),
        ("subnetworks.get", {"project": "proj-a", "region": "r2", "subnetwork": "b"}),
        ("subnetworks.get", {"project": "proj-b", "region": "r1", "subnetwork": "c"}),
        ("subnetworks.get", {"project": "proj-a", "region": "r2", "subnetwork": "d"}),
    ]
    assert [s["name"] for s in logged_subnets] == list("abcd")
    assert logs.lines == OPENING


@pytest.mark.parametrize("region,names", [("r1", "ac"), ("r2", "b"), ("r3", ""), ("R1", "")])
def test_subnets_of_one_region(GcpLib, service, logs, logged_subnets, region, names):
    service.on("subnetworks.get", ranges_by_name)
    assert (GcpLib.listSubnetByRegion(service, {"subnetworks": URLS}, region)
            == [RANGES[n] for n in names])
    assert [(kw["project"], kw["region"], kw["subnetwork"]) for _, kw in service.executed()] == [
        ("proj-b" if n == "c" else "proj-a", region, n) for n in names]
    assert logs.lines == [] and logged_subnets == []


def test_indices_are_read_from_the_class(GcpLib, service):
    class Shifted(GcpLib):
        PROJECT_I, REGION_I, SUBNET_I = 7, 9, 11

    url = BASE + "/extra/projects/proj-z/regions/r9/subnetworks/z"
    service.on("subnetworks.get",
               lambda project, region, subnetwork: {"ipCidrRange": project + region + subnetwork})
    assert Shifted.listSubnetByRegion(service, {"subnetworks": [url]}, "r9") == ["proj-zr9z"]


@pytest.mark.parametrize("method", ["listSubnet", "listSubnetByRegion"])
@pytest.mark.parametrize("case", ["range", "get", "short", "shorter"])
def test_subnet_failures_reach_the_caller(GcpLib, service, logs, logged_subnets, method, case):
    urls = [subnet_url("proj-a", "r1", "a"), subnet_url("proj-a", "r1", "b")]
    error = None
    if case == "range":
        service.on("subnetworks.get", lambda **kw: {"name": kw["subnetwork"]}
                   if kw["subnetwork"] == "b" else ranges_by_name(**kw))
        expected, given = KeyError, ["a", "b"]
    elif case == "get":
        service.on("subnetworks.get", ranges_by_name)
        error = FakeHttpError(404, "subnetwork b not found")
        service.fail("subnetworks.get", error, when=lambda kw: kw["subnetwork"] == "b")
        expected, given = FakeHttpError, ["a"]
    else:
        service.on("subnetworks.get", ranges_by_name)
        # Nine parts hold project and region but no name; eight not even the region.
        urls[1] = "/".join(urls[1].split("/")[:9 if case == "short" else 8])
        expected, given = IndexError, ["a"]
    args = (service, {"subnetworks": urls}) + (("r1",) if method == "listSubnetByRegion" else ())
    with pytest.raises(expected) as raised:
        getattr(GcpLib, method)(*args)
    if error is not None:
        assert raised.value is error
    if case == "range":
        assert raised.value.args == ("ipCidrRange",)
    if method == "listSubnet":
        assert logs.lines == OPENING and [s["name"] for s in logged_subnets] == given
    else:
        assert logs.lines == [] and logged_subnets == []
    assert len(service.executed()) == (2 if case in ("range", "get") else 1)


def test_a_short_url_of_another_region_is_skipped_by_the_region_filter(GcpLib, service):
    service.on("subnetworks.get", ranges_by_name)
    short = "/".join(subnet_url("proj-a", "r2", "x").split("/")[:9])
    assert (GcpLib.listSubnetByRegion(service, {"subnetworks": [short, URLS[0]]}, "r1")
            == [RANGES["a"]])


# ---------------------------------------------------------------------------
# listAllNetwork


class Project:
    """Fakes for the module's `google` and `discovery` names."""

    def __init__(self, service, found=("credentials-1", "proj-c")):
        self.service = service
        self.found = found
        self.calls = []
        self.google = types.SimpleNamespace(auth=types.SimpleNamespace(default=self.default))
        self.discovery = types.SimpleNamespace(build=self.build)

    def default(self, *args, **kwargs):
        self.calls.append(("default", args, kwargs))
        return self.found

    def build(self, *args, **kwargs):
        self.calls.append(("build", args, kwargs))
        return self.service


@pytest.fixture
def project(gcplib, monkeypatch, service):
    p = Project(service)
    monkeypatch.setattr(gcplib, "google", p.google)
    monkeypatch.setattr(gcplib, "discovery", p.discovery)
    return p


def net(name, project="proj-c"):
    return {"name": name, "selfLink": network_url(project, name),
            "subnetworks": [subnet_url(project, "r1", name + "-s")]}


@pytest.fixture
def walk(GcpLib, gcplib, monkeypatch):
    """GcpLib with the per-network steps recorded, and `common` replaced."""
    steps = []

    class Walk(GcpLib):
        @classmethod
        def listSubnet(cls, *args, **kwargs):
            steps.append(("subnets", args, kwargs))
            return ["ignored"]

        @classmethod
        def listRouteTable(cls, *args, **kwargs):
            steps.append(("routes", args, kwargs))
            return "ignored"

    monkeypatch.setattr(gcplib, "common", types.SimpleNamespace(
        logVpcHeader=lambda network: steps.append(("header", (network,), {}))))
    Walk.steps = steps
    return Walk


@pytest.mark.parametrize("project_id", ["proj-other", None, 42])
def test_the_credentials_project_is_walked_page_by_page(walk, project, service, project_id):
    a, b, c = net("a"), net("b"), net("c")
    service.pages["networks.list"] = [{"items": [a, b]}, {"items": [c]}]
    assert walk.listAllNetwork(project_id) is None
    assert project.calls == [("default", (), {}),
                             ("build", ("compute", "v1"), {"credentials": "credentials-1"})]
    assert service.executed() == [("networks.list", {"project": "proj-c"})] * 2
    assert [e[0] for e in service.log] == ["build", "execute", "list_next", "execute", "list_next"]
    assert walk.steps == [
        step for n in (a, b, c) for step in [
            ("header", (n,), {}),
            ("subnets", (service, n), {}),
            ("routes", ("proj-c", service, n), {}),
        ]
    ]


@pytest.mark.parametrize("pages,steps", [
    ([{}], []),  # no networks at all: nothing is logged
    ([{"items": [net("a")]}, {"kind": "compute#networkList"}], ["header", "subnets", "routes"]),
])
def test_a_page_without_items_raises(walk, project, service, logs, pages, steps):
    service.pages["networks.list"] = pages
    with pytest.raises(KeyError) as raised:
        walk.listAllNetwork("p")
    assert raised.value.args == ("items",)
    assert [s[0] for s in walk.steps] == steps and logs.lines == []


@pytest.mark.parametrize("make", [
    lambda: ("c",), lambda: ("c", "p", "x"), lambda: (), lambda: 7, lambda: None,
    lambda: iter(["c", "p", "x"]), lambda: ["c", "p"], lambda: "cp", lambda: iter(["c", "p"]),
])
def test_the_credentials_lookup_must_give_two_values(walk, project, service, make):
    try:
        credentials, project_name = make()
        expected = None
    except Exception as e:  # what the interpreter itself says
        expected = (type(e), str(e))
    project.found = make()
    if expected is None:
        service.pages["networks.list"] = [{"items": []}]
        walk.listAllNetwork("p")
        assert project.calls[1] == ("build", ("compute", "v1"), {"credentials": "c"})
        assert service.executed() == [("networks.list", {"project": "p"})]
        return
    with pytest.raises(expected[0]) as raised:
        walk.listAllNetwork("p")
    assert str(raised.value) == expected[1]
    assert [c[0] for c in project.calls] == ["default"] and service.log == []


def test_the_walk_logs_each_network_completely_before_the_next(GcpLib, gcplib, project, service,
                                                               logs, monkeypatch):
    logger = logging.getLogger(LOGGER)
    monkeypatch.setattr(gcplib, "common", types.SimpleNamespace(
        logVpcHeader=lambda network: logger.info("= VPC " + network["name"]),
        logSubnet=lambda subnetwork: logger.info("  subnet " + subnetwork["name"]),
        INSTANCE_I=10,
    ))
    a, b = net("a"), net("b")
    service.pages["networks.list"] = [{"items": [a, b]}]
    service.on("subnetworks.get", lambda project, region, subnetwork: {
        "name": subnetwork, "ipCidrRange": "10.0.0.0/24"})
    service.on("routes.list", lambda project, filter: {"items": [
        {"destRange": "0.0.0.0/0", "nextHopGateway": filter.split("/")[-1].rstrip('"') + "/gw"}]})
    error = FakeHttpError(403, "routes of b")
    service.fail("routes.list", error, when=lambda kw: kw["filter"].endswith('/b"'))
    with pytest.raises(FakeHttpError) as raised:
        GcpLib.listAllNetwork("p")
    assert raised.value is error
    messages = logs.messages
    route_head = ["", "- Discover route(s)", RULE,
                  "  " + "CIDR".ljust(25) + "Next-hop".ljust(30), RULE]
    subnet_head = [m for _, m in OPENING]
    assert messages == (
        ["= VPC a"] + subnet_head + ["  subnet a-s"] + route_head
        + ["  " + "0.0.0.0/0".ljust(25) + "gw"]
        + ["= VPC b"] + subnet_head + ["  subnet b-s"] + route_head
    )
    assert ("routes.list", {"project": "proj-c",
                            "filter": f'network: "{network_url("proj-c", "a")}"'}
            ) in service.executed()
    assert logger.propagate is True
