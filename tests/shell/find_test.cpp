// find: the command-line parser (tree shapes and refusals) and whole runs in a machine, started
// from the shell, over a small fixed tree.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec_fixture.h"
#include "kernel/syscalls.h"
#include "shell/program/find.h"
#include "shell/program/program.h"

namespace tw {
namespace {

// ---- parsing ----

std::string parsed(std::vector<std::string> args) {
    auto command = FindCommand::parse(args);
    if (!command) return "error: " + command.error();
    return command->expression.describe();
}

std::string parse_error(std::vector<std::string> args) {
    auto command = FindCommand::parse(args);
    return command ? std::string("<parsed>") : command.error();
}

TEST(FindParse, StartPathsEndAtTheFirstExpressionArgument) {
    auto paths = [](std::vector<std::string> args) { return FindCommand::parse(args)->start_paths; };
    using V = std::vector<std::string>;
    EXPECT_EQ(paths({}), V{"."});
    EXPECT_EQ(paths({"a", "b", "-name", "x"}), (V{"a", "b"}));
    EXPECT_EQ(paths({"-name", "x"}), V{"."});
    EXPECT_EQ(paths({"!", "-name", "x"}), V{"."});
    EXPECT_EQ(paths({"(", "-name", "x", ")"}), V{"."});
    EXPECT_EQ(parsed({}), "True");
    EXPECT_EQ(parsed({"a", "b"}), "True");
}

TEST(FindParse, TreeShapes) {
    struct Case {
        std::vector<std::string> args;
        const char* tree;
    };
    const Case cases[] = {
        {{".", "-name", "a", "-name", "b"}, "And(Name a, Name b)"},
        {{".", "-name", "a", "-o", "-name", "b", "-print"}, "Or(Name a, And(Name b, Print))"},
        {{".", "-name", "a", "-a", "-type", "d", "-or", "!", "-empty"}, "Or(And(Name a, Type d), Not(Empty))"},
        {{".", "-not", "(", "-name", "x", "-o", "-prune", ")"}, "Not(Or(Name x, Prune))"},
        {{".", "-name", "-x"}, "Name -x"},
        {{".", "-iname", "ÄbC*"}, "IName äbc*"},
        {{".", "-path", "*/x", "-wholename", "y"}, "And(Path */x, Path y)"},
        {{".", "-size", "10"}, "Size 10*512"},
        {{".", "-size", "+1k"}, "Size +1*1024"},
        {{".", "-size", "-3M"}, "Size -3*1048576"},
        {{".", "-size", "5c"}, "Size 5*1"},
        {{".", "-perm", "644"}, "Perm 644"},
        {{".", "-perm", "-111"}, "Perm -111"},
        {{".", "-perm", "/222"}, "Perm /222"},
        {{".", "-mtime", "+2", "-mmin", "-30"}, "And(Age +2*86400000, Age -30*60000)"},
        {{".", "-print0", "-delete"}, "And(Print0, Delete)"},
        {{".", "-depth", "-maxdepth", "2"}, "And(True, True)"},
        {{".", "-exec", "echo", "{}", ";"}, "Exec(Each: echo {})"},
        {{".", "-exec", "echo", "{}", "+", "-exec", "ls", "-l", "{}", "+"},
         "And(Exec(Batch 0: echo), Exec(Batch 1: ls -l))"},
        {{".", "-execdir", "cat", "x{}y", ";"}, "ExecDir(Each: cat x{}y)"},
        {{".", "-newer", "ref"}, "Newer ref"},
    };
    for (const Case& c : cases) EXPECT_EQ(parsed(c.args), c.tree) << c.tree;
}

TEST(FindParse, Settings) {
    auto cmd = FindCommand::parse(std::vector<std::string>{".", "-maxdepth", "1", "-maxdepth", "3", "-mindepth", "+2"});
    ASSERT_TRUE(cmd.has_value());
    EXPECT_EQ(cmd->maxdepth, 3u);
    EXPECT_EQ(cmd->mindepth, 2u);
    EXPECT_FALSE(cmd->has_action);
    EXPECT_FALSE(cmd->depth_first);

    cmd = FindCommand::parse(std::vector<std::string>{".", "-name", "x", "-delete"});
    EXPECT_TRUE(cmd->has_action);
    EXPECT_TRUE(cmd->depth_first);
    EXPECT_FALSE(cmd->maxdepth.has_value());

    cmd = FindCommand::parse(std::vector<std::string>{"-prune", "-delete", "-depth"});
    ASSERT_TRUE(cmd.has_value());
    EXPECT_TRUE(cmd->depth_first);

    cmd = FindCommand::parse(std::vector<std::string>{"-exec", "a", "{}", "+", "-o", "-exec", "b", "{}", "+"});
    EXPECT_EQ(cmd->batch_count, 2u);
    EXPECT_TRUE(cmd->has_action);
}

TEST(FindParse, Refusals) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{".", "-name", "x", ")"}, "unexpected argument ')'"},
        {{".", "(", "-name", "x"}, "missing ')'"},
        {{".", "("}, "expected predicate"},
        {{".", "!"}, "expected predicate"},
        {{".", "-name", "x", "-a"}, "expected predicate"},
        {{".", "-name", "x", "-o"}, "expected predicate"},
        {{".", "-name", "x", "foo"}, "unexpected path or expression 'foo'"},
        {{".", "-foo"}, "unsupported predicate '-foo'"},
        {{".", "-name"}, "missing argument to '-name'"},
        {{".", "-type"}, "missing argument to '-type'"},
        {{".", "-type", "dd"}, "unsupported file type 'dd'"},
        {{".", "-type", "b"}, "unsupported file type 'b'"},
        {{".", "-type", ""}, "unsupported file type ''"},
        {{".", "-size", "+12x"}, "invalid argument to '-size': '12x'"},
        {{".", "-size", "k"}, "invalid argument to '-size': 'k'"},
        {{".", "-size", "-"}, "invalid argument to '-size': ''"},
        {{".", "-perm", "u+x"}, "invalid mode to '-perm': 'u+x'"},
        {{".", "-perm", "/8"}, "invalid mode to '-perm': '/8'"},
        {{".", "-perm", "77777777777"}, "invalid mode to '-perm': '77777777777'"},
        {{".", "-mtime", "+x"}, "invalid age '+x'"},
        {{".", "-mmin", "1.5"}, "invalid age '1.5'"},
        {{".", "-maxdepth", "-1"}, "invalid argument to '-maxdepth': '-1'"},
        {{".", "-mindepth", "99999999999999999999"}, "invalid argument to '-mindepth': '99999999999999999999'"},
        {{".", "-exec", "echo"}, "missing terminator for '-exec'"},
        {{".", "-exec", ";"}, "missing command for '-exec'"},
        {{".", "-exec", "{}", "+"}, "missing command for '-exec'"},
        {{".", "-exec", "echo", "+"}, "'-exec ... +' requires '{}' immediately before '+'"},
        {{".", "-exec", "+"}, "'-exec ... +' requires '{}' immediately before '+'"},
        {{".", "-execdir", "echo", "{}", "+"},
         "'-execdir ... +' is unsupported: batching would require grouping matches by directory"},
        {{".", "-execdir", "echo", "+"}, "'-execdir ... +' requires '{}' immediately before '+'"},
        {{".", "-ok", "rm", "{}", ";"},
         "'-ok' is unsupported: it requires an interactive terminal, which the simulator does not provide"},
        {{".", "-okdir", "rm", "{}", ";"},
         "'-okdir' is unsupported: it requires an interactive terminal, which the simulator does not provide"},
        {{".", "-prune", "-delete"},
         "-delete implies -depth, which makes -prune ineffective; specify -depth explicitly"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.args), c.error) << c.error;
}

TEST(FindParse, NestingLimit) {
    auto nested_parens = [](int n) {
        std::vector<std::string> args{"."};
        for (int i = 0; i < n; ++i) args.push_back("(");
        args.push_back("-print");
        for (int i = 0; i < n; ++i) args.push_back(")");
        return args;
    };
    auto negations = [](int n) {
        std::vector<std::string> args{"."};
        for (int i = 0; i < n; ++i) args.push_back("!");
        args.push_back("-print");
        return args;
    };
    auto or_chain = [](int n, const char* op) {
        std::vector<std::string> args{".", "-print"};
        for (int i = 0; i < n; ++i) {
            if (op[0] != '\0') args.push_back(op);
            args.push_back("-print");
        }
        return args;
    };
    const std::string too_deep = "expression is nested too deeply";
    EXPECT_EQ(parse_error(nested_parens(999)), "<parsed>");
    EXPECT_EQ(parse_error(nested_parens(1000)), too_deep);
    EXPECT_EQ(parse_error(negations(999)), "<parsed>");
    EXPECT_EQ(parse_error(negations(1000)), too_deep);
    EXPECT_EQ(parse_error(or_chain(999, "-o")), "<parsed>");
    EXPECT_EQ(parse_error(or_chain(1000, "-o")), too_deep);
    EXPECT_EQ(parse_error(or_chain(999, "")), "<parsed>");
    EXPECT_EQ(parse_error(or_chain(1000, "-a")), too_deep);
}

// ---- runs ----

class FindRun : public exec_test::ExecFixture {
protected:
    // /w: a ("x"), b/c (empty), b/d/ (empty directory), l -> b, t.txt ("hello\n").
    void SetUp() override {
        ExecFixture::SetUp();
        SyscallContext sys(m);
        ASSERT_TRUE(sys.mkdir("/", "/w").has_value());
        ASSERT_TRUE(sys.write_file("/", "/w/a", "x", 0644).has_value());
        ASSERT_TRUE(sys.mkdir("/", "/w/b").has_value());
        ASSERT_TRUE(sys.write_file("/", "/w/b/c", "", 0600).has_value());
        ASSERT_TRUE(sys.mkdir("/", "/w/b/d").has_value());
        ASSERT_TRUE(sys.symlink("/", "b", "/w/l").has_value());
        ASSERT_TRUE(sys.write_file("/", "/w/t.txt", "hello\n", 0755).has_value());
        ASSERT_TRUE(sys.set_times("/", "/w/a", 1'000'000).has_value());
        ASSERT_TRUE(sys.set_times("/", "/w/b/c", 3'000'000).has_value());
        ASSERT_TRUE(sys.set_times("/", "/w/t.txt", 2'000'000).has_value());
        shell().cwd = "/w";
    }
    exec_test::RunResult find(std::string_view source) { return run(source); }
};

struct RunCase {
    const char* source;
    const char* out;
    const char* err;
    std::int32_t status;
};

class FindRunCase : public FindRun, public ::testing::WithParamInterface<RunCase> {};

TEST_P(FindRunCase, Runs) {
    const RunCase& c = GetParam();
    auto r = find(c.source);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.out, c.out) << c.source;
    EXPECT_EQ(r.err, c.err) << c.source;
    EXPECT_EQ(r.status, c.status) << c.source;
}

INSTANTIATE_TEST_SUITE_P(
    Find, FindRunCase,
    ::testing::Values(
        RunCase{"find", ".\n./a\n./b\n./b/c\n./b/d\n./l\n./t.txt\n", "", 0},
        RunCase{"find /w", "/w\n/w/a\n/w/b\n/w/b/c\n/w/b/d\n/w/l\n/w/t.txt\n", "", 0},
        RunCase{"find b", "b\nb/c\nb/d\n", "", 0},
        RunCase{"find ./b", "b\nb/c\nb/d\n", "", 0},
        // Entries under the working directory show relative to it, the others absolute.
        RunCase{"cd b; find ..", "/w\n/w/a\n/w/b\nc\nd\n/w/l\n/w/t.txt\n", "", 0},
        RunCase{"find / -maxdepth 1 -name w", "/w\n", "", 0},
        RunCase{"find . -depth", "./a\n./b/c\n./b/d\n./b\n./l\n./t.txt\n.\n", "", 0},
        RunCase{"find missing", "", "find: 'missing': No such file or directory\n", 1},
        RunCase{"find missing b", "b\nb/c\nb/d\n", "find: 'missing': No such file or directory\n", 1},
        RunCase{"find . -maxdepth 0", ".\n", "", 0},
        RunCase{"find . -mindepth 1 -maxdepth 1", "./a\n./b\n./l\n./t.txt\n", "", 0},
        RunCase{"find . -mindepth 2", "./b/c\n./b/d\n", "", 0},
        RunCase{"find . -name b -prune -o -print", ".\n./a\n./l\n./t.txt\n", "", 0},
        RunCase{"find . -depth -name b -prune -o -print", "./a\n./b/c\n./b/d\n./l\n./t.txt\n.\n", "", 0},
        RunCase{"find . -type f", "./a\n./b/c\n./t.txt\n", "", 0},
        RunCase{"find . -type d", ".\n./b\n./b/d\n", "", 0},
        RunCase{"find . -type l", "./l\n", "", 0},
        RunCase{"find . -name '*.txt' -o -name c", "./b/c\n./t.txt\n", "", 0},
        RunCase{"find . -iname 'T.TXT'", "./t.txt\n", "", 0},
        RunCase{"find . -path './b/*'", "./b/c\n./b/d\n", "", 0},
        RunCase{"find . -path '*c'", "./b/c\n", "", 0},
        RunCase{"find . -name w", ".\n", "", 0},
        RunCase{"find . -name .", "", "", 0},
        RunCase{"find . -empty", "./b/c\n./b/d\n", "", 0},
        RunCase{"find . -type d -size 0", ".\n./b\n./b/d\n", "", 0},
        RunCase{"find . -size -1", ".\n./b\n./b/c\n./b/d\n", "", 0},
        RunCase{"find . -size 6c", "./t.txt\n", "", 0},
        RunCase{"find . -size 1", "./a\n./l\n./t.txt\n", "", 0},
        RunCase{"find . -type f -size +1c", "./t.txt\n", "", 0},
        RunCase{"find . -perm 644", "./a\n", "", 0},
        RunCase{"find . -type f -perm -111", "./t.txt\n", "", 0},
        RunCase{"find . -type f -perm /066", "./a\n./t.txt\n", "", 0},
        RunCase{"find . -perm /0", "", "", 0},
        RunCase{"find . -newer t.txt", ".\n./b\n./b/c\n./b/d\n./l\n", "", 0},
        RunCase{"find b -newer missing", "",
                "find: missing: No such file or directory: missing\n"
                "find: missing: No such file or directory: missing\n"
                "find: missing: No such file or directory: missing\n",
                1},
        RunCase{"find . ! -type d -not -name '*.txt'", "./a\n./b/c\n./l\n", "", 0},
        RunCase{"find . -name x ')'", "", "find: unexpected argument ')'\n", 2},
        RunCase{"find . -type a", "", "find: unsupported file type 'a'\n", 2},
        RunCase{"find . -exec false \\; -print", "", "", 0},
        RunCase{"find b -exec false {} +", "", "", 1},
        RunCase{"find b -exec echo x{}y \\;", "xby\nxb/cy\nxb/dy\n", "", 0},
        RunCase{"find b -print -exec echo run {} \\;", "b\nrun b\nb/c\nrun b/c\nb/d\nrun b/d\n", "", 0},
        RunCase{"find . -type f -exec echo {} +", "./a ./b/c ./t.txt\n", "", 0},
        RunCase{"find . -name a -exec echo one {} + -o -type f -exec echo two {} +", "one ./a\ntwo ./b/c ./t.txt\n",
                "", 0},
        RunCase{"find b -mindepth 1 -execdir echo {} \\;", "./c\n./d\n", "", 0},
        RunCase{"find b -name c -execdir pwd \\;", "/w/b\n", "", 0},
        RunCase{"find . -name '*.txt' -exec cat {} \\;", "hello\n", "", 0},
        RunCase{"find . -maxdepth 1 -type f -newer a -exec echo {} \\; | cat", "./t.txt\n", "", 0}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::to_string(info.index); });

TEST_F(FindRun, DeleteRemovesBottomUpAndReportsWhatStays) {
    auto r = find("find b -delete; echo $?; find b");
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.err, "find: 'b': No such file or directory\n");

    SyscallContext sys(m);
    ASSERT_TRUE(sys.mkdir("/", "/w/x").has_value());
    ASSERT_TRUE(sys.write_file("/", "/w/x/keep", "k", 0644).has_value());
    ASSERT_TRUE(sys.write_file("/", "/w/x/gone", "g", 0644).has_value());
    r = find("find x -name gone -delete -o -name x -delete; echo $?; find x");
    EXPECT_EQ(r.out, "1\nx\nx/keep\n");
    EXPECT_EQ(r.err, "find: cannot delete 'x': Directory not empty: /w/x\n");
}

TEST_F(FindRun, Print0SeparatesWithNul) {
    EXPECT_EQ(find("find b -print0").out, std::string("b\0b/c\0b/d\0", 10));
}

TEST_F(FindRun, SymbolicLinkToADirectoryIsNotEntered) {
    auto r = find("find l; find l -type d; find l -type l");
    EXPECT_EQ(r.out, "l\nl\n");
}

TEST_F(FindRun, BatchesSplitBeforeThePathThatWouldOverflow) {
    // 200 files whose paths are 1000 bytes long: each queued path counts 1001 bytes, so a command
    // gets 130 paths (with 130 queued, 130 * 1001 + 1000 > 131071).
    SyscallContext sys(m);
    const std::string dir = fmt::format("many/{}/{}/{}/", std::string(250, 'a'), std::string(250, 'b'),
                                        std::string(250, 'c'));
    for (int i = 0; i < 200; ++i) {
        const std::string path = fmt::format("{}{:03}{}", dir, i, std::string(239, 'p'));
        ASSERT_EQ(path.size(), 1000u);
        ASSERT_TRUE(sys.write_file("/w", path, "", 0644).has_value());
    }
    auto r = find("find many -type f -exec sh -c 'echo $#' x {} +");
    EXPECT_EQ(r.out, "130\n70\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(FindRun, OutputKeepsItsOrderAroundChildrenThroughAPipe) {
    auto r = find("find . -name '*.txt' -print -exec cat {} \\; -exec echo done {} + | cat");
    EXPECT_EQ(r.out, "./t.txt\nhello\ndone ./t.txt\n");
}

TEST_F(FindRun, LargeTreeIsWalkedInSmallSteps) {
    SyscallContext sys(m);
    for (int d = 0; d < 30; ++d)
        for (int f = 0; f < 40; ++f)
            ASSERT_TRUE(sys.write_file("/", fmt::format("/w/big/d{:02}/f{:02}", d, f), "", 0644).has_value());
    auto r = find("find big -type f | cat");
    std::string expected;
    for (int d = 0; d < 30; ++d)
        for (int f = 0; f < 40; ++f) expected += fmt::format("big/d{:02}/f{:02}\n", d, f);
    EXPECT_EQ(r.out, expected);
}

// find as the program of a child of the boot shell, stepped directly, under a CPU budget.
class FindBudget : public ::testing::Test {
protected:
    Machine m = Machine::build(MachineLimits{.cpu = 4000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20});

    std::int32_t run_find(std::vector<std::string> args) {
        auto pid = m.create_child_process("find", true, false, false, GroupMode::Inherit);
        EXPECT_TRUE(pid.has_value());
        EXPECT_TRUE(m.states.set_program(*pid, resumable_process_program(*launch_program(ProgramKind::Find, args)))
                        .has_value());
        (void)m.scheduler.yield_running();
        for (int i = 0; i < 100000; ++i) {
            const ProcessRecord* record = m.processes.find(*pid);
            if (record != nullptr && record->status == ProcessStatus::Exited) return record->exit_code;
            std::optional<Pid> p = m.scheduler.running();
            if (!p) p = *m.scheduler.dispatch();
            if (!p) break;
            if (*p == kFirstShellPid) {
                (void)m.scheduler.yield_running();
                continue;
            }
            EXPECT_TRUE(m.states.select(*p).has_value());
            EXPECT_TRUE(m.drive_process_step(*p, StepDriver::Host).has_value());
        }
        ADD_FAILURE() << "find did not end";
        return -1;
    }
    Bytes captured(std::int32_t fd) {
        auto number = m.states.find(kFirstShellPid)->descriptors.lookup(fd);
        return *m.open_descriptions.take_captured_bytes(*number);
    }
};

TEST_F(FindBudget, RefusedChargeEndsWith137WithoutAMessage) {
    SyscallContext sys(m);
    for (int f = 0; f < 2000; ++f)
        ASSERT_TRUE(sys.write_file("/", fmt::format("/big/f{:04}", f), "", 0644).has_value());
    EXPECT_EQ(run_find({"/big"}), 137);
    const Bytes out = captured(1);
    EXPECT_TRUE(std::string("/big\n/big/f0000\n").starts_with(out.substr(0, 16)) || out.empty()) << out.substr(0, 40);
    EXPECT_LT(out.size(), 2000u * 10);
    EXPECT_EQ(captured(2), "");
    EXPECT_EQ(m.meter.stop_reason(), StopReason::cpu_exhausted);
}

TEST(FindLaunch, ParseErrorIsKeptForTheFirstStep) {
    auto program = launch_program(ProgramKind::Find, std::vector<std::string>{".", "-bogus"});
    ASSERT_TRUE(program.has_value());
    const auto& state = std::get<program::Find>(program->state);
    EXPECT_FALSE(state.command.has_value());
    EXPECT_EQ(state.parse_error, "unsupported predicate '-bogus'");
}

}  // namespace
}  // namespace tw
