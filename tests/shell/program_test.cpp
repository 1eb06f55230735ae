// Resumable programs run as processes of a machine: each is a child of the boot shell whose
// descriptors are wired to buffers, pipes and the shell's output captures, and the test steps the
// machine until the programs have ended.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};

class ProgramRun : public ::testing::Test {
protected:
    explicit ProgramRun(MachineLimits limits = kRoomy) : m(Machine::build(limits)) {}

    // A child of the shell running `program`, with stdin from `input` (a description; the shell's
    // empty input when absent) and stdout to `output` (the shell's capture when absent).
    Pid start(ProgramContinuation program, std::optional<std::uint32_t> input = {},
              std::optional<std::uint32_t> output = {}) {
        auto pid = m.create_child_process("test", true, false, false, GroupMode::Inherit);
        EXPECT_TRUE(pid.has_value());
        if (input) {
            EXPECT_TRUE(m.install_descriptor(*pid, 0, *input).has_value());
        }
        if (output) {
            EXPECT_TRUE(m.install_descriptor(*pid, 1, *output).has_value());
        }
        EXPECT_TRUE(m.states.set_program(*pid, resumable_process_program(std::move(program))).has_value());
        return *pid;
    }
    Pid start(ProgramKind kind, std::vector<std::string> args, std::optional<std::uint32_t> input = {},
              std::optional<std::uint32_t> output = {}) {
        auto program = launch_program(kind, args);
        EXPECT_TRUE(program.has_value());
        return start(std::move(*program), input, output);
    }

    std::uint32_t buffer(Bytes data) { return *m.open_descriptions.insert_buffer(std::move(data)); }
    std::pair<std::uint32_t, std::uint32_t> pipe() { return *m.open_descriptions.create_pipe(); }

    void write_file(std::string_view path, Bytes data) {
        SyscallContext sys(m);
        ASSERT_TRUE(sys.write_file("/", path, std::move(data), 0644).has_value());
    }
    Bytes read_file(std::string_view path) {
        SyscallContext sys(m);
        auto bytes = sys.read_file("/", path, 1 << 20);
        EXPECT_TRUE(bytes.has_value());
        return bytes ? *bytes : Bytes();
    }

    // Steps every process but the shell until all of them have ended (the shell stays parked).
    void run(int step_limit = 1'000'000) {
        (void)m.scheduler.yield_running();
        for (int i = 0; i < step_limit; ++i) {
            std::optional<Pid> p = m.scheduler.running();
            if (!p) {
                auto dispatched = m.scheduler.dispatch();
                ASSERT_TRUE(dispatched.has_value());
                p = *dispatched;
            }
            ASSERT_TRUE(p.has_value()) << "every process is blocked";
            if (*p == kFirstShellPid) {
                if (m.scheduler.run_queue().empty()) {
                    ASSERT_TRUE(m.states.select(kFirstShellPid).has_value());
                    return;
                }
                (void)m.scheduler.yield_running();
                continue;
            }
            ASSERT_TRUE(m.states.select(*p).has_value());
            ASSERT_TRUE(m.drive_process_step(*p, StepDriver::Host).has_value());
        }
        FAIL() << "step limit reached";
    }

    std::int32_t status(Pid pid) {
        const ProcessRecord* record = m.processes.find(pid);
        EXPECT_TRUE(record != nullptr && record->status == ProcessStatus::Exited) << pid;
        return record ? record->exit_code : -1;
    }
    Bytes captured(std::int32_t fd) {
        auto number = m.states.find(kFirstShellPid)->descriptors.lookup(fd);
        return *m.open_descriptions.take_captured_bytes(*number);
    }

    Machine m;
};

// ---- single programs, table driven ----

struct Case {
    const char* name;
    ProgramKind kind;
    std::vector<std::string> args;
    Bytes input;
    Bytes out;
    Bytes err;
    std::int32_t status;
};

class ProgramCase : public ProgramRun, public ::testing::WithParamInterface<Case> {};

TEST_P(ProgramCase, Runs) {
    const Case& c = GetParam();
    write_file("/work/a", "one\ntwo\nthree");
    write_file("/work/b", "four\nfive\n");
    write_file("/work/-x", "dash\n");
    write_file("/work/lines", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n");
    m.states.active_mut().cwd = "/work";
    const Pid pid = start(c.kind, c.args, buffer(c.input));
    run();
    EXPECT_EQ(captured(1), c.out);
    EXPECT_EQ(captured(2), c.err);
    EXPECT_EQ(status(pid), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProgramCase,
    ::testing::Values(
        Case{"true", ProgramKind::True, {"x"}, "", "", "", 0},
        Case{"false", ProgramKind::False, {}, "", "", "", 1},
        Case{"pwd_ignores_operands", ProgramKind::Pwd, {"a", "-L"}, "", "/work\n", "", 0},
        Case{"cat_stdin", ProgramKind::Cat, {}, "in\n", "in\n", "", 0},
        Case{"cat_files_and_dash", ProgramKind::Cat, {"b", "-", "a"}, "mid\n", "four\nfive\nmid\none\ntwo\nthree", "",
             0},
        Case{"cat_number_continues", ProgramKind::Cat, {"-n", "a", "b"}, "",
             "     1\tone\n     2\ttwo\n     3\tthreefour\n     4\tfive\n", "", 0},
        Case{"cat_nn_numbers_once", ProgramKind::Cat, {"-nn", "b"}, "", "     1\tfour\n     2\tfive\n", "", 0},
        Case{"cat_unknown_letter", ProgramKind::Cat, {"-nx", "a"}, "", "", "cat: unimplemented option '-x'\n", 2},
        Case{"cat_long_option", ProgramKind::Cat, {"--help"}, "", "", "cat: unimplemented option '--help'\n", 2},
        Case{"cat_double_dash_operand", ProgramKind::Cat, {"--", "-x"}, "", "dash\n", "", 0},
        Case{"cat_missing_then_present", ProgramKind::Cat, {"missing", "b"}, "", "four\nfive\n",
             "cat: missing: No such file or directory: missing\n", 1},
        Case{"head_default_ten", ProgramKind::Head, {"lines"}, "", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n", "", 0},
        Case{"head_zero", ProgramKind::Head, {"-n", "0", "a"}, "", "", "", 0},
        Case{"head_bytes_short_file", ProgramKind::Head, {"-c5", "-"}, "abc", "abc", "", 0},
        Case{"head_bytes", ProgramKind::Head, {"-c", "5", "b"}, "", "four\n", "", 0},
        Case{"head_dash_number_headers", ProgramKind::Head, {"-2", "a", "b"}, "",
             "==> a <==\none\ntwo\n\n==> b <==\nfour\nfive\n", "", 0},
        Case{"head_last_count_wins", ProgramKind::Head, {"-c", "2", "-n", "1", "b"}, "", "four\n", "", 0},
        Case{"head_bad_lines", ProgramKind::Head, {"-n", "abc"}, "x\n", "", "head: invalid number of lines: abc\n", 1},
        Case{"head_bad_bytes", ProgramKind::Head, {"-c-1"}, "", "", "head: invalid number of bytes: -1\n", 1},
        Case{"head_missing_argument", ProgramKind::Head, {"-n"}, "", "", "head: option requires an argument -- 'n'\n",
             1},
        Case{"head_unknown_option", ProgramKind::Head, {"-q"}, "", "", "head: unimplemented option '-q'\n", 1},
        Case{"head_missing_file", ProgramKind::Head, {"-1", "nope", "b"}, "", "==> b <==\nfour\n",
             "head: nope: No such file or directory: nope\n", 1},
        Case{"tee_unknown_option", ProgramKind::Tee, {"-z"}, "data\n", "", "tee: unsupported option '-z'\n", 2},
        Case{"tee_stdout_only", ProgramKind::Tee, {}, "data\n", "data\n", "", 0},
        Case{"tee_unopenable_file", ProgramKind::Tee, {"/nodir/f"}, "data\n", "data\n",
             "tee: /nodir/f: No such file or directory: /nodir\n", 1},
        Case{"yes_too_long", ProgramKind::Yes, {std::string(4000, 'a'), std::string(95, 'b')}, "", "",
             "yes: arguments exceed 4096 bytes\n", 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// ---- files written by tee ----

TEST_F(ProgramRun, TeeWritesEveryFileAndAppends) {
    write_file("/work/log", "old\n");
    m.states.active_mut().cwd = "/work";
    const Pid appender = start(ProgramKind::Tee, {"-a", "log", "--", "-"}, buffer("new\n"));
    run();
    EXPECT_EQ(status(appender), 0);
    EXPECT_EQ(read_file("/work/log"), "old\nnew\n");
    EXPECT_EQ(read_file("/work/-"), "new\n");

    const Pid truncating = start(ProgramKind::Tee, {"log"}, buffer(Bytes(10000, 'z')));
    run();
    EXPECT_EQ(status(truncating), 0);
    EXPECT_EQ(read_file("/work/log"), Bytes(10000, 'z'));
    EXPECT_EQ(captured(1), "new\n" + Bytes(10000, 'z'));
}

// ---- pipelines ----

TEST_F(ProgramRun, YesIntoHeadEndsYesWithBrokenPipe) {
    auto [r, w] = pipe();
    const Pid yes = start(ProgramKind::Yes, {}, std::nullopt, w);
    const Pid head = start(ProgramKind::Head, {"-n", "1"}, r);
    run();
    EXPECT_EQ(captured(1), "y\n");
    EXPECT_EQ(status(head), 0);
    EXPECT_EQ(status(yes), 141);
}

TEST_F(ProgramRun, LargeStreamThroughFullPipesArrivesInOrder) {
    // yes abc | head -c 300000 | cat: the pipes fill up, and every writer waits for its reader.
    auto [r1, w1] = pipe();
    auto [r2, w2] = pipe();
    const Pid yes = start(ProgramKind::Yes, {"abc"}, std::nullopt, w1);
    const Pid head = start(ProgramKind::Head, {"-c", "300000"}, r1, w2);
    const Pid cat = start(ProgramKind::Cat, {}, r2);
    run();
    Bytes expected;
    while (expected.size() < 300000) expected += "abc\n";
    expected.resize(300000);
    EXPECT_EQ(captured(1), expected);
    EXPECT_EQ(status(cat), 0);
    EXPECT_EQ(status(head), 0);
    EXPECT_EQ(status(yes), 141);
}

TEST_F(ProgramRun, EveryByteIsCharged) {
    const std::uint64_t before_cpu = m.meter.cpu_used();
    const std::uint64_t before_output = m.meter.output_used();
    const Pid cat = start(ProgramKind::Cat, {}, buffer(Bytes(10000, 'q')));
    run();
    EXPECT_EQ(status(cat), 0);
    EXPECT_EQ(m.meter.output_used() - before_output, 10000u);
    // 10000 read + 10000 written, plus one unit per step (three chunks and the end).
    EXPECT_EQ(m.meter.cpu_used() - before_cpu, 20004u);
}

// ---- yes ----

TEST(YesLaunch, FillsOneBlockOfWholeLines) {
    auto block_of = [](std::vector<std::string> args) {
        auto program = launch_program(ProgramKind::Yes, args);
        return std::get<program::Yes>(program->state).block.data;
    };
    EXPECT_EQ(block_of({}), [] {
        Bytes b;
        for (int i = 0; i < 2048; ++i) b += "y\n";
        return b;
    }());
    EXPECT_EQ(block_of({"abc"}).size(), 1024u * 4);
    const std::string longest(4095, 'l');
    EXPECT_EQ(block_of({longest}), longest + "\n");
}

// ---- budgets ----

class TightRun : public ProgramRun {
protected:
    TightRun() : ProgramRun(MachineLimits{.cpu = 1'000'000, .memory = 1ULL << 30, .disk = 1 << 20, .output = 10}) {}
};

TEST_F(TightRun, OutputLimitStopsYes) {
    const Pid yes = start(ProgramKind::Yes, {});
    run();
    EXPECT_EQ(status(yes), 137);
    EXPECT_EQ(captured(1), "y\ny\ny\ny\ny\n");
    EXPECT_EQ(m.meter.stop_reason(), StopReason::output_limit_exceeded);
}

class NoCpuRun : public ProgramRun {
protected:
    NoCpuRun() : ProgramRun(MachineLimits{.cpu = 0, .memory = 1ULL << 30, .disk = 1 << 20, .output = 1000}) {}
};

TEST_F(NoCpuRun, RefusedFirstStepWritesNothing) {
    const Pid pwd = start(ProgramKind::Pwd, {});
    run();
    EXPECT_EQ(status(pwd), 137);
    EXPECT_EQ(captured(1), "");
    EXPECT_EQ(m.meter.stop_reason(), StopReason::cpu_exhausted);
}

// ---- error exit ----

TEST_F(ProgramRun, ErrorExitWritesItsMessage) {
    const Pid pid = start(error_exit_state("prog: refused\n", 126));
    run();
    EXPECT_EQ(captured(2), "prog: refused\n");
    EXPECT_EQ(status(pid), 126);
}

// ---- registry commands run as processes ----

std::int32_t plain_native(NativeInvocation& invocation, CommandIo& io) {
    io.out += "args:";
    for (const std::string& arg : invocation.args) io.out += " " + arg;
    io.out += "\n";
    io.err += "note\n";
    return 3;
}

// Gathers live standard input (as the command library's reader does), then upper-cases it.
void upper_native(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    if (invocation.live_input != nullptr && !invocation.live_input->eof) {
        auto read = invocation.sys.read(0, 4096);
        if (!read) {
            step = NativeStep::finished(1);
            return;
        }
        if (read->blocked()) {
            step = NativeStep::blocked(*read->wait);
            return;
        }
        if (read->data.empty()) {
            invocation.live_input->eof = true;
        } else {
            if (!invocation.sys.charge_memory(read->data.size())) {
                step = NativeStep::finished(137);
                return;
            }
            invocation.live_input->charged += read->data.size();
            io.in += read->data;
            step = NativeStep::yield();
            return;
        }
    }
    for (char c : io.in) io.out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    step = NativeStep::finished(0);
}

// Writes before it asks to wait: not allowed.
void eager_native(NativeStep& step, NativeInvocation&, CommandIo& io) {
    io.out += "early";
    step = NativeStep::yield();
}

NativeCommand command_of(NativeHandler handler, std::uint64_t cost = 100) {
    return NativeCommand{false, handler, cost, 10240, CommandTrust::Real};
}
NativeCommand command_of(SuspendableNativeHandler handler) {
    return NativeCommand{true, handler, 100, 10240, CommandTrust::Real};
}

TEST_F(ProgramRun, NativeCommandRunsOnceAndRecordsItsUsage) {
    const std::uint64_t memory = m.meter.memory_current();
    const std::uint64_t cpu = m.meter.cpu_used();
    const Pid pid = start(native_state(command_of(plain_native), "plain", {"a", "bc"}));
    run();
    EXPECT_EQ(status(pid), 3);
    EXPECT_EQ(captured(1), "args: a bc\n");
    EXPECT_EQ(captured(2), "note\n");
    ASSERT_EQ(m.meter.command_usage().size(), 1u);
    EXPECT_EQ(m.meter.command_usage()[0].command, "plain");
    // Cost 100 + 3 argument bytes + 16 bytes written (one unit each); the first step's own unit
    // comes before the start mark.
    EXPECT_EQ(m.meter.command_usage()[0].cpu, 119u);
    EXPECT_EQ(m.meter.cpu_used() - cpu, 120u);
    EXPECT_EQ(m.meter.memory_current(), memory);
}

TEST_F(ProgramRun, SuspendableNativeGathersItsInputFromAPipe) {
    // yes | head -c 10000 | upper
    const std::uint64_t memory = m.meter.memory_current();
    auto [r1, w1] = pipe();
    auto [r2, w2] = pipe();
    start(ProgramKind::Yes, {"ab"}, std::nullopt, w1);
    start(ProgramKind::Head, {"-c", "10000"}, r1, w2);
    const Pid upper = start(native_state(command_of(upper_native), "upper", {}), r2);
    run();
    EXPECT_EQ(status(upper), 0);
    Bytes expected;
    while (expected.size() < 10000) expected += "AB\n";
    expected.resize(10000);
    EXPECT_EQ(captured(1), expected);
    EXPECT_EQ(m.meter.memory_current(), memory);  // the gathered input's charge is given back
}

TEST_F(ProgramRun, NativeSuspendingAfterOutputEndsWith125) {
    const Pid pid = start(native_state(command_of(eager_native), "eager", {}));
    run();
    EXPECT_EQ(status(pid), 125);
    EXPECT_EQ(captured(1), "");
    EXPECT_EQ(captured(2), "eager: command suspended after producing output\n");
}

TEST_F(ProgramRun, NativeRefusedAtItsStartGivesItsMemoryBack) {
    const std::uint64_t memory = m.meter.memory_current();
    const Pid pid = start(native_state(command_of(plain_native, 2'000'000'000), "costly", {}));
    run();
    EXPECT_EQ(status(pid), 137);
    EXPECT_EQ(captured(1), "");
    EXPECT_EQ(m.meter.memory_current(), memory);
}

TEST(ProgramKinds, EveryKindLaunches) {
    EXPECT_TRUE(launch_program(ProgramKind::Cat, {}).has_value());
    EXPECT_TRUE(launch_program(ProgramKind::Make, {}).has_value());
}

}  // namespace
}  // namespace tw
