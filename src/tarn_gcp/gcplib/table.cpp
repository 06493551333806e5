// The class GcpLib: its constant attributes and its methods, in order.
#include "table.hpp"

#include "methods.hpp"

namespace gcp {

namespace {

const char* const wait_doc =
    "Waits for the given operation to complete.\n"
    "\n"
    "        Args:\n"
    "        compute: an initialized compute service object.\n"
    "        project: the Google Cloud project ID.\n"
    "        zone: the name of the zone in which the operation should be executed.\n"
    "        operation: the operation ID.\n"
    "\n"
    "        Returns:\n"
    "        The result of the operation.\n"
    "        ";

}  // namespace

const ClassConstant class_constants[4] = {
    {"PROJECT_I", 6},
    {"REGION_I", 8},
    {"SUBNET_I", 10},
    {"NETWORK_I", 9},
};

// name, parameters after cls, defaults, annotations, docstring, body
const MethodSpec method_table[19] = {
    {"listPeering", {"network"}, {}, {}, nullptr, GCP_IMPL(listPeering)},
    {"wait_for_global_operation", {"service", "project", "operation"}, {},
     {{"service", "object"}, {"project", "str"}, {"operation", "str"}, {"return", "dict"}},
     wait_doc, GCP_IMPL(wait_for_global_operation)},
    {"deletePeering", {"service", "project", "vpc", "peering"}, {}, {}, nullptr,
     GCP_IMPL(deletePeering)},
    {"lookupRemotePeering",
     {"service", "localProject", "localVpcName", "remoteProject", "remoteVpcName"}, {}, {},
     nullptr, GCP_IMPL(lookupRemotePeering)},
    {"deletePeerings", {"service", "project", "vpc"}, {}, {}, nullptr, GCP_IMPL(deletePeerings)},
    {"addPeerings", {"service", "peeringPairList"}, {}, {}, nullptr, GCP_IMPL(addPeerings)},
    {"managePeerings", {"switch_traffic"}, {}, {{"switch_traffic", "bool"}}, nullptr,
     GCP_IMPL(managePeerings)},
    {"listRouteTable", {"project", "service", "network", "propagate"}, {Py_True},
     {{"return", "RouteInfo"}}, nullptr, GCP_IMPL(listRouteTable)},
    {"composeVpcCidrs", {"service", "response", "region"}, {}, {}, nullptr,
     GCP_IMPL(composeVpcCidrs)},
    {"listRouterByRegion", {"service", "project", "network", "region"}, {}, {}, nullptr,
     GCP_IMPL(listRouterByRegion)},
    {"manageCloudRouterAdvertisedRoute", {"switch_traffic"}, {}, {{"switch_traffic", "bool"}},
     nullptr, GCP_IMPL(manageCloudRouterAdvertisedRoute)},
    {"manageCloudRouterAdvertisedRoutePerVpc", {"service"}, {}, {}, nullptr,
     GCP_IMPL(manageCloudRouterAdvertisedRoutePerVpc)},
    {"restoreCloudRouterAdvertisedRoutePerVpc", {"service"}, {}, {}, nullptr,
     GCP_IMPL(restoreCloudRouterAdvertisedRoutePerVpc)},
    {"manageSwitchRoute", {"request", "stage"}, {}, {}, nullptr, GCP_IMPL(manageSwitchRoute)},
    {"restoreRoute", {"service", "stage"}, {}, {}, nullptr, GCP_IMPL(restoreRoute)},
    {"manageRoute", {"service", "manage_routes", "stage"}, {}, {}, nullptr,
     GCP_IMPL(manageRoute)},
    {"listSubnetByRegion", {"service", "network", "region"}, {}, {}, nullptr,
     GCP_IMPL(listSubnetByRegion)},
    {"listSubnet", {"service", "network"}, {}, {}, nullptr, GCP_IMPL(listSubnet)},
    {"listAllNetwork", {"project_id"}, {}, {}, nullptr, GCP_IMPL(listAllNetwork)},
};

void not_implemented(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "GcpLib.%s is not implemented yet", name);
    raise_current();
}

}  // namespace gcp
