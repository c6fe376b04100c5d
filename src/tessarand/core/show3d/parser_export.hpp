// ParseGDS's exports: ParsedCells from the records of every top cell, from
// the direct road's walk where it stands in for the general one, and
// ParsedLayers, the cell trees split into one pruned tree per layer. Above the
// general walk and the combination of references, which it runs.
#pragma once

#include "classes.hpp"

namespace show3d {

// The methods of this unit, for binding the class and for telling them from
// overrides.
const FunctionDef &export_cells_def();
const FunctionDef &export_layers_def();

} // namespace show3d
