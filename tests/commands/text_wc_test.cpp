#include <gtest/gtest.h>

#include <string>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::fresh_machine;
using command_test::run;
using command_test::run_in;

TEST(WcCommand, CountsOfStandardInput) {
    struct Case {
        const char* args;
        std::string input;
        const char* out;
    };
    const Case cases[] = {
        {"", "", "0       0       0\n"},
        {"", "a b\nc", "1       3       5\n"},
        {"-l", "a\nb", "1\n"},
        {"-w", " a\t\tb \xC2\xA0 c\xE3\x80\x80" "d\n", "4\n"},
        {"-c", "\xC3\xA9", "2\n"},
        {"-m", "\xC3\xA9", "1\n"},
        {"-m", "\xff\xfe", "2\n"},
        {"-mc", "\xC3\xA9", "2       1\n"},
        {"-cl --words", "x\n", "1       2\n"},
        {"-lwcm", "12345678 x\n", "1       2      11      11\n"},
        {"-c", std::string(1234567, 'x'), "1234567\n"},
    };
    for (const Case& c : cases) {
        auto r = run(std::string("wc ") + c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
}

// Lines and bytes of a piped input are counted as it arrives.
TEST(WcCommand, LinesAndBytesOfInputInPieces) {
    Machine m = fresh_machine();
    auto r = run_in(m, "i=0; while [ $i -lt 3000 ]; do echo $i; i=$((i+1)); done | wc -lc");
    EXPECT_EQ(r.out, "3000   13890\n");
    r = run_in(m, "head -c 100000 /dev/zero | wc -c; head -c 100000 /dev/zero | wc -l");
    EXPECT_EQ(r.out, "100000\n0\n");
}

TEST(WcCommand, OperandsAndTotal) {
    Machine m = fresh_machine();
    run_in(m, "printf 'a b c\\n' > three; printf 'x\\ny\\n' > two");
    auto r = run_in(m, "wc -l three");
    EXPECT_EQ(r.out, "1 three\n");
    r = run_in(m, "wc three missing two");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1       3       6 three\n2       2       4 two\n3       5      10 total\n");
    EXPECT_EQ(r.err, "wc: missing: No such file or directory: missing\n");
    r = run_in(m, "echo hello | wc -c two -");
    EXPECT_EQ(r.out, "4 two\n6 -\n10 total\n");
}

TEST(WcCommand, RefusesUnknownFlags) {
    auto r = run("wc -L", "abc");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "wc: unimplemented option\n");
}

}  // namespace
}  // namespace tw
