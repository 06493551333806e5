// Object protocol helpers.
#include "objects.hpp"

namespace gcp {

py::object get(py::handle obj, PyObject* key, py::handle default_value) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* value = PyDict_GetItemWithError(obj.ptr(), key);
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) raise_current();
        return py::reinterpret_borrow<py::object>(default_value);
    }
    return call_method(obj, ID("get"), key, default_value);
}

Py_ssize_t length(py::handle obj) {
    const Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) raise_current();
    return n;
}

void append(py::handle list, py::handle value) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) raise_current();
        return;
    }
    call_method(list, ID("append"), value);
}

}  // namespace gcp
