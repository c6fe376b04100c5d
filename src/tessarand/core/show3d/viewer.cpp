// The viewer's methods and function bound from their units; this unit also
// owns numpy's C interface for every unit of the module.
#include "viewer.hpp"

#include "buffer_json.hpp"
#include "viewer_dict.hpp"
#include "viewer_tree.hpp"

#define SHOW3D_OWNS_ARRAY_API
#include "arrays.hpp"

namespace show3d {

void init_arrays() {
    if (PyArray_ImportNumPyAPI() < 0) raise_current();
}

void add_viewer_methods(nb::dict namespace_, nb::handle globals) {
    add_method(namespace_, globals, to_viewer_def());
    add_method(namespace_, globals, asdict_def());
    add_method(namespace_, globals, create_json_def());
}

nb::object make_numpy_to_buffer_json(nb::handle globals) {
    return make_function(globals, numpy_to_buffer_json_def());
}

bool is_own_numpy_to_buffer_json(nb::handle function) {
    return is_function_of(function, numpy_to_buffer_json_def());
}

} // namespace show3d
