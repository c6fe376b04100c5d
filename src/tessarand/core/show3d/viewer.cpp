// The viewer tree is built with direct C-API calls: float32 arrays are
// allocated at their final size and filled in place, base64 is written
// straight from array memory. Methods and module attributes are looked up as
// the module would, and the fast paths step aside when one was replaced.
#include "viewer.hpp"

#include "ktrans.hpp"
#include "parser.hpp"
#include "core/base64.hpp"

#define SHOW3D_OWNS_ARRAY_API
#include "arrays.hpp"

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
    if (!array.is_valid()) {
        nb::list matrices;
        nb::object iterator = check(PyObject_GetIter(trans.ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr()))
            matrices.append(call_method(nb::steal(raw), S3D_NAME("trans_matrix")));
        if (PyErr_Occurred()) raise_current();
        array = float32_through_numpy(globals_, matrices);
    }
    // Only arrays of the real numpy are reused: with another np each leaf
    // asks it anew.
    if (reuse_arrays_ && PyArray_CheckExact(array.ptr()))
        arrays_.insert_or_assign(trans.ptr(), KnownArray{trans, items, array});
    return array;
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


nb::object new_root(const Globals &globals, const char *name, const char *id) {
    return call_keywords(globals[S3D_NAME("ViewerData")], {}, S3D_KEYWORDS("name", "id"),
                         {nb::str(name), nb::str(id)});
}

nb::object parser_to_viewer(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0], output = call.args[1];
    const Globals &globals = call.globals;
    TreeBuilder builder(self, globals);
    nb::object root, table;
    if (equals(output, output_member(globals, S3D_NAME("CELL")))) {
        check_assertion(!get_attr(self, S3D_NAME("parsed_cells")).is_none());
        if (!truth(get_attr(self, S3D_NAME("cell_combined"))))
            call_method(self, S3D_NAME("combine_references"), output_member(globals, S3D_NAME("CELL")));
        root = new_root(globals, "Cells", "/Cells");
        nb::object parsed = get_attr(self, S3D_NAME("parsed_cells"));
        set_attr(root, S3D_NAME("parts"),
                 builder.convert_cells(get_attr(parsed, S3D_NAME("cells")), get_attr(root, S3D_NAME("id"))));
        table = get_attr(get_attr(self, S3D_NAME("parsed_cells")), S3D_NAME("instances"));
    } else if (equals(output, output_member(globals, S3D_NAME("LAYER")))) {
        if (!truth(get_attr(self, S3D_NAME("layer_combined"))))
            call_method(self, S3D_NAME("combine_references"), output_member(globals, S3D_NAME("LAYER")));
        root = new_root(globals, "Layers", "/Layers");
        nb::object parsed = get_attr(self, S3D_NAME("parsed_layers"));
        check_assertion(!parsed.is_none());
        builder.fill_layer_nodes(root, parsed);
        table = get_attr(parsed, S3D_NAME("instances"));
    } else {
        raise(PyExc_ValueError, "Unknown output %U", format_text(output).ptr());
    }
    nb::object instances = get_attr(root, S3D_NAME("instances"));
    nb::object iterator = check(PyObject_GetIter(table.ptr()));
    while (PyObject *raw = PyIter_Next(iterator.ptr()))
        call_method(instances, S3D_NAME("append"),
                    polygon_array(globals, nb::steal(raw), builder.fast_arrays()));
    if (PyErr_Occurred()) raise_current();
    return root;
}

// ---- nested data --------------------------------------------------------------------

// Lists and tuples (subclasses too) become new lists, dicts new dicts with the
// same keys, each item or value passed through `convert`; anything else gives
// an invalid object.
template <typename Convert> nb::object rebuild_container(nb::handle value, Convert &&convert) {
    PyObject *raw = value.ptr();
    if (PyList_Check(raw) || PyTuple_Check(raw)) {
        nb::list result;
        nb::object iterator = check(PyObject_GetIter(raw));
        while (PyObject *item = PyIter_Next(iterator.ptr())) result.append(convert(nb::steal(item)));
        if (PyErr_Occurred()) raise_current();
        return result;
    }
    if (PyDict_Check(raw)) {
        nb::dict result;
        for (const auto &[key, item] : items_of(value)) result[key] = convert(item);
        return result;
    }
    return {};
}

// ---- dictionary form ---------------------------------------------------------------

bool is_empty_container(nb::handle value) {
    PyObject *raw = value.ptr();
    if (!PyList_Check(raw) && !PyTuple_Check(raw) && !PyDict_Check(raw)) return false;
    return length(value) == 0;
}

// asdict: records field by field (empty containers dropped), objects with
// to_dict through it, lists and tuples to lists, dicts value by value. Nested
// values go through the instance's asdict, directly when it is ours.
class DictConverter {
public:
    DictConverter(nb::handle self, const Globals &globals, bool own)
        : self_(self), globals_(globals), own_(own) {
        is_dataclass_ = globals[S3D_NAME("is_dataclass")];
        fields_ = globals[S3D_NAME("fields")];
        nb::object dataclasses = check(PyImport_ImportModule("dataclasses"));
        standard_ = is_dataclass_.is(get_attr(dataclasses, S3D_NAME("is_dataclass"))) &&
                    fields_.is(get_attr(dataclasses, S3D_NAME("fields")));
    }

    nb::object convert(nb::handle value) {
        RecursionGuard guard(depth_, " while converting to a dictionary");
        PyObject *raw = value.ptr();
        // Exact built-in values are neither records nor have to_dict.
        bool builtin = PyUnicode_CheckExact(raw) || PyLong_CheckExact(raw) ||
                       PyFloat_CheckExact(raw) || PyBool_Check(raw) || raw == Py_None ||
                       PyList_CheckExact(raw) || PyTuple_CheckExact(raw) || PyDict_CheckExact(raw);
        if (!builtin || !standard_) {
            if (is_record(value)) return convert_record(value);
            if (has_attr(value, S3D_NAME("to_dict"))) return call_method(value, S3D_NAME("to_dict"));
        }
        nb::object rebuilt = rebuild_container(value, [this](nb::handle item) { return nested(item); });
        return rebuilt.is_valid() ? rebuilt : nb::borrow(value);
    }

private:
    nb::object nested(nb::handle value) {
        return own_ ? convert(value) : call_method(self_, S3D_NAME("asdict"), value);
    }

    bool is_record(nb::handle value) {
        if (!standard_) return truth(call(is_dataclass_, value));
        PyObject *type = PyType_Check(value.ptr()) ? value.ptr()
                                                   : reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()));
        return has_attr(type, S3D_NAME("__dataclass_fields__"));
    }

    // Field names in order, asked of fields() once per record class.
    const std::vector<nb::object> &field_names(nb::handle record) {
        PyTypeObject *type = Py_TYPE(record.ptr());
        bool cacheable = standard_ && !PyType_Check(record.ptr());
        if (cacheable) {
            auto found = names_.find(type);
            if (found != names_.end()) return found->second.names;
        }
        std::vector<nb::object> names;
        for (nb::handle field : call(fields_, record)) names.push_back(get_attr(field, S3D_NAME("name")));
        if (!cacheable) {
            scratch_ = std::move(names);
            return scratch_;
        }
        nb::object pinned = nb::borrow(reinterpret_cast<PyObject *>(type)); // the key stays valid
        return names_.emplace(type, FieldNames{pinned, std::move(names)}).first->second.names;
    }

    nb::object convert_record(nb::handle record) {
        nb::dict result;
        std::vector<nb::object> names = field_names(record);
        for (const nb::object &name : names) {
            nb::object value = check(PyObject_GetAttr(record.ptr(), name.ptr()));
            if (is_empty_container(value)) continue;
            result[name] = nested(value);
        }
        return result;
    }

    nb::handle self_;
    const Globals &globals_;
    bool own_, standard_ = false;
    nb::object is_dataclass_, fields_;
    struct FieldNames {
        nb::object type;
        std::vector<nb::object> names;
    };
    std::unordered_map<PyTypeObject *, FieldNames> names_;
    std::vector<nb::object> scratch_;
    int depth_ = 0;
};

const FunctionDef &asdict_def();

nb::object parser_asdict(const Call &call) {
    GcPause pause;
    bool own = uses_own_method(call.args[0], S3D_NAME("asdict"), asdict_def());
    DictConverter converter(call.args[0], call.globals, own);
    return converter.convert(call.args[1]);
}

nb::object parser_create_json(const Call &call) {
    nb::object converted = call_method(call.args[0], S3D_NAME("asdict"), call.args[1]);
    nb::object orjson = call.globals[S3D_NAME("orjson")];
    nb::object option = get_attr(orjson, S3D_NAME("OPT_INDENT_2"));
    option = check(PyNumber_Or(option.ptr(), get_attr(orjson, S3D_NAME("OPT_SERIALIZE_NUMPY")).ptr()));
    option = check(PyNumber_Or(option.ptr(), get_attr(orjson, S3D_NAME("OPT_NON_STR_KEYS")).ptr()));
    nb::object none = get_attr(call.globals[S3D_NAME("shared")], S3D_NAME("none"));
    nb::object encoded = call_keywords(get_attr(orjson, S3D_NAME("dumps")), {converted},
                                       S3D_KEYWORDS("option", "default"), {option, none});
    return call_method(encoded, S3D_NAME("decode"));
}

// ---- buffer encoding ----------------------------------------------------------------

class BufferEncoder {
public:
    explicit BufferEncoder(const Globals &globals) : globals_(globals) {
        np_ = globals[S3D_NAME("np")];
        ndarray_ = get_attr(np_, S3D_NAME("ndarray"));
        base64_ = globals[S3D_NAME("base64")];
        nb::object real_base64 = check(PyImport_ImportModule("base64"));
        own_base64_ = get_attr(base64_, S3D_NAME("b64encode"))
                          .is(get_attr(real_base64, S3D_NAME("b64encode")));
        direct_ = own_base64_ && ndarray_.is(reinterpret_cast<PyObject *>(&PyArray_Type));
    }

    nb::object walk(nb::handle value) {
        RecursionGuard guard(depth_, " while encoding buffers");
        PyObject *raw = value.ptr();
        if (PyUnicode_CheckExact(raw) || PyLong_CheckExact(raw) || PyFloat_CheckExact(raw) ||
            PyBool_Check(raw) || raw == Py_None)
            return nb::borrow(value);
        if (is_instance(value, ndarray_)) return describe(value);
        nb::object rebuilt = rebuild_container(value, [this](nb::handle item) { return walk(item); });
        return rebuilt.is_valid() ? rebuilt : nb::borrow(value);
    }

private:
    // {"shape", "dtype", "buffer", "codec"} of the flattened, row-major array.
    nb::object describe(nb::handle array) {
        nb::object direct = describe_directly(array);
        if (direct.is_valid()) return direct;
        nb::object contiguous = nb::borrow(array);
        nb::object flags = get_attr(array, S3D_NAME("flags"));
        if (!truth(check(PyObject_GetItem(flags.ptr(), nb::str("C_CONTIGUOUS").ptr()))))
            contiguous = call(get_attr(np_, S3D_NAME("ascontiguousarray")), array);
        nb::object flat = call_method(contiguous, S3D_NAME("ravel"));
        nb::object shape = get_attr(flat, S3D_NAME("shape"));
        nb::object dtype = check(PyObject_Str(get_attr(flat, S3D_NAME("dtype")).ptr()));
        return buffer_description(shape, dtype, encode(flat));
    }

    // The same for a plain C-contiguous ndarray of booleans or numbers, read
    // through numpy's C interface: its flattened form is a view of the same
    // memory, so the bytes are encoded where they lie. Other dtypes go the
    // general way, whose memoryview refuses those without a buffer form (dates,
    // variable-width strings, whose memory holds pointers).
    nb::object describe_directly(nb::handle value) {
        if (!direct_ || Py_TYPE(value.ptr()) != &PyArray_Type) return {};
        auto *array = reinterpret_cast<PyArrayObject *>(value.ptr());
        PyArray_Descr *descr = PyArray_DESCR(array);
        if (!PyArray_IS_C_CONTIGUOUS(array) ||
            !(PyTypeNum_ISBOOL(descr->type_num) || PyTypeNum_ISNUMBER(descr->type_num)))
            return {};
        return buffer_description(
            nb::make_tuple(nb::int_(PyArray_SIZE(array))), dtype_text(descr),
            base64_text(static_cast<const unsigned char *>(PyArray_DATA(array)),
                        size_t(PyArray_NBYTES(array))));
    }

    nb::object dtype_text(PyArray_Descr *descr) {
        PyObject *key = reinterpret_cast<PyObject *>(descr);
        if (!dtype_key_.is(key)) {
            dtype_key_ = nb::borrow(key);
            dtype_text_ = check(PyObject_Str(key));
        }
        return dtype_text_;
    }

    nb::object encode(nb::handle flat) {
        nb::object memory = check(PyMemoryView_FromObject(flat.ptr()));
        if (!own_base64_)
            return call_method(call(get_attr(base64_, S3D_NAME("b64encode")), memory), S3D_NAME("decode"));
        Py_buffer *view = PyMemoryView_GET_BUFFER(memory.ptr());
        if (!PyBuffer_IsContiguous(view, 'C'))
            return call_method(call(get_attr(base64_, S3D_NAME("b64encode")), memory), S3D_NAME("decode"));
        return base64_text(static_cast<const unsigned char *>(view->buf), size_t(view->len));
    }

    const Globals &globals_;
    nb::object np_, ndarray_, base64_;
    nb::object dtype_key_, dtype_text_; // the last dtype's text
    bool own_base64_ = false, direct_ = false;
    int depth_ = 0;
};

nb::object numpy_to_buffer_json(const Call &call) {
    GcPause pause;
    BufferEncoder encoder(call.globals);
    return check_result(encoder.walk(call.args[0]), &PyDict_Type);
}

const FunctionDef to_viewer_def{
    "to_viewer", "ParseGDS.to_viewer",
    "Convert parsed GDS layout data to a hierarchical viewer format.\n\n"
    "Output.CELL gives one tree that follows the cell hierarchy (root \"/Cells\");\n"
    "Output.LAYER gives one node per layer holding the cell trees restricted to\n"
    "that layer (root \"/Layers\"). The root's instances hold one float32 array\n"
    "per polygon of the polygon table.\n\n"
    "Raises:\n"
    "    ValueError: for an output that is neither Output.CELL nor Output.LAYER.\n",
    {{"self"}, {"output"}}, {{"output", "Output"}, {"return", "ViewerData"}}, parser_to_viewer};

const FunctionDef asdict_definition{
    "asdict", "ParseGDS.asdict",
    "Convert records, objects with to_dict, lists, tuples and dicts into plain\n"
    "dictionaries and lists; empty containers of records are left out.",
    {{"self"}, {"obj"}}, {{"obj", "Any"}, {"return", "Any"}}, parser_asdict};

const FunctionDef create_json_def{
    "create_json", "ParseGDS.create_json", "Encode viewer data as indented JSON text.",
    {{"self"}, {"data"}}, {{"data", "ViewerData"}, {"return", "str"}}, parser_create_json};

const FunctionDef numpy_to_buffer_json_def{
    "numpy_to_buffer_json", "numpy_to_buffer_json",
    "Replace every numpy array in nested dicts, lists and tuples by a buffer\n"
    "description: shape, dtype, base64 buffer of its row-major bytes, codec \"b64\".",
    {{"value"}}, {{"value", "Any"}, {"return", "dict[str, Any]"}}, numpy_to_buffer_json};

const FunctionDef &asdict_def() { return asdict_definition; }

} // namespace

void init_arrays() {
    if (PyArray_ImportNumPyAPI() < 0) raise_current();
}

void add_viewer_methods(nb::dict namespace_, nb::handle globals) {
    add_method(namespace_, globals, to_viewer_def);
    add_method(namespace_, globals, asdict_definition);
    add_method(namespace_, globals, create_json_def);
}

nb::object make_numpy_to_buffer_json(nb::handle globals) {
    return make_function(globals, numpy_to_buffer_json_def);
}

bool is_own_numpy_to_buffer_json(nb::handle function) {
    return is_function_of(function, numpy_to_buffer_json_def);
}

bool read_float_pairs(nb::handle list, float *out) {
    Py_ssize_t count = PyList_GET_SIZE(list.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *point = PyList_GET_ITEM(list.ptr(), i);
        if (!PyTuple_CheckExact(point) || PyTuple_GET_SIZE(point) != 2 ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(point, 0)) ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(point, 1)))
            return false;
        out[2 * i] = float(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(point, 0)));
        out[2 * i + 1] = float(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(point, 1)));
    }
    return true;
}

nb::object join_path(nb::handle parent, nb::handle name) {
    return check(PyUnicode_FromFormat("%U/%U", format_text(parent).ptr(), format_text(name).ptr()));
}

nb::object buffer_description(nb::handle shape, nb::handle dtype, nb::handle buffer) {
    nb::dict description;
    description["shape"] = shape;
    description["dtype"] = dtype;
    description["buffer"] = buffer;
    description["codec"] = nb::str("b64");
    return description;
}

nb::object base64_text(const unsigned char *data, size_t size) {
    nb::object text = check(PyUnicode_New(Py_ssize_t(base64_size(size)), 127));
    base64_encode(data, size, static_cast<char *>(PyUnicode_DATA(text.ptr())));
    return text;
}

} // namespace show3d
