"""The Compute Engine emulator and the command line as the tests drive them:
Python in processes of their own that import this process's tarn_gcp, the
command line (forked by testing.launcher, its clocks faster where asked)
run against an emulator with a revert file or object, the
operations a stopped run left behind finished, and waits on a condition or
an operation.  The fixtures that start the emulator are in tests/conftest.py.
"""

import os
import subprocess
import sys
import time

import tarn_gcp

# The folder holding the tarn_gcp package this process imported.
SRC = os.path.dirname(os.path.dirname(os.path.abspath(tarn_gcp.__file__)))


# How long, in seconds, the module's one-second pause between the polls of
# an operation lasts in a run started with start(..., poll_seconds=QUICK_POLL):
# for runs whose operations are held for a number of polls, where the
# length of a pause proves nothing.
QUICK_POLL = 0.05
# The first pause of the storage library's retries in a run started with
# start(..., storage_delay=QUICK_RETRY), rather than a second.
QUICK_RETRY = 0.01


def child_env(extra=None):
    """This process's environment with SRC first on PYTHONPATH, then
    ``extra`` (a dict) over it."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [SRC, os.environ.get("PYTHONPATH")]))
    env.update(extra or {})
    return env


def python(*argv, env=None, **options):
    """``python argv...`` started with child_env(env); its output on text
    pipes unless ``options`` (for Popen) say otherwise."""
    options = dict(dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True), **options)
    return subprocess.Popen([sys.executable, *map(str, argv)], env=child_env(env), **options)


def run_python(*argv, env=None, timeout=180, **options):
    """``python argv...`` run to its end with child_env(env), its output
    captured as text: the CompletedProcess."""
    return subprocess.run([sys.executable, *map(str, argv)], env=child_env(env),
                          capture_output=True, text=True, timeout=timeout, **options)


def tarn(*args, **options):
    """``python -m tarn_gcp args...`` run to its end (see run_python)."""
    return run_python("-m", "tarn_gcp", *args, **options)


def ended(process, timeout=180):
    """Waits for a process started with pipes: (exit status, stdout, stderr)."""
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def launch(*args, env=None, cwd=None, poll_seconds=1.0, storage_delay=None):
    """``python -m tarn_gcp args...`` with child_env(env) in ``cwd``, forked
    by testing.launcher (a ``testing.launcher.Process``, driven as a Popen
    with text pipes).  ``poll_seconds`` and ``storage_delay``: the run's
    faster clocks (see testing.launcher)."""
    from testing import launcher

    return launcher.launch(args, child_env(env), cwd=cwd, poll_seconds=poll_seconds,
                           storage_delay=storage_delay)


def start(emu, revert, *args, env=None, **clocks):
    """The command line against ``emu`` with ``--revert revert`` and ``args``,
    started by launch().  ``revert`` is a path, or a bucket object whose
    ``run_env`` and ``run_folder`` say with what environment and where the
    process runs."""
    return launch("--emulator-url", emu.url, "--revert", revert, *args,
                  env=dict(getattr(revert, "run_env", {}), **(env or {})),
                  cwd=getattr(revert, "run_folder", None), **clocks)


def run(emu, revert, *args, **options):
    """start() run to its end: (exit status, stdout, stderr)."""
    return ended(start(emu, revert, *args, **options))


def mutations(emu):
    """The changing requests the emulator received (operation waits aside)."""
    return [r for r in emu.requests
            if r.http_method != "GET" and not (r.method or "").endswith(".wait")]


def settle(emu, finish=True):
    """Lets held operations go on and clears the faults; ``finish``: also
    finishes the operations a stopped process no longer waits for, the way
    the cloud finishes them whether anyone waits or not."""
    model = emu.model
    model.release_operations()
    emu.faults.clear()
    for record in model.operations() if finish else ():
        if record["status"] == "DONE":
            continue
        parts = record["selfLink"].split("/projects/", 1)[1].split("/")
        scope = None if parts[1] == "global" else (parts[1], parts[2])
        for _ in range(5):
            if model.poll_operation(parts[0], parts[-1], scope, wait=True)["status"] == "DONE":
                break


def wait_until(predicate, process=None, seconds=30.0):
    """Polls ``predicate()`` every 20 ms until it holds, ``process`` (when
    given) has ended or ``seconds`` have passed; returns its last value."""
    until = time.monotonic() + seconds
    while (not predicate() and (process is None or process.poll() is None)
           and time.monotonic() < until):
        time.sleep(0.02)
    return predicate()


def finish(compute, op, project=None):
    """Polls an operation with wait until DONE, as callers of the API do;
    returns the final record and the number of wait calls."""
    project = project or op["selfLink"].split("/")[6]
    if "region" in op:
        region = op["region"].rsplit("/", 1)[1]
        wait = compute.regionOperations().wait
        poll = lambda: wait(project=project, region=region, operation=op["name"])  # noqa: E731
    else:
        wait = compute.globalOperations().wait
        poll = lambda: wait(project=project, operation=op["name"])  # noqa: E731
    for count in range(1, 50):
        op = poll().execute()
        if op["status"] == "DONE":
            return op, count
    raise AssertionError("operation never finished: %r" % op)
