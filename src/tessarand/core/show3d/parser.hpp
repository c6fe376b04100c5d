// ParseGDS: from a KLayout layout to a cell tree with every distinct polygon
// stored once, per-layer trees, and merged references.
#pragma once

#include "classes.hpp"

namespace show3d {

// The class namespace of ParseGDS with construction, lookups, polygon
// extraction, cell parsing, layer split and reference combination. Start-up
// puts the direct road's snapshot into `road_snapshot_holder` (a list) once
// every name is bound; export_cells takes the direct road's walk from then on.
nb::dict parser_namespace(nb::handle globals, nb::handle road_snapshot_holder);

// True when get_name, get_zmin, get_height and get_color of `parser` are the
// class's own: overridden in no subclass and not on the instance.
bool uses_own_layer_lookups(nb::handle parser);

} // namespace show3d
