#include "kernel/machine.h"

namespace tw {

// /proc and /dev are served by the pseudo filesystem, which answers nothing yet: every path falls
// through to the tree, where those two directories do not exist and cannot be created.
PseudoLookup Machine::pseudo_lookup(std::string_view) const { return {}; }

}  // namespace tw
