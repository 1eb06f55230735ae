// The sed engine: basic-expression translation, script parsing and execution over a test meter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/sed/bre.h"
#include "commands/sed/engine.h"

namespace tw {
namespace {

// Budgets with adjustable room; counts what is charged and released.
class TestMeter final : public SedMeter {
public:
    std::uint64_t cpu_left = 1ULL << 40;
    std::uint64_t memory_limit = 1ULL << 40;
    std::uint64_t memory = 0;
    std::uint64_t output_left = 1ULL << 40;

    std::uint64_t memory_used() override { return memory; }
    bool charge_cpu(std::uint64_t units) override {
        if (units > cpu_left) return false;
        cpu_left -= units;
        return true;
    }
    bool charge_memory(std::uint64_t bytes) override {
        if (bytes > memory_limit - memory) return false;
        memory += bytes;
        return true;
    }
    void release_memory(std::uint64_t bytes) override { memory -= std::min(bytes, memory); }
    std::uint64_t output_remaining() override { return output_left; }
    bool charge_output(std::uint64_t bytes) override {
        const bool fits = bytes <= output_left;
        output_left = fits ? output_left - bytes : 0;
        return fits;
    }
    std::int32_t exhausted_status() override { return 137; }
};

std::vector<SedCommand> parse(const std::vector<std::string>& pieces, bool extended = false) {
    std::vector<SedCommand> all;
    for (const std::string& piece : pieces) {
        auto commands = sed_parse_script(piece, extended);
        EXPECT_TRUE(commands.has_value()) << piece << ": " << (commands ? "" : commands.error());
        if (!commands) return all;
        for (SedCommand& c : *commands) all.push_back(std::move(c));
    }
    return all;
}

std::string run(const std::vector<std::string>& pieces, std::string_view input, SedRunOptions options = {}) {
    std::vector<SedCommand> commands = parse(pieces);
    TestMeter meter;
    const std::string_view inputs[] = {input};
    auto out = sed_execute(meter, inputs, commands, options);
    EXPECT_TRUE(out.has_value()) << pieces.front() << ": " << (out ? "" : out.error().message);
    EXPECT_EQ(meter.memory, 0U) << "memory charged by the run is released";
    return out ? *out : std::string("<stopped>");
}

constexpr std::string_view kSix = "1\n2\n3\n4\n5\n6\n";

TEST(SedBre, Translation) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\\(b\\)c", "a(b)c"},
        {"a(b)c", "a\\(b\\)c"},
        {"a\\{2\\}", "a{2}"},
        {"a\\{,2\\}", "a{0,2}"},
        {"\\<x\\>", "\\bx\\b"},
        {"[a(]+", "[a(]\\+"},
        {"a\\|b\\+c\\?", "a|b+c?"},
        {"x|y{1}", "x\\|y\\{1\\}"},
        {"\\.\\*\\n\\w", "\\.\\*\\n\\w"},
        {"^a.*$", "^a.*$"},
        // Literal where POSIX says so: a leading star, "^" and "$" away from the ends.
        {"*a", "\\*a"},
        {"^*a", "^\\*a"},
        {"\\(*a\\)", "(\\*a)"},
        {"a^b$c", "a\\^b\\$c"},
        {"\\(^a$\\)\\|b$", "(^a$)|b$"},
        // Bracket expressions are copied whole: a leading "]" and classes belong to them.
        {"[]a(]", "[]a(]"},
        {"[^]|]", "[^]|]"},
        {"[[:alpha:](]*", "[[:alpha:](]*"},
        {"[\\(]", "[\\(]"},
        {"\\`a\\'", "\\Aa\\z"},
        // Repetition operators where nothing precedes them are literal, as the star is.
        {"^\\{2\\}", "^\\{2}"},
        {"\\(\\+a\\)", "(\\+a)"},
        {"x\\|\\?", "x|\\?"},
        // A repetition of a repetition repeats the whole item, never a lazy or possessive form.
        {"a*\\?", "(?:a*)?"},
        {"a\\+\\+", "(?:a+)+"},
        {"a**", "(?:a*)*"},
        {"\\(ab\\)*\\{2\\}", "(?:(ab)*){2}"},
        {"[ab]\\{1,2\\}*", "(?:[ab]{1,2})*"},
        {"x\\.\\{,3\\}\\?", "x(?:\\.{0,3})?"},
        {"\xc3\xa9**", "(?:\xc3\xa9*)*"},
    };
    for (const auto& [bre, expected] : cases) {
        auto r = bre_to_regex(bre);
        ASSERT_TRUE(r.has_value()) << bre;
        EXPECT_EQ(*r, expected) << bre;
    }
}

TEST(SedBre, ExtendedWordAnchors) {
    EXPECT_EQ(ere_word_anchors("\\<a\\>"), "\\b(?=\\w)a\\b(?<=\\w)");
    EXPECT_EQ(ere_word_anchors("[\\<]\\\\<"), "[\\<]\\\\<");  // a set, and an escaped backslash
    EXPECT_EQ(ere_word_anchors("[]<]\\<"), "[]<]\\b(?=\\w)");
    EXPECT_EQ(ere_word_anchors("[a\\<"), "[a\\<");  // an unclosed set is the engine's to refuse
    EXPECT_EQ(sed_compile_regex("\\<a", true, false)->pattern(), "\\b(?=\\w)a");
}

TEST(SedBre, Refusals) {
    EXPECT_EQ(bre_to_regex("\\1").error(), "backreferences are not supported");
    EXPECT_EQ(bre_to_regex("\\(a\\)\\1").error(), "backreferences are not supported");
    EXPECT_EQ(bre_to_regex("ab\\").error(), "trailing backslash");
    EXPECT_EQ(bre_to_regex("[ab\\").error(), "trailing backslash");
    // An unclosed set is left for the engine to refuse.
    EXPECT_EQ(*bre_to_regex("[ab"), "[ab");
    // sed's compilation: translated unless extended; the engine's description otherwise.
    EXPECT_EQ(sed_compile_regex("a\\+", false, false)->pattern(), "a+");
    EXPECT_EQ(sed_compile_regex("a\\+", true, false)->pattern(), "a\\+");
    EXPECT_EQ(sed_compile_regex("\\1", false, false).error(), "backreferences are not supported");
    EXPECT_FALSE(sed_compile_regex("(", true, false).has_value());
}

TEST(SedParse, Errors) {
    const std::pair<std::string, std::string> cases[] = {
        {"s/a/b/x", "invalid substitution: unsupported substitution flag 'x'"},
        {"s/a/b", "invalid substitution: unterminated delimited expression"},
        {"s", "invalid substitution: missing delimiter"},
        {"s\na\nb\n", "invalid substitution: newline cannot be a delimiter"},
        {"s//x/", "invalid substitution: empty regex reuse is not supported"},
        {"s/a/b/99999999999999999999", "invalid substitution: invalid substitution occurrence '99999999999999999999'"},
        {"s/\\(a\\)\\1/x/", "invalid substitution: backreferences are not supported"},
        {"0p", "line address must be at least 1"},
        {"99999999999999999999p", "invalid line address '99999999999999999999'"},
        {"//p", "empty address regex reuse is not supported"},
        {"/a\\1/p", "backreferences are not supported"},
        {"/a", "unterminated delimited expression"},
        {"1,p", "missing second range address"},
        {"1", "missing command after address"},
        {"1;p", "missing command after address"},
        {"n", "unimplemented command 'n'"},
        {"N", "unimplemented command 'N'"},
        {"b", "unimplemented command 'b'"},
        {"h", "unimplemented command 'h'"},
        {"1{p}", "unimplemented command '{'"},
        {"w f", "unimplemented command 'w'"},
        {"1~2p", "unimplemented command '~'"},
        {"p # note", "unexpected text after 'p' command"},
        {"q 5", "unexpected text after 'q' command"},
        {"s/a/b/;dx", "unexpected text after 'd' command"},
        {"a", "text command requires an argument"},
        {"i   \n", "text command requires an argument"},
        {"y/ab/c/", "transliteration strings have different lengths"},
        {"y/ab", "unterminated delimited expression"},
    };
    for (const auto& [script, message] : cases) {
        auto r = sed_parse_script(script, false);
        ASSERT_FALSE(r.has_value()) << script;
        EXPECT_EQ(r.error(), message) << script;
    }
    // The engine's own description follows the fixed prefixes.
    EXPECT_TRUE(sed_parse_script("s/\\(/x/", false).error().starts_with("invalid substitution: invalid substitution regex: "));
    EXPECT_TRUE(sed_parse_script("/(/p", true).error().starts_with("invalid address regex: "));
}

TEST(SedParse, Model) {
    auto c = parse({"  # comment\n 2,/x/!s|a\\|b|[&]|3gp ; $y/ab/ba/;;"});
    ASSERT_EQ(c.size(), 2U);
    EXPECT_EQ(c[0].first->kind, SedAddress::Kind::Line);
    EXPECT_EQ(c[0].first->line, 2U);
    EXPECT_EQ(c[0].second->kind, SedAddress::Kind::Regex);
    EXPECT_TRUE(c[0].negated);
    const auto& s = std::get<SedSubstitute>(c[0].action);
    EXPECT_EQ(s.replacement, "[${0}]");
    EXPECT_EQ(s.occurrence, 3U);
    EXPECT_TRUE(s.global);
    EXPECT_TRUE(s.print);
    EXPECT_EQ(s.regex.pattern(), "a\\|b");  // the escaped delimiter is a literal "|"
    EXPECT_EQ(c[1].first->kind, SedAddress::Kind::Last);
    const auto& y = std::get<SedTransliterate>(c[1].action);
    EXPECT_EQ(y.pairs, (std::vector<std::pair<char32_t, char32_t>>{{U'a', U'b'}, {U'b', U'a'}}));

    EXPECT_EQ(sed_replacement_template("&&\\1$\\$\\t\\n\\&\\q\\"), "${0}${0}${1}$$$$\t\n&q\\");
    EXPECT_EQ(sed_unescape_text("a\\tb\\nc\\/\\"), (std::vector<char32_t>{U'a', U'\t', U'b', U'\n', U'c', U'/', U'\\'}));
}

TEST(SedParse, TextArguments) {
    const std::pair<std::string, std::string> cases[] = {
        {"a  hello world  ", "hello world"},
        {"a x; y", "x; y"},            // the text runs to the end of its line
        {"a\\text", "text"},
        {"a\\\n  indented", "  indented"},
        {"a one\\\ntwo", "one\ntwo"},  // a backslash at the end of a line continues the text
        {"a a\\tb\\nc\\\\n\\q", "a\tb\nc\\n\\q"},
        {"1a x\np", "x"},
    };
    for (const auto& [script, text] : cases) {
        auto c = parse({script});
        ASSERT_GE(c.size(), 1U) << script;
        EXPECT_EQ(std::get<SedAppend>(c[0].action).text, text) << script;
    }
    EXPECT_EQ(parse({"1a x\np"}).size(), 2U);
}

TEST(SedExecute, Scripts) {
    struct Case {
        std::vector<std::string> script;
        std::string input;
        std::string expected;
        bool quiet = false;
    };
    const std::string six(kSix);
    const Case cases[] = {
        {{"2p"}, six, "2\n", true},
        {{"2,4d"}, six, "1\n5\n6\n"},
        {{"/a/,/b/d"}, "x\nab\nc\nb\nd\n", "x\nd\n"},
        {{"$!d"}, six, "6\n"},
        {{"2q"}, six, "1\n2\n"},
        {{"2q"}, six, "", true},
        {{"1,3c X"}, six, "X\n4\n5\n6\n"},
        {{"2c X"}, six, "1\nX\n3\n4\n5\n6\n"},
        {{"2,3!c X"}, "1\n2\n3\n4\n", "X\n2\n3\nX\n"},
        {{"2,1p"}, six, "2\n", true},
        {{"4,$p"}, six, "4\n5\n6\n", true},
        {{"/3/,$!d"}, six, "3\n4\n5\n6\n"},
        {{"/2/,/[0-9]/p"}, six, "2\n3\n", true},
        {{"2,4!d"}, six, "2\n3\n4\n"},
        {{"s/x/y/2"}, "xxxx\n", "xyxx\n"},
        {{"s/x/y/2g"}, "xxxx\n", "xyyy\n"},
        {{"s/x/y/2p"}, "x\nxx\n", "xy\n", true},
        {{"s/x/y/gp"}, "a\nxx\n", "yy\n", true},
        {{"2a A", "2i I"}, "1\n2\n3\n", "1\nI\n2\nA\n3\n"},
        {{"a A", "d"}, "1\n", "A\n"},
        {{"y/abc/xyz/"}, "aabbcc cab\n", "xxyyzz zxy\n"},
        {{"y/äb/bä/"}, "äbc\n", "bäc\n"},
        {{"="}, "a\nb\n", "1\na\n2\nb\n"},
        {{"$="}, six, "6\n", true},
        // Substitutions: empty matches after a match are skipped; & and groups; literal dollars.
        {{"s/a*/x/g"}, "baaac\n", "xbxcx\n"},
        {{"s/x*/-/g"}, "abc\n", "-a-b-c-\n"},
        {{"s/b/[&&$\\$]/"}, "abc\n", "a[bb$$]c\n"},
        {{"s/\\(a\\)\\(b\\)/\\2\\1/g"}, "abab\n", "baba\n"},
        {{"s/a\\(b\\)/\\1x/g"}, "abab\n", "bxbx\n"},
        // An escaped delimiter is literal in the replacement, whatever it means elsewhere.
        {{"s&a&[\\&]&", "s1\\(b\\)1<\\1>1", "s$c$\\$$"}, "abc\n", "[&]<1>$\n"},
        {{"s/a/\\//"}, "abc\n", "/bc\n"},
        {{"s/a/\\3/"}, "abc\n", "bc\n"},
        {{"s/B/x/I"}, "abc\n", "axc\n"},
        {{"s/b/\\n/", "s/$/E/", "s/a.c/[&]/"}, "abc\n", "[a\nc]E\n"},
        {{"s/\\w\\+/W/g"}, "héllo wörld\n", "W W\n"},
        {{"s/[[:upper:]]/u/g"}, "ÄbÖ\n", "ubu\n"},
        {{"s/*/x/", "s/a^b/y/"}, "*a^b\n", "xy\n"},
        {{"s/^\\(a\\|b\\)*$/all/"}, "abba\n", "all\n"},
        {{"s/a\\{2\\}/X/"}, "aaa\n", "Xa\n"},
        {{"s/\\<a/X/g"}, "a ba a\n", "X ba X\n"},
        // Carriage returns stay in the pattern space.
        {{"s/$/!/"}, "a\r\n", "a\r!\n"},
        // Without a final newline the automatic print lacks it too; p, = and i always end lines,
        // and an appended text starts on a line of its own.
        {{"p"}, "a\nb", "a\na\nb\nb"},
        {{"="}, "a", "1\na"},
        {{"i X"}, "a", "X\na"},
        {{"$a X"}, "a", "a\nX\n"},
        {{"$c X"}, "a", "X\n"},
        // Empty input: no line, nothing runs.
        {{"i x"}, "", ""},
        {{"$a x"}, "", ""},
    };
    for (const Case& c : cases) {
        SedRunOptions options;
        options.quiet = c.quiet;
        EXPECT_EQ(run(c.script, c.input, options), c.expected) << c.script.front() << " over " << c.input;
    }
}

TEST(SedExecute, ExtendedSyntax) {
    std::vector<SedCommand> commands = parse({"s/(a|b)+/<&>/g", "s/c{2}/C/"}, true);
    TestMeter meter;
    const std::string_view inputs[] = {"abxba ccc\n"};
    EXPECT_EQ(*sed_execute(meter, inputs, commands, {}), "<ab>x<ba> Cc\n");
}

TEST(SedExecute, SeveralInputs) {
    std::vector<SedCommand> commands = parse({"$s/$/ (last)/", "1s/^/first: /", "/b/,/c/d"});
    const std::string_view inputs[] = {"a\nb", "c\nd\n", "", "e\n", ""};
    TestMeter meter;
    // One stream: a line never spans two inputs, line numbers and ranges go on, "$" is the last
    // line of the last input with text.
    EXPECT_EQ(*sed_execute(meter, inputs, commands, {}), "first: a\nd\ne (last)\n");
    // Separate inputs: everything starts over for each one.
    SedRunOptions separate;
    separate.separate = true;
    std::vector<SedCommand> again = parse({"$s/$/ (last)/", "1s/^/first: /", "/b/,/c/d"});
    EXPECT_EQ(*sed_execute(meter, inputs, again, separate), "first: a\nfirst: c\nd (last)\nfirst: e (last)\n");
}

TEST(SedExecute, RangeStateCarriesOverBetweenRuns) {
    std::vector<SedCommand> commands = parse({"/start/,/end/d"});
    TestMeter meter;
    const std::string_view first[] = {"a\nstart\nb\n"};
    const std::string_view second[] = {"c\nend\nd\n"};
    EXPECT_EQ(*sed_execute(meter, first, commands, {}), "a\n");
    EXPECT_TRUE(commands[0].in_range);
    EXPECT_EQ(*sed_execute(meter, second, commands, {}), "d\n");
}

TEST(SedExecute, NulDelimitedLines) {
    SedRunOptions options;
    options.delimiter = '\0';
    using namespace std::string_literals;
    // Lines end at NUL; "=", a, i and c texts still end with a newline.
    EXPECT_EQ(run({"s/^/>/", "2a t", "1="}, "a\nb\0c\0d"s, options), "1\n>a\nb\0>c\0t\n>d"s);
    EXPECT_EQ(run({"s/$/</"}, "a\nb\0"s, options), "a\nb<\0"s);
}

TEST(SedExecute, BudgetsStopTheRun) {
    std::vector<SedCommand> commands = parse({"p"});
    const std::string_view inputs[] = {"hello\nworld\n"};
    {
        TestMeter meter;
        meter.output_left = 10;
        auto r = sed_execute(meter, inputs, commands, {});
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().status, 137);
        EXPECT_EQ(r.error().message, "");
        EXPECT_EQ(meter.output_left, 0U) << "the output budget is exhausted";
        EXPECT_EQ(meter.memory, 0U);
    }
    {
        TestMeter meter;
        meter.memory_limit = 20;  // less than twice the input
        EXPECT_EQ(sed_execute(meter, inputs, commands, {}).error().status, 137);
    }
    {
        TestMeter meter;
        meter.cpu_left = 20;
        EXPECT_EQ(sed_execute(meter, inputs, commands, {}).error().status, 137);
        EXPECT_EQ(meter.memory, 0U);
    }
    {
        // A substitution charges its worst case before it works.
        std::vector<SedCommand> s = parse({"s/l/xxxxxxxxxxxxxxxxxxxx/g"});
        TestMeter meter;
        meter.memory_limit = 200;
        EXPECT_EQ(sed_execute(meter, inputs, s, {}).error().status, 137);
        EXPECT_EQ(meter.memory, 0U);
    }
}

TEST(SedExecute, RunawayPatternStopsWithAMessage) {
    const std::string input = std::string(40, 'a') + "!\n";
    for (const char* script : {"s/\\(a\\|a\\)*[0-9]/x/", "/\\(a\\|a\\)*[0-9]/d"}) {
        std::vector<SedCommand> commands = parse({script});
        TestMeter meter;
        const std::string_view inputs[] = {input};
        auto r = sed_execute(meter, inputs, commands, {});
        ASSERT_FALSE(r.has_value()) << script;
        EXPECT_EQ(r.error().status, 2);
        EXPECT_EQ(error_text(r.error()), "regex match failed: match limit exceeded");
        EXPECT_EQ(meter.memory, 0U);
    }
}

}  // namespace
}  // namespace tw
