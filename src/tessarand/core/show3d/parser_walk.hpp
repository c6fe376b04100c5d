// ParseGDS's general walk over cells: polygon extraction, the polygon table
// filled shape by shape, and a Cell or Reference record per placement path.
// It serves parse_cells, and the exports wherever the direct road's walk
// steps aside.
#pragma once

#include "classes.hpp"

#include <vector>

namespace show3d {

// The methods of this unit, for binding the class and for telling them from
// overrides.
const FunctionDef &extract_dpolygon_def();
const FunctionDef &parse_cells_def();

// The records of `tops` (KLayout cells) from one walk of the parser
// call.args[0], whose polygon table it extends; the outlines converted so far
// are complete even when the walk stops on an error.
nb::object walk_cells(const Call &call, const std::vector<nb::object> &tops);

} // namespace show3d
