// The regular-expression engine's own work is paid for by the commands that search: a pattern
// that backtracks without end on a long line stops at the CPU budget instead of holding the host.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "run_fixture.h"

namespace tw {
namespace {

using command_test::fresh_machine;

// A line on which each pattern below backtracks exponentially, and the patterns in every
// searching command's own dialect.
const std::string kLine = std::string(40, 'a') + "!\n";

TEST(RegexWork, CatastrophicPatternsStopAtTheCpuBudget) {
    constexpr std::uint64_t kBudget = 3'000'000;
    for (const char* script : {
             "grep -E '(a|aa)*[0-9]' in.txt",
             "grep -c '\\(a*\\)*[0-9]' in.txt",
             "grep -E -o '(a|aa)*[0-9]' in.txt",
             "cat in.txt | grep -E '^(a|aa)*$'",
             "rg '(a|aa)*[0-9]' in.txt",
             "sed -E 's/(a|aa)*[0-9]/x/g' in.txt",
             "sed -E '/(a|aa)*[0-9]/d' in.txt",
             "awk '/(a|aa)*[0-9]/' in.txt",
             "awk '{ gsub(/(a|aa)*[0-9]/, \"x\") }' in.txt",
             "awk '{ n = split($0, f, /(a|aa)*[0-9]/) }' in.txt",
         }) {
        SCOPED_TRACE(script);
        Machine m = fresh_machine({.cpu = kBudget, .memory = 1ULL << 30, .disk = 1ULL << 30, .output = 1 << 20});
        ASSERT_EQ(m.run_action("cat > in.txt", kLine).outcome.exit_status, 0);
        ActionResult r = m.run_action(script, "");
        EXPECT_EQ(r.outcome.stop_reason, StopReason::cpu_exhausted) << r.err;
        EXPECT_EQ(r.outcome.exit_status, 137);
        EXPECT_LE(r.outcome.usage.cpu_used, kBudget);
    }
}

// With room in the budget, the same work is charged and the engine's own limit still answers.
TEST(RegexWork, EngineStepsAreCharged) {
    const auto cpu = [](const std::string& line) {
        Machine m = fresh_machine();
        m.run_action("cat > in.txt", line);
        ActionResult r = m.run_action("grep -cE '(a|aa)*[0-9]' in.txt", "");
        EXPECT_EQ(r.out, "0\n");
        return r.outcome.usage.cpu_used;
    };
    // 24 a's take about 100,000 steps, 12 a's a few hundred: far more than 12 bytes apart.
    EXPECT_GT(cpu(std::string(24, 'a') + "\n") - cpu(std::string(12, 'a') + "\n"), 20'000u);
}

}  // namespace
}  // namespace tw
