#include <gtest/gtest.h>

#include <string>

#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"

namespace tw::py {
namespace {

struct Storage : ::testing::Test {
    Heap heap;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};
    StoreContext sc{heap, nullptr, meter};

    Value object() { return heap.allocate_object(ObjectPayload{}, nullptr, meter).value(); }
    Symbol sym(const std::string& s) { return heap.symbols.intern_static(s); }
    std::uint64_t size(Value o) { return heap.get(o).value()->modeled_size; }
    std::uint32_t shape(Value o) { return heap.get(o).value()->attributes->shape; }
    bool dictionary(Value o) { return heap.get(o).value()->attributes->dictionary; }
    std::optional<Value> get(Value o, const std::string& s) { return instance_get_attr(heap, o, sym(s)).value(); }
};

TEST_F(Storage, SameStoresShareOneShape) {
    Value a = object(), b = object(), c = object();
    for (Value o : {a, b}) {
        ASSERT_TRUE(instance_store_attr(sc, o, sym("x"), Value::from_int(1)));
        ASSERT_TRUE(instance_store_attr(sc, o, sym("y"), Value::from_int(2)));
    }
    ASSERT_TRUE(instance_store_attr(sc, c, sym("y"), Value::from_int(2)));
    ASSERT_TRUE(instance_store_attr(sc, c, sym("x"), Value::from_int(1)));
    EXPECT_EQ(shape(a), shape(b));
    EXPECT_NE(shape(a), shape(c));
    EXPECT_EQ(get(c, "x"), Value::from_int(1));
    EXPECT_EQ(get(a, "y"), Value::from_int(2));
    EXPECT_FALSE(get(a, "z").has_value());
    EXPECT_EQ(heap.shapes.size(), 5u);  // root, x, x.y, y, y.x
}

TEST_F(Storage, GrowthCharges) {
    Value o = object();
    const std::uint64_t base = size(o);
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a0"), Value::from_int(0)));
    EXPECT_EQ(size(o), base + 48);  // the first attribute
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a1"), Value::from_int(1)));
    EXPECT_EQ(size(o), base + 64);
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a1"), Value::from_int(5)));  // overwrite: free
    EXPECT_EQ(size(o), base + 64);
    for (int i = 2; i < 32; ++i) ASSERT_TRUE(instance_store_attr(sc, o, sym("a" + std::to_string(i)), Value::from_int(i)));
    EXPECT_FALSE(dictionary(o));
    const std::uint64_t before = size(o);
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a32"), Value::from_int(32)));  // the 33rd
    EXPECT_TRUE(dictionary(o));
    EXPECT_EQ(size(o), before + 32 * 32 + 48);
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a33"), Value::from_int(33)));
    EXPECT_EQ(size(o), before + 32 * 32 + 96);
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a33"), Value::from_int(7)));
    EXPECT_EQ(size(o), before + 32 * 32 + 96);
    auto attrs = instance_attributes(heap, o).value();
    ASSERT_EQ(attrs.size(), 34u);
    EXPECT_EQ(heap.symbols.name_of(attrs[0].symbol), "a0");
    EXPECT_EQ(attrs[1].value, Value::from_int(5));
    EXPECT_EQ(attrs[33].value, Value::from_int(7));
}

TEST_F(Storage, RemovalConvertsToDictionary) {
    Value o = object();
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a"), Value::from_int(1)));
    ASSERT_TRUE(instance_store_attr(sc, o, sym("b"), Value::from_int(2)));
    const std::uint64_t before = size(o);
    EXPECT_FALSE(instance_remove_attr(sc, o, sym("never")).value().has_value());
    EXPECT_FALSE(dictionary(o));
    EXPECT_EQ(instance_remove_attr(sc, o, sym("a")).value(), Value::from_int(1));
    EXPECT_TRUE(dictionary(o));
    EXPECT_EQ(size(o), before + 2 * 32);
    EXPECT_FALSE(get(o, "a").has_value());
    EXPECT_EQ(get(o, "b"), Value::from_int(2));
    auto entries = py_namespace_entries(heap, o).value();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "b");
}

TEST_F(Storage, RefusedChargesLeaveTheObjectAsItWas) {
    Value o = object();
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a"), Value::from_int(1)));
    const std::uint64_t before = size(o), used = meter.memory_current(), shapes = heap.shapes.size();
    // Room for the object's 16 bytes but not for the new shape's 24.
    ResourceMeter tight{MachineLimits{1'000'000, used + 30, 0, 0}};
    ASSERT_TRUE(tight.charge_memory(used));
    StoreContext small{heap, nullptr, tight};
    auto r = instance_store_attr(small, o, sym("b"), Value::from_int(2));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");
    EXPECT_EQ(size(o), before);  // the object's growth was given back
    EXPECT_EQ(tight.memory_current(), used);
    EXPECT_EQ(heap.shapes.size(), shapes);
    EXPECT_FALSE(get(o, "b").has_value());
}

TEST_F(Storage, ReplacingAllAttributes) {
    Value o = object();
    ASSERT_TRUE(instance_store_attr(sc, o, sym("a"), Value::from_int(1)));
    ASSERT_TRUE(instance_store_attr(sc, o, sym("b"), Value::from_int(2)));
    const std::uint64_t used = meter.memory_current();
    ResourceMeter tight{MachineLimits{1'000'000, used + 10, 0, 0}};
    ASSERT_TRUE(tight.charge_memory(used));
    StoreContext small{heap, nullptr, tight};
    ASSERT_FALSE(instance_replace_attributes(small, o, {{sym("c"), Value::from_int(3)}}));
    EXPECT_EQ(get(o, "a"), Value::from_int(1));  // nothing lost on a refused charge
    EXPECT_EQ(get(o, "b"), Value::from_int(2));
    ASSERT_TRUE(instance_replace_attributes(sc, o, {{sym("c"), Value::from_int(3)}}));
    EXPECT_FALSE(get(o, "a").has_value());
    EXPECT_EQ(get(o, "c"), Value::from_int(3));
}

TEST_F(Storage, StaleHandle) {
    Value o = object();
    heap.free_slot(o.handle().index);
    EXPECT_FALSE(instance_store_attr(sc, o, sym("a"), Value::from_int(1)));
    EXPECT_FALSE(instance_get_attr(heap, o, sym("a")));
}

}  // namespace
}  // namespace tw::py
