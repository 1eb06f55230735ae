// Structural checks of a compiled code object and everything nested in it.
#pragma once

#include <string>

#include "python/compiler/code.h"

namespace tw {

// "" when every jump target, side-table index and local slot of `code` (recursively) is in
// range and every side table has exactly one entry per instruction that uses it; otherwise a
// description of the first problem.
std::string verify_code(const CodeObject& code);

}  // namespace tw
