#include <gtest/gtest.h>

#include <string>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(UniqCommand, GroupsAdjacentEqualLines) {
    struct Case {
        const char* args;
        const char* input;
        const char* out;
    };
    const Case cases[] = {
        {"", "a\na\nb\nb", "a\nb\nb"},
        {"", "a\na", "a\na"},  // the last line has no line feed, so it differs
        {"", "a\nb\na\n", "a\nb\na\n"},
        {"", "", ""},
        {"-c", "a\na\nb\n", "      2 a\n      1 b\n"},
        {"-d", "a\na\nb\nc\nc\nc\n", "a\nc\n"},
        {"-u", "a\na\nb\nc\nc\n", "b\n"},
        {"-du", "a\na\nb\n", "a\nb\n"},
        {"-i", "A\na\nb\n", "A\nb\n"},
        {"-i", "\xC3\x89\n\xC3\xA9\n", "\xC3\x89\n"},
        {"-f 1", "x a\ny a\nz b\n", "x a\nz b\n"},
        {"-f1", "a\n b\n", "a\n"},  // fewer fields than skipped: both keys are the line feed
        {"-s 2", "xxa\nyya\nzzb\n", "xxa\nzzb\n"},
        {"-s2 -c", "xxa\nyya\n", "      2 xxa\n"},
        {"-f 1 -s 2", "p xa\nq ya\n", "p xa\n"},
        {"-", "a\na\n", "a\n"},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("uniq ") + c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args << " on " << c.input;
        EXPECT_EQ(r.out, c.out) << c.args << " on " << c.input;
        EXPECT_EQ(r.err, "") << c.args;
    }
}

TEST(UniqCommand, UsageAndReadErrors) {
    struct Case {
        const char* args;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"-cf 1", 2, "uniq: unimplemented option '-f'\n"},
        {"--count", 2, "uniq: unimplemented option '--'\n"},
        {"-z", 2, "uniq: unimplemented option '-z'\n"},
        {"-s x", 1, "uniq: invalid number for -s: x\n"},
        {"-f-1", 1, "uniq: invalid number for -f: -1\n"},
        {"-f", 1, "uniq: -f requires an argument\n"},
        {"a b", 2, "uniq: unimplemented output-file operand\n"},
        {"missing", 1, "uniq: missing: No such file or directory: missing\n"},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("uniq ") + c.args, "a\n");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
}

}  // namespace
}  // namespace tw
