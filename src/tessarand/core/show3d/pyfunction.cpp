#include "pyfunction.hpp"

#include <algorithm>
#include <new>
#include <string>

namespace show3d {
namespace {

constexpr size_t max_params = 16;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    Py_ssize_t positional_count;
    PyObject *globals;
    PyObject *param_names; // tuple of interned names, in parameter order
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;    // tuple or None
    PyObject *kwdefaults;  // dict or None
    PyObject *annotations; // dict, or null until asked for again after deletion
    PyObject *data;
    PyObject *dict;
};

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

FunctionObject *as_function(PyObject *self) {
    return reinterpret_cast<FunctionObject *>(self);
}

// ---- argument binding, with the interpreter's own messages ---------------

// dict[key] for a text key, owned; invalid when absent.
nb::object dict_item(nb::handle dict, const char *key) {
    PyObject *value = nullptr;
    check_status(PyDict_GetItemStringRef(dict.ptr(), key, &value));
    return nb::steal(value);
}

std::string quoted_list(const std::vector<const char *> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) text += "and ";
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

[[noreturn]] void raise_too_many(FunctionObject *f, Py_ssize_t given) {
    Py_ssize_t most = f->positional_count;
    Py_ssize_t with_default =
        f->defaults == Py_None ? 0 : PyTuple_GET_SIZE(f->defaults);
    Py_ssize_t least = std::max<Py_ssize_t>(most - with_default, 0);
    std::string takes = least == most
                            ? std::to_string(most)
                            : "from " + std::to_string(least) + " to " +
                                  std::to_string(most);
    raise(PyExc_TypeError,
          "%U() takes %s positional argument%s but %zd %s given", f->qualname,
          takes.c_str(), most == 1 && least == most ? "" : "s", given,
          given == 1 ? "was" : "were");
}

[[noreturn]] void raise_missing(FunctionObject *f,
                                const std::vector<const char *> &names,
                                bool keyword_only) {
    raise(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s",
          f->qualname, names.size(),
          keyword_only ? "keyword-only" : "positional",
          names.size() == 1 ? "" : "s", quoted_list(names).c_str());
}

Py_ssize_t find_param(FunctionObject *f, PyObject *keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(f->param_names, i) == keyword) return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->param_names, i),
                                            keyword, Py_EQ);
        check_status(same);
        if (same) return i;
    }
    return -1;
}

void bind_keywords(FunctionObject *f, PyObject *const *args,
                   Py_ssize_t positional, PyObject *keyword_names,
                   nb::handle *bound) {
    Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(keyword_names, k);
        Py_ssize_t index = find_param(f, keyword);
        if (index < 0)
            raise(PyExc_TypeError,
                  "%U() got an unexpected keyword argument '%U'", f->qualname,
                  keyword);
        if (bound[index].ptr())
            raise(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                  f->qualname, keyword);
        bound[index] = args[positional + k];
    }
}

// `defaults` and `kwdefaults` are the function's, owned for the call: a
// keyword default's lookup may run code that replaces them.
void fill_defaults(FunctionObject *f, nb::handle defaults, nb::handle kwdefaults,
                   nb::handle *bound, nb::object *owned) {
    const auto &params = f->def->params;
    // More defaults than parameters: the last ones count, as in a call of a
    // Python function.
    Py_ssize_t with_default = defaults.is_none() ? 0 : PyTuple_GET_SIZE(defaults.ptr());
    Py_ssize_t first_default = f->positional_count - with_default;
    std::vector<const char *> missing;
    for (Py_ssize_t i = 0; i < f->positional_count; ++i) {
        if (bound[i].ptr()) continue;
        if (i >= first_default)
            bound[i] = PyTuple_GET_ITEM(defaults.ptr(), i - first_default);
        else
            missing.push_back(params[i].name);
    }
    if (!missing.empty()) raise_missing(f, missing, false);
    for (size_t i = f->positional_count; i < params.size(); ++i) {
        if (bound[i].ptr()) continue;
        if (!kwdefaults.is_none()) owned[i] = dict_item(kwdefaults, params[i].name);
        if (owned[i].is_valid())
            bound[i] = owned[i];
        else
            missing.push_back(params[i].name);
    }
    if (!missing.empty()) raise_missing(f, missing, true);
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args,
                              size_t nargsf, PyObject *keyword_names) {
    FunctionObject *f = as_function(self);
    try {
        Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
        if (positional > f->positional_count) raise_too_many(f, positional);
        nb::handle bound[max_params];
        for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = args[i];
        if (keyword_names) bind_keywords(f, args, positional, keyword_names, bound);
        nb::object owned[max_params];
        // The defaults may be replaced during the call; keep them alive.
        nb::object defaults = nb::borrow(f->defaults), kwdefaults = nb::borrow(f->kwdefaults);
        fill_defaults(f, defaults, kwdefaults, bound, owned);
        Call call{Globals(f->globals), f->data, bound};
        return f->def->impl(call).release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return nullptr;
}

// ---- attributes ------------------------------------------------------------
// As on Python functions: names are text, annotations a dict, defaults a
// tuple and keyword defaults a dict (or None); __doc__ and __module__ take
// anything. The signature is built from them on every request, so it follows
// every change.

nb::object annotations_of(FunctionObject *f) {
    if (!f->annotations) f->annotations = check(PyDict_New()).release().ptr();
    return nb::borrow(f->annotations);
}

nb::object build_signature(FunctionObject *f) {
    nb::object defaults = nb::borrow(f->defaults), kwdefaults = nb::borrow(f->kwdefaults);
    nb::object annotations = annotations_of(f);
    nb::object inspect = check(PyImport_ImportModule("inspect"));
    nb::object parameter_type = inspect.attr("Parameter");
    nb::object empty = parameter_type.attr("empty");
    nb::list parameters;
    // Which parameters show a default, as inspect decides for a Python
    // function (with more defaults than parameters, the first ones show).
    Py_ssize_t with_default = defaults.is_none() ? 0 : PyTuple_GET_SIZE(defaults.ptr());
    Py_ssize_t first_default = f->positional_count - with_default;
    if (first_default < 0) first_default = std::max<Py_ssize_t>(f->positional_count + first_default, 0);
    const auto &params = f->def->params;
    for (size_t i = 0; i < params.size(); ++i) {
        bool keyword_only = params[i].kind == ParamKind::keyword_only;
        nb::object default_value;
        if (!keyword_only && Py_ssize_t(i) >= first_default)
            default_value = nb::borrow(PyTuple_GET_ITEM(defaults.ptr(), i - first_default));
        if (keyword_only && !kwdefaults.is_none())
            default_value = dict_item(kwdefaults, params[i].name);
        nb::object annotation = dict_item(annotations, params[i].name);
        nb::object kind = parameter_type.attr(
            keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
        parameters.append(parameter_type(
            nb::str(params[i].name), kind,
            nb::arg("default") = default_value.is_valid() ? default_value : empty,
            nb::arg("annotation") = annotation.is_valid() ? annotation : empty));
    }
    nb::object returns = dict_item(annotations, "return");
    return inspect.attr("Signature")(
        parameters, nb::arg("return_annotation") = returns.is_valid() ? returns : empty);
}

// Rarely taken paths: each getter and setter turns C++ errors into the
// interpreter's error state here.
template <typename Body> auto guarded(Body &&body, decltype(body()) failed) {
    try {
        return body();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return failed;
}

// A signature assigned by the caller (kept in __dict__) wins over the built one.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    return guarded([f]() -> PyObject * {
        if (f->dict) {
            nb::object assigned = dict_item(f->dict, "__signature__");
            if (assigned.is_valid()) return assigned.release().ptr();
        }
        return build_signature(f).release().ptr();
    }, nullptr);
}

int set_signature(PyObject *self, PyObject *value, void *) {
    FunctionObject *f = as_function(self);
    return guarded([f, value]() -> int {
        if (!f->dict) f->dict = check(PyDict_New()).release().ptr();
        nb::object dict = nb::borrow(f->dict);
        if (value) return PyDict_SetItemString(dict.ptr(), "__signature__", value);
        int status = PyDict_PopString(dict.ptr(), "__signature__", nullptr);
        if (status == 0)
            PyErr_SetString(PyExc_AttributeError, "__signature__");
        return status < 0 || status == 0 ? -1 : 0;
    }, -1);
}

PyObject *get_globals(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->globals);
}

[[nodiscard]] int refuse_type(const char *what, const char *type_name) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, type_name);
    return -1;
}

// __name__ and __qualname__: text only, never deleted.
int set_text(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) return refuse_type(what, "string");
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&as_function(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

// __doc__ and __module__: any value; deleted they read as None.
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_SETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject *self, PyObject *value, void *) {
    Py_SETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

// __annotations__: a dict; deleted (or set to None) a new empty one follows.
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    return guarded([f] { return annotations_of(f).release().ptr(); }, (PyObject *)nullptr);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return refuse_type("__annotations__", "dict");
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// __defaults__ (tuple) and __kwdefaults__ (dict): deleted they read as None.
int set_tuple_or_none(PyObject **slot, PyObject *value, PyTypeObject *type, const char *what) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyObject_TypeCheck(value, type))
        return refuse_type(what, type == &PyTuple_Type ? "tuple" : "dict");
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->defaults);
}

int set_defaults(PyObject *self, PyObject *value, void *) {
    return set_tuple_or_none(&as_function(self)->defaults, value, &PyTuple_Type, "__defaults__");
}

PyObject *get_kwdefaults(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    return set_tuple_or_none(&as_function(self)->kwdefaults, value, &PyDict_Type,
                             "__kwdefaults__");
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- object protocol -------------------------------------------------------

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                                self);
}

#define S3D_FUNCTION_SLOTS(apply)                                             \
    apply(globals) apply(param_names) apply(name) apply(qualname)             \
        apply(module) apply(doc) apply(defaults) apply(kwdefaults)            \
            apply(annotations) apply(data) apply(dict)

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
#define S3D_VISIT(slot) Py_VISIT(f->slot);
    S3D_FUNCTION_SLOTS(S3D_VISIT)
#undef S3D_VISIT
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
#define S3D_CLEAR(slot) Py_CLEAR(f->slot);
    S3D_FUNCTION_SLOTS(S3D_CLEAR)
#undef S3D_CLEAR
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

} // namespace

void init_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    function_type.tp_name = "tessarand.core.show3d.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_doc = "A function of the show3d module.";
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_repr = function_repr;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_getset = function_getset;
    function_type.tp_members = function_members;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    check_status(PyType_Ready(&function_type));
}

nb::object make_function(nb::handle globals, const FunctionDef &def,
                         const Defaults &defaults) {
    if (def.params.size() > max_params)
        raise(PyExc_SystemError, "too many parameters for %s", def.name);
    FunctionObject *f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) raise_current();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->positional_count = 0;
    for (const Param &param : def.params)
        if (param.kind == ParamKind::positional_or_keyword) ++f->positional_count;
    f->globals = Py_NewRef(globals.ptr());
    f->param_names = PyTuple_New(def.params.size());
    for (size_t i = 0; i < def.params.size(); ++i)
        PyTuple_SET_ITEM(f->param_names, i,
                         PyUnicode_InternFromString(def.params[i].name));
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = PyUnicode_FromString(def.qualname);
    f->module = PyUnicode_FromString("tessarand.core.show3d");
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->defaults = Py_NewRef(defaults.positional.ptr());
    f->kwdefaults = Py_NewRef(defaults.keyword.ptr());
    f->annotations = PyDict_New();
    f->data = Py_NewRef(defaults.data.ptr());
    f->dict = nullptr;
    PyObject_GC_Track(f);
    nb::object function = nb::steal(reinterpret_cast<PyObject *>(f));
    for (const Annotation &annotation : def.annotations)
        check_status(PyDict_SetItemString(f->annotations, annotation.name,
                                          nb::str(annotation.text).ptr()));
    return function;
}

bool is_function_of(nb::handle value, const FunctionDef &def) {
    return Py_TYPE(value.ptr()) == &function_type &&
           as_function(value.ptr())->def == &def;
}

Globals function_globals(nb::handle function) { return Globals(as_function(function.ptr())->globals); }

nb::handle function_data(nb::handle function) { return as_function(function.ptr())->data; }

bool uses_own_method(nb::handle self, PyObject *name, const FunctionDef &def) {
    nb::object method = get_attr(self, name);
    return PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == self.ptr() &&
           is_function_of(PyMethod_GET_FUNCTION(method.ptr()), def);
}

} // namespace show3d
