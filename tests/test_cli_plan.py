"""The plan held to the Compute API's rules before anything changes: a value
Google Cloud would refuse is one line on standard error, exit status 2, no
changing request sent and no revert file written."""

import pytest
import yaml

from tarn_gcp.cli.errors import CliError
from tarn_gcp.cli.plan import Plan
from tarn_gcp.emulator import sample

from test_cli_support import _cli_emulator, cli, emu, mutations, pauses  # noqa: F401

ROUTES = ["switch", "routes", "stage1"]
ROUTERS = ["switch", "routers"]
ADD0 = ("manage_routes", "stage1", "add", 0)
ROUTER0 = ("transit_vpcs", 0, "cloud_routers", 0)
PROJECT_RULE = "must be a project ID (6 to 30 characters"
NAME_RULE = "must be a resource name (1 to 63 characters"
CIDR_RULE = "must be an IPv4 range written address/prefix length (0 to 32) with no host bits"
PRIORITY_RULE = "must be an integer from 0 to 65535"

# (command, key path in the plan, bad value, the words of the one error line)
REFUSED = [
    (ROUTES, ("project_id",), "BAD PROJ", "'project_id' %s" % PROJECT_RULE),
    (["switch", "peerings"], ("project_id",), "tarn5", PROJECT_RULE),
    (ROUTERS, ("project_id",), "t" * 31, PROJECT_RULE),
    (["restore", "routers"], ("project_id",), "tarn-demo-", PROJECT_RULE),
    (ROUTES, ("project_id",), "1tarn-demo", PROJECT_RULE),
    (ROUTES, ("vpc_name",), "Spoke_VPC", "'vpc_name' %s" % NAME_RULE),
    (ROUTERS, ("vpc_name",), "s" * 64, NAME_RULE),
    (["switch", "peerings"], ("transit_vpcs", 0, "vpc_name"), "BAD PROJ::transit-a",
     "the project of transit_vpcs[0].vpc_name %s" % PROJECT_RULE),
    (["switch", "peerings"], ("transit_vpcs", 1, "vpc_name"), "tarn-transit::transit b",
     "the network of transit_vpcs[1].vpc_name %s" % NAME_RULE),
    (ROUTERS, ROUTER0 + ("region",), "europe west1",
     "transit_vpcs[0].cloud_routers[0].region must be a region name such as us-central1"),
    (ROUTERS, ROUTER0 + ("region",), "europe-west1-b", "must be a region name"),
    (ROUTERS, ROUTER0 + ("router_name",), "Transit_A", "cloud_routers[0].router_name " + NAME_RULE),
    (ROUTERS, ROUTER0 + ("add_advertised_routes", 0), "10.10.0.0/33",
     "transit_vpcs[0].cloud_routers[0].add_advertised_routes[0] " + CIDR_RULE),
    (ROUTERS, ROUTER0 + ("add_advertised_routes", 0), "10.10.0.1/16", CIDR_RULE),
    (ROUTERS, ROUTER0 + ("add_advertised_routes", 0), "fd00::/8", CIDR_RULE),
    (ROUTERS, ROUTER0 + ("remove_advertised_routes", 1), "10.10.16.0/255.255.240.0",
     "remove_advertised_routes[1] must be an IPv4 range in canonical form"),
    (ROUTERS, ROUTER0 + ("remove_advertised_routes", 0), "10.10.0.1/20", "canonical form"),
    (ROUTES, ("manage_routes", "stage1", "delete", 0), "Spoke Onprem Backup",
     "manage_routes.stage1.delete[0] " + NAME_RULE),
    (ROUTES, ADD0 + ("cidr",), "10.0.0.0/33", "manage_routes.stage1.add[0].cidr " + CIDR_RULE),
    (ROUTES, ADD0 + ("cidr",), "192.168.1.0/16", CIDR_RULE),
    (ROUTES, ADD0 + ("cidr",), "192.168.0.0", CIDR_RULE),
    (ROUTES, ADD0 + ("cidr",), "300.168.0.0/16", CIDR_RULE),
    (ROUTES, ADD0 + ("zone",), "europe-west1", "add[0].zone must be a zone name such as "
                                               "us-central1-a"),
    (ROUTES, ADD0 + ("zone",), "EUROPE-WEST1-B", "must be a zone name"),
    (ROUTES, ADD0 + ("dest_instance",), "router_appliance", "add[0].dest_instance " + NAME_RULE),
    (ROUTES, ADD0 + ("priority",), -1, "add[0].priority %s, not -1" % PRIORITY_RULE),
    (ROUTES, ADD0 + ("priority",), 65536, PRIORITY_RULE),
    (ROUTES, ADD0 + ("priority",), "800", PRIORITY_RULE),
    (ROUTES, ADD0 + ("priority",), True, PRIORITY_RULE),
    (ROUTES, ADD0 + ("priority",), 1.5, PRIORITY_RULE),
    (ROUTES, ADD0 + ("name",), "-via-appliance", "add[0].name " + NAME_RULE),
    (ROUTES, ADD0 + ("name",), "", NAME_RULE),
    (["cidrs", "europe-west1"], ("spoke_advertisement",), ["10.0.0.0/8", "10.1.2.3/8"],
     "spoke_advertisement[1] " + CIDR_RULE),
    (["cidrs", "Europe-West1"], None, None, "cidrs: REGION must be a region name"),
    (["discover", "BAD PROJ"], None, None, "discover: PROJECT %s" % PROJECT_RULE),
    (["discover", "tarn-demo-"], None, None, PROJECT_RULE),
    (ROUTES, None, b"project_id: tarn-demo\nvpc_name: spoke\xff-vpc\n",
     "is not UTF-8 text (byte 0xff at offset 37)"),
    (ROUTERS, None, "project_id: tarn-démo\n".encode("latin-1"), "is not UTF-8 text (byte 0xe9"),
]


def _place(data, path, value):
    for part in path[:-1]:
        data = data[part]
    data[path[-1]] = value


@pytest.mark.parametrize("args,path,value,words", [c for c in REFUSED],
                         ids=["%s %s=%r" % (c[0][-1], ".".join(map(str, c[1] or ())), c[2])
                              for c in REFUSED])
def test_a_value_the_api_would_refuse_is_refused_before_anything_changes(
        cli, emu, tmp_path, args, path, value, words):
    plan_path = tmp_path / "plan.yaml"
    if isinstance(value, bytes):
        plan_path.write_bytes(value)
    else:
        plan = yaml.safe_load(sample.plan_text())
        if path is not None:
            _place(plan, path, value)
        plan_path.write_text(yaml.safe_dump(plan))
    revert = tmp_path / "revert.json"
    options = ["--plan", plan_path] + (["--revert", revert] if args[0] in ("switch", "restore") else [])
    emu.clear_requests()

    result = cli(*options, *args)

    assert (result.status, result.out) == (2, ""), result.err
    assert len(result.err_lines) == 1, result.err
    assert result.err_lines[0].startswith("tarn_gcp: ")
    assert words in result.err_lines[0]
    assert not revert.exists()
    assert mutations(emu) == []


# The limits themselves are accepted: (key path, value) on the sample plan,
# checked as every command that reads the key checks it.
ACCEPTED = [
    (("project_id",), "tarn-d"),
    (("project_id",), "t" * 29 + "1"),
    (("vpc_name",), "s"),
    (("vpc_name",), "s" * 62 + "9"),
    (("transit_vpcs", 0, "vpc_name"), "p-1234::n"),
    (ROUTER0 + ("region",), "northamerica-northeast2"),
    (ROUTER0 + ("add_advertised_routes",), ["0.0.0.0/0", "10.0.0.1/32"]),
    (ROUTER0 + ("remove_advertised_routes",), ["10.10.0.0/20", "192.168.0.0/16"]),
    (ADD0 + ("cidr",), "0.0.0.0/0"),
    (ADD0 + ("zone",), "europe-west10-c"),
    (ADD0 + ("priority",), 0),
    (ADD0 + ("priority",), 65535),
    (ADD0 + ("name",), "r" * 63),
    (("spoke_advertisement",), ["10.0.0.0/8", "172.16.0.0/28"]),
]


@pytest.mark.parametrize("path,value", ACCEPTED)
def test_values_at_the_limits_of_the_rules_are_accepted(tmp_path, path, value):
    plan = yaml.safe_load(sample.plan_text())
    _place(plan, path, value)
    plan_path = tmp_path / "plan.yaml"
    plan_path.write_text(yaml.safe_dump(plan), encoding="utf-8")
    loaded = Plan.load(plan_path)
    try:
        loaded.vpc_key("c")
        loaded.transit_vpcs("c", with_routers=True)
        loaded.stage_config("stage1", "c")
        loaded.spoke_settings("c")
    except CliError as exc:  # pragma: no cover - the failure's own text
        pytest.fail(str(exc))
