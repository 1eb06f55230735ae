// The directory builtins: cd, pushd, popd and dirs. They move the active shell process through
// the system-call layer and keep its directory stack (ProcessState::dir_stack, top last).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct Machine;

// The most entries the directory stack holds.
inline constexpr std::size_t kMaxDirStack = 256;

// Moves the active process to `target` (relative to its cwd) and, on success, assigns OLDPWD (the
// previous directory) and then PWD. False when the directory cannot be entered; nothing changes.
bool change_directory(Machine& m, std::string_view target);
// The cwd, then the stack from its top down: one line joined by spaces, or one entry per line.
void print_directory_stack(const Machine& m, bool one_per_line, Bytes& out);

std::int32_t builtin_cd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_pushd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_popd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_dirs(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
