// The Python heap: allocating short-lived lists (young collections reclaim them), and inserting
// and finding integer keys in a dict.
#include <benchmark/benchmark.h>

#include "kernel/meter.h"
#include "python/heap/heap.h"

namespace tw::py {
namespace {

constexpr MachineLimits kLimits{.cpu = ~0ULL, .memory = 256ULL << 20, .disk = 0, .output = 0};

void BM_AllocateShortLivedLists(benchmark::State& state) {
    ResourceMeter meter(kLimits);
    Heap heap;
    Value keep = heap.allocate_object(ListPayload{}, nullptr, meter).value();
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            std::size_t depth = heap.root_depth();
            Value v = heap.allocate_object(ListPayload{{Value::from_int(i), keep}}, nullptr, meter).value();
            benchmark::DoNotOptimize(v);
            heap.truncate_roots(depth, meter);
        }
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    state.counters["young_collections"] = double(heap.young_collections());
}
BENCHMARK(BM_AllocateShortLivedLists);

struct IntKeys final : KeyProtocol {
    PyResult<std::uint64_t> hash(const Value& k) override { return k.word0(); }
    PyResult<bool> equal(const Value& a, const Value& b) override { return a == b; }
};

void BM_DictInsertAndFind(benchmark::State& state) {
    const int n = int(state.range(0));
    IntKeys keys;
    for (auto _ : state) {
        ResourceMeter meter(kLimits);
        Heap heap;
        Value d = heap.allocate_object(DictPayload{Box<DictTable>::make()}, nullptr, meter).value();
        for (int i = 0; i < n; ++i)
            (void)dict_set_item(heap, meter, keys, nullptr, d, Value::from_int(i), Value::from_int(i));
        for (int i = 0; i < n; ++i)
            benchmark::DoNotOptimize(dict_lookup_entry(heap, meter, keys, d, Value::from_int(i)).value().slot);
    }
    state.SetItemsProcessed(state.iterations() * n * 2);
}
BENCHMARK(BM_DictInsertAndFind)->Arg(10000);

}  // namespace
}  // namespace tw::py
