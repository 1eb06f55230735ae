#include <gtest/gtest.h>

#include <string>

#include "case_fixture.h"

namespace tw {
namespace {

using command_test::expect_cases;
using command_test::fresh_machine;
using command_test::run;
using command_test::run_in;

TEST(TailCommand, CountsFromEndOrStart) {
    // The input is the five lines 1..5, the last without a line feed.
    const std::string five = "printf '1\\n2\\n3\\n4\\n5' | tail ";
    expect_cases({
        {five, "1\n2\n3\n4\n5"},
        {five + "-n 2", "4\n5"},
        {five + "-n2", "4\n5"},
        {five + "-2", "4\n5"},
        {five + "-n +2", "2\n3\n4\n5"},
        {five + "+4", "4\n5"},
        {five + "-n +0", "1\n2\n3\n4\n5"},
        {five + "-n 0", ""},
        {five + "-n -1", "5"},
        {five + "-n 99", "1\n2\n3\n4\n5"},
        {five + "-c 3", "4\n5"},
        {five + "-c+7", "4\n5"},
        {five + "-c +1", "1\n2\n3\n4\n5"},
        {five + "-c 100", "1\n2\n3\n4\n5"},
        {five + "-n 1 -c 2", "\n5"},
        {five + "-c 2 -n 1", "5"},
        {five + "-- -", "1\n2\n3\n4\n5"},
    });
}

TEST(TailCommand, HeadersForSeveralOperands) {
    Machine m = fresh_machine();
    run_in(m, "printf 'a\\nb\\nc\\n' > one; printf 'x\\n' > two");
    auto r = run_in(m, "tail -n 2 one two");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "==> one <==\nb\nc\n\n==> two <==\nx\n");

    r = run_in(m, "tail missing two");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "==> two <==\nx\n");
    EXPECT_EQ(r.err, "tail: missing: No such file or directory: missing\n");

    r = run_in(m, "echo in | tail -n 1 two -");
    EXPECT_EQ(r.out, "==> two <==\nx\n\n==> - <==\nin\n");
}

TEST(TailCommand, UsageErrors) {
    expect_cases({
        {"tail -x", "", 2, "tail: unimplemented option '-x'\n"},
        {"tail --lines=2", "", 2, "tail: unimplemented option '--lines=2'\n"},
        {"tail -f f", "", 2, "tail: unimplemented follow mode\n"},
        {"tail -F", "", 2, "tail: unimplemented follow mode\n"},
        {"tail -n", "", 1, "tail: option requires an argument -- 'n'\n"},
        {"tail -c", "", 1, "tail: option requires an argument -- 'c'\n"},
        {"tail -n x", "", 1, "tail: invalid number of lines: x\n"},
        {"tail -c 1k", "", 1, "tail: invalid number of bytes: 1k\n"},
        {"tail +x", "", 1, "tail: invalid number of lines: +x\n"},
        {"tail -99999999999999999999", "", 1, "tail: invalid number of lines: -99999999999999999999\n"},
    });
}

}  // namespace
}  // namespace tw
