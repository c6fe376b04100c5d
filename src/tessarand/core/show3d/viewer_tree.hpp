// ParseGDS.to_viewer: the viewer tree of the parsed cells or layers, with one
// float32 array per polygon of the polygon table and six numbers per
// placement of a reference.
#pragma once

#include "classes.hpp"

namespace show3d {

// to_viewer, for binding the class.
const FunctionDef &to_viewer_def();

} // namespace show3d
