// Whether the direct road may take a call, decided once at its start: the
// module's names and classes as start-up bound them (a snapshot taken after
// every name is bound), the parser a ParseGDS of the class itself over
// KLayout's own layout, and its tables plain data whose reads run no code of
// the caller's. Anything else goes step by step, where every replacement is
// called as written.
#include "road.hpp"

#include "klayout_own.hpp"
#include "walk.hpp"

#include <initializer_list>

namespace show3d {
namespace {

using namespace direct;

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

// A snapshot as direct_road_snapshot makes it: two tuples of `count` items,
// values and their class dictionaries (None for a value that is no class).
bool snapshot_shaped(nb::handle snapshot, Py_ssize_t count) {
    if (!PyTuple_CheckExact(snapshot.ptr()) || PyTuple_GET_SIZE(snapshot.ptr()) != 2) return false;
    for (Py_ssize_t part = 0; part < 2; ++part) {
        PyObject *items = PyTuple_GET_ITEM(snapshot.ptr(), part);
        if (!PyTuple_CheckExact(items) || PyTuple_GET_SIZE(items) != count) return false;
    }
    PyObject *dicts = PyTuple_GET_ITEM(snapshot.ptr(), 1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *dict = PyTuple_GET_ITEM(dicts, i);
        if (dict != Py_None && !PyDict_CheckExact(dict)) return false;
    }
    return true;
}

} // namespace

// The snapshot is checked for its shape first: Python code can reach the
// list that holds export_cells' copy of it.
bool direct_road_snapshot_holds(const Globals &globals, nb::handle snapshot) {
    size_t count = sizeof road_names / sizeof road_names[0];
    if (!snapshot_shaped(snapshot, Py_ssize_t(count))) return false;
    nb::object values = sequence_item(snapshot, 0), dicts = sequence_item(snapshot, 1);
    for (size_t i = 0; i < count; ++i) {
        nb::object current = dict_lookup(globals.dict(), nb::str(road_names[i]));
        nb::object then = sequence_item(values, Py_ssize_t(i));
        if (!current.is(then)) return false;
        nb::object dict = sequence_item(dicts, Py_ssize_t(i));
        if (PyType_Check(then.ptr()) && (dict.is_none() || !same_entries(class_dict(then), dict)))
            return false;
    }
    return true;
}

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

bool parser_read_plainly(const Globals &globals, nb::handle snapshot, nb::handle parser) {
    if (snapshot.is_none() || !direct_road_snapshot_holds(globals, snapshot) ||
        !is_exactly(parser, globals[S3D_NAME("ParseGDS")]))
        return false;
    // Attribute reads compare names with the keys of the parser's own
    // dictionary: plain str keys only, whose comparisons run no code.
    if (!shadows_none(parser, {})) return false;
    nb::object kdb = globals[S3D_NAME("kdb")];
    nb::object cells = get_attr(parser, S3D_NAME("cell_index_map"));
    if (!klayout_read_plainly(kdb) || !PyDict_CheckExact(cells.ptr())) return false;
    for (const auto &[index, cell] : items_of(cells))
        if (!PyLong_CheckExact(index.ptr())) return false;
    return layout_read_plainly(kdb, get_attr(parser, S3D_NAME("layout"))) &&
           cells_read_plainly(kdb, check(PyDict_Values(cells.ptr())));
}

namespace {

// ---- plain inputs ---------------------------------------------------------------------

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
        if (!is_exactly(entry, layer_class)) return false;
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

} // namespace

bool road_applies(const Globals &globals, nb::handle snapshot, nb::handle parser, nb::handle output) {
    if (!parser_read_plainly(globals, snapshot, parser)) return false;
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

} // namespace show3d
