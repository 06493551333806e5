// The route table of one network, as discovery logs it, and the GKE export
// ranges found in it.
#include "method_body.hpp"

namespace gcp {

namespace {

// value.split("/")[-1]
object last_part(handle value) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyUnicode_CheckExact(value.ptr())) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(value.ptr());
        const Py_ssize_t slash = PyUnicode_FindChar(value.ptr(), '/', 0, len, -1);
        if (slash == -2) raise_current();
        if (slash == -1) return py::reinterpret_borrow<object>(value);
        return steal(PyUnicode_Substring(value.ptr(), slash + 1, len));
    }
    return item(split(value, LIT("/")), steal(PyLong_FromLong(-1)));
}

// value.startswith("gke-") and value.endswith("-peer"): the name of the
// peering through which a GKE cluster exports its ranges.
bool is_gke_peering(handle value) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyUnicode_CheckExact(value.ptr())) {
        const Py_ssize_t head =
            PyUnicode_Tailmatch(value.ptr(), LIT("gke-"), 0, PY_SSIZE_T_MAX, -1);
        if (head < 0) raise_current();
        if (head == 0) return false;
        const Py_ssize_t tail =
            PyUnicode_Tailmatch(value.ptr(), LIT("-peer"), 0, PY_SSIZE_T_MAX, 1);
        if (tail < 0) raise_current();
        return tail == 1;
    }
    return truthy(call_method(value, ID("startswith"), LIT("gke-"))) &&
           truthy(call_method(value, ID("endswith"), LIT("-peer")));
}

// One row of the table: the destination range, then the next hop.
void log_row(const Logger& log, handle dest_range, handle dest) {
    log.info({LIT("  "), pad(dest_range, 25), dest});
}

// Logs one route; the next hop is that of the first next-hop key it holds.
void log_route(const Logger& log, handle record, handle route) {
    if (contains(route, ID("nextHopNetwork"))) {
        object name = last_part(item(route, ID("nextHopNetwork")));
        log.info({LIT("  "), pad(item(route, ID("destRange")), 25), LIT("Virtual network "), name});
    } else if (contains(route, ID("nextHopIp"))) {
        object dest = item(route, ID("nextHopIp"));
        log_row(log, item(route, ID("destRange")), dest);
    } else if (contains(route, ID("nextHopGateway"))) {
        object dest = last_part(item(route, ID("nextHopGateway")));
        log_row(log, item(route, ID("destRange")), dest);
    } else if (contains(route, ID("nextHopIlb"))) {
        object dest = last_part(item(route, ID("nextHopIlb")));
        log_row(log, item(route, ID("destRange")), dest);
    } else if (contains(route, ID("nextHopPeering"))) {
        object dest = item(route, ID("nextHopPeering"));
        const bool gke = is_gke_peering(dest);
        object dest_range = item(route, ID("destRange"));
        if (gke) call_method(record, ID("add_gke_export_routes"), dest_range);
        log_row(log, dest_range, dest);
    } else if (contains(route, ID("nextHopInstance"))) {
        SelfLink instance(item(route, ID("nextHopInstance")));
        object dest = instance.part(attr(global(ID("common")), ID("INSTANCE_I")));
        log_row(log, item(route, ID("destRange")), dest);
    } else {
        log.error({LIT("  **Error** unknown destination "), route});
    }
}

object list_routes(const Logger& log, handle project, handle service, handle network) {
    log.info(LIT(""));
    log.info(LIT("- Discover route(s)"));
    object filter = cat({LIT("network: \""), item(network, ID("selfLink")), LIT("\"")});
    object req =
        request(service, ID("routes"), ID("list"), KW("project", "filter"), project, filter);
    log.info(rule_line());
    log.info({LIT("  "), pad(LIT("CIDR"), 25), pad(LIT("Next-hop"), 30)});
    log.info(rule_line());
    object record = call(global(ID("RouteInfo")));
    while (!is_none(req)) {
        object response = execute(req);
        if (!contains(response, ID("items"))) {
            log.info(LIT("    no route found"));
            break;
        }
        object items = item(response, ID("items"));
        for (handle route : items) log_route(log, record, route);
        req = list_next(service, ID("routes"), req, response);
    }
    return record;
}

// Sets propagate back to True after a listing that ended by an error, leaving
// that error as it is; a failure of the assignment itself is only reported.
void restore_propagate(handle logger, PyObject* name) noexcept {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    if (PyObject_SetAttr(logger.ptr(), name, Py_True) < 0) {
        PyErr_WriteUnraisable(logger.ptr());
    }
    PyErr_Restore(type, value, trace);
}

}  // namespace

object listRouteTable(handle, handle project, handle service, handle network, handle propagate) {
    Logger log;
    handle logger = log.object();
    PyObject* const name = ID("propagate");
    set_attr(logger, name, propagate);
    object record;
    try {
        record = list_routes(log, project, service, network);
    } catch (...) {
        // Whatever ends the listing, interrupts included, the logger must
        // pass records to its parents again afterwards.
        restore_propagate(logger, name);
        throw;
    }
    set_attr(logger, name, py::handle(Py_True));
    return record;
}

}  // namespace gcp
