// Message text: messages are built as Python str from pieces, each written in
// its str() text; widths count characters.
#pragma once

#include "objects.hpp"

#include <cstring>
#include <initializer_list>
#include <vector>

namespace gcp {

// One piece of a message: a value written in its str() text, optionally
// padded on the right with blanks to `width` characters (str.ljust).
struct Piece {
    Piece(py::handle value) : obj(value.ptr()) {}
    Piece(PyObject* value) : obj(value) {}
    PyObject* obj;
    Py_ssize_t width = -1;
};

// str(value).ljust(width) as a message piece.
inline Piece pad(py::handle value, Py_ssize_t width) {
    Piece p(value);
    p.width = width;
    return p;
}

// str(obj)
py::str text(py::handle obj);

// The str() texts of a message's pieces, then joined into the message.
class Texts {
public:
    explicit Texts(std::initializer_list<Piece> pieces) : pieces_(pieces) {
        // A message has a dozen pieces at most; keep their texts on the stack.
        if (pieces.size() > inline_capacity) {
            heap_.resize(pieces.size());
            texts_ = heap_.data();
        }
        for (const Piece& piece : pieces) {
            PyObject* s = PyObject_Str(piece.obj);
            if (s == nullptr) raise_current();
            texts_[n_++] = s;
        }
    }
    ~Texts() {
        for (size_t i = 0; i < n_; ++i) Py_DECREF(texts_[i]);
    }
    Texts(const Texts&) = delete;
    Texts& operator=(const Texts&) = delete;

    py::str join() const {
        Py_ssize_t total = 0;
        Py_UCS4 maxchar = 0;
        size_t i = 0;
        for (const Piece& piece : pieces_) {
            PyObject* s = texts_[i++];
            const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            total += len < piece.width ? piece.width : len;
            if (len < piece.width && maxchar < ' ') maxchar = ' ';
            const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
            if (m > maxchar) maxchar = m;
        }
        py::object result = steal(PyUnicode_New(total, maxchar));
        PyObject* r = result.ptr();
        const bool one_byte = PyUnicode_KIND(r) == PyUnicode_1BYTE_KIND;
        Py_ssize_t pos = 0;
        i = 0;
        for (const Piece& piece : pieces_) {
            PyObject* s = texts_[i++];
            const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            if (one_byte) {
                std::memcpy(PyUnicode_1BYTE_DATA(r) + pos, PyUnicode_1BYTE_DATA(s),
                            static_cast<size_t>(len));
            } else if (PyUnicode_CopyCharacters(r, pos, s, 0, len) < 0) {
                raise_current();
            }
            pos += len;
            if (len < piece.width) {
                const Py_ssize_t fill = piece.width - len;
                if (one_byte) {
                    std::memset(PyUnicode_1BYTE_DATA(r) + pos, ' ', static_cast<size_t>(fill));
                } else if (PyUnicode_Fill(r, pos, fill, ' ') < 0) {
                    raise_current();
                }
                pos += fill;
            }
        }
        return py::reinterpret_steal<py::str>(result.release());
    }

private:
    static constexpr size_t inline_capacity = 16;
    std::initializer_list<Piece> pieces_;
    PyObject* inline_[inline_capacity];
    std::vector<PyObject*> heap_;
    PyObject** texts_ = inline_;
    size_t n_ = 0;
};

// The pieces, each in its str() text, joined with nothing between them.
py::str cat(std::initializer_list<Piece> pieces);
// Two blanks and 63 full stops: the rule line framing every table.
PyObject* rule_line();

}  // namespace gcp
