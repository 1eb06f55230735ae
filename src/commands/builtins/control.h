// The builtins of sourcing and control: source (.), exit, return, break, continue, true (:),
// false, test, [ and [[, and the registry's entry for exec. They set the request fields of the
// active process (exit_requested, return_requested, pending_break, pending_continue) that the
// executor's frames consume; none of them pops a frame.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;

std::int32_t builtin_true(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_false(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_exit(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_return(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// break and continue, by the name they were run as.
std::int32_t builtin_break(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_continue(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// test, [ and [[, by the name they were run as.
std::int32_t builtin_test(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// exec reached through the registry (the executor runs exec itself).
std::int32_t builtin_exec(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// source and .: the file's program for the executor to run as a sourced script.
void builtin_source(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                    CommandIo& io);

}  // namespace tw
