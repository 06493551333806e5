"""Fault injection: requests that fail, operations that fail or linger,
and the service's "peering operation in progress" refusal.

Rules match a method id ("compute.routes.insert"; shell-style wildcards such
as "compute.routes.*" work, None matches every method) and optionally a
name, compared with the request's path parameters and the "name" in its
body (for a peering, also the peering's name).  ``call=N`` makes a rule
fire first on the N-th matching call counted from when it was added; it
then fires on ``times`` consecutive matching calls (None: for ever).

The names a rule may match include, for an operation, the project and the
region or zone of a regional or zonal operation, so
``fail_operation("compute.routers.patch", name="europe-west1")`` fails every
router patch in that region.
"""

import fnmatch
import math
import threading

from .errors import ApiError


class Rule:
    """One injected fault; ``fired`` tells how often it has struck."""

    def __init__(self, kind, method, name, call, times, **details):
        if call is not None and call < 1:
            raise ValueError("call counts from 1")
        self.kind = kind
        self.method = method
        self.name = name
        self.call = call or 1
        self.times = times
        self.details = details
        self.seen = 0
        self.fired = 0

    def describe(self):
        """The rule as plain data (the control path answers with it)."""
        out = {"kind": self.kind, "method": self.method, "name": self.name,
               "call": self.call, "times": self.times, "fired": self.fired}
        for key, value in self.details.items():
            if isinstance(value, ApiError):
                value = value.body()["error"]
            elif value == math.inf:
                value = None
            out[key] = value
        return out

    @property
    def spent(self):
        return self.times is not None and self.fired >= self.times

    def strike(self, method, names):
        """Counts a call and tells whether the rule fires for it."""
        if self.spent:
            return False
        if self.method is not None and not fnmatch.fnmatchcase(method or "", self.method):
            return False
        if self.name is not None and self.name not in names:
            return False
        self.seen += 1
        if self.seen < self.call:
            return False
        self.fired += 1
        return True

    def __repr__(self):
        return "Rule(%s, %r, name=%r, call=%d, times=%r, fired=%d)" % (
            self.kind, self.method, self.name, self.call, self.times, self.fired)


class Faults:
    """The faults of one emulator; thread-safe."""

    def __init__(self):
        self._lock = threading.Lock()
        self._rules = []
        self._peering_refusals = 0

    def fail_request(self, method, status=500, message=None, *, name=None, call=None,
                     times=1, reason=None):
        """Makes matching requests fail with HTTP ``status`` before they reach
        the model (nothing changes)."""
        message = message or "Injected failure of %s." % method
        return self._add(Rule("request", method, name, call, times,
                              error=ApiError(status, message, reason)))

    def lose_answer(self, method, *, name=None, call=None, times=1):
        """Matching requests are carried out, then their connection is closed
        before the answer is sent, as when a network path drops it."""
        return self._add(Rule("lose", method, name, call, times))

    def fail_operation(self, method, status=400, message=None, *, name=None, call=None,
                       times=1, code=None):
        """Makes the operation of matching mutations end in error; its change
        is never applied.  ``code`` is the operation's error code
        (default derived from ``status``, e.g. 409 -> RESOURCE_ALREADY_EXISTS)."""
        message = message or "Injected failure of the operation of %s." % method
        return self._add(Rule("operation", method, name, call, times,
                              error=ApiError(status, message, op_code=code)))

    def hold_operation(self, polls, method=None, *, name=None, call=None, times=1,
                       state="RUNNING"):
        """Keeps the operation of matching mutations in ``state`` ("RUNNING",
        or "PENDING": not even started) for ``polls`` further polls before it
        may finish.  ``polls`` None holds it until the emulator's
        ``release_operations`` lets it go.  A held global operation has not
        applied its change; a regional or zonal one has, unless it also
        fails."""
        if state not in ("PENDING", "RUNNING"):
            raise ValueError("an operation is held PENDING or RUNNING, not %r" % (state,))
        if polls is None:
            polls = math.inf
        elif int(polls) < 0:
            raise ValueError("polls must not be negative")
        else:
            polls = int(polls)
        return self._add(Rule("hold", method, name, call, times, polls=polls, state=state))

    def peering_in_progress(self, count=1):
        """Refuses the next ``count`` peering mutations (addPeering,
        removePeering) with the service's HTTP 400 "peering operation in
        progress" answer."""
        with self._lock:
            self._peering_refusals += int(count)

    def clear(self):
        with self._lock:
            self._rules.clear()
            self._peering_refusals = 0

    @property
    def rules(self):
        with self._lock:
            return list(self._rules)

    def _add(self, rule):
        with self._lock:
            self._rules.append(rule)
        return rule

    # Hooks called by the HTTP front and the model.

    def request_fault(self, method, names):
        """The ApiError a request must fail with, or None."""
        with self._lock:
            for rule in self._rules:
                if rule.kind == "request" and rule.strike(method, names):
                    return rule.details["error"]
        return None

    def answer_lost(self, method, names):
        """Whether the answer to a request must be lost."""
        with self._lock:
            return any(rule.kind == "lose" and rule.strike(method, names)
                       for rule in self._rules)

    def operation_fault(self, method, names):
        """(error or None, polls to hold, state held in) for a new
        operation; the state is that of the first matching hold rule."""
        error, hold, state = None, 0, "RUNNING"
        with self._lock:
            for rule in self._rules:
                if rule.kind == "operation" and error is None and rule.strike(method, names):
                    error = rule.details["error"]
                elif rule.kind == "hold" and rule.strike(method, names):
                    if not hold:
                        state = rule.details["state"]
                    hold += rule.details["polls"]
        return error, hold, state

    def take_peering_refusal(self):
        with self._lock:
            if self._peering_refusals > 0:
                self._peering_refusals -= 1
                return True
        return False
