#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/utf8.h"
#include "commands/search/line_search.h"
#include "run_fixture.h"

namespace tw {
namespace {

using command_test::fresh_machine;
using command_test::run;
using command_test::run_in;

struct Case {
    std::string script;
    std::string input;
    std::string out;
    int status;
};

void expect_cases(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        const auto r = run(c.script, c.input);
        EXPECT_EQ(r.out, c.out) << c.script;
        EXPECT_EQ(r.status, c.status) << c.script << "\n" << r.err;
    }
}

TEST(Grep, SelectsLinesOfStandardInput) {
    expect_cases({
        {"grep -n b", "a\nb\n", "2:b\n", 0},
        {"grep b", "a\nc\n", "", 1},
        {"grep -v a", "a\nb\n", "b\n", 0},
        {"grep -c a", "a\nb\na\n", "2\n", 0},
        {"grep -c z", "a\n", "0\n", 1},
        {"grep -i HELLO", "hello\nx\n", "hello\n", 0},
        {"grep -w foo", "foo\nfoobar\nfoo-bar\n", "foo\nfoo-bar\n", 0},
        {"grep -x foo", "foo\nfoo \n", "foo\n", 0},
        {"grep -wx foo", "foo\n", "foo\n", 0},
        // A word match needs a non-word character (or the line's edge) on each side; a later or
        // shorter match of the line is tried when the first one fails.
        {"grep -w -e -v", "use -v here\n", "use -v here\n", 0},
        {"grep -w '^'", "abc\n", "", 1},
        {"grep -cw foo", "xfoo foo\nfoobar barfoo\n", "1\n", 0},
        {"grep -ow 'foo.*'", "foo foobar\n", "foo foobar\n", 0},
        {"grep -ow a", "a_b a\n", "a\n", 0},
        {"grep -ow 'ab*'", "abbbc ab\n", "ab\n", 0},
        {"grep -e a -e b", "a\nb\nc\n", "a\nb\n", 0},
        {"grep -F 'a.b'", "a.b\naxb\n", "a.b\n", 0},
        {"grep -F 'a|b'", "a|b\nb\n", "a|b\n", 0},
        {"grep -E 'a|b'", "a\nb\nc\n", "a\nb\n", 0},
        {"egrep 'a|b'", "a\nb\nc\n", "a\nb\n", 0},
        {"fgrep -E 'a|b'", "a\nb\nc\n", "a\nb\n", 0},
        {"grep 'a|b'", "a|b\na\n", "a|b\n", 0},  // basic: | is a literal
        {"grep 'a\\(b\\)*c'", "abbc\nac\naXc\n", "abbc\nac\n", 0},
        {"grep 'a+'", "a+\naa\n", "a+\n", 0},
        {"grep -E 'a+'", "a+\naa\n", "a+\naa\n", 0},
        {"grep '\\<cat\\>'", "the cat\nconcatenate\n", "the cat\n", 0},
        {"grep -E '\\<cat\\>|[\\<]x'", "the cat\nconcatenate\n<x\n", "the cat\n<x\n", 0},
        {"grep -oE '\\<.|.\\>'", "ab c\n", "a\nb\nc\n", 0},
        {"grep -e -x", "a-x\n", "a-x\n", 0},  // a value may begin with a dash
        {"grep x -n", "a\nx\n", "2:x\n", 0},   // options may follow operands
        {"grep -c ''", "a\n\nb", "3\n", 0},
        {"grep -n '^$'", "a\n\nb\n", "2:\n", 0},
        {"grep b", "a\nb", "b\n", 0},                   // a last line without a newline
        {"grep 'c$'", "abc\r\nxbc\n", "abc\nxbc\n", 0},  // the \r before a \n is not part of the line
        {"grep -q a", "b\na\n", "", 0},
        {"grep -q z", "b\n", "", 1},
        {"grep -m 1 a", "a1\na2\n", "a1\n", 0},
        {"grep -m 0 x", "x\n", "", 1},
        {"grep -c -m 2 a", "a\na\na\n", "2\n", 0},
        {"grep -l x", "x\n", "\n", 0},  // the standard input has an empty name
        {"grep -L x", "y\n", "\n", 0},
        {"grep -L x", "x\n", "", 1},
        {"grep --color=never a", "a\n", "a\n", 0},
        // -q prints nothing, also when nothing was selected; a file list replaces the counts
        {"grep -q -c z", "b\n", "", 1},
        {"grep -q -L z", "b\n", "", 1},
        {"grep -c -l b", "b\nb\n", "\n", 0},
        {"grep -c -L z", "b\n", "\n", 0},
        {"grep -l -L b", "b\n", "", 1},  // the later of -l and -L wins
        {"grep -L -l b", "b\n", "\n", 0},
        // a pattern with newlines is one pattern a line
        {"grep 'a\nc'", "a\nb\nc\n", "a\nc\n", 0},
        {"grep -F -e 'a\nb.'", "a\nb.\nbx\n", "a\nb.\n", 0},
        {"grep -c -x -e 'a\n'", "a\nb\n\n", "2\n", 0},
    });
}

TEST(Grep, UnicodeAwareClassesAndCase) {
    expect_cases({
        {"grep -i 'école'", "École\nx\n", "École\n", 0},
        {"grep -o '\\w*'", "héllo wörld\n", "héllo\nwörld\n", 0},
        {"grep -c '\\bwörld\\b'", "héllo wörld\nwörlds\n", "1\n", 0},
        {"grep -c '\\s'", "a\u00a0b\nab\n", "1\n", 0},  // a no-break space
        {"grep -w 'é'", "é\naé\n", "é\n", 0},
        {"grep -o .", "日本\n", "日\n本\n", 0},
    });
}

TEST(Grep, OnlyMatchingPrintsEachNonEmptyMatch) {
    expect_cases({
        {"grep -o ab", "abxab\n", "ab\nab\n", 0},
        {"grep -no ab", "abxab\n", "1:ab\n1:ab\n", 0},
        // Empty matches print nothing: digits are pulled out of a line, no blank lines between.
        {"grep -o '[0-9]*'", "ab12cd345\n", "12\n345\n", 0},
        {"grep -o 'a*'", "bbb\n", "", 0},
        {"grep -ov a", "a\nb\n", "b\n", 0},  // with -v the whole line
    });
}

TEST(Grep, ContextBlocksAndSeparators) {
    expect_cases({
        {"grep -A 1 x", "x\ny\nz\nx\n", "x\ny\n--\nx\n", 0},
        {"grep -B1 -n c", "a\nb\nc\nd\n", "2-b\n3:c\n", 0},
        {"grep -C1 x", "x\na\nx\nb\nc\nd\nx\n", "x\na\nx\nb\n--\nd\nx\n", 0},
        {"grep -C1 -n x", "x\na\nb\nc\nd\ne\nx\n", "1:x\n2-a\n--\n6-e\n7:x\n", 0},
        {"grep -A2 a", "a\nb\na\nc\nd\ne\n", "a\nb\na\nc\nd\n", 0},  // overlapping blocks join
        {"grep -m1 -A5 a", "a\na\nb\n", "a\na\nb\n", 0},            // context goes on after the last selected line
        {"grep -m2 -A1 a", "a\nx\ny\na\nb\na\n", "a\nx\n--\na\nb\n", 0},
        {"grep -B 9 c", "a\nb\nc\n", "a\nb\nc\n", 0},
    });
}

TEST(Grep, UsageErrors) {
    struct Err {
        std::string script;
        std::string err;
    };
    const Err cases[] = {
        {"grep", "grep: no pattern\n"},
        {"grep --color x", "grep: unsupported color mode 'auto'\n"},
        {"grep --color=always x", "grep: unsupported color mode 'always'\n"},
        {"grep -c -C 2 x", "grep: context cannot be combined with count, file-list, only-match, or quiet modes\n"},
        {"grep -o -A 1 x", "grep: context cannot be combined with count, file-list, only-match, or quiet modes\n"},
        {"grep -m x a", "grep: invalid max count: x\n"},
        {"grep -A -1 a", "grep: invalid context length: -1\n"},
        {"grep -C 1.5 a", "grep: invalid context length: 1.5\n"},
        {"grep --frob a", "grep: unsupported option '--frob'\n"},
        {"grep -Z a", "grep: unsupported option '-Z'\n"},
        {"grep -e", "grep: option '-e' requires an argument\n"},
        {"grep --count=3 a", "grep: option '--count' does not take an argument\n"},
        {"grep 'a\\'", "grep: unsupported regular expression: trailing backslash\n"},
        {"grep -f /nope", "grep: /nope: No such file or directory: /nope\n"},
    };
    for (const Err& c : cases) {
        const auto r = run(c.script, "a\n");
        EXPECT_EQ(r.status, 2) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
        EXPECT_EQ(r.out, "") << c.script;
    }
    const auto bad = run("grep -E 'a('", "a\n");
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(bad.err.starts_with("grep: invalid regular expression: missing closing parenthesis")) << bad.err;

    const auto help = run("grep --help -Q");
    EXPECT_EQ(help.status, 2);  // the scan fails before help is looked at
    const auto usage = run("grep x --help");
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.out,
              "usage: grep [OPTIONS] PATTERN [FILE...]\n"
              "supported: -E -F -i -v -c -n -l -L -o -r -w -x -q -h -H -s -e -f -m -A -B -C\n");
}

TEST(Grep, BacktrackingStopsAtTheEngineLimit) {
    const std::string line = std::string(40, 'a') + "!\n";
    const auto r = run("grep -E '(a+)+$'; echo status=$?", line + "b\n");
    EXPECT_EQ(r.out, "status=2\n");
    EXPECT_EQ(r.err, "grep: (standard input): match limit exceeded\n");
    EXPECT_EQ(run("grep -sE '(a+)+$'", line).err, "grep: (standard input): match limit exceeded\n");

    // A file that fails does not stop the others.
    Machine m = fresh_machine();
    ASSERT_TRUE(m.vfs.write_file("/tmp/bad", line, 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/good", "aa\n", 0644).has_value());
    const auto both = run_in(m, "grep -cE '(a+)+$' bad good");
    EXPECT_EQ(both.out, "good:1\n");
    EXPECT_EQ(both.err, "grep: bad: match limit exceeded\n");
    EXPECT_EQ(both.status, 2);
}

// A standard input of several batches, searched as it arrives, gives what the same bytes give
// as a file; a NUL byte or invalid UTF-8 in a late batch still means nothing is printed.
TEST(Grep, LongStandardInputIsSearchedInBatches) {
    std::string text;
    for (int i = 0; text.size() < (5u << 19); ++i)
        text += fmt::format("row {} {}\n", i, i % 97 == 0 ? "foo bar" : i % 13 == 0 ? "fooz" : "plain text");
    Machine m = fresh_machine();
    ASSERT_TRUE(m.vfs.write_file("/tmp/in", text, 0644).has_value());
    for (const char* options : {"-n foo", "-c foo", "-m 3 -n foo", "-v -c foo", "-o 'fo[a-z]*'", "-q foo", "-c zzz",
                                "-n 'row 4[0-9]*9 '"}) {
        SCOPED_TRACE(options);
        const auto whole = run_in(m, fmt::format("grep {} /tmp/in", options));
        const auto piped = run_in(m, fmt::format("cat /tmp/in | grep {}", options));
        EXPECT_EQ(piped.out, whole.out);
        EXPECT_EQ(piped.err, whole.err);
        EXPECT_EQ(piped.status, whole.status);
    }
    // Line numbers count the lines passed over between matches, a last line without a line feed
    // included.
    EXPECT_EQ(run("grep -n foo", "a\nb\nfoo\n\n\nc foo\nd\nfoo").out, "3:foo\n6:c foo\n8:foo\n");
    EXPECT_EQ(run("grep -c x", "a\nb\nx\nc").out, "1\n");
    const std::string nul_at_end = text + std::string("x\0y\n", 4);
    const auto binary = run("cat | grep -n foo", nul_at_end);
    EXPECT_EQ(binary.out, "");
    EXPECT_EQ(binary.err, "grep: : binary input is not supported; use -a\n");
    EXPECT_EQ(binary.status, 2);
    const auto quiet = run("cat | grep -q foo", text + "caf\xe9\n");
    EXPECT_EQ(quiet.err, "grep: : input is not valid UTF-8\n");
    EXPECT_EQ(quiet.status, 2);
}

// A large input is checked in blocks: a character across a block's edge is valid, and a NUL byte
// far after invalid UTF-8 still makes the input binary.
TEST(Grep, LargeInputsAreCheckedWhole) {
    Machine m = fresh_machine();
    std::string text = std::string((256u << 10) - 1, 'a') + "\xC3\xA9 foo\n";
    for (int i = 0; i < 3; ++i) text += text;
    ASSERT_TRUE(m.vfs.write_file("/tmp/wide", text, 0644).has_value());
    const auto valid = run_in(m, "grep -c foo /tmp/wide");
    EXPECT_EQ(valid.out, "8\n");
    EXPECT_EQ(valid.status, 0);
    ASSERT_TRUE(m.vfs.write_file("/tmp/mixed", "\xFF foo\n" + text + std::string("\0\n", 2), 0644).has_value());
    const auto mixed = run_in(m, "grep -c foo /tmp/mixed");
    EXPECT_EQ(mixed.err, "grep: /tmp/mixed: binary input is not supported; use -a\n");
    EXPECT_EQ(mixed.status, 2);
    EXPECT_EQ(run_in(m, "grep -a -c foo /tmp/mixed").err, "grep: /tmp/mixed: input is not valid UTF-8\n");
}

class GrepFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_ = std::make_unique<Machine>(fresh_machine());
        write("/tmp/a.txt", "hello\nworld\n");
        write("/tmp/b.txt", "say hello\n");
        write("/tmp/d/x.c", "hello c\n");
        write("/tmp/d/x.h", "hello h\n");
        write("/tmp/d/sub/y.c", "hello sub\n");
        write("/tmp/d/skip/z.c", "hello skipped\n");
        write("/tmp/bin.dat", std::string("hello\0zero\n", 11));
        write("/tmp/latin1.txt", "caf\xe9 hello\n");
        write("/tmp/pats", "wor\nsay\n");
    }
    void write(const std::string& path, const std::string& bytes) {
        ASSERT_TRUE(m_->vfs.write_file(path, bytes, 0644).has_value()) << path;
    }
    command_test::Ran sh(std::string_view script, std::string_view input = {}) { return run_in(*m_, script, input); }

    std::unique_ptr<Machine> m_;
};

TEST_F(GrepFiles, NamesPrefixWhenSeveralInputs) {
    auto r = sh("grep hello a.txt b.txt");
    EXPECT_EQ(r.out, "a.txt:hello\nb.txt:say hello\n");
    EXPECT_EQ(r.status, 0);
    r = sh("grep -h hello a.txt b.txt");
    EXPECT_EQ(r.out, "hello\nsay hello\n");
    r = sh("grep -Hn hello a.txt");
    EXPECT_EQ(r.out, "a.txt:1:hello\n");
    r = sh("grep -H x -h a.txt b.txt");  // the last of -h and -H wins
    EXPECT_EQ(r.out, "");
    r = sh("grep -c o a.txt b.txt");
    EXPECT_EQ(r.out, "a.txt:2\nb.txt:1\n");
    r = sh("grep -l world a.txt b.txt; grep -L world a.txt b.txt");
    EXPECT_EQ(r.out, "a.txt\nb.txt\n");
    r = sh("grep hello - a.txt", "from stdin hello\n");
    EXPECT_EQ(r.out, "from stdin hello\na.txt:hello\n");  // the standard input has no name prefix
}

TEST_F(GrepFiles, UnreadableInputsAreReportedAndMakeTheStatusTwo) {
    auto r = sh("grep -c hello a.txt missing");
    EXPECT_EQ(r.out, "1\n");  // only one input was gathered: no name prefix
    EXPECT_EQ(r.err, "grep: missing: No such file or directory: missing\n");
    EXPECT_EQ(r.status, 2);
    r = sh("grep -s hello missing a.txt");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 2);
    r = sh("grep -q hello missing a.txt");
    EXPECT_EQ(r.status, 0);  // quiet ends with 0 at the first selected line, errors or not
    r = sh("grep hello bin.dat latin1.txt");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "grep: bin.dat: binary input is not supported; use -a\n"
              "grep: latin1.txt: input is not valid UTF-8\n");
    EXPECT_EQ(r.status, 2);
    r = sh("grep -ac zero bin.dat");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.status, 0);
    // Gathering messages come before searching messages.
    r = sh("grep hello bin.dat missing");
    EXPECT_EQ(r.err,
              "grep: missing: No such file or directory: missing\n"
              "grep: bin.dat: binary input is not supported; use -a\n");
}

TEST_F(GrepFiles, PatternFiles) {
    auto r = sh("grep -f pats a.txt b.txt");
    EXPECT_EQ(r.out, "a.txt:world\nb.txt:say hello\n");
    r = sh("grep -f pats -e hello a.txt");
    EXPECT_EQ(r.out, "hello\nworld\n");
    write("/tmp/empty", "");
    r = sh("grep -f empty a.txt");  // no pattern at all: nothing matches
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    r = sh("grep -f latin1.txt a.txt");
    EXPECT_EQ(r.err, "grep: latin1.txt: pattern file is not valid UTF-8\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(GrepFiles, RecursiveSearchWithGlobs) {
    auto r = sh("grep -r hello d");
    EXPECT_EQ(r.out,
              "/tmp/d/skip/z.c:hello skipped\n/tmp/d/sub/y.c:hello sub\n/tmp/d/x.c:hello c\n/tmp/d/x.h:hello h\n");
    r = sh("grep -r hello d/x.c");  // names even for a single file
    EXPECT_EQ(r.out, "/tmp/d/x.c:hello c\n");
    r = sh("grep -r --include='*.h' hello d");
    EXPECT_EQ(r.out, "/tmp/d/x.h:hello h\n");
    r = sh("grep -rl --exclude='x.*' hello d");
    EXPECT_EQ(r.out, "/tmp/d/skip/z.c\n/tmp/d/sub/y.c\n");
    r = sh("grep -rc --exclude-dir=skip --exclude-dir='su?' hello d");
    EXPECT_EQ(r.out, "/tmp/d/x.c:1\n/tmp/d/x.h:1\n");
    r = sh("grep -r --exclude-dir='x.c' hello d");  // a file's own name is a component too
    EXPECT_EQ(r.out, "/tmp/d/skip/z.c:hello skipped\n/tmp/d/sub/y.c:hello sub\n/tmp/d/x.h:hello h\n");
    r = sh("grep --include='*.txt' hello a.txt d/x.c");  // operands pass the filter too
    EXPECT_EQ(r.out, "hello\n");
    // Without an operand the working directory is searched, its files named relative to it.
    r = sh("(cd d; grep -r hello)", "hello from stdin\n");
    EXPECT_EQ(r.out, "skip/z.c:hello skipped\nsub/y.c:hello sub\nx.c:hello c\nx.h:hello h\n");
    EXPECT_EQ(r.status, 0);
    r = sh("(cd d; grep -rl --exclude-dir=skip hello)");
    EXPECT_EQ(r.out, "sub/y.c\nx.c\nx.h\n");
    r = sh("grep -r hello nowhere");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "grep: No such file or directory: /tmp/nowhere\n");
}

TEST(GrepLimits, QuietStillReportsWalkedFilesTooLargeToRead) {
    MachineLimits limits = command_test::kRoomyLimits;
    limits.memory = 8 << 20;
    Machine m = fresh_machine(limits);
    ASSERT_TRUE(m.vfs.write_file("/tmp/d/a", "x\n", 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/d/b", std::string(9 << 20, 'y'), 0644).has_value());
    auto r = run_in(m, "grep -rq x d");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.starts_with("grep: file too large: /tmp/d/b (limit ")) << r.err;
    r = run_in(m, "grep -r x d");
    EXPECT_EQ(r.out, "/tmp/d/a:x\n");
    EXPECT_TRUE(r.err.starts_with("grep: file too large: /tmp/d/b (limit ")) << r.err;
    EXPECT_EQ(r.status, 2);
}

// The whole-text search of MatchingLines must give the answer of a search of each line alone.
TEST(MatchingLines, AgreesWithSearchingEachLine) {
    const char* patterns[] = {
        "a", "^a", "a$", "^$", "\\ba", "a\\b", "\\Ba", "ab*", "(?:a|b)c", "[^a]", "\\s", "a\\s*$", "x*",
        "\\w+$", "^\\W", "(?<=a)b", "a(?=\\n)", "\\Aa", "a\\z", "[[:space:]]", "\\D", "é", "(a)\\1", "[]a]",
        "(?:ab)", "b c", "-a",
    };
    std::mt19937 rng(7);
    const std::string alphabet[] = {"a", "b", "c", " ", "\n", "\n", "é", "-", "\t", "\r"};
    for (const char* p : patterns) {
        for (bool caseless : {false, true}) {
            RegexOptions options;
            options.multiline = true;
            options.caseless = caseless;
            auto regex = Regex::compile(p, options);
            ASSERT_TRUE(regex.has_value()) << p;
            for (int round = 0; round < 60; ++round) {
                std::string text;
                const int n = static_cast<int>(rng() % 40);
                for (int i = 0; i < n; ++i) text += alphabet[rng() % std::size(alphabet)];
                if (round % 2 == 0) std::erase(text, '\r');
                LineCursor lines(text);
                MatchingLines matching(*regex, text);
                TextLine line;
                std::vector<std::size_t> starts;  // of the lines holding a match
                while (lines.next(line)) {
                    auto fast = matching.matches(line);
                    auto alone = regex->matches(line.in(text));
                    ASSERT_TRUE(fast.has_value() && alone.has_value());
                    ASSERT_EQ(*fast, *alone) << "pattern " << p << " line '" << line.in(text) << "' in '" << text
                                             << "'";
                    if (*alone) starts.push_back(line.start);
                }
                // Going from one line holding a match straight to the next finds the same lines.
                MatchingLines skipping(*regex, text);
                std::vector<std::size_t> skipped;
                for (std::size_t from = 0; skipping.skips() && from < text.size();) {
                    auto next = skipping.next_match_line(from);
                    ASSERT_TRUE(next.has_value());
                    if (*next == std::string::npos) break;
                    skipped.push_back(*next);
                    from = text.find('\n', *next) == std::string::npos ? text.size() : text.find('\n', *next) + 1;
                }
                if (skipping.skips()) EXPECT_EQ(skipped, starts) << "pattern " << p << " in '" << text << "'";
            }
        }
    }
}

TEST(MatchingLines, ExpressionsThatStayWithinALine) {
    for (const char* p : {"abc", "a.c", "^a$", "\\bfoo\\b", "[a-z]+", "[]a]", "(?:x|y)", "\\d\\w", "[[:alpha:]]",
                          "(a)\\1", "\\.\\*"})
        EXPECT_TRUE(expression_stays_in_line(p)) << p;
    for (const char* p : {"[^a]", "\\s", "\\S", "\\D", "\\W", "(?=a)", "(?<!a)", "(?s).", "\\Aa", "a\\z", "\\Ga",
                          "\\R", "\\n", "\\x0a", "[[:space:]]", "(*CR)a", "\\12", "[\\d\\s]", "\\p{L}", "[a", "a\\"})
        EXPECT_FALSE(expression_stays_in_line(p)) << p;
}

TEST(LineCursor, CutsLinesAtNewlines) {
    struct Expect {
        std::string text;
        std::vector<std::string> lines;
    };
    const Expect cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\n\r\nb\r", {"a", "", "b\r"}},
        {"\r", {"\r"}},
    };
    for (const Expect& c : cases) {
        LineCursor cursor(c.text);
        TextLine line;
        std::vector<std::string> got;
        while (cursor.next(line)) got.emplace_back(line.in(c.text));
        EXPECT_EQ(got, c.lines);
    }
    EXPECT_EQ(parse_count_value("+7"), std::optional<std::uint64_t>(7));
    EXPECT_EQ(parse_count_value("18446744073709551615"), std::optional<std::uint64_t>(UINT64_MAX));
    EXPECT_EQ(parse_count_value("18446744073709551616"), std::nullopt);
    EXPECT_EQ(parse_count_value("+"), std::nullopt);
    EXPECT_EQ(parse_count_value("-1"), std::nullopt);
    EXPECT_EQ(regex_escape_literal("a.b*(c)|é"), "a\\.b\\*\\(c\\)\\|é");
}

}  // namespace
}  // namespace tw
