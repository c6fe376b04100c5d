// Start-up of the module: imports, lazily bound modules, constants, type
// aliases, the records, PdkLayer and get_layer_properties, then the classes and
// functions of the other units, in the order in which callers find them.
#include "classes.hpp"

#include "ktrans.hpp"
#include "parser.hpp"
#include "road.hpp"
#include "entry.hpp"
#include "viewer.hpp"

#include <vector>

namespace show3d {
namespace {

// ---- small builders ----------------------------------------------------------

nb::object import(const char *name) { return check(PyImport_ImportModule(name)); }

void bind(nb::handle globals, const char *name, nb::handle value) {
    check_status(PyDict_SetItemString(globals.ptr(), name, value.ptr()));
}

nb::object lookup(nb::handle globals, const char *name) {
    return Globals(globals)[nb::str(name).ptr()];
}

// origin[args...] as a real generic alias (tuple[float, float], ...).
template <typename... Args> nb::object generic(nb::handle origin, Args... args) {
    nb::tuple parameters = nb::make_tuple(args...);
    return check(Py_GenericAlias(origin.ptr(), parameters.ptr()));
}

nb::handle builtin_type(PyTypeObject *type) {
    return nb::handle(reinterpret_cast<PyObject *>(type));
}

// ---- step 1 and 2: imports and lazily bound modules --------------------------

void bind_imports(nb::handle globals) {
    for (const char *name : {"base64", "math", "tempfile"}) bind(globals, name, import(name));
    nb::object dataclasses = import("dataclasses");
    for (const char *name : {"dataclass", "field", "fields", "is_dataclass"})
        bind(globals, name, dataclasses.attr(name));
    nb::object enum_module = import("enum");
    for (const char *name : {"Enum", "auto"}) bind(globals, name, enum_module.attr(name));
    bind(globals, "fnmatch", import("fnmatch").attr("fnmatch"));
    nb::object typing = import("typing");
    for (const char *name : {"TYPE_CHECKING", "Any", "TypeAlias", "cast"})
        bind(globals, name, typing.attr(name));
}

void bind_lazy_modules(nb::handle globals) {
    nb::object lazy_import = import("tessarand.core.lazy").attr("lazy_import");
    bind(globals, "lazy_import", lazy_import);
    static const std::pair<const char *, const char *> lazy[] = {
        {"npt", "numpy.typing"},
        {"opdk", "orvalis.pdk"},
        {"ovt", "orvalis.technology"},
        {"kv", "kelvane"},
        {"pya", "klayout.db"},
        {"kdb", "klayout.dbcore"},
        {"np", "numpy"},
        {"orjson", "orjson"},
        {"sg", "shapely.geometry"},
        {"ts_pdk", "tessarand.core.pdk"},
        {"comms", "tessarand.core.communication"},
        {"m", "tessarand.models"},
        {"shared", "tessarand.core.shared"},
    };
    for (const auto &[name, module] : lazy)
        bind(globals, name, call(lazy_import, nb::str(module)));
}

// ---- steps 3 and 4: constants and type aliases ---------------------------------

void bind_constants_and_aliases(nb::handle globals) {
    nb::list all;
    all.append(nb::str("show3d"));
    bind(globals, "__all__", all);
    bind(globals, "FORMAT", nb::str("GDS"));
    bind(globals, "VERSION", nb::str("3"));

    nb::handle tuple_type = builtin_type(&PyTuple_Type), list_type = builtin_type(&PyList_Type),
               dict_type = builtin_type(&PyDict_Type), str_type = builtin_type(&PyUnicode_Type),
               int_type = builtin_type(&PyLong_Type), float_type = builtin_type(&PyFloat_Type);
    nb::object point = generic(tuple_type, float_type, float_type);
    nb::object polygon = generic(list_type, point);
    nb::object layer_spec = generic(tuple_type, int_type, int_type);
    nb::object row = generic(tuple_type, float_type, float_type, float_type);
    bind(globals, "Point", point);
    bind(globals, "Polygon", polygon);
    bind(globals, "Polygons", generic(list_type, polygon));
    bind(globals, "Instances", generic(list_type, polygon));
    bind(globals, "PolygonRef", generic(list_type, int_type));
    bind(globals, "LayerSpec", layer_spec);
    bind(globals, "LayerMap", generic(dict_type, int_type, layer_spec));
    bind(globals, "ReverseLayerMap", generic(dict_type, layer_spec, int_type));
    bind(globals, "LayerId", str_type);
    bind(globals, "LayerPolygons", generic(dict_type, str_type, generic(list_type, int_type)));
    bind(globals, "WebColor", str_type);
    bind(globals, "TransMatrix", generic(tuple_type, row, row));
    nb::object float32 = lookup(globals, "np").attr("float32");
    nb::object nd_array = lookup(globals, "npt").attr("NDArray");
    bind(globals, "FlattenedTransMatrices", nd_array[float32]);
}

// ---- step 5: records ------------------------------------------------------------

struct FieldSpec {
    const char *name;
    const char *annotation;
    nb::object default_value = {}; // none given: required
    nb::object factory = {};       // default_factory
};

nb::object make_record(nb::handle globals, const char *name, const char *doc,
                       nb::tuple bases, const std::vector<FieldSpec> &fields,
                       bool kw_only, nb::dict namespace_ = nb::dict()) {
    nb::dict annotations;
    nb::object field = lookup(globals, "field");
    for (const FieldSpec &field_spec : fields) {
        annotations[field_spec.name] = nb::str(field_spec.annotation);
        if (field_spec.factory.is_valid())
            namespace_[field_spec.name] =
                call_keywords(field, {}, S3D_KEYWORDS("default_factory"), {field_spec.factory});
        else if (field_spec.default_value.is_valid())
            namespace_[field_spec.name] = field_spec.default_value;
    }
    namespace_["__module__"] = nb::str(module_name);
    namespace_["__qualname__"] = nb::str(name);
    namespace_["__doc__"] = nb::str(doc);
    namespace_["__annotations__"] = annotations;
    nb::object cls = call(builtin_type(&PyType_Type), nb::str(name), bases, namespace_);
    nb::object dataclass = lookup(globals, "dataclass");
    if (kw_only)
        dataclass = call_keywords(dataclass, {}, S3D_KEYWORDS("kw_only"), {nb::handle(Py_True)});
    return call(dataclass, cls);
}

// Default factories: the constant ones return one shared tuple.
nb::object return_data(const Call &call) { return nb::borrow(call.data); }

nb::object empty_float32(const Call &call) {
    nb::object np = call.globals[S3D_NAME("np")];
    return call_keywords(np.attr("array"), {nb::list()}, S3D_KEYWORDS("dtype"),
                         {nb::str("float32")});
}

const FunctionDef loc_factory{"<lambda>", "PartBase.<lambda>", nullptr, {}, {}, return_data};
const FunctionDef state_factory{"<lambda>", "Part.<lambda>", nullptr, {}, {}, return_data};
const FunctionDef matrices_factory{"<lambda>", "Shape.<lambda>", nullptr, {}, {}, empty_float32};

nb::object constant_factory(nb::handle globals, const FunctionDef &def, nb::object value) {
    Defaults defaults;
    defaults.data = value;
    return make_function(globals, def, defaults);
}

void bind_hierarchy_records(nb::handle globals) {
    nb::handle dict_type = builtin_type(&PyDict_Type), list_type = builtin_type(&PyList_Type);
    nb::object cell = make_record(
        globals, "Cell",
        "Represents a GDS cell with geometric elements and references to other cells.\n\n"
        "Attributes:\n"
        "    cell_index: The layout's index of the cell.\n"
        "    name: The layout's name of the cell.\n"
        "    polygons: Per layer id, the polygon numbers of the cell's shapes.\n"
        "    references: The placed child cells, in the order they were met.\n",
        nb::make_tuple(),
        {{"cell_index", "int"}, {"name", "str"},
         {"polygons", "LayerPolygons", {}, nb::borrow(dict_type)},
         {"references", "References", {}, nb::borrow(list_type)}},
        false);
    bind(globals, "Cell", cell);
    bind(globals, "Cells", generic(list_type, cell));
    nb::object reference = make_record(
        globals, "Reference",
        "A reference cell that extends the base Cell class with transform capabilities.\n\n"
        "Attributes:\n"
        "    trans_count: Number of placements held in trans.\n"
        "    trans: The placements of the child cell, one KTrans each.\n",
        nb::make_tuple(cell),
        {{"trans_count", "int", nb::int_(0)},
         {"trans", "list[KTrans]", {}, nb::borrow(list_type)}},
        false);
    bind(globals, "Reference", reference);
    bind(globals, "References", generic(list_type, reference));
    bind(globals, "ParsedCells",
         make_record(globals, "ParsedCells",
                     "Container class for parsed GDS cell data.\n\n"
                     "Attributes:\n"
                     "    instances: The table of distinct polygons.\n"
                     "    layer_map: Layout layer index to (layer, datatype).\n"
                     "    cells: One Cell per top cell of the layout.\n",
                     nb::make_tuple(),
                     {{"instances", "Instances"}, {"layer_map", "LayerMap"}, {"cells", "Cells"}},
                     false));
    bind(globals, "ParsedLayers",
         make_record(globals, "ParsedLayers",
                     "A container class that holds parsed layer data and related mappings.\n\n"
                     "Attributes:\n"
                     "    instances: The same polygon table as the parsed cells.\n"
                     "    layer_map: The same layer map.\n"
                     "    layers: Per top cell, layer id to the cell tree of that layer.\n",
                     nb::make_tuple(),
                     {{"instances", "Instances"},
                      {"layer_map", "LayerMap"},
                      {"layers", "list[dict[str, Cell | Reference]]"}},
                     false));
}

// ---- PdkLayer ---------------------------------------------------------------------

// Attributes in the order they were set, floats in the "5.3" format.
nb::object pdk_layer_repr(const Call &call) {
    nb::handle self = call.args[0];
    nb::list items;
    nb::str float_format("5.3");
    for (const auto &[key, value] : items_of(get_attr(self, S3D_NAME("__dict__")))) {
        nb::object text = PyFloat_Check(value.ptr())
                              ? check(PyObject_Format(value.ptr(), float_format.ptr()))
                              : check(PyObject_Repr(value.ptr()));
        items.append(check(PyUnicode_FromFormat("%U=%U", format_text(key).ptr(), text.ptr())));
    }
    nb::object joined = check(PyUnicode_Join(nb::str(", ").ptr(), items.ptr()));
    nb::object class_name = get_attr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))),
                                     S3D_NAME("__name__"));
    return check(PyUnicode_FromFormat("%S(%U)", class_name.ptr(), joined.ptr()));
}

nb::object pdk_layer_str(const Call &call) {
    nb::object text = call_method(call.args[0], S3D_NAME("__repr__"));
    if (!text.is_none() && !PyUnicode_Check(text.ptr())) raise_result_type("str", text);
    return text;
}

const FunctionDef pdk_layer_repr_def{
    "__repr__", "PdkLayer.__repr__", nullptr, {{"self"}}, {{"return", "str"}}, pdk_layer_repr};
const FunctionDef pdk_layer_str_def{
    "__str__", "PdkLayer.__str__", nullptr, {{"self"}}, {{"return", "str"}}, pdk_layer_str};

void bind_pdk_layer(nb::handle globals) {
    nb::dict namespace_;
    add_method(namespace_, globals, pdk_layer_repr_def);
    add_method(namespace_, globals, pdk_layer_str_def);
    bind(globals, "PdkLayer",
         make_record(globals, "PdkLayer",
                     "Properties of one layer of the process kit.\n\n"
                     "Attributes:\n"
                     "    name: Name or identifier of the layer.\n"
                     "    thickness: Physical thickness of the layer, in micrometres.\n"
                     "    zmin: Height of the bottom of the layer in the stack, in micrometres.\n"
                     "    color: Display colour as hexadecimal text.\n",
                     nb::make_tuple(),
                     {{"name", "str"}, {"thickness", "float"}, {"zmin", "float"}, {"color", "str"}},
                     false, namespace_));
}

// ---- viewer records -------------------------------------------------------------

// PartBase, the base of every viewer node, and Shape, a leaf's geometry.
nb::object bind_part_base_and_shape(nb::handle globals) {
    nb::object origin = nb::make_tuple(nb::make_tuple(0.0, 0.0, 0.0),
                                       nb::make_tuple(0.0, 0.0, 0.0, 1.0));
    nb::object part_base = make_record(
        globals, "PartBase",
        "Base class for representing parts in the GDS viewer converter.\n\n"
        "Attributes:\n"
        "    name: Display name of the node.\n"
        "    id: Unique path of the node in the tree.\n"
        "    version: Data-model version.\n"
        "    loc: Position (x, y, z) and rotation quaternion (x, y, z, w).\n",
        nb::make_tuple(),
        {{"name", "str"}, {"id", "str"},
         {"version", "str", lookup(globals, "VERSION")},
         {"loc", "tuple[Position, Quaternion]", {}, constant_factory(globals, loc_factory, origin)}},
        false);
    bind(globals, "PartBase", part_base);
    nb::object shape = make_record(
        globals, "Shape",
        "Represents a geometric shape with transformation matrices and references.\n\n"
        "Attributes:\n"
        "    refs: Polygon numbers, positions in the scene's instances.\n"
        "    height: Extrusion height of the shape.\n"
        "    matrices: Placement matrices laid end to end in one float32 array.\n",
        nb::make_tuple(),
        {{"refs", "list[int]"}, {"height", "float"},
         {"matrices", "FlattenedTransMatrices", {}, make_function(globals, matrices_factory)}},
        false);
    bind(globals, "Shape", shape);
    return part_base;
}

// Part, Parts and ViewerData, over PartBase.
void bind_part_records(nb::handle globals, nb::handle part_base) {
    nb::handle list_type = builtin_type(&PyList_Type);
    bind(globals, "Part",
         make_record(globals, "Part",
                     "Represents a geometric part with visual properties for rendering.\n\n"
                     "Attributes:\n"
                     "    shape: The geometry of the leaf.\n"
                     "    color: Display colour as text.\n"
                     "    renderback: Whether back faces are drawn.\n"
                     "    state: Display state pair of the viewer.\n"
                     "    type: Part type.\n"
                     "    subtype: Part subtype.\n",
                     nb::make_tuple(part_base),
                     {{"shape", "Shape"}, {"color", "str"},
                      {"renderback", "bool", nb::bool_(false)},
                      {"state", "tuple[int, int]", {},
                       constant_factory(globals, state_factory, nb::make_tuple(1, 1))},
                      {"type", "str", nb::str("polygon")},
                      {"subtype", "str", nb::str("solid")}},
                     true));
    nb::object parts = make_record(
        globals, "Parts",
        "A collection class that holds multiple Part objects as child components.\n\n"
        "Attributes:\n"
        "    parts: The children, leaves and groups mixed, in insertion order.\n",
        nb::make_tuple(part_base),
        {{"parts", "list[Part | Parts]", {}, nb::borrow(list_type)}}, true);
    bind(globals, "Parts", parts);
    bind(globals, "ViewerData",
         make_record(globals, "ViewerData",
                     "Data structure for viewer representation of GDS layout data.\n\n"
                     "Attributes:\n"
                     "    format: Format tag of the scene.\n"
                     "    instances: The polygon table, one flat float32 array per polygon.\n",
                     nb::make_tuple(parts),
                     {{"format", "str", lookup(globals, "FORMAT")},
                      {"instances", "list[npt.NDArray[np.float32]]", {}, nb::borrow(list_type)}},
                     true));
}

void bind_viewer_records(nb::handle globals) {
    nb::handle tuple_type = builtin_type(&PyTuple_Type), float_type = builtin_type(&PyFloat_Type);
    bind(globals, "Position", generic(tuple_type, float_type, float_type, float_type));
    bind(globals, "Quaternion", generic(tuple_type, float_type, float_type, float_type, float_type));
    bind_part_records(globals, bind_part_base_and_shape(globals));
}

// ---- Output -------------------------------------------------------------------------

void bind_output(nb::handle globals) {
    nb::object enum_base = lookup(globals, "Enum");
    nb::object auto_ = lookup(globals, "auto");
    nb::handle metaclass = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(enum_base.ptr())));
    nb::object bases = nb::make_tuple(enum_base);
    nb::object namespace_ =
        call_method(metaclass, S3D_NAME("__prepare__"), nb::str("Output"), bases);
    namespace_["__module__"] = nb::str(module_name);
    namespace_["__qualname__"] = nb::str("Output");
    namespace_["__doc__"] = nb::str("Enumeration for specifying output format types.");
    namespace_["CELL"] = call(auto_);
    namespace_["LAYER"] = call(auto_);
    bind(globals, "Output", call(metaclass, nb::str("Output"), bases, namespace_));
}

// ---- get_layer_properties -----------------------------------------------------

// The logical layer a level is drawn on, or None when the level has none.
nb::object level_layer(const Globals &globals, nb::handle level) {
    nb::object ovt = globals[S3D_NAME("ovt")];
    nb::object layer = get_attr(level, S3D_NAME("layer"));
    if (is_instance(layer, get_attr(ovt, S3D_NAME("DerivedLayer"))))
        return get_attr(level, S3D_NAME("derived_layer"));
    if (is_instance(layer, get_attr(ovt, S3D_NAME("LogicalLayer")))) return layer;
    nb::object type_text = check(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(layer.ptr()))));
    raise(PyExc_TypeError, "Unknown type %U", type_text.ptr());
}

// The view of a layer; None when the lookup raises an ordinary exception.
nb::object find_view(nb::handle layer_views, nb::handle key) {
    try {
        return call_method(layer_views, S3D_NAME("get_from_tuple"), key);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        return nb::object();
    }
}

nb::object get_layer_properties(const Call &call) {
    const Globals &globals = call.globals;
    nb::handle layer_stack = call.args[0], layer_views = call.args[1];
    nb::dict table;
    nb::object levels = call_method(get_attr(layer_stack, S3D_NAME("layers")), S3D_NAME("values"));
    nb::object iterator = check(PyObject_GetIter(levels.ptr()));
    while (PyObject *raw_level = PyIter_Next(iterator.ptr())) {
        nb::object level = nb::steal(raw_level);
        nb::object layer = level_layer(globals, level);
        if (layer.is_none()) continue;
        if (!is_instance(layer, get_attr(globals[S3D_NAME("ovt")], S3D_NAME("LogicalLayer"))))
            continue;
        nb::object member = get_attr(layer, S3D_NAME("layer"));
        if (!is_instance(member, get_attr(globals[S3D_NAME("kv")], S3D_NAME("LayerEnum"))))
            continue;
        nb::object key = nb::make_tuple(get_attr(member, S3D_NAME("layer")),
                                        get_attr(member, S3D_NAME("datatype")));
        nb::object view = find_view(layer_views, key);
        if (!view.is_valid()) continue;
        if (get_attr(view, S3D_NAME("fill_color")).is_none()) continue;
        nb::object color =
            call_method(get_attr(view, S3D_NAME("fill_color")), S3D_NAME("as_hex"));
        nb::object name = has_attr(member, S3D_NAME("name"))
                              ? get_attr(member, S3D_NAME("name"))
                              : check(PyObject_Str(key.ptr()));
        table[key] = call_keywords(globals[S3D_NAME("PdkLayer")], {},
                                   S3D_KEYWORDS("name", "thickness", "zmin", "color"),
                                   {name, get_attr(level, S3D_NAME("thickness")),
                                    get_attr(level, S3D_NAME("zmin")), color});
    }
    if (PyErr_Occurred()) raise_current();
    return table;
}

const FunctionDef get_layer_properties_def{
    "get_layer_properties",
    "get_layer_properties",
    "Get layer properties from the layer stack and layer views.\n\n"
    "Args:\n"
    "    layer_stack: The kit's layer stack (thickness and bottom height per level).\n"
    "    layer_views: The kit's layer views (colour per layer).\n\n"
    "Returns:\n"
    "    A dictionary from (layer, datatype) to PdkLayer, in the order of the stack.\n",
    {{"layer_stack"}, {"layer_views"}},
    {{"layer_stack", "ovt.LayerStack"},
     {"layer_views", "ovt.LayerViews"},
     {"return", "dict[LayerSpec, PdkLayer]"}},
    get_layer_properties};

nb::dict parser_with_viewer(nb::handle globals, nb::handle road_snapshot_holder) {
    nb::dict namespace_ = parser_namespace(globals, road_snapshot_holder);
    add_viewer_methods(namespace_, globals);
    return namespace_;
}

// ---- the start-up sequence ----------------------------------------------------------

void start(nb::handle module) {
    init_function_type();
    init_arrays();
    note_assertions_enabled();
    nb::handle globals = PyModule_GetDict(module.ptr());
    bind(globals, "__doc__", nb::str("3D viewer."));
    // Code generated for the records runs in this namespace and would add
    // __builtins__ midway; a Python module has it from the start.
    bind(globals, "__builtins__", import("builtins"));
    bind_imports(globals);
    bind_lazy_modules(globals);
    bind_constants_and_aliases(globals);
    bind_hierarchy_records(globals);
    bind_pdk_layer(globals);
    bind_viewer_records(globals);
    bind(globals, "KTrans", create_ktrans_class(globals));
    bind_output(globals);
    nb::list road_snapshot_holder;
    bind(globals, "ParseGDS",
         make_class("ParseGDS",
                    "Parse a KLayout layout into cell and layer trees for the 3D viewer.\n\n"
                    "Every distinct polygon is stored once in instances; cells refer to\n"
                    "polygons by number and to placed cells through Reference records.\n",
                    parser_with_viewer(globals, road_snapshot_holder)));
    bind(globals, "get_layer_properties", make_function(globals, get_layer_properties_def));
    // Every name the direct road relies on is bound now.
    nb::object road_snapshot = direct_road_snapshot(globals);
    road_snapshot_holder.append(road_snapshot);
    bind(globals, "to_3D_viewer", make_to_3d_viewer(globals, road_snapshot));
    bind(globals, "numpy_to_buffer_json", make_numpy_to_buffer_json(globals));
    bind(globals, "show3d", make_show3d(globals));
    bind(globals, "_scene_for_page", make_scene_for_page(globals));
}

} // namespace

} // namespace show3d

// Module entry: multi-phase initialisation, so the module is in sys.modules
// while its body runs; a failing step propagates its own exception.
static int show3d_exec(PyObject *module) {
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nanobind::detail::internals) return -1;
    try {
        show3d::start(module);
        return 0;
    } catch (nanobind::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    }
    return -1;
}

static PyObject *show3d_definition = nullptr;

extern "C" NB_EXPORT PyObject *PyInit_show3d(void) {
    nanobind::detail::init_singletons();
    if (!nanobind::detail::nb_backend_init("show3d")) return nullptr;
    if (!show3d_definition)
        show3d_definition = NB_CALL(module_new)("show3d", nullptr, (void *)show3d_exec,
                                                NB_ABI_MINOR_TAG);
    return show3d_definition;
}
