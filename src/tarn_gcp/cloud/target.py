"""Where the commands send their requests: Google Cloud or an emulator.

Against Google Cloud the Compute service is built from the process's
Application Default Credentials; with ``--emulator`` an emulator is
started in this process and seeded with the sample topology; with
``--emulator-url`` an emulator already running elsewhere (such as
``python -m tarn_gcp.emulator``) is used, so that its state outlives one
command.  In every case the service talks through the retrying transport.
"""

from __future__ import annotations

import dataclasses
import http.client
import json
import logging
import socket
import urllib.parse
from typing import Any, Optional

from tarn_gcp.errors import CliError, RunFailed

from .transport import RetryingHttp, report_resends

COMPUTE_SCOPE = "https://www.googleapis.com/auth/compute"
# How long an emulator named by --emulator-url has to answer a first request.
PROBE_SECONDS = 5.0

log = logging.getLogger("tarn_gcp.cli")


def _local_http():
    """A plain httplib2 transport that ignores proxy settings, with the
    anonymous credentials an emulator accepts."""
    import google_auth_httplib2
    from google.auth.credentials import AnonymousCredentials
    from googleapiclient.http import build_http

    transport = report_resends(build_http())
    transport.proxy_info = None
    return google_auth_httplib2.AuthorizedHttp(AnonymousCredentials(), http=transport)


class NotComputeAnswer(RunFailed):
    """An emulator URL answered a request with something no Compute API
    answer is (not a JSON object)."""


_JSON_KINDS = {list: "array", str: "string", int: "number", float: "number", bool: "boolean",
               type(None): "null"}


class AnswerCheck:
    """Wraps the ``http`` of a service talking to an emulator URL: a
    successful answer that is not a JSON object, which Compute never sends,
    raises NotComputeAnswer instead of reaching the code that reads it.
    Other attributes are the wrapped object's."""

    def __init__(self, http, url):
        self.http = http
        self.url = url

    def __getattr__(self, name):
        return getattr(self.__dict__["http"], name)

    def request(self, uri, method="GET", *args, **kwargs):
        response, content = self.http.request(uri, method, *args, **kwargs)
        status = getattr(response, "status", 200)
        if 200 <= status < 300 and content:
            try:
                data = json.loads(content)
                what = "JSON " + _JSON_KINDS.get(type(data), "")
            except ValueError:  # UnicodeDecodeError included
                data, what = None, "%d bytes that are not JSON" % len(content)
            if not isinstance(data, dict):
                raise NotComputeAnswer(
                    "the emulator at %s answered %s %s with %s, not a Compute API answer"
                    % (self.url, method, urllib.parse.urlsplit(uri).path, what))
        return response, content


@dataclasses.dataclass(eq=False)
class Target:
    """The Compute service of a run and what it talks to.

    ``kind`` is "cloud", "emulator" (started here) or "emulator-url".
    ``emulator`` is the Emulator started here, if any.  ``default_project``
    is the project of the credentials (Google Cloud only).
    """

    kind: str
    service: Any
    http: Any
    credentials: Any = None
    default_project: Optional[str] = None
    emulator: Any = None

    def close(self):
        if self.emulator is not None:
            self.emulator.close()
            self.emulator = None


class Collections:
    """A Compute service whose collections (``routes()``, ``networks()``,
    ...) are built once: the client library builds every method of a
    collection anew each time one is asked for, and a stage asks for one
    at every request.  Everything else is the service's own."""

    def __init__(self, service):
        self._service = service
        self._names = set(getattr(service, "_resourceDesc", {}).get("resources", {}))
        self._built = {}

    def __getattr__(self, name):
        found = getattr(self._service, name)
        if name not in self._names:
            return found

        def collection(*args, **kwargs):
            if args or kwargs:
                return found(*args, **kwargs)
            if name not in self._built:
                self._built[name] = found()
            return self._built[name]

        return collection


def check_emulator_url(url):
    """CliError unless ``url`` is an http(s) URL naming a host (and a valid
    port, if any); returns its parts."""
    try:
        parts = urllib.parse.urlsplit(url)
        port = parts.port
    except ValueError as exc:
        raise CliError("--emulator-url %s is not a URL: %s" % (url, exc)) from None
    if parts.scheme not in ("http", "https"):
        raise CliError("--emulator-url %s must be an http:// or https:// URL" % url)
    if not parts.hostname:
        raise CliError("--emulator-url %s names no host" % url)
    if port == 0:
        raise CliError("--emulator-url %s: port 0 is not a port to connect to" % url)
    return parts


def probe_emulator(url, timeout=None):
    """CliError unless something answers HTTP at ``url`` within
    ``timeout`` seconds (PROBE_SECONDS).  The probe is a HEAD request,
    which changes nothing; any answer counts."""
    parts = check_emulator_url(url)
    timeout = PROBE_SECONDS if timeout is None else timeout
    kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
    connection = kind(parts.hostname, parts.port, timeout=timeout)
    try:
        connection.request("HEAD", parts.path or "/")
        connection.getresponse().read()
    except (OSError, http.client.HTTPException) as exc:
        if isinstance(exc, socket.timeout):
            why = "no answer within %g s" % timeout
        else:
            why = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        raise CliError("no emulator answers at %s (%s)" % (url, why)) from None
    finally:
        connection.close()


def open_target(emulator=False, emulator_url=None, retry_delay=None):
    """Builds the Target; CliError when the credentials cannot be found or
    the emulator named by ``emulator_url`` does not answer."""
    options = {} if retry_delay is None else {"base_delay": retry_delay}
    if emulator_url is not None:
        from tarn_gcp.emulator import build_service

        probe_emulator(emulator_url)

        http = RetryingHttp(_local_http(), **options)
        service = Collections(build_service(emulator_url, http=AnswerCheck(http, emulator_url)))
        log.debug("Compute API: the emulator at %s", emulator_url)
        return Target("emulator-url", service, http)
    if emulator:
        from tarn_gcp.emulator import Emulator, build_service

        emu = Emulator(wait_completes=True).start()
        try:
            emu.seed()
            http = RetryingHttp(_local_http(), **options)
            service = Collections(build_service(emu, http=http))
        except BaseException:
            emu.close()
            raise
        log.debug("Compute API: an emulator at %s with the sample topology", emu.url)
        return Target("emulator", service, http, emulator=emu)
    return _cloud_target(options)


def _cloud_target(options):
    import google.auth
    import google.auth.exceptions
    import google_auth_httplib2
    from googleapiclient import discovery
    from googleapiclient.http import build_http

    try:
        credentials, project = google.auth.default(scopes=[COMPUTE_SCOPE])
    except google.auth.exceptions.DefaultCredentialsError as exc:
        raise CliError("no Google Cloud credentials (%s); run 'gcloud auth application-default "
                       "login' or use --emulator" % exc) from None
    authorized = google_auth_httplib2.AuthorizedHttp(credentials,
                                                      http=report_resends(build_http()))
    http = RetryingHttp(authorized, **options)
    service = Collections(discovery.build("compute", "v1", http=http, cache_discovery=False))
    return Target("cloud", service, http, credentials=credentials, default_project=project)
