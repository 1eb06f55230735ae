// bc and expr. The expected outputs agree with the host's bc and expr except where a comment
// names a deliberate difference.
#include <gtest/gtest.h>

#include <string>

#include "base/bigint.h"
#include "case_fixture.h"
#include "commands/calc/bc_number.h"

namespace tw {
namespace {

using command_test::Case;
using command_test::expect_cases;
using command_test::run;

// Runs a bc program given on standard input.
Case bc(std::string program, std::string out, std::string err = {}, std::int32_t status = 0) {
    return {"bc", std::move(out), status, std::move(err), std::move(program)};
}

std::string syntax(std::string_view message) { return "bc: syntax error: " + std::string(message) + "\n"; }
std::string runtime(std::string_view message) {
    return "Runtime error (func=(main)): " + std::string(message) + "\n";
}

TEST(BigInt, DecimalDigitsAndParsing) {
    EXPECT_EQ(BigInt().decimal_digits(), 1u);
    EXPECT_EQ(BigInt(-999).decimal_digits(), 3u);
    EXPECT_EQ(BigInt(1000).decimal_digits(), 4u);
    const auto big = parse_decimal_bigint("1" + std::string(40, '0'));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->decimal_digits(), 41u);
    EXPECT_EQ((*big - BigInt(1)).decimal_digits(), 40u);
    EXPECT_EQ(parse_decimal_bigint("007")->to_decimal(), "7");
    EXPECT_FALSE(parse_decimal_bigint(""));
    EXPECT_FALSE(parse_decimal_bigint("-1"));
    EXPECT_FALSE(parse_decimal_bigint("1 "));
    EXPECT_EQ(BigInt(-7).div_trunc(BigInt(2)).to_decimal(), "-3");
    EXPECT_EQ(BigInt(-7).rem_trunc(BigInt(2)).to_decimal(), "-1");
    EXPECT_EQ(BigInt(-125).div_pow10_trunc(1).to_decimal(), "-12");
}

TEST(BcNumber, LiteralsRescaleAndPrintedForm) {
    EXPECT_EQ(bc_format_number(bc_parse_literal("1.50")), "1.50");
    EXPECT_EQ(bc_format_number(bc_parse_literal(".5")), ".5");
    EXPECT_EQ(bc_format_number(bc_parse_literal("5.")), "5");
    EXPECT_EQ(bc_format_number(bc_parse_literal("0.05")), ".05");
    EXPECT_EQ(bc_format_number(bc_parse_literal("0.000")), "0");
    EXPECT_EQ(bc_format_number(bc_rescale({BigInt(-125), 2}, 1)), "-1.2");
    // 68 characters stay on one line; more are cut into lines of 68 and a backslash.
    EXPECT_EQ(bc_format_number(bc_parse_literal(std::string(68, '9'))), std::string(68, '9'));
    EXPECT_EQ(bc_format_number(bc_parse_literal(std::string(100, '9'))),
              std::string(68, '9') + "\\\n" + std::string(32, '9'));
    EXPECT_EQ(bc_format_number({BigInt(-1).times_pow10(67), 0}), "-1" + std::string(66, '0') + "\\\n0");
}

TEST(BcCommand, ArithmeticAndScaleRules) {
    expect_cases({
        bc("scale=4; sqrt(2)\n", "1.4142\n"),
        bc("2^100\n", "1267650600228229401496703205376\n"),
        bc("2^300\n",
           "20370359763344860862684456884093781610514683936659362506361404493543\\\n"
           "81299763336706183397376\n"),
        bc("7 % 3; -7 / 2\n", "1\n-3\n"),
        bc("1/3; scale=5; 1/3; scale=2; -7/2\n", "0\n.33333\n-3.50\n"),
        bc("1.50*2; 0.5*0.5; scale=4; 0.5*0.5\n", "3.00\n.2\n.25\n"),
        bc("2^-1; scale=3; 2^-1\n", "0\n.500\n"),
        bc("sqrt(2); sqrt(0)\n", "1\n0\n"),
        bc("scale=2; 7%3; -7%3; 5.5%2; scale=4; 7%3\n", ".01\n-.01\n0\n.0001\n"),
        bc("length(0); scale(3); x; length(123.45); length(.005); scale(1.50); scale(0.000)\n",
           "1\n0\n0\n5\n3\n2\n3\n"),
        bc("007; 1.50; .5; 5.; -.5; 0.000\n", "7\n1.50\n.5\n5\n-.5\n0\n"),
        bc("2^0; 0^0; 2^64; 2^3^2; 10-2-3\n", "1\n1\n18446744073709551616\n512\n5\n"),
        bc("10 == 10.0; 1 != 2; 3 >= 3; 3 <= 2; 2 > 1; 1 < 2\n", "1\n1\n1\n0\n1\n1\n"),
        // Negation covers a power here (the host's bc raises the negated base).
        bc("-2^2\n", "-4\n"),
    });
}

TEST(BcCommand, VariablesAndStatements) {
    expect_cases({
        bc("a = 5; a; ++a; a++; a\n", "5\n6\n6\n7\n"),
        bc("a = b = 3; a + b\n", "6\n"),
        bc("x = 1; x += (x = 5); x\n", "6\n"),
        bc("x = 3; x *= 2; x; x /= 4; x; x %= 1; x ^= 2; x\n", "6\n1\n0\n"),
        bc("for (i = 0; i < 3; i++) i\n", "0\n1\n2\n"),
        bc("i = 0; while (i < 3) { i; i = i + 1 }\n", "0\n1\n2\n"),
        bc("for (;;) break; 5\n", "5\n"),
        bc("if (1) 7\nif (0) 8\n", "7\n"),
        bc("if (1)\n\n 9\n", "9\n"),
        bc("\"abc\"\n", "abc"),
        bc("ibase=10; ibase; obase\n", "10\n10\n"),
        bc("break; 4\n", "4\n"),
        bc("# comment\n/* block\n comment */ 1 2\n", "1\n2\n"),
        // Where the host's bc differs: quit ends the run only when it is executed, a newline
        // inside parentheses joins lines, and 1.2.3 is the two numbers 1.2 and .3.
        bc("quit; 5\n", ""),
        bc("5; quit\n", "5\n"),
        bc("if (0) quit; 6\n", "6\n"),
        bc("while (1) { 1; quit }\n2\n", "1\n"),
        bc("(1 +\n 2)\n", "3\n"),
        bc("1.2.3\n", "1.2\n.3\n"),
        bc("", ""),
    });
}

TEST(BcCommand, RuntimeErrorsEndOnlyTheirStatement) {
    expect_cases({
        bc("1/0; 2\n", "2\n", runtime("Divide by zero")),
        bc("0^-1\n", "", runtime("Divide by zero")),
        bc("2^0.5\n", "", runtime("non-integer exponent")),
        bc("2^4294967296\n", "", runtime("exponent too large")),
        bc("1.5^80001\n", "", runtime("exponent too large")),
        bc("3^400000\n", "", runtime("result too large")),
        bc("sqrt(-1)\n", "", runtime("square root of a negative number")),
        bc("scale=20000; scale\n", "20000\n"),
        bc("scale=20001\n", "", runtime("scale exceeds the supported limit of 20000")),
        bc("scale=-1; scale=1.5; scale\n", "0\n",
           runtime("scale must be a non-negative integer") + runtime("scale must be a non-negative integer")),
        bc("scale=18446744073709551616\n", "", runtime("scale value is out of range")),
        bc("obase=16; ibase=10.0; obase\n", "10\n",
           runtime("only base 10 is supported for ibase/obase") + runtime("only base 10 is supported for ibase/obase")),
        bc("x = 5; x = 1/0; x\n", "5\n", runtime("Divide by zero")),
        bc("x = 10^99999; x = x * 10; y = 10^100000\n", "", runtime("number exceeds the supported digit limit") +
                                                             runtime("number exceeds the supported digit limit")),
    });
}

TEST(BcCommand, SyntaxErrorsRunNothing) {
    expect_cases({
        bc("1\n2 +\n", "", syntax("unexpected token Some(Newline)"), 1),
        bc("1 +\n 2\n", "", syntax("unexpected token Some(Newline)"), 1),
        bc("1 < 2 < 3\n", "", syntax("unexpected token Some(Lt)"), 1),
        bc("x = \"abc\"\n", "", syntax("strings are not valid inside expressions"), 1),
        bc("3 = 4\n", "", syntax("assignment target must be a variable"), 1),
        bc("++3\n", "", syntax("expected a variable, found Some(Num(\"3\"))"), 1),
        bc("sqrt 4\n", "", syntax("expected LParen but found Num(\"4\")"), 1),
        bc("(1", "", syntax("expected RParen but reached end of input"), 1),
        bc("1 +", "", syntax("unexpected token None"), 1),
        bc("if (1) ;\n", "", syntax("unexpected token Some(Semicolon)"), 1),
        bc("x && y\n", "", syntax("logical operator '&' is not supported"), 1),
        bc("!x\n", "", syntax("logical operator '!' is not supported"), 1),
        bc("a[1]\n", "", syntax("arrays are not supported"), 1),
        bc("X\n", "", syntax("unexpected character 'X'"), 1),
        bc("\xC3\xA9\n", "", syntax("unexpected character '\xC3\xA9'"), 1),
        bc("\"abc\n", "", syntax("unterminated string"), 1),
        bc("/* x\n", "", syntax("unterminated comment"), 1),
        bc(". + 1\n", "", syntax("invalid number '.'"), 1),
        bc("1; define f() { }\n", "", syntax("user-defined functions ('define'/'auto'/'return') are not supported"), 1),
        bc("return\n", "", syntax("user-defined functions ('define'/'auto'/'return') are not supported"), 1),
        bc(std::string(100001, '1') + "\n", "", syntax("number exceeds the supported digit limit"), 1),
    });
}

// Reserved words whose statements this bc lacks are refused before anything runs, instead of
// being read as variables (which printed 1, 0 and 2 for the if/else line with status 0).
TEST(BcCommand, UnimplementedKeywordsAreRefused) {
    expect_cases({
        bc("if (1) 1 else 2\n", "", syntax("unsupported keyword 'else'"), 1),
        bc("print 5\n", "", syntax("unsupported keyword 'print'"), 1),
        bc("1; halt\n", "", syntax("unsupported keyword 'halt'"), 1),
        bc("x = read()\n", "", syntax("unsupported keyword 'read'"), 1),
        bc("while (1) continue\n", "", syntax("unsupported keyword 'continue'"), 1),
        bc("last\n", "", syntax("unsupported keyword 'last'"), 1),
        bc("limits\n", "", syntax("unsupported keyword 'limits'"), 1),
        // Longer words and the implemented keywords keep their meaning.
        bc("elsewhere = 2; printer = 3; elsewhere + printer\n", "5\n"),
        bc("for (i = 0; i < 1; i++) { if (1) break }\n", ""),
    });
}

TEST(BcCommand, OptionsAndFiles) {
    Machine m = command_test::fresh_machine();
    command_test::put_file(m, "/tmp/prog.bc", "x = 4\nx * 2");
    auto r = command_test::run_in(m, "bc -q prog.bc", "x + 1\n");
    EXPECT_EQ(r.out, "8\n5\n");
    EXPECT_EQ(r.status, 0);
    r = command_test::run_in(m, "bc missing.bc prog.bc", "");
    EXPECT_EQ(r.err, "bc: missing.bc: No such file or directory: missing.bc\n");
    EXPECT_EQ(r.status, 1);
    expect_cases({
        {"bc -l", "", 2, "bc: -l (math library) is not supported in tarnwick\n", "1\n"},
        {"bc --mathlib", "", 2, "bc: -l (math library) is not supported in tarnwick\n", "1\n"},
        {"bc -s", "", 2, "bc: unsupported option '-s'\n", "1\n"},
        {"bc -", "", 2, "bc: unsupported option '-'\n", "1\n"},
        {"echo '1+1' | bc --quiet", "2\n"},
    });
}

TEST(BcCommand, EndlessLoopsEndOnTheBudget) {
    MachineLimits limits = command_test::kRoomyLimits;
    limits.cpu = 200000;
    Machine m = command_test::fresh_machine(limits);
    auto r = command_test::run_in(m, "bc; echo after $?", "while (1) { }\n");
    EXPECT_EQ(r.status, 137);
    // Deep nesting is refused instead of exhausting the host's stack.
    r = run("bc", std::string(20000, '(') + "1" + std::string(20000, ')') + "\n");
    EXPECT_EQ(r.err, syntax("expression is nested too deeply"));
    r = run("bc", std::string(5000, '(') + "1" + std::string(5000, ')') + "\n");
    EXPECT_EQ(r.out, "1\n");
}

// ---- expr ----

Case expr(std::string args, std::string out, std::int32_t status = 0, std::string err = {}) {
    return {"expr " + args, std::move(out), status, std::move(err)};
}

TEST(ExprCommand, ValuesArithmeticAndComparisons) {
    expect_cases({
        expr("007 + 1", "8\n"),
        expr("007", "7\n"),  // the host's expr echoes 007 unchanged
        expr("00", "0\n", 1),
        expr("' 5'", " 5\n"),
        expr("-- 5", "5\n"),
        expr("-7 % 2", "-1\n"),
        expr("-7 / 2", "-3\n"),
        expr("2 '*' 3 + 1", "7\n"),
        expr("1 + 2 '*' 3", "7\n"),
        expr("10 - 2 - 3", "5\n"),
        expr("123456789012345678901234567890 '*' 10", "1234567890123456789012345678900\n"),
        expr("99999999999999999999 + 1", "100000000000000000000\n"),
        expr("10 '<' 9", "0\n", 1),
        expr("10 '<' 9a", "1\n"),
        expr("abc = abc", "1\n"),
        expr("abc '!=' abd", "1\n"),
        expr("ab '<' abc", "1\n"),
        expr("2 '>=' 02", "1\n"),
        expr("0 '|' ''", "0\n", 1),
        expr("'' '|' ''", "0\n", 1),
        expr("a '|' b", "a\n"),
        expr("0 '|' b", "b\n"),
        expr("a '&' b", "a\n"),
        expr("a '&' 0", "0\n", 1),
        expr("'(' 1 + 2 ')' '*' 3", "9\n"),
    });
}

TEST(ExprCommand, StringKeywordsAndMatching) {
    expect_cases({
        expr("length abc", "3\n"),
        expr("length '\xC3\xA9\xC3\xA9\xC3\xA9'", "3\n"),
        expr("'\xC3\xA9\xC3\xA9\xC3\xA9' : '.*'", "6\n"),  // bytes; the host's expr counts characters
        expr("substr hello 2 3", "ell\n"),
        expr("substr hello 0 3", "\n", 1),
        expr("substr hello 2 99999999999999999999999", "ello\n"),
        expr("substr hello 6 1", "\n", 1),
        expr("index hello ol", "3\n"),
        expr("index hello z", "0\n", 1),
        expr("abc : 'a\\(.\\)'", "b\n"),
        expr("abc : 'a.'", "2\n"),
        expr("abc : 'x\\(.\\)'", "\n", 1),
        expr("abc : b", "0\n", 1),
        expr("match abc 'a\\(b*\\)'", "b\n"),
        expr("+ length", "length\n"),
        expr("length + 2", "1\n"),
        expr("length 1 + 2", "3\n"),
    });
}

// The host's expr words some of these messages differently (curly quotes, no operand named).
TEST(ExprCommand, ErrorsAndStatuses) {
    expect_cases({
        expr("", "", 2, "expr: missing operand\nTry 'expr --help' for more information.\n"),
        expr("--", "", 2, "expr: missing operand\nTry 'expr --help' for more information.\n"),
        expr("7 / 0", "", 2, "expr: division by zero\n"),
        expr("7 % 0", "", 2, "expr: division by zero\n"),
        expr("a + 1", "", 2, "expr: non-integer argument 'a'\n"),
        expr("substr abc x 1", "", 2, "expr: non-integer argument 'x'\n"),
        expr("1 +", "", 2, "expr: syntax error: missing argument after '+'\n"),
        expr("'(' 1 2 ')'", "", 2, "expr: syntax error: expecting ')' but got '2'\n"),
        expr("1 2", "", 2, "expr: syntax error: unexpected argument '2'\n"),
        expr("a : '\\(a'", "", 2, "expr: invalid regular expression: missing closing parenthesis at offset 7\n"),
        expr("a : '\\1'", "", 2, "expr: invalid regular expression: backreferences are not supported\n"),
    });
}

TEST(ExprCommand, NestingAndNumberLimits) {
    std::string open, close;
    for (int i = 0; i < 999; ++i) {
        open += "'(' ";
        close += " ')'";
    }
    auto r = run("expr " + open + "1" + close);
    EXPECT_EQ(r.out, "1\n");
    r = run("expr '(' " + open + "1" + close + " ')'");
    EXPECT_EQ(r.err, "expr: syntax error: expression is nested too deeply\n");
    EXPECT_EQ(r.status, 2);
    // 100000 digits are an integer; their square is too large.
    r = run("n=$(printf '9%.0s' $(seq 100000)); expr $n '*' $n");
    EXPECT_EQ(r.err, "expr: number too large\n");
    EXPECT_EQ(r.status, 2);
    // 100001 digits are a text.
    r = run("n=$(printf '9%.0s' $(seq 100001)); expr $n + 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, 28), "expr: non-integer argument '");
}

}  // namespace
}  // namespace tw
