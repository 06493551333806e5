"""Ctrl-C, SIGTERM and SIGHUP: stopping a run where Python can stop it.

While the command line runs, the three signals raise an interrupt in the
main thread at the next point where Python code runs: ``KeyboardInterrupt``
for SIGINT, ``Stopped`` (a ``KeyboardInterrupt`` too, so that everything
that lets an interrupt through lets it through) for SIGTERM and SIGHUP.
The stage in progress stops there; its revert information is then saved.

``deferred()`` holds the signals back while something that must not be
cut short runs (the save of the revert information): a signal arriving
meanwhile is remembered and raised when the block ends.  ``held_back()``
keeps it for later still: a signal that arrives while a change is sent to
the API is raised when the next request starts (``raise_pending()``), so
that the caller has learnt, and recorded, what the change was.
"""

from __future__ import annotations

import contextlib
import signal
import threading

SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                if hasattr(signal, name))


class Stopped(KeyboardInterrupt):
    """The run was asked to stop by SIGTERM or SIGHUP."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    def __str__(self):
        return signal.Signals(self.signum).name


def status_of(interrupt):
    """The exit status of a run ended by ``interrupt``: 128 plus the
    signal's number (130 for Ctrl-C)."""
    return 128 + getattr(interrupt, "signum", signal.SIGINT)


def describe(interrupt):
    """"interrupted", "terminated (SIGTERM)" or "hung up (SIGHUP)"."""
    signum = getattr(interrupt, "signum", signal.SIGINT)
    if signum == signal.SIGINT:
        return "interrupted"
    if signum == getattr(signal, "SIGHUP", None):
        return "hung up (SIGHUP)"
    return "terminated (%s)" % signal.Signals(signum).name


def _interrupt_for(signum):
    return KeyboardInterrupt() if signum == signal.SIGINT else Stopped(signum)


class _State:
    armed = True       # whether a signal raises now
    pending = None     # the first signal that arrived while held back


def _handler(signum, frame):
    if not _State.armed:
        if _State.pending is None:
            _State.pending = signum
        return
    # One interrupt at a time: until release(), further signals wait, so
    # that the code that handles this one (and saves) is not cut short.
    _State.armed = False
    raise _interrupt_for(signum)


@contextlib.contextmanager
def handled(for_good=False):
    """Installs the handlers for the block (main thread only; elsewhere the
    signals keep their handlers) and puts the previous ones back; with
    ``for_good`` (the process ends with the block) the signals are ignored
    afterwards instead: the run is over and its exit status decided, so a
    late signal must not turn it into a death by that signal."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    _State.armed, _State.pending = True, None
    try:
        for signum in SIGNALS:
            previous[signum] = signal.signal(signum, _handler)
        yield
    finally:
        _State.armed = False     # nothing raises while the handlers go
        for signum, old in previous.items():
            if for_good:
                old = signal.SIG_IGN
            signal.signal(signum, old if old is not None else signal.SIG_DFL)
        _State.armed, _State.pending = True, None


def hold():
    """From now on signals are held back until ``release()``."""
    _State.armed = False


def release(raise_pending=True):
    """Signals raise again; the first one held back meanwhile is raised now
    (or forgotten when ``raise_pending`` is false)."""
    signum, _State.pending = _State.pending, None
    _State.armed = True
    if signum is not None and raise_pending:
        _State.armed = False
        raise _interrupt_for(signum)


@contextlib.contextmanager
def deferred():
    """Holds the signals back for the block; one that arrived meanwhile is
    raised when the block has ended normally."""
    was_armed = _State.armed
    hold()
    try:
        yield
    except BaseException:
        if was_armed:
            release(raise_pending=False)
        raise
    if was_armed:
        release()


@contextlib.contextmanager
def held_back():
    """Holds the signals back for the block without raising them at its
    end: one that arrived stays pending until ``raise_pending()`` (or
    ``release()``).  For a change sent to the API: stopping while its
    answer is read would leave a change made that nobody recorded."""
    was_armed = _State.armed
    _State.armed = False
    try:
        yield
    finally:
        if was_armed:
            _State.armed = True


def raise_pending():
    """Raises the interrupt of a signal held back by ``held_back()``, if
    any (and if signals raise now)."""
    if _State.armed and _State.pending is not None:
        release()


def keep(interrupt):
    """Holds back ``interrupt``, raised by a signal where it could not
    propagate (in a finalizer): it is raised at the next ``release()`` or
    ``raise_pending()`` instead, as if it had come while held back."""
    if _State.pending is None:
        _State.pending = getattr(interrupt, "signum", signal.SIGINT)
    # The handler disarmed the signals as it raised; the run was not holding
    # them back then, so they are armed again, this one pending.
    _State.armed = True


def stop_for(signum):
    """The interrupt of ``signum``, a signal held back meanwhile, to raise
    now; signals are held back from here on, as after the handler raised
    it.  For a wait given up because of that signal."""
    hold()
    return _interrupt_for(signum)


def pending():
    """The number of the signal held back so far, or None."""
    return _State.pending
