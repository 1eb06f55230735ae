// The awk command: a table of programs beside the host's awk, options and inputs, the refusals of
// the front end, runtime errors, formatting, and the budgets a program runs under.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "case_fixture.h"
#include "commands/awk/lexer.h"
#include "commands/awk/runtime.h"
#include "kernel/meter.h"

namespace tw::command_test {
namespace {

// A program run here and, for comparison, by the host's awk (mawk). `host` is what that awk
// prints where this awk deliberately differs (nothing when both agree), and `note` says why.
struct HostCase {
    const char* name;
    std::string source;
    std::string input;
    std::string out;
    std::int32_t status;
    std::optional<std::string> host;
    const char* note;
};

const HostCase kHostCases[] = {
    {"fields and NF", "awk '{print $2, NF}'", "a b\nc d\n", "b 2\nd 2\n", 0, std::nullopt, ""},
    {"sum with -F", "awk -F: '{s+=$3} END {print s}'", "a:b:1\nc:d:2\ne:f:39\n", "42\n", 0, std::nullopt, ""},
    {"NR and $0", "awk '{print NR \": \" $0}'", "x\ny\n", "1: x\n2: y\n", 0, std::nullopt, ""},
    {"OFS and field assignment", "awk 'BEGIN{OFS=\"-\"} {$2=\"X\"; print}'", "a b c\n", "a-X-c\n", 0, std::nullopt, ""},
    {"assignment past NF", "awk '{$5=\"e\"; print; print NF}'", "a b\n", "a b   e\n5\n", 0, std::nullopt, ""},
    {"$0 assignment resplits", "awk '{$0=\"p q r\"; print NF, $3}'", "x\n", "3 r\n", 0, std::nullopt, ""},
    {"default FS trims blanks", "awk '{print NF, $1, $2}'", "  a   b  \n", "2 a b\n", 0, std::nullopt, ""},
    {"comma FS keeps empty fields", "awk -F, '{print NF}'", "a,,b,\n\n", "4\n1\n", 0, "4\n0\n", "an empty record split by a pattern has one empty field"},
    {"regex FS", "awk -F '[:;]+' '{print $3}'", "a:;b;c\n", "c\n", 0, std::nullopt, ""},
    {"-v and operand assignments", "awk -v x=1 '{print x, y, $0}' y=2 -", "r\n", "1 2 r\n", 0, std::nullopt, ""},
    {"associative arrays", "awk '{c[$1]++} END{for (k in c) print k, c[k]}'", "b\na\nb\n", "a 1\nb 2\n", 0, "b 2\na 1\n", "for (k in a) visits the keys in byte order"},
    {"in and delete", "awk 'BEGIN{a[1]; a[2]=2; delete a[1]; print (1 in a), (2 in a), length(a[2])}'", "", "0 1 1\n", 0, std::nullopt, ""},
    {"multi-subscript", "awk 'BEGIN{a[1,2]=3; for (k in a) {split(k, p, SUBSEP); print p[1] p[2]}}'", "", "1\x1c""2\n", 0, "12\n", "no SUBSEP variable: subscripts are joined by the byte 0x1C"},
    {"split", "awk 'BEGIN{n = split(\"a:b:c\", p, \":\"); print n, p[1], p[3]}'", "", "3 a c\n", 0, std::nullopt, ""},
    {"split on blanks", "awk 'BEGIN{n = split(\"  a b  c \", p); print n, p[3]}'", "", "3 c\n", 0, std::nullopt, ""},
    {"sub and gsub", "awk '{sub(/o+/, \"0\"); gsub(/a/, \"<&>\"); print}'", "foo bar baz\n", "f0 b<a>r b<a>z\n", 0, std::nullopt, ""},
    {"gsub counts and escapes", "awk 'BEGIN{s=\"aaa\"; n=gsub(/a/, \"\\\\&\", s); print n, s}'", "", "3 &&&\n", 0, std::nullopt, ""},
    {"gsub empty matches", "awk 'BEGIN{s=\"abc\"; gsub(/x*/, \"-\", s); print s; t=\"baaac\"; gsub(/a*/, \"-\", t); print t}'", "", "-a-b-c-\n-b-c-\n", 0, std::nullopt, ""},
    {"match", "awk 'BEGIN{print match(\"foobar\", /o+/), RSTART, RLENGTH; print match(\"abc\", /z/), RSTART, RLENGTH}'", "", "2 2 2\n0 0 -1\n", 0, std::nullopt, ""},
    {"substr", "awk 'BEGIN{print substr(\"hello\", 2), substr(\"hello\", 2, 3), substr(\"hello\", 0, 2), substr(\"hello\", -1)}'", "", "ello ell he hello\n", 0, std::nullopt, ""},
    {"index and length", "awk '{print index($0, \"lo\"), length(), length($1)}'", "hello world\n", "4 11 5\n", 0, std::nullopt, ""},
    {"tolower and toupper", "awk '{print tolower($0), toupper($0)}'", "MiXeD\n", "mixed MIXED\n", 0, std::nullopt, ""},
    {"sprintf and printf", "awk 'BEGIN{printf \"%5s|%-5s|%05d|%.2f|%c|%c\\n\", \"ab\", \"cd\", 42, 3.14159, 65, \"hi\"; x = sprintf(\"%d-%i\", 7.9, -2.5); print x}'", "", "   ab|cd   |00042|3.14|A|h\n7--2\n", 0, std::nullopt, ""},
    {"printf %e", "awk 'BEGIN{printf \"%e %e %.2e\\n\", 1234.5, 0.00012, 0}'", "", "1.234500e+03 1.200000e-04 0.00e+00\n", 0, std::nullopt, ""},
    {"printf %s precision", "awk 'BEGIN{printf \"[%.3s][%8.2s][%-4d]\\n\", \"abcdef\", \"xyz\", 5}'", "", "[abc][      xy][5   ]\n", 0, std::nullopt, ""},
    {"integers print exactly", "awk 'BEGIN{print 2*3, 100000*100000, -7, 1e6}'", "", "6 10000000000 -7 1000000\n", 0, "6 1e+10 -7 1000000\n", "integral numbers print as integers up to 1e18, without an output format"},
    {"number formats", "awk 'BEGIN{print 1/3, 0.1+0.2, 1e-7}'", "", "0.3333333333333333 0.30000000000000004 0.0000001\n", 0, "0.333333 0.3 1e-07\n", "numbers print in the shortest form that reads back exactly"},
    {"string to number prefix", "awk 'BEGIN{print \"3abc\"+0, \"10kb\"+1, \" 12 \"+1, \".5x\"*2}'", "", "3 11 13 1\n", 0, std::nullopt, ""},
    {"uninitialized compares as 0 and empty", "awk 'BEGIN{print (x == 0), (x == \"\"), length(x), x+0}'", "", "1 1 0 0\n", 0, std::nullopt, ""},
    {"numeric strings compare as numbers", "awk '{print ($1 < $2)}'", "10 9\nabc abd\n", "0\n1\n", 0, std::nullopt, ""},
    {"string constant comparison", "awk 'BEGIN{print (\"10\" < \"9\")}'", "", "0\n", 0, "1\n", "string constants that look numeric compare as numbers"},
    {"truth of strings", "awk 'BEGIN{if (\"0\") print \"a\"; if (\"a\") print \"b\"; if (0.0) print \"c\"}'", "", "b\n", 0, "a\nb\n", "a string constant that looks numeric is true when its number is not 0"},
    {"regex pattern and !~", "awk '/a/ {print \"has a:\", $0} $0 !~ /b/ {print \"no b:\", $0}'", "abc\nxa\ny\n", "has a: abc\nhas a: xa\nno b: xa\nno b: y\n", 0, std::nullopt, ""},
    {"comparison pattern and next", "awk 'NR==2 {next} {print}'", "1\n2\n3\n", "1\n3\n", 0, std::nullopt, ""},
    {"exit code and END", "awk '{print; exit 3} END{print \"end\"}'", "a\nb\n", "a\nend\n", 3, std::nullopt, ""},
    {"while, for, break, continue", "awk 'BEGIN{while (1) {if (++i > 3) break}; for (j=0; j<5; j++) {if (j==2) continue; s = s j}; print i, s}'", "", "4 0134\n", 0, std::nullopt, ""},
    {"increment and compound assignment", "awk 'BEGIN{x = 5; x += 2; x *= 3; x -= 1; x /= 4; x %= 3; print x, x++, ++x, x--, x}'", "", "2 2 4 4 3\n", 0, std::nullopt, ""},
    {"subscript evaluated once", "awk 'BEGIN{i = 1; a[i++] += 5; print i, a[1], a[2]}'", "", "2 5 \n", 0, std::nullopt, ""},
    {"concatenation and precedence", "awk 'BEGIN{print 1 \" \" 2+3 \" \" 2*3-1, -2 \" \" !0}'", "", "1 5 5 -2 1\n", 0, std::nullopt, ""},
    {"modulus and negative", "awk 'BEGIN{print 5 % 3, -5 % 3, 5.5 % 2, int(-3.9), int(\"4x\")}'", "", "2 -2 1.5 -3 4\n", 0, std::nullopt, ""},
    {"FS change applies to next record", "awk '{FS=\":\"; print $1}'", "a:b c\nd:e f\n", "a:b\nd\n", 0, std::nullopt, ""},
    {"ORS", "awk 'BEGIN{ORS=\"|\"} {print}'", "a\nb\n", "a|b|", 0, std::nullopt, ""},
    {"CRLF input", "awk '{print length($0)}'", "ab\r\ncd\r\n", "2\n2\n", 0, "3\n3\n", "a carriage return before a line end is dropped"},
    {"last line without newline", "awk '{print NR, $0}'", "a\nb", "1 a\n2 b\n", 0, std::nullopt, ""},
    {"FILENAME on standard input", "awk 'END{print NR, FNR}'", "a\nb\n", "2 2\n", 0, std::nullopt, ""},
    {"print with parentheses", "awk '{print($1, $2)}'", "a b\n", "a b\n", 0, std::nullopt, ""},
    {"log", "awk 'BEGIN{print log(1), int(log(100)*1000)}'", "", "0 4605\n", 0, std::nullopt, ""},
    {"nested arrays loop sorted keys", "awk 'BEGIN{a[\"b\"]; a[\"a\"]=1; a[\"c\"]=1; for (k in a) n++; print n}'", "", "2\n", 0, "3\n", "reading a missing element does not create it"},
    {"one-character separators are patterns", "awk '-F|' '{print NF, $2}'", "a|b.c\n", "7 a\n", 0, "2 b.c\n", "a pattern FS: \"|\" matches the empty text (a single character is not taken literally)"},
    {"dot separator", "awk -F. '{print NF}'", "a.b\n", "4\n", 0, "2\n", "a pattern FS: \".\" matches every character"},
    {"the operand of $ takes a postfix increment", "awk '{i=1; print $i++; print i}'", "a b\n", "a\n2\n", 0, "0\n1\n", "$ applies to the whole unary operand: $i++ is $(i++)"},
    {"characters, not bytes", "awk 'BEGIN{print index(\"héllo\",\"l\"), length(\"héllo\"), toupper(\"é\")}'", "", "3 5 É\n", 0, "4 6 é\n", "positions and lengths count characters; case mapping covers Unicode"},
    {"a field past NF equals 0", "awk '{print ($3 == 0)}'", "x\n", "1\n", 0, "0\n", "a missing field is uninitialized: equal to both 0 and \"\""},
    {"no hexadecimal numbers", "awk 'BEGIN{printf \"%d\\n\", \"0x1A\"}'", "", "0\n", 0, "26\n", "text converts by its longest decimal prefix"},
    {"a BEGIN-only program reads its inputs", "awk 'BEGIN{print \"x\"}' missing-file", "", "", 2, "x\n", "every input is read before BEGIN: an unreadable one stops the program"},
};

TEST(AwkHost, ProgramsGiveTheTabledOutput) {
    for (const HostCase& c : kHostCases) {
        SCOPED_TRACE(c.name);
        Ran r = run(c.source, c.input);
        EXPECT_EQ(r.out, c.out);
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(r.status, c.status);
        // A difference from the host is always explained.
        EXPECT_EQ(c.host.has_value(), std::string_view(c.note) != "");
    }
}

// The table was made beside mawk: where that awk is installed, it prints what the table says.
TEST(AwkHost, HostAwkAgreesWhereTheTableSaysSo) {
    constexpr const char* kHostAwk = "/usr/bin/mawk";
    if (access(kHostAwk, X_OK) != 0) GTEST_SKIP() << "no mawk on this host";
    const std::filesystem::path input = std::filesystem::temp_directory_path() / fmt::format("tw-awk-{}", getpid());
    for (const HostCase& c : kHostCases) {
        SCOPED_TRACE(c.name);
        {
            std::ofstream f(input, std::ios::binary);
            f << c.input;
        }
        const std::string command = fmt::format("cd /tmp && {} < {}", std::string(kHostAwk) + c.source.substr(3), input.string());
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buf[4096];
        while (std::size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
        const int status = pclose(pipe);
        EXPECT_EQ(out, c.host.value_or(c.out));
        if (!c.host) {
            EXPECT_EQ(WEXITSTATUS(status), c.status);
        }
    }
    std::filesystem::remove(input);
}

TEST(AwkCommand, WhatMustWork) {
    expect_cases({
        {"printf 'a b\\nc d\\n' | awk '{print $2, NF}'", "b 2\nd 2\n"},
        {"printf 'x:y:3\\nx:y:4\\n' | awk -F: '{s+=$3} END {print s}'", "7\n"},
        {"awk 'BEGIN{print 1/3}'", "0.3333333333333333\n"},
        {"printf 'a b\\n' | awk 'BEGIN{OFS=\"-\"} {$1=\"x\"; print; print NR, NF, FS \"|\" RS \"|\"}'",
         "x-b\n1-2- |\n|\n"},
        {"awk -v 'n=3' 'BEGIN { for (i = 1; i <= n; i++) a[i] = i * i; delete a[2]; for (k in a) print k, a[k]; "
         "print (2 in a), (3 in a) }'",
         "1 1\n3 9\n0 1\n"},
        {"awk 'BEGIN { s = \"Hello, World\"; n = split(s, w, \", \"); print n, w[2]; sub(/o/, \"0\", s); "
         "gsub(/l/, \"L\", s); print s; print match(s, /W.r/), RSTART, RLENGTH; print substr(s, 1, 5), index(s, \"W\"), "
         "length(s), tolower(s), toupper(s); printf \"%s=%d\\n\", \"x\", 42; print sprintf(\"%05.1f\", 3.14159) }'",
         "2 World\nHeLL0, WorLd\n8 8 3\nHeLL0 8 12 hell0, world HELL0, WORLD\nx=42\n003.1\n"},
    });
}

TEST(AwkCommand, OptionsAndOperands) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/p1.awk", "BEGIN { x = 1 }");
    put_file(m, "/tmp/p2.awk", "BEGIN { print x, \"two\" }\n");
    put_file(m, "/tmp/data", "d1\nd2\n");
    put_file(m, "/tmp/bad.awk", "BEGIN { print 1 }\n\\");
    const Case cases[] = {
        {"gawk --help", "usage: awk [-F SEP] [-v NAME=VALUE] [-f PROGRAM] [PROGRAM] [FILE...]\n"},
        {"mawk -q 1", "", 2, "awk: unsupported option '-q'\n"},
        {"nawk -q 1", "", 2, "awk: unsupported option '-q'\n"},
        {"awk --posix 1", "", 2, "awk: unsupported option '--posix'\n"},
        {"awk", "", 2, "awk: missing program\n"},
        {"awk -v 1x=3 1", "", 2, "awk: invalid variable assignment '1x=3'\n"},
        {"awk -v =3 1", "", 2, "awk: invalid variable assignment '=3'\n"},
        {"echo a:b | awk -F: '{print $2}'", "b\n"},
        {"echo a:b | awk -F : '{print $2}'", "b\n"},
        {"echo a:b | awk --field-separator=: '{print $2}'", "b\n"},
        {"echo 'a:b,c;d' | awk -F: -v FS=, '{print $2}'", "c;d\n"},
        {"echo 'a:b,c;d' | awk -F: -v FS=, '{print $2}' 'FS=;'", "d\n"},
        // Assignments take effect before BEGIN, wherever they stand.
        {"awk '{print v, $0}' data v=7", "7 d1\n7 d2\n"},
        {"awk 'BEGIN{print v}' v=7 </dev/null", "7\n"},
        {"awk -v 'v=a\\tb' -v w==b 'BEGIN{print v, w}'", "a\\tb =b\n"},
        {"awk '{print}' 1x=2", "", 2, "awk: 1x=2: No such file or directory: 1x=2\n"},
        {"awk -f p1.awk -f p2.awk", "1 two\n"},
        {"awk -f bad.awk", "", 2, "awk: unexpected character '\\' at byte 18\n"},
        {"awk -f none.awk", "", 2, "awk: none.awk: No such file or directory: none.awk\n"},
        {"awk -v NR=1 1", "", 2, "awk: assignment to 'NR' is not supported\n"},
        {"awk 1 FILENAME=x", "", 2, "awk: assignment to 'FILENAME' is not supported\n"},
        {"awk -F '[' 1", "", 2, "awk: invalid field separator: missing terminating ] for character class at offset 1\n"},
        // An unreadable input stops the command before BEGIN.
        {"awk 'BEGIN{print \"begun\"}' data missing", "", 2, "awk: missing: No such file or directory: missing\n"},
        {"echo x | awk '{print FILENAME, $0}'", "- x\n"},
        {"echo x | awk '{print FILENAME, $0}' - -", "- x\n"},
        {"awk 'END{print NR, FNR, FILENAME}' data data", "4 2 data\n"},
        {"awk 'BEGIN{print \"only\"}' < data", "only\n"},
        {"printf 'a\\r\\nb' | awk '{print NR \":\" $0 \"|\"}'", "1:a|\n2:b|\n"},
        {"printf 'a\\n\\n' | awk '{print NR \":\" $0 \"|\"}'", "1:a|\n2:|\n"},
        {"printf '\\377\\n' | awk 1", "", 2, "awk: input is not valid UTF-8\n"},
        {"printf '\\377\\n' > bin; awk 1 data bin", "", 2, "awk: bin: input is not valid UTF-8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(AwkCommand, FrontEndRefusals) {
    const Case cases[] = {
        {"awk ''", "", 2, "awk: empty program\n"},
        {"awk ' ; # only a comment'", "", 2, "awk: empty program\n"},
        {"awk 'BEGIN { print 1 }\\\n'", "", 2, "awk: unexpected character '\\' at byte 17\n"},
        {"awk 'BEGIN { x = 1 ? 2 : 3 }'", "", 2, "awk: unexpected character '?' at byte 14\n"},
        {"awk 'BEGIN { x = 2 ^ 3 }'", "", 2, "awk: unexpected character '^' at byte 14\n"},
        {"awk 'BEGIN { print 1 | \"cat\" }'", "", 2, "awk: unexpected character '|' at byte 16\n"},
        {"awk 'BEGIN { print \"a\\'", "", 2, "awk: unterminated string escape\n"},
        {"awk 'BEGIN { print \"a'", "", 2, "awk: unterminated string literal\n"},
        {"awk 'BEGIN { print \"a\n\" }'", "", 2, "awk: newline in string literal\n"},
        {"awk 'BEGIN { print 1.2.3 }'", "", 2, "awk: invalid number '1.2.3';\n"},
        {"awk 'BEGIN { print 1e }'", "", 2, "awk: invalid number '1e';\n"},
        {"awk '{ getline }'", "", 2, "awk: unsupported keyword 'getline'\n"},
        {"awk 'function f() {}'", "", 2, "awk: unsupported keyword 'function'\n"},
        {"awk '/a\n/'", "", 2, "awk: newline in regular expression\n"},
        {"awk '/abc'", "", 2, "awk: unterminated regular expression\n"},
        {"awk 'BEGIN { if 1 }'", "", 2, "awk: expected '(' after if; found Number(1.0)\n"},
        {"awk 'BEGIN { if (x\n) y }'", "", 2, "awk: expected ')' after if condition; found Semicolon\n"},
        {"awk 'BEGIN { for (k in (a)) x }'", "", 2, "awk: expected ';' in for clause; found RParen\n"},
        {"awk 'BEGIN { while (x) ; }'", "", 2, "awk: expected expression, found RBrace\n"},
        {"awk 'BEGIN { print 1 > \"f\" }'", "", 2, "awk: output redirection is not supported\n"},
        {"awk 'BEGIN { print 1 >> \"f\" }'", "", 2, "awk: expected expression, found Greater\n"},
        {"awk 'BEGIN { printf() }'", "", 2, "awk: printf requires a format expression\n"},
        {"awk 'BEGIN { delete a }'", "", 2, "awk: delete requires an array element\n"},
        {"awk 'BEGIN { 1 = 2 }'", "", 2, "awk: assignment target is not writable\n"},
        {"awk 'BEGIN { x = 1++ }'", "", 2, "awk: increment target is not writable\n"},
        {"awk 'BEGIN { a[] = 1 }'", "", 2, "awk: array index cannot be empty\n"},
        {"awk 'BEGIN { substr(\"a\", 1)(2) }'", "", 2, "awk: only named functions can be called\n"},
        {"awk 'BEGIN { a[1][2] = 1 }'", "", 2, "awk: only named arrays can be indexed\n"},
        {"awk 'BEGIN { f(1, 2 }'", "", 2, "awk: unterminated argument or index list; found RBrace\n"},
        {"awk 'BEGIN { x = \"a\" }, y'", "", 2, "awk: expected expression, found Comma\n"},
        {"awk '{ x } /a/ { y }'", "", 2, "awk: expected expression, found Slash\n"},
        {"awk 'BEGIN {'", "", 2, "awk: unterminated statement block\n"},
        // The check refuses what never runs.
        {"awk 'BEGIN { if (0) frob(1) }'", "", 2, "awk: unsupported function 'frob'\n"},
        {"awk 'BEGIN { if (0) x = /a(/ }'", "", 2,
         "awk: invalid regular expression: missing closing parenthesis at offset 2\n"},
        {"awk 'BEGIN { NR = 5 }'", "", 2, "awk: assignment to 'NR' is not supported\n"},
        {"awk '{ NF++ }'", "", 2, "awk: assignment to 'NF' is not supported\n"},
        {"awk 'BEGIN { for (FILENAME in a) print }'", "", 2, "awk: assignment to 'FILENAME' is not supported\n"},
        {"awk '/[/ { print } BEGIN { f() }'", "", 2,
         "awk: invalid regular expression: missing terminating ] for character class at offset 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Machine m = fresh_machine();
        Ran r = run_in(m, c.source, "x\n");
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        // Each refusal is also recorded as an unsupported feature.
        const std::string label = "awk:" + c.err.substr(5, c.err.size() - 6);
        const auto& labels = m.unsupported_labels.labels();
        EXPECT_NE(std::find(labels.begin(), labels.end(), label), labels.end()) << label;
    }
}

TEST(AwkCommand, GrammarCorners) {
    expect_cases({
        // Newlines between a pattern and its brace, before else, and inside an empty block.
        {"awk 'BEGIN\n{ print \"b\" }\nEND {\n}'", "b\n"},
        {"awk 'BEGIN { if (x) print 1; else print 2 }'", "2\n"},
        {"awk 'BEGIN'", "\n"},
        {"echo a b | awk '$1 == \"a\"'", "a b\n"},
        // A name before parentheses is a call; two names side by side are a concatenation.
        {"awk 'BEGIN { x = \"a\"; y = \"b\"; print length (x y), x y }'", "2 ab\n"},
        {"awk 'BEGIN { print length }'", "\n"},
        {"awk 'BEGIN { exit 1 2 }'; echo $?", "12\n"},
        {"echo 5 | awk '{ print $NF-1, -$1 }'", "4 -5\n"},
        {"awk 'BEGIN { x = y = 3; print x y, 10 - 2 - 3, !1 ~ 0 }'", "33 5 1\n"},
        // A parenthesized first argument followed by more of an expression is not cut short.
        {"echo a b | awk '{ print ($1) \"-\" $2; print ($1, $2) }'", "a-b\na b\n"},
        // "do" is a name: what follows the while condition is that loop's body.
        {"awk 'BEGIN { do { x++ } while (x < 3) }'", "", 2, "awk: expected expression, found RBrace\n"},
    });
}

TEST(AwkCommand, RuntimeErrorsAndExits) {
    expect_cases({
        {"awk 'BEGIN { print \"a\"; print 1/0; print \"b\" }'", "a\n", 2, "awk: division by zero\n"},
        {"awk 'BEGIN { x /= 0 }'", "", 2, "awk: division by zero\n"},
        {"awk 'BEGIN { print 1 % 0 }'", "", 2, "awk: division by zero\n"},
        {"awk 'BEGIN { print 0 && (1/0), 1 || (1/0) }'", "0 1\n"},
        {"echo 1 | awk '{ print (k in $1) }'", "", 2, "awk: right side of 'in' must be an array name\n"},
        {"awk 'BEGIN { substr(\"x\") }'", "", 2, "awk: substr expects 2 to 3 arguments, got 1\n"},
        {"awk 'BEGIN { sprintf() }'", "", 2, "awk: sprintf expects at least 1 arguments, got 0\n"},
        {"awk 'BEGIN { index(1) }'", "", 2, "awk: index expects 2 arguments, got 1\n"},
        {"awk 'BEGIN { sub(/a/, \"b\", \"lit\") }'", "", 2, "awk: sub target is not writable\n"},
        {"awk 'BEGIN { split(\"a\", x y) }'", "", 2, "awk: split second argument must be an array name\n"},
        {"awk 'BEGIN { split(\"a\", p, \"(\") }'", "", 2,
         "awk: invalid field separator: missing closing parenthesis at offset 1\n"},
        {"awk 'BEGIN { print \"a\" ~ \"(\" }'", "", 2,
         "awk: invalid regular expression: missing closing parenthesis at offset 1\n"},
        {"printf 'a\\nb\\n' | awk '{ print } NR == 1 { FS = \"[\" }'", "a\n", 2,
         "awk: invalid field separator: missing terminating ] for character class at offset 1\n"},
        {"awk 'BEGIN { break }'", "", 2, "awk: loop control outside loop in BEGIN\n"},
        {"echo x | awk '{ continue }'", "", 2, "awk: loop control outside loop in record action\n"},
        {"awk 'BEGIN { next } END { print \"end\" }'", "", 2, "awk: record control in BEGIN\n"},
        {"awk 'END { nextfile }' </dev/null", "", 2, "awk: record control in END\n"},
        {"printf '1\\n2\\n' | awk 'BEGIN { exit 3 } { print } END { print \"end\" }'", "end\n", 3},
        {"printf '1\\n2\\n' | awk '{ print; exit } END { exit 4 }'", "1\n", 4},
        {"awk 'BEGIN { exit \"x\" }'", "", 0},
        {"awk 'BEGIN { exit -1 }'; echo $?; awk 'BEGIN { exit 1e12 }'; echo $?", "255\n255\n"},
        {"printf '1\\n2\\n' > a; printf '3\\n4\\n' > b; awk 'FNR == 2 { nextfile } { print }' a b", "1\n3\n"},
    });
}

TEST(AwkCommand, ValuesAndFields) {
    expect_cases({
        {"awk 'BEGIN { print 2*3, 1000000*1000000*1000000, -0, 100000*100000, 0.1+0.2, 1e-7, -x }'",
         "6 1000000000000000000 -0 10000000000 0.30000000000000004 0.0000001 -0\n"},
        {"awk 'BEGIN { print 1e23, 2*2^0 }' 2>/dev/null; awk 'BEGIN { print 1e23, 1e300*1e300, -1e300*1e300, log(-1) }'",
         "99999999999999991611392 inf -inf NaN\n"},
        {"awk 'BEGIN { print \"0x1A\"+0, \"nan\"+0, \"+5\"+0, \"1e3x\"+0, \".\"+0 }'", "0 NaN 5 1000 0\n"},
        {"awk 'BEGIN { if (\"0\") print \"t\"; if (\" 0 \") print \"u\"; if (\"a\") print \"v\"; if (u) print \"w\" }'",
         "v\n"},
        {"awk 'BEGIN { print (\"abc\" < \"abd\"), (\"a\" < \"ab\"), (x < 1), (x < \"a\") }'", "1 1 1 1\n"},
        {"awk 'BEGIN { x = \"abc\"; y = x++; print y, x; print z++; print z }'", "abc 1\n\n1\n"},
        {"awk 'BEGIN { i = 1; a[i] = i++; print a[1] \"|\" a[2] }'", "|1\n"},
        {"awk 'BEGIN { a[1, 2] = 5; print a[\"1\", 2], length(a[1 SUBSEP 2]); for (k in a) print length(k) }'",
         "5 0\n3\n"},
        {"awk 'BEGIN { a[0.1+0.2] = 1; for (k in a) print k; a[\"01\"]; print (1 in a), (\"b\" in a) }'",
         "0.30000000000000004\n0 0\n"},
        {"echo '  a   b  ' | awk '{ print NF, $1, $2; $1 = \"x\"; print }'", "2 a b\nx b\n"},
        {"echo 'a,,b,' | awk -F, '{ print NF; $2 = \"m\"; print }'", "4\na m b \n"},
        {"echo abc | awk -F. '{ print NF }'", "4\n"},
        // Long fields, tabs and a no-break space (Unicode white space) between them.
        {"printf 'abcdefghijkl\\tmnopqrstuvwxyzab  yzabcdefgh\\302\\240ijklmnopqrstuvwx\\n' | awk '{ print NF, $2, $3, $4 }'",
         "4 mnopqrstuvwxyzab yzabcdefgh ijklmnopqrstuvwx\n"},
        {"echo 'a|b' | awk -F'|' '{ print NF }'", "5\n"},
        {"echo 'a  b' | awk -F'  ' '{ print $2 }'", "b\n"},
        {"awk -F, 'BEGIN { print NF }'", "0\n"},
        {"echo 'x y z' | awk '{ $0 = \"p q\"; print NF, $(-1), $\"2\", $1.9 \"|\" $(NF+1) \"|\" NF }'",
         "2 p q q p||2\n"},
        {"printf 'a:b\\nc:d\\n' | awk '{ FS = \":\"; print $1; $0 = $0; print $1 }'", "a:b\na\nc\nc\n"},
        {"echo 'é b' | awk '{ print length($1), substr(\"añb\", 2, 1), index(\"añb\", \"b\"), toupper(\"straße\") }'",
         "1 ñ 3 STRASSE\n"},
        {"echo ' a ' | awk '{ n = sub(/z/, \"y\"); print n, NF, \"[\" $0 \"]\" }'", "0 1 [ a ]\n"},
        {"echo abc | awk '{ sub(/b/, \"[$1\\\\\\\\&]\"); print }'", "a[$1\\b]c\n"},
        {"awk 'BEGIN { s = \"aaa\"; print gsub(/a/, \"<&>\", s), s; print split(\"\", p), (1 in p) }'",
         "3 <a><a><a>\n0 0\n"},
        {"awk 'BEGIN { print substr(\"hello\", 0), substr(\"hello\", 1.9), substr(\"hello\", -3, 2) \"|\" substr(\"hello\", 3, -1) \"|\" }'",
         "hello hello he||\n"},
    });
}

TEST(AwkCommand, Printf) {
    expect_cases({
        {"awk 'BEGIN { printf \"%5s|%-5s|%05d\\n\", \"ab\", \"cd\", 42 }'", "   ab|cd   |00042\n"},
        {"awk 'BEGIN { printf \"%05d|%+d % d|%d %d %i\\n\", -42, 5, 5, \"3abc\", 2.9, -2.9 }'", "00-42|5 5|3 2 -2\n"},
        {"awk 'BEGIN { printf \"%.2f %e %e %e\\n\", 3.14159, 1234.5, 0.00012, 0 }'",
         "3.14 1.234500e+03 1.200000e-04 0.000000e+00\n"},
        {"awk 'BEGIN { printf \"%.0f %.0f %f %e %g %g\\n\", 2.5, 3.5, \"nan\", -1e400, 0.1+0.2, 100 }'",
         "2 4 NaN -inf 0.30000000000000004 100\n"},
        {"awk 'BEGIN { printf \"%.3s|%s|%-3c|%c%c%c|%%d\\n\", \"abcdef\", \"x\", \"xyz\", 65, 233, \"é\" }'",
         "abc|x|x  |Aéé|%d\n"},
        {"awk 'BEGIN { printf \"%c\", \"\" }' | wc -c", "1\n"},
        {"awk 'BEGIN { printf \"%d %d\\n\", 1e30, -1e30 }'", "9223372036854775807 -9223372036854775808\n"},
        {"awk 'BEGIN { printf \"%x\", 255 }'", "", 2, "awk: unsupported printf conversion '%x'\n"},
        {"awk 'BEGIN { printf \"%#o\" }'", "", 2, "awk: unsupported printf flag '#'\n"},
        {"awk 'BEGIN { printf \"50%\" }'", "", 2, "awk: unterminated printf conversion\n"},
        {"awk 'BEGIN { printf \"%5\" }'", "", 2, "awk: unterminated printf conversion\n"},
        {"awk 'BEGIN { printf \"%999999999999999999999d\" }'", "", 2, "awk: printf width is too large\n"},
        {"awk 'BEGIN { printf \"%.999999999999999999999d\" }'", "", 2, "awk: printf precision is too large\n"},
        {"awk 'BEGIN { x = sprintf(\"%q\") }'", "", 2, "awk: unsupported printf conversion '%q'\n"},
    });
}

// A compound assignment, an increment and a substitution evaluate their target's subscripts and
// field operand once.
TEST(AwkCommand, TargetsAreEvaluatedOnce) {
    expect_cases({
        {"awk 'BEGIN { i = 1; a[i++] += 5; print i, a[1], a[2] }'", "2 5 \n"},
        {"awk 'BEGIN { i = 1; a[i++]++; ++a[i++]; print i, a[1], a[2] }'", "3 1 1\n"},
        {"echo 'x y z' | awk '{ i = 1; $(i++) = \"q\"; $(i++) *= 2; print i, $0 }'", "3 q 0 z\n"},
        {"awk 'BEGIN { i = 1; a[1] = \"aa\"; n = gsub(/a/, \"b\", a[i++]); print n, i, a[1], a[2] }'", "2 2 bb \n"},
    });
}

// A program's output is bounded by the output budget, whether it comes from print or printf.
TEST(AwkBudget, OutputStopsAtTheBudget) {
    for (const char* program : {"awk 'BEGIN { while (1) print }'", "awk 'BEGIN { while (1) printf \"xxxxxxxx\" }'",
                                "awk 'BEGIN { printf \"%99999999d\", 1 }'", "yes | awk '{ print $0 $0 }'"}) {
        SCOPED_TRACE(program);
        Machine m = fresh_machine({.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1ULL << 30, .output = 100'000});
        ActionResult r = m.run_action(program, "");
        EXPECT_EQ(r.outcome.stop_reason, StopReason::output_limit_exceeded);
        EXPECT_EQ(r.outcome.exit_status, 137);
        EXPECT_LE(r.out.size(), 100'000u);
    }
}

TEST(AwkBudget, LoopsEndAtTheCpuBudget) {
    for (const char* program : {"awk 'BEGIN { while (1) { } }'", "awk 'BEGIN { while (1) x++ }'",
                                "awk 'BEGIN { for (;;) s = s }'"}) {
        SCOPED_TRACE(program);
        Machine m = fresh_machine({.cpu = 2'000'000, .memory = 1ULL << 30, .disk = 1ULL << 30, .output = 1 << 20});
        ActionResult r = m.run_action(program, "");
        EXPECT_EQ(r.outcome.stop_reason, StopReason::cpu_exhausted);
        EXPECT_EQ(r.outcome.exit_status, 137);
    }
}

TEST(AwkBudget, GrowingDataEndsAtTheMemoryBudget) {
    for (const char* program :
         {"awk 'BEGIN { while (1) a[i++] = \"0123456789\" }'", "awk 'BEGIN { s = \"x\"; while (1) s = s s }'",
          "awk 'BEGIN { s = \"x\"; while (1) { gsub(/x/, \"xx\", s) } }'",
          "awk 'BEGIN { s = \"x\"; while (1) s = sprintf(\"%s%s\", s, s) }'",
          "awk 'BEGIN { $100000000 = 1 }'"}) {
        SCOPED_TRACE(program);
        Machine m = fresh_machine({.cpu = 10'000'000'000, .memory = 16ULL << 20, .disk = 1ULL << 30, .output = 1 << 20});
        ActionResult r = m.run_action(program, "");
        EXPECT_EQ(r.outcome.stop_reason, StopReason::memory_exhausted);
        EXPECT_EQ(r.outcome.exit_status, 137);
    }
}

// Everything a program held is given back when it ends.
TEST(AwkBudget, MemoryIsReleased) {
    Machine m = fresh_machine();
    const std::uint64_t before = m.run_action("true", "").outcome.usage.memory_current;
    for (const char* program : {"awk 'BEGIN { for (i = 0; i < 1000; i++) a[i] = i; s = \"text\"; split(\"a b\", p) }'",
                                "printf 'a b\\nc d\\n' | awk '{ $3 = \"x\"; n += NF } END { print n }'",
                                "awk 'BEGIN { x = 1/0 }'"}) {
        SCOPED_TRACE(program);
        m.run_action(program, "");
        EXPECT_EQ(m.run_action("true", "").outcome.usage.memory_current, before);
    }
}

// Work is charged in proportion to what is scanned: the same program costs more over more data.
TEST(AwkBudget, ScansAreCharged) {
    const auto cpu = [](const std::string& program) {
        Machine m = fresh_machine();
        ActionResult r = m.run_action(program, "");
        EXPECT_EQ(r.outcome.exit_status, 0) << program;
        return r.outcome.usage.cpu_used;
    };
    const std::string small(1000, 'a'), large(100000, 'a');
    for (const char* call : {"gsub(/b/, \"c\", s)", "index(s, \"b\")", "match(s, /b/)", "toupper(s)", "s ~ /b/"}) {
        SCOPED_TRACE(call);
        const auto program = [&](const std::string& text) {
            return fmt::format("awk 'BEGIN {{ s = \"{}\"; x = {} }}'", text, call);
        };
        EXPECT_GT(cpu(program(large)) - cpu(program(small)), 90000u);
    }
}

TEST(AwkCommand, DeepNesting) {
    const auto nested = [](int depth) {
        return fmt::format("awk 'BEGIN {{ print {}1{} }}'", std::string(depth, '('), std::string(depth, ')'));
    };
    expect_cases({
        {nested(300), "1\n"},
        {nested(600), "", 2, "awk: program is nested too deeply\n"},
        {fmt::format("awk 'BEGIN {{ x = 1{} ; print x }}'", [] {
             std::string s;
             for (int i = 0; i < 1200; ++i) s += "+1";
             return s;
         }()),
         "", 2, "awk: program is nested too deeply\n"},
        {fmt::format("awk 'BEGIN {} print 1 {}'", std::string(1200, '{'), std::string(1200, '}')), "", 2,
         "awk: program is nested too deeply\n"},
    });
}

TEST(AwkFormat, NumbersAndTokens) {
    struct Number {
        double x;
        const char* text;
    };
    for (const Number& n : std::initializer_list<Number>{
             {3, "3"}, {-5, "-5"}, {1e18, "1000000000000000000"}, {1e23, "99999999999999991611392"},
             {18446744073709551616.0, "18446744073709551616"}, {-0.0, "-0"}, {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"},
             {1e-7, "0.0000001"}, {1.5e-300 * 0 + 2.5, "2.5"}})
        EXPECT_EQ(awk_format_number(n.x), n.text);
    EXPECT_EQ(awk_token_display(AwkToken{AwkTokenKind::Number, 2, {}}), "Number(2.0)");
    EXPECT_EQ(awk_token_display(AwkToken{AwkTokenKind::Number, 1e16, {}}), "Number(1e16)");
    EXPECT_EQ(awk_token_display(AwkToken{AwkTokenKind::Number, 0.00001, {}}), "Number(1e-5)");
    EXPECT_EQ(awk_token_display(AwkToken{AwkTokenKind::String, 0, "a\"\t\x01"}), "String(\"a\\\"\\t\\u{1}\")");
    EXPECT_EQ(awk_token_display(AwkToken{AwkTokenKind::Ident, 0, "x"}), "Ident(\"x\")");
}

}  // namespace
}  // namespace tw::command_test
