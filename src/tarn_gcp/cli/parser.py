"""The command tree of ``tarn_gcp``: its options, commands and help.

Each command's help is its module's (under ``commands``): a one-line
description and an EXAMPLES section of real invocations that ends its
``--help``."""

from __future__ import annotations

import argparse

from tarn_gcp.errors import CliError
from tarn_gcp.plan.wave import MAX_PARALLEL

from .commands import demo, discovery, example_plan, stages, status, unlock, wave

PROG = "tarn_gcp"

DESCRIPTION = """\
Discover a Google Cloud project's VPC networking, and move one VPC's
traffic onto its transit VPCs in three reversible stages: its peerings
towards the transit VPCs, its static routes, and the transit Cloud Routers'
advertisements.  Each stage records what it changes in the revert file, from
which 'restore' puts it back, also in a later process."""

EPILOG = """\
examples:
  tarn_gcp demo                                  the whole round trip on an emulator
  tarn_gcp --emulator discover                   the sample topology's spoke project
  tarn_gcp example-plan > plan.yaml              an annotated plan to start from
  tarn_gcp --plan plan.yaml --revert r.json switch peerings
  tarn_gcp --plan plan.yaml --revert r.json restore peerings

Against Google Cloud the Application Default Credentials of the process are
used (gcloud auth application-default login)."""


class _Parser(argparse.ArgumentParser):
    """Bad arguments are bad input (CliError); ``examples`` end the help."""

    def __init__(self, *args, examples=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.examples = examples

    def error(self, message):
        raise CliError("%s (see %s --help)" % (message, self.prog))

    def format_help(self):
        text = super().format_help()
        if self.examples:
            text += "\nEXAMPLES:\n%s\n" % self.examples
        return text


def _common_options(parser, suppress):
    default = (lambda value: argparse.SUPPRESS) if suppress else (lambda value: value)
    group = parser.add_argument_group("run options")
    group.add_argument("--plan", metavar="FILE", default=default(None),
                       help="the migration plan (YAML); with an emulator the sample plan is "
                            "the default")
    group.add_argument("--revert", metavar="FILE", default=default(None),
                       help="the revert file (JSON): read before a stage or restore, saved "
                            "after it (status only reads it); gs://BUCKET/PATH keeps it in "
                            "Cloud Storage")
    group.add_argument("--dry-run", action="store_true", default=default(False),
                       help="show the changes without making them; nothing is saved")
    group.add_argument("--emulator", action="store_true", default=default(False),
                       help="use an emulator started here with the sample topology instead "
                            "of Google Cloud")
    group.add_argument("--emulator-url", metavar="URL", default=default(None),
                       help="use the emulator already running at URL (python -m "
                            "tarn_gcp.emulator prints it)")
    group.add_argument("-v", "--verbose", action="count", default=default(0),
                       help="more detail, tracebacks of failures")
    group.add_argument("-q", "--quiet", action="store_true", default=default(False),
                       help="only the summary lines, warnings and errors")


def _format_option(parser, choices):
    parser.add_argument("--format", choices=choices, default="text",
                        help="text for people (default), or one %s document on standard "
                             "output, the summary and problems (with -v the log) going to "
                             "standard error"
                        % " or ".join(c.upper() for c in choices[1:]))


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_PARALLEL:
        raise argparse.ArgumentTypeError("must be a whole number from 1 to %d, not %r"
                                         % (MAX_PARALLEL, text))
    return value


def build_parser():
    from .commands import plan

    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    from tarn_gcp import __version__

    parser.add_argument("--version", action="version", version="%s %s" % (PROG, __version__))
    _common_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    def leaf(subparsers, name, help_text, examples, **kwargs):
        sub = subparsers.add_parser(name, help=help_text, description=help_text,
                                    examples=examples, **kwargs)
        _common_options(sub, suppress=True)
        return sub

    sub = leaf(commands, "discover", discovery.DISCOVER_HELP, discovery.DISCOVER_EXAMPLES)
    sub.add_argument("project", nargs="?", metavar="PROJECT",
                     help="the project to list (default: the plan's project_id)")
    _format_option(sub, ("text", "json", "dot"))

    for action in ("switch", "restore"):
        verb = stages.HELP[action, None]
        sub = commands.add_parser(action, help=verb, description=verb,
                                  examples=stages.EXAMPLES[action])
        targets = sub.add_subparsers(dest="target", metavar="TARGET", required=True,
                                     parser_class=_Parser)
        for target in ("peerings", "routes", "routers", "all"):
            this = leaf(targets, target, stages.HELP[None, target] % action,
                        stages.TARGET_EXAMPLES[target].replace("%s", action))
            if target == "routes":
                this.add_argument("stage", metavar="STAGE",
                                  help="a stage of the plan's manage_routes")
            this.add_argument("--yes", action="store_true",
                              help="make the changes against Google Cloud without asking")
            if action == "restore":
                this.add_argument("--force", action="store_true",
                                  help="restore also over what changed since the switch")
            else:
                this.add_argument("--allow-unreachable", action="append", default=[],
                                  metavar="RANGE", help=plan.ALLOW_HELP)
            _format_option(this, ("text", "json"))

    sub = commands.add_parser("wave", help=wave.HELP, description=wave.HELP,
                              examples=wave.EXAMPLES)
    actions = sub.add_subparsers(dest="action", metavar="ACTION", required=True,
                                 parser_class=_Parser)
    for action in ("switch", "restore", "status"):
        this = leaf(actions, action, wave.ACTION_HELP[action], wave.EXAMPLES)
        this.add_argument("wave", metavar="WAVE",
                          help="the wave file (YAML): spokes (their plans), revert (a folder "
                               "or gs://BUCKET/PREFIX/, or --revert), parallel")
        this.add_argument("--parallel", type=_count, metavar="N",
                          help="how many spokes at once (default: the wave file's, or 4)")
        if action != "status":
            this.add_argument("--yes", action="store_true",
                              help="make the changes against Google Cloud without asking")
        if action == "restore":
            this.add_argument("--force", action="store_true",
                              help="restore also over what changed since the switch")
        _format_option(this, ("text", "json"))

    sub = leaf(commands, "cidrs", discovery.CIDRS_HELP, discovery.CIDRS_EXAMPLES)
    sub.add_argument("region", metavar="REGION")
    _format_option(sub, ("text", "json"))
    sub = leaf(commands, "status", status.HELP, status.EXAMPLES)
    _format_option(sub, ("text", "json"))
    leaf(commands, "demo", demo.HELP, demo.EXAMPLES)
    leaf(commands, "example-plan", example_plan.HELP, example_plan.EXAMPLES)
    sub = commands.add_parser("plan", help=plan.HELP, description=plan.HELP,
                              examples=plan.EXAMPLES)
    kinds = sub.add_subparsers(dest="plan_command", metavar="SUBCOMMAND", required=True,
                               parser_class=_Parser)
    for name in ("draft", "check"):
        this = leaf(kinds, name, plan.SUB_HELP[name], plan.SUB_EXAMPLES[name])
        plan.add_arguments(name, this)
        _format_option(this, ("text", "json"))
    sub = leaf(commands, "unlock", unlock.HELP, unlock.EXAMPLES)
    sub.add_argument("--yes", action="store_true", help="remove the lock shown")
    return parser
