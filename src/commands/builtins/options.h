// The builtins of shell options and positional parameters: set (option flags and $1...), shopt
// (named shell options) and shift.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct ProcessState;

// Replaces the positional parameters of `state` and their modeled size (length + 48 each).
void set_positional_parameters(ProcessState& state, std::vector<std::string> params);

std::int32_t builtin_set(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_shopt(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_shift(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
