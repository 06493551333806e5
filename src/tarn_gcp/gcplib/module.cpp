// Module initialisation: the imports of the module namespace, in order, then
// the class GcpLib.
//
// The module is initialised at most once per process. Its object is kept
// here, so that importing it again (also after it was removed from
// sys.modules) yields the same module without running the initialisation
// again. A failed initialisation drops the half-built module, so that the
// next import starts over with a fresh one.
#include "class_table.hpp"
#include "runtime.hpp"

#include <iterator>

namespace gcp {
namespace {

PyObject* g_module = nullptr;           // the module, once created
bool g_initialised = false;             // set at the end of a successful exec
PyTypeObject* g_method_type = nullptr;  // the type of the method objects

void bind(PyObject* module_dict, const char* name, py::handle value) {
    if (PyDict_SetItemString(module_dict, name, value.ptr()) < 0) raise_current();
}

py::object import_module(const char* name) { return steal(PyImport_ImportModule(name)); }

// `from module import name`
py::object import_from(const char* module, const char* name, PyObject* globals) {
    py::object fromlist = steal(Py_BuildValue("(s)", name));
    py::object m = steal(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.ptr(), 0));
    PyObject* value = PyObject_GetAttrString(m.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        raise_current();
    }
    return steal(value);
}

// `import package.sub` binds the top-level package.
py::object import_top_level(const char* dotted, PyObject* globals) {
    return steal(PyImport_ImportModuleLevel(dotted, globals, nullptr, nullptr, 0));
}

py::object make_class(PyObject* module_dict) {
    py::object module_name =
        py::reinterpret_borrow<py::object>(PyDict_GetItemString(module_dict, "__name__"));
    if (!module_name) module_name = py::str("tarn_gcp.gcplib");
    py::object filename = py::str("<tarn_gcp.gcplib>");
    if (PyObject* file = PyDict_GetItemString(module_dict, "__file__")) {
        if (PyUnicode_Check(file)) filename = py::reinterpret_borrow<py::object>(file);
    }

    if (g_method_type == nullptr) g_method_type = make_method_type();

    py::dict ns = new_dict();
    ns["__module__"] = module_name;
    ns["__qualname__"] = py::str("GcpLib");
    for (const ClassConstant& c : class_constants) ns[c.name] = py::int_(c.value);
    py::handle classmethod(reinterpret_cast<PyObject*>(&PyClassMethod_Type));
    for (const MethodSpec& spec : method_table) {
        py::object function = make_method(g_method_type, spec, module_name, filename);
        // Calling the classmethod type, as the decorator does, copies the
        // function's __name__, __qualname__, __doc__ and __module__.
        ns[spec.name] = call(classmethod, function);
    }

    py::object bases = steal(PyTuple_New(0));
    py::str name("GcpLib");
    return call(py::handle(reinterpret_cast<PyObject*>(&PyType_Type)), name, bases, ns);
}

void initialise(PyObject* module) {
    PyObject* d = PyModule_GetDict(module);
    if (d == nullptr) raise_current();
    bind(d, "requests", import_module("requests"));
    bind(d, "logging", import_module("logging"));
    bind(d, "discovery", import_from("googleapiclient", "discovery", d));
    bind(d, "GoogleCredentials", import_from("oauth2client.client", "GoogleCredentials", d));
    bind(d, "google", import_top_level("google.auth", d));
    bind(d, "common", import_from("tarn_gcp.commonlib", "Common", d));
    bind(d, "Globals", import_from("tarn_gcp.res.Globals", "Globals", d));
    bind(d, "pprint", import_from("pprint", "pprint", d));
    bind(d, "yctx", import_from("tarn_gcp.core.YamlContext", "YamlContext", d));
    bind(d, "RouteInfo", import_from("tarn_gcp.res.RouteInfo", "RouteInfo", d));
    bind(d, "time", import_module("time"));
    bind(d, "traceback", import_module("traceback"));
    bind(d, "ipaddress", import_module("ipaddress"));
    bind(d, "hashlib", import_module("hashlib"));
    bind(d, "base64", import_module("base64"));
    set_globals(d);
    bind(d, "GcpLib", make_class(d));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    g_module = Py_NewRef(module);
    return module;
}

int module_exec(PyObject* module) {
    if (g_initialised) return 0;
    try {
        initialise(module);
        g_initialised = true;
        return 0;
    } catch (...) {
        restore_python_error();
    }
    set_globals(nullptr);
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "gcplib", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace gcp

extern "C" PYBIND11_EXPORT PyObject* PyInit_gcplib() { return PyModuleDef_Init(&gcp::module_def); }
