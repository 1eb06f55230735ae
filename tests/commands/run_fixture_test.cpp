// The command fixture itself: an action's streams and status reach the test.
#include "run_fixture.h"

namespace tw::command_test {
namespace {

TEST(RunFixture, ActionStreamsAndStatus) {
    Ran r = run("echo out; echo err >&2; pwd; false");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "out\n/tmp\n");
    EXPECT_EQ(r.err, "err\n");
}

}  // namespace
}  // namespace tw::command_test
