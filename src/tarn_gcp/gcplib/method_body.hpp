// What every method body file includes: the runtime layer, the bodies'
// declarations (from the class table) and the stage helpers.
#pragma once

#include "class_table.hpp"
#include "runtime.hpp"
#include "stage_support.hpp"

namespace gcp {

using py::handle;
using py::object;

}  // namespace gcp
