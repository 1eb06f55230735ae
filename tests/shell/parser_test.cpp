#include "shell/parser.h"

#include <gtest/gtest.h>

TEST(ShellParse, Smoke) { EXPECT_TRUE(tw::shell_parse("echo a").has_value()); }
