#include <gtest/gtest.h>

#include "fixture.h"

namespace tw::py {
namespace {

using test::HeapFixture;
using test::TestKeys;

Value key(int i) { return Value::from_int(i); }

std::vector<std::int64_t> dict_keys(Heap& h, Value d) {
    std::vector<std::int64_t> out;
    dict_table_of(h.slot_mut(d).value()->object)->for_each_live([&](const DictSlot& s) { out.push_back(s.key.as_int()); });
    return out;
}

const DictTable& table(Heap& h, Value d) { return *dict_table_of(h.slot_mut(d).value()->object); }

bool remove_key(HeapFixture& f, TestKeys& keys, Value d, int k) {
    auto found = dict_lookup_entry(f.heap, f.meter, keys, d, key(k)).value();
    return found.slot && dict_remove_slot(f.heap, f.meter, d, *found.slot);
}

TEST(Mapping, InsertionOrderAndCharges) {
    HeapFixture f;
    TestKeys keys;
    Value d = f.dict();
    for (int k : {1, 2, 3}) ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(k), key(k * 10)));
    EXPECT_EQ(f.heap.get(d).value()->modeled_size, 80u + 3 * 96);
    ASSERT_TRUE(remove_key(f, keys, d, 2));
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(4), key(40)));
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(1), key(11)));  // replace in place
    EXPECT_EQ(dict_keys(f.heap, d), (std::vector<std::int64_t>{1, 3, 4}));
    EXPECT_EQ(f.heap.get(d).value()->modeled_size, 80u + 3 * 96);
    EXPECT_EQ(f.meter.memory_current(), f.heap.total_bytes());

    Value s = f.set();
    for (int k : {5, 6, 5, 7}) ASSERT_TRUE(set_add(f.heap, f.meter, keys, &f.roots, s, key(k)));
    SetTable& st = *set_table_of(f.heap.slot_mut(s).value()->object);
    EXPECT_EQ(st.live_count, 3u);
    EXPECT_EQ(f.heap.get(s).value()->modeled_size, 80u + 3 * 72);
    EXPECT_FALSE(set_add(f.heap, f.meter, keys, &f.roots, s, key(6)).value());
}

TEST(Mapping, CompactionAtMoreHolesThanEntries) {
    struct Case {
        int size, deletions;
        bool compacted;
    } cases[] = {{10, 6, true}, {10, 5, false}, {8, 7, false}};
    for (const Case& c : cases) {
        HeapFixture f;
        TestKeys keys;
        Value d = f.dict();
        for (int k = 0; k < c.size; ++k) ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(k), key(k)));
        for (int k = 0; k < c.deletions; ++k) ASSERT_TRUE(remove_key(f, keys, d, k));
        const DictTable& t = table(f.heap, d);
        EXPECT_EQ(t.live_count, std::uint64_t(c.size - c.deletions));
        EXPECT_EQ(t.slots.size(), c.compacted ? t.live_count : std::uint64_t(c.size)) << c.size << "/" << c.deletions;
        EXPECT_EQ(t.first_live, c.compacted ? 0u : std::uint64_t(c.deletions));
        // Every remaining key is still found, in order.
        std::vector<std::int64_t> expect;
        for (int k = c.deletions; k < c.size; ++k) expect.push_back(k);
        EXPECT_EQ(dict_keys(f.heap, d), expect);
        for (int k = c.deletions; k < c.size; ++k)
            EXPECT_TRUE(dict_lookup_entry(f.heap, f.meter, keys, d, key(k)).value().slot.has_value());
        EXPECT_EQ(f.heap.get(d).value()->modeled_size, 80u + 96u * t.live_count);
    }
}

// Churn of inserts and removals over the open-addressing index: removed cells are reclaimed when
// the index is rebuilt, so it stays sized by the live entries, and every live key is found.
TEST(Mapping, IndexStaysBoundedUnderChurn) {
    HeapFixture f;
    TestKeys keys;
    Value d = f.dict();
    int next = 0;
    for (; next < 64; ++next) ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(next), key(next)));
    for (int round = 0; round < 2000; ++round, ++next) {
        ASSERT_TRUE(remove_key(f, keys, d, next - 64));
        ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(next), key(next)));
    }
    const DictTable& t = table(f.heap, d);
    EXPECT_EQ(t.live_count, 64u);
    EXPECT_LE(t.index_size(), 256u);
    EXPECT_LT(t.index_used() * 3, t.index_size() * 2);
    for (int k = next - 64; k < next; ++k)
        EXPECT_TRUE(dict_lookup_entry(f.heap, f.meter, keys, d, key(k)).value().slot.has_value()) << k;
    EXPECT_FALSE(dict_lookup_entry(f.heap, f.meter, keys, d, key(next - 65)).value().slot.has_value());
    EXPECT_EQ(dict_keys(f.heap, d).front(), next - 64);
}

TEST(Mapping, EqualHashesShareCandidates) {
    HeapFixture f;
    TestKeys keys;
    keys.hasher = [](const Value&) { return std::uint64_t(7); };
    Value d = f.dict();
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(1), key(1)));
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(2), key(2)));
    std::vector<std::uint64_t> candidates;
    table(f.heap, d).candidates(7, candidates);
    EXPECT_EQ(candidates, (std::vector<std::uint64_t>{0, 1}));
    // The stored key is the left operand of the comparison.
    keys.comparisons.clear();
    ASSERT_TRUE(dict_lookup_entry(f.heap, f.meter, keys, d, key(2)).value().slot);
    EXPECT_EQ(keys.comparisons.front(), std::pair(key(1), key(2)));
    ASSERT_TRUE(remove_key(f, keys, d, 1));
    table(f.heap, d).candidates(7, candidates);
    EXPECT_EQ(candidates, (std::vector<std::uint64_t>{1}));
}

TEST(Mapping, EqualityThatMutatesTheTable) {
    HeapFixture f;
    TestKeys keys;
    keys.hasher = [](const Value&) { return std::uint64_t(1); };
    Value d = f.dict();
    for (int k = 0; k < 12; ++k) ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(k), key(k)));
    // The first comparison empties the dict (a user __eq__ clearing it): the lookup goes on
    // over vanished slots and reports not found.
    bool fired = false;
    keys.on_equal = [&](const Value&, const Value&) {
        if (fired) return;
        fired = true;
        for (int k = 0; k < 12; ++k) {
            auto& t = table(f.heap, d);
            for (std::uint64_t i = 0; i < t.slots.size(); ++i)
                if (!t.slots[i].empty()) {
                    dict_remove_slot(f.heap, f.meter, d, i);
                    break;
                }
        }
    };
    keys.comparisons.clear();
    auto r = dict_lookup_entry(f.heap, f.meter, keys, d, key(11));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->slot.has_value());
    EXPECT_EQ(table(f.heap, d).live_count, 0u);
    EXPECT_EQ(keys.comparisons.size(), 1u);
    // A comparison that replaces the object with another kind is reported.
    Value l = f.list();
    Value s = f.set();
    keys.on_equal = nullptr;
    ASSERT_TRUE(set_add(f.heap, f.meter, keys, &f.roots, s, key(1)));
    auto bad = dict_lookup_entry(f.heap, f.meter, keys, l, key(1));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "dict handle changed object kind");
    EXPECT_EQ(set_lookup_entry(f.heap, f.meter, keys, d, key(1)).error().message(), "set handle changed object kind");
}

TEST(Mapping, RefusedGrowthLeavesDictUnchanged) {
    HeapFixture f(80 + 96 * 2);
    TestKeys keys;
    Value d = f.dict();
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(1), key(1)));
    ASSERT_TRUE(dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(2), key(2)));
    auto r = dict_set_item(f.heap, f.meter, keys, &f.roots, d, key(3), key(3));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");
    EXPECT_EQ(dict_keys(f.heap, d), (std::vector<std::int64_t>{1, 2}));
}

}  // namespace
}  // namespace tw::py
