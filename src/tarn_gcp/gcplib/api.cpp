#include "api.hpp"

#include "compat.hpp"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace gcp {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) raise_current();
    return s;
}

PyObject* kwnames(std::initializer_list<const char*> names) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(intern(name)));
    return tuple.release().ptr();
}

PyObject* literal(const char* text) {
    PyObject* s = PyUnicode_FromString(text);
    if (s == nullptr) raise_current();
    return s;
}

void raise(PyObject* type, py::handle value) {
    py::object exc = call(py::handle(type), value);
    PyErr_SetObject(type, exc.ptr());
    raise_current();
}

bool is_exception(const py::error_already_set& e) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception) != 0;
}

void print_exc(const py::error_already_set& e) {
    Handling handling(e);
    call_method(global(ID("traceback")), ID("print_exc"));
}

void restore_python_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in gcplib");
    }
}

// ---------------------------------------------------------------------------

namespace {
PyObject* g_globals = nullptr;
}

void set_globals(PyObject* module_dict) {
    Py_XINCREF(module_dict);
    Py_XSETREF(g_globals, module_dict);
}

py::object global(PyObject* name) {
    if (g_globals != nullptr) {
        PyObject* value = PyDict_GetItemWithError(g_globals, name);
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) raise_current();
    }
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) raise_current();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_current();
}

// ---------------------------------------------------------------------------

py::object get(py::handle obj, PyObject* key, py::handle default_value) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* value = PyDict_GetItemWithError(obj.ptr(), key);
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) raise_current();
        return py::reinterpret_borrow<py::object>(default_value);
    }
    return call_method(obj, ID("get"), key, default_value);
}

Py_ssize_t length(py::handle obj) {
    const Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) raise_current();
    return n;
}

void append(py::handle list, py::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) raise_current();
        return;
    }
    call_method(list, ID("append"), value);
}

// ---------------------------------------------------------------------------

py::str text(py::handle obj) {
    return py::reinterpret_steal<py::str>(steal(PyObject_Str(obj.ptr())).release());
}

namespace {

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

}  // namespace

py::str cat(std::initializer_list<Piece> pieces) { return Texts(pieces).join(); }

py::str ljust(py::handle obj, Py_ssize_t width) {
    py::str s = text(obj);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s.ptr());
    if (len >= width) return s;
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s.ptr());
    if (maxchar < ' ') maxchar = ' ';
    py::object padded = steal(PyUnicode_New(width, maxchar));
    if (PyUnicode_CopyCharacters(padded.ptr(), 0, s.ptr(), 0, len) < 0) raise_current();
    if (PyUnicode_Fill(padded.ptr(), len, width - len, ' ') < 0) raise_current();
    return py::reinterpret_steal<py::str>(padded.release());
}

PyObject* rule_line() { return LIT("  ..............................................................."); }

// ---------------------------------------------------------------------------

namespace {

// Whether `function` is logging's own Logger.<name> (not a replacement such
// as a mock). The last function found to be is remembered.
bool is_logging_method(PyObject* function, const char* name, PyObject*& verified) {
    if (function == nullptr) return false;
    if (function == verified) return true;
    if (!PyFunction_Check(function)) return false;
    PyObject* module = PyFunction_GET_MODULE(function);
    PyObject* qualname = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
    if (module == nullptr || !PyUnicode_Check(module) || qualname == nullptr || !PyUnicode_Check(qualname)) {
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module, "logging") != 0) return false;
    const std::string expected = std::string("Logger.") + name;
    if (PyUnicode_CompareWithASCIIString(qualname, expected.c_str()) != 0) return false;
    Py_INCREF(function);
    Py_XSETREF(verified, function);
    return true;
}

// The object's __dict__, or a null object when its type gives it none.
py::object instance_dict(py::handle obj) {
    PyObject* dict = compat::instance_dict(obj.ptr());
    if (dict == nullptr && PyErr_Occurred()) raise_current();
    return py::reinterpret_steal<py::object>(dict);
}

PyObject* level_number(int level) {
    static PyObject* const info = PyLong_FromLong(20);
    static PyObject* const warning = PyLong_FromLong(30);
    static PyObject* const error = PyLong_FromLong(40);
    return level == 0 ? info : level == 1 ? warning : error;
}

}  // namespace

Logger::Logger()
    : logger_(call_method(global(ID("logging")), ID("getLogger"), global(ID("__name__")))),
      standard_(false) {
    PyObject* logger_class = PyObject_GetAttr(global(ID("logging")).ptr(), ID("Logger"));
    if (logger_class == nullptr) {
        PyErr_Clear();
        return;
    }
    const bool exact = reinterpret_cast<PyObject*>(Py_TYPE(logger_.ptr())) == logger_class;
    Py_DECREF(logger_class);
    if (!exact) return;
    static PyObject* verified[3] = {nullptr, nullptr, nullptr};
    PyTypeObject* type = Py_TYPE(logger_.ptr());
    const char* const names[3] = {"info", "warning", "error"};
    PyObject* const ids[3] = {ID("info"), ID("warning"), ID("error")};
    for (int i = 0; i < 3; ++i) {
        PyObject* function = compat::type_lookup(type, ids[i]);
        if (function == nullptr && PyErr_Occurred()) raise_current();
        if (!is_logging_method(function, names[i], verified[i])) return;
    }
    py::object dict = instance_dict(logger_);
    if (!dict || !PyDict_CheckExact(dict.ptr())) return;
    for (PyObject* name : ids) {
        if (PyDict_GetItemWithError(dict.ptr(), name) != nullptr) return;
        if (PyErr_Occurred()) raise_current();
    }
    standard_ = true;
}

bool Logger::drops(Level level) const {
    // What Logger.isEnabledFor answers from its own state, without calling
    // it: disabled, or a cached "no" for the level.
    if (!standard_) return false;
    py::object dict = instance_dict(logger_);
    if (!dict || !PyDict_CheckExact(dict.ptr())) return false;
    PyObject* disabled = PyDict_GetItemWithError(dict.ptr(), ID("disabled"));
    if (disabled == Py_True) return true;
    if (disabled != Py_False) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    PyObject* cache = PyDict_GetItemWithError(dict.ptr(), ID("_cache"));
    if (cache == nullptr || !PyDict_CheckExact(cache)) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    PyObject* enabled = PyDict_GetItemWithError(cache, level_number(level));
    if (enabled == nullptr && PyErr_Occurred()) raise_current();
    return enabled == Py_False;
}

void Logger::emit(PyObject* method, Level level, py::handle message) const {
    if (drops(level)) return;
    call_method(logger_, method, message);
}

void Logger::emit(PyObject* method, Level level, std::initializer_list<Piece> pieces) const {
    // The values are converted first, as building the message would, and
    // only then is the level consulted.
    Texts texts(pieces);
    if (drops(level)) return;
    call_method(logger_, method, texts.join());
}

// ---------------------------------------------------------------------------

py::object list_next(py::handle service, PyObject* collection, py::handle previous_request,
                     py::handle previous_response) {
    return request(service, collection, ID("list_next"), KW("previous_request", "previous_response"),
                   previous_request, previous_response);
}

py::object split(py::handle text_value, PyObject* sep) {
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
    if (!PyUnicode_CheckExact(url.ptr())) {
        parts_ = split(url, LIT("/"));
        return;
    }
    length_ = PyUnicode_GET_LENGTH(url.ptr());
    const void* data = PyUnicode_DATA(url.ptr());
    switch (PyUnicode_KIND(url.ptr())) {
        case PyUnicode_1BYTE_KIND:
            scanned_ = scan_slashes(static_cast<const Py_UCS1*>(data), length_, slash_, max_slashes, count_);
            break;
        case PyUnicode_2BYTE_KIND:
            scanned_ = scan_slashes(static_cast<const Py_UCS2*>(data), length_, slash_, max_slashes, count_);
            break;
        default:
            scanned_ = scan_slashes(static_cast<const Py_UCS4*>(data), length_, slash_, max_slashes, count_);
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
        if (PyUnicode_READ(kind, data, start + j) != PyUnicode_READ(expected_kind, expected_data, j)) {
            return false;
        }
    }
    return true;
}

py::object wait_for(py::handle cls, py::handle service, py::handle project, py::handle operation) {
    py::object name = item(operation, ID("name"));
    return call_cls(cls, ID("wait_for_global_operation"), service, project, name);
}

}  // namespace gcp
