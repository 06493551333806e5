"""The plan held to the Compute API's rules before anything changes: a value
Google Cloud would refuse is one line on standard error, exit status 2, no
changing request sent and no revert file written; values at the limits of
the rules go through."""

import pytest
import yaml

from tarn_gcp.emulator import sample

from test_cli_support import cli, pauses  # noqa: F401
from testing.emulators import mutations

ROUTES, ROUTERS = ["switch", "routes", "stage1"], ["switch", "routers"]
PEERINGS = ["switch", "peerings"]
ADD = ("manage_routes", "stage1", "add", 0)
CR = ("transit_vpcs", 0, "cloud_routers", 0)
PROJECT = "must be a project ID (6 to 30 characters"
NAME = "must be a resource name (1 to 63 characters"
CIDR = "must be an IPv4 range written address/prefix length (0 to 32) with no host bits set"
PRIORITY = "must be an integer from 0 to 65535"
OK = None  # not bad input

# (command, key path in the plan, value, the words of the one error line or OK)
CASES = [
    (ROUTES, ("project_id",), "BAD PROJ", "'project_id' %s" % PROJECT),
    (PEERINGS, ("project_id",), "tarn5", PROJECT),
    (ROUTERS, ("project_id",), "t" * 31, PROJECT),
    (["restore", "routers"], ("project_id",), "tarn-demo-", PROJECT),
    (ROUTES, ("project_id",), "tarn-d", OK),
    (ROUTES, ("project_id",), "t" * 29 + "1", OK),
    (ROUTES, ("vpc_name",), "Spoke_VPC", "'vpc_name' " + NAME),
    (ROUTERS, ("vpc_name",), "s" * 64, NAME),
    (ROUTERS, ("vpc_name",), "s" * 62 + "9", OK),
    (PEERINGS, ("transit_vpcs", 0, "vpc_name"), "BAD PROJ::transit-a",
     "the project of transit_vpcs[0].vpc_name " + PROJECT),
    (PEERINGS, ("transit_vpcs", 1, "vpc_name"), "tarn-transit::transit b",
     "the network of transit_vpcs[1].vpc_name " + NAME),
    (ROUTERS, CR + ("region",), "europe west1",
     "transit_vpcs[0].cloud_routers[0].region must be a region name such as us-central1"),
    (ROUTERS, CR + ("region",), "northamerica-northeast2", OK),
    (ROUTERS, CR + ("router_name",), "Transit_A", "cloud_routers[0].router_name " + NAME),
    (ROUTERS, CR + ("add_advertised_routes", 0), "10.10.0.0/33",
     "transit_vpcs[0].cloud_routers[0].add_advertised_routes[0] " + CIDR),
    (ROUTERS, CR + ("add_advertised_routes", 0), "10.10.0.1/16", CIDR),
    (ROUTERS, CR + ("add_advertised_routes",), ["0.0.0.0/0", "10.0.0.1/32"], OK),
    (ROUTERS, CR + ("remove_advertised_routes", 1), "10.10.16.0/255.255.240.0",
     "remove_advertised_routes[1] must be an IPv4 range in canonical form"),
    (ROUTERS, CR + ("remove_advertised_routes", 0), "10.10.0.1/20", "canonical form"),
    (ROUTES, ("manage_routes", "stage1", "delete", 0), "Spoke Onprem",
     "manage_routes.stage1.delete[0] " + NAME),
    (ROUTES, ADD + ("cidr",), "10.0.0.0/33", "manage_routes.stage1.add[0].cidr " + CIDR),
    (ROUTES, ADD + ("cidr",), "192.168.1.0/16", CIDR),
    (ROUTES, ADD + ("cidr",), "300.168.0.0/16", CIDR),
    (ROUTES, ADD + ("cidr",), "0.0.0.0/0", OK),
    (ROUTES, ADD + ("zone",), "europe-west1", "add[0].zone must be a zone name such as "
                                              "us-central1-a"),
    (ROUTES, ADD + ("zone",), "europe-west10-c", OK),
    (ROUTES, ADD + ("dest_instance",), "router_appliance", "add[0].dest_instance " + NAME),
    (ROUTES, ADD + ("priority",), -1, "add[0].priority %s, not -1" % PRIORITY),
    (ROUTES, ADD + ("priority",), 65536, PRIORITY),
    (ROUTES, ADD + ("priority",), "800", PRIORITY),
    (ROUTES, ADD + ("priority",), 1.5, PRIORITY),
    (ROUTES, ADD + ("priority",), 0, OK),
    (ROUTES, ADD + ("priority",), 65535, OK),
    (ROUTES, ADD + ("name",), "-via-appliance", "add[0].name " + NAME),
    (ROUTES, ADD + ("name",), "r" * 63, OK),
    (["cidrs", "europe-west1"], ("spoke_advertisement",), ["10.0.0.0/8", "10.1.2.3/8"],
     "spoke_advertisement[1] " + CIDR),
    (["cidrs", "europe-west1"], ("spoke_advertisement",), ["10.0.0.0/8"], OK),
    (["cidrs", "Europe-West1"], None, None, "cidrs: REGION must be a region name"),
    (["discover", "BAD PROJ"], None, None, "discover: PROJECT " + PROJECT),
    (ROUTES, None, b"project_id: tarn-demo\nvpc_name: spoke\xff-vpc\n",
     "is not UTF-8 text (byte 0xff at offset 37)"),
    (ROUTERS, None, "project_id: tarn-démo\n".encode("latin-1"), "is not UTF-8 text (byte 0xe9"),
]


@pytest.mark.parametrize("args,path,value,words", CASES, ids=[
    "%s %s=%r" % (c[0][-1], ".".join(map(str, c[1] or ())), c[2]) for c in CASES])
def test_plan_values_are_held_to_the_api_rules(cli, emu, tmp_path, args, path, value, words):
    plan_path = tmp_path / "plan.yaml"
    if isinstance(value, bytes):
        plan_path.write_bytes(value)
    else:
        plan = yaml.safe_load(sample.plan_text())
        if path is not None:
            target = plan
            for part in path[:-1]:
                target = target[part]
            target[path[-1]] = value
        plan_path.write_text(yaml.safe_dump(plan))
    revert = tmp_path / "revert.json"
    options = ["--plan", plan_path]
    if args[0] in ("switch", "restore"):
        options += ["--dry-run"] if words is OK else ["--revert", revert]
    emu.clear_requests()

    result = cli(*options, *args)

    assert mutations(emu) == [] and not revert.exists()
    if words is OK:  # the plan holds (the emulator may not know the new names: preflight)
        assert result.status in (0, 1, 2) and "must be" not in result.err, result.err
        return
    assert (result.status, result.out) == (2, ""), result.err
    assert len(result.err_lines) == 1 and result.err_lines[0].startswith("tarn_gcp: ")
    assert words in result.err_lines[0]


# A plan that holds its rules but not against the network: (command, key
# path, value, the line the preflight prints).
AGAINST_THE_NETWORK = [
    (ROUTES, ADD + ("dest_instance",), "router-appliance-ew1",
     "switch routes stage1: manage_routes.stage1.add[0]: next-hop instance router-appliance-ew1 "
     "does not exist in tarn-demo zone europe-west1-b"),
    (ROUTES, ("manage_routes", "stage1", "delete", 0), "spoke-onprem-backupp",
     "switch routes stage1: manage_routes.stage1.delete: route spoke-onprem-backupp does not "
     "exist in tarn-demo"),
    (ROUTES, ADD[:3] + (2, "name"), "spoke-onprem-backup",
     "switch routes stage1: manage_routes.stage1: the name spoke-onprem-backup of a route to add "
     "is taken by another route (192.168.0.0/16 via 10.10.0.10, priority 2000)"),
    (PEERINGS, ("transit_vpcs", 1, "vpc_name"), "tarn-transit::transit-bb",
     "switch peerings: transit VPC tarn-transit::transit-bb does not exist"),
    (ROUTERS, CR + ("router_name",), "transit-a-cr-ew1",
     "switch routers: router transit-a-cr-ew1 in tarn-transit europe-west1 does not exist"),
    (PEERINGS, ("advertise_gkee",), True,
     "plan: unknown key `advertise_gkee`; did you mean `advertise_gke`?"),
    (ROUTES, ADD + ("prority",), 5, "plan: unknown key `prority` in "
     "manage_routes.stage1.add[0]; did you mean `priority`?"),
    (["switch", "all"], CR + ("remove_advertized_groups",), [],
     "plan: unknown key `remove_advertized_groups` in "
     "transit_vpcs[0].cloud_routers[0]; did you mean `remove_advertised_groups`?"),
]


@pytest.mark.parametrize("args,path,value,line", AGAINST_THE_NETWORK,
                         ids=[c[2] if isinstance(c[2], str) else c[1][-1]
                              for c in AGAINST_THE_NETWORK])
def test_the_preflight_refuses_a_plan_that_does_not_hold_against_the_network(
        cli, emu, tmp_path, args, path, value, line):
    plan = yaml.safe_load(sample.plan_text())
    target = plan
    for part in path[:-1]:
        target = target[part]
    target[path[-1]] = value
    (tmp_path / "plan.yaml").write_text(yaml.safe_dump(plan))
    revert = tmp_path / "revert.json"
    before = emu.snapshot()
    for dry_run in ([], ["--dry-run"]):
        result = cli("--plan", tmp_path / "plan.yaml", "--revert", revert, *dry_run, *args)
        assert (result.status, result.out) == (2, ""), result.err
        assert result.err_lines == ["tarn_gcp: " + line], result.err
    assert mutations(emu) == [] and emu.snapshot() == before and not revert.exists()
