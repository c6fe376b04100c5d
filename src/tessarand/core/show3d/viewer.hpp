// Viewer output: the viewer tree, its dictionary and JSON forms, and the
// base64 buffer encoding of arrays.
#pragma once

#include "classes.hpp"

namespace show3d {

// Readies numpy's C interface; called once while the module starts.
void init_arrays();

// Adds to_viewer, asdict and create_json to the ParseGDS class namespace.
void add_viewer_methods(nb::dict namespace_, nb::handle globals);

// The module-level function numpy_to_buffer_json.
nb::object make_numpy_to_buffer_json(nb::handle globals);

// True when `function` is numpy_to_buffer_json as made here.
bool is_own_numpy_to_buffer_json(nb::handle function);

// The id of a tree node: its parent's id, "/", its name.
nb::object join_path(nb::handle parent, nb::handle name);

// numpy_to_buffer_json's description of a flat array: shape, dtype, the
// buffer's base64 text and the codec.
nb::object buffer_description(nb::handle shape, nb::handle dtype, nb::handle buffer);

// x0, y0, x1, y1, ... of an exact list of (x, y) pairs of exact floats,
// written as float32 to `out` (room for two per item); false, with `out` part
// written, for any other item. No Python code runs meanwhile.
bool read_float_pairs(nb::handle list, float *out);

// Base64 text of `size` bytes at `data`.
nb::object base64_text(const unsigned char *data, size_t size);

} // namespace show3d
