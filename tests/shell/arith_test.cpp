#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "shell/arith.h"
#include "shell/variables.h"

namespace tw {
namespace {

// The value in decimal, or the error as a caller renders it.
std::string run(ProcessState& ps, std::string_view text) {
    auto r = arith_eval(ps, text);
    if (!r) return render_arith_error(r.error(), text);
    return fmt::format("{}", *r);
}

std::string run(std::string_view text) {
    ProcessState ps;
    return run(ps, text);
}

struct Case {
    const char* text;
    const char* expected;
};

TEST(Arith, ValuesAndOperators) {
    const Case cases[] = {
        {"", "0"},
        {" \t\n ", "0"},
        {"1+2*3", "7"},
        {"(1+2)*3", "9"},
        {"7/2", "3"},
        {"-7/2", "-3"},
        {"-7%2", "-1"},
        {"7%-1", "0"},
        {"(-9223372036854775807-1)/-1", "-9223372036854775808"},
        {"(-9223372036854775807-1)%-1", "0"},
        {"9223372036854775807+1", "-9223372036854775808"},
        {"2**63", "-9223372036854775808"},
        {"2**0", "1"},
        {"0**0", "1"},
        {"3**3**2", "19683"},
        {"1<<64", "1"},
        {"1<<-1", "-9223372036854775808"},
        {"-8>>1", "-4"},
        {"5&3", "1"},
        {"5|3", "7"},
        {"5^3", "6"},
        {"~5", "-6"},
        {"!0", "1"},
        {"!7", "0"},
        {"1 < 2 < 3", "1"},
        {"3 > 2 > 1", "0"},
        {"2 <= 2", "1"},
        {"2 >= 3", "0"},
        {"1 == 1", "1"},
        {"1 != 1", "0"},
        {"1 && 2", "1"},
        {"1 && 0", "0"},
        {"0 || 5", "1"},
        {"0 || 0", "0"},
        {"1 ? 2 : 3", "2"},
        {"0 ? 2 : 0 ? 3 : 4", "4"},
        {"1, 2, 3", "3"},
        {"--5", "5"},
        {"++5", "5"},
        {"- -5", "5"},
        {"5--3", "8"},
        {"+7", "7"},
        // literals and bases
        {"010", "8"},
        {"0x1F", "31"},
        {"0X1f", "31"},
        {"0x", "0"},
        {"2#101", "5"},
        {"64#_", "63"},
        {"64#@", "62"},
        {"36#z", "35"},
        {"36#Z", "35"},
        {"62#Z", "61"},
        {"16#ff", "255"},
        {"0", "0"},
        {"7", "7"},
        {"18446744073709551617", "1"},
        {"\u00a0 1 +\u3000 2\u2003", "3"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.text), c.expected) << c.text;
}

TEST(Arith, ErrorsCarryTheirToken) {
    const Case cases[] = {
        {"08", "08: value too great for base (error token is \"08\")"},
        {"0x1g", "0x1g: value too great for base (error token is \"0x1g\")"},
        {"2#2", "2#2: value too great for base (error token is \"2#2\")"},
        {"37#Z", "37#Z: value too great for base (error token is \"37#Z\")"},
        {"3a", "3a: value too great for base (error token is \"3a\")"},
        {"1#1", "1#1: invalid arithmetic base (error token is \"1#1\")"},
        {"65#1", "65#1: invalid arithmetic base (error token is \"65#1\")"},
        {"16#", "16#: invalid integer constant (error token is \"16#\")"},
        {"16#1#2", "16#1#2: invalid integer constant (error token is \"16#1#2\")"},
        {"1 + ", "1 + : arithmetic syntax error: operand expected (error token is \"+ \")"},
        {"  1 +", "1 +: arithmetic syntax error: operand expected (error token is \"+\")"},
        {"5/0", "5/0: division by 0 (error token is \"0\")"},
        {"5%0", "5%0: division by 0 (error token is \"0\")"},
        {"2 3", "2 3: arithmetic syntax error in expression (error token is \"3\")"},
        {"2**-1", "2**-1: exponent less than 0 (error token is \"1\")"},
        {"1 = 2", "1 = 2: attempted assignment to non-variable (error token is \"= 2\")"},
        {"(x) = 1", "(x) = 1: attempted assignment to non-variable (error token is \"= 1\")"},
        {"++x++", "++x++: attempted assignment to non-variable (error token is \"++\")"},
        {"1 ? 2", "1 ? 2: `:' expected for conditional expression (error token is \"\")"},
        {"(1", "(1: missing `)' (error token is \"\")"},
        {"a[1", "a[1: missing `]' (error token is \"\")"},
        {"x=", "x=: arithmetic syntax error: operand expected (error token is \"=\")"},
        {"*2", "*2: arithmetic syntax error: operand expected (error token is \"*2\")"},
        {"1 @ 2", "1 @ 2: arithmetic syntax error in expression (error token is \"@ 2\")"},
        // Tokens after multi-byte characters and invalid bytes start where the text has them;
        // Unicode white space separates tokens and is trimmed before the expression is shown.
        {"\u00e9 + 1", "\u00e9 + 1: arithmetic syntax error: operand expected (error token is \"\u00e9 + 1\")"},
        {"1 +\u3000\u00e9", "1 +\u3000\u00e9: arithmetic syntax error: operand expected (error token is \"\u00e9\")"},
        {"1 \xff", "1 \xff: arithmetic syntax error in expression (error token is \"\xff\")"},
        {"\u00a0*2", "*2: arithmetic syntax error: operand expected (error token is \"*2\")"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.text), c.expected) << c.text;
}

TEST(Arith, NestingLimit) {
    std::string ok = std::string(256, '(') + "1" + std::string(256, ')');
    EXPECT_EQ(run(ok), "1");
    std::string deep = std::string(257, '(') + "1" + std::string(257, ')');
    EXPECT_EQ(run(deep), fmt::format("{}: expression nesting too deep (error token is \"{}\")", deep, deep.substr(256)));
    std::string minus(257, '-');
    EXPECT_NE(run(minus + "1").find("expression nesting too deep"), std::string::npos);
}

TEST(Arith, ShortCircuitSkipsEvaluation) {
    ProcessState ps;
    EXPECT_EQ(run(ps, "1 || (x=5)"), "1");
    EXPECT_EQ(run(ps, "0 && (x=5)"), "0");
    EXPECT_EQ(run(ps, "0 && 1/0"), "0");
    EXPECT_EQ(run(ps, "1 ? 2 : 1/0"), "2");
    EXPECT_EQ(run(ps, "0 ? y++ : 3"), "3");
    EXPECT_EQ(run(ps, "1 ? 4 : (y=1)"), "4");
    EXPECT_FALSE(lookup_parameter(ps, "x"));
    EXPECT_FALSE(lookup_parameter(ps, "y"));
    // A skipped operand still has to parse.
    EXPECT_EQ(run(ps, "0 && (1"), "0 && (1: missing `)' (error token is \"\")");
}

TEST(Arith, AssignmentsAndIncrements) {
    ProcessState ps;
    EXPECT_EQ(run(ps, "a = b = 3"), "3");
    EXPECT_EQ(lookup_parameter(ps, "a"), "3");
    EXPECT_EQ(lookup_parameter(ps, "b"), "3");
    EXPECT_EQ(run(ps, "x++"), "0");
    EXPECT_EQ(run(ps, "x++"), "1");
    EXPECT_EQ(run(ps, "++x"), "3");
    EXPECT_EQ(run(ps, "++ x"), "4");
    EXPECT_EQ(run(ps, "x--"), "4");
    EXPECT_EQ(run(ps, "--x"), "2");
    EXPECT_EQ(lookup_parameter(ps, "x"), "2");
    const Case compound[] = {
        {"v = 10", "10"}, {"v += 5", "15"}, {"v -= 3", "12"}, {"v *= 2", "24"}, {"v /= 5", "4"},
        {"v %= 3", "1"},  {"v <<= 4", "16"}, {"v >>= 2", "4"}, {"v |= 3", "7"}, {"v &= 5", "5"},
        {"v ^= 1", "4"},
    };
    for (const auto& c : compound) EXPECT_EQ(run(ps, c.text), c.expected) << c.text;
    EXPECT_EQ(run(ps, "v /= 0"), "v /= 0: division by 0 (error token is \"0\")");
    EXPECT_EQ(lookup_parameter(ps, "v"), "4");
    // Nothing is rolled back.
    EXPECT_EQ(run(ps, "w = 1, 1/0"), "w = 1, 1/0: division by 0 (error token is \"0\")");
    EXPECT_EQ(lookup_parameter(ps, "w"), "1");
}

TEST(Arith, VariableTextsAreNumbersOrExpressions) {
    ProcessState ps;
    set_variable(ps, "oct", "010");
    set_variable(ps, "hex", "0x10");
    set_variable(ps, "a", "3");
    set_variable(ps, "ref", "a");
    set_variable(ps, "expr", " a * 2 ");
    set_variable(ps, "blank", "  ");
    set_variable(ps, "neg", "-4");
    EXPECT_EQ(run(ps, "oct"), "10");
    EXPECT_EQ(run(ps, "hex"), "16");
    EXPECT_EQ(run(ps, "ref"), "3");
    EXPECT_EQ(run(ps, "expr + 1"), "7");
    EXPECT_EQ(run(ps, "blank"), "0");
    EXPECT_EQ(run(ps, "unset_name + 1"), "1");
    EXPECT_EQ(run(ps, "neg * 2"), "-8");
    set_variable(ps, "p", "q");
    set_variable(ps, "q", "p");
    EXPECT_EQ(run(ps, "p"), "p: expression recursion level exceeded (error token is \"q\")");
    set_variable(ps, "bad", "1 +");
    EXPECT_EQ(run(ps, "bad"), "bad: arithmetic syntax error: operand expected (error token is \"+\")");
}

TEST(Arith, DeepRecursionThroughNestedVariables) {
    // 60 variables, each nesting 250 parentheses around the next: far more recursion than one
    // thread stack holds.
    ProcessState ps;
    for (int i = 0; i < 60; ++i) {
        std::string inner = i == 59 ? "1" : fmt::format("v{}", i + 1);
        set_variable(ps, fmt::format("v{}", i), std::string(250, '(') + inner + std::string(250, ')'));
    }
    EXPECT_EQ(run(ps, "v0"), "1");
}

TEST(Arith, LongAssignmentChainDoesNotExhaustTheStack) {
    ProcessState ps;
    std::string chain;
    for (int i = 0; i < 50000; ++i) chain += "a=";
    EXPECT_EQ(run(ps, chain + "5"), "5");
    EXPECT_EQ(lookup_parameter(ps, "a"), "5");
}

TEST(Arith, ArraysThroughTheEnvironment) {
    ProcessState ps;
    EXPECT_EQ(run(ps, "a[1+1] = 4"), "4");
    EXPECT_EQ(get_array_element(ps, "a", "2"), "4");
    set_array_element(ps, "a", "0", "1");
    set_array_element(ps, "a", "1", "2");
    EXPECT_EQ(run(ps, "a[-1]"), "4");
    EXPECT_EQ(run(ps, "a[1]++ + a[1]"), "5");
    EXPECT_EQ(run(ps, "a[-4]"), "a[-4]: bad array subscript");
    EXPECT_EQ(run(ps, "a[-4] = 1"), "a[-4]: bad array subscript");
    // Elements at 0 and 10 only: -1 resolves to index 10 (the highest index plus one, less one).
    ShellArray sparse{ShellArray::Indexed{{{0, "5"}, {10, "6"}}}};
    store_array(ps, "s", sparse);
    EXPECT_EQ(run(ps, "s[-12]"), "s[-12]: bad array subscript");
    EXPECT_EQ(run(ps, "s[-1] = 9"), "9");
    EXPECT_EQ(get_array_element(ps, "s", "10"), "9");
    EXPECT_EQ(run(ps, "s[-2] = 7"), "7");
    EXPECT_EQ(get_array_element(ps, "s", "9"), "7");
    EXPECT_EQ(run(ps, "big[1048576] = 1"), "1");
    EXPECT_EQ(run(ps, "big[1048577] = 1"), "big[1048577]: array subscript too large");
    // Associative arrays are addressed by the subscript text as written, never evaluated.
    store_array(ps, "m", ShellArray{ShellArray::Associative{}});
    set_variable(ps, "k", "zz");
    EXPECT_EQ(run(ps, "m[k] = 1"), "1");
    EXPECT_EQ(run(ps, "m[k] += 2"), "3");
    EXPECT_EQ(run(ps, "m[ k ]++ + m[1+1]++ + m[a[0]]"), "0");
    EXPECT_EQ(run(ps, "m[k] * 2"), "6");
    EXPECT_EQ(run(ps, "0 && m[never]++"), "0");
    EXPECT_EQ(array_keys(ps, "m"), (std::vector<std::string>{" k ", "1+1", "k"}));
    EXPECT_EQ(get_array_element(ps, "m", " k "), "1");
    EXPECT_EQ(run(ps, "m[k"), "m[k: missing `]' (error token is \"\")");
    // A scalar is element 0 of itself.
    set_variable(ps, "sc", "7");
    EXPECT_EQ(run(ps, "sc[0] + sc[-1]"), "14");
    EXPECT_EQ(run(ps, "sc[1]"), "0");
}

TEST(Arith, NounsetAndReadonly) {
    ProcessState ps;
    ps.options.nounset = true;
    EXPECT_EQ(run(ps, "x + 1"), "x: unbound variable");
    EXPECT_EQ(run(ps, "x = 1"), "x: unbound variable");
    set_variable(ps, "e", "");
    EXPECT_EQ(run(ps, "e + 1"), "1");
    store_array(ps, "a", ShellArray{ShellArray::Indexed{{{0, "1"}}}});
    EXPECT_EQ(run(ps, "a[3]"), "a[3]: unbound variable");
    store_array(ps, "m", ShellArray{ShellArray::Associative{}});
    EXPECT_EQ(run(ps, "m[q]"), "m[q]: unbound variable");
    EXPECT_EQ(run(ps, "0 && x"), "0");
    ps.options.nounset = false;
    set_variable(ps, "r", "1");
    ps.readonly_names.insert("r");
    EXPECT_EQ(run(ps, "r = 2"), "r: readonly variable");
    EXPECT_EQ(run(ps, "r++"), "r: readonly variable");
    EXPECT_EQ(run(ps, "r[1] = 2"), "r: readonly variable");
    store_array(ps, "rm", ShellArray{ShellArray::Associative{}});
    ps.readonly_names.insert("rm");
    EXPECT_EQ(run(ps, "rm[x] = 2"), "rm: readonly variable");
    EXPECT_EQ(lookup_parameter(ps, "r"), "1");
}

TEST(Arith, SpecialParametersAndWhiteSpace) {
    ProcessState ps;
    ps.last_status = 3;
    EXPECT_EQ(run(ps, "\u00a0RANDOM >= 0 && RANDOM < 32768\u3000"), "1");
    set_variable(ps, "n", "\u20034\u2003");
    EXPECT_EQ(run(ps, "n * 2"), "8");
    EXPECT_EQ(render_arith_error(ArithError{"m", false}, "\u00a0 1 +"), "1 +: m");
}

}  // namespace
}  // namespace tw
