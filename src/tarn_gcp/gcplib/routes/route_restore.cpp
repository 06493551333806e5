// The route restore: removing the routes a stage added and inserting again
// the ones it deleted, from the record the stage kept.
#include "method_body.hpp"
#include "routes/route_requests.hpp"

namespace gcp {

namespace {

// routes().insert(...), executed, then waited for.
void insert_route(handle cls, handle service, handle project, handle body) {
    object operation =
        execute(request(service, ID("routes"), ID("insert"), KW("project", "body"), project, body));
    wait_for(cls, service, project, operation);
}

}  // namespace

object restoreRoute(handle cls, handle service, handle stage) {
    Logger log;
    log.info({LIT("- Restore route(s) "), stage});
    object project = plan(ID("project_id"));
    object vpc = plan(ID("vpc_name"));
    object key = revert_key(project, vpc);
    // The revert information is asked afresh for every lookup.
    auto stages = [] { return item(revert_info(), ID("manage_routes")); };
    if (truthy(stages()) && contains(stages(), stage) && contains(item(stages(), stage), key)) {
        object names = item(item(item(stages(), stage), key), ID("added_route_list"));
        for (handle name : names) {
            absorb_and_log(log, Logger::level_info, LIT("  **Alert** "), [&] {
                log.info({LIT("  remove route "), name});
                if (dry_run()) return;
                delete_route(cls, service, project, name);
            });
        }
        object routes = item(item(item(stages(), stage), key), ID("deleted_route_list"));
        for (handle route : routes) {
            absorb_and_log(log, Logger::level_info, LIT("  **Alert** "), [&] {
                log.info({LIT("  restore route "), item(route, ID("destRange"))});
                if (dry_run()) return;
                insert_route(cls, service, project, route);
            });
        }
    }
    log.info(LIT("  Done"));
    return py::none();
}

}  // namespace gcp
