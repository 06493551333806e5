#include "methods.hpp"

namespace gcp {

object listSubnetByRegion(handle, handle, handle, handle) {
    not_implemented("listSubnetByRegion");
}

object listSubnet(handle, handle, handle) {
    not_implemented("listSubnet");
}

}  // namespace gcp
