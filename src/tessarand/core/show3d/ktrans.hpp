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

// The six entries a, b, tx, c, d, ty of a placement matrix.
struct PlacementMatrix {
    double entries[6];
};

// The matrix of a KTrans read straight from its wrapped KLayout
// transformation, equal to what its trans_matrix() gives. Only for instances
// of `ktrans_class` whose class methods are ours and that carry no attribute
// besides `trans`; false when the caller must ask the object itself.
bool read_own_matrix(const Globals &globals, nb::handle ktrans_class, nb::handle ktrans,
                     PlacementMatrix &matrix);

// True when `ktrans_class` still has our to_dict and trans_matrix.
bool has_own_matrix_methods(nb::handle ktrans_class);

} // namespace show3d
