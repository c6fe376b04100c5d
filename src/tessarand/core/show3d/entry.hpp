// The two public operations that drive the whole pipeline.
#pragma once

#include "classes.hpp"

namespace show3d {

// to_3D_viewer, whose default output is Output.LAYER as bound now.
nb::object make_to_3d_viewer(nb::handle globals, nb::handle road_snapshot);

nb::object make_show3d(nb::handle globals);

// The command line's road to its page: show3d's conversion, returning the
// page's parts instead of sending a message.
nb::object make_scene_for_page(nb::handle globals);

} // namespace show3d
