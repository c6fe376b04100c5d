// numpy's C interface, shared by every unit through one table of function
// pointers; viewer.cpp owns it and fills it while the module starts. Below it,
// the one way the units copy plain numbers into a new array.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL show3d_ARRAY_API
#ifndef SHOW3D_OWNS_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "pyhelpers.hpp"

#include <cstring>

namespace show3d {

// A new numpy array of `rows` rows of `columns` values of numpy type `type`,
// copied from `data` (one-dimensional for one column; `data` may be null for
// no values).
inline nb::object numpy_copy(const void *data, size_t rows, npy_intp columns, int type) {
    npy_intp shape[2] = {npy_intp(rows), columns};
    nb::object array = check(PyArray_SimpleNew(columns > 1 ? 2 : 1, shape, type));
    auto *raw = reinterpret_cast<PyArrayObject *>(array.ptr());
    if (data && PyArray_NBYTES(raw)) std::memcpy(PyArray_DATA(raw), data, size_t(PyArray_NBYTES(raw)));
    return array;
}

} // namespace show3d
