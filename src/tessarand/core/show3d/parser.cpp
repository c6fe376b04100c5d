// ParseGDS. The walks over cells, shapes and placements run here with direct
// C-API calls; a method that a subclass overrides is always called through
// the instance, and the fast paths step aside for it.
#include "parser.hpp"

#include "klayout_classes.hpp"
#include "ktrans.hpp"
#include "limits.hpp"
#include "polygons.hpp"
#include "walk_records.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace show3d {
namespace {

// ---- construction and lookups ------------------------------------------------------

nb::object parser_init(const Call &call) {
    nb::handle self = call.args[0], layout = call.args[1], layers = call.args[2];
    nb::object z_scale = nb::float_(to_double(call.args[3]));
    nb::object curve_tolerance = to_optional_float(call.args[4], "curve_tolerance");
    require_exact(layers, &PyDict_Type, "layers", false);
    nb::handle exclude_layers = call.args[5];
    require_exact(exclude_layers, &PyList_Type, "exclude_layers", true);

    set_attr(self, S3D_NAME("layout"), layout);
    set_attr(self, S3D_NAME("layers"), layers);
    set_attr(self, S3D_NAME("z_scale"), z_scale);
    set_attr(self, S3D_NAME("curve_tolerance"), curve_tolerance);
    set_attr(self, S3D_NAME("exclude_layers"),
             exclude_layers.is_none() ? nb::list() : nb::borrow(exclude_layers));
    set_attr(self, S3D_NAME("instances"), nb::list());
    set_attr(self, S3D_NAME("instance_index"), nb::int_(0));
    set_attr(self, S3D_NAME("instance_mapping"), nb::dict());
    set_attr(self, S3D_NAME("parsed_cells"), nb::none());
    set_attr(self, S3D_NAME("parsed_layers"), nb::none());
    set_attr(self, S3D_NAME("cell_combined"), nb::bool_(false));
    set_attr(self, S3D_NAME("layer_combined"), nb::bool_(false));
    set_attr(self, S3D_NAME("layer_map"), nb::dict());
    set_attr(self, S3D_NAME("reverse_layer_map"), nb::dict());
    call_method(self, S3D_NAME("extract_layers"));

    nb::dict cell_index_map;
    nb::object cells = check(PyObject_GetIter(call_method(layout, S3D_NAME("each_cell")).ptr()));
    while (PyObject *raw = PyIter_Next(cells.ptr())) {
        nb::object cell = nb::steal(raw);
        cell_index_map[call_method(cell, S3D_NAME("cell_index"))] = cell;
    }
    if (PyErr_Occurred()) raise_current();
    set_attr(self, S3D_NAME("cell_index_map"), cell_index_map);
    return nb::none();
}

nb::object parser_extract_layers(const Call &call) {
    nb::handle self = call.args[0];
    nb::object layout = get_attr(self, S3D_NAME("layout"));
    nb::object layers = get_attr(self, S3D_NAME("layers"));
    nb::dict layer_map;
    nb::object indices = check(PyObject_GetIter(
        call_method(layout, S3D_NAME("layer_indices")).ptr()));
    while (PyObject *raw = PyIter_Next(indices.ptr())) {
        nb::object index = nb::steal(raw);
        nb::object info = call_method(layout, S3D_NAME("get_info"), index);
        nb::object layer_spec = nb::make_tuple(get_attr(info, S3D_NAME("layer")),
                                         get_attr(info, S3D_NAME("datatype")));
        int present = PySequence_Contains(layers.ptr(), layer_spec.ptr());
        check_status(present);
        if (present)
            layer_map[index] = nb::make_tuple(get_attr(info, S3D_NAME("layer")),
                                              get_attr(info, S3D_NAME("datatype")));
    }
    if (PyErr_Occurred()) raise_current();
    nb::dict reverse;
    for (const auto &[index, layer_spec] : items_of(layer_map)) reverse[layer_spec] = index;
    set_attr(self, S3D_NAME("layer_map"), layer_map);
    set_attr(self, S3D_NAME("reverse_layer_map"), reverse);
    return nb::none();
}

// The property table entry of a layer, or nothing when it has none.
nb::object layer_entry(nb::handle self, nb::handle layer_spec) {
    nb::object layers = get_attr(self, S3D_NAME("layers"));
    int present = PySequence_Contains(layers.ptr(), layer_spec.ptr());
    check_status(present);
    if (!present) return nb::object();
    return check(PyObject_GetItem(layers.ptr(), layer_spec.ptr()));
}

nb::object parser_get_name(const Call &call) {
    nb::object entry = layer_entry(call.args[0], call.args[1]);
    if (!entry.is_valid()) return format_text(call.args[1]);
    nb::object name = format_text(get_attr(entry, S3D_NAME("name")));
    nb::object layer_spec = format_text(call.args[1]);
    return check(PyUnicode_FromFormat("%U %U", name.ptr(), layer_spec.ptr()));
}

nb::object scaled(nb::handle self, nb::handle value) {
    return check(PyNumber_Multiply(get_attr(self, S3D_NAME("z_scale")).ptr(), value.ptr()));
}

nb::object parser_get_zmin(const Call &call) {
    nb::object entry = layer_entry(call.args[0], call.args[1]);
    if (!entry.is_valid())
        return check(PyNumber_Negative(get_attr(call.args[0], S3D_NAME("z_scale")).ptr()));
    return scaled(call.args[0], get_attr(entry, S3D_NAME("zmin")));
}

nb::object parser_get_height(const Call &call) {
    nb::object entry = layer_entry(call.args[0], call.args[1]);
    if (!entry.is_valid()) return scaled(call.args[0], nb::float_(0.05));
    return scaled(call.args[0], get_attr(entry, S3D_NAME("thickness")));
}

nb::object parser_get_color(const Call &call) {
    nb::object entry = layer_entry(call.args[0], call.args[1]);
    if (!entry.is_valid()) return nb::str("#000000");
    return get_attr(entry, S3D_NAME("color"));
}

// ---- polygon extraction ----------------------------------------------------------

nb::object parser_extract_dpolygon(const Call &call) {
    std::vector<double> xy;
    read_hull(integer_polygon_type(call.globals), call.args[1], xy);
    nb::object raw = outline_list(xy.data(), xy.size() / 2, 1000.0);
    nb::object tolerance = get_attr(call.args[0], S3D_NAME("curve_tolerance"));
    if (tolerance.is_none()) return raw;
    return simplify_outline(call.globals, raw, tolerance);
}

// ---- the cell walk ---------------------------------------------------------------

// Outline lists already in the parser's polygon table, filled in place once
// their batch is simplified: wherever code run meanwhile moved them, they end
// up holding their outline.
class OutlineLists : public OutlineSink {
public:
    Py_ssize_t add(nb::object outline) {
        targets_.push_back(std::move(outline));
        return Py_ssize_t(targets_.size() - 1);
    }
    void store(Py_ssize_t slot, const double *xy, size_t points) override {
        fill(slot, outline_list(xy, points, 1.0));
    }
    void store_list(Py_ssize_t slot, nb::handle outline) override { fill(slot, outline); }

private:
    void fill(Py_ssize_t slot, nb::handle outline) {
        check_status(PyList_SetSlice(targets_[size_t(slot)].ptr(), 0, PY_SSIZE_T_MAX, outline.ptr()));
    }
    std::vector<nb::object> targets_;
};

// What the walk learns about a cell on its first visit, reused for every
// further placement path through it in the same walk.
struct CellMemo {
    long key; // the cell index as a number
    nb::object index, name;
    std::vector<std::pair<nb::object, nb::object>> polygons; // layer key, index list
    struct Placement {
        nb::object cell;
        long cell_index;
        nb::object transformations;
    };
    std::vector<Placement> placements;
};

class CellWalker {
public:
    CellWalker(nb::handle self, const Globals &globals)
        : self_(self), globals_(globals), limits_(limits_from_environment()), read_(limits_.placements) {
        own_extraction_ = uses_own_method(self, S3D_NAME("extract_dpolygon"), extract_def());
        nb::object array_type = optional_attr(globals[S3D_NAME("kdb")], S3D_NAME("CellInstArray"));
        array_size_ = klayout_method_of(array_type, "size");
        if (array_size_.is_valid()) array_type_ = array_type;
        cell_class_ = globals[S3D_NAME("Cell")];
        reference_class_ = globals[S3D_NAME("Reference")];
        ktrans_class_ = globals[S3D_NAME("KTrans")];
        cell_index_map_ = get_attr(self, S3D_NAME("cell_index_map"));
        nb::object layer_map = get_attr(self, S3D_NAME("layer_map"));
        // The layer indices are its keys, read before the walk runs any code.
        for (nb::handle layer : snapshot(layer_map))
            layers_.push_back({nb::borrow(layer), check(PyObject_Str(layer.ptr()))});
        if (own_extraction_) prepare_extraction();
    }

    nb::object walk_top(nb::handle cell) { return parse(cell, false); }

    // Completes the outlines of the polygon table; also run when the walk
    // stops on an error, so that every polygon converted so far is complete.
    void finish() {
        if (bulk_) bulk_->flush();
    }

    static const FunctionDef &extract_def();

private:
    void prepare_extraction() {
        tolerance_ = get_attr(self_, S3D_NAME("curve_tolerance"));
        integer_polygon_ = integer_polygon_type(globals_);
        if (!tolerance_.is_none() && bulk_simplification_possible(globals_))
            bulk_.emplace(outlines_, tolerance_, globals_);
    }

    nb::object parse(nb::handle cell, bool is_ref);
    const CellMemo &memo_of(nb::handle cell);
    nb::object polygon_indices(nb::handle cell, nb::handle cell_index, const nb::object &layer);
    nb::object convert_shape(nb::handle shape, nb::handle key);
    nb::object convert_polygon(nb::handle polygon, nb::handle key);
    nb::object store_outline(nb::handle outline, nb::handle key);
    nb::object general_index(nb::handle shape, nb::handle key);
    nb::object fast_index(nb::handle shape, nb::handle key, nb::handle mapping);
    void read_placements(nb::handle cell, CellMemo &memo);
    nb::object members_of(nb::handle array, bool complex);

    nb::handle self_;
    const Globals &globals_;
    Limits limits_;
    PlacementCount read_;
    uint64_t polygons_ = 0;
    nb::object array_type_, array_size_; // KLayout's array type and its own size method
    bool own_extraction_ = false;
    nb::object cell_class_, reference_class_, ktrans_class_, cell_index_map_;
    std::vector<std::pair<nb::object, nb::object>> layers_; // layer index, its text key
    nb::object tolerance_, integer_polygon_;
    OutlineLists outlines_;
    std::optional<BulkSimplifier> bulk_;
    std::unordered_map<long, CellMemo> memo_;
    std::unordered_set<long> visited_;
    std::vector<double> xy_;
    int depth_ = 0;
};

// A shape seen for the first time: its outline enters the polygon table.
nb::object CellWalker::convert_shape(nb::handle shape, nb::handle key) {
    nb::object polygon = get_attr(shape, S3D_NAME("polygon"));
    if (own_extraction_) return convert_polygon(polygon, key);
    return store_outline(call_method(self_, S3D_NAME("extract_dpolygon"), polygon), key);
}

// self.instances.append(outline), then the shape's key gets the next
// instance index; refused past the limit of polygons. The parser's
// attributes are read anew for every shape: code run by a shape may have
// replaced them.
nb::object CellWalker::store_outline(nb::handle outline, nb::handle key) {
    if (++polygons_ > limits_.polygons) refuse_polygons(polygons_, limits_.polygons);
    call_method(get_attr(self_, S3D_NAME("instances")), S3D_NAME("append"), outline);
    nb::object index = get_attr(self_, S3D_NAME("instance_index"));
    check_status(PyObject_SetItem(get_attr(self_, S3D_NAME("instance_mapping")).ptr(), key.ptr(),
                                  index.ptr()));
    set_attr(self_, S3D_NAME("instance_index"), check(PyNumber_Add(index.ptr(), nb::int_(1).ptr())));
    return index;
}

// The outline of a polygon through our own extraction (bulk simplification
// when shapely is the real one).
nb::object CellWalker::convert_polygon(nb::handle polygon, nb::handle key) {
    xy_.clear();
    read_hull(integer_polygon_, polygon, xy_);
    size_t points = xy_.size() / 2;
    nb::object outline;
    if (bulk_) {
        outline = nb::list(); // filled when its batch is simplified
        bulk_->add(outlines_.add(outline), xy_.data(), points);
    } else {
        outline = outline_list(xy_.data(), points, 1000.0);
        if (!tolerance_.is_none()) outline = simplify_outline(globals_, outline, tolerance_);
    }
    return store_outline(outline, key);
}

// The polygon numbers of one cell on one layer, converting new shapes. Texts
// take a shape position but give no polygon.
nb::object CellWalker::polygon_indices(nb::handle cell, nb::handle cell_index,
                                       const nb::object &layer) {
    nb::list indices;
    nb::object shapes = call_method(cell, S3D_NAME("shapes"), layer);
    nb::object iterator = check(PyObject_GetIter(call_method(shapes, S3D_NAME("each")).ptr()));
    long position = 0;
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object shape = nb::steal(raw);
        nb::object key = nb::make_tuple(cell_index, layer, nb::int_(position++));
        nb::object mapping = get_attr(self_, S3D_NAME("instance_mapping"));
        nb::object index = own_extraction_ && PyDict_CheckExact(mapping.ptr())
                               ? fast_index(shape, key, mapping)
                               : general_index(shape, key);
        if (index.is_valid()) indices.append(index);
    }
    if (PyErr_Occurred()) raise_current();
    return indices;
}

// The instance index of a shape as written: texts first, then the mapping.
nb::object CellWalker::general_index(nb::handle shape, nb::handle key) {
    if (truth(call_method(shape, S3D_NAME("is_text")))) return {};
    nb::object mapping = get_attr(self_, S3D_NAME("instance_mapping"));
    if (call_method(mapping, S3D_NAME("get"), key).is_none()) convert_shape(shape, key);
    mapping = get_attr(self_, S3D_NAME("instance_mapping"));
    return check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// The same with one call into KLayout less per new shape: a shape without a
// polygon form is asked whether it is a text only then.
nb::object CellWalker::fast_index(nb::handle shape, nb::handle key, nb::handle mapping) {
    // Owned: is_text() may run code that changes the mapping.
    nb::object known = dict_lookup(mapping, key);
    if (known.is_valid() && !known.is_none()) {
        if (truth(call_method(shape, S3D_NAME("is_text")))) return {};
        return known;
    }
    nb::object polygon = get_attr(shape, S3D_NAME("polygon"));
    if (polygon.is_none() && truth(call_method(shape, S3D_NAME("is_text")))) return {};
    return convert_polygon(polygon, key);
}

void CellWalker::read_placements(nb::handle cell, CellMemo &memo) {
    nb::object iterator = check(PyObject_GetIter(call_method(cell, S3D_NAME("each_inst")).ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object inst = nb::steal(raw);
        nb::object target = check(PyObject_GetItem(cell_index_map_.ptr(),
                                                   get_attr(inst, S3D_NAME("cell_index")).ptr()));
        long target_index = PyLong_AsLong(call_method(target, S3D_NAME("cell_index")).ptr());
        if (target_index == -1 && PyErr_Occurred()) raise_current();
        // Placements at arbitrary angles or magnifications keep their
        // complex transformations; the others their simple ones.
        nb::object array = get_attr(inst, S3D_NAME("cell_inst"));
        bool complex = truth(call_method(array, S3D_NAME("is_complex")));
        memo.placements.push_back({target, target_index, members_of(array, complex)});
    }
    if (PyErr_Occurred()) raise_current();
}

// The members of an array as a list, counted against the limit as they
// come; an array of KLayout's own tells its size before any is made.
nb::object CellWalker::members_of(nb::handle array, bool complex) {
    bool counted = false;
    if (array_size_.is_valid() && is_exactly(array, array_type_)) {
        nb::object size = call(array_size_, array);
        if (PyLong_CheckExact(size.ptr())) {
            uint64_t members = PyLong_AsUnsignedLongLong(size.ptr());
            if (members == uint64_t(-1) && PyErr_Occurred()) raise_current();
            read_.add(members);
            counted = true;
        }
    }
    nb::object each = call_method(array, complex ? S3D_NAME("each_cplx_trans") : S3D_NAME("each_trans"));
    nb::object iterator = check(PyObject_GetIter(each.ptr()));
    nb::list members;
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object member = nb::steal(raw);
        if (!counted) read_.add(1);
        check_status(PyList_Append(members.ptr(), member.ptr()));
    }
    if (PyErr_Occurred()) raise_current();
    return members;
}

const CellMemo &CellWalker::memo_of(nb::handle cell) {
    nb::object index = call_method(cell, S3D_NAME("cell_index"));
    long key = PyLong_AsLong(index.ptr());
    if (key == -1 && PyErr_Occurred()) raise_current();
    auto found = memo_.find(key);
    if (found != memo_.end()) return found->second;
    CellMemo memo;
    memo.key = key;
    memo.index = index;
    memo.name = get_attr(cell, S3D_NAME("name"));
    for (const auto &[layer, layer_key] : layers_) {
        nb::object indices = polygon_indices(cell, index, layer);
        if (PyList_GET_SIZE(indices.ptr()) > 0) memo.polygons.push_back({layer_key, indices});
    }
    read_placements(cell, memo);
    return memo_.emplace(key, std::move(memo)).first->second;
}

nb::object CellWalker::parse(nb::handle cell, bool is_ref) {
    RecursionGuard guard(depth_, " while parsing the cell hierarchy");
    const CellMemo &memo = memo_of(cell);
    nb::object record = call(is_ref ? reference_class_ : cell_class_, memo.index, memo.name);
    if (!memo.polygons.empty()) {
        nb::object polygons = get_attr(record, S3D_NAME("polygons"));
        for (const auto &[layer_key, indices] : memo.polygons)
            check_status(PyObject_SetItem(polygons.ptr(), layer_key.ptr(),
                                          check(PyList_GetSlice(indices.ptr(), 0, PY_SSIZE_T_MAX)).ptr()));
    }
    long own_index = memo.key;
    visited_.insert(own_index);
    nb::object references = get_attr(record, S3D_NAME("references"));
    for (const CellMemo::Placement &placement : memo.placements) {
        if (visited_.count(placement.cell_index)) continue; // would close a cycle
        nb::object reference = parse(placement.cell, true);
        set_attr(reference, S3D_NAME("trans_count"),
                 nb::int_(PyList_GET_SIZE(placement.transformations.ptr())));
        set_attr(reference, S3D_NAME("trans"), ktrans_list(ktrans_class_, placement.transformations));
        call_method(references, S3D_NAME("append"), reference);
    }
    visited_.erase(own_index);
    return record;
}

// One walk per parse_cells call, or one for all top cells of an export when
// parse_cells is ours.
nb::object walk_cells(const Call &call, const std::vector<nb::object> &tops) {
    CellWalker walker(call.args[0], call.globals);
    nb::list records;
    try {
        for (const nb::object &top : tops) records.append(walker.walk_top(top));
    } catch (...) {
        walker.finish();
        throw;
    }
    walker.finish();
    return records;
}

nb::object parser_parse_cells(const Call &call) {
    GcPause pause;
    nb::object records = walk_cells(call, {nb::borrow(call.args[1])});
    return nb::borrow(PyList_GET_ITEM(records.ptr(), 0));
}

const FunctionDef &parse_cells_def();
const FunctionDef &combine_references_def();
const FunctionDef &export_cells_def();

// The module's snapshot for the direct road, which start-up puts into the
// list export_cells is made with once every name is bound; None before.
nb::object road_snapshot(nb::handle holder) {
    if (!PyList_CheckExact(holder.ptr()) || PyList_GET_SIZE(holder.ptr()) != 1) return nb::none();
    return list_item(holder, 0);
}

// The records of the layout's top cells: from the tables' walk where the
// parser's walk methods are its own (`wanted` made of them), else from the
// general walk or the parser's own parse_cells.
WalkRecords export_records(const Call &call, nb::handle self, Export wanted,
                           const std::function<bool()> &combination_stands = [] { return true; }) {
    nb::object tops = check(PySequence_List(
        call_method(get_attr(self, S3D_NAME("layout")), S3D_NAME("top_cells")).ptr()));
    WalkRecords walked;
    if (!uses_own_method(self, S3D_NAME("parse_cells"), parse_cells_def())) {
        nb::list records;
        for (nb::handle top : tops) records.append(call_method(self, S3D_NAME("parse_cells"), top));
        walked.cells = records;
        return walked;
    }
    if (uses_own_method(self, S3D_NAME("extract_dpolygon"), CellWalker::extract_def()))
        walked = records_from_walk(call.globals, road_snapshot(call.data), self, tops, wanted,
                                   limits_from_environment(), combination_stands);
    if (!walked.cells.is_valid()) {
        std::vector<nb::object> top_cells;
        for (nb::handle top : tops) top_cells.push_back(nb::borrow(top));
        walked.cells = walk_cells(call, top_cells);
    }
    return walked;
}

void store_cells(const Call &call, nb::handle self, nb::handle cells) {
    set_attr(self, S3D_NAME("parsed_cells"),
             show3d::call(call.globals[S3D_NAME("ParsedCells")], get_attr(self, S3D_NAME("instances")),
                          get_attr(self, S3D_NAME("layer_map")), cells));
}

bool combines_its_own_way(nb::handle self) {
    return uses_own_method(self, S3D_NAME("combine_references"), combine_references_def());
}

nb::object parser_export_cells(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0];
    bool combine = truth(call.args[1]);
    WalkRecords walked =
        export_records(call, self, combine && combines_its_own_way(self) ? Export::combined_cells : Export::records,
                       [&] { return combines_its_own_way(self); });
    store_cells(call, self, walked.cells);
    // The flag follows the tree just stored.
    if (walked.combined)
        set_attr(self, S3D_NAME("cell_combined"), nb::bool_(true));
    else if (combine)
        call_method(self, S3D_NAME("combine_references"), output_member(call.globals, S3D_NAME("CELL")));
    else
        set_attr(self, S3D_NAME("cell_combined"), nb::bool_(false));
    return get_attr(self, S3D_NAME("parsed_cells"));
}

// ---- layer split -------------------------------------------------------------------

bool is_empty_record(nb::handle record) {
    return length(get_attr(record, S3D_NAME("polygons"))) == 0 &&
           length(get_attr(record, S3D_NAME("references"))) == 0;
}

// A pruned copy of `cell` holding only the layer's polygons and the branches
// that lead to them; polygon and placement lists are shared, not copied.
nb::object filter_by_layer(const Globals &globals, nb::handle cell, nb::handle layer_id, int &depth) {
    RecursionGuard guard(depth, " while splitting layers");
    nb::object polygons = get_attr(cell, S3D_NAME("polygons"));
    nb::object own = call_method(polygons, S3D_NAME("get"), layer_id);
    nb::object cls = get_attr(cell, S3D_NAME("__class__"));
    nb::object copy;
    nb::object cell_index = get_attr(cell, S3D_NAME("cell_index")), name = get_attr(cell, S3D_NAME("name"));
    if (own.is_none()) {
        copy = call_keywords(cls, {}, S3D_KEYWORDS("cell_index", "name"), {cell_index, name});
    } else {
        nb::dict layer_polygons;
        layer_polygons[layer_id] = call_method(polygons, S3D_NAME("get"), layer_id, nb::list());
        copy = call_keywords(cls, {}, S3D_KEYWORDS("cell_index", "name", "polygons"),
                             {cell_index, name, layer_polygons});
    }
    if (is_instance(cell, globals[S3D_NAME("Reference")])) {
        nb::object trans = get_attr(cell, S3D_NAME("trans"));
        set_attr(copy, S3D_NAME("trans_count"), nb::int_(length(trans)));
        set_attr(copy, S3D_NAME("trans"), trans);
    }
    nb::object iterator = check(PyObject_GetIter(get_attr(cell, S3D_NAME("references")).ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object child = filter_by_layer(globals, nb::steal(raw), layer_id, depth);
        if (!is_empty_record(child))
            call_method(get_attr(copy, S3D_NAME("references")), S3D_NAME("append"), child);
    }
    if (PyErr_Occurred()) raise_current();
    return copy;
}

nb::object parser_export_layers(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0];
    bool combine = truth(call.args[1]);
    bool fresh = get_attr(self, S3D_NAME("parsed_cells")).is_none();
    auto exports_its_own_way = [&] {
        return uses_own_method(self, S3D_NAME("export_cells"), export_cells_def()) && combines_its_own_way(self);
    };
    if (fresh && combine && exports_its_own_way()) {
        // What export_cells(combine=False) does, and, where the tables'
        // walk ran, the combined layer trees with it.
        WalkRecords walked = export_records(call, self, Export::combined_layers, exports_its_own_way);
        store_cells(call, self, walked.cells);
        set_attr(self, S3D_NAME("cell_combined"), nb::bool_(false));
        if (walked.layers.is_valid()) {
            nb::object parsed_cells = get_attr(self, S3D_NAME("parsed_cells"));
            set_attr(self, S3D_NAME("parsed_layers"),
                     show3d::call(call.globals[S3D_NAME("ParsedLayers")], get_attr(parsed_cells, S3D_NAME("instances")),
                                  get_attr(parsed_cells, S3D_NAME("layer_map")), walked.layers));
            set_attr(self, S3D_NAME("layer_combined"), nb::bool_(true));
            return get_attr(self, S3D_NAME("parsed_layers"));
        }
    } else if (fresh || truth(get_attr(self, S3D_NAME("cell_combined")))) {
        call_keywords(get_attr(self, S3D_NAME("export_cells")), {}, S3D_KEYWORDS("combine"),
                      {nb::handle(Py_False)});
    }
    nb::object parsed_cells = get_attr(self, S3D_NAME("parsed_cells"));
    check_assertion(!parsed_cells.is_none());
    std::vector<nb::object> layer_ids;
    for (nb::handle layer : get_attr(self, S3D_NAME("layer_map")))
        layer_ids.push_back(check(PyObject_Str(layer.ptr())));
    nb::list layers;
    for (nb::handle cell : get_attr(parsed_cells, S3D_NAME("cells"))) {
        nb::dict per_layer;
        for (const nb::object &layer_id : layer_ids) {
            int depth = 0;
            nb::object copy = filter_by_layer(call.globals, cell, layer_id, depth);
            if (!is_empty_record(copy)) per_layer[layer_id] = copy;
        }
        layers.append(per_layer);
    }
    set_attr(self, S3D_NAME("parsed_layers"),
             show3d::call(call.globals[S3D_NAME("ParsedLayers")],
                          get_attr(parsed_cells, S3D_NAME("instances")),
                          get_attr(parsed_cells, S3D_NAME("layer_map")), layers));
    if (combine)
        call_method(self, S3D_NAME("combine_references"), output_member(call.globals, S3D_NAME("LAYER")));
    else
        set_attr(self, S3D_NAME("layer_combined"), nb::bool_(false));
    return get_attr(self, S3D_NAME("parsed_layers"));
}

// ---- reference combination --------------------------------------------------------

// Merges references per cell index, in order of first appearance: the first of
// each group is kept and given the placements of the whole group composed with
// the parent placements; nested references follow suit.
//
// The per-layer trees of one top cell share their placement lists with the
// cell tree, so a group met again in another layer (same parent placements,
// same member lists) gets a new list of the KTrans already computed instead of
// composing them again.
class Combiner {
public:
    Combiner(const Globals &globals, PlacementCount &made) : products_(globals), made_(made) {}

    void combine_cell(nb::handle cell) {
        nb::object references = get_attr(cell, S3D_NAME("references"));
        if (length(references) == 0) return;
        nb::object combined = combine(references, nb::none(), 0);
        set_attr(cell, S3D_NAME("references"), check_result(combined, &PyList_Type));
    }

private:
    struct Known {
        nb::object placements;
        size_t key;
        std::vector<nb::object> members; // keeps the identities in the key valid
    };

    nb::object combine(nb::handle references, nb::handle parent_trans, size_t parent_key);
    nb::object group_placements(nb::handle group, nb::handle parent_trans, size_t parent_key,
                                size_t &key);

    void count_products(nb::handle parent_trans, nb::handle trans);

    PlacementProducts products_;
    PlacementCount &made_; // over the whole combination
    std::map<std::vector<uintptr_t>, Known> known_;
    size_t next_key_ = 1;
    int depth_ = 0;
};

nb::object Combiner::group_placements(nb::handle group, nb::handle parent_trans,
                                      size_t parent_key, size_t &key) {
    std::vector<uintptr_t> identity{parent_key};
    std::vector<nb::object> members;
    for (nb::handle member : nb::borrow<nb::list>(group)) {
        members.push_back(get_attr(member, S3D_NAME("trans")));
        identity.push_back(reinterpret_cast<uintptr_t>(members.back().ptr()));
    }
    bool reusable = products_.own();
    if (reusable) {
        auto found = known_.find(identity);
        if (found != known_.end()) {
            key = found->second.key;
            return check(PyList_GetSlice(found->second.placements.ptr(), 0, PY_SSIZE_T_MAX));
        }
    }
    nb::list placements;
    for (const nb::object &trans : members) {
        count_products(parent_trans, trans);
        nb::object product = products_.multiply(parent_trans, trans);
        check_assertion(!product.is_none());
        nb::object extended = check(PyNumber_InPlaceAdd(placements.ptr(), product.ptr()));
    }
    key = next_key_++;
    if (reusable)
        known_.emplace(std::move(identity),
                       Known{check(PyList_GetSlice(placements.ptr(), 0, PY_SSIZE_T_MAX)), key,
                             std::move(members)});
    return placements;
}

// The placements KTrans.multiply is about to make, counted against the
// limit before it makes them: a list's items, anything else one.
void Combiner::count_products(nb::handle parent_trans, nb::handle trans) {
    auto items = [](nb::handle side) {
        return PyList_CheckExact(side.ptr()) ? uint64_t(PyList_GET_SIZE(side.ptr())) : uint64_t(1);
    };
    made_.add(saturating_multiply(items(parent_trans), items(trans)));
}

nb::object Combiner::combine(nb::handle references, nb::handle parent_trans, size_t parent_key) {
    require_exact(references, &PyList_Type, "references", false);
    RecursionGuard guard(depth_, " while combining references");
    // Groups in order of first appearance, found by cell index. The list is
    // read from a snapshot: a reference's cell index may come from code of a
    // record subclass that changes it.
    std::vector<nb::list> groups;
    nb::dict group_of;
    for (nb::handle reference : snapshot(references)) {
        nb::object index = get_attr(reference, S3D_NAME("cell_index"));
        nb::object known = dict_lookup(group_of, index);
        if (known.is_valid()) {
            groups[size_t(PyLong_AsSsize_t(known.ptr()))].append(reference);
            continue;
        }
        group_of[index] = nb::int_(groups.size());
        groups.emplace_back().append(reference);
    }
    nb::list result;
    for (const nb::list &group : groups) {
        nb::object kept = list_item(group, 0);
        size_t key = 0;
        nb::object placements = group_placements(group, parent_trans, parent_key, key);
        nb::object nested = get_attr(kept, S3D_NAME("references"));
        if (length(nested) > 0)
            set_attr(kept, S3D_NAME("references"), combine(nested, placements, key));
        set_attr(kept, S3D_NAME("trans_count"), nb::int_(PyList_GET_SIZE(placements.ptr())));
        set_attr(kept, S3D_NAME("trans"), placements);
        result.append(kept);
    }
    return result;
}

nb::object parser_combine_references(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0], output = call.args[1];
    PlacementCount made(limits_from_environment().placements);
    if (equals(output, output_member(call.globals, S3D_NAME("CELL")))) {
        nb::object parsed = get_attr(self, S3D_NAME("parsed_cells"));
        check_assertion(!parsed.is_none());
        Combiner combiner(call.globals, made);
        for (nb::handle cell : get_attr(parsed, S3D_NAME("cells"))) combiner.combine_cell(cell);
        set_attr(self, S3D_NAME("cell_combined"), nb::bool_(true));
        return parsed;
    }
    if (equals(output, output_member(call.globals, S3D_NAME("LAYER")))) {
        nb::object parsed = get_attr(self, S3D_NAME("parsed_layers"));
        check_assertion(!parsed.is_none());
        for (nb::handle per_layer : get_attr(parsed, S3D_NAME("layers"))) {
            Combiner combiner(call.globals, made); // the trees of one top cell share lists
            for (nb::handle tree : call_method(per_layer, S3D_NAME("values")))
                combiner.combine_cell(tree);
        }
        set_attr(self, S3D_NAME("layer_combined"), nb::bool_(true));
        return parsed;
    }
    return nb::none();
}

// ---- the class -----------------------------------------------------------------------

const FunctionDef init_def{
    "__init__", "ParseGDS.__init__", nullptr,
    {{"self"}, {"layout"}, {"layers"}, {"z_scale"}, {"curve_tolerance"}, {"exclude_layers"}},
    {{"layout", "kdb.Layout"},
     {"layers", "dict[tuple[int, int], PdkLayer]"},
     {"z_scale", "float"},
     {"curve_tolerance", "float | None"},
     {"exclude_layers", "list[str] | None"},
     {"return", "None"}},
    parser_init};

const FunctionDef extract_layers_def{
    "extract_layers", "ParseGDS.extract_layers",
    "Map the layout's layer indices to the (layer, datatype) pairs of the property table.",
    {{"self"}}, {{"return", "None"}}, parser_extract_layers};

const FunctionDef get_name_def{"get_name", "ParseGDS.get_name", "Display name of a layer.",
                               {{"self"}, {"layer_spec"}},
                               {{"layer_spec", "LayerSpec"}, {"return", "str"}}, parser_get_name};
const FunctionDef get_zmin_def{"get_zmin", "ParseGDS.get_zmin",
                               "Bottom of the layer's prisms in viewer units.",
                               {{"self"}, {"layer_spec"}},
                               {{"layer_spec", "LayerSpec"}, {"return", "float"}}, parser_get_zmin};
const FunctionDef get_height_def{"get_height", "ParseGDS.get_height",
                                 "Thickness of the layer's prisms in viewer units.",
                                 {{"self"}, {"layer_spec"}},
                                 {{"layer_spec", "LayerSpec"}, {"return", "float"}},
                                 parser_get_height};
const FunctionDef get_color_def{"get_color", "ParseGDS.get_color", "The layer's colour.",
                                {{"self"}, {"layer_spec"}},
                                {{"layer_spec", "LayerSpec"}, {"return", "WebColor"}},
                                parser_get_color};

const FunctionDef extract_dpolygon_def{
    "extract_dpolygon", "ParseGDS.extract_dpolygon",
    "Convert a polygon to an open list of (x, y) points in micrometres (outer\n"
    "contour only), simplified with the parser's curve tolerance unless it is None.",
    {{"self"}, {"polygon"}}, {{"polygon", "kdb.Polygon"}, {"return", "Polygon"}},
    parser_extract_dpolygon};

const FunctionDef parse_cells_definition{
    "parse_cells", "ParseGDS.parse_cells",
    "Parse a cell and everything below it into a Cell tree, extending the polygon table.",
    {{"self"}, {"cell"}}, {{"cell", "kdb.Cell"}, {"return", "Cell"}}, parser_parse_cells};

const FunctionDef export_cells_definition{
    "export_cells", "ParseGDS.export_cells",
    "Parse every top cell into ParsedCells, merging repeated references unless\n"
    "combine is false.",
    {{"self"}, {"combine", ParamKind::keyword_only}},
    {{"combine", "bool"}, {"return", "ParsedCells"}}, parser_export_cells};

const FunctionDef export_layers_def{
    "export_layers", "ParseGDS.export_layers",
    "Split the cell tree into one pruned tree per top cell and layer, merging\n"
    "repeated references unless combine is false.",
    {{"self"}, {"combine", ParamKind::keyword_only}},
    {{"combine", "bool"}, {"return", "ParsedLayers"}}, parser_export_layers};

const FunctionDef combine_references_definition{
    "combine_references", "ParseGDS.combine_references",
    "Merge references to the same cell and compose placements down the trees of\n"
    "the given output mode.",
    {{"self"}, {"output"}},
    {{"output", "Output"}, {"return", "ParsedCells | ParsedLayers"}},
    parser_combine_references};

const FunctionDef &parse_cells_def() { return parse_cells_definition; }
const FunctionDef &combine_references_def() { return combine_references_definition; }
const FunctionDef &export_cells_def() { return export_cells_definition; }
const FunctionDef &CellWalker::extract_def() { return extract_dpolygon_def; }

} // namespace

bool uses_own_layer_lookups(nb::handle parser) {
    for (const FunctionDef *def : {&get_name_def, &get_zmin_def, &get_height_def, &get_color_def})
        if (!uses_own_method(parser, nb::str(def->name).ptr(), *def)) return false;
    return true;
}

nb::dict parser_namespace(nb::handle globals, nb::handle road_snapshot_holder) {
    nb::dict namespace_;
    nb::dict keyword_true;
    keyword_true["combine"] = nb::bool_(true);
    Defaults combine_default;
    combine_default.keyword = keyword_true;
    Defaults export_cells_defaults = combine_default;
    export_cells_defaults.data = nb::borrow(road_snapshot_holder);
    Defaults init_defaults;
    init_defaults.positional = nb::make_tuple(1.0, 0.01, nb::none());
    add_method(namespace_, globals, init_def, init_defaults);
    for (const FunctionDef *def : {&extract_layers_def, &get_name_def, &get_zmin_def,
                                   &get_height_def, &get_color_def, &extract_dpolygon_def,
                                   &parse_cells_definition, &combine_references_definition})
        add_method(namespace_, globals, *def);
    add_method(namespace_, globals, export_cells_definition, export_cells_defaults);
    Defaults export_layers_defaults = export_cells_defaults;
    add_method(namespace_, globals, export_layers_def, export_layers_defaults);
    return namespace_;
}

} // namespace show3d
