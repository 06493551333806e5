"""Bad input: one line on standard error, exit status 2, nothing written
(no file created or changed, no changing request sent)."""

import fcntl
import json
import os
import socket
import threading

import pytest
import yaml

from tarn_gcp.emulator import sample

from test_cli_support import KEY, cli, pauses  # noqa: F401
from testing.emulators import mutations


def sample_plan():
    return yaml.safe_load(sample.plan_text())


def without(*path):
    def change(plan):
        target = plan
        for part in path[:-1]:
            target = target[part]
        del target[path[-1]]
    return change


def setting(value, *path):
    def change(plan):
        target = plan
        for part in path[:-1]:
            target = target[part]
        target[path[-1]] = value
    return change


PAIR = {"localPeeringProperties": {"name": "a", "network": "n", "exportCustomRoutes": True,
                                   "importCustomRoutes": True, "exchangeSubnetRoutes": True,
                                   "exportSubnetRoutesWithPublicIp": True,
                                   "importSubnetRoutesWithPublicIp": False,
                                   "stackType": "IPV4_ONLY"},
        "remotePeeringProperties": None}


def revert_data(**entries):
    data = {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}
    data.update(entries)
    return data


NO_URL = "(without --emulator-url)"
DRAFT = ["plan", "draft", "tarn-demo", "spoke-vpc"]


def _open_and_close_writer(fifo):
    try:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass

# (id, arguments, plan change or plan text, revert file content, the error's words)
CASES = [
    ("missing plan", ["switch", "routers"], None, None, "cannot read plan"),
    ("malformed plan", ["switch", "routers"], "project_id: [unclosed\n", None,
     "is not valid YAML"),
    ("plan not a mapping", ["discover"], "- a\n- b\n", None, "must be a mapping"),
    ("no project_id", ["switch", "routers"], without("project_id"), None,
     "lacks 'project_id', which switch routers needs"),
    ("no vpc_name", ["cidrs", "europe-west1"], without("vpc_name"), None,
     "lacks 'vpc_name', which cidrs needs"),
    ("no transit_vpcs", ["switch", "peerings"], without("transit_vpcs"), None,
     "lacks 'transit_vpcs'"),
    ("transit vpc not project::network", ["switch", "peerings"],
     setting("transit-a", "transit_vpcs", 0, "vpc_name"), None, "must read project::network"),
    ("router without region", ["switch", "routers"],
     without("transit_vpcs", 1, "cloud_routers", 0, "region"), None,
     "transit_vpcs[1].cloud_routers[0] lacks 'region'"),
    ("no manage_routes", ["switch", "routes", "stage1"], without("manage_routes"), None,
     "lacks 'manage_routes'"),
    ("route without zone", ["switch", "routes", "stage1"],
     without("manage_routes", "stage1", "add", 2, "zone"), None,
     "manage_routes.stage1.add[2] lacks 'zone'"),
    ("unknown stage", ["switch", "routes", "stage9"], {}, None, "unknown stage 'stage9'"),
    ("unknown stage on restore", ["restore", "routes", "stage9"], {}, revert_data(),
     "unknown stage 'stage9'"),
    ("revert not json", ["restore", "routers"], {}, "{not json", "is not valid JSON"),
    ("revert not utf-8", ["restore", "routers"], {}, b"\xff\xfe\x00", "is not valid JSON"),
    ("revert a list", ["switch", "routers"], {}, [], "must hold an object"),
    ("revert peerings not a mapping", ["restore", "peerings"], {},
     revert_data(peerings=[]), "must hold an object"),
    ("revert pair lacking keys", ["restore", "peerings"], {},
     revert_data(peerings={KEY: [{"localPeeringProperties": {"name": "a"},
                                  "remotePeeringProperties": None}]}),
     "is malformed: peerings/%s/0/localPeeringProperties lacks network" % KEY),
    ("revert router key", ["restore", "routers"], {},
     revert_data(cloud_routers={KEY: {"t::net::r1": {}}}), "must read project::network"),
    ("revert route record", ["restore", "routes", "stage1"], {},
     revert_data(manage_routes={"stage1": {KEY: {"deleted_route_list": {}}}}), "is malformed"),
    ("revert of another vpc", ["restore", "peerings"], {},
     revert_data(peerings={"tarn-demo::other-vpc": [PAIR]}),
     "belongs to tarn-demo::other-vpc, not to the plan's VPC tarn-demo::spoke-vpc"),
    ("revert owner of another vpc", ["switch", "routers"], {},
     dict(revert_data(), vpc="elsewhere::vpc"), "belongs to elsewhere::vpc"),
    ("restore without revert", ["restore", "routers"], {}, "no option", "restore needs --revert"),
    ("restore with missing revert", ["restore", "routers"], {}, "missing file",
     "does not exist"),
    ("revert is a folder", ["switch", "routers"], {}, "folder", "is a folder"),
    ("revert in missing folder", ["switch", "routers"], {}, "missing folder", "no folder"),
    ("revert with discover", ["discover"], {}, revert_data(), "--revert applies to"),
    ("demo with an existing revert", [NO_URL, "demo"], {}, revert_data(),
     "demo writes a new revert"),
    ("unknown command", ["migrate"], {}, None, "invalid choice: 'migrate'"),
    ("unknown target", ["switch", "subnets"], {}, None, "invalid choice: 'subnets'"),
    ("stage missing", ["switch", "routes"], {}, None, "required: STAGE"),
    ("quiet and verbose", ["-q", "-v", "discover"], {}, None, "exclude each other"),
    ("dry run of discover", ["--dry-run", "discover"], {}, None, "--dry-run applies to"),
    ("two emulators", ["--emulator", "cidrs", "r"], {}, None, "exclude each other"),
    ("restore on a new emulator", [NO_URL, "--emulator", "restore", "routers"], {}, revert_data(),
     "use --emulator-url"),
    ("status without revert", ["status"], {}, "no option", "status needs --revert FILE"),
    ("status with revert not json", ["status"], {}, "{not json", "is not valid JSON"),
    ("status with revert of another vpc", ["status"], {},
     revert_data(peerings={"tarn-demo::other-vpc": [PAIR]}), "belongs to tarn-demo::other-vpc"),
    ("status with malformed route record", ["status"], {},
     revert_data(manage_routes={"stage1": {KEY: {"added_route_list": [1]}}}), "is malformed"),
    ("status with manage_routes a list", ["status"], setting([], "manage_routes"), revert_data(),
     "'manage_routes' must map stage names"),
    ("status without vpc_name", ["status"], without("vpc_name"), revert_data(),
     "lacks 'vpc_name', which status needs"),
    ("dry run of status", ["--dry-run", "status"], {}, revert_data(), "--dry-run applies to"),
    ("status as dot", ["status", "--format", "dot"], {}, revert_data(), "invalid choice: 'dot'"),
    ("cidrs as yaml", ["cidrs", "europe-west1", "--format", "yaml"], {}, None,
     "invalid choice: 'yaml'"),
    ("revert with cidrs", ["cidrs", "europe-west1", "--format", "json"], {}, revert_data(),
     "--revert applies to"),
    ("foreign json as revert", ["switch", "routers"], {},
     {"name": "tarn", "version": "1.0", "scripts": {}}, 'is not a revert file: it holds "name"'),
    ("revert with a key of its own", ["restore", "routers"], {},
     dict(revert_data(), extra=[]), 'is not a revert file: it holds "extra"'),
    ("revert nested past the parser", ["switch", "routers"], {},
     '{"peerings": {"k": ' + "[" * 100000 + "]" * 100000 + "}}", "nested too deeply"),
    ("revert nested past a record", ["switch", "routers"], {},
     revert_data(cloud_routers={KEY: {"t::n::r::cr": {"bgp": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[
         [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]
         ]}}}), "nested too deeply"),
    ("revert with NaN", ["switch", "routers"], {},
     '{"peerings": {}, "cloud_routers": {"%s": {"t::n::r::cr": {"asn": NaN}}}}' % KEY,
     "NaN is not a number JSON allows"),
    ("revert with -Infinity", ["restore", "routes", "stage1"], {},
     '{"manage_routes": {"stage1": {"%s": {"deleted_route_list": [{"priority": -Infinity}], '
     '"added_route_list": []}}}}' % KEY, "-Infinity is not a number JSON allows"),
    ("revert with a number past a float", ["status"], {}, '{"cloud_routers": {"%s": '
     '{"t::n::r::cr": {"asn": 1e400}}}}' % KEY, "1e400 is out of the range of a number"),
    ("revert naming a key twice", ["switch", "peerings"], {},
     '{"peerings": {"%s": []}, "peerings": {}}' % KEY, 'the key "peerings" appears twice'),
    ("revert with two names", ["switch", "routers"], {}, "hard link", "has 2 hard links"),
    ("plan naming a key twice", ["switch", "routers"],
     sample.plan_text() + "project_id: tarn-other\n", None,
     "the key 'project_id' appears twice in one mapping"),
    ("plan with a non-finite number", ["switch", "routes", "stage1"],
     setting(float("nan"), "manage_routes", "stage1", "add", 0, "priority"), None,
     ".nan is not a finite number"),
    ("plan alias bomb", ["switch", "routers"], "".join(
        "%s: &%s [%s]\n" % (n, n, ", ".join(["*" + p] * 9 if p else ["lol"] * 9))
        for p, n in zip([""] + list("abcdefgh"), "abcdefghi")), None, "expand to more than"),
    ("plan alias holding itself", ["discover"], "a: &a [1, *a]\n", None,
     "refer to collections that hold them"),
    ("revert is a fifo", ["switch", "routers"], {}, "fifo", "is not a regular file"),
    ("revert is a link to a fifo", ["restore", "routers"], {}, "link to fifo",
     "is not a regular file"),
    ("revert in use", ["switch", "routers"], {}, "locked", "is in use by pid 4242 since 2026-"),
    ("empty plan", ["--plan", "", "switch", "routers"], {}, None,
     "--plan needs a value, not an empty string"),
    ("empty revert", ["--revert", "", "switch", "routers"], {}, None,
     "--revert needs a value"),
    ("empty emulator url", [NO_URL, "--emulator-url", "", "discover"], {}, None,
     "--emulator-url needs a value"),
    ("emulator url not http", [NO_URL, "--emulator-url", "ftp://127.0.0.1/", "discover"], {},
     None, "must be an http:// or https:// URL"),
    ("emulator url without host", [NO_URL, "--emulator-url", "http:///compute/v1/", "discover"],
     {}, None, "names no host"),
    ("emulator url bad port", [NO_URL, "--emulator-url", "http://127.0.0.1:99999/", "discover"],
     {}, None, "is not a URL"),
    ("emulator url refusing", [NO_URL, "--emulator-url", "http://127.0.0.1:1/", "switch",
                               "routers"], {}, revert_data(), "no emulator answers at"),
    ("draft of no project ID", DRAFT[:2] + ["BAD PROJ", "spoke-vpc"], {}, None,
     "plan draft: PROJECT must be a project ID"),
    ("draft appliance without a zone", DRAFT + ["--appliance", "europe-west1=appliance"], {},
     None, "(in --appliance europe-west1=appliance, written REGION=ZONE/INSTANCE)"),
    ("draft appliance of another region", DRAFT + ["--appliance", "europe-west1=us-central1-a/"
                                                   "fw"], {}, None,
     "zone us-central1-a is not in region europe-west1"),
    ("draft appliance twice", DRAFT + ["--appliance", "us-central1=us-central1-a/a"] * 2, {},
     None, "--appliance names region us-central1 twice"),
    ("draft priority past the API's", DRAFT + ["--priority", "us-central1=65536"], {}, None,
     "priority must be an integer from 0 to 65535"),
    ("draft summary past /32", DRAFT + ["--summarize", "33"], {}, None,
     "--summarize LENGTH must be a prefix length from 0 to 32"),
    ("draft forced without -o", DRAFT + ["--force"], {}, None, "--force applies to -o FILE"),
    ("draft dry run", ["--dry-run"] + DRAFT, {}, None, "--dry-run applies to"),
    ("check allowing what is no range", ["plan", "check", "--allow-unreachable", "10.0.0.1/8"],
     {}, None, "--allow-unreachable RANGE must be an IPv4 range"),
    ("check of a plan with a misspelt key", ["plan", "check"],
     setting(1, "manage_routes", "stage1", "add", 0, "prority"), None,
     "unknown key `prority` in manage_routes.stage1.add[0]; did you mean `priority`?"),
    ("switch all allowing what is no range", ["--dry-run", "switch", "all",
                                              "--allow-unreachable", "all"], {}, None,
     "--allow-unreachable RANGE must be"),
]


@pytest.mark.parametrize("args,plan,revert,words", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_bad_input_is_one_line_and_status_2_with_nothing_written(
        cli, emu, tmp_path, request, args, plan, revert, words):
    work = tmp_path / "work"
    work.mkdir()
    options = []
    plan_path = work / "plan.yaml"
    if isinstance(plan, str):
        plan_path.write_text(plan)
    elif plan is not None:
        data = sample_plan()
        if callable(plan):
            plan(data)
        plan_path.write_text(yaml.safe_dump(data))
    options += ["--plan", plan_path]
    revert_path = work / "revert.json"
    if revert == "missing folder":
        revert_path = work / "no-such-folder" / "revert.json"
    elif revert == "folder":
        revert_path.mkdir()
    elif revert in ("fifo", "link to fifo"):
        fifo = work / "fifo" if revert == "link to fifo" else revert_path
        os.mkfifo(fifo)
        if fifo != revert_path:
            revert_path.symlink_to("fifo")
        # A run that waits on the FIFO gets an end of file after a while
        # instead of hanging the tests.
        unblock = threading.Timer(10, _open_and_close_writer, [fifo])
        unblock.start()
        request.addfinalizer(unblock.cancel)
    elif revert == "locked":
        revert_path.write_text(json.dumps(revert_data()))
        lock = open(str(revert_path) + ".lock", "w")
        lock.write("pid 4242\nhost %s\nsince 2026-01-02 03:04:05 UTC\n" % os.uname().nodename)
        lock.flush()
        fcntl.flock(lock, fcntl.LOCK_EX)
        request.addfinalizer(lock.close)
    elif revert == "hard link":
        revert_path.write_text(json.dumps(revert_data()))
        os.link(revert_path, work / "same.json")
    elif isinstance(revert, bytes):
        revert_path.write_bytes(revert)
    elif isinstance(revert, str) and revert not in ("no option", "missing file", "locked",
                                                    "hard link"):
        revert_path.write_text(revert)
    elif isinstance(revert, (dict, list)):
        revert_path.write_text(json.dumps(revert))
    if revert is not None and revert != "no option":
        options += ["--revert", revert_path]
    def state():
        return {p: (p.lstat().st_mtime_ns, p.lstat().st_mode,
                    p.read_bytes() if p.is_file() else None) for p in work.rglob("*")}

    before = state()
    emu.clear_requests()

    result = cli(*options, *[a for a in args if a != NO_URL], emulator=NO_URL not in args)

    assert result.status == 2
    assert len(result.err_lines) == 1, result.err
    assert result.err_lines[0].startswith("tarn_gcp: ")
    assert words in result.err_lines[0]
    assert result.out == ""
    assert state() == before
    assert mutations(emu) == []


def test_a_switch_against_google_cloud_needs_a_revert_file(cli, tmp_path, monkeypatch):
    monkeypatch.setenv("GOOGLE_APPLICATION_CREDENTIALS", str(tmp_path / "none.json"))
    result = cli("--plan", sample.PLAN_PATH, "switch", "peerings", emulator=False)
    assert (result.status, result.out) == (2, "")
    assert result.err_lines == ["tarn_gcp: switch needs --revert FILE to keep what it changes "
                                "(or --dry-run to only show it)"]
    assert os.listdir(tmp_path) == []
    result = cli("--plan", sample.PLAN_PATH, "discover", emulator=False)
    assert result.status == 2 and len(result.err_lines) == 1
    assert result.err_lines[0].startswith("tarn_gcp: no Google Cloud credentials (")


def test_an_emulator_url_that_does_not_answer_is_bad_input(cli, tmp_path, monkeypatch):
    from tarn_gcp.cloud import target as session

    monkeypatch.setattr(session, "PROBE_SECONDS", 0.05)
    with socket.socket() as silent:       # accepts connections, never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        url = "http://127.0.0.1:%d/compute/v1/" % silent.getsockname()[1]
        result = cli("--emulator-url", url, "--revert", tmp_path / "r.json", "switch", "routers",
                     emulator=False)
    assert (result.status, result.out) == (2, "")
    assert result.err_lines == ["tarn_gcp: no emulator answers at %s (no answer within 0.05 s)"
                                % url]
    assert os.listdir(tmp_path) == []
