// make: reading makefiles, expansion, planning by file times, and the recipe runner. Outputs agree
// with the host's make except where a comment names a deliberate difference.
#include <gtest/gtest.h>

#include <string>

#include "case_fixture.h"

namespace tw {
namespace {

using command_test::fresh_machine;
using command_test::put_file;
using command_test::Ran;
using command_test::run_in;

// Runs `command` in a fresh machine whose /tmp/Makefile holds `makefile`.
Ran make_with(const std::string& makefile, const std::string& command = "make") {
    Machine m = fresh_machine();
    put_file(m, "/tmp/Makefile", makefile);
    return run_in(m, command);
}

struct MakeCase {
    std::string makefile;
    std::string command;
    std::string out;
    std::string err;
    std::int32_t status = 0;
};

void expect_make(std::initializer_list<MakeCase> cases) {
    for (const MakeCase& c : cases) {
        SCOPED_TRACE(c.makefile + " / " + c.command);
        Ran r = make_with(c.makefile, c.command);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

void set_mtime(Machine& m, const std::string& path, std::uint64_t ms) {
    ASSERT_TRUE(m.vfs.set_times("/", path, ms).has_value()) << path;
}

TEST(MakeCommand, RemakesByFileTimes) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/Makefile", "all: out.txt\nout.txt: in.txt\n\ttr a-z A-Z < in.txt > out.txt\n");
    put_file(m, "/tmp/in.txt", "hello\n");
    set_mtime(m, "/tmp/in.txt", 1000);
    // The goal has no recipe of its own, so it reports nothing to do even after its
    // prerequisite was remade (the host's make stays silent there).
    Ran r = run_in(m, "make");
    EXPECT_EQ(r.out, "tr a-z A-Z < in.txt > out.txt\nmake: Nothing to be done for 'all'.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(command_test::file_contents(m, "/tmp/out.txt"), "HELLO\n");
    set_mtime(m, "/tmp/out.txt", 2000);
    r = run_in(m, "make; make out.txt");
    EXPECT_EQ(r.out, "make: Nothing to be done for 'all'.\nmake: 'out.txt' is up to date.\n");
    // Equal times do not count as newer; a later input does.
    set_mtime(m, "/tmp/in.txt", 2000);
    EXPECT_EQ(run_in(m, "make out.txt").out, "make: 'out.txt' is up to date.\n");
    put_file(m, "/tmp/in.txt", "again\n");
    set_mtime(m, "/tmp/in.txt", 3000);
    r = run_in(m, "make out.txt");
    EXPECT_EQ(r.out, "tr a-z A-Z < in.txt > out.txt\n");
    EXPECT_EQ(command_test::file_contents(m, "/tmp/out.txt"), "AGAIN\n");
}

TEST(MakeCommand, RecipePrefixesAndOptions) {
    const std::string mk = "x:\n\techo hi\n\t@echo quiet\n\t-false\n\techo after\n";
    expect_make({
        // An ignored failure is silent here (the host's make adds an "(ignored)" line).
        {mk, "make", "echo hi\nhi\nquiet\nfalse\necho after\nafter\n", ""},
        {mk, "make -s", "hi\nquiet\nafter\n", ""},
        {mk, "make --silent", "hi\nquiet\nafter\n", ""},
        {mk, "make -n", "echo hi\necho quiet\nfalse\necho after\n", ""},
        {mk, "make -ns", "echo hi\necho quiet\nfalse\necho after\n", ""},
        {"x:\n\t  @-  echo  spaced  \n\t\n", "make", "spaced\n", ""},
        // Environment variables are not make variables (the host's make reads them in).
        {"x:\n\techo $$HOME $(HOME) ${HOME}\n", "make", "echo $HOME\n/root\n", ""},
        {"x:\n\techo a \\\n\tb\n", "make", "echo a \\\nb\na b\n", ""},
        {"x:\n\t@cd / && pwd | tr / R\n\t@pwd\n", "make", "R\n/tmp\n", ""},
    });
}

TEST(MakeCommand, AutomaticAndOrdinaryVariables) {
    expect_make({
        // $^ keeps duplicates (the host's make drops them).
        {"out: in1 in2 in1\n\t@echo $@ $< $^\nin1 in2:\n\t@true\n", "make", "out in1 in1 in2 in1\n", ""},
        {"X = $(Y)\nY = hello\nall:\n\t@echo $(X) ${X} [$(Z)] $$X\n", "make", "hello hello []\n", ""},
        {"X = a\nall:\n\t@echo $(X) $$X\n", "make X=1", "1 1\n", ""},
        {"X = a\nall:\n\t@echo [$(X)]\n", "make X=", "[]\n", ""},
        {"X := b # note\nall:\n\t@echo $(X).\n", "make", "b.\n", ""},
        {"export X = 5\nall:\n\t@echo $$X\n", "make", "5\n", ""},
        {"all:\n\t@echo [$$HOME]\nunexport HOME\n", "make", "[]\n", ""},
        {"OBJS = a b\nall: $$(OBJS)\n\t@echo $^\na b:\n\t@echo $@\n", "make", "a\nb\na b\n", ""},
        {"D = dir\n$(D): \n\t@echo made $@\n", "make", "made dir\n", ""},
        {"X = $(X)\nall:\n\t@echo $(X)\n", "make", "", "make: variable expansion is too recursive\n", 2},
        {"all:\n\t@echo $(X:a=b)\n", "make", "", "make: unsupported variable expression '$(X:a=b)'\n", 2},
        {"all:\n\t@echo $(wildcard *.c)\n", "make", "", "make: unsupported variable expression '$(wildcard *.c)'\n",
         2},
        {"all:\n\t@echo $(X\n", "make", "", "make: unterminated variable reference\n", 2},
    });
}

TEST(MakeCommand, FailuresAndKeepGoing) {
    const std::string mk = "all: a b\na: c\n\techo a\nc:\n\tfalse\nb:\n\techo b\n";
    expect_make({
        {"all:\n\tfalse\n\techo never\n", "make", "false\n", "make: *** [Makefile:2: all] Error 1\n", 2},
        {"all:\n\texit 3\n", "make -s", "", "make: *** [Makefile:2: all] Error 3\n", 2},
        {mk, "make", "false\n", "make: *** [Makefile:5: c] Error 1\n", 2},
        // Under -k the failed target and what depends on it are not remade; b still is.
        {mk, "make -k", "false\necho b\nb\n",
         "make: *** [Makefile:5: c] Error 1\nmake: Target 'all' not remade because of errors.\n", 2},
        {"x:\n\t@false\ny:\n\t@echo y\n", "make -k x y", "y\n", "make: *** [Makefile:2: x] Error 1\n", 2},
        {"x:\n\t@false\ny:\n\t@echo y\n", "make x y", "", "make: *** [Makefile:2: x] Error 1\n", 2},
    });
}

TEST(MakeCommand, PlanningMessages) {
    expect_make({
        {"a: b\n\t@echo a\nb: a\n\t@echo b\n", "make", "b\na\n", "make: Circular b <- a dependency dropped.\n"},
        {"all: missing\n\t@echo x\n", "make", "", "make: *** No rule to make target 'missing'.  Stop.\n", 2},
        {"all:\n\t@echo x\n", "make other", "", "make: *** No rule to make target 'other'.  Stop.\n", 2},
        {".PHONY: Makefile\nMakefile:\n\t@echo phony\n", "make", "phony\n", ""},
        {"all:\n", "make", "make: Nothing to be done for 'all'.\n", ""},
        {"all:\n\t@echo x\n", "make Makefile", "make: Nothing to be done for 'Makefile'.\n", ""},
        {"first:\n\t@echo 1\nsecond:\n\t@echo 2\n", "make second first", "2\n1\n", ""},
        {"X = 1\n", "make", "", "make: *** No targets.  Stop.\n", 2},
    });
    std::string chain;
    for (int i = 0; i < 257; ++i) chain += "t" + std::to_string(i) + ": t" + std::to_string(i + 1) + "\n";
    chain += "t257:\n\t@echo end\n";
    auto r = make_with(chain);
    EXPECT_EQ(r.err, "make: prerequisite chain too deep for 't256'\n");
    EXPECT_EQ(r.status, 2);
}

TEST(MakeCommand, MakefileRefusals) {
    expect_make({
        {"all\n", "make", "", "make: missing ':' at line 1\n", 2},
        {"\nCC ?= gcc\n", "make", "", "make: missing ':' at line 2\n", 2},
        {"include other.mk\n", "make", "", "make: missing ':' at line 1\n", 2},
        {"X ::= v\n\t@echo $^\n", "make", "", "make: *** No rule to make target ':='.  Stop.\n", 2},
        {"\tx\n", "make", "", "make: recipe without a target at line 1\n", 2},
        {"a:\n\tx\nV = 1\n\ty\n", "make", "", "make: recipe without a target at line 4\n", 2},
        {"a:\n\t@echo 1\n\n# c\n\t@echo 2\n", "make", "1\n2\n", ""},
        {"a:\n\tx\na:\n\ty\n", "make", "", "make: target has multiple recipe definitions at line 4\n", 2},
        {"a: b\na:\n\t@echo $^\nb:\n\t@true\n", "make", "b\n", ""},
        {".PHONY : all\n", "make", "", "make: unsupported directive at line 1\n", 2},
        {".SUFFIXES:\n", "make", "", "make: unsupported directive at line 1\n", 2},
        {"a: b \\\n c\n", "make", "", "make: line continuation is unsupported at line 1\n", 2},
        {"a:\n\techo \\\n", "make", "", "make: unterminated recipe continuation at line 2\n", 2},
        {"a: b | c\n", "make", "", "make: order-only prerequisites are unsupported at line 1\n", 2},
        {"%.o: %.c\n", "make", "", "make: unsupported target or prerequisite '%.o' at line 1\n", 2},
        {":\n", "make", "", "make: empty target at line 1\n", 2},
        {"export\n", "make", "", "make: unsupported directive at line 1\n", 2},
        {"export 1X\n", "make", "", "make: unsupported export target '1X' at line 1\n", 2},
    });
}

TEST(MakeCommand, CommandLine) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/sub/Makefile", "all:\n\t@pwd\n");
    put_file(m, "/tmp/sub/other.mk", "x:\n\t@echo other\n");
    put_file(m, "/tmp/file", "");
    const struct {
        std::string command, out, err;
        std::int32_t status;
    } cases[] = {
        // Without the host's "Entering directory" lines.
        {"make -C sub", "/tmp/sub\n", "", 0},
        {"make --directory sub -f other.mk", "other\n", "", 0},
        {"cd sub && make --file=other.mk", "", "make: unsupported option or malformed argument\n", 2},
        {"make -C missing", "", "make: /tmp/missing: No such directory\n", 2},
        {"make -C file", "", "make: /tmp/file: Not a directory\n", 2},
        {"make", "", "make: *** No targets specified and no makefile found.  Stop.\n", 2},
        {"make all", "", "make: *** No targets specified and no makefile found.  Stop.\n", 2},
        {"make -f -", "", "make: reading makefiles from stdin is unsupported\n", 2},
        {"make -f nope", "", "make: No such file or directory: nope\n", 2},
        {"make -q -C sub", "", "make: unsupported option or malformed argument\n", 2},
        {"make -fMakefile", "", "make: unsupported option or malformed argument\n", 2},
        {"make -j x -C sub", "", "make: unsupported option or malformed argument\n", 2},
        {"make -C", "", "make: unsupported option or malformed argument\n", 2},
        {"make a=b=c -C sub", "/tmp/sub\n", "", 0},
        {"make -kns -C sub", "pwd\n", "", 0},
        {"make -j4 -C sub; make --jobs=2 -C sub; make -j +3 -C sub", "/tmp/sub\n/tmp/sub\n/tmp/sub\n", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Ran r = run_in(m, "cd /tmp; " + c.command);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
    // Makefile wins over makefile.
    put_file(m, "/tmp/sub/makefile", "all:\n\t@echo lower\n");
    EXPECT_EQ(run_in(m, "make -C /tmp/sub").out, "/tmp/sub\n");
}

TEST(MakeCommand, Limits) {
    // Recipe lines taken in one run are counted: one rule line gives its recipe to many targets.
    std::string names;
    for (int i = 0; i < 4001; ++i) names += " t" + std::to_string(i);
    std::string mk = "all:" + names + "\n" + names.substr(1) + ":\n\ta\n\tb\n\tc\n\td\n\te\n";
    auto r = make_with(mk, "make -n | tail -1");
    EXPECT_EQ(r.err, "make: recipe limit exceeded (20000)\n");
    std::string lines;
    for (int i = 0; i < 19999; ++i) lines += "\n";  // 20000 lines in all
    r = make_with("a:\n\t@echo ok" + lines);
    EXPECT_EQ(r.out, "ok\n");
    r = make_with("a:\n\t@echo ok" + lines + "\n");
    EXPECT_EQ(r.err, "make: line limit exceeded (20000)\n");
}

TEST(MakeCommand, RecipesWaitOnTheVirtualClock) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/Makefile", "all:\n\t@sleep 5\n\t@echo done\n");
    const std::uint64_t before = m.clock.now_ns();
    Ran r = run_in(m, "make");
    EXPECT_EQ(r.out, "done\n");
    EXPECT_GE(m.clock.now_ns() - before, 5'000'000'000u);
    // While make waits for its recipe, the rest of the machine runs.
    r = run_in(m, "make & sleep 1; echo other; wait");
    EXPECT_EQ(r.out, "other\ndone\n");
}

}  // namespace
}  // namespace tw
