// The module logger.
#include "logger.hpp"

#include "compat.hpp"
#include "module_names.hpp"

#include <string>

namespace gcp {

namespace {

// Whether `function` is logging's own Logger.<name> (not a replacement such
// as a mock). The last function found to be is remembered.
bool is_logging_method(PyObject* function, const char* name, PyObject*& verified) {
    if (function == nullptr) return false;
    if (function == verified) return true;
    if (!PyFunction_Check(function)) return false;
    PyObject* module = PyFunction_GET_MODULE(function);
    PyObject* qualname = compat::function_qualname(function);
    if (module == nullptr || !PyUnicode_Check(module) || qualname == nullptr ||
        !PyUnicode_Check(qualname)) {
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module, "logging") != 0) return false;
    const std::string expected = std::string("Logger.") + name;
    if (PyUnicode_CompareWithASCIIString(qualname, expected.c_str()) != 0) return false;
    Py_INCREF(function);
    Py_XSETREF(verified, function);
    return true;
}

// The object's __dict__, or a null object when its type gives it none.
py::object instance_dict(py::handle obj) {
    PyObject* dict = compat::instance_dict(obj.ptr());
    if (dict == nullptr && PyErr_Occurred()) raise_current();
    return py::reinterpret_steal<py::object>(dict);
}

PyObject* level_number(int level) {
    static PyObject* const info = PyLong_FromLong(20);
    static PyObject* const warning = PyLong_FromLong(30);
    static PyObject* const error = PyLong_FromLong(40);
    return level == 0 ? info : level == 1 ? warning : error;
}

}  // namespace

Logger::Logger()
    : logger_(call_method(global(ID("logging")), ID("getLogger"), global(ID("__name__")))),
      standard_(false) {
    PyObject* logger_class = PyObject_GetAttr(global(ID("logging")).ptr(), ID("Logger"));
    if (logger_class == nullptr) {
        PyErr_Clear();
        return;
    }
    const bool exact = reinterpret_cast<PyObject*>(Py_TYPE(logger_.ptr())) == logger_class;
    Py_DECREF(logger_class);
    if (!exact) return;
    static PyObject* verified[3] = {nullptr, nullptr, nullptr};
    PyTypeObject* type = Py_TYPE(logger_.ptr());
    const char* const names[3] = {"info", "warning", "error"};
    PyObject* const ids[3] = {ID("info"), ID("warning"), ID("error")};
    for (int i = 0; i < 3; ++i) {
        PyObject* function = compat::type_lookup(type, ids[i]);
        if (function == nullptr && PyErr_Occurred()) raise_current();
        if (!is_logging_method(function, names[i], verified[i])) return;
    }
    py::object dict = instance_dict(logger_);
    if (!dict || !PyDict_CheckExact(dict.ptr())) return;
    for (PyObject* name : ids) {
        if (PyDict_GetItemWithError(dict.ptr(), name) != nullptr) return;
        if (PyErr_Occurred()) raise_current();
    }
    standard_ = true;
}

// Fast path: behaves as the general one (rule in compat.hpp).
bool Logger::drops(Level level) const {
    // What Logger.isEnabledFor answers from its own state, without calling
    // it: disabled, or a cached "no" for the level.
    if (!standard_) return false;
    py::object dict = instance_dict(logger_);
    if (!dict || !PyDict_CheckExact(dict.ptr())) return false;
    PyObject* disabled = PyDict_GetItemWithError(dict.ptr(), ID("disabled"));
    if (disabled == Py_True) return true;
    if (disabled != Py_False) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    PyObject* cache = PyDict_GetItemWithError(dict.ptr(), ID("_cache"));
    if (cache == nullptr || !PyDict_CheckExact(cache)) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    PyObject* enabled = PyDict_GetItemWithError(cache, level_number(level));
    if (enabled == nullptr && PyErr_Occurred()) raise_current();
    return enabled == Py_False;
}

namespace {

// The logger method of each level.
PyObject* method_name(Logger::Level level) {
    switch (level) {
        case Logger::level_info:
            return ID("info");
        case Logger::level_warning:
            return ID("warning");
        case Logger::level_error:
            break;
    }
    return ID("error");
}

}  // namespace

void Logger::emit(Level level, py::handle message) const {
    if (drops(level)) return;
    call_method(logger_, method_name(level), message);
}

void Logger::emit(Level level, std::initializer_list<Piece> pieces) const {
    // The values are converted first, as building the message would, and
    // only then is the level consulted.
    Texts texts(pieces);
    if (drops(level)) return;
    call_method(logger_, method_name(level), texts.join());
}

}  // namespace gcp
