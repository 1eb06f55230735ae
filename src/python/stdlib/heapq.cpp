// The `_heapq` native module: the inner loops of the `heapq` module over plain lists. The list is
// written back only at the end, so a comparison that raises or a refused charge leaves it as it
// was.
#include <fmt/format.h>

#include <array>

#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

PyResult<std::vector<Value>> list_items(NativeRuntime& rt, Value v) {
    const HeapSlot* slot = rt.heap().get_if_object(v);
    const auto* list = slot ? std::get_if<ListPayload>(&slot->object) : nullptr;
    if (list == nullptr) return fail(PyError::type_error(fmt::format("expected list, got {}", rt.type_name(v))));
    return list->items;
}

// Moves items[i] down until neither child is smaller.
PyStatus sift_down(NativeRuntime& rt, std::vector<Value>& items, std::size_t i, std::size_t n) {
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) return {};
        if (auto c = rt.charge_work(1); !c) return c;
        if (child + 1 < n) {
            auto order = rt.compare_order(items[child + 1], items[child]);
            if (!order) return fail(std::move(order.error()));
            if (*order < 0) ++child;
        }
        if (auto c = rt.charge_work(1); !c) return c;
        auto order = rt.compare_order(items[i], items[child]);
        if (!order) return fail(std::move(order.error()));
        if (*order <= 0) return {};
        std::swap(items[i], items[child]);
        i = child;
    }
}

PyResult<Value> heapify(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "heapify", 1, 1); !ok) return fail(std::move(ok.error()));
    auto items = list_items(rt, call.positional[0]);
    if (!items) return fail(std::move(items.error()));
    const std::size_t n = items->size();
    for (std::size_t i = n / 2; i-- > 0;)
        if (auto s = sift_down(rt, *items, i, n); !s) return fail(std::move(s.error()));
    if (auto s = rt.list_replace(call.positional[0], std::move(*items)); !s) return fail(std::move(s.error()));
    return Value::none();
}

PyResult<Value> heappop(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "heappop", 1, 1); !ok) return fail(std::move(ok.error()));
    auto items = list_items(rt, call.positional[0]);
    if (!items) return fail(std::move(items.error()));
    if (items->empty()) return fail(PyError::index_error("index out of range"));
    Value last = items->back();
    items->pop_back();
    Value result = last;
    if (!items->empty()) {
        result = (*items)[0];
        (*items)[0] = last;
        if (auto s = sift_down(rt, *items, 0, items->size()); !s) return fail(std::move(s.error()));
    }
    rt.heap().push_root(result);
    if (auto s = rt.list_replace(call.positional[0], std::move(*items)); !s) return fail(std::move(s.error()));
    return result;
}

constexpr std::array kFunctions{
    NativeFunction{"heapq", "heapify", &heapify, nullptr},
    NativeFunction{"_heapq", "heappop", &heappop, nullptr},
};

}  // namespace

extern const NativeModule kHeapqNativeModule{"_heapq", kFunctions, {}};

}  // namespace tw::py
