#include "methods.hpp"

namespace gcp {

object listRouteTable(handle, handle, handle, handle, handle) {
    not_implemented("listRouteTable");
}

}  // namespace gcp
