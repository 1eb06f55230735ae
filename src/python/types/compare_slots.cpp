// The comparison slots of bytes and bytearray, of range, slice and generic aliases, and the
// __class_getitem__ of the builtin containers.
#include <algorithm>
#include <cstring>

#include "python/heap/heap.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

namespace {

// The bytes of a bytes or bytearray object; nothing for other values.
std::optional<std::string_view> bytes_like(const Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return std::nullopt;
    if (auto* b = std::get_if<BytesPayload>(&s->object)) return std::string_view(b->bytes);
    if (auto* b = std::get_if<ByteArrayPayload>(&s->object)) return std::string_view(b->bytes);
    return std::nullopt;
}

std::int64_t range_len(const RangePayload& r) {
    __int128 n = 0;
    if (r.step > 0 && r.start < r.stop) n = (__int128(r.stop) - r.start - 1) / r.step + 1;
    else if (r.step < 0 && r.start > r.stop) n = (__int128(r.start) - r.stop - 1) / -__int128(r.step) + 1;
    return n > INT64_MAX ? INT64_MAX : std::int64_t(n);
}

// Equality of the parts of slices and aliases: the same value, equal numbers or equal strings.
PyResult<bool> part_equal(const Heap& heap, const Value& a, const Value& b) {
    if (a == b) return true;
    const NumericView x = py_numeric_view(heap, a), y = py_numeric_view(heap, b);
    if (x.kind != NumericView::None && y.kind != NumericView::None) return numeric_view_eq(x, y);
    auto s = str_view(heap, a);
    if (!s) return fail(std::move(s.error()));
    auto t = str_view(heap, b);
    if (!t) return fail(std::move(t.error()));
    return *s && *t && **s == **t;
}

PyResult<bool> parts_equal(const Heap& heap, std::span<const Value> a, std::span<const Value> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto e = part_equal(heap, a[i], b[i]);
        if (!e || !*e) return e;
    }
    return true;
}

}  // namespace

SlotCompare bytes_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op) {
    const auto a = bytes_like(rt.heap(), left), b = bytes_like(rt.heap(), right);
    if (!a || !b) return std::optional<bool>();
    if (auto r = python_charge_work(rt.meter(), std::min(a->size(), b->size()) / 16 + 1); !r)
        return fail(std::move(r.error()));
    const int c = a->compare(*b);
    return std::optional(compare_order_holds(op, (c > 0) - (c < 0)));
}

SlotCompare same_type_value_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op) {
    const Heap& heap = rt.heap();
    auto ta = py_type_id_of(heap, number_types(rt), left);
    if (!ta) return fail(std::move(ta.error()));
    auto tb = py_type_id_of(heap, number_types(rt), right);
    if (!tb) return fail(std::move(tb.error()));
    if (*ta != *tb || op >= 2) return std::optional<bool>();
    const HeapSlot* a = heap.get_if_object(left);
    const HeapSlot* b = heap.get_if_object(right);
    if (!a || !b) return std::optional<bool>();
    PyResult<bool> equal = false;
    if (auto* x = std::get_if<RangePayload>(&a->object)) {
        const auto& y = std::get<RangePayload>(b->object);
        const std::int64_t n = range_len(*x);
        equal = n == range_len(y) && (n == 0 || (x->start == y.start && (n == 1 || x->step == y.step)));
    } else if (auto* x = std::get_if<SlicePayload>(&a->object)) {
        const auto& y = std::get<SlicePayload>(b->object);
        const Value xs[] = {x->start, x->stop, x->step}, ys[] = {y.start, y.stop, y.step};
        equal = parts_equal(heap, xs, ys);
    } else if (auto* x = std::get_if<GenericAliasPayload>(&a->object)) {
        const auto& y = std::get<GenericAliasPayload>(b->object);
        equal = x->origin == y.origin ? parts_equal(heap, x->args, y.args) : PyResult<bool>(false);
    } else {
        equal = left == right;
    }
    if (!equal) return fail(std::move(equal.error()));
    return std::optional(*equal != (op == 1));
}

SlotValue builtin_class_getitem_slot(NativeRuntime& rt, Value cls, Value args) {
    std::vector<Value> items;
    if (const HeapSlot* s = rt.heap().get_if_object(args); s && std::holds_alternative<TuplePayload>(s->object))
        items = std::get<TuplePayload>(s->object).items;
    else
        items.push_back(args);
    const NumberEnv env = number_env(rt);
    if (auto r = python_charge_work(env.meter, items.size()); !r) return fail(std::move(r.error()));
    auto alias = env.heap.allocate_object(HeapObject{GenericAliasPayload{cls, std::move(items)}}, env.roots, env.meter);
    if (!alias) return fail(std::move(alias.error()));
    return std::optional(*alias);
}

}  // namespace tw::py
