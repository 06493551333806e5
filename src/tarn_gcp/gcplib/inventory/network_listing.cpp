// The discovery walk over every network of the default credentials' project.
#include "method_body.hpp"

namespace gcp {

namespace {

// first, second = value, with the interpreter's unpacking errors.
std::pair<object, object> unpack_two(handle value) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        raise_current();
    }
    object iterator = steal(it);
    object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) raise_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise_current();
        }
        values[i] = steal(next);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return {std::move(values[0]), std::move(values[1])};
}

}  // namespace

object listAllNetwork(handle cls, handle) {
    // The project listed is the one the credentials name, not the argument.
    object found = call_method(attr(global(ID("google")), ID("auth")), ID("default"));
    auto [credentials, project] = unpack_two(found);
    object service = call_method_kw(global(ID("discovery")), ID("build"), KW("credentials"),
                                    LIT("compute"), LIT("v1"), credentials);
    object req = request(service, ID("networks"), ID("list"), KW("project"), project);
    while (!is_none(req)) {
        object response = execute(req);
        object items = item(response, ID("items"));
        for (handle network : items) {
            call_method(global(ID("common")), ID("logVpcHeader"), network);
            call_cls(cls, ID("listSubnet"), service, network);
            call_cls(cls, ID("listRouteTable"), project, service, network);
        }
        req = list_next(service, ID("networks"), req, response);
    }
    return py::none();
}

}  // namespace gcp
