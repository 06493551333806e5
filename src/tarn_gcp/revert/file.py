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

import json

from tarn_gcp._documents import json_loads
from tarn_gcp.errors import CliError

from .document import (FILE_KEYS, OWNER_KEY, check_shape, describe, dump, first_missing,
                       new_revert_info, owners, too_deep)
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

    def write_aside(self, text):
        """Puts ``text`` (revert information that could not be saved) in a
        new file beside the revert file; returns its name."""
        return self.store.write_aside(text, "unsaved")

