// Calls into Python through vectorcall, with interned names: each returns
// the owned result or throws the Python error.
#pragma once

#include "errors.hpp"

#include <utility>

namespace gcp {

namespace detail {
inline PyObject* ptr(py::handle h) { return h.ptr(); }
inline PyObject* ptr(PyObject* o) { return o; }
}  // namespace detail

// obj.name(args...)
template <class... A>
py::object call_method(py::handle obj, PyObject* name, A&&... args) {
    PyObject* stack[] = {obj.ptr(), detail::ptr(args)...};
    return steal(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(positional..., k1=v1, ...): the last len(kw) values go by keyword.
template <class... A>
py::object call_method_kw(py::handle obj, PyObject* name, PyObject* kw, A&&... args) {
    PyObject* stack[] = {obj.ptr(), detail::ptr(args)...};
    const size_t positional = 1 + sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kw));
    return steal(
        PyObject_VectorcallMethod(name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// f(args...)
template <class... A>
py::object call(py::handle f, A&&... args) {
    PyObject* stack[] = {nullptr, detail::ptr(args)...};
    return steal(PyObject_Vectorcall(f.ptr(), stack + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// cls.name(args...): the class's own methods, reached through `cls` so that
// overrides apply.
template <class... A>
py::object call_cls(py::handle cls, PyObject* name, A&&... args) {
    return call_method(cls, name, std::forward<A>(args)...);
}

}  // namespace gcp
