"""``tarn_gcp unlock``: the lock of a revert file kept in a bucket, shown
and, with ``--yes``, removed after a run that died holding it.  A lock
whose run is still alive on this host is not removed."""

from __future__ import annotations

import json
import sys

from tarn_gcp.errors import CliError
from tarn_gcp.revert import open_store
from tarn_gcp.revert.bucket import (BucketRevertStore, StorageFailure, holder_state, holder_text,
                                   stale_hint)

HELP = ("show the lock of a revert file kept in a bucket and, with --yes, remove it (after a "
        "run that died holding it)")
EXAMPLES = """\
  tarn_gcp unlock --revert gs://my-bucket/team/revert.json
  tarn_gcp unlock --revert gs://my-bucket/team/revert.json --yes"""


def unlock_command(url, confirmed, out=None):
    """``tarn_gcp unlock --revert URL [--yes]``: shows the lock of a revert
    file and, when confirmed, removes it.  Returns the exit status."""
    out = out or sys.stdout
    store = open_store(url)
    store.check()
    if not isinstance(store, BucketRevertStore):
        # A local file's lock is the kernel's and ends with its holder.
        store.lock()
        store.unlock()
        out.write("revert file %s is not in use; a local revert file's lock ends with the run "
                  "that holds it, so there is nothing to remove\n" % url)
        return 0
    try:
        held = store.lock_holder()
    except StorageFailure as exc:
        raise CliError(str(exc)) from None
    if held is None:
        out.write("revert file %s is not locked: there is no %s\n" % (url, store.lock_url))
        return 0
    record, generation = held
    if confirmed and holder_state(record) == "alive":
        raise CliError("revert file %s is in use by %s, a run still alive on this host: its lock "
                       "stays (tarn_gcp unlock --revert %s --yes removes a lock only once its "
                       "run is gone)" % (url, holder_text(record), url))
    out.write("lock %s, held by %s%s:\n" % (store.lock_url, holder_text(record),
                                           stale_hint(record)))
    body = json.dumps(record, indent=2) if isinstance(record, dict) else str(record)
    out.write("".join("  " + line + "\n" for line in body.splitlines()))
    if not confirmed:
        out.flush()
        raise CliError("lock %s left in place: make sure that run is gone, then remove it with "
                       "tarn_gcp unlock --revert %s --yes" % (store.lock_url, url))
    try:
        removed = store.remove_lock(generation)
    except StorageFailure as exc:
        raise CliError(str(exc)) from None
    if not removed:
        raise CliError("lock %s not removed: it changed while it was shown (another run took "
                       "or gave it back); look again" % store.lock_url)
    out.write("lock %s removed\n" % store.lock_url)
    return 0
