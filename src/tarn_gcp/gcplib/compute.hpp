// Compute service requests: built through the service object, executed, and
// waited for through the class's own wait method.
#pragma once

#include "objects.hpp"

#include <utility>

namespace gcp {

// service.<collection>().<method>(**kw) with the keyword values given in
// the order of `kw`: the request, not yet executed.
template <class... A>
py::object request(py::handle service, PyObject* collection, PyObject* method, PyObject* kw,
                   A&&... values) {
    py::object resource = call_method(service, collection);
    return call_method_kw(resource, method, kw, std::forward<A>(values)...);
}

// request.execute()
inline py::object execute(py::handle req) { return call_method(req, ID("execute")); }

// service.<collection>().list_next(previous_request=..., previous_response=...)
py::object list_next(py::handle service, PyObject* collection, py::handle previous_request,
                     py::handle previous_response);

// GcpLib.wait_for_global_operation(service, project, operation["name"])
py::object wait_for(py::handle cls, py::handle service, py::handle project, py::handle operation);

}  // namespace gcp
