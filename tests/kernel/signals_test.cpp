#include <gtest/gtest.h>
#include <fmt/format.h>

#include "kernel/machine.h"
#include "proc_support.h"

namespace tw {
namespace {

using namespace testing_support;

class SignalTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kRoomyLimits);
    ProcessState& state(Pid pid) { return *m.states.find_mut(pid); }
    TaskState task(Pid pid) { return *m.scheduler.task_state(pid); }

    // A child that has been stepped once and is now blocked on `reason`.
    Pid blocked_child(WaitReason reason, std::int32_t status = 0) {
        const Pid pid = spawn(m, blocking_program(reason, status));
        EXPECT_TRUE(run_until_host(m));
        EXPECT_EQ(task(pid), TaskState::blocked(reason));
        return pid;
    }
};

TEST_F(SignalTest, ActingSignalsAreThoseThatEndTheProcessOrRunItsTrap) {
    struct Case {
        std::vector<Signal> pending;
        std::optional<Trap> term_trap;
        bool in_handler;
        bool acting;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt, false, false},
        {{Signal::TERM}, std::nullopt, false, true},
        {{Signal::CHLD, Signal::CONT}, std::nullopt, false, false},
        {{Signal::STOP}, std::nullopt, false, false},
        {{Signal::TERM}, Trap::ignore(), false, false},
        {{Signal::TERM}, Trap::command("echo"), false, true},
        {{Signal::TERM}, Trap::command("echo"), true, false},
        {{Signal::KILL}, std::nullopt, true, true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ProcessState& s = state(m.states.active_pid());
        s.pending_signals = {cases[i].pending.begin(), cases[i].pending.end()};
        s.signal_traps.clear();
        if (cases[i].term_trap) s.signal_traps.emplace(Signal::TERM, *cases[i].term_trap);
        s.in_trap_handler = cases[i].in_handler;
        EXPECT_EQ(m.has_acting_signal(), cases[i].acting) << i;
    }
}

TEST_F(SignalTest, KillEndsABlockedChildAndTellsTheParent) {
    const WaitReason reason = WaitReason::pipe_readable(7);
    const Pid child = blocked_child(reason);
    ASSERT_TRUE(m.clock.add_timer(child, 1000));
    ASSERT_TRUE(m.send_signal(child, Signal::KILL));
    EXPECT_EQ(task(child), TaskState::ready());

    ASSERT_TRUE(run_until_host(m));
    const ProcessRecord& record = *m.processes.find(child);
    EXPECT_EQ(record.status, ProcessStatus::Exited);
    EXPECT_EQ(record.exit_code, 137);
    EXPECT_EQ(record.term_signal, Signal::KILL);
    EXPECT_EQ(task(child), TaskState::exited(137));
    EXPECT_EQ(m.states.find(child), nullptr);
    EXPECT_TRUE(m.clock.pending().empty());  // its timer is forgotten
    // CHLD waits in the parent's pending set without waking it (no trap).
    EXPECT_TRUE(state(kFirstShellPid).pending_signals.contains(Signal::CHLD));
    EXPECT_EQ(m.meter.memory_current(), 0u);
    // A finished process is not there to signal.
    EXPECT_EQ(m.send_signal(child, Signal::TERM).error(), fmt::format("process {} does not exist", child));
}

TEST_F(SignalTest, StopAndContinueKeepTheWaitReason) {
    const WaitReason reason = WaitReason::timer(5000);
    const Pid child = blocked_child(reason);
    state(kFirstShellPid).job_table.push_back(JobEntry{.command = "sleep", .job_id = 1, .pid = child});

    ASSERT_TRUE(m.send_signal(child, Signal::STOP));
    EXPECT_EQ(task(child), TaskState::stopped(reason));
    EXPECT_EQ(m.processes.find(child)->status, ProcessStatus::Stopped);
    EXPECT_EQ(state(kFirstShellPid).job_table[0].state, JobEntry::Stopped);
    EXPECT_TRUE(state(child).pending_signals.empty());

    ASSERT_TRUE(m.send_signal(child, Signal::CONT));
    EXPECT_EQ(task(child), TaskState::blocked(reason));
    EXPECT_EQ(m.processes.find(child)->status, ProcessStatus::Running);
    EXPECT_EQ(state(kFirstShellPid).job_table[0].state, JobEntry::Running);
    EXPECT_FALSE(state(child).pending_signals.contains(Signal::CONT));

    // Continued with a signal pending, it is woken at once.
    ASSERT_TRUE(m.send_signal(child, Signal::STOP));
    ASSERT_TRUE(m.send_signal(child, Signal::TERM));
    EXPECT_EQ(task(child), TaskState::stopped(reason));
    ASSERT_TRUE(m.continue_process(child));
    EXPECT_EQ(task(child), TaskState::ready());
}

TEST_F(SignalTest, StopAndContinueOfAReadyTask) {
    const Pid a = spawn(m, yielding_program(0, 0));
    const Pid b = spawn(m, yielding_program(0, 0));
    ASSERT_TRUE(m.send_signal(a, Signal::STOP));
    EXPECT_EQ(task(a), TaskState::stopped(std::nullopt));
    EXPECT_EQ(m.scheduler.run_queue(), std::deque<Pid>{b});
    ASSERT_TRUE(m.send_signal(a, Signal::CONT));
    EXPECT_EQ(m.scheduler.run_queue(), (std::deque<Pid>{b, a}));
    // CONT to the running shell changes nothing.
    ASSERT_TRUE(m.send_signal(kFirstShellPid, Signal::CONT));
    EXPECT_EQ(task(kFirstShellPid), TaskState::running());
    EXPECT_TRUE(state(kFirstShellPid).pending_signals.empty());
}

TEST_F(SignalTest, KillContinuesAStoppedProcessAndEndsIt) {
    const Pid child = blocked_child(WaitReason::timer(5000));
    ASSERT_TRUE(m.send_signal(child, Signal::STOP));
    ASSERT_TRUE(m.send_signal(child, Signal::KILL));
    EXPECT_EQ(task(child), TaskState::ready());
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.processes.find(child)->exit_code, 137);
}

TEST_F(SignalTest, StopToTheRunningTaskWaitsForItsNextStep) {
    int steps = 0;
    const Pid child = spawn(m, CallbackProgram{[&steps](Machine& machine) {
        ++steps;
        // The process stops itself; the step still completes.
        EXPECT_TRUE(machine.send_signal(machine.states.active_pid(), Signal::STOP));
        return ProgramStep::yield();
    }});
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(task(child), TaskState::ready());
    EXPECT_TRUE(state(child).pending_signals.contains(Signal::STOP));
    // Its next turn stops it without stepping it.
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(task(child), TaskState::stopped(std::nullopt));
    EXPECT_EQ(m.processes.find(child)->stop_signal, Signal::STOP);
}

TEST_F(SignalTest, ChldWakesOnlyWhenTrapped) {
    const Pid plain = blocked_child(WaitReason::pipe_readable(1));
    const Pid trapped = blocked_child(WaitReason::pipe_readable(2));
    const Pid ignoring = blocked_child(WaitReason::pipe_readable(3));

    ASSERT_TRUE(m.send_signal(plain, Signal::CHLD));
    EXPECT_EQ(task(plain).kind(), TaskKind::Blocked);
    EXPECT_TRUE(state(plain).pending_signals.contains(Signal::CHLD));

    state(trapped).signal_traps[Signal::CHLD] = Trap::command("echo child");
    ASSERT_TRUE(m.send_signal(trapped, Signal::CHLD));
    EXPECT_EQ(task(trapped), TaskState::ready());

    // An ignored TERM stays pending without waking, and delivery discards it.
    state(ignoring).signal_traps[Signal::TERM] = Trap::ignore();
    ASSERT_TRUE(m.send_signal(ignoring, Signal::TERM));
    EXPECT_EQ(task(ignoring).kind(), TaskKind::Blocked);
    ASSERT_TRUE(m.states.select(ignoring));
    EXPECT_EQ(m.deliver_pending_signals(), std::nullopt);
    EXPECT_TRUE(state(ignoring).pending_signals.empty());
}

TEST_F(SignalTest, DeliveryOrderAndTrapHandlers) {
    ProcessState& shell = state(kFirstShellPid);
    shell.pending_signals = {Signal::TERM, Signal::INT, Signal::CHLD};
    const auto terminate = [](Signal s) { return SignalDelivery{SignalDelivery::Kind::Terminate, s, {}}; };
    EXPECT_EQ(m.deliver_pending_signals(), terminate(Signal::INT));
    EXPECT_EQ(m.deliver_pending_signals(), terminate(Signal::TERM));
    EXPECT_EQ(m.deliver_pending_signals(), std::nullopt);  // CHLD is discarded

    shell.signal_traps[Signal::USR1] = Trap::command("echo usr1");
    shell.pending_signals = {Signal::USR1, Signal::TERM};
    EXPECT_EQ(m.deliver_pending_signals(),
              (SignalDelivery{SignalDelivery::Kind::RunTrap, Signal::USR1, Trap::command("echo usr1")}));
    EXPECT_TRUE(shell.in_trap_handler);
    // Inside the handler only KILL and STOP get through.
    EXPECT_EQ(m.deliver_pending_signals(), std::nullopt);
    shell.pending_signals.insert(Signal::STOP);
    shell.pending_signals.insert(Signal::KILL);
    EXPECT_EQ(m.deliver_pending_signals(), terminate(Signal::KILL));
    EXPECT_EQ(m.deliver_pending_signals(), (SignalDelivery{SignalDelivery::Kind::Stop, Signal::STOP, {}}));
    EXPECT_EQ(shell.pending_signals, std::set<Signal>{Signal::TERM});
    shell.in_trap_handler = false;
    EXPECT_EQ(m.deliver_pending_signals(), terminate(Signal::TERM));
}

TEST_F(SignalTest, TrapOnANativeProgramFailsTheStepAndDropsTheProgram) {
    const Pid child = spawn(m, yielding_program(5, 0));
    state(child).signal_traps[Signal::USR1] = Trap::command("echo hi");
    ASSERT_TRUE(m.send_signal(child, Signal::USR1));
    auto r = run_until_host(m);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "native process cannot run a shell signal handler");
    EXPECT_FALSE(state(child).program.has_value());
}

TEST_F(SignalTest, GroupsAndErrors) {
    EXPECT_EQ(m.send_signal(999, Signal::TERM).error(), "process 999 does not exist");
    EXPECT_EQ(m.signal_process_group(4321, Signal::TERM).error(), "process group 4321 does not exist");

    const Pid a = blocked_child(WaitReason::pipe_readable(1));
    const Pid b = blocked_child(WaitReason::pipe_readable(2));
    const Pid c = blocked_child(WaitReason::pipe_readable(3));
    // Members are signalled in ascending order; one without an execution context stops the walk.
    m.states.erase(b);
    auto r = m.signal_process_group(kFirstShellPid, Signal::HUP);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), fmt::format("process {} has no execution context", b));
    EXPECT_TRUE(state(kFirstShellPid).pending_signals.contains(Signal::HUP));
    EXPECT_TRUE(state(a).pending_signals.contains(Signal::HUP));
    EXPECT_EQ(task(a), TaskState::ready());
    EXPECT_FALSE(state(c).pending_signals.contains(Signal::HUP));
    EXPECT_EQ(task(c).kind(), TaskKind::Blocked);

    EXPECT_EQ(m.stop_process(4242, Signal::STOP).error(), "unable to stop process 4242: UnknownTask");
    EXPECT_EQ(m.continue_process(4242).error(), "unable to continue process 4242: UnknownTask");
}

TEST_F(SignalTest, ForegroundGroupFallsBackWhenItsLastRunningMemberStops) {
    const Pid job = spawn(m, blocking_program(WaitReason::timer(10), 0), false, true, GroupMode::NewGroup);
    m.foreground_pgid = job;
    ASSERT_TRUE(m.send_signal(job, Signal::STOP));
    EXPECT_EQ(m.foreground_pgid, kFirstShellPid);
}

}  // namespace
}  // namespace tw
