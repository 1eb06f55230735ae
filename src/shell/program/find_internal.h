// The pieces shared by find's walk and its evaluation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/program/find.h"

namespace tw {

// Every character lowercased, code point by code point; bytes that are not UTF-8 stay as they are.
std::string find_lowercase(std::string_view text);

// "find: MESSAGE\n" on error output; the status becomes at least 1.
void find_report(program::Find& state, std::string_view message);

// Ends the run at once with status 125 after "MESSAGE\n" (the rest of the walk and the batches
// not yet run are abandoned).
void find_stop(program::Find& state, std::string_view line);

// Ends the run at once because the CPU budget refused a charge.
void find_exhausted(program::Find& state);

// Continues the pending evaluation until it completes, waits for draining or starts a child
// (answered true).
bool find_continue_evaluation(program::Find& state, SyscallContext& sys);

// Starts the command of batch `id` with the paths queued for it (the list is emptied). False when
// the child could not be started (the run is then stopped).
bool find_run_batch(program::Find& state, SyscallContext& sys, std::uint64_t id);

}  // namespace tw
