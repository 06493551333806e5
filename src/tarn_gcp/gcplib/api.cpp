#include "api.hpp"

#include <vector>

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

void raise(PyObject* type, py::handle value) {
    py::object exc = call(py::handle(type), value);
    PyErr_SetObject(type, exc.ptr());
    raise_current();
}

bool is_exception(const py::error_already_set& e) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception) != 0;
}

void print_exc(const py::error_already_set& e) {
    // print_exc() reads the exception being handled, so install the caught
    // one as such for the duration of the call.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    PyErr_SetExcInfo(Py_XNewRef(e.type().ptr()), Py_XNewRef(e.value().ptr()),
                     Py_XNewRef(e.trace().ptr()));
    try {
        call_method(global(ID("traceback")), ID("print_exc"));
    } catch (...) {
        PyErr_SetExcInfo(saved_type, saved_value, saved_tb);
        throw;
    }
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);
}

// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------

py::object get(py::handle obj, PyObject* key, py::handle default_value) {
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
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) raise_current();
        return;
    }
    call_method(list, ID("append"), value);
}

// ---------------------------------------------------------------------------

py::str text(py::handle obj) {
    return py::reinterpret_steal<py::str>(steal(PyObject_Str(obj.ptr())).release());
}

py::str cat(std::initializer_list<py::handle> pieces) {
    // Up to a dozen pieces make a message; keep them on the stack.
    constexpr size_t inline_capacity = 16;
    PyObject* inline_items[inline_capacity];
    std::vector<PyObject*> heap_items;
    PyObject** items = inline_items;
    if (pieces.size() > inline_capacity) {
        heap_items.resize(pieces.size());
        items = heap_items.data();
    }
    size_t n = 0;
    struct Release {
        PyObject** items;
        size_t& n;
        ~Release() {
            for (size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
        }
    } release{items, n};
    for (py::handle piece : pieces) {
        PyObject* s = PyObject_Str(piece.ptr());
        if (s == nullptr) raise_current();
        items[n++] = s;
    }
    PyObject* empty = LIT("");
    return py::reinterpret_steal<py::str>(
        steal(_PyUnicode_JoinArray(empty, items, static_cast<Py_ssize_t>(n))).release());
}

py::str ljust(py::handle obj, Py_ssize_t width) {
    py::str s = text(obj);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s.ptr());
    if (len >= width) return s;
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s.ptr());
    if (maxchar < ' ') maxchar = ' ';
    py::object padded = steal(PyUnicode_New(width, maxchar));
    if (PyUnicode_CopyCharacters(padded.ptr(), 0, s.ptr(), 0, len) < 0) raise_current();
    if (PyUnicode_Fill(padded.ptr(), len, width - len, ' ') < 0) raise_current();
    return py::reinterpret_steal<py::str>(padded.release());
}

PyObject* rule_line() { return LIT("  ..............................................................."); }

// ---------------------------------------------------------------------------

Logger::Logger()
    : logger_(call_method(global(ID("logging")), ID("getLogger"), global(ID("__name__")))) {}

// ---------------------------------------------------------------------------

py::object list_next(py::handle service, PyObject* collection, py::handle previous_request,
                     py::handle previous_response) {
    return request(service, collection, ID("list_next"), KW("previous_request", "previous_response"),
                   previous_request, previous_response);
}

py::object split(py::handle text_value, PyObject* sep) {
    if (PyUnicode_CheckExact(text_value.ptr())) {
        return steal(PyUnicode_Split(text_value.ptr(), sep, -1));
    }
    return call_method(text_value, ID("split"), sep);
}

py::object url_part(py::handle url, py::handle cls, PyObject* index_name) {
    py::object parts = split(url, LIT("/"));
    return item(parts, attr(cls, index_name));
}

py::object wait_for(py::handle cls, py::handle service, py::handle project, py::handle operation) {
    py::object name = item(operation, ID("name"));
    return call_cls(cls, ID("wait_for_global_operation"), service, project, name);
}

}  // namespace gcp
