// The binding of handler ids to the functions that run the commands.
#pragma once

#include "commands/registry/registry.h"

namespace tw {

// The function bound to `id` for a command of the given kind, or null when none is bound yet.
BuiltinHandler bound_builtin(HandlerId id);
ContinuingBuiltinHandler bound_continuing_builtin(HandlerId id);
NativeHandler bound_native(HandlerId id);
SuspendableNativeHandler bound_suspendable_native(HandlerId id);

}  // namespace tw
