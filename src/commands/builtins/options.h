// The builtins of shell options and positional parameters: set (option flags and $1...), shopt
// (named shell options) and shift.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct ProcessState;

// A count as the builtins take it: decimal digits with an optional leading '+', fitting 64 bits.
std::optional<std::uint64_t> builtin_parse_count(std::string_view text);

// Replaces the positional parameters of `state` and their modeled size (length + 48 each).
void set_positional_parameters(ProcessState& state, std::vector<std::string> params);

std::int32_t builtin_set(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_shopt(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_shift(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
