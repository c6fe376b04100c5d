// The stream form of a layout read for the direct road's walk: its shapes
// and placements in bulk, where KLayout would otherwise be asked about each.
#pragma once

#include "walk.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace show3d::direct {

// Whether KLayout refused a call (what it cannot write is read another
// way): any ordinary error but running out of memory.
inline bool klayout_refused(nb::python_error &error) {
    return error.matches(PyExc_Exception) && !error.matches(PyExc_MemoryError);
}

// The stream form KLayout writes of `layout` in one call, layer `slot` of
// `layers` as layer number `slot` (with none, the cells and their
// placements alone); invalid where KLayout refuses (an array of more rows
// than the form holds, say).
inline nb::object written_form(nb::handle kdb, nb::handle layout, const std::vector<LayerSlot> &layers) {
    if (layers.size() > UINT16_MAX) return {};
    nb::object info_type = get_attr(kdb, S3D_NAME("LayerInfo"));
    nb::object options = call(get_attr(kdb, S3D_NAME("SaveLayoutOptions")));
    set_attr(options, S3D_NAME("format"), nb::str("GDS2"));
    set_attr(options, S3D_NAME("gds2_multi_xy_records"), nb::handle(Py_True));
    set_attr(options, S3D_NAME("write_context_info"), nb::handle(Py_False));
    call_method(options, S3D_NAME("deselect_all_layers"));
    for (size_t slot = 0; slot < layers.size(); ++slot) {
        nb::object info = call(info_type);
        set_attr(info, S3D_NAME("layer"), nb::int_(slot));
        set_attr(info, S3D_NAME("datatype"), nb::int_(0));
        call_method(options, S3D_NAME("add_layer"), layers[slot].index, info);
    }
    try {
        nb::object form = call_method(layout, S3D_NAME("write_bytes"), options);
        return PyBytes_CheckExact(form.ptr()) ? form : nb::object();
    } catch (nb::python_error &error) {
        if (!klayout_refused(error)) throw;
        return {};
    }
}

// The shapes of the mapped layers read in bulk: KLayout writes the layout's
// stream form in one call, each mapped layer under its slot number, and the
// walk takes a cell's boundaries from it instead of asking KLayout for every
// shape. KLayout writes the shapes of a cell and layer in the order it
// iterates them, a boundary with the points of the polygon it gives for the
// shape. A cell and layer are read this way only where every shape was
// written (the count agrees) and every written outline is surely that
// polygon's hull (see is_stream_hull); paths come from KLayout, as polygons.
// Taken once the first boundary read proved to be the hull of the polygon
// KLayout gives for its shape.
class StreamedShapes {
public:
    StreamedShapes(nb::handle kdb, nb::handle layout, const std::vector<LayerSlot> &layers,
                   nb::handle polygon_type)
        : polygon_type_(nb::borrow(polygon_type)) {
        nb::object path_flag = klayout_constant(get_attr(kdb, S3D_NAME("Shapes")), "SPaths");
        if (path_flag.is_valid() && is_exact_int(path_flag)) path_flag_ = path_flag;
        std::vector<std::string> names;
        if (!cell_names(layout, names)) return;
        nb::object form = written_form(kdb, layout, layers);
        if (!form.is_valid()) return;
        std::span<const unsigned char> bytes = bytes_view(form);
        usable_ = !bytes.empty() && index_.parse(bytes.data(), bytes.size()) && index_.written_names_are(names);
    }

    // What was written of `cell`, whose name is `name`; null where nothing
    // can be taken from it. Only the written layout's own cells are read
    // from it: a cell of another layout may have the same name.
    const StreamCell *cell(nb::handle cell, nb::handle name) const {
        if (!usable_ || !PyUnicode_CheckExact(name.ptr()) || !written_cells_.count(cell.ptr())) return nullptr;
        return index_.find(utf8_view(name));
    }

    // The placements written of `cell`, whose name is `name`, each simple and
    // whole, with the cell index of each placed cell; false where they cannot
    // be taken from the stream form (then nothing is handed). KLayout writes a
    // cell's instances in the order it iterates them, one element each,
    // unless it cannot write one as one (then the count disagrees).
    bool instances(nb::handle cell, nb::handle name, std::span<const StreamInstance> &placed,
                   std::vector<nb::handle> &child_indices) const {
        if (!this->cell(cell, name) || !index_.instances_of(utf8_view(name), placed)) return false;
        for (const StreamInstance &instance : placed)
            if (!instance.simple || instance.points != (instance.array ? 3 : 1) ||
                (instance.array && (instance.columns < 1 || instance.rows < 1)))
                return false;
        if (!is_count(call_method(cell, S3D_NAME("child_instances")), long(placed.size()))) return false;
        child_indices.clear();
        for (const StreamInstance &instance : placed) {
            auto found = index_by_name_.find(index_.placed_name(instance.child));
            if (found == index_by_name_.end()) return false;
            child_indices.push_back(found->second);
        }
        return true;
    }

    // Hands `add` the hull (x, y pairs, and their count) of each of one
    // cell's shapes on the layer of `slot`, in KLayout's order, with the
    // shape's place in it; false, with nothing handed, where they cannot be
    // taken from the stream form.
    template <typename Add>
    bool read(nb::handle cell, const LayerSlot &layer, size_t slot, const StreamCell &written,
              nb::handle integer_polygon, Add &&add) {
        if (!usable_) return false;
        std::span<const StreamElement> elements;
        if (!index_.elements_of(written, uint16_t(slot), elements)) return false;
        nb::object shapes = call_method(cell, S3D_NAME("shapes"), layer.index);
        if (!is_count(call_method(shapes, S3D_NAME("size")), long(elements.size()))) return false;
        bool boundaries = std::any_of(elements.begin(), elements.end(),
                                      [](const StreamElement &e) { return e.kind == StreamKind::boundary; });
        if (boundaries && !proven_ && !prove(shapes, elements.front(), integer_polygon)) return false;
        for (const StreamElement &element : elements) {
            if (element.kind == StreamKind::other) return false;
            if (element.kind == StreamKind::boundary &&
                !is_stream_hull(index_.points_of(element), element.count, scratch_))
                return false;
        }
        std::vector<nb::object> paths;
        if (!paths_of(shapes, elements, paths)) return false;
        auto next_path = paths.begin();
        for (size_t position = 0; position < elements.size(); ++position) {
            const StreamElement &element = elements[position];
            if (element.kind == StreamKind::text) continue;
            xy_.clear();
            if (element.kind == StreamKind::boundary)
                append_stream_hull(index_.points_of(element), element.count, xy_);
            else
                read_hull(integer_polygon, get_attr(*next_path++, S3D_NAME("polygon")), xy_);
            add(xy_.data(), xy_.size() / 2, position);
        }
        return true;
    }

private:
    // The names of all the layout's cells, and the cells themselves; false
    // where one may not be the name KLayout keeps (an object that holds a
    // name of its own).
    bool cell_names(nb::handle layout, std::vector<std::string> &names) {
        nb::object iterator = check(PyObject_GetIter(call_method(layout, S3D_NAME("each_cell")).ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object cell = nb::steal(raw);
            if (!shadows_none(cell, {"name", "cell_index", "child_instances"})) return false;
            nb::object name = get_attr(cell, S3D_NAME("name"));
            if (!PyUnicode_CheckExact(name.ptr())) return false;
            names.emplace_back(utf8_view(name));
            index_by_name_[names.back()] = call_method(cell, S3D_NAME("cell_index"));
            written_cells_.insert(cell.ptr());
            kept_cells_.push_back(std::move(cell));
        }
        if (PyErr_Occurred()) raise_current();
        return true;
    }

    // Whether the first shape of a layer that begins with a boundary gives,
    // as KLayout's polygon, the hull written; the stream form is dropped for
    // good where it does not.
    bool prove(nb::handle shapes, const StreamElement &first, nb::handle integer_polygon) {
        if (first.kind != StreamKind::boundary) return false; // wait for a layer that does
        nb::object iterator = check(PyObject_GetIter(call_method(shapes, S3D_NAME("each")).ptr()));
        nb::object shape = nb::steal(PyIter_Next(iterator.ptr()));
        if (!shape.is_valid()) {
            if (PyErr_Occurred()) raise_current();
            return usable_ = false;
        }
        std::vector<double> given, written;
        nb::object polygon = get_attr(shape, S3D_NAME("polygon"));
        bool same = polygon_type_.is(integer_polygon) &&
                    is_exactly(polygon, polygon_type_) &&
                    stream_hull(index_.points_of(first), first.count, written, scratch_);
        if (same) read_hull(integer_polygon, polygon, given);
        usable_ = proven_ = same && given == written;
        return proven_;
    }

    // The layer's paths in KLayout's order, as many as were written; false
    // where KLayout gives any other number, or anything else.
    bool paths_of(nb::handle shapes, std::span<const StreamElement> elements, std::vector<nb::object> &paths) {
        size_t written = size_t(std::count_if(elements.begin(), elements.end(),
                                              [](const StreamElement &e) { return e.kind == StreamKind::path; }));
        if (written == 0) return true;
        if (!path_flag_.is_valid()) return false;
        nb::object each;
        try {
            each = call_method(shapes, S3D_NAME("each"), path_flag_);
        } catch (nb::python_error &error) {
            if (!klayout_refused(error)) throw;
            return false;
        }
        nb::object iterator = check(PyObject_GetIter(each.ptr()));
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object shape = nb::steal(raw);
            if (paths.size() == written || !truth(call_method(shape, S3D_NAME("is_path"))))
                return false;
            paths.push_back(std::move(shape));
        }
        if (PyErr_Occurred()) raise_current();
        return paths.size() == written;
    }

    StreamIndex index_;
    std::unordered_map<std::string, nb::object> index_by_name_; // cell_index() of each written cell
    std::unordered_set<PyObject *> written_cells_; // identities, while kept_cells_ holds them
    std::vector<nb::object> kept_cells_;
    nb::object polygon_type_, path_flag_;
    std::vector<uint64_t> scratch_;
    std::vector<double> xy_;
    bool usable_ = false, proven_ = false;
};

} // namespace show3d::direct
