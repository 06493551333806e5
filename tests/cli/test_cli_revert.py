"""The revert file: what counts as holding less, and that a file is never
replaced by revert information that lacks something it holds."""

import json
import os

import pytest

from tarn_gcp.errors import CliError
from tarn_gcp.revert import RevertFile, first_missing
from tarn_gcp.res.Globals import Globals

KEY = "p::v"
ROUTER = "t::net::r1::cr1"


def info(**entries):
    data = {"vpc": KEY, "peerings": {}, "manage_routes": {}, "cloud_routers": {}}
    data.update(entries)
    return data


@pytest.fixture(autouse=True)
def _fresh_globals():
    Globals.resetRevertInfo()
    yield
    Globals.resetRevertInfo()


@pytest.mark.parametrize("old,new,missing", [
    ({"a": {"b": [1, 2]}}, {"a": {"b": [2, 1, 3]}, "c": 0}, None),
    ({"a": {"b": [1, 2]}}, {"a": {"b": [2]}}, ("a", "b", 0)),
    ({"a": [{"x": 1}]}, {"a": [{"x": 1, "y": 2}]}, None),         # a record may gain keys
    ({"a": [{"x": 1}]}, {"a": [{"x": 2}]}, ("a", 0)),
    ({"a": {"k": 1}}, {"a": {}}, ("a", "k")),
    ({"a": 1}, {"a": 1.0}, None),
    ({"a": 1}, {"a": True}, ("a",)),
    ({"a": []}, {"a": {}}, ("a",)),
    # Lists long enough to be looked up by hashing rather than scanned.
    ({"a": [{"n": i} for i in range(12)]},
     {"a": [{"n": i, "x": [i]} for i in reversed(range(12))]}, None),
    ({"a": list(range(12))}, {"a": list(range(1, 13))}, ("a", 0)),
    ({"a": [1.0] * 9 + [2]}, {"a": [2.0] + [1] * 9}, None),
    ({"a": list(range(11)) + [True]}, {"a": list(range(12))}, ("a", 11)),
    ({"a": [{"n": [1, {"k": 2}]}] * 10}, {"a": [0] * 9 + [{"n": [{"k": 2, "j": 3}, 1]}]}, None),
    ({"a": [{"n": i, "m": [i]} for i in range(10)]},
     {"a": [{"n": i, "m": [i + 1]} for i in range(10)]}, ("a", 0)),
])
def test_first_missing(old, new, missing):
    assert first_missing(old, new) == missing


def write(path, data):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(data if isinstance(data, str) else json.dumps(data))


def test_a_record_that_would_go_is_refused_and_the_new_information_kept_beside(tmp_path):
    path = tmp_path / "revert.json"
    old = info(cloud_routers={KEY: {ROUTER: {"asn": 1}}})
    write(path, old)
    before = path.read_bytes()
    revert = RevertFile(path, KEY)
    revert.load(required=True)
    Globals.getRevertInfo()["cloud_routers"][KEY] = {}
    Globals.getRevertInfo()["peerings"][KEY] = []
    with pytest.raises(CliError) as raised:
        revert.save()
    assert path.read_bytes() == before
    refused = [p for p in os.listdir(tmp_path) if p.startswith("revert.json.refused-")]
    assert len(refused) == 1
    assert "cloud_routers/%s/%s would be lost" % (KEY, ROUTER) in str(raised.value)
    kept = json.loads((tmp_path / refused[0]).read_text())
    assert kept["peerings"] == {KEY: []}


def test_a_file_changed_by_someone_else_meanwhile_is_not_overwritten(tmp_path):
    path = tmp_path / "revert.json"
    revert = RevertFile(path, KEY)
    revert.load(required=False)
    write(path, info(peerings={KEY: [{"localPeeringProperties": {}}]}))
    Globals.getRevertInfo()["peerings"][KEY] = []
    with pytest.raises(CliError):
        revert.save()
    write(path, "{broken")
    with pytest.raises(CliError, match="unreadable"):
        revert.save()
    assert path.read_text() == "{broken"


def test_growing_records_are_saved_and_equal_ones_leave_the_file_alone(tmp_path):
    path = tmp_path / "revert.json"
    revert = RevertFile(path, KEY)
    revert.load(required=False)
    assert revert.save() == "saved"
    stamp = os.stat(path).st_mtime_ns
    assert revert.save() == "unchanged"
    assert os.stat(path).st_mtime_ns == stamp
    revert.load(required=True)
    Globals.getRevertInfo()["cloud_routers"][KEY] = {ROUTER: {"asn": 1}}
    assert revert.save() == "saved"
    revert.load(required=True)
    Globals.getRevertInfo()["cloud_routers"][KEY][ROUTER]["advertisedIpRanges"] = []
    assert revert.save() == "saved"
    assert Globals.loadRevertInfo(path)["cloud_routers"][KEY][ROUTER] == {
        "asn": 1, "advertisedIpRanges": []}


def test_a_file_without_owner_is_claimed_by_its_entries(tmp_path):
    path = tmp_path / "revert.json"
    write(path, {"peerings": {}, "manage_routes": {"s1": {KEY: {
        "deleted_route_list": [], "added_route_list": ["tsr-1"]}}}, "cloud_routers": {}})
    loaded = RevertFile(path, KEY).load(required=True)
    assert loaded["vpc"] == KEY
    with pytest.raises(CliError, match="belongs to p::v, not to the plan's VPC p::other"):
        RevertFile(path, "p::other").load(required=True)


# --------------------------------------------------------- the journal

NET = "https://www.googleapis.com/compute/v1/projects/%s/global/networks/%s"
SPOKE = {"name": "v", "peerings": [{"name": "to-t", "network": NET % ("t", "net")},
                                   {"name": "to-gke", "network": NET % ("g", "gke")}]}
TRANSIT = {"name": "net", "peerings": [{"name": "to-v", "network": NET % ("p", "v")}]}
ROUTE = {"name": "old", "destRange": "192.168.0.0/16", "priority": 2000}
ROUTER_RES = {"name": "cr1", "network": NET % ("t", "net"), "bgp": {"advertiseMode": "CUSTOM"}}
REMOVE = "projects/%s/global/networks/%s/removePeering"


def _entries(*steps):
    """Journal entries of one run: (context target, method, path, body,
    what was read before, the answer's status or None when it was lost)."""
    from tarn_gcp.revert.journal import Journal

    class Store:
        def journal_append(self, run, seq, text):
            pass

    journal = Journal(Store())
    for target, method, path, body, before, status in steps:
        journal.context = {"action": "switch", "target": target, "stage": "s1", "vpc": KEY}
        for resource in before:
            journal.read(resource[0], json.dumps(resource[1]))
        seq = journal.before(method, path, json.dumps(body), "id-%d" % len(journal.entries))
        if status is not None:
            journal.after(seq, status, "{}")
    return journal.entries


SPOKE_READ = ("projects/p/global/networks/v", SPOKE)
TRANSIT_READ = ("projects/t/global/networks/net", TRANSIT)


@pytest.mark.parametrize("steps,exists,expected", [
    # killed between the two sides of a transit peering
    ([("peerings", "POST", REMOVE % ("t", "net"), {"name": "to-v"},
       [SPOKE_READ, TRANSIT_READ], 200)], False,
     {"peerings": {KEY: [{"localPeeringProperties": SPOKE["peerings"][0],
                          "remotePeeringProperties": TRANSIT["peerings"][0]}]}}),
    # both sides sent, the second answer lost: one pair
    ([("peerings", "POST", REMOVE % ("t", "net"), {"name": "to-v"},
       [SPOKE_READ, TRANSIT_READ], 200),
      ("peerings", "POST", REMOVE % ("p", "v"), {"name": "to-t"}, [], None)], False,
     {"peerings": {KEY: [{"localPeeringProperties": SPOKE["peerings"][0],
                          "remotePeeringProperties": TRANSIT["peerings"][0]}]}}),
    # a local side whose transit side was never found
    ([("peerings", "POST", REMOVE % ("p", "v"), {"name": "to-t"}, [SPOKE_READ], 200)],
     False, {"peerings": {KEY: [{"localPeeringProperties": SPOKE["peerings"][0],
                                 "remotePeeringProperties": None}]}}),
    # a route deleted, two inserts: one refused, one whose answer was lost
    ([("routes", "DELETE", "projects/p/global/routes/old", None,
       [("projects/p/global/routes/old", ROUTE)], 200),
      ("routes", "POST", "projects/p/global/routes", {"name": "tsr-a"}, [], 409),
      ("routes", "POST", "projects/p/global/routes", {"name": "tsr-b"}, [], None)], True,
     {"manage_routes": {"s1": {KEY: {"deleted_route_list": [ROUTE],
                                     "added_route_list": ["tsr-b"]}}}}),
    # the lost insert never made its route
    ([("routes", "POST", "projects/p/global/routes", {"name": "tsr-b"}, [], None)], False,
     {"manage_routes": {"s1": {KEY: {"deleted_route_list": [], "added_route_list": []}}}}),
    # a router patched: its settings as read before
    ([("routers", "PATCH", "projects/t/regions/r1/routers/cr1", {"bgp": {}},
       [("projects/t/regions/r1/routers/cr1", ROUTER_RES)], None)], False,
     {"cloud_routers": {KEY: {ROUTER: ROUTER_RES["bgp"]}}}),
    # a refused patch changed nothing
    ([("routers", "PATCH", "projects/t/regions/r1/routers/cr1", {"bgp": {}},
       [("projects/t/regions/r1/routers/cr1", ROUTER_RES)], 400)], False, {}),
], ids=["one-side", "both-sides", "no-remote", "routes", "insert-lost", "router",
        "router-refused"])
def test_a_journal_gives_the_records_its_stage_would_have_saved(steps, exists, expected):
    from tarn_gcp.revert.journal import merge, parse_entries, recover

    texts = [json.dumps(entry) for entry in _entries(*steps)]
    texts.append(texts[-1][:20])            # an entry cut short by the kill
    records = recover(parse_entries(texts), lambda project, name: exists)
    assert records == {key: expected.get(key, {})
                       for key in ("peerings", "manage_routes", "cloud_routers")}
    # merged into revert information that already holds a record, that
    # record stands; merging twice adds nothing
    mine = info(cloud_routers={KEY: {ROUTER: {"advertiseMode": "DEFAULT"}}})
    merge(mine, records)
    assert merge(mine, records) == 0
    assert mine["cloud_routers"][KEY][ROUTER] == {"advertiseMode": "DEFAULT"}


@pytest.mark.parametrize("text", [
    "{not json", '{"changes": {}}', '{"changes": [{"spoke": "p::a"}]}',
    '{"changes": [{"spoke": 1, "before": {}, "left": {}}]}', "[]",
])
def test_a_router_order_that_is_not_one_is_refused(tmp_path, text):
    from tarn_gcp.revert.shared import SharedPlace

    (tmp_path / "routers").mkdir()
    (tmp_path / "routers" / "router-p.r.cr.json").write_text(text)
    with pytest.raises(CliError, match="the router order .*router-p.r.cr.json is not one"):
        SharedPlace(str(tmp_path)).router_order("router-p.r.cr")


def test_shared_locks_exclude_other_processes_and_are_taken_in_one_order(tmp_path):
    import multiprocessing

    from tarn_gcp.revert.shared import SharedPlace

    place = SharedPlace(str(tmp_path))
    order = []
    place._take = lambda name, take=place._take: (order.append(name), take(name))
    with place.holding(["router-b", "network-a", "router-b", "network-c"]):
        # another process waits for network-a while this one holds it
        other = multiprocessing.get_context("fork").Process(
            target=lambda: SharedPlace(str(tmp_path)).holding(["network-a"]).__enter__())
        other.start()
        other.join(0.5)
        assert other.is_alive()
    other.join(10)
    assert (other.exitcode, order) == (0, ["network-a", "network-c", "router-b"])
