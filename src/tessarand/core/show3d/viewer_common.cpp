// The shared viewer conversions, in direct C-API calls.
#include "viewer_common.hpp"

#include "core/base64.hpp"

namespace show3d {

bool read_float_pairs(nb::handle list, float *out) {
    Py_ssize_t count = PyList_GET_SIZE(list.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *point = PyList_GET_ITEM(list.ptr(), i);
        if (!PyTuple_CheckExact(point) || PyTuple_GET_SIZE(point) != 2 ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(point, 0)) ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(point, 1)))
            return false;
        out[2 * i] = float(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(point, 0)));
        out[2 * i + 1] = float(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(point, 1)));
    }
    return true;
}

nb::object join_path(nb::handle parent, nb::handle name) {
    return check(PyUnicode_FromFormat("%U/%U", format_text(parent).ptr(), format_text(name).ptr()));
}

nb::object buffer_description(nb::handle shape, nb::handle dtype, nb::handle buffer) {
    nb::dict description;
    description["shape"] = shape;
    description["dtype"] = dtype;
    description["buffer"] = buffer;
    description["codec"] = nb::str("b64");
    return description;
}

nb::object base64_text(const unsigned char *data, size_t size) {
    nb::object text = check(PyUnicode_New(Py_ssize_t(base64_size(size)), 127));
    base64_encode(data, size, static_cast<char *>(PyUnicode_DATA(text.ptr())));
    return text;
}

} // namespace show3d
