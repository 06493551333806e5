// The Cloud Routers of one network in one region, with what they advertise.
#include "method_body.hpp"

namespace gcp {

object listRouterByRegion(handle cls, handle service, handle project, handle network,
                          handle region) {
    Logger log;
    log.info(LIT("- Discover cloud router(s)"));
    object response = execute(
        request(service, ID("routers"), ID("list"), KW("project", "region"), project, region));
    if (!contains(response, ID("items"))) {
        log.info(LIT("  No cloud router found"));
        return py::none();
    }
    object routers = item(response, ID("items"));
    for (handle router : routers) {
        // Both names are taken before the network test, for every router.
        object net_name = url_part(item(router, ID("network")), cls, ID("NETWORK_I"));
        object region_name = url_part(item(router, ID("region")), cls, ID("REGION_I"));
        if (!equal(net_name, network)) continue;
        object name = item(router, ID("name"));
        object bgp = item(router, ID("bgp"));
        object asn = item(bgp, ID("asn"));
        log.info({LIT("  "), name, LIT(" "), region_name, LIT(" bgp "), asn, LIT(" "),
                  item(bgp, ID("advertiseMode"))});
        if (contains(bgp, ID("advertisedIpRanges"))) {
            object ranges = item(bgp, ID("advertisedIpRanges"));
            for (handle advertised : ranges) {
                object range = item(advertised, ID("range"));
                log.info({LIT("    "), range, LIT(" "), item(advertised, ID("description"))});
            }
        }
        if (contains(bgp, ID("advertisedGroups"))) {
            object groups = item(bgp, ID("advertisedGroups"));
            for (handle group : groups) log.info({LIT("    "), group});
        }
    }
    return py::none();
}

}  // namespace gcp
