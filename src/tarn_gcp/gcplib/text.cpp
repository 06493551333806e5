// Message text.
#include "text.hpp"

#include <cstring>

namespace gcp {

py::str text(py::handle obj) {
    return py::reinterpret_steal<py::str>(steal(PyObject_Str(obj.ptr())).release());
}

py::str cat(std::initializer_list<Piece> pieces) { return Texts(pieces).join(); }

PyObject* rule_line() {
    return LIT("  ...............................................................");
}

}  // namespace gcp
