// The class GcpLib: its int attributes and its methods, in the order of its
// namespace. This list is the one description of the class surface: the
// method objects, their introspection (signature, defaults, annotations,
// docstring) and the declarations of the bodies all come from it, and the
// typing stub is checked against what it produces.
//
// A method is added by writing its body (a function of the class it was
// called on and one py::handle per parameter, in order) and its row here.
#pragma once

#include "function_object.hpp"

#include <initializer_list>
#include <tuple>

namespace gcp {

// One row per method, in the order of the class namespace:
//   M(body function = method name, (parameters after cls), (defaults of the
//     last parameters), ({annotated name, annotation text}...), docstring)
#define GCPLIB_METHODS(M)                                                                     \
    M(listPeering, ("network"), (), (), nullptr)                                              \
    M(wait_for_global_operation, ("service", "project", "operation"), (),                     \
      ({"service", "object"}, {"project", "str"}, {"operation", "str"}, {"return", "dict"}),  \
      wait_doc)                                                                               \
    M(deletePeering, ("service", "project", "vpc", "peering"), (), (), nullptr)               \
    M(lookupRemotePeering,                                                                    \
      ("service", "localProject", "localVpcName", "remoteProject", "remoteVpcName"), (), (),  \
      nullptr)                                                                                \
    M(deletePeerings, ("service", "project", "vpc"), (), (), nullptr)                         \
    M(addPeerings, ("service", "peeringPairList"), (), (), nullptr)                           \
    M(managePeerings, ("switch_traffic"), (), ({"switch_traffic", "bool"}), nullptr)          \
    M(listRouteTable, ("project", "service", "network", "propagate"), (Py_True),              \
      ({"return", "RouteInfo"}), nullptr)                                                     \
    M(composeVpcCidrs, ("service", "response", "region"), (), (), nullptr)                    \
    M(listRouterByRegion, ("service", "project", "network", "region"), (), (), nullptr)       \
    M(manageCloudRouterAdvertisedRoute, ("switch_traffic"), (), ({"switch_traffic", "bool"}), \
      nullptr)                                                                                \
    M(manageCloudRouterAdvertisedRoutePerVpc, ("service"), (), (), nullptr)                   \
    M(restoreCloudRouterAdvertisedRoutePerVpc, ("service"), (), (), nullptr)                  \
    M(manageSwitchRoute, ("request", "stage"), (), (), nullptr)                               \
    M(restoreRoute, ("service", "stage"), (), (), nullptr)                                    \
    M(manageRoute, ("service", "manage_routes", "stage"), (), (), nullptr)                    \
    M(listSubnetByRegion, ("service", "network", "region"), (), (), nullptr)                  \
    M(listSubnet, ("service", "network"), (), (), nullptr)                                    \
    M(listAllNetwork, ("project_id"), (), (), nullptr)

#define GCPLIB_CLASS_CONSTANTS(C) \
    C(PROJECT_I, 6)               \
    C(REGION_I, 8)                \
    C(SUBNET_I, 10)               \
    C(NETWORK_I, 9)

// The elements of a parenthesised row field, and how many there are.
#define GCP_UNWRAP(...) __VA_ARGS__
#define GCP_COUNT(list) std::tuple_size<decltype(std::make_tuple(GCP_UNWRAP list))>::value

// The bodies' declarations: one py::handle per parameter after `cls`.
#define GCP_DECLARE_BODY(name, params, ...) Body<GCP_COUNT(params)> name;
GCPLIB_METHODS(GCP_DECLARE_BODY)
#undef GCP_DECLARE_BODY

namespace detail {
constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
// Whether every annotation names a parameter or "return".
constexpr bool annotations_fit(std::initializer_list<const char*> params,
                               std::initializer_list<Annotation> annotations) {
    for (const Annotation& a : annotations) {
        bool found = same_text(a.name, "return");
        for (const char* p : params) found = found || same_text(a.name, p);
        if (!found) return false;
    }
    return true;
}
}  // namespace detail

#define GCP_CHECK_ROW(name, params, defaults, annotations, ...)                           \
    static_assert(GCP_COUNT(params) <= max_method_params, #name ": too many parameters"); \
    static_assert(GCP_COUNT(defaults) <= GCP_COUNT(params),                               \
                  #name ": more defaults than parameters");                               \
    static_assert(detail::annotations_fit({GCP_UNWRAP params}, {GCP_UNWRAP annotations}), \
                  #name ": an annotation names no parameter");
GCPLIB_METHODS(GCP_CHECK_ROW)
#undef GCP_CHECK_ROW

struct ClassConstant {
    const char* name;
    long value;
};

#define GCP_CONSTANT_ROW(name, value) {#name, value},
inline constexpr ClassConstant class_constants[] = {GCPLIB_CLASS_CONSTANTS(GCP_CONSTANT_ROW)};
#undef GCP_CONSTANT_ROW

#define GCP_ONE_MORE(...) +1
inline constexpr size_t method_count = 0 GCPLIB_METHODS(GCP_ONE_MORE);
#undef GCP_ONE_MORE

extern const MethodSpec method_table[method_count];

}  // namespace gcp
