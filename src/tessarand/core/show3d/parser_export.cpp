// The exports ask the instance for every step a subclass may override
// (parse_cells, export_cells, combine_references) and take the direct road's
// walk only while the steps it stands in for are the class's own.
#include "parser_export.hpp"

#include "limits.hpp"
#include "parser_combine.hpp"
#include "parser_walk.hpp"
#include "walk_records.hpp"

#include <functional>
#include <vector>

namespace show3d {
namespace {

// ---- cell export ----------------------------------------------------------------------

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
    if (uses_own_method(self, S3D_NAME("extract_dpolygon"), extract_dpolygon_def()))
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

// ---- layer split ----------------------------------------------------------------------

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

// The text keys of the parser's layer map, read before any tree is made.
std::vector<nb::object> layer_ids_of(nb::handle self) {
    std::vector<nb::object> layer_ids;
    for (nb::handle layer : get_attr(self, S3D_NAME("layer_map")))
        layer_ids.push_back(check(PyObject_Str(layer.ptr())));
    return layer_ids;
}

// Per top cell of `parsed_cells`, its pruned trees by layer id, empty trees
// left out.
nb::list split_by_layer(const Globals &globals, nb::handle parsed_cells,
                        const std::vector<nb::object> &layer_ids) {
    nb::list layers;
    for (nb::handle cell : get_attr(parsed_cells, S3D_NAME("cells"))) {
        nb::dict per_layer;
        for (const nb::object &layer_id : layer_ids) {
            int depth = 0;
            nb::object copy = filter_by_layer(globals, cell, layer_id, depth);
            if (!is_empty_record(copy)) per_layer[layer_id] = copy;
        }
        layers.append(per_layer);
    }
    return layers;
}

// ParsedLayers over the polygon table and layer map of `parsed_cells`.
void store_layers(const Globals &globals, nb::handle self, nb::handle parsed_cells, nb::handle layers) {
    set_attr(self, S3D_NAME("parsed_layers"),
             show3d::call(globals[S3D_NAME("ParsedLayers")], get_attr(parsed_cells, S3D_NAME("instances")),
                          get_attr(parsed_cells, S3D_NAME("layer_map")), layers));
}

// What export_cells(combine=False) does, and, where the tables' walk ran,
// the combined layer trees with it: the ParsedLayers stored, or nothing where
// the layers are still to be split.
nb::object export_walked_layers(const Call &call, nb::handle self,
                                const std::function<bool()> &exports_its_own_way) {
    WalkRecords walked = export_records(call, self, Export::combined_layers, exports_its_own_way);
    store_cells(call, self, walked.cells);
    set_attr(self, S3D_NAME("cell_combined"), nb::bool_(false));
    if (!walked.layers.is_valid()) return {};
    nb::object parsed_cells = get_attr(self, S3D_NAME("parsed_cells"));
    store_layers(call.globals, self, parsed_cells, walked.layers);
    set_attr(self, S3D_NAME("layer_combined"), nb::bool_(true));
    return get_attr(self, S3D_NAME("parsed_layers"));
}

// The layers are split from uncombined cell trees: a fresh parser, or one
// whose cell trees are combined, exports them again without combination.
nb::object parser_export_layers(const Call &call) {
    GcPause pause;
    nb::handle self = call.args[0];
    bool combine = truth(call.args[1]);
    bool fresh = get_attr(self, S3D_NAME("parsed_cells")).is_none();
    auto exports_its_own_way = [&] {
        return uses_own_method(self, S3D_NAME("export_cells"), export_cells_def()) && combines_its_own_way(self);
    };
    if (fresh && combine && exports_its_own_way()) {
        nb::object stored = export_walked_layers(call, self, exports_its_own_way);
        if (stored.is_valid()) return stored;
    } else if (fresh || truth(get_attr(self, S3D_NAME("cell_combined")))) {
        call_keywords(get_attr(self, S3D_NAME("export_cells")), {}, S3D_KEYWORDS("combine"),
                      {nb::handle(Py_False)});
    }
    nb::object parsed_cells = get_attr(self, S3D_NAME("parsed_cells"));
    check_assertion(!parsed_cells.is_none());
    std::vector<nb::object> layer_ids = layer_ids_of(self);
    nb::list layers = split_by_layer(call.globals, parsed_cells, layer_ids);
    store_layers(call.globals, self, parsed_cells, layers);
    if (combine)
        call_method(self, S3D_NAME("combine_references"), output_member(call.globals, S3D_NAME("LAYER")));
    else
        set_attr(self, S3D_NAME("layer_combined"), nb::bool_(false));
    return get_attr(self, S3D_NAME("parsed_layers"));
}

// ---- the methods ----------------------------------------------------------------------

const FunctionDef export_cells_definition{
    "export_cells", "ParseGDS.export_cells",
    "Parse every top cell into ParsedCells, merging repeated references unless\n"
    "combine is false.",
    {{"self"}, {"combine", ParamKind::keyword_only}},
    {{"combine", "bool"}, {"return", "ParsedCells"}}, parser_export_cells};

const FunctionDef export_layers_definition{
    "export_layers", "ParseGDS.export_layers",
    "Split the cell tree into one pruned tree per top cell and layer, merging\n"
    "repeated references unless combine is false.",
    {{"self"}, {"combine", ParamKind::keyword_only}},
    {{"combine", "bool"}, {"return", "ParsedLayers"}}, parser_export_layers};

} // namespace

const FunctionDef &export_cells_def() { return export_cells_definition; }
const FunctionDef &export_layers_def() { return export_layers_definition; }

} // namespace show3d
