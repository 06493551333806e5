"""Plain-Python model of the ``tarn_gcp.gcplib`` extension module.

It binds the same names in the same order as the extension's initialisation
and defines ``GcpLib`` with the same nineteen class methods, written as
directly as possible.  It serves two purposes:

* the baseline of the benchmarks in this folder, and
* the oracle that property-based tests compare the extension against: for
  the same inputs, fakes and run context both must return the same value (or
  raise the same exception type), write the same log lines at the same levels
  and make the same Compute requests in the same order.

The methods log on the logger "tarn_gcp.gcplib", the extension's own, so that
the output of both can be captured and compared with one handler.  Module
names (``Globals``, ``yctx``, ``common``, ``time``, ...) are looked up at each
use, so tests and benchmarks replace them by rebinding them on this module.
"""

import requests
import logging
from googleapiclient import discovery
from oauth2client.client import GoogleCredentials
import google.auth
from tarn_gcp.commonlib import Common as common
from tarn_gcp.res.Globals import Globals
from pprint import pprint
from tarn_gcp.core.YamlContext import YamlContext as yctx
from tarn_gcp.res.RouteInfo import RouteInfo
import time
import traceback
import ipaddress
import hashlib
import base64


def _peering_body(record):
    """The addPeering body re-creating one saved peering record."""
    return {"networkPeering": {key: record[key] for key in (
        "name", "network", "exportCustomRoutes", "importCustomRoutes", "exchangeSubnetRoutes",
        "exportSubnetRoutesWithPublicIp", "importSubnetRoutesWithPublicIp", "stackType")}}


def _peering_in_place(service, project, network, peering):
    """Whether project::network already holds the peering: a record with the
    same "name" and "network"; a record without a "name" is passed over. A
    failing lookup finds nothing."""
    try:
        resource = service.networks().get(project=project, network=network).execute()
        for record in resource.get("peerings", []):
            if "name" not in record:
                continue
            if record["name"] == peering["name"] and record["network"] == peering["network"]:
                return True
    except Exception:
        pass
    return False


def _add_peering(cls, logger, service, project, network, body):
    """Adds one peering, waits for it and logs what its operation reports; a
    failed addition of a peering the network already holds is only logged."""
    try:
        response = service.networks().addPeering(project=project, network=network,
                                                 body=body).execute()
        cls.wait_for_global_operation(service, project, response["name"])
    except Exception:
        peering = body["networkPeering"]
        if not _peering_in_place(service, project, network, peering):
            raise
        logger.info("  peering " + str(peering["name"]) + " already in " + str(project) + "::"
                    + str(network))
        return
    if response.get("error", None):
        logger.error("  **Error** " + str(response.get("error", None)))
    elif response.get("warnings", None):
        logger.warning("  **Error** " + str(response.get("warnings", None)))
    elif response.get("httpErrorMessage", None):
        logger.error("  **Error** " + str(response.get("httpErrorMessage", None)))

class GcpLib:
    PROJECT_I = 6
    REGION_I = 8
    SUBNET_I = 10
    NETWORK_I = 9

    # 1
    @classmethod
    def listPeering(cls, network):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Discover peering(s)")
        peerings = network.get("peerings", [])
        if len(peerings) == 0:
            logger.info("  no peering found")
        logger.info("  " + "".ljust(63, "."))
        logger.info("  " + "Peering name".ljust(51) + "Project::VPC".ljust(30))
        logger.info("  " + "".ljust(63, "."))
        for peering in peerings:
            peerProject = peering["network"].split("/")[cls.PROJECT_I]
            peerNetwork = peering["network"].split("/")[cls.NETWORK_I]
            logger.info("  " + str(peering["name"]).ljust(50) + " "
                        + str(peerProject) + "::" + str(peerNetwork))
        return None

    # 2
    @classmethod
    def wait_for_global_operation(cls, service: "object", project: "str",
                                  operation: "str") -> "dict":
        """Waits for the given operation to complete.

        Args:
        compute: an initialized compute service object.
        project: the Google Cloud project ID.
        zone: the name of the zone in which the operation should be executed.
        operation: the operation ID.

        Returns:
        The result of the operation.
        """
        if type(project) is not str:
            raise TypeError("Argument 'project' has incorrect type (expected str, got %.200s)"
                            % type(project).__name__)
        if type(operation) is not str:
            raise TypeError("Argument 'operation' has incorrect type (expected str, got %.200s)"
                            % type(operation).__name__)
        while True:
            result = service.globalOperations().wait(project=project, operation=operation).execute()
            if result["status"] == "DONE":
                if "error" in result:
                    raise Exception(result["error"])
                if result is not None and type(result) is not dict:
                    raise TypeError("Expected dict, got %.200s" % type(result).__name__)
                return result
            time.sleep(1)

    # 3
    @classmethod
    def deletePeering(cls, service, project, vpc, peering):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("  delete peering " + str(peering) + " in " + str(project) + "::" + str(vpc))
        if Globals.getDryRun():
            return None
        body = {"name": str(peering)}
        try:
            response = service.networks().removePeering(project=project, network=vpc,
                                                        body=body).execute()
            cls.wait_for_global_operation(service, project, response["name"])
        except Exception as e:
            logger.error("  **Error** " + str(e))
            return None
        if response.get("error", None):
            logger.error("  **Error** " + str(response.get("error", None)))
        elif response.get("warnings", None):
            logger.warning("  **Error** " + str(response.get("warnings", None)))
        elif response.get("httpErrorMessage", None):
            logger.error("  **Check Error** " + str(response.get("httpErrorMessage", None)))
        return None

    # 4
    @classmethod
    def lookupRemotePeering(cls, service, localProject, localVpcName, remoteProject, remoteVpcName):
        response = service.networks().get(project=remoteProject, network=remoteVpcName).execute()
        for peering in response.get("peerings", []):
            parts = peering["network"].split("/")
            peerProject = parts[cls.PROJECT_I]
            peerNetwork = parts[cls.NETWORK_I]
            if peerProject == localProject and peerNetwork == localVpcName:
                return peering
        return None

    # 5
    @classmethod
    def deletePeerings(cls, service, project, vpc):
        logger = logging.getLogger("tarn_gcp.gcplib")
        peeringPairList = []
        logger.info("- Delete transit peerings in " + str(project) + "::" + str(vpc["vpc_name"]))
        transitVpcs = [transit["vpc_name"] for transit in yctx().getContext("transit_vpcs")]
        response = service.networks().get(project=project, network=vpc["vpc_name"]).execute()
        peerings = response.get("peerings", [])
        completed = False
        try:
            for peering in peerings:
                localName = peering["name"]
                parts = peering["network"].split("/")
                peerProject = parts[cls.PROJECT_I]
                peerNetwork = parts[cls.NETWORK_I]
                if str(peerProject) + "::" + str(peerNetwork) not in transitVpcs:
                    continue
                remote = cls.lookupRemotePeering(service, project, vpc["vpc_name"], peerProject,
                                                 peerNetwork)
                peeringPairList.append({"localPeeringProperties": peering,
                                        "remotePeeringProperties": remote})
                if remote is not None:
                    cls.deletePeering(service, peerProject, peerNetwork, remote["name"])
                cls.deletePeering(service, project, vpc["vpc_name"], localName)
            completed = True
            if len(peeringPairList) == 0:
                logger.info("  no transit peering found!")
        finally:
            # Stored also when a failure ends the walk after some pairs were
            # saved, so that the peerings already removed stay restorable.
            if completed or peeringPairList:
                revert = Globals.getRevertInfo()
                if "peerings" not in revert:
                    revert["peerings"] = {}
                key = str(project) + "::" + str(vpc["vpc_name"])
                stored = revert["peerings"].get(key)
                if isinstance(stored, list):
                    # A re-run keeps the pairs saved before: one with the same local
                    # peering name takes the old pair's place, any other is appended.
                    for pair in peeringPairList:
                        name = pair["localPeeringProperties"]["name"]
                        for index, old in enumerate(stored):
                            # A saved entry without a local record name
                            # never matches and is kept as it is.
                            try:
                                oldName = old["localPeeringProperties"]["name"]
                            except Exception:
                                continue
                            if oldName == name:
                                try:
                                    oldRemote = old["remotePeeringProperties"]
                                except Exception:
                                    oldRemote = None
                                # A run that removed only the transit side
                                # leaves the pair saved before as the one
                                # that can restore it.
                                if not (pair["remotePeeringProperties"] is None
                                        and oldRemote is not None):
                                    stored[index] = pair
                                break
                        else:
                            stored.append(pair)
                else:
                    revert["peerings"][key] = peeringPairList
        return None

    # 6
    @classmethod
    def addPeerings(cls, service, peeringPairList):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Restore peerings")
        if len(peeringPairList) == 0:
            logger.info("  no peering found")
        for pair in peeringPairList:
            lpp = pair["localPeeringProperties"]
            rpp = pair["remotePeeringProperties"]
            if rpp is None:
                # The transit side held no record: only the migrated VPC's
                # side can be put back.
                localProject = Globals.project
                localNetwork = Globals.vpc["vpc_name"]
                logger.info("- Add local peering in " + str(localProject) + "::"
                            + str(localNetwork))
                localBody = _peering_body(lpp)
                logger.info("  add peering " + str(lpp["name"]) + " in "
                            + str(localProject) + "::" + str(localNetwork))
                if not Globals.getDryRun():
                    _add_peering(cls, logger, service, localProject, localNetwork, localBody)
                continue
            remoteParts = rpp["network"].split("/")
            localProject = remoteParts[cls.PROJECT_I]
            localNetwork = remoteParts[cls.NETWORK_I]
            localParts = lpp["network"].split("/")
            remoteProject = localParts[cls.PROJECT_I]
            remoteNetwork = localParts[cls.NETWORK_I]
            logger.info("- Add local peering in " + str(localProject) + "::" + str(localNetwork))
            localBody = _peering_body(lpp)
            remoteBody = _peering_body(rpp)
            logger.info("  add peering " + str(lpp["name"]) + " in "
                        + str(localProject) + "::" + str(localNetwork))
            if not Globals.getDryRun():
                _add_peering(cls, logger, service, localProject, localNetwork, localBody)
            logger.info("  add peering " + str(rpp["name"]) + " in "
                        + str(remoteProject) + "::" + str(remoteNetwork))
            if not Globals.getDryRun():
                _add_peering(cls, logger, service, remoteProject, remoteNetwork, remoteBody)
        return None

    # 7
    @classmethod
    def managePeerings(cls, switch_traffic: "bool"):
        logger = logging.getLogger("tarn_gcp.gcplib")
        service = Globals.service
        project = Globals.project
        vpc = Globals.vpc
        if switch_traffic is True:
            cls.deletePeerings(service, project, vpc)
            return None
        key = str(project) + "::" + str(vpc["vpc_name"])
        if key in Globals.getRevertInfo()["peerings"]:
            cls.addPeerings(service, Globals.getRevertInfo()["peerings"][key])
        return None

    # 8
    @classmethod
    def listRouteTable(cls, project, service, network, propagate=True) -> "RouteInfo":
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.propagate = propagate
        try:
            logger.info("")
            logger.info("- Discover route(s)")
            routeFilter = 'network: "' + str(network["selfLink"]) + '"'
            request = service.routes().list(project=project, filter=routeFilter)
            logger.info("  " + "".ljust(63, "."))
            logger.info("  " + "CIDR".ljust(25) + "Next-hop".ljust(30))
            logger.info("  " + "".ljust(63, "."))
            routeInfo = RouteInfo()
            while request is not None:
                response = request.execute()
                if "items" not in response:
                    logger.info("    no route found")
                    break
                for route in response["items"]:
                    if "nextHopNetwork" in route:
                        dest = "Virtual network " + str(route["nextHopNetwork"].split("/")[-1])
                    elif "nextHopIp" in route:
                        dest = route["nextHopIp"]
                    elif "nextHopGateway" in route:
                        dest = route["nextHopGateway"].split("/")[-1]
                    elif "nextHopIlb" in route:
                        dest = route["nextHopIlb"].split("/")[-1]
                    elif "nextHopPeering" in route:
                        dest = route["nextHopPeering"]
                        if dest.startswith("gke-") and dest.endswith("-peer"):
                            routeInfo.add_gke_export_routes(route["destRange"])
                    elif "nextHopInstance" in route:
                        dest = route["nextHopInstance"].split("/")[common.INSTANCE_I]
                    else:
                        logger.error("  **Error** unknown destination " + str(route))
                        continue
                    logger.info("  " + str(route["destRange"]).ljust(25) + str(dest))
                request = service.routes().list_next(previous_request=request,
                                                     previous_response=response)
            return routeInfo
        finally:
            logger.propagate = True

    # 9
    @classmethod
    def composeVpcCidrs(cls, service, response, region):
        spokeAdvertisement = yctx().getContext("spoke_advertisement")
        advertiseGke = yctx().getContext("advertise_gke")
        cidrs = []
        if advertiseGke is True:
            cidrs = cidrs + Globals.routeInfo.get_gke_export_routes()
        # Equality, not identity, as the plan value is compared.
        if spokeAdvertisement == None:  # noqa: E711
            if len(cidrs) > 0:
                cidrs = cidrs + cls.listSubnetByRegion(service, response, region["region"])
        else:
            cidrs = cidrs + spokeAdvertisement
        if len(cidrs) > 0:
            return cidrs
        return None

    # 10
    @classmethod
    def listRouterByRegion(cls, service, project, network, region):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Discover cloud router(s)")
        response = service.routers().list(project=project, region=region).execute()
        if "items" not in response:
            logger.info("  No cloud router found")
            return None
        for router in response["items"]:
            netN = router["network"].split("/")[cls.NETWORK_I]
            regN = router["region"].split("/")[cls.REGION_I]
            if netN != network:
                continue
            logger.info("  " + str(router["name"]) + " " + str(regN) + " bgp "
                        + str(router["bgp"]["asn"]) + " " + str(router["bgp"]["advertiseMode"]))
            if "advertisedIpRanges" in router["bgp"]:
                for advertised in router["bgp"]["advertisedIpRanges"]:
                    logger.info("    " + str(advertised["range"]) + " "
                                + str(advertised["description"]))
            if "advertisedGroups" in router["bgp"]:
                for group in router["bgp"]["advertisedGroups"]:
                    logger.info("    " + str(group))
        return None

    # 11
    @classmethod
    def manageCloudRouterAdvertisedRoute(cls, switch_traffic: "bool"):
        logger = logging.getLogger("tarn_gcp.gcplib")
        service = Globals.service
        if switch_traffic is True:
            cls.manageCloudRouterAdvertisedRoutePerVpc(service)
        else:
            cls.restoreCloudRouterAdvertisedRoutePerVpc(service)
        return None

    # 12
    @classmethod
    def manageCloudRouterAdvertisedRoutePerVpc(cls, service):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Manage cloud router route(s)")
        transit_vpcs = yctx().getContext("transit_vpcs")
        mproject = yctx().getContext("project_id")
        mvpc = yctx().getContext("vpc_name")
        for vpcObj in transit_vpcs:
            parts = vpcObj["vpc_name"].split("::")
            project = parts[0]
            vpc = parts[1]
            if "cloud_routers" not in vpcObj:
                logger.info("  No cloud router found")
                continue
            for crouter in vpcObj["cloud_routers"]:
                region = crouter["region"]
                bgpObj = {}
                try:
                    response = service.routers().get(
                        project=project, region=region, router=crouter["router_name"]).execute()
                    def where():
                        return str(project) + "::" + str(vpc) + " " + str(region)
                    if response["network"].split("/")[cls.NETWORK_I] != vpc:
                        logger.info("  " + str(crouter["router_name"]) + " not found in " + where())
                        continue
                    if response["bgp"]["advertiseMode"] == "DEFAULT":
                        logger.info("  " + str(crouter["router_name"]) + " in " + where()
                                    + " is in DEFAULT advertize mode, cannot customize route")
                        continue
                    changed = False
                    bgpObj["advertisedIpRanges"] = []
                    if "advertisedIpRanges" in response["bgp"]:
                        for route in response["bgp"]["advertisedIpRanges"]:
                            if (str(ipaddress.IPv4Network(route["range"]))
                                    in crouter["remove_advertised_routes"]):
                                logger.info("  delete " + str(route["range"]) + " in "
                                            + str(crouter["router_name"]) + " from " + where())
                                changed = True
                            else:
                                bgpObj["advertisedIpRanges"].append(route)
                    for route in crouter["add_advertised_routes"]:
                        # A range already in the new list, kept or added, is
                        # not advertised twice.
                        text = str(route)
                        present = False
                        for entry in bgpObj["advertisedIpRanges"]:
                            if str(entry["range"]) == text:
                                present = True
                                break
                        if present:
                            logger.info("  already advertised " + text + " in "
                                        + str(crouter["router_name"]) + " from " + where())
                            continue
                        logger.info("  add " + text + " to " + str(crouter["router_name"])
                                    + " from " + where())
                        bgpObj["advertisedIpRanges"].append({
                            "range": route, "description": "tessaron-migration-added"})
                        changed = True
                    if "advertisedGroups" in response["bgp"]:
                        bgpObj["advertisedGroups"] = []
                        for grp in response["bgp"]["advertisedGroups"]:
                            if grp in crouter["remove_advertised_groups"]:
                                logger.info("  delete " + str(grp) + " in "
                                            + str(crouter["router_name"]) + " from " + where())
                                changed = True
                            else:
                                bgpObj["advertisedGroups"].append(grp)
                    if not changed:
                        continue
                    mkey = str(mproject) + "::" + str(mvpc)
                    rkey = (str(project) + "::" + str(vpc) + "::" + str(region) + "::"
                            + str(crouter["router_name"]))
                    if "cloud_routers" not in Globals.getRevertInfo():
                        Globals.getRevertInfo()["cloud_routers"] = {}
                    if mkey not in Globals.getRevertInfo()["cloud_routers"]:
                        Globals.getRevertInfo()["cloud_routers"][mkey] = {}
                    saved = Globals.getRevertInfo()["cloud_routers"][mkey]
                    # The settings saved first are the router's own; a later
                    # run would only see the customised ones.
                    if rkey not in saved:
                        saved[rkey] = response["bgp"]
                    updatedBgp = {"bgp": bgpObj}
                    if Globals.getDryRun():
                        continue
                    service.routers().patch(project=project, region=region,
                                            router=crouter["router_name"],
                                            body=updatedBgp).execute()
                except Exception as e:
                    logger.error("**Error** " + str(e))
                    traceback.print_exc()
        return None

    # 13
    @classmethod
    def restoreCloudRouterAdvertisedRoutePerVpc(cls, service):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Restore cloud router route(s)")
        mproject = yctx().getContext("project_id")
        mvpc = yctx().getContext("vpc_name")
        mkey = str(mproject) + "::" + str(mvpc)
        if not Globals.getRevertInfo()["cloud_routers"]:
            logger.info("  Done")
            return None
        if mkey not in Globals.getRevertInfo()["cloud_routers"]:
            return None
        routers = Globals.getRevertInfo()["cloud_routers"][mkey]
        if not isinstance(routers, dict):
            raise TypeError("Expected dict, got %.200s" % type(routers).__name__)
        for rkey in routers:
            parts = rkey.split("::")
            project = parts[0]
            region = parts[2]
            router = parts[3]
            try:
                logger.info("  restore " + str(rkey) + ", bgp "
                            + str(Globals.getRevertInfo()["cloud_routers"][mkey][rkey]))
                if Globals.getDryRun():
                    continue
                bgpObject = {"bgp": Globals.getRevertInfo()["cloud_routers"][mkey][rkey]}
                if "advertisedIpRanges" not in bgpObject["bgp"]:
                    bgpObject["bgp"]["advertisedIpRanges"] = []
                service.routers().patch(project=project, region=region, router=router,
                                        body=bgpObject).execute()
            except Exception as e:
                logger.error("**Error** " + str(e))
                traceback.print_exc()
        return None

    # 14
    @classmethod
    def manageSwitchRoute(cls, request, stage):
        manage_routes = yctx().getContext("manage_routes")
        if manage_routes is None:
            return None
        service = Globals.service
        if request:
            if stage in manage_routes:
                cls.manageRoute(service, manage_routes[stage], stage)
        else:
            cls.restoreRoute(service, stage)
        return None

    # 15
    @classmethod
    def restoreRoute(cls, service, stage):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Restore route(s) " + str(stage))
        project = yctx().getContext("project_id")
        vpc = yctx().getContext("vpc_name")
        key = str(project) + "::" + str(vpc)
        if (Globals.getRevertInfo()["manage_routes"]
                and stage in Globals.getRevertInfo()["manage_routes"]
                and key in Globals.getRevertInfo()["manage_routes"][stage]):
            for name in Globals.getRevertInfo()["manage_routes"][stage][key]["added_route_list"]:
                try:
                    logger.info("  remove route " + str(name))
                    if Globals.getDryRun():
                        continue
                    response = service.routes().delete(project=project, route=name).execute()
                    cls.wait_for_global_operation(service, project, response["name"])
                except Exception as e:
                    logger.info("  **Alert** " + str(e))
            for route in Globals.getRevertInfo()["manage_routes"][stage][key]["deleted_route_list"]:
                try:
                    logger.info("  restore route " + str(route["destRange"]))
                    if Globals.getDryRun():
                        continue
                    response = service.routes().insert(project=project, body=route).execute()
                    cls.wait_for_global_operation(service, project, response["name"])
                except Exception as e:
                    logger.info("  **Alert** " + str(e))
        logger.info("  Done")
        return None

    # 16
    @classmethod
    def manageRoute(cls, service, manage_routes, stage):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("- Manage route(s) " + str(stage))
        if manage_routes is None:
            logger.info("  No route config found!")
            return None
        project = yctx().getContext("project_id")
        deleted = []
        vpc = yctx().getContext("vpc_name")
        added = []
        def store():
            # Stored on every exit once the project and VPC are known, so that
            # what was changed before a failure can still be restored.
            key = str(project) + "::" + str(vpc)
            revert = Globals.getRevertInfo()
            if "manage_routes" not in revert:
                revert["manage_routes"] = {}
            if stage not in revert["manage_routes"]:
                revert["manage_routes"][stage] = {}
            records = revert["manage_routes"][stage]
            if key not in records:
                records[key] = {"deleted_route_list": deleted, "added_route_list": added}
                return
            # A re-run keeps the record: a route fetched again replaces the
            # stored resource of the same name (a resource without a name is
            # never taken for another one), new names are added.
            record = records[key]
            if "deleted_route_list" in record:
                kept = record["deleted_route_list"]
                for route in deleted:
                    name = route.get("name", None)
                    replaced = False
                    if name is not None:
                        for index, old in enumerate(kept):
                            oldName = old.get("name", None)
                            if oldName is not None and oldName == name:
                                kept[index] = route
                                replaced = True
                                break
                    if not replaced:
                        kept.append(route)
            else:
                record["deleted_route_list"] = deleted
            if "added_route_list" in record:
                names = record["added_route_list"]
                for name in added:
                    if name not in names:
                        names.append(name)
            else:
                record["added_route_list"] = added

        try:
            if "delete" in manage_routes:
                for name in manage_routes["delete"]:
                    try:
                        logger.info("  delete route " + str(name))
                        route = service.routes().get(project=project, route=name).execute()
                        deleted.append(route)
                        if Globals.getDryRun():
                            continue
                        response = service.routes().delete(project=project, route=name).execute()
                        cls.wait_for_global_operation(service, project, response["name"])
                    except Exception as e:
                        logger.error("  **Error** " + str(e))
            if "add" in manage_routes:
                for spec in manage_routes["add"]:
                    try:
                        routeKey = (project + vpc + spec["cidr"] + spec["zone"]
                                    + spec["dest_instance"] + str(spec["priority"]))
                        digest = hashlib.md5(routeKey.encode("utf-8")).digest()
                        routeName = "tsr-" + base64.b16encode(digest).decode("ascii").lower()
                        body = {
                            "destRange": spec["cidr"],
                            "nextHopInstance": spec["dest_instance"],
                            "priority": 1000,
                            "name": routeName,
                            "network": Globals.networkLink,
                            "description": "Tessaron-Created-Resource: "
                                           "Do-Not-Delete-Tessaron-Created-Resource",
                        }
                        if spec["priority"] is not None:
                            body["priority"] = spec["priority"]
                        if spec["name"] is not None:
                            body["name"] = spec["name"]
                        instance = service.instances().get(
                            project=project, zone=spec["zone"],
                            instance=spec["dest_instance"]).execute()
                        body["nextHopInstance"] = instance["selfLink"]
                        logger.info("  add route " + str(spec["cidr"]) + " to "
                                    + str(spec["dest_instance"]) + " priority "
                                    + str(body["priority"]) + " name " + str(body["name"]))
                        if Globals.getDryRun():
                            added.append(body["name"])
                        else:
                            response = service.routes().insert(project=project, body=body).execute()
                            # Accepted: recorded before the wait, which may fail
                            # while the route is created all the same.
                            added.append(body["name"])
                            cls.wait_for_global_operation(service, project, response["name"])
                    except Exception as e:
                        logger.error("  **Error** " + str(e))
        except BaseException:
            # The failure is what the caller sees; the record is stored all
            # the same, and an error while storing it is only reported.
            try:
                store()
            except BaseException as error:
                class Unraisable:
                    def __del__(self):
                        raise error
                # Its finaliser hands the error to sys.unraisablehook.
                Unraisable()
            raise
        store()
        return None

    # 17
    @classmethod
    def listSubnetByRegion(cls, service, network, region):
        result = []
        for url in network.get("subnetworks", []):
            parts = url.split("/")
            if parts[cls.REGION_I] != region:
                continue
            project = parts[cls.PROJECT_I]
            subnetwork = parts[cls.SUBNET_I]
            response = service.subnetworks().get(project=project, region=region,
                                                 subnetwork=subnetwork).execute()
            result.append(response["ipCidrRange"])
        return result

    # 18
    @classmethod
    def listSubnet(cls, service, network):
        logger = logging.getLogger("tarn_gcp.gcplib")
        logger.info("")
        logger.info("- Discover subnet(s)")
        logger.info("  " + "".ljust(63, "."))
        logger.info("  " + "CIDR".ljust(25) + "REGION".ljust(30) + "subnet")
        logger.info("  " + "".ljust(63, "."))
        result = []
        for url in network.get("subnetworks", []):
            parts = url.split("/")
            project = parts[cls.PROJECT_I]
            subnetwork = parts[cls.SUBNET_I]
            region = parts[cls.REGION_I]
            response = service.subnetworks().get(project=project, region=region,
                                                 subnetwork=subnetwork).execute()
            common.logSubnet(response)
            result.append(response["ipCidrRange"])
        return result

    # 19
    @classmethod
    def listAllNetwork(cls, project_id):
        credentials, project = google.auth.default()
        service = discovery.build("compute", "v1", credentials=credentials)
        request = service.networks().list(project=project)
        while request is not None:
            response = request.execute()
            for network in response["items"]:
                common.logVpcHeader(network)
                cls.listSubnet(service, network)
                cls.listRouteTable(project, service, network)
            request = service.networks().list_next(previous_request=request,
                                                   previous_response=response)
        return None
