"""Logging helpers shared by the discovery methods."""

from __future__ import annotations

import logging

_log = logging.getLogger(__name__)


class Common:
    # Index of the instance name in an instance self-link split on "/":
    # https: / '' / host / compute / v1 / projects / P / zones / Z / instances / NAME
    INSTANCE_I = 10

    @classmethod
    def logVpcHeader(cls, network: dict) -> None:
        """Logs the heading of one VPC network."""
        _log.info("")
        _log.info("= VPC " + str(network.get("name"))
                  + " (" + str(network.get("selfLink", "")) + ")")

    @classmethod
    def logSubnet(cls, subnetwork: dict) -> None:
        """Logs one subnetwork as a row under the subnet table's header."""
        region = str(subnetwork.get("region", "")).split("/")[-1]
        _log.info(
            "  "
            + str(subnetwork.get("ipCidrRange")).ljust(25)
            + region.ljust(30)
            + str(subnetwork.get("name"))
        )
