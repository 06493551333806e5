// The peering stage: removing the migrated VPC's peerings towards the
// transit VPCs, after saving both records of each as a peering pair.
#include "method_body.hpp"

namespace gcp {

namespace {

// The transit VPC names of the plan, for membership tests of
// "project::network" texts. While every name is a plain str the list is
// sorted and searched by halves, so that a stage over many peerings and
// transit VPCs does not compare each peering with every name; otherwise
// `in` answers, as for any list.
class TransitNames {
public:
    void add(handle name) {
        append(names_, name);
        if (!PyUnicode_CheckExact(name.ptr())) all_str_ = false;
    }
    // Called once every name is added.
    void seal() {
        if (all_str_ && PyList_Sort(names_.ptr()) < 0) raise_current();
    }
    bool contains(handle text) const {
        // Fast path: behaves as the general one (rule in compat.hpp).
        if (!all_str_ || !PyUnicode_CheckExact(text.ptr())) return gcp::contains(names_, text);
        Py_ssize_t low = 0, high = PyList_GET_SIZE(names_.ptr());
        while (low < high) {
            const Py_ssize_t middle = low + (high - low) / 2;
            const int order = PyUnicode_Compare(PyList_GET_ITEM(names_.ptr(), middle), text.ptr());
            if (order == -1 && PyErr_Occurred()) raise_current();
            if (order == 0) return true;
            if (order < 0) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return false;
    }

private:
    py::list names_ = new_list();
    bool all_str_ = true;
};

// The "name" of a saved pair's local record, or nullptr when the entry does
// not have one (such an entry never matches and is kept as it is).
object saved_local_name(handle pair) {
    return absorb([&] { return item(item(pair, ID("localPeeringProperties")), ID("name")); },
                  [](const py::error_already_set&) { return object(); });
}

// The "remotePeeringProperties" of a saved pair, or nullptr when the entry
// does not have one.
object saved_remote(handle pair) {
    return absorb([&] { return item(pair, ID("remotePeeringProperties")); },
                  [](const py::error_already_set&) { return object(); });
}

// Stores the pairs of this run under revert["peerings"][project::vpc].
// Pairs saved by an earlier run are kept: a new pair takes the place of the
// saved one with the same local peering name (unless it found no transit
// record where the saved one has it), any other is appended.
void store_pairs(handle project, handle vpc, handle pairs) {
    object saved = entry_or_new(revert_info(), ID("peerings"));
    object key = revert_key(project, item(vpc, ID("vpc_name")));
    object stored = get(saved, key.ptr(), py::none());
    if (!PyList_Check(stored.ptr())) {
        set_item(saved, key, pairs);
        return;
    }
    for (handle pair : pairs) {
        object name = item(item(pair, ID("localPeeringProperties")), ID("name"));
        bool replaced = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored.ptr()); ++i) {
            object old = steal(PySequence_GetItem(stored.ptr(), i));
            object old_name = saved_local_name(old);
            if (old_name && equal(old_name, name)) {
                // A run that removed only the transit side leaves a peering
                // whose transit record is gone; the pair saved while both
                // records were there is the one that can restore it.
                object old_remote = saved_remote(old);
                const bool keep_old = is_none(item(pair, ID("remotePeeringProperties"))) &&
                                      old_remote && !is_none(old_remote);
                if (!keep_old && PySequence_SetItem(stored.ptr(), i, pair.ptr()) < 0)
                    raise_current();
                replaced = true;
                break;
            }
        }
        if (!replaced) append(stored, pair);
    }
}

}  // namespace

object deletePeering(handle cls, handle service, handle project, handle vpc, handle peering) {
    Logger log;
    log.info({LIT("  delete peering "), peering, LIT(" in "), project, LIT("::"), vpc});
    if (dry_run()) return py::none();
    py::dict body = new_dict();
    set_item(body, ID("name"), text(peering));
    auto remove = [&] {
        object operation = execute(request(service, ID("networks"), ID("removePeering"),
                                           KW("project", "network", "body"), project, vpc, body));
        wait_for(cls, service, project, operation);
        return operation;
    };
    auto log_failure = [&](const py::error_already_set& e) {
        log.error({LIT("  **Error** "), e.value()});
        return object();
    };
    object operation = absorb(remove, log_failure);
    if (operation) report_operation(log, operation, LIT("  **Check Error** "));
    return py::none();
}

object lookupRemotePeering(handle cls, handle service, handle localProject, handle localVpcName,
                           handle remoteProject, handle remoteVpcName) {
    object network = execute(request(service, ID("networks"), ID("get"), KW("project", "network"),
                                     remoteProject, remoteVpcName));
    for (handle peering : get(network, ID("peerings"), py::tuple())) {
        SelfLink link(item(peering, ID("network")));
        object peer_project = link.part(cls, ID("PROJECT_I"));
        object peer_network = link.part(cls, ID("NETWORK_I"));
        if (equal(peer_project, localProject) && equal(peer_network, localVpcName)) {
            return py::reinterpret_borrow<object>(peering);
        }
    }
    return py::none();
}

object deletePeerings(handle cls, handle service, handle project, handle vpc) {
    Logger log;
    py::list pairs = new_list();
    log.info({LIT("- Delete transit peerings in "), project, LIT("::"), item(vpc, ID("vpc_name"))});
    TransitNames transit_vpcs;
    for (handle transit : plan(ID("transit_vpcs"))) {
        transit_vpcs.add(item(transit, ID("vpc_name")));
    }
    transit_vpcs.seal();
    object network = execute(request(service, ID("networks"), ID("get"), KW("project", "network"),
                                     project, item(vpc, ID("vpc_name"))));
    object peerings = get(network, ID("peerings"), py::tuple());
    try {
        for (handle peering : peerings) {
            object local_name = item(peering, ID("name"));
            SelfLink link(item(peering, ID("network")));
            object peer_project = link.part(cls, ID("PROJECT_I"));
            object peer_network = link.part(cls, ID("NETWORK_I"));
            if (!transit_vpcs.contains(cat({peer_project, LIT("::"), peer_network}))) continue;
            object remote = call_cls(cls, ID("lookupRemotePeering"), service, project,
                                     item(vpc, ID("vpc_name")), peer_project, peer_network);
            py::dict pair = new_dict();
            set_item(pair, ID("localPeeringProperties"), peering);
            set_item(pair, ID("remotePeeringProperties"), remote);
            append(pairs, pair);
            if (!is_none(remote)) {
                call_cls(cls, ID("deletePeering"), service, peer_project, peer_network,
                         item(remote, ID("name")));
            }
            call_cls(cls, ID("deletePeering"), service, project, item(vpc, ID("vpc_name")),
                     local_name);
        }
    } catch (py::error_already_set& e) {
        // Peerings may already be gone: keep the pairs saved so far
        // restorable, then let the failure go on as it came.
        if (PyList_GET_SIZE(pairs.ptr()) > 0) {
            Handling handling(e);
            store_pairs(project, vpc, pairs);
        }
        throw;
    } catch (...) {
        if (PyList_GET_SIZE(pairs.ptr()) > 0) store_pairs(project, vpc, pairs);
        throw;
    }
    if (PyList_GET_SIZE(pairs.ptr()) == 0) log.info(LIT("  no transit peering found!"));
    store_pairs(project, vpc, pairs);
    return py::none();
}

}  // namespace gcp
