// Waiting for a global operation to finish.
#include "method_body.hpp"

namespace gcp {

object wait_for_global_operation(handle, handle service, handle project, handle operation) {
    // project and operation are checked to be str when the arguments are bound.
    for (;;) {
        object response = execute(request(service, ID("globalOperations"), ID("wait"),
                                          KW("project", "operation"), project, operation));
        object status = item(response, ID("status"));
        if (equal(status, LIT("DONE"))) {
            if (contains(response, ID("error")))
                raise(PyExc_Exception, item(response, ID("error")));
            return response;
        }
        call_method(global(ID("time")), ID("sleep"), steal(PyLong_FromLong(1)));
    }
}

}  // namespace gcp
