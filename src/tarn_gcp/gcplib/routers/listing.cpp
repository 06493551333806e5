#include "methods.hpp"

namespace gcp {

object listRouterByRegion(handle, handle, handle, handle, handle) {
    not_implemented("listRouterByRegion");
}

}  // namespace gcp
