// The scene's arrays written straight into the message text. The scene holds
// a short placeholder string where an array's base64 text belongs, or where a
// whole list of array descriptions belongs; once orjson has written the rest
// of the message, every placeholder is replaced by what orjson would have
// written in its place (base64 needs no escaping in JSON). The large strings
// and the many small description dictionaries never exist as Python objects:
// less time, and a third of the memory at the peak.
#pragma once

#include "core/huge_pages.hpp"
#include "pyhelpers.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace show3d {

// float32 values made on demand, on any thread: values too many to be worth
// keeping in memory until they are written (the placement matrices).
class FloatSource {
public:
    // Values are made in whole groups of this many.
    static constexpr size_t group = 6;
    virtual ~FloatSource() = default;
    // Writes the values [first, first + count), both multiples of `group`.
    virtual void fill(size_t first, size_t count, float *out) const noexcept = 0;
};

// float32 values that `owner` keeps alive: a buffer of their own, part of a
// larger block (the polygon table's outlines), or made by `source` when they
// are written (`data` is then null).
struct FloatArray {
    std::shared_ptr<const void> owner;
    const float *data = nullptr;
    size_t size = 0;
    const FloatSource *source = nullptr;

    static FloatArray made_by(std::shared_ptr<const FloatSource> source, size_t size) {
        const FloatSource *raw = source.get();
        return {std::move(source), nullptr, size, raw};
    }
    // The values in memory, made now if they come from a source.
    const float *values(std::vector<float> &scratch) const {
        if (!source) return data;
        scratch.resize(size);
        source->fill(0, size, scratch.data());
        return scratch.data();
    }

    // `size` values not yet written, for `fill` to write.
    template <typename Fill> static FloatArray filled(size_t size, Fill &&fill) {
        std::shared_ptr<float[]> held(new float[size]);
        prefer_huge_pages(held.get(), size * sizeof(float));
        fill(held.get());
        return {held, held.get(), size};
    }
    explicit operator bool() const { return owner != nullptr; }
};

// numpy_to_buffer_json's description of `count` float32 values: shape,
// dtype, base64 text, codec.
nb::object float32_description(const float *data, size_t count);

class TextPlan;

// A message as the page carries it: its JSON with each buffer's text
// replaced by a number in "table" (offset and length in bytes of the
// distinct arrays, added as the last key), and the distinct arrays one after
// the other, each once (equal contents are one array), in the order first
// met.
struct PackedMessage {
    nb::object text;          // str
    nb::object arrays;        // bytes
    size_t message_chars = 0; // characters of the message splice() gives
    size_t polygons = 0;      // of the deferred "instances" list
    size_t points = 0;        // outline points of those polygons
};

class DeferredBuffers {
public:
    // Arrays of fewer floats are cheaper written as text at once, unless a
    // whole list of them is deferred.
    static constexpr size_t smallest_deferred = 1024;

    // With `every_array`, arrays of any size are deferred (the page packs
    // them all).
    explicit DeferredBuffers(bool every_array = false);

    // Whether describe() defers an array of `size` floats.
    bool defers(size_t size) const { return every_array_ || size >= smallest_deferred; }

    // numpy_to_buffer_json's description of a flat float32 array, with a
    // placeholder for its base64 text.
    nb::object describe(FloatArray values);

    // Sets owner[key] to a placeholder for the list of the descriptions of
    // `arrays`, which are in memory.
    void describe_list(std::vector<FloatArray> arrays, nb::handle owner, const char *key);

    // orjson's `json` bytes with every placeholder replaced, decoded as UTF-8.
    // Invalid when the placeholders are not found exactly as made.
    nb::object splice(nb::handle json) const;

    // The page's form of orjson's `json` bytes (see PackedMessage). Invalid
    // when the placeholders are not found exactly as made.
    std::optional<PackedMessage> pack(nb::handle json) const;

    // Puts the real texts and lists into the scene, where splicing cannot be
    // done.
    void materialize();

    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        bool is_list;        // a whole list of descriptions, else one base64 text
        size_t first, count; // its arrays in arrays_
        nb::object owner;    // the dictionary holding it, and its key there
        nb::object key;
    };
    struct Found {
        size_t begin, end, entry; // the text replaced
    };
    bool find_placeholders(const char *json, size_t size, std::vector<Found> &found) const;
    nb::object placeholder(bool is_list) const;
    void plan_json(const Entry &entry, TextPlan &plan) const;

    void pack_arrays(const std::vector<Found> &found, std::vector<size_t> &number, std::string &raw,
                     std::vector<std::pair<size_t, size_t>> &table) const;

    bool every_array_;
    std::string key_;  // random, so that the scene's own text cannot meet it
    std::string mark_; // how JSON writes a placeholder's start: "\u0000" and the key
    std::vector<FloatArray> arrays_;
    std::vector<Entry> entries_;
};

// Whether the module's orjson (the module or a stand-in for it) gives the
// real orjson.dumps, whose output splicing can rely on.
bool orjson_is_real(const Globals &globals);

} // namespace show3d
