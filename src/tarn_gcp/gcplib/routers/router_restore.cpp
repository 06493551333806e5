// The Cloud Router restore: patching each router saved by the stage back to
// the "bgp" settings kept in the revert information.
#include "method_body.hpp"

namespace gcp {

object restoreCloudRouterAdvertisedRoutePerVpc(handle, handle service) {
    Logger log;
    log.info(LIT("- Restore cloud router route(s)"));
    object mproject = plan(ID("project_id"));
    object mvpc = plan(ID("vpc_name"));
    py::str mkey = cat({mproject, LIT("::"), mvpc});

    if (!truthy(item(revert_info(), ID("cloud_routers")))) {
        log.info(LIT("  Done"));
        return py::none();
    }
    if (!contains(item(revert_info(), ID("cloud_routers")), mkey)) return py::none();
    object routers = item(item(revert_info(), ID("cloud_routers")), mkey);
    if (!PyDict_Check(routers.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                     Py_TYPE(routers.ptr())->tp_name);
        raise_current();
    }

    for (handle rkey : routers) {
        object parts = split(rkey, LIT("::"));
        object project = at(parts, 0);
        object region = at(parts, 2);
        object router = at(parts, 3);
        absorb(
            [&] {
                log.info({LIT("  restore "), rkey, LIT(", bgp "),
                          item(item(item(revert_info(), ID("cloud_routers")), mkey), rkey)});
                if (dry_run()) return;
                py::dict body = new_dict();
                object saved = item(item(item(revert_info(), ID("cloud_routers")), mkey), rkey);
                set_item(body, ID("bgp"), saved);
                // An empty list clears the ranges the stage added to a router
                // that advertised none of its own.
                if (!contains(saved, ID("advertisedIpRanges"))) {
                    set_item(saved, ID("advertisedIpRanges"), new_list());
                }
                object routers_api = call_method(service, ID("routers"));
                execute(call_method_kw(routers_api, ID("patch"),
                                       KW("project", "region", "router", "body"), project, region,
                                       router, body));
            },
            [&](const py::error_already_set& e) { log_with_traceback(log, e); });
    }
    return py::none();
}

}  // namespace gcp
