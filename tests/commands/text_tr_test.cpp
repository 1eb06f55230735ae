#include <gtest/gtest.h>

#include <string>

#include "commands/text/line_commands.h"
#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(TrExpandSet, ClassesEscapesAndRanges) {
    EXPECT_EQ(tr_expand_set("a-e"), U"abcde");
    EXPECT_EQ(tr_expand_set("a-b-c"), U"ab-c");
    EXPECT_EQ(tr_expand_set("-a-"), U"-a-");
    EXPECT_EQ(tr_expand_set("z-a"), U"");
    EXPECT_EQ(tr_expand_set("[:digit:]"), U"0123456789");
    EXPECT_EQ(tr_expand_set("[:space:]"), U" \t\n\r");
    EXPECT_EQ(tr_expand_set("[:alpha:]").size(), 52u);
    EXPECT_EQ(tr_expand_set("[:alnum:]"), U"[:alnum:]");
    EXPECT_EQ(tr_expand_set("\\n\\t\\r\\\\\\-\\q"), U"\n\t\r\\-q");
    EXPECT_EQ(tr_expand_set("a\\"), U"a\\");
    EXPECT_EQ(tr_expand_set("a-\\n"), U"n");  // the range from a down to the backslash is empty
    EXPECT_EQ(tr_expand_set("[:digit:]-;"), U"0123456789:;");  // a class joins a range as text
    EXPECT_EQ(tr_expand_set("\xED\x9F\xBF-\xEE\x80\x80"), U"\uD7FF\uE000");  // surrogates skipped
}

TEST(TrCommand, TranslatesDeletesSqueezes) {
    struct Case {
        const char* args;
        const char* input;
        const char* out;
    };
    const Case cases[] = {
        {"a-z A-Z", "hi\n", "HI\n"},
        {"abc x", "aXbYc", "xXxYx"},
        {"a ''", "abc", "abc"},
        {"aa xy", "aa", "xx"},
        {"-s ab", "aabbbcc", "abcc"},
        {"-s a x", "aab", "xb"},
        {"-s a-z", "aabb  cc", "ab  c"},
        {"-ds a", "aabaa", "b"},
        {"-d '[:digit:]'", "a1b2\n", "ab\n"},
        {"-dc '[:digit:]'", "a1b2\n", "12"},
        {"-c ab xy", "abc", "xyc"},
        {"z-a x", "za", "za"},
        {"'[:alnum:]' 123456789", "an:[]", "35219"},
        {"--squeeze a b", "aa", "bb"},
        {"\xC3\xA9 e", "caf\xC3\xA9", "cafe"},
        {"e \xC3\xA9", "eel", "\xC3\xA9\xC3\xA9l"},
        {"-d a", "x\xffa", "x\xEF\xBF\xBD"},
        {"a b", "", ""},
        {"'\\n' ' '", "a\nb\n", "a b "},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("tr ") + c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, "") << c.args;
    }
}

TEST(TrCommand, UsageErrorsComeBeforeInput) {
    struct Case {
        const char* args;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"-x a b", 2, "tr: unimplemented option\n"},
        {"-x", 2, "tr: unimplemented option\n"},
        {"-d a b", 1, "tr: missing or extra operand\n"},
        {"-d", 1, "tr: missing or extra operand\n"},
        {"a", 1, "tr: missing or extra operand\n"},
        {"a b c", 1, "tr: missing or extra operand\n"},
        {"-s a b c", 1, "tr: missing or extra operand\n"},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("tr ") + c.args, "abc");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
}

TEST(TrCommand, HugeRangesAreChargedToTheMemoryBudget) {
    MachineLimits limits = command_test::kRoomyLimits;
    limits.memory = 4 << 20;
    Machine m = command_test::fresh_machine(limits);
    // Each range of the operand is over a million characters.
    std::string set;
    for (int i = 0; i < 8; ++i) set += "\x01-\xF4\x8F\xBF\xBF";
    auto r = command_test::run_in(m, "tr -d '" + set + "'", "abc");
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tw
