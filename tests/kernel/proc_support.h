// Test support for processes: a machine with roomy limits, small programs, and a driver loop
// that steps processes by the rules of the host's run loop.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "kernel/machine.h"

namespace tw {

inline void PrintTo(const TaskState& state, std::ostream* os) { *os << debug_text(state); }
inline void PrintTo(const ProgramStep& step, std::ostream* os) { *os << debug_text(step); }

}  // namespace tw

namespace tw::testing_support {

inline constexpr MachineLimits kRoomyLimits{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26,
                                            .output = 1 << 20};

// Yields `yields` times, then finishes with `status`.
inline CallbackProgram yielding_program(int yields, std::int32_t status) {
    return {[left = yields, status](Machine&) mutable {
        if (left-- > 0) return ProgramStep::yield();
        return ProgramStep::finished(status);
    }};
}

// Blocks on `reason` on its first step; finishes with `status` when stepped again.
inline CallbackProgram blocking_program(WaitReason reason, std::int32_t status) {
    return {[reason, status, blocked = false](Machine&) mutable {
        if (!blocked) {
            blocked = true;
            return ProgramStep::blocked(reason);
        }
        return ProgramStep::finished(status);
    }};
}

// Steps every other process until `host` is dispatched again (the host first yields its turn
// when it is running): dispatch, select, deliver signals, step, handle the answer; when nothing
// is ready, move the clock to the next event and dispatch the events due.
inline Result<void, std::string> run_until_host(Machine& m, Pid host = kFirstShellPid, int step_limit = 100000) {
    if (m.scheduler.running() == host) (void)m.scheduler.yield_running();
    for (int i = 0; i < step_limit; ++i) {
        std::optional<Pid> p = m.scheduler.running();
        if (!p) {
            auto dispatched = m.scheduler.dispatch();
            if (!dispatched) return std::unexpected(std::string(error_text(dispatched.error())));
            p = *dispatched;
        }
        if (!p) {
            const std::optional<EventKey> next = m.clock.next_pending();
            if (!next) return std::unexpected(std::string("all processes are blocked without an event"));
            if (auto r = m.advance_time_to(next->time_ns); !r) return r;
            if (auto r = m.dispatch_ready_events(); !r) return r;
            continue;
        }
        if (*p == host) return m.states.select(host);
        if (auto r = m.states.select(*p); !r) return r;
        if (auto r = m.poll_clock(); !r) return r;
        if (auto r = m.drive_process_step(*p, StepDriver::Host); !r) return r;
    }
    return std::unexpected(std::string("step limit reached"));
}

// Gives the other processes turns until pid's record has exited.
inline Result<void, std::string> run_until_exited(Machine& m, Pid pid, int turn_limit = 1000) {
    for (int i = 0; i < turn_limit; ++i) {
        const ProcessRecord* record = m.processes.find(pid);
        if (record == nullptr || record->status == ProcessStatus::Exited) return {};
        if (auto r = run_until_host(m); !r) return r;
    }
    return std::unexpected(std::string("turn limit reached"));
}

// Creates a child of the active process and installs its program.
inline Pid spawn(Machine& m, CallbackProgram program, bool suspend = false, bool capture = false,
                 GroupMode mode = GroupMode::Inherit, bool fresh = true) {
    auto pid = m.create_child_process("test", fresh, suspend, capture, mode);
    EXPECT_TRUE(pid.has_value()) << (pid ? "" : pid.error());
    if (!pid) return 0;
    EXPECT_TRUE(m.states.set_program(*pid, std::move(program)).has_value());
    return *pid;
}

inline TaskKind task_kind(const Machine& m, Pid pid) {
    const TaskState* task = m.scheduler.find_task(pid);
    EXPECT_NE(task, nullptr) << pid;
    return task ? task->kind() : TaskKind::Exited;
}

}  // namespace tw::testing_support
