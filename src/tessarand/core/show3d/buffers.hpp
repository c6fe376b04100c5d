// The scene's arrays written straight into the message text. The scene holds
// a short placeholder string where each array's base64 text belongs; once
// orjson has written the rest of the message, every placeholder is replaced
// by the base64 of its array. Base64 needs no escaping in JSON, so the text
// is what orjson writes for the whole scene, while the large strings never
// exist as Python objects: less time and a third of the memory at the peak.
#pragma once

#include "pyhelpers.hpp"

#include <memory>
#include <string>
#include <vector>

namespace show3d {

using FloatArray = std::shared_ptr<const std::vector<float>>;

class DeferredBuffers {
public:
    // Arrays of fewer floats are cheaper written as text at once.
    static constexpr size_t smallest_deferred = 1024;

    DeferredBuffers();

    // numpy_to_buffer_json's description of a flat float32 array, with a
    // placeholder for its base64 text.
    nb::object describe(FloatArray values);

    // orjson's `json` bytes with every placeholder replaced, decoded as UTF-8.
    // Invalid when the placeholders are not found exactly as made.
    nb::object splice(nb::handle json) const;

    // Puts the base64 texts into the descriptions, where splicing cannot be
    // done.
    void materialize();

    bool empty() const { return arrays_.empty(); }

private:
    struct Found {
        size_t begin, end, array; // the placeholder's text, quotes excluded
    };
    bool find_placeholders(const char *json, size_t size, std::vector<Found> &found) const;

    std::string mark_; // "\u0000" and a random key, as JSON writes the placeholder's start
    std::vector<FloatArray> arrays_;
    std::vector<nb::object> descriptions_;
};

// Whether the module's orjson (the module or a stand-in for it) gives the
// real orjson.dumps, whose output splicing can rely on.
bool orjson_is_real(const Globals &globals);

} // namespace show3d
