"""python -m tarn_gcp.emulator: serves the sample topology until interrupted."""

import argparse
import signal
import sys
import threading

from . import Emulator, sample


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tarn_gcp.emulator",
                                     description="Serve an emulated Compute Engine API.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--empty", action="store_true", help="start without the sample topology")
    parser.add_argument("--project", action="append", default=[],
                        help="create an empty project (repeatable)")
    parser.add_argument("--wait-completes", action="store_true",
                        help="operations wait calls finish the operation at once")
    args = parser.parse_args(argv)

    emulator = Emulator(args.host, args.port, projects=args.project,
                        seed=None if args.empty else sample,
                        wait_completes=args.wait_completes)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    with emulator:
        print(emulator.url, flush=True)
        if not args.empty:
            print("sample plan: %s" % sample.PLAN_PATH, file=sys.stderr, flush=True)
        try:
            while not stop.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
