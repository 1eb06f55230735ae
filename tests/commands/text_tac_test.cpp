#include <gtest/gtest.h>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(TacCommand, ReversesLinesAndEndsEachOne) {
    struct Case {
        const char* source;
        const char* out;
    };
    const Case cases[] = {
        {"printf 'a\\nb\\nc' | tac", "c\nb\na\n"},
        {"printf 'a\\r\\nb\\r\\n' | tac", "b\na\n"},
        {"printf '' | tac", ""},
        {"printf '\\n\\n' | tac", "\n\n"},
        {"printf '1\\n2\\n' > f; printf '3\\n' | tac f - f", "2\n1\n3\n2\n1\n"},
    };
    for (const Case& c : cases) {
        auto r = run(c.source);
        EXPECT_EQ(r.status, 0) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
    }
}

TEST(TacCommand, InvalidBytesBecomeReplacementCharacters) {
    auto r = run("tac", "x\xffy\nz");
    EXPECT_EQ(r.out, "z\nx\xEF\xBF\xBDy\n");
}

TEST(TacCommand, UnreadableOperandFailsWithoutOutput) {
    auto r = run("printf 'a\\n' > f; tac f missing");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tac: missing: No such file or directory: missing\n");
}

TEST(TacCommand, InputArrivingInManyChunks) {
    // 3000 lines written by a loop reach tac in several reads.
    auto r = run("i=0; while [ $i -lt 3000 ]; do echo $i; i=$((i+1)); done | tac | tail -n 2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n0\n");
}

}  // namespace
}  // namespace tw
