// ParseGDS's construction and layer lookups: the attributes a parser starts
// with, the map of the layout's layer indices to the property table's layers,
// and each layer's display name, bottom, thickness and colour.
#pragma once

#include "classes.hpp"

namespace show3d {

// The methods of this unit, for binding the class and for telling them from
// overrides.
const FunctionDef &parser_init_def();
const FunctionDef &extract_layers_def();
const FunctionDef &get_name_def();
const FunctionDef &get_zmin_def();
const FunctionDef &get_height_def();
const FunctionDef &get_color_def();

} // namespace show3d
