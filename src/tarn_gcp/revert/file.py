"""The revert file: what the stages changed, kept between processes.

Before a stage or a restore the file is read and checked; afterwards the
revert information is written back atomically.  The file is never replaced
by revert information that holds less than it: every entry, record and
value in the file must still be found in what is written (records may be
added, and records may gain keys, nothing may go missing or change).  When
that does not hold, the file is left as it is, the new revert information
is written to a new file beside it, and the refusal is reported.

A revert file is kept in a ``RevertStore``: ``LocalRevertStore`` for a
file on this machine.  The store gives one run at a time the file (its
lock), reads it, replaces it atomically and writes copies beside it; the
checks above are made here, the same for every store.
"""

from __future__ import annotations

import copy
import json

from tarn_gcp._documents import json_loads
from tarn_gcp.errors import CliError

from .document import (FILE_KEYS, OWNER_KEY, check_shape, describe, dump, first_missing,
                       new_revert_info, owners, too_deep)
from .journal import Journal, describe_run, merge, parse_entries, recover, runs
from .local import LocalRevertStore
from .store import RevertStore


def open_store(path):
    """The store of a --revert argument: a Cloud Storage object for
    gs://BUCKET/PATH, else a file on this machine."""
    if isinstance(path, str) and path.startswith("gs://"):
        from .bucket import BucketRevertStore

        return BucketRevertStore(path)
    return LocalRevertStore(path)


class RevertFile:
    """The revert file of one run, for the migrated VPC ``vpc_key``.

    ``where`` is a path or a RevertStore."""

    def __init__(self, where, vpc_key):
        self.store = where if isinstance(where, RevertStore) else open_store(where)
        self.vpc_key = vpc_key
        # records of the file that this run may drop: a restored stage's
        # record, used up, replaced by the record of a new switch
        self.replaced = []

    @property
    def path(self):
        return self.store.name

    def check_writable(self):
        """CliError unless the file can be kept where it is asked for."""
        self.store.check()

    def lock(self):
        self.store.lock()

    def unlock(self):
        self.store.unlock()

    def _parse(self, raw):
        """The JSON of the file's bytes; CliError when they are not a
        revert file."""
        try:
            data = json_loads(raw.decode("utf-8"))
        except UnicodeDecodeError as exc:
            raise CliError("revert file %s is not valid JSON: %s" % (self.path, exc)) from None
        except ValueError as exc:
            raise CliError("revert file %s is not valid JSON: %s" % (self.path, exc)) from None
        except RecursionError:
            raise CliError("revert file %s is nested too deeply to be a revert file"
                           % self.path) from None
        if not isinstance(data, dict) or any(
                not isinstance(data.get(key, {}), dict) for key in FILE_KEYS[1:]):
            raise CliError('revert file %s must hold an object with "peerings", '
                           '"manage_routes", "cloud_routers"' % self.path)
        foreign = [key for key in data if key not in FILE_KEYS]
        if foreign:
            raise CliError("%s is not a revert file: it holds %s" % (
                self.path, ", ".join(json.dumps(key) for key in foreign[:5])))
        if too_deep(data):
            raise CliError("revert file %s is nested too deeply to be a revert file"
                           % self.path)
        return data

    def load(self, required):
        """Makes the file's revert information the run's own, after checking
        it; a missing file gives empty revert information unless
        ``required``.  Returns the revert information."""
        from tarn_gcp.res.Globals import Globals

        try:
            raw = self.store.read()
        except OSError as exc:
            raise CliError("cannot read revert file %s: %s" % (self.path, exc.strerror or exc)
                           ) from None
        if raw is None:
            if required:
                raise CliError("cannot read revert file %s: it does not exist" % self.path)
            info = new_revert_info(self.vpc_key)
            Globals.setRevertInfo(info)
            return info
        info = self._parse(raw)
        for key in FILE_KEYS[1:]:
            info.setdefault(key, {})
        problem = check_shape(info)
        if problem is not None:
            raise CliError("revert file %s is malformed: %s" % (self.path, problem))
        others = sorted(owners(info) - {self.vpc_key})
        if others:
            raise CliError("revert file %s belongs to %s, not to the plan's VPC %s"
                           % (self.path, ", ".join(others), self.vpc_key))
        info.setdefault(OWNER_KEY, self.vpc_key)
        Globals.setRevertInfo(info)
        return info

    def _on_disk(self):
        """The file's JSON as it is now; None when there is no file; a
        sentinel string when what is there is not a revert file's JSON.
        OSError when the store cannot be read (a bucket that does not
        answer): then nothing is known to be lost, and the save fails as
        unsaved instead of being refused."""
        try:
            raw = self.store.read()
        except CliError as exc:
            return "unreadable (%s)" % exc
        try:
            return None if raw is None else json_loads(raw.decode("utf-8"))
        except ValueError as exc:
            return "unreadable (%s)" % exc
        except RecursionError:
            return "unreadable (nested too deeply)"

    def save(self):
        """Writes the run's revert information to the file atomically.

        Returns "saved" or "unchanged".  Raises CliError (after writing
        the revert information to a new file beside it) when the file holds
        something the revert information lacks; OSError when it cannot be
        written."""
        from tarn_gcp.res.Globals import Globals

        info = Globals.getRevertInfo()
        info.setdefault(OWNER_KEY, self.vpc_key)
        text = dump(info) + "\n"
        current = self._on_disk()
        plain = json.loads(text)
        if current is not None:
            missing = ("the file is " + current) if isinstance(current, str) else None
            if missing is None:
                current = _without(current, self.replaced)
                try:
                    path = first_missing(current, plain)
                except RecursionError:
                    path = ("(nested too deeply)",)
                if path is not None:
                    missing = "%s would be lost" % describe(path)
            if missing is not None:
                refused = self.store.write_aside(text, "refused")
                raise CliError("revert file %s not replaced: %s; it is left as it was and the "
                               "new revert information is in %s" % (self.path, missing, refused))
            if current == plain:
                return "unchanged"
        self.store.replace(text)
        return "saved"

    # ---------------------------------------------------------- journal

    def journal(self):
        """A new journal of this run's changes, kept beside the file."""
        return Journal(self.store)

    def journal_entries(self):
        """The entries of the journal beside the file ([] without one)."""
        try:
            return parse_entries(self.store.journal_read())
        except OSError as exc:
            raise CliError("cannot read the journal of revert file %s: %s"
                           % (self.path, exc.strerror or exc)) from None

    def recover(self, route_exists=None, entries=None):
        """Adds to the run's revert information the records that the journal
        beside the file holds and it lacks (of runs that were killed, or of
        this run's own changes: ``entries``, else what the journal holds).
        Returns (records added, the runs they came from as text)."""
        from tarn_gcp.res.Globals import Globals

        if entries is None:
            entries = self.journal_entries()
        if not entries:
            return 0, []
        added = merge(Globals.getRevertInfo(), recover(entries, route_exists))
        return added, [describe_run(run) for run in runs(entries)]

    def clear_journal(self):
        """Removes the journal once the revert information that holds its
        records is saved."""
        self.store.journal_clear()

    def write_aside(self, text):
        """Puts ``text`` (revert information that could not be saved) in a
        new file beside the revert file; returns its name."""
        return self.store.write_aside(text, "unsaved")


def _without(data, paths):
    """``data`` without the records at ``paths`` (tuples of keys)."""
    if not paths or not isinstance(data, dict):
        return data
    data = copy.deepcopy(data)
    for path in paths:
        node = data
        for part in path[:-1]:
            node = node.get(part) if isinstance(node, dict) else None
        if isinstance(node, dict):
            node.pop(path[-1], None)
    return data
