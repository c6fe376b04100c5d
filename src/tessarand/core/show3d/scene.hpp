// The direct road: from a freshly constructed parser straight to its viewer
// tree, with the cell table, placements and polygon table held as plain
// numbers. It gives what export, combination and to_viewer (and asdict) give
// together, without the hierarchy records, KTrans objects and tuple outlines
// in between.
#pragma once

#include "buffers.hpp"
#include "classes.hpp"
#include "core/budget.hpp"

namespace show3d {

// The form a scene is written in: the records parser.to_viewer(output)
// gives, their dictionary form (parser.asdict of them), or that form with
// its arrays as numpy_to_buffer_json describes them.
enum class SceneForm { records, dicts, buffers };

// parser.to_viewer(output) after export with combination, in `form`, for a
// parser just made by ParseGDS(...) on a layout read from a file. Invalid
// when the step-by-step road must run instead: something it would use was
// replaced, an input is not plain data, or the layout needs its general
// handling (a cyclic hierarchy). MemoryError for a layout beyond `limits`
// (see Walk::run). Buffers leave their base64 text to `deferred` when given.
nb::object direct_scene(const Globals &globals, nb::handle snapshot, nb::handle parser, nb::handle output,
                        const Limits &limits, SceneForm form, DeferredBuffers *deferred = nullptr);

} // namespace show3d
