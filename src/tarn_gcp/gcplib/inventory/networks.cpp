#include "methods.hpp"

namespace gcp {

object listAllNetwork(handle, handle) {
    not_implemented("listAllNetwork");
}

}  // namespace gcp
