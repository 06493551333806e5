// The module namespace.
#include "module_names.hpp"

namespace gcp {

namespace {
PyObject* g_globals = nullptr;
}

void set_globals(PyObject* module_dict) {
    Py_XINCREF(module_dict);
    Py_XSETREF(g_globals, module_dict);
}

py::object global(PyObject* name) {
    if (g_globals != nullptr) {
        PyObject* value = PyDict_GetItemWithError(g_globals, name);
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) raise_current();
    }
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) raise_current();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_current();
}

}  // namespace gcp
