"""The revert file: what the stages changed, kept between processes.

The file is the JSON that ``Globals.saveRevertInfo`` writes and
``Globals.loadRevertInfo`` reads: the revert information with its
"peerings", "manage_routes" and "cloud_routers" entries, every entry keyed
by the migrated VPC as project::vpc.  The command line adds one key of its
own, "vpc", naming that VPC, so that a file records which VPC it belongs to
even while its entries are still empty.  A file belongs to the plan's VPC
when its "vpc" (if any) and every entry key name that VPC.

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
import errno
import fcntl
import json
import os
import socket
import stat
import time

from tarn_gcp.res.Globals import REVERT_KEYS, empty_revert_info

from .errors import CliError

OWNER_KEY = "vpc"
FILE_KEYS = (OWNER_KEY,) + REVERT_KEYS


def new_revert_info(vpc_key):
    """The revert information of a VPC that no stage has changed yet."""
    return {OWNER_KEY: vpc_key, **empty_revert_info()}


# Revert records are a few levels deep; anything far deeper is not one (and
# would exhaust the recursion of the JSON encoder and of the comparisons).
MAX_DEPTH = 48
_PAIR_KEYS = ("network", "name", "exportCustomRoutes", "importCustomRoutes",
              "exchangeSubnetRoutes", "exportSubnetRoutesWithPublicIp",
              "importSubnetRoutesWithPublicIp", "stackType")


def first_missing(old, new, path=()):
    """The path of the first thing in ``old`` that ``new`` lacks, or None
    when ``new`` holds all of ``old``.  Mappings must hold every key of the
    old one with a value holding the old value; lists must hold, for each
    old element, an element holding it; other values must be equal."""
    if isinstance(old, dict):
        if not isinstance(new, dict):
            return path
        for key, value in old.items():
            if key not in new:
                return path + (key,)
            missing = first_missing(value, new[key], path + (key,))
            if missing is not None:
                return missing
        return None
    if isinstance(old, list):
        if not isinstance(new, list):
            return path
        for index, item in enumerate(old):
            if not any(first_missing(item, candidate) is None for candidate in new):
                return path + (index,)
        return None
    if isinstance(old, bool) or isinstance(new, bool):
        # true and 1 are equal to Python, not in a record
        return None if type(old) is type(new) and old == new else path
    return None if old == new else path


def describe(path):
    return "/".join(str(part) for part in path) or "the whole file"


def owners(data):
    """The VPCs (project::vpc) a revert information names."""
    found = set()
    if isinstance(data.get(OWNER_KEY), str):
        found.add(data[OWNER_KEY])
    found.update(data.get("peerings", {}))
    for records in data.get("manage_routes", {}).values():
        found.update(records)
    found.update(data.get("cloud_routers", {}))
    return found


def check_shape(data):
    """The first malformed part of a loaded revert information, or None."""
    owner = data.get(OWNER_KEY)
    if owner is not None and (not isinstance(owner, str) or len(owner.split("::")) != 2):
        return '"vpc" must read project::vpc'
    for key, pairs in data["peerings"].items():
        if not isinstance(pairs, list):
            return "peerings/%s must be a list of peering pairs" % key
        for i, pair in enumerate(pairs):
            where = "peerings/%s/%d" % (key, i)
            if not isinstance(pair, dict) or not isinstance(pair.get("localPeeringProperties"),
                                                            dict):
                return where + " must hold localPeeringProperties"
            remote = pair.get("remotePeeringProperties")
            if remote is not None and not isinstance(remote, dict):
                return where + "/remotePeeringProperties must be a peering record or null"
            for side in ("localPeeringProperties", "remotePeeringProperties"):
                record = pair.get(side)
                if record is None:
                    continue
                for field in _PAIR_KEYS:
                    if field not in record:
                        return "%s/%s lacks %s" % (where, side, field)
    for stage, records in data["manage_routes"].items():
        if not isinstance(records, dict):
            return "manage_routes/%s must map VPCs to route records" % stage
        for key, record in records.items():
            where = "manage_routes/%s/%s" % (stage, key)
            if not isinstance(record, dict):
                return where + " must be a route record"
            deleted = record.get("deleted_route_list")
            added = record.get("added_route_list")
            if not isinstance(deleted, list) or not all(isinstance(r, dict) for r in deleted):
                return where + "/deleted_route_list must be a list of routes"
            if not isinstance(added, list) or not all(isinstance(n, str) for n in added):
                return where + "/added_route_list must be a list of route names"
    for key, routers in data["cloud_routers"].items():
        if not isinstance(routers, dict):
            return "cloud_routers/%s must map routers to their saved settings" % key
        for rkey, bgp in routers.items():
            parts = rkey.split("::")
            if len(parts) != 4 or not all(parts):
                return "cloud_routers/%s/%s must read project::network::region::router" % (
                    key, rkey)
            if not isinstance(bgp, dict):
                return "cloud_routers/%s/%s must be saved bgp settings" % (key, rkey)
    return None


def too_deep(data, limit=MAX_DEPTH):
    """Whether ``data`` nests lists and mappings deeper than ``limit``."""
    level = [data]
    for _ in range(limit + 1):
        inner = []
        for value in level:
            if isinstance(value, dict):
                inner.extend(value.values())
            elif isinstance(value, list):
                inner.extend(value)
        if not inner:
            return False
        level = inner
    return True


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


class LocalRevertStore(RevertStore):
    """A revert file on this machine.

    A symbolic link at the path stays a link: the file it leads to is read
    and written (in that file's folder, keeping its mode).  The lock is an
    exclusive ``flock`` on ``<file>.lock`` beside that file, which holds the
    pid, host and start time of the run; the kernel drops the lock when the
    process ends however it ends, so the lock file of a dead run is simply
    taken over.  The lock file is removed when the run is done.
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
        # Saves of this file killed before their rename left these behind;
        # with the lock held no save of it is running.
        for leftover in temporary_files(self.path):
            try:
                os.unlink(leftover)
            except OSError:
                pass

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


def open_store(path):
    """The store of a --revert argument: a Cloud Storage object for
    gs://BUCKET/PATH, else a file on this machine."""
    if isinstance(path, str) and path.startswith("gs://"):
        from .bucket_store import BucketRevertStore

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
            data = json.loads(raw.decode("utf-8"))
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
        sentinel string when it cannot be read as JSON."""
        try:
            raw = self.store.read()
            return None if raw is None else json.loads(raw.decode("utf-8"))
        except (OSError, ValueError, CliError) as exc:
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


def dump(info):
    """The revert information as the JSON text of a revert file."""
    return json.dumps(copy.deepcopy(info), indent=2)
