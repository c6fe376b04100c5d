// The walk of the direct road and of ParseGDS's export: every cell below the
// top cells read once, in the step-by-step walk's order, into plain tables.
// The polygon table holds the outlines by polygon number (float32 for the
// direct road); the cell table holds per cell its polygon numbers by layer,
// the placements of its instances as numbers, and how many placements lie
// below it when flattened, counted as the walk goes.
#pragma once

#include "buffers.hpp"
#include "klayout_classes.hpp"
#include "limits.hpp"
#include "polygons.hpp"
#include "viewer.hpp"
#include "core/huge_pages.hpp"
#include "core/placement.hpp"
#include "core/stream.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace show3d::direct {

// Thrown inside the road to leave it for the step-by-step road.
struct StepAside {};

inline bool is_exact_int(nb::handle value) { return PyLong_CheckExact(value.ptr()); }

// Whether `value` is an int (exactly) that equals `count`, without raising
// for one beyond a long.
inline bool is_count(nb::handle value, long count) { return exact_long(value) == count; }

// ---- the polygon table -----------------------------------------------------------

// Where the walk's outlines go, by polygon number: simplified ones as any
// sink takes them, unsimplified ones in database units.
class OutlineTable : public OutlineSink {
public:
    virtual void store_database_units(Py_ssize_t index, const double *xy, size_t points) = 0;
};

// float32 outlines by polygon number, x0, y0, x1, y1, ..., one after the
// other in large blocks, which the message's buffer descriptions share.
class PolygonTable : public OutlineTable {
public:
    bool stores_without_interpreter() const override { return true; }

    void store(Py_ssize_t index, const double *xy, size_t points) override {
        float *out = slot(index, 2 * points);
        for (size_t i = 0; i < 2 * points; ++i) out[i] = float(xy[i]);
    }

    // Outlines as the one-by-one simplification returns them: (x, y) float
    // pairs, or the road steps aside.
    void store_list(Py_ssize_t index, nb::handle outline) override {
        if (!PyList_CheckExact(outline.ptr())) throw StepAside();
        float *out = slot(index, 2 * size_t(PyList_GET_SIZE(outline.ptr())));
        if (!read_float_pairs(outline, out)) throw StepAside();
    }

    void store_database_units(Py_ssize_t index, const double *xy, size_t points) override {
        float *out = slot(index, 2 * points);
        for (size_t i = 0; i < 2 * points; ++i) out[i] = float(xy[i] / 1000.0);
    }

    size_t size() const { return outlines_.size(); }
    FloatArray outline(size_t index) const {
        return {blocks_, outlines_[index].data, outlines_[index].size};
    }

private:
    struct Outline {
        const float *data = nullptr;
        size_t size = 0;
    };
    using Blocks = std::vector<std::unique_ptr<float[]>>;
    // Each block twice the one before, up to the largest size.
    static constexpr size_t first_block_floats = size_t(1) << 16, largest_block_floats = size_t(1) << 22;

    // Room for `count` floats of outline `index`; a block never moves.
    float *slot(Py_ssize_t index, size_t count) {
        if (size_t(index) >= outlines_.size()) outlines_.resize(size_t(index) + 1);
        if (count > room_) {
            block_floats_ =
                blocks_->empty() ? first_block_floats : std::min(2 * block_floats_, largest_block_floats);
            size_t floats = std::max(block_floats_, count);
            blocks_->push_back(std::make_unique_for_overwrite<float[]>(floats));
            next_ = blocks_->back().get();
            prefer_huge_pages(next_, floats * sizeof(float));
            room_ = floats;
        }
        float *out = next_;
        next_ += count;
        room_ -= count;
        outlines_[size_t(index)] = {out, count};
        return out;
    }

    std::shared_ptr<Blocks> blocks_ = std::make_shared<Blocks>();
    float *next_ = nullptr;
    size_t room_ = 0, block_floats_ = 0;
    std::vector<Outline> outlines_;
};

// ---- the cell table ------------------------------------------------------------------

// A placement: a simple transformation as numbers, or a complex one kept as
// KLayout's object (a number in the pool of complex transformations).
// Sixteen bytes, as there are millions: x, and y times 16 plus the kind
// (the orientation, 0 to 7 with 4 for a mirror, or 8 for a complex one,
// whose number takes x's place). A displacement stays within
// placement_limit, which every way in checks.
class Placement {
public:
    Placement() = default;
    static Placement simple(const SimpleTrans &trans) {
        return {trans.x, trans.y * kinds + (trans.mirror ? 4 : 0) + trans.angle};
    }
    static Placement complex_number(size_t number) { return {int64_t(number), complex_kind}; }

    bool is_complex() const { return (word_ & (kinds - 1)) == complex_kind; }
    size_t complex_number() const { return size_t(x_); }
    SimpleTrans trans() const { return {int(word_ & 3), (word_ & 4) != 0, x_, word_ >> 4}; }
    // How far the displacement reaches: its larger coordinate, as large as
    // any coordinate it can have after a quarter turn or a mirror.
    uint64_t reach() const { return uint64_t(std::max(std::llabs(x_), std::llabs(word_ >> 4))); }

private:
    static constexpr int64_t kinds = 16, complex_kind = 8;
    Placement(int64_t x, int64_t word) : x_(x), word_(word) {}
    int64_t x_ = 0, word_ = 0;
};
static_assert(sizeof(Placement) == 16);

using Placements = std::vector<Placement>;

// What a run of placements reaches, and whether all of them are simple.
struct Extent {
    uint64_t reach = 0;
    bool simple = true;

    static Extent of(const Placements &placements) {
        Extent extent;
        for (const Placement &placement : placements) {
            if (placement.is_complex()) extent.simple = false;
            else extent.reach = std::max(extent.reach, placement.reach());
        }
        return extent;
    }
    // Whether every product of a placement within `parents` and one within
    // `members` stays within `limit`: a product's displacement is the
    // parent's plus the member's turned or mirrored.
    static bool products_within(const Extent &parents, const Extent &members, long long limit) {
        return parents.simple && members.simple && parents.reach + members.reach <= uint64_t(limit);
    }
};

struct CellData {
    nb::object name;
    long index = 0;
    std::vector<std::pair<size_t, std::vector<long>>> polygons; // layer slot, numbers
    struct Instance {
        size_t child; // slot in the cell table
        Placements placements;
        Extent extent;
    };
    std::vector<Instance> instances;
    uint64_t below = 0; // placements below the cell when flattened (saturating)
    bool open = true; // on the path of the walk
};

struct LayerSlot {
    nb::object index, layer_spec; // layout layer index, its (layer, datatype)
};

// The layer slots of a parser, in the order of its layer map: int layer
// indices with (layer, datatype) tuples, or the road steps aside.
std::vector<LayerSlot> layer_slots(nb::handle parser);

// Where a polygon was found: its cell's index, its layer slot, and its place
// among the shapes of that cell and layer, texts counted.
struct ShapeOrigin {
    long cell;
    size_t slot, position;
};

class ShapeKinds;
class StreamedShapes;

// Whether a walk notes where each polygon was found.
enum class Origins { dropped, noted };

// The walk of a layout whose KLayout classes, layout and cells are
// KLayout's own (see klayout_own.hpp): it reads them in ways of its own.
class Walk {
public:
    // The outlines go to `table`, which must outlive the walk.
    Walk(const Globals &globals, nb::handle parser, std::vector<LayerSlot> layers, OutlineTable &table,
         const Limits &limits, Origins origins = Origins::dropped);
    ~Walk();

    // Every cell below the top cells, in the step-by-step walk's order.
    // Simplification may still run on the workers afterwards, while the
    // tree is made: table() waits for it. MemoryError, before anything big
    // is made, as soon as the placements read or the polygons exceed the
    // limits.
    void run(nb::handle kdb, nb::handle layout, nb::handle tops);
    // MemoryError where the cells are placed more often than the limit
    // allows when the hierarchy is flattened: what a tree would compose,
    // counted on the tables before it does.
    void check_flattened() const;

    const std::vector<size_t> &tops() const { return top_slots_; }
    const std::vector<CellData> &cells() const { return cells_; }
    const std::vector<LayerSlot> &layers() const { return layers_; }
    // By polygon number, where the walk notes them.
    const std::vector<ShapeOrigin> &origins() const { return origins_; }
    // Returns when every outline is in the table.
    void finish_outlines() {
        if (bulk_) bulk_->flush();
    }
    std::vector<nb::object> &complex_pool() { return complex_; }
    // A placement as a KLayout transformation: a complex one from the pool,
    // a simple one made anew through `trans_type`.
    nb::object placement_object(const Placement &placement, nb::handle trans_type) const;
    // Once the polygon table has been read: the simplifier's workers go.
    void release_simplifier() { bulk_.reset(); }

    // Whether a placement read reaches beyond KLayout's 32-bit coordinates
    // (an array's members, which KLayout's own give wrapped around).
    bool beyond_klayout() const { return beyond_klayout_; }

private:
    size_t visit(nb::handle cell);
    void read_shapes(nb::handle cell, CellData &data);
    void read_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children);
    bool read_streamed_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children);
    static bool as_simple_array(const StreamInstance &instance, SimpleArray &array);
    bool read_single(nb::handle inst, Placements &placements);
    bool read_simple_array(nb::handle array, Placements &placements);
    void read_members(nb::handle array, Placements &placements);
    bool read_shape(nb::handle shape);
    void read_layer(nb::handle cell, ShapeOrigin layer, std::vector<long> &numbers);
    bool read_streamed_layer(nb::handle cell, ShapeOrigin layer, const StreamCell &written,
                             std::vector<long> &numbers);
    void add_polygon(const double *xy, size_t points, const ShapeOrigin &origin, std::vector<long> &numbers);
    void add_placement(Placements &placements, const SimpleTrans &trans);

    std::vector<LayerSlot> layers_;
    nb::object cell_index_map_, integer_polygon_, trans_type_, tolerance_;
    std::unique_ptr<ShapeKinds> kinds_;
    std::unique_ptr<StreamedShapes> streamed_; // during run()
    OutlineTable &table_;
    std::optional<BulkSimplifier> bulk_;
    bool note_origins_;
    std::vector<ShapeOrigin> origins_;
    std::vector<CellData> cells_;
    std::unordered_map<long, size_t> slot_of_;
    std::unordered_map<PyObject *, size_t> slot_of_object_; // of the cells read, kept in read_cells_
    std::vector<nb::object> read_cells_;
    std::vector<size_t> top_slots_;
    std::vector<nb::object> complex_;
    std::vector<double> xy_;
    Py_ssize_t next_number_ = 0;
    Limits limits_;
    PlacementCount read_; // the members of every instance read
    bool beyond_klayout_ = false;
    int depth_ = 0;
};

} // namespace show3d::direct
