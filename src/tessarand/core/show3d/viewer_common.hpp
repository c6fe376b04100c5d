// The small conversions every form of viewer output shares: node ids, buffer
// descriptions and their base64 text, float32 points read from outline lists,
// and the rebuilding of nested lists, tuples and dicts.
#pragma once

#include "pyhelpers.hpp"

#include <cstddef>

namespace show3d {

// The id of a tree node: its parent's id, "/", its name.
nb::object join_path(nb::handle parent, nb::handle name);

// numpy_to_buffer_json's description of a flat array: shape, dtype, the
// buffer's base64 text and the codec.
nb::object buffer_description(nb::handle shape, nb::handle dtype, nb::handle buffer);

// x0, y0, x1, y1, ... of an exact list of (x, y) pairs of exact floats,
// written as float32 to `out` (room for two per item); false, with `out` part
// written, for any other item. No Python code runs meanwhile.
bool read_float_pairs(nb::handle list, float *out);

// Base64 text of `size` bytes at `data`.
nb::object base64_text(const unsigned char *data, size_t size);

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

} // namespace show3d
