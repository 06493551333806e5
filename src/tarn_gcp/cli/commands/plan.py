"""``plan draft`` (a plan drafted from the live network) and ``plan check``
(what a plan would leave unreachable), and the reachability findings that
every ``switch`` shows and ``switch all`` is refused on."""

from __future__ import annotations

import logging
import os
import sys

from tarn_gcp.cloud.compute import api_failure, gcplib, get_network
from tarn_gcp.cloud.state import run_state
from tarn_gcp.errors import CliError, PreflightFailed, RunFailed
from tarn_gcp.plan import check_value
from tarn_gcp.plan.draft import Options, draft
from tarn_gcp.plan.preflight import keys
from tarn_gcp.plan.reach import reachability, unreachable_ranges

log = logging.getLogger("tarn_gcp.cli")

HELP = "draft a plan from the live network, or check what a plan would leave unreachable"
EXAMPLES = """\
  tarn_gcp plan draft my-spoke-project spoke-vpc -o plan.yaml
  tarn_gcp --plan plan.yaml plan check"""
SUB_HELP = {
    "draft": "draft the plan of a VPC from the live network, each entry with its reason",
    "check": "list the destinations the plan would leave unreachable or send elsewhere",
}
SUB_EXAMPLES = {
    "draft": """\
  tarn_gcp plan draft my-spoke-project spoke-vpc -o plan.yaml \\
      --appliance europe-west1=europe-west1-b/router-appliance-euw1 \\
      --appliance us-central1=us-central1-a/router-appliance-usc1
  tarn_gcp --emulator plan draft tarn-demo spoke-vpc --summarize 16 --priority 900
  tarn_gcp plan draft my-spoke-project spoke-vpc --priority europe-west1=800 --format json""",
    "check": """\
  tarn_gcp --plan plan.yaml plan check
  tarn_gcp --plan plan.yaml plan check --format json
  tarn_gcp --plan plan.yaml plan check --allow-unreachable 10.100.0.0/16""",
}
ALLOW_HELP = ("a destination range the plan may leave unreachable (repeatable): a range found "
              "unreachable within it does not count")


def plan_command(run, options):
    """Runs ``plan draft`` or ``plan check``."""
    if run.dry_run:
        raise CliError("--dry-run applies to switch, restore and demo; plan %s changes nothing"
                       % options.plan_command)
    if options.plan_command == "draft":
        return plan_draft(run, options)
    if run.plan is None:
        raise CliError("plan check needs --plan FILE (or an emulator and its sample plan)")
    return plan_check(run)


def add_arguments(name, parser):
    if name == "draft":
        parser.add_argument("project", metavar="PROJECT", help="the project of the VPC")
        parser.add_argument("vpc", metavar="VPC", help="the VPC to migrate")
        parser.add_argument("--appliance", action="append", default=[],
                            metavar="REGION=ZONE/INSTANCE",
                            help="the router appliance of REGION (repeatable); without it the "
                                 "VPC's one instance of the region that can forward IP")
        parser.add_argument("--priority", action="append", default=[], metavar="[REGION=]N",
                            help="the priority of the routes added (through REGION's "
                                 "appliance); default: that of the route each replaces")
        parser.add_argument("--summarize", type=int, metavar="LENGTH",
                            help="widen summaries to /LENGTH networks (the draft says which "
                                 "addresses that adds); default: exact summaries")
        parser.add_argument("-o", "--output", metavar="FILE",
                            help="write the plan to FILE instead of standard output")
        parser.add_argument("--force", action="store_true",
                            help="with -o, write over an existing FILE")
    else:
        parser.add_argument("--allow-unreachable", action="append", default=[],
                            metavar="RANGE", help=ALLOW_HELP)


def _draft_options(options):
    """Options from the arguments; CliError for any that is not right."""
    check_value("project", options.project, "plan draft: PROJECT")
    check_value("name", options.vpc, "plan draft: VPC")
    result = Options()
    for value in options.appliance:
        region, _, where = value.partition("=")
        zone, _, instance = where.partition("/")
        try:
            check_value("region", region, "--appliance REGION")
            check_value("zone", zone, "--appliance ZONE")
            check_value("name", instance, "--appliance INSTANCE")
        except CliError as exc:
            raise CliError("%s (in --appliance %s, written REGION=ZONE/INSTANCE)"
                           % (exc, value)) from None
        if not zone.startswith(region + "-"):
            raise CliError("--appliance %s: zone %s is not in region %s" % (value, zone, region))
        if region in result.appliances:
            raise CliError("--appliance names region %s twice" % region)
        result.appliances[region] = (zone, instance)
    for value in options.priority:
        region, _, number = value.rpartition("=")
        if region:
            check_value("region", region, "--priority REGION")
        try:
            priority = int(number)
        except ValueError:
            priority = number
        check_value("priority", priority, "--priority %s: the priority" % value)
        result.priorities[region or None] = priority
    if options.summarize is not None and not 0 <= options.summarize <= 32:
        raise CliError("--summarize LENGTH must be a prefix length from 0 to 32, not %d"
                       % options.summarize)
    result.summarize = options.summarize
    if options.output is not None:
        if not options.output.strip():
            raise CliError("-o needs a file name, not an empty string")
        if os.path.lexists(options.output) and not options.force:
            raise CliError("%s exists; --force writes over it" % options.output)
        folder = os.path.dirname(os.path.abspath(options.output))
        if not os.path.isdir(folder):
            raise CliError("cannot write %s: no folder %s" % (options.output, folder))
    elif options.force:
        raise CliError("--force applies to -o FILE")
    return result


def _gke_ranges(run, project, vpc):
    """The VPC's GKE export ranges as the module's quiet route-table listing
    gathers them (those cidrs advertises)."""
    lib = gcplib().GcpLib
    network = get_network(run, project, vpc)
    module_log = logging.getLogger("tarn_gcp.gcplib")
    with run_state(run, project, vpc, network):
        try:
            info = lib.listRouteTable(project, run.service, network, False)
        finally:
            module_log.propagate = True
    return [str(cidr) for cidr in info.get_gke_export_routes()]


def plan_draft(run, options):
    settings = _draft_options(options)
    try:
        settings.gke = _gke_ranges(run, options.project, options.vpc)
        drafted = draft(run.service, options.project, options.vpc, settings)
    except (CliError, RunFailed):
        raise
    except Exception as exc:
        raise RunFailed("cannot draft the plan of %s::%s: %s" % (
            options.project, options.vpc, api_failure(exc))) from exc
    before = run.console.problems
    for problem in drafted.problems:
        log.warning("plan draft: problem: %s", problem)
    text = drafted.json() if run.format == "json" else drafted.yaml()
    if options.output is None:
        if run.format == "json":
            run.document = drafted.data
        else:
            sys.stdout.write(text)
    else:
        try:
            with open(options.output, "w" if options.force else "x", encoding="utf-8") as out:
                out.write(text)
        except FileExistsError:
            raise CliError("%s exists; --force writes over it" % options.output) from None
        except OSError as exc:
            raise RunFailed("cannot write %s: %s" % (options.output, exc.strerror)) from exc
        stage = drafted.data["manage_routes"]["stage1"]
        run.console.summary("plan draft: %s written: %d transit VPC(s), %d Cloud Router(s), "
                            "%d route(s) to add%s" % (
                                options.output, len(drafted.data["transit_vpcs"]),
                                sum(len(t["cloud_routers"])
                                    for t in drafted.data["transit_vpcs"]),
                                len(stage["add"]), run.problems_note(before)))
    return run.status_since(before)


# --------------------------------------------------------- reachability

def _allowed(run):
    allowed = getattr(run.options, "allow_unreachable", None) or []
    for value in allowed:
        check_value("cidr", value, "--allow-unreachable RANGE")
    return allowed


def _reach(run, key, steps, what):
    try:
        return reachability(run.service, run.plan, key, steps)
    except (CliError, RunFailed):
        raise
    except Exception as exc:
        raise RunFailed("cannot read the route table of %s for %s: %s"
                        % (key, what, api_failure(exc))) from exc


def _grouped(items, *fields):
    """[(item, regions)]: the items that differ only in their region, once."""
    found = {}
    for item in items:
        mark = tuple(str(item[f]) for f in fields)
        found.setdefault(mark, (item, []))[1].append(item["region"])
    return list(found.values())


def report_lines(document):
    """The findings as people read them."""
    lines = []
    for step in document["steps"]:
        lines.append("after %s: %d destination(s) unreachable, %d with another next hop" % (
            step["step"], len(_grouped(step["unreachable"], "range", "lost")),
            len(_grouped(step["next_hop_changed"], "range", "before", "after"))))
    for item, regions in _grouped(document["unreachable"], "range", "lost", "before"):
        lost = "" if item["lost"] == [item["range"]] else " (%s of it)" % ", ".join(item["lost"])
        lines.append("unreachable: %s%s in %s, reached today via %s" % (
            item["range"], lost, ", ".join(regions), ", ".join(item["before"])))
    for item, regions in _grouped(document["next_hop_changed"], "range", "before", "after"):
        lines.append("next hop: %s in %s: %s -> %s" % (
            item["range"], ", ".join(regions), ", ".join(item["before"]),
            ", ".join(item["after"])))
    return lines


def plan_check(run):
    command = "plan check"
    plan = run.plan
    key = plan.vpc_key(command)
    plan.transit_vpcs(command, with_routers=True)
    for stage in plan.stages():
        plan.stage_config(stage, command)
    unknown = keys(plan.data)
    if unknown:
        raise PreflightFailed(["plan: %s" % text for text in unknown])
    allowed = _allowed(run)
    steps = [("peerings", None)] + [("routes", s) for s in plan.stages()]
    document = _reach(run, key, steps, command)
    run.document = document
    for line in report_lines(document):
        log.info("%s", line)
    left = unreachable_ranges(document, allowed)
    run.console.summary("plan check %s: %d destination(s) left unreachable%s, %d with another "
                        "next hop" % (key, len(left), " (besides those allowed)" if allowed
                                      else "", len(_grouped(document["next_hop_changed"], "range",
                                                            "before", "after"))))
    return 1 if left else 0


def before_switch(run, action, target, steps):
    """The reachability findings of a switch's steps, or None; ``switch all``
    is refused (PreflightFailed, nothing changed) on a destination it
    would leave unreachable that --allow-unreachable does not name."""
    routes = [(s.target, s.stage) for s in steps if s.target in ("peerings", "routes")]
    if action != "switch" or not routes:
        return None
    allowed = _allowed(run)
    document = _reach(run, steps[0].key, routes, "switch " + target)
    left = unreachable_ranges(document, allowed)
    if target == "all" and left:
        raise PreflightFailed([
            "switch all: %s would be unreachable in %s; name it with --allow-unreachable %s to "
            "switch all the same" % (cidr, ", ".join(regions), cidr)
            for cidr, regions in left.items()])
    return document


def show_reach(run, document):
    """Writes the findings of a switch after its change set."""
    if document is None:
        return
    for line in report_lines(document):
        log.info("  reachability %s", line)
