#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "shell/command_outcome.h"
#include "shell/dispatch.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20};

struct Ran {
    CommandOutcome outcome;
    std::string out;
    std::string err;
};

Ran dispatch(Machine& m, std::vector<std::string> argv, Bytes input = {}) {
    Ran run;
    run.outcome = m.dispatch_command(argv, std::move(input), run.out, run.err);
    return run;
}

const InvocationEvent& last_entry(const Machine& m) {
    EXPECT_FALSE(m.invocations.entries.empty());
    return m.invocations.entries.back();
}

std::vector<std::string> labels(const BoundedLabelSet& set) { return set.labels(); }

TEST(Dispatch, EchoRunsInTheShellAndIsChargedAndLogged) {
    Machine m = Machine::build(kRoomy);
    const std::uint64_t cpu_before = m.meter.cpu_used();
    const std::uint64_t memory_before = m.meter.memory_current();
    Ran r = dispatch(m, {"echo", "hi"});
    EXPECT_EQ(r.outcome.tag(), CommandOutcome::Tag::Done);
    EXPECT_EQ(r.outcome.status(), 0);
    EXPECT_EQ(r.out, "hi\n");
    EXPECT_EQ(r.err, "");
    // cost 20 + 2 argument bytes, then the 3 output bytes as I/O.
    EXPECT_EQ(m.meter.cpu_used() - cpu_before, 25u);
    EXPECT_EQ(m.meter.memory_current(), memory_before);
    EXPECT_EQ(m.meter.output_used(), 3u);

    const InvocationEvent& e = last_entry(m);
    EXPECT_EQ(e.pid, kFirstShellPid);
    EXPECT_EQ(e.argv, (std::vector<std::string>{"echo", "hi"}));
    EXPECT_EQ(e.trust, CommandTrust::Real);
    EXPECT_EQ(e.status, 0);
    EXPECT_GE(e.cpu.value_or(0), 22u);
    EXPECT_EQ(e.disk_delta, 0);
    EXPECT_FALSE(e.unsupported_reason);
    EXPECT_FALSE(m.invocations.has_running(kFirstShellPid));

    ASSERT_FALSE(m.meter.command_usage().empty());
    EXPECT_EQ(m.meter.command_usage().back().command, "echo");
    EXPECT_EQ(m.meter.command_usage().back().cpu, 25u);
}

TEST(Dispatch, UnknownWordIsCommandNotFound) {
    Machine m = Machine::build(kRoomy);
    Ran r = dispatch(m, {"frobnicate", "x"});
    EXPECT_EQ(r.outcome.status(), 127);
    EXPECT_EQ(r.err, "frobnicate: command not found\n");
    EXPECT_EQ(r.out, "");
    const InvocationEvent& e = last_entry(m);
    EXPECT_EQ(e.trust, CommandTrust::Unsupported);
    EXPECT_EQ(e.unsupported_reason, "command not found");
    EXPECT_EQ(e.status, 127);
    EXPECT_EQ(labels(m.unsupported_labels), std::vector<std::string>{"frobnicate"});
}

TEST(Dispatch, UnsupportedCommandReportsNotImplemented) {
    Machine m = Machine::build(kRoomy);
    for (std::string word : {"gcc", "/usr/bin/gcc"}) {
        Ran r = dispatch(m, {word, "-O2", "main.c"});
        EXPECT_EQ(r.outcome.status(), 127) << word;
        EXPECT_EQ(r.err, "gcc: not implemented in tarnwick\n") << word;
        const InvocationEvent& e = last_entry(m);
        EXPECT_EQ(e.trust, CommandTrust::Unsupported);
        EXPECT_EQ(e.unsupported_reason, "not implemented in tarnwick");
        EXPECT_EQ(e.status, 127);
        EXPECT_EQ(e.argv[0], word);
    }
    EXPECT_EQ(labels(m.unsupported_labels), (std::vector<std::string>{"gcc", "gcc"}));
}

TEST(Dispatch, RefusedChargesEndWith137WithoutRunningTheHandler) {
    {
        Machine m = Machine::build(MachineLimits{.cpu = 10, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20});
        Ran r = dispatch(m, {"echo", "hi"});
        EXPECT_EQ(r.outcome.status(), 137);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(last_entry(m).status, 137);
        EXPECT_EQ(m.meter.stop_reason(), StopReason::cpu_exhausted);
        // The stop reason persists: every later command ends the same way.
        EXPECT_EQ(dispatch(m, {"pwd"}).outcome.status(), 137);
    }
    {
        Machine m = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1 << 22, .disk = 1 << 26, .output = 1 << 20});
        const std::uint64_t room = m.meter.limits().memory - m.meter.memory_current();
        Ran r = dispatch(m, {"echo", "hi"}, Bytes(room - 10240 + 1, 'x'));
        EXPECT_EQ(r.outcome.status(), 137);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(m.meter.stop_reason(), StopReason::memory_exhausted);
    }
}

TEST(Dispatch, OutputPastTheBudgetIsCutStandardOutputFirst) {
    Machine m = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 4});
    Ran r = dispatch(m, {"echo", "123456789"});
    EXPECT_EQ(r.out, "1234");
    EXPECT_EQ(r.outcome.status(), 137);
    EXPECT_EQ(m.meter.stop_reason(), StopReason::output_limit_exceeded);
    EXPECT_EQ(last_entry(m).status, 137);
}

TEST(Dispatch, OutputCutKeepsWhatIsLeftOfTheBudgetForStandardError) {
    Machine m = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 30});
    Ran r = dispatch(m, {"nosuchcommand-abcdefghijklmnopqrstuvwxyz"});
    EXPECT_EQ(r.err, "nosuchcommand-abcdefghijklmnopqrstuvwxyz: command not found\n");  // path execution is not cut
    Machine m2 = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 10});
    Ran g = dispatch(m2, {"gcc"});
    EXPECT_EQ(g.err, "gcc: not i");
    EXPECT_EQ(g.err.size(), 10u);
    EXPECT_EQ(g.outcome.status(), 137);
}

TEST(Dispatch, PermissionDeniedForAFileWithoutExecuteBits) {
    Machine m = Machine::build(kRoomy);
    ASSERT_TRUE(m.vfs.write_file("/work/s", "echo x\n", 0644).has_value());
    m.states.active_mut().cwd = "/work";
    Ran r = dispatch(m, {"./s", "a"});
    EXPECT_EQ(r.outcome.status(), 126);
    EXPECT_EQ(r.err, "./s: /work/s: permission denied\n");
    EXPECT_EQ(last_entry(m).trust, CommandTrust::Real);
    EXPECT_EQ(last_entry(m).status, 126);
}

TEST(Dispatch, ScriptInterpreterLines) {
    struct Case {
        std::string content;
        std::string child_line;  // empty: refused
    };
    const Case cases[] = {
        {"#!/usr/bin/env python3\nprint(1)\n", "/usr/bin/env python3 /work/s a b"},
        {"#!  /bin/sh -e -u\n", "/bin/sh -e -u /work/s a b"},
        {"echo plain\n", "/usr/bin/sh /work/s a b"},
        {"#!tarnwick-python\nx\n", "/usr/bin/python3.14 /work/s a b"},
        {"#!python3\n", ""},
        {"#!/no/such/interpreter\n", ""},
        {"#!\n", ""},
    };
    for (const Case& c : cases) {
        Machine m = Machine::build(kRoomy);
        ASSERT_TRUE(m.vfs.write_file("/work/s", c.content, 0755).has_value());
        if (c.content.starts_with("#!  /bin/sh")) {
            ASSERT_TRUE(m.vfs.write_file("/bin/sh", "", 0755).has_value());
        }
        m.states.active_mut().cwd = "/work";
        const Pid next = m.processes.next_pid();
        Ran r = dispatch(m, {"./s", "a", "b"});
        if (c.child_line.empty()) {
            EXPECT_EQ(r.outcome.status(), 126) << c.content;
            EXPECT_EQ(r.err, "/work/s: unsupported script interpreter\n") << c.content;
            EXPECT_EQ(last_entry(m).status, 126);
            continue;
        }
        ASSERT_EQ(r.outcome.tag(), CommandOutcome::Tag::WaitChild) << c.content << r.err;
        const auto* queue = std::get_if<BuiltinContinuation::ChildQueue>(&r.outcome.as<CommandOutcome::WaitChild>()->state.state);
        ASSERT_NE(queue, nullptr);
        EXPECT_EQ(queue->child, next);
        ASSERT_NE(m.processes.find(next), nullptr);
        EXPECT_EQ(m.processes.find(next)->command, c.child_line) << c.content;
        // The script's own entry keeps running until the executor finishes the command.
        EXPECT_EQ(m.invocations.running.at(kFirstShellPid).size(), 1u);
        EXPECT_EQ(m.states.active_pid(), next);
    }
}

TEST(Dispatch, AFoundStubWithoutARegistryEntryIsNotFoundWithTwoEntries) {
    Machine m = Machine::build(kRoomy);
    m.vfs.insert_base_entry("/usr/bin/mystery", NativeProgram::named("mystery"));
    const std::size_t before = m.invocations.entries.size();
    Ran r = dispatch(m, {"mystery", "x"});
    EXPECT_EQ(r.outcome.status(), 127);
    EXPECT_EQ(r.err, "mystery: command not found\n");
    ASSERT_EQ(m.invocations.entries.size(), before + 2);
    EXPECT_EQ(m.invocations.entries[before].trust, CommandTrust::Real);
    EXPECT_EQ(m.invocations.entries[before].status, 126);
    EXPECT_EQ(m.invocations.entries[before + 1].unsupported_reason, "command not found");
    EXPECT_EQ(m.invocations.entries[before + 1].status, 127);
    EXPECT_FALSE(m.invocations.has_running(kFirstShellPid));
}

TEST(Dispatch, ProgramsThatNeedAProcessStartAChild) {
    Machine m = Machine::build(kRoomy);
    const Pid next = m.processes.next_pid();
    const std::size_t entries = m.invocations.entries.size();
    Ran r = dispatch(m, {"cat", "-n"}, "input");
    ASSERT_EQ(r.outcome.tag(), CommandOutcome::Tag::WaitChild) << r.err;
    EXPECT_EQ(m.states.active_pid(), next);
    EXPECT_EQ(m.processes.find(next)->command, "cat -n");
    // The launch in the child records the command, under the child's pid.
    ASSERT_EQ(m.invocations.entries.size(), entries + 1);
    EXPECT_EQ(m.invocations.entries.back().pid, next);
    EXPECT_EQ(m.invocations.entries.back().argv, (std::vector<std::string>{"cat", "-n"}));
    const TaskState* parent = m.scheduler.find_task(kFirstShellPid);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->kind(), TaskKind::Blocked);
}

TEST(Dispatch, EvalParsesItsJoinedArguments) {
    Machine m = Machine::build(kRoomy);
    Ran ok = dispatch(m, {"eval", "echo", "a;"});
    ASSERT_EQ(ok.outcome.tag(), CommandOutcome::Tag::RunProgram);
    ASSERT_NE(ok.outcome.as<CommandOutcome::RunProgram>()->program, nullptr);
    EXPECT_EQ(shell_command_outline(*ok.outcome.as<CommandOutcome::RunProgram>()->program), "(simple \"echo\" \"a\")");
    // The entry stays running until the executor has run the program.
    EXPECT_EQ(m.invocations.running.at(kFirstShellPid).size(), 1u);

    Ran empty = dispatch(m, {"eval"});
    EXPECT_EQ(empty.outcome.tag(), CommandOutcome::Tag::RunProgram);

    Ran bad = dispatch(m, {"eval", "if"});
    EXPECT_EQ(bad.outcome.tag(), CommandOutcome::Tag::Done);
    EXPECT_EQ(bad.outcome.status(), 2);
    EXPECT_TRUE(bad.err.starts_with("tarnwick: syntax error: ")) << bad.err;
    EXPECT_TRUE(bad.err.ends_with("\n"));
}

TEST(Dispatch, PwdPrintsTheDirectoryAndIgnoresOperands) {
    Machine m = Machine::build(kRoomy);
    m.states.active_mut().cwd = "/tmp";
    Ran r = dispatch(m, {"pwd", "extra", "args"});
    EXPECT_EQ(r.out, "/tmp\n");
    EXPECT_EQ(r.outcome.status(), 0);
}

TEST(Dispatch, BuiltinNamesAreTheFixedList) {
    for (std::string_view name : {".", ":", "[", "[[", "echo", "printf", "wait", "fg", "readarray", "typeset"})
        EXPECT_TRUE(is_builtin_name(name)) << name;
    for (std::string_view name : {"cat", "ls", "python3", "flock", "gcc", "]", ""})
        EXPECT_FALSE(is_builtin_name(name)) << name;
}

TEST(Dispatch, ResolutionSaysWhichWordsNeedAProcess) {
    Machine m = Machine::build(kRoomy);
    EXPECT_TRUE(resolve_command_word(m, "cat").needs_own_process());
    EXPECT_TRUE(resolve_command_word(m, "ls").needs_own_process());
    EXPECT_TRUE(resolve_command_word(m, "bash").needs_own_process());
    EXPECT_FALSE(resolve_command_word(m, "gcc").needs_own_process());
    EXPECT_FALSE(resolve_command_word(m, "nosuch").needs_own_process());
    ASSERT_TRUE(m.vfs.write_file("/work/mod.wasm", std::string("\0asm\1\0\0\0", 8), 0755).has_value());
    EXPECT_TRUE(resolve_command_word(m, "/work/mod.wasm").needs_own_process());
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

std::vector<std::string> words(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(InvocationLog, RecordsCompletesNewestFirstAndFinishesAll) {
    InvocationLog log;
    log.record(7, words({"a"}), CommandTrust::Real, std::nullopt, 100, 1000);
    log.record(7, words({"b", "x"}), CommandTrust::Partial, std::nullopt, 150, 1000);
    log.record(8, words({"c"}), CommandTrust::Unsupported, "command not found", 0, 0);
    constexpr std::uint64_t arg = InvocationLog::kArgOverhead;
    EXPECT_EQ(log.modeled_bytes, (128u + 1 + arg) + (128u + 2 + 2 * arg) + (128u + 1 + arg + 17));
    EXPECT_EQ(log.running.at(7), (std::vector<std::uint64_t>{0, 1}));

    log.finish(7, 3, 400, 900);  // the newest running entry of 7: "b"
    EXPECT_EQ(log.entries[1].status, 3);
    EXPECT_EQ(log.entries[1].cpu, 250u);
    EXPECT_EQ(log.entries[1].disk_delta, -100);
    EXPECT_FALSE(log.entries[0].status);

    log.finish_all(7, 9, 500, 1000);
    EXPECT_EQ(log.entries[0].status, 9);
    EXPECT_EQ(log.entries[0].cpu, 400u);
    EXPECT_FALSE(log.running.contains(7));  // the process ended
    EXPECT_FALSE(log.has_running(7));
    log.finish(7, 1, 0, 0);  // nothing left: no change
    EXPECT_EQ(log.entries[1].status, 3);

    // Disk deltas are exact and clamp into the signed range.
    log.record(9, words({"d"}), CommandTrust::Real, std::nullopt, 0, 0);
    log.finish(9, 0, 0, ~0ULL);
    EXPECT_EQ(log.entries.back().disk_delta, std::numeric_limits<std::int64_t>::max());
}

TEST(InvocationLog, EvictsOldestAtTheEntryBound) {
    InvocationLog log;
    for (std::size_t i = 0; i < InvocationLog::kMaxEntries; ++i)
        log.record(1, words({"x"}), CommandTrust::Real, std::nullopt, 0, 0);
    EXPECT_EQ(log.dropped, 0u);
    log.record(2, words({"y"}), CommandTrust::Real, std::nullopt, 0, 0);
    EXPECT_EQ(log.dropped, 1u);
    EXPECT_EQ(log.entries.size(), InvocationLog::kMaxEntries);
    EXPECT_EQ(log.entries.front().sequence, 1u);
    // The evicted entry left its process's running list.
    EXPECT_EQ(log.running.at(1).front(), 1u);
    EXPECT_EQ(log.running.at(1).size(), InvocationLog::kMaxEntries - 1);
    // Completing an evicted entry is silently skipped.
    log.complete(0, 5, 0, 0);
    EXPECT_EQ(log.modeled_bytes, (129u + InvocationLog::kArgOverhead) * InvocationLog::kMaxEntries);
}

TEST(InvocationLog, OversizedEntriesAreRefusedAndLaterOnesStillComplete) {
    InvocationLog log;
    log.record(1, words({"first"}), CommandTrust::Real, std::nullopt, 0, 0);
    std::vector<std::string> huge{std::string(InvocationLog::kMaxModeledBytes, 'x')};
    log.record(1, huge, CommandTrust::Real, std::nullopt, 0, 0);
    EXPECT_EQ(log.dropped, 1u);
    EXPECT_EQ(log.next_sequence, 2u);  // the refused entry used up its number
    log.record(1, words({"third"}), CommandTrust::Real, std::nullopt, 0, 0);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].sequence, 2u);
    // Sequence numbers now have a gap; completion still finds the entry.
    log.finish(1, 4, 10, 0);
    EXPECT_EQ(log.entries[1].status, 4);
    log.finish(1, 5, 10, 0);
    EXPECT_EQ(log.entries[0].status, 5);

    // Entries that together pass the byte bound evict from the front.
    InvocationLog bytes;
    std::vector<std::string> half{std::string(InvocationLog::kMaxModeledBytes / 2, 'y')};
    bytes.record(1, half, CommandTrust::Real, std::nullopt, 0, 0);
    bytes.record(1, half, CommandTrust::Real, std::nullopt, 0, 0);
    EXPECT_EQ(bytes.entries.size(), 1u);
    EXPECT_EQ(bytes.dropped, 1u);

    InvocationLog disabled;
    disabled.next_sequence = ~0ULL;
    disabled.record(1, words({"x"}), CommandTrust::Real, std::nullopt, 0, 0);
    EXPECT_TRUE(disabled.entries.empty());
    EXPECT_EQ(disabled.dropped, 1u);
}

}  // namespace
}  // namespace tw
