// The bodies of the nineteen GcpLib methods, one subsystem per folder.
// Each takes the class it was called on, then its parameters in order.
#pragma once

#include "api.hpp"

namespace gcp {

using py::handle;
using py::object;

// Operation wait (wait.cpp)
object wait_for_global_operation(handle cls, handle service, handle project, handle operation);

// Peering (peering/)
object listPeering(handle cls, handle network);
object deletePeering(handle cls, handle service, handle project, handle vpc, handle peering);
object lookupRemotePeering(handle cls, handle service, handle localProject, handle localVpcName,
                           handle remoteProject, handle remoteVpcName);
object deletePeerings(handle cls, handle service, handle project, handle vpc);
object addPeerings(handle cls, handle service, handle peeringPairList);
object managePeerings(handle cls, handle switch_traffic);

// Routes (routes/)
object listRouteTable(handle cls, handle project, handle service, handle network, handle propagate);
object composeVpcCidrs(handle cls, handle service, handle response, handle region);
object manageSwitchRoute(handle cls, handle request, handle stage);
object restoreRoute(handle cls, handle service, handle stage);
object manageRoute(handle cls, handle service, handle manage_routes, handle stage);

// Cloud Routers (routers/)
object listRouterByRegion(handle cls, handle service, handle project, handle network, handle region);
object manageCloudRouterAdvertisedRoute(handle cls, handle switch_traffic);
object manageCloudRouterAdvertisedRoutePerVpc(handle cls, handle service);
object restoreCloudRouterAdvertisedRoutePerVpc(handle cls, handle service);

// Inventory (inventory/)
object listSubnetByRegion(handle cls, handle service, handle network, handle region);
object listSubnet(handle cls, handle service, handle network);
object listAllNetwork(handle cls, handle project_id);

// Raises NotImplementedError naming the method: for bodies still to come.
[[noreturn]] void not_implemented(const char* name);

}  // namespace gcp
