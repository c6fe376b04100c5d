// The general cell walk runs with direct C-API calls; a method that a
// subclass overrides is always called through the instance, and the fast
// paths step aside for it.
#include "parser_walk.hpp"

#include "klayout_classes.hpp"
#include "ktrans.hpp"
#include "limits.hpp"
#include "polygons.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace show3d {
namespace {

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
        own_extraction_ = uses_own_method(self, S3D_NAME("extract_dpolygon"), extract_dpolygon_def());
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

nb::object parser_parse_cells(const Call &call) {
    GcPause pause;
    nb::object records = walk_cells(call, {nb::borrow(call.args[1])});
    return nb::borrow(PyList_GET_ITEM(records.ptr(), 0));
}

const FunctionDef extract_dpolygon_definition{
    "extract_dpolygon", "ParseGDS.extract_dpolygon",
    "Convert a polygon to an open list of (x, y) points in micrometres (outer\n"
    "contour only), simplified with the parser's curve tolerance unless it is None.",
    {{"self"}, {"polygon"}}, {{"polygon", "kdb.Polygon"}, {"return", "Polygon"}},
    parser_extract_dpolygon};

const FunctionDef parse_cells_definition{
    "parse_cells", "ParseGDS.parse_cells",
    "Parse a cell and everything below it into a Cell tree, extending the polygon table.",
    {{"self"}, {"cell"}}, {{"cell", "kdb.Cell"}, {"return", "Cell"}}, parser_parse_cells};

} // namespace

const FunctionDef &extract_dpolygon_def() { return extract_dpolygon_definition; }
const FunctionDef &parse_cells_def() { return parse_cells_definition; }

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

} // namespace show3d
