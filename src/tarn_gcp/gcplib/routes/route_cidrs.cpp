// The ranges a spoke VPC advertises in one region.
#include "method_body.hpp"

namespace gcp {

namespace {

// a + b, as the interpreter adds two lists.
object concat(handle a, handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }

}  // namespace

object composeVpcCidrs(handle cls, handle service, handle response, handle region) {
    object spoke_advertisement = plan(ID("spoke_advertisement"));
    object advertise_gke = plan(ID("advertise_gke"));
    object cidrs = new_list();
    // Only True itself switches the GKE ranges on, not any truthy value.
    if (is_true(advertise_gke)) {
        object route_info = attr(global(ID("Globals")), ID("routeInfo"));
        cidrs = concat(cidrs, call_method(route_info, ID("get_gke_export_routes")));
    }
    if (equal(spoke_advertisement, py::none())) {
        // The region's subnets are advertised only beside GKE ranges.
        if (length(cidrs) > 0) {
            object subnets = call_cls(cls, ID("listSubnetByRegion"), service, response,
                                      item(region, ID("region")));
            cidrs = concat(cidrs, subnets);
        }
    } else {
        cidrs = concat(cidrs, spoke_advertisement);
    }
    if (length(cidrs) > 0) return cidrs;
    return py::none();
}

}  // namespace gcp
