// ParseGDS.asdict and create_json: viewer data as plain dictionaries and
// lists, and as indented JSON text.
#pragma once

#include "classes.hpp"

namespace show3d {

// The methods of this unit, for binding the class and for telling asdict
// from an override.
const FunctionDef &asdict_def();
const FunctionDef &create_json_def();

} // namespace show3d
