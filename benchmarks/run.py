"""Benchmarks of tarn_gcp.gcplib against its plain-Python model and a floor.

    python -m benchmarks.run            # full sizes, a few minutes
    python -m benchmarks.run --quick    # a tenth of the sizes, seconds

from the repository root (the extension from src/ with PYTHONPATH=src, or
the installed package).

See benchmarks/README.md for the columns of the tables.
"""

import argparse
import gc
import io
import json
import logging
import os
import statistics
import sys
import time
import tracemalloc
import traceback
import warnings

warnings.filterwarnings("ignore", category=FutureWarning)

from testing import fakes  # noqa: E402

STUBBED = fakes.ensure_sibling_modules()

from benchmarks import cases as cases_mod  # noqa: E402
from testing import model as reference  # noqa: E402

LOGGER = logging.getLogger(fakes.LOGGER_NAME)
MODES = (("off", logging.WARNING), ("on", logging.INFO))
RATIO_TARGET = 0.2


def load_module():
    """The extension bound to the fakes, or (None, reason)."""
    try:
        from tarn_gcp import gcplib
    except Exception as exc:  # any import failure means: not measurable now
        return None, "%s: %s" % (type(exc).__name__, exc)
    try:
        fakes.bind_siblings(gcplib)
    except Exception as exc:
        return None, "cannot rebind siblings: %s: %s" % (type(exc).__name__, exc)
    return gcplib, None


class Capture:
    """Routes the module logger to a recording handler for one call."""

    def __enter__(self):
        self.handler = fakes.LogCapture()
        self.saved = LOGGER.handlers[:], LOGGER.level
        LOGGER.handlers[:] = [self.handler]
        LOGGER.setLevel(logging.INFO)
        return self.handler.lines

    def __exit__(self, *exc):
        LOGGER.handlers[:], level = self.saved
        LOGGER.setLevel(level)
        return False


def first_difference(a, b):
    for index, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "line %d: %r != %r" % (index, x, y)
    if len(a) != len(b):
        return "%d lines != %d lines" % (len(a), len(b))
    return None


def check(case, impls, notes):
    """Run each implementation once with its output recorded and compare.

    Returns the names that can be timed; the model is the yardstick.
    """
    seen = {}
    status = {}
    stderr = sys.stderr
    for name, fn in impls.items():
        case.setup()
        sys.stderr = io.StringIO()  # tracebacks the Cloud Router stage prints
        try:
            with Capture() as lines:
                result = fn()
            seen[name] = (list(lines), repr(case.outcome(result)) if name != "floor" else None)
            status[name] = "ok"
        except NotImplementedError:
            status[name] = "n/a"
            notes.append("%s: %s raises NotImplementedError" % (case.name, name))
        except Exception as exc:
            status[name] = "n/a"
            notes.append("%s: %s raised %s: %s" % (case.name, name, type(exc).__name__, exc))
            if os.environ.get("BENCH_TRACEBACK"):
                traceback.print_exc(file=stderr)
        finally:
            sys.stderr = stderr
    ref_lines, ref_outcome = seen.get("ref", (None, None))
    if "floor" in seen and ref_lines is not None:
        diff = first_difference(ref_lines, seen["floor"][0])
        if diff:
            notes.append("%s: floor logs differ from the model (%s)" % (case.name, diff))
    if "mod" in seen and ref_lines is not None:
        diff = first_difference(ref_lines, seen["mod"][0])
        if diff is None and seen["mod"][1] != ref_outcome:
            diff = "result or revert information differs"
        if diff:
            status["mod"] = "DIFF"
            notes.append("%s: module differs from the model: %s" % (case.name, diff))
    return status


def time_once(case, fn):
    case.setup()
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def measure(case, impls, repeat, budget, max_rounds=50):
    """{impl: [seconds, ...]} with implementations interleaved per round.

    At least ``repeat`` rounds; short paths get more rounds, up to about
    ``budget`` seconds in all, so that the best run is not one disturbed by
    other work on the machine.
    """
    samples = {name: [] for name in impls}
    rounds = repeat
    done = 0
    while done < rounds:
        for name, fn in impls.items():
            samples[name].append(time_once(case, fn))
        done += 1
        if done == 1:
            per_round = sum(v[0] for v in samples.values())
            rounds = max(repeat, min(max_rounds, int(budget / max(per_round, 1e-9))))
    return samples


def peak_tracemalloc(case, fn):
    case.setup()
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        fn()
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(field + " not found")


def peak_rss(case, fn):
    case.setup()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident set size to the current one
    base = _status_kib("VmHWM")
    fn()
    return (_status_kib("VmHWM") - base) * 1024


def impls_for(case, module, skip):
    impls = {"floor": case.floor, "ref": lambda: case.run(reference.GcpLib)}
    if module is not None and "mod" not in skip:
        impls["mod"] = lambda: case.run(module.GcpLib)
    return impls


def fmt(value, digits=3):
    if value is None:
        return "n/a"
    if isinstance(value, str):
        return value
    return "%.*f" % (digits, value)


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    out = []
    for index, row in enumerate([header] + rows):
        cells = [str(c).ljust(w) if i == 0 else str(c).rjust(w)
                 for i, (c, w) in enumerate(zip(row, widths))]
        out.append("  ".join(cells).rstrip())
        if index == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the sizes and 3 repetitions")
    parser.add_argument("--scale", type=float, default=None,
                        help="multiply every size (default 1, 0.1 with --quick)")
    parser.add_argument("--size", action="append", default=[], metavar="PATH=N",
                        help="set the size of one path, e.g. listRouteTable=20000")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed runs per measurement (default 5, 3 with --quick)")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds one measurement may take when more runs are cheap "
                             "(default 1, 0.2 with --quick)")
    parser.add_argument("--only", default="", help="comma-separated path names to run")
    parser.add_argument("--memory", choices=("tracemalloc", "rss", "none"), default="tracemalloc",
                        help="how peak memory is measured (default tracemalloc)")
    parser.add_argument("--no-linearity", action="store_true",
                        help="skip the runs at a tenth of the size")
    parser.add_argument("--no-module", action="store_true",
                        help="measure only the model and the floor")
    parser.add_argument("--json", metavar="FILE", help="also write the raw numbers to FILE")
    args = parser.parse_args(argv)

    scale = args.scale if args.scale is not None else (0.1 if args.quick else 1.0)
    repeat = args.repeat or (3 if args.quick else 5)
    budget = args.budget if args.budget is not None else (0.2 if args.quick else 1.0)
    sizes = {}
    for item in args.size:
        key, _, value = item.partition("=")
        sizes[key] = int(value)
    only = {name for name in args.only.split(",") if name}
    known = {case.name for case in cases_mod.CASES}
    unknown = (only | set(sizes)) - known
    if unknown:
        parser.error("unknown path(s): %s (known: %s)" %
                     (", ".join(sorted(unknown)), ", ".join(sorted(known))))

    fakes.bind_siblings(reference)
    module, why = (None, "--no-module") if args.no_module else load_module()
    skip = set()

    # Every record of the module logger ends in this handler, which formats
    # it and drops it; "off" filters INFO records at the logger instead.
    for handler in logging.getLogger().handlers[:]:
        logging.getLogger().removeHandler(handler)
    drop = fakes.DropHandler()
    LOGGER.handlers[:] = [drop]
    LOGGER.propagate = True

    notes = []
    if STUBBED:
        notes.append("sibling modules stubbed (not importable): " + ", ".join(STUBBED))
    if module is None:
        notes.append("module column n/a: tarn_gcp.gcplib not usable (%s)" % why)

    time_rows, other_rows, raw = [], [], []
    started = time.perf_counter()
    for case_cls in cases_mod.CASES:
        if only and case_cls.name not in only:
            continue
        n = sizes.get(case_cls.name, max(1, int(round(case_cls.default_n * scale))))
        case = case_cls(n)
        impls = impls_for(case, module, skip)
        status = check(case, impls, notes)
        impls = {name: fn for name, fn in impls.items() if status.get(name) in ("ok", "DIFF")}
        if "ref" not in impls or "floor" not in impls:
            notes.append("%s: not measured, the model or the floor failed" % case.name)
            continue
        entry = {"path": case.name, "n": n, "check": status.get("mod", "n/a"), "modes": {}}
        per = {}
        for mode, level in MODES:
            LOGGER.setLevel(level)
            samples = measure(case, impls, repeat, budget)
            best = {k: min(v) / n * 1e6 for k, v in samples.items()}
            med = {k: statistics.median(v) / n * 1e6 for k, v in samples.items()}
            per[mode] = best
            entry["modes"][mode] = {"best_us": best, "median_us": med, "samples_s": samples}
            ref_ovh = best["ref"] - best["floor"]
            mod_ovh = best["mod"] - best["floor"] if "mod" in best else None
            ratio = mod_ovh / ref_ovh if mod_ovh is not None and ref_ovh > 0 else None
            ratio_med = None
            if "mod" in med and med["ref"] - med["floor"] > 0:
                ratio_med = (med["mod"] - med["floor"]) / (med["ref"] - med["floor"])
            verdict = ""
            if ratio is not None and mode == "off":
                verdict = "ok" if ratio <= RATIO_TARGET else "over"
            time_rows.append([case.name, mode, n, fmt(best["floor"]), fmt(best["ref"]),
                              fmt(best.get("mod")), fmt(ref_ovh), fmt(mod_ovh), fmt(ratio, 2),
                              fmt(ratio_med, 2), verdict])

        lin = {}
        if not args.no_linearity and n >= 10:
            small = case_cls(max(1, n // 10))
            LOGGER.setLevel(logging.WARNING)
            small_impls = {k: v for k, v in impls_for(small, module, skip).items() if k in impls}
            samples = measure(small, small_impls, repeat, budget)
            for name in ("ref", "mod"):
                if name in samples:
                    lin[name] = per["off"][name] / (min(samples[name]) / small.n * 1e6)
            entry["linearity"] = {"small_n": small.n, "ratio": lin}

        peaks = {}
        if args.memory != "none":
            LOGGER.setLevel(logging.INFO)
            measure_peak = peak_tracemalloc if args.memory == "tracemalloc" else peak_rss
            for name in ("ref", "mod"):
                if name in impls:
                    try:
                        peaks[name] = measure_peak(case, impls[name])
                    except OSError as exc:
                        notes.append("peak memory not available: %s" % exc)
            entry["peak_bytes"] = peaks
        mem_verdict = ""
        if "ref" in peaks and "mod" in peaks:
            mem_verdict = "ok" if peaks["mod"] <= peaks["ref"] else "over"
        kib = {k: v / 1024.0 for k, v in peaks.items()}
        other_rows.append([case.name, n, fmt(lin.get("ref"), 2), fmt(lin.get("mod"), 2),
                           fmt(kib.get("ref"), 1), fmt(kib.get("mod"), 1), mem_verdict,
                           entry["check"]])
        raw.append(entry)

    LOGGER.setLevel(logging.NOTSET)
    print("Time per element in microseconds, best of at least %d runs "
          "(INFO records: off = filtered, on = formatted)" % repeat)
    print(table(["path", "INFO", "n", "floor", "ref", "mod", "ref-ovh", "mod-ovh", "ratio",
                 "ratio(med)", "<=%.1f" % RATIO_TARGET], time_rows))
    print()
    mem_name = {"tracemalloc": "tracemalloc peak", "rss": "peak RSS growth",
                "none": "not measured"}[args.memory]
    print("Linearity (per-element time at n over that at n/10, INFO off) "
          "and memory (%s, KiB, INFO on)" % mem_name)
    print(table(["path", "n", "lin-ref", "lin-mod", "peak-ref", "peak-mod", "mem", "check"],
                other_rows))
    if notes:
        print()
        for note in notes:
            print("note: " + note)
    print()
    print("total %.1f s" % (time.perf_counter() - started))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"repeat": repeat, "scale": scale, "memory": args.memory, "paths": raw}, out,
                      indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
