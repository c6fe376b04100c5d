// ParseGDS: from a KLayout layout to a cell tree with every distinct polygon
// stored once, per-layer trees, and merged references.
#pragma once

#include "classes.hpp"

namespace show3d {

// The class namespace of ParseGDS with construction, lookups, polygon
// extraction, cell parsing, layer split and reference combination.
nb::dict parser_namespace(nb::handle globals);

// The four per-layer lookups, read by the viewer builder when the parser's
// own methods are in place.
struct LayerFacts {
    nb::object name, zmin, height, color;
};

} // namespace show3d
