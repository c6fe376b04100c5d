// numpy's C interface, shared by every unit through one table of function
// pointers; viewer.cpp owns it and fills it while the module starts.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL show3d_ARRAY_API
#ifndef SHOW3D_OWNS_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
