// Interned names and constant texts. ID("x") is the interned str "x", KW("a", "b")
// the tuple of keyword names of a keyword call, LIT("x") a constant str for
// message pieces; each use site keeps its own object, made on first use and
// kept for the rest of the process.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace gcp {

namespace py = pybind11;

// An interned str that lives for the rest of the process.
PyObject* intern(const char* text);
// A tuple of interned keyword names, for keyword calls.
PyObject* kwnames(std::initializer_list<const char*> names);
// A constant str (not interned), for message pieces.
PyObject* literal(const char* text);
}  // namespace gcp

#define ID(text)                                          \
    ([]() -> PyObject* {                                  \
        static PyObject* const id_ = ::gcp::intern(text); \
        return id_;                                       \
    }())
#define KW(...)                                                     \
    ([]() -> PyObject* {                                            \
        static PyObject* const kw_ = ::gcp::kwnames({__VA_ARGS__}); \
        return kw_;                                                 \
    }())
#define LIT(text)                                           \
    ([]() -> PyObject* {                                    \
        static PyObject* const lit_ = ::gcp::literal(text); \
        return lit_;                                        \
    }())
