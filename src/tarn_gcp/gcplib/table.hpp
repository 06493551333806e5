#pragma once

#include "method.hpp"


namespace gcp {

struct ClassConstant {
    const char* name;
    long value;
};

// The int attributes of GcpLib, in the order of its namespace.
extern const ClassConstant class_constants[4];
// The methods of GcpLib, in the order of its namespace.
extern const MethodSpec method_table[19];

}  // namespace gcp
