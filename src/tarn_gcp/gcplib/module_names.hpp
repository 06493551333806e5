// The module namespace: names such as `time`, `common` and `Globals` are
// looked up at each use, as a Python function's global names are.
#pragma once

#include "errors.hpp"

namespace gcp {

// Looks `name` up in the module's namespace, then in the builtins, as a
// global name of a Python function is; NameError when it is in neither.
py::object global(PyObject* name);

// Set once the module is initialised.
void set_globals(PyObject* module_dict);

}  // namespace gcp
