// Self-links.
#include "selflink.hpp"

#include "names.hpp"

#include <cstring>

namespace gcp {

py::object split(py::handle text_value, PyObject* sep) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (PyUnicode_CheckExact(text_value.ptr())) {
        return steal(PyUnicode_Split(text_value.ptr(), sep, -1));
    }
    return call_method(text_value, ID("split"), sep);
}

namespace {

template <class Char>
bool scan_slashes(const Char* text, Py_ssize_t length, Py_ssize_t* slashes, Py_ssize_t capacity,
                  Py_ssize_t& count) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (text[i] != '/') continue;
        if (count == capacity) return false;
        slashes[count++] = i;
    }
    return true;
}

bool scan_slashes(const Py_UCS1* text, Py_ssize_t length, Py_ssize_t* slashes, Py_ssize_t capacity,
                  Py_ssize_t& count) {
    const Py_UCS1* p = text;
    const Py_UCS1* end = text + length;
    while (p < end) {
        const void* hit = std::memchr(p, '/', static_cast<size_t>(end - p));
        if (hit == nullptr) break;
        if (count == capacity) return false;
        const Py_UCS1* slash = static_cast<const Py_UCS1*>(hit);
        slashes[count++] = slash - text;
        p = slash + 1;
    }
    return true;
}

}  // namespace

SelfLink::SelfLink(py::handle url) : url_(url) {
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (!PyUnicode_CheckExact(url.ptr())) {
        parts_ = split(url, LIT("/"));
        return;
    }
    length_ = PyUnicode_GET_LENGTH(url.ptr());
    const void* data = PyUnicode_DATA(url.ptr());
    switch (PyUnicode_KIND(url.ptr())) {
        case PyUnicode_1BYTE_KIND:
            scanned_ = scan_slashes(static_cast<const Py_UCS1*>(data), length_, slash_, max_slashes,
                                    count_);
            break;
        case PyUnicode_2BYTE_KIND:
            scanned_ = scan_slashes(static_cast<const Py_UCS2*>(data), length_, slash_, max_slashes,
                                    count_);
            break;
        default:
            scanned_ = scan_slashes(static_cast<const Py_UCS4*>(data), length_, slash_, max_slashes,
                                    count_);
            break;
    }
}

const py::object& SelfLink::parts() const {
    if (!parts_) parts_ = steal(PyUnicode_Split(url_.ptr(), LIT("/"), -1));
    return parts_;
}

bool SelfLink::bounds(py::handle index, Py_ssize_t& start, Py_ssize_t& end) const {
    if (!scanned_ || !PyLong_CheckExact(index.ptr())) return false;
    int overflow = 0;
    const long wanted = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || wanted < 0 || wanted > count_) return false;
    start = wanted == 0 ? 0 : slash_[wanted - 1] + 1;
    end = wanted < count_ ? slash_[wanted] : length_;
    return true;
}

py::object SelfLink::part(py::handle index) const {
    Py_ssize_t start = 0, end = 0;
    if (bounds(index, start, end)) return steal(PyUnicode_Substring(url_.ptr(), start, end));
    return item(parts(), index);
}

py::object SelfLink::part(py::handle cls, PyObject* index_name) const {
    return part(attr(cls, index_name));
}

bool SelfLink::part_equals(py::handle index, py::handle expected) const {
    Py_ssize_t start = 0, end = 0;
    // Fast path: behaves as the general one (rule in compat.hpp).
    if (!PyUnicode_CheckExact(expected.ptr()) || !bounds(index, start, end)) {
        return equal(part(index), expected);
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(expected.ptr());
    if (end - start != n) return false;
    const int kind = PyUnicode_KIND(url_.ptr());
    const void* data = PyUnicode_DATA(url_.ptr());
    const int expected_kind = PyUnicode_KIND(expected.ptr());
    const void* expected_data = PyUnicode_DATA(expected.ptr());
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyUnicode_READ(kind, data, start + j) !=
            PyUnicode_READ(expected_kind, expected_data, j)) {
            return false;
        }
    }
    return true;
}

}  // namespace gcp
