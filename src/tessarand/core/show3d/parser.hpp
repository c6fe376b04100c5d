// ParseGDS: from a KLayout layout to a cell tree with every distinct polygon
// stored once, per-layer trees, and merged references.
#pragma once

#include "classes.hpp"

namespace show3d {

// The class namespace of ParseGDS with construction, lookups, polygon
// extraction, cell parsing, layer split and reference combination.
nb::dict parser_namespace(nb::handle globals);

// True when get_name, get_zmin, get_height and get_color of `parser` are the
// class's own: overridden in no subclass and not on the instance.
bool uses_own_layer_lookups(nb::handle parser);

} // namespace show3d
