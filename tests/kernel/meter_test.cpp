#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "kernel/meter.h"

namespace tw {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

ResourceMeter meter(std::uint64_t cpu, std::uint64_t memory, std::uint64_t output) {
    return ResourceMeter(MachineLimits{cpu, memory, 5000, output});
}

TEST(ResourceMeter, CpuChargeUpToTheLimitThenStops) {
    ResourceMeter m = meter(100, 1000, 1000);
    EXPECT_TRUE(m.charge_cpu(60));
    EXPECT_TRUE(m.charge_cpu(40));
    EXPECT_FALSE(m.stop_reason().has_value());
    EXPECT_FALSE(m.charge_cpu(1));
    EXPECT_EQ(m.cpu_used(), 100u);
    EXPECT_EQ(m.stop_reason(), StopReason::cpu_exhausted);
    EXPECT_EQ(m.limits(), (MachineLimits{100, 1000, 5000, 1000}));
}

TEST(ResourceMeter, RefusedMemoryChargeLeavesUsageAndReleaseStillWorks) {
    ResourceMeter m = meter(1000, 100, 1000);
    EXPECT_TRUE(m.charge_memory(90));
    EXPECT_FALSE(m.charge_memory(20));
    EXPECT_EQ(m.memory_current(), 90u);
    EXPECT_EQ(m.memory_peak(), 90u);
    EXPECT_EQ(m.stop_reason(), StopReason::memory_exhausted);
    m.release_memory(200);
    EXPECT_EQ(m.memory_current(), 0u);
    EXPECT_EQ(m.memory_peak(), 90u);
}

TEST(ResourceMeter, OutputOverLimitPinsButOverflowDoesNot) {
    ResourceMeter over = meter(1000, 1000, 10);
    EXPECT_TRUE(over.charge_output(8));
    EXPECT_EQ(over.output_remaining(), 2u);
    EXPECT_FALSE(over.charge_output(5));
    EXPECT_EQ(over.output_used(), 10u);
    EXPECT_EQ(over.output_remaining(), 0u);
    EXPECT_EQ(over.stop_reason(), StopReason::output_limit_exceeded);

    ResourceMeter wrap = meter(kMax, kMax, kMax);
    EXPECT_TRUE(wrap.charge_output(8));
    EXPECT_FALSE(wrap.charge_output(kMax));
    EXPECT_EQ(wrap.output_used(), 8u);
    EXPECT_EQ(wrap.stop_reason(), StopReason::output_limit_exceeded);

    ResourceMeter cpu_wrap = meter(kMax, kMax, kMax);
    EXPECT_TRUE(cpu_wrap.charge_cpu(8));
    EXPECT_FALSE(cpu_wrap.charge_cpu(kMax));
    EXPECT_EQ(cpu_wrap.cpu_used(), kMax);  // pinned at the limit
}

TEST(ResourceMeter, StopRecordsTheFirstReasonAndMovesNoCounter) {
    ResourceMeter m = meter(10, 10, 10);
    ASSERT_TRUE(m.charge_output(4));
    m.stop(StopReason::output_limit_exceeded);
    m.stop(StopReason::cpu_exhausted);
    EXPECT_EQ(m.stop_reason(), StopReason::output_limit_exceeded);
    EXPECT_EQ(m.output_used(), 4u);
    EXPECT_EQ(m.output_remaining(), 6u);
    EXPECT_FALSE(m.charge_cpu(0));
}

TEST(ResourceMeter, AnyStopReasonBlocksEveryChargeForGood) {
    // Each kind of failure, then every charge (even of 0) is refused and nothing moves.
    for (int which = 0; which < 3; ++which) {
        ResourceMeter m = meter(10, 10, 10);
        EXPECT_TRUE(m.charge_cpu(0));
        const bool charged = which == 0 ? m.charge_cpu(11) : which == 1 ? m.charge_memory(11) : m.charge_output(11);
        EXPECT_FALSE(charged);
        const auto reason = m.stop_reason();
        const auto cpu = m.cpu_used();
        EXPECT_FALSE(m.charge_cpu(0)) << which;
        EXPECT_FALSE(m.charge_memory(1)) << which;
        EXPECT_FALSE(m.charge_output(1)) << which;
        EXPECT_EQ(m.stop_reason(), reason);
        EXPECT_EQ(m.cpu_used(), cpu);
        EXPECT_EQ(m.memory_current(), 0u);
    }
    EXPECT_EQ(stop_reason_name(StopReason::cpu_exhausted), "cpu_exhausted");
    EXPECT_EQ(stop_reason_name(StopReason::memory_exhausted), "memory_exhausted");
    EXPECT_EQ(stop_reason_name(StopReason::output_limit_exceeded), "output_limit_exceeded");
}

TEST(ResourceMeter, CommandUsageMergesByTextInFirstAppearanceOrder) {
    ResourceMeter m = meter(kMax, kMax, kMax);
    m.charge_cpu(30);
    m.record_command_usage("ls", 0, 1000, 1000);
    m.record_command_usage("rm", 30, 1000, 400);  // deleted 600 bytes, used no CPU
    m.charge_cpu(12);
    m.record_command_usage("ls", 30, 400, 450);
    m.record_command_usage("cat", 100, 0, 0);     // a start after now counts as 0
    const std::vector<CommandUsage> want{
        {"ls", 42, 50},
        {"rm", 0, -600},
        {"cat", 0, 0},
    };
    EXPECT_EQ(m.command_usage(), want);

    // The signed total saturates instead of wrapping.
    m.record_command_usage("rm", 0, kMax, 0);
    m.record_command_usage("rm", 0, kMax, 0);
    EXPECT_EQ(m.command_usage()[1].disk_delta, std::numeric_limits<std::int64_t>::min());

    // A copy carries its own index.
    ResourceMeter copy = m;
    copy.record_command_usage("ls", 0, 0, 0);
    copy.record_command_usage("new", 0, 0, 0);
    EXPECT_EQ(copy.command_usage().size(), 4u);
    EXPECT_EQ(copy.command_usage()[0].cpu, 42u + 42u);
    EXPECT_EQ(m.command_usage().size(), 3u);
}

}  // namespace
}  // namespace tw
