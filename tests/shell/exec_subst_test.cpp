// Command and process substitution through the executor.
#include <gtest/gtest.h>

#include "exec_fixture.h"

namespace tw::exec_test {
namespace {

class ExecSubst : public ExecFixture {};

TEST_F(ExecSubst, Outputs) {
    struct Case {
        const char* source;
        const char* out;
    };
    const Case cases[] = {
        {"echo $(echo a)$(echo b)", "ab\n"},
        {"echo \"$(echo 'x  y')\" $(echo 'x  y')", "x  y x y\n"},
        {"echo `echo \\`echo inner\\``", "inner\n"},
        {"echo \"it's $(echo ok)\"", "it's ok\n"},
        {"echo ${u:-$(echo fallback)}", "fallback\n"},
        {"cat <<EOF\ndon't $(echo stop)\nEOF\n", "don't stop\n"},
        {"cat < <(printf 'x\\ny\\n')", "x\ny\n"},
        {"cat <(echo a) <(echo b)", "a\nb\n"},
        {"echo data | tee >(cat > out.txt) > /dev/null; cat out.txt", "data\n"},
        {"(( $(true) + 1 == 1 )) && echo zero", "zero\n"},
        // In a word the output is text inside the expression; an arithmetic command splices it in
        // parentheses.
        {"echo $(( $(echo 1+2) * 3 ))", "7\n"},
        {"(( $(echo 1+2) * 3 == 9 )) && echo nine", "nine\n"},
        {"x=$(echo a; exit 4); echo $? $x", "4 a\n"},
        {"echo $(echo hi) > $(echo f.txt); cat f.txt", "hi\n"},
    };
    for (const Case& c : cases) {
        m = Machine::build(kLimits);
        reset_streams();
        RunResult r = run(c.source);
        EXPECT_EQ(r.failure, "") << c.source;
        EXPECT_EQ(r.out, c.out) << c.source << "\nstderr: " << r.err;
    }
}

TEST_F(ExecSubst, MarkersAndTemporaryFilesAreGoneAfterTheCommand) {
    RunResult r = run("echo $(echo a) <(echo b)");
    EXPECT_TRUE(r.out.starts_with("a /tmp/.tarnwick-process-substitution-")) << r.out;
    EXPECT_EQ(var("__TARNWICK_COMMAND_SUBSTITUTION_0"), "<unset>");
    auto names = m.vfs.list_child_names("/", "/tmp");
    ASSERT_TRUE(names);
    for (const std::string& name : *names) EXPECT_FALSE(name.starts_with(".tarnwick-process-substitution")) << name;
}

TEST_F(ExecSubst, TakenMarkerNamesAreSkipped) {
    set_variable(shell(), "__TARNWICK_COMMAND_SUBSTITUTION_0", "mine");
    RunResult r = run("echo $(echo fresh) $__TARNWICK_COMMAND_SUBSTITUTION_0");
    EXPECT_EQ(r.out, "fresh mine\n");
    EXPECT_EQ(var("__TARNWICK_COMMAND_SUBSTITUTION_0"), "mine");
}

TEST_F(ExecSubst, ParseErrorsOfTheInnerText) {
    RunResult r = run("echo $(if); echo after $?");
    EXPECT_EQ(r.out, "after 2\n");
    EXPECT_TRUE(r.err.starts_with("tarnwick: syntax error: ")) << r.err;
}

// A subshell, a pipeline stage, a substitution and a background job start with the $? of the
// shell that made them; a list and a loop leave $? alone until their first command ends.
TEST_F(ExecSubst, ChildrenStartWithTheShellsStatus) {
    for (const char* source : {"false; (echo $?)", "false; echo $? | cat", "false; echo $(echo $?)",
                               "false; echo $? > f & wait; cat f", "false; echo $?; true",
                               "false; for i in 1; do echo $?; done",
                               "false; while echo $?; do break; done"}) {
        m = Machine::build(kLimits);
        reset_streams();
        RunResult r = run(source);
        EXPECT_EQ(r.out, "1\n") << source;
    }
}

}  // namespace
}  // namespace tw::exec_test
