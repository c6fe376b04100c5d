// Base64 is written straight from array memory where the module's np and
// base64 are the real ones; otherwise the arrays go through them as written.
#include "buffer_json.hpp"

#include "arrays.hpp"
#include "viewer_common.hpp"

namespace show3d {
namespace {

class BufferEncoder {
public:
    explicit BufferEncoder(const Globals &globals) : globals_(globals) {
        np_ = globals[S3D_NAME("np")];
        ndarray_ = get_attr(np_, S3D_NAME("ndarray"));
        base64_ = globals[S3D_NAME("base64")];
        nb::object real_base64 = check(PyImport_ImportModule("base64"));
        own_base64_ = get_attr(base64_, S3D_NAME("b64encode"))
                          .is(get_attr(real_base64, S3D_NAME("b64encode")));
        direct_ = own_base64_ && ndarray_.is(reinterpret_cast<PyObject *>(&PyArray_Type));
    }

    nb::object walk(nb::handle value) {
        RecursionGuard guard(depth_, " while encoding buffers");
        PyObject *raw = value.ptr();
        if (PyUnicode_CheckExact(raw) || PyLong_CheckExact(raw) || PyFloat_CheckExact(raw) ||
            PyBool_Check(raw) || raw == Py_None)
            return nb::borrow(value);
        if (is_instance(value, ndarray_)) return describe(value);
        nb::object rebuilt = rebuild_container(value, [this](nb::handle item) { return walk(item); });
        return rebuilt.is_valid() ? rebuilt : nb::borrow(value);
    }

private:
    // {"shape", "dtype", "buffer", "codec"} of the flattened, row-major array.
    nb::object describe(nb::handle array) {
        nb::object direct = describe_directly(array);
        if (direct.is_valid()) return direct;
        nb::object contiguous = nb::borrow(array);
        nb::object flags = get_attr(array, S3D_NAME("flags"));
        if (!truth(check(PyObject_GetItem(flags.ptr(), nb::str("C_CONTIGUOUS").ptr()))))
            contiguous = call(get_attr(np_, S3D_NAME("ascontiguousarray")), array);
        nb::object flat = call_method(contiguous, S3D_NAME("ravel"));
        nb::object shape = get_attr(flat, S3D_NAME("shape"));
        nb::object dtype = check(PyObject_Str(get_attr(flat, S3D_NAME("dtype")).ptr()));
        return buffer_description(shape, dtype, encode(flat));
    }

    // The same for a plain C-contiguous ndarray of booleans or numbers, read
    // through numpy's C interface: its flattened form is a view of the same
    // memory, so the bytes are encoded where they lie. Other dtypes go the
    // general way, whose memoryview refuses those without a buffer form (dates,
    // variable-width strings, whose memory holds pointers).
    nb::object describe_directly(nb::handle value) {
        if (!direct_ || Py_TYPE(value.ptr()) != &PyArray_Type) return {};
        auto *array = reinterpret_cast<PyArrayObject *>(value.ptr());
        PyArray_Descr *descr = PyArray_DESCR(array);
        if (!PyArray_IS_C_CONTIGUOUS(array) ||
            !(PyTypeNum_ISBOOL(descr->type_num) || PyTypeNum_ISNUMBER(descr->type_num)))
            return {};
        return buffer_description(
            nb::make_tuple(nb::int_(PyArray_SIZE(array))), dtype_text(descr),
            base64_text(static_cast<const unsigned char *>(PyArray_DATA(array)),
                        size_t(PyArray_NBYTES(array))));
    }

    nb::object dtype_text(PyArray_Descr *descr) {
        PyObject *key = reinterpret_cast<PyObject *>(descr);
        if (!dtype_key_.is(key)) {
            dtype_key_ = nb::borrow(key);
            dtype_text_ = check(PyObject_Str(key));
        }
        return dtype_text_;
    }

    nb::object encode(nb::handle flat) {
        nb::object memory = check(PyMemoryView_FromObject(flat.ptr()));
        if (!own_base64_)
            return call_method(call(get_attr(base64_, S3D_NAME("b64encode")), memory), S3D_NAME("decode"));
        Py_buffer *view = PyMemoryView_GET_BUFFER(memory.ptr());
        if (!PyBuffer_IsContiguous(view, 'C'))
            return call_method(call(get_attr(base64_, S3D_NAME("b64encode")), memory), S3D_NAME("decode"));
        return base64_text(static_cast<const unsigned char *>(view->buf), size_t(view->len));
    }

    const Globals &globals_;
    nb::object np_, ndarray_, base64_;
    nb::object dtype_key_, dtype_text_; // the last dtype's text
    bool own_base64_ = false, direct_ = false;
    int depth_ = 0;
};

nb::object numpy_to_buffer_json(const Call &call) {
    GcPause pause;
    BufferEncoder encoder(call.globals);
    return check_result(encoder.walk(call.args[0]), &PyDict_Type);
}

const FunctionDef numpy_to_buffer_json_definition{
    "numpy_to_buffer_json", "numpy_to_buffer_json",
    "Replace every numpy array in nested dicts, lists and tuples by a buffer\n"
    "description: shape, dtype, base64 buffer of its row-major bytes, codec \"b64\".",
    {{"value"}}, {{"value", "Any"}, {"return", "dict[str, Any]"}}, numpy_to_buffer_json};

} // namespace

const FunctionDef &numpy_to_buffer_json_def() { return numpy_to_buffer_json_definition; }

} // namespace show3d
