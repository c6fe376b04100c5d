// A native function type that behaves like a Python function: it binds as a
// method, parses arguments by the documented names, kinds and defaults, and
// carries __defaults__, __kwdefaults__, __annotations__, __signature__, etc.
#pragma once

#include "pyhelpers.hpp"

#include <vector>

namespace show3d {

enum class ParamKind { positional_or_keyword, keyword_only };

struct Param {
    const char *name;
    ParamKind kind = ParamKind::positional_or_keyword;
};

struct Annotation {
    const char *name; // a parameter name, or "return"
    const char *text; // stored unevaluated
};

// What an implementation sees: the namespace it runs in, the function object
// (for data attached at creation) and one argument per parameter.
struct Call {
    Globals globals;
    nb::handle data;
    const nb::handle *args;
};

using Impl = nb::object (*)(const Call &call);

// Static description of one function; must outlive the function objects.
struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;
    std::vector<Param> params;
    std::vector<Annotation> annotations;
    Impl impl;
};

struct Defaults {
    nb::object positional = nb::none(); // tuple, for the last parameters
    nb::object keyword = nb::none();    // dict, for keyword-only parameters
    nb::object data = nb::none();       // handed to the implementation
};

// Creates a function object living in the module namespace `globals`.
nb::object make_function(nb::handle globals, const FunctionDef &def,
                         const Defaults &defaults = {});

// Readies the function type; called once while the module starts.
void init_function_type();

// True when `value` is a function object made from `def` (used to tell a
// method of ours from an override).
bool is_function_of(nb::handle value, const FunctionDef &def);

// The namespace and the data a function object of ours was made with.
Globals function_globals(nb::handle function);
nb::handle function_data(nb::handle function);

// True when self.<name> is the method made from `def`, bound to self: the
// method has not been overridden in a subclass or on the instance.
bool uses_own_method(nb::handle self, PyObject *name, const FunctionDef &def);

} // namespace show3d
