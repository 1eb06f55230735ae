#include <gtest/gtest.h>

#include <string>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(CutCommand, FieldsCharactersAndBytes) {
    struct Case {
        const char* args;
        const char* input;
        const char* out;
    };
    const Case cases[] = {
        // Fields: lines without the delimiter pass whole; positions keep the list's order.
        {"-d, -f2", "a,b,c\nplain\n", "b\nplain\n"},
        {"-d , -f 3,1", "a,b,c\n", "c,a\n"},
        {"-f2", "a\tb\n", "b\n"},
        {"-d: -f2-", "a:b:c\n", "b:c\n"},
        {"-d: -f-2", "a:b:c\n", "a:b\n"},
        {"-d: -f5", "a:b\n", "\n"},
        {"-d: -f1,1", "a:b\n", "a:a\n"},
        {"-d: -fx,2", "a:b\n", "b\n"},
        {"-d '' -f2", "a\tb\n", "b\n"},
        {"-d\xC3\xA9 -f2", "a\xC3\xA9" "b\n", "b\n"},
        {"-d, -f1", "a,b\r\nc,d", "a\nc\n"},
        {"-s -d, -f2", "a,b\nplain\n", "b\n"},
        {"--only-delimited --delimiter=, --fields=2", "a,b\nplain\n", "b\n"},
        {"-f 2 -d", "a\tb\n", "b\n"},  // -d with nothing after it keeps the tab
        // Characters count decoded characters.
        {"-c2-", "\n", "\n"},
        {"-c 0-2", "abc\n", "ab\n"},
        {"-c 2,1", "\xC3\xA9x\n", "x\xC3\xA9\n"},
        {"-c 3-1", "abc\n", "\n"},
        {"--characters=1", "xyz\n", "x\n"},
        // Bytes count raw bytes.
        {"-b 1-2", "abc\nde\n", "ab\nde\n"},
        {"-b2", "\xC3\xA9\n", "\xA9\n"},
        {"--bytes 3", "abc\n", "c\n"},
        {"-c1 -b2", "abc\n", "b\n"},  // the later list wins
        {"-f1 -b2 -d,", "a,b\n", "a\n"},  // fields come first
        // Without a list nothing is written; other options have no effect.
        {"", "abc\n", ""},
        {"-z --complement -c1", "abc\n", "a\n"},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("cut ") + c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, "") << c.args;
    }
}

TEST(CutCommand, ReadsOperandsAndReportsTheFirstFailure) {
    auto r = run("printf 'a,b\\n' > f; printf 'c,d\\n' | cut -d, -f2 f - f");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "b\nd\nb\n");
    r = run("printf 'a,b\\n' > f; cut -f1 f missing other");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cut: missing: No such file or directory: missing\n");
}

}  // namespace
}  // namespace tw
