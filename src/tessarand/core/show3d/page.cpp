#include "page.hpp"

#include <vector>

namespace show3d {
namespace {

// value[key] of a dictionary, owned; invalid when `value` is no dictionary or
// lacks the key.
nb::object entry(nb::handle value, PyObject *key) {
    if (!value.is_valid() || !PyDict_Check(value.ptr())) return {};
    return dict_lookup(value, key);
}

// The first number of a buffer description's shape, else 0.
size_t described_length(nb::handle description) {
    nb::object shape = entry(description, S3D_NAME("shape"));
    if (!shape.is_valid() || !PySequence_Check(shape.ptr()) || length(shape) < 1) return 0;
    nb::object first = check(PySequence_GetItem(shape.ptr(), 0));
    std::optional<long> value = exact_long(first);
    return value && *value > 0 ? size_t(*value) : 0;
}

void add_name(nb::handle names, nb::handle node) {
    nb::object name = entry(node, S3D_NAME("name"));
    if (name.is_valid()) check_status(PyDict_SetItem(names.ptr(), name.ptr(), Py_None));
}

// The node's "parts" as a list, or an empty tuple.
nb::object parts_of(nb::handle node) {
    nb::object parts = entry(node, S3D_NAME("parts"));
    return parts.is_valid() && PyList_Check(parts.ptr()) ? parts : nb::object(nb::tuple());
}

} // namespace

SceneCounts scene_counts(nb::handle data) {
    SceneCounts counts;
    nb::dict leaf_names, layer_names;
    // Depth first, children in order, without recursion: a hierarchy may be
    // deeper than the C stack allows.
    std::vector<nb::object> pending;
    nb::object root_parts = parts_of(data);
    for (Py_ssize_t i = length(root_parts); i-- > 0;)
        pending.push_back(check(PySequence_GetItem(root_parts.ptr(), i)));
    for (Py_ssize_t i = 0; i < length(root_parts); ++i)
        add_name(layer_names, check(PySequence_GetItem(root_parts.ptr(), i)));
    while (!pending.empty()) {
        nb::object node = std::move(pending.back());
        pending.pop_back();
        nb::object shape = entry(node, S3D_NAME("shape"));
        if (shape.is_valid()) {
            counts.placements += std::max<size_t>(1, described_length(entry(shape, S3D_NAME("matrices"))) / 6);
            add_name(leaf_names, node);
            continue;
        }
        nb::object parts = parts_of(node);
        for (Py_ssize_t i = length(parts); i-- > 0;) pending.push_back(check(PySequence_GetItem(parts.ptr(), i)));
    }
    nb::object name = entry(data, S3D_NAME("name"));
    bool layer_mode = name.is_valid() && PyUnicode_Check(name.ptr()) &&
                      PyUnicode_CompareWithASCIIString(name.ptr(), "Layers") == 0;
    counts.layers = nb::steal<nb::list>(check(PySequence_List((layer_mode ? layer_names : leaf_names).ptr())).release());
    nb::object instances = entry(data, S3D_NAME("instances"));
    if (instances.is_valid() && PyList_Check(instances.ptr())) {
        counts.polygons = size_t(length(instances));
        for (Py_ssize_t i = 0; i < length(instances); ++i)
            counts.points += described_length(list_item(instances, i)) / 2;
    }
    return counts;
}

namespace {

void add_counts(nb::dict &result, const SceneCounts &counts) {
    result["placements"] = nb::int_(counts.placements);
    result["polygons"] = nb::int_(counts.polygons);
    result["points"] = nb::int_(counts.points);
    result["layers"] = counts.layers;
}

nb::object decoded(nb::handle encoded) { return call_method(encoded, S3D_NAME("decode"), nb::str("utf-8")); }

} // namespace

nb::object page_parts(nb::handle message, DeferredBuffers *deferred, bool with_message,
                      const std::function<nb::object()> &dump) {
    // Written first: the encoder refuses a scene that contains itself, which
    // the counting below would follow for ever.
    nb::object encoded = dump();
    nb::object data = entry(message, S3D_NAME("data"));
    std::optional<PackedMessage> packed;
    if (deferred && !deferred->empty()) packed = deferred->pack(encoded);
    nb::dict result;
    if (packed) {
        nb::object text;
        if (with_message) {
            text = deferred->splice(encoded);
            if (!text.is_valid()) raise(PyExc_RuntimeError, "the message could not be written");
        }
        result["packed"] = packed->text;
        result["arrays"] = packed->arrays;
        result["message"] = or_none(text);
        result["message_chars"] = nb::int_(packed->message_chars);
        // The polygon list is a placeholder in the scene: its counts come from the packing.
        SceneCounts counts = scene_counts(data);
        counts.polygons = packed->polygons;
        counts.points = packed->points;
        add_counts(result, counts);
    } else {
        if (deferred && !deferred->empty()) {
            deferred->materialize();
            encoded = dump();
        }
        add_counts(result, scene_counts(data));
        nb::object text = decoded(encoded);
        result["packed"] = nb::none();
        result["arrays"] = nb::bytes("", 0);
        result["message"] = text;
        result["message_chars"] = nb::int_(length(text));
    }
    return result;
}

} // namespace show3d
