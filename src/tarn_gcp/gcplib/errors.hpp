// Errors: a Python error travels as py::error_already_set, thrown by the
// helpers below, and is restored only at the method boundary.
#pragma once

#include "names.hpp"

namespace gcp {

[[noreturn]] inline void raise_current() { throw py::error_already_set(); }

inline py::object steal(PyObject* o) {
    if (o == nullptr) raise_current();
    return py::reinterpret_steal<py::object>(o);
}

// Raises `type(value)`, as `raise type(value)` would.
[[noreturn]] void raise(PyObject* type, py::handle value);

// True when the error is an instance of Exception (the class a general
// `except Exception` catches); interrupts and exits are not.
bool is_exception(const py::error_already_set& e);

// `try: return body() except Exception as e: return on_exception(e)`: the
// guard of every step that absorbs a failure. Interrupts and exits (errors
// that are no Exception) and C++ exceptions pass through untouched.
// `on_exception` runs inside the catch block, so `throw;` there re-raises.
template <class Body, class Handler>
auto absorb(Body&& body, Handler&& on_exception) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        return on_exception(e);
    }
}

// While alive, `e` is the exception being handled, as inside an `except`
// block: traceback.print_exc() prints it, and what is raised meanwhile gets
// it as its __context__.
class Handling {
public:
    explicit Handling(const py::error_already_set& e) {
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        // An `except` block finds the traceback on the exception itself (since
        // 3.11 the exception being handled is that object alone, whatever
        // traceback is passed beside it).
        if (e.value() && e.trace() &&
            PyException_SetTraceback(e.value().ptr(), e.trace().ptr()) < 0) {
            PyErr_Clear();
        }
        PyErr_SetExcInfo(Py_XNewRef(e.type().ptr()), Py_XNewRef(e.value().ptr()),
                         Py_XNewRef(e.trace().ptr()));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* trace_;
};

// traceback.print_exc() as it prints inside an `except` block that caught `e`.
void print_exc(const py::error_already_set& e);

// Inside a catch block: sets the Python error that the C++ exception being
// handled carries (or a SystemError for one that carries none).
void restore_python_error() noexcept;

}  // namespace gcp
