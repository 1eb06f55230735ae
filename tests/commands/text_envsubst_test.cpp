#include <gtest/gtest.h>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(EnvsubstCommand, ReplacesReferences) {
    struct Case {
        const char* input;
        const char* out;
    };
    const Case cases[] = {
        {"$HOME/x ${U}!", "/root/x me!"},
        {"[$NOPE] [${NOPE}]", "[] []"},
        {"cost: 5$", "cost: 5$"},
        {"${}x $ y", "$x $ y"},
        {"${U", "me"},
        {"$1$U_x$U", "me"},
        {"a\xff$U", "a\xEF\xBF\xBDme"},
        {"", ""},
    };
    for (const Case& c : cases) {
        auto r = run("U=me envsubst", c.input);
        EXPECT_EQ(r.status, 0) << c.input;
        EXPECT_EQ(r.out, c.out) << c.input;
    }
}

TEST(EnvsubstCommand, RefusesOperands) {
    auto r = run("envsubst '$HOME'", "$HOME");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "envsubst: unsupported operand\n");
}

}  // namespace
}  // namespace tw
