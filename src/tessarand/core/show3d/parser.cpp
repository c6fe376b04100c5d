// The ParseGDS class namespace, bound from the units that implement its
// methods: construction and lookups (parser_lookups), the general cell walk
// (parser_walk), the exports (parser_export) and the combination of
// references (parser_combine).
#include "parser.hpp"

#include "parser_combine.hpp"
#include "parser_export.hpp"
#include "parser_lookups.hpp"
#include "parser_walk.hpp"

namespace show3d {

bool uses_own_layer_lookups(nb::handle parser) {
    for (const FunctionDef *def : {&get_name_def(), &get_zmin_def(), &get_height_def(), &get_color_def()})
        if (!uses_own_method(parser, nb::str(def->name).ptr(), *def)) return false;
    return true;
}

// The methods in the order the class namespace has always listed them.
nb::dict parser_namespace(nb::handle globals, nb::handle road_snapshot_holder) {
    nb::dict namespace_;
    nb::dict keyword_true;
    keyword_true["combine"] = nb::bool_(true);
    Defaults combine_default;
    combine_default.keyword = keyword_true;
    Defaults export_cells_defaults = combine_default;
    export_cells_defaults.data = nb::borrow(road_snapshot_holder);
    Defaults init_defaults;
    init_defaults.positional = nb::make_tuple(1.0, 0.01, nb::none());
    add_method(namespace_, globals, parser_init_def(), init_defaults);
    for (const FunctionDef *def : {&extract_layers_def(), &get_name_def(), &get_zmin_def(),
                                   &get_height_def(), &get_color_def(), &extract_dpolygon_def(),
                                   &parse_cells_def(), &combine_references_def()})
        add_method(namespace_, globals, *def);
    add_method(namespace_, globals, export_cells_def(), export_cells_defaults);
    Defaults export_layers_defaults = export_cells_defaults;
    add_method(namespace_, globals, export_layers_def(), export_layers_defaults);
    return namespace_;
}

} // namespace show3d
