"""Where a revert file is kept: the interface every store implements, and
what the stores share."""

from __future__ import annotations

import errno
import os

from tarn_gcp.errors import CliError


class StoreInUse(CliError):
    """Another run holds the revert file."""


class RevertStore:
    """Where one revert file is kept.

    A run takes the store's ``lock`` before it reads anything and keeps it
    until the revert information is saved; ``unlock`` gives it back.  While
    the lock is held: ``read`` returns the file's bytes (None when there is
    no file yet), ``replace`` swaps in new content in one step, so that a
    reader sees the old content or the new one, never a part, and
    ``write_aside`` writes a new object beside the file and returns where.
    ``name`` is how messages refer to the file.
    """

    name = "?"

    def check(self):
        """CliError unless a revert file can be kept there (before
        anything is read or changed)."""

    def lock(self):
        """Takes the file for this run; StoreInUse when another run has it."""
        raise NotImplementedError

    def unlock(self):
        raise NotImplementedError

    def read(self):
        raise NotImplementedError

    def replace(self, text):
        raise NotImplementedError

    def write_aside(self, text, kind):
        raise NotImplementedError

    # The write-ahead journal kept beside the file (see journal.py): entries
    # are added one at a time, each durable when the call returns.

    def journal_append(self, run, seq, text):
        raise NotImplementedError

    def journal_read(self):
        """The texts of the journal's entries, in the order written ([]
        when there is none)."""
        raise NotImplementedError

    def journal_clear(self):
        raise NotImplementedError



def write_new_file(candidate, text, where):
    """Writes ``text`` to the first of ``candidate("")``, ``candidate("-1")``,
    ... that does not exist yet (created exclusively, mode 0600, flushed to
    disk) and returns its name; a file left half written is removed."""
    for n in range(1000):
        name = candidate("-%d" % n if n else "")
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            continue
        try:
            view = memoryview(text.encode("utf-8"))
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        except BaseException:
            os.close(fd)
            try:
                os.unlink(name)
            except OSError:
                pass
            raise
        os.close(fd)
        return name
    raise OSError(errno.EEXIST, "no free name %s" % where)

