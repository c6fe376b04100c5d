#include "classes.hpp"

namespace show3d {
namespace {

// Read once at load, as Python fixes __debug__ when the interpreter starts.
bool debug_at_load = true;

} // namespace

void note_assertions_enabled() {
    PyObject *debug = PyDict_GetItemString(PyEval_GetBuiltins(), "__debug__");
    debug_at_load = debug == Py_True;
}

bool assertions_enabled() { return debug_at_load; }

void add_method(nb::dict namespace_, nb::handle globals, const FunctionDef &def,
                const Defaults &defaults) {
    namespace_[def.name] = make_function(globals, def, defaults);
}

nb::object make_class(const char *name, const char *doc, nb::dict namespace_) {
    namespace_["__module__"] = nb::str(module_name);
    namespace_["__qualname__"] = nb::str(name);
    namespace_["__doc__"] = nb::str(doc);
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    return call(type, nb::str(name), bases, namespace_);
}

} // namespace show3d
