// ParseGDS's export on the direct road's walk. The walk reads every cell
// once into its tables, in the order of the general walk (CellWalker in
// parser_walk.cpp); the records are then made from those tables as the general
// walk makes them: one record per path through the hierarchy, the polygon
// numbers of a cell copied into each, a new KTrans per placement and record
// around transformations shared by the records of one cell. A combining
// export makes what combine_references would then leave from the direct
// road's combined tree (tree.hpp): the combined records, or the records and
// the combined layer trees.
#include "walk_records.hpp"

#include "klayout_own.hpp"
#include "ktrans.hpp"
#include "road.hpp"
#include "tree.hpp"
#include "walk.hpp"

#include <algorithm>
#include <functional>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

namespace show3d {
namespace {

using namespace direct;

// The parser's outlines as the general walk makes them: lists of (x, y)
// float pairs in micrometres, by polygon number.
class OutlineObjects : public OutlineTable {
public:
    void store(Py_ssize_t index, const double *xy, size_t points) override {
        at(index) = outline_list(xy, points, 1.0);
    }
    void store_list(Py_ssize_t index, nb::handle outline) override {
        at(index) = check(PySequence_List(outline.ptr()));
    }
    void store_database_units(Py_ssize_t index, const double *xy, size_t points) override {
        at(index) = outline_list(xy, points, 1000.0);
    }
    nb::handle operator[](size_t index) const { return outlines_[index]; }
    // Whether every polygon number up to `count` has its outline.
    bool complete(size_t count) const {
        return outlines_.size() == count &&
               std::all_of(outlines_.begin(), outlines_.end(), [](const nb::object &o) { return o.is_valid(); });
    }

private:
    nb::object &at(Py_ssize_t index) {
        if (size_t(index) >= outlines_.size()) outlines_.resize(size_t(index) + 1);
        return outlines_[size_t(index)];
    }
    std::vector<nb::object> outlines_;
};

// What the walk takes from the parser and the module: the parser's tables
// as its constructor left them, and KLayout's simple transformation type.
struct PlainInputs {
    nb::object instances, mapping, trans_type;
};

// Whether the walk runs nothing of the caller's, so that leaving it for the
// general walk midway repeats nothing the caller could see, and makes what
// the general walk makes: the parser and its tables as its constructor left
// them, plain data, and KLayout's own cells. What it takes when it does.
std::optional<PlainInputs> plain_inputs(const Globals &globals, nb::handle snapshot, nb::handle parser,
                                        nb::handle tops) {
    if (!parser_read_plainly(globals, snapshot, parser)) return {};
    PlainInputs inputs{get_attr(parser, S3D_NAME("instances")), get_attr(parser, S3D_NAME("instance_mapping")),
                       get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Trans"))};
    if (!PyList_CheckExact(inputs.instances.ptr()) || PyList_GET_SIZE(inputs.instances.ptr()) != 0 ||
        !PyDict_CheckExact(inputs.mapping.ptr()) || PyDict_GET_SIZE(inputs.mapping.ptr()) != 0 ||
        !is_count(get_attr(parser, S3D_NAME("instance_index")), 0))
        return {};
    nb::object tolerance = get_attr(parser, S3D_NAME("curve_tolerance"));
    if (!tolerance.is_none() && !PyFloat_CheckExact(tolerance.ptr())) return {};
    if (!PyDict_CheckExact(get_attr(parser, S3D_NAME("layer_map")).ptr()) || !PyList_CheckExact(tops.ptr()) ||
        !cells_read_plainly(globals[S3D_NAME("kdb")], tops))
        return {};
    return inputs;
}

// A record as the walk made it, with what the layer split reads of it.
struct MadeRecord {
    nb::object record;
    std::vector<std::pair<size_t, nb::object>> polygons; // its own lists, by layer slot
    nb::object placements;                               // a reference's KTrans
    std::vector<MadeRecord> references;
};

// The placement lists of a top cell's combined groups, by node, made once
// for all its layer trees.
using GroupPlacements = std::unordered_map<const Node *, nb::object>;

class RecordMaker {
public:
    // Simple placements are made through `trans_type`.
    RecordMaker(const Globals &globals, Walk &walk, nb::handle trans_type)
        : walk_(walk), cell_class_(globals[S3D_NAME("Cell")]), reference_class_(globals[S3D_NAME("Reference")]),
          ktrans_class_(globals[S3D_NAME("KTrans")]), trans_type_(nb::borrow(trans_type)),
          memos_(walk.cells().size()) {
        for (const LayerSlot &layer : walk.layers()) layer_keys_.push_back(check(PyObject_Str(layer.index.ptr())));
    }

    // The records of the cell as the general walk makes them.
    MadeRecord record(size_t cell, bool is_ref);
    // The records of a top cell's combined tree as combine_references
    // leaves them.
    nb::object combined_record(const Node &top);
    // What the layer split and combine_references leave of a top cell's
    // records (`top`, made by record()), by layer: from its combined tree.
    nb::object layer_trees(const MadeRecord &top, const Node &tree);

private:
    // What the records of one cell share.
    struct Memo {
        bool made = false;
        nb::object index;
        std::vector<std::pair<size_t, nb::object>> polygons; // layer slot, list of numbers
        std::vector<nb::object> transformations;             // by instance, a list of KLayout's
    };

    const Memo &memo_of(size_t cell);
    const std::vector<nb::object> &transformations_of(size_t cell);
    nb::object transformations(const Placements &placements);
    nb::object new_record(size_t cell, bool is_ref, MadeRecord *made = nullptr);
    void set_placements(nb::handle reference, nb::handle ktrans_list);
    nb::object combined_reference(const Node &node, nb::handle placements);
    static nb::object members_placements(const Node &group, const std::vector<nb::object> &placements);
    nb::object layer_copy(const MadeRecord &source, const Node &node, size_t slot, GroupPlacements &groups);

    Walk &walk_;
    nb::object cell_class_, reference_class_, ktrans_class_, trans_type_;
    std::vector<nb::object> layer_keys_; // by layer slot
    std::vector<Memo> memos_;            // by cell slot
    int depth_ = 0;
};

// Each part of a memo is set whole or not at all: the combined records,
// failing, leave the maker to the uncombined ones.
const RecordMaker::Memo &RecordMaker::memo_of(size_t cell) {
    Memo &memo = memos_[cell];
    if (memo.made) return memo;
    const CellData &data = walk_.cells()[cell];
    std::vector<std::pair<size_t, nb::object>> polygons;
    for (const auto &[slot, numbers] : data.polygons) {
        nb::list list;
        for (long number : numbers) check_status(PyList_Append(list.ptr(), nb::int_(number).ptr()));
        polygons.push_back({slot, list});
    }
    memo.index = nb::int_(data.index);
    memo.polygons = std::move(polygons);
    memo.made = true;
    return memo;
}

// Made on first need: the combined records need them for top cells only.
const std::vector<nb::object> &RecordMaker::transformations_of(size_t cell) {
    std::vector<nb::object> &made = memos_[cell].transformations;
    const CellData &data = walk_.cells()[cell];
    if (made.empty() && !data.instances.empty()) {
        std::vector<nb::object> lists;
        for (const CellData::Instance &instance : data.instances) lists.push_back(transformations(instance.placements));
        made = std::move(lists);
    }
    return made;
}

// KLayout's transformations of one instance, as its array gives them: its
// own complex ones, and simple ones made anew from their numbers.
nb::object RecordMaker::transformations(const Placements &placements) {
    nb::list list;
    for (const Placement &placement : placements)
        check_status(PyList_Append(list.ptr(), walk_.placement_object(placement, trans_type_).ptr()));
    return list;
}

// A record of the cell with its polygons and no references yet; its
// polygon lists noted in `made`.
nb::object RecordMaker::new_record(size_t cell, bool is_ref, MadeRecord *made) {
    const Memo &memo = memo_of(cell);
    nb::object record = call(is_ref ? reference_class_ : cell_class_, memo.index, walk_.cells()[cell].name);
    if (!memo.polygons.empty()) {
        nb::object polygons = get_attr(record, S3D_NAME("polygons"));
        for (const auto &[slot, numbers] : memo.polygons) {
            nb::object own = check(PyList_GetSlice(numbers.ptr(), 0, PY_SSIZE_T_MAX));
            check_status(PyObject_SetItem(polygons.ptr(), layer_keys_[slot].ptr(), own.ptr()));
            if (made) made->polygons.push_back({slot, own});
        }
    }
    return record;
}

void RecordMaker::set_placements(nb::handle reference, nb::handle ktrans_list) {
    set_attr(reference, S3D_NAME("trans_count"), nb::int_(PyList_GET_SIZE(ktrans_list.ptr())));
    set_attr(reference, S3D_NAME("trans"), ktrans_list);
}

MadeRecord RecordMaker::record(size_t cell, bool is_ref) {
    RecursionGuard guard(depth_, " while parsing the cell hierarchy");
    MadeRecord made;
    made.record = new_record(cell, is_ref, &made);
    const CellData &data = walk_.cells()[cell];
    nb::object references = get_attr(made.record, S3D_NAME("references"));
    for (size_t i = 0; i < data.instances.size(); ++i) {
        MadeRecord reference = this->record(data.instances[i].child, true);
        reference.placements = ktrans_list(ktrans_class_, transformations_of(cell)[i]);
        set_placements(reference.record, reference.placements);
        call_method(references, S3D_NAME("append"), reference.record);
        made.references.push_back(std::move(reference));
    }
    return made;
}

// A top cell's groups keep their members' placements as they are: KTrans
// around the transformations the records of their cell share. Below them,
// every placement is a product, a KTrans around a new transformation.
nb::object RecordMaker::combined_record(const Node &top) {
    RecursionGuard guard(depth_, " while combining references");
    nb::object record = new_record(top.cell, false);
    std::vector<nb::object> placements; // by instance
    for (const nb::object &transformations : transformations_of(top.cell))
        placements.push_back(ktrans_list(ktrans_class_, transformations));
    nb::object references = get_attr(record, S3D_NAME("references"));
    for (const Node &group : top.children)
        call_method(references, S3D_NAME("append"),
                    combined_reference(group, members_placements(group, placements)));
    return record;
}

// The record of a node below a top cell, with `placements` or, where
// invalid, its own products.
nb::object RecordMaker::combined_reference(const Node &node, nb::handle placements) {
    RecursionGuard guard(depth_, " while combining references");
    nb::object reference = new_record(node.cell, true);
    nb::object references = get_attr(reference, S3D_NAME("references"));
    for (const Node &child : node.children)
        call_method(references, S3D_NAME("append"), combined_reference(child, nb::handle()));
    if (placements.is_valid())
        set_placements(reference, placements);
    else
        set_placements(reference, ktrans_list(ktrans_class_, transformations(node.placements)));
    return reference;
}

// The placements of a top cell's group: those of its members, `placements`
// by instance, one after another.
nb::object RecordMaker::members_placements(const Node &group, const std::vector<nb::object> &placements) {
    nb::list joined;
    for (size_t member : group.members) check(PyNumber_InPlaceAdd(joined.ptr(), placements[member].ptr()));
    return joined;
}

// The layer split copies each record that reaches a layer, sharing its
// polygon list; combination keeps the copy of the first member of each
// group and gives it the group's placements: at the top, the members' own
// KTrans one after another; below, the products, made for the first layer
// that reaches them and shared by the others (each layer its own list).
nb::object RecordMaker::layer_trees(const MadeRecord &top, const Node &tree) {
    GroupPlacements groups;
    std::vector<nb::object> placements; // by instance
    for (const MadeRecord &reference : top.references) placements.push_back(reference.placements);
    for (const Node &child : tree.children) groups[&child] = members_placements(child, placements);
    nb::dict per_layer;
    for (size_t slot = 0; slot < layer_keys_.size(); ++slot)
        if (tree.reaches(slot)) per_layer[layer_keys_[slot]] = layer_copy(top, tree, slot, groups);
    return per_layer;
}

nb::object RecordMaker::layer_copy(const MadeRecord &source, const Node &node, size_t slot, GroupPlacements &groups) {
    RecursionGuard guard(depth_, " while splitting layers");
    const Memo &memo = memo_of(node.cell);
    nb::object copy = call(node.is_ref ? reference_class_ : cell_class_, memo.index, walk_.cells()[node.cell].name);
    for (const auto &[own_slot, list] : source.polygons) {
        if (own_slot != slot) continue;
        nb::object polygons = get_attr(copy, S3D_NAME("polygons"));
        check_status(PyObject_SetItem(polygons.ptr(), layer_keys_[slot].ptr(), list.ptr()));
    }
    nb::object references = get_attr(copy, S3D_NAME("references"));
    for (const Node &group : node.children) {
        if (!group.reaches(slot)) continue;
        nb::object kept = layer_copy(source.references[group.members.front()], group, slot, groups);
        nb::object &placements = groups[&group];
        if (!placements.is_valid()) placements = ktrans_list(ktrans_class_, transformations(group.placements));
        set_placements(kept, check(PyList_GetSlice(placements.ptr(), 0, PY_SSIZE_T_MAX)));
        call_method(references, S3D_NAME("append"), kept);
    }
    return copy;
}

// What the general walk leaves in the parser's tables: the outlines in polygon
// order, each shape's key, (cell index, layer index, place among the layer's
// shapes), mapped to its polygon number, and the next number.
void fill_tables(nb::handle parser, const PlainInputs &tables, const Walk &walk,
                 const OutlineObjects &outlines) {
    const std::vector<ShapeOrigin> &origins = walk.origins();
    for (size_t number = 0; number < origins.size(); ++number) {
        const ShapeOrigin &origin = origins[number];
        check_status(PyList_Append(tables.instances.ptr(), outlines[number].ptr()));
        nb::object key = nb::make_tuple(nb::int_(origin.cell), walk.layers()[origin.slot].index,
                                        nb::int_(origin.position));
        check_status(PyDict_SetItem(tables.mapping.ptr(), key.ptr(), nb::int_(number).ptr()));
    }
    set_attr(parser, S3D_NAME("instance_index"), nb::int_(origins.size()));
}

// Runs one step of the combination on the tables (with no watcher, so all
// it runs is KLayout's and the module's own); false where it cannot give
// what combine_references gives and the records must be combined by it
// instead, which meets the same error again: the combination steps aside
// or fails with an ordinary error (too deep, out of memory).
template <typename Step> bool combined_on_tables(Step &&step) {
    try {
        step();
        return true;
    } catch (const StepAside &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The records of the walk's top cells, combined on its tables as `exported`
// asks where that can be done, else as the general walk makes them.
WalkRecords made_records(const Globals &globals, Walk &walk, nb::handle trans_type, Export exported) {
    // The combined trees before any record: a combination that steps aside
    // makes no record twice. One beyond the limit is refused before it is
    // made, as the direct road refuses it.
    if (exported != Export::records) walk.check_flattened();
    std::vector<Node> trees;
    bool combining = exported != Export::records && combined_on_tables([&] {
        ComplexMatrices unused;
        TreeMaker maker(globals, walk, trans_type, unused, walk.layers().size(), Composition::records);
        for (size_t top : walk.tops()) trees.push_back(maker.top(top));
    });
    RecordMaker maker(globals, walk, trans_type);
    WalkRecords result;
    if (combining && exported == Export::combined_cells) {
        nb::list combined;
        result.combined = combined_on_tables([&] {
            for (const Node &tree : trees) combined.append(maker.combined_record(tree));
        });
        if (result.combined) {
            result.cells = combined;
            return result;
        }
    }
    nb::list records;
    std::vector<MadeRecord> made;
    for (size_t top : walk.tops()) {
        made.push_back(maker.record(top, false));
        records.append(made.back().record);
    }
    result.cells = records;
    nb::list layers;
    if (combining && exported == Export::combined_layers && combined_on_tables([&] {
            for (size_t i = 0; i < trees.size(); ++i) layers.append(maker.layer_trees(made[i], trees[i]));
        }))
        result.layers = layers;
    return result;
}

} // namespace

WalkRecords records_from_walk(const Globals &globals, nb::handle snapshot, nb::handle parser,
                              nb::handle tops, Export exported, const Limits &limits,
                              const std::function<bool()> &combination_stands) {
    OutlineObjects outlines; // outlives the walk, whose simplifier fills it
    std::optional<PlainInputs> inputs;
    std::optional<Walk> walk;
    try {
        inputs = plain_inputs(globals, snapshot, parser, tops);
        if (!inputs) return {};
        walk.emplace(globals, parser, layer_slots(parser), outlines, limits, Origins::noted);
        walk->run(globals[S3D_NAME("kdb")], get_attr(parser, S3D_NAME("layout")), tops);
        // The general walk's placements are KLayout's, wrapped around at 32 bits.
        if (walk->beyond_klayout()) return {};
        walk->finish_outlines();
        // Every polygon the walk found has its origin and its outline.
        if (!outlines.complete(walk->origins().size())) return {};
    } catch (const StepAside &) {
        return {};
    } catch (nb::python_error &error) {
        // Everything run so far was KLayout's, shapely's or the module's own
        // (see plain_inputs), and nothing is changed yet: the general walk
        // raises an ordinary error again (too deep a hierarchy, a placed cell
        // that is gone), leaving the tables as it leaves them.
        if (error.matches(PyExc_Exception) && !error.matches(PyExc_MemoryError)) return {};
        throw;
    }
    // Whether the combination may stand in for the methods it replaces is
    // decided once, here; the records are Python objects, and what runs as
    // they are made (a profiler, say) is the caller's affair.
    WalkRecords result = made_records(globals, *walk, inputs->trans_type,
                                      combination_stands() ? exported : Export::records);
    fill_tables(parser, *inputs, *walk, outlines);
    return result;
}

} // namespace show3d
