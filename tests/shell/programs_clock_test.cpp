// The resumable programs that wait on the clock or start commands (sleep, usleep, timeout, env,
// nohup, nice, xargs), run from the shell on a virtual clock.
#include <gtest/gtest.h>

#include "exec_fixture.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

using exec_test::ExecFixture;

// ---- durations ----

TEST(ParseDuration, UnitsFractionsAndLimits) {
    struct Case {
        std::string_view text;
        std::optional<std::uint64_t> ns;  // absent: refused with `message`
        std::string_view message;
    };
    const Case cases[] = {
        {"1", 1'000'000'000, ""},
        {" 2 ", 2'000'000'000, ""},
        {"+3", 3'000'000'000, ""},
        {"0.5s", 500'000'000, ""},
        {"500ms", 500'000'000, ""},
        {"500000us", 500'000'000, ""},
        {"500000\xC2\xB5s", 500'000'000, ""},
        {"7ns", 7, ""},
        {".5", 500'000'000, ""},
        {"5.", 5'000'000'000, ""},
        {"1.5m", 90'000'000'000, ""},
        {"2h", 7'200'000'000'000, ""},
        {"1d", 86'400'000'000'000, ""},
        // The fraction is rounded down to whole nanoseconds, however long it is.
        {"1.0000000001", 1'000'000'000, ""},
        {"0.99999999999999999999999999999999999999999", 999'999'999, ""},
        {"213503d", 213503ULL * 86'400'000'000'000ULL, ""},
        {"213504d", std::nullopt, "duration is too large: 213504d"},
        {"99999999999999999999999", std::nullopt, "duration is too large: 99999999999999999999999"},
        {".", std::nullopt, "invalid duration ."},
        {"-1", std::nullopt, "invalid duration -1"},
        {"1e3", std::nullopt, "invalid duration 1e3"},
        {"1.2.3", std::nullopt, "invalid duration 1.2.3"},
        {"", std::nullopt, "invalid duration "},
        {"s", std::nullopt, "invalid duration s"},
    };
    for (const Case& c : cases) {
        auto got = parse_duration(c.text);
        if (c.ns) {
            ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error();
            EXPECT_EQ(*got, *c.ns) << c.text;
        } else {
            ASSERT_FALSE(got.has_value()) << c.text;
            EXPECT_EQ(got.error(), c.message);
        }
    }
}

// ---- whole scripts ----

struct ScriptCase {
    const char* name;
    const char* script;
    const char* out;
    const char* err;
    std::int32_t status;
};

class ClockPrograms : public ExecFixture, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ClockPrograms, Run) {
    const ScriptCase& c = GetParam();
    auto r = run(c.script);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
}

const ScriptCase kScripts[] = {
    {"SleepZero", "sleep 0", "", "", 0},
    {"SleepMissing", "sleep", "", "sleep: missing operand\n", 1},
    {"SleepInvalid", "sleep 1 x", "", "sleep: invalid time interval 'x'\n", 1},
    {"SleepSumOverflows", "sleep 213503d 213503d", "", "sleep: invalid time interval '213503d'\n", 1},
    {"UsleepMissing", "usleep", "", "usleep: missing operand\n", 1},
    {"UsleepFraction", "usleep 1.5", "", "usleep: invalid time interval '1.5'\n", 1},
    {"TimeoutExpires", "timeout 1 sleep 5", "", "", 124},
    {"TimeoutChildFirst", "timeout 5 sh -c 'exit 3'", "", "", 3},
    {"TimeoutPreserve", "timeout --preserve-status 1 sleep 5", "", "", 143},
    {"TimeoutSignalOption", "timeout -s INT 1 sleep 5; echo $?; timeout --signal=KILL 1 sleep 5", "124\n", "", 124},
    {"TimeoutZeroNeverExpires", "timeout 0 sleep 2", "", "", 0},
    {"TimeoutKillAfter", "timeout -s HUP -k 1 1 nohup sleep 10", "", "", 137},
    {"TimeoutStop", "timeout -s STOP 1 true", "", "timeout: unsupported signal 'STOP'\n", 125},
    {"TimeoutBadOption", "timeout -x 1 true", "", "timeout: unsupported option '-x'\n", 125},
    {"TimeoutMissingOperand", "timeout", "", "timeout: missing operand\n", 125},
    {"TimeoutMissingCommand", "timeout 1", "", "timeout: missing command\n", 125},
    {"TimeoutBadDuration", "timeout 1x true", "", "timeout: invalid duration 1x\n", 125},
    {"TimeoutSignalMissing", "timeout -s", "", "timeout: option requires a signal\n", 125},
    {"TimeoutRunsCommandOutput", "timeout 3 echo hi", "hi\n", "", 0},
    {"EnvIgnore", "env -i A=1 env", "A=1\n", "", 0},
    {"EnvIgnoreOnly", "env -i", "", "", 0},
    {"EnvValueWithEquals", "env -i A=1 B==2", "A=1\nB==2\n", "", 0},
    {"EnvUnset", "X=1 env -i X=2 Y=3 env -u X env", "Y=3\n", "", 0},
    {"EnvChdir", "env -C /bin pwd", "/bin\n", "", 0},
    {"EnvChdirMissing", "env -C /nowhere pwd", "", "env: cannot change directory to '/nowhere'\n", 125},
    {"EnvBadOption", "env -x", "", "env: unrecognized option '-x'\n", 125},
    {"EnvMissingArgument", "env -u", "", "env: option requires an argument -- 'u'\n", 125},
    {"EnvCommandStatus", "env sh -c 'exit 4'", "", "", 4},
    {"EnvVariableReachesCommand", "env -i GREETING=hello sh -c 'echo $GREETING'", "hello\n", "", 0},
    {"NicePrints", "nice", "0\n", "", 0},
    {"NiceRuns", "nice -n 5 echo hi; nice -5 echo a; nice --adjustment=3 -- echo b", "hi\na\nb\n", "", 0},
    {"NiceStatus", "nice -n 5 true", "", "", 0},
    {"NiceNegative", "nice --5 echo a; nice -n -5 echo b", "a\nb\n", "", 0},
    {"TimeoutForeground", "timeout --foreground 1 sleep 5", "", "", 124},
    {"NiceBadAdjustment", "nice -n x true", "", "nice: invalid adjustment 'x'\n", 125},
    {"NiceMissing", "nice -n", "", "nice: option requires an argument -- 'n'\n", 125},
    {"NohupRuns", "nohup echo hi; nohup -- echo c", "hi\nc\n", "", 0},
    {"NohupMissing", "nohup", "", "nohup: missing operand\n", 125},
    {"NohupOption", "nohup -x", "", "nohup: unrecognized option '-x'\n", 125},
    {"XargsBatches", "printf '1 2 3 4 5' | xargs -n 2 echo", "1 2\n3 4\n5\n", "", 0},
    {"XargsAnyWhiteSpace", "printf 'a \\tb\\nc' | xargs echo", "a b c\n", "", 0},
    {"XargsQuotesAreOrdinary", "printf '\"a b\"' | xargs -n1", "\"a\nb\"\n", "", 0},
    {"XargsReplace", "printf '1\\n2\\n' | xargs -I X echo pre-X-post", "pre-1-post\npre-2-post\n", "", 0},
    {"XargsReplaceJoined", "printf 'a b\\n  c\\n\\n' | xargs -I{} echo [{}] {}", "[a b] a b\n[c] c\n", "", 0},
    {"XargsEmptyRunsOnce", "printf '' | xargs echo x", "x\n", "", 0},
    {"XargsEmptyWithR", "printf '  \\n' | xargs -r echo x", "", "", 0},
    {"XargsNul", "printf 'a\\0b c\\0\\0' | xargs -0 -n 1 echo", "a\nb c\n", "", 0},
    {"XargsDefaultEcho", "printf 'p q' | xargs", "p q\n", "", 0},
    {"XargsZeroN", "printf a | xargs -n 0", "", "xargs: -n requires a positive number\n", 1},
    {"XargsBadN", "printf a | xargs -n x", "", "xargs: invalid number for -n\n", 1},
    {"XargsUnsupported", "printf a | xargs -p", "", "xargs: unsupported option '-p'\n", 1},
    {"XargsIMissing", "printf a | xargs -I", "", "xargs: option requires an argument -- 'I'\n", 1},
    {"XargsEmptyMarker", "printf a | xargs -I ''", "", "xargs: empty replacement marker\n", 1},
    // The status is the last command's: a failure before it does not count.
    {"XargsEarlierFailureKept", "printf '3 0' | xargs -n 1 sh -c 'exit $0'", "", "", 3},
    {"XargsAllSucceed", "printf '0 0' | xargs -n 1 sh -c 'exit $0'", "", "", 0},
    {"XargsLastFails", "printf '0 3' | xargs -n 1 sh -c 'exit $0'", "", "", 3},
};

INSTANTIATE_TEST_SUITE_P(Scripts, ClockPrograms, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- virtual time ----

class VirtualTime : public ExecFixture {
protected:
    // The virtual seconds a script takes (whole seconds suffice for these cases).
    std::uint64_t elapsed_ns(std::string_view script, std::int32_t expected_status) {
        const std::uint64_t before = m.clock.now_ns();
        auto r = run(script);
        EXPECT_EQ(r.failure, "");
        EXPECT_EQ(r.status, expected_status) << r.err;
        return m.clock.now_ns() - before;
    }
};

TEST_F(VirtualTime, SleepsAndDeadlinesMoveTheClockExactly) {
    EXPECT_EQ(elapsed_ns("sleep 1 2", 0), 3'000'000'000u);
    EXPECT_EQ(elapsed_ns("sleep .5; sleep 500ms; sleep 500000us", 0), 1'500'000'000u);
    EXPECT_EQ(elapsed_ns("usleep 1500", 0), 1'500'000u);
    EXPECT_EQ(elapsed_ns("timeout 1 sleep 5", 124), 1'000'000'000u);
    EXPECT_EQ(elapsed_ns("timeout -s HUP -k 1 1 nohup sleep 10", 137), 2'000'000'000u);
    EXPECT_EQ(elapsed_ns("timeout 5 sleep 1", 0), 1'000'000'000u);
}

// A ten-second sleep on the virtual clock: many of them still end at once on the host.
TEST_F(VirtualTime, LongSleepsCostNoHostTime) {
    EXPECT_EQ(elapsed_ns("for i in 1 2 3 4 5 6 7 8 9 10; do sleep 10; done", 0), 100'000'000'000u);
}

// ---- xargs limits and memory ----

// xargs run as a child of the boot shell with `input` as its standard input; the machine is
// stepped until only the shell is left.
class XargsRun : public ::testing::Test {
protected:
    Machine m = Machine::build(exec_test::kLimits);

    std::int32_t run_xargs(std::vector<std::string> args, Bytes input) {
        SyscallContext sys(m);
        EXPECT_TRUE(sys.write_file("/", "/tmp/xargs-input", std::move(input), 0644).has_value());
        auto pid = m.create_child_process("xargs", true, false, false, GroupMode::Inherit);
        EXPECT_TRUE(pid.has_value());
        EXPECT_TRUE(m.states.select(*pid).has_value());
        EXPECT_TRUE(sys.openat(0, "/", "/tmp/xargs-input", OpenFlags::input()).has_value());
        auto program = launch_program(ProgramKind::Xargs, args);
        EXPECT_TRUE(m.states.set_program(*pid, resumable_process_program(std::move(*program))).has_value());
        (void)m.scheduler.yield_running();
        for (int i = 0; i < 100000; ++i) {
            std::optional<Pid> p = m.scheduler.running();
            if (!p) p = *m.scheduler.dispatch();
            if (!p) break;
            if (*p == kFirstShellPid) {
                if (m.scheduler.run_queue().empty()) break;
                (void)m.scheduler.yield_running();
                continue;
            }
            EXPECT_TRUE(m.drive_process_step(*p, StepDriver::Host).has_value());
        }
        (void)m.states.select(kFirstShellPid);
        const ProcessRecord* record = m.processes.find(*pid);
        EXPECT_TRUE(record != nullptr && record->status == ProcessStatus::Exited);
        return record ? record->exit_code : -1;
    }
    std::string err() {
        auto number = m.states.find(kFirstShellPid)->descriptors.lookup(2);
        return m.open_descriptions.take_captured_output(*number).value_or("");
    }
};

TEST_F(XargsRun, RefusesInputOverFourMiBAndGivesItsMemoryBack) {
    const std::uint64_t memory_before = m.meter.memory_current();
    EXPECT_EQ(run_xargs({"true"}, Bytes(4 * 1024 * 1024 + 1, 'a')), 1);
    EXPECT_EQ(err(), "xargs: input exceeds 4 MiB\n");
    EXPECT_EQ(m.meter.memory_current(), memory_before);
}

TEST_F(XargsRun, RefusesTooManyItems) {
    Bytes input;
    for (int i = 0; i < 65537; ++i) input += "x ";
    EXPECT_EQ(run_xargs({"true"}, std::move(input)), 1);
    EXPECT_EQ(err(), "xargs: too many input arguments\n");
}

TEST_F(XargsRun, RunsEveryLineAndGivesItsMemoryBack) {
    const std::uint64_t memory_before = m.meter.memory_current();
    EXPECT_EQ(run_xargs({"-n", "2", "false"}, "a b c d e f\n"), 1);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(m.meter.memory_current(), memory_before);
}

}  // namespace
}  // namespace tw
