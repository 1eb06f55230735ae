// The builtins of jobs, signals, traps, input, option parsing and file locks, run through the
// executor: their exact texts and statuses, and the cases where they deliberately differ from
// other shells.
#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "commands/builtins/input.h"
#include "commands/builtins/jobs.h"
#include "exec_fixture.h"

namespace tw::exec_test {
namespace {

class BuiltinsJobs : public ExecFixture {
protected:
    // Runs each case in a fresh machine. A background job that ends hands what is in the shared
    // captures to the run's output, so that comes first.
    RunResult fresh(std::string_view source) {
        m = Machine::build(kLimits);
        reset_streams();
        return collect(run(source, 400000));
    }
    RunResult collect(RunResult r) {
        r.out = std::string(m.stdout_bytes) + r.out;
        r.err = std::string(m.stderr_bytes) + r.err;
        return r;
    }
};

struct Case {
    const char* source;
    const char* out;
    const char* err;
    std::int32_t status;
};

void check_cases(BuiltinsJobs& fixture, std::span<const Case> cases, auto&& runner) {
    for (const Case& c : cases) {
        RunResult r = runner(c.source);
        EXPECT_EQ(r.failure, "") << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_EQ(r.status, c.status) << c.source;
    }
}

// A loop that lets background jobs run before the next command.
constexpr std::string_view kSpin = "spin() { i=0; while [ $i -lt 40 ]; do i=$((i+1)); done; }; ";

TEST_F(BuiltinsJobs, JobControlTextsAndStatuses) {
    const Case cases[] = {
        {"jobs -l", "", "jobs: only -p is supported\n", 2},
        {"jobs -p -p", "", "jobs: only -p is supported\n", 2},
        {"fg", "", "fg: no such job\n", 1},
        {"fg %x", "", "fg: %x: invalid job\n", 1},
        {"fg 1 2", "", "fg: usage: fg [%JOB]\n", 1},
        {"bg %-", "", "bg: %-: invalid job\n", 1},
        {"disown %3", "", "disown: no such job\n", 1},
        {"wait", "", "", 0},
        {"wait %7", "", "wait: %7: no such job\n", 127},
        {"wait abc", "", "wait: abc: invalid job id\n", 127},
        {"f() { return 3; }; f & spin; wait $!", "", "", 3},
        {"f() { return 3; }; f & spin; jobs; fg; echo $?; jobs", "[1] Done f\n3\n", "", 0},
        {"f() { return 3; }; f & spin; bg", "", "bg: job has terminated\n", 1},
        {"f() { return 3; }; f & disown; jobs; wait; echo $?", "0\n", "", 0},
        {"f() { return 1; }; g() { return 2; }; f & g & disown -a; jobs", "", "", 0},
        {"f() { spin; }; f & kill -STOP %1; jobs; bg %1; wait %1", "[1] Stopped f\n[1] f &\n", "", 0},
        {"f() { spin; return 6; }; f & kill -STOP %1; fg; echo $?", "6\n", "", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(std::string(kSpin) + s); });
}

TEST_F(BuiltinsJobs, JobsListsRunningAndDoneEntriesAndPids) {
    RunResult r = fresh(std::string(kSpin) + "f() { spin; spin; spin; }; g() { return 0; }; f & g & spin; jobs; jobs -p");
    EXPECT_EQ(r.failure, "");
    const auto& table = shell().job_table;
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(r.out, fmt::format("[1] Running f\n[2] Done g\n{}\n{}\n", table[0].pid, table[1].pid));
}

TEST_F(BuiltinsJobs, DisownReapsAFinishedJobAndLeavesARunningOneRunning) {
    RunResult r = fresh(std::string(kSpin) + "f() { return 2; }; g() { spin; spin; echo g-ran; }; f & a=$!; g & b=$!; "
                        "spin; disown -a; jobs; echo listed");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, "listed\n");
    const Pid a = static_cast<Pid>(std::stoul(var("a")));
    const Pid b = static_cast<Pid>(std::stoul(var("b")));
    EXPECT_EQ(m.processes.find(a), nullptr);  // finished and reaped
    ASSERT_NE(m.processes.find(b), nullptr);  // still running, not signalled
    EXPECT_EQ(m.processes.find(b)->status, ProcessStatus::Running);
    EXPECT_TRUE(shell().job_table.empty());
}

TEST_F(BuiltinsJobs, DisownedJobIsReapedWhenItEnds) {
    RunResult r = fresh(std::string(kSpin) + "g() { spin; }; g & b=$!; disown; spin; spin; spin; echo done");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(m.processes.find(static_cast<Pid>(std::stoul(var("b")))), nullptr);
}

TEST_F(BuiltinsJobs, FinishedJobsNobodyWaitsForDoNotFillTheTables) {
    // More jobs than the job table and the process table hold, each finished before the next
    // starts; a running job keeps its entry through the clean-up.
    m = Machine::build(kLimits);
    reset_streams();
    RunResult r = collect(run(std::string(kSpin) +
                        "g() { spin; return 4; }; g & keep=$!; kill -STOP $keep; "
                        "for ((n = 0; n < 1100; n++)); do (exit 3) & sleep 0.001; done; echo $?; x=$(echo sub); echo $x; "
                        "bg %1 >/dev/null; wait $keep; echo $?; wait $!; echo $?"));
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "0\nsub\n4\n3\n");
    EXPECT_LE(shell().job_table.size(), 1024u);
}

TEST_F(BuiltinsJobs, JobSpecsResolveByNumberOrPid) {
    ProcessState state;
    state.job_table = {JobEntry{"a", JobEntry::Running, Signal::STOP, 0, 1, 5000},
                       JobEntry{"b", JobEntry::Running, Signal::STOP, 0, 2, 1}};
    const auto resolve = [&](std::vector<std::string> operands) {
        auto r = resolve_job_spec(state, "fg", operands);
        return r ? fmt::format("{}", *r) : r.error();
    };
    EXPECT_EQ(resolve({}), "1");
    EXPECT_EQ(resolve({"%%"}), "1");
    EXPECT_EQ(resolve({"%+"}), "1");
    EXPECT_EQ(resolve({"%1"}), "0");      // job number 1 comes before pid 1
    EXPECT_EQ(resolve({"5000"}), "0");    // a pid
    EXPECT_EQ(resolve({"2"}), "1");
    EXPECT_EQ(resolve({"%-"}), "%-: invalid job");
    EXPECT_EQ(resolve({"3"}), "no such job");
}

TEST_F(BuiltinsJobs, KillTextsAndStatuses) {
    const Case cases[] = {
        {"kill -l", "HUP INT KILL USR1 USR2 PIPE TERM CHLD CONT STOP\n", "", 0},
        {"kill -l 143", "TERM\n", "", 0},
        {"kill -l KILL", "KILL\n", "", 0},
        {"kill -l 200", "", "kill: unknown signal 200\n", 1},
        {"kill", "", "kill: usage: kill [-s SIGNAL] PID|%JOB ...\n", 2},
        {"kill -s", "", "kill: -s requires a signal\n", 2},
        {"kill -FOO 12", "", "kill: invalid signal: FOO\n", 2},
        {"kill -0 99999", "", "kill: 99999: no such process\n", 1},
        {"kill -s 0 -- -99999", "", "kill: -99999: no such process\n", 1},
        {"kill %9", "", "kill: %9: no such process or job\n", 1},
        {"kill abc 0x1", "", "kill: abc: no such process or job\nkill: 0x1: no such process or job\n", 1},
        {"kill -0 $$; echo $?", "0\n", "", 0},
        {"kill -n 1", "", "kill: invalid signal: n\n", 2},
        {"trap 'echo caught' USR1; kill -s USR1 0; echo after", "caught\nafter\n", "", 0},
        {"trap 'echo caught' USR2; kill -SIGUSR2 -- $$; echo after", "caught\nafter\n", "", 0},
        {"f() { spin; spin; }; f & kill -KILL %1; wait %1", "", "", 137},
        {"f() { spin; }; f & kill 99999 %1; echo $?; wait", "1\n", "kill: 99999: process 99999 does not exist\n", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(std::string(kSpin) + s); });
}

TEST_F(BuiltinsJobs, TrapTextsAndStatuses) {
    const Case cases[] = {
        {"trap 'echo bye' EXIT; trap", "trap -- 'echo bye' EXIT\nbye\n", "", 0},
        {"trap \"echo 'q'\" EXIT; trap -p; trap - EXIT", "trap -- 'echo '\\''q'\\''' EXIT\n", "", 0},
        {"trap '' INT; trap; trap - INT; trap", "trap -- '' SIGINT\n", "", 0},
        {"trap ': a' ERR; trap ': b' TERM; trap ': c' HUP; trap ': d' exit; trap",
         "trap -- ': d' EXIT\ntrap -- ': a' ERR\ntrap -- ': c' SIGHUP\ntrap -- ': b' SIGTERM\n", "", 0},
        {"trap 'x' 1 sigusr1; trap -p HUP USR1", "trap -- 'x' SIGHUP\ntrap -- 'x' SIGUSR1\n", "", 0},
        {"trap -p BOGUS", "", "trap: invalid signal: BOGUS\n", 2},
        {"trap -l", "HUP INT KILL USR1 USR2 PIPE TERM CHLD CONT STOP\n", "", 0},
        {"trap -l INT", "", "trap: -l does not accept operands\n", 2},
        {"trap x", "", "trap: missing signal operand\n", 2},
        {"trap --", "", "trap: missing action\n", 2},
        {"trap x KILL", "", "trap: SIGKILL cannot be caught or ignored\n", 1},
        {"trap x STOP KILL", "", "trap: SIGKILL cannot be caught or ignored\n", 1},
        {"trap x SIGSTOP", "", "trap: SIGSTOP cannot be caught or ignored\n", 1},
        {"trap x CONT", "", "trap: SIGCONT handlers are not supported\n", 2},
        {"trap x BOGUS", "", "trap: invalid signal: BOGUS\n", 2},
        {"trap 'echo x' INT BOGUS; trap", "", "trap: invalid signal: BOGUS\n", 0},
        {"trap -- 'echo x' INT; trap", "trap -- 'echo x' SIGINT\n", "", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, TrapRefusesAnActionThatDoesNotParse) {
    RunResult r = fresh("trap 'if' INT; echo $?; trap");
    EXPECT_EQ(r.out, "2\n");
    EXPECT_TRUE(r.err.starts_with("trap: invalid handler: ")) << r.err;
    EXPECT_TRUE(shell().signal_traps.empty());
}

TEST_F(BuiltinsJobs, TrapStateIsLimitedToOneMebibyte) {
    // One action of 400000 bytes fits on one signal and on two, not on three; a refused set
    // changes nothing.
    const std::string action = "#" + std::string(400000, 'x');
    m = Machine::build(kLimits);
    reset_streams();
    set_variable(shell(), "A", action);
    RunResult r = run("trap \"$A\" INT HUP; echo $?; trap \"$A\" TERM; echo $?; trap - HUP; trap \"$A\" TERM; echo $?");
    EXPECT_EQ(r.out, "0\n2\n0\n");
    EXPECT_EQ(r.err, "trap: signal handler state exceeds the 1 MiB limit\n");
    EXPECT_EQ(shell().signal_traps.size(), 2u);
    EXPECT_TRUE(shell().signal_traps.contains(Signal::TERM));
    EXPECT_FALSE(shell().signal_traps.contains(Signal::HUP));
}

TEST_F(BuiltinsJobs, ExitAndErrTrapsRun) {
    const Case cases[] = {
        {"trap 'echo bye' EXIT; exit 3", "bye\n", "", 3},
        {"trap 'echo bye $?' EXIT; false", "bye 1\n", "", 1},
        {"trap 'echo in-trap; exit 9' EXIT; exit 3", "in-trap\n", "", 9},
        {"trap 'echo err $?' ERR; false; echo after $?", "err 1\nafter 1\n", "", 0},
        {"trap 'echo err' ERR; if false; then :; fi; false || true; echo done", "done\n", "", 0},
        {"trap 'echo err' ERR; trap - ERR; false; echo done", "done\n", "", 0},
        {"(trap 'echo sub' EXIT; exit 4); echo $?", "sub\n4\n", "", 0},
        // The shell's EXIT trap runs once, in the shell: not in a substitution, a subshell, a
        // pipeline stage or a job.
        {"trap 'echo bye' EXIT; x=$(echo hi); echo \"[$x]\"; (:); : | :; : & wait", "[hi]\nbye\n", "", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, ReadOptionErrorsChangeNothing) {
    const Case cases[] = {
        {"x=old; read -d; echo $? $x", "2 old\n", "read: option requires a value\n", 0},
        {"read -p x; echo $?", "2\n", "read: supported options are -a, -r and -d\n", 0},
        {"read 1x; echo $?", "2\n", "read: expected valid variable names\n", 0},
        {"read -a 1x; echo $?", "2\n", "read: expected valid variable names\n", 0},
        {"read -rd: a b <<< 'x\\:y:z'; echo $? \"$a\"", "0 x\\\n", "", 0},
        {"read -- -x <<< v; echo $?", "2\n", "read: expected valid variable names\n", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, ReadMapfileAndGetoptsRefuseNamesTheyCannotAssign) {
    m = Machine::build(kLimits);
    reset_streams();
    set_variable(shell(), "r", "1");
    shell().readonly_names.insert("r");
    RunResult r = run("read r <<< 2; echo $? $r; read a r <<< '3 4'; echo $? $a; mapfile r <<< x; echo $? $r; "
                      "getopts a r -a; echo $? $r; getopts a 1x -a; echo $?");
    EXPECT_EQ(r.out, "1 1\n1\n1 1\n2 1\n2\n");
    EXPECT_EQ(r.err, "read: r: readonly variable\nread: r: readonly variable\nmapfile: r: readonly variable\n"
                     "getopts: r: readonly variable\ngetopts: 1x: invalid variable name\n");
}

TEST_F(BuiltinsJobs, ReadParseAndSplit) {
    auto parsed = builtin_read_parse(std::vector<std::string>{"-ra", "arr", "-d", "", "--", "x"});
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(parsed->raw);
    EXPECT_EQ(parsed->array_name, "arr");
    EXPECT_EQ(parsed->delimiter, '\0');
    EXPECT_EQ(parsed->names, (std::vector<std::string>{"x"}));

    using V = std::vector<std::string>;
    EXPECT_EQ(split_read_fields("  a  b  ", " \t\n"), (V{"a", "b"}));
    EXPECT_EQ(split_read_fields("a:b::c:", ":"), (V{"a", "b", "", "c"}));
    EXPECT_EQ(split_read_fields("a : b", ": "), (V{"a", "b"}));
    EXPECT_EQ(split_read_fields(" :a", ": "), (V{"", "a"}));
    EXPECT_EQ(split_read_fields("a\xC2\xA7" "b", "\xC2\xA7"), (V{"a", "b"}));
}

TEST_F(BuiltinsJobs, ReadFromStandardInput) {
    m = Machine::build(kLimits);
    reset_streams();
    set_stdin("one two\nx\\\ny\npartial");
    RunResult r = run("read a b; echo \"$? [$a][$b]\"; read l; echo \"$? [$l]\"; read -r l; echo \"$? [$l]\"; "
                      "read l; echo \"$? [$l]\"");
    EXPECT_EQ(r.out, "0 [one][two]\n0 [xy]\n1 [partial]\n1 []\n");
}

TEST_F(BuiltinsJobs, ReadKeepsAnEscapedDelimiterAndDropsNuls) {
    m = Machine::build(kLimits);
    reset_streams();
    set_stdin(std::string("a\\;b;c\0d;", 9));
    RunResult r = run("read -d ';' x; echo \"[$x]\"; read -d ';' y; echo \"[$y]\"");
    EXPECT_EQ(r.out, "[a;b]\n[cd]\n");
}

TEST_F(BuiltinsJobs, MapfileTextsAndStatuses) {
    const Case cases[] = {
        {"mapfile -d ab x < /dev/null", "", "mapfile: -d requires one byte or an empty value\n", 2},
        {"mapfile -n -1 x < /dev/null", "", "mapfile: -n requires a non-negative integer\n", 2},
        {"mapfile -s", "", "mapfile: -s requires a value\n", 2},
        {"mapfile arr extra < /dev/null", "", "mapfile: expected one valid array name\n", 2},
        {"mapfile -- 1x < /dev/null", "", "mapfile: expected one valid array name\n", 2},
        {"mapfile -u 3 x < /dev/null", "", "mapfile: unsupported option -u\n", 2},
        {"printf 'a\\nb\\n' | { mapfile -n +1 -- arr; printf '[%s]' \"${arr[@]}\"; }", "[a\n]", "", 0},
        {"printf 'a\\0b\\0' | { mapfile -d '' arr; printf '[%s]' \"${arr[@]}\"; }", "[a][b]", "", 0},
        {"x=scalar; mapfile -t x <<< l; echo \"${x[0]}\"", "l\n", "", 0},
        {"printf 'a\\nb\\n' | { mapfile -t -O 99999 arr; echo $? ${#arr[@]} ${arr[99999]}; }", "1 1 a\n",
         "mapfile: record limit exceeded\n", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, MapfileStopsAtTheRecordLimit) {
    m = Machine::build(kLimits);
    reset_streams();
    std::string input;
    for (int i = 0; i < 100001; ++i) input += "l\n";
    set_stdin(std::move(input));
    RunResult r = run("mapfile -t arr; echo $? ${#arr[@]}");
    EXPECT_EQ(r.out, "1 100000\n");
    EXPECT_EQ(r.err, "mapfile: record limit exceeded\n");
}

TEST_F(BuiltinsJobs, GetoptsTextsAndState) {
    const Case cases[] = {
        {"getopts a", "", "getopts: usage: getopts optstring name [arg ...]\n", 2},
        {"getopts a o -x; echo \"$? $o ${OPTARG-unset} $OPTIND\"", "0 ? unset 2\n", "getopts: illegal option -- x\n", 0},
        {"getopts b: o -b; echo \"$? $o ${OPTARG-unset} $OPTIND\"", "0 ? unset 2\n",
         "getopts: option requires an argument -- b\n", 0},
        {"getopts :b: o -b; echo \"$? $o $OPTARG\"", "0 : b\n", "", 0},
        {"getopts :a o -:; echo \"$? $o $OPTARG\"", "0 ? :\n", "", 0},
        // The options are over: the name keeps its value.
        {"o=keep; getopts a o file; echo \"$? $o $OPTIND\"", "1 keep 1\n", "", 0},
        {"o=keep; getopts a o -- x; echo \"$? $o $OPTIND\"", "1 keep 2\n", "", 0},
        {"getopts a o - x; echo \"$? $OPTIND\"", "1 1\n", "", 0},
        {"while getopts ab: o -ab value c; do echo \"$o ${OPTARG-}\"; done; echo $OPTIND", "a \nb value\n3\n", "", 0},
        {"OPTIND=junk; getopts a o -a; echo \"$o $OPTIND\"", "a 2\n", "", 0},
        {"getopts ab o -ab; getopts ab o -ab; echo \"$o $OPTIND\"; OPTIND=1; getopts ab o -ab; echo \"$o $OPTIND\"",
         "b 2\na 1\n", "", 0},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, LetTextsAndStatuses) {
    const Case cases[] = {
        {"let", "", "let: expression expected\n", 1},
        {"let 0", "", "", 1},
        {"let x=5 x+1; echo \"$? $x\"", "0 5\n", "", 0},
        {"let x=1 'x+' y=2; echo \"$? $x ${y-unset}\"", "1 1 unset\n", "let: x+: syntax error: operand expected (error token is \"+\")\n", 0},
    };
    for (const Case& c : cases) {
        RunResult r = fresh(c.source);
        EXPECT_EQ(r.out, c.out) << c.source;
        if (std::string_view(c.err).starts_with("let: x+")) EXPECT_TRUE(r.err.starts_with("let: x+")) << r.err;
        else EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_EQ(r.status, c.status) << c.source;
    }
}

TEST_F(BuiltinsJobs, FlockTextsAndStatuses) {
    const Case cases[] = {
        {"exec 9>/tmp/l; flock -n 9; echo $?; (exec 8>/tmp/l; flock -n 8; echo $?); flock -n 9; echo $?", "0\n1\n0\n", "", 0},
        {"exec 9>/tmp/l; flock -s 9; (exec 8</tmp/l; flock -s -n 8; flock --shared -n 8; echo $?; flock -x -n 8; echo $?)",
         "0\n1\n", "", 0},
        {"exec 9>/tmp/l; flock 9; flock -u 9; (exec 8>/tmp/l; flock --nonblock 8; echo $?)", "0\n", "", 0},
        {"flock 5", "", "flock: 5: bad file descriptor\n", 1},
        {"flock", "", "flock: missing file descriptor\n", 2},
        {"exec 9>/tmp/l; flock 9 -- ", "", "flock: path-and-command locking is not supported; use an open file descriptor\n", 2},
        {"flock /tmp/l", "", "flock: path-and-command locking is not supported; use an open file descriptor\n", 2},
        {"flock 9 echo", "", "flock: path-and-command locking is not supported; use an open file descriptor\n", 2},
        {"flock 7 7</dev/null", "", "flock: 7: WrongAccess\n", 1},
    };
    check_cases(*this, cases, [&](const char* s) { return fresh(s); });
}

TEST_F(BuiltinsJobs, ABlockedFlockWaitsForTheLockToBeDropped) {
    RunResult r = fresh(std::string(kSpin) +
                        "exec 9>/tmp/l; flock 9; { exec 8>/tmp/l; flock 8; echo locked; } & spin; echo release; "
                        "flock -u 9; wait $!; echo $?");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, "release\nlocked\n0\n");
}

}  // namespace
}  // namespace tw::exec_test

namespace tw::exec_test {
namespace {

// The newest log entry whose first word is `word`.
const InvocationEvent* entry_for(const Machine& m, std::string_view word) {
    for (auto it = m.invocations.entries.rbegin(); it != m.invocations.entries.rend(); ++it)
        if (!it->argv.empty() && it->argv[0] == word) return &*it;
    return nullptr;
}

TEST_F(BuiltinsJobs, SuspendedBuiltinsCompleteTheirEntryWhenTheyEnd) {
    RunResult r = fresh(std::string(kSpin) +
                        "f() { spin; return 3; }; f & wait $!; echo w=$?; exec 9>/tmp/l; flock 9; echo f=$?");
    EXPECT_EQ(r.out, "w=3\nf=0\n");
    const InvocationEvent* wait = entry_for(m, "wait");
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(wait->status, 3);
    const InvocationEvent* flock = entry_for(m, "flock");
    ASSERT_NE(flock, nullptr);
    EXPECT_EQ(flock->status, 0);
    EXPECT_FALSE(m.invocations.has_running(kFirstShellPid));
}

TEST_F(BuiltinsJobs, AScriptRunByPathRunsInAChildAndEndsItsEntry) {
    m = Machine::build(kLimits);
    reset_streams();
    ASSERT_TRUE(m.vfs.write_file("/tmp/s.sh", "echo in-script $1 $$; x=changed; exit 4\n", 0755).has_value());
    ASSERT_TRUE(m.vfs.write_file("/opt/bin/t.sh", "echo on-path \"$@\"\n", 0755).has_value());
    RunResult r = collect(run("x=kept; /tmp/s.sh a; echo \"$? $x $$\"; ./s.sh b >/dev/null; echo $?; "
                              "PATH=/opt/bin:$PATH; t.sh 1 2; echo $?"));
    EXPECT_EQ(r.failure, "");
    // The script reports another pid than the shell's.
    const std::string shell_pid = fmt::format("{}", kFirstShellPid);
    EXPECT_TRUE(r.out.starts_with("in-script a ")) << r.out;
    EXPECT_EQ(r.out.find("in-script a " + shell_pid + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n4 kept " + shell_pid + "\n4\non-path 1 2\n0\n"), std::string::npos) << r.out;
    const InvocationEvent* script = entry_for(m, "/tmp/s.sh");
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->status, 4);
    const InvocationEvent* on_path = entry_for(m, "t.sh");
    ASSERT_NE(on_path, nullptr);
    EXPECT_EQ(on_path->status, 0);
    EXPECT_FALSE(m.invocations.has_running(kFirstShellPid));
}

TEST_F(BuiltinsJobs, AWordRunAsItsOwnProcessLeavesTheEnclosingEntryAlone) {
    RunResult r = fresh("eval 'sh -c \"exit 2\"; echo $?; true'; echo $?");
    EXPECT_EQ(r.out, "2\n0\n");
    const InvocationEvent* eval = entry_for(m, "eval");
    ASSERT_NE(eval, nullptr);
    EXPECT_EQ(eval->status, 0);
    EXPECT_FALSE(m.invocations.has_running(kFirstShellPid));
}

}  // namespace
}  // namespace tw::exec_test
