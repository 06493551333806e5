// The callable type of the GcpLib methods, and the declarative description
// from which each method object is made.
#pragma once

#include "api.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace gcp {

// A method body: the class it was called on and its arguments after `cls`,
// already bound to the parameters in order (defaults filled in).
using Impl = py::object (*)(py::handle cls, PyObject* const* args);

namespace detail {
template <class F>
struct arity;
template <class... A>
struct arity<py::object (*)(py::handle, A...)> {
    static constexpr size_t value = sizeof...(A);
};
template <auto F, size_t... I>
py::object invoke(py::handle cls, PyObject* const* args, std::index_sequence<I...>) {
    return F(cls, py::handle(args[I])...);
}
}  // namespace detail

// Adapts `py::object f(py::handle cls, py::handle a, py::handle b, ...)` to Impl.
template <auto F>
py::object invoke(py::handle cls, PyObject* const* args) {
    return detail::invoke<F>(cls, args,
                             std::make_index_sequence<detail::arity<decltype(F)>::value>{});
}
template <auto F>
constexpr size_t arity_of = detail::arity<decltype(F)>::value;

struct Annotation {
    const char* name;  // a parameter, or "return"
    const char* text;
};

constexpr size_t max_method_params = 7;

// Lists end at the first empty entry.
struct MethodSpec {
    const char* name;
    const char* params[max_method_params + 1];  // after cls
    PyObject* defaults[max_method_params + 1];  // for the last parameters
    Annotation annotations[max_method_params + 2];
    const char* doc;  // nullptr for none
    Impl impl;
    size_t impl_arity;
};

#define GCP_IMPL(f) ::gcp::invoke<&f>, ::gcp::arity_of<&f>

// Makes the type of the method objects; call once, at initialisation.
PyTypeObject* make_method_type();

// Makes one method object of `type` from its description.
py::object make_method(PyTypeObject* type, const MethodSpec& spec, py::handle module_name,
                       py::handle filename);

}  // namespace gcp
