// Self-link parts for the peering methods, read without building the list
// that url.split("/") makes.
#pragma once

#include "methods.hpp"

namespace gcp {
namespace {

// The positions of the "/" in a str URL, found in one pass, so that
// url.split("/")[i] can be cut out (or compared) directly.
class LinkParts {
public:
    explicit LinkParts(handle url) : url_(url) {
        if (PyUnicode_READY(url.ptr()) < 0) raise_current();
        length_ = PyUnicode_GET_LENGTH(url.ptr());
        switch (PyUnicode_KIND(url.ptr())) {
            case PyUnicode_1BYTE_KIND: scan(PyUnicode_1BYTE_DATA(url.ptr())); break;
            case PyUnicode_2BYTE_KIND: scan(PyUnicode_2BYTE_DATA(url.ptr())); break;
            default: scan(PyUnicode_4BYTE_DATA(url.ptr())); break;
        }
    }

    // Where part `index` lies, [start, end). False when `index` is not a
    // non-negative int or there is no such part here: the caller then takes
    // the general path, which raises as subscription does.
    bool bounds(handle index, Py_ssize_t& start, Py_ssize_t& end) const {
        if (!PyLong_CheckExact(index.ptr())) return false;
        const Py_ssize_t wanted = PyLong_AsSsize_t(index.ptr());
        if (wanted < 0) {
            if (PyErr_Occurred()) PyErr_Clear();
            return false;
        }
        if (truncated_ ? wanted >= max_slashes : wanted > count_) return false;
        start = wanted == 0 ? 0 : slash_[wanted - 1] + 1;
        end = wanted < count_ ? slash_[wanted] : length_;
        return true;
    }

    object part(Py_ssize_t start, Py_ssize_t end) const {
        return steal(PyUnicode_Substring(url_.ptr(), start, end));
    }

    // url[start:end] == expected; a str is compared in place.
    bool part_equals(Py_ssize_t start, Py_ssize_t end, handle expected) const {
        if (!PyUnicode_CheckExact(expected.ptr())) return equal(part(start, end), expected);
        if (PyUnicode_READY(expected.ptr()) < 0) raise_current();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(expected.ptr());
        if (end - start != n) return false;
        const int url_kind = PyUnicode_KIND(url_.ptr());
        const void* url_data = PyUnicode_DATA(url_.ptr());
        const int kind = PyUnicode_KIND(expected.ptr());
        const void* data = PyUnicode_DATA(expected.ptr());
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (PyUnicode_READ(url_kind, url_data, start + j) != PyUnicode_READ(kind, data, j)) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr Py_ssize_t max_slashes = 32;

    template <class Char>
    void scan(const Char* text) {
        for (Py_ssize_t i = 0; i < length_; ++i) {
            if (text[i] != '/') continue;
            if (count_ == max_slashes) {
                truncated_ = true;
                return;
            }
            slash_[count_++] = i;
        }
    }

    handle url_;
    Py_ssize_t length_ = 0;
    Py_ssize_t count_ = 0;
    bool truncated_ = false;
    Py_ssize_t slash_[max_slashes];
};

// project = url.split("/")[cls.PROJECT_I], network = url.split("/")[cls.NETWORK_I]
inline void peer_of(handle url, handle cls, object& project, object& network) {
    if (!PyUnicode_CheckExact(url.ptr())) {
        object parts = split(url, LIT("/"));
        project = item(parts, attr(cls, ID("PROJECT_I")));
        network = item(parts, attr(cls, ID("NETWORK_I")));
        return;
    }
    LinkParts parts(url);
    Py_ssize_t start = 0, end = 0;
    object index = attr(cls, ID("PROJECT_I"));
    project = parts.bounds(index, start, end) ? parts.part(start, end)
                                              : item(split(url, LIT("/")), index);
    index = attr(cls, ID("NETWORK_I"));
    network = parts.bounds(index, start, end) ? parts.part(start, end)
                                              : item(split(url, LIT("/")), index);
}

}  // namespace
}  // namespace gcp
