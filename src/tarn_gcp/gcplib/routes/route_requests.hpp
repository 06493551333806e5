// The route requests both the stage and the restore make.
#pragma once

#include "method_body.hpp"

namespace gcp {

// routes().delete(...), executed, then waited for.
inline void delete_route(handle cls, handle service, handle project, handle name) {
    object operation = execute(
        request(service, ID("routes"), ID("delete"), KW("project", "route"), project, name));
    wait_for(cls, service, project, operation);
}

}  // namespace gcp
