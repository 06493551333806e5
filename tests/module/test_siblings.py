"""The sibling modules: run context, Globals with its revert file, RouteInfo, Common."""

import json
import logging
import os

import pytest

from tarn_gcp.commonlib import Common
from tarn_gcp.core.YamlContext import PlanError, YamlContext
from tarn_gcp.res.Globals import Globals, RevertFileError
from tarn_gcp.res.RouteInfo import RouteInfo


@pytest.fixture
def fresh_globals():
    saved = (Globals._dry_run, Globals._revert_info)
    Globals.resetRevertInfo()
    yield Globals
    Globals._dry_run, Globals._revert_info = saved


@pytest.fixture
def fresh_plan():
    saved = (YamlContext._plan, YamlContext._path)
    yield
    YamlContext._plan, YamlContext._path = saved


def test_plan_is_read_from_yaml_and_shared_by_every_context(tmp_path, fresh_plan):
    path = tmp_path / "plan.yaml"
    path.write_text(
        "project_id: p\nvpc_name: v\ntransit_vpcs:\n  - vpc_name: t::n\nadvertise_gke: true\n")
    YamlContext.load(path)
    assert YamlContext().getContext("project_id") == "p"
    assert YamlContext().getContext("transit_vpcs") == [{"vpc_name": "t::n"}]
    assert YamlContext().getContext("advertise_gke") is True
    assert YamlContext().getContext("spoke_advertisement") is None


@pytest.mark.parametrize("content", [
    "- a\n- b\n", "key: [unclosed\n", "just text\n",
    "project_id: p\nvpc_name: v\nproject_id: q\n",           # the last would win
    "routes:\n  - {name: r, priority: 1}\n  - {name: s, name: t}\n",
    "priority: .nan\n", "priority: -.inf\n", "priority: 1.0e+400\n",
    "a: &a [1, *a]\n",                                         # no expansion ends
    "".join("l%d: &l%d [%s]\n" % (i, i, ", ".join(["*l%d" % (i - 1) if i else "x"] * 10))
            for i in range(5)),                              # 10^5 nodes from 50
])
def test_malformed_plan_is_refused(tmp_path, fresh_plan, content):
    path = tmp_path / "plan.yaml"
    path.write_text(content)
    with pytest.raises(PlanError):
        YamlContext.load(path)


def test_aliases_and_merge_keys_within_the_bound_read_as_yaml_means(tmp_path, fresh_plan):
    path = tmp_path / "plan.yaml"
    path.write_text("base: &base {asn: 64512, mode: CUSTOM}\n"
                    "routers:\n  - {<<: *base, name: a, mode: DEFAULT}\n  - *base\n"
                    "many: [%s]\n" % ", ".join(["*base"] * 1000))
    plan = YamlContext.load(path)
    assert plan["routers"] == [{"asn": 64512, "mode": "DEFAULT", "name": "a"},
                               {"asn": 64512, "mode": "CUSTOM"}]
    assert len(plan["many"]) == 1000


def test_missing_plan_is_refused(tmp_path, fresh_plan):
    with pytest.raises(PlanError, match="cannot read plan"):
        YamlContext.load(tmp_path / "absent.yaml")


def test_revert_info_is_one_dict_with_three_keys(fresh_globals):
    info = Globals.getRevertInfo()
    assert info is Globals.getRevertInfo()
    assert list(info) == ["peerings", "manage_routes", "cloud_routers"]
    Globals.setDryRun(1)
    assert Globals.getDryRun() is True


def test_revert_info_survives_save_and_load(tmp_path, fresh_globals):
    info = Globals.getRevertInfo()
    info["peerings"]["p::v"] = [{"localPeeringProperties": {"name": "é"},
                                 "remotePeeringProperties": None}]
    info["manage_routes"]["stage1"] = {
        "p::v": {"deleted_route_list": [], "added_route_list": ["tsr-1"]}}
    info["cloud_routers"]["p::v"] = {"t::n::r::cr": {"asn": 64512, "advertiseMode": "CUSTOM"}}
    path = tmp_path / "revert.json"
    Globals.saveRevertInfo(path)
    expected = json.loads(json.dumps(info))
    Globals.resetRevertInfo()
    assert Globals.loadRevertInfo(path) == expected
    assert Globals.getRevertInfo() == expected
    assert [p.name for p in tmp_path.iterdir()] == ["revert.json"]


def test_failed_save_leaves_the_previous_file(tmp_path, fresh_globals, monkeypatch):
    path = tmp_path / "revert.json"
    Globals.getRevertInfo()["peerings"]["a::b"] = []
    Globals.saveRevertInfo(path)
    before = path.read_text()

    Globals.getRevertInfo()["peerings"]["c::d"] = []

    def failing_fsync(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", failing_fsync)
    with pytest.raises(OSError):
        Globals.saveRevertInfo(path)
    assert path.read_text() == before
    assert [p.name for p in tmp_path.iterdir()] == ["revert.json"]

    # Data that cannot be written as JSON fails before anything is touched.
    monkeypatch.undo()
    Globals.getRevertInfo()["peerings"]["e::f"] = object()
    with pytest.raises(TypeError):
        Globals.saveRevertInfo(path)
    assert path.read_text() == before


@pytest.mark.parametrize("content", [
    "[1, 2]", "{not json", '{"peerings": []}', '{"peerings": {}, "peerings": {}}',
    '{"cloud_routers": {"k": {"r": {"asn": NaN}}}}', '{"peerings": {"k": [Infinity]}}',
    '{"manage_routes": {"s": {"k": {"priority": -1e999}}}}'])
def test_malformed_revert_file_is_refused(tmp_path, fresh_globals, content):
    path = tmp_path / "revert.json"
    path.write_text(content)
    with pytest.raises(RevertFileError):
        Globals.loadRevertInfo(path)


def test_loaded_revert_info_gets_missing_keys(tmp_path, fresh_globals):
    path = tmp_path / "revert.json"
    path.write_text('{"peerings": {"p::v": []}}')
    assert set(Globals.loadRevertInfo(path)) == {"peerings", "manage_routes", "cloud_routers"}


def test_route_info_records_gke_ranges_in_order():
    info = RouteInfo()
    assert info.get_gke_export_routes() == []
    info.add_gke_export_routes("10.0.0.0/24")
    info.add_gke_export_routes("10.1.0.0/24")
    assert info.get_gke_export_routes() == ["10.0.0.0/24", "10.1.0.0/24"]


def test_common_lays_subnets_out_under_the_subnet_header(caplog):
    caplog.set_level(logging.INFO)
    Common.logSubnet({
        "ipCidrRange": "10.0.0.0/24", "name": "sub-a",
        "region": "https://www.googleapis.com/compute/v1/projects/p/regions/europe-west1",
    })
    assert caplog.messages == ["  " + "10.0.0.0/24".ljust(25) + "europe-west1".ljust(30) + "sub-a"]
    url = "https://www.googleapis.com/compute/v1/projects/p/zones/z/instances/vm-1"
    assert url.split("/")[Common.INSTANCE_I] == "vm-1"
