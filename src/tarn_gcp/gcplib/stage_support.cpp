// What the stages share.
#include "stage_support.hpp"

namespace gcp {

py::object entry_or_new(py::handle container, py::handle key) {
    if (!contains(container, key)) set_item(container, key, new_dict());
    return item(container, key);
}

void log_with_traceback(const Logger& log, const py::error_already_set& e) {
    log.error({LIT("**Error** "), e.value()});
    print_exc(e);
}

void report_operation(const Logger& log, py::handle operation, PyObject* http_error_head) {
    py::handle none = py::none();
    py::object value = get(operation, ID("error"), none);
    if (truthy(value)) {
        log.error({LIT("  **Error** "), value});
        return;
    }
    value = get(operation, ID("warnings"), none);
    if (truthy(value)) {
        log.warning({LIT("  **Error** "), value});
        return;
    }
    value = get(operation, ID("httpErrorMessage"), none);
    if (truthy(value)) log.error({http_error_head, value});
}

}  // namespace gcp
