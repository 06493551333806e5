"""A revert file on this machine: ``--revert FILE``."""

from __future__ import annotations

import errno
import fcntl
import os
import socket
import stat
import time

from tarn_gcp.errors import CliError

from .store import RevertStore, StoreInUse, write_new_file


class LocalRevertStore(RevertStore):
    """A revert file on this machine.

    A symbolic link at the path stays a link: the file it leads to is read
    and written (in that file's folder, keeping its mode).  The lock is an
    exclusive ``flock`` on ``<file>.lock`` beside that file, which holds the
    pid, host and start time of the run; the kernel drops the lock when the
    process ends however it ends, so the lock file of a dead run is simply
    taken over.  The lock file is removed when the run is done.

    The lock is named after one name of the file: a file with hard links
    (other names) would have a lock for each, and two runs through two
    names would not exclude each other.  Such a file is refused.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        self.name = self.path
        self._lock_fd = None
        self._lock_path = None

    @property
    def target(self):
        """The file written: the path, or the file its links lead to."""
        return os.path.realpath(self.path)

    def check(self):
        try:
            mode = os.stat(self.path).st_mode
        except FileNotFoundError:
            mode = None
        except OSError as exc:
            raise CliError("cannot use revert file %s: %s" % (self.path, exc.strerror or exc))
        if mode is not None and stat.S_ISDIR(mode):
            raise CliError("revert file %s is a folder" % self.path)
        if mode is not None and not stat.S_ISREG(mode):
            raise CliError("revert file %s is not a regular file" % self.path)
        self._check_links()
        folder = os.path.dirname(self.target)
        if not os.path.isdir(folder):
            raise CliError("cannot write revert file %s: no folder %s" % (self.path, folder))
        if not os.access(folder, os.W_OK | os.X_OK):
            raise CliError("cannot write revert file %s: folder %s is not writable"
                           % (self.path, folder))

    # ------------------------------------------------------------ lock

    def lock(self):
        from tarn_gcp.res.Globals import temporary_files

        if self._lock_fd is not None:
            return
        lock_path = self.target + ".lock"
        for _ in range(20):
            try:
                fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC,
                             0o644)
            except OSError as exc:
                raise CliError("cannot lock revert file %s: %s" % (
                    self.path, exc.strerror or exc)) from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as exc:
                holder = _read_holder(fd) if exc.errno in (errno.EAGAIN, errno.EACCES) else None
                os.close(fd)
                if holder is None:
                    raise CliError("cannot lock revert file %s: %s" % (
                        self.path, exc.strerror or exc)) from None
                raise StoreInUse("revert file %s is in use by %s" % (self.path, holder)) from None
            # The holder before may have removed the file between our open
            # and our lock: the lock only counts on the file at the path.
            try:
                same = os.path.samestat(os.fstat(fd), os.stat(lock_path))
            except FileNotFoundError:
                same = False
            if same:
                break
            os.close(fd)
        else:
            raise CliError("cannot lock revert file %s: its lock file keeps changing" % self.path)
        try:
            record = "pid %d\nhost %s\nsince %s\n" % (
                os.getpid(), socket.gethostname(),
                time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()))
            os.ftruncate(fd, 0)
            os.pwrite(fd, record.encode("utf-8"), 0)
        except OSError:
            pass  # the lock holds without its description
        self._lock_fd, self._lock_path = fd, lock_path
        try:
            self._check_links()
        except CliError:
            self.unlock()
            raise
        # Saves of this file killed before their rename left these behind;
        # with the lock held no save of it is running.
        for leftover in temporary_files(self.path):
            try:
                os.unlink(leftover)
            except OSError:
                pass

    def _check_links(self):
        """CliError when the file has other names (hard links) too."""
        try:
            info = os.stat(self.path)
        except OSError:
            return  # no file yet, or reported where it is read
        if stat.S_ISREG(info.st_mode) and info.st_nlink > 1:
            raise CliError("revert file %s has %d hard links: runs through its other names "
                           "would not see this run's lock; keep it under one name (copy it, "
                           "or remove the other links)" % (self.path, info.st_nlink))

    def unlock(self):
        fd, self._lock_fd = self._lock_fd, None
        if fd is None:
            return
        try:
            os.unlink(self._lock_path)
        except OSError:
            pass
        os.close(fd)

    # ------------------------------------------------------ read, write

    def read(self):
        # A FIFO or a device must not block the run: opened without
        # waiting, and refused unless it is a regular file.
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except FileNotFoundError:
            return None
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise CliError("revert file %s is not a regular file" % self.path)
            chunks = []
            while True:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)
        finally:
            os.close(fd)

    def replace(self, text):
        from tarn_gcp.res.Globals import write_atomically

        write_atomically(self.path, text)

    def write_aside(self, text, kind):
        stamp = time.strftime("%Y%m%dT%H%M%S")
        return write_new_file(
            lambda suffix: "%s.%s-%s%s" % (self.path, kind, stamp, suffix), text,
            "beside %s" % self.path)

    # ---------------------------------------------------------- journal

    @property
    def journal_path(self):
        """FILE.journal beside the file written: one JSON entry a line."""
        return self.target + ".journal"

    def journal_append(self, run, seq, text):
        path = self.journal_path
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC,
                     0o600)
        size = None
        try:
            size = os.fstat(fd).st_size
            view = memoryview((text + "\n").encode("utf-8"))
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        except BaseException:
            # no entry cut short is left behind (a full disk, a signal)
            if size is not None:
                try:
                    os.ftruncate(fd, size)
                    if size == 0:
                        os.unlink(path)
                except OSError:
                    pass
            raise
        finally:
            os.close(fd)
        new = size == 0
        if new:
            _sync_folder(os.path.dirname(path))

    def journal_read(self):
        try:
            with open(self.journal_path, "rb") as handle:
                raw = handle.read()
        except FileNotFoundError:
            return []
        return raw.decode("utf-8", "replace").splitlines()

    def journal_clear(self):
        try:
            os.unlink(self.journal_path)
        except FileNotFoundError:
            return
        _sync_folder(os.path.dirname(self.journal_path))


def _sync_folder(folder):
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _read_holder(fd):
    """"pid N since T" (and " on HOST" when elsewhere) from a lock file."""
    fields = {}
    for attempt in range(3):
        try:
            text = os.pread(fd, 4096, 0).decode("utf-8", "replace")
        except OSError:
            text = ""
        fields = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
        if "pid" in fields:
            break
        time.sleep(0.05)  # the holder has locked but not yet written
    text = "pid %s since %s" % (fields.get("pid", "?"), fields.get("since", "?"))
    host = fields.get("host")
    if host and host != socket.gethostname():
        text += " on " + host
    return text

