"""In-memory Compute Engine v1 state for the resources tarn_gcp works on.

The model holds projects, networks (with their peerings), subnetworks,
instances, routes, Cloud Routers and operations, and behaves as the
Compute Engine API does for the requests the migration tool makes.
Everything is guarded by one re-entrant lock, so the HTTP front may call
it from many threads.

When a change takes effect
--------------------------
* Global operations (network insert, peering add/remove, route
  insert/delete) are checked when the request is accepted (a bad request is
  refused at once with an HTTP error) and the change lands when the
  operation reaches DONE.  Each ``globalOperations.get`` or ``wait`` moves
  the operation one step: PENDING -> RUNNING -> DONE.  The checks run again
  at DONE; if the world changed meanwhile (say a route of the same name
  appeared) the operation ends with an "error" instead.  A caller that
  never polls never sees the change, as with the real service a caller that
  does not wait cannot rely on it.
* Regional and zonal operations (subnetwork, router and instance inserts,
  router patches) apply the change at acceptance; the operation returned is
  only a record that moves through the same states when polled.  Callers
  do not wait for router patches, so their effect must not depend on it.
* An operation that a fault marks as failing never applies its change; it
  reaches DONE carrying "error", "httpErrorStatusCode" and
  "httpErrorMessage".

Resources are stored under their relative path ("projects/P/global/routes/R")
and handed out as deep copies, so callers can never alter stored state.

Where the code lives
--------------------
``store`` (projects, resources, get/list/snapshot), ``operations`` (the
operation records and their polls), one module per resource family
(``networks`` with peerings, ``instances`` with subnetworks, ``routes``,
``routers``) and ``seeding``; request fields are read by ``fields``, paths
and self-links made by ``paths``, refusals built by ``errors``.  This
module puts them together; the names it always offered stay importable
from it.
"""

from .errors import ApiError, already_exists, bad_request, invalid, not_found
from .fields import check_name, merge_patch, now_rfc3339
from .instances import SubnetworksAndInstances
from .networks import PEERING_IN_PROGRESS, NetworksAndPeerings
from .paths import (API_ROOT, NAME_PATTERN, PROJECT_PATTERN, is_name, is_project, link,
                    ref_path, region_of_zone)
from .routers import Routers
from .routes import Routes
from .seeding import Seeding

__all__ = ["ComputeModel", "ApiError", "API_ROOT", "NAME_PATTERN", "PROJECT_PATTERN",
           "PEERING_IN_PROGRESS", "already_exists", "bad_request", "check_name", "invalid",
           "is_name", "is_project", "link", "merge_patch", "not_found", "now_rfc3339",
           "ref_path", "region_of_zone"]


class ComputeModel(Seeding, NetworksAndPeerings, SubnetworksAndInstances, Routes, Routers):
    """The state and behaviour of the emulated Compute Engine API.

    ``faults`` is consulted for operation faults and peering refusals (see
    :class:`tarn_gcp.emulator.faults.Faults`).  With ``wait_completes`` a
    ``wait`` call drives its operation to DONE at once (unless a fault holds
    it), the way the real ``wait`` usually returns; by default every poll
    moves it one step.
    """
