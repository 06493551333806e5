#include "methods.hpp"

namespace gcp {

object composeVpcCidrs(handle, handle, handle, handle) {
    not_implemented("composeVpcCidrs");
}

}  // namespace gcp
