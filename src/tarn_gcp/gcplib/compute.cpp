// Compute service requests.
#include "compute.hpp"

namespace gcp {

py::object list_next(py::handle service, PyObject* collection, py::handle previous_request,
                     py::handle previous_response) {
    return request(service, collection, ID("list_next"),
                   KW("previous_request", "previous_response"), previous_request,
                   previous_response);
}

py::object wait_for(py::handle cls, py::handle service, py::handle project, py::handle operation) {
    py::object name = item(operation, ID("name"));
    return call_cls(cls, ID("wait_for_global_operation"), service, project, name);
}

}  // namespace gcp
