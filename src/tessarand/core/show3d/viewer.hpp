// Viewer output: the viewer tree (viewer_tree), its dictionary and JSON forms
// (viewer_dict), and the base64 buffer encoding of arrays (buffer_json), with
// the conversions they share (viewer_common).
#pragma once

#include "classes.hpp"
#include "viewer_common.hpp"

namespace show3d {

// Readies numpy's C interface; called once while the module starts.
void init_arrays();

// Adds to_viewer, asdict and create_json to the ParseGDS class namespace.
void add_viewer_methods(nb::dict namespace_, nb::handle globals);

// The module-level function numpy_to_buffer_json.
nb::object make_numpy_to_buffer_json(nb::handle globals);

// True when `function` is numpy_to_buffer_json as made here.
bool is_own_numpy_to_buffer_json(nb::handle function);

} // namespace show3d
