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
import tempfile
from typing import Any, Optional

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
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except OSError as e:
            raise RevertFileError(f"cannot read revert file {os.fspath(path)}: {e.strerror or e}") from e
        except ValueError as e:
            raise RevertFileError(f"revert file {os.fspath(path)} is not valid JSON: {e}") from e
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
        """Writes the revert information to `path` atomically.

        The data goes to a temporary file in the same folder, is flushed to
        disk, and then replaces `path` in one rename: a failure at any point
        leaves the previous file as it was.
        """
        path = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(path))
        text = json.dumps(cls._revert_info, indent=2, sort_keys=False)
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, path)
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
