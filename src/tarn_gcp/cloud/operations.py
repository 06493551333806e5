"""The regional operations of the Cloud Router patches.

gcplib sends a router patch and goes on without looking at the regional
operation the patch returns, so a patch that the API accepts and that then
fails would read as done.  For the Cloud Router stage and its restore the
command line hands the module a thin wrapper around its Compute service:
everything passes through unchanged, and the operation that each executed
``routers().patch(...)`` returned is kept.  When the stage is over, each
kept operation is waited for with ``regionOperations().wait`` until it is
DONE; an operation that ends with an "error", or that cannot be followed,
is a problem of that router: it is logged, and the router does not count
as customised or patched back.
"""

from __future__ import annotations

import dataclasses
import logging
from typing import Any, Optional, Tuple

from tarn_gcp.revert.document import router_label

from .compute import api_failure

log = logging.getLogger("tarn_gcp.cli")


@dataclasses.dataclass(eq=False)
class Patch:
    """One executed router patch and what became of its operation.

    ``failure`` is None while the operation is unknown or succeeded, else a
    text saying why the patch failed or may not have taken effect;
    ``unknown`` tells the latter (its operation could not be followed)."""

    place: Tuple[Any, Any, Any]  # project, region, router
    operation: Any
    done: bool = False
    failure: Optional[str] = None
    unknown: bool = False


class _Passing:
    """Forwards every attribute to the wrapped object."""

    def __init__(self, inner, patches):
        self._inner = inner
        self._patches = patches

    def __getattr__(self, name):
        return getattr(self._inner, name)


class _Service(_Passing):
    def routers(self, *args, **kwargs):
        return _Routers(self._inner.routers(*args, **kwargs), self._patches)


class _Routers(_Passing):
    def patch(self, *args, **kwargs):
        return _PatchRequest(self._inner.patch(*args, **kwargs), self._patches, kwargs)


class _PatchRequest(_Passing):
    def __init__(self, inner, patches, kwargs):
        super().__init__(inner, patches)
        self._where = (kwargs.get("project"), kwargs.get("region"), kwargs.get("router"))

    def execute(self, *args, **kwargs):
        operation = self._inner.execute(*args, **kwargs)
        self._patches.sent.append(Patch(self._where, operation))
        return operation


class RouterPatches:
    """The router patches of one stage run, sent through ``service``."""

    def __init__(self, service):
        self.compute = service
        self.service = _Service(service, self)
        self.sent = []

    def followed(self, entry):
        """``entry`` (a stage entry point) followed by the wait for the
        operations of its patches, also when it stops on an error; an
        interrupt is not held up by waits."""

        def run(*args):
            try:
                entry(*args)
            except Exception:
                self.settle()
                raise
            self.settle()

        return run

    def settle(self):
        """Waits for every patch's operation to be DONE; logs each one that
        failed or could not be followed."""
        for patch in self.sent:
            if patch.done:
                continue
            try:
                operation = self._wait(patch)
            except Exception as exc:
                patch.unknown = True
                self._fail(patch, "may not have taken effect: its operation could not be "
                                  "followed: %s" % api_failure(exc))
                continue
            patch.done = True
            error = operation.get("error")
            if error:
                self._fail(patch, "failed: operation %s ended in error: %s"
                           % (operation.get("name", "?"), _error_text(operation, error)))

    def _wait(self, patch):
        operation = patch.operation
        if not isinstance(operation, dict) or not isinstance(operation.get("name"), str):
            raise ValueError("the patch returned no operation: %r" % (operation,))
        project, region, router = patch.place
        while operation.get("status") != "DONE":
            log.debug("  waiting for the patch of %s (%s)", router, operation.get("status"))
            operation = self.compute.regionOperations().wait(
                project=project, region=region, operation=operation["name"]).execute()
            if not isinstance(operation, dict):
                raise ValueError("the wait returned no operation: %r" % (operation,))
        return operation

    def _fail(self, patch, text):
        patch.done = True
        patch.failure = text
        project, region, router = patch.place
        log.error("  **Error** the patch of Cloud Router %s in %s %s %s",
                  router, project, region, text)

    def outcome(self, rkey):
        """"done" when the router of ``rkey`` (project::network::region::name)
        was patched and its last patch's operation ended without error,
        "unknown" when that operation could not be followed, else "failed"
        (no patch was sent, or its operation ended in error)."""
        parts = rkey.split("::")
        last = None
        for patch in self.sent:
            if len(parts) == 4 and patch.place == (parts[0], parts[2], parts[3]):
                last = patch
        if last is None or not last.done:
            return "failed"
        return "unknown" if last.unknown else ("failed" if last.failure else "done")

    def summary(self, action, before, after, key, skipped=()):
        """What the stage (``action`` "switch") or the restore did to the
        routers of the migrated VPC ``key``, from the revert information
        before and after it: only routers whose patch took effect count;
        those the stage left alone (``skipped``) are named not customised."""
        routers = list(after["cloud_routers"].get(key, {}))
        if action == "switch":
            routers = [r for r in routers if r not in before["cloud_routers"].get(key, {})]
            routers += [r for r in skipped if r not in routers]
            if not routers:
                return "no Cloud Router newly customised for %s" % key
        elif not routers:
            return "no Cloud Router recorded for %s" % key
        verb = "customised" if action == "switch" else "patched back"
        text = ""
        for outcome, label in (("done", verb), ("failed", "not " + verb),
                               ("unknown", "perhaps " + verb)):
            these = [r for r in routers if self.outcome(r) == outcome]
            if these or outcome == "done":
                text += "%s%s %d Cloud Router(s)" % ("; " if text else "", label, len(these))
            if these:
                text += " (%s)" % ", ".join(map(router_label, these))
        return text


def _error_text(operation, error):
    errors = error.get("errors") if isinstance(error, dict) else None
    texts = [e.get("message") or e.get("code") or "?" for e in errors or []
             if isinstance(e, dict)]
    text = "; ".join(texts) or str(error)
    status = operation.get("httpErrorStatusCode")
    return "%s (HTTP %s)" % (text, status) if status is not None else text
