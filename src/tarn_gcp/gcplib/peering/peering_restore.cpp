// The peering stage's entry point and its restore: re-creating the saved
// peering pairs on both sides.
#include "method_body.hpp"

namespace gcp {

namespace {

// {"networkPeering": {...}}: the record's settings as addPeering takes them.
py::dict peering_body(handle record) {
    py::dict peering = new_dict();
    set_item(peering, ID("name"), item(record, ID("name")));
    set_item(peering, ID("network"), item(record, ID("network")));
    set_item(peering, ID("exportCustomRoutes"), item(record, ID("exportCustomRoutes")));
    set_item(peering, ID("importCustomRoutes"), item(record, ID("importCustomRoutes")));
    set_item(peering, ID("exchangeSubnetRoutes"), item(record, ID("exchangeSubnetRoutes")));
    set_item(peering, ID("exportSubnetRoutesWithPublicIp"),
             item(record, ID("exportSubnetRoutesWithPublicIp")));
    set_item(peering, ID("importSubnetRoutesWithPublicIp"),
             item(record, ID("importSubnetRoutesWithPublicIp")));
    set_item(peering, ID("stackType"), item(record, ID("stackType")));
    py::dict body = new_dict();
    set_item(body, ID("networkPeering"), peering);
    return body;
}

// Whether project::network already holds `peering` (the networkPeering of
// an addPeering body): a record in the network's "peerings" with the same
// "name" and "network"; a record without a "name" is passed over. A lookup
// that fails finds nothing.
bool peering_in_place(handle service, handle project, handle network, handle peering) {
    auto lookup = [&] {
        object resource = execute(request(service, ID("networks"), ID("get"),
                                          KW("project", "network"), project, network));
        object records = get(resource, ID("peerings"), new_list());
        for (handle record : records) {
            if (!contains(record, ID("name"))) continue;
            if (equal(item(record, ID("name")), item(peering, ID("name"))) &&
                equal(item(record, ID("network")), item(peering, ID("network")))) {
                return true;
            }
        }
        return false;
    };
    return absorb(lookup, [](const py::error_already_set&) { return false; });
}

// Logs the addition of `record` on project::network and, outside a dry
// run, adds it, waits for the operation and logs what the operation reports.
// When the addition fails but the network turns out to hold the peering
// already (a restore run again, or a side the switch never removed), that is
// logged and the restore goes on; otherwise the failure is raised.
void add_peering(const Logger& log, handle cls, handle service, handle record, handle project,
                 handle network, handle body) {
    log.info({LIT("  add peering "), item(record, ID("name")), LIT(" in "), project, LIT("::"),
              network});
    if (dry_run()) return;
    auto add = [&] {
        object operation =
            execute(request(service, ID("networks"), ID("addPeering"),
                            KW("project", "network", "body"), project, network, body));
        wait_for(cls, service, project, operation);
        return operation;
    };
    auto in_place = [&](const py::error_already_set& e) {
        Handling handling(e);
        object peering = item(body, ID("networkPeering"));
        if (!peering_in_place(service, project, network, peering)) throw;
        log.info({LIT("  peering "), item(peering, ID("name")), LIT(" already in "), project,
                  LIT("::"), network});
        return object();
    };
    object operation = absorb(add, in_place);
    if (operation) report_operation(log, operation, LIT("  **Error** "));
}

}  // namespace

object addPeerings(handle cls, handle service, handle peeringPairList) {
    Logger log;
    log.info(LIT("- Restore peerings"));
    if (length(peeringPairList) == 0) log.info(LIT("  no peering found"));
    for (handle pair : peeringPairList) {
        object lpp = item(pair, ID("localPeeringProperties"));
        object rpp = item(pair, ID("remotePeeringProperties"));
        if (is_none(rpp)) {
            // The transit side held no record of this peering: only the
            // migrated VPC's side can be put back, on the run's own VPC.
            object project = attr(global(ID("Globals")), ID("project"));
            object network = item(attr(global(ID("Globals")), ID("vpc")), ID("vpc_name"));
            log.info({LIT("- Add local peering in "), project, LIT("::"), network});
            py::dict body = peering_body(lpp);
            add_peering(log, cls, service, lpp, project, network, body);
            continue;
        }
        // Each record names the network at the other end: the local record
        // goes onto the network the remote record names, and back.
        SelfLink remote_link(item(rpp, ID("network")));
        object local_project = remote_link.part(cls, ID("PROJECT_I"));
        object local_network = remote_link.part(cls, ID("NETWORK_I"));
        SelfLink local_link(item(lpp, ID("network")));
        object remote_project = local_link.part(cls, ID("PROJECT_I"));
        object remote_network = local_link.part(cls, ID("NETWORK_I"));
        log.info({LIT("- Add local peering in "), local_project, LIT("::"), local_network});
        py::dict local_body = peering_body(lpp);
        py::dict remote_body = peering_body(rpp);
        add_peering(log, cls, service, lpp, local_project, local_network, local_body);
        add_peering(log, cls, service, rpp, remote_project, remote_network, remote_body);
    }
    return py::none();
}

object managePeerings(handle cls, handle switch_traffic) {
    Logger log;
    object service = attr(global(ID("Globals")), ID("service"));
    object project = attr(global(ID("Globals")), ID("project"));
    object vpc = attr(global(ID("Globals")), ID("vpc"));
    if (is_true(switch_traffic)) {
        call_cls(cls, ID("deletePeerings"), service, project, vpc);
        return py::none();
    }
    object key = cat({project, LIT("::"), item(vpc, ID("vpc_name"))});
    object saved = item(revert_info(), ID("peerings"));
    if (contains(saved, key)) {
        object pairs = item(item(revert_info(), ID("peerings")), key);
        call_cls(cls, ID("addPeerings"), service, pairs);
    }
    return py::none();
}

}  // namespace gcp
