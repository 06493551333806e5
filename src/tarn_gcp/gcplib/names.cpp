// Interned names and constant texts.
#include "names.hpp"

#include "errors.hpp"

namespace gcp {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) raise_current();
    return s;
}

PyObject* kwnames(std::initializer_list<const char*> names) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(intern(name)));
    return tuple.release().ptr();
}

PyObject* literal(const char* text) {
    PyObject* s = PyUnicode_FromString(text);
    if (s == nullptr) raise_current();
    return s;
}

}  // namespace gcp
