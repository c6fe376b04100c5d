// Python-semantics helpers shared by every unit of the extension: raising the
// interpreter's built-in exceptions with fixed messages, argument conversions,
// recursion guards and late-bound lookups in the module namespace.
#pragma once

#include <nanobind/nanobind.h>

#include <pthread.h>

#include <algorithm>
#include <cstdarg>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace show3d {

namespace nb = nanobind;

// An interned string made once per call site; used for attribute and
// dictionary keys on hot paths.
#define S3D_NAME(text)                                                        \
    ([]() -> PyObject * {                                                     \
        static PyObject *interned = PyUnicode_InternFromString(text);         \
        return interned;                                                      \
    }())

// Turns the error already set in the interpreter into a C++ exception.
[[noreturn]] inline void raise_current() { throw nb::python_error(); }

[[noreturn]] inline void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    raise_current();
}

inline nb::object check(PyObject *result) {
    if (!result) raise_current();
    return nb::steal(result);
}

inline void check_status(int status) {
    if (status < 0) raise_current();
}

inline const char *type_name_of(nb::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

[[noreturn]] inline void raise_argument_type(const char *argument,
                                             const char *expected,
                                             nb::handle given) {
    raise(PyExc_TypeError,
          "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          argument, expected, type_name_of(given));
}

[[noreturn]] inline void raise_result_type(const char *expected,
                                           nb::handle given) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", expected,
          type_name_of(given));
}

// Declared result types: a value of another exact type (None excepted) is
// rejected after the fact.
inline nb::object check_result(nb::object value, PyTypeObject *expected) {
    if (!value.is_none() && Py_TYPE(value.ptr()) != expected)
        raise_result_type(expected->tp_name, value);
    return value;
}

// Parameters declared with a built-in container type accept that exact type
// (or None where allowed); subclasses are rejected.
inline void require_exact(nb::handle value, PyTypeObject *type,
                          const char *argument, bool none_allowed) {
    if (Py_TYPE(value.ptr()) == type) return;
    if (none_allowed && value.is_none()) return;
    raise_argument_type(argument, type->tp_name, value);
}

// The interpreter's float conversion (failures raise its own TypeError).
inline double to_double(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) raise_current();
    return result;
}

// Optional float parameter: None and exact floats pass unchanged, anything
// with a number conversion becomes float(value), the rest is rejected.
inline nb::object to_optional_float(nb::handle value, const char *argument) {
    PyObject *raw = value.ptr();
    if (raw == Py_None || PyFloat_CheckExact(raw)) return nb::borrow(value);
    PyNumberMethods *number = Py_TYPE(raw)->tp_as_number;
    if (!number || !(number->nb_float || number->nb_index || number->nb_int))
        raise_argument_type(argument, "float", value);
    return check(PyNumber_Float(raw));
}

// format(value, ""): the text of a value in an f-string (a str is returned as is).
inline nb::object format_text(nb::handle value) {
    static PyObject *empty = PyUnicode_InternFromString("");
    return check(PyObject_Format(value.ptr(), empty));
}

inline bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    check_status(result);
    return result != 0;
}

// The value of an int (exactly, not a subclass) that fits a long; nothing
// for anything else, without raising for one beyond a long.
inline std::optional<long> exact_long(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value.ptr(), &overflow); // cannot fail for an exact int
    if (overflow) return std::nullopt;
    return number;
}

// Whether `value` is of class `type` itself, not of a subclass.
inline bool is_exactly(nb::handle value, nb::handle type) {
    return reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())) == type.ptr();
}

inline bool is_instance(nb::handle value, nb::handle type) {
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    check_status(result);
    return result != 0;
}

inline bool equals(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check_status(result);
    return result != 0;
}

inline nb::object get_attr(nb::handle object, PyObject *name) {
    return check(PyObject_GetAttr(object.ptr(), name));
}

inline void set_attr(nb::handle object, PyObject *name, nb::handle value) {
    check_status(PyObject_SetAttr(object.ptr(), name, value.ptr()));
}

// The UTF-8 form of a str, valid while `text` lives; TypeError for anything
// else.
inline std::string_view utf8_view(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) raise_current();
    return {data, size_t(size)};
}

// The contents of a bytes object, valid while `value` lives; empty for any
// other object.
inline std::span<const unsigned char> bytes_view(nb::handle value) {
    if (!PyBytes_Check(value.ptr())) return {};
    return {reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value.ptr())),
            size_t(PyBytes_GET_SIZE(value.ptr()))};
}

// getattr(object, name, None): only AttributeError counts as absent.
inline nb::object optional_attr(nb::handle object, PyObject *name) {
    PyObject *value = nullptr;
    check_status(PyObject_GetOptionalAttr(object.ptr(), name, &value));
    return value ? nb::steal(value) : nb::none();
}

// hasattr(): only AttributeError counts as absent; other errors propagate.
inline bool has_attr(nb::handle object, PyObject *name) {
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttr(object.ptr(), name, &value);
    check_status(found);
    Py_XDECREF(value);
    return found == 1;
}

inline Py_ssize_t length(nb::handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) raise_current();
    return size;
}

// ---- checked access to data that user code produced --------------------------
// Items are read only after their container was checked, and every item is
// owned while it is used: the code that runs between two reads (a __hash__,
// an __eq__, an overridden method) may change or free the container.

// An exception part passed on to Python code: None where the interpreter has
// none (an exception raised in native code has no traceback yet).
inline nb::handle or_none(nb::handle part) { return part.is_valid() ? part : nb::handle(Py_None); }

// tuple(iterable): what a walk iterates when code it calls may change the
// original.
inline nb::tuple snapshot(nb::handle iterable) {
    return nb::steal<nb::tuple>(check(PySequence_Tuple(iterable.ptr())).release());
}

// An owned item of a list, with bounds checked (IndexError otherwise).
inline nb::object list_item(nb::handle list, Py_ssize_t index) {
    return check(PyList_GetItemRef(list.ptr(), index));
}

// dict.get(key) for a dict, owned; invalid when the key is absent.
inline nb::object dict_lookup(nb::handle dict, nb::handle key) {
    PyObject *value = nullptr;
    check_status(PyDict_GetItemRef(dict.ptr(), key.ptr(), &value));
    return nb::steal(value);
}

// a, b = value: exactly two items of any iterable, with the interpreter's
// messages.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (!type->tp_iter && !PySequence_Check(value.ptr()))
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    nb::object iterator = check(PyObject_GetIter(value.ptr()));
    nb::object items[3];
    int count = 0;
    for (; count < 3; ++count) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) break;
        items[count] = nb::steal(item);
    }
    if (PyErr_Occurred()) raise_current();
    if (count > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (count < 2)
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
    return {std::move(items[0]), std::move(items[1])};
}

// for key, value in mapping.items(): one owned pair at a time, read as the
// loop advances, so that a mapping changed meanwhile raises what its
// iterator raises (RuntimeError for a dict), as in Python.
class ItemPairs {
public:
    explicit ItemPairs(nb::handle mapping) {
        nb::object items = check(PyObject_CallMethodNoArgs(mapping.ptr(), S3D_NAME("items")));
        iterator_ = check(PyObject_GetIter(items.ptr()));
    }

    class Iterator {
    public:
        Iterator() = default;
        explicit Iterator(nb::handle iterator) : iterator_(iterator) { advance(); }
        const std::pair<nb::object, nb::object> &operator*() const { return current_; }
        Iterator &operator++() {
            advance();
            return *this;
        }
        bool operator!=(const Iterator &other) const { return !iterator_.is(other.iterator_); }

    private:
        void advance() {
            PyObject *item = PyIter_Next(iterator_.ptr());
            if (!item) {
                if (PyErr_Occurred()) raise_current();
                iterator_ = nb::handle();
                return;
            }
            current_ = unpack_pair(nb::steal(item));
        }
        nb::handle iterator_;
        std::pair<nb::object, nb::object> current_;
    };

    Iterator begin() const { return Iterator(iterator_); }
    Iterator end() const { return Iterator(); }

private:
    nb::object iterator_;
};

inline ItemPairs items_of(nb::handle mapping) { return ItemPairs(mapping); }

// Calls object.name(*args) without building a bound method.
template <typename... Args>
nb::object call_method(nb::handle object, PyObject *name, Args... args) {
    PyObject *stack[] = {object.ptr(), nb::handle(args).ptr()...};
    return check(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

template <typename... Args>
nb::object call(nb::handle callable, Args... args) {
    PyObject *stack[] = {nullptr, nb::handle(args).ptr()...};
    return check(PyObject_Vectorcall(
        callable.ptr(), stack + 1,
        sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A tuple of interned keyword names, made once per call site.
inline PyObject *make_keyword_names(std::initializer_list<const char *> names) {
    PyObject *tuple = PyTuple_New(Py_ssize_t(names.size()));
    Py_ssize_t index = 0;
    for (const char *name : names)
        PyTuple_SET_ITEM(tuple, index++, PyUnicode_InternFromString(name));
    return tuple;
}

#define S3D_KEYWORDS(...)                                                     \
    ([]() -> PyObject * {                                                     \
        static PyObject *names = ::show3d::make_keyword_names({__VA_ARGS__}); \
        return names;                                                         \
    }())

// callable(*positional, **dict(zip(keyword_names, values))) in one vectorcall.
inline nb::object call_keywords(nb::handle callable,
                                std::initializer_list<nb::handle> positional,
                                PyObject *keyword_names,
                                std::initializer_list<nb::handle> values) {
    PyObject *stack[32];
    size_t count = 0;
    for (nb::handle value : positional) stack[count++] = value.ptr();
    for (nb::handle value : values) stack[count++] = value.ptr();
    return check(PyObject_Vectorcall(callable.ptr(), stack, positional.size(),
                                     keyword_names));
}


// The lowest stack address a native recursion may reach on this thread: the
// thread's stack bounds less a reserve for the calls a level makes (into the
// interpreter, KLayout, the allocator; larger frames in sanitizer builds).
// Null when the bounds are unknown.
inline const char *stack_floor() {
    thread_local const char *floor = [] {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return (const char *)nullptr;
        void *lowest = nullptr;
        size_t size = 0;
        int status = pthread_attr_getstack(&attributes, &lowest, &size);
        pthread_attr_destroy(&attributes);
        if (status != 0 || !lowest) return (const char *)nullptr;
        size_t reserve = std::min(std::max(size / 4, size_t(256) << 10), size / 2);
        return static_cast<const char *>(lowest) + reserve;
    }();
    return floor;
}

// Guards one level of a native recursion: a walk deeper than the
// interpreter's recursion limit, or one that would leave too little of the
// thread's C stack for the calls it makes, raises RecursionError, whatever
// the build and the limit set. `depth` counts the levels of one walk.
class RecursionGuard {
public:
    RecursionGuard(int &depth, const char *where) : depth_(depth) {
        const char *floor = stack_floor();
        if (depth_ >= Py_GetRecursionLimit() ||
            (floor && static_cast<const char *>(__builtin_frame_address(0)) < floor))
            raise(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        if (Py_EnterRecursiveCall(where)) raise_current();
        ++depth_;
    }
    ~RecursionGuard() {
        --depth_;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

private:
    int &depth_;
};

// Pauses the cyclic garbage collector while a bulk operation allocates many
// container objects (records, lists, KTrans) that are all still in use: its
// passes would only rescan them. The previous state is restored on exit.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    int was_enabled_;
};

// The module namespace, read at call time so that a replaced attribute is
// seen by the next call, as it would be by code running in the module.
class Globals {
public:
    explicit Globals(nb::handle dict) : dict_(dict) {}

    nb::object operator[](PyObject *name) const {
        PyObject *value = nullptr;
        check_status(PyDict_GetItemRef(dict_.ptr(), name, &value));
        if (value) return nb::steal(value);
        PyObject *builtins = PyEval_GetBuiltins();
        check_status(PyDict_GetItemRef(builtins, name, &value));
        if (value) return nb::steal(value);
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }

    nb::handle dict() const { return dict_; }

private:
    nb::handle dict_;
};

} // namespace show3d
