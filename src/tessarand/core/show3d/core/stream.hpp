// An index of the shapes in a layout's binary stream form, as KLayout writes
// it: per cell name and layer number, the elements in the order written,
// and the outline points of each boundary. No Python here.
#pragma once

#include "budget.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <unordered_set>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace show3d {

enum class StreamKind : uint8_t { boundary, path, text, other };

struct StreamElement {
    StreamKind kind;
    uint32_t first = 0; // the first point, counted in x, y pairs
    uint32_t count = 0; // points written, the closing point included
};

// Where one layer's elements of a cell lie among all elements. KLayout
// writes a cell layer by layer, so they come in one run.
struct ElementRun {
    uint32_t first = 0, count = 0;
    bool broken = false; // written in more than one run
};

// One cell's elements by layer number.
using StreamCell = std::unordered_map<uint16_t, ElementRun>;

// A placement of a cell, or a regular array of them: mirrored at the x axis
// (first), turned by `quarter_turns`, and moved to the first point; an
// array's other two points are the first moved by `columns` steps of one
// vector and by `rows` steps of the other.
struct StreamInstance {
    uint32_t child = 0; // the placed cell, a number of StreamIndex::placed_name
    bool mirror = false, array = false;
    bool simple = true; // no magnification, a right angle, nothing absolute
    int quarter_turns = 0;
    int32_t columns = 1, rows = 1;
    int32_t xy[6] = {};
    uint8_t points = 0;
};

class StreamIndex {
public:
    // False for a form the reader does not know, or one that is cut short.
    bool parse(const unsigned char *data, size_t size) {
        start_over(size);
        Reader reader{data, size};
        StreamCell *cell = nullptr;
        ElementRun *cell_instances = nullptr;
        Element element;
        Placing placing;
        while (reader.next()) {
            switch (reader.type) {
            case end_library: return true;
            case cell_name: {
                std::string_view name = reader.text();
                auto [slot, fresh] = cells_.try_emplace(std::string(name));
                if (!fresh) slot->second.ambiguous = true; // a name written twice stands for neither
                cell = &slot->second.by_layer;
                cell_instances = &slot->second.instances;
                break;
            }
            case end_cell: cell = nullptr, cell_instances = nullptr; break;
            case boundary: element.begin(StreamKind::boundary, points_.size()); break;
            case path: element.begin(StreamKind::path, points_.size()); break;
            case text: element.begin(StreamKind::text, points_.size()); break;
            case node:
            case box: element.begin(StreamKind::other, points_.size()); break;
            case sref:
            case aref:
            case sname:
            case strans:
            case mag:
            case angle:
            case colrow:
                if (!read_placement(reader, placing, cell_instances)) return false;
                break;
            case layer:
                if (reader.length != 2) return false;
                element.layer = reader.u16(0);
                element.has_layer = true;
                break;
            case xy:
                if (!read_placement(reader, placing, cell_instances)) return false;
                if (element.open && element.kind == StreamKind::boundary && !read_points(reader)) return false;
                break;
            case end_element:
                if (!read_placement(reader, placing, cell_instances)) return false;
                if (!element.open) break;
                if (!cell || !element.has_layer || points_.size() / 2 > UINT32_MAX || elements_.size() >= UINT32_MAX)
                    return false;
                add_to_run((*cell)[element.layer], elements_.size());
                elements_.push_back(
                    {element.kind, uint32_t(element.first), uint32_t(points_.size() / 2 - element.first)});
                element = {};
                break;
            default: break;
            }
        }
        return false; // no end of the library
    }

    // The elements of the cell of this name; null where no cell or more than
    // one has it.
    const StreamCell *find(std::string_view name) const {
        auto found = cells_.find(std::string(name));
        if (found == cells_.end() || found->second.ambiguous) return nullptr;
        return &found->second.by_layer;
    }

    // The elements of one layer of a cell, none where nothing was written on
    // it; false where they were not written in one run.
    bool elements_of(const StreamCell &cell, uint16_t layer, std::span<const StreamElement> &elements) const {
        auto found = cell.find(layer);
        elements = {};
        if (found == cell.end()) return true;
        if (found->second.broken) return false;
        elements = {elements_.data() + found->second.first, found->second.count};
        return true;
    }

    // The placements of the cell of this name, in the order written; false
    // where no cell or more than one has it, or they were not written in one
    // run.
    bool instances_of(std::string_view name, std::span<const StreamInstance> &instances) const {
        auto found = cells_.find(std::string(name));
        instances = {};
        if (found == cells_.end() || found->second.ambiguous || found->second.instances.broken) return false;
        const ElementRun &run = found->second.instances;
        if (run.count) instances = {instances_.data() + run.first, run.count};
        return true;
    }

    // The names of the cells written, in no particular order.
    std::vector<std::string_view> cell_names() const {
        std::vector<std::string_view> names;
        names.reserve(cells_.size());
        for (const auto &[name, cell] : cells_) names.push_back(name);
        return names;
    }

    // The name of a placed cell's number.
    const std::string &placed_name(uint32_t number) const { return names_[number]; }

    // The points written of a boundary, as x, y pairs.
    const int32_t *points_of(const StreamElement &element) const {
        return points_.data() + 2 * size_t(element.first);
    }

    // Whether the cells written are exactly those of these names: then the
    // writer renamed none (it renames a name the form cannot hold, and a
    // name taken by such a renaming).
    bool written_names_are(std::vector<std::string> names) const {
        std::sort(names.begin(), names.end());
        if (names.size() != cells_.size() || std::adjacent_find(names.begin(), names.end()) != names.end())
            return false;
        return std::all_of(cells_.begin(), cells_.end(), [&](const auto &cell) {
            return std::binary_search(names.begin(), names.end(), cell.first);
        });
    }

private:
    enum RecordType : uint8_t {
        end_library = 0x04, cell_name = 0x06, end_cell = 0x07, boundary = 0x08, path = 0x09,
        sref = 0x0A, aref = 0x0B, text = 0x0C, layer = 0x0D, xy = 0x10, end_element = 0x11, sname = 0x12,
        colrow = 0x13, node = 0x15, strans = 0x1A, mag = 0x1B, angle = 0x1C, box = 0x2D,
    };

    // Records: a big-endian 16-bit length (header included), a type byte
    // and a data type byte.
    struct Reader {
        const unsigned char *data;
        size_t size, at = 0;
        uint8_t type = 0;
        const unsigned char *body = nullptr;
        size_t length = 0;

        bool next() {
            if (size - at < 4) return false;
            size_t total = size_t(data[at]) << 8 | data[at + 1];
            if (total < 4 || total % 2 || total > size - at) return false;
            type = data[at + 2];
            body = data + at + 4;
            length = total - 4;
            at += total;
            return true;
        }
        uint16_t u16(size_t offset) const { return uint16_t(body[offset] << 8 | body[offset + 1]); }
        int32_t i32(size_t offset) const {
            return int32_t(uint32_t(body[offset]) << 24 | uint32_t(body[offset + 1]) << 16 |
                           uint32_t(body[offset + 2]) << 8 | uint32_t(body[offset + 3]));
        }
        // An 8-byte real: sign, a base-16 exponent above 64, a 56-bit fraction.
        double real(size_t offset) const {
            uint64_t fraction = 0;
            for (size_t i = 1; i < 8; ++i) fraction = fraction << 8 | body[offset + i];
            double value = std::ldexp(double(fraction), 4 * (int(body[offset] & 0x7f) - 64) - 56);
            return body[offset] & 0x80 ? -value : value;
        }
        std::string_view text() const { // padded with zero bytes to an even length
            std::string_view view(reinterpret_cast<const char *>(body), length);
            while (!view.empty() && view.back() == '\0') view.remove_suffix(1);
            return view;
        }
    };

    struct Element {
        StreamKind kind = StreamKind::other;
        size_t first = 0;
        uint16_t layer = 0;
        bool has_layer = false, open = false;
        void begin(StreamKind k, size_t points_so_far) {
            *this = {};
            kind = k;
            first = points_so_far / 2;
            open = true;
        }
    };

    // Empty tables, with room for a form of `size` bytes: a point takes 8
    // bytes written, an element of KLayout's at least 20.
    void start_over(size_t size) {
        cells_.clear();
        elements_.clear();
        instances_.clear();
        names_.clear();
        name_numbers_.clear();
        last_number_ = 0;
        points_.clear();
        points_.reserve(size / 4);
        elements_.reserve(size / 20);
    }

    struct Placing {
        StreamInstance instance;
        bool open = false;
    };

    // One record as it bears on a placement: its start, the placed cell's
    // name, its transformation and array size, its points, its end (added to
    // the cell's placements). False for a malformed one.
    bool read_placement(const Reader &reader, Placing &placing, ElementRun *cell_instances) {
        if (reader.type == sref || reader.type == aref) {
            placing.instance = {};
            placing.instance.array = reader.type == aref;
            placing.open = true;
            return true;
        }
        if (!placing.open) return true;
        switch (reader.type) {
        case sname: placing.instance.child = name_number(reader.text()); return true;
        case xy: return read_placed_points(reader, placing.instance);
        case end_element:
            if (!cell_instances || instances_.size() >= UINT32_MAX) return false;
            add_to_run(*cell_instances, instances_.size());
            instances_.push_back(placing.instance);
            placing.open = false;
            return true;
        default: return read_placing(reader, placing.instance); // strans, mag, angle, colrow
        }
    }

    // The item about to be added as number `next` joins its run.
    static void add_to_run(ElementRun &run, size_t next) {
        if (run.count == 0) run.first = uint32_t(next);
        else if (run.first + run.count != next) run.broken = true;
        ++run.count;
    }

    // Placements of one cell tend to come in runs: the last name is
    // compared first, and a known one found without a copy.
    uint32_t name_number(std::string_view name) {
        if (!names_.empty() && names_[last_number_] == name) return last_number_;
        auto found = name_numbers_.find(name);
        if (found == name_numbers_.end()) {
            found = name_numbers_.emplace(std::string(name), uint32_t(names_.size())).first;
            names_.push_back(found->first);
        }
        return last_number_ = found->second;
    }

    // A placement's transformation and array size. Anything but a plain
    // mirror and a right angle (a magnification, another angle, absolute
    // ones) leaves it not simple.
    static bool read_placing(const Reader &reader, StreamInstance &instance) {
        switch (reader.type) {
        case strans:
            if (reader.length != 2) return false;
            instance.mirror = reader.body[0] & 0x80;
            if (reader.body[1] & 0x06) instance.simple = false;
            return true;
        case mag:
            if (reader.length != 8) return false;
            if (reader.real(0) != 1.0) instance.simple = false;
            return true;
        case angle: {
            if (reader.length != 8) return false;
            double degrees = reader.real(0);
            int turns = int(degrees / 90.0);
            if (turns < 0 || turns > 3 || turns * 90.0 != degrees) instance.simple = false;
            else instance.quarter_turns = turns;
            return true;
        }
        default: // colrow
            if (reader.length != 4) return false;
            instance.columns = int16_t(reader.u16(0));
            instance.rows = int16_t(reader.u16(2));
            return true;
        }
    }

    static bool read_placed_points(const Reader &reader, StreamInstance &instance) {
        size_t points = reader.length / 8;
        if (reader.length % 8 || points != (instance.array ? 3u : 1u)) return false;
        for (size_t i = 0; i < 2 * points; ++i) instance.xy[i] = reader.i32(4 * i);
        instance.points = uint8_t(points);
        return true;
    }

    // A long outline comes in several point records, one after the other.
    bool read_points(const Reader &reader) {
        if (reader.length % 8) return false;
        for (size_t offset = 0; offset < reader.length; offset += 4) points_.push_back(reader.i32(offset));
        return true;
    }

    struct NamedCell {
        StreamCell by_layer;
        ElementRun instances;
        bool ambiguous = false;
    };
    std::unordered_map<std::string, NamedCell> cells_;
    std::vector<StreamElement> elements_; // in the order written
    std::vector<StreamInstance> instances_; // in the order written
    std::vector<std::string> names_;        // of placed cells, by number
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> name_numbers_;
    uint32_t last_number_ = 0;
    std::vector<int32_t> points_;
};

// Whether a closed outline is as KLayout keeps a polygon's hull: starting at
// its lowest point (the leftmost of the lowest), clockwise, and with no point
// in line with its neighbours (KLayout's polygon of a shape drops such a
// point, where the shape keeps it).
inline bool normalized_hull(const int32_t *points, size_t hull) {
    __int128 twice_area = 0;
    for (size_t i = 0; i < hull; ++i) {
        int64_t x = points[2 * i], y = points[2 * i + 1];
        if (y < points[1] || (y == points[1] && x < points[0])) return false;
        twice_area += __int128(x) * points[2 * i + 3] - __int128(points[2 * i + 2]) * y;
        size_t before = (i + hull - 1) % hull, after = (i + 1) % hull;
        __int128 turn = __int128(x - points[2 * before]) * (points[2 * after + 1] - y) -
                        __int128(y - points[2 * before + 1]) * (points[2 * after] - x);
        if (turn == 0) return false;
    }
    return twice_area < 0;
}

// The hull of a written boundary as KLayout gives the shape's polygon: the
// points without the closing one. False where the written outline may not
// be that hull: a polygon with holes is written as one outline cut through
// to each hole (its cut points appear twice), a box without area too, a box
// reaching beyond 2^30 is ordered otherwise, and so is an empty box. Outlines
// KLayout keeps as given (raw polygons) may be refused too.
inline bool is_stream_hull(const int32_t *points, size_t count, std::vector<uint64_t> &scratch) {
    constexpr int32_t reach = 1 << 30;
    if (count < 2 || points[0] != points[2 * count - 2] || points[1] != points[2 * count - 1]) return false;
    size_t hull = count - 1;
    scratch.clear();
    for (size_t i = 0; i < hull; ++i) {
        int32_t x = points[2 * i], y = points[2 * i + 1];
        if (x > reach || x < -reach || y > reach || y < -reach) return false;
        scratch.push_back(uint64_t(uint32_t(x)) << 32 | uint32_t(y));
    }
    if (!normalized_hull(points, hull)) return false;
    std::sort(scratch.begin(), scratch.end());
    return std::adjacent_find(scratch.begin(), scratch.end()) == scratch.end();
}

// The hull of a boundary is_stream_hull accepted, appended to `xy`.
inline void append_stream_hull(const int32_t *points, size_t count, std::vector<double> &xy) {
    for (size_t i = 0; i + 1 < count; ++i) {
        xy.push_back(double(points[2 * i]));
        xy.push_back(double(points[2 * i + 1]));
    }
}

inline bool stream_hull(const int32_t *points, size_t count, std::vector<double> &xy,
                        std::vector<uint64_t> &scratch) {
    if (!is_stream_hull(points, count, scratch)) return false;
    append_stream_hull(points, count, xy);
    return true;
}

// How often the cells written are placed below the top cells (those no
// other cell places), an array counting its members, saturating at the
// largest number; nothing where a placed cell is missing or written twice,
// or the cells place each other in a cycle. Children are counted before
// their parents without recursion: a hierarchy may be deeper than the stack.
inline std::optional<uint64_t> flattened_placements(const StreamIndex &index) {
    std::unordered_map<std::string_view, uint64_t> below;
    std::unordered_set<std::string_view> placed, open;
    struct Visit {
        std::string_view name;
        std::span<const StreamInstance> instances;
        size_t next = 0;
        uint64_t count = 0;
    };
    std::vector<std::string_view> names = index.cell_names();
    for (std::string_view start : names) {
        if (below.count(start)) continue;
        std::vector<Visit> path;
        auto enter = [&](std::string_view name) {
            Visit visit{name};
            if (!index.instances_of(name, visit.instances) || !open.insert(name).second) return false;
            path.push_back(visit);
            return true;
        };
        if (!enter(start)) return std::nullopt;
        while (!path.empty()) {
            Visit &visit = path.back();
            if (visit.next == visit.instances.size()) {
                below[visit.name] = visit.count;
                open.erase(visit.name);
                path.pop_back();
                continue;
            }
            const StreamInstance &instance = visit.instances[visit.next];
            std::string_view child = index.placed_name(instance.child);
            placed.insert(child);
            auto known = below.find(child);
            if (known == below.end()) {
                if (!enter(child)) return std::nullopt;
                continue;
            }
            if (instance.columns < 1 || instance.rows < 1) return std::nullopt;
            uint64_t members = instance.array ? uint64_t(instance.columns) * uint64_t(instance.rows) : 1;
            visit.count = add_instance(visit.count, members, known->second);
            ++visit.next;
        }
    }
    uint64_t flattened = 0;
    for (std::string_view name : names)
        if (!placed.count(name)) flattened = saturating_add(flattened, below[name]);
    return flattened;
}

} // namespace show3d
