"""Run-wide state shared by the tool and the gcplib methods.

``Globals`` is used through the class itself: the run's Compute service, the
migrated project and VPC, the dry-run switch and the revert information,
which records what each migration stage changed so that a restore can put it
back. The revert information can be saved to and loaded from a JSON file, so
that a restore in a later process finds it.
"""

from __future__ import annotations

import json
import os
import re
import stat
import tempfile
from typing import Any, Optional

from tarn_gcp._documents import json_load, read_document

REVERT_KEYS = ("peerings", "manage_routes", "cloud_routers")


class RevertFileError(ValueError):
    """A revert information file that cannot be read or is malformed."""


def empty_revert_info() -> dict:
    return {key: {} for key in REVERT_KEYS}


class Globals:
    service: Any = None
    project: Optional[str] = None
    vpc: Optional[dict] = None
    networkLink: Optional[str] = None
    routeInfo: Any = None

    _dry_run: bool = False
    _revert_info: dict = empty_revert_info()

    @classmethod
    def getDryRun(cls) -> bool:
        return cls._dry_run

    @classmethod
    def setDryRun(cls, dry_run: bool) -> None:
        cls._dry_run = bool(dry_run)

    @classmethod
    def getRevertInfo(cls) -> dict:
        """The run's revert information: the same dict on every call."""
        return cls._revert_info

    @classmethod
    def setRevertInfo(cls, revert_info: dict) -> None:
        if not isinstance(revert_info, dict):
            raise TypeError("revert information must be a dict")
        for key in REVERT_KEYS:
            revert_info.setdefault(key, {})
        cls._revert_info = revert_info

    @classmethod
    def resetRevertInfo(cls) -> None:
        cls._revert_info = empty_revert_info()

    @classmethod
    def loadRevertInfo(cls, path: str | os.PathLike) -> dict:
        """Makes the revert information saved at `path` the run's own."""
        data = read_document(path, "revert file", "JSON", json_load, ValueError,
                             RevertFileError)
        if not isinstance(data, dict) or any(
            not isinstance(data.get(key, {}), dict) for key in REVERT_KEYS
        ):
            raise RevertFileError(
                f"revert file {os.fspath(path)} must hold an object with "
                + ", ".join(f'"{k}"' for k in REVERT_KEYS)
            )
        cls.setRevertInfo(data)
        return data

    @classmethod
    def saveRevertInfo(cls, path: str | os.PathLike) -> None:
        """Writes the revert information to `path` atomically (see
        `write_atomically`)."""
        text = json.dumps(cls._revert_info, indent=2, sort_keys=False)
        write_atomically(path, text + "\n")


# A save writes a temporary file named ".<file>.saving-<random>.tmp" in the
# folder of the file it replaces.  Earlier versions named it
# ".<file>.<8 random characters>.tmp"; both are recognised as left-overs.
_SAVING = ".saving-"


def temporary_files(path: str | os.PathLike) -> list:
    """The temporary files that saves of `path` (after symbolic links) left
    behind when they were killed before their rename."""
    target = os.path.realpath(os.fspath(path))
    folder, base = os.path.split(target)
    pattern = re.compile(r"\.%s(?:%s[a-z0-9_]+|\.[a-z0-9_]{8})\.tmp\Z"
                         % (re.escape(base), re.escape(_SAVING)))
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    found = []
    for name in names:
        if pattern.match(name):
            full = os.path.join(folder, name)
            if os.path.isfile(full) and not os.path.islink(full):
                found.append(full)
    return sorted(found)


def write_atomically(path: str | os.PathLike, text: str) -> None:
    """Replaces the content of `path` with `text` in one rename.

    A symbolic link at `path` stays a link: the file it leads to is written,
    in that file's folder.  The data goes to a temporary file there, is
    flushed to disk and gets the mode of the file it replaces (0600 for a
    new file); a failure at any point leaves the previous file as it was.
    """
    target = os.path.realpath(os.fspath(path))
    folder, base = os.path.split(target)
    data = text.encode("utf-8")
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    fd, tmp = tempfile.mkstemp(prefix="." + base + _SAVING, suffix=".tmp", dir=folder)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            if mode is not None:
                os.fchmod(fd, mode)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)
