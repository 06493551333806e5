// The module logger.
#pragma once

#include "text.hpp"

namespace gcp {

// The module logger, `logging.getLogger(__name__)`.
//
// A message given as pieces is only joined when the logger would emit the
// record. When the logger is a plain logging.Logger whose level drops the
// record, nothing observable would come of the call: the pieces are still
// converted (a str() that raises, raises), but neither joined nor passed on.
class Logger {
public:
    enum Level { level_info, level_warning, level_error };

    Logger();
    void info(py::handle message) const { emit(level_info, message); }
    void warning(py::handle message) const { emit(level_warning, message); }
    void error(py::handle message) const { emit(level_error, message); }
    void info(std::initializer_list<Piece> pieces) const { emit(level_info, pieces); }
    void warning(std::initializer_list<Piece> pieces) const { emit(level_warning, pieces); }
    void error(std::initializer_list<Piece> pieces) const { emit(level_error, pieces); }
    void log(Level level, std::initializer_list<Piece> pieces) const { emit(level, pieces); }
    const py::object& object() const { return logger_; }

private:
    void emit(Level level, py::handle message) const;
    void emit(Level level, std::initializer_list<Piece> pieces) const;
    // True only when the record would certainly be dropped.
    bool drops(Level level) const;

    py::object logger_;
    bool standard_;  // a logging.Logger with logging's own info/warning/error
};

}  // namespace gcp
