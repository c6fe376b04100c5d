#include "buffers.hpp"

#include "core/base64.hpp"
#include "core/huge_pages.hpp"
#include "core/parallel.hpp"
#include "viewer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <random>
#include <string_view>
#include <unordered_map>

#if defined(__linux__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__APPLE__)
#include <sys/random.h>
#endif

namespace show3d {
namespace {

// 128 random bits in hex. One call for the system's entropy: the standard
// random device probes the processor first, tens of microseconds a message
// in a virtual machine.
std::string random_key() {
    unsigned char bytes[16];
#if defined(__linux__) || defined(__APPLE__)
    bool drawn = getentropy(bytes, sizeof bytes) == 0;
#else
    bool drawn = false;
#endif
    if (!drawn) {
        std::random_device source;
        for (unsigned char &byte : bytes) byte = static_cast<unsigned char>(source());
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string key;
    for (unsigned char byte : bytes) {
        key += digits[byte >> 4];
        key += digits[byte & 15];
    }
    return key;
}

size_t base64_bytes(const FloatArray &values) { return base64_size(values.size * sizeof(float)); }

nb::object base64_of(const float *data, size_t count) {
    return base64_text(reinterpret_cast<const unsigned char *>(data), count * sizeof(float));
}

bool is_ascii(const char *text, size_t size) {
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(text[i]);
    return any < 0x80;
}

// One description as orjson writes it, in buffer_description's key order,
// around the base64 text.
constexpr std::string_view before_count = "{\"shape\":[",
                           after_count = "],\"dtype\":\"float32\",\"buffer\":\"",
                           after_text = "\",\"codec\":\"b64\"}";

size_t decimal_digits(size_t value) {
    size_t count = 1;
    while (value >= 10) value /= 10, ++count;
    return count;
}

size_t description_size(const FloatArray &values) {
    return before_count.size() + decimal_digits(values.size) + after_count.size() + base64_bytes(values) +
           after_text.size();
}

char *write_text(std::string_view text, char *out) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

void write_base64(const char *data, size_t bytes, char *out) {
    base64_encode(reinterpret_cast<const unsigned char *>(data), bytes, out);
}

// Base64 of the values [first, first + count) of `source`, made a few at a
// time: whole groups of three bytes, so that the chunks' texts join.
void write_base64(const FloatSource &source, size_t first, size_t count, char *out) {
    constexpr size_t chunk = 128 * FloatSource::group;
    static_assert(chunk * sizeof(float) % 3 == 0);
    float values[chunk];
    for (size_t done = 0; done < count; done += chunk) {
        size_t floats = std::min(chunk, count - done);
        source.fill(first + done, floats, values);
        write_base64(reinterpret_cast<const char *>(values), floats * sizeof(float), out);
        out += base64_size(floats * sizeof(float));
    }
}

// Descriptions of `count` arrays in memory, each after a comma but the first
// (unless `comma`).
void write_descriptions(const FloatArray *arrays, size_t count, bool comma, char *out) {
    for (size_t i = 0; i < count; ++i) {
        if (i > 0 || comma) *out++ = ',';
        out = write_text(before_count, out);
        out = std::to_chars(out, out + 20, arrays[i].size).ptr;
        out = write_text(after_count, out);
        write_base64(reinterpret_cast<const char *>(arrays[i].data), arrays[i].size * sizeof(float), out);
        out = write_text(after_text, out + base64_bytes(arrays[i]));
    }
}

} // namespace

// A text to write as pieces, each at its offset: copies of text and base64
// of arrays in slices of piece_bytes, and runs of whole descriptions of about
// that size (a description is never split). Planning measures the text and
// writes nothing; the pieces are independent, so a large text is written on
// every core, page faults included. An array met again (a cell's placements
// on each of its layers) is encoded once: its other texts are copies of the
// first, written after it.
class TextPlan {
public:
    // `text` must stay alive until write().
    void copy(std::string_view text) {
        for (size_t at = 0; at < text.size(); at += piece_bytes) {
            size_t bytes = std::min(piece_bytes, text.size() - at);
            add({Piece::copied, text.data() + at, bytes, nullptr, false}, bytes, pieces_);
        }
    }
    void base64(const FloatArray &values) {
        const void *identity = values.source ? static_cast<const void *>(values.source) : values.data;
        auto [first, fresh] = texts_.try_emplace({identity, values.size}, size_);
        if (!fresh) return add_repeat(first->second, base64_bytes(values));
        if (values.source) return generated(*values.source, values.size);
        const char *data = reinterpret_cast<const char *>(values.data);
        size_t bytes = values.size * sizeof(float);
        // Whole groups of three bytes, so that the pieces' texts join into the
        // text of the whole.
        for (size_t at = 0; at < bytes; at += piece_bytes) {
            size_t size = std::min(piece_bytes, bytes - at);
            add({Piece::encoded, data + at, size, nullptr, false}, base64_size(size), pieces_);
        }
    }
    // The JSON list of the descriptions of arrays in memory.
    void descriptions(const FloatArray *arrays, size_t count) {
        copy("[");
        for (size_t first = 0, i = 0, size = 0; i < count; ++i) {
            size += (i > 0) + description_size(arrays[i]);
            if (size >= piece_bytes || i + 1 == count) {
                add({Piece::described, nullptr, i + 1 - first, arrays + first, first > 0}, size, pieces_);
                first = i + 1, size = 0;
            }
        }
        copy("]");
    }

    size_t size() const { return size_; }
    // Writes the text into the `size()` bytes at `out`.
    void write(char *out) const {
        write_all(pieces_, out);
        write_all(repeats_, out);
    }

private:
    static constexpr size_t piece_bytes = 3 << 16;
    // A text of less does not pay for starting a thread.
    static constexpr size_t batch_bytes = 1 << 19;

    struct Piece {
        enum Kind : char { copied, repeated, encoded, generated, described } kind;
        const char *data;         // copied, encoded
        size_t count;             // bytes of data (repeated: of the text), values, or descriptions
        const FloatArray *arrays; // described
        bool comma;
        size_t offset = 0; // where it writes
        size_t text = 0;   // the size of what it writes
        size_t from = 0;   // repeated: where the text it copies begins; generated: the first value
        const FloatSource *source = nullptr; // generated
    };
    struct ArrayKey {
        const void *data;
        size_t size;
        bool operator==(const ArrayKey &other) const { return data == other.data && size == other.size; }
    };
    struct KeyHash {
        size_t operator()(const ArrayKey &key) const {
            return std::hash<const void *>()(key.data) ^ (key.size * 0x9e3779b97f4a7c15ULL);
        }
    };

    // The `count` values of `source`, in slices as for arrays in memory.
    void generated(const FloatSource &source, size_t count) {
        constexpr size_t piece_values = piece_bytes / sizeof(float);
        static_assert(piece_values % FloatSource::group == 0);
        for (size_t at = 0; at < count; at += piece_values) {
            Piece piece{Piece::generated, nullptr, std::min(piece_values, count - at), nullptr, false};
            piece.from = at;
            piece.source = &source;
            add(piece, base64_size(piece.count * sizeof(float)), pieces_);
        }
    }
    // The `bytes` of text written at `from` once more, in slices.
    void add_repeat(size_t from, size_t bytes) {
        for (size_t at = 0; at < bytes; at += piece_bytes) {
            Piece piece{Piece::repeated, nullptr, std::min(piece_bytes, bytes - at), nullptr, false};
            piece.from = from + at;
            add(piece, piece.count, repeats_);
        }
    }
    void add(Piece piece, size_t text_size, std::vector<Piece> &to) {
        piece.offset = size_;
        piece.text = text_size;
        size_ += text_size;
        to.push_back(piece);
    }
    static void write_piece(const Piece &piece, char *out) noexcept {
        char *at = out + piece.offset;
        switch (piece.kind) {
        case Piece::copied: std::memcpy(at, piece.data, piece.count); break;
        case Piece::repeated: std::memcpy(at, out + piece.from, piece.count); break;
        case Piece::encoded: write_base64(piece.data, piece.count, at); break;
        case Piece::generated: write_base64(*piece.source, piece.from, piece.count, at); break;
        case Piece::described: write_descriptions(piece.arrays, piece.count, piece.comma, at); break;
        }
    }
    static void write_all(const std::vector<Piece> &pieces, char *out);

    size_t size_ = 0;
    std::vector<Piece> pieces_, repeats_;
    std::unordered_map<ArrayKey, size_t, KeyHash> texts_; // where each array's text begins
};

// Batches of pieces of about batch_bytes of text each, on every core.
void TextPlan::write_all(const std::vector<Piece> &pieces, char *out) {
    run_batches(
        pieces.size(), batch_bytes, [&](size_t i) { return pieces[i].text; },
        [&](size_t i) noexcept { write_piece(pieces[i], out); });
}

nb::object float32_description(const float *data, size_t count) {
    return buffer_description(nb::make_tuple(nb::int_(count)), nb::str("float32"),
                              base64_of(data, count));
}

DeferredBuffers::DeferredBuffers(bool every_array)
    : every_array_(every_array), key_(random_key()), mark_("\\u0000" + key_) {}

// "\0", the key, "t" (a base64 text) or "l" (a list), and the entry's number.
nb::object DeferredBuffers::placeholder(bool is_list) const {
    std::string text = std::string(1, '\0') + key_ + (is_list ? "l" : "t") +
                       std::to_string(entries_.size());
    return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

nb::object DeferredBuffers::describe(FloatArray values) {
    nb::object description = buffer_description(nb::make_tuple(nb::int_(values.size)),
                                                nb::str("float32"), placeholder(false));
    entries_.push_back({false, arrays_.size(), 1, description, nb::str("buffer")});
    arrays_.push_back(std::move(values));
    return description;
}

void DeferredBuffers::describe_list(std::vector<FloatArray> arrays, nb::handle owner,
                                    const char *key) {
    nb::object name = nb::str(key);
    check_status(PyObject_SetItem(owner.ptr(), name.ptr(), placeholder(true).ptr()));
    entries_.push_back({true, arrays_.size(), arrays.size(), nb::borrow(owner), name});
    for (FloatArray &values : arrays) arrays_.push_back(std::move(values));
}

// Every placeholder once, in order: the mark, the kind, the entry's number
// up to the closing quote. A list replaces its quotes too.
bool DeferredBuffers::find_placeholders(const char *json, size_t size,
                                        std::vector<Found> &found) const {
    std::vector<bool> seen(entries_.size());
    const char *at = json, *end = json + size;
    while (const char *hit = static_cast<const char *>(
               memmem(at, size_t(end - at), mark_.data(), mark_.size()))) {
        const char *digit = hit + mark_.size();
        if (digit == end || (*digit != 't' && *digit != 'l')) return false;
        bool is_list = *digit++ == 'l';
        size_t entry = 0, digits = 0;
        while (digit < end && *digit >= '0' && *digit <= '9' && digits < 19) {
            entry = 10 * entry + size_t(*digit++ - '0');
            ++digits;
        }
        if (digits == 0 || digit == end || *digit != '"' || hit == json || hit[-1] != '"' ||
            entry >= entries_.size() || seen[entry] || entries_[entry].is_list != is_list)
            return false;
        seen[entry] = true;
        size_t begin = size_t(hit - json), stop = size_t(digit - json);
        if (is_list) --begin, ++stop;
        found.push_back({begin, stop, entry});
        at = digit;
    }
    return found.size() == entries_.size();
}

void DeferredBuffers::plan_json(const Entry &entry, TextPlan &plan) const {
    if (entry.is_list) plan.descriptions(arrays_.data() + entry.first, entry.count);
    else plan.base64(arrays_[entry.first]);
}

nb::object DeferredBuffers::splice(nb::handle json) const {
    if (!PyBytes_Check(json.ptr())) return {};
    const char *text = PyBytes_AS_STRING(json.ptr());
    size_t size = size_t(PyBytes_GET_SIZE(json.ptr()));
    std::vector<Found> found;
    found.reserve(entries_.size());
    if (!find_placeholders(text, size, found)) return {};
    TextPlan plan;
    size_t copied = 0;
    for (const Found &item : found) {
        plan.copy({text + copied, item.begin - copied});
        plan_json(entries_[item.entry], plan);
        copied = item.end;
    }
    plan.copy({text + copied, size - copied});

    size_t total = plan.size();
    bool ascii = is_ascii(text, size);
    nb::object out = ascii ? check(PyUnicode_New(Py_ssize_t(total), 127))
                           : check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    char *write = ascii ? static_cast<char *>(PyUnicode_DATA(out.ptr())) : PyBytes_AS_STRING(out.ptr());
    prefer_huge_pages(write, total);
    plan.write(write);
    if (ascii) return out;
    return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.ptr()), Py_ssize_t(total), nullptr));
}

namespace {

// A 64-bit digest of `size` bytes, to find arrays of equal content.
uint64_t content_hash(const unsigned char *data, size_t size) {
    uint64_t hash = 0x9e3779b97f4a7c15ULL ^ size;
    size_t i = 0;
    for (uint64_t word; i + 8 <= size; i += 8) {
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * 0xff51afd7ed558ccdULL;
        hash ^= hash >> 29;
    }
    for (; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ULL;
    return hash;
}

void append_number(std::string &out, size_t value) {
    char digits[24];
    out.append(digits, size_t(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
}

size_t utf8_continuation_bytes(const char *text, size_t size) {
    size_t count = 0;
    for (size_t i = 0; i < size; ++i) count += (static_cast<unsigned char>(text[i]) & 0xc0) == 0x80;
    return count;
}

} // namespace

// Numbers every array of the found entries, in text order, by its distinct
// content: `number` holds one per array met, `raw` the distinct contents and
// `table` their offsets and lengths. An array met again by identity is not
// read again.
void DeferredBuffers::pack_arrays(const std::vector<Found> &found, std::vector<size_t> &number,
                                  std::string &raw, std::vector<std::pair<size_t, size_t>> &table) const {
    std::unordered_map<const void *, std::vector<std::pair<size_t, size_t>>> by_identity; // size, number
    std::unordered_multimap<uint64_t, size_t> by_content;
    std::vector<float> scratch;
    auto distinct = [&](const FloatArray &values) {
        const void *identity = values.source ? static_cast<const void *>(values.source) : values.data;
        auto &known = by_identity[identity];
        for (auto [size, seen] : known)
            if (size == values.size) return seen;
        const auto *bytes = reinterpret_cast<const unsigned char *>(values.values(scratch));
        size_t size = values.size * sizeof(float);
        uint64_t hash = content_hash(bytes, size);
        auto [first, last] = by_content.equal_range(hash);
        for (; first != last; ++first) {
            auto [offset, length] = table[first->second];
            if (length == size && (size == 0 || std::memcmp(raw.data() + offset, bytes, size) == 0)) break;
        }
        size_t result = first != last ? first->second : table.size();
        if (first == last) {
            table.emplace_back(raw.size(), size);
            raw.append(reinterpret_cast<const char *>(bytes), size);
            by_content.emplace(hash, result);
        }
        known.emplace_back(values.size, result);
        return result;
    };
    for (const Found &item : found) {
        const Entry &entry = entries_[item.entry];
        for (size_t i = entry.first; i < entry.first + entry.count; ++i) number.push_back(distinct(arrays_[i]));
    }
}

std::optional<PackedMessage> DeferredBuffers::pack(nb::handle json) const {
    if (!PyBytes_Check(json.ptr())) return std::nullopt;
    const char *text = PyBytes_AS_STRING(json.ptr());
    size_t size = size_t(PyBytes_GET_SIZE(json.ptr()));
    std::vector<Found> found;
    found.reserve(entries_.size());
    if (!find_placeholders(text, size, found) || size == 0 || text[size - 1] != '}') return std::nullopt;

    std::vector<size_t> number;
    std::string raw;
    std::vector<std::pair<size_t, size_t>> table;
    pack_arrays(found, number, raw, table);

    PackedMessage packed;
    TextPlan plan; // measured only: the length of the message splice() writes
    std::string out;
    size_t copied = 0, planned = 0, next = 0;
    for (const Found &item : found) {
        const Entry &entry = entries_[item.entry];
        size_t begin = item.begin - !entry.is_list, end = item.end + !entry.is_list; // with its quotes
        out.append(text + copied, begin - copied);
        plan.copy({text + planned, item.begin - planned});
        plan_json(entry, plan);
        copied = end, planned = item.end;
        if (!entry.is_list) {
            append_number(out, number[next++]);
            continue;
        }
        bool instances = PyUnicode_CompareWithASCIIString(entry.key.ptr(), "instances") == 0;
        out += '[';
        for (size_t i = 0; i < entry.count; ++i) {
            const FloatArray &values = arrays_[entry.first + i];
            if (i > 0) out += ',';
            out += before_count;
            append_number(out, values.size);
            out += "],\"dtype\":\"float32\",\"buffer\":";
            append_number(out, number[next++]);
            out += ",\"codec\":\"b64\"}";
            if (instances) {
                ++packed.polygons;
                packed.points += values.size / 2;
            }
        }
        out += ']';
    }
    plan.copy({text + planned, size - planned});
    out.append(text + copied, size - 1 - copied);
    out += ",\"table\":[";
    for (size_t i = 0; i < table.size(); ++i) {
        out += i > 0 ? ",[" : "[";
        append_number(out, table[i].first);
        out += ',';
        append_number(out, table[i].second);
        out += ']';
    }
    out += "]}";
    packed.message_chars = plan.size() - utf8_continuation_bytes(text, size);
    packed.text = check(PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), nullptr));
    packed.arrays = check(PyBytes_FromStringAndSize(raw.data(), Py_ssize_t(raw.size())));
    return packed;
}

void DeferredBuffers::materialize() {
    std::vector<float> scratch;
    for (const Entry &entry : entries_) {
        nb::object value;
        if (entry.is_list) {
            value = check(PyList_New(0));
            for (size_t i = entry.first; i < entry.first + entry.count; ++i)
                check_status(PyList_Append(
                    value.ptr(), float32_description(arrays_[i].values(scratch), arrays_[i].size).ptr()));
        } else {
            const FloatArray &values = arrays_[entry.first];
            value = base64_of(values.values(scratch), values.size);
        }
        check_status(PyObject_SetItem(entry.owner.ptr(), entry.key.ptr(), value.ptr()));
    }
}

bool orjson_is_real(const Globals &globals) {
    nb::object real = check(PyImport_ImportModule("orjson"));
    nb::object dumps = optional_attr(real, S3D_NAME("dumps"));
    return PyCFunction_Check(dumps.ptr()) &&
           optional_attr(globals[S3D_NAME("orjson")], S3D_NAME("dumps")).is(dumps);
}

} // namespace show3d
