// The flock builtin: an advisory whole-file lock on an open descriptor of the shell. A request
// that has to wait suspends the command until some lock is dropped, then retries.
#pragma once

#include <span>
#include <string>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;

void builtin_flock(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                   CommandIo& io);

}  // namespace tw
