"""``tarn_gcp status``: where the migration of the plan's VPC stands, each
stage's revert information compared with the live network (read requests
only; the revert file is only read)."""

from __future__ import annotations

import logging

from tarn_gcp.cloud.compute import api_failure
from tarn_gcp.errors import CliError, RunFailed
from tarn_gcp.plan.status import DRIFTED, NOT_STARTED, PARTIAL, STATES, SWITCHED, compare
from tarn_gcp.revert import RevertFile

from .stages import route_exists

log = logging.getLogger("tarn_gcp.cli")

HELP = ("compare each stage's revert information with the live network: not started, "
        "switched, restored, partial or drifted")
EXAMPLES = """\
  tarn_gcp --plan plan.yaml --revert revert.json status
  tarn_gcp --plan plan.yaml --revert gs://my-bucket/team/revert.json status --format json"""


def exit_status(document):
    states = {stage["state"] for stage in document["stages"]}
    return 1 if states & {PARTIAL, DRIFTED} else 0


def text_lines(document):
    """One line per stage, and one per item that is partial or drifted."""
    lines = []
    for stage in document["stages"]:
        items = stage["items"]
        counts = {}
        for item in items:
            counts[item["state"]] = counts.get(item["state"], 0) + 1
        note = ""
        if stage["state"] == NOT_STARTED:
            note = " (nothing recorded)"
        elif not items:
            note = " (the record holds no change)"
        elif stage["state"] in (PARTIAL, DRIFTED):
            note = " (%s)" % ", ".join("%d %s" % (counts[s], s) for s in STATES if s in counts)
        else:
            note = " (%d item(s))" % len(items)
        lines.append("%s: %s%s" % (stage["stage"], stage["state"], note))
        for item in items:
            if item["state"] in (PARTIAL, DRIFTED):
                lines.append("  %s %s: %s: %s" % (item["kind"], item["name"], item["state"],
                                                   item["detail"]))
    return lines


def not_in(document, expected):
    """The stages (with their state) that are not in the ``expected`` state;
    a stage whose record holds no change is in either."""
    return ["%s %s" % (stage["stage"], stage["state"]) for stage in document["stages"]
            if stage["state"] != expected
            and not (stage["state"] == SWITCHED and not stage["items"])]


def read_revert(run, key, required=True):
    """The revert information of the plan's VPC, read and checked, never
    written."""
    path = getattr(run.options, "revert", None)
    if not path:
        raise CliError("status needs --revert FILE, the revert information of the stages")
    revert = RevertFile(path, key)
    # the records of a run killed before it saved them are in its journal
    entries = revert.journal_entries()
    # without a revert file yet (nor a journal), every stage is not started
    info = revert.load(required=False)
    revert.recover(route_exists(run), entries=entries)
    return info


def show(run, document):
    for line in text_lines(document):
        run.console.summary(line)


def status(run):
    """Compares the revert information with the live network; returns the
    exit status (0, or 1 when a stage is partial or drifted)."""
    command = "status"
    key = run.plan.vpc_key(command)
    if run.plan.data.get("manage_routes") is not None:
        run.plan.manage_routes(command)
    info = read_revert(run, key)
    try:
        document = compare(run.service, run.plan, key, info)
    except (CliError, RunFailed):
        raise
    except Exception as exc:
        raise RunFailed("cannot tell the status of %s: %s" % (key, api_failure(exc))) from exc
    run.document = document
    if run.format == "text":
        show(run, document)
    else:
        log.info("status of %s: %s", key, ", ".join(
            "%s %s" % (s["stage"], s["state"]) for s in document["stages"]))
    return exit_status(document)
