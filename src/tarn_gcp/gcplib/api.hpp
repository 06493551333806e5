// Shared helpers of the gcplib methods: interned names, calls into Python,
// the module namespace, messages, logging, Compute requests and self-links.
//
// Every helper either returns an owned object or throws py::error_already_set
// carrying the Python error; the method boundary restores it.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

namespace gcp {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Interned names and constant texts

// An interned str that lives for the rest of the process.
PyObject* intern(const char* text);
// A tuple of interned keyword names, for keyword calls.
PyObject* kwnames(std::initializer_list<const char*> names);
// A constant str (not interned), for message pieces.
PyObject* literal(const char* text);

}  // namespace gcp

// Each use site keeps its own object, made on first use.
#define ID(text) ([]() -> PyObject* { static PyObject* const id_ = ::gcp::intern(text); return id_; }())
#define KW(...) ([]() -> PyObject* { static PyObject* const kw_ = ::gcp::kwnames({__VA_ARGS__}); return kw_; }())
#define LIT(text) ([]() -> PyObject* { static PyObject* const lit_ = ::gcp::literal(text); return lit_; }())

namespace gcp {

// ---------------------------------------------------------------------------
// Errors

[[noreturn]] inline void raise_current() { throw py::error_already_set(); }

inline py::object steal(PyObject* o) {
    if (o == nullptr) raise_current();
    return py::reinterpret_steal<py::object>(o);
}

// Raises `type(value)`, as `raise type(value)` would.
[[noreturn]] void raise(PyObject* type, py::handle value);

// True when the error is an instance of Exception (the class a general
// `except Exception` catches); interrupts and exits are not.
bool is_exception(const py::error_already_set& e);

// While alive, `e` is the exception being handled, as inside an `except`
// block: traceback.print_exc() prints it, and what is raised meanwhile gets
// it as its __context__.
class Handling {
public:
    explicit Handling(const py::error_already_set& e) {
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        // An `except` block finds the traceback on the exception itself (since
        // 3.11 the exception being handled is that object alone, whatever
        // traceback is passed beside it).
        if (e.value() && e.trace() && PyException_SetTraceback(e.value().ptr(), e.trace().ptr()) < 0) {
            PyErr_Clear();
        }
        PyErr_SetExcInfo(Py_XNewRef(e.type().ptr()), Py_XNewRef(e.value().ptr()),
                         Py_XNewRef(e.trace().ptr()));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* trace_;
};

// traceback.print_exc() as it prints inside an `except` block that caught `e`.
void print_exc(const py::error_already_set& e);

// Inside a catch block: sets the Python error that the C++ exception being
// handled carries (or a SystemError for one that carries none).
void restore_python_error() noexcept;

// ---------------------------------------------------------------------------
// Calls

namespace detail {
inline PyObject* ptr(py::handle h) { return h.ptr(); }
inline PyObject* ptr(PyObject* o) { return o; }
}  // namespace detail

// obj.name(args...)
template <class... A>
py::object call_method(py::handle obj, PyObject* name, A&&... args) {
    PyObject* stack[] = {obj.ptr(), detail::ptr(args)...};
    return steal(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(positional..., k1=v1, ...): the last len(kw) values go by keyword.
template <class... A>
py::object call_method_kw(py::handle obj, PyObject* name, PyObject* kw, A&&... args) {
    PyObject* stack[] = {obj.ptr(), detail::ptr(args)...};
    const size_t positional = 1 + sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kw));
    return steal(PyObject_VectorcallMethod(
        name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// f(args...)
template <class... A>
py::object call(py::handle f, A&&... args) {
    PyObject* stack[] = {nullptr, detail::ptr(args)...};
    return steal(PyObject_Vectorcall(
        f.ptr(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., k1=v1, ...)
template <class... A>
py::object call_kw(py::handle f, PyObject* kw, A&&... args) {
    PyObject* stack[] = {nullptr, detail::ptr(args)...};
    const size_t positional = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kw));
    return steal(PyObject_Vectorcall(
        f.ptr(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// ---------------------------------------------------------------------------
// The module namespace

// Looks `name` up in the module's namespace, then in the builtins, as a
// global name of a Python function is; NameError when it is in neither.
py::object global(PyObject* name);

// Set once the module is initialised.
void set_globals(PyObject* module_dict);

// ---------------------------------------------------------------------------
// Objects

inline py::object attr(py::handle obj, PyObject* name) {
    return steal(PyObject_GetAttr(obj.ptr(), name));
}
inline void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) raise_current();
}
// obj[key]
inline py::object item(py::handle obj, py::handle key) {
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}
inline py::object item(py::handle obj, PyObject* key) { return item(obj, py::handle(key)); }
// obj[key] = value
inline void set_item(py::handle obj, py::handle key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}
// key in obj
inline bool contains(py::handle obj, py::handle key) {
    const int r = PySequence_Contains(obj.ptr(), key.ptr());
    if (r < 0) raise_current();
    return r == 1;
}
// obj.get(key, default)
py::object get(py::handle obj, PyObject* key, py::handle default_value);
// len(obj)
Py_ssize_t length(py::handle obj);
// bool(obj)
inline bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) raise_current();
    return r == 1;
}
// a == b
inline bool equal(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) raise_current();
    return r == 1;
}
inline bool is_none(py::handle obj) { return obj.ptr() == Py_None; }
inline bool is_true(py::handle obj) { return obj.ptr() == Py_True; }

inline py::list new_list() { return py::reinterpret_steal<py::list>(steal(PyList_New(0)).release()); }
inline py::dict new_dict() { return py::reinterpret_steal<py::dict>(steal(PyDict_New()).release()); }
// list.append(value), through the list's own method for subclasses
void append(py::handle list, py::handle value);

// ---------------------------------------------------------------------------
// Messages

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
// The pieces, each in its str() text, joined with nothing between them.
py::str cat(std::initializer_list<Piece> pieces);
// str(obj).ljust(width): padded on the right to `width` characters.
py::str ljust(py::handle obj, Py_ssize_t width);
// Two blanks and 63 full stops: the rule line framing every table.
PyObject* rule_line();

// ---------------------------------------------------------------------------
// Logging

// The module logger, `logging.getLogger(__name__)`.
//
// A message given as pieces is only joined when the logger would emit the
// record. When the logger is a plain logging.Logger whose level drops the
// record, nothing observable would come of the call: the pieces are still
// converted (a str() that raises, raises), but neither joined nor passed on.
class Logger {
public:
    Logger();
    void info(py::handle message) const { emit(ID("info"), level_info, message); }
    void warning(py::handle message) const { emit(ID("warning"), level_warning, message); }
    void error(py::handle message) const { emit(ID("error"), level_error, message); }
    void info(std::initializer_list<Piece> pieces) const { emit(ID("info"), level_info, pieces); }
    void warning(std::initializer_list<Piece> pieces) const {
        emit(ID("warning"), level_warning, pieces);
    }
    void error(std::initializer_list<Piece> pieces) const { emit(ID("error"), level_error, pieces); }
    const py::object& object() const { return logger_; }

private:
    enum Level { level_info, level_warning, level_error };
    void emit(PyObject* method, Level level, py::handle message) const;
    void emit(PyObject* method, Level level, std::initializer_list<Piece> pieces) const;
    // True only when the record would certainly be dropped.
    bool drops(Level level) const;

    py::object logger_;
    bool standard_;  // a logging.Logger with logging's own info/warning/error
};

// ---------------------------------------------------------------------------
// Compute service

// service.<collection>().<method>(**kw) with the keyword values given in
// the order of `kw`: the request, not yet executed.
template <class... A>
py::object request(py::handle service, PyObject* collection, PyObject* method, PyObject* kw,
                   A&&... values) {
    py::object resource = call_method(service, collection);
    return call_method_kw(resource, method, kw, std::forward<A>(values)...);
}

// request.execute()
inline py::object execute(py::handle req) { return call_method(req, ID("execute")); }

// service.<collection>().list_next(previous_request=..., previous_response=...)
py::object list_next(py::handle service, PyObject* collection, py::handle previous_request,
                     py::handle previous_response);

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
    Py_ssize_t count_ = 0;     // slashes found
    bool scanned_ = false;     // a str URL with at most max_slashes slashes
    Py_ssize_t slash_[max_slashes];
};

// url.split("/")[cls.<index_name>]
inline py::object url_part(py::handle url, py::handle cls, PyObject* index_name) {
    return SelfLink(url).part(cls, index_name);
}
// text.split(sep)
py::object split(py::handle text, PyObject* sep);

// ---------------------------------------------------------------------------
// The run: plan, dry-run switch and revert information, through the module's
// yctx and Globals names.

// yctx().getContext(key), on a run context made for this read.
inline py::object plan(PyObject* key) {
    return call_method(call(global(ID("yctx"))), ID("getContext"), key);
}
// bool(Globals.getDryRun())
inline bool dry_run() { return truthy(call_method(global(ID("Globals")), ID("getDryRun"))); }
// Globals.getRevertInfo()
inline py::object revert_info() { return call_method(global(ID("Globals")), ID("getRevertInfo")); }

// ---------------------------------------------------------------------------
// The class's own methods, reached through `cls` so that overrides apply.

template <class... A>
py::object call_cls(py::handle cls, PyObject* name, A&&... args) {
    return call_method(cls, name, std::forward<A>(args)...);
}

// GcpLib.wait_for_global_operation(service, project, operation["name"])
py::object wait_for(py::handle cls, py::handle service, py::handle project, py::handle operation);

}  // namespace gcp
