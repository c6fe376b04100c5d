// KTrans wraps one KLayout transformation. Simple transformations (quarter
// turns, mirror, integer displacement) and complex ones (any angle,
// magnification) are both kept exactly; displacements leave in micrometres.
#include "ktrans.hpp"

#include <cmath>

namespace show3d {
namespace {

nb::object micrometres(nb::handle database_units) {
    nb::object thousand = nb::int_(1000);
    return check(PyNumber_TrueDivide(database_units.ptr(), thousand.ptr()));
}

nb::object displacement_of(nb::handle trans) {
    nb::object disp = get_attr(trans, S3D_NAME("disp"));
    nb::list result;
    result.append(micrometres(get_attr(disp, S3D_NAME("x"))));
    result.append(micrometres(get_attr(disp, S3D_NAME("y"))));
    return result;
}

nb::object ktrans_init(const Call &call) {
    set_attr(call.args[0], S3D_NAME("trans"), call.args[1]);
    return nb::none();
}

nb::object ktrans_to_dict(const Call &call) {
    nb::object trans = get_attr(call.args[0], S3D_NAME("trans"));
    bool complex = is_complex_trans(call.globals, trans);
    nb::dict result;
    result["mirror"] = call_method(trans, S3D_NAME("is_mirror"));
    nb::object angle = get_attr(trans, S3D_NAME("angle"));
    if (complex) {
        result["angle"] = check(PyNumber_Float(angle.ptr()));
    } else {
        nb::list quarter_turns;
        for (int degrees : {0, 90, 180, 270}) quarter_turns.append(nb::int_(degrees));
        result["angle"] = check(PyObject_GetItem(quarter_turns.ptr(), angle.ptr()));
    }
    result["displacement"] = displacement_of(trans);
    if (complex) result["magnification"] = get_attr(trans, S3D_NAME("mag"));
    return result;
}

nb::object item(nb::handle mapping, const char *key) {
    return check(PyObject_GetItem(mapping.ptr(), nb::str(key).ptr()));
}

// tx, ty = value: exactly two elements, as unpacking demands.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object items = check(PySequence_Tuple(value.ptr()));
    Py_ssize_t count = PyTuple_GET_SIZE(items.ptr());
    if (count > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (count < 2)
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", count);
    return {nb::borrow(PyTuple_GET_ITEM(items.ptr(), 0)),
            nb::borrow(PyTuple_GET_ITEM(items.ptr(), 1))};
}

// ((M·c, -m·M·s, tx), (M·s, m·M·c, ty)); without a magnification the entries
// are c, (-m)·s, s, m·c exactly (so the identity has -0.0 in the first row).
nb::object ktrans_trans_matrix(const Call &call) {
    nb::object form = call_method(call.args[0], S3D_NAME("to_dict"));
    nb::object half_turns = check(
        PyNumber_TrueDivide(item(form, "angle").ptr(), nb::int_(180).ptr()));
    double radians = to_double(half_turns) * M_PI;
    double s = std::sin(radians), c = std::cos(radians);
    auto [tx, ty] = unpack_pair(item(form, "displacement"));
    double m = truth(item(form, "mirror")) ? -1.0 : 1.0;
    int has_magnification = PyMapping_HasKeyStringWithError(form.ptr(), "magnification");
    check_status(has_magnification);
    nb::object row0, row1;
    if (has_magnification) {
        double mag = to_double(item(form, "magnification"));
        row0 = nb::make_tuple(mag * c, -m * mag * s, tx);
        row1 = nb::make_tuple(mag * s, m * mag * c, ty);
    } else {
        row0 = nb::make_tuple(c, -m * s, tx);
        row1 = nb::make_tuple(s, m * c, ty);
    }
    return nb::make_tuple(row0, row1);
}

// One side of a product: a KTrans becomes [itself], anything else is iterated.
nb::object as_sequence(nb::handle side, nb::handle ktrans_class) {
    if (is_instance(side, ktrans_class)) {
        nb::list single;
        single.append(side);
        return single;
    }
    return nb::borrow(side);
}

nb::object single_side(nb::handle side) {
    if (PyList_Check(side.ptr()) || PyTuple_Check(side.ptr()))
        return check_result(nb::borrow(side), &PyList_Type);
    nb::list result;
    result.append(side);
    return result;
}

// p * t with KLayout's composition (t first, then p); a simple side meeting a
// complex one is widened to a complex transformation first.
nb::object compose(const Globals &globals, nb::handle p, nb::handle t) {
    bool p_complex = is_complex_trans(globals, p), t_complex = is_complex_trans(globals, t);
    nb::object left = nb::borrow(p), right = nb::borrow(t);
    if (p_complex != t_complex) {
        nb::object widen = get_attr(globals[S3D_NAME("kdb")], S3D_NAME("ICplxTrans"));
        if (p_complex) right = call(widen, t);
        else left = call(widen, p);
    }
    return check(PyNumber_Multiply(left.ptr(), right.ptr()));
}

nb::object ktrans_multiply(const Call &call) {
    return multiply_placements(call.globals, call.args[0], call.args[1]);
}

const FunctionDef init_def{"__init__", "KTrans.__init__", nullptr,
                           {{"self"}, {"trans"}},
                           {{"trans", "kdb.Trans"}, {"return", "None"}},
                           ktrans_init};

const FunctionDef to_dict_def{
    "to_dict", "KTrans.to_dict",
    "Return the transformation as a dictionary: mirror, angle in degrees and\n"
    "displacement in micrometres (and magnification for a complex one).",
    {{"self"}}, {{"return", "dict[str, Any]"}}, ktrans_to_dict};

const FunctionDef trans_matrix_def{
    "trans_matrix", "KTrans.trans_matrix",
    "Return the 2x3 affine matrix ((a, b, tx), (c, d, ty)) of the transformation.",
    {{"self"}}, {{"return", "TransMatrix"}}, ktrans_trans_matrix};

const FunctionDef multiply_def{
    "multiply", "KTrans.multiply",
    "Multiply two transformations or lists of transformations.\n\n"
    "Every parent placement is applied after every child placement; the result\n"
    "lists the products child by child, parent by parent.",
    {{"parent_trans"}, {"trans"}},
    {{"parent_trans", "KTrans | list[KTrans] | None"},
     {"trans", "KTrans | list[KTrans] | None"},
     {"return", "list[KTrans]"}},
    ktrans_multiply};

} // namespace

nb::object multiply_placements(const Globals &globals, nb::handle parent, nb::handle trans) {
    if (parent.is_none() && trans.is_none())
        raise(PyExc_ValueError, "Either parent_trans or trans must be provided");
    if (parent.is_none()) return single_side(trans);
    if (trans.is_none()) return single_side(parent);
    nb::object ktrans_class = globals[S3D_NAME("KTrans")];
    nb::object parents = as_sequence(parent, ktrans_class);
    nb::object children = as_sequence(trans, ktrans_class);
    nb::list result;
    nb::object outer = check(PyObject_GetIter(children.ptr()));
    while (PyObject *raw_child = PyIter_Next(outer.ptr())) {
        nb::object child = nb::steal(raw_child);
        nb::object child_trans = get_attr(child, S3D_NAME("trans"));
        nb::object inner = check(PyObject_GetIter(parents.ptr()));
        while (PyObject *raw_parent = PyIter_Next(inner.ptr())) {
            nb::object parent_item = nb::steal(raw_parent);
            nb::object product =
                compose(globals, get_attr(parent_item, S3D_NAME("trans")), child_trans);
            result.append(call(ktrans_class, product));
        }
        if (PyErr_Occurred()) raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return result;
}

bool is_complex_trans(const Globals &globals, nb::handle trans) {
    nb::object kdb = globals[S3D_NAME("kdb")];
    for (PyObject *name : {S3D_NAME("ICplxTrans"), S3D_NAME("DCplxTrans"),
                           S3D_NAME("CplxTrans"), S3D_NAME("VCplxTrans")})
        if (is_instance(trans, get_attr(kdb, name))) return true;
    return false;
}

nb::object create_ktrans_class(nb::handle globals) {
    nb::dict namespace_;
    add_method(namespace_, globals, init_def);
    add_method(namespace_, globals, to_dict_def);
    add_method(namespace_, globals, trans_matrix_def);
    namespace_["multiply"] = check(PyStaticMethod_New(make_function(globals, multiply_def).ptr()));
    return make_class("KTrans",
                      "A wrapper around a KLayout transformation.\n\n"
                      "Attributes:\n"
                      "    trans: The wrapped transformation.\n",
                      namespace_);
}

} // namespace show3d

namespace show3d {

bool is_own_multiply(nb::handle function) { return is_function_of(function, multiply_def); }

} // namespace show3d
