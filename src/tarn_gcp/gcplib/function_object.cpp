// The method objects: a small callable type that binds its arguments the way
// the interpreter binds those of a Python function, checks the parameters
// annotated "str", runs the body and turns a C++ exception back into the
// Python error it carries.
//
// It carries a Python function's introspection data (__name__, __qualname__,
// __module__, __doc__, __defaults__, __kwdefaults__, __annotations__ and a
// __code__ describing its parameters), so that `classmethod`, `inspect` and
// `help()` treat it like one.
//
// Each method keeps a Python function with the same parameters and defaults
// and an empty body, compiled from source when the module is initialised:
// its code object is the method's __code__, and a call whose arguments do not
// fit is replayed on it, so that the TypeError is worded by the interpreter
// the module runs on (the texts vary a little between versions).
#include "function_object.hpp"

#include "compat.hpp"

#include <cstring>
#include <new>
#include <string>

namespace gcp {

namespace {

// The parameters including cls.
constexpr Py_ssize_t max_params = max_method_params + 1;

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    Py_ssize_t nparams;  // including cls
    Py_ssize_t ndefaults;
    bool str_checked[max_params];
    bool returns_dict;
    PyObject* varnames;  // tuple of interned names, cls first
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or None
    PyObject* annotations;
    PyObject* code;
    PyObject* twin;  // the Python function with the same parameters
    PyObject* dict;
    PyObject* weakreflist;
};

enum class Binding {
    bound,
    mismatch,  // the arguments do not fit the parameters; no error set
    error,     // an error is set (a keyword's comparison raised)
};

// Binds the arguments to `slots` (borrowed references), as the interpreter
// binds a call of the twin function.
Binding bind_arguments(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = m->nparams;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = nullptr;
    const Py_ssize_t npos = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(keyword)) return Binding::mismatch;
            Py_ssize_t j = 0;
            // Fast path: behaves as the general one (rule in compat.hpp).
            for (; j < n; ++j) {
                if (PyTuple_GET_ITEM(m->varnames, j) == keyword) break;
            }
            if (j == n) {
                for (j = 0; j < n; ++j) {
                    const int eq =
                        PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(m->varnames, j), Py_EQ);
                    if (eq < 0) return Binding::error;
                    if (eq) break;
                }
            }
            if (j == n || slots[j] != nullptr) return Binding::mismatch;
            slots[j] = value;
        }
    }

    if (nargs > n) return Binding::mismatch;
    if (nargs < n) {
        const Py_ssize_t required = n - m->ndefaults;
        for (Py_ssize_t i = nargs; i < required; ++i) {
            if (slots[i] == nullptr) return Binding::mismatch;
        }
        for (Py_ssize_t i = required; i < n; ++i) {
            if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(m->defaults, i - required);
        }
    }

    return Binding::bound;
}

// Sets the TypeError for a call that does not fit the parameters: the one
// the interpreter raises for the same call of the twin function.
void argument_error(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    auto result = py::reinterpret_steal<py::object>(
        PyObject_Vectorcall(m->twin, args, static_cast<size_t>(nargs), kwnames));
    if (!result) return;
    PyErr_Format(PyExc_SystemError, "gcplib: %U() refused arguments its twin function accepted",
                 m->qualname);
}

// The parameters annotated "str" take exact strs only.
bool check_str_arguments(const MethodObject* m, PyObject* const* slots) {
    for (Py_ssize_t i = 0; i < m->nparams; ++i) {
        if (m->str_checked[i] && !PyUnicode_CheckExact(slots[i])) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         PyUnicode_AsUTF8(PyTuple_GET_ITEM(m->varnames, i)), "str",
                         compat::type_name(Py_TYPE(slots[i])));
            return false;
        }
    }
    return true;
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    PyObject* slots[max_params];
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        switch (bind_arguments(m, args, nargs, kwnames, slots)) {
            case Binding::bound:
                break;
            case Binding::mismatch:
                argument_error(m, args, nargs, kwnames);
                return nullptr;
            case Binding::error:
                return nullptr;
        }
        if (!check_str_arguments(m, slots)) return nullptr;
        py::object result = m->impl(py::handle(slots[0]), slots + 1);
        if (m->returns_dict && !result.is_none() && !PyDict_CheckExact(result.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                         compat::type_name(Py_TYPE(result.ptr())));
            return nullptr;
        }
        return result.release().ptr();
    } catch (...) {
        restore_python_error();
    }
    return nullptr;
}

// --- the type --------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->varnames);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->defaults);
    Py_VISIT(m->annotations);
    Py_VISIT(m->code);
    Py_VISIT(m->twin);
    Py_VISIT(m->dict);
    return 0;
}

// Walks the members method_traverse visits: the garbage collector's
// protocol wants both, and the two stay alike on purpose.
int method_clear(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->varnames);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->code);
    Py_CLEAR(m->twin);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (m->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", m->qualname, self);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

constexpr int ssize_member = compat::member_ssize;
constexpr int object_member = compat::member_object;
constexpr int readonly = compat::member_readonly;

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", ssize_member, offsetof(MethodObject, vectorcall), readonly, nullptr},
    {"__dictoffset__", ssize_member, offsetof(MethodObject, dict), readonly, nullptr},
    {"__weaklistoffset__", ssize_member, offsetof(MethodObject, weakreflist), readonly, nullptr},
    {"__name__", object_member, offsetof(MethodObject, name), readonly, nullptr},
    {"__qualname__", object_member, offsetof(MethodObject, qualname), readonly, nullptr},
    {"__module__", object_member, offsetof(MethodObject, module), 0, nullptr},
    {"__doc__", object_member, offsetof(MethodObject, doc), 0, nullptr},
    {"__defaults__", object_member, offsetof(MethodObject, defaults), readonly, nullptr},
    {"__annotations__", object_member, offsetof(MethodObject, annotations), readonly, nullptr},
    {"__code__", object_member, offsetof(MethodObject, code), readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

PyType_Spec method_type_spec = {
    "tarn_gcp.gcplib.GcpFunction",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    method_slots,
};

// The twin function of a method: `def <name>(cls, <params>): pass`, compiled
// in the body of a class named GcpLib (so that its code object carries the
// method's qualified name, on the versions that record one) and given the
// method's defaults.
py::object make_twin(const MethodSpec& spec, size_t nparams_after_cls, py::handle defaults,
                     py::handle module_name, py::handle filename) {
    std::string source = "class GcpLib:\n    def ";
    source += spec.name;
    source += "(cls";
    for (size_t i = 0; i < nparams_after_cls; ++i) {
        source += ", ";
        source += spec.params[i];
    }
    source += "):\n        pass\n";
    py::object code =
        steal(Py_CompileStringObject(source.c_str(), filename.ptr(), Py_file_input, nullptr, -1));
    py::dict ns = new_dict();
    set_item(ns, ID("__builtins__"), PyEval_GetBuiltins());
    set_item(ns, ID("__name__"), module_name);
    steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
    py::object owner = item(ns, ID("GcpLib"));
    // The function keeps `ns` as its globals; the class is not needed there.
    if (PyDict_DelItem(ns.ptr(), ID("GcpLib")) < 0) raise_current();
    py::object function = attr(owner, intern(spec.name));
    if (!PyFunction_Check(function.ptr())) {
        PyErr_Format(PyExc_SystemError, "gcplib: no function made for method %s", spec.name);
        raise_current();
    }
    if (!is_none(defaults) && PyFunction_SetDefaults(function.ptr(), defaults.ptr()) < 0) {
        raise_current();
    }
    return function;
}

}  // namespace

PyTypeObject* make_method_type() {
    return reinterpret_cast<PyTypeObject*>(
        steal(PyType_FromSpec(&method_type_spec)).release().ptr());
}

namespace {
template <class T, size_t N, class Pred>
size_t count_until(const T (&items)[N], Pred empty) {
    size_t n = 0;
    while (n < N && !empty(items[n])) ++n;
    return n;
}
}  // namespace

py::object make_method(PyTypeObject* type, const MethodSpec& spec, py::handle module_name,
                       py::handle filename) {
    const size_t nparams_after_cls =
        count_until(spec.params, [](const char* p) { return p == nullptr; });
    const size_t ndefaults = count_until(spec.defaults, [](PyObject* d) { return d == nullptr; });
    const size_t nannotations =
        count_until(spec.annotations, [](const Annotation& a) { return a.name == nullptr; });
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(nparams_after_cls) + 1;
    if (nparams > max_params || ndefaults > nparams_after_cls) {
        PyErr_Format(PyExc_SystemError, "gcplib: method %s is described inconsistently", spec.name);
        raise_current();
    }

    py::object varnames = steal(PyTuple_New(nparams));
    PyTuple_SET_ITEM(varnames.ptr(), 0, Py_NewRef(intern("cls")));
    for (size_t i = 0; i < nparams_after_cls; ++i) {
        PyTuple_SET_ITEM(varnames.ptr(), static_cast<Py_ssize_t>(i) + 1,
                         Py_NewRef(intern(spec.params[i])));
    }

    py::object defaults = py::none();
    if (ndefaults > 0) {
        defaults = steal(PyTuple_New(static_cast<Py_ssize_t>(ndefaults)));
        for (size_t d = 0; d < ndefaults; ++d) {
            PyTuple_SET_ITEM(defaults.ptr(), static_cast<Py_ssize_t>(d),
                             Py_NewRef(spec.defaults[d]));
        }
    }

    py::dict annotations = new_dict();
    for (size_t a = 0; a < nannotations; ++a) {
        annotations[spec.annotations[a].name] = py::str(spec.annotations[a].text);
    }

    py::str name(spec.name);
    py::object qualname = steal(PyUnicode_FromFormat("GcpLib.%s", spec.name));
    py::object doc = spec.doc != nullptr ? py::object(py::str(spec.doc)) : py::object(py::none());
    py::object twin = make_twin(spec, nparams_after_cls, defaults, module_name, filename);
    py::object code = attr(twin, ID("__code__"));

    auto* m = PyObject_GC_New(MethodObject, type);
    if (m == nullptr) raise_current();
    m->vectorcall = method_vectorcall;
    m->impl = spec.impl;
    m->nparams = nparams;
    m->ndefaults = static_cast<Py_ssize_t>(ndefaults);
    std::memset(m->str_checked, 0, sizeof m->str_checked);
    m->returns_dict = false;
    for (size_t a = 0; a < nannotations; ++a) {
        const Annotation& ann = spec.annotations[a];
        if (std::strcmp(ann.name, "return") == 0) {
            m->returns_dict = std::strcmp(ann.text, "dict") == 0;
            continue;
        }
        for (size_t p = 0; p < nparams_after_cls; ++p) {
            if (std::strcmp(spec.params[p], ann.name) == 0 && std::strcmp(ann.text, "str") == 0) {
                m->str_checked[p + 1] = true;
            }
        }
    }
    m->varnames = varnames.release().ptr();
    m->name = name.release().ptr();
    m->qualname = qualname.release().ptr();
    m->module = Py_NewRef(module_name.ptr());
    m->doc = doc.release().ptr();
    m->defaults = defaults.release().ptr();
    m->annotations = annotations.release().ptr();
    m->code = code.release().ptr();
    m->twin = twin.release().ptr();
    m->dict = nullptr;
    m->weakreflist = nullptr;
    PyObject_GC_Track(m);
    return steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace gcp
