// The conditional expressions of `test`, `[` and `[[`: one evaluator, three closing brackets.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace tw {

struct Machine;

// Recursion of the evaluator above this depth fails with "expression is nested too deeply".
inline constexpr std::uint32_t kTestMaxDepth = 999;

// Evaluates `operands` (the expanded words after the command name) for the builtin `name`
// ("test", "[" or "[["), against the active process of the machine. Diagnostics are appended to
// `err` as "{name}: {text}\n". Answers 0 (true), 1 (false) or 2 (an error).
//
// `=`, `==` and `!=` compare texts literally for `test` and `[`; for `[[` the right side is a
// shell pattern. `=~` compiles the right side as a regular expression and sets BASH_REMATCH.
std::int32_t test_evaluate(Machine& machine, std::string_view name, std::span<const std::string> operands,
                           Bytes& err);

}  // namespace tw
