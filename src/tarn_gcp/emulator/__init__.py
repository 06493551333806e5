"""A local Compute Engine v1 emulator for the resources tarn_gcp works on.

    from tarn_gcp.emulator import Emulator, build_service

    with Emulator() as emu:
        emu.seed()                         # the sample topology
        compute = build_service(emu)       # a real googleapiclient service
        compute.networks().get(project="tarn-demo", network="spoke-vpc").execute()
        emu.faults.fail_request("compute.routes.insert", 503)
        emu.reset(seed=spokes(20))         # or twenty spokes (see ``spokes``)
        ...
        emu.requests                       # what was sent

Operations run for their time (``op_seconds``; by default none) whether or
not anyone polls them, then are DONE; a ``wait`` of globalOperations,
regionOperations or zoneOperations holds the call until then.  Global ones
(peerings, routes) apply their change when they are done; regional and zonal
ones (router patches, subnetworks, instances) at acceptance.  Any of them can
be made to fail (``faults.fail_operation``: DONE with an "error", the change
never applied) or held PENDING or RUNNING (``faults.hold_operation``, for some
polls or until ``release_operations``).  See ``model`` for details.
"""

import threading

from .client import build_service, endpoint_url
from .faults import Faults
from .model import API_ROOT, OP_KINDS, PEERING_IN_PROGRESS, ROUTE_IN_PROGRESS, ApiError, \
    ComputeModel
from .server import HttpFront, LoggedRequest
from .fleet import spokes, write_plans

__all__ = ["Emulator", "ComputeModel", "Faults", "ApiError", "LoggedRequest", "API_ROOT",
           "PEERING_IN_PROGRESS", "ROUTE_IN_PROGRESS", "OP_KINDS", "build_service",
           "endpoint_url", "spokes", "write_plans"]


class Emulator:
    """The model, its faults and request log, and an HTTP front on
    ``host``:``port`` (an ephemeral port by default) once started.

    ``projects`` are created empty.  ``seed`` (here or as a method) loads a
    topology: a dict as ComputeModel.seed takes, or an object with a
    ``topology()`` function such as the ``sample`` module; the method called
    without argument loads the sample topology.
    ``op_seconds`` is how long operations run: seconds for every kind, or a
    dict of kinds ("peering", "route", "router"; None for the others) to
    seconds; by default they are done as soon as they are accepted.
    ``wait_completes`` makes each operations ``wait`` end its operation at
    once (unless a fault holds it) instead of waiting out its time.

    Every request is checked against the Compute v1 discovery document as
    Google's front end checks it (see ``validation``); ``lenient`` skips
    those checks, for experiments only, since the real API never does.
    """

    def __init__(self, host="127.0.0.1", port=0, *, projects=(), seed=None,
                 wait_completes=False, op_seconds=None, lenient=False):
        self.host = host
        self.lenient = bool(lenient)
        self._port = port
        self.faults = Faults()
        self.model = ComputeModel(faults=self.faults, wait_completes=wait_completes,
                                  op_seconds=op_seconds)
        self._log = []
        self._log_lock = threading.Lock()
        self._front = None
        for project in projects:
            self.model.add_project(project)
        if seed is not None:
            self.seed(seed)

    # -------------------------------------------------------------- life

    def start(self):
        if self._front is None:
            self.model.waits_released.clear()
            self._front = HttpFront(self, self.host, self._port)
        return self

    def close(self):
        """Stops serving; operations waits still held answer at once."""
        if self._front is not None:
            front, self._front = self._front, None
            self.model.waits_released.set()
            front.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    @property
    def running(self):
        return self._front is not None

    @property
    def port(self):
        self._need_front()
        return self._front.port

    @property
    def root_url(self):
        """http://HOST:PORT/"""
        self._need_front()
        return "http://%s:%d/" % (self._front.host, self._front.port)

    @property
    def url(self):
        """The API base URL, http://HOST:PORT/compute/v1/, as client_options'
        api_endpoint wants it."""
        return self.root_url + "compute/v1/"

    def _need_front(self):
        if self._front is None:
            raise RuntimeError("the emulator is not started")

    # ------------------------------------------------------------- state

    def seed(self, source=None):
        if source is None:
            from . import sample
            source = sample
        data = source.topology() if hasattr(source, "topology") else source
        self.model.seed(data)
        return self

    def reset(self, seed=None):
        """Empties the model, removes every fault and clears the request log;
        then loads ``seed`` if given.  The server keeps running."""
        self.model.reset()
        self.faults.clear()
        self.clear_requests()
        if seed is not None:
            self.seed(seed)
        return self

    def snapshot(self):
        return self.model.snapshot()

    def release_operations(self, method=None, name=None):
        """Lets operations held by ``faults.hold_operation`` finish (see
        ComputeModel.release_operations); returns how many."""
        return self.model.release_operations(method, name)

    def service(self, http=None):
        """A googleapiclient Compute service talking to this emulator."""
        return build_service(self, http=http)

    # ------------------------------------------------------- request log

    def _log_request(self, entry):
        with self._log_lock:
            self._log.append(entry)

    @property
    def requests(self):
        """The requests received so far (LoggedRequest), oldest first."""
        with self._log_lock:
            return list(self._log)

    def requests_for(self, method):
        return [r for r in self.requests if r.method == method]

    def clear_requests(self):
        with self._log_lock:
            self._log.clear()
