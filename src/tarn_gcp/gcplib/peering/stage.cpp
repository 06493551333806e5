#include "methods.hpp"

namespace gcp {

object deletePeering(handle, handle, handle, handle, handle) {
    not_implemented("deletePeering");
}

object lookupRemotePeering(handle, handle, handle, handle, handle, handle) {
    not_implemented("lookupRemotePeering");
}

object deletePeerings(handle, handle, handle, handle) {
    not_implemented("deletePeerings");
}

object addPeerings(handle, handle, handle) {
    not_implemented("addPeerings");
}

object managePeerings(handle, handle) {
    not_implemented("managePeerings");
}

}  // namespace gcp
