#include <gtest/gtest.h>

#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 100'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

class DisplayTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);

    std::uint64_t memory() const { return m.meter.memory_current(); }

    // Makes `pid` the active process (a second process state beside the shell).
    void activate(Pid pid) {
        if (!m.states.find(pid)) {
            ASSERT_TRUE(m.states.insert(pid, ProcessState{}).has_value());
        }
        ASSERT_TRUE(m.states.select(pid).has_value());
    }
};

TEST_F(DisplayTest, OpenChecksSizesAndChargesTheFrame) {
    struct Case {
        std::uint32_t w, h, format;
    };
    for (const Case c : {Case{2049, 1, 1}, Case{0, 1, 1}, Case{1, 2049, 1}, Case{1, 0, 1}, Case{4, 4, 2}}) {
        EXPECT_EQ(m.display_open(c.w, c.h, c.format).error(), DisplayError::InvalidArgument) << c.w << "x" << c.h;
    }
    EXPECT_EQ(memory(), 0u);
    EXPECT_FALSE(m.display.frame.has_value());

    const std::uint64_t before = memory();
    ASSERT_EQ(*m.display_open(2048, 2048, 1), 1u);
    EXPECT_EQ(memory() - before, 16'777'216u);
    EXPECT_EQ(m.display.frame->size(), 16'777'216u);
    EXPECT_EQ(m.display.owner, kFirstShellPid);
    // Busy for everyone while open, the owner included.
    EXPECT_EQ(m.display_open(4, 4, 1).error(), DisplayError::Busy);
    activate(4000);
    EXPECT_EQ(m.display_open(4, 4, 1).error(), DisplayError::Busy);
    EXPECT_EQ(m.display_close(1).error(), DisplayError::BadHandle);
    activate(kFirstShellPid);

    // Present whole frames at the exact stride, then close and reopen smaller.
    Bytes pixels(16'777'216, '\x7f');
    EXPECT_EQ(m.display_present(1, pixels, 2048 * 4 + 4).error(), DisplayError::InvalidArgument);
    EXPECT_EQ(m.display_present(1, BytesView(pixels).substr(4), 2048 * 4).error(), DisplayError::InvalidArgument);
    EXPECT_EQ(m.display_present(2, pixels, 2048 * 4).error(), DisplayError::BadHandle);
    const std::uint64_t cpu = m.meter.cpu_used();
    ASSERT_TRUE(m.display_present(1, pixels, 2048 * 4).has_value());
    EXPECT_EQ(m.display.generation, 1u);
    EXPECT_EQ(m.meter.cpu_used() - cpu, 16'777'216u);
    EXPECT_EQ(*m.display.frame, pixels);

    ASSERT_TRUE(m.display_close(1).has_value());
    EXPECT_EQ(m.display_close(1).error(), DisplayError::BadHandle);
    EXPECT_EQ(memory() - before, 16'777'216u);  // the closed frame keeps its charge
    activate(4000);
    ASSERT_EQ(*m.display_open(2, 3, 1), 1u);
    EXPECT_EQ(memory() - before, 24u);
    EXPECT_EQ(*m.display.frame, Bytes(24, '\0'));
    EXPECT_EQ(m.display.generation, 1u);
    EXPECT_EQ(m.display.owner, 4000u);
}

TEST_F(DisplayTest, RefusedChargesChangeNothing) {
    Machine small = Machine::build({.cpu = 100, .memory = 1000, .disk = 1 << 20, .output = 1 << 20});
    EXPECT_EQ(small.display_open(16, 16, 1).error(), DisplayError::Exhausted);
    EXPECT_FALSE(small.display.is_open);
    EXPECT_FALSE(small.display.frame.has_value());

    Machine cpu = Machine::build({.cpu = 100, .memory = 1 << 20, .disk = 1 << 20, .output = 1 << 20});
    ASSERT_TRUE(cpu.display_open(8, 8, 1).has_value());
    EXPECT_EQ(cpu.display_present(1, Bytes(256, 'x'), 32).error(), DisplayError::Exhausted);
    EXPECT_EQ(*cpu.display.frame, Bytes(256, '\0'));
    EXPECT_EQ(cpu.display.generation, 0u);
}

TEST_F(DisplayTest, KeyQueueIsBoundedAndCharged) {
    EXPECT_EQ(m.inject_key(0, true).error(), DisplayError::InvalidArgument);
    EXPECT_EQ(m.inject_key(65536, true).error(), DisplayError::InvalidArgument);
    for (std::uint32_t i = 1; i <= 256; ++i) ASSERT_TRUE(m.inject_key(i, i % 2 == 1).has_value()) << i;
    EXPECT_EQ(m.inject_key(65535, true).error(), DisplayError::QueueFull);
    EXPECT_EQ(memory(), 256u * 16);

    // Polling needs the display; events injected before it opened come oldest first.
    EXPECT_EQ(m.input_poll_key(1).error(), DisplayError::BadHandle);
    ASSERT_TRUE(m.display_open(1, 1, 1).has_value());
    EXPECT_EQ(m.input_poll_key(0).error(), DisplayError::BadHandle);
    activate(4000);
    EXPECT_EQ(m.input_poll_key(1).error(), DisplayError::BadHandle);
    activate(kFirstShellPid);
    EXPECT_EQ(*m.input_poll_key(1), (KeyEvent{1, 1}));
    EXPECT_EQ(*m.input_poll_key(1), (KeyEvent{2, 0}));
    EXPECT_EQ(memory(), 254u * 16 + 4);
    while (!m.display.keys.empty()) ASSERT_TRUE(m.input_poll_key(1).has_value());
    EXPECT_EQ(memory(), 4u);
    EXPECT_EQ(*m.input_poll_key(1), (KeyEvent{0, 2}));
    EXPECT_EQ(memory(), 4u);

    // The owner's program ending closes the display; the frame stays.
    m.release_display(4000);
    EXPECT_TRUE(m.display.is_open);
    m.release_display(kFirstShellPid);
    EXPECT_FALSE(m.display.is_open);
    EXPECT_TRUE(m.display.frame.has_value());
}

}  // namespace
}  // namespace tw
