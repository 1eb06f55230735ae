// The handlers the registry serves itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;

// `pwd`: the active process's directory and a newline; operands are ignored.
std::int32_t builtin_pwd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// `eval`: the arguments joined with single spaces, parsed and run in the current shell.
void builtin_eval(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                  CommandIo& io);
// Every name registered as unsupported: "NAME: not implemented in tarnwick", status 127.
std::int32_t unsupported_command_handler(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
