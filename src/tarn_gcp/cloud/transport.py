"""An HTTP transport that retries the Compute API's transient refusals.

gcplib calls ``execute()`` once per request, without retries, so a busy
network (another peering operation still running, a rate limit, a backend
hiccup) would end a stage half done.  ``RetryingHttp`` wraps an
httplib2.Http-like object (``request(uri, method, body, headers, ...)``
returning ``(response, content)``) and sends a refused request again after
a bounded, jittered exponential pause.

What is retried:

* answers that refuse the request outright: HTTP 5xx (but 501 and 505,
  which no retry mends), 429, a 403 whose
  reason is a rate limit, the 400 answers "There is a peering operation
  in progress ..." and "... route operation in progress ...", and a 400
  whose reason is ``resourceNotReady`` (a router still being patched).  A
  refused request had no effect, so sending it again is safe whatever its
  method;
* transport failures (connection reset, timeout) only for requests that
  are safe to repeat: GET and HEAD, the wait of an operation, and changes,
  which carry a request id.  A connection that was refused never carried
  the request, so that case is retried for every method.

Everything else, and the last refusal once the attempts are spent, goes
back to the caller unchanged, where the client library turns it into its
HttpError.

Every change request carries a ``requestId`` (Compute's own means of safe
re-sends), made once per request and kept on every re-send, so a change
whose answer was lost is sent again without being made twice; a re-send is
reported like any retry, also one the HTTP library makes by itself
(``report_resends``).  With a ``journal`` (see tarn_gcp.revert.journal),
each change is recorded durably before it leaves, with what was last read
of the resource it changes, and its answer after.

A signal (Ctrl-C, SIGTERM, SIGHUP) that arrives while a change is sent does
not cut the request short: the change may be made whether or not its
answer is read, and only with the answer can gcplib record it.  The signal
is raised when the next request starts (in a stage that is the wait for
the change's operation), or by the command line once the stage is over.
"""

from __future__ import annotations

import contextlib
import json
import logging
import random
import re
import socket
import time
import urllib.parse
import uuid

from tarn_gcp import interrupts

log = logging.getLogger("tarn_gcp.cli.transport")

_IN_PROGRESS = re.compile(r"\b(?:peering|route) operation in progress\b", re.IGNORECASE)
_RATE_REASONS = {"rateLimitExceeded", "userRateLimitExceeded"}
# A resource still busy with an earlier change (a router being patched).
_BUSY_REASONS = {"resourceNotReady"}
_SAFE_METHODS = {"GET", "HEAD"}


def _error_of(content):
    """(message texts, reasons) of an API error body; empty when the body
    is not one."""
    if isinstance(content, bytes):
        try:
            content = content.decode("utf-8")
        except UnicodeDecodeError:
            return [], set()
    try:
        data = json.loads(content) if isinstance(content, str) else None
    except ValueError:
        return [], set()
    error = data.get("error") if isinstance(data, dict) else None
    if not isinstance(error, dict):
        return [], set()
    messages = [error["message"]] if isinstance(error.get("message"), str) else []
    reasons = set()
    for item in error.get("errors") or []:
        if isinstance(item, dict):
            if isinstance(item.get("message"), str):
                messages.append(item["message"])
            if isinstance(item.get("reason"), str):
                reasons.add(item["reason"])
    return messages, reasons


def refusal_reason(status, content):
    """Why an answer is a transient refusal worth retrying, or None."""
    if status >= 500 and status not in (501, 505):
        return "HTTP %d" % status
    if status == 429:
        return "HTTP 429 (rate limit)"
    if status in (400, 403):
        messages, reasons = _error_of(content)
        if status == 403 and reasons & _RATE_REASONS:
            return "HTTP 403 (rate limit)"
        if status == 400 and reasons & _BUSY_REASONS:
            return "HTTP 400 (%s)" % (messages[0] if messages else "resource not ready")
        if status == 400:
            for message in messages:
                if _IN_PROGRESS.search(message):
                    return "HTTP 400 (%s)" % message
    return None


def with_request_id(uri):
    """``uri`` with a ``requestId`` query parameter (the one it has, or a
    new one), and that id."""
    path, _, query = uri.partition("?")
    for name, value in urllib.parse.parse_qsl(query, keep_blank_values=True):
        if name == "requestId" and value:
            return uri, value
    request_id = str(uuid.uuid4())
    return "%s?%s" % (path, "&".join(p for p in (query, "requestId=" + request_id) if p)), \
        request_id


def report_resends(http):
    """Makes the re-sends that an httplib2.Http makes by itself (when a
    connection drops before the answer, it sends the request again at once)
    visible as retry notices.  Returns ``http``."""
    inner = getattr(http, "_conn_request", None)
    if inner is None:
        return http

    def conn_request(conn, request_uri, method, body, headers):
        sent = []
        original = conn.request

        def request(*args, **kwargs):
            if sent:
                log.warning("  re-sent at once by the HTTP library: %s %s, its connection was "
                            "lost before the answer", method, _short(request_uri))
            sent.append(True)
            return original(*args, **kwargs)

        conn.request = request
        try:
            return inner(conn, request_uri, method, body, headers)
        finally:
            conn.__dict__.pop("request", None)

    http._conn_request = conn_request
    return http


def _repeatable(uri, method):
    """Whether a request may be sent again when its fate is unknown."""
    if method.upper() in _SAFE_METHODS:
        return True
    path = uri.split("?", 1)[0]
    return method.upper() == "POST" and "/operations/" in path and path.endswith("/wait")


class RetryingHttp:
    """Wraps ``http`` and retries transient refusals of its requests.

    ``retries`` is the number of further attempts after the first.  Before
    retry n (from 0) it pauses for ``min(max_delay, base_delay * 2**n)``
    scaled by a random factor in [0.5, 1) (or the server's Retry-After,
    bounded the same way).  ``sleep`` and ``rand`` can be given for tests;
    by default the module's ``time.sleep`` and ``random.random`` are used.
    Other attributes (``credentials``, ``close``, ``timeout``, ...) are the
    wrapped object's.
    """

    def __init__(self, http, *, retries=6, base_delay=1.0, max_delay=20.0, sleep=None,
                 rand=None):
        if retries < 0:
            raise ValueError("retries must not be negative")
        self.http = http
        self.retries = retries
        self.base_delay = base_delay
        self.max_delay = max_delay
        self._sleep = sleep
        self._rand = rand
        self.retried = 0
        self.busy = 0          # refusals because another operation was running
        self.journal = None
        # with runs side by side: the locks of the networks a change works
        # on (tarn_gcp.cloud.serialise.NetworkLocks)
        self.serialise = None

    def __getattr__(self, name):
        # Only reached for names this object does not have itself.
        return getattr(self.__dict__["http"], name)

    def _delay(self, attempt, response=None):
        bound = min(self.max_delay, self.base_delay * (2 ** attempt))
        retry_after = None
        if response is not None:
            value = response.get("retry-after") if hasattr(response, "get") else None
            try:
                retry_after = float(value) if value is not None else None
            except (TypeError, ValueError):
                retry_after = None
        if retry_after is not None and retry_after >= 0:
            return min(self.max_delay, retry_after)
        rand = self._rand or random.random
        return bound * (0.5 + rand() / 2)

    def _pause(self, seconds):
        (self._sleep or time.sleep)(seconds)

    def request(self, uri, method="GET", body=None, headers=None, *args, **kwargs):
        serialise = self.serialise
        guard = None
        if serialise is not None and not _repeatable(uri, method):
            guard = serialise.guard(method, _short(uri), body)
        if guard is None:
            response, content = self._request(uri, method, body, headers, *args, **kwargs)
            if serialise is not None and method.upper() == "GET" \
                    and getattr(response, "status", 200) == 200:
                serialise.seen(_short(uri), content)
            return response, content
        with guard:
            response, content = self._request(uri, method, body, headers, *args, **kwargs)
            if getattr(response, "status", 200) == 200:
                # the networks stay locked until the change is made
                self._settle(uri, content, headers)
            return response, content

    def _settle(self, uri, content, headers):
        """Waits until the operation a change answered with is DONE."""
        operation = _operation(content)
        path = uri.split("?", 1)[0]
        marker = "/compute/v1/"
        if marker not in path:
            return
        base = path[:path.index(marker) + len(marker)]
        while operation is not None and operation.get("status") != "DONE":
            wait = base + _short(operation["selfLink"]) + "/wait"
            response, answer = self._request(wait, "POST", None,
                                             {k: v for k, v in (headers or {}).items()
                                              if k.lower() not in ("content-type",
                                                                   "content-length")})
            if getattr(response, "status", 200) != 200:
                return
            operation = _operation(answer)

    def _request(self, uri, method="GET", body=None, headers=None, *args, **kwargs):
        attempt = 0
        change = not _repeatable(uri, method)
        request_id = seq = None
        if change:
            uri, request_id = with_request_id(uri)
        journal = self.journal
        while True:
            interrupts.raise_pending()
            try:
                with interrupts.held_back() if change else contextlib.nullcontext():
                    if change and journal is not None and seq is None:
                        seq = journal.before(method, _short(uri), body, request_id)
                    response, content = self.http.request(uri, method, body, headers, *args,
                                                          **kwargs)
                    status = getattr(response, "status", 200)
                    why = refusal_reason(status, content)
                    final = why is None or attempt >= self.retries
                    if final and seq is not None:
                        # the answer is in the journal before a signal can
                        # keep it from the caller
                        journal.after(seq, status, content)
            except (ConnectionError, socket.timeout, TimeoutError) as exc:
                refused = isinstance(exc, ConnectionRefusedError)
                if attempt >= self.retries or not (refused or request_id
                                                   or _repeatable(uri, method)):
                    raise
                why, response = "%s" % (type(exc).__name__,), None
            else:
                if final:
                    if journal is not None and seq is None and method.upper() == "GET" \
                            and status == 200:
                        journal.read(_short(uri), content)
                    return response, content
            delay = self._delay(attempt, response)
            attempt += 1
            self.retried += 1
            if why.startswith("HTTP 400"):  # in progress, or not ready
                self.busy += 1
            log.warning("  retry %d of %d in %.1fs: %s %s refused, %s",
                        attempt, self.retries, delay, method, _short(uri), why)
            self._pause(delay)


def _operation(content):
    """The operation an answer holds, else None."""
    try:
        data = json.loads(content)
    except (TypeError, ValueError, UnicodeDecodeError):
        return None
    if isinstance(data, dict) and data.get("kind") == "compute#operation" \
            and isinstance(data.get("selfLink"), str):
        return data
    return None


def _short(uri):
    """The API path of a request URI, without host and query."""
    path = uri.split("?", 1)[0]
    marker = "/compute/v1/"
    return path[path.index(marker) + len(marker):] if marker in path else path
