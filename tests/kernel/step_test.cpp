#include <gtest/gtest.h>
#include <fmt/format.h>

#include "kernel/machine.h"
#include "proc_support.h"

namespace tw {
namespace {

using namespace testing_support;

class StepTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kRoomyLimits);
    ProcessState& state(Pid pid) { return *m.states.find_mut(pid); }
    TaskState task(Pid pid) { return *m.scheduler.task_state(pid); }

    static void append_capture(Machine& machine, std::int32_t fd, std::string_view bytes) {
        const auto number = machine.states.active().descriptors.description_of(fd);
        auto description = machine.open_descriptions.get_mut(*number);
        std::get<target::OutputCapture>((*description)->target).data.append(bytes);
    }
};

TEST_F(StepTest, FinishedChildWakesItsWaitingParent) {
    auto pid = m.create_child_process("sub", false, true, false, GroupMode::Inherit);
    ASSERT_TRUE(pid);
    ASSERT_TRUE(m.states.set_program(*pid, yielding_program(2, 3)));
    state(kFirstShellPid).job_table.push_back(JobEntry{.command = "sub", .job_id = 1, .pid = *pid});

    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(task(*pid), TaskState::exited(3));
    const ProcessRecord& record = *m.processes.find(*pid);  // kept for the parent to reap
    EXPECT_EQ(record.status, ProcessStatus::Exited);
    EXPECT_EQ(record.exit_code, 3);
    EXPECT_TRUE(record.open_fds.empty());
    EXPECT_EQ(m.states.find(*pid), nullptr);
    const JobEntry& job = state(kFirstShellPid).job_table[0];
    EXPECT_EQ(job.state, JobEntry::Done);
    EXPECT_EQ(job.exit_status, 3u);
    EXPECT_TRUE(state(kFirstShellPid).pending_signals.contains(Signal::CHLD));
    EXPECT_EQ(m.meter.memory_current(), 0u);
    // The inherited descriptors are closed again.
    const auto stdin_description = *state(kFirstShellPid).descriptors.description_of(0);
    EXPECT_EQ(m.open_descriptions.get(stdin_description).value()->references, 1u);
}

TEST_F(StepTest, CapturedOutputIsCollectedWhenTheProcessFinishes) {
    spawn(m,
          CallbackProgram{[](Machine& machine) {
              append_capture(machine, 1, "out\xff");
              append_capture(machine, 2, "err");
              return ProgramStep::finished(0);
          }},
          false, true);
    const Pid quiet = spawn(m, CallbackProgram{[](Machine& machine) {
        append_capture(machine, 1, "kept");
        return ProgramStep::finished(0);
    }});
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.stdout_bytes, "out\xEF\xBF\xBD");  // as text
    EXPECT_EQ(m.stderr_bytes, "err");
    // Output of a process that is not captured stays unread in its description.
    EXPECT_EQ(task(quiet).kind(), TaskKind::Exited);
    const auto out = *state(kFirstShellPid).descriptors.description_of(1);
    const auto& capture = std::get<target::OutputCapture>(m.open_descriptions.get(out).value()->target);
    EXPECT_EQ(capture.data.substr(capture.consumed), "kept");
}

TEST_F(StepTest, OrphansAreReapedUnlessPythonHoldsThem) {
    const Pid orphan = spawn(m, yielding_program(0, 0));
    const Pid held = spawn(m, yielding_program(0, 0));
    state(orphan).ppid = 999;
    state(held).ppid = 999;
    m.python_children.emplace(held, held);
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.processes.find(orphan), nullptr);
    EXPECT_EQ(m.scheduler.find_task(orphan), nullptr);
    EXPECT_EQ(m.processes.find(held)->status, ProcessStatus::Exited);
    EXPECT_EQ(task(held), TaskState::exited(0));
}

TEST_F(StepTest, FinishingWakesTheWaitersOfEveryPipeEndItHeld) {
    auto first = m.open_descriptions.create_pipe();
    auto second = m.open_descriptions.create_pipe();
    ASSERT_TRUE(first && second);
    const std::uint32_t first_pipe = std::get<target::PipeRead>(m.open_descriptions.get(first->first).value()->target).pipe;
    const std::uint32_t second_pipe = std::get<target::PipeWrite>(m.open_descriptions.get(second->second).value()->target).pipe;

    const Pid writer_waiter = spawn(m, blocking_program(WaitReason::pipe_writable(first_pipe), 0));
    const Pid reader_waiter = spawn(m, blocking_program(WaitReason::pipe_readable(second_pipe), 0));
    const Pid holder = spawn(m, yielding_program(0, 0));
    ASSERT_TRUE(m.install_descriptor(holder, 3, first->first));   // read end of the first pipe
    ASSERT_TRUE(m.install_descriptor(holder, 4, second->second));  // write end of the second pipe
    EXPECT_EQ(m.processes.find(holder)->open_fds.at(4), fmt::format("pipe:[{}]", second_pipe));

    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(task(holder).kind(), TaskKind::Exited);
    EXPECT_EQ(task(writer_waiter), TaskState::ready());
    EXPECT_EQ(task(reader_waiter), TaskState::ready());
}

TEST_F(StepTest, ForegroundGroupReturnsToTheShellAndTimersAreForgotten) {
    const Pid job = spawn(m, yielding_program(0, 0), false, false, GroupMode::NewGroup);
    m.foreground_pgid = job;
    ASSERT_TRUE(m.clock.add_timer(job, 1000));
    ASSERT_TRUE(m.clock.add_timer(kFirstShellPid, 2000));
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.foreground_pgid, kFirstShellPid);
    ASSERT_EQ(m.clock.pending().size(), 1u);
    EXPECT_EQ(m.clock.pending().begin()->second.target, kFirstShellPid);
}

TEST_F(StepTest, WasmImageEndsWithAFixedStatusAndGivesItsChargeBack) {
    ASSERT_TRUE(m.meter.charge_memory(100));
    const Pid pid = spawn(m, yielding_program(0, 0));
    ASSERT_TRUE(m.states.set_program(pid, WasmImage{.local_charge = 100}));
    ASSERT_TRUE(run_until_host(m));
    EXPECT_EQ(m.processes.find(pid)->exit_code, 126);
    EXPECT_EQ(m.meter.memory_current(), 0u);
}

TEST_F(StepTest, ProgramsCopyWithTheMachine) {
    const Pid pid = spawn(m, CallbackProgram{[n = 0](Machine&) mutable {
        return ++n < 3 ? ProgramStep::yield() : ProgramStep::finished(n);
    }});
    // One step, then a snapshot; both machines go on from the same point independently.
    ASSERT_TRUE(m.scheduler.yield_running());
    ASSERT_TRUE(m.scheduler.dispatch());
    ASSERT_TRUE(m.drive_process_step(pid, StepDriver::Nested));
    ASSERT_EQ(m.scheduler.dispatch().value(), std::optional<Pid>(kFirstShellPid));
    ASSERT_TRUE(m.states.select(kFirstShellPid));
    Machine copy = m;
    ASSERT_TRUE(run_until_exited(copy, pid));
    ASSERT_TRUE(run_until_exited(m, pid));
    EXPECT_EQ(copy.processes.find(pid)->exit_code, 3);
    EXPECT_EQ(m.processes.find(pid)->exit_code, 3);
}

TEST_F(StepTest, NestedRunWithAnEarlyDeadlineStopsTheClockThere) {
    const Pid child = spawn(m, blocking_program(WaitReason::timer(5'000'000'000), 4));
    ASSERT_TRUE(m.clock.add_timer(child, 5'000'000'000));

    // First turn: the child runs and blocks on its timer.
    EXPECT_EQ(m.run_nested(child, 1'000'000'000), false);
    EXPECT_EQ(task(child).kind(), TaskKind::Blocked);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    // Second turn: nothing is ready and the event lies beyond the deadline.
    EXPECT_EQ(m.run_nested(child, 1'000'000'000), false);
    EXPECT_EQ(m.clock.now_ns(), 1'000'000'000u);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);

    int turns = 0;
    Result<bool, std::string> done = false;
    while (done && !*done && turns++ < 10) done = m.run_nested(child, std::nullopt);
    ASSERT_TRUE(done) << done.error();
    EXPECT_TRUE(*done);
    EXPECT_EQ(m.clock.now_ns(), 5'000'000'000u);
    EXPECT_EQ(m.processes.find(child)->exit_code, 4);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);

    // Waiting for a child that has already exited runs nothing.
    const Pid idle = spawn(m, yielding_program(0, 0));
    EXPECT_EQ(m.run_nested(child, std::nullopt), true);
    EXPECT_EQ(task(idle), TaskState::ready());
}

TEST_F(StepTest, NestedRunWithEverythingBlockedFails) {
    const Pid child = spawn(m, blocking_program(WaitReason::pipe_readable(9), 0));
    EXPECT_EQ(m.run_nested(child, std::nullopt), false);
    auto r = m.run_nested(child, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "all child processes are blocked without a pending event");
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);  // the caller was resumed

    // A caller stopped while others ran cannot be resumed.
    ASSERT_TRUE(m.scheduler.block_running(WaitReason::child(child)));
    ASSERT_TRUE(m.stop_process(kFirstShellPid, Signal::STOP));
    EXPECT_EQ(m.resume_nested_caller(kFirstShellPid).error(), "nested scheduler lost its caller");
}

}  // namespace
}  // namespace tw
