#include <gtest/gtest.h>

#include <random>
#include <set>

#include "fixture.h"

namespace tw::py {
namespace {

using test::HeapFixture;

bool alive(const Heap& h, Value v) { return h.get(v).has_value(); }

// Builds random graphs of lists with cycles, some old and some young, with roots on the scoped
// root stack and in a root source; after each collection everything reachable is alive, and after
// a full collection nothing else is.
TEST(Gc, RandomGraphsKeepExactlyTheReachable) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        HeapFixture f(64 * test::MiB);
        std::vector<Value> objs;
        std::vector<std::vector<std::size_t>> edges;
        auto add_objects = [&](int n) {
            for (int i = 0; i < n; ++i) {
                objs.push_back(f.list());
                edges.emplace_back();
            }
        };
        auto add_edges = [&](int n) {
            for (int i = 0; i < n; ++i) {
                std::size_t a = rng() % objs.size(), b = rng() % objs.size();
                if (!alive(f.heap, objs[a]) || !alive(f.heap, objs[b])) continue;
                f.append(objs[a], objs[b]);
                edges[a].push_back(b);
            }
        };
        // Which objects the roots reach, by the test's own record of the edges.
        auto reach = [&](const std::vector<Value>& scoped) {
            std::set<std::size_t> seen;
            std::vector<std::size_t> work;
            for (std::size_t i = 0; i < objs.size(); ++i) {
                auto& rv = f.roots.values;
                if (std::find(rv.begin(), rv.end(), objs[i]) != rv.end() ||
                    std::find(scoped.begin(), scoped.end(), objs[i]) != scoped.end())
                    work.push_back(i);
            }
            while (!work.empty()) {
                std::size_t i = work.back();
                work.pop_back();
                if (!seen.insert(i).second) continue;
                for (std::size_t j : edges[i]) work.push_back(j);
            }
            return seen;
        };

        add_objects(150);
        add_edges(300);
        // Roots: some lists on the scoped root stack, some in the root source.
        std::vector<Value> scoped;
        f.drop_scoped_roots();
        for (std::size_t i = 0; i < objs.size(); ++i)
            if (rng() % 20 == 0) f.roots.values.push_back(objs[i]);
        for (std::size_t i = 0; i < objs.size(); ++i)
            if (rng() % 15 == 0) {
                f.heap.push_root(objs[i]);
                scoped.push_back(objs[i]);
            }
        auto expect_after = [&](bool full) {
            auto live = reach(scoped);
            for (std::size_t i = 0; i < objs.size(); ++i) {
                if (live.count(i)) EXPECT_TRUE(alive(f.heap, objs[i])) << "seed " << seed << " object " << i;
                else if (full) EXPECT_FALSE(alive(f.heap, objs[i])) << "seed " << seed << " object " << i;
            }
        };
        ASSERT_TRUE(f.heap.collect_young(&f.roots, nullptr, f.meter));
        expect_after(false);
        // New young objects hung from old ones (the write barrier remembers the old lists).
        std::size_t old_count = objs.size();
        add_objects(100);
        for (std::size_t k = old_count; k < objs.size(); ++k) {
            std::size_t a = rng() % old_count;
            if (!alive(f.heap, objs[a])) continue;
            f.append(objs[a], objs[k]);
            edges[a].push_back(k);
            if (rng() % 2) {
                f.append(objs[k], objs[a]);  // a cycle through old and young
                edges[k].push_back(a);
            }
        }
        add_edges(100);
        f.drop_scoped_roots();
        for (Value v : scoped) f.heap.push_root(v);
        ASSERT_TRUE(f.heap.collect_young(&f.roots, nullptr, f.meter));
        expect_after(false);
        ASSERT_TRUE(f.heap.collect_full(&f.roots, nullptr, f.meter));
        expect_after(true);
        EXPECT_EQ(f.meter.memory_current(), f.heap.total_bytes());
        std::uint64_t sum = 0;
        for (std::uint32_t i = 0; i < f.heap.slot_count(); ++i)
            if (!f.heap.slot_at(i).is_free()) sum += f.heap.slot_at(i).modeled_size;
        EXPECT_EQ(sum, f.heap.total_bytes());
    }
}

TEST(Gc, PendingPayloadAndScopedRootsSurvive) {
    HeapFixture f;
    Value fresh = f.list();
    Value held = f.list();
    f.drop_scoped_roots();
    f.heap.push_root(held);
    ASSERT_TRUE(f.heap.collect_full(nullptr, nullptr, f.meter));
    EXPECT_FALSE(alive(f.heap, fresh));
    Value fresh2 = f.list();
    f.drop_scoped_roots();
    f.heap.push_root(held);
    HeapObject payload = ListPayload{{fresh2}};
    ASSERT_TRUE(f.heap.collect_full(nullptr, &payload, f.meter));
    EXPECT_TRUE(alive(f.heap, fresh2));
    EXPECT_TRUE(alive(f.heap, held));
    f.drop_scoped_roots();
    ASSERT_TRUE(f.heap.collect_full(nullptr, nullptr, f.meter));
    EXPECT_FALSE(alive(f.heap, held));
}

TEST(Gc, YoungCycleAndRememberedOldList) {
    HeapFixture f;
    Value old_list = f.list();
    f.drop_scoped_roots();
    f.roots.values.push_back(old_list);
    ASSERT_TRUE(f.heap.collect_young(&f.roots, nullptr, f.meter));
    EXPECT_FALSE(f.heap.get(old_list).value()->young());
    Value a = f.list(), b = f.list(), kept = f.list();
    f.append(a, b);
    f.append(b, a);
    f.append(old_list, kept);  // remembered by the write barrier
    f.drop_scoped_roots();
    ASSERT_TRUE(f.heap.collect_young(&f.roots, nullptr, f.meter));
    EXPECT_FALSE(alive(f.heap, a));
    EXPECT_FALSE(alive(f.heap, b));
    EXPECT_TRUE(alive(f.heap, kept));
    EXPECT_EQ(f.heap.promoted_objects(), 2u);
}

TEST(Gc, FullThresholdDoublesTheSurvivors) {
    HeapFixture f(1024 * test::MiB);
    for (int i = 0; i < 1000; ++i) f.roots.values.push_back(f.list(std::vector<Value>(100, Value::none())));
    f.drop_scoped_roots();
    ASSERT_TRUE(f.heap.collect_full(&f.roots, nullptr, f.meter));
    EXPECT_EQ(f.heap.old_bytes(), 1000u * 2480);
    EXPECT_EQ(f.heap.next_full_threshold(), 2u * 1000 * 2480);
    EXPECT_EQ(f.heap.full_collections(), 1u);
}

}  // namespace
}  // namespace tw::py
