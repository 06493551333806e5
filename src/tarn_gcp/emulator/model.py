"""In-memory Compute Engine v1 state for the resources tarn_gcp works on.

The model holds projects, networks (with their peerings), subnetworks,
instances, routes, Cloud Routers and operations, and behaves as the
Compute Engine API does for the requests the migration tool makes.
Everything is guarded by one re-entrant lock, so the HTTP front may call
it from many threads.

When a change takes effect
--------------------------
* Every mutation is checked when the request is accepted (a bad request is
  refused at once with an HTTP error, a name an earlier insert has taken
  with 409 even while that insert runs) and returns an operation that runs
  for the seconds ``op_seconds`` gives its kind, whether or not anyone
  polls it; ``wait`` holds the call until it is DONE (see ``operations``).
* Global operations (network insert, peering add/remove, route
  insert/delete) apply their change when they are done.  The checks run
  again then; if the world changed meanwhile the operation ends with an
  "error" instead.
* Regional and zonal operations (subnetwork, router and instance inserts,
  router patches) apply the change at acceptance; the operation tracks the
  rest.  A router patch is refused (400 resourceNotReady) while an earlier
  change of the same router runs.
* While a peering operation runs, route and peering changes on its two
  networks (for routes: on networks peered with them too) are refused with
  the service's "peering operation in progress" answer; while a route
  operation runs, peering changes on its network get the "route operation
  in progress" one.
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
``routers``), ``reports`` (what the API computes: aggregated lists, router
status, peering routes), ``geography`` (the regions and zones it knows) and
``seeding``; request fields are read by ``fields``, paths
and self-links made by ``paths``, refusals built by ``errors``.  This
module puts them together; the names it always offered stay importable
from it.
"""

from .errors import ApiError, already_exists, bad_request, invalid, not_found
from .fields import check_name, merge_patch, now_rfc3339
from .instances import SubnetworksAndInstances
from .geography import Geography
from .networks import NetworksAndPeerings
from .operations import OP_KINDS, PEERING_IN_PROGRESS, ROUTE_IN_PROGRESS
from .paths import (API_ROOT, NAME_PATTERN, PROJECT_PATTERN, is_name, is_project, link,
                    ref_path, region_of_zone)
from .reports import Reports
from .routers import Routers
from .routes import Routes
from .seeding import Seeding

__all__ = ["ComputeModel", "ApiError", "API_ROOT", "NAME_PATTERN", "PROJECT_PATTERN",
           "PEERING_IN_PROGRESS", "ROUTE_IN_PROGRESS", "OP_KINDS", "already_exists",
           "bad_request", "check_name", "invalid", "is_name", "is_project", "link",
           "merge_patch", "not_found", "now_rfc3339", "ref_path", "region_of_zone"]


class ComputeModel(Seeding, Reports, NetworksAndPeerings, SubnetworksAndInstances, Routes, Routers,
                   Geography):
    """The state and behaviour of the emulated Compute Engine API.

    ``faults`` is consulted for operation faults and peering refusals (see
    :class:`tarn_gcp.emulator.faults.Faults`).  ``op_seconds`` sets how
    long operations run (a number for every kind, or a dict of "peering",
    "route", "router" and None, the other operations, to seconds; by
    default they are done at once).  With ``wait_completes`` a ``wait``
    ends its operation at once (unless a fault holds it) instead of waiting
    out its time.
    """
