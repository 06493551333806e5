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
