// The step-by-step export on the direct road's walk: the Cell and Reference
// records of ParseGDS's export, made from the walk's tables.
#pragma once

#include "pyhelpers.hpp"

namespace show3d {

struct WalkRecords {
    nb::object cells; // invalid where the general walk must run
    bool combined = false;
};

// The records the general walk gives for `tops` (a list of KLayout cells),
// and the parser's polygon table, mapping and instance index filled as that
// walk fills them; with `combine`, the records as combine_references then
// leaves them, combined from the walk's tables. No records, with nothing
// changed, where only the general walk gives what the written behaviour
// says: something it would use was replaced, the parser's tables are not
// fresh, or the layout needs its general handling (see direct_scene). The
// caller checked that the parser's parse_cells and extract_dpolygon are its
// own, and combine_references too where it asks to combine.
WalkRecords records_from_walk(const Globals &globals, nb::handle snapshot, nb::handle parser,
                              nb::handle tops, bool combine);

} // namespace show3d
