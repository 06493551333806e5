// The method objects: a small callable type that binds its arguments the way
// the interpreter binds those of a Python function (and words its errors the
// same way), checks the parameters annotated "str", runs the body and turns
// a C++ exception back into the Python error it carries.
//
// It carries a Python function's introspection data (__name__, __qualname__,
// __module__, __doc__, __defaults__, __kwdefaults__, __annotations__ and a
// __code__ describing its parameters), so that `classmethod`, `inspect` and
// `help()` treat it like one.
#include "method.hpp"

#include <structmember.h>

#include <cstring>
#include <new>

namespace gcp {

namespace {

constexpr Py_ssize_t max_params = 8;

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
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
    PyObject* dict;
    PyObject* weakreflist;
};

// --- argument errors, worded as the interpreter words them ---------------

void too_many_positional(const MethodObject* m, Py_ssize_t given) {
    const Py_ssize_t argcount = m->nparams;
    py::object sig;
    bool plural;
    if (m->ndefaults > 0) {
        plural = true;
        sig = steal(PyUnicode_FromFormat("from %zd to %zd", argcount - m->ndefaults, argcount));
    } else {
        plural = argcount != 1;
        sig = steal(PyUnicode_FromFormat("%zd", argcount));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 m->qualname, sig.ptr(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(const MethodObject* m, PyObject* const* slots) {
    py::list names = new_list();
    const Py_ssize_t end = m->nparams - m->ndefaults;
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (slots[i] == nullptr) {
            names.append(steal(PyObject_Repr(PyTuple_GET_ITEM(m->varnames, i))));
        }
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.ptr());
    py::object joined;
    if (len == 1) {
        joined = names[0];
    } else if (len == 2) {
        joined = steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.ptr(), 0),
                                            PyList_GET_ITEM(names.ptr(), 1)));
    } else {
        py::object tail = steal(PyUnicode_FromFormat(", %U, and %U",
                                                     PyList_GET_ITEM(names.ptr(), len - 2),
                                                     PyList_GET_ITEM(names.ptr(), len - 1)));
        py::object head = steal(PyList_GetSlice(names.ptr(), 0, len - 2));
        py::object sep = steal(PyUnicode_FromString(", "));
        py::object joined_head = steal(PyUnicode_Join(sep.ptr(), head.ptr()));
        joined = steal(PyUnicode_Concat(joined_head.ptr(), tail.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", m->qualname,
                 static_cast<int>(len), "positional", len == 1 ? "" : "s", joined.ptr());
}

// Binds the arguments to `slots` (borrowed references). Returns false with a
// TypeError set when the call does not fit the parameters.
bool bind_arguments(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
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
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", m->qualname);
                return false;
            }
            Py_ssize_t j = 0;
            for (; j < n; ++j) {
                if (PyTuple_GET_ITEM(m->varnames, j) == keyword) break;
            }
            if (j == n) {
                for (j = 0; j < n; ++j) {
                    const int eq =
                        PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(m->varnames, j), Py_EQ);
                    if (eq < 0) return false;
                    if (eq) break;
                }
            }
            if (j == n) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             m->qualname, keyword);
                return false;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             m->qualname, keyword);
                return false;
            }
            slots[j] = value;
        }
    }

    if (nargs > n) {
        too_many_positional(m, nargs);
        return false;
    }
    if (nargs < n) {
        const Py_ssize_t required = n - m->ndefaults;
        for (Py_ssize_t i = nargs; i < required; ++i) {
            if (slots[i] == nullptr) {
                missing_arguments(m, slots);
                return false;
            }
        }
        for (Py_ssize_t i = required; i < n; ++i) {
            if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(m->defaults, i - required);
        }
    }

    for (Py_ssize_t i = 0; i < n; ++i) {
        if (m->str_checked[i] && !PyUnicode_CheckExact(slots[i])) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         PyUnicode_AsUTF8(PyTuple_GET_ITEM(m->varnames, i)), "str",
                         _PyType_Name(Py_TYPE(slots[i])));
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
        if (!bind_arguments(m, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return nullptr;
        py::object result = m->impl(py::handle(slots[0]), slots + 1);
        if (m->returns_dict && !result.is_none() && !PyDict_CheckExact(result.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                         _PyType_Name(Py_TYPE(result.ptr())));
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
    Py_VISIT(m->dict);
    return 0;
}

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

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MethodObject, weakreflist), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(MethodObject, annotations), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(MethodObject, code), READONLY, nullptr},
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

py::object make_code(const MethodSpec& spec, PyObject* varnames, py::handle filename) {
    const int argcount = static_cast<int>(PyTuple_GET_SIZE(varnames));
    // A body that returns None; the code object only describes the parameters.
    py::object bytecode = steal(PyBytes_FromStringAndSize("d\x00S\x00", 4));
    py::object consts = steal(PyTuple_Pack(1, Py_None));
    py::object empty = steal(PyTuple_New(0));
    py::object name = steal(PyUnicode_FromString(spec.name));
    py::object linetable = steal(PyBytes_FromStringAndSize(nullptr, 0));
    return steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, argcount, 1, CO_OPTIMIZED | CO_NEWLOCALS, bytecode.ptr(), consts.ptr(),
        empty.ptr(), varnames, empty.ptr(), empty.ptr(), filename.ptr(), name.ptr(), 1,
        linetable.ptr())));
}

}  // namespace

PyTypeObject* make_method_type() {
    return reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&method_type_spec)).release().ptr());
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
    const size_t nparams_after_cls = count_until(spec.params, [](const char* p) { return p == nullptr; });
    const size_t ndefaults = count_until(spec.defaults, [](PyObject* d) { return d == nullptr; });
    const size_t nannotations =
        count_until(spec.annotations, [](const Annotation& a) { return a.name == nullptr; });
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(nparams_after_cls) + 1;
    if (nparams > max_params || spec.impl_arity != nparams_after_cls || ndefaults > nparams_after_cls) {
        PyErr_Format(PyExc_SystemError, "gcplib: method %s is described inconsistently", spec.name);
        raise_current();
    }

    py::object varnames = steal(PyTuple_New(nparams));
    PyTuple_SET_ITEM(varnames.ptr(), 0, Py_NewRef(intern("cls")));
    for (size_t i = 0; i < nparams_after_cls; ++i) {
        PyTuple_SET_ITEM(varnames.ptr(), static_cast<Py_ssize_t>(i) + 1, Py_NewRef(intern(spec.params[i])));
    }

    py::object defaults = py::none();
    if (ndefaults > 0) {
        defaults = steal(PyTuple_New(static_cast<Py_ssize_t>(ndefaults)));
        for (size_t d = 0; d < ndefaults; ++d) {
            PyTuple_SET_ITEM(defaults.ptr(), static_cast<Py_ssize_t>(d), Py_NewRef(spec.defaults[d]));
        }
    }

    py::dict annotations = new_dict();
    for (size_t a = 0; a < nannotations; ++a) {
        annotations[spec.annotations[a].name] = py::str(spec.annotations[a].text);
    }

    py::str name(spec.name);
    py::object qualname = steal(PyUnicode_FromFormat("GcpLib.%s", spec.name));
    py::object doc = spec.doc != nullptr ? py::object(py::str(spec.doc)) : py::object(py::none());
    py::object code = make_code(spec, varnames.ptr(), filename);

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
    m->dict = nullptr;
    m->weakreflist = nullptr;
    PyObject_GC_Track(m);
    return steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace gcp
