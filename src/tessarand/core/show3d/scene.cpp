// The direct road. Three steps on plain data:
//   1. the walk reads every cell once (shapes on the mapped layers, then its
//      placements) into a cell table and the polygon table, numbering
//      polygons in the order of the step-by-step walk;
//   2. the combined tree: per level one node per placed cell, in order of
//      first appearance, carrying all placements of its group composed with
//      those of its parent, as numbers (for a cell that places nothing, as
//      runs composed only when its matrices are written);
//   3. the writer turns that tree into the dictionaries asdict gives, per
//      layer (layer mode) or per cell (cell mode), pruning what a layer does
//      not reach. For show3d, the matrices are written straight into the
//      message text, on every core.
// Whenever the input needs the step-by-step road's general handling, the road
// steps aside before anything visible has happened.
#include "scene.hpp"

#include "ktrans.hpp"
#include "polygons.hpp"
#include "viewer.hpp"
#include "core/hull.hpp"
#include "core/parallel.hpp"
#include "core/placement.hpp"
#include "core/stream.hpp"

#include "arrays.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <unordered_map>

namespace show3d {
namespace {

// Thrown inside the road to leave it for the step-by-step road.
struct StepAside {};

// ---- the snapshot ------------------------------------------------------------------

// The module names the road relies on; of those that are classes, the class
// attributes (methods, field defaults) count too.
constexpr const char *road_names[] = {
    "ParseGDS", "KTrans", "Cell",   "Reference", "ParsedCells", "ParsedLayers", "Output",
    "PartBase", "Parts",  "Part",   "Shape",     "ViewerData",  "PdkLayer",     "np",
    "sg",       "kdb",    "pya",    "fnmatch",   "is_dataclass", "fields"};

nb::object sequence_item(nb::handle sequence, Py_ssize_t index) {
    return check(PySequence_GetItem(sequence.ptr(), index));
}

nb::object class_dict(nb::handle cls) {
    return check(PyType_GetDict(reinterpret_cast<PyTypeObject *>(cls.ptr())));
}

// True when `now` holds exactly the entries of `then`, value for value.
// copy's cache of slot names (added by copying an instance) changes nothing.
bool same_entries(nb::handle now, nb::handle then) {
    int cached = PyDict_Contains(now.ptr(), S3D_NAME("__slotnames__"));
    check_status(cached);
    if (PyDict_GET_SIZE(now.ptr()) - cached != PyDict_GET_SIZE(then.ptr())) return false;
    for (const auto &[key, value] : items_of(then)) {
        nb::object current = dict_lookup(now, key);
        if (!current.is(value)) return false;
    }
    return true;
}

bool snapshot_holds(const Globals &globals, nb::handle snapshot) {
    nb::object values = sequence_item(snapshot, 0), dicts = sequence_item(snapshot, 1);
    size_t count = sizeof road_names / sizeof road_names[0];
    for (size_t i = 0; i < count; ++i) {
        nb::object current = dict_lookup(globals.dict(), nb::str(road_names[i]));
        nb::object then = sequence_item(values, Py_ssize_t(i));
        if (!current.is(then)) return false;
        if (PyType_Check(then.ptr()) &&
            !same_entries(class_dict(then), sequence_item(dicts, Py_ssize_t(i))))
            return false;
    }
    return true;
}

// ---- plain inputs ---------------------------------------------------------------------

bool is_exact_int(nb::handle value) { return PyLong_CheckExact(value.ptr()); }

// Whether `value` is an int (exactly) that equals `count`, without raising
// for one beyond a long.
bool is_count(nb::handle value, long count) {
    int overflow = 0;
    return is_exact_int(value) && PyLong_AsLongAndOverflow(value.ptr(), &overflow) == count && !overflow;
}
bool is_plain_number(nb::handle value) {
    return PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr());
}

// The layer table: (int, int) keys and PdkLayer values with text names and
// colours and numeric heights, so that its lookups run no code of the caller.
bool plain_layer_table(nb::handle layers, nb::handle layer_class) {
    if (!PyDict_CheckExact(layers.ptr())) return false;
    for (const auto &[key, entry] : items_of(layers)) {
        if (!PyTuple_CheckExact(key.ptr()) || PyTuple_GET_SIZE(key.ptr()) != 2 ||
            !is_exact_int(PyTuple_GET_ITEM(key.ptr(), 0)) ||
            !is_exact_int(PyTuple_GET_ITEM(key.ptr(), 1)))
            return false;
        if (reinterpret_cast<PyObject *>(Py_TYPE(entry.ptr())) != layer_class.ptr()) return false;
        nb::object fields = get_attr(entry, S3D_NAME("__dict__"));
        if (!PyDict_CheckExact(fields.ptr())) return false;
        for (const char *text : {"name", "color"}) {
            nb::object value = dict_lookup(fields, nb::str(text));
            if (!value.is_valid() || !PyUnicode_CheckExact(value.ptr())) return false;
        }
        for (const char *number : {"thickness", "zmin"}) {
            nb::object value = dict_lookup(fields, nb::str(number));
            if (!value.is_valid() || !is_plain_number(value)) return false;
        }
    }
    return true;
}

bool plain_patterns(nb::handle patterns) {
    if (!PyList_CheckExact(patterns.ptr())) return false;
    for (nb::handle pattern : snapshot(patterns))
        if (!PyUnicode_CheckExact(pattern.ptr())) return false;
    return true;
}

// ---- the polygon table -----------------------------------------------------------

// float32 outlines by polygon number, x0, y0, x1, y1, ..., one after the
// other in large blocks, which the message's buffer descriptions share.
class PolygonTable : public OutlineSink {
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

    // An outline in database units, unsimplified.
    void store_database_units(Py_ssize_t index, const double *xy, size_t points) {
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
// KLayout's object (a number in the pool of complex transformations). Sixteen
// bytes, as there are millions: displacements stay within KLayout's 32-bit
// range, which every way in checks.
struct Placement {
    int32_t x = 0, y = 0;
    int8_t angle = 0;
    bool mirror = false;
    int complex = -1;

    static Placement simple(const SimpleTrans &trans) {
        return {int32_t(trans.x), int32_t(trans.y), int8_t(trans.angle), trans.mirror, -1};
    }
    static Placement complex_number(int number) { return {0, 0, 0, false, number}; }
    SimpleTrans trans() const { return {angle, mirror, x, y}; }
};
static_assert(sizeof(Placement) == 16);

using Placements = std::vector<Placement>;

// How far a placement's displacement reaches: its larger coordinate, as
// large as any coordinate it can have after a quarter turn or a mirror.
long long reach_of(const Placement &placement) {
    return std::max(std::llabs(placement.x), std::llabs(placement.y));
}

// What a run of placements reaches, and whether all of them are simple.
struct Extent {
    uint32_t reach = 0; // up to 2^31
    bool simple = true;

    static Extent of(const Placements &placements) {
        Extent extent;
        for (const Placement &placement : placements) {
            if (placement.complex >= 0) extent.simple = false;
            else extent.reach = std::max(extent.reach, uint32_t(reach_of(placement)));
        }
        return extent;
    }
    // Whether every product of a placement within `parents` and one within
    // `members` stays within KLayout's coordinates: a product's displacement
    // is the parent's plus the member's turned or mirrored.
    static bool products_within_range(const Extent &parents, const Extent &members) {
        return parents.simple && members.simple &&
               uint64_t(parents.reach) + members.reach <= uint64_t(coordinate_limit);
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
    bool open = true; // on the path of the walk
};

struct LayerSlot {
    nb::object index, layer_spec; // layout layer index, its (layer, datatype)
};

// Whether `cls` holds a descriptor of the type given under `name` that
// belongs to this very class and carries this very name, as KLayout's own do.
bool own_descriptor(nb::handle cls, const char *name, PyTypeObject *descriptor_type) {
    if (!PyType_Check(cls.ptr())) return false;
    nb::object descriptor = dict_lookup(class_dict(cls), nb::str(name));
    if (!descriptor.is_valid() || Py_TYPE(descriptor.ptr()) != descriptor_type) return false;
    return PyDescr_TYPE(descriptor.ptr()) == reinterpret_cast<PyTypeObject *>(cls.ptr()) &&
           PyUnicode_CompareWithASCIIString(PyDescr_NAME(descriptor.ptr()), name) == 0;
}

// Whether KLayout class `cls` still has its own method `name`: KLayout's
// methods are C method descriptors of that name; a replacement from Python
// (or a method of another class put in its place) is not.
bool klayout_method(nb::handle cls, const char *name) { return own_descriptor(cls, name, &PyMethodDescr_Type); }

// Whether KLayout class `cls` still has its own property `name` (a getter
// KLayout defined, not a replacement from Python).
bool klayout_property(nb::handle cls, const char *name) {
    return own_descriptor(cls, name, &PyGetSetDescr_Type);
}

// Whether attribute reads on KLayout class `cls` go to its descriptors: no
// __getattribute__ or __getattr__ of the class's own.
bool reads_attributes_plainly(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) return false;
    nb::object own = class_dict(cls);
    return !dict_lookup(own, S3D_NAME("__getattribute__")).is_valid() &&
           !dict_lookup(own, S3D_NAME("__getattr__")).is_valid();
}

// Whether settings made on objects of KLayout class `cls` reach its
// properties, and reads come from them.
bool sets_attributes_plainly(nb::handle cls) {
    return reads_attributes_plainly(cls) && !dict_lookup(class_dict(cls), S3D_NAME("__setattr__")).is_valid();
}

// Whether objects of KLayout class `cls` are made by KLayout alone.
bool klayout_constructor(nb::handle cls) {
    return klayout_method(cls, "__init__") && !dict_lookup(class_dict(cls), S3D_NAME("__new__")).is_valid();
}

// What the walk reads of a KLayout shape without its polygon, by the kind
// number Shape.type() gives: a box through its bounding box, which is the
// same hull in one small object instead of a polygon, and a text not at all.
// What a kind is, the walk learns from the first shape of the kind, read as
// the step-by-step walk reads it: a text has no polygon and says it is one; a
// box says it is one and its polygon is of the polygon type whose binary form
// the walk reads. Taken only while every method the walk reads either way is
// KLayout's own.
class ShapeKinds {
public:
    enum Kind : int8_t { unknown, other, box, text };

    explicit ShapeKinds(nb::handle kdb) {
        shape_type_ = optional_attr(kdb, S3D_NAME("Shape"));
        box_type_ = optional_attr(kdb, S3D_NAME("Box"));
        polygon_type_ = optional_attr(kdb, S3D_NAME("Polygon"));
        usable_ = klayout_method(shape_type_, "type") && klayout_method(shape_type_, "bbox") &&
                  klayout_method(shape_type_, "is_text") && klayout_method(shape_type_, "is_box") &&
                  klayout_property(shape_type_, "polygon") && klayout_method(box_type_, "to_bytes") &&
                  klayout_method(polygon_type_, "to_bytes") && reads_attributes_plainly(shape_type_) &&
                  reads_attributes_plainly(box_type_) && reads_attributes_plainly(polygon_type_);
    }

    // The kind number of a shape; -1 where the shortcuts are off.
    long number_of(nb::handle shape) const {
        if (!usable_ || Py_TYPE(shape.ptr()) != reinterpret_cast<PyTypeObject *>(shape_type_.ptr())) return -1;
        nb::object number = call_method(shape, S3D_NAME("type"));
        if (!is_exact_int(number)) return -1;
        long value = PyLong_AsLong(number.ptr());
        if (value == -1 && PyErr_Occurred()) raise_current();
        return value;
    }

    bool usable() const { return usable_; }
    nb::handle polygon_type() const { return polygon_type_; }

    Kind known(long number) const {
        if (number < 0 || number > largest_number) return other;
        return size_t(number) < kinds_.size() ? kinds_[size_t(number)] : unknown;
    }

    // What the first shape of a kind showed, read the step-by-step way.
    void learn(long number, nb::handle shape, nb::handle polygon, bool is_text) {
        if (number < 0 || number > largest_number) return;
        Kind kind = is_text ? text : other;
        if (!is_text && Py_TYPE(polygon.ptr()) == reinterpret_cast<PyTypeObject *>(polygon_type_.ptr()) &&
            truth(call_method(shape, S3D_NAME("is_box"))))
            kind = box;
        if (kinds_.size() <= size_t(number)) kinds_.resize(size_t(number) + 1, unknown);
        kinds_[size_t(number)] = kind;
    }

    // The hull of a box shape; false where KLayout's polygon of the box may
    // differ from it.
    bool read_box(nb::handle shape, std::vector<double> &xy) const {
        nb::object bbox = call_method(shape, S3D_NAME("bbox"));
        if (Py_TYPE(bbox.ptr()) != reinterpret_cast<PyTypeObject *>(box_type_.ptr())) return false;
        nb::object bytes = call_method(bbox, S3D_NAME("to_bytes"));
        std::span<const unsigned char> form = bytes_view(bytes);
        return parse_box_hull_bytes(form.data(), form.size(), xy);
    }

private:
    static constexpr long largest_number = 255; // KLayout's are below 32
    nb::object shape_type_, box_type_, polygon_type_;
    std::vector<Kind> kinds_; // by kind number
    bool usable_ = false;
};

// Whether the object's own attributes hold none of `names` (KLayout keeps
// one Python object per cell, and callers may set attributes on it).
bool shadows_none(nb::handle object, std::initializer_list<const char *> names) {
    nb::object own = check(PyObject_GenericGetDict(object.ptr(), nullptr));
    for (const char *name : names)
        if (dict_lookup(own, nb::str(name)).is_valid()) return false;
    return true;
}

// The shapes of the mapped layers read in bulk: KLayout writes the layout's
// stream form in one call, each mapped layer under its slot number, and the
// walk takes a cell's boundaries from it instead of asking KLayout for every
// shape. KLayout writes the shapes of a cell and layer in the order it
// iterates them, a boundary with the points of the polygon it gives for the
// shape. A cell and layer are read this way only where every shape was
// written (the count agrees) and every written outline is surely that
// polygon's hull (see is_stream_hull); paths come from KLayout, as polygons.
// Taken only while every method involved is KLayout's own, and once the
// first boundary read proved to be the hull of the polygon KLayout gives for
// its shape.
class StreamedShapes {
public:
    StreamedShapes(nb::handle kdb, nb::handle layout, const std::vector<LayerSlot> &layers,
                   nb::handle cell_type, nb::handle polygon_type)
        : polygon_type_(nb::borrow(polygon_type)) {
        nb::object layout_type = optional_attr(kdb, S3D_NAME("Layout"));
        nb::object options_type = optional_attr(kdb, S3D_NAME("SaveLayoutOptions"));
        nb::object info_type = optional_attr(kdb, S3D_NAME("LayerInfo"));
        shapes_type_ = optional_attr(kdb, S3D_NAME("Shapes"));
        shape_type_ = optional_attr(kdb, S3D_NAME("Shape"));
        bool layout_own = Py_TYPE(layout.ptr()) == reinterpret_cast<PyTypeObject *>(layout_type.ptr()) &&
                          klayout_method(layout_type, "write_bytes") && klayout_method(layout_type, "each_cell") &&
                          reads_attributes_plainly(layout_type) && shadows_none(layout, {"write_bytes", "each_cell"});
        bool options_own = klayout_constructor(options_type) && sets_attributes_plainly(options_type) &&
                           klayout_property(options_type, "format") &&
                           klayout_property(options_type, "gds2_multi_xy_records") &&
                           klayout_property(options_type, "write_context_info") &&
                           klayout_method(options_type, "deselect_all_layers") &&
                           klayout_method(options_type, "add_layer") && klayout_constructor(info_type) &&
                           sets_attributes_plainly(info_type) && klayout_property(info_type, "layer") &&
                           klayout_property(info_type, "datatype");
        bool shapes_own = klayout_method(shapes_type_, "size") && klayout_method(shapes_type_, "each") &&
                          reads_attributes_plainly(shapes_type_) && klayout_method(shape_type_, "is_path");
        if (!layout_own || !options_own || !shapes_own || layers.size() > UINT16_MAX) return;
        nb::object path_flag = optional_attr(shapes_type_, S3D_NAME("SPaths"));
        if (is_exact_int(path_flag)) path_flag_ = path_flag;
        std::vector<std::string> names;
        if (!cell_names(layout, cell_type, names)) return;
        nb::object form;
        try {
            form = write(layout, options_type, info_type, layers);
        } catch (nb::python_error &error) {
            if (!refused_by_klayout(error)) throw;
            return;
        }
        std::span<const unsigned char> bytes = bytes_view(form);
        usable_ = !bytes.empty() && index_.parse(bytes.data(), bytes.size()) && index_.written_names_are(names);
    }

    // What was written of the cell of this name; null where nothing can be
    // taken from it.
    const StreamCell *cell(nb::handle name) const {
        if (!usable_ || !PyUnicode_CheckExact(name.ptr())) return nullptr;
        return index_.find(utf8_view(name));
    }

    // Hands `add` the hull (x, y pairs, and their count) of each of one
    // cell's shapes on the layer of `slot`, in KLayout's order; false, with
    // nothing handed, where they cannot be taken from the stream form.
    template <typename Add>
    bool read(nb::handle cell, const LayerSlot &layer, size_t slot, const StreamCell &written,
              nb::handle integer_polygon, Add &&add) {
        if (!usable_) return false;
        std::span<const StreamElement> elements;
        if (!index_.elements_of(written, uint16_t(slot), elements)) return false;
        nb::object shapes = call_method(cell, S3D_NAME("shapes"), layer.index);
        if (Py_TYPE(shapes.ptr()) != reinterpret_cast<PyTypeObject *>(shapes_type_.ptr())) return false;
        if (!is_count(call_method(shapes, S3D_NAME("size")), long(elements.size()))) return false;
        bool boundaries = std::any_of(elements.begin(), elements.end(),
                                      [](const StreamElement &e) { return e.kind == StreamKind::boundary; });
        if (boundaries && !proven_ && !prove(shapes, elements.front(), integer_polygon)) return false;
        for (const StreamElement &element : elements) {
            if (element.kind == StreamKind::other) return false;
            if (element.kind == StreamKind::boundary &&
                !is_stream_hull(index_.points_of(element), element.count, scratch_))
                return false;
        }
        std::vector<nb::object> paths;
        if (!paths_of(shapes, elements, paths)) return false;
        auto next_path = paths.begin();
        for (const StreamElement &element : elements) {
            if (element.kind == StreamKind::text) continue;
            xy_.clear();
            if (element.kind == StreamKind::boundary)
                append_stream_hull(index_.points_of(element), element.count, xy_);
            else
                read_hull(integer_polygon, get_attr(*next_path++, S3D_NAME("polygon")), xy_);
            add(xy_.data(), xy_.size() / 2);
        }
        return true;
    }

private:
    // The stream form of the mapped layers, layer `slot` as layer number
    // `slot`; None where the options are not KLayout's.
    static nb::object write(nb::handle layout, nb::handle options_type, nb::handle info_type,
                            const std::vector<LayerSlot> &layers) {
        nb::object options = call(options_type);
        if (Py_TYPE(options.ptr()) != reinterpret_cast<PyTypeObject *>(options_type.ptr())) return nb::none();
        set_attr(options, S3D_NAME("format"), nb::str("GDS2"));
        set_attr(options, S3D_NAME("gds2_multi_xy_records"), nb::handle(Py_True));
        set_attr(options, S3D_NAME("write_context_info"), nb::handle(Py_False));
        call_method(options, S3D_NAME("deselect_all_layers"));
        for (size_t slot = 0; slot < layers.size(); ++slot) {
            nb::object info = call(info_type);
            if (Py_TYPE(info.ptr()) != reinterpret_cast<PyTypeObject *>(info_type.ptr())) return nb::none();
            set_attr(info, S3D_NAME("layer"), nb::int_(slot));
            set_attr(info, S3D_NAME("datatype"), nb::int_(0));
            call_method(options, S3D_NAME("add_layer"), layers[slot].index, info);
        }
        return call_method(layout, S3D_NAME("write_bytes"), options);
    }

    // Whether KLayout refused a call (what it cannot write is read shape by
    // shape): any ordinary error but running out of memory.
    static bool refused_by_klayout(nb::python_error &error) {
        return error.matches(PyExc_Exception) && !error.matches(PyExc_MemoryError);
    }

    // The names of all the layout's cells; false where one may not be the
    // name KLayout keeps (an object that holds a name of its own).
    static bool cell_names(nb::handle layout, nb::handle cell_type, std::vector<std::string> &names) {
        nb::object iterator = check(PyObject_GetIter(call_method(layout, S3D_NAME("each_cell")).ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object cell = nb::steal(raw);
            if (Py_TYPE(cell.ptr()) != reinterpret_cast<PyTypeObject *>(cell_type.ptr()) ||
                !shadows_none(cell, {"name"}))
                return false;
            nb::object name = get_attr(cell, S3D_NAME("name"));
            if (!PyUnicode_CheckExact(name.ptr())) return false;
            names.emplace_back(utf8_view(name));
        }
        if (PyErr_Occurred()) raise_current();
        return true;
    }

    // Whether the first shape of a layer that begins with a boundary gives,
    // as KLayout's polygon, the hull written; the stream form is dropped for
    // good where it does not.
    bool prove(nb::handle shapes, const StreamElement &first, nb::handle integer_polygon) {
        if (first.kind != StreamKind::boundary) return false; // wait for a layer that does
        nb::object iterator = check(PyObject_GetIter(call_method(shapes, S3D_NAME("each")).ptr()));
        nb::object shape = nb::steal(PyIter_Next(iterator.ptr()));
        if (!shape.is_valid()) {
            if (PyErr_Occurred()) raise_current();
            return usable_ = false;
        }
        std::vector<double> given, written;
        nb::object polygon;
        if (Py_TYPE(shape.ptr()) == reinterpret_cast<PyTypeObject *>(shape_type_.ptr()))
            polygon = get_attr(shape, S3D_NAME("polygon"));
        bool same = polygon.is_valid() && polygon_type_.is(integer_polygon) &&
                    Py_TYPE(polygon.ptr()) == reinterpret_cast<PyTypeObject *>(polygon_type_.ptr()) &&
                    stream_hull(index_.points_of(first), first.count, written, scratch_);
        if (same) read_hull(integer_polygon, polygon, given);
        usable_ = proven_ = same && given == written;
        return proven_;
    }

    // The layer's paths in KLayout's order, as many as were written; false
    // where KLayout gives any other number, or anything else.
    bool paths_of(nb::handle shapes, std::span<const StreamElement> elements, std::vector<nb::object> &paths) {
        size_t written = size_t(std::count_if(elements.begin(), elements.end(),
                                              [](const StreamElement &e) { return e.kind == StreamKind::path; }));
        if (written == 0) return true;
        if (!path_flag_.is_valid()) return false;
        nb::object each;
        try {
            each = call_method(shapes, S3D_NAME("each"), path_flag_);
        } catch (nb::python_error &error) {
            if (!refused_by_klayout(error)) throw;
            return false;
        }
        nb::object iterator = check(PyObject_GetIter(each.ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object shape = nb::steal(raw);
            if (Py_TYPE(shape.ptr()) != reinterpret_cast<PyTypeObject *>(shape_type_.ptr()) ||
                paths.size() == written || !truth(call_method(shape, S3D_NAME("is_path"))))
                return false;
            paths.push_back(std::move(shape));
        }
        if (PyErr_Occurred()) raise_current();
        return paths.size() == written;
    }

    StreamIndex index_;
    nb::object polygon_type_, shapes_type_, shape_type_, path_flag_;
    std::vector<uint64_t> scratch_;
    std::vector<double> xy_;
    bool usable_ = false, proven_ = false;
};

class Walk {
public:
    Walk(const Globals &globals, nb::handle parser, std::vector<LayerSlot> layers)
        : layers_(std::move(layers)), kinds_(globals[S3D_NAME("kdb")]) {
        cell_index_map_ = get_attr(parser, S3D_NAME("cell_index_map"));
        integer_polygon_ = integer_polygon_type(globals);
        nb::object kdb = globals[S3D_NAME("kdb")];
        // Absent names (None) turn the shortcuts below off.
        trans_type_ = optional_attr(kdb, S3D_NAME("Trans"));
        array_type_ = optional_attr(kdb, S3D_NAME("CellInstArray"));
        cell_type_ = optional_attr(kdb, S3D_NAME("Cell"));
        instance_type_ = optional_attr(kdb, S3D_NAME("Instance"));
        // Placements are composed as numbers, as KLayout composes them: where
        // KLayout's transformations were replaced, only the step-by-step
        // walk, which asks them at every step, gives what they give.
        nb::object complex_type = optional_attr(kdb, S3D_NAME("ICplxTrans"));
        if (!klayout_method(trans_type_, "to_s") || !klayout_method(trans_type_, "__mul__") ||
            !klayout_method(complex_type, "__mul__") || !reads_attributes_plainly(trans_type_) ||
            !reads_attributes_plainly(complex_type))
            throw StepAside();
        // The shortcuts below read what the step-by-step walk reads, as long
        // as KLayout's methods are its own.
        each_shape_ = klayout_method(cell_type_, "each_shape") && klayout_method(cell_type_, "shapes") &&
                      reads_attributes_plainly(cell_type_) &&
                      klayout_method(optional_attr(kdb, S3D_NAME("Shapes")), "each");
        text_form_ = klayout_method(array_type_, "to_s") && klayout_method(array_type_, "is_complex") &&
                     klayout_method(array_type_, "each_trans") &&
                     klayout_method(array_type_, "each_cplx_trans") && reads_attributes_plainly(array_type_);
        single_form_ = text_form_ && klayout_property(instance_type_, "cell_inst") &&
                       klayout_method(instance_type_, "is_complex") && klayout_method(instance_type_, "size") &&
                       klayout_property(instance_type_, "trans") && klayout_method(trans_type_, "to_bytes") &&
                       reads_attributes_plainly(instance_type_);
        tolerance_ = get_attr(parser, S3D_NAME("curve_tolerance"));
        if (!tolerance_.is_none()) {
            if (!bulk_simplification_possible(globals)) throw StepAside();
            bulk_.emplace(table_, tolerance_, globals);
        }
    }

    // Every cell below the top cells, in the step-by-step walk's order.
    // Simplification may still run on the workers afterwards, while the
    // tree is made: table() waits for it.
    void run(nb::handle kdb, nb::handle layout, nb::handle tops) {
        if (walk_runs_klayout_only()) streamed_.emplace(kdb, layout, layers_, cell_type_, kinds_.polygon_type());
        for (nb::handle top : tops) top_slots_.push_back(visit(top));
        streamed_.reset();
        if (bulk_) bulk_->submit_rest();
    }

    const std::vector<size_t> &tops() const { return top_slots_; }
    const std::vector<CellData> &cells() const { return cells_; }
    PolygonTable &table() {
        if (bulk_) bulk_->flush();
        return table_;
    }
    std::vector<nb::object> &complex_pool() { return complex_; }
    // Once the polygon table has been read: the simplifier's workers go.
    void release_simplifier() { bulk_.reset(); }

private:
    // Whether all the walk asks of the layout is KLayout's own, so that no
    // code of the caller's runs during the walk (and might change the layout
    // after its stream form was written).
    bool walk_runs_klayout_only() const {
        return each_shape_ && kinds_.usable() && single_form_ && klayout_property(cell_type_, "name") &&
               klayout_method(cell_type_, "cell_index") && klayout_method(cell_type_, "each_inst") &&
               klayout_property(instance_type_, "cell_index");
    }

    size_t visit(nb::handle cell);
    nb::object shapes_of(nb::handle cell, size_t slot, bool each_shape);
    void read_shapes(nb::handle cell, CellData &data);
    void read_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children);
    bool read_single(nb::handle inst, Placements &placements);
    bool read_simple_array(nb::handle array, Placements &placements);
    void read_members(nb::handle array, Placements &placements);
    bool read_shape(nb::handle shape);
    void read_layer(nb::handle cell, size_t slot, bool each_shape, std::vector<long> &numbers);
    bool read_streamed_layer(nb::handle cell, size_t slot, const StreamCell &written, std::vector<long> &numbers);
    void add_polygon(const double *xy, size_t points, std::vector<long> &numbers);

    std::vector<LayerSlot> layers_;
    nb::object cell_index_map_, integer_polygon_, trans_type_, array_type_, cell_type_, instance_type_, tolerance_;
    bool each_shape_, text_form_, single_form_;
    bool arrays_checked_ = false; // whether single_form_ has seen an instance's array
    ShapeKinds kinds_;
    std::optional<StreamedShapes> streamed_; // during run()
    PolygonTable table_;
    std::optional<BulkSimplifier> bulk_;
    std::vector<CellData> cells_;
    std::unordered_map<long, size_t> slot_of_;
    std::vector<size_t> top_slots_;
    std::vector<nb::object> complex_;
    std::vector<double> xy_;
    Py_ssize_t next_number_ = 0;
    int depth_ = 0;
};

long cell_index_of(nb::handle cell) {
    nb::object index = call_method(cell, S3D_NAME("cell_index"));
    if (!is_exact_int(index)) throw StepAside();
    long value = PyLong_AsLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) raise_current();
    return value;
}

// Depth first, each cell read on its first visit; children after the
// cell's own shapes, as the step-by-step walk numbers polygons. A cell met
// again on its own path closes a cycle, which only the general walk handles.
size_t Walk::visit(nb::handle cell) {
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
    data.open = false;
    cells_[slot] = std::move(data);
    return slot;
}

// The shapes of one layer: KLayout's own cells give them in one call
// (each_shape is shapes(layer).each() by KLayout's definition), which saves
// a call for each of the many layers a cell has nothing on.
nb::object Walk::shapes_of(nb::handle cell, size_t slot, bool each_shape) {
    if (each_shape) return call_method(cell, S3D_NAME("each_shape"), layers_[slot].index);
    nb::object shapes = call_method(cell, S3D_NAME("shapes"), layers_[slot].index);
    return call_method(shapes, S3D_NAME("each"));
}

void Walk::read_shapes(nb::handle cell, CellData &data) {
    bool each_shape = each_shape_ &&
                      Py_TYPE(cell.ptr()) == reinterpret_cast<PyTypeObject *>(cell_type_.ptr()) &&
                      shadows_none(cell, {"each_shape", "shapes", "name"});
    const StreamCell *written = each_shape && streamed_ ? streamed_->cell(data.name) : nullptr;
    for (size_t slot = 0; slot < layers_.size(); ++slot) {
        std::vector<long> numbers;
        if (!written || !read_streamed_layer(cell, slot, *written, numbers))
            read_layer(cell, slot, each_shape, numbers);
        if (!numbers.empty()) data.polygons.push_back({slot, std::move(numbers)});
    }
}

// One layer of a cell, shape by shape.
void Walk::read_layer(nb::handle cell, size_t slot, bool each_shape, std::vector<long> &numbers) {
    nb::object iterator = check(PyObject_GetIter(shapes_of(cell, slot, each_shape).ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object shape = nb::steal(raw);
        if (read_shape(shape)) add_polygon(xy_.data(), xy_.size() / 2, numbers);
    }
    if (PyErr_Occurred()) raise_current();
}

// One layer of a cell from the stream form; false, with nothing added,
// where it must be read shape by shape.
bool Walk::read_streamed_layer(nb::handle cell, size_t slot, const StreamCell &written,
                               std::vector<long> &numbers) {
    return streamed_->read(cell, layers_[slot], slot, written, integer_polygon_,
                           [&](const double *xy, size_t points) { add_polygon(xy, points, numbers); });
}

void Walk::add_polygon(const double *xy, size_t points, std::vector<long> &numbers) {
    if (bulk_) bulk_->add(next_number_, xy, points);
    else table_.store_database_units(next_number_, xy, points);
    numbers.push_back(long(next_number_++));
}

// The hull of one shape into xy_; false for a text, which has no polygon.
bool Walk::read_shape(nb::handle shape) {
    xy_.clear();
    long number = kinds_.number_of(shape);
    ShapeKinds::Kind kind = kinds_.known(number);
    if (kind == ShapeKinds::text) return false;
    if (kind == ShapeKinds::box && kinds_.read_box(shape, xy_)) return true; // else xy_ is untouched
    nb::object polygon = get_attr(shape, S3D_NAME("polygon"));
    bool is_text = polygon.is_none() && truth(call_method(shape, S3D_NAME("is_text")));
    if (kind == ShapeKinds::unknown) kinds_.learn(number, shape, polygon, is_text);
    if (is_text) return false;
    read_hull(integer_polygon_, polygon, xy_);
    return true;
}

// The placed cells and the placements of every instance: simple
// transformations as numbers, complex ones as KLayout keeps them.
void Walk::read_instances(nb::handle cell, CellData &data, std::vector<nb::object> &children) {
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

// A single simple placement straight from KLayout's instance, which spares
// making the instance's array and its text form; false for anything else.
bool Walk::read_single(nb::handle inst, Placements &placements) {
    if (!single_form_ || Py_TYPE(inst.ptr()) != reinterpret_cast<PyTypeObject *>(instance_type_.ptr()))
        return false;
    if (!arrays_checked_) { // the arrays are of the type whose methods were checked
        nb::object array = get_attr(inst, S3D_NAME("cell_inst"));
        single_form_ = Py_TYPE(array.ptr()) == reinterpret_cast<PyTypeObject *>(array_type_.ptr());
        arrays_checked_ = true;
        if (!single_form_) return false;
    }
    if (truth(call_method(inst, S3D_NAME("is_complex")))) return false;
    if (!is_count(call_method(inst, S3D_NAME("size")), 1)) return false;
    nb::object trans = get_attr(inst, S3D_NAME("trans"));
    if (Py_TYPE(trans.ptr()) != reinterpret_cast<PyTypeObject *>(trans_type_.ptr())) return false;
    nb::object bytes = call_method(trans, S3D_NAME("to_bytes"));
    std::span<const unsigned char> form = bytes_view(bytes);
    SimpleTrans parsed;
    if (!parse_trans_bytes(form.data(), form.size(), parsed) || !within_coordinate_range(parsed)) return false;
    placements.push_back(Placement::simple(parsed));
    return true;
}

// A simple placement or regular array of them from its text form, one call
// however many members it has; false for anything else.
bool Walk::read_simple_array(nb::handle array, Placements &placements) {
    if (!text_form_ || Py_TYPE(array.ptr()) != reinterpret_cast<PyTypeObject *>(array_type_.ptr()))
        return false;
    nb::object text = call_method(array, S3D_NAME("to_s"));
    std::string_view view = utf8_view(text);
    SimpleArray parsed;
    if (!parse_simple_array(view.data(), view.data() + view.size(), parsed)) return false;
    placements.reserve(size_t(std::min(parsed.columns * parsed.rows, 1LL << 20)));
    bool within = expand_simple_array(
        parsed, [&](const SimpleTrans &member) { placements.push_back(Placement::simple(member)); });
    if (!within) placements.clear();
    return within;
}

// The members one by one, as KLayout's own objects.
void Walk::read_members(nb::handle array, Placements &placements) {
    bool complex = truth(call_method(array, S3D_NAME("is_complex")));
    nb::object each = call_method(array, complex ? S3D_NAME("each_cplx_trans") : S3D_NAME("each_trans"));
    for (nb::handle trans : snapshot(each)) {
        if (complex) {
            placements.push_back(Placement::complex_number(int(complex_.size())));
            complex_.push_back(nb::borrow(trans));
            continue;
        }
        SimpleTrans simple;
        if (Py_TYPE(trans.ptr()) != reinterpret_cast<PyTypeObject *>(trans_type_.ptr()) ||
            !read_simple_trans(trans, simple) || !within_coordinate_range(simple))
            throw StepAside();
        placements.push_back(Placement::simple(simple));
    }
}

// ---- the combined tree -------------------------------------------------------------

// A stretch of a node's placements: placements as they are, or every member
// of an instance after every placement of the parent (p * t for each t, p),
// composed only when the matrices are written.
struct PlacementRun {
    bool composed; // else the members as they are
    const Placement *parents;
    size_t parent_count;
    const Placement *members;
    size_t member_count;
    size_t first; // the number of its first placement in the node

    size_t size() const { return composed ? parent_count * member_count : member_count; }
};

using ComplexMatrices = std::unordered_map<int, PlacementMatrix>;

PlacementMatrix matrix_of(const Placement &placement, const ComplexMatrices &complex) {
    if (placement.complex < 0) return simple_matrix(placement.trans());
    return complex.find(placement.complex)->second;
}

float *put(const PlacementMatrix &matrix, float *out) {
    for (double entry : matrix.entries) *out++ = float(entry);
    return out;
}

// The six float32 entries of each placement [first, first + count) of a node
// made of `runs`. No Python: the complex placements' matrices are known.
void write_matrices(const std::vector<PlacementRun> &runs, const ComplexMatrices &complex,
                    size_t first, size_t count, float *out) noexcept {
    if (count == 0) return;
    auto run = std::upper_bound(runs.begin(), runs.end(), first,
                                [](size_t k, const PlacementRun &r) { return k < r.first; }) - 1;
    for (size_t k = first, end = first + count; k < end; ++run) {
        size_t stop = std::min(end, run->first + run->size());
        if (stop <= k) continue;
        if (!run->composed) {
            for (; k < stop; ++k) out = put(matrix_of(run->members[k - run->first], complex), out);
            continue;
        }
        size_t p = (k - run->first) % run->parent_count, t = (k - run->first) / run->parent_count;
        for (; k < stop; ++k) {
            out = put(simple_matrix(compose(run->parents[p].trans(), run->members[t].trans())), out);
            if (++p == run->parent_count) p = 0, ++t;
        }
    }
}

struct Node {
    size_t cell;
    bool is_ref;
    Placements placements; // relative to the top cell, unless composed late
    std::vector<Node> children;
    std::vector<uint64_t> layers; // bit per layer slot with polygons at or below
    FloatArray matrices; // six per placement, for a placed node with polygons of its own
    // A placed node's placements as runs: one over `placements`, or, for a
    // node that places nothing, runs composed when its matrices are written.
    std::vector<PlacementRun> runs;

    bool reaches(size_t slot) const { return (layers[slot / 64] >> (slot % 64)) & 1; }
    size_t placement_count() const { return runs.empty() ? 0 : runs.back().first + runs.back().size(); }
};

// The matrices of one node, made when its text is written.
class NodeMatrices : public FloatSource {
public:
    NodeMatrices(const std::vector<PlacementRun> &runs, const ComplexMatrices &complex,
                 std::shared_ptr<const void> keep)
        : runs_(runs), complex_(complex), keep_(std::move(keep)) {}
    void fill(size_t first, size_t count, float *out) const noexcept override {
        write_matrices(runs_, complex_, first / group, count / group, out);
    }

private:
    // In what `keep_` holds: the node's runs, the complex placements'
    // matrices, and the placements the runs point into.
    const std::vector<PlacementRun> &runs_;
    const ComplexMatrices &complex_;
    std::shared_ptr<const void> keep_;
};

class TreeMaker {
public:
    TreeMaker(const Globals &globals, Walk &walk, ComplexMatrices &complex, size_t layer_count)
        : globals_(globals), walk_(walk), complex_matrices_(complex), words_((layer_count + 63) / 64) {
        trans_type_ = get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Trans"));
    }

    Node top(size_t cell) { return make(cell, false, {}, {}); }

    // Sets the viewer's matrices (six float32 entries per placement) of every
    // placed node with polygons of its own on a shown layer (`shown` by slot):
    // made when the message text is written while `keep` holds what they are
    // made from, else now.
    void make_matrices(std::vector<Node> &tops, const std::vector<bool> &shown,
                       std::shared_ptr<const void> keep);

private:
    Node make(size_t cell, bool is_ref, Placements placements, std::vector<PlacementRun> runs);
    void multiply(const Placements *parents, const Placements &children, Placements &out);
    Placement product(const Placement &p, const Placement &t);
    nb::object object_of(const Placement &placement);
    bool shows_polygons(const Node &node, const std::vector<bool> &shown) const;
    void learn_complex_matrices(const Placements &placements);

    const Globals &globals_;
    Walk &walk_;
    ComplexMatrices &complex_matrices_;
    size_t words_;
    nb::object trans_type_;
    int depth_ = 0;
};

// The references of a cell grouped by placed cell, in order of first
// appearance; each group's placements are those of its members in order,
// composed with the node's own. Below a placed node, a group of a cell that
// places nothing is composed late when every product is simple and within
// range: its placements are needed only for its matrices. (A top cell's
// groups hold their members' placements as they are: runs would only take
// more room.)
Node TreeMaker::make(size_t cell, bool is_ref, Placements placements, std::vector<PlacementRun> runs) {
    RecursionGuard guard(depth_, " while combining references");
    Node node{cell, is_ref, std::move(placements), {}, std::vector<uint64_t>(words_), {}, std::move(runs)};
    // Composed now: one run over them (their buffer stays where it is when
    // the node moves).
    if (is_ref && node.runs.empty())
        node.runs.push_back({false, nullptr, 0, node.placements.data(), node.placements.size(), 0});
    const CellData &data = walk_.cells()[cell];
    for (const auto &[slot, numbers] : data.polygons) node.layers[slot / 64] |= uint64_t(1) << (slot % 64);
    struct Group {
        size_t child;
        bool late = true;
        Placements placements;
        std::vector<PlacementRun> runs;
        size_t count = 0;
    };
    std::vector<Group> groups;
    std::vector<size_t> group_of_instance;
    std::unordered_map<size_t, size_t> group_of;
    Extent parents = is_ref && !data.instances.empty() ? Extent::of(node.placements) : Extent{};
    for (const CellData::Instance &instance : data.instances) {
        auto [found, fresh] = group_of.emplace(instance.child, groups.size());
        if (fresh) groups.push_back({instance.child});
        Group &group = groups[found->second];
        group.late = group.late && is_ref && walk_.cells()[instance.child].instances.empty() &&
                     Extent::products_within_range(parents, instance.extent);
        group_of_instance.push_back(found->second);
    }
    for (size_t i = 0; i < data.instances.size(); ++i) {
        const CellData::Instance &instance = data.instances[i];
        Group &group = groups[group_of_instance[i]];
        if (!group.late) {
            multiply(is_ref ? &node.placements : nullptr, instance.placements, group.placements);
            continue;
        }
        PlacementRun run{true, node.placements.data(), node.placements.size(),
                         instance.placements.data(), instance.placements.size(), group.count};
        group.count += run.size();
        group.runs.push_back(run);
    }
    for (Group &group : groups) {
        node.children.push_back(make(group.child, true, std::move(group.placements), std::move(group.runs)));
        const Node &made = node.children.back();
        for (size_t w = 0; w < words_; ++w) node.layers[w] |= made.layers[w];
    }
    return node;
}

// Every child placement after every parent placement, child by child,
// appended to `out`.
void TreeMaker::multiply(const Placements *parents, const Placements &children, Placements &out) {
    if (!parents) {
        out.insert(out.end(), children.begin(), children.end());
        return;
    }
    // Room for them, growing as push_back would: a group gathers many instances.
    size_t needed = out.size() + parents->size() * children.size();
    if (out.capacity() < needed) out.reserve(std::max(needed, 2 * out.capacity()));
    for (const Placement &t : children)
        for (const Placement &p : *parents) out.push_back(product(p, t));
}

Placement TreeMaker::product(const Placement &p, const Placement &t) {
    if (p.complex < 0 && t.complex < 0) {
        SimpleTrans result = compose(p.trans(), t.trans());
        if (!within_coordinate_range(result)) throw StepAside();
        return Placement::simple(result);
    }
    nb::object composed = compose_objects(globals_, object_of(p), object_of(t));
    auto &pool = walk_.complex_pool();
    pool.push_back(composed);
    return Placement::complex_number(int(pool.size() - 1));
}

nb::object TreeMaker::object_of(const Placement &placement) {
    if (placement.complex >= 0) return walk_.complex_pool()[size_t(placement.complex)];
    return call(trans_type_, nb::int_(placement.angle), nb::bool_(placement.mirror),
                nb::int_(placement.x), nb::int_(placement.y));
}

// Reads the matrices of the node's complex placements (from KLayout's
// objects) that are not known yet.
void TreeMaker::learn_complex_matrices(const Placements &placements) {
    for (const Placement &placement : placements) {
        if (placement.complex < 0 || complex_matrices_.count(placement.complex)) continue;
        complex_matrices_.emplace(placement.complex,
                                  complex_trans_matrix(walk_.complex_pool()[size_t(placement.complex)]));
    }
}

// Whether the node's own polygons lie on a shown layer.
bool TreeMaker::shows_polygons(const Node &node, const std::vector<bool> &shown) const {
    for (const auto &[slot, numbers] : walk_.cells()[node.cell].polygons)
        if (shown[slot]) return true;
    return false;
}

// Made late, each node's matrices are a source of their own. Made now, they
// fill one block for all nodes, on every core in spans of placements.
void TreeMaker::make_matrices(std::vector<Node> &tops, const std::vector<bool> &shown,
                              std::shared_ptr<const void> keep) {
    struct Placed {
        Node *node;
        size_t first; // its first placement's number in the block
    };
    std::vector<Placed> placed;
    std::vector<Node *> pending;
    for (Node &top : tops) pending.push_back(&top);
    size_t total = 0;
    while (!pending.empty()) {
        Node *node = pending.back();
        pending.pop_back();
        for (Node &child : node->children) pending.push_back(&child);
        if (!node->is_ref || !shows_polygons(*node, shown)) continue;
        learn_complex_matrices(node->placements);
        placed.push_back({node, total});
        total += node->placement_count();
    }
    if (keep) {
        for (Placed &item : placed) {
            size_t count = item.node->placement_count();
            auto source = std::make_shared<NodeMatrices>(item.node->runs, complex_matrices_, keep);
            item.node->matrices = FloatArray::made_by(std::move(source), 6 * count);
        }
        return;
    }
    constexpr size_t span = 1 << 15;
    struct Span {
        const Placed *item;
        size_t from, count; // placements of its node
    };
    std::vector<Span> spans;
    for (const Placed &item : placed)
        for (size_t at = 0, count = item.node->placement_count(); at < count; at += span)
            spans.push_back({&item, at, std::min(span, count - at)});
    FloatArray block = FloatArray::filled(6 * total, [&](float *out) {
        run_batches(
            spans.size(), span, [&](size_t i) { return spans[i].count; },
            [&](size_t i) noexcept {
                const Span &piece = spans[i];
                write_matrices(piece.item->node->runs, complex_matrices_, piece.from, piece.count,
                               out + 6 * (piece.item->first + piece.from));
            });
    });
    for (const Placed &item : placed)
        item.node->matrices = {block.owner, block.data + 6 * item.first, 6 * item.node->placement_count()};
}

// ---- the writer ----------------------------------------------------------------------

// What a leaf of a layer shows, asked of the parser once per layer.
struct LayerLook {
    nb::object name, zmin, height, color;
    bool excluded = false;
};

class Writer {
public:
    Writer(const Globals &globals, Walk &walk, std::vector<LayerLook> looks, bool encode,
           DeferredBuffers *deferred)
        : walk_(walk), looks_(std::move(looks)), encode_(encode),
          deferred_(deferred), shared_parts_(encode && deferred), leaf_locs_(looks_.size()) {
        nb::object part = globals[S3D_NAME("Part")];
        version_ = get_attr(part, S3D_NAME("version"));
        renderback_ = get_attr(part, S3D_NAME("renderback"));
        type_ = get_attr(part, S3D_NAME("type"));
        subtype_ = get_attr(part, S3D_NAME("subtype"));
        format_ = get_attr(globals[S3D_NAME("ViewerData")], S3D_NAME("format"));
    }

    nb::object cells_root(std::vector<Node> &tops);
    nb::object layers_root(std::vector<Node> &tops);

private:
    nb::object cell_node(Node &node, nb::handle parent);
    nb::object layer_node(Node &node, size_t slot, nb::handle parent);
    nb::object leaf(nb::handle name, nb::handle id, const std::vector<long> &refs, size_t slot,
                    Node &node);
    nb::object group(nb::handle name, nb::handle id, nb::handle parts, nb::object loc);
    nb::object root(const char *name, const char *id, nb::handle parts);
    template <typename Make> nb::object made_once(nb::object &kept, Make &&make);
    nb::object origin();
    nb::object leaf_loc(size_t slot);
    nb::object leaf_state();
    // A float32 array, or its buffer description as numpy_to_buffer_json gives it.
    nb::object array(const float *data, size_t count) const {
        return encode_ ? float32_description(data, count) : numpy_copy(data, count, 1, NPY_FLOAT32);
    }
    // Large arrays leave their text to the message; small ones cost less
    // written at once.
    nb::object array(const FloatArray &values) const {
        if (encode_ && deferred_ && values.size >= DeferredBuffers::smallest_deferred)
            return deferred_->describe(values);
        std::vector<float> scratch;
        return array(values.values(scratch), values.size);
    }

    Walk &walk_;
    std::vector<LayerLook> looks_;
    bool encode_;
    DeferredBuffers *deferred_; // where encoded arrays go, when set
    // The dictionaries go nowhere but into the message text: equal lists of
    // numbers may be one list, made once.
    bool shared_parts_;
    nb::object origin_, leaf_state_;
    std::vector<nb::object> leaf_locs_; // by layer slot
    nb::object version_, renderback_, type_, subtype_, format_;
};

nb::object int_list(const std::vector<long> &values) {
    nb::object list = check(PyList_New(Py_ssize_t(values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), check(PyLong_FromLong(values[i])).release().ptr());
    return list;
}

// dict[key] = value, the key an interned name: thousands of leaves are written.
void set_item(nb::handle dict, PyObject *key, nb::handle value) {
    check_status(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

// A new list of `items`.
nb::object list_of(std::initializer_list<nb::handle> items) {
    nb::list list;
    for (nb::handle item : items) list.append(item);
    return list;
}

// make(), or, where the parts may be shared, the one list it made first.
template <typename Make> nb::object Writer::made_once(nb::object &kept, Make &&make) {
    if (shared_parts_ && kept.is_valid()) return kept;
    nb::object made = make();
    if (shared_parts_) kept = made;
    return made;
}

// The loc of a group: [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]].
nb::object Writer::origin() {
    return made_once(origin_, [] {
        nb::object zero = nb::float_(0.0), one = nb::float_(1.0);
        return list_of({list_of({zero, zero, zero}), list_of({zero, zero, zero, one})});
    });
}

// The loc of a leaf: [[0, 0, zmin], [0, 0, 0, 1]].
nb::object Writer::leaf_loc(size_t slot) {
    return made_once(leaf_locs_[slot], [&] {
        nb::object zero = nb::int_(0), one = nb::int_(1);
        return list_of({list_of({zero, zero, looks_[slot].zmin}), list_of({zero, zero, zero, one})});
    });
}

// The state of a leaf: [1, 1].
nb::object Writer::leaf_state() {
    return made_once(leaf_state_, [] {
        nb::object one = nb::int_(1);
        return list_of({one, one});
    });
}

// A node of the tree: name, id, version, loc and, unless empty, parts.
nb::object Writer::group(nb::handle name, nb::handle id, nb::handle parts, nb::object loc) {
    nb::dict node;
    set_item(node, S3D_NAME("name"), name);
    set_item(node, S3D_NAME("id"), id);
    set_item(node, S3D_NAME("version"), version_);
    set_item(node, S3D_NAME("loc"), loc);
    if (PyList_GET_SIZE(parts.ptr()) > 0) set_item(node, S3D_NAME("parts"), parts);
    return node;
}

nb::object Writer::leaf(nb::handle name, nb::handle id, const std::vector<long> &refs,
                        size_t slot, Node &node) {
    const LayerLook &look = looks_[slot];
    nb::dict shape;
    set_item(shape, S3D_NAME("refs"), int_list(refs));
    set_item(shape, S3D_NAME("height"), look.height);
    check_assertion(!node.is_ref || node.matrices); // made by make_matrices
    set_item(shape, S3D_NAME("matrices"), node.is_ref ? array(node.matrices) : array(nullptr, 0));
    nb::dict part;
    set_item(part, S3D_NAME("name"), name);
    set_item(part, S3D_NAME("id"), id);
    set_item(part, S3D_NAME("version"), version_);
    set_item(part, S3D_NAME("loc"), leaf_loc(slot));
    set_item(part, S3D_NAME("shape"), shape);
    set_item(part, S3D_NAME("color"), look.color);
    set_item(part, S3D_NAME("renderback"), renderback_);
    set_item(part, S3D_NAME("state"), leaf_state());
    set_item(part, S3D_NAME("type"), type_);
    set_item(part, S3D_NAME("subtype"), subtype_);
    return part;
}

nb::object Writer::root(const char *name, const char *id, nb::handle parts) {
    nb::object node = group(nb::str(name), nb::str(id), parts, origin());
    set_item(node, S3D_NAME("format"), format_);
    PolygonTable &table = walk_.table();
    if (table.size() > 0 && deferred_ && encode_) {
        // The message text shares the outlines' blocks.
        std::vector<FloatArray> outlines;
        outlines.reserve(table.size());
        for (size_t i = 0; i < table.size(); ++i) outlines.push_back(table.outline(i));
        deferred_->describe_list(std::move(outlines), node, "instances");
    } else if (table.size() > 0) {
        nb::list instances;
        for (size_t i = 0; i < table.size(); ++i) instances.append(array(table.outline(i)));
        node["instances"] = instances;
    }
    return node;
}

// Cell mode: one leaf per shown layer of the cell, then the cells it places;
// a node without parts is left out.
nb::object Writer::cell_node(Node &node, nb::handle parent) {
    const CellData &data = walk_.cells()[node.cell];
    nb::object id = join_path(parent, data.name);
    nb::list parts;
    for (const auto &[slot, numbers] : data.polygons) {
        const LayerLook &look = looks_[slot];
        if (look.excluded) continue;
        parts.append(leaf(look.name, join_path(id, look.name), numbers, slot, node));
    }
    for (Node &child : node.children) {
        nb::object made = cell_node(child, id);
        if (made.is_valid()) parts.append(made);
    }
    if (PyList_GET_SIZE(parts.ptr()) == 0) return {};
    return group(data.name, id, parts, origin());
}

nb::object Writer::cells_root(std::vector<Node> &tops) {
    nb::list parts;
    nb::str root_id("/Cells");
    for (Node &top : tops) {
        nb::object made = cell_node(top, root_id);
        if (made.is_valid()) parts.append(made);
    }
    return root("Cells", "/Cells", parts);
}

// Layer mode: a cell's "components" leaf on the layer, then the cells it
// places that reach the layer.
nb::object Writer::layer_node(Node &node, size_t slot, nb::handle parent) {
    const CellData &data = walk_.cells()[node.cell];
    nb::object id = join_path(parent, data.name);
    nb::list parts;
    for (const auto &[own_slot, numbers] : data.polygons) {
        if (own_slot != slot) continue;
        nb::str components("components");
        parts.append(leaf(components, join_path(id, components), numbers, slot, node));
    }
    for (Node &child : node.children)
        if (child.reaches(slot)) parts.append(layer_node(child, slot, id));
    return group(data.name, id, parts, origin());
}

// One node per layer name, in order of first appearance over the top cells.
nb::object Writer::layers_root(std::vector<Node> &tops) {
    nb::list parts;
    nb::str root_id("/Layers");
    nb::dict by_id;
    for (Node &top : tops) {
        for (size_t slot = 0; slot < looks_.size(); ++slot) {
            const LayerLook &look = looks_[slot];
            if (!top.reaches(slot) || look.excluded) continue;
            nb::object id = join_path(root_id, look.name);
            nb::object layer = dict_lookup(by_id, id);
            if (!layer.is_valid()) {
                layer = group(look.name, id, nb::list(), origin());
                layer["parts"] = nb::list();
                by_id[id] = layer;
                parts.append(layer);
            }
            call_method(layer["parts"], S3D_NAME("append"), layer_node(top, slot, id));
        }
    }
    return root("Layers", "/Layers", parts);
}

// ---- the road ---------------------------------------------------------------------------

bool road_applies(const Globals &globals, nb::handle snapshot, nb::handle parser, nb::handle output) {
    if (!snapshot_holds(globals, snapshot)) return false;
    if (!nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(parser.ptr()))).is(globals[S3D_NAME("ParseGDS")]))
        return false;
    nb::object output_class = globals[S3D_NAME("Output")];
    if (!output.is(get_attr(output_class, S3D_NAME("CELL"))) &&
        !output.is(get_attr(output_class, S3D_NAME("LAYER"))))
        return false;
    if (!plain_layer_table(get_attr(parser, S3D_NAME("layers")), globals[S3D_NAME("PdkLayer")]))
        return false;
    if (!plain_patterns(get_attr(parser, S3D_NAME("exclude_layers")))) return false;
    nb::object layer_map = get_attr(parser, S3D_NAME("layer_map"));
    nb::object reverse = get_attr(parser, S3D_NAME("reverse_layer_map"));
    // Two layer indices with one (layer, datatype) share a table entry, which
    // only the step-by-step road reproduces.
    return PyDict_CheckExact(layer_map.ptr()) && PyDict_CheckExact(reverse.ptr()) &&
           PyDict_GET_SIZE(layer_map.ptr()) == PyDict_GET_SIZE(reverse.ptr());
}

// The layer slots in the order of the layer map, and how each looks.
std::vector<LayerSlot> layer_slots(nb::handle parser) {
    std::vector<LayerSlot> slots;
    for (const auto &[index, layer_spec] : items_of(get_attr(parser, S3D_NAME("layer_map")))) {
        if (!is_exact_int(index) || !PyTuple_CheckExact(layer_spec.ptr())) throw StepAside();
        slots.push_back({index, layer_spec});
    }
    return slots;
}

std::vector<LayerLook> layer_looks(const Globals &globals, nb::handle parser,
                                   const std::vector<LayerSlot> &slots) {
    nb::object fnmatch = globals[S3D_NAME("fnmatch")];
    std::vector<nb::object> patterns;
    for (nb::handle pattern : snapshot(get_attr(parser, S3D_NAME("exclude_layers"))))
        patterns.push_back(call_method(pattern, S3D_NAME("lower")));
    std::vector<LayerLook> looks;
    for (const LayerSlot &slot : slots) {
        LayerLook look;
        look.name = call_method(parser, S3D_NAME("get_name"), slot.layer_spec);
        if (!PyUnicode_CheckExact(look.name.ptr())) throw StepAside();
        look.zmin = call_method(parser, S3D_NAME("get_zmin"), slot.layer_spec);
        look.height = call_method(parser, S3D_NAME("get_height"), slot.layer_spec);
        look.color = call_method(parser, S3D_NAME("get_color"), slot.layer_spec);
        nb::object lowered = call_method(look.name, S3D_NAME("lower"));
        for (const nb::object &pattern : patterns)
            if (truth(call(fnmatch, lowered, pattern))) look.excluded = true;
        looks.push_back(std::move(look));
    }
    return looks;
}

// The walk's tables and the tree, kept as long as matrices made late need
// them: until the message text is written.
struct Scene {
    Scene(const Globals &globals, nb::handle parser, std::vector<LayerSlot> slots)
        : walk(globals, parser, std::move(slots)) {}
    Walk walk;
    std::vector<Node> tops;
    ComplexMatrices complex;
};

void forget_matrices(std::vector<Node> &nodes) {
    for (Node &node : nodes) {
        node.matrices = {};
        forget_matrices(node.children);
    }
}

nb::object build_scene(const Globals &globals, nb::handle parser, bool cell_mode, bool encode,
                       DeferredBuffers *deferred) {
    std::vector<LayerSlot> slots = layer_slots(parser);
    std::vector<LayerLook> looks = layer_looks(globals, parser, slots);
    auto scene = std::make_shared<Scene>(globals, parser, slots);
    nb::object layout = get_attr(parser, S3D_NAME("layout"));
    scene->walk.run(globals[S3D_NAME("kdb")], layout, snapshot(call_method(layout, S3D_NAME("top_cells"))));
    TreeMaker trees(globals, scene->walk, scene->complex, slots.size());
    for (size_t top : scene->walk.tops()) scene->tops.push_back(trees.top(top));
    std::vector<bool> shown;
    for (const LayerLook &look : looks) shown.push_back(!look.excluded);
    // The message text writes the matrices itself, on every core, from the
    // placements: they never need memory of their own.
    bool written_late = encode && deferred;
    // Matrices made late hold the scene: the tree lets go of them, whatever
    // happens, so that the scene goes with the last of them.
    struct Forget {
        std::vector<Node> &tops;
        ~Forget() { forget_matrices(tops); }
    } forget{scene->tops};
    trees.make_matrices(scene->tops, shown, written_late ? scene : nullptr);
    Writer writer(globals, scene->walk, std::move(looks), encode, deferred);
    nb::object root = cell_mode ? writer.cells_root(scene->tops) : writer.layers_root(scene->tops);
    scene->walk.release_simplifier();
    return root;
}

} // namespace

nb::object direct_road_snapshot(nb::handle globals) {
    nb::list values, dicts;
    for (size_t i = 0; i < sizeof road_names / sizeof road_names[0]; ++i) {
        nb::object value = Globals(globals)[nb::str(road_names[i]).ptr()];
        values.append(value);
        bool is_class = PyType_Check(value.ptr());
        dicts.append(is_class ? check(PyDict_Copy(class_dict(value).ptr())) : nb::none());
    }
    nb::list snapshot;
    snapshot.append(nb::tuple(values));
    snapshot.append(nb::tuple(dicts));
    return nb::tuple(snapshot);
}

nb::object direct_scene(const Globals &globals, nb::handle snapshot, nb::handle parser,
                        nb::handle output, bool encode, DeferredBuffers *deferred) {
    GcPause pause;
    try {
        if (!road_applies(globals, snapshot, parser, output)) return {};
        bool cell_mode = output.is(get_attr(globals[S3D_NAME("Output")], S3D_NAME("CELL")));
        return build_scene(globals, parser, cell_mode, encode, deferred);
    } catch (const StepAside &) {
        return {};
    }
}

} // namespace show3d
