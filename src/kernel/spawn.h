// Spawn requests: start a program in a new child process in one request (the child is created,
// its descriptors and directory prepared, its program resolved and launched), or fail with no
// trace of the attempt. The work is done by the command-launch layer (Machine::spawn_process);
// the kernel reaches it through the launcher a SyscallContext carries (LaunchHooks).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "base/result.h"
#include "kernel/io.h"
#include "kernel/scheduler.h"
#include "kernel/syscall_error.h"

namespace tw {

struct Machine;

namespace spawn_action {

struct Close {
    std::int32_t fd = 0;
    friend bool operator==(const Close&, const Close&) = default;
};
// Duplicates `from` onto `to`; `to` loses its close-on-exec mark.
struct Dup2 {
    std::int32_t from = 0;
    std::int32_t to = 0;
    friend bool operator==(const Dup2&, const Dup2&) = default;
};
// Closes every open descriptor numbered `lowest` or higher.
struct CloseFrom {
    std::int32_t lowest = 0;
    friend bool operator==(const CloseFrom&, const CloseFrom&) = default;
};
struct Open {
    std::string path;  // relative to the child's current directory
    std::int32_t fd = 0;
    std::uint32_t mode = 0644;  // of a file the open creates, before the umask
    OpenFlags flags;
    bool cloexec = false;
    std::uint8_t status_flags = 0;
    friend bool operator==(const Open&, const Open&) = default;
};
struct Chdir {
    std::string path;
    friend bool operator==(const Chdir&, const Chdir&) = default;
};

}  // namespace spawn_action

using SpawnAction =
    std::variant<spawn_action::Close, spawn_action::Dup2, spawn_action::CloseFrom, spawn_action::Open, spawn_action::Chdir>;

struct SpawnRequest {
    std::string program;             // a path, or a name to search when `search` is set
    std::vector<std::string> argv;   // non-empty; argv[0] is passed on as it is
    std::vector<SpawnAction> actions;  // applied in order in the child
    std::vector<std::uint8_t> default_signals;  // signal numbers whose traps the child drops
    std::map<std::string, std::string> environment;  // the child's whole exported environment
    bool search = false;  // a program without "/" is searched along the child's PATH
};

// The launcher of the command-launch layer as the kernel sees it: installing argv in a process
// (what an ArgvLauncher does) and spawning. command_launcher() gives an ArgvLauncher holding one;
// SyscallContext::spawn_process finds it there.
struct LaunchHooks {
    Result<void, std::string> (*launch)(Machine&, Pid, const std::vector<std::string>&) = nullptr;
    Result<Pid, SyscallError> (*spawn)(Machine&, const SpawnRequest&) = nullptr;

    Result<void, std::string> operator()(Machine& machine, Pid pid, const std::vector<std::string>& argv) const {
        return launch(machine, pid, argv);
    }
};

}  // namespace tw
