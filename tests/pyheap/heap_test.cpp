#include <gtest/gtest.h>

#include "fixture.h"

namespace tw::py {
namespace {

using test::HeapFixture;
using test::MiB;

TEST(Heap, CollectionThresholds) {
    struct Case {
        std::uint64_t limit, young, full;
    } cases[] = {
        {8 * MiB, 512 * 1024, 1 * MiB},
        {1024 * MiB, 4 * MiB, 32 * MiB},
        {1 * MiB, 256 * 1024, 1 * MiB},
    };
    for (const Case& c : cases) {
        GcLimits g = gc_limits(c.limit);
        EXPECT_EQ(g.young_limit, c.young) << c.limit;
        EXPECT_EQ(g.full_floor, c.full) << c.limit;
    }
}

TEST(Heap, YoungCollectionStartsPastTheYoungLimit) {
    HeapFixture f;  // 8 MiB: young limit 512 KiB
    const std::uint64_t fit = 512 * 1024 / 80;  // empty lists that fit the young limit
    for (std::uint64_t i = 0; i < fit; ++i) f.list();
    EXPECT_EQ(f.heap.young_collections(), 0u);
    EXPECT_EQ(f.heap.young_bytes(), fit * 80);
    f.list();
    EXPECT_EQ(f.heap.young_collections(), 1u);
    EXPECT_EQ(f.heap.promoted_objects(), fit);  // all held by the scoped root stack
    EXPECT_EQ(f.heap.old_bytes(), fit * 80);
    EXPECT_EQ(f.heap.young_bytes(), 80u);
}

TEST(Heap, AllocationCharges) {
    HeapFixture f;
    f.list();
    EXPECT_EQ(f.meter.memory_current(), 80u);
    EXPECT_EQ(f.meter.cpu_used(), 1u);
    f.list(std::vector<Value>(100, Value::none()));
    EXPECT_EQ(f.meter.memory_current(), 80u + 2480u);
    EXPECT_EQ(f.meter.cpu_used(), 1u + 38u);
    EXPECT_EQ(f.heap.total_bytes(), 2560u);
    EXPECT_EQ(f.heap.root_depth(), 2u);
}

TEST(Heap, StaleHandlesAreRefused) {
    HeapFixture f;
    Value a = f.list();
    f.drop_scoped_roots();
    ASSERT_TRUE(f.heap.collect_full(nullptr, nullptr, f.meter));
    EXPECT_EQ(f.meter.memory_current(), 0u);
    auto gone = f.heap.get(a);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().message(), "stale reference to a freed object");
    Value b = f.list();
    EXPECT_EQ(b.handle().index, a.handle().index);
    EXPECT_NE(b, a);
    EXPECT_TRUE(f.heap.get(b));
    EXPECT_FALSE(f.heap.get(a));
    EXPECT_FALSE(f.heap.slot_mut(a));
    EXPECT_EQ(f.heap.get(Value::from_int(1)).error().message(), "expected a heap object");
    EXPECT_EQ(f.heap.object_identity(a).error().message(), "stale reference to a freed object");
    EXPECT_EQ(f.heap.object_identity(b).value(), b.handle().index + 1);
}

TEST(Heap, RefusedGrowthLeavesTheObjectUnchanged) {
    HeapFixture f(1000);
    Value l = f.list();
    for (int i = 0; i < 38; ++i) f.append(l, Value::from_int(i));  // 80 + 38 * 24 = 992
    auto before = f.items(l);
    auto r = f.heap.update_object_size(l, kValueSlotBytes, &f.roots, f.meter);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKindTag::Resource);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");
    EXPECT_EQ(f.items(l), before);
    EXPECT_EQ(f.heap.get(l).value()->modeled_size, 992u);
    EXPECT_EQ(f.meter.stop_reason(), StopReason::memory_exhausted);
    // Once the meter has a stop reason, every allocation is refused by the CPU charge.
    auto a = f.heap.allocate_object(ListPayload{}, nullptr, f.meter);
    ASSERT_FALSE(a);
    EXPECT_EQ(a.error().message(), "resource limit exceeded while executing Python");
}

TEST(Heap, ExhaustedMemoryCollectsFirst) {
    HeapFixture f(64 * 1024);
    for (int i = 0; i < 2000; ++i) {
        std::size_t depth = f.heap.root_depth();
        ASSERT_TRUE(f.heap.allocate_object(ListPayload{std::vector<Value>(10, Value::none())}, nullptr, f.meter));
        f.heap.truncate_roots(depth, f.meter);
    }
    EXPECT_FALSE(f.meter.stop_reason().has_value());
    EXPECT_GT(f.heap.young_collections() + f.heap.full_collections(), 0u);
    EXPECT_LE(f.meter.memory_current(), 64u * 1024);
    // Everything kept alive: the limit is reached and reported, and no slot is taken.
    std::size_t live = f.heap.live_count();
    PyResult<Value> r = f.heap.allocate_object(ListPayload{}, nullptr, f.meter);
    for (int i = 0; r && i < 10000; ++i) r = f.heap.allocate_object(ListPayload{}, nullptr, f.meter);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");
    EXPECT_GT(f.heap.live_count(), live);
    EXPECT_EQ(f.meter.memory_current(), f.heap.total_bytes());
}

TEST(Heap, DeepCopyIsIndependent) {
    HeapFixture f;
    Value l = f.list();
    f.append(l, Value::from_int(1));
    Heap copy = f.heap;
    f.append(l, Value::from_int(2));
    EXPECT_EQ(std::get<ListPayload>(copy.get(l).value()->object).items.size(), 1u);
    EXPECT_EQ(f.items(l).size(), 2u);
}

}  // namespace
}  // namespace tw::py
