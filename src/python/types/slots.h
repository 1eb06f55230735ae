// The slot functions of the builtin types, installed into the type registry when it is built.
#pragma once

#include "python/objects/types.h"

namespace tw::py {

// Writes the builtin slot functions into the resolved slot tables (the registry build's installer).
void install_builtin_slots(TypeRegistry& registry);

}  // namespace tw::py
