"""Console output: the log lines of tarn_gcp as people read them.

Records of the "tarn_gcp" logger and its children ("tarn_gcp.gcplib",
"tarn_gcp.commonlib", "tarn_gcp.cli...") are written as their bare message,
without time stamps or logger names: information to standard output,
warnings and errors (and the transport's retry notices) to standard
error.  The streams are looked up at each
record, so output follows whatever sys.stdout and sys.stderr are then.

The console also counts the problems the run reports: records at warning
level or above, the module's "**Alert**" lines (a failed step of the
route restore, logged at info level) and its "... is in DEFAULT advertize
mode, cannot customize route" lines (a Cloud Router the stage leaves as it
is, also at info level).  Retry notices are not problems.
Every problem counted is shown, also with ``-q``: the summary's "N
problem(s) logged above" refers to lines the reader has.

The tracebacks the module prints after a failure it caught (the Cloud
Router stage does) go to the log at debug level instead of standard error:
shown with ``-v``, out of the way otherwise (``tracebacks_to_log``).
"""

from __future__ import annotations

import contextlib
import io
import logging
import os
import re
import sys
import traceback
import types

ROOT = "tarn_gcp"
QUIET, NORMAL, VERBOSE = 0, 1, 2
_ALERT = "**Alert**"
_TRANSPORT = ROOT + ".cli.transport"
_MODULE = ROOT + ".gcplib"
# The Cloud Router stage's line for a router it cannot customise: name,
# project::network, region.
_DEFAULT_MODE = re.compile(r"  (\S+) in (\S+) (\S+) is in DEFAULT advertize mode, "
                           r"cannot customize route")


def _message(record):
    try:
        return record.getMessage()
    except Exception:
        return ""


def _is_problem(record):
    if record.name.startswith(_TRANSPORT):
        return False  # a retry is a recovery, not a problem of the run
    if record.levelno >= logging.WARNING:
        return True
    message = _message(record)
    return _ALERT in message or (record.name == _MODULE
                                 and _DEFAULT_MODE.fullmatch(message) is not None)


class _ConsoleHandler(logging.Handler):
    def __init__(self, level):
        super().__init__(logging.DEBUG)
        self.threshold = level
        self.setFormatter(logging.Formatter("%(message)s"))

    def emit(self, record):
        if record.levelno < self.threshold and not _is_problem(record):
            return
        try:
            text = self.format(record)
            if record.levelno >= logging.WARNING:
                sys.stdout.flush()
                stream = sys.stderr
            else:
                stream = sys.stdout
            stream.write(text + "\n")
            stream.flush()
        except Exception:
            self.handleError(record)


class _ProblemCounter(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0
        self.skipped_routers = []  # (problem count before, router key)

    def emit(self, record):
        if _is_problem(record):
            found = _DEFAULT_MODE.fullmatch(_message(record))
            if found is not None and record.name == _MODULE:
                name, network, region = found.groups()
                self.skipped_routers.append((self.count, "%s::%s::%s" % (network, region, name)))
            self.count += 1


class Console:
    """Installs the handlers on the "tarn_gcp" logger; ``close`` removes
    them and puts the logger's level back."""

    def __init__(self, verbosity=NORMAL):
        self.verbosity = verbosity
        self.logger = logging.getLogger(ROOT)
        self._old_level = self.logger.level
        level = {QUIET: logging.WARNING, NORMAL: logging.INFO}.get(verbosity, logging.DEBUG)
        self._handler = _ConsoleHandler(level)
        self._counter = _ProblemCounter()
        self.logger.addHandler(self._handler)
        self.logger.addHandler(self._counter)
        # The counter must see info records (the alerts) also when quiet.
        self.logger.setLevel(logging.DEBUG if verbosity >= VERBOSE else logging.INFO)

    @property
    def problems(self):
        """Warnings, errors and alerts logged so far."""
        return self._counter.count

    def default_mode_routers(self, since=0):
        """The routers (project::network::region::name) that the Cloud
        Router stage left alone for their DEFAULT advertise mode, among the
        problems counted from ``since`` on."""
        return [key for count, key in self._counter.skipped_routers if count >= since]

    def summary(self, text):
        """A summary line: always written, also when quiet."""
        sys.stdout.write(text + "\n")
        sys.stdout.flush()

    def close(self):
        self.logger.removeHandler(self._handler)
        self.logger.removeHandler(self._counter)
        self.logger.setLevel(self._old_level)


@contextlib.contextmanager
def tracebacks_to_log(module, logger="tarn_gcp.cli"):
    """Binds ``module.traceback`` (which the module looks up each time it
    prints a traceback) to a stand-in whose ``print_exc`` logs the
    traceback at debug level; puts the real one back afterwards."""
    log = logging.getLogger(logger)

    def print_exc(limit=None, file=None, chain=True):
        if log.isEnabledFor(logging.DEBUG):
            text = traceback.format_exc(limit=limit, chain=chain).rstrip("\n")
            log.debug("%s", text)

    saved = getattr(module, "traceback", traceback)
    stand_in = types.SimpleNamespace(**{name: getattr(traceback, name)
                                        for name in dir(traceback) if not name.startswith("_")})
    stand_in.print_exc = print_exc
    module.traceback = stand_in
    try:
        yield
    finally:
        module.traceback = saved


class _ClosedTolerant:
    """A standard stream whose reader may go away (``tarn_gcp ... | head
    -1``): once a write or flush meets a broken pipe, what follows is
    dropped, the stream's descriptor leading to /dev/null (so that the
    interpreter's last flush finds nowhere to fail), and ``broken`` is set.
    The run goes on: a stage must still save what it changed."""

    def __init__(self, stream):
        self._stream = stream
        self.broken = False

    def __getattr__(self, name):
        return getattr(self.__dict__["_stream"], name)

    def _closed(self):
        self.broken = True
        try:
            fd = self._stream.fileno()
            null = os.open(os.devnull, os.O_WRONLY)
        except (OSError, ValueError, io.UnsupportedOperation, AttributeError):
            return
        try:
            os.dup2(null, fd)
        except OSError:
            pass
        finally:
            os.close(null)

    def write(self, text):
        if not self.broken:
            try:
                return self._stream.write(text)
            except BrokenPipeError:
                self._closed()
        return len(text)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def flush(self):
        if not self.broken:
            try:
                self._stream.flush()
            except BrokenPipeError:
                self._closed()


@contextlib.contextmanager
def closed_output_tolerated():
    """Runs the block with standard output and standard error as
    ``_ClosedTolerant`` streams, put back afterwards; yields the one of
    standard output, whose ``broken`` tells whether its reader went away."""
    saved = sys.stdout, sys.stderr
    out, err = _ClosedTolerant(saved[0]), _ClosedTolerant(saved[1])
    sys.stdout, sys.stderr = out, err
    try:
        yield out
    finally:
        for stream in (out, err):
            stream.flush()
        if sys.stdout is out:
            sys.stdout = saved[0]
        if sys.stderr is err:
            sys.stderr = saved[1]
