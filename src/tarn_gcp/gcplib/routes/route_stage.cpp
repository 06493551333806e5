// The route stage: deleting and adding the routes of one stage for the
// migrated VPC and recording what changed.
#include "method_body.hpp"
#include "routes/route_requests.hpp"

#include "compat.hpp"

#include <cstring>

namespace gcp {

namespace {

// ---------------------------------------------------------------------------
// Route names

// The route key, built as `project + vpc + cidr + zone + dest_instance +
// str(priority)` evaluates: left to right, with `+` applied as soon as a
// piece is not a plain str (so a bad piece fails where the expression would,
// before the later pieces are read). Plain strs are joined once at the end.
class RouteKey {
public:
    void add(handle piece) {
        // Fast path: behaves as the general one (rule in compat.hpp).
        if (!sum_ && PyUnicode_CheckExact(piece.ptr())) {
            parts_[n_++] = py::reinterpret_borrow<object>(piece);
            return;
        }
        if (!sum_) {
            if (n_ == 0) {
                sum_ = py::reinterpret_borrow<object>(piece);
                return;
            }
            sum_ = joined();
        }
        sum_ = steal(PyNumber_Add(sum_.ptr(), piece.ptr()));
    }

    object value() { return sum_ ? sum_ : joined(); }

private:
    object joined() {
        if (n_ == 1) return parts_[0];
        PyObject* items[pieces];
        for (size_t i = 0; i < n_; ++i) items[i] = parts_[i].ptr();
        return steal(compat::join_strs(LIT(""), items, static_cast<Py_ssize_t>(n_)));
    }

    static constexpr size_t pieces = 6;
    object parts_[pieces];
    size_t n_ = 0;
    object sum_;
};

// "tsr-" and the MD5 digest of the UTF-8 encoded key in lower-case Base16,
// through the module's hashlib and base64.
object generated_name(handle key) {
    object data = PyUnicode_CheckExact(key.ptr()) ? steal(PyUnicode_AsUTF8String(key.ptr()))
                                                  : call_method(key, ID("encode"), LIT("utf-8"));
    object md5 = call_method(global(ID("hashlib")), ID("md5"), data);
    object digits =
        call_method(global(ID("base64")), ID("b16encode"), call_method(md5, ID("digest")));
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyBytes_CheckExact(digits.ptr())) {
        const char* src = PyBytes_AS_STRING(digits.ptr());
        const Py_ssize_t len = PyBytes_GET_SIZE(digits.ptr());
        bool ascii = true;
        for (Py_ssize_t i = 0; i < len && ascii; ++i)
            ascii = static_cast<unsigned char>(src[i]) < 0x80;
        if (ascii) {
            object name = steal(PyUnicode_New(4 + len, 0x7f));
            char* dst = static_cast<char*>(PyUnicode_DATA(name.ptr()));
            std::memcpy(dst, "tsr-", 4);
            for (Py_ssize_t i = 0; i < len; ++i) {
                const char c = src[i];
                dst[4 + i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            }
            return name;
        }
    }
    object hex = call_method(call_method(digits, ID("decode"), LIT("ascii")), ID("lower"));
    return steal(PyNumber_Add(LIT("tsr-"), hex.ptr()));
}

// ---------------------------------------------------------------------------
// The route revert record

// A route resource's "name", or null when it has none (such a resource is
// never taken for another one).
object resource_name(handle resource) {
    object name = get(resource, ID("name"), py::none());
    if (is_none(name)) return object();
    return name;
}

// Stored resources are replaced in place by fetched ones of the same name;
// the others are appended in order.
void merge_deleted(handle kept, handle fetched) {
    for (handle route : fetched) {
        object name = resource_name(route);
        bool replaced = false;
        if (name) {
            // Walked as Python walks it, whatever kind of container it is.
            Py_ssize_t index = 0;
            for (handle old : kept) {
                object old_name = resource_name(old);
                if (old_name && equal(old_name, name)) {
                    set_item(kept, steal(PyLong_FromSsize_t(index)), route);
                    replaced = true;
                    break;
                }
                ++index;
            }
        }
        if (!replaced) append(kept, route);
    }
}

void merge_added(handle kept, handle names) {
    for (handle name : names) {
        if (!contains(kept, name)) append(kept, name);
    }
}

// Stores what this run deleted and added under
// revert["manage_routes"][stage][project::vpc]. An existing record is kept
// (the same dict and lists) and extended, so that a re-run cannot lose the
// routes an earlier run deleted.
void store_record(handle project, handle vpc, handle stage, handle deleted, handle added) {
    object key = revert_key(project, vpc);
    object stages = entry_or_new(revert_info(), ID("manage_routes"));
    object records = entry_or_new(stages, stage);
    if (!contains(records, key)) {
        object record = new_dict();
        set_item(record, ID("deleted_route_list"), deleted);
        set_item(record, ID("added_route_list"), added);
        set_item(records, key, record);
        return;
    }
    object record = item(records, key);
    if (contains(record, ID("deleted_route_list"))) {
        merge_deleted(item(record, ID("deleted_route_list")), deleted);
    } else {
        set_item(record, ID("deleted_route_list"), deleted);
    }
    if (contains(record, ID("added_route_list"))) {
        merge_added(item(record, ID("added_route_list")), added);
    } else {
        set_item(record, ID("added_route_list"), added);
    }
}

// ---------------------------------------------------------------------------
// The changes of one stage

void delete_routes(handle cls, handle service, handle names, handle project, handle deleted,
                   const Logger& log) {
    for (handle name : names) {
        absorb_and_log(log, Logger::level_error, LIT("  **Error** "), [&] {
            log.info({LIT("  delete route "), name});
            object route = execute(
                request(service, ID("routes"), ID("get"), KW("project", "route"), project, name));
            append(deleted, route);
            if (dry_run()) return;
            delete_route(cls, service, project, name);
        });
    }
}

void add_route(handle cls, handle service, handle spec, handle project, handle vpc, handle added,
               const Logger& log) {
    RouteKey key;
    key.add(project);
    key.add(vpc);
    object cidr = item(spec, ID("cidr"));
    key.add(cidr);
    object zone = item(spec, ID("zone"));
    key.add(zone);
    object instance = item(spec, ID("dest_instance"));
    key.add(instance);
    object priority = item(spec, ID("priority"));
    key.add(text(priority));
    object name = generated_name(key.value());

    py::dict body = new_dict();
    set_item(body, ID("destRange"), cidr);
    set_item(body, ID("nextHopInstance"), instance);
    set_item(body, ID("priority"), steal(PyLong_FromLong(1000)));
    set_item(body, ID("name"), name);
    set_item(body, ID("network"), attr(global(ID("Globals")), ID("networkLink")));
    set_item(body, ID("description"),
             LIT("Tessaron-Created-Resource: Do-Not-Delete-Tessaron-Created-Resource"));
    if (!is_none(priority)) set_item(body, ID("priority"), priority);
    object given_name = item(spec, ID("name"));
    if (!is_none(given_name)) {
        set_item(body, ID("name"), given_name);
        name = given_name;
    }

    object hop = execute(request(service, ID("instances"), ID("get"),
                                 KW("project", "zone", "instance"), project, zone, instance));
    set_item(body, ID("nextHopInstance"), item(hop, ID("selfLink")));

    log.info({LIT("  add route "), cidr, LIT(" to "), instance, LIT(" priority "),
              item(body, ID("priority")), LIT(" name "), name});
    if (dry_run()) {
        append(added, name);
        return;
    }
    // Recorded as soon as the insert is accepted: the service may complete
    // it even when the wait then fails or is interrupted, and the restore
    // must then delete it (a delete of a route that never came is only an
    // alert there).
    object operation =
        execute(request(service, ID("routes"), ID("insert"), KW("project", "body"), project, body));
    append(added, name);
    wait_for(cls, service, project, operation);
}

void change_routes(handle cls, handle service, handle manage_routes, handle project, handle vpc,
                   handle deleted, handle added, const Logger& log) {
    if (contains(manage_routes, ID("delete"))) {
        delete_routes(cls, service, item(manage_routes, ID("delete")), project, deleted, log);
    }
    if (contains(manage_routes, ID("add"))) {
        object specs = item(manage_routes, ID("add"));
        for (handle spec : specs) {
            absorb_and_log(log, Logger::level_error, LIT("  **Error** "),
                           [&] { add_route(cls, service, spec, project, vpc, added, log); });
        }
    }
}

}  // namespace

object manageRoute(handle cls, handle service, handle manage_routes, handle stage) {
    Logger log;
    log.info({LIT("- Manage route(s) "), stage});
    if (is_none(manage_routes)) {
        log.info(LIT("  No route config found!"));
        return py::none();
    }
    object project = plan(ID("project_id"));
    py::list deleted = new_list();
    object vpc = plan(ID("vpc_name"));
    py::list added = new_list();
    try {
        change_routes(cls, service, manage_routes, project, vpc, deleted, added, log);
    } catch (...) {
        // What was changed before the failure is recorded all the same; the
        // failure itself is what the caller sees, even when recording fails
        // too (that second error goes to sys.unraisablehook).
        try {
            store_record(project, vpc, stage, deleted, added);
        } catch (py::error_already_set& store_error) {
            store_error.discard_as_unraisable("GcpLib.manageRoute storing the route revert record");
        } catch (...) {
        }
        throw;
    }
    store_record(project, vpc, stage, deleted, added);
    return py::none();
}

object manageSwitchRoute(handle cls, handle request, handle stage) {
    object stages = plan(ID("manage_routes"));
    if (is_none(stages)) return py::none();
    object service = attr(global(ID("Globals")), ID("service"));
    if (truthy(request)) {
        if (contains(stages, stage))
            call_cls(cls, ID("manageRoute"), service, item(stages, stage), stage);
    } else {
        call_cls(cls, ID("restoreRoute"), service, stage);
    }
    return py::none();
}

}  // namespace gcp
