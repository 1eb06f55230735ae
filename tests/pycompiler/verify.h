// Structural checks of a compiled code object and everything nested in it.
#pragma once

#include <string>
#include <vector>

#include "python/compiler/code.h"

namespace tw {

// "" when every jump target, side-table index and local slot of `code` (recursively) is in
// range and every side table has exactly one entry per instruction that uses it; otherwise a
// description of the first problem.
std::string verify_code(const CodeObject& code);

// The instructions of `code` and of everything nested in it.
std::size_t total_instructions(const CodeObject& code);

// The deferred syntax-error messages of `code` and of everything nested in it, outermost first.
std::vector<std::string> all_syntax_messages(const CodeObject& code);

}  // namespace tw
