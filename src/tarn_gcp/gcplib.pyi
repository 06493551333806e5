# Type information for the extension module tarn_gcp.gcplib.
from typing import Any, Dict, List, Optional

from tarn_gcp.res.RouteInfo import RouteInfo

class GcpLib:
    PROJECT_I: int
    REGION_I: int
    SUBNET_I: int
    NETWORK_I: int

    @classmethod
    def listPeering(cls, network: Dict[str, Any]) -> None: ...
    @classmethod
    def wait_for_global_operation(
        cls, service: Any, project: str, operation: str
    ) -> Optional[Dict[str, Any]]: ...
    @classmethod
    def deletePeering(cls, service: Any, project: Any, vpc: Any, peering: Any) -> None: ...
    @classmethod
    def lookupRemotePeering(
        cls,
        service: Any,
        localProject: Any,
        localVpcName: Any,
        remoteProject: Any,
        remoteVpcName: Any,
    ) -> Optional[Dict[str, Any]]: ...
    @classmethod
    def deletePeerings(cls, service: Any, project: Any, vpc: Dict[str, Any]) -> None: ...
    @classmethod
    def addPeerings(cls, service: Any, peeringPairList: List[Dict[str, Any]]) -> None: ...
    @classmethod
    def managePeerings(cls, switch_traffic: bool) -> None: ...
    @classmethod
    def listRouteTable(
        cls, project: Any, service: Any, network: Dict[str, Any], propagate: bool = True
    ) -> RouteInfo: ...
    @classmethod
    def composeVpcCidrs(
        cls, service: Any, response: Dict[str, Any], region: Dict[str, Any]
    ) -> Optional[List[str]]: ...
    @classmethod
    def listRouterByRegion(cls, service: Any, project: Any, network: Any, region: Any) -> None: ...
    @classmethod
    def manageCloudRouterAdvertisedRoute(cls, switch_traffic: bool) -> None: ...
    @classmethod
    def manageCloudRouterAdvertisedRoutePerVpc(cls, service: Any) -> None: ...
    @classmethod
    def restoreCloudRouterAdvertisedRoutePerVpc(cls, service: Any) -> None: ...
    @classmethod
    def manageSwitchRoute(cls, request: Any, stage: Any) -> None: ...
    @classmethod
    def restoreRoute(cls, service: Any, stage: Any) -> None: ...
    @classmethod
    def manageRoute(
        cls, service: Any, manage_routes: Optional[Dict[str, Any]], stage: Any
    ) -> None: ...
    @classmethod
    def listSubnetByRegion(
        cls, service: Any, network: Dict[str, Any], region: Any
    ) -> List[Any]: ...
    @classmethod
    def listSubnet(cls, service: Any, network: Dict[str, Any]) -> List[Any]: ...
    @classmethod
    def listAllNetwork(cls, project_id: Any) -> None: ...
