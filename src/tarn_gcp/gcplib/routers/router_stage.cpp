// The Cloud Router stage: customising the BGP advertisements of the transit
// VPCs' Cloud Routers for the migrated VPC.
//
// Each changed router's previous "bgp" dict is kept in the revert
// information under "cloud_routers", migrated VPC ("project::vpc"), router
// ("project::network::region::name") before the router is patched.
#include "method_body.hpp"

namespace gcp {

namespace {

// str(ipaddress.IPv4Network(range)): the range as network address and prefix
// length; refuses ranges with host bits set.
py::str canonical(handle range) {
    object network_type = attr(global(ID("ipaddress")), ID("IPv4Network"));
    return text(call(network_type, range));
}

// One call of the stage: what every router of it shares.
struct Stage {
    handle cls, service;
    const Logger& log;
    handle mproject, mvpc;
    object mkey;  // the migrated VPC's key, formed for the first changed router

    void router(handle project, handle vpc, handle crouter, handle region, handle bgp_obj);
};

// One cloud router entry of a transit VPC: reads the router, works out its
// new advertisements and, when they differ, saves the old settings and
// patches it. Every failure raises to the caller's guard.
void Stage::router(handle project, handle vpc, handle crouter, handle region, handle bgp_obj) {
    object routers = call_method(service, ID("routers"));
    object name = item(crouter, ID("router_name"));
    object response = execute(call_method_kw(routers, ID("get"), KW("project", "region", "router"),
                                             project, region, name));
    // "project::vpc region", the router's place in every line.
    object where_text;
    auto where = [&]() -> handle {
        if (!where_text) where_text = cat({project, LIT("::"), vpc, LIT(" "), region});
        return where_text;
    };

    if (!equal(url_part(item(response, ID("network")), cls, ID("NETWORK_I")), vpc)) {
        log.info({LIT("  "), name, LIT(" not found in "), where()});
        return;
    }
    object bgp = item(response, ID("bgp"));
    if (equal(item(bgp, ID("advertiseMode")), LIT("DEFAULT"))) {
        log.info({LIT("  "), name, LIT(" in "), where(),
                  LIT(" is in DEFAULT advertize mode, cannot customize route")});
        return;
    }

    bool changed = false;
    py::list ranges = new_list();
    set_item(bgp_obj, ID("advertisedIpRanges"), ranges);
    // The text of every range in the new list, so that no range is
    // advertised twice.
    object seen = steal(PySet_New(nullptr));
    if (contains(bgp, ID("advertisedIpRanges"))) {
        for (handle route : item(bgp, ID("advertisedIpRanges"))) {
            object range = item(route, ID("range"));
            py::str normal = canonical(range);
            if (contains(item(crouter, ID("remove_advertised_routes")), normal)) {
                log.info({LIT("  delete "), range, LIT(" in "), name, LIT(" from "), where()});
                changed = true;
            } else {
                append(ranges, route);
                if (PySet_Add(seen.ptr(), text(range).ptr()) < 0) raise_current();
            }
        }
    }
    for (handle route : item(crouter, ID("add_advertised_routes"))) {
        py::str range_text = text(route);
        const int present = PySet_Contains(seen.ptr(), range_text.ptr());
        if (present < 0) raise_current();
        if (present) {
            log.info({LIT("  already advertised "), range_text, LIT(" in "), name, LIT(" from "),
                      where()});
            continue;
        }
        log.info({LIT("  add "), range_text, LIT(" to "), name, LIT(" from "), where()});
        py::dict added = new_dict();
        set_item(added, ID("range"), route);
        set_item(added, ID("description"), LIT("tessaron-migration-added"));
        append(ranges, added);
        if (PySet_Add(seen.ptr(), range_text.ptr()) < 0) raise_current();
        changed = true;
    }
    if (contains(bgp, ID("advertisedGroups"))) {
        py::list groups = new_list();
        set_item(bgp_obj, ID("advertisedGroups"), groups);
        for (handle grp : item(bgp, ID("advertisedGroups"))) {
            if (contains(item(crouter, ID("remove_advertised_groups")), grp)) {
                log.info({LIT("  delete "), grp, LIT(" in "), name, LIT(" from "), where()});
                changed = true;
            } else {
                append(groups, grp);
            }
        }
    }
    if (!changed) return;

    // Save the settings first seen for this router: on a later run the
    // router already carries the customised ones, and only the first
    // entry leads the restore back to the original.  The revert
    // information is asked for anew at each use rather than held once
    // through entry_or_new: the reads of Globals are part of the method's
    // behaviour, and the fuzz compares their order and count with the model.
    if (!mkey) mkey = cat({mproject, LIT("::"), mvpc});
    handle key = mkey;
    py::str rkey = cat({project, LIT("::"), vpc, LIT("::"), region, LIT("::"), name});
    if (!contains(revert_info(), ID("cloud_routers"))) {
        set_item(revert_info(), ID("cloud_routers"), new_dict());
    }
    if (!contains(item(revert_info(), ID("cloud_routers")), key)) {
        set_item(item(revert_info(), ID("cloud_routers")), key, new_dict());
    }
    object saved = item(item(revert_info(), ID("cloud_routers")), key);
    if (!contains(saved, rkey)) set_item(saved, rkey, bgp);

    py::dict updated = new_dict();
    set_item(updated, ID("bgp"), bgp_obj);
    if (dry_run()) return;
    object patch_routers = call_method(service, ID("routers"));
    execute(call_method_kw(patch_routers, ID("patch"), KW("project", "region", "router", "body"),
                           project, region, name, updated));
}

}  // namespace

object manageCloudRouterAdvertisedRoute(handle cls, handle switch_traffic) {
    [[maybe_unused]] Logger log;
    object service = attr(global(ID("Globals")), ID("service"));
    if (is_true(switch_traffic)) {
        call_cls(cls, ID("manageCloudRouterAdvertisedRoutePerVpc"), service);
    } else {
        call_cls(cls, ID("restoreCloudRouterAdvertisedRoutePerVpc"), service);
    }
    return py::none();
}

object manageCloudRouterAdvertisedRoutePerVpc(handle cls, handle service) {
    Logger log;
    log.info(LIT("- Manage cloud router route(s)"));
    object transit_vpcs = plan(ID("transit_vpcs"));
    object mproject = plan(ID("project_id"));
    object mvpc = plan(ID("vpc_name"));
    Stage stage{cls, service, log, mproject, mvpc, object()};

    for (handle vpc_obj : transit_vpcs) {
        object parts = split(item(vpc_obj, ID("vpc_name")), LIT("::"));
        object project = at(parts, 0);
        object vpc = at(parts, 1);
        if (!contains(vpc_obj, ID("cloud_routers"))) {
            log.info(LIT("  No cloud router found"));
            continue;
        }
        for (handle crouter : item(vpc_obj, ID("cloud_routers"))) {
            object region = item(crouter, ID("region"));
            py::dict bgp_obj = new_dict();
            absorb([&] { stage.router(project, vpc, crouter, region, bgp_obj); },
                   [&](const py::error_already_set& e) { log_with_traceback(log, e); });
        }
    }
    return py::none();
}

}  // namespace gcp
