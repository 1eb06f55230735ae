#include "base/stack.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <string>

#include "base/panic.h"

namespace {

// Keeps a local buffer alive in the frame.
inline void keep(volatile char* p) { asm volatile("" : : "r"(p) : "memory"); }

// Each level keeps about 1 KiB live on the stack, far more than a 8 MiB stack holds at the
// depths used below.
std::uint64_t deep_sum(int n) {
    if (n == 0) return 0;
    volatile char pad[1024];
    pad[0] = static_cast<char>(n);
    std::uint64_t below = tw::with_stack_headroom([&] { return deep_sum(n - 1); });
    return below + static_cast<unsigned char>(pad[0]) % 2;
}

void deep_throw(int n) {
    volatile char pad[1024];
    pad[0] = 1;
    keep(pad);
    if (n == 0) tw::panic("bottom reached");
    tw::with_stack_headroom([&] { deep_throw(n - 1); });
    pad[0] = 2;
}

TEST(StackHeadroom, DeepRecursionContinuesOnFreshSegments) {
    // 40000 levels of ~1 KiB need ~40 MiB, several segments beyond the thread's own stack.
    std::uint64_t expected = 0;
    for (int n = 1; n <= 40000; ++n) expected += static_cast<unsigned char>(static_cast<char>(n)) % 2;
    EXPECT_EQ(deep_sum(40000), expected);
    EXPECT_FALSE(tw::stack_headroom_low());
    // A second deep run reuses pooled segments and gives the same answer.
    EXPECT_EQ(deep_sum(40000), expected);
}

TEST(StackHeadroom, PanicPropagatesAcrossSegmentsAndRestoresTheFloor) {
    try {
        deep_throw(20000);
        FAIL() << "no panic";
    } catch (const tw::Panic& p) {
        EXPECT_EQ(p.message(), "bottom reached");
    }
    EXPECT_FALSE(tw::stack_headroom_low());
    EXPECT_GT(deep_sum(20000), 0u);
}

std::unique_ptr<std::string> deep_unique(int n) {
    volatile char pad[4096];
    pad[0] = 0;
    keep(pad);
    if (n == 0) return std::make_unique<std::string>("moved");
    return tw::with_stack_headroom([&] { return deep_unique(n - 1); });
}

int target = 7;

int& deep_ref(int n) {
    volatile char pad[4096];
    pad[0] = 0;
    keep(pad);
    if (n == 0) return target;
    return tw::with_stack_headroom([&]() -> int& { return deep_ref(n - 1); });
}

TEST(StackHeadroom, ResultKinds) {
    // Move-only values, references and void all pass through, also from fresh segments
    // (4000 levels of ~4 KiB take ~16 MiB).
    EXPECT_EQ(*deep_unique(4000), "moved");
    EXPECT_EQ(&deep_ref(4000), &target);
    int calls = 0;
    tw::with_stack_headroom([&] { ++calls; });
    EXPECT_EQ(calls, 1);
}

void* small_thread_body(void* out) {
    // A 128 KiB stack is below the headroom itself: every guarded call runs on a segment.
    *static_cast<std::uint64_t*>(out) = deep_sum(10000);
    return nullptr;
}

TEST(StackHeadroom, ThreadWithASmallStack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    std::uint64_t result = 0;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, small_thread_body, &result), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(result, 5000u);
}

}  // namespace
