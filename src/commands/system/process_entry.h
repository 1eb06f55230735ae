// The process snapshot as the process tools read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "kernel/process.h"

namespace tw {

// One process of the snapshot that SyscallContext::process_list answers.
using ProcessListEntry = ProcessRecord;

// "R" live, "T" stopped, "Z" exited and not yet reaped.
std::string_view process_state_letter(const ProcessListEntry& entry);
// The first word of the command line after its last "/"; empty for a blank command line.
std::string_view process_command_name(const ProcessListEntry& entry);
// USER of the process's environment, else "user".
std::string_view process_user_name(const ProcessListEntry& entry);
// An unsigned 32-bit decimal number, optionally after one "+"; nothing else.
std::optional<std::uint32_t> parse_process_id(std::string_view text);

}  // namespace tw
