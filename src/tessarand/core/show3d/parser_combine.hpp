// ParseGDS's combination of references: references to the same cell merged,
// their placements composed with those of their parents, down the cell tree or
// every layer tree.
#pragma once

#include "classes.hpp"

namespace show3d {

// combine_references, for binding the class and for telling it from an
// override.
const FunctionDef &combine_references_def();

} // namespace show3d
