// The run: plan, dry-run switch and revert information, through the module's
// yctx and Globals names, read afresh at each use.
#pragma once

#include "module_names.hpp"
#include "objects.hpp"

namespace gcp {

// yctx().getContext(key), on a run context made for this read.
inline py::object plan(PyObject* key) {
    return call_method(call(global(ID("yctx"))), ID("getContext"), key);
}
// bool(Globals.getDryRun())
inline bool dry_run() { return truthy(call_method(global(ID("Globals")), ID("getDryRun"))); }
// Globals.getRevertInfo()
inline py::object revert_info() { return call_method(global(ID("Globals")), ID("getRevertInfo")); }

}  // namespace gcp
