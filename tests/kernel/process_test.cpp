#include <gtest/gtest.h>
#include <fmt/format.h>

#include "kernel/machine.h"
#include "proc_support.h"

namespace tw {
namespace {

using namespace testing_support;

class ChildTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kRoomyLimits);
    ProcessState& shell() { return *m.states.find_mut(kFirstShellPid); }
};

TEST(SignalParse, AcceptsNamesAndNumbersOnly) {
    for (const char* text : {"TERM", "term", "SIGTERM", "sigterm", "SigTerm", "15"})
        EXPECT_EQ(signal_parse(text), Signal::TERM) << text;
    EXPECT_EQ(signal_parse("9"), Signal::KILL);
    EXPECT_EQ(signal_parse("SIG25"), Signal::XFSZ);
    for (const char* text : {"015", "+15", " TERM", "TERM ", "SIG", "SIGSIGTERM", "SIGRTMIN", "", "0", "16"})
        EXPECT_EQ(signal_parse(text), std::nullopt) << text;
}

TEST(ArgvDisplayLine, JoinsAndCutsAtCharacterBoundaries) {
    EXPECT_EQ(argv_display_line({"echo", "hi", "there"}), "echo hi there");
    EXPECT_EQ(argv_display_line({"a", "", "b"}), "a  b");
    const std::string long_arg(4095, 'x');
    EXPECT_EQ(argv_display_line({long_arg, "yz"}), long_arg + " ");
    // A two-byte character that would pass the limit is left out whole.
    EXPECT_EQ(argv_display_line({std::string(4094, 'x'), "\xC3\xA9"}), std::string(4094, 'x') + " ");
}

TEST_F(ChildTest, ForkSizeCountsEachTextWithItsOverhead) {
    const std::uint64_t base = shell().fork_size();
    shell().store_variable("A", "xyz");
    EXPECT_EQ(shell().fork_size(), base + 52);
    shell().export_variable("A");
    EXPECT_EQ(shell().fork_size(), base + 77);
    shell().signal_traps[Signal::INT] = Trap::ignore();
    shell().signal_traps[Signal::TERM] = Trap::command("echo x");
    EXPECT_EQ(shell().fork_size(), base + 77 + 16 + 6 + 24);
}

TEST_F(ChildTest, ForkLimitIsInclusiveAndARefusalGivesNothingAway) {
    const std::uint64_t base = shell().fork_size();
    const std::uint64_t value_len = kForkSizeLimit - base - (1 + 24) - 24;
    shell().store_variable("F", std::string(value_len + 1, 'v'));
    ASSERT_EQ(shell().fork_size(), kForkSizeLimit + 1);
    auto refused = m.create_child_process("big", false, false, false, GroupMode::Inherit);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "shell state exceeds the 32 MiB fork limit");
    EXPECT_EQ(m.meter.memory_current(), 0u);
    EXPECT_EQ(m.processes.next_pid(), 1235u);

    shell().store_variable("F", std::string(value_len, 'v'));
    auto pid = m.create_child_process("big", false, false, false, GroupMode::Inherit);
    ASSERT_TRUE(pid) << pid.error();
    EXPECT_EQ(m.meter.memory_current(), kForkSizeLimit + 256);
    EXPECT_EQ(m.states.find(*pid)->process_charge, kForkSizeLimit + 256);
}

TEST_F(ChildTest, ChildIsBuiltFromTheParent) {
    ProcessState& parent = shell();
    parent.store_variable("NEW", "1");
    parent.export_variable("NEW");
    parent.signal_traps[Signal::INT] = Trap::ignore();
    parent.signal_traps[Signal::TERM] = Trap::command("echo x");
    parent.exit_trap = Trap::command("echo bye");
    parent.job_table.push_back(JobEntry{.command = "sleep 1", .job_id = 1, .pid = 77});
    parent.next_job_number = 2;
    parent.pending_signals.insert(Signal::USR1);
    parent.pending_error = PendingError{.message = "oops"};
    parent.call_saved_size = 7;
    parent.umask = 077;
    const std::uint64_t fork_size = parent.fork_size();
    const std::uint32_t stdin_description = *parent.descriptors.description_of(0);

    auto fresh = m.create_child_process("prog a", true, false, false, GroupMode::NewSession);
    ASSERT_TRUE(fresh) << fresh.error();
    const std::uint64_t fork_size_again = shell().fork_size();
    auto sub = m.create_child_process("( sub )", false, false, true, GroupMode::NewGroup);
    ASSERT_TRUE(sub) << sub.error();
    EXPECT_EQ(*fresh, 1235u);
    EXPECT_EQ(*sub, 1236u);
    EXPECT_EQ(m.processes.next_pid(), 1237u);

    // The parent goes on: still active and running; both children wait in the run queue.
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(m.scheduler.run_queue(), (std::deque<Pid>{1235, 1236}));
    EXPECT_EQ(m.processes.find(kFirstShellPid)->environment.at("NEW"), "1");
    EXPECT_EQ(m.meter.memory_current(), fork_size + 256 + fork_size_again + 256);
    EXPECT_EQ(m.open_descriptions.get(stdin_description).value()->references, 3u);

    const ProcessRecord& a = *m.processes.find(1235);
    EXPECT_EQ(a.command, "prog a");
    EXPECT_EQ(a.ppid, kFirstShellPid);
    EXPECT_EQ(a.pgid, 1235u);
    EXPECT_EQ(a.sid, 1235u);
    EXPECT_EQ(a.environment.at("NEW"), "1");
    EXPECT_EQ(a.open_fds.size(), 3u);
    const ProcessRecord& b = *m.processes.find(1236);
    EXPECT_EQ(b.pgid, 1236u);
    EXPECT_EQ(b.sid, kFirstShellPid);

    const ProcessState& ca = *m.states.find(1235);
    EXPECT_FALSE(ca.program.has_value());
    EXPECT_EQ(ca.pid, 1235u);
    EXPECT_EQ(ca.ppid, kFirstShellPid);
    EXPECT_EQ(ca.shell_pid, 1235u);
    EXPECT_EQ(ca.pgid, 1235u);
    EXPECT_EQ(ca.sid, 1235u);
    EXPECT_EQ(ca.umask, 077);
    EXPECT_EQ(ca.variables.at("NEW"), "1");
    EXPECT_EQ(ca.random_state, 0x5EED5EED5EED5EEDULL ^ (1235ULL * 0x9E3779B97F4A7C15ULL));
    EXPECT_EQ(ca.process_charge, fork_size + 256);
    EXPECT_EQ(ca.signal_traps, (std::map<Signal, Trap>{{Signal::INT, Trap::ignore()}}));
    EXPECT_FALSE(ca.exit_trap.has_value());
    EXPECT_TRUE(ca.pending_signals.empty());
    EXPECT_TRUE(ca.job_table.empty());
    EXPECT_EQ(ca.next_job_number, 1u);
    EXPECT_FALSE(ca.pending_error.has_value());
    EXPECT_EQ(ca.call_saved_size, 0u);
    EXPECT_EQ(ca.state_size_baseline, ca.modeled_size());
    EXPECT_FALSE(ca.err_trap_enabled);  // errtrace is off in the parent
    EXPECT_FALSE(ca.capture_output);
    EXPECT_EQ(ca.descriptors.fds(), shell().descriptors.fds());

    const ProcessState& cb = *m.states.find(1236);
    EXPECT_EQ(cb.shell_pid, kFirstShellPid);
    EXPECT_EQ(cb.signal_traps.size(), 2u);
    EXPECT_FALSE(cb.exit_trap.has_value());  // the EXIT trap stays with the shell that set it
    EXPECT_TRUE(cb.capture_output);
    EXPECT_NE(cb.random_state, ca.random_state);
}

TEST_F(ChildTest, SuspendingCreationHandsOverToTheChild) {
    auto pid = m.create_child_process("sub", false, true, false, GroupMode::Inherit);
    ASSERT_TRUE(pid) << pid.error();
    EXPECT_EQ(m.scheduler.task_state(kFirstShellPid), TaskState::blocked(WaitReason::child(*pid)));
    EXPECT_EQ(m.scheduler.running(), *pid);
    EXPECT_EQ(m.states.active_pid(), *pid);
}

TEST_F(ChildTest, RefusalsGiveTheChargeAndTheDescriptorsBack) {
    const std::uint32_t stdin_description = *shell().descriptors.description_of(0);

    // The parent cannot be suspended when it is not running.
    ASSERT_TRUE(m.scheduler.yield_running());
    auto unsuspended = m.create_child_process("x", false, true, false, GroupMode::Inherit);
    ASSERT_FALSE(unsuspended);
    EXPECT_EQ(unsuspended.error(), "unable to suspend parent process: NoRunningTask");
    EXPECT_EQ(m.processes.next_pid(), 1236u);  // the number is used up
    EXPECT_EQ(m.processes.find(1235), nullptr);
    EXPECT_EQ(m.scheduler.find_task(1235), nullptr);
    EXPECT_EQ(m.scheduler.run_queue(), std::deque<Pid>{kFirstShellPid});

    // 1024 records, exited ones included.
    for (Pid pid = 2000; m.processes.records().size() < kMaxProcessRecords; ++pid)
        m.processes.insert(ProcessRecord{.status = ProcessStatus::Exited, .pid = pid});
    auto full = m.create_child_process("x", false, false, false, GroupMode::Inherit);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error(), "logical process limit exceeded");
    EXPECT_EQ(m.processes.next_pid(), 1236u);

    EXPECT_EQ(m.meter.memory_current(), 0u);
    EXPECT_EQ(m.open_descriptions.get(stdin_description).value()->references, 1u);
}

TEST(ChildCreation, MemoryRefusalUsesNoNumber) {
    Machine probe = Machine::build(kRoomyLimits);
    const std::uint64_t need = probe.states.active().fork_size() + 256;
    Machine m = Machine::build(MachineLimits{.cpu = 1000, .memory = need - 1, .disk = 1 << 20, .output = 1000});
    auto pid = m.create_child_process("x", false, false, false, GroupMode::Inherit);
    ASSERT_FALSE(pid);
    EXPECT_EQ(pid.error(), "memory limit exceeded while creating child process");
    EXPECT_EQ(m.processes.next_pid(), 1235u);
    EXPECT_EQ(m.meter.memory_current(), 0u);
}

TEST_F(ChildTest, CommandTextIsCutAtACharacterBoundary) {
    const std::string text = std::string(4095, 'c') + "\xC3\xA9" + "tail";
    auto pid = m.create_child_process(text, false, false, false, GroupMode::Inherit);
    ASSERT_TRUE(pid);
    EXPECT_EQ(m.processes.find(*pid)->command, std::string(4095, 'c'));
}

TEST_F(ChildTest, PreparedChildGetsItsInputConfigurationAndProgram) {
    std::vector<std::string> launched;
    ArgvLauncher launch = [&](Machine& machine, Pid pid, const std::vector<std::string>& argv) {
        launched = argv;
        return machine.states.set_program(pid, yielding_program(0, 0));
    };
    ChildRequest request{.argv = {"echo", "hi"}, .input = Bytes("abc")};
    request.configuration.directory = "/tmp";
    request.configuration.environment = std::map<std::string, std::string>{{"A", "1"}};
    auto pid = m.prepare_child(request, launch);
    ASSERT_TRUE(pid) << pid.error();
    EXPECT_EQ(launched, request.argv);
    EXPECT_EQ(m.states.active_pid(), *pid);  // the parent is suspended on it
    EXPECT_EQ(m.scheduler.task_state(kFirstShellPid), TaskState::blocked(WaitReason::child(*pid)));

    const ProcessState& child = *m.states.find(*pid);
    EXPECT_TRUE(child.program.has_value());
    EXPECT_EQ(child.cwd, "/tmp");
    EXPECT_EQ(child.environment_snapshot(), (std::map<std::string, std::string>{{"A", "1"}, {"PWD", "/tmp"}}));
    EXPECT_EQ(child.variables.size(), 2u);
    const auto* input = std::get_if<target::BufferedInput>(
        &m.open_descriptions.get(*child.descriptors.description_of(0)).value()->target);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->data, "abc");
    const ProcessRecord& record = *m.processes.find(*pid);
    EXPECT_EQ(record.command, "echo hi");
    EXPECT_EQ(record.cwd, "/tmp");
    EXPECT_EQ(record.environment, child.environment_snapshot());
    EXPECT_EQ(record.open_fds.at(0), fmt::format("pipe:[{}]", *child.descriptors.description_of(0)));
}

TEST_F(ChildTest, PrepareChildRefusals) {
    ArgvLauncher launch = [](Machine&, Pid, const std::vector<std::string>&) -> Result<void, std::string> { return {}; };
    EXPECT_EQ(m.prepare_child(ChildRequest{}, launch).error(), "empty argv");
    ChildRequest big{.argv = {"cat"}, .input = Bytes(kMaxBufferedBytes + 1, 'x')};
    EXPECT_EQ(m.prepare_child(big, launch).error(), "unable to prepare child input: descriptor output limit exceeded");

    // A detached child leaves the parent running; a refused creation drops the prepared input.
    const std::size_t descriptions = m.open_descriptions.descriptions().size();
    shell().store_variable("F", std::string(kForkSizeLimit, 'v'));
    ChildRequest refused{.argv = {"cat"}, .input = Bytes("abc"), .detached = true};
    EXPECT_EQ(m.prepare_child(refused, launch).error(), "shell state exceeds the 32 MiB fork limit");
    EXPECT_EQ(m.open_descriptions.descriptions().size(), descriptions);
    EXPECT_EQ(m.install_descriptor(4242, 0, 0).error(), DescriptorError::InvalidFd);
}

TEST_F(ChildTest, DetachedPreparedChildWaitsInTheRunQueue) {
    ArgvLauncher launch = [](Machine&, Pid, const std::vector<std::string>&) -> Result<void, std::string> { return {}; };
    auto pid = m.prepare_child(ChildRequest{.argv = {"true"}, .detached = true, .group_mode = GroupMode::NewSession}, launch);
    ASSERT_TRUE(pid);
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(task_kind(m, *pid), TaskKind::Ready);
    EXPECT_EQ(m.processes.find(*pid)->sid, *pid);
    EXPECT_EQ(m.states.find(*pid)->shell_pid, *pid);
}

}  // namespace
}  // namespace tw
