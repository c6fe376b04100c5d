// numpy_to_buffer_json: every numpy array in nested dicts, lists and tuples
// replaced by its buffer description, the bytes as base64 text.
#pragma once

#include "classes.hpp"

namespace show3d {

// The module-level function, for making it and for telling it from a
// replacement.
const FunctionDef &numpy_to_buffer_json_def();

} // namespace show3d
