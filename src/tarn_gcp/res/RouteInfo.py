"""The route record that a route table listing fills in."""

from __future__ import annotations

from typing import List


class RouteInfo:
    def __init__(self) -> None:
        self._gke_export_routes: List[str] = []

    def add_gke_export_routes(self, cidr: str) -> None:
        """Records the destination range of a route that a GKE peering exports."""
        self._gke_export_routes.append(cidr)

    def get_gke_export_routes(self) -> List[str]:
        """The recorded ranges, in the order they were recorded."""
        return list(self._gke_export_routes)

    def __repr__(self) -> str:
        return f"RouteInfo(gke_export_routes={self._gke_export_routes!r})"
