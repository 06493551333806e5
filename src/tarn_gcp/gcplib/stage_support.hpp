// What the stages of the four subsystems share: the revert key of the
// migrated VPC, revert entries made on first use, the report of a finished
// operation and the log line of an absorbed failure.
#pragma once

#include "runtime.hpp"

namespace gcp {

// "project::vpc": the key under which the revert information keeps what a
// stage changed for one VPC.
inline py::str revert_key(py::handle project, py::handle vpc) {
    return cat({project, LIT("::"), vpc});
}

// container[key], made an empty dict first when the container lacks it.
py::object entry_or_new(py::handle container, py::handle key);

// Logs what a finished operation reports, the first that is set of: its
// "error" (an error line), its "warnings" (a warning line), its
// "httpErrorMessage" (an error line headed `http_error_head`).
void report_operation(const Logger& log, py::handle operation, PyObject* http_error_head);

// The error line and the traceback of a failure absorbed around one router.
void log_with_traceback(const Logger& log, const py::error_already_set& e);

// Runs `step`; an Exception it raises is logged as "<head><error>" at
// `level` instead, and the stage goes on. Interrupts pass through.
template <class Step>
void absorb_and_log(const Logger& log, Logger::Level level, PyObject* head, Step&& step) {
    absorb(std::forward<Step>(step),
           [&](const py::error_already_set& e) { log.log(level, {head, e.value()}); });
}

}  // namespace gcp
