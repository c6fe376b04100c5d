// to_3D_viewer converts a component (or a GDS file) through a temporary GDS
// file and the parser; show3d adds the viewer settings and sends one message.
#include "entry.hpp"

#include "klayout_own.hpp"

#include "buffers.hpp"
#include "klayout_classes.hpp"
#include "limits.hpp"
#include "page.hpp"
#include "scene.hpp"
#include "settings.hpp"
#include "walk_stream.hpp"
#include "viewer.hpp"

#include <optional>
#include <unordered_map>

namespace show3d {
namespace {

// exclude_layers: None or exactly a list; the note explains why a list
// subclass is refused.
void check_exclude_layers(nb::handle value, bool with_note) {
    try {
        require_exact(value, &PyList_Type, "exclude_layers", true);
    } catch (nb::python_error &error) {
        if (with_note && PyList_Check(value.ptr())) {
            nb::object note(nb::str(
                "Subclasses of built-in types are not accepted for this parameter; "
                "pass a plain list."));
            call_method(error.value(), S3D_NAME("add_note"), note);
        }
        throw;
    }
}

// The kit's layer views or stack when the caller gave none.
nb::object active_kit_part(const Globals &globals, nb::handle given, PyObject *getter,
                           PyObject *expected) {
    if (!given.is_none()) return nb::borrow(given);
    nb::object value = call_method(globals[S3D_NAME("opdk")], getter);
    if (assertions_enabled())
        check_assertion(is_instance(value, get_attr(globals[S3D_NAME("ovt")], expected)));
    return value;
}

// Deletes the temporary file; one already gone is not an error. A failing
// deletion raises its own error, chained to the error being handled.
void remove_temporary(nb::handle path, nb::python_error *pending) {
    try {
        nb::object pathlib = check(PyImport_ImportModule("pathlib"));
        call_method(call(get_attr(pathlib, S3D_NAME("Path")), path), S3D_NAME("unlink"));
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_FileNotFoundError)) return;
        if (pending) PyException_SetContext(error.value().ptr(), Py_NewRef(pending->value().ptr()));
        throw;
    }
}

// Writes the component to a new named temporary ".gds" file (the component
// writes OASIS where GDS2 cannot hold the layout; KLayout reads either by its
// content); the file is removed again if writing or closing it fails.
nb::object write_temporary_gds(const Globals &globals, nb::handle component) {
    nb::object file = call_keywords(get_attr(globals[S3D_NAME("tempfile")], S3D_NAME("NamedTemporaryFile")),
                                    {}, S3D_KEYWORDS("suffix", "delete"),
                                    {nb::str(".gds"), nb::handle(Py_False)});
    nb::object path;
    try {
        nb::object opened = call_method(file, S3D_NAME("__enter__"));
        path = get_attr(opened, S3D_NAME("name"));
        try {
            call_method(component, S3D_NAME("write_gds"), path);
        } catch (nb::python_error &error) {
            call_method(file, S3D_NAME("__exit__"), or_none(error.type()), or_none(error.value()),
                        or_none(error.traceback()));
            throw;
        }
        call_method(file, S3D_NAME("__exit__"), nb::none(), nb::none(), nb::none());
    } catch (nb::python_error &error) {
        if (path.is_valid()) remove_temporary(path, &error);
        throw;
    }
    return path;
}

// A converted scene; `encoded` when its arrays are buffer descriptions
// already (the direct road, asked to encode them), and then possibly with
// their base64 text left to a DeferredBuffers.
// The active kit's parts and show3d's checked tuning, as to_3D_viewer takes them.
struct KitParts {
    nb::object layer_stack, layer_views, scale, curve_tolerance;
};

struct Converted {
    nb::object scene;
    bool encoded = false;
};

// How often the cells of KLayout's layout are placed when flattened, from
// its instances alone (an array counts its members without making them).
std::optional<uint64_t> flattened_placements(nb::handle layout) {
    std::unordered_map<long, uint64_t> below; // placements below each cell
    for (nb::handle index : snapshot(call_method(layout, S3D_NAME("each_cell_bottom_up")))) {
        std::optional<long> cell_index = exact_long(index);
        if (!cell_index) return std::nullopt;
        nb::object cell = call_method(layout, S3D_NAME("cell"), index);
        uint64_t placements = 0;
        nb::object iterator = check(PyObject_GetIter(call_method(cell, S3D_NAME("each_inst")).ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object inst = nb::steal(raw);
            std::optional<long> child = exact_long(get_attr(inst, S3D_NAME("cell_index")));
            std::optional<long> members = exact_long(call_method(inst, S3D_NAME("size")));
            if (!child || !members || *members < 0) return std::nullopt;
            auto known = below.find(*child); // children come first
            placements = add_instance(placements, uint64_t(*members), known == below.end() ? 0 : known->second);
        }
        if (PyErr_Occurred()) raise_current();
        below[*cell_index] = placements;
    }
    uint64_t flattened = 0;
    for (nb::handle top : snapshot(call_method(layout, S3D_NAME("top_cells")))) {
        std::optional<long> index = exact_long(call_method(top, S3D_NAME("cell_index")));
        if (!index) return std::nullopt;
        auto known = below.find(*index);
        flattened = saturating_add(flattened, known == below.end() ? 0 : known->second);
    }
    return flattened;
}

// The same count from the cells and placements KLayout writes in one call,
// quicker than asking for each instance; nothing where they cannot be
// written or read (an array of more rows than the stream form holds).
std::optional<uint64_t> written_placements(nb::handle kdb, nb::handle layout) {
    nb::object form = direct::written_form(kdb, layout, {});
    if (!form.is_valid()) return std::nullopt;
    std::span<const unsigned char> bytes = bytes_view(form);
    StreamIndex index;
    if (!index.parse(bytes.data(), bytes.size())) return std::nullopt;
    return flattened_placements(index);
}

// A component of the framework's own class over KLayout's own layout (see
// klayout_own.hpp) is counted before the kit derives layers from it and it is written out:
// KLayout's booleans flatten a layout of billions of placements for minutes
// before they run out of memory. Other components are counted by the walk.
void refuse_enormous_component(const Globals &globals, nb::handle orvalis, nb::handle component,
                               const Limits &limits) {
    nb::object component_type = optional_attr(orvalis, S3D_NAME("Component"));
    if (!component_type.is_valid() || !is_exactly(component, component_type)) return;
    nb::object layout = dict_lookup(check(PyObject_GenericGetDict(component.ptr(), nullptr)), S3D_NAME("layout"));
    nb::handle kdb = globals[S3D_NAME("pya")];
    // The layout first, then the cells it gives.
    if (!layout.is_valid() || !klayout_counted_plainly(kdb) || !layout_read_plainly(kdb, layout) ||
        !cells_read_plainly(kdb, call_method(layout, S3D_NAME("each_cell"))))
        return;
    std::optional<uint64_t> flattened = written_placements(kdb, layout);
    if (!flattened) flattened = flattened_placements(layout);
    if (flattened && *flattened > limits.placements)
        refuse_placements(*flattened, limits.placements, *flattened == UINT64_MAX);
}

// Reads the file into a new layout, parses it in the requested mode and
// builds the viewer tree (or its dictionary form): on the direct road where
// it applies, else step by step.
Converted convert_file(const Globals &globals, nb::handle snapshot, nb::handle path,
                       nb::handle layers, nb::handle output, const nb::handle *tuning,
                       const Limits &limits, bool as_dict, bool encode, DeferredBuffers *deferred) {
    nb::object layout = call(get_attr(globals[S3D_NAME("pya")], S3D_NAME("Layout")));
    call_method(layout, S3D_NAME("read"), path);
    nb::object parser = call_keywords(globals[S3D_NAME("ParseGDS")], {layout, layers},
                                      S3D_KEYWORDS("z_scale", "curve_tolerance", "exclude_layers"),
                                      {tuning[0], tuning[1], tuning[2]});
    SceneForm form = !as_dict ? SceneForm::records : encode ? SceneForm::buffers : SceneForm::dicts;
    nb::object direct = direct_scene(globals, snapshot, parser, output, limits, form, deferred);
    if (direct.is_valid()) return {direct, form == SceneForm::buffers};
    PyObject *combine = S3D_KEYWORDS("combine");
    if (equals(output, output_member(globals, S3D_NAME("CELL"))))
        call_keywords(get_attr(parser, S3D_NAME("export_cells")), {}, combine, {nb::handle(Py_True)});
    else if (equals(output, output_member(globals, S3D_NAME("LAYER"))))
        call_keywords(get_attr(parser, S3D_NAME("export_layers")), {}, combine, {nb::handle(Py_True)});
    else
        raise(PyExc_ValueError, "Only Output.CELL and Output.LAYER are allowed");
    nb::object result = call_method(parser, S3D_NAME("to_viewer"), output);
    if (as_dict) result = call_method(parser, S3D_NAME("asdict"), result);
    return {result, false};
}

// to_3D_viewer's work; `encode` lets the direct road write buffer
// descriptions in place of arrays, and `deferred` leave their text to it.
Converted convert_component(const Call &call, bool encode, DeferredBuffers *deferred = nullptr) {
    const Globals &globals = call.globals;
    nb::handle component = call.args[0], output = call.args[1];
    nb::object z_scale = nb::float_(to_double(call.args[4]));
    nb::object curve_tolerance = to_optional_float(call.args[5], "curve_tolerance");
    bool as_dict = truth(call.args[7]);
    check_exclude_layers(call.args[6], true);
    Limits limits = limits_from_environment();

    nb::object orvalis = check(PyImport_ImportModule("orvalis"));
    nb::object layer_views = active_kit_part(globals, call.args[2], S3D_NAME("get_layer_views"),
                                             S3D_NAME("LayerViews"));
    nb::object layer_stack = active_kit_part(globals, call.args[3], S3D_NAME("get_layer_stack"),
                                             S3D_NAME("LayerStack"));
    nb::object source = nb::borrow(component);
    if (PyUnicode_Check(component.ptr()))
        source = show3d::call(get_attr(orvalis, S3D_NAME("import_gds")), component);
    refuse_enormous_component(globals, orvalis, source, limits);
    nb::object derived = call_method(layer_stack, S3D_NAME("get_component_with_derived_layers"), source);
    nb::object layers = show3d::call(globals[S3D_NAME("get_layer_properties")], layer_stack, layer_views);
    nb::object path = write_temporary_gds(globals, derived);
    // The file holds all that is needed now: the layouts read and derived
    // here go before the file is read back, so that three copies of a large
    // layout never live at once.
    derived.reset();
    source.reset();
    nb::handle tuning[] = {z_scale, curve_tolerance, call.args[6]};
    Converted result;
    try {
        result = convert_file(globals, call.data, path, layers, output, tuning, limits, as_dict, encode,
                              deferred);
    } catch (nb::python_error &error) {
        remove_temporary(path, &error);
        throw;
    }
    remove_temporary(path, nullptr);
    return result;
}

nb::object to_3d_viewer(const Call &call) { return convert_component(call, false).scene; }

const FunctionDef &to_3d_viewer_definition();

// The scene in its dictionary form, with arrays as buffer descriptions (whose
// text the direct road may leave to `deferred`).
nb::object encoded_scene(const Call &call, nb::handle layer_stack, nb::handle layer_views,
                         nb::handle scale, nb::handle curve_tolerance, DeferredBuffers *deferred) {
    const Globals &globals = call.globals;
    nb::handle component = call.args[0], output = call.args[1];
    nb::object to_viewer = globals[S3D_NAME("to_3D_viewer")];
    nb::object encoder = globals[S3D_NAME("numpy_to_buffer_json")];
    if (is_function_of(to_viewer, to_3d_viewer_definition()) && is_own_numpy_to_buffer_json(encoder)) {
        // Both steps are ours: the direct road may encode while it converts.
        nb::handle args[] = {component, output, layer_views, layer_stack, scale,
                             curve_tolerance, call.args[4], Py_True};
        Converted data = convert_component(
            Call{function_globals(to_viewer), function_data(to_viewer), args}, true, deferred);
        if (data.encoded) return data.scene;
        return show3d::call(encoder, data.scene);
    }
    nb::object scene = call_keywords(
        to_viewer, {component, output},
        S3D_KEYWORDS("layer_stack", "layer_views", "z_scale", "curve_tolerance", "exclude_layers",
                     "as_dict"),
        {layer_stack, layer_views, scale, curve_tolerance, call.args[4], nb::handle(Py_True)});
    return show3d::call(encoder, scene);
}

// The message's dictionary: its type, the encoded scene and the viewer
// settings.
nb::dict message_dict(const Call &call, const KitParts &kit, DeferredBuffers *deferred) {
    nb::dict message;
    message["type"] = nb::str("data");
    message["data"] = encoded_scene(call, kit.layer_stack, kit.layer_views, kit.scale, kit.curve_tolerance,
                                    deferred);
    message["config"] = viewer_config();
    return message;
}

// orjson.dumps(message, default=shared.none): bytes.
nb::object dumped(const Globals &globals, nb::handle message) {
    nb::object none = get_attr(globals[S3D_NAME("shared")], S3D_NAME("none"));
    return call_keywords(get_attr(globals[S3D_NAME("orjson")], S3D_NAME("dumps")), {message},
                         S3D_KEYWORDS("default"), {none});
}

// The JSON text of the message. The collector stays paused until the scene's
// many containers are freed again: its passes over them would find nothing to
// collect.
nb::object message_text(const Call &call, const KitParts &kit) {
    GcPause pause;
    std::optional<DeferredBuffers> deferred;
    if (orjson_is_real(call.globals)) deferred.emplace();
    nb::dict message = message_dict(call, kit, deferred ? &*deferred : nullptr);
    nb::object encoded = dumped(call.globals, message);
    if (deferred && !deferred->empty()) {
        nb::object text = deferred->splice(encoded);
        if (text.is_valid()) return text;
        deferred->materialize(); // a placeholder's key met by chance in the scene's own text
        encoded = dumped(call.globals, message);
    }
    message.reset(); // the scene goes before the text is decoded: one copy less at the peak
    return call_method(encoded, S3D_NAME("decode"), nb::str("utf-8"));
}

// show3d's checks of its arguments and the active kit's stack and views.
KitParts active_kit(const Call &call) {
    const Globals &globals = call.globals;
    nb::object z_scale = nb::float_(to_double(call.args[2]));
    KitParts kit;
    kit.curve_tolerance = to_optional_float(call.args[3], "curve_tolerance");
    check_exclude_layers(call.args[4], false);
    nb::object pdk = call_method(globals[S3D_NAME("ts_pdk")], S3D_NAME("get_pdk"));
    kit.layer_stack = get_attr(pdk, S3D_NAME("layer_stack"));
    kit.layer_views = get_attr(pdk, S3D_NAME("layer_views"));
    if (assertions_enabled()) {
        nb::object ovt = globals[S3D_NAME("ovt")];
        check_assertion(is_instance(kit.layer_stack, get_attr(ovt, S3D_NAME("LayerStack"))));
        check_assertion(is_instance(kit.layer_views, get_attr(ovt, S3D_NAME("LayerViews"))));
    }
    kit.scale = nb::float_(PyFloat_AS_DOUBLE(z_scale.ptr()));
    return kit;
}

nb::object show3d_impl(const Call &call) {
    nb::object text = message_text(call, active_kit(call));
    nb::object message = call_keywords(get_attr(call.globals[S3D_NAME("m")], S3D_NAME("Show3dMessage")),
                                       {}, S3D_KEYWORDS("content"), {text});
    call_method(call.globals[S3D_NAME("comms")], S3D_NAME("send_message"), message);
    return nb::none();
}

// What show3d would send, in the form our page carries (see page_parts).
nb::object scene_for_page_impl(const Call &call) {
    KitParts kit = active_kit(call);
    GcPause pause;
    std::optional<DeferredBuffers> deferred;
    if (orjson_is_real(call.globals)) deferred.emplace(true);
    nb::dict message = message_dict(call, kit, deferred ? &*deferred : nullptr);
    return page_parts(message, deferred ? &*deferred : nullptr, truth(call.args[5]),
                      [&] { return dumped(call.globals, message); });
}

const FunctionDef to_3d_viewer_def{
    "to_3D_viewer", "to_3D_viewer",
    "Convert component to 3D viewer format.\n\n"
    "Args:\n"
    "    component: A layout component, or the path of a GDS file.\n"
    "    output: Output.LAYER (one tree per layer) or Output.CELL (the cell hierarchy).\n"
    "    layer_views: Layer views for the colours; the active kit's when None.\n"
    "    layer_stack: Layer stack for heights and thicknesses; the active kit's when None.\n"
    "    z_scale: Scale of all heights.\n"
    "    curve_tolerance: Simplification tolerance in micrometres; None keeps every vertex.\n"
    "    exclude_layers: Layer name patterns (case-insensitive wildcards) to leave out.\n"
    "    as_dict: Return plain dictionaries instead of records.\n\n"
    "Returns:\n"
    "    The viewer scene as ViewerData, or as a dictionary when as_dict is true.\n",
    {{"component"}, {"output"}, {"layer_views"}, {"layer_stack"}, {"z_scale"},
     {"curve_tolerance"}, {"exclude_layers"}, {"as_dict", ParamKind::keyword_only}},
    {{"component", "GdsComponent | str"},
     {"output", "Output"},
     {"layer_views", "ovt.LayerViews | None"},
     {"layer_stack", "ovt.LayerStack | None"},
     {"z_scale", "float"},
     {"curve_tolerance", "float | None"},
     {"exclude_layers", "list[str] | None"},
     {"as_dict", "bool"},
     {"return", "ViewerData | dict[str, Any]"}},
    to_3d_viewer};

const FunctionDef &to_3d_viewer_definition() { return to_3d_viewer_def; }

const FunctionDef show3d_def{
    "show3d", "show3d",
    "Show component in 3D viewer.\n\n"
    "Args:\n"
    "    component: A layout component, or the path of a GDS file.\n"
    "    output: Output.LAYER or Output.CELL.\n"
    "    z_scale: Scale of all heights.\n"
    "    curve_tolerance: Simplification tolerance in micrometres; None keeps every vertex.\n"
    "    exclude_layers: Layer name patterns (case-insensitive wildcards) to leave out.\n",
    {{"component"}, {"output"}, {"z_scale"}, {"curve_tolerance"}, {"exclude_layers"}},
    {{"component", "GdsComponent | str"},
     {"output", "Output"},
     {"z_scale", "float"},
     {"curve_tolerance", "float | None"},
     {"exclude_layers", "list[str] | None"},
     {"return", "None"}},
    show3d_impl};

// Not part of the module's documented surface: the command line's way to the
// page without a message to catch.
const FunctionDef scene_for_page_def{
    "_scene_for_page", "_scene_for_page",
    "What show3d would send, as the parts of the viewer page: a dictionary with\n"
    "packed (the message JSON, each buffer a number in its table, or None when\n"
    "the arrays could not be packed), arrays (the distinct arrays, bytes),\n"
    "message (the message text when asked for, or when not packed),\n"
    "message_chars, placements, polygons, points and layers.\n",
    {{"component"}, {"output"}, {"z_scale"}, {"curve_tolerance"}, {"exclude_layers"},
     {"message", ParamKind::keyword_only}},
    {{"component", "GdsComponent | str"},
     {"output", "Output"},
     {"z_scale", "float"},
     {"curve_tolerance", "float | None"},
     {"exclude_layers", "list[str] | None"},
     {"message", "bool"},
     {"return", "dict[str, Any]"}},
    scene_for_page_impl};

} // namespace

nb::object make_to_3d_viewer(nb::handle globals, nb::handle road_snapshot) {
    Defaults defaults;
    defaults.positional = nb::make_tuple(Globals(globals)[S3D_NAME("Output")].attr("LAYER"),
                                         nb::none(), nb::none(), 1.0, 0.01, nb::none());
    nb::dict keyword;
    keyword["as_dict"] = nb::bool_(false);
    defaults.keyword = keyword;
    defaults.data = nb::borrow(road_snapshot);
    return make_function(globals, to_3d_viewer_def, defaults);
}

nb::object make_show3d(nb::handle globals) {
    Defaults defaults;
    defaults.positional = nb::make_tuple(1.0, 0.01, nb::none());
    return make_function(globals, show3d_def, defaults);
}

nb::object make_scene_for_page(nb::handle globals) {
    Defaults defaults;
    defaults.positional = nb::make_tuple(1.0, 0.01, nb::none());
    nb::dict keyword;
    keyword["message"] = nb::bool_(false);
    defaults.keyword = keyword;
    return make_function(globals, scene_for_page_def, defaults);
}

} // namespace show3d
