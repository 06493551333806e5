// Self-links: the parts of a resource URL, as url.split("/") gives them.
#pragma once

#include "objects.hpp"

namespace gcp {

// The parts of a self-link as url.split("/") gives them. A str URL is
// scanned once for its "/" and a part is cut out only when asked for; any
// other value is split by its own split("/") at once (raising where that
// raises). Indexing follows list subscription: a negative index counts from
// the end, one out of range raises IndexError.
class SelfLink {
public:
    explicit SelfLink(py::handle url);
    // url.split("/")[cls.<index_name>], the index read from cls now.
    py::object part(py::handle cls, PyObject* index_name) const;
    // url.split("/")[index]
    py::object part(py::handle index) const;
    // url.split("/")[index] == expected, without making the part when both
    // are plain strs.
    bool part_equals(py::handle index, py::handle expected) const;

private:
    static constexpr Py_ssize_t max_slashes = 32;
    bool bounds(py::handle index, Py_ssize_t& start, Py_ssize_t& end) const;
    const py::object& parts() const;

    py::handle url_;
    mutable py::object parts_;  // the split list, made when the fast path cannot serve
    Py_ssize_t length_ = 0;
    Py_ssize_t count_ = 0;  // slashes found
    bool scanned_ = false;  // a str URL with at most max_slashes slashes
    Py_ssize_t slash_[max_slashes];
};

// url.split("/")[cls.<index_name>]
inline py::object url_part(py::handle url, py::handle cls, PyObject* index_name) {
    return SelfLink(url).part(cls, index_name);
}
// text.split(sep)
py::object split(py::handle text, PyObject* sep);

}  // namespace gcp
