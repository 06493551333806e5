// The few interpreter calls whose form depends on the CPython version. The
// module supports CPython 3.10 and later; everything outside this header
// uses the documented C API only.
//
// The rule of the fast paths. Many helpers serve the common case (a plain
// str, dict, list or int) without calling back into Python, and take the
// general path for anything else. A fast path must behave exactly as the
// general path and as the plain-Python model of the module
// (testing/model.py) do: the same result, the same errors, the same
// calls into Python objects in the same order, the same log lines. It may
// only skip work nobody can observe. Each fast path carries a one-line
// pointer to this rule; the differential fuzz tests check it.
//
// Each helper takes an interpreter-private fast path only on the versions
// known to provide it unchanged (3.10 to 3.13) and otherwise a public
// equivalent. Building with GCPLIB_PUBLIC_API_ONLY defined (the CMake option
// of that name) takes the public equivalents on every version, so that they
// can be tested anywhere.
#pragma once

#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030A0000
#error "tarn_gcp.gcplib needs CPython 3.10 or later"
#endif

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#if !defined(GCPLIB_PUBLIC_API_ONLY) && PY_VERSION_HEX < 0x030E0000
#define GCPLIB_PRIVATE_TYPE_LOOKUP 1
#endif
#if !defined(GCPLIB_PUBLIC_API_ONLY) && PY_VERSION_HEX < 0x030D0000
#define GCPLIB_PRIVATE_JOIN_ARRAY 1
#endif

namespace gcp::compat {

// Member descriptor kinds and flags (PyMemberDef), by the names each
// version declares. An object member reads None when unset, as a Python
// function's __module__ does once deleted (3.12 renamed that kind, keeping
// its value, in favour of one that raises instead).
#if PY_VERSION_HEX >= 0x030C0000
constexpr int member_object = _Py_T_OBJECT;
constexpr int member_ssize = Py_T_PYSSIZET;
constexpr int member_readonly = Py_READONLY;
#else
constexpr int member_object = T_OBJECT;
constexpr int member_ssize = T_PYSSIZET;
constexpr int member_readonly = READONLY;
#endif

// The type's name as error messages show it: tp_name after its last dot.
inline const char* type_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

// `name` looked up along the type's MRO without invoking descriptors, as
// attribute lookup finds it on the class: a borrowed reference, or nullptr
// when no class defines it. May set an error only on the public path (the
// caller checks PyErr_Occurred).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#ifdef GCPLIB_PRIVATE_TYPE_LOOKUP
    return _PyType_Lookup(type, name);
#else
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
#if PY_VERSION_HEX >= 0x030C0000
        // Static builtin types keep their dict elsewhere since 3.12; the
        // type holds its dict, so the item outlives this reference.
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(base));
        if (dict == nullptr) return nullptr;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        Py_DECREF(dict);
#else
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (dict == nullptr) continue;
        PyObject* found = PyDict_GetItemWithError(dict, name);
#endif
        if (found != nullptr || PyErr_Occurred()) return found;
    }
    return nullptr;
#endif
}

// The instance's __dict__ as a new reference, made if the object has none
// yet; nullptr with no error set when its type gives instances no __dict__.
// (Since 3.11 instance dicts may live inline in the object; the generic
// getter works on every version.)
inline PyObject* instance_dict(PyObject* obj) {
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return dict;
}

// A Python function's __qualname__, borrowed (read from the function object,
// whose layout is not part of the stable API).
inline PyObject* function_qualname(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
}

// "".join(items) for `n` exact str items, as a new reference (nullptr with
// an error set on failure).
inline PyObject* join_strs(PyObject* separator, PyObject* const* items, Py_ssize_t n) {
#ifdef GCPLIB_PRIVATE_JOIN_ARRAY
    return _PyUnicode_JoinArray(separator, items, n);
#else
    PyObject* tuple = PyTuple_New(n);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
    PyObject* joined = PyUnicode_Join(separator, tuple);
    Py_DECREF(tuple);
    return joined;
#endif
}

}  // namespace gcp::compat
