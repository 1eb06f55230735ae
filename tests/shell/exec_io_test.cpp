// The executor with real commands: pipelines, here-documents, redirections and their undoing,
// exec, substitutions, command output and its failures, traps.
#include <gtest/gtest.h>

#include "exec_fixture.h"
#include "shell/language.h"

namespace tw::exec_test {
namespace {

class ExecIo : public ExecFixture {
protected:
    std::optional<std::string> file(std::string_view path) {
        auto bytes = m.vfs.read_bytes("/tmp", path);
        if (!bytes) return std::nullopt;
        return *bytes;
    }
};

struct OutputCase {
    const char* source;
    const char* out;
    std::int32_t status;
};

// Each script runs in a fresh machine; its standard output and status are compared.
const OutputCase kOutputCases[] = {
    {"echo hi | cat", "hi\n", 0},
    {"echo abc | cat | cat", "abc\n", 0},
    {"cat <<EOF\na $HOME\nb \\$x \"q\" 'z' \\\\\nEOF\n", "a /root\nb $x \"q\" 'z' \\\n", 0},
    {"x=1\ncat <<'EOF'\n$x \"q\" \\\\\nEOF\n", "$x \"q\" \\\\\n", 0},
    {"cat <<-EOF\n\ttabbed\n\tEOF\n", "tabbed\n", 0},
    {"cat <<< 'a b'", "a b\n", 0},
    {"x='1  2'; cat <<< $x", "1  2\n", 0},
    {"cat <<A; cat <<B\none\nA\ntwo\nB\n", "one\ntwo\n", 0},
    {"echo one > f; echo two >> f; cat < f", "one\ntwo\n", 0},
    {"{ echo out; echo err >&2; } 2>&1 | cat", "out\nerr\n", 0},
    {"{ echo to-err >&2; } 2>/dev/null; echo after", "after\n", 0},
    {"echo x 3>&1 1>&2 2>&3 | cat", "", 0},
    {"echo via-stdout >/dev/stdout", "via-stdout\n", 0},
    {"exec 3>x.txt; echo hi >&3; exec 3>&-; cat x.txt", "hi\n", 0},
    {"exec >y.txt; echo hidden; exec >/dev/null; exec >&2", "", 0},
    {"{ echo a; echo b; } > g.txt; echo c; cat g.txt", "c\na\nb\n", 0},
    {"f() { echo inside; }; f > h.txt; cat h.txt", "inside\n", 0},
    {"for i in 1 2; do echo $i; done > l.txt; cat l.txt", "1\n2\n", 0},
    {"true && echo a || echo b; false && echo c || echo d", "a\nd\n", 0},
    {"true && false || echo x", "x\n", 0},
    {"! false && echo negated", "negated\n", 0},
    {"if false; then echo a; elif true; then echo b; else echo c; fi", "b\n", 0},
    {"i=0; while [ $i -lt 3 ]; do echo $i; i=$((i+1)); done", "0\n1\n2\n", 0},
    {"i=0; until [ $i -ge 2 ]; do echo $i; i=$((i+1)); done", "0\n1\n", 0},
    {"for x in a \"b c\"; do echo \"[$x]\"; done", "[a]\n[b c]\n", 0},
    {"for w in apple banana; do case $w in a*) echo A;; b*|c*) echo B;; esac; done", "A\nB\n", 0},
    {"f() { echo \"$# $1 $2\"; return 5; }; f one two; echo \"st=$?\"", "2 one two\nst=5\n", 0},
    {"f() { false; return; }; f; echo $?", "1\n", 0},
    {"f() { exit 4; }; f; echo not", "", 4},
    {"exit 3; echo no", "", 3},
    {"for i in 1 2 3 4; do [ $i = 2 ] && continue; [ $i = 4 ] && break; echo $i; done", "1\n3\n", 0},
    {"for i in 1 2; do for j in a b; do echo $i$j; break 2; done; done; echo after", "1a\nafter\n", 0},
    {"for i in 1 2 3; do for j in a b; do [ $i = 2 ] && continue 2; echo $i$j; done; done", "1a\n1b\n3a\n3b\n", 0},
    {"for i in a b c; do [ $i = b ] && break; done; echo $i", "b\n", 0},
    {"for i in 1 2; do while break; do echo no; done; echo in$i; done", "in1\nin2\n", 0},
    {"i=0; while [ $i -lt 3 ] && i=$((i+1)) && continue; do echo body; done; echo end $i", "end 3\n", 0},
    {"for i in 1 2 3; do for j in 1 2 3 4 5; do break 9; done; echo no; done; echo after", "after\n", 0},
    {"x=1; x=2 true; echo $x", "1\n", 0},
    {"true | false | true; echo \"${PIPESTATUS[@]}\"", "0 1 0\n", 0},
    {"true | false; echo $?", "1\n", 0},
    {"false | true; echo $?", "0\n", 0},
    {"(exit 3); echo $?", "3\n", 0},
    {"x=1; (x=2; echo in $x); echo out $x", "in 2\nout 1\n", 0},
    {"x=$(echo a; echo b); echo \"$x\"", "a\nb\n", 0},
    {"x=$(printf 'a\\n\\n\\n'); echo \"[$x]\"", "[a]\n", 0},
    {"echo $(echo $(echo deep))", "deep\n", 0},
    {"echo `echo back`", "back\n", 0},
    {"echo '$(not run)'", "$(not run)\n", 0},
    {"set -- 'a b'; x=$(echo 1 2); for w in $x; do echo $w; done; for w in \"$x\"; do echo $w; done",
     "1\n2\n1 2\n", 0},
    {"x=$(false); echo $?", "1\n", 0},
    {"$(exit 3); echo $?", "3\n", 0},
    {"cat <(echo from-proc)", "from-proc\n", 0},
    {"((3 > 2)) && echo yes", "yes\n", 0},
    {"(( $(echo 2) * 3 == 6 )) && echo six", "six\n", 0},
    {"for ((i=0;i<3;i++)); do echo $i; done", "0\n1\n2\n", 0},
    {"case $(echo ab) in a*) echo matched;; esac", "matched\n", 0},
    {"for w in $(echo p q); do echo $w; done", "p\nq\n", 0},
    {"case a in a) echo 1;& b) echo 2;; c) echo 3;; esac", "1\n2\n", 0},
    {"eval 'x=5; echo $x'", "5\n", 0},
    {"echo 'echo sourced; return 3; echo no' > s.sh; . ./s.sh; echo st=$?", "sourced\nst=3\n", 0},
    {"yes | head -3", "y\ny\ny\n", 0},
    {"f=z.txt; echo data > $f; cat z.txt", "data\n", 0},
    {"exec; echo still", "still\n", 0},
    {"exec echo replaced; echo never", "replaced\n", 0},
    {"printf 'echo a\\nif true; then\\n echo b\\nfi\\n' | sh", "a\nb\n", 0},
    {"sh -c 'echo in-c $0 $1' zero one", "in-c zero one\n", 0},
    {"sh -c 'exit 4'; echo $?", "4\n", 0},
    {"printf '%070000d' 0 | cat | cat > big; cat big | head -c 4; echo", "0000\n", 0},
};

TEST_F(ExecIo, ScriptsPrintAsBashDoes) {
    for (const OutputCase& c : kOutputCases) {
        m = Machine::build(kLimits);
        reset_streams();
        set_stdin("");
        RunResult r = run(c.source, 2'000'000);
        EXPECT_EQ(r.failure, "") << c.source;
        EXPECT_EQ(r.out, c.out) << c.source << "\nstderr: " << r.err;
        EXPECT_EQ(r.status, c.status) << c.source << "\nstderr: " << r.err;
    }
}

TEST_F(ExecIo, StandardInputIsReadAsTheCommandNeedsIt) {
    struct Case {
        const char* source;
        const char* out;
    };
    // The unimplemented `read` and `mapfile` report themselves on standard error; what they
    // leave of the input shows what the shell read for them.
    const Case cases[] = {
        {"printf 'l1\\nl2\\n' | { read v; cat; }", "l2\n"},
        {"printf 'a\\\\\\nb\\nc\\n' | { read v; cat; }", "c\n"},
        {"printf 'a\\\\\\nb\\nc\\n' | { read -r v; cat; }", "b\nc\n"},
        {"printf 'a:b:c' | { read -d : v; cat; }", "b:c"},
        {"printf 'x\\n' | { echo hi; cat; }", "hi\nx\n"},
        {"printf 'a\\nb\\n' | { mapfile; cat; }", ""},
    };
    for (const Case& c : cases) {
        RunResult r = run(c.source);
        EXPECT_EQ(r.out, c.out) << c.source << "\nstderr: " << r.err;
    }
}

TEST_F(ExecIo, AliasesReplaceTheFirstWord) {
    shell_language(shell()).aliases["say"] = AliasRecord{"echo said", {"echo", "said"}};
    shell_language(shell()).aliases["a1"] = AliasRecord{"a2", {"a2"}};
    shell_language(shell()).aliases["a2"] = AliasRecord{"a1", {"a1"}};
    shell_language(shell()).aliases["none"] = AliasRecord{"$nothing", {"$nothing"}};
    RunResult r = run("say it");
    EXPECT_EQ(r.out, "said it\n");
    r = run("a1 x");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tarnwick: alias: recursive alias involving a1\n");
    r = run("none x");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tarnwick: alias: alias none expands to an empty command\n");
    // An alias that starts with its own name names the command, also when reached through another.
    shell_language(shell()).aliases["echo"] = AliasRecord{"echo -n hi", {"echo", "-n", "hi"}};
    shell_language(shell()).aliases["e"] = AliasRecord{"echo", {"echo"}};
    reset_streams();
    r = run("e x; echo y");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "hi xhi y");
}

TEST_F(ExecIo, MendedShellFaults) {
    struct Case {
        const char* source;
        const char* out;
        const char* err;
        std::int32_t status;
    };
    const Case cases[] = {
        // A bad loop count leaves every loop with status 1 instead of looping forever.
        {"x=oops; while true; do echo hi; break $x; done; echo st=$?", "hi\nst=1\n",
         "break: oops: numeric argument required\n", 0},
        {"for i in 1 2; do for j in a b; do echo $i$j; continue 0; done; done; echo st=$?", "1a\nst=1\n",
         "continue: 0: loop count out of range\n", 0},
        // Indirection through a subscript that needs a command is refused, never half expanded.
        {"a=(x y); r='a[$(echo 1)]'; echo \"${!r}\"; echo st=$?", "st=1\n",
         "tarnwick: a[$(echo 1)]: command substitution in an indirect subscript\n", 0},
        {"a=(x y); i=1; r='a[i]'; echo \"${!r}\"", "y\n", "", 0},
    };
    for (const Case& c : cases) {
        reset_streams();
        RunResult r = run(c.source);
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_EQ(r.status, c.status) << c.source;
    }
}

TEST_F(ExecIo, TimeReportsOnStandardError) {
    RunResult r = run("time -p (exit 3)");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.starts_with("real 0.00\nuser ")) << r.err;
    r = run("time true");
    EXPECT_TRUE(r.err.starts_with("\nreal\t0m0.000s\nuser\t0m")) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nsys\t0m0.000s\n")) << r.err;
}

TEST_F(ExecIo, ShellStateGrowthIsCharged) {
    run("true");
    const std::uint64_t before = m.meter.memory_current();
    std::string body(10000, 'x');
    run("f() { echo " + body + "; }; true");
    EXPECT_GE(m.meter.memory_current(), before + 10000);
    EXPECT_GE(shell_language(shell()).functions_size, 10000u);
    EXPECT_GE(shell().fork_size(), 10000u);
}

TEST_F(ExecIo, RedirectionFailureLeavesFilesAndDescriptorsAsTheyWere) {
    ASSERT_TRUE(m.vfs.write_file("/tmp/kept", "old content", 0644).has_value());
    const auto fds_before = shell().descriptors.fds();
    RunResult r = run("echo hi > fresh > kept > /nodir/x; echo $?");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.err, "tarnwick: redirection: /nodir/x: No such file or directory\n");
    EXPECT_FALSE(file("fresh"));
    EXPECT_EQ(file("kept"), "old content");
    EXPECT_EQ(shell().descriptors.fds(), fds_before);
}

TEST_F(ExecIo, RedirectionErrors) {
    struct Case {
        const char* source;
        const char* err;
    };
    const Case cases[] = {
        {"echo hi > $nothing", "tarnwick: redirection: $nothing: ambiguous redirect\n"},
        {"touch_a=1 >a1; touch_b=1 >a2; echo hi > a*", "tarnwick: redirection: a*: ambiguous redirect\n"},
        {"echo hi >&7", "tarnwick: redirection: &7: bad file descriptor\n"},
        {"echo hi < missing", "tarnwick: redirection: /tmp/missing: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run(c.source);
        EXPECT_EQ(r.status, 1) << c.source;
        EXPECT_EQ(r.out, "") << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
    }
}

TEST_F(ExecIo, PermanentRedirectionsOnlyWithExecAlone) {
    RunResult r = run("exec >perm.txt; echo one; echo two");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(file("perm.txt"), "one\ntwo\n");
    // Descriptor 3 stays open for later commands; a prefix assignment on exec without a command
    // is undone.
    reset_streams();
    r = run("exec 3<perm.txt; v=1 exec; echo ${v-unset}; cat <&3");
    EXPECT_EQ(r.out, "unset\none\ntwo\n");
}

TEST_F(ExecIo, ExecFailures) {
    RunResult r = run("exec -x; echo $?");
    EXPECT_EQ(r.err, "tarnwick: exec: -x: invalid option\n");
    EXPECT_EQ(r.out, "2\n");
    r = run("exec -l; echo $?");
    EXPECT_EQ(r.err, "tarnwick: exec: -l: unsupported option\n");
    r = run("exec no-such-command; echo never");
    EXPECT_EQ(r.err, "tarnwick: exec: no-such-command: not found\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 127);
}

TEST_F(ExecIo, OutputBudgetCutsTheCommand) {
    m = Machine::build(MachineLimits{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 10});
    reset_streams();
    RunResult r = run("echo 0123456789abcdef; echo after");
    EXPECT_EQ(r.out, "0123456789");
    EXPECT_EQ(r.status, 137);
}

TEST_F(ExecIo, PipefailTakesTheLastFailure) {
    shell().options.pipefail = true;
    EXPECT_EQ(run("false | true").status, 1);
    EXPECT_EQ(run("(exit 3) | (exit 4) | true").status, 4);
    EXPECT_EQ(run("true | true").status, 0);
    EXPECT_EQ(array_values(shell(), "PIPESTATUS"), (std::vector<std::string>{"0", "0"}));
}

TEST_F(ExecIo, ExitTrapRunsAtTheEnd) {
    shell().exit_trap = Trap::command("echo bye");
    RunResult r = run("echo hi; exit 3");
    EXPECT_EQ(r.out, "hi\nbye\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(shell().exit_trap);
    shell().exit_trap = Trap::command("exit 7");
    EXPECT_EQ(run("true").status, 7);
}

TEST_F(ExecIo, ExitTrapIsDroppedByExecOfAProgram) {
    shell().exit_trap = Trap::command("echo bye");
    RunResult r = run("exec echo replaced");
    EXPECT_EQ(r.out, "replaced\n");
}

TEST_F(ExecIo, SignalTrapRunsBeforeTheNextCommand) {
    shell().signal_traps[Signal::USR1] = Trap::command("echo trapped");
    ASSERT_TRUE(m.send_signal(kFirstShellPid, Signal::USR1).has_value());
    RunResult r = run("echo main; (exit 5)");
    EXPECT_EQ(r.out, "trapped\nmain\n");
    EXPECT_EQ(r.status, 5);
    EXPECT_FALSE(shell().in_trap_handler);
}

TEST_F(ExecIo, BuiltinOutputLargerThanAPipeIsWrittenAcrossSteps) {
    RunResult r = run("printf '%0200000d' 0 | cat > big");
    EXPECT_EQ(r.status, 0);
    auto data = file("big");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 200000u);
}

TEST_F(ExecIo, WriteIntoAPipeWithoutReaderEndsWithSigpipe) {
    // The first stage waits for a subshell, so the reader has exited before it writes.
    RunResult r = run("{ (exit 0); echo lost; } | true; echo ${PIPESTATUS[@]}");
    EXPECT_EQ(r.out, "141 0\n");
    EXPECT_EQ(r.err, "");
    // With PIPE ignored the write fails with a message and status 1.
    shell().signal_traps[Signal::PIPE] = Trap::ignore();
    r = run("{ (exit 0); echo lost; } | true; echo ${PIPESTATUS[@]}");
    EXPECT_EQ(r.out, "1 0\n");
    EXPECT_EQ(r.err, "tarnwick: echo: broken pipe\n");
}

TEST_F(ExecIo, KilledStageGivesBackItsSavedDescriptors) {
    // The first stage waits for input that never comes while its redirection has saved the
    // descriptor table, which holds the pipe's write end.
    const std::uint32_t input = *m.open_descriptions.insert_open_input();
    ASSERT_TRUE(m.install_active_descriptor(0, input).has_value());
    ASSERT_TRUE(start("{ mapfile; } 2>/dev/null | cat; echo done ${PIPESTATUS[@]}"));
    RunResult r = drive();
    ASSERT_EQ(r.failure, "no process can run");
    const std::uint64_t memory_before = m.meter.memory_current();
    Pid stage = 0;
    for (const auto& [pid, record] : m.processes.records())
        if (record.ppid == kFirstShellPid && record.status != ProcessStatus::Exited && stage == 0) stage = pid;
    ASSERT_NE(stage, 0u);
    // What the step driver does to a process a signal terminates.
    ASSERT_TRUE(m.states.select(stage).has_value());
    std::optional<ProcessContinuation> program = m.states.take_program(stage);
    ASSERT_TRUE(program);
    m.cancel_program_wait(*program);
    m.finish_process(stage, 143);
    EXPECT_LT(m.meter.memory_current(), memory_before);
    r = drive();
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, "done 143 0\n");
}

TEST_F(ExecIo, AbandonedContinuationGivesBackWhatItHeld) {
    // A command blocked reading its input, inside a redirected group and a function.
    const std::uint32_t input = *m.open_descriptions.insert_open_input();
    ASSERT_TRUE(m.install_active_descriptor(0, input).has_value());
    const auto fds_before = shell().descriptors.fds();
    auto parsed = shell_parse("f() { { x=1 mapfile; } 2>/dev/null; }; f a b");
    ASSERT_TRUE(parsed);
    ShellContinuation c = ExecFrame::program_stack(*parsed);
    ProgramStep step = ProgramStep::yield();
    for (int i = 0; i < 50 && step.kind == ProgramStep::Kind::Yield; ++i) step = step_shell(m, c);
    ASSERT_EQ(step.kind, ProgramStep::Kind::Blocked);
    EXPECT_EQ(var("x"), "1");
    abandon_shell_continuation(m, c);
    EXPECT_TRUE(c.frames.empty());
    EXPECT_EQ(var("x"), "<unset>");
    EXPECT_EQ(shell().descriptors.fds(), fds_before);
    EXPECT_TRUE(shell().local_scopes.empty());
    EXPECT_TRUE(shell().positional_params.empty());
}

}  // namespace
}  // namespace tw::exec_test
