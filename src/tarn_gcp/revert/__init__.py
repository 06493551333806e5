"""The revert information as stored data: what the stages changed, kept
between processes so that a restore can put it back.

``document`` holds the shape of a revert file and its checks; ``store``
the interface of the places a revert file is kept, ``local`` a file on this
machine (flock, atomic save) and ``bucket`` a Cloud Storage object
(conditional writes, a lock object); ``file`` reads, checks and saves the
revert information of one run through either, and opens the store of a
``--revert`` value.  Nothing here imports the command line.
"""

from .document import dump, first_missing, new_revert_info, router_label
from .file import RevertFile, open_store
from .local import LocalRevertStore
from .store import RevertStore, StoreInUse

__all__ = ["LocalRevertStore", "RevertFile", "RevertStore", "StoreInUse", "dump",
           "first_missing", "new_revert_info", "open_store", "router_label"]
