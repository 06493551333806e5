// Object protocol helpers: each returns an owned object or a plain C++ value,
// and throws the Python error when the operation raises.
#pragma once

#include "calls.hpp"

namespace gcp {

inline py::object attr(py::handle obj, PyObject* name) {
    return steal(PyObject_GetAttr(obj.ptr(), name));
}
inline void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) raise_current();
}
// obj[key]
inline py::object item(py::handle obj, py::handle key) {
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}
inline py::object item(py::handle obj, PyObject* key) { return item(obj, py::handle(key)); }
// obj[key] = value
inline void set_item(py::handle obj, py::handle key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}
// key in obj
inline bool contains(py::handle obj, py::handle key) {
    const int r = PySequence_Contains(obj.ptr(), key.ptr());
    if (r < 0) raise_current();
    return r == 1;
}
// seq[i]
inline py::object at(py::handle seq, Py_ssize_t i) {
    return steal(PySequence_GetItem(seq.ptr(), i));
}
// obj.get(key, default)
py::object get(py::handle obj, PyObject* key, py::handle default_value);
// len(obj)
Py_ssize_t length(py::handle obj);
// bool(obj)
inline bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) raise_current();
    return r == 1;
}
// a == b
inline bool equal(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) raise_current();
    return r == 1;
}
inline bool is_none(py::handle obj) { return obj.ptr() == Py_None; }
inline bool is_true(py::handle obj) { return obj.ptr() == Py_True; }

inline py::list new_list() {
    return py::reinterpret_steal<py::list>(steal(PyList_New(0)).release());
}
inline py::dict new_dict() {
    return py::reinterpret_steal<py::dict>(steal(PyDict_New()).release());
}
// list.append(value), through the list's own method for subclasses
void append(py::handle list, py::handle value);

}  // namespace gcp
