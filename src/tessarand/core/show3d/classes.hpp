// What every binding unit needs to put classes and methods into the module
// namespace: their module name, native methods added to a class namespace,
// plain classes made from such a namespace, and the module's assertions.
#pragma once

#include "pyfunction.hpp"

namespace show3d {

inline constexpr const char *module_name = "tessarand.core.show3d";

// Notes whether assertions are enabled (__debug__); called once while the
// module starts.
void note_assertions_enabled();

// Whether assertions were enabled when the module was loaded.
bool assertions_enabled();

// An assertion of the module: a bare AssertionError when it fails while
// assertions are enabled, nothing otherwise.
inline void check_assertion(bool holds) {
    if (!holds && assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        raise_current();
    }
}

// Output.CELL or Output.LAYER as the module namespace has them now.
inline nb::object output_member(const Globals &globals, PyObject *name) {
    return get_attr(globals[S3D_NAME("Output")], name);
}

// Adds a native method to a class namespace under its own name.
void add_method(nb::dict namespace_, nb::handle globals, const FunctionDef &def,
                const Defaults &defaults = {});

// type(name, (object,), namespace) with __module__ and __qualname__ set.
nb::object make_class(const char *name, const char *doc, nb::dict namespace_);

} // namespace show3d
