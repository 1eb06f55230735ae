// The executor's control flow, observed through variables and statuses: lists, && || !, if,
// loops, for, the arithmetic for, case, functions, prefix assignments and the frame limit.
#include <gtest/gtest.h>

#include "exec_fixture.h"

namespace tw::exec_test {
namespace {

class ExecControl : public ExecFixture {};

struct VarCase {
    const char* source;
    const char* name;
    const char* value;
};

// Each script leaves its answer in a variable.
const VarCase kVarCases[] = {
    {"x=1; x=$((x+1))", "x", "2"},
    {"if ((0)); then r=a; elif ((1)); then r=b; else r=c; fi", "r", "b"},
    {"if ((0)); then r=a; fi; s=$?", "s", "0"},
    {"i=0; while ((i < 5)); do i=$((i+1)); done", "i", "5"},
    {"i=0; until ((i >= 3)); do i=$((i+1)); done", "i", "3"},
    {"r=; for w in a 'b c' d; do r=$r[$w]; done", "r", "[a][b c][d]"},
    {"set_ok=1; for w in; do set_ok=0; done", "set_ok", "1"},
    {"r=; for ((i=0; i<3; i++)); do r=$r$i; done", "r", "012"},
    {"case abc in a*) r=1;; *) r=2;; esac", "r", "1"},
    {"case a.c in a?c) r=1;; esac", "r", "1"},
    {"r=0; case abc in a.c) r=1;; esac", "r", "0"},
    {"case '*' in \"*\") r=star;; esac", "r", "star"},
    {"r=0; case x in \"*\") r=1;; esac", "r", "0"},
    {"case b in a|b) r=alt;; esac", "r", "alt"},
    {"r=; case a in a) r=${r}1;& b) r=${r}2;; c) r=${r}3;; esac", "r", "12"},
    {"r=; case ab in a*) r=${r}1;;& *b) r=${r}2;;& c) r=${r}3;; esac", "r", "12"},
    {"((1)) && ((0)) || r=x", "r", "x"},
    {"((0)) || r=y", "r", "y"},
    {"! ((1)); s=$?", "s", "1"},
    {"! ((0)); s=$?", "s", "0"},
    {"f() { r=$1-$2-$#; }; f a b", "r", "a-b-2"},
    {"set_args() { r=\"$*\"; }; set_args 'x y' z; r2=$#", "r", "x y z"},
    {"f() { r=inner; }; f; f() { r=second; }; f", "r", "second"},
    {"f() { r=$x; }; x=old; x=new f; after=$x", "r", "new"},
    {"f() { r=$x; }; x=old; x=new f; after=$x", "after", "old"},
    {"f() { ((1)); }; unset u; u=1 f; r=${u-unset}", "r", "unset"},
    {"((2 * 3 == 6)); s=$?", "s", "0"},
    {"((0)); s=$?", "s", "1"},
    {"x=5; ((x += 2)); r=$x", "r", "7"},
    {"((1/0)); s=$?", "s", "1"},
    {"g() { h() { r=nested; }; }; g; h", "r", "nested"},
    {"true_status() { ((1)); }; if true_status; then r=yes; fi", "r", "yes"},
};

TEST_F(ExecControl, ScriptsLeaveTheirAnswers) {
    for (const VarCase& c : kVarCases) {
        Machine fresh = Machine::build(kLimits);
        m = std::move(fresh);
        reset_streams();
        RunResult r = run(c.source, 200000);
        EXPECT_EQ(r.failure, "") << c.source;
        EXPECT_EQ(var(c.name), c.value) << c.source << "\nstderr: " << r.err;
    }
}

TEST_F(ExecControl, StatusOfLists) {
    EXPECT_EQ(run("((0)); ((1))").status, 0);
    EXPECT_EQ(run("((1)); ((0))").status, 1);
    EXPECT_EQ(run("((1)) && ((0)) || ((1))").status, 0);
    EXPECT_EQ(run("f() { ((1)); }").status, 0);
    EXPECT_EQ(run("while ((0)); do ((1)); done").status, 0);
    EXPECT_EQ(run("i=0; while ((i < 2)); do i=$((i+1)); ((0)); done").status, 1);
}

TEST_F(ExecControl, ArithmeticErrorsReportAndFail) {
    RunResult r = run("((1/0))");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("tarnwick: ((: ")) << r.err;
}

TEST_F(ExecControl, FunctionParametersAndLocalsVanishOnReturn) {
    shell().positional_params = {"outer"};
    RunResult r = run("f() { p=$1; }; f inner; q=$1");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(var("p"), "inner");
    EXPECT_EQ(var("q"), "outer");
    EXPECT_TRUE(shell().local_scopes.empty());
    EXPECT_EQ(shell().call_saved_size, 0u);
}

TEST_F(ExecControl, EndlessRecursionHitsTheFrameLimitOnce) {
    RunResult r = run("f() { f; }; f");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tarnwick: shell continuation frame limit exceeded\n");
    // Everything the calls held is given back.
    EXPECT_TRUE(shell().local_scopes.empty());
    EXPECT_EQ(shell().call_saved_size, 0u);
    EXPECT_EQ(shell().condition_depth, 0u);
}

TEST_F(ExecControl, PrefixAssignmentToUnsetNameLeavesItUnsetAndUnexported) {
    RunResult r = run("f() { seen=$y; }; y=2 f; y=5");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(var("seen"), "2");
    EXPECT_EQ(var("y"), "5");
    EXPECT_FALSE(shell().exported_names.contains("y"));
    EXPECT_FALSE(shell().environment_snapshot().contains("y"));
}

TEST_F(ExecControl, PrefixAssignmentKeepsAnExportedNameExported) {
    set_variable(shell(), "z", "old");
    shell().export_variable("z");
    RunResult r = run("f() { ((1)); }; z=new f");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(var("z"), "old");
    EXPECT_TRUE(shell().exported_names.contains("z"));
}

TEST_F(ExecControl, ReadonlyPrefixAssignmentStopsTheCommand) {
    shell().readonly_names.insert("ro");
    RunResult r = run("f() { ran=1; }; ro=1 f");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarnwick: ro: readonly variable\n");
    EXPECT_EQ(var("ran"), "<unset>");
}

TEST_F(ExecControl, ExpansionErrorsReportTheirMessage) {
    RunResult r = run("x=${nope?gone}; after=1");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("gone"), std::string::npos) << r.err;
}

TEST_F(ExecControl, ErrexitStopsAfterAFailingItem) {
    shell().options.errexit = true;
    RunResult r = run("((0)); after=1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(var("after"), "<unset>");
}

TEST_F(ExecControl, ErrexitIgnoresTestedPositions) {
    shell().options.errexit = true;
    RunResult r = run("((0)) || ((1)); ! ((1)); if ((0)); then ((1)); fi; ((0)) && ((1)); after=1");
    EXPECT_EQ(var("after"), "1");
    EXPECT_FALSE(shell().exit_requested);
}

TEST_F(ExecControl, ErrTrapRunsAfterAFailingCommand) {
    shell().err_trap = Trap::command("hits=$((hits+1))");
    RunResult r = run("hits=0; ((0)); ((0)) || ((1)); ((1))");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(var("hits"), "1");
}

TEST_F(ExecControl, ErrTrapInsideFunctionsOnlyWithErrtrace) {
    shell().err_trap = Trap::command("hits=$((hits+1))");
    run("hits=0; f() { ((0)); ((1)); }; f");
    EXPECT_EQ(var("hits"), "0");
    shell().options.errtrace = true;
    run("hits=0; f() { ((0)); ((1)); }; f");
    EXPECT_EQ(var("hits"), "1");
}

TEST_F(ExecControl, DepthsAreBalanced) {
    RunResult r = run("for i in 1 2; do while ((0)); do ((1)); done; if ((1)); then ((1)) && ! ((0)); fi; done");
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(shell().loop_depth, 0u);
    EXPECT_EQ(shell().condition_depth, 0u);
}

TEST_F(ExecControl, PipestatusFollowsSimpleCommands) {
    run("((0))");
    EXPECT_EQ(array_values(shell(), "PIPESTATUS"), std::vector<std::string>{"1"});
    run("((1))");
    EXPECT_EQ(array_values(shell(), "PIPESTATUS"), std::vector<std::string>{"0"});
}

}  // namespace
}  // namespace tw::exec_test
