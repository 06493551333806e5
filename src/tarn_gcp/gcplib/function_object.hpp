// The callable type of the GcpLib methods, and the description from which
// each method object is made (the rows of class_table.hpp).
#pragma once

#include "runtime.hpp"

#include <cstddef>
#include <utility>

namespace gcp {

// The most parameters a method takes after `cls`.
constexpr size_t max_method_params = 7;

namespace detail {
template <class Seq>
struct body_type;
template <size_t... I>
struct body_type<std::index_sequence<I...>> {
    template <size_t>
    using param = py::handle;
    using type = py::object(py::handle cls, param<I>...);
};
template <auto F, size_t... I>
py::object invoke(py::handle cls, PyObject* const* args, std::index_sequence<I...>) {
    return F(cls, py::handle(args[I])...);
}
template <class... A>
constexpr size_t count_params(py::object (*)(py::handle, A...)) {
    return sizeof...(A);
}
}  // namespace detail

// The type of a method body with `N` parameters after `cls`:
// py::object f(py::handle cls, py::handle a, py::handle b, ...).
template <size_t N>
using Body = typename detail::body_type<std::make_index_sequence<N>>::type;

// A method body as the method object calls it: the class it was called on
// and its arguments after `cls`, bound to the parameters in order (defaults
// filled in).
using Impl = py::object (*)(py::handle cls, PyObject* const* args);

// Adapts a body to Impl.
template <auto F>
py::object invoke(py::handle cls, PyObject* const* args) {
    return detail::invoke<F>(cls, args, std::make_index_sequence<detail::count_params(F)>{});
}

struct Annotation {
    const char* name;  // a parameter, or "return"
    const char* text;
};

// Lists end at the first empty entry.
struct MethodSpec {
    const char* name;
    const char* params[max_method_params + 1];  // after cls
    PyObject* defaults[max_method_params + 1];  // for the last parameters
    Annotation annotations[max_method_params + 2];
    const char* doc;  // nullptr for none
    Impl impl;
};

// Makes the type of the method objects; call once, at initialisation.
PyTypeObject* make_method_type();

// Makes one method object of `type` from its description.
py::object make_method(PyTypeObject* type, const MethodSpec& spec, py::handle module_name,
                       py::handle filename);

}  // namespace gcp
