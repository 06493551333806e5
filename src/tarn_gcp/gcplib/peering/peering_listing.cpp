// The peering table of one network, as discovery logs it.
#include "method_body.hpp"

namespace gcp {

object listPeering(handle cls, handle network) {
    Logger log;
    log.info(LIT("- Discover peering(s)"));
    object peerings = get(network, ID("peerings"), new_list());
    if (length(peerings) == 0) log.info(LIT("  no peering found"));
    log.info(rule_line());
    log.info({LIT("  "), pad(LIT("Peering name"), 51), pad(LIT("Project::VPC"), 30)});
    log.info(rule_line());
    for (handle peering : peerings) {
        object peer_project = url_part(item(peering, ID("network")), cls, ID("PROJECT_I"));
        object peer_network = url_part(item(peering, ID("network")), cls, ID("NETWORK_I"));
        log.info({LIT("  "), pad(item(peering, ID("name")), 50), LIT(" "), peer_project, LIT("::"),
                  peer_network});
    }
    return py::none();
}

}  // namespace gcp
