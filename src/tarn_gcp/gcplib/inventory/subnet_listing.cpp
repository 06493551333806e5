// The primary ranges of a network's subnetworks: the logged discovery table,
// and the quiet per-region variant used when composing advertisements.
#include "method_body.hpp"

namespace gcp {

namespace {

// service.subnetworks().get(project=..., region=..., subnetwork=...).execute()
object get_subnetwork(handle service, handle project, handle region, handle subnetwork) {
    return execute(request(service, ID("subnetworks"), ID("get"),
                           KW("project", "region", "subnetwork"), project, region, subnetwork));
}

}  // namespace

object listSubnetByRegion(handle cls, handle service, handle network, handle region) {
    py::list result = new_list();
    object urls = get(network, ID("subnetworks"), new_list());
    for (handle url : urls) {
        SelfLink parts(url);
        // The region comes from the URL alone: other regions are never fetched.
        if (!parts.part_equals(attr(cls, ID("REGION_I")), region)) continue;
        object project = parts.part(cls, ID("PROJECT_I"));
        object subnetwork = parts.part(cls, ID("SUBNET_I"));
        object response = get_subnetwork(service, project, region, subnetwork);
        append(result, item(response, ID("ipCidrRange")));
    }
    return std::move(result);
}

object listSubnet(handle cls, handle service, handle network) {
    Logger log;
    log.info(LIT(""));
    log.info(LIT("- Discover subnet(s)"));
    log.info(rule_line());
    log.info({LIT("  "), pad(LIT("CIDR"), 25), pad(LIT("REGION"), 30), LIT("subnet")});
    log.info(rule_line());
    py::list result = new_list();
    object urls = get(network, ID("subnetworks"), new_list());
    for (handle url : urls) {
        SelfLink parts(url);
        object project = parts.part(cls, ID("PROJECT_I"));
        object subnetwork = parts.part(cls, ID("SUBNET_I"));
        object region = parts.part(cls, ID("REGION_I"));
        object response = get_subnetwork(service, project, region, subnetwork);
        call_method(global(ID("common")), ID("logSubnet"), response);
        append(result, item(response, ID("ipCidrRange")));
    }
    return std::move(result);
}

}  // namespace gcp
