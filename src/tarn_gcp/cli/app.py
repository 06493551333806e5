"""``python -m tarn_gcp``: dispatch of the parsed command and the exit
statuses.

Exit status 0 when the command did what was asked, 1 when it could not or
when the run logged problems (errors, warnings, alerts) or when the revert
information could not be saved, 2 for bad input (arguments, plan, revert
file: reported before anything is changed, or when a revert file would lose
records, or is in use by another run), 128 plus the signal's number when
stopped by a signal: 130 Ctrl-C (SIGINT), 143 SIGTERM, 129 SIGHUP.
"""

from __future__ import annotations

import sys
import traceback
import warnings

from tarn_gcp import interrupts
from tarn_gcp.errors import CliError, PreflightFailed, RunFailed, one_line

from .console import NORMAL, QUIET, VERBOSE, Console, closed_output_tolerated
from .parser import PROG, build_parser

def _verbosity(options):
    if options.quiet and options.verbose:
        raise CliError("-q and -v exclude each other")
    if options.quiet or (getattr(options, "format", None) not in (None, "text")
                         and not options.verbose):
        return QUIET  # a document on standard output: only summaries and problems beside it
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
        from tarn_gcp.cloud.target import check_emulator_url

        check_emulator_url(options.emulator_url)


def _report(status, text):
    sys.stdout.flush()
    sys.stderr.write("%s: %s\n" % (PROG, one_line(text)))
    sys.stderr.flush()
    return status


def dispatch(options, console):
    from tarn_gcp.cloud.target import open_target
    from tarn_gcp.plan import EXAMPLE_PLAN, Plan

    from . import formats
    from .commands import demo, example_plan
    from .run import Run

    check_options(options)
    if options.command == "example-plan":
        return example_plan.example_plan()
    if options.emulator and options.emulator_url:
        raise CliError("--emulator and --emulator-url exclude each other")
    if options.command == "demo":
        return demo.run_demo(options, console)
    if options.command == "unlock":
        from .commands.unlock import unlock_command

        if options.revert is None:
            raise CliError("unlock needs --revert gs://BUCKET/PATH, the revert file to unlock")
        return unlock_command(options.revert, options.yes)
    if options.command not in ("switch", "restore", "status", "wave") and options.revert:
        raise CliError("--revert applies to switch, restore, status, wave and demo")
    if options.command == "wave":
        if options.plan is not None:
            raise CliError("wave takes the spokes' plans from its wave file, not --plan")
        if options.action == "status" and options.dry_run:
            raise CliError("--dry-run applies to wave switch and wave restore; wave status "
                           "changes nothing")
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
    from tarn_gcp.plan import check_value

    from .commands import discovery, stages, status as status_command

    if options.command == "plan":
        from .commands.plan import plan_command

        return plan_command(run, options)
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
    if options.command == "wave":
        from .commands import wave

        return wave.wave_command(run, options, main)
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


def _unraisable(hook):
    """``hook`` but for two failures that say nothing about the run: the
    finalizer of an HTTP response that a signal cut short while it was being
    made fails on the attributes it never got; and an interrupt that a
    signal raised inside a finalizer cannot reach the run, so it is kept to
    be raised at the run's next safe point instead of being lost."""
    import http.client

    def unraisable(info):
        if isinstance(info.exc_value, KeyboardInterrupt):
            interrupts.keep(info.exc_value)
            return
        if isinstance(info.object, http.client.HTTPResponse) and isinstance(
                info.exc_value, AttributeError):
            return
        hook(info)

    return unraisable


def main(argv=None):
    """Runs the command line; returns the exit status.  Without ``argv``
    the process's own arguments are used, and the process is taken to end
    with the run."""
    warnings.filterwarnings("ignore", category=FutureWarning)
    if argv is None:
        sys.unraisablehook = _unraisable(sys.unraisablehook)
    try:
        options = build_parser().parse_args(argv)
        verbosity = _verbosity(options)
    except CliError as exc:
        return _report(2, exc)
    except SystemExit as exc:  # --help, --version
        return exc.code if isinstance(exc.code, int) else 0
    with closed_output_tolerated() as stdout:
        status, reported = _run(options, verbosity, for_good=argv is None)
        if stdout.broken and not reported:
            # The reader went away (| head): the run went on and saved what
            # it changed, but what it said about it was not read.
            status = _report(max(status, 1), "standard output was closed before the run ended; "
                                             "what it wrote after that was dropped")
    return status


def _run(options, verbosity, for_good):
    """Dispatches the command: (exit status, whether a failure was
    reported on standard error)."""
    from tarn_gcp.cloud.state import reset_globals

    console = Console(verbosity)
    try:
        with interrupts.handled(for_good=for_good):
            return dispatch(options, console), False
    except PreflightFailed as exc:
        for problem in exc.problems[:-1]:
            _report(exc.status, problem)
        return _report(exc.status, exc.problems[-1] if exc.problems else exc), True
    except CliError as exc:
        return _report(exc.status, exc), True
    except RunFailed as exc:
        if verbosity >= VERBOSE and exc.__cause__ is not None:
            traceback.print_exception(type(exc.__cause__), exc.__cause__,
                                      exc.__cause__.__traceback__)
        return _report(exc.status, exc), True
    except KeyboardInterrupt as exc:
        return _report(interrupts.status_of(exc), interrupts.describe(exc)), True
    except Exception as exc:
        if verbosity >= VERBOSE:
            traceback.print_exc()
        return _report(1, "unexpected failure: %s: %s" % (type(exc).__name__, exc)), True
    finally:
        console.close()
        reset_globals()
