// Test support for commands: runs shell source as one action of a fresh machine and gives back
// the status and both output streams, as the host sees them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "harness/action.h"
#include "kernel/machine.h"
#include "shell/variables.h"

namespace tw::command_test {

inline constexpr MachineLimits kRoomyLimits{.cpu = 10'000'000'000, .memory = 1ULL << 31, .disk = 1ULL << 30,
                                            .output = 1ULL << 28};

struct Ran {
    std::int32_t status = 0;
    std::string out;
    std::string err;
};

// One action in `m` (which keeps its files between calls); the working directory is whatever
// earlier actions left, /tmp on a fresh machine after `fresh_machine`.
inline Ran run_in(Machine& m, std::string_view source, std::string_view input = {}) {
    ActionResult r = m.run_action(source, input);
    return {r.outcome.exit_status, std::move(r.out), std::move(r.err)};
}

// A fresh machine working in /tmp.
inline Machine fresh_machine(const MachineLimits& limits = kRoomyLimits) {
    Machine m = Machine::build(limits);
    ProcessState& shell = *m.states.find_mut(kFirstShellPid);
    shell.cwd = "/tmp";
    set_variable(shell, "PWD", "/tmp");
    return m;
}

// One action in a fresh machine.
inline Ran run(std::string_view source, std::string_view input = {}) {
    Machine m = fresh_machine();
    return run_in(m, source, input);
}

}  // namespace tw::command_test
