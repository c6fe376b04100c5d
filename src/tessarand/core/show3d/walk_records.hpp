// The step-by-step export on the direct road's walk: the Cell and Reference
// records of ParseGDS's export, made from the walk's tables.
#pragma once

#include "pyhelpers.hpp"
#include "core/budget.hpp"

#include <functional>

namespace show3d {

// What the export makes: the records, those combined, or the records and
// the layer trees combined, as export_layers leaves them.
enum class Export { records, combined_cells, combined_layers };

struct WalkRecords {
    nb::object cells;     // invalid where the general walk must run
    bool combined = false; // cells combined
    nb::object layers;    // combined layer trees, where made: per top cell, its trees by layer
};

// The records the general walk gives for `tops` (a list of KLayout cells),
// and the parser's polygon table, mapping and instance index filled as that
// walk fills them; the records or the layer trees combined from the walk's
// tables as combine_references then leaves them. No records, with nothing
// changed, where only the general walk gives what the written behaviour
// says: something it would use was replaced, the parser's tables are not
// fresh, or the layout needs its general handling (see direct_scene). The
// caller checked that the parser's parse_cells and extract_dpolygon are its
// own, and `combination_stands` says whether the methods the combination
// stands in for are (combine_references, and export_cells for layer trees),
// asked once the walk is done. Where the combination cannot be made on the
// tables, the records come uncombined, for combine_references.
// MemoryError for a layout beyond `limits` (see Walk::run).
WalkRecords records_from_walk(const Globals &globals, nb::handle snapshot, nb::handle parser,
                              nb::handle tops, Export exported, const Limits &limits,
                              const std::function<bool()> &combination_stands);

} // namespace show3d
