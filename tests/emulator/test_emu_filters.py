"""The list filter grammar: a table of expressions over the sample's route
table of tarn-demo, with the names each must return (or 400)."""

import pytest
from googleapiclient.errors import HttpError

STATIC = {"spoke-default-internet", "spoke-onprem-backup", "spoke-partner-euw1",
          "spoke-partner-usc1"}
PARTNERS = {"spoke-partner-euw1", "spoke-partner-usc1"}
SPOKE = "https://www.googleapis.com/compute/v1/projects/tarn-demo/global/networks/spoke-vpc"


def routes(compute, text):
    response = compute.routes().list(project="tarn-demo", filter=text).execute()
    return {r["name"] for r in response.get("items", [])}


@pytest.fixture
def table(compute):
    everything = compute.routes().list(project="tarn-demo").execute()["items"]
    return {r["name"]: r for r in everything}


FILTERS = [
    # (filter, the routes it selects: a set, or a predicate over the route)
    ('name = "spoke-onprem-backup"', {"spoke-onprem-backup"}),
    ("name = spoke-onprem-backup", {"spoke-onprem-backup"}),
    ("name=spoke-partner-*", PARTNERS),
    ("name != spoke-onprem-backup", lambda r: r["name"] != "spoke-onprem-backup"),
    ("priority = 1100", {"spoke-partner-usc1"}),
    ("priority > 1000", {"spoke-onprem-backup", "spoke-partner-usc1"}),
    ("priority >= 1000", lambda r: r["priority"] >= 1000),
    ("priority < 1000", lambda r: r["priority"] < 1000),
    ("priority <= 0", lambda r: r["priority"] == 0),
    ('network = "%s"' % SPOKE, lambda r: True),
    ("network : %s" % SPOKE, lambda r: True),
    ("routeType = STATIC", lambda r: r.get("routeType") == "STATIC"),
    ("routeType = SUBNET AND priority = 0", lambda r: r.get("routeType") == "SUBNET"),
    ("nextHopInstance:*", PARTNERS),
    ("nextHopIp:*", {"spoke-onprem-backup"}),
    ("-nextHopPeering:*", lambda r: "nextHopPeering" not in r),
    ("NOT routeType = SUBNET", lambda r: r.get("routeType") != "SUBNET"),
    ("(name = spoke-partner-euw1) OR (name = spoke-onprem-backup)",
     {"spoke-partner-euw1", "spoke-onprem-backup"}),
    # OR binds tighter than AND, as in the API's own example.
    ("(name = spoke-partner-euw1) OR (name = spoke-onprem-backup) AND (priority = 2000)",
     {"spoke-onprem-backup"}),
    ("(priority > 999) (priority < 1001)", lambda r: r["priority"] == 1000),
    ("destRange > 172 AND destRange < 192", lambda r: "172" < r["destRange"] < "192"),
    ("name = nothing-of-this-name", set()),
    # The regular expression form gcloud sends.
    (r'network eq ".*\bspoke\-vpc\b.*"', lambda r: True),
    (r'network eq ".*\bspoke\-v\b.*"', set()),
    ("name eq spoke-partner-.*", PARTNERS),
    ("name eq 'spoke-partner-(euw1|usc1)'", PARTNERS),
    ("name eq partner", set()),                      # the whole value must match
    ("name ne .*partner.*", lambda r: "partner" not in r["name"]),
    ("(name eq spoke-.*) (nextHopInstance eq .*-usc1)", {"spoke-partner-usc1"}),
    (r"name eq spoke-partner-\w+1\z", PARTNERS),
]


@pytest.mark.parametrize("text, wanted", FILTERS, ids=[f[0] for f in FILTERS])
def test_filter_selects(compute, table, text, wanted):
    if callable(wanted):
        wanted = {name for name, r in table.items() if wanted(r)}
    assert routes(compute, text) == wanted


@pytest.mark.parametrize("text", [
    "network OR name", "name", "name =", "= x", "(name = x", "name = x)", "name = x AND",
    "netwrk = x",                        # not a field of a route
    "bgp.asn = 1",                       # nor this
    "(name eq x",
    "(name eq x) OR (name eq y)",        # the regex form has no OR
    "(name eq x) (priority = 1)",        # the two forms cannot be mixed
    "name eq (", "name ~ x", "name == x",
])
def test_filter_not_understood_is_refused(compute, text):
    with pytest.raises(HttpError) as err:
        compute.routes().list(project="tarn-demo", filter=text).execute()
    assert err.value.status_code == 400
    assert "Invalid value for field 'filter'" in err.value.reason


def test_nested_fields_on_routers(compute):
    listed = compute.routers().list(
        project="tarn-transit", region="us-central1",
        filter="bgp.advertiseMode = CUSTOM AND bgp.asn > 64000").execute()
    assert [r["name"] for r in listed["items"]] == ["transit-b-cr-usc1"]
    listed = compute.routers().list(project="tarn-transit", region="us-central1",
                                    filter="bgp.advertisedIpRanges.range = 10.20.0.0/20").execute()
    assert [r["name"] for r in listed["items"]] == ["transit-b-cr-usc1"]
