// Whether the direct road may take a call (see road.cpp).
#pragma once

#include "classes.hpp"

namespace show3d {

// What the direct road compares at call time: the module names, classes and
// class attributes the step-by-step road would use, as start-up bound them.
// Taken once, after every name is bound.
nb::object direct_road_snapshot(nb::handle globals);

// Whether the module names, classes and class attributes are still those of
// the snapshot.
bool direct_road_snapshot_holds(const Globals &globals, nb::handle snapshot);

// Whether the direct road may read `parser` at all: the module's names and
// classes as start-up bound them, a ParseGDS of the class itself with plain
// attribute names, and KLayout's own classes, layout and cells (see
// klayout_own.hpp).
bool parser_read_plainly(const Globals &globals, nb::handle snapshot, nb::handle parser);

// Whether the direct road gives what parser.to_viewer(output) gives after
// export with combination: parser_read_plainly, an output of Output's own
// two, and the parser's layer table and exclusion patterns plain data.
bool road_applies(const Globals &globals, nb::handle snapshot, nb::handle parser, nb::handle output);

} // namespace show3d
