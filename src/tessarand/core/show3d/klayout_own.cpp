#include "klayout_own.hpp"

#include "klayout_classes.hpp"

#include <cstring>
#include <initializer_list>

namespace show3d {
namespace {

// How the walk comes by objects of a class: handed by KLayout, made by the
// walk, or made and then given settings.
enum class Made { handed, constructed, configured };

struct OwnClass {
    const char *name;
    std::initializer_list<const char *> methods, properties;
    Made made = Made::handed;
};

// What the count of a layout's placements asks of KLayout's classes: the
// stream form of its cells and placements, or its instances one by one.
const OwnClass counted_classes[] = {
    {"Layout", {"write_bytes", "each_cell", "top_cells", "each_cell_bottom_up", "cell"}, {}},
    {"SaveLayoutOptions", {"deselect_all_layers", "add_layer"},
     {"format", "gds2_multi_xy_records", "write_context_info"}, Made::configured},
    {"LayerInfo", {}, {"layer", "datatype"}, Made::configured},
    {"Cell", {"cell_index", "each_inst"}, {}},
    {"Instance", {"size"}, {"cell_index"}},
};

// And everything else the walk asks of them.
const OwnClass walked_classes[] = {
    {"Trans", {"to_s", "to_bytes", "__mul__"}, {}, Made::constructed},
    {"ICplxTrans", {"__mul__"}, {}, Made::constructed},
    // Told from the others by isinstance, which then runs type's own code.
    {"DCplxTrans", {}, {}},
    {"CplxTrans", {}, {}},
    {"VCplxTrans", {}, {}},
    {"Cell", {"each_shape", "shapes", "child_instances"}, {"name"}},
    {"Shapes", {"each", "size"}, {}},
    {"Shape", {"type", "bbox", "is_text", "is_box", "is_path"}, {"polygon"}},
    {"Box", {"to_bytes"}, {}},
    {"Polygon", {"to_bytes"}, {}},
    {"Instance", {"is_complex"}, {"cell_inst", "trans"}},
    {"CellInstArray", {"to_s", "is_complex", "size", "each_trans", "each_cplx_trans"}, {}},
};

// Whether `cls` is the class KLayout names `name`, of the plain metaclass:
// KLayout's objects are of its classes whatever the module's names are
// bound to.
bool named(nb::handle cls, const char *name) {
    if (!Py_IS_TYPE(cls.ptr(), &PyType_Type)) return false;
    const char *full = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_name;
    const char *last = std::strrchr(full, '.');
    return std::strcmp(last ? last + 1 : full, name) == 0;
}

bool own_class(nb::handle kdb, const OwnClass &wanted) {
    nb::object cls = optional_attr(kdb, nb::str(wanted.name).ptr());
    if (!reads_attributes_plainly(cls) || !named(cls, wanted.name)) return false;
    if (wanted.made != Made::handed && !klayout_constructor(cls)) return false;
    if (wanted.made == Made::configured && !sets_attributes_plainly(cls)) return false;
    for (const char *method : wanted.methods)
        if (!klayout_method(cls, method)) return false;
    for (const char *property : wanted.properties)
        if (!klayout_property(cls, property)) return false;
    return true;
}

} // namespace

bool klayout_counted_plainly(nb::handle kdb) {
    for (const OwnClass &wanted : counted_classes)
        if (!own_class(kdb, wanted)) return false;
    return true;
}

bool klayout_read_plainly(nb::handle kdb) {
    if (!klayout_counted_plainly(kdb)) return false;
    for (const OwnClass &wanted : walked_classes)
        if (!own_class(kdb, wanted)) return false;
    return true;
}

bool layout_read_plainly(nb::handle kdb, nb::handle layout) {
    return is_exactly(layout, optional_attr(kdb, S3D_NAME("Layout"))) &&
           shadows_none(layout, {"write_bytes", "each_cell", "top_cells", "each_cell_bottom_up", "cell"});
}

bool cells_read_plainly(nb::handle kdb, nb::handle cells) {
    nb::object cell_type = optional_attr(kdb, S3D_NAME("Cell"));
    for (nb::handle cell : snapshot(cells))
        if (!is_exactly(cell, cell_type) ||
            !shadows_none(cell, {"name", "cell_index", "each_shape", "shapes", "each_inst", "child_instances"}))
            return false;
    return true;
}

} // namespace show3d
