// What the page needs of a scene besides its arrays: how much it holds. Read
// from the scene's dictionaries as the writer made them, not from text.
#pragma once

#include "buffers.hpp"
#include "pyhelpers.hpp"

#include <functional>

namespace show3d {

struct SceneCounts {
    size_t placements = 0; // a leaf without placements stands where it is: one
    size_t polygons = 0;   // of "instances", when it is a list
    size_t points = 0;
    nb::list layers;       // layer names, each once, in scene order
};

// The counts of `data`, the scene's root dictionary with arrays as buffer
// descriptions (or placeholders for them). Layer mode names its layers one
// level below the root; cell mode names its leaves after them.
SceneCounts scene_counts(nb::handle data);

// The page's parts of `message`, show3d's message dictionary, whose arrays
// `deferred` holds (every one, when set) and which `dump` writes as orjson
// does. A dictionary: "packed", the message's JSON with each buffer a number
// in its "table" (see PackedMessage); "arrays", the distinct arrays (bytes);
// "message", the message text when `with_message`, else None;
// "message_chars", its length; and the counts of scene_counts. Where the
// arrays cannot be packed (a placeholder met by chance in the scene's own
// text, or no deferred arrays), "packed" is None and "message" the text.
nb::object page_parts(nb::handle message, DeferredBuffers *deferred, bool with_message,
                      const std::function<nb::object()> &dump);

} // namespace show3d
