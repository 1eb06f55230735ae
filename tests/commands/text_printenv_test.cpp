#include <gtest/gtest.h>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::run;

TEST(PrintenvCommand, AllVariablesInNameOrder) {
    auto r = run("ZZ_LAST=1 AA_FIRST=2 printenv");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("AA_FIRST=2\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("HOME=/root\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 10), "ZZ_LAST=1\n");
}

TEST(PrintenvCommand, NamedVariablesAndMissingOnes) {
    auto r = run("A=1 B=2 printenv B NOPE A");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "2\n1\n");
    EXPECT_EQ(r.err, "");
    // Options are names too.
    r = run("printenv -0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tw
