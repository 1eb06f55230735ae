#include <gtest/gtest.h>

#include "shell/variables.h"

namespace tw {
namespace {

TEST(Variables, LookupScalar) {
    ProcessState ps;
    set_variable(ps, "x", "1");
    EXPECT_EQ(lookup_parameter(ps, "x"), "1");
}

}  // namespace
}  // namespace tw
