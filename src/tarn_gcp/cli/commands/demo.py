"""``tarn_gcp demo``: a complete migration and its restore on an emulator.

An emulator is started in this process with the sample topology.  The demo
lists the spoke project and the transit projects, shows the ranges the
spoke advertises, runs the three stages (peerings, every route stage of
the plan, Cloud Routers) saving the revert information to a file, shows
what changed, restores everything from that file in the reverse order, and
compares the topology with the snapshot taken before the first stage.  It
fails (exit status 1) when the topology is not back as it was, when the
stages changed nothing, or when a step failed or logged a problem.
"""

from __future__ import annotations

import logging
import os
import shutil
import tempfile

from tarn_gcp.cli.run import Run
from tarn_gcp.cloud.compute import get_network, subnet_regions
from tarn_gcp.cloud.target import open_target
from tarn_gcp.errors import CliError, RunFailed
from tarn_gcp.plan import EXAMPLE_PLAN, Plan
from tarn_gcp.plan.status import compare
from tarn_gcp.revert import RevertFile

from . import status
from .discovery import cidrs, discover
from .stages import Stage

log = logging.getLogger("tarn_gcp.cli")

HELP = "the whole migration and its restore on an emulator, verified"
EXAMPLES = """\
  tarn_gcp demo
  tarn_gcp demo --dry-run -q
  tarn_gcp demo --plan my-plan.yaml --revert demo-revert.json"""


# ------------------------------------------------------- snapshot diff

def _where(path):
    """(kind, label) of a snapshot path such as
    projects/P/global/routes/NAME or projects/P/regions/R/routers/NAME."""
    parts = path.split("/")
    if len(parts) == 5 and parts[2] == "global":
        return parts[3].rstrip("s"), "%s/%s" % (parts[1], parts[4])
    if len(parts) == 6:
        return parts[4].rstrip("s"), "%s/%s/%s" % (parts[1], parts[3], parts[5])
    return "resource", path


def _last(url):
    return str(url).rstrip("/").rsplit("/", 1)[-1]


def _route_text(route):
    for key, label in (("nextHopInstance", None), ("nextHopIp", None),
                       ("nextHopGateway", None), ("nextHopPeering", "peering "),
                       ("nextHopIlb", None), ("nextHopNetwork", "network ")):
        if key in route:
            hop = (label or "") + (_last(route[key]) if key != "nextHopIp" else route[key])
            break
    else:
        hop = "?"
    return "%s via %s, priority %s" % (route.get("destRange"), hop, route.get("priority"))


def _ranges(bgp):
    ranges = [r.get("range") for r in bgp.get("advertisedIpRanges", [])]
    return ", ".join(ranges) if ranges else "none"


def _groups(bgp):
    return ", ".join(bgp.get("advertisedGroups", [])) or "none"


def _peer_text(peering):
    network = str(peering.get("network", ""))
    parts = network.split("/")
    peer = "%s/%s" % (parts[-4], parts[-1]) if len(parts) >= 4 else network
    return "to %s, %s" % (peer, peering.get("state", "?"))


def _short(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _changed(kind, label, old, new):
    lines = []
    if kind == "network":
        before = {p["name"]: p for p in old.get("peerings", [])}
        after = {p["name"]: p for p in new.get("peerings", [])}
        for name in sorted(before.keys() | after.keys()):
            if name not in after:
                lines.append("- peering %s of %s (%s)" % (name, label, _peer_text(before[name])))
            elif name not in before:
                lines.append("+ peering %s of %s (%s)" % (name, label, _peer_text(after[name])))
            elif before[name] != after[name]:
                keys = sorted(k for k in before[name].keys() | after[name].keys()
                              if before[name].get(k) != after[name].get(k))
                lines.append("~ peering %s of %s: %s" % (name, label, ", ".join(
                    "%s %s -> %s" % (k, _short(before[name].get(k), 30),
                                     _short(after[name].get(k), 30)) for k in keys)))
        old = {k: v for k, v in old.items() if k != "peerings"}
        new = {k: v for k, v in new.items() if k != "peerings"}
    elif kind == "router":
        old_bgp, new_bgp = old.get("bgp", {}), new.get("bgp", {})
        if _ranges(old_bgp) != _ranges(new_bgp):
            lines.append("~ router %s advertises %s (was %s)"
                         % (label, _ranges(new_bgp), _ranges(old_bgp)))
        if _groups(old_bgp) != _groups(new_bgp):
            lines.append("~ router %s advertises the groups %s (was %s)"
                         % (label, _groups(new_bgp), _groups(old_bgp)))
        rest = sorted(k for k in old_bgp.keys() | new_bgp.keys()
                      if k not in ("advertisedIpRanges", "advertisedGroups")
                      and old_bgp.get(k) != new_bgp.get(k))
        for key in rest:
            lines.append("~ router %s: bgp %s %s -> %s" % (
                label, key, _short(old_bgp.get(key), 30), _short(new_bgp.get(key), 30)))
        old = {k: v for k, v in old.items() if k != "bgp"}
        new = {k: v for k, v in new.items() if k != "bgp"}
    for key in sorted(old.keys() | new.keys()):
        if old.get(key) != new.get(key):
            lines.append("~ %s %s: %s %s -> %s" % (kind, label, key, _short(old.get(key), 40),
                                                   _short(new.get(key), 40)))
    return lines


def snapshot_diff(before, after):
    """Lines telling how snapshot ``after`` differs from ``before``: "+"
    for what appeared, "-" for what went, "~" for what changed."""
    lines = []
    for path in sorted(before.keys() | after.keys()):
        kind, label = _where(path)
        old, new = before.get(path), after.get(path)
        if old == new:
            continue
        if old is None or new is None:
            sign, resource = ("+", new) if old is None else ("-", old)
            detail = _route_text(resource) if kind == "route" else ""
            lines.append("%s %s %s%s" % (sign, kind, label, ": " + detail if detail else ""))
        else:
            lines.extend(_changed(kind, label, old, new))
    return lines


# ----------------------------------------------------------------- demo

def _heading(title):
    log.info("")
    log.info("=" * 72)
    log.info("== %s", title)
    log.info("=" * 72)


def _check_plan(plan):
    command = "demo"
    plan.vpc_key(command)
    plan.transit_vpcs(command, with_routers=True)
    stages = plan.stages()
    if stages:
        for stage in plan.manage_routes(command):
            plan.stage_config(stage, command)
    return stages


def _status(run, plan, key, revert_path, expected, when):
    """Shows ``status`` from the revert file; the stages (with the moment)
    that are not ``expected``.  A dry run records changes it did not make,
    so its status is not checked."""
    if revert_path is None:
        return []
    _heading("Status %s" % when)
    try:
        info = RevertFile(revert_path, key).load(required=True)
        document = compare(run.service, plan, key, info)
    except (CliError, RunFailed) as exc:
        run.console.summary("demo: status %s: %s" % (when, exc))
        return ["no status %s" % when]
    status.show(run, document)
    return ["%s %s" % (stage, when) for stage in status.not_in(document, expected)]


def run_demo(options, console):
    if options.emulator_url:
        raise CliError("demo starts its own emulator; --emulator-url does not apply")
    plan = Plan.load(options.plan or EXAMPLE_PLAN)
    stages = _check_plan(plan)
    dry_run = bool(options.dry_run)
    scratch = None
    revert_path = None if dry_run else options.revert
    if revert_path and revert_path.startswith("gs://"):
        from tarn_gcp.revert.bucket import check_new_object

        check_new_object(revert_path)
    elif revert_path:
        if os.path.exists(revert_path):
            raise CliError("demo writes a new revert file, and %s exists" % revert_path)
        RevertFile(revert_path, None).check_writable()
    elif not dry_run:
        scratch = tempfile.mkdtemp(prefix="tarn_gcp-demo-")
        revert_path = os.path.join(scratch, "revert.json")
    try:
        target = open_target(emulator=True, retry_delay=0.25)
        run = Run(options, console, plan, lambda: target)
        try:
            return _demo(run, target.emulator, plan, stages, revert_path, dry_run)
        finally:
            run.close()
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


def _demo(run, emu, plan, stages, revert_path, dry_run):
    console = run.console
    project = plan.project("demo")
    key = plan.vpc_key("demo")
    start_problems = console.problems
    original = emu.snapshot()

    _heading("Discovery: %s before the migration" % project)
    discover(run, project)
    seen = {project}
    for entry in plan.transit_vpcs("demo"):
        transit = entry["vpc_name"].split("::")[0]
        if transit not in seen:
            seen.add(transit)
            _heading("Discovery: the transit project %s" % transit)
            discover(run, transit)
    network = get_network(run, project, plan.vpc_name("demo"))
    for region in subnet_regions(network):
        cidrs(run, region, compact=True)

    steps = [("peerings", None)] + [("routes", stage) for stage in stages] + [("routers", None)]
    done = []
    failure = None
    _heading("Migration of %s%s" % (key, " (dry run)" if dry_run else ""))
    for target, stage in steps:
        revert = RevertFile(revert_path, key) if revert_path else None
        step = Stage(run, "switch", target, stage, revert, carry=bool(done))
        try:
            step.prepare()
            done.append((target, stage))
            step.execute()
        except RunFailed as exc:
            failure = exc
            console.summary("demo: %s" % exc)
            break
    migrated = emu.snapshot()
    unexpected = _status(run, plan, key, revert_path, "switched", "after the switches")

    _heading("What changed")
    changes = snapshot_diff(original, migrated)
    for line in changes or ["(nothing)"]:
        console.summary("  " + line)

    _heading("Restore%s" % (" from %s, as a later process would" % revert_path
                            if revert_path else " (dry run)"))
    for target, stage in reversed(done):
        revert = RevertFile(revert_path, key) if revert_path else None
        step = Stage(run, "restore", target, stage, revert, carry=True)
        try:
            step.prepare()
            step.execute()
        except RunFailed as exc:
            failure = failure or exc
            console.summary("demo: %s" % exc)
    restored = emu.snapshot()
    unexpected += _status(run, plan, key, revert_path, "restored", "after the restores")

    _heading("Round trip")
    left = snapshot_diff(original, restored)
    problems = console.problems - start_problems
    verdicts = []
    if left:
        for line in left:
            console.summary("  " + line)
        verdicts.append("the topology is not back as it was (%d difference(s) above)" % len(left))
    if dry_run and changes:
        verdicts.append("the dry run changed the topology")
    if not dry_run and not changes:
        verdicts.append("the stages changed nothing")
    if unexpected:
        verdicts.append("status found %s" % "; ".join(unexpected))
    if failure is not None:
        verdicts.append("a step failed")
    if problems:
        verdicts.append("%d problem(s) were logged" % problems)
    if verdicts:
        raise RunFailed("demo failed: " + "; ".join(verdicts))
    console.summary("demo: round trip verified: %d change(s) made%s and undone; the %d "
                    "resources of the topology are back as they were"
                    % (len(changes), " (dry run: none)" if dry_run else "", len(original)))
    return 0

