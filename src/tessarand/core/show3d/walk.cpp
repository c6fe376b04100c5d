// The direct road's walk. Shapes come from KLayout's objects one by one, or
// in bulk from the layout's stream form where that surely gives the same
// outlines; placements come as numbers, from KLayout's binary or text forms
// where the placement is simple.
#include "walk.hpp"

#include "walk_stream.hpp"

#include "ktrans.hpp"
#include "core/hull.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace show3d::direct {
namespace {

long cell_index_of(nb::handle cell) {
    nb::object index = call_method(cell, S3D_NAME("cell_index"));
    long value = PyLong_AsLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) raise_current();
    return value;
}

} // namespace

// What the walk reads of a KLayout shape without its polygon, by the kind
// number Shape.type() gives: a box through its bounding box, which is the
// same hull in one small object instead of a polygon, and a text not at all.
// What a kind is, the walk learns from the first shape of the kind, read as
// the step-by-step walk reads it: a text has no polygon and says it is one; a
// box says it is one and its polygon is of the polygon type whose binary form
// the walk reads.
class ShapeKinds {
public:
    enum Kind : int8_t { unknown, other, box, text };

    explicit ShapeKinds(nb::handle kdb) { polygon_type_ = optional_attr(kdb, S3D_NAME("Polygon")); }

    // The kind number of a shape.
    long number_of(nb::handle shape) const {
        nb::object number = call_method(shape, S3D_NAME("type"));
        long value = PyLong_AsLong(number.ptr());
        if (value == -1 && PyErr_Occurred()) raise_current();
        return value;
    }

    nb::handle polygon_type() const { return polygon_type_; }

    Kind known(long number) const {
        if (number < 0 || number > largest_number) return other;
        return size_t(number) < kinds_.size() ? kinds_[size_t(number)] : unknown;
    }

    // What the first shape of a kind showed, read the step-by-step way.
    void learn(long number, nb::handle shape, nb::handle polygon, bool is_text) {
        if (number < 0 || number > largest_number) return;
        Kind kind = is_text ? text : other;
        if (!is_text && is_exactly(polygon, polygon_type_) &&
            truth(call_method(shape, S3D_NAME("is_box"))))
            kind = box;
        if (kinds_.size() <= size_t(number)) kinds_.resize(size_t(number) + 1, unknown);
        kinds_[size_t(number)] = kind;
    }

    // The hull of a box shape; false where KLayout's polygon of the box may
    // differ from it.
    bool read_box(nb::handle shape, std::vector<double> &xy) const {
        nb::object bbox = call_method(shape, S3D_NAME("bbox"));
        nb::object bytes = call_method(bbox, S3D_NAME("to_bytes"));
        std::span<const unsigned char> form = bytes_view(bytes);
        return parse_box_hull_bytes(form.data(), form.size(), xy);
    }

private:
    static constexpr long largest_number = 255; // KLayout's are below 32
    nb::object polygon_type_;
    std::vector<Kind> kinds_; // by kind number
};

std::vector<LayerSlot> layer_slots(nb::handle parser) {
    std::vector<LayerSlot> slots;
    for (const auto &[index, layer_spec] : items_of(get_attr(parser, S3D_NAME("layer_map")))) {
        if (!is_exact_int(index) || !PyTuple_CheckExact(layer_spec.ptr())) throw StepAside();
        slots.push_back({index, layer_spec});
    }
    return slots;
}

Walk::Walk(const Globals &globals, nb::handle parser, std::vector<LayerSlot> layers, OutlineTable &table,
           const Limits &limits, Origins origins)
    : layers_(std::move(layers)), kinds_(std::make_unique<ShapeKinds>(globals[S3D_NAME("kdb")])),
      table_(table), note_origins_(origins == Origins::noted), limits_(limits), read_(limits.placements) {
    cell_index_map_ = get_attr(parser, S3D_NAME("cell_index_map"));
    integer_polygon_ = integer_polygon_type(globals);
    trans_type_ = get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Trans"));
    tolerance_ = get_attr(parser, S3D_NAME("curve_tolerance"));
    if (!tolerance_.is_none()) {
        if (!bulk_simplification_possible(globals)) throw StepAside();
        bulk_.emplace(table_, tolerance_, globals);
    }
}

Walk::~Walk() = default;

void Walk::run(nb::handle kdb, nb::handle layout, nb::handle tops) {
    streamed_ = std::make_unique<StreamedShapes>(kdb, layout, layers_, kinds_->polygon_type());
    for (nb::handle top : tops) top_slots_.push_back(visit(top));
    streamed_.reset();
    if (bulk_) bulk_->submit_rest();
}

// The placements below the top cells, each cell's counted as its walk ended.
void Walk::check_flattened() const {
    uint64_t flattened = 0;
    for (size_t top : top_slots_) flattened = saturating_add(flattened, cells_[top].below);
    if (flattened > limits_.placements) refuse_placements(flattened, limits_.placements, flattened == UINT64_MAX);
}

// A simple placement read: noted where KLayout's own would wrap around.
void Walk::add_placement(Placements &placements, const SimpleTrans &trans) {
    if (!within_range(trans, placement_limit)) refuse_reach(trans);
    if (!within_coordinate_range(trans)) beyond_klayout_ = true;
    placements.push_back(Placement::simple(trans));
}

// Depth first, each cell read on its first visit; children after the
// cell's own shapes, as the step-by-step walk numbers polygons. A cell met
// again on its own path closes a cycle, which only the general walk handles.
size_t Walk::visit(nb::handle cell) {
    // A cell read before is known by its object (KLayout keeps one per cell).
    auto read = slot_of_object_.find(cell.ptr());
    if (read != slot_of_object_.end()) return read->second;
    RecursionGuard guard(depth_, " while parsing the cell hierarchy");
    long index = cell_index_of(cell);
    auto known = slot_of_.find(index);
    if (known != slot_of_.end()) {
        if (cells_[known->second].open) throw StepAside();
        return known->second;
    }
    size_t slot = cells_.size();
    slot_of_.emplace(index, slot);
    cells_.emplace_back();
    CellData data;
    data.index = index;
    data.name = get_attr(cell, S3D_NAME("name"));
    read_shapes(cell, data);
    std::vector<nb::object> children;
    read_instances(cell, data, children);
    for (size_t i = 0; i < children.size(); ++i) data.instances[i].child = visit(children[i]);
    for (const CellData::Instance &instance : data.instances)
        data.below = add_instance(data.below, instance.placements.size(), cells_[instance.child].below);
    data.open = false;
    cells_[slot] = std::move(data);
    slot_of_object_.emplace(cell.ptr(), slot);
    read_cells_.push_back(nb::borrow(cell));
    return slot;
}

// Each layer's polygons: from the stream form where it holds them, else
// shape by shape.
void Walk::read_shapes(nb::handle cell, CellData &data) {
    const StreamCell *written = streamed_ ? streamed_->cell(cell, data.name) : nullptr;
    for (size_t slot = 0; slot < layers_.size(); ++slot) {
        std::vector<long> numbers;
        ShapeOrigin layer{data.index, slot, 0};
        if (!written || !read_streamed_layer(cell, layer, *written, numbers)) read_layer(cell, layer, numbers);
        if (!numbers.empty()) data.polygons.push_back({slot, std::move(numbers)});
    }
}

// One layer of a cell, shape by shape. KLayout's each_shape is
// shapes(layer).each() in one call, which saves a call for each of the many
// layers a cell has nothing on.
void Walk::read_layer(nb::handle cell, ShapeOrigin layer, std::vector<long> &numbers) {
    nb::object shapes = call_method(cell, S3D_NAME("each_shape"), layers_[layer.slot].index);
    nb::object iterator = check(PyObject_GetIter(shapes.ptr()));
    for (ShapeOrigin origin = layer; PyObject *raw = PyIter_Next(iterator.ptr()); ++origin.position) {
        nb::object shape = nb::steal(raw);
        if (read_shape(shape)) add_polygon(xy_.data(), xy_.size() / 2, origin, numbers);
    }
    if (PyErr_Occurred()) raise_current();
}

// One layer of a cell from the stream form; false, with nothing added,
// where it must be read shape by shape.
bool Walk::read_streamed_layer(nb::handle cell, ShapeOrigin layer, const StreamCell &written,
                               std::vector<long> &numbers) {
    return streamed_->read(cell, layers_[layer.slot], layer.slot, written, integer_polygon_,
                           [&](const double *xy, size_t points, size_t position) {
                               add_polygon(xy, points, {layer.cell, layer.slot, position}, numbers);
                           });
}

void Walk::add_polygon(const double *xy, size_t points, const ShapeOrigin &origin, std::vector<long> &numbers) {
    if (uint64_t(next_number_) >= limits_.polygons) refuse_polygons(uint64_t(next_number_) + 1, limits_.polygons);
    if (bulk_) bulk_->add(next_number_, xy, points);
    else table_.store_database_units(next_number_, xy, points);
    if (note_origins_) origins_.push_back(origin);
    numbers.push_back(long(next_number_++));
}

// The hull of one shape into xy_; false for a text, which has no polygon.
bool Walk::read_shape(nb::handle shape) {
    xy_.clear();
    long number = kinds_->number_of(shape);
    ShapeKinds::Kind kind = kinds_->known(number);
    if (kind == ShapeKinds::text) return false;
    if (kind == ShapeKinds::box && kinds_->read_box(shape, xy_)) return true; // else xy_ is untouched
    nb::object polygon = get_attr(shape, S3D_NAME("polygon"));
    bool is_text = polygon.is_none() && truth(call_method(shape, S3D_NAME("is_text")));
    if (kind == ShapeKinds::unknown) kinds_->learn(number, shape, polygon, is_text);
    if (is_text) return false;
    read_hull(integer_polygon_, polygon, xy_);
    return true;
}

// The placed cells and the placements of every instance: simple
// transformations as numbers, complex ones as KLayout keeps them.
void Walk::read_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children) {
    if (streamed_ && read_streamed_instances(cell, data, children)) return;
    nb::object iterator = check(PyObject_GetIter(call_method(cell, S3D_NAME("each_inst")).ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object inst = nb::steal(raw);
        children.push_back(check(PyObject_GetItem(cell_index_map_.ptr(),
                                                  get_attr(inst, S3D_NAME("cell_index")).ptr())));
        Placements placements;
        if (!read_single(inst, placements)) {
            nb::object array = get_attr(inst, S3D_NAME("cell_inst"));
            if (!read_simple_array(array, placements)) read_members(array, placements);
        }
        Extent extent = Extent::of(placements);
        data.instances.push_back({0, std::move(placements), extent});
    }
    if (PyErr_Occurred()) raise_current();
}

// A cell's placements from the stream form, where every one is simple:
// single placements, which KLayout would otherwise be asked about one call
// at a time, and rows of them. False, with nothing added, where they must be
// read from KLayout.
bool Walk::read_streamed_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children) {
    std::span<const StreamInstance> placed;
    std::vector<nb::handle> child_indices;
    if (!streamed_->instances(cell, data.name, placed, child_indices)) return false;
    std::vector<SimpleArray> arrays(placed.size());
    for (size_t i = 0; i < placed.size(); ++i)
        if (!as_simple_array(placed[i], arrays[i])) return false;
    for (size_t i = 0; i < placed.size(); ++i) {
        bool same_child = i > 0 && child_indices[i].is(child_indices[i - 1]);
        // Where no record is made, a run of placements of one cell is one
        // instance: combined, they give the same placements in the same order.
        bool joined = same_child && !note_origins_;
        if (!joined) {
            children.push_back(same_child ? children.back()
                                          : check(PyObject_GetItem(cell_index_map_.ptr(), child_indices[i].ptr())));
            data.instances.push_back({0, {}, {}});
        }
        Placements &placements = data.instances.back().placements;
        read_.add(uint64_t(arrays[i].columns) * uint64_t(arrays[i].rows)); // each below 2^15
        expand_simple_array(arrays[i], [&](const SimpleTrans &member) { add_placement(placements, member); });
    }
    for (CellData::Instance &instance : data.instances) instance.extent = Extent::of(instance.placements);
    return true;
}

// A written placement as members in KLayout's order; false for an array of
// more than one row and column, where its steps are not whole, or where a
// member lies beyond KLayout's coordinates.
bool Walk::as_simple_array(const StreamInstance &instance, SimpleArray &array) {
    const int32_t *xy = instance.xy;
    array.trans = {instance.quarter_turns, instance.mirror, xy[0], xy[1]};
    if (instance.array) {
        // Which written vector is KLayout's first depends on how the array
        // came to be, and its members come first along that one: only a row
        // or a column (whose members come in one order) is taken.
        if (instance.columns > 1 && instance.rows > 1) return false;
        bool column = instance.rows == 1;
        long long count = column ? instance.columns : instance.rows;
        long long dx = (long long)xy[column ? 2 : 4] - xy[0], dy = (long long)xy[column ? 3 : 5] - xy[1];
        if (dx % count || dy % count) return false;
        array.ax = dx / count, array.ay = dy / count;
        array.columns = count;
    }
    SimpleTrans last = array.trans;
    last.x += (array.columns - 1) * array.ax + (array.rows - 1) * array.bx;
    last.y += (array.columns - 1) * array.ay + (array.rows - 1) * array.by;
    return within_coordinate_range(array.trans) && within_coordinate_range(last);
}

nb::object Walk::placement_object(const Placement &placement, nb::handle trans_type) const {
    if (placement.is_complex()) return complex_[placement.complex_number()];
    return simple_trans_object(trans_type, placement.trans());
}

// A single simple placement straight from KLayout's instance, which spares
// making the instance's array and its text form; false for anything else.
bool Walk::read_single(nb::handle inst, Placements &placements) {
    if (truth(call_method(inst, S3D_NAME("is_complex")))) return false;
    if (!is_count(call_method(inst, S3D_NAME("size")), 1)) return false;
    SimpleTrans parsed;
    if (!read_binary_trans(get_attr(inst, S3D_NAME("trans")), parsed) || !within_coordinate_range(parsed))
        return false;
    read_.add(1);
    add_placement(placements, parsed);
    return true;
}

// A simple placement or regular array of them from its text form, one call
// however many members it has; false for anything else.
bool Walk::read_simple_array(nb::handle array, Placements &placements) {
    nb::object text = call_method(array, S3D_NAME("to_s"));
    std::string_view view = utf8_view(text);
    SimpleArray parsed;
    if (!parse_simple_array(view.data(), view.data() + view.size(), parsed)) return false;
    read_.add(uint64_t(parsed.columns) * uint64_t(parsed.rows)); // each below 2^31
    placements.reserve(size_t(parsed.columns * parsed.rows));
    expand_simple_array(parsed, [&](const SimpleTrans &member) { add_placement(placements, member); });
    return true;
}

// The members one by one, as KLayout's own objects, counted as they come.
void Walk::read_members(nb::handle array, Placements &placements) {
    bool complex = truth(call_method(array, S3D_NAME("is_complex")));
    nb::object each = call_method(array, complex ? S3D_NAME("each_cplx_trans") : S3D_NAME("each_trans"));
    nb::object iterator = check(PyObject_GetIter(each.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object trans = nb::steal(raw);
        read_.add(1);
        if (complex) {
            placements.push_back(Placement::complex_number(complex_.size()));
            complex_.push_back(std::move(trans));
            continue;
        }
        SimpleTrans simple;
        if (!read_simple_trans(trans, simple) || !within_coordinate_range(simple)) throw StepAside();
        add_placement(placements, simple);
    }
    if (PyErr_Occurred()) raise_current();
}

} // namespace show3d::direct
