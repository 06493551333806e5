"""Subnetworks and the instances placed in them."""

import base64
import hashlib
import ipaddress
import itertools

from .errors import bad_request, invalid
from .fields import (KINDS, check_name, check_region_field, now_rfc3339, read_bool, read_cidr,
                     read_ip_address, read_text)
from .operations import OperationLog, mutation
from .paths import link, path_of, ref_path, region_of_zone


class SubnetworksAndInstances(OperationLog):
    """subnetworks.insert and instances.insert; both apply at acceptance."""

    def _build_subnetwork(self, project, region, body):
        name = check_name(body.get("name"))
        check_region_field(body, region)
        network_path = self._referenced_network(project, body)
        primary = read_cidr(body.get("ipCidrRange"), "resource.ipCidrRange", 4)
        if primary.prefixlen > 29:
            raise invalid("resource.ipCidrRange", body.get("ipCidrRange"),
                          "The prefix length must be 29 or shorter.")
        ranges = [primary]
        secondary = []
        for i, item in enumerate(body.get("secondaryIpRanges") or []):
            field = "resource.secondaryIpRanges[%d]" % i
            if not isinstance(item, dict):
                raise invalid(field, item, "Must be an object.")
            range_name = check_name(item.get("rangeName"), field + ".rangeName")
            ranges.append(read_cidr(item.get("ipCidrRange"), field + ".ipCidrRange", 4))
            secondary.append({"rangeName": range_name, "ipCidrRange": str(ranges[-1])})
        taken = []
        for other in self._subnetworks_of(link(network_path)):
            taken.append(ipaddress.ip_network(other["ipCidrRange"]))
            taken.extend(ipaddress.ip_network(s["ipCidrRange"])
                         for s in other.get("secondaryIpRanges", []))
        for i, net in enumerate(ranges):
            if any(net.overlaps(t) for t in taken + ranges[:i]):
                raise invalid("resource.ipCidrRange", str(net),
                              "The range conflicts with an existing range of the network.")
        path = "projects/%s/regions/%s/subnetworks/%s" % (project, region, name)
        fingerprint = base64.b64encode(hashlib.md5(path.encode()).digest()[:8]).decode()
        subnet = {"kind": KINDS["subnetworks"], "id": self._new_id(),
                  "creationTimestamp": now_rfc3339(), "name": name,
                  "description": read_text(body, "description", "resource.description"),
                  "network": link(network_path), "ipCidrRange": str(primary),
                  "gatewayAddress": str(primary.network_address + 1),
                  "region": link("projects/%s/regions/%s" % (project, region)),
                  "selfLink": link(path),
                  "privateIpGoogleAccess": read_bool(body, "privateIpGoogleAccess", False,
                                                     "resource.privateIpGoogleAccess"),
                  "secondaryIpRanges": secondary,
                  "fingerprint": fingerprint,
                  "stackType": "IPV4_ONLY", "purpose": "PRIVATE"}
        return path, subnet

    def _subnetworks_of(self, network_link):
        """The stored subnetworks of a network, in storing order."""
        return [s for s in self._resources.values()
                if s.get("kind") == KINDS["subnetworks"] and s["network"] == network_link]

    def _put_subnetwork(self, path, subnet):
        """Stores a subnetwork and lists it on its network."""
        self._put(path, subnet)
        self._resources[path_of(subnet["network"])]["subnetworks"].append(subnet["selfLink"])

    @mutation
    def insert_subnetwork(self, project, region, body, request_id=None):
        return self._insert_at_acceptance(project, ("regions", region), self._build_subnetwork,
                                          body, "compute.subnetworks.insert",
                                          self._put_subnetwork, request_id)

    def _build_instance(self, project, zone, body):
        name = check_name(body.get("name"))
        machine = body.get("machineType")
        machine_path = ref_path(machine, project, "machineTypes", "resource.machineType", zone)
        nics = body.get("networkInterfaces")
        if not isinstance(nics, list) or not nics:
            raise invalid("resource.networkInterfaces", nics,
                          "An instance needs at least one network interface.")
        region = region_of_zone(zone)
        interfaces = [self._build_interface(project, region, i, nic)
                      for i, nic in enumerate(nics)]
        path = "projects/%s/zones/%s/instances/%s" % (project, zone, name)
        instance = {"kind": KINDS["instances"], "id": self._new_id(),
                    "creationTimestamp": now_rfc3339(), "name": name,
                    "description": read_text(body, "description", "resource.description"),
                    "zone": link("projects/%s/zones/%s" % (project, zone)),
                    "machineType": link(machine_path), "status": "RUNNING",
                    "canIpForward": read_bool(body, "canIpForward", False,
                                              "resource.canIpForward"),
                    "networkInterfaces": interfaces, "selfLink": link(path)}
        if isinstance(body.get("labels"), dict):
            instance["labels"] = dict(body["labels"])
        return path, instance

    def _build_interface(self, project, region, index, nic):
        """The index-th network interface of an instance in ``region``."""
        field = "resource.networkInterfaces[%d]" % index
        if not isinstance(nic, dict):
            raise invalid(field, nic, "Must be an object.")
        subnet = None
        if nic.get("subnetwork"):
            subnet_path = ref_path(nic["subnetwork"], project, "subnetworks",
                                   field + ".subnetwork", region)
            subnet = self._resources.get(subnet_path)
            if subnet is None or subnet_path.split("/")[3] != region:
                raise invalid(field + ".subnetwork", nic["subnetwork"],
                              "The referenced subnetwork resource cannot be found.")
        if nic.get("network"):
            network_path = ref_path(nic["network"], project, "networks", field + ".network")
        elif subnet is not None:
            network_path = path_of(subnet["network"])
        else:
            raise invalid(field, nic, "A network or a subnetwork must be given.")
        if network_path not in self._resources:
            raise invalid(field + ".network", nic.get("network"),
                          "The referenced network resource cannot be found.")
        if subnet is None:
            candidates = [s for s in self._subnetworks_of(link(network_path))
                          if s["region"].endswith("/regions/" + region)]
            if not candidates:
                raise invalid(field, nic.get("network"),
                              "The network has no subnetwork in region %s." % region)
            subnet = candidates[0]
        if subnet["network"] != link(network_path):
            raise invalid(field + ".subnetwork", nic.get("subnetwork"),
                          "The subnetwork does not belong to the network.")
        address = self._address(subnet, nic.get("networkIP"), field + ".networkIP")
        return {"kind": "compute#networkInterface", "name": "nic%d" % index,
                "network": link(network_path), "subnetwork": subnet["selfLink"],
                "networkIP": address}

    def _address(self, subnet, wanted, field):
        """A free address of the subnetwork: ``wanted`` if given, else the
        first host after the gateway that no instance uses."""
        net = ipaddress.ip_network(subnet["ipCidrRange"])
        used = {nic["networkIP"] for r in self._resources.values()
                if r.get("kind") == KINDS["instances"]
                for nic in r["networkInterfaces"] if nic["subnetwork"] == subnet["selfLink"]}
        if wanted is not None:
            address = read_ip_address(wanted, field)
            if ipaddress.ip_address(address) not in net or address in used:
                raise invalid(field, wanted, "The address is not free in the subnetwork.")
            return address
        for address in itertools.islice(net.hosts(), 1, None):
            if str(address) not in used:
                return str(address)
        raise bad_request("The subnetwork %s has no free address." % subnet["name"])

    @mutation
    def insert_instance(self, project, zone, body, request_id=None):
        return self._insert_at_acceptance(project, ("zones", zone), self._build_instance, body,
                                          "compute.instances.insert", self._put, request_id)
