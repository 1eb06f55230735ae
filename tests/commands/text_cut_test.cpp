#include <gtest/gtest.h>

#include <string>

#include "case_fixture.h"

namespace tw {
namespace {

using command_test::expect_cases;
using command_test::run;

TEST(CutCommand, FieldsCharactersAndBytes) {
    expect_cases({
        // Fields: lines without the delimiter pass whole; each position is written once, in input
        // order, however the list names it.
        {"cut -d, -f2", "b\nplain\n", 0, "", "a,b,c\nplain\n"},
        {"cut -d , -f 3,1", "a,c\n", 0, "", "a,b,c\n"},
        {"cut -d: -f 2-,1-2", "a:b:c:d\n", 0, "", "a:b:c:d\n"},
        {"cut -f2", "b\n", 0, "", "a\tb\n"},
        {"cut -d: -f2-", "b:c\n", 0, "", "a:b:c\n"},
        {"cut -d: -f-2", "a:b\n", 0, "", "a:b:c\n"},
        {"cut -d: -f5", "\n", 0, "", "a:b\n"},
        {"cut -d: -f1,1", "a\n", 0, "", "a:b\n"},
        {"cut -d: -fx,2", "b\n", 0, "", "a:b\n"},
        {"cut -d '' -f2", "b\n", 0, "", "a\tb\n"},
        {"cut -d\xC3\xA9 -f2", "b\n", 0, "", "a\xC3\xA9" "b\n"},
        {"cut -d, -f1", "a\nc\n", 0, "", "a,b\r\nc,d"},
        {"cut -s -d, -f2", "b\n", 0, "", "a,b\nplain\n"},
        {"cut --only-delimited --delimiter=, --fields=2", "b\n", 0, "", "a,b\nplain\n"},
        {"cut -f 2 -d", "b\n", 0, "", "a\tb\n"},  // -d with nothing after it keeps the tab
        // Characters count decoded characters.
        {"cut -c2-", "\n", 0, "", "\n"},
        {"cut -c 0-2", "ab\n", 0, "", "abc\n"},
        {"cut -c 2,1", "\xC3\xA9x\n", 0, "", "\xC3\xA9x\n"},
        {"cut -c 1-3,2-4", "abcd\n", 0, "", "abcdef\n"},
        {"cut -c 5-,2,1-2", "abef\n", 0, "", "abcdef\n"},
        {"cut -c 3-1", "\n", 0, "", "abc\n"},
        {"cut --characters=1", "x\n", 0, "", "xyz\n"},
        // Bytes count raw bytes.
        {"cut -b 1-2", "ab\nde\n", 0, "", "abc\nde\n"},
        {"cut -b2", "\xA9\n", 0, "", "\xC3\xA9\n"},
        {"cut --bytes 3", "c\n", 0, "", "abc\n"},
        {"cut -c1 -b2", "b\n", 0, "", "abc\n"},  // the later list wins
        {"cut -f1 -b2 -d,", "a\n", 0, "", "a,b\n"},  // fields come first
        // Without a list nothing is written; other options are refused, not ignored.
        {"cut ", "", 0, "", "abc\n"},
        {"cut -z -c1", "", 2, "cut: unimplemented option '-z'\n", "abc\n"},
        {"cut --complement -c1", "", 2, "cut: unimplemented option '--complement'\n", "abc\n"},
        {"cut -d: -f1 --output-delimiter=' '", "", 2, "cut: unimplemented option '--output-delimiter'\n", "a:b\n"},
    });
}

// Through a pipe lines are cut as they arrive: a line cut by a piece boundary stays whole, and a
// reader that stops early ends an endless producer.
TEST(CutCommand, CutsInputAsItArrives) {
    std::string input, out;
    for (int i = 0; i < 1000; ++i) {
        input += "alpha,\xC3\xA9t\xC3\xA9,gamma\n";
        out += "\xC3\xA9t\xC3\xA9\n";
    }
    expect_cases({
        {"cat | cut -d, -f2", out, 0, "", input},
        {"cat | cut -c7-9", out, 0, "", input},
        {"yes abc | cut -c2- | head -n 2", "bc\nbc\n", 0, "", ""},
    });
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
