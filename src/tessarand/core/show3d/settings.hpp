// The fixed block of viewer settings that show3d sends with every scene.
#pragma once

#include "pyhelpers.hpp"

namespace show3d {

// A new dictionary of the settings, in the order the viewer reads them.
nb::object viewer_config();

} // namespace show3d
