#include "methods.hpp"

namespace gcp {

object manageCloudRouterAdvertisedRoute(handle, handle) {
    not_implemented("manageCloudRouterAdvertisedRoute");
}

object manageCloudRouterAdvertisedRoutePerVpc(handle, handle) {
    not_implemented("manageCloudRouterAdvertisedRoutePerVpc");
}

object restoreCloudRouterAdvertisedRoutePerVpc(handle, handle) {
    not_implemented("restoreCloudRouterAdvertisedRoutePerVpc");
}

}  // namespace gcp
