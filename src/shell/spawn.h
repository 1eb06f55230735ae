// Spawning programs (Machine::spawn_process, Machine::resolve_shebang in kernel/machine.h; the
// request in kernel/spawn.h) and the pieces of it that other launchers share.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/result.h"
#include "kernel/scheduler.h"
#include "kernel/syscall_error.h"

namespace tw {

struct Machine;

// The most interpreter lines one resolution follows.
inline constexpr std::uint32_t kMaxInterpreterLines = 7;

// Machine::resolve_shebang for a resolution that has already read `lines_read` interpreter lines
// elsewhere (the executor's own script start reads the first one).
Result<void, SyscallError> resolve_interpreter_chain(Machine& machine, std::string& path,
                                                     std::vector<std::string>& argv, std::uint32_t lines_read);

// After a process was given `environment` as its whole environment: PWD is exported only when
// the environment has it, with its value; otherwise the variable stays but is no longer exported.
void settle_exported_pwd(Machine& machine, Pid pid, const std::map<std::string, std::string>& environment);

}  // namespace tw
