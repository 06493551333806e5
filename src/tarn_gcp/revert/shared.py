"""What the spokes of a migration wave share, kept beside their revert
files: locks on the resources several spokes change (a transit network, a
transit Cloud Router), and the order in which spokes changed each router.

A lock is the lock of a revert store at ``LOCATION/locks/NAME``: an
exclusive flock on a file in a local folder, or, in a bucket, an object
created only if absent (a generation precondition) that holds who took it
and since when, and that only ``tarn_gcp unlock`` removes (or a run on the
same machine that finds its holder's process gone).  Waiting for a lock is
polling: every few milliseconds locally, growing to a second in a bucket.

``holding(names)`` takes several locks always in one order (sorted), so
that two runs that want some of the same locks cannot wait for each other.

The router order is one small JSON object per router at
``LOCATION/routers/NAME.json``: ``{"router": LABEL, "changes": [...]}``,
the spokes' changes in the order they customised the router, each with the
BGP settings before and after it.  It is read and written
only while the router's lock is held.
"""

from __future__ import annotations

import contextlib
import json
import logging
import os
import re
import time

from tarn_gcp.errors import CliError

from .file import open_store
from .store import StoreInUse

log = logging.getLogger("tarn_gcp.cli")

# Seconds between two attempts at a lock that is held: locally, and the
# first and the longest in a bucket.
LOCAL_POLL = 0.005
BUCKET_POLL = (0.05, 1.0)
# How long a wait goes on before it says whom it waits for.
_SAY_AFTER = 10.0


def network_lock(key):
    """The lock name of network ``project::network``."""
    return "network-" + key.replace("::", ".")


def router_lock(project, region, name):
    return "router-%s.%s.%s" % (project, region, name)


def router_key_lock(rkey):
    """The lock name of the router of a revert record's key
    (project::network::region::name)."""
    project, _network, region, name = rkey.split("::")
    return router_lock(project, region, name)


_NAME = re.compile(r"[a-z0-9][-a-z0-9.]*")


def join(location, *parts):
    if location.startswith("gs://"):
        return location.rstrip("/") + "/" + "/".join(parts)
    return os.path.join(location, *parts)


class SharedPlace:
    """The locks and router orders of the wave kept at ``location`` (a
    local folder, or gs://BUCKET/PREFIX)."""

    def __init__(self, location):
        self.location = location
        self.local = not location.startswith("gs://")
        self.waited = 0.0      # seconds spent waiting for locks held by others
        self._held = {}
        self._stores = {}

    def _store(self, folder, name, ext=""):
        """The store of a lock or router order, one per name for the run
        (a bucket's keeps its client and the generation it last read)."""
        if not _NAME.fullmatch(name):
            raise CliError("cannot name a shared lock %r" % name)
        path = join(self.location, folder, name + ext)
        if path not in self._stores:
            if self.local:
                os.makedirs(join(self.location, folder), exist_ok=True)
            self._stores[path] = open_store(path)
        return self._stores[path]

    # ------------------------------------------------------------ locks

    def _take(self, name):
        store = self._store("locks", name)
        started = time.monotonic()
        pause, longest = (LOCAL_POLL, LOCAL_POLL) if self.local else BUCKET_POLL
        said = False
        while True:
            try:
                store.lock()
                break
            except StoreInUse as exc:
                if not said and time.monotonic() - started >= _SAY_AFTER:
                    log.warning("  waiting for the lock %s: %s", name, exc)
                    said = True
            time.sleep(pause)
            pause = min(longest, pause * 1.5)
        self.waited += time.monotonic() - started
        self._held[name] = store

    def release(self, names):
        for name in reversed(names):
            store = self._held.pop(name, None)
            if store is not None:
                store.unlock()

    @contextlib.contextmanager
    def holding(self, names):
        """Holds the locks ``names`` for the block, taken in sorted order;
        those already held by this run are left as they are."""
        taken = []
        try:
            for name in sorted(set(names)):
                if name not in self._held:
                    self._take(name)
                    taken.append(name)
            yield
        finally:
            self.release(taken)

    # ---------------------------------------------------- router orders

    def router_order(self, name, store=None):
        """The changes of router ``name`` (its lock name) by the spokes, in
        the order they were made: {"spoke", "before", "left"}, the BGP
        settings before the spoke's switch and those it left; [] when no
        spoke changed it."""
        store = store or self._store("routers", name, ".json")
        raw = store.read()
        if raw is None:
            return []
        try:
            changes = json.loads(raw.decode("utf-8"))["changes"]
        except (ValueError, KeyError, TypeError, UnicodeDecodeError):
            changes = None
        if not isinstance(changes, list) or not all(
                isinstance(c, dict) and isinstance(c.get("spoke"), str)
                and isinstance(c.get("before"), dict) and isinstance(c.get("left"), dict)
                for c in changes):
            raise CliError("the router order %s is not one" % store.name)
        return changes

    def record_change(self, name, label, spoke, before, left):
        """Puts the change of router ``name`` (held) by ``spoke`` last."""
        store = self._store("routers", name, ".json")
        changes = [c for c in self.router_order(name, store) if c["spoke"] != spoke]
        changes.append({"spoke": spoke, "before": before, "left": left})
        store.replace(json.dumps({"router": label, "changes": changes}, indent=1) + "\n")
