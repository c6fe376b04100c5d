// KTrans wraps one KLayout transformation. Simple transformations (quarter
// turns, mirror, integer displacement) and complex ones (any angle,
// magnification) are both kept exactly; displacements leave in micrometres.
//
// Combination and the viewer read many placements: for KTrans objects of ours
// they take the parts of a simple transformation from its text form in one
// call and compose products here, exactly as KLayout does.
#include "ktrans.hpp"

#include "klayout_classes.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace show3d {
namespace {

// ---- the class ------------------------------------------------------------------

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

nb::object ktrans_trans_matrix(const Call &call) {
    nb::object form = call_method(call.args[0], S3D_NAME("to_dict"));
    nb::object half_turns = check(
        PyNumber_TrueDivide(item(form, "angle").ptr(), nb::int_(180).ptr()));
    auto [tx, ty] = unpack_pair(item(form, "displacement"));
    bool mirror = truth(item(form, "mirror"));
    int has_magnification = PyMapping_HasKeyStringWithError(form.ptr(), "magnification");
    check_status(has_magnification);
    double magnification = has_magnification ? to_double(item(form, "magnification")) : 1.0;
    auto [a, b, c, d] = linear_part(to_double(half_turns), mirror,
                                    has_magnification ? &magnification : nullptr);
    return nb::make_tuple(nb::make_tuple(a, b, tx), nb::make_tuple(c, d, ty));
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


// The transformation wrapped by a KTrans whose to_dict and trans_matrix are
// ours (neither overridden on the class nor on the instance); an invalid
// object otherwise. The instance's attributes are looked up without
// materialising its __dict__.
nb::object plain_wrapped_trans(nb::handle ktrans_class, nb::handle ktrans) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(ktrans.ptr())) != ktrans_class.ptr()) return {};
    for (auto [name, def] : {std::pair{S3D_NAME("to_dict"), &to_dict_def},
                             std::pair{S3D_NAME("trans_matrix"), &trans_matrix_def}}) {
        PyObject *method = nullptr;
        check_status(PyObject_GetOptionalAttr(ktrans.ptr(), name, &method));
        nb::object bound = nb::steal(method);
        if (!method || !PyMethod_Check(method) || PyMethod_GET_SELF(method) != ktrans.ptr() ||
            !is_function_of(PyMethod_GET_FUNCTION(method), *def))
            return {};
    }
    PyObject *trans = nullptr;
    check_status(PyObject_GetOptionalAttr(ktrans.ptr(), S3D_NAME("trans"), &trans));
    return nb::steal(trans);
}

bool read_simple(nb::handle trans, PlacementMatrix &matrix) {
    SimpleTrans parts;
    if (!read_simple_trans(trans, parts)) return false;
    matrix = simple_matrix(parts);
    return true;
}

bool read_complex(nb::handle trans, PlacementMatrix &matrix) {
    matrix = complex_trans_matrix(trans);
    return true;
}

} // namespace

// ---- placement algebra --------------------------------------------------------

nb::object simple_trans_object(nb::handle trans_type, const SimpleTrans &parts) {
    return call(trans_type, nb::int_(parts.angle), nb::bool_(parts.mirror), nb::int_(parts.x), nb::int_(parts.y));
}

// The method is called from the class: the object may hold an attribute of
// that name.
bool read_binary_trans(nb::handle trans, SimpleTrans &parts) {
    nb::object to_bytes = klayout_method_of(reinterpret_cast<PyObject *>(Py_TYPE(trans.ptr())), "to_bytes");
    if (!to_bytes.is_valid()) return false;
    nb::object bytes = call(to_bytes, trans);
    std::span<const unsigned char> form = bytes_view(bytes);
    return parse_trans_bytes(form.data(), form.size(), parts);
}

bool read_simple_trans(nb::handle trans, SimpleTrans &parts) {
    // KLayout's own binary form holds the same numbers as its text form and
    // costs a quarter as much to read.
    if (read_binary_trans(trans, parts)) return true;
    // The text form as the class gives it, not an attribute of the object's.
    nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(trans.ptr()));
    nb::object text = call(get_attr(type, S3D_NAME("to_s")), trans);
    std::string_view view = utf8_view(text);
    return parse_simple_trans(view.data(), view.data() + view.size(), parts);
}

nb::object compose_objects(const Globals &globals, nb::handle p, nb::handle t) {
    bool p_complex = is_complex_trans(globals, p), t_complex = is_complex_trans(globals, t);
    if (p_complex == t_complex) return check(PyNumber_Multiply(p.ptr(), t.ptr()));
    return compose_kinds(p, p_complex, t, t_complex, get_attr(globals[S3D_NAME("kdb")], S3D_NAME("ICplxTrans")));
}

nb::object compose_kinds(nb::handle p, bool p_complex, nb::handle t, bool t_complex, nb::handle widen) {
    nb::object left = nb::borrow(p), right = nb::borrow(t);
    if (p_complex && !t_complex) right = call(widen, t);
    if (t_complex && !p_complex) left = call(widen, p);
    return check(PyNumber_Multiply(left.ptr(), right.ptr()));
}

PlacementMatrix complex_trans_matrix(nb::handle trans) {
    double degrees = to_double(get_attr(trans, S3D_NAME("angle")));
    double magnification = to_double(get_attr(trans, S3D_NAME("mag")));
    bool mirror = truth(call_method(trans, S3D_NAME("is_mirror")));
    nb::object disp = get_attr(trans, S3D_NAME("disp"));
    double x = to_double(get_attr(disp, S3D_NAME("x"))), y = to_double(get_attr(disp, S3D_NAME("y")));
    return complex_matrix(degrees, magnification, mirror, x, y);
}

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
                compose_objects(globals, get_attr(parent_item, S3D_NAME("trans")), child_trans);
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

nb::object ktrans_list(nb::handle ktrans_class, nb::handle transformations) {
    nb::list result;
    for (nb::handle trans : snapshot(transformations))
        check_status(PyList_Append(result.ptr(), call(ktrans_class, trans).ptr()));
    return result;
}

bool is_own_multiply(nb::handle function) { return is_function_of(function, multiply_def); }

bool has_own_matrix_methods(nb::handle ktrans_class) {
    return is_function_of(get_attr(ktrans_class, S3D_NAME("to_dict")), to_dict_def) &&
           is_function_of(get_attr(ktrans_class, S3D_NAME("trans_matrix")), trans_matrix_def);
}

TransTypes TransTypes::of(const Globals &globals) {
    nb::object kdb = globals[S3D_NAME("kdb")];
    // None for a name kdb lacks, which no transformation is exactly.
    TransTypes types{optional_attr(kdb, S3D_NAME("Trans")), {}};
    PyObject *names[] = {S3D_NAME("ICplxTrans"), S3D_NAME("DCplxTrans"), S3D_NAME("CplxTrans"),
                         S3D_NAME("VCplxTrans")};
    for (size_t i = 0; i < types.complex.size(); ++i) types.complex[i] = optional_attr(kdb, names[i]);
    return types;
}

bool read_own_matrix(const TransTypes &types, nb::handle ktrans_class, nb::handle ktrans,
                     PlacementMatrix &matrix) {
    nb::object trans = plain_wrapped_trans(ktrans_class, ktrans);
    if (!trans.is_valid()) return false;
    if (is_exactly(trans, types.simple)) return read_simple(trans, matrix);
    for (const nb::object &type : types.complex)
        if (is_exactly(trans, type)) return read_complex(trans, matrix);
    return false;
}

// ---- products for reference combination ------------------------------------------

PlacementProducts::PlacementProducts(const Globals &globals) : globals_(globals) {
    ktrans_class_ = globals[S3D_NAME("KTrans")];
    multiply_ = get_attr(ktrans_class_, S3D_NAME("multiply"));
    own_ = is_own_multiply(multiply_);
    trans_type_ = get_attr(globals[S3D_NAME("kdb")], S3D_NAME("Trans"));
}

bool PlacementProducts::parts_of(nb::handle ktrans, SimpleTrans &parts) {
    nb::object trans = plain_wrapped_trans(ktrans_class_, ktrans);
    if (!trans.is_valid() || reinterpret_cast<PyObject *>(Py_TYPE(trans.ptr())) != trans_type_.ptr())
        return false;
    if (const SimpleTrans *known = parts_.find(trans.ptr())) {
        parts = *known;
        return true;
    }
    if (!read_simple_trans(trans, parts)) return false;
    keep_alive_.push_back(trans);
    parts_.insert(trans.ptr(), parts);
    return true;
}

nb::object PlacementProducts::make(const SimpleTrans &parts) {
    nb::object trans = simple_trans_object(trans_type_, parts);
    keep_alive_.push_back(trans);
    parts_.insert(trans.ptr(), parts);
    return call(ktrans_class_, trans);
}

// Every product of simple transformations of ours, or false to leave the
// lists to the general path.
bool PlacementProducts::multiply_simple(nb::handle parent, nb::handle trans, nb::object &result) {
    if (!PyList_CheckExact(parent.ptr()) || !PyList_CheckExact(trans.ptr())) return false;
    // Reading a placement may run code (attribute lookups) that changes the lists.
    std::vector<SimpleTrans> parent_parts, child_parts;
    for (auto [side, parts] : {std::pair{parent, &parent_parts}, std::pair{trans, &child_parts}}) {
        for (nb::handle ktrans : snapshot(side)) {
            if (!parts_of(ktrans, parts->emplace_back())) return false;
        }
    }
    size_t parents = parent_parts.size(), children = child_parts.size();
    std::vector<SimpleTrans> products;
    products.reserve(parents * children);
    for (const SimpleTrans &child : child_parts)
        for (const SimpleTrans &parent_item : parent_parts) {
            SimpleTrans product = compose(parent_item, child);
            if (!within_coordinate_range(product)) return false;
            products.push_back(product);
        }
    result = check(PyList_New(Py_ssize_t(products.size())));
    for (size_t i = 0; i < products.size(); ++i)
        PyList_SET_ITEM(result.ptr(), Py_ssize_t(i), make(products[i]).release().ptr());
    return true;
}

nb::object PlacementProducts::multiply(nb::handle parent, nb::handle trans) {
    if (!own_) return call(multiply_, parent, trans);
    nb::object result;
    if (!parent.is_none() && !trans.is_none() && multiply_simple(parent, trans, result))
        return result;
    return multiply_placements(globals_, parent, trans);
}

} // namespace show3d
