"""python -m tarn_gcp.emulator: serves the sample topology (or, with
--spokes N, N spokes and two transit VPCs) until interrupted."""

import argparse
import signal
import sys
import threading

from . import Emulator, fleet, sample
from .operations import OP_KINDS, op_durations

PROG = "python -m tarn_gcp.emulator"


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        """Bad command lines: one line on stderr, exit 2."""
        self.exit(2, "%s: %s\n" % (PROG, message))


def _port(text):
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid port %r" % text) from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError("port %d is out of range 0-65535" % port)
    return port


def _op_seconds(text):
    """SECONDS, or KIND=SECONDS for one kind of operation."""
    kind, _, seconds = text.rpartition("=")
    try:
        durations = op_durations({kind or None: seconds} if kind else seconds)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return durations


def main(argv=None):
    parser = _Parser(prog=PROG, description="Serve an emulated Compute Engine API.")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to serve on (default: %(default)s)")
    parser.add_argument("--port", type=_port, default=0,
                        help="the port to serve on; 0 picks a free one (default: %(default)s)")
    parser.add_argument("--empty", action="store_true", help="start without the sample topology")
    parser.add_argument("--project", action="append", default=[],
                        help="create an empty project (repeatable)")
    parser.add_argument("--wait-completes", action="store_true",
                        help="operations wait calls end the operation at once")
    parser.add_argument("--op-seconds", type=_op_seconds, action="append", default=[],
                        metavar="[KIND=]SECONDS",
                        help="how long operations run: every kind, or one of %s "
                             "(repeatable; default 0)" % ", ".join(OP_KINDS))
    parser.add_argument("--spokes", type=int, metavar="N",
                        help="serve a topology of N spokes and two transit VPCs "
                             "instead of the sample")
    parser.add_argument("--write-plans", metavar="DIR",
                        help="with --spokes: write a plan per spoke and DIR/wave.yaml")
    parser.add_argument("--lenient", action="store_true",
                        help="skip the checks against the discovery document (experiments only)")
    args = parser.parse_args(argv)
    if args.write_plans is not None and args.spokes is None:
        parser.error("--write-plans needs --spokes")
    if args.spokes is not None and args.empty:
        parser.error("--spokes and --empty exclude each other")
    op_seconds = {}
    for durations in args.op_seconds:
        op_seconds.update(durations)

    seed, note = (None, None) if args.empty else (sample, "sample plan: " + sample.PLAN_PATH)
    try:
        if args.spokes is not None:
            seed, note = fleet.spokes(args.spokes), None
            if args.write_plans is not None:
                note = "plans: " + fleet.write_plans(args.spokes, args.write_plans)
    except ValueError as exc:
        parser.exit(2, "%s: %s\n" % (PROG, exc))
    except OSError as exc:
        parser.exit(2, "%s: cannot write the plans into %s: %s\n"
                    % (PROG, args.write_plans, exc.strerror or exc))
    try:
        emulator = Emulator(args.host, args.port, projects=args.project, seed=seed,
                            wait_completes=args.wait_completes, op_seconds=op_seconds,
                            lenient=args.lenient)
        emulator.start()
    except ValueError as exc:
        parser.exit(2, "%s: %s\n" % (PROG, exc))
    except (OSError, OverflowError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        parser.exit(2, "%s: cannot serve on %s:%s: %s\n" % (PROG, args.host, args.port, reason))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    with emulator:
        print(emulator.url, flush=True)
        if note:
            print(note, file=sys.stderr, flush=True)
        try:
            while not stop.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
