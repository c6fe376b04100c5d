// What the direct road takes as KLayout's own, decided once per call: the
// classes whose objects the walk reads in ways of its own (their binary and
// text forms, the layout's stream form) instead of through the methods the
// step-by-step road calls, and the layout and cells it walks. Where anything
// was replaced, the step-by-step road runs and calls what replaced it.
#pragma once

#include "pyhelpers.hpp"

namespace show3d {

// Whether every KLayout class of `kdb` that counting a layout's placements
// reads, with the methods and properties it calls, is KLayout's own.
bool klayout_counted_plainly(nb::handle kdb);

// Whether every KLayout class of `kdb` the walk reads, with every method and
// property of it the walk calls or reads around, is KLayout's own.
bool klayout_read_plainly(nb::handle kdb);

// Whether `layout` is KLayout's own object without attributes of its own in
// place of the methods the walk calls, and likewise each of `cells` (an
// iterable): KLayout keeps one Python object per cell, and callers may set
// attributes on it.
bool layout_read_plainly(nb::handle kdb, nb::handle layout);
bool cells_read_plainly(nb::handle kdb, nb::handle cells);

} // namespace show3d
