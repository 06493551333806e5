"""The command line in processes of its own without paying its imports each
time: one server process (``python -m testing.launcher``) imports tarn_gcp,
the client libraries and the C++ module once, and forks a child for every
run.  The child takes the run's environment, folder and arguments, points
its standard input at /dev/null and its output at files, and runs
``tarn_gcp`` as ``python -m tarn_gcp`` does (``runpy``, ``__main__``): an
exception it lets out, an exit status, a death by a signal end it as they
would end that process.  ``Process`` drives it like ``subprocess.Popen``:
``pid``, ``poll``, ``wait``, ``communicate`` (text, as with ``text=True``),
``send_signal``, ``terminate``, ``kill``.

Two clocks of the child can be made faster, for runs whose waits prove
nothing by their length: ``poll_seconds`` is how long the module's
one-second pause between the polls of an operation lasts, and
``storage_delay`` the first pause (in seconds; it doubles from there) of
the storage library's retries.

The server only reaps a child when asked about it, so a pid stays a
child's (a zombie at worst) until ``poll`` has seen it end; ``stop()`` (at
the end of the test session) kills the children left and ends the server.
"""

import gc
import json
import locale
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

# Imported by the server, so that a run does not import them itself; one
# that cannot be imported is left to the run.
PRELOAD = ("tarn_gcp.cli", "tarn_gcp.gcplib", "tarn_gcp.emulator.client",
           "googleapiclient.discovery", "googleapiclient.http", "google_auth_httplib2",
           "httplib2", "oauth2client.client", "google.oauth2.service_account", "google.auth",
           "google.auth.credentials", "google.cloud.storage", "google.cloud.storage.retry",
           "requests", "yaml")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class _Server:
    def __init__(self):
        from testing.emulators import SRC, child_env

        self.folder = tempfile.mkdtemp(prefix="tarn-launcher-")
        self.log = os.path.join(self.folder, "server.log")
        path = os.pathsep.join([SRC, ROOT] + [p for p in [os.environ.get("PYTHONPATH")] if p])
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "testing.launcher"], cwd=ROOT, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=log, env=child_env({"PYTHONPATH": path}))
        self.lock = threading.Lock()
        self.count = 0
        self.ask({"op": "ready"})

    def ask(self, request):
        with self.lock:
            try:
                self.process.stdin.write(json.dumps(request).encode() + b"\n")
                self.process.stdin.flush()
                line = self.process.stdout.readline()
            except OSError:
                line = b""
            if not line:
                with open(self.log, errors="replace") as log:
                    raise RuntimeError("the launcher died: %s" % log.read()[-3000:])
            return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        os.rmdir(self.folder)


_server = None
_server_lock = threading.Lock()


def _running():
    global _server
    with _server_lock:
        if _server is None or _server.process.poll() is not None:
            _server = _Server()
        return _server


def stop():
    """Kills the children still running and ends the server, if started."""
    global _server
    with _server_lock:
        if _server is not None:
            _server.close()
            _server = None


def launch(argv, env, cwd=None, poll_seconds=1.0, storage_delay=None):
    """``python -m tarn_gcp argv...`` with exactly the environment ``env``
    in ``cwd`` (by default this process's folder), started: a Process."""
    server = _running()
    with server.lock:
        server.count += 1
        base = os.path.join(server.folder, "run-%d" % server.count)
    reply = server.ask({"op": "start", "argv": [str(a) for a in argv], "env": dict(env),
                        "cwd": str(cwd or os.getcwd()), "out": base + ".out",
                        "err": base + ".err", "poll_seconds": poll_seconds,
                        "storage_delay": storage_delay})
    return Process(server, reply["pid"], base + ".out", base + ".err", argv)


class Process:
    """A run forked by the server, driven as a Popen started with text pipes."""

    def __init__(self, server, pid, out, err, args):
        self._server = server
        self.pid = pid
        self.args = args
        self.returncode = None
        self._out, self._err = out, err
        self._lock = threading.Lock()

    def poll(self):
        with self._lock:
            if self.returncode is None:
                self.returncode = self._server.ask({"op": "poll", "pid": self.pid})["status"]
            return self.returncode

    def wait(self, timeout=None):
        until = None if timeout is None else time.monotonic() + timeout
        pause = 0.001
        while self.poll() is None:
            if until is not None and time.monotonic() > until:
                raise subprocess.TimeoutExpired(self.args, timeout)
            time.sleep(pause)
            pause = min(pause * 2, 0.01)
        return self.returncode

    def communicate(self, timeout=None):
        self.wait(timeout)
        return self._read(self._out), self._read(self._err)

    @staticmethod
    def _read(path):
        try:
            with open(path, encoding=locale.getpreferredencoding(False)) as handle:
                return handle.read()
        except FileNotFoundError:
            return ""
        finally:
            if os.path.exists(path):
                os.unlink(path)

    def send_signal(self, signum):
        with self._lock:
            if self.returncode is None:   # not reaped yet: the pid is still the child's
                os.kill(self.pid, signum)

    def terminate(self):
        self.send_signal(signal.SIGTERM)

    def kill(self):
        self.send_signal(signal.SIGKILL)


# The server.

def _status(code):
    return -os.WTERMSIG(code) if os.WIFSIGNALED(code) else os.WEXITSTATUS(code)


def _serve():
    """Answers the test process; returns the request of a run in a child
    (in the server, None once the test process has gone)."""
    for name in PRELOAD:
        try:
            __import__(name)
        except ImportError:
            pass
    children, ended = set(), {}
    requests = sys.stdin.buffer

    def answer(reply):
        os.write(1, json.dumps(reply).encode() + b"\n")

    while True:
        line = requests.readline()
        if not line:
            break
        request = json.loads(line)
        if request["op"] == "start":
            sys.stdout.flush()
            sys.stderr.flush()
            # What the server holds goes to the collector's permanent
            # generation: the child's collections leave it alone, rather
            # than touching (and so copying) every page of it.
            gc.freeze()
            pid = os.fork()
            if pid == 0:
                return request
            children.add(pid)
            answer({"pid": pid})
        elif request["op"] == "poll":
            pid = request["pid"]
            if pid in children:
                done, code = os.waitpid(pid, os.WNOHANG)
                if done:
                    children.discard(pid)
                    ended[pid] = _status(code)
            answer({"status": ended.get(pid)})
        else:
            answer({})
    for pid in children:
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except OSError:
            pass
    return None


def _faster(request):
    if request["poll_seconds"] != 1.0:
        import types

        from tarn_gcp import gcplib

        scale = request["poll_seconds"]
        gcplib.time = types.SimpleNamespace(sleep=lambda seconds: time.sleep(seconds * scale))
    if request["storage_delay"] is not None:
        from google.cloud.storage import retry

        retry.DEFAULT_RETRY._initial = request["storage_delay"]


def _run(request):
    """In the child: becomes ``python -m tarn_gcp argv...``."""
    import runpy

    os.chdir(request["cwd"])
    os.environ.clear()
    os.environ.update(request["env"])
    for fd, path, flags in ((0, os.devnull, os.O_RDONLY),
                            (1, request["out"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC),
                            (2, request["err"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC)):
        opened = os.open(path, flags, 0o600)
        os.dup2(opened, fd)
        os.close(opened)
    sys.argv = ["-m"] + request["argv"]
    sys.path[0] = os.getcwd()
    _faster(request)
    runpy.run_module("tarn_gcp", run_name="__main__", alter_sys=True)


if __name__ == "__main__":
    _request = _serve()
    if _request is not None:
        _run(_request)
