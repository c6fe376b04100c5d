// Checks that a KLayout class, or one of its objects, is still KLayout's
// own: what the native shortcuts test before they read KLayout's objects in
// ways of their own instead of through the methods the written behaviour
// calls.
#pragma once

#include "pyhelpers.hpp"

#include <cstring>
#include <initializer_list>

namespace show3d {

// The own attributes of class `cls` (a new reference to its dictionary).
inline nb::object class_dict(nb::handle cls) {
    return check(PyType_GetDict(reinterpret_cast<PyTypeObject *>(cls.ptr())));
}

// The descriptor `cls` holds under `name`, where it is of the type given,
// belongs to this very class and carries this very name, as KLayout's own
// do; invalid otherwise.
inline nb::object own_descriptor(nb::handle cls, const char *name, PyTypeObject *descriptor_type) {
    if (!PyType_Check(cls.ptr())) return {};
    nb::object descriptor = dict_lookup(class_dict(cls), nb::str(name));
    if (!descriptor.is_valid() || Py_TYPE(descriptor.ptr()) != descriptor_type ||
        PyDescr_TYPE(descriptor.ptr()) != reinterpret_cast<PyTypeObject *>(cls.ptr()) ||
        PyUnicode_CompareWithASCIIString(PyDescr_NAME(descriptor.ptr()), name) != 0)
        return {};
    return descriptor;
}

// KLayout class `cls`'s own method `name`, to be called with the object as
// its first argument; invalid where it is not KLayout's: KLayout's methods
// are C method descriptors of that name, a replacement from Python (or a
// method of another class put in its place) is not.
inline nb::object klayout_method_of(nb::handle cls, const char *name) {
    return own_descriptor(cls, name, &PyMethodDescr_Type);
}

// Whether KLayout class `cls` still has its own method `name`.
inline bool klayout_method(nb::handle cls, const char *name) { return klayout_method_of(cls, name).is_valid(); }

// Whether KLayout class `cls` still has its own property `name` (a getter
// KLayout defined, not a replacement from Python).
inline bool klayout_property(nb::handle cls, const char *name) {
    return own_descriptor(cls, name, &PyGetSetDescr_Type).is_valid();
}

// Whether attribute reads on KLayout class `cls` go to its descriptors: no
// __getattribute__ or __getattr__ of the class's own.
inline bool reads_attributes_plainly(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) return false;
    nb::object own = class_dict(cls);
    return !dict_lookup(own, S3D_NAME("__getattribute__")).is_valid() &&
           !dict_lookup(own, S3D_NAME("__getattr__")).is_valid();
}

// Whether settings made on objects of KLayout class `cls` reach its
// properties, and reads come from them.
inline bool sets_attributes_plainly(nb::handle cls) {
    return reads_attributes_plainly(cls) && !dict_lookup(class_dict(cls), S3D_NAME("__setattr__")).is_valid();
}

// Whether objects of KLayout class `cls` are made by KLayout alone.
inline bool klayout_constructor(nb::handle cls) {
    return klayout_method(cls, "__init__") && !dict_lookup(class_dict(cls), S3D_NAME("__new__")).is_valid();
}

// Whether the object's own attributes hold none of `names` (KLayout keeps
// one Python object per cell, and callers may set attributes on it), and
// none under a key other than a plain str. Walked, not looked up: a key of a str subclass would have its __eq__ run.
inline bool shadows_none(nb::handle object, std::initializer_list<const char *> names) {
    nb::object own = check(PyObject_GenericGetDict(object.ptr(), nullptr));
    Py_ssize_t at = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(own.ptr(), &at, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        for (const char *name : names)
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) return false;
    }
    return true;
}

// The value of KLayout class `cls`'s own constant `name`, read by KLayout's
// own getter; invalid where the class holds anything else under the name.
inline nb::object klayout_constant(nb::handle cls, const char *name) {
    if (!PyType_Check(cls.ptr())) return {};
    nb::object descriptor = dict_lookup(class_dict(cls), nb::str(name));
    if (!descriptor.is_valid()) return {};
    PyTypeObject *type = Py_TYPE(descriptor.ptr());
    // KLayout's constants are of its static (C-defined) attribute type.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !type->tp_descr_get ||
        std::strcmp(type->tp_name, "pya._StaticAttribute") != 0)
        return {};
    return check(type->tp_descr_get(descriptor.ptr(), nullptr, cls.ptr()));
}

} // namespace show3d
