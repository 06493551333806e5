// The runtime layer the method bodies are written in: one header per job.
//
// Every helper either returns an owned object or throws py::error_already_set
// carrying the Python error; the method boundary restores it.
#pragma once

#include "calls.hpp"         // calls into Python, with interned names
#include "compute.hpp"       // Compute service requests
#include "errors.hpp"        // the Python error as a C++ exception; the absorb guard
#include "logger.hpp"        // the module logger
#include "module_names.hpp"  // the module namespace, looked up at each use
#include "names.hpp"         // interned names and constant texts
#include "objects.hpp"       // object protocol helpers
#include "run_state.hpp"     // plan, dry-run switch, revert information
#include "selflink.hpp"      // the parts of resource URLs
#include "text.hpp"          // message text
