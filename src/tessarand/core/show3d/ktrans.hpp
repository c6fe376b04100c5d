// KTrans: a layout transformation with dictionary, matrix and product forms.
#pragma once

#include "module.hpp"

namespace show3d {

// Creates the class KTrans in the module namespace.
nb::object create_ktrans_class(nb::handle globals);

// True for KLayout's complex transformation types (rotation by any angle,
// magnification).
bool is_complex_trans(const Globals &globals, nb::handle trans);

// KTrans.multiply(parent, trans): the placement product used by combination.
nb::object multiply_placements(const Globals &globals, nb::handle parent, nb::handle trans);

// True when `function` is KTrans.multiply as defined here (not replaced).
bool is_own_multiply(nb::handle function);

} // namespace show3d
