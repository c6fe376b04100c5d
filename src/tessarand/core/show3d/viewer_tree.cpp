// The viewer tree is built with direct C-API calls: float32 arrays are
// allocated at their final size and filled in place. Methods and module
// attributes are looked up as the module would, and the fast paths step aside
// when one was replaced.
#include "viewer_tree.hpp"

#include "arrays.hpp"
#include "ktrans.hpp"
#include "parser.hpp"
#include "viewer_common.hpp"

#include <unordered_map>

namespace show3d {
namespace {

// ---- arrays ---------------------------------------------------------------------

nb::object new_float32(Py_ssize_t count) {
    npy_intp size = count;
    return check(PyArray_SimpleNew(1, &size, NPY_FLOAT32));
}

float *float32_data(nb::handle array) {
    return static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
}

// np.array(value, dtype="float32").flatten() through the module's np.
nb::object float32_through_numpy(const Globals &globals, nb::handle value) {
    nb::object np = globals[S3D_NAME("np")];
    nb::object array = call_keywords(get_attr(np, S3D_NAME("array")), {value},
                                     S3D_KEYWORDS("dtype"), {nb::str("float32")});
    return call_method(array, S3D_NAME("flatten"));
}

bool is_real_numpy(const Globals &globals) {
    nb::object real = check(PyImport_ImportModule("numpy"));
    return get_attr(globals[S3D_NAME("np")], S3D_NAME("array")).is(get_attr(real, S3D_NAME("array")));
}

// x0, y0, x1, y1, ... of a polygon given as a list of (x, y) float pairs;
// anything else goes through numpy as written.
nb::object polygon_array(const Globals &globals, nb::handle polygon, bool fast) {
    if (fast && PyList_CheckExact(polygon.ptr())) {
        nb::object array = new_float32(2 * PyList_GET_SIZE(polygon.ptr()));
        if (read_float_pairs(polygon, float32_data(array))) return array;
    }
    return float32_through_numpy(globals, polygon);
}

// ---- the tree builder -------------------------------------------------------------

class TreeBuilder {
public:
    TreeBuilder(nb::handle self, const Globals &globals)
        : self_(self), globals_(globals) {
        parts_class_ = globals[S3D_NAME("Parts")];
        part_class_ = globals[S3D_NAME("Part")];
        shape_class_ = globals[S3D_NAME("Shape")];
        reference_class_ = globals[S3D_NAME("Reference")];
        ktrans_class_ = globals[S3D_NAME("KTrans")];
        fast_arrays_ = is_real_numpy(globals);
        own_matrices_ = fast_arrays_ && has_own_matrix_methods(ktrans_class_);
        // Between two leaves of a reference the layer lookups run: overridden,
        // they may change its placements, and every leaf reads them anew.
        reuse_arrays_ = fast_arrays_ && uses_own_layer_lookups(self);
    }

    nb::object convert_cells(nb::handle cells, nb::handle parent);
    nb::object convert_layer(nb::handle layer_spec, nb::handle cell, nb::handle parent);
    void fill_layer_nodes(nb::handle root, nb::handle parsed);
    nb::object layer_name(nb::handle layer_spec);
    bool exclude(nb::handle layer_name);
    bool fast_arrays() const { return fast_arrays_; }

private:
    nb::object placement_array(nb::handle reference);
    nb::object direct_placement_array(nb::handle placements);
    nb::object asked_placement_array(nb::handle placements);
    void add_layer_leaves(nb::handle parts, nb::handle cell, nb::handle id);
    nb::object make_shape(nb::handle refs, nb::handle layer_spec, nb::handle cell);
    nb::object make_leaf(nb::handle name, nb::handle id, nb::object shape, nb::handle layer_spec);
    nb::object make_node(nb::handle parent, nb::handle name, nb::object &id);
    bool is_reference(nb::handle cell) { return is_instance(cell, reference_class_); }

    nb::handle self_;
    const Globals &globals_;
    nb::object parts_class_, part_class_, shape_class_, reference_class_, ktrans_class_;
    bool fast_arrays_ = false, own_matrices_ = false, reuse_arrays_ = false;
    struct KnownArray {
        nb::object list, items, array; // the list, its items then (a plain list), their array
    };
    std::unordered_map<PyObject *, KnownArray> arrays_;
    int depth_ = 0;
};

// get_name through the instance, with its declared result type.
nb::object TreeBuilder::layer_name(nb::handle layer_spec) {
    return check_result(call_method(self_, S3D_NAME("get_name"), layer_spec), &PyUnicode_Type);
}

// True when the name matches an exclusion pattern of the parser (read anew on
// every test), case-insensitively.
bool TreeBuilder::exclude(nb::handle layer_name) {
    require_exact(layer_name, &PyUnicode_Type, "layer_name", false);
    nb::object lowered = call_method(layer_name, S3D_NAME("lower"));
    nb::object patterns = check(PyObject_GetIter(get_attr(self_, S3D_NAME("exclude_layers")).ptr()));
    while (PyObject *raw = PyIter_Next(patterns.ptr())) {
        nb::object pattern = nb::steal(raw);
        nb::object fnmatch = globals_[S3D_NAME("fnmatch")];
        if (truth(call(fnmatch, lowered, call_method(pattern, S3D_NAME("lower"))))) return true;
    }
    if (PyErr_Occurred()) raise_current();
    return false;
}

// Whether `list` still holds exactly the items of `then`.
bool holds_the_same(nb::handle list, nb::handle then) {
    Py_ssize_t count = PyTuple_GET_SIZE(then.ptr());
    if (!PyList_CheckExact(list.ptr()) || PyList_GET_SIZE(list.ptr()) != count) return false;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyList_GET_ITEM(list.ptr(), i) != PyTuple_GET_ITEM(then.ptr(), i)) return false;
    return true;
}

// Six float32 numbers a, b, tx, c, d, ty per placement of a reference. A
// reference with leaves on several layers computes its array once; the other
// leaves get copies. A plain list is read again when code run meanwhile gave
// it other items; any other iterable is read once.
nb::object TreeBuilder::placement_array(nb::handle reference) {
    nb::object trans = get_attr(reference, S3D_NAME("trans"));
    auto known = reuse_arrays_ ? arrays_.find(trans.ptr()) : arrays_.end();
    if (known != arrays_.end() &&
        (!known->second.items.is_valid() || holds_the_same(trans, known->second.items)))
        return check(PyArray_NewCopy(reinterpret_cast<PyArrayObject *>(known->second.array.ptr()),
                                     NPY_CORDER));
    nb::object items, array;
    if (PyList_CheckExact(trans.ptr())) {
        // Reading a placement may run code that changes the list.
        items = snapshot(trans);
        array = direct_placement_array(items);
    }
    if (!array.is_valid()) array = asked_placement_array(trans);
    // Only arrays of the real numpy are reused: with another np each leaf
    // asks it anew.
    if (reuse_arrays_ && PyArray_CheckExact(array.ptr()))
        arrays_.insert_or_assign(trans.ptr(), KnownArray{trans, items, array});
    return array;
}

// The placement array from each placement's own trans_matrix, through numpy
// as the module has it.
nb::object TreeBuilder::asked_placement_array(nb::handle placements) {
    nb::list matrices;
    nb::object iterator = check(PyObject_GetIter(placements.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr()))
        matrices.append(call_method(nb::steal(raw), S3D_NAME("trans_matrix")));
    if (PyErr_Occurred()) raise_current();
    return float32_through_numpy(globals_, matrices);
}

// The placement array read straight from KTrans objects of ours (a snapshot
// of the list: reading a placement may run code that changes the list);
// invalid when one of them must be asked for its own matrix.
nb::object TreeBuilder::direct_placement_array(nb::handle placements) {
    if (!own_matrices_) return {};
    Py_ssize_t count = PyTuple_GET_SIZE(placements.ptr());
    nb::object array = new_float32(6 * count);
    float *out = float32_data(array);
    // kdb's types, read once for the array rather than once per placement;
    // read again after it, as a placement's reads may run code that changes
    // them.
    TransTypes types = TransTypes::of(globals_);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle ktrans = PyTuple_GET_ITEM(placements.ptr(), i);
        PlacementMatrix matrix;
        // Read anew for every leaf: code of the caller's run between two leaves
        // (an overridden method) may have changed the transformation in place.
        if (!read_own_matrix(types, ktrans_class_, ktrans, matrix)) return {};
        for (int k = 0; k < 6; ++k) out[6 * i + k] = float(matrix.entries[k]);
    }
    if (TransTypes::of(globals_) != types) return {};
    return array;
}

nb::object TreeBuilder::make_shape(nb::handle refs, nb::handle layer_spec, nb::handle cell) {
    nb::object height = call_method(self_, S3D_NAME("get_height"), layer_spec);
    nb::object shape = call_keywords(shape_class_, {}, S3D_KEYWORDS("refs", "height"), {refs, height});
    if (is_reference(cell)) set_attr(shape, S3D_NAME("matrices"), placement_array(cell));
    return shape;
}

// A leaf standing at the layer's bottom: loc is built from the integers 0 and 1.
nb::object TreeBuilder::make_leaf(nb::handle name, nb::handle id, nb::object shape,
                                  nb::handle layer_spec) {
    nb::object color = call_method(self_, S3D_NAME("get_color"), layer_spec);
    nb::object zmin = call_method(self_, S3D_NAME("get_zmin"), layer_spec);
    nb::object zero = nb::int_(0), one = nb::int_(1);
    nb::object loc = nb::make_tuple(nb::make_tuple(zero, zero, zmin),
                                    nb::make_tuple(zero, zero, zero, one));
    return call_keywords(part_class_, {}, S3D_KEYWORDS("name", "id", "shape", "color", "loc"),
                         {name, id, shape, color, loc});
}

nb::object TreeBuilder::make_node(nb::handle parent, nb::handle name, nb::object &id) {
    id = join_path(parent, name);
    return call_keywords(parts_class_, {}, S3D_KEYWORDS("id", "name"), {id, name});
}

// One leaf per shown layer of a cell's polygons. The parsed cells' layer map
// is read anew for every layer: the layer lookups run between two of them.
void TreeBuilder::add_layer_leaves(nb::handle parts, nb::handle cell, nb::handle id) {
    for (const auto &[key, refs] : items_of(get_attr(cell, S3D_NAME("polygons")))) {
        nb::object parsed = get_attr(self_, S3D_NAME("parsed_cells"));
        check_assertion(!parsed.is_none());
        nb::object layer = check(PyNumber_Long(key.ptr()));
        nb::object layer_spec = check(PySequence_Tuple(
            check(PyObject_GetItem(get_attr(parsed, S3D_NAME("layer_map")).ptr(), layer.ptr())).ptr()));
        nb::object layer_name = this->layer_name(layer_spec);
        if (exclude(layer_name)) continue;
        nb::object shape = make_shape(refs, layer_spec, cell);
        call_method(parts, S3D_NAME("append"),
                    make_leaf(layer_name, join_path(id, layer_name), shape, layer_spec));
    }
}

// Cell mode: one node per cell with one leaf per shown layer, then the nodes
// of its references; nodes left without parts are dropped.
nb::object TreeBuilder::convert_cells(nb::handle cells, nb::handle parent) {
    require_exact(parent, &PyUnicode_Type, "parent", false);
    RecursionGuard guard(depth_, " while building the viewer tree");
    nb::list result;
    nb::object iterator = check(PyObject_GetIter(cells.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr())) {
        nb::object cell = nb::steal(raw);
        nb::object name = get_attr(cell, S3D_NAME("name")), id;
        nb::object node = make_node(parent, name, id);
        nb::object parts = get_attr(node, S3D_NAME("parts"));
        add_layer_leaves(parts, cell, id);
        nb::object references = get_attr(cell, S3D_NAME("references"));
        if (length(references) > 0)
            call_method(parts, S3D_NAME("extend"), convert_cells(references, id));
        if (length(get_attr(node, S3D_NAME("parts"))) > 0) result.append(node);
    }
    if (PyErr_Occurred()) raise_current();
    return result;
}

// Layer mode: the node of a cell holds at most one leaf, "components", then
// the nodes of all its references, kept even when empty.
nb::object TreeBuilder::convert_layer(nb::handle layer_spec, nb::handle cell, nb::handle parent) {
    require_exact(parent, &PyUnicode_Type, "parent", false);
    RecursionGuard guard(depth_, " while building the viewer tree");
    nb::object name = get_attr(cell, S3D_NAME("name")), id;
    nb::object node = make_node(parent, name, id);
    nb::object parts = get_attr(node, S3D_NAME("parts"));
    nb::object polygons = get_attr(cell, S3D_NAME("polygons"));
    if (length(polygons) > 0) {
        nb::object index = check(PyObject_GetItem(
            get_attr(self_, S3D_NAME("reverse_layer_map")).ptr(), layer_spec.ptr()));
        nb::object refs = check(PyObject_GetItem(polygons.ptr(), check(PyObject_Str(index.ptr())).ptr()));
        nb::object shape = make_shape(refs, layer_spec, cell);
        nb::str components("components");
        call_method(parts, S3D_NAME("append"),
                    make_leaf(components, join_path(id, components), shape, layer_spec));
    }
    nb::object references = get_attr(cell, S3D_NAME("references"));
    if (length(references) > 0)
        for (nb::handle reference : references)
            call_method(parts, S3D_NAME("append"), convert_layer(layer_spec, reference, id));
    return node;
}

// Layer mode root: one node per distinct layer, in order of first appearance,
// holding the trees of every top cell that has the layer, in top-cell order.
void TreeBuilder::fill_layer_nodes(nb::handle root, nb::handle parsed) {
    nb::object root_id = get_attr(root, S3D_NAME("id"));
    nb::object root_parts = get_attr(root, S3D_NAME("parts"));
    nb::dict nodes_by_id;
    for (nb::handle per_top : get_attr(parsed, S3D_NAME("layers"))) {
        for (const auto &[key, tree] : items_of(per_top)) {
            nb::object layer = check(PyNumber_Long(key.ptr()));
            nb::object layer_map = get_attr(self_, S3D_NAME("layer_map"));
            if (call_method(layer_map, S3D_NAME("get"), layer).is_none()) continue;
            nb::object layer_spec = check(PyObject_GetItem(layer_map.ptr(), layer.ptr()));
            nb::object name = layer_name(layer_spec);
            if (exclude(name)) continue;
            nb::object id = join_path(root_id, name);
            nb::object layer_node = dict_lookup(nodes_by_id, id);
            if (!layer_node.is_valid()) {
                layer_node = call_keywords(parts_class_, {}, S3D_KEYWORDS("id", "name"), {id, name});
                nodes_by_id[id] = layer_node;
                call_method(root_parts, S3D_NAME("append"), layer_node);
            }
            call_method(get_attr(layer_node, S3D_NAME("parts")), S3D_NAME("append"),
                        convert_layer(layer_spec, tree, id));
        }
    }
}

// ---- the root ---------------------------------------------------------------------

nb::object new_root(const Globals &globals, const char *name, const char *id) {
    return call_keywords(globals[S3D_NAME("ViewerData")], {}, S3D_KEYWORDS("name", "id"),
                         {nb::str(name), nb::str(id)});
}

// Cell mode: the cell trees, combined first unless they are, under
// "/Cells"; `table` is then the polygon table of the parsed cells.
nb::object cell_tree(TreeBuilder &builder, nb::handle self, const Globals &globals, nb::object &table) {
    check_assertion(!get_attr(self, S3D_NAME("parsed_cells")).is_none());
    if (!truth(get_attr(self, S3D_NAME("cell_combined"))))
        call_method(self, S3D_NAME("combine_references"), output_member(globals, S3D_NAME("CELL")));
    nb::object root = new_root(globals, "Cells", "/Cells");
    nb::object parsed = get_attr(self, S3D_NAME("parsed_cells"));
    set_attr(root, S3D_NAME("parts"),
             builder.convert_cells(get_attr(parsed, S3D_NAME("cells")), get_attr(root, S3D_NAME("id"))));
    table = get_attr(get_attr(self, S3D_NAME("parsed_cells")), S3D_NAME("instances"));
    return root;
}

// Layer mode: the layer trees, combined first unless they are, under
// "/Layers"; `table` is then the polygon table of the parsed layers.
nb::object layer_tree(TreeBuilder &builder, nb::handle self, const Globals &globals, nb::object &table) {
    if (!truth(get_attr(self, S3D_NAME("layer_combined"))))
        call_method(self, S3D_NAME("combine_references"), output_member(globals, S3D_NAME("LAYER")));
    nb::object root = new_root(globals, "Layers", "/Layers");
    nb::object parsed = get_attr(self, S3D_NAME("parsed_layers"));
    check_assertion(!parsed.is_none());
    builder.fill_layer_nodes(root, parsed);
    table = get_attr(parsed, S3D_NAME("instances"));
    return root;
}

// The root's instances: one float32 array per polygon of the table.
void add_instances(const Globals &globals, nb::handle root, nb::handle table, bool fast_arrays) {
    nb::object instances = get_attr(root, S3D_NAME("instances"));
    nb::object iterator = check(PyObject_GetIter(table.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr()))
        call_method(instances, S3D_NAME("append"), polygon_array(globals, nb::steal(raw), fast_arrays));
    if (PyErr_Occurred()) raise_current();
}

nb::object parser_to_viewer(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0], output = call.args[1];
    const Globals &globals = call.globals;
    TreeBuilder builder(self, globals);
    nb::object root, table;
    if (equals(output, output_member(globals, S3D_NAME("CELL"))))
        root = cell_tree(builder, self, globals, table);
    else if (equals(output, output_member(globals, S3D_NAME("LAYER"))))
        root = layer_tree(builder, self, globals, table);
    else
        raise(PyExc_ValueError, "Unknown output %U", format_text(output).ptr());
    add_instances(globals, root, table, builder.fast_arrays());
    return root;
}

const FunctionDef to_viewer_definition{
    "to_viewer", "ParseGDS.to_viewer",
    "Convert parsed GDS layout data to a hierarchical viewer format.\n\n"
    "Output.CELL gives one tree that follows the cell hierarchy (root \"/Cells\");\n"
    "Output.LAYER gives one node per layer holding the cell trees restricted to\n"
    "that layer (root \"/Layers\"). The root's instances hold one float32 array\n"
    "per polygon of the polygon table.\n\n"
    "Raises:\n"
    "    ValueError: for an output that is neither Output.CELL nor Output.LAYER.\n",
    {{"self"}, {"output"}}, {{"output", "Output"}, {"return", "ViewerData"}}, parser_to_viewer};

} // namespace

const FunctionDef &to_viewer_def() { return to_viewer_definition; }

} // namespace show3d
