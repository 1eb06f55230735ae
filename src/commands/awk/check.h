// The check of a parsed awk program before it runs: functions outside the builtin set, regular
// expression literals that do not compile, and assignments to the read-only variables.
#pragma once

#include <optional>
#include <string>

#include "commands/awk/ast.h"

namespace tw {

// The message of the first fault, in rule order; nothing when the program passes.
std::optional<std::string> awk_check_program(const AwkProgram& program);

}  // namespace tw
