"""The write-ahead journal of a revert file: every change request a run
sends, recorded durably before it leaves, and its answer after.

The stages record what they change in the revert information, which is
saved when the stage ends.  A run killed outright (SIGKILL, an out-of-memory
kill, a lost machine) never gets there; its journal does.  Each entry holds
the request (method, resource path, body, request id), the stage it belongs
to, and what the run last read of the resource it changes (the network with
its peerings, the route, the router with its BGP settings); an answer entry
follows once the answer is in.

From the entries, ``recover`` rebuilds the records the stage would have
saved, in the module's own record format, so that the restores read them
like any other: the peering pairs of removed peerings, the deleted routes
and the names of the inserted ones, the BGP settings of patched routers.
The journal is kept beside the revert file by its store (one file of JSON
lines locally, one object per entry in a bucket) and cleared once the
revert information that holds its records is saved.
"""

from __future__ import annotations

import json
import os
import socket
import time
import uuid

from .document import FILE_KEYS


def _parts(path):
    return [p for p in path.split("?", 1)[0].split("/") if p]


def _after(parts, word):
    """The path component after ``word``, or None."""
    return parts[parts.index(word) + 1] if word in parts[:-1] else None


def network_key(url):
    """project::network of a network URL (or path); None when it is not one."""
    parts = _parts(str(url))
    project, network = _after(parts, "projects"), _after(parts, "networks")
    return "%s::%s" % (project, network) if project and network else None


class JournalUnwritable(BaseException):
    """The journal could not be written, so the change was not sent.  Not an
    Exception: it must stop the stage, not be logged and passed over by
    the module's guards like a failed request."""

    def __str__(self):
        return "cannot write the journal before a change, so it was not sent: %s" % (
            self.args[0] if self.args else "?")


def run_identity():
    return {"pid": os.getpid(), "host": socket.gethostname(),
            "since": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
            "token": uuid.uuid4().hex[:16]}


class Journal:
    """The journal one run writes through ``store``.

    ``context`` says which stage the requests now sent belong to (action,
    target, stage, vpc); the transport calls ``read`` with every resource it
    reads, ``before`` just before a change leaves (durably written when it
    returns) and ``after`` with the answer."""

    def __init__(self, store):
        self.store = store
        self.run = run_identity()
        self.context = None
        self.entries = []
        self._seq = 0
        self._seen = {}

    @staticmethod
    def resource(path):
        """The resource a request path reads or changes: the path without
        its query and without a custom verb (networks/N/removePeering)."""
        parts = _parts(path)
        for verb in ("addPeering", "removePeering", "updatePeering"):
            if parts and parts[-1] == verb:
                parts = parts[:-1]
        return "/".join(parts)

    def read(self, path, content):
        """Remembers what a read of ``path`` answered."""
        try:
            data = json.loads(content)
        except (TypeError, ValueError, RecursionError):
            return
        if isinstance(data, dict) and "items" not in data:
            self._seen[self.resource(path)] = data

    def seen(self, path):
        return self._seen.get(self.resource(path))

    def _write(self, entry):
        entry["run"] = self.run
        entry["seq"] = self._seq
        self._seq += 1
        try:
            self.store.journal_append(self.run, entry["seq"], json.dumps(entry, sort_keys=True))
        except OSError as exc:
            raise JournalUnwritable(getattr(exc, "strerror", None) or str(exc)) from None
        self.entries.append(entry)

    def before(self, method, path, body, request_id):
        """Records a change about to be sent; returns its number."""
        try:
            data = json.loads(body) if body else None
        except (TypeError, ValueError):
            data = None
        entry = {"kind": "request", "context": self.context, "method": method.upper(),
                 "path": path.split("?", 1)[0], "requestId": request_id, "body": data,
                 "before": self.seen(path)}
        peer = (data or {}).get("network") if isinstance(data, dict) else None
        if entry["path"].endswith("/removePeering") and isinstance(entry["before"], dict):
            # the peer network as read: a transit side's pair needs the
            # migrated network's record of the same peering
            name = (data or {}).get("name")
            for record in entry["before"].get("peerings", []):
                if isinstance(record, dict) and record.get("name") == name:
                    peer = record.get("network")
        if isinstance(peer, str) and network_key(peer):
            project, network = network_key(peer).split("::")
            entry["peer"] = self._seen.get("projects/%s/global/networks/%s" % (project, network))
        seq = self._seq
        self._write(entry)
        return seq

    def unanswered(self):
        """Whether a change this run sent never got its answer (its fate is
        for a later run to read off the network)."""
        answered = {e.get("of") for e in self.entries if e.get("kind") == "answer"}
        return any(e.get("kind") == "request" and e["seq"] not in answered
                   for e in self.entries)

    def after(self, seq, status, content):
        try:
            answer = json.loads(content) if content else None
        except (TypeError, ValueError, RecursionError):
            answer = None
        self._write({"kind": "answer", "of": seq, "status": status,
                     "answer": answer if isinstance(answer, dict) else None})


def parse_entries(texts):
    """The entries of a journal's texts; a text cut short by a kill (the
    last one written) is left out."""
    entries = []
    for text in texts:
        try:
            entry = json.loads(text)
        except (TypeError, ValueError, RecursionError):
            continue
        if isinstance(entry, dict) and isinstance(entry.get("run"), dict):
            entries.append(entry)
    return entries


def runs(entries):
    """The runs the entries belong to, in the order they first appear."""
    found = {}
    for entry in entries:
        found.setdefault(entry["run"].get("token"), entry["run"])
    return list(found.values())


def describe_run(run):
    text = "the run of pid %s" % run.get("pid", "?")
    if run.get("host") and run.get("host") != socket.gethostname():
        text += " on host %s" % run["host"]
    return text + " since %s" % run.get("since", "?")


def _empty():
    return {key: {} for key in FILE_KEYS[1:]}


def recover(entries, route_exists=None):
    """The revert records of the switch requests in ``entries``, in the
    module's record format: {"peerings": ..., "manage_routes": ...,
    "cloud_routers": ...}.

    ``route_exists(project, name)`` tells whether a route is there now: an
    insert whose answer never came is recorded when its route exists and
    bears the mark of the routes the stage creates."""
    records = _empty()
    answers = {(e["run"].get("token"), e.get("of")): e for e in entries
               if e.get("kind") == "answer"}
    for entry in entries:
        context = entry.get("context") or {}
        if entry.get("kind") != "request" or context.get("action") != "switch":
            continue
        key = context.get("vpc")
        if not isinstance(key, str) or "::" not in key:
            continue
        answer = answers.get((entry["run"].get("token"), entry.get("seq")))
        status = answer.get("status") if answer else None
        refused = isinstance(status, int) and status >= 300
        parts = _parts(entry.get("path", ""))
        method = entry.get("method")
        if parts[-1:] == ["removePeering"] and not refused:
            _peering(records, key, entry)
        elif "routes" in parts and context.get("target") == "routes":
            _route(records, key, context.get("stage"), entry, method, parts, answer,
                   route_exists)
        elif "routers" in parts and method == "PATCH" and not refused:
            _router(records, key, entry, parts)
    return records


def _record_named(network, name):
    for record in (network or {}).get("peerings", []):
        if isinstance(record, dict) and record.get("name") == name:
            return record
    return None


def _peering(records, key, entry):
    parts = _parts(entry["path"])
    here = "%s::%s" % (_after(parts, "projects"), _after(parts, "networks"))
    record = _record_named(entry.get("before"), (entry.get("body") or {}).get("name"))
    if record is None:
        return
    pairs = records["peerings"].setdefault(key, [])
    if here == key:
        local, transit = record, network_key(record.get("network", ""))
        remote = None
    else:
        transit, remote = here, record
        local = next((r for r in (entry.get("peer") or {}).get("peerings", [])
                      if isinstance(r, dict) and network_key(r.get("network", "")) == here),
                     None)
        if local is None:
            return
    for pair in pairs:
        if network_key(pair["localPeeringProperties"].get("network", "")) == transit:
            if pair["remotePeeringProperties"] is None and remote is not None:
                pair["remotePeeringProperties"] = remote
            return
    pairs.append({"localPeeringProperties": local, "remotePeeringProperties": remote})


def _route(records, key, stage, entry, method, parts, answer, route_exists):
    if not isinstance(stage, str):
        return
    record = records["manage_routes"].setdefault(stage, {}).setdefault(
        key, {"deleted_route_list": [], "added_route_list": []})
    status = answer.get("status") if answer else None
    if method == "DELETE":
        route = entry.get("before")
        if isinstance(route, dict) and isinstance(status, int) and status >= 300:
            return
        if isinstance(route, dict) and route.get("name") not in [
                r.get("name") for r in record["deleted_route_list"]]:
            record["deleted_route_list"].append(route)
    elif method == "POST" and parts[-1] == "routes":
        body = entry.get("body") or {}
        name = body.get("name")
        if not isinstance(name, str) or name in record["added_route_list"]:
            return
        if isinstance(status, int):
            made = status < 300
        else:  # the answer was lost: the route tells
            made = route_exists is not None and route_exists(_after(parts, "projects"), name)
        if made:
            record["added_route_list"].append(name)


def _router(records, key, entry, parts):
    router = entry.get("before")
    if not isinstance(router, dict) or not isinstance(router.get("bgp"), dict):
        return
    network = network_key(router.get("network", ""))
    if network is None:
        return
    project, region, name = (_after(parts, "projects"), _after(parts, "regions"),
                             _after(parts, "routers"))
    rkey = "%s::%s::%s::%s" % (project, network.split("::")[1], region, name)
    records["cloud_routers"].setdefault(key, {}).setdefault(rkey, router["bgp"])


def merge(info, records):
    """Adds ``records`` to the revert information ``info`` where it lacks
    them: what ``info`` holds takes precedence.  Returns how many records
    (peering pairs, routes, routers) were added."""
    added = 0
    for key, pairs in records["peerings"].items():
        mine = info["peerings"].setdefault(key, [])
        names = {p["localPeeringProperties"].get("name") for p in mine}
        for pair in pairs:
            if pair["localPeeringProperties"].get("name") not in names:
                mine.append(pair)
                added += 1
    for stage, by_vpc in records["manage_routes"].items():
        for key, record in by_vpc.items():
            if not record["deleted_route_list"] and not record["added_route_list"]:
                continue
            mine = info["manage_routes"].setdefault(stage, {}).setdefault(
                key, {"deleted_route_list": [], "added_route_list": []})
            gone = {r.get("name") for r in mine["deleted_route_list"]}
            for route in record["deleted_route_list"]:
                if route.get("name") not in gone:
                    mine["deleted_route_list"].append(route)
                    added += 1
            for name in record["added_route_list"]:
                if name not in mine["added_route_list"]:
                    mine["added_route_list"].append(name)
                    added += 1
    for key, routers in records["cloud_routers"].items():
        mine = info["cloud_routers"].setdefault(key, {})
        for rkey, bgp in routers.items():
            if rkey not in mine:
                mine[rkey] = bgp
                added += 1
    return added
