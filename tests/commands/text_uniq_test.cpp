#include <gtest/gtest.h>

#include <string>

#include "case_fixture.h"

namespace tw {
namespace {

using command_test::expect_cases;
using command_test::run;

TEST(UniqCommand, GroupsAdjacentEqualLines) {
    expect_cases({
        {"uniq ", "a\nb\nb", 0, "", "a\na\nb\nb"},
        {"uniq ", "a\na", 0, "", "a\na"},  // the last line has no line feed, so it differs
        {"uniq ", "a\nb\na\n", 0, "", "a\nb\na\n"},
        {"uniq ", "", 0, "", ""},
        {"uniq -c", "      2 a\n      1 b\n", 0, "", "a\na\nb\n"},
        {"uniq -d", "a\nc\n", 0, "", "a\na\nb\nc\nc\nc\n"},
        {"uniq -u", "b\n", 0, "", "a\na\nb\nc\nc\n"},
        {"uniq -du", "", 0, "", "a\na\nb\n"},  // no group is both repeated and unique
        {"uniq -d -u -c", "", 0, "", "a\na\nb\n"},
        {"uniq -i", "A\nb\n", 0, "", "A\na\nb\n"},
        {"uniq -i", "\xC3\x89\n", 0, "", "\xC3\x89\n\xC3\xA9\n"},
        {"uniq -f 1", "x a\nz b\n", 0, "", "x a\ny a\nz b\n"},
        {"uniq -f1", "a\n", 0, "", "a\n b\n"},  // fewer fields than skipped: both keys are the line feed
        {"uniq -s 2", "xxa\nzzb\n", 0, "", "xxa\nyya\nzzb\n"},
        {"uniq -s2 -c", "      2 xxa\n", 0, "", "xxa\nyya\n"},
        {"uniq -f 1 -s 2", "p xa\n", 0, "", "p xa\nq ya\n"},
        {"uniq -", "a\n", 0, "", "a\na\n"},
        {"uniq -c", "      2 x\n      1 y\n      1 x", 0, "", "x\nx\ny\nx"},
        {"uniq -c", "      1 ab\n      1 a\n", 0, "", "ab\na\n"},  // a prefix of the previous line
        {"uniq -c", "      2 \xFF\n", 0, "", "\xFF\n\xFF\n"},     // invalid UTF-8 takes the general path
    });
}

// Through a pipe the input is grouped as it arrives: groups that span pieces, and an invalid
// record whose key equals a valid group's, still group as in a whole input.
TEST(UniqCommand, GroupsInputAsItArrives) {
    std::string input;
    for (int i = 0; i < 3000; ++i) input += "ab\n";
    input += "\xEF\xBF\xBD\n\xFF\ncd\ncd";
    expect_cases({
        {"cat | uniq -c", "   3000 ab\n      2 \xEF\xBF\xBD\n      1 cd\n      1 cd", 0, "", input},
        {"cat | uniq -ic", "   3000 ab\n      2 \xEF\xBF\xBD\n      1 cd\n      1 cd", 0, "", input},
        {"yes \"$(printf 'a\\nb')\" | uniq -c | head -n 3", "      1 a\n      1 b\n      1 a\n", 0, "", ""},
    });
}

// A file operand is taken a piece a step: a group that spans pieces is counted once.
TEST(UniqCommand, GroupsALargeFileInPieces) {
    Machine m = command_test::fresh_machine();
    std::string text;
    for (int i = 0; i < 400000; ++i) text += "ab\n";
    text += "cd\n";
    ASSERT_TRUE(m.vfs.write_file("/tmp/f", text, 0644).has_value());
    EXPECT_EQ(command_test::run_in(m, "uniq -c /tmp/f").out, " 400000 ab\n      1 cd\n");
    EXPECT_EQ(command_test::run_in(m, "cut -c2 /tmp/f | uniq -c").out, " 400000 b\n      1 d\n");
}

TEST(UniqCommand, UsageAndReadErrors) {
    expect_cases({
        {"uniq -cf 1", "", 2, "uniq: unimplemented option '-f'\n", "a\n"},
        {"uniq --count", "", 2, "uniq: unimplemented option '--'\n", "a\n"},
        {"uniq -z", "", 2, "uniq: unimplemented option '-z'\n", "a\n"},
        {"uniq -s x", "", 1, "uniq: invalid number for -s: x\n", "a\n"},
        {"uniq -f-1", "", 1, "uniq: invalid number for -f: -1\n", "a\n"},
        {"uniq -f", "", 1, "uniq: -f requires an argument\n", "a\n"},
        {"uniq a b", "", 2, "uniq: unimplemented output-file operand\n", "a\n"},
        {"uniq missing", "", 1, "uniq: missing: No such file or directory: missing\n", "a\n"},
    });
}

}  // namespace
}  // namespace tw
