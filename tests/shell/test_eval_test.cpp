#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/machine.h"
#include "shell/test_eval.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 100'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

struct Outcome {
    std::int32_t status;
    std::string err;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.status << " [" << o.err << "]"; }

class TestEval : public ::testing::Test {
protected:
    void SetUp() override {
        auto& vfs = m.vfs;
        vfs.set_now_ms(1000);
        ASSERT_TRUE(vfs.create_dir_all("/", "/t/dir"));
        ASSERT_TRUE(vfs.write_file("/t/file", "data", 0644));
        ASSERT_TRUE(vfs.write_file("/t/empty", "", 0));
        ASSERT_TRUE(vfs.write_file("/t/exe", "#!", 0700));
        ASSERT_TRUE(vfs.write_file("/t/ro", "x", 0444));
        ASSERT_TRUE(vfs.symlink("/t", "file", "link"));
        ASSERT_TRUE(vfs.symlink("/t", "missing", "dangling"));
        ASSERT_TRUE(vfs.set_times("/", "/t/exe", 5000));
        state().cwd = "/t";
    }

    ProcessState& state() { return m.states.active_mut(); }

    Outcome run(std::string_view name, std::vector<std::string> operands) {
        Bytes err;
        std::int32_t status = test_evaluate(m, name, operands, err);
        return {status, err};
    }

    Machine m = Machine::build(kLimits);
};

struct Case {
    const char* name;
    std::vector<std::string> operands;
    std::int32_t status;
};

void check(TestEval& t, std::span<const Case> cases, std::function<Outcome(const Case&)> run) {
    for (const auto& c : cases) {
        std::string shown = c.name;
        for (const auto& o : c.operands) shown += " '" + o + "'";
        EXPECT_EQ(run(c).status, c.status) << shown;
    }
}

TEST_F(TestEval, BracketsAndCounts) {
    EXPECT_EQ(run("[", {}), (Outcome{2, "[: missing ']'\n"}));
    EXPECT_EQ(run("[", {"a"}), (Outcome{2, "[: missing ']'\n"}));
    EXPECT_EQ(run("[[", {"a", "]"}), (Outcome{2, "[[: missing ']]'\n"}));
    EXPECT_EQ(run("[", {"]"}), (Outcome{1, ""}));
    EXPECT_EQ(run("test", {}), (Outcome{1, ""}));
    EXPECT_EQ(run("[[", {"]]"}), (Outcome{1, ""}));
    // Only `[` drops the closing bracket: for `test` it is an operand.
    EXPECT_EQ(run("test", {"a", "=", "]"}), (Outcome{1, ""}));
    EXPECT_EQ(run("test", {"]"}), (Outcome{0, ""}));
}

TEST_F(TestEval, StringsAndUnknownOperators) {
    const Case cases[] = {
        {"[", {"x", "]"}, 0},
        {"[", {"", "]"}, 1},
        {"[", {"!", "]"}, 0},
        {"[", {"-n", "]"}, 0},
        {"[", {"-z", "]"}, 0},
        {"[", {"-z", "", "]"}, 0},
        {"[", {"-z", "a", "]"}, 1},
        {"[", {"-n", "", "]"}, 1},
        {"[", {"!", "", "]"}, 0},
        {"[", {"!", "a", "]"}, 1},
        {"[", {"abc", "=", "abc", "]"}, 0},
        {"[", {"abc", "==", "abd", "]"}, 1},
        {"[", {"abc", "!=", "abd", "]"}, 0},
        {"[", {"a", "<", "b", "]"}, 0},
        {"[", {"b", "<", "a", "]"}, 1},
        {"[", {"B", ">", "A", "]"}, 0},
        {"[", {"Z", ">", "a", "]"}, 1},
        {"[", {"-a", "file", "]"}, 0},       // two operands: -a is the unary file test
        {"[", {"!", "=", "!", "]"}, 0},      // three operands: a comparison before negation
        {"[", {"-o", "=", "foo", "]"}, 1},
        {"[", {"!", "-a", "!", "]"}, 0},
        {"[", {"(", "-o", ")", "]"}, 0},
        {"[", {"!", "!", "!", "!", "]"}, 1},
        {"[", {"a", "-a", "b", "]"}, 0},
        {"[", {"a", "-a", "", "]"}, 1},
        {"[", {"", "-o", "b", "]"}, 0},
        {"[", {"", "-o", "", "]"}, 1},
        {"[[", {"a", "&&", "b", "]]"}, 0},
        {"[[", {"a", "&&", "", "]]"}, 1},
        {"[[", {"", "||", "b", "]]"}, 0},
        {"[", {"!", "a", "=", "b", "]"}, 0},
        {"[", {"a", "-o", "b", "-a", "", "]"}, 0},  // -o splits first: a or (b and "")
        {"[", {"", "-a", "b", "-o", "c", "]"}, 0},  // ("" and b) or c
    };
    check(*this, cases, [&](const Case& c) { return run(c.name, c.operands); });
}

TEST_F(TestEval, MissingAndUnknownOperatorsAreErrors) {
    EXPECT_EQ(run("[", {"-q", "x", "]"}), (Outcome{2, "[: -q: unary operator expected\n"}));
    EXPECT_EQ(run("[", {"-gt", "0", "]"}), (Outcome{2, "[: -gt: unary operator expected\n"}));
    EXPECT_EQ(run("[", {"a", "-zz", "b", "]"}), (Outcome{2, "[: -zz: binary operator expected\n"}));
    EXPECT_EQ(run("[", {"a", "b", "c", "d", "]"}), (Outcome{2, "[: too many arguments\n"}));
    EXPECT_EQ(run("[", {"(", "a", ")", "(", "b", ")", "]"}), (Outcome{2, "[: too many arguments\n"}));
    EXPECT_EQ(run("[", {"(", "a", "-a", "b", "]"}), (Outcome{2, "[: `)' expected\n"}));
    EXPECT_EQ(run("[", {"!", "!", "!", "!", "!", "]"}), (Outcome{2, "[: argument expected\n"}));
    EXPECT_EQ(run("test", {"-n", "a", "-a", "-z"}), (Outcome{2, "test: argument expected\n"}));
}

TEST_F(TestEval, EqualityIsLiteralForTestAndPatternsForDoubleBrackets) {
    const Case cases[] = {
        {"[", {"abc", "=", "a*", "]"}, 1},
        {"test", {"abc", "=", "a*"}, 1},
        {"test", {"a*", "=", "a*"}, 0},
        {"[", {"abc", "!=", "a*", "]"}, 0},
        {"[[", {"abc", "=", "a*", "]]"}, 0},
        {"[[", {"abc", "==", "a?c", "]]"}, 0},
        {"[[", {"abc", "!=", "a*", "]]"}, 1},
        {"[[", {"abc", "==", "*d", "]]"}, 1},
        {"[[", {"b", "==", "[!a]", "]]"}, 0},
        {"[[", {"a", "==", "[!a]", "]]"}, 1},
        {"[[", {"#", "==", "[!a]", "]]"}, 0},
        {"[[", {"b", "==", "[^a]", "]]"}, 0},
        {"[[", {"a", "==", "[^a]", "]]"}, 1},
        {"[[", {"m", "==", "[a-z]", "]]"}, 0},
        {"[[", {"M", "==", "[a-z]", "]]"}, 1},
        {"[[", {"]", "==", "[]a]", "]]"}, 0},
        {"[[", {"-", "==", "[a-]", "]]"}, 0},
        {"[[", {"7", "==", "[[:digit:]]", "]]"}, 0},
        {"[[", {"x", "==", "[[:digit:]]", "]]"}, 1},
        {"[[", {"[", "==", "[", "]]"}, 0},
        {"[[", {"[ab", "==", "[ab", "]]"}, 0},
        {"[[", {"a*", "==", "a\\*", "]]"}, 0},
        {"[[", {"ab", "==", "a\\*", "]]"}, 1},
        {"[[", {"a.c", "==", "a.c", "]]"}, 0},
        {"[[", {"abc", "==", "a.c", "]]"}, 1},
        {"[[", {"a/b/c", "==", "a*c", "]]"}, 0},
        {"[[", {"", "==", "*", "]]"}, 0},
        {"[[", {"ééé", "==", "?é?", "]]"}, 0},
        {"[[", {"ab", "==", "?", "]]"}, 1},
        {"[[", {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "==", "*a*a*a*a*a*a*c", "]]"}, 1},
        {"[[", {"xyz", "==", "x{1}yz", "]]"}, 1},
        {"[[", {"a(b", "==", "a(b", "]]"}, 0},
    };
    check(*this, cases, [&](const Case& c) { return run(c.name, c.operands); });
}

TEST_F(TestEval, Integers) {
    EXPECT_EQ(run("[", {"1", "-eq", "x", "]"}), (Outcome{2, "[: integer expression expected\n"}));
    EXPECT_EQ(run("test", {"", "-lt", "1"}), (Outcome{2, "test: integer expression expected\n"}));
    EXPECT_EQ(run("[", {"9223372036854775808", "-gt", "0", "]"}), (Outcome{2, "[: integer expression expected\n"}));
    EXPECT_EQ(run("[", {"+-1", "-eq", "-1", "]"}), (Outcome{2, "[: integer expression expected\n"}));
    const Case cases[] = {
        {"[", {"1", "-eq", "x", "-o", "1", "-eq", "1", "]"}, 0},
        {"[", {"x", "-eq", "0", "-a", "1", "]"}, 0},  // nested: x counts as 0
        {"[", {" 5 ", "-eq", "5", "]"}, 0},
        {"[", {"+5", "-eq", "5", "]"}, 0},
        {"[", {"-5", "-lt", "-4", "]"}, 0},
        {"[", {"3", "-ne", "3", "]"}, 1},
        {"[", {"3", "-le", "3", "]"}, 0},
        {"[", {"4", "-le", "3", "]"}, 1},
        {"[", {"4", "-gt", "3", "]"}, 0},
        {"[", {"3", "-ge", "4", "]"}, 1},
        {"[", {"9223372036854775807", "-gt", "-9223372036854775808", "]"}, 0},
        {"[", {"010", "-eq", "10", "]"}, 0},
    };
    check(*this, cases, [&](const Case& c) { return run(c.name, c.operands); });
}

TEST_F(TestEval, Parentheses) {
    EXPECT_EQ(run("[", {"(", "a", ")", "-o", "b", "]"}).status, 0);
    EXPECT_EQ(run("[", {"(", "(", "", ")", ")", "]"}).status, 1);
    EXPECT_EQ(run("[", {"(", "", "-o", "x", ")", "-a", "y", "]"}).status, 0);
    EXPECT_EQ(run("[", {"(", "", "-o", "", ")", "-o", "y", "]"}).status, 0);
    EXPECT_EQ(run("[", {"!", "(", "a", "=", "a", ")", "]"}).status, 1);
    EXPECT_EQ(run("[", {"(", "-o", ")", "]"}).status, 0);
    EXPECT_EQ(run("[", {"!", "(", "a", ")", "]"}).status, 1);
}

TEST_F(TestEval, NestingLimit) {
    std::vector<std::string> ops(998, "!");
    ops.push_back("x");
    ops.push_back("]");
    EXPECT_EQ(run("[", ops), (Outcome{0, ""}));
    ops.insert(ops.begin(), 2, "!");
    EXPECT_EQ(run("[", ops), (Outcome{2, "[: expression is nested too deeply\n"}));
    std::vector<std::string> chain;
    for (int i = 0; i < 1000; ++i) {
        chain.push_back("");
        chain.push_back("-o");
    }
    chain.push_back("x");
    EXPECT_EQ(run("test", chain), (Outcome{2, "test: expression is nested too deeply\n"}));
}

TEST_F(TestEval, RefusedCpuChargeEndsSilently) {
    Machine small = Machine::build(MachineLimits{.cpu = 3, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    std::vector<std::string> ops{"a", "-a", "b", "-a", "c"};
    Bytes err;
    EXPECT_EQ(test_evaluate(small, "test", ops, err), 2);
    EXPECT_EQ(err, "");
}

TEST_F(TestEval, Files) {
    const Case cases[] = {
        {"[", {"-e", "file", "]"}, 0},
        {"[", {"-e", "/t/file", "]"}, 0},
        {"[", {"-e", "nothing", "]"}, 1},
        {"[", {"-f", "file", "]"}, 0},
        {"[", {"-f", "dir", "]"}, 1},
        {"[", {"-f", "link", "]"}, 0},
        {"[", {"-d", "dir", "]"}, 0},
        {"[", {"-d", "/t", "]"}, 0},
        {"[", {"-d", "file", "]"}, 1},
        {"[", {"-s", "file", "]"}, 0},
        {"[", {"-s", "empty", "]"}, 1},
        {"[", {"-s", "nothing", "]"}, 1},
        {"[", {"-r", "file", "]"}, 0},
        {"[", {"-r", "empty", "]"}, 1},
        {"[", {"-w", "file", "]"}, 0},
        {"[", {"-w", "ro", "]"}, 1},
        {"[", {"-x", "exe", "]"}, 0},
        {"[", {"-x", "file", "]"}, 1},
        {"[", {"-x", "dir", "]"}, 0},
        {"[", {"-L", "link", "]"}, 0},
        {"[", {"-h", "dangling", "]"}, 0},
        {"[", {"-e", "dangling", "]"}, 1},
        {"[", {"-L", "file", "]"}, 1},
        {"[", {"-h", "nothing", "]"}, 1},
        {"[", {"exe", "-nt", "file", "]"}, 0},
        {"[", {"file", "-nt", "exe", "]"}, 1},
        {"[", {"file", "-nt", "nothing", "]"}, 0},
        {"[", {"nothing", "-nt", "file", "]"}, 1},
        {"[", {"file", "-ot", "exe", "]"}, 0},
        {"[", {"nothing", "-ot", "file", "]"}, 0},
        {"[", {"file", "-ot", "nothing", "]"}, 1},
        {"[", {"file", "-ot", "file", "]"}, 1},
        {"[[", {"-f", "file", "&&", "-d", "dir", "]]"}, 0},
        {"[", {"-t", "1", "]"}, 1},
        {"[", {"-p", "file", "]"}, 1},
        {"[", {"-p", "/nonexistent", "]"}, 1},
        {"[", {"-c", "/dev/null", "]"}, 0},
        {"[", {"-c", "file", "]"}, 1},
        {"[", {"-S", "file", "]"}, 1},
        {"[", {"-b", "file", "]"}, 1},
        {"[", {"-k", "file", "]"}, 1},
        {"[", {"-u", "file", "]"}, 1},
        {"[", {"-g", "file", "]"}, 1},
        {"[", {"-N", "file", "]"}, 1},
        {"[", {"-O", "file", "]"}, 0},
        {"[", {"-O", "nothing", "]"}, 1},
        {"[", {"-G", "file", "]"}, 0},
        {"[", {"file", "-ef", "link", "]"}, 0},
        {"[", {"file", "-ef", "exe", "]"}, 1},
    };
    check(*this, cases, [&](const Case& c) { return run(c.name, c.operands); });
}

TEST_F(TestEval, VariableIsSet) {
    set_variable(state(), "set", "1");
    set_variable(state(), "blank", "");
    store_array(state(), "arr", ShellArray{ShellArray::Indexed{{{3, "x"}}}});
    EXPECT_EQ(run("[", {"-v", "set", "]"}).status, 0);
    EXPECT_EQ(run("[", {"-v", "blank", "]"}).status, 0);
    EXPECT_EQ(run("[", {"-v", "arr", "]"}).status, 0);
    EXPECT_EQ(run("[", {"-v", "unset", "]"}).status, 1);
    EXPECT_EQ(run("[", {"-v", "PWD", "]"}).status, 0);
    EXPECT_EQ(run("[[", {"-v", "arr[3]", "]]"}).status, 0);
    EXPECT_EQ(run("[[", {"-v", "arr[0]", "]]"}).status, 1);
    EXPECT_EQ(run("[[", {"-v", "arr[-1]", "]]"}).status, 0);
    EXPECT_EQ(run("test", {"-v", "arr[@]"}).status, 0);
    EXPECT_EQ(run("test", {"-v", "set[0]"}).status, 0);
    EXPECT_EQ(run("test", {"-v", "set[1]"}).status, 1);
}

TEST_F(TestEval, RegexSetsRematch) {
    EXPECT_EQ(run("[[", {"abc", "=~", "^a(b)(x)?c$", "]]"}).status, 0);
    EXPECT_EQ(array_values(state(), "BASH_REMATCH"), (std::vector<std::string>{"abc", "b", ""}));
    EXPECT_EQ(run("[[", {"xxabyy", "=~", "a(b)", "]]"}).status, 0);
    EXPECT_EQ(array_values(state(), "BASH_REMATCH"), (std::vector<std::string>{"ab", "b"}));
    EXPECT_EQ(run("[[", {"a", "=~", "(", "]]"}), (Outcome{1, ""}));
    EXPECT_EQ(array_values(state(), "BASH_REMATCH"), (std::vector<std::string>{"ab", "b"}));
    EXPECT_EQ(run("[[", {"abc", "=~", "^z", "]]"}).status, 1);
    EXPECT_TRUE(is_array(state(), "BASH_REMATCH"));
    EXPECT_EQ(array_length(state(), "BASH_REMATCH"), 0u);
    EXPECT_EQ(lookup_parameter(state(), "BASH_REMATCH"), "");
}

}  // namespace
}  // namespace tw
