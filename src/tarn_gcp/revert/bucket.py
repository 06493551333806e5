"""Revert information kept as a Cloud Storage object: ``--revert gs://BUCKET/PATH``.

A team that switches a network from one machine (a CI job, an operator's
laptop) and restores it from another keeps the revert information where
all of them reach it.  The object is used through ``google-cloud-storage``
with the credentials of the process (Application Default Credentials), or
anonymously against an emulator named by ``STORAGE_EMULATOR_HOST``.

Two runs must never overwrite each other's record:

- A run takes the lock object ``PATH.lock`` before it reads anything: it is
  created only if absent (``if_generation_match=0``) and holds who took it,
  where and since when.  A second run finding it is refused, naming the
  holder.  The lock is deleted after the save; a lock left by a run that
  died stays until ``tarn_gcp unlock --revert gs://... --yes`` removes it.
- The object is read together with its generation, and written only if it
  still has that generation (0: only if it does not exist).  A write that
  lost a race is answered 412 and replaces nothing; the new revert
  information then goes to a local file ``NAME.refused-<time>.json`` and to
  standard error, like any refused save.

Transient failures (429, 5xx, dropped connections) are retried with the
library's own policies: ``DEFAULT_RETRY`` for reads, and for writes and
deletes the conditional policy that retries only requests carrying a
generation precondition, which all of ours do.  A conditional write whose
answer was lost and whose retry then meets its own result is recognised
as done.

Every call is bounded: each request waits at most ``REQUEST_TIMEOUT``
seconds, and its retries end ``deadline()`` seconds after the first
(``TARN_GCP_STORAGE_DEADLINE``, 20 by default).  The call runs in a thread
of its own, so that the run does not depend on the library keeping to
those limits: past them, and ``SIGNAL_GRACE`` seconds after a signal that
arrived while signals were held back (a save, the lock), the run stops
waiting for it (``StorageAbandoned``).  An unreachable store thus reads as
a failed call within seconds, and the save as unsaved, never as refused.
"""

from __future__ import annotations

import datetime
import getpass
import http
import json
import os
import re
import signal
import socket
import sys
import tempfile
import threading
import time
import uuid

from tarn_gcp import interrupts
from tarn_gcp.errors import CliError, one_line

from .store import RevertStore, StoreInUse, write_new_file

SCHEME = "gs://"
LOCK_SUFFIX = ".lock"
JOURNAL_SUFFIX = ".journal/"
# Bucket names: 3 to 63 characters (222 with dots), lower-case letters,
# digits, "-", "_" and ".", starting and ending with a letter or digit.
_BUCKET = re.compile(r"[a-z0-9][a-z0-9._-]{1,220}[a-z0-9]\Z")
# Object names are at most 1024 bytes of UTF-8; the lock's name is longer.
_MAX_NAME = 1024 - len(LOCK_SUFFIX)
# A read that keeps meeting a newer generation between its two requests.
_READ_ATTEMPTS = 5
# How long one request may wait for a connection and then for each answer.
REQUEST_TIMEOUT = 10.0
# How long a call may take, its retries included, unless
# TARN_GCP_STORAGE_DEADLINE says otherwise.
DEFAULT_DEADLINE = 20.0
DEADLINE_VARIABLE = "TARN_GCP_STORAGE_DEADLINE"
# How long a call still running when a signal arrives may go on.
SIGNAL_GRACE = 3.0
_clients = {}
# A process forked from one that used a client makes its own: the pooled
# connections of the parent's are the parent's (a wave's workers).
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_clients.clear)


def deadline():
    """Seconds a storage call may take, its retries included; CliError
    when TARN_GCP_STORAGE_DEADLINE is not a number of seconds."""
    text = os.environ.get(DEADLINE_VARIABLE, "").strip()
    if not text:
        return DEFAULT_DEADLINE
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value <= 3600:
        raise CliError("%s=%s: give the seconds a Cloud Storage call may take, from more "
                       "than 0 to 3600" % (DEADLINE_VARIABLE, text))
    return value


def parse_url(url):
    """(bucket, object name) of gs://BUCKET/PATH; CliError when it is not
    one."""
    bucket, _, name = url[len(SCHEME):].partition("/")
    if not _BUCKET.match(bucket) or len(bucket) > 63 and "." not in bucket:
        raise CliError("--revert %s: %r is not a Cloud Storage bucket name" % (url, bucket))
    if not name or name.endswith("/"):
        raise CliError("--revert %s must name an object: gs://BUCKET/PATH.json" % url)
    if any(ord(c) < 32 or 127 <= ord(c) < 160 for c in name):
        raise CliError("--revert %s: an object name holds no control characters" % url)
    if name.rsplit("/", 1)[-1] in (".", ".."):
        raise CliError("--revert %s: %r is not an object name" % (url, name))
    if len(name.encode("utf-8")) > _MAX_NAME:
        raise CliError("--revert %s: the object name is longer than %d bytes"
                       % (url, _MAX_NAME))
    return bucket, name


def storage_client():
    """The process's Cloud Storage client: anonymous against the emulator
    named by STORAGE_EMULATOR_HOST, else with the Application Default
    Credentials.  CliError when there are none."""
    host = os.environ.get("STORAGE_EMULATOR_HOST") or ""
    client = _clients.get(host)
    if client is not None:
        return client
    from google.auth import exceptions as auth_exceptions
    from google.cloud import storage

    try:
        if host:
            from google.auth.credentials import AnonymousCredentials

            client = storage.Client(
                project=os.environ.get("GOOGLE_CLOUD_PROJECT") or "tarn-gcp-emulator",
                credentials=AnonymousCredentials())
        else:
            # Object requests name no project: credentials without one do.
            client = storage.Client(project=None)
    except auth_exceptions.DefaultCredentialsError as exc:
        raise CliError("cannot use Cloud Storage: no Application Default Credentials (gcloud "
                       "auth application-default login): %s" % one_line(exc)) from None
    except (auth_exceptions.GoogleAuthError, ValueError, OSError) as exc:
        raise CliError("cannot use Cloud Storage: %s" % one_line(exc)) from None
    _clients[host] = client
    return client


def failure(exc):
    """One line for an exception of the storage client."""
    from google.api_core import exceptions as api_exceptions

    if isinstance(exc, api_exceptions.GoogleAPICallError) and exc.code:
        try:
            phrase = http.HTTPStatus(exc.code).phrase
        except ValueError:
            phrase = "error"
        detail = ""
        errors = getattr(exc, "errors", None) or []
        if errors and isinstance(errors[0], dict) and errors[0].get("message"):
            detail = str(errors[0]["message"])
        text = "HTTP %d %s" % (exc.code, phrase)
        if detail and detail.lower() != phrase.lower():
            text += ": " + detail
        return text
    text = one_line(exc)
    if len(text) > 300:
        text = text[:297] + "..."
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


class StorageFailure(OSError):
    """A Cloud Storage request that failed after its retries."""

    def __str__(self):
        return self.args[0] if self.args else "Cloud Storage request failed"

    @property
    def strerror(self):
        return str(self)


class StorageAbandoned(StorageFailure):
    """A call the run stopped waiting for: past its time limit, or after a
    signal (``signum``).  Whether it took effect is not known."""

    def __init__(self, text, signum=None):
        super().__init__(text)
        self.signum = signum


def _failed(exc, prefix=""):
    """The StorageFailure to raise for ``exc``, a failed call, its text
    after ``prefix``; an abandoned call stays one."""
    if isinstance(exc, StorageAbandoned):
        return StorageAbandoned(prefix + str(exc), exc.signum)
    return StorageFailure(prefix + failure(exc))


def _retry(conditional, limit):
    """The library's retry policy for reads (or for conditional writes and
    deletes), ending ``limit`` seconds after the first request."""
    from google.cloud.storage.retry import (DEFAULT_RETRY, ConditionalRetryPolicy,
                                            is_generation_specified)

    policy = DEFAULT_RETRY.with_timeout(limit)
    if conditional:
        return ConditionalRetryPolicy(policy, is_generation_specified, ["query_params"])
    return policy


def _bounded(call, limit):
    """``call()`` run in a thread of its own and waited for, at most
    ``limit`` seconds and ``SIGNAL_GRACE`` seconds after a signal that is
    held back meanwhile; StorageAbandoned after that.  A signal that is
    not held back interrupts the wait at once (the call is left to end on
    its own)."""
    outcome = {}
    done = threading.Event()

    def work():
        try:
            outcome["value"] = call()
        except BaseException as exc:
            outcome["error"] = exc
        finally:
            done.set()

    worker = threading.Thread(target=work, name="tarn_gcp storage call", daemon=True)
    worker.start()
    start = time.monotonic()
    signalled = signum = None
    while not done.wait(0.05):
        now = time.monotonic()
        if signum is None and interrupts.pending() is not None:
            signalled, signum = now, interrupts.pending()
        if signum is not None and now - signalled >= SIGNAL_GRACE:
            raise StorageAbandoned("no answer %g s after %s arrived, so the run stopped waiting"
                                   % (SIGNAL_GRACE, _signal_name(signum)), signum)
        if now - start >= limit:
            raise StorageAbandoned("no answer within %g s" % limit)
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


def _signal_name(signum):
    try:
        return signal.Signals(signum).name
    except ValueError:
        return "signal %d" % signum


def _now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def _user():
    try:
        return getpass.getuser()
    except Exception:
        return "uid %d" % os.getuid()


def holder_text(record):
    """"pid N since T on host H (user U, command C)" for a lock's record."""
    if not isinstance(record, dict):
        return "an unknown run (the lock holds %s)" % one_line(record)[:200]
    text = "pid %s since %s on host %s" % (record.get("pid", "?"), record.get("since", "?"),
                                          record.get("host", "?"))
    extra = [str(record[key]) for key in ("who", "command") if record.get(key)]
    if extra:
        text += " (%s)" % ", ".join(extra)
    return text


# How far the start of a process, read from /proc, may lie after the time
# its lock records (whole seconds) and still be the process that took it.
_START_SLACK = 2.0


def holder_state(record):
    """What this machine can tell of the run a lock names: "alive" (it ran
    here and its process still runs), "gone" (no process of its pid runs
    here), "reused" (the process of its pid started after the lock was
    taken: another one), or "unknown" (it ran elsewhere, or the record does
    not say)."""
    if not isinstance(record, dict) or record.get("host") != socket.gethostname():
        return "unknown"
    pid = record.get("pid")
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0:
        return "unknown"
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return "gone"
    except PermissionError:
        pass  # a process of another user
    except OSError:
        return "unknown"
    started, since = _process_start(pid), _since(record.get("since"))
    if started is not None and since is not None and started > since + _START_SLACK:
        return "reused"
    return "alive"


def _since(text):
    """The time a lock record's "since" names, in seconds since the epoch."""
    try:
        stamp = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S UTC")
    except (TypeError, ValueError):
        return None
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp()


def _process_start(pid):
    """When process ``pid`` started, in seconds since the epoch (Linux's
    /proc); None when that cannot be read."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as handle:
            text = handle.read()
        # The fields after the command's name: its 22nd, the start in clock
        # ticks after boot, is the 20th of them.
        ticks = int(text[text.rindex(b")") + 2:].split()[19])
        with open("/proc/stat", "rb") as handle:
            boot = next(int(line.split()[1]) for line in handle if line.startswith(b"btime "))
        return boot + ticks / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, StopIteration):
        return None


def stale_hint(record):
    """Words saying that the holder is certainly gone, when this machine can
    tell: it ran here and no process of that pid runs any more, or the one
    that does started after the lock was taken."""
    state = holder_state(record)
    if state == "gone":
        return "; no process %d runs on this host any more, so the lock is stale" % (
            record["pid"])
    if state == "reused":
        return ("; process %d on this host started after the lock was taken, so the lock is "
                "stale" % record["pid"])
    return ""


class BucketRevertStore(RevertStore):
    """A revert file kept as the Cloud Storage object gs://BUCKET/PATH."""

    def __init__(self, url):
        self.url = url
        self.name = url
        self.bucket_name, self.object_name = parse_url(url)
        self._client = None
        self._generation = None      # of the object as last read (0: none)
        self._lock_generation = None  # of our lock object while we hold it
        self._token = uuid.uuid4().hex
        self._limit = None            # seconds a call may take (deadline())
        self._unreachable = False     # a call of this run got no answer

    # ---------------------------------------------------------- access

    @property
    def lock_url(self):
        return self.url + LOCK_SUFFIX

    def _bucket(self):
        if self._client is None:
            self._client = storage_client()
        return self._client.bucket(self.bucket_name)

    def _blob(self, lock=False):
        return self._bucket().blob(self.object_name + (LOCK_SUFFIX if lock else ""))

    def check(self):
        self._limit = deadline()
        self._bucket()

    def _call(self, method, *args, conditional=False, **kwargs):
        """``method(*args, **kwargs)``, a call of the storage client, with
        the time limits of this store: the request timeout and the retry
        deadline, within a bounded wait.  Once a call got no answer, the
        calls after it (giving the lock back) are made once, briefly."""
        from google.api_core import exceptions as api_exceptions

        if self._limit is None:
            self._limit = deadline()
        timeout = min(REQUEST_TIMEOUT, self._limit)
        if self._unreachable:
            limit = timeout = min(timeout, 5.0)
            kwargs.update(timeout=timeout, retry=None)
        else:
            limit = self._limit
            kwargs.update(timeout=timeout, retry=_retry(conditional, limit))
        try:
            # The library keeps to these limits; the wait's own is a backstop.
            return _bounded(lambda: method(*args, **kwargs), limit + timeout + 2)
        except api_exceptions.GoogleAPICallError:
            raise
        except Exception:
            self._unreachable = True
            raise

    # ------------------------------------------------------------ lock

    def lock(self):
        """Creates the lock object; StoreInUse naming the holder when it
        exists.  Signals wait until the lock is taken (or refused), so that
        no lock is left behind unknown to this run; one that came meanwhile
        gives the lock back before it is raised."""
        if self._lock_generation is not None:
            return
        try:
            with interrupts.deferred():
                self._take_lock()
        except StorageAbandoned as exc:
            text = "cannot lock revert file %s: %s; %s" % (self.url, exc, self._maybe_locked())
            if exc.signum is None:
                raise CliError(text) from None
            _warn(text)
            raise interrupts.stop_for(exc.signum) from None
        except KeyboardInterrupt:
            self.unlock()
            raise

    def _maybe_locked(self):
        return ("if the lock was created all the same, remove it with: tarn_gcp unlock "
                "--revert %s --yes" % self.url)

    def _take_lock(self):
        from google.api_core import exceptions as api_exceptions

        record = {"who": _user(), "host": socket.gethostname(), "pid": os.getpid(),
                  "since": _now(), "command": _command_line(), "token": self._token}
        text = json.dumps(record, indent=2) + "\n"
        for _ in range(_READ_ATTEMPTS):
            blob = self._blob(lock=True)
            try:
                self._call(blob.upload_from_string, text, content_type="application/json",
                           if_generation_match=0, conditional=True)
            except api_exceptions.PreconditionFailed:
                try:
                    held = self.lock_holder()
                except StorageFailure as exc:
                    raise CliError("revert file %s is locked, and %s" % (self.url, exc)
                                   ) from None
                if held is None:
                    continue  # given back meanwhile: try again
                current, generation = held
                if isinstance(current, dict) and current.get("token") == self._token:
                    # Our own create, retried after its answer was lost.
                    self._lock_generation = generation
                    return
                if holder_state(current) in ("gone", "reused"):
                    # Its run was killed on this machine: nobody holds the
                    # file; what that run changed is in the journal.
                    if self.remove_lock(generation):
                        _warn("took over the lock of revert file %s from %s%s"
                              % (self.url, holder_text(current), stale_hint(current)))
                    continue
                raise StoreInUse(
                    "revert file %s is in use by %s%s; if that run is gone, remove its lock "
                    "with: tarn_gcp unlock --revert %s --yes"
                    % (self.url, holder_text(current), stale_hint(current), self.url)
                ) from None
            except StorageAbandoned:
                raise
            except api_exceptions.NotFound:
                raise CliError("cannot lock revert file %s: there is no bucket %s"
                               % (self.url, self.bucket_name)) from None
            except api_exceptions.Forbidden as exc:
                raise CliError("cannot lock revert file %s: %s (the credentials need object "
                               "read and write on the bucket, e.g. roles/storage.objectUser)"
                               % (self.url, failure(exc))) from None
            except Exception as exc:
                unanswered = not isinstance(exc, api_exceptions.GoogleAPICallError)
                raise CliError("cannot lock revert file %s: %s%s" % (
                    self.url, failure(exc), "; " + self._maybe_locked() if unanswered else "")
                ) from None
            self._lock_generation = blob.generation
            return
        raise CliError("cannot lock revert file %s: its lock keeps changing" % self.url)

    def lock_holder(self):
        """(record, generation) of the lock object, None when there is none.
        The record is the lock's JSON, or its text when it is not JSON."""
        from google.api_core import exceptions as api_exceptions

        for _ in range(_READ_ATTEMPTS):
            try:
                found = self._call(self._bucket().get_blob, self.object_name + LOCK_SUFFIX)
                if found is None:
                    return None
                raw = self._call(found.download_as_bytes, if_generation_match=found.generation)
            except (api_exceptions.NotFound, api_exceptions.PreconditionFailed):
                continue
            except Exception as exc:
                raise _failed(exc, "cannot read the lock %s: " % self.lock_url) from None
            text = raw.decode("utf-8", "replace")
            try:
                record = json.loads(text)
            except ValueError:
                record = text
            return record, found.generation
        raise StorageFailure("cannot read the lock %s: it keeps changing" % self.lock_url)

    def remove_lock(self, generation):
        """Deletes the lock object if it still has ``generation``; False when
        it is gone or has been replaced meanwhile."""
        from google.api_core import exceptions as api_exceptions

        try:
            with interrupts.deferred():
                self._call(self._blob(lock=True).delete, if_generation_match=generation,
                           conditional=True)
        except (api_exceptions.NotFound, api_exceptions.PreconditionFailed):
            return False
        except Exception as exc:
            raise _failed(exc, "cannot remove the lock %s: " % self.lock_url) from None
        return True

    def unlock(self):
        generation, self._lock_generation = self._lock_generation, None
        if generation is None:
            return
        try:
            removed = self.remove_lock(generation)
        except StorageFailure as exc:
            _warn("%s; the next run will find it: remove it with tarn_gcp unlock --revert %s "
                  "--yes" % (exc, self.url))
            return
        if not removed:
            _warn("the lock %s of this run was removed or replaced by someone else while the "
                  "run held it" % self.lock_url)

    # ------------------------------------------------------ read, write

    def read(self):
        """The object's bytes (None when there is none), remembering the
        generation read: the next ``replace`` is conditional on it."""
        from google.api_core import exceptions as api_exceptions

        for _ in range(_READ_ATTEMPTS):
            try:
                found = self._call(self._bucket().get_blob, self.object_name)
                if found is None:
                    self._generation = 0
                    return None
                raw = self._call(found.download_as_bytes, if_generation_match=found.generation)
            except (api_exceptions.NotFound, api_exceptions.PreconditionFailed):
                continue  # replaced between the two requests: read it again
            except Exception as exc:
                raise _failed(exc) from None
            self._generation = found.generation
            return raw
        raise StorageFailure("the object keeps changing while it is read")

    def replace(self, text):
        """Writes ``text`` if the object still has the generation last read.
        When it has not, nothing is replaced: CliError, the text being in a
        local file and on standard error."""
        from google.api_core import exceptions as api_exceptions

        if self._generation is None:
            self.read()
        expected = self._generation
        blob = self._blob()
        try:
            self._call(blob.upload_from_string, text, content_type="application/json",
                       if_generation_match=expected, conditional=True)
        except api_exceptions.PreconditionFailed:
            if self._holds(text):
                return  # our own write, retried after its answer was lost
            refused = self.write_aside(text, "refused")
            raise CliError(
                "revert file %s not replaced: it was changed in the bucket meanwhile (%s); it "
                "is left as it was and the new revert information is in %s"
                % (self.url, "it has been created since it was read" if not expected else
                   "it is no longer generation %d" % expected, refused)
            ) from None
        except Exception as exc:
            raise _failed(exc) from None
        self._generation = blob.generation

    def _holds(self, text):
        try:
            raw = self.read()
        except OSError:
            return False
        return raw is not None and raw == text.encode("utf-8")

    def write_aside(self, text, kind):
        """Writes ``text`` to a new local file NAME.<kind>-<time>.json (in the
        current folder, else the temporary folder) and, for a refused save,
        to standard error too; returns the file's name."""
        base = self.object_name.rsplit("/", 1)[-1]
        stem, dot, ext = base.rpartition(".")
        if not stem:
            stem, dot, ext = base, "", ""
        stamp = time.strftime("%Y%m%dT%H%M%S")
        error = None
        for folder in (os.curdir, tempfile.gettempdir()):
            try:
                where = _write_new(folder, stem, "." + kind + "-" + stamp, dot + ext, text)
            except OSError as exc:
                error = error or exc
                continue
            try:
                where = os.path.abspath(where)
            except OSError:
                pass  # the current folder is gone: named as written
            if kind == "refused":
                _to_stderr(text)
                where += " (and on standard error above)"
            return where
        raise error

    # ---------------------------------------------------------- journal

    @property
    def _journal_prefix(self):
        """One object an entry under PATH.journal/, so that another machine
        can recover the run from the bucket alone."""
        return self.object_name + JOURNAL_SUFFIX

    def journal_append(self, run, seq, text):
        stamp = re.sub(r"[^0-9]", "", str(run.get("since", "")))[:14]
        name = "%s%s-%s-%06d.json" % (self._journal_prefix, stamp, run.get("token", "run"), seq)
        try:
            self._call(self._bucket().blob(name).upload_from_string, text,
                       content_type="application/json", if_generation_match=0,
                       conditional=True)
        except Exception as exc:
            raise StorageFailure(failure(exc)) from None

    def _journal_blobs(self):
        try:
            return sorted(self._call(lambda **limits: list(self._bucket().client.list_blobs(
                self.bucket_name, prefix=self._journal_prefix, **limits))),
                key=lambda b: b.name)
        except Exception as exc:
            raise StorageFailure(failure(exc)) from None

    def journal_read(self):
        texts = []
        for blob in self._journal_blobs():
            try:
                texts.append(self._call(blob.download_as_bytes).decode("utf-8", "replace"))
            except Exception as exc:
                raise StorageFailure(failure(exc)) from None
        return texts

    def journal_clear(self):
        for blob in self._journal_blobs():
            try:
                self._call(blob.delete, if_generation_match=blob.generation, conditional=True)
            except Exception as exc:
                if getattr(exc, "code", None) not in (404, 412):
                    raise StorageFailure(failure(exc)) from None


def _write_new(folder, stem, middle, ext, text):
    return write_new_file(
        lambda suffix: os.path.join(folder, "%s%s%s%s" % (stem, middle, suffix, ext)), text,
        "in %s" % folder)


def _command_line():
    words = ["tarn_gcp"] + [w for w in sys.argv[1:]]
    return one_line(" ".join(words))[:300]


def _to_stderr(text):
    sys.stdout.flush()
    sys.stderr.write(text if text.endswith("\n") else text + "\n")
    sys.stderr.flush()


def _warn(text):
    sys.stdout.flush()
    sys.stderr.write("tarn_gcp: warning: %s\n" % one_line(text))
    sys.stderr.flush()


def check_new_object(url):
    """For the demo, which writes a new revert file: CliError unless
    Cloud Storage is the emulator's (STORAGE_EMULATOR_HOST) and neither
    the object nor its lock exists."""
    if not os.environ.get("STORAGE_EMULATOR_HOST"):
        raise CliError("demo keeps its revert information in a bucket only on a Cloud Storage "
                       "emulator: set STORAGE_EMULATOR_HOST (e.g. to fake-gcs-server's URL)")
    store = BucketRevertStore(url)
    store.check()
    try:
        if store._call(store._bucket().client.lookup_bucket, store.bucket_name) is None:
            raise CliError("demo: there is no bucket %s on the emulator at %s"
                           % (store.bucket_name, os.environ["STORAGE_EMULATOR_HOST"]))
        exists = store.read() is not None
        locked = store.lock_holder() is not None
    except StorageFailure as exc:
        raise CliError("cannot use revert file %s: %s" % (url, exc)) from None
    if exists:
        raise CliError("demo writes a new revert file, and %s exists" % url)
    if locked:
        raise CliError("demo writes a new revert file, and %s is locked" % url)
