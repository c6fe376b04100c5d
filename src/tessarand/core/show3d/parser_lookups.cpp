// ParseGDS's construction and layer lookups, each a method that a subclass
// may override; the walks ask the instance for them.
#include "parser_lookups.hpp"

namespace show3d {
namespace {

// ---- construction ---------------------------------------------------------------------

// The settings given to the constructor, already checked and converted.
void set_settings(nb::handle self, nb::handle layout, nb::handle layers, nb::handle z_scale,
                  nb::handle curve_tolerance, nb::handle exclude_layers) {
    set_attr(self, S3D_NAME("layout"), layout);
    set_attr(self, S3D_NAME("layers"), layers);
    set_attr(self, S3D_NAME("z_scale"), z_scale);
    set_attr(self, S3D_NAME("curve_tolerance"), curve_tolerance);
    set_attr(self, S3D_NAME("exclude_layers"),
             exclude_layers.is_none() ? nb::list() : nb::borrow(exclude_layers));
}

// The polygon table, the parse results with their flags and the layer maps,
// all empty; extract_layers, run next through the instance, fills the maps.
void set_empty_tables(nb::handle self) {
    set_attr(self, S3D_NAME("instances"), nb::list());
    set_attr(self, S3D_NAME("instance_index"), nb::int_(0));
    set_attr(self, S3D_NAME("instance_mapping"), nb::dict());
    set_attr(self, S3D_NAME("parsed_cells"), nb::none());
    set_attr(self, S3D_NAME("parsed_layers"), nb::none());
    set_attr(self, S3D_NAME("cell_combined"), nb::bool_(false));
    set_attr(self, S3D_NAME("layer_combined"), nb::bool_(false));
    set_attr(self, S3D_NAME("layer_map"), nb::dict());
    set_attr(self, S3D_NAME("reverse_layer_map"), nb::dict());
}

// Every argument is checked before the first attribute is set.
nb::object parser_init(const Call &call) {
    nb::handle self = call.args[0], layout = call.args[1], layers = call.args[2];
    nb::object z_scale = nb::float_(to_double(call.args[3]));
    nb::object curve_tolerance = to_optional_float(call.args[4], "curve_tolerance");
    require_exact(layers, &PyDict_Type, "layers", false);
    nb::handle exclude_layers = call.args[5];
    require_exact(exclude_layers, &PyList_Type, "exclude_layers", true);

    set_settings(self, layout, layers, z_scale, curve_tolerance, exclude_layers);
    set_empty_tables(self);
    call_method(self, S3D_NAME("extract_layers"));

    // Every cell by its index, for the walks to find a placement's cell.
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

// ---- lookups --------------------------------------------------------------------------

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

// ---- the methods ----------------------------------------------------------------------

const FunctionDef init_definition{
    "__init__", "ParseGDS.__init__", nullptr,
    {{"self"}, {"layout"}, {"layers"}, {"z_scale"}, {"curve_tolerance"}, {"exclude_layers"}},
    {{"layout", "kdb.Layout"},
     {"layers", "dict[tuple[int, int], PdkLayer]"},
     {"z_scale", "float"},
     {"curve_tolerance", "float | None"},
     {"exclude_layers", "list[str] | None"},
     {"return", "None"}},
    parser_init};

const FunctionDef extract_layers_definition{
    "extract_layers", "ParseGDS.extract_layers",
    "Map the layout's layer indices to the (layer, datatype) pairs of the property table.",
    {{"self"}}, {{"return", "None"}}, parser_extract_layers};

const FunctionDef get_name_definition{"get_name", "ParseGDS.get_name", "Display name of a layer.",
                                      {{"self"}, {"layer_spec"}},
                                      {{"layer_spec", "LayerSpec"}, {"return", "str"}},
                                      parser_get_name};
const FunctionDef get_zmin_definition{"get_zmin", "ParseGDS.get_zmin",
                                      "Bottom of the layer's prisms in viewer units.",
                                      {{"self"}, {"layer_spec"}},
                                      {{"layer_spec", "LayerSpec"}, {"return", "float"}},
                                      parser_get_zmin};
const FunctionDef get_height_definition{"get_height", "ParseGDS.get_height",
                                        "Thickness of the layer's prisms in viewer units.",
                                        {{"self"}, {"layer_spec"}},
                                        {{"layer_spec", "LayerSpec"}, {"return", "float"}},
                                        parser_get_height};
const FunctionDef get_color_definition{"get_color", "ParseGDS.get_color", "The layer's colour.",
                                       {{"self"}, {"layer_spec"}},
                                       {{"layer_spec", "LayerSpec"}, {"return", "WebColor"}},
                                       parser_get_color};

} // namespace

const FunctionDef &parser_init_def() { return init_definition; }
const FunctionDef &extract_layers_def() { return extract_layers_definition; }
const FunctionDef &get_name_def() { return get_name_definition; }
const FunctionDef &get_zmin_def() { return get_zmin_definition; }
const FunctionDef &get_height_def() { return get_height_definition; }
const FunctionDef &get_color_def() { return get_color_definition; }

} // namespace show3d
