// The direct road. Three steps on plain data:
//   1. the walk (walk.cpp) reads every cell once (shapes on the mapped layers, then its
//      placements) into a cell table and the polygon table, numbering
//      polygons in the order of the step-by-step walk;
//   2. the combined tree (tree.cpp): per level one node per placed cell, in
//      order of first appearance, carrying all placements of its group
//      composed with those of its parent, as numbers (for a cell that places
//      nothing, as runs composed only when its matrices are written);
//   3. the writer turns that tree into the dictionaries asdict gives, per
//      layer (layer mode) or per cell (cell mode), pruning what a layer does
//      not reach. For show3d, the matrices are written straight into the
//      message text, on every core.
// Whenever the input needs the step-by-step road's general handling (see
// road.cpp), the road steps aside before anything visible has happened.
#include "scene.hpp"

#include "arrays.hpp"
#include "ktrans.hpp"
#include "road.hpp"
#include "tree.hpp"
#include "viewer.hpp"
#include "walk.hpp"

#include <cstdint>
#include <initializer_list>

namespace show3d {
namespace {

using namespace direct;

// ---- the writer ----------------------------------------------------------------------

// What a leaf of a layer shows, asked of the parser once per layer.
struct LayerLook {
    nb::object name, zmin, height, color;
    bool excluded = false;
};

class Writer {
public:
    Writer(const Globals &globals, Walk &walk, PolygonTable &table, std::vector<LayerLook> looks,
           SceneForm form, DeferredBuffers *deferred)
        : walk_(walk), table_(table), looks_(std::move(looks)), form_(form), deferred_(deferred),
          shared_parts_(form == SceneForm::buffers && deferred), leaf_locs_(looks_.size()) {
        part_class_ = globals[S3D_NAME("Part")];
        parts_class_ = globals[S3D_NAME("Parts")];
        shape_class_ = globals[S3D_NAME("Shape")];
        root_class_ = globals[S3D_NAME("ViewerData")];
        version_ = get_attr(part_class_, S3D_NAME("version"));
        renderback_ = get_attr(part_class_, S3D_NAME("renderback"));
        type_ = get_attr(part_class_, S3D_NAME("type"));
        subtype_ = get_attr(part_class_, S3D_NAME("subtype"));
        format_ = get_attr(root_class_, S3D_NAME("format"));
    }

    nb::object cells_root(std::vector<Node> &tops);
    nb::object layers_root(std::vector<Node> &tops);

private:
    bool records() const { return form_ == SceneForm::records; }
    bool buffers() const { return form_ == SceneForm::buffers; }
    nb::object cell_node(Node &node, nb::handle parent);
    nb::object layer_node(Node &node, size_t slot, nb::handle parent);
    nb::object leaf(nb::handle name, nb::handle id, const std::vector<long> &refs, size_t slot,
                    Node &node);
    nb::object record_leaf(nb::handle name, nb::handle id, nb::handle refs, size_t slot, Node &node);
    nb::object group(nb::handle name, nb::handle id, nb::handle parts, nb::object loc);
    nb::object root(const char *name, const char *id, nb::handle parts);
    nb::object instances();
    template <typename Make> nb::object made_once(nb::object &kept, Make &&make);
    nb::object origin();
    nb::object leaf_loc(size_t slot);
    nb::object leaf_state();
    // A float32 array, or its buffer description as numpy_to_buffer_json gives it.
    nb::object array(const float *data, size_t count) const {
        return buffers() ? float32_description(data, count) : numpy_copy(data, count, 1, NPY_FLOAT32);
    }
    // Large arrays leave their text to the message; small ones cost less
    // written at once.
    nb::object array(const FloatArray &values) const {
        if (buffers() && deferred_ && deferred_->defers(values.size))
            return deferred_->describe(values);
        std::vector<float> scratch;
        return array(values.values(scratch), values.size);
    }

    Walk &walk_;
    PolygonTable &table_;
    std::vector<LayerLook> looks_;
    SceneForm form_;
    DeferredBuffers *deferred_; // where encoded arrays go, when set
    // The dictionaries go nowhere but into the message text: equal lists of
    // numbers may be one list, made once.
    bool shared_parts_;
    nb::object origin_, leaf_state_;
    std::vector<nb::object> leaf_locs_; // by layer slot
    nb::object part_class_, parts_class_, shape_class_, root_class_;
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

// A node of the tree: name, id, version, loc and, unless empty, parts. A
// record keeps `parts` itself, and the default loc.
nb::object Writer::group(nb::handle name, nb::handle id, nb::handle parts, nb::object loc) {
    if (records())
        return call_keywords(parts_class_, {}, S3D_KEYWORDS("id", "name", "parts"), {id, name, parts});
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
    check_assertion(!node.is_ref || node.matrices); // made by make_matrices
    if (records()) return record_leaf(name, id, int_list(refs), slot, node);
    const LayerLook &look = looks_[slot];
    nb::dict shape;
    set_item(shape, S3D_NAME("refs"), int_list(refs));
    set_item(shape, S3D_NAME("height"), look.height);
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

// A leaf as to_viewer makes it: the shape's matrices left to their default
// outside placed cells, the loc of the layer's bottom of new tuples, of the
// integers 0 and 1.
nb::object Writer::record_leaf(nb::handle name, nb::handle id, nb::handle refs, size_t slot, Node &node) {
    const LayerLook &look = looks_[slot];
    nb::object shape = call_keywords(shape_class_, {}, S3D_KEYWORDS("refs", "height"), {refs, look.height});
    if (node.is_ref) set_attr(shape, S3D_NAME("matrices"), array(node.matrices));
    nb::object zero = nb::int_(0), one = nb::int_(1);
    nb::object loc = nb::make_tuple(nb::make_tuple(zero, zero, look.zmin), nb::make_tuple(zero, zero, zero, one));
    return call_keywords(part_class_, {}, S3D_KEYWORDS("name", "id", "shape", "color", "loc"),
                         {name, id, shape, look.color, loc});
}

nb::object Writer::root(const char *name, const char *id, nb::handle parts) {
    walk_.finish_outlines();
    if (records())
        return call_keywords(root_class_, {}, S3D_KEYWORDS("name", "id", "parts", "instances"),
                             {nb::str(name), nb::str(id), parts, instances()});
    nb::object node = group(nb::str(name), nb::str(id), parts, origin());
    set_item(node, S3D_NAME("format"), format_);
    if (table_.size() > 0 && deferred_ && buffers()) {
        // The message text shares the outlines' blocks.
        std::vector<FloatArray> outlines;
        outlines.reserve(table_.size());
        for (size_t i = 0; i < table_.size(); ++i) outlines.push_back(table_.outline(i));
        deferred_->describe_list(std::move(outlines), node, "instances");
    } else if (table_.size() > 0) {
        node["instances"] = instances();
    }
    return node;
}

// The polygon table: one array per outline.
nb::object Writer::instances() {
    nb::list instances;
    for (size_t i = 0; i < table_.size(); ++i) instances.append(array(table_.outline(i)));
    return instances;
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
    nb::dict by_id; // id -> the layer's list of trees
    for (Node &top : tops) {
        for (size_t slot = 0; slot < looks_.size(); ++slot) {
            const LayerLook &look = looks_[slot];
            if (!top.reaches(slot) || look.excluded) continue;
            nb::object id = join_path(root_id, look.name);
            nb::object trees = dict_lookup(by_id, id);
            if (!trees.is_valid()) {
                trees = nb::list();
                by_id[id] = trees;
                nb::object layer = group(look.name, id, trees, origin());
                if (!records()) set_item(layer, S3D_NAME("parts"), trees);
                parts.append(layer);
            }
            check_status(PyList_Append(trees.ptr(), layer_node(top, slot, id).ptr()));
        }
    }
    return root("Layers", "/Layers", parts);
}

// How each layer slot looks.
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
    Scene(const Globals &globals, nb::handle parser, std::vector<LayerSlot> slots, const Limits &limits)
        : walk(globals, parser, std::move(slots), table, limits) {}
    PolygonTable table; // before the walk, whose simplifier fills it
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

nb::object build_scene(const Globals &globals, nb::handle parser, bool cell_mode, const Limits &limits,
                       SceneForm form, DeferredBuffers *deferred) {
    std::vector<LayerSlot> slots = layer_slots(parser);
    std::vector<LayerLook> looks = layer_looks(globals, parser, slots);
    auto scene = std::make_shared<Scene>(globals, parser, slots, limits);
    nb::object layout = get_attr(parser, S3D_NAME("layout"));
    scene->walk.run(globals[S3D_NAME("kdb")], layout, snapshot(call_method(layout, S3D_NAME("top_cells"))));
    scene->walk.check_flattened();
    TreeMaker trees(globals, scene->walk, get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Trans")), scene->complex,
                    slots.size());
    for (size_t top : scene->walk.tops()) scene->tops.push_back(trees.top(top));
    std::vector<bool> shown;
    for (const LayerLook &look : looks) shown.push_back(!look.excluded);
    // The message text writes the matrices itself, on every core, from the
    // placements: they never need memory of their own.
    bool written_late = form == SceneForm::buffers && deferred;
    // Matrices made late hold the scene: the tree lets go of them, whatever
    // happens, so that the scene goes with the last of them.
    struct Forget {
        std::vector<Node> &tops;
        ~Forget() { forget_matrices(tops); }
    } forget{scene->tops};
    trees.make_matrices(scene->tops, shown, written_late ? scene : nullptr);
    Writer writer(globals, scene->walk, scene->table, std::move(looks), form, deferred);
    nb::object root = cell_mode ? writer.cells_root(scene->tops) : writer.layers_root(scene->tops);
    scene->walk.release_simplifier();
    return root;
}

} // namespace

nb::object direct_scene(const Globals &globals, nb::handle snapshot, nb::handle parser, nb::handle output,
                        const Limits &limits, SceneForm form, DeferredBuffers *deferred) {
    GcPause pause;
    try {
        if (!road_applies(globals, snapshot, parser, output)) return {};
        bool cell_mode = output.is(get_attr(globals[S3D_NAME("Output")], S3D_NAME("CELL")));
        return build_scene(globals, parser, cell_mode, limits, form, deferred);
    } catch (const StepAside &) {
        return {};
    }
}

} // namespace show3d

