// The builtins of jobs and signals: jobs, fg, bg, wait, disown, kill and trap. They work on the
// job table and the traps of the active process; fg and wait may have to wait for a child and
// then continue through the resume step (Machine::resume_builtin).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;
struct ProcessState;

// The job that fg, bg and disown name: no operand, %+ and %% are the newest job; otherwise a job
// number or a pid, with or without a leading %. The index into the job table, or the error text
// (without the command's name in front).
Result<std::size_t, std::string> resolve_job_spec(const ProcessState& state, std::string_view command,
                                                  std::span<const std::string> operands);

std::int32_t builtin_jobs(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_bg(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_disown(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_kill(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_trap(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
void builtin_fg(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
void builtin_wait(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                  CommandIo& io);

}  // namespace tw
