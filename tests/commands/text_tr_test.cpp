#include <gtest/gtest.h>

#include <string>

#include "commands/text/line_commands.h"
#include "case_fixture.h"

namespace tw {
namespace {

using command_test::expect_cases;
using command_test::run;

TEST(TrExpandSet, ClassesEscapesAndRanges) {
    EXPECT_EQ(tr_expand_set("a-e"), U"abcde");
    EXPECT_EQ(tr_expand_set("a-b-c"), U"ab-c");
    EXPECT_EQ(tr_expand_set("-a-"), U"-a-");
    EXPECT_EQ(tr_expand_set("z-a"), U"");
    EXPECT_EQ(tr_expand_set("[:digit:]"), U"0123456789");
    EXPECT_EQ(tr_expand_set("[:space:]"), U" \t\n\r");
    EXPECT_EQ(tr_expand_set("[:alpha:]").size(), 52u);
    EXPECT_EQ(tr_expand_set("[:alnum:]"), U"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(tr_expand_set("[:xdigit:]"), U"0123456789ABCDEFabcdef");
    EXPECT_EQ(tr_expand_set("[:punct:]"), U"!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~");
    EXPECT_EQ(tr_expand_set("[:blank:]"), U" \t");
    EXPECT_EQ(tr_expand_set("[:cntrl:]").size(), 33u);
    EXPECT_EQ(tr_expand_set("[:print:]").size(), 95u);
    EXPECT_EQ(tr_expand_set("[:graph:]").size(), 94u);
    EXPECT_EQ(tr_expand_set("[:nope:]"), U"[:nope:]");  // an unknown class is literal
    EXPECT_EQ(tr_expand_set("\\n\\t\\r\\\\\\-\\q"), U"\n\t\r\\-q");
    EXPECT_EQ(tr_expand_set("a\\"), U"a\\");
    EXPECT_EQ(tr_expand_set("a-\\n"), U"n");  // the range from a down to the backslash is empty
    EXPECT_EQ(tr_expand_set("[:digit:]-;"), U"0123456789-;");  // a class never ends a range
    EXPECT_EQ(tr_expand_set("\xED\x9F\xBF-\xEE\x80\x80"), U"\uD7FF\uE000");  // surrogates skipped
}

TEST(TrCommand, TranslatesDeletesSqueezes) {
    expect_cases({
        {"tr a-z A-Z", "HI\n", 0, "", "hi\n"},
        {"tr abc x", "xXxYx", 0, "", "aXbYc"},
        {"tr a ''", "abc", 0, "", "abc"},
        {"tr aa xy", "xx", 0, "", "aa"},
        {"tr -s ab", "abcc", 0, "", "aabbbcc"},
        {"tr -s a x", "xb", 0, "", "aab"},
        {"tr -s a-z", "ab  c", 0, "", "aabb  cc"},
        {"tr -ds a", "b", 0, "", "aabaa"},
        {"tr -d '[:digit:]'", "ab\n", 0, "", "a1b2\n"},
        {"tr -dc '[:digit:]'", "12", 0, "", "a1b2\n"},
        // -c stands for every character not in set 1, in ascending order, also when translating
        // and squeezing.
        {"tr -c ab xy", "aby", 0, "", "abc"},
        {"tr -c 'a-z\\n' _", "hello__world\n", 0, "", "hello, world\n"},
        {"tr -cs a-z '\\n'", "one\ntwo\nthree\n", 0, "", "one  two,,three\n"},
        {"tr -cs a", "aa b", 0, "", "aa  bb"},
        {"tr -cd '[:xdigit:]'", "a1F", 0, "", "a1-F;g\n"},
        {"tr -d '[:punct:]'", "abcd\n", 0, "", "a,b.c!d\n"},
        {"tr z-a x", "za", 0, "", "za"},
        {"tr '[:alnum:]' 123456789", "99:[]", 0, "", "an:[]"},
        {"tr --squeeze a b", "bb", 0, "", "aa"},
        {"tr \xC3\xA9 e", "cafe", 0, "", "caf\xC3\xA9"},
        {"tr e \xC3\xA9", "\xC3\xA9\xC3\xA9l", 0, "", "eel"},
        {"tr -d a", "x\xEF\xBF\xBD", 0, "", "x\xff" "a"},
        {"tr a b", "", 0, "", ""},
        {"tr '\\n' ' '", "a b ", 0, "", "a\nb\n"},
    });
}

// A translation between ASCII sets runs over the input as it arrives; an invalid sequence, also
// one cut by a chunk boundary, still becomes one U+FFFD.
TEST(TrCommand, TranslatesInputInPieces) {
    const std::string input = std::string(4095, 'a') + "\xE2\x82" + "b\xC3\xA9z\xFF\n";
    const std::string out = std::string(4095, 'A') + "\xEF\xBF\xBD" + "B\xC3\xA9Z\xEF\xBF\xBD\n";
    expect_cases({
        {"tr a-z A-Z", out, 0, "", input},
        {"cat | tr a-z A-Z", out, 0, "", input},
        {"tr abc xy", std::string(4095, 'x') + "\xEF\xBF\xBD" + "y\xC3\xA9z\xEF\xBF\xBD\n", 0, "", input},
        // A valid character cut by the chunk boundary is kept whole.
        {"cat | tr a-z A-Z", std::string(4095, 'A') + "\xC3\xA9Z", 0, "", std::string(4095, 'a') + "\xC3\xA9z"},
    });
}

// The translation is written as it goes: a reader that stops early ends an endless producer.
TEST(TrCommand, StreamsItsOutput) {
    expect_cases({
        {"yes abc | tr a-z A-Z | head -n 2", "ABC\nABC\n", 0, "", ""},
    });
}

TEST(TrCommand, UsageErrorsComeBeforeInput) {
    expect_cases({
        {"tr -x a b", "", 2, "tr: unimplemented option\n", "abc"},
        {"tr -x", "", 2, "tr: unimplemented option\n", "abc"},
        {"tr -d a b", "", 1, "tr: missing or extra operand\n", "abc"},
        {"tr -d", "", 1, "tr: missing or extra operand\n", "abc"},
        {"tr a", "", 1, "tr: missing or extra operand\n", "abc"},
        {"tr a b c", "", 1, "tr: missing or extra operand\n", "abc"},
        {"tr -s a b c", "", 1, "tr: missing or extra operand\n", "abc"},
    });
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
