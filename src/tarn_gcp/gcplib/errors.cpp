// Errors.
#include "errors.hpp"

#include "calls.hpp"
#include "module_names.hpp"

#include <new>

namespace gcp {

void raise(PyObject* type, py::handle value) {
    py::object exc = call(py::handle(type), value);
    PyErr_SetObject(type, exc.ptr());
    raise_current();
}

bool is_exception(const py::error_already_set& e) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception) != 0;
}

void print_exc(const py::error_already_set& e) {
    Handling handling(e);
    call_method(global(ID("traceback")), ID("print_exc"));
}

void restore_python_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in gcplib");
    }
}

}  // namespace gcp
