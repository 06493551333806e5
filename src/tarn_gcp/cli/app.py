"""``python -m tarn_gcp``: argument parsing and the exit statuses.

Exit status 0 when the command did what was asked, 1 when it could not or
when the run logged problems (errors, warnings, alerts) or when the revert
information could not be saved, 2 for bad input (arguments, plan, revert
file: reported before anything is changed, or when a revert file would lose
records, or is in use by another run), 128 plus the signal's number when
stopped by a signal: 130 Ctrl-C (SIGINT), 143 SIGTERM, 129 SIGHUP.
"""

from __future__ import annotations

import argparse
import sys
import traceback
import warnings

from . import interrupts
from .console import NORMAL, QUIET, VERBOSE, Console
from .errors import CliError, RunFailed, one_line

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
    def error(self, message):
        raise CliError("%s (see %s --help)" % (message, self.prog))


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
                             "output, the log lines going to standard error"
                        % " or ".join(c.upper() for c in choices[1:]))


def build_parser():
    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    from tarn_gcp import __version__

    parser.add_argument("--version", action="version", version="%s %s" % (PROG, __version__))
    _common_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    def leaf(subparsers, name, help_text, **kwargs):
        sub = subparsers.add_parser(name, help=help_text, description=help_text, **kwargs)
        _common_options(sub, suppress=True)
        return sub

    sub = leaf(commands, "discover", "list the networks with their subnetworks, route tables, "
               "peerings and Cloud Routers")
    sub.add_argument("project", nargs="?", metavar="PROJECT",
                     help="the project to list (default: the plan's project_id)")
    _format_option(sub, ("text", "json", "dot"))

    for action, verb in (("switch", "run a migration stage"),
                         ("restore", "put back what a stage changed")):
        sub = commands.add_parser(action, help=verb, description=verb)
        targets = sub.add_subparsers(dest="target", metavar="TARGET", required=True,
                                     parser_class=_Parser)
        leaf(targets, "peerings", "%s: the peerings between the VPC and the transit VPCs"
             % action)
        routes = leaf(targets, "routes", "%s: the static routes of a stage of manage_routes"
                      % action)
        routes.add_argument("stage", metavar="STAGE", help="a stage of the plan's manage_routes")
        leaf(targets, "routers", "%s: the advertisements of the transit Cloud Routers" % action)

    sub = leaf(commands, "cidrs", "the ranges the migrated VPC advertises in a region")
    sub.add_argument("region", metavar="REGION")
    _format_option(sub, ("text", "json"))
    sub = leaf(commands, "status", "compare each stage's revert information with the live "
               "network: not started, switched, restored, partial or drifted")
    _format_option(sub, ("text", "json"))
    leaf(commands, "demo", "the whole migration and its restore on an emulator, verified")
    leaf(commands, "example-plan", "print the annotated example plan")
    sub = leaf(commands, "unlock", "show the lock of a revert file kept in a bucket and, with "
               "--yes, remove it (after a run that died holding it)")
    sub.add_argument("--yes", action="store_true", help="remove the lock shown")
    return parser


def _verbosity(options):
    if options.quiet and options.verbose:
        raise CliError("-q and -v exclude each other")
    if options.quiet:
        return QUIET
    return VERBOSE if options.verbose else NORMAL


def check_options(options):
    """CliError for option values that cannot be right whatever the
    command: empty file names, an emulator URL that is not one."""
    for option in ("plan", "revert", "emulator_url"):
        value = getattr(options, option, None)
        if value is not None and not value.strip():
            raise CliError("--%s needs a value, not an empty string"
                           % option.replace("_", "-"))
    if getattr(options, "emulator_url", None) is not None:
        from .session import check_emulator_url

        check_emulator_url(options.emulator_url)


def _report(status, text):
    sys.stdout.flush()
    sys.stderr.write("%s: %s\n" % (PROG, one_line(text)))
    sys.stderr.flush()
    return status


def dispatch(options, console):
    from . import demo, formats
    from .run import Run
    from .plan import EXAMPLE_PLAN, Plan
    from .session import open_target

    check_options(options)
    if options.command == "example-plan":
        with open(EXAMPLE_PLAN, encoding="utf-8") as handle:
            sys.stdout.write(handle.read())
        return 0
    if options.emulator and options.emulator_url:
        raise CliError("--emulator and --emulator-url exclude each other")
    if options.command == "demo":
        return demo.run_demo(options, console)
    if options.command == "unlock":
        from .bucket_store import unlock_command

        if options.revert is None:
            raise CliError("unlock needs --revert gs://BUCKET/PATH, the revert file to unlock")
        return unlock_command(options.revert, options.yes)
    if options.command not in ("switch", "restore", "status") and options.revert:
        raise CliError("--revert applies to switch, restore, status and demo")
    if options.command in ("discover", "cidrs", "status") and options.dry_run:
        raise CliError("--dry-run applies to switch, restore and demo; %s changes nothing"
                       % options.command)
    uses_emulator = options.emulator or bool(options.emulator_url)
    plan = None
    if options.plan is not None:
        plan = Plan.load(options.plan)
    elif uses_emulator:
        plan = Plan.load(EXAMPLE_PLAN)

    def opener():
        return open_target(emulator=options.emulator, emulator_url=options.emulator_url,
                           retry_delay=0.25 if uses_emulator else None)

    run = Run(options, console, plan, opener)
    try:
        with formats.diverted(run.format) as output:
            status = _command(run, options, plan)
            output.document = run.document
        return status
    finally:
        run.close()


def _command(run, options, plan):
    from . import discovery, stages, status as status_command
    from .plan import check_value

    if options.command == "discover":
        project = options.project
        if project is not None:
            check_value("project", project, "discover: PROJECT")
        if project is None and plan is not None:
            project = plan.project("discover")
        if project is None:
            project = run.target.default_project
        if not project:
            raise CliError("discover needs a PROJECT, a plan with project_id, or "
                           "credentials that name a project")
        return discovery.discover(run, project)
    if plan is None:
        raise CliError("%s needs --plan FILE (or an emulator and its sample plan)"
                       % options.command)
    if options.command == "cidrs":
        check_value("region", options.region, "cidrs: REGION")
        return discovery.cidrs(run, options.region)
    if options.command == "status":
        return status_command.status(run)
    return stages.stage_command(run, options.command, options.target,
                                getattr(options, "stage", None))


def main(argv=None):
    """Runs the command line; returns the exit status.  Without ``argv``
    the process's own arguments are used, and the process is taken to end
    with the run."""
    warnings.filterwarnings("ignore", category=FutureWarning)
    from .session import reset_globals

    try:
        options = build_parser().parse_args(argv)
        verbosity = _verbosity(options)
    except CliError as exc:
        return _report(2, exc)
    except SystemExit as exc:  # --help, --version
        return exc.code if isinstance(exc.code, int) else 0
    console = Console(verbosity)
    try:
        with interrupts.handled(for_good=argv is None):
            return dispatch(options, console)
    except CliError as exc:
        return _report(exc.status, exc)
    except RunFailed as exc:
        if verbosity >= VERBOSE and exc.__cause__ is not None:
            traceback.print_exception(type(exc.__cause__), exc.__cause__,
                                      exc.__cause__.__traceback__)
        return _report(exc.status, exc)
    except KeyboardInterrupt as exc:
        return _report(interrupts.status_of(exc), interrupts.describe(exc))
    except Exception as exc:
        if verbosity >= VERBOSE:
            traceback.print_exc()
        return _report(1, "unexpected failure: %s: %s" % (type(exc).__name__, exc))
    finally:
        console.close()
        reset_globals()
