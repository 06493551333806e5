"""Requests checked against the shipped discovery document, as Google's
front end checks them: what is refused, with which status and text, and
what passes."""

import json

import pytest
import requests

from emu_helpers import SPOKE
from tarn_gcp.emulator import Emulator, sample

ROUTES = "projects/tarn-demo/global/routes"
ROUTER = "projects/tarn-transit/regions/europe-west1/routers/transit-a-cr-euw1"
NAME_RULE = "Must be a match of regex '(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?)'"
UNKNOWN = 'Invalid JSON payload received. Unknown name "%s" at \'%s\': Cannot find field.'


def route(**extra):
    body = {"name": "r1", "network": SPOKE, "destRange": "10.50.0.0/16", "nextHopIp": "10.10.0.9"}
    body.update(extra)
    return body


INVALID = [
    # (id, HTTP method, path, query, body, status, message)
    ("unknown body field", "POST", ROUTES, {}, route(zone="europe-west1-b"), 400,
     UNKNOWN % ("zone", "route")),
    ("unknown nested field", "PATCH", ROUTER, {}, {"bgp": {"asn": 64514, "color": "red"}}, 400,
     UNKNOWN % ("color", "router.bgp")),
    ("unknown field in a list item", "PATCH", ROUTER, {},
     {"bgp": {"advertisedIpRanges": [{"range": "10.0.0.0/8"}, {"range": "10.1.0.0/16", "x": 1}]}},
     400, UNKNOWN % ("x", "router.bgp.advertised_ip_ranges[1]")),
    ("every unknown field named", "POST", ROUTES, {}, route(zone="z", region="r"), 400,
     UNKNOWN % ("zone", "route") + "\n" + UNKNOWN % ("region", "route")),
    ("unknown field in a peering body", "POST",
     "projects/tarn-demo/global/networks/spoke-vpc/addPeering", {},
     {"networkPeering": {"name": "p", "network": SPOKE, "mtu": 1460}}, 400,
     UNKNOWN % ("mtu", "networks_add_peering_request.network_peering")),
    ("body for a method without one", "POST",
     "projects/tarn-demo/global/operations/operation-1/wait", {}, {"timeout": 5}, 400,
     'Invalid JSON payload received. Unknown name "timeout": Cannot find field.'),
    ("unknown query parameter", "GET", ROUTES, {"zone": "europe-west1-b"}, None, 400,
     'Invalid JSON payload received. Unknown name "zone": Cannot bind query parameter. '
     "Field 'zone' could not be found in request message."),
    ("query parameter of another method", "GET", ROUTES + "/spoke-onprem-backup",
     {"maxResults": "5"}, None, 400,
     'Invalid JSON payload received. Unknown name "maxResults": Cannot bind query parameter. '
     "Field 'maxResults' could not be found in request message."),
    ("integer as text", "POST", ROUTES, {}, route(priority="high"), 400,
     "Invalid value at 'route.priority' (TYPE_UINT32), \"high\""),
    ("negative unsigned", "POST", ROUTES, {}, route(priority=-1), 400,
     "Invalid value at 'route.priority' (TYPE_UINT32), -1"),
    ("boolean as text", "POST", "projects/tarn-demo/global/networks", {},
     {"name": "n2", "autoCreateSubnetworks": "no"}, 400,
     "Invalid value at 'network.auto_create_subnetworks' (TYPE_BOOL), \"no\""),
    ("string as number", "POST", ROUTES, {}, route(description=5), 400,
     "Invalid value at 'route.description' (TYPE_STRING), 5"),
    ("object for a string", "POST", ROUTES, {}, route(network={"name": "spoke-vpc"}), 400,
     "Invalid value at 'route.network' (TYPE_STRING), {\"name\": \"spoke-vpc\"}"),
    ("list for a single value", "POST", ROUTES, {}, route(destRange=["10.50.0.0/16"]), 400,
     'Invalid JSON payload received. Unknown name "destRange" at \'route\': '
     "Proto field is not repeating, cannot start list."),
    ("single value for a list", "POST", ROUTES, {}, route(tags="web"), 400,
     "Invalid value at 'route.tags' (TYPE_STRING), \"web\""),
    ("scalar for a message", "PATCH", ROUTER, {}, {"bgp": 64514}, 400,
     "Invalid value at 'router.bgp' (type.googleapis.com/google.cloud.compute.v1.RouterBgp), "
     "64514"),
    ("bad enum value", "PATCH", ROUTER, {}, {"bgp": {"advertiseMode": "custom"}}, 400,
     "Invalid value for field 'resource.bgp.advertiseMode': 'custom'. "
     "Must be one of [CUSTOM, DEFAULT]"),
    ("bad enum value in a list", "PATCH", ROUTER, {}, {"bgp": {"advertisedGroups": ["ALL"]}}, 400,
     "Invalid value for field 'resource.bgp.advertisedGroups[0]': 'ALL'. "
     "Must be one of [ALL_SUBNETS]"),
    ("name with capitals", "POST", ROUTES, {}, route(name="Route-1"), 400,
     "Invalid value for field 'resource.name': 'Route-1'. " + NAME_RULE),
    ("name of 64 characters", "POST", ROUTES, {}, route(name="r" * 64), 400,
     "Invalid value for field 'resource.name': '%s'. %s" % ("r" * 64, NAME_RULE)),
    ("name ending in a hyphen", "POST", "projects/tarn-demo/global/networks", {},
     {"name": "net-"}, 400, "Invalid value for field 'resource.name': 'net-'. " + NAME_RULE),
    ("no name", "POST", ROUTES, {}, {"network": SPOKE, "destRange": "10.50.0.0/16",
                                     "nextHopIp": "10.10.0.9"}, 400,
     "Invalid value for field 'resource.name': ''. " + NAME_RULE),
    ("no body", "POST", ROUTES, {}, None, 400, "Required field 'resource' not specified"),
    ("maxResults above 500", "GET", ROUTES, {"maxResults": "501"}, None, 400,
     "Invalid value for field 'maxResults': '501'. Must be less than or equal to 500"),
    ("negative maxResults", "GET", ROUTES, {"maxResults": "-1"}, None, 400,
     "Invalid value at 'max_results' (TYPE_UINT32), \"-1\""),
    ("maxResults not a number", "GET", "projects/tarn-demo/regions/europe-west1/subnetworks",
     {"maxResults": "ten"}, None, 400, "Invalid value at 'max_results' (TYPE_UINT32), \"ten\""),
    ("boolean query parameter", "GET", ROUTES, {"prettyPrint": "yes"}, None, 400,
     "Invalid value at 'pretty_print' (TYPE_BOOL), \"yes\""),
    ("global parameter enum", "GET", ROUTES, {"alt": "xml"}, None, 400,
     "Invalid value for field 'alt': 'xml'. Must be one of [json, media, proto]"),
    ("path parameter pattern", "GET", ROUTES + "/Bad_Route", {}, None, 400,
     "Invalid value for field 'route': 'Bad_Route'. Must be a match of regex "
     "'[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?|[1-9][0-9]{0,19}'"),
    ("unknown path", "GET", "projects/tarn-demo/global/roots", {}, None, 404,
     "The requested URL /compute/v1/projects/tarn-demo/global/roots was not found."),
    ("known method the emulator lacks", "GET", "projects/tarn-demo/global/firewalls", {},
     None, 501, "Method compute.firewalls.list is not implemented by the emulator."),
    ("unknown region", "GET", "projects/tarn-transit/regions/mars-north9/routers", {}, None, 400,
     "Invalid value for field 'region': 'mars-north9'. Unknown region."),
    ("region given as a zone", "GET", "projects/tarn-demo/zones/europe-west1/instances", {}, None,
     400, "Invalid value for field 'zone': 'europe-west1'. Unknown zone."),
    ("unknown region of a mutation", "POST", "projects/tarn-transit/regions/mars-north9/routers",
     {}, {"name": "cr", "network": "global/networks/transit-a"}, 400,
     "Invalid value for field 'region': 'mars-north9'. Unknown region."),
    ("field selection not closed", "GET", ROUTES, {"fields": "items(name"}, None, 400,
     "Invalid value for field 'fields': 'items(name'. Invalid field selection."),
    ("peering routes in an unknown direction", "GET",
     "projects/tarn-demo/global/networks/spoke-vpc/listPeeringRoutes",
     {"peeringName": "spoke-to-transit-a", "direction": "INBOUND"}, None, 400,
     "Invalid value for field 'direction': 'INBOUND'. Must be one of [INCOMING, OUTGOING]"),
    ("body that is not an object", "POST", ROUTES, {}, ["r1"], 400,
     "Invalid JSON payload received. Expected an object at the top level."),
]


def send(emu, verb, path, query=None, body=None):
    data = None if body is None else json.dumps(body)
    return requests.request(verb, emu.url + path, params=query, data=data,
                            headers={"Content-Type": "application/json"}, timeout=10)


@pytest.mark.parametrize("verb, path, query, body, status, message",
                         [case[1:] for case in INVALID], ids=[case[0] for case in INVALID])
def test_invalid_requests_are_refused_with_the_api_text(emu, verb, path, query, body, status,
                                                        message):
    before = emu.snapshot()
    response = send(emu, verb, path, query, body)
    assert response.status_code == status
    error = response.json()["error"]
    assert error["code"] == status and error["message"] == message
    assert error["errors"][0]["message"] == message
    if message.startswith("Invalid JSON payload") or message.startswith("Invalid value at"):
        assert error["status"] == "INVALID_ARGUMENT"
        assert error["details"][0]["fieldViolations"][0]["description"] == message.split("\n")[0]
    assert emu.snapshot() == before
    logged = emu.requests[-1]
    assert logged.status == status and logged.invalid == (status == 400)


@pytest.mark.parametrize("verb, path, query, body", [
    # A route as routes.get returns it inserts again: output-only fields are ignored.
    ("POST", ROUTES, {}, route(id="5170000000000000001", kind="compute#route", selfLink="x",
                               creationTimestamp="2020-01-01T00:00:00.000-00:00",
                               routeType="STATIC", warnings=[{"code": "X"}], priority="900")),
    ("PATCH", ROUTER, {}, {"bgp": {"advertisedIpRanges": None, "advertisedGroups": None,
                                   "advertiseMode": "DEFAULT"}, "kind": "compute#router"}),
    ("GET", ROUTES, {"alt": "json", "prettyPrint": "false", "maxResults": "500",
                     "fields": "items/name", "quotaUser": "tests"}, None),
    ("GET", ROUTES, {"maxResults": "0", "filter": "priority >= 1000"}, None),
    ("GET", ROUTES + "/5170000000000000001", {}, None),   # a numeric id fits the pattern
])
def test_valid_requests_pass(emu, verb, path, query, body):
    response = send(emu, verb, path, query, body)
    assert response.status_code in (200, 404), response.text
    assert not emu.requests[-1].invalid


def test_lenient_emulator_skips_the_checks():
    with Emulator(seed=sample, lenient=True) as emu:
        response = send(emu, "POST", ROUTES, {"zone": "x"}, route(zone="europe-west1-b"))
        assert response.status_code == 200 and not emu.requests[-1].invalid
