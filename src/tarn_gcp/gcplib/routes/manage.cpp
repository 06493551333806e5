#include "methods.hpp"

namespace gcp {

object manageSwitchRoute(handle, handle, handle) {
    not_implemented("manageSwitchRoute");
}

object restoreRoute(handle, handle, handle) {
    not_implemented("restoreRoute");
}

object manageRoute(handle, handle, handle, handle) {
    not_implemented("manageRoute");
}

}  // namespace gcp
