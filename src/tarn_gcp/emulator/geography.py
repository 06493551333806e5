"""The regions and zones the emulator knows: Google's public ones (shipped
in zones.txt) and those of its own resources."""

import functools
import os

from .errors import invalid

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zones.txt")


@functools.lru_cache(maxsize=None)
def public_zones():
    """{region: (zone, ...)} of Google's public list."""
    zones = {}
    with open(_DATA, encoding="utf-8") as handle:
        for line in handle:
            words = line.split("#", 1)[0].split()
            if words:
                zones[words[0]] = tuple("%s-%s" % (words[0], s) for s in words[1:])
    return zones


def unknown_region(region):
    return invalid("region", region, "Unknown region.")


def unknown_zone(zone):
    return invalid("zone", zone, "Unknown zone.")


class Geography:
    """Mixed into the model: the regions and zones it answers for."""

    def regions(self):
        """Every known region, sorted."""
        with self.lock:
            own = {path.split("/")[3] for path in self._resources
                   if path.split("/")[2] == "regions"}
            own |= {path.split("/")[3].rsplit("-", 1)[0] for path in self._resources
                    if path.split("/")[2] == "zones"}
            return sorted(own | set(public_zones()))

    def zones(self):
        """Every known zone, sorted."""
        with self.lock:
            own = {path.split("/")[3] for path in self._resources
                   if path.split("/")[2] == "zones"}
            return sorted(own | {z for zs in public_zones().values() for z in zs})

    def check_scope(self, region=None, zone=None):
        """400 "Unknown region" / "Unknown zone" unless both are known."""
        if region is not None and region not in public_zones() and region not in self.regions():
            raise unknown_region(region)
        if zone is not None and zone not in public_zones().get(zone.rsplit("-", 1)[0], ()) \
                and zone not in self.zones():
            raise unknown_zone(zone)
