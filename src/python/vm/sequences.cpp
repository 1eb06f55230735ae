// The operations list, tuple and the other sequences share: index arguments, materializing an
// iterable, linear search and count, concatenation and repetition, and the merge sort.
#include "python/vm/sequences.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/sequence_support.h"
#include "python/vm/try.h"

namespace tw::py::vm {

PyResult<std::int64_t> index_argument(RuntimeContext& ctx, Value v) {
    if (v.is_int() || v.is_bool()) return v.as_int();
    if (is_big_int(ctx.heap, v)) return fail(PyError::overflow_error("Python int too large to convert to C ssize_t"));
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
}

PyResult<std::vector<Value>> materialize_iterable(RuntimeContext& ctx, Value iterable) {
    if (const HeapSlot* s = ctx.heap.get_if_object(iterable); s && s->kind() == HeapObjectKind::CountIterator)
        return fail(PyError::resource("cannot materialize infinite itertools.count without a bound"));
    const HeapSlot* s = ctx.heap.get_if_object(iterable);
    const bool sequence = s && (s->kind() == HeapObjectKind::List || s->kind() == HeapObjectKind::Tuple);
    TRY_ASSIGN(items, collect_iterable(ctx, iterable));
    // The items of a list stay alive through the copy even when code run later empties the list.
    if (sequence)
        for (const Value& v : items) ctx.heap.push_root(v);
    return items;
}

PyResult<Value> sequence_count_of(RuntimeContext& ctx, std::span<const Value> items, Value needle) {
    std::int64_t n = 0;
    for (const Value& item : items) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        TRY_ASSIGN(eq, values_equal(ctx, item, needle));
        n += eq;
    }
    return Value::from_int(n);
}

PyResult<Value> sequence_index_of(RuntimeContext& ctx, std::span<const Value> items, std::span<const Value> args,
                                  std::string_view type_name) {
    const std::int64_t length = std::int64_t(items.size());
    auto bound = [&](std::size_t at, std::int64_t dflt) -> PyResult<std::int64_t> {
        if (args.size() <= at) return dflt;
        const Value& v = args[at];
        if (!v.is_int() && !v.is_bool()) return fail(PyError::type_error("slice index must be an integer"));
        std::int64_t b = v.as_int();
        return b >= 0 ? std::min(b, length) : std::max(b + length, std::int64_t(0));
    };
    TRY_ASSIGN(start, bound(1, 0));
    TRY_ASSIGN(stop, bound(2, length));
    for (std::int64_t i = start; i < stop; ++i) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        TRY_ASSIGN(eq, values_equal(ctx, items[std::size_t(i)], args[0]));
        if (eq) return Value::from_int(i);
    }
    return fail(PyError::value_error(fmt::format("{}.index(x): x not in {}", type_name, type_name)));
}

namespace {

HeapObjectKind heap_kind(SequenceKind kind) {
    return kind == SequenceKind::List ? HeapObjectKind::List : HeapObjectKind::Tuple;
}

PyResult<Value> new_sequence(RuntimeContext& ctx, SequenceKind kind, std::vector<Value> items) {
    return kind == SequenceKind::List ? new_list(ctx, std::move(items)) : new_tuple(ctx, std::move(items));
}

// The count of a repetition: nothing for a value that is no integer.
PyResult<std::optional<std::uint64_t>> repeat_count(RuntimeContext& ctx, Value count) {
    if (count.is_int() || count.is_bool()) return std::optional<std::uint64_t>(std::uint64_t(std::max<std::int64_t>(count.as_int(), 0)));
    const BigInt* big = big_int_of(ctx.heap, count);
    if (!big) return std::optional<std::uint64_t>();
    TRY_DO(python_charge_work(ctx.machine.meter, mpz_size(big->get())));
    if (mpz_sgn(big->get()) < 0) return std::optional<std::uint64_t>(0);
    if (mpz_sizeinbase(big->get(), 2) <= 64) {
        std::uint64_t n = 0;
        mpz_export(&n, nullptr, -1, sizeof n, 0, 0, big->get());
        return std::optional(n);
    }
    return fail(PyError::overflow_error("sequence repeat is too large"));
}

}  // namespace

PyResult<std::optional<Value>> sequence_concat(RuntimeContext& ctx, SequenceKind kind, Value left, Value right) {
    const std::vector<Value>* r = sequence_items_of(ctx.heap, right, heap_kind(kind));
    const std::vector<Value>* l = sequence_items_of(ctx.heap, left, heap_kind(kind));
    if (!r || !l) return std::optional<Value>();
    const std::uint64_t total = l->size() + r->size();
    TRY_DO(charge_native_memory(ctx, total * kValueBytes));
    TRY_DO(python_charge_work(ctx.machine.meter, r->size()));
    // The charges cannot run code: the operands are unchanged.
    l = sequence_items_of(ctx.heap, left, heap_kind(kind));
    r = sequence_items_of(ctx.heap, right, heap_kind(kind));
    std::vector<Value> all;
    all.reserve(total);
    all.insert(all.end(), l->begin(), l->end());
    all.insert(all.end(), r->begin(), r->end());
    TRY_ASSIGN(v, new_sequence(ctx, kind, std::move(all)));
    return std::optional(v);
}

PyResult<std::optional<Value>> sequence_repeat(RuntimeContext& ctx, SequenceKind kind, Value sequence, Value count) {
    TRY_ASSIGN(n, repeat_count(ctx, count));
    if (!n) return std::optional<Value>();
    const std::vector<Value>* items = sequence_items_of(ctx.heap, sequence, heap_kind(kind));
    if (!items) return std::optional<Value>();
    std::uint64_t total;
    if (__builtin_mul_overflow(std::uint64_t(items->size()), *n, &total) || total >= (std::uint64_t(1) << 60))
        return fail(PyError::resource("sequence repeat is too large"));
    TRY_DO(charge_native_memory(ctx, total * kValueBytes));
    TRY_DO(python_charge_work(ctx.machine.meter, total));
    items = sequence_items_of(ctx.heap, sequence, heap_kind(kind));
    std::vector<Value> all;
    all.reserve(total);
    for (std::uint64_t i = 0; i < *n && !items->empty(); ++i) all.insert(all.end(), items->begin(), items->end());
    TRY_ASSIGN(v, new_sequence(ctx, kind, std::move(all)));
    return std::optional(v);
}

PyResult<std::optional<Value>> sequence_binary_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b,
                                                          bool inplace) {
    using B = BinaryOperator;
    Heap& heap = ctx.heap;
    for (SequenceKind kind : {SequenceKind::List, SequenceKind::Tuple}) {
        const bool left = sequence_items_of(heap, a, heap_kind(kind)) != nullptr;
        if (B(op) == B::Add && left) {
            if (kind == SequenceKind::List && inplace) {
                // list += iterable: list.extend.
                TRY_ASSIGN(more, materialize_iterable(ctx, b));
                TRY_DO(list_extend_items(ctx, a, more));
                return std::optional(a);
            }
            return sequence_concat(ctx, kind, a, b);
        }
        if (B(op) == B::Mult) {
            if (left) {
                TRY_ASSIGN(r, sequence_repeat(ctx, kind, a, b));
                if (r && kind == SequenceKind::List && inplace) {
                    // list *= n: the repeated items replace the list's own.
                    TRY_ASSIGN(items, sequence_items(ctx, *r));
                    TRY_DO(list_replace_items(ctx, a, std::move(items)));
                    return std::optional(a);
                }
                return r;
            }
            if (sequence_items_of(heap, b, heap_kind(kind))) return sequence_repeat(ctx, kind, b, a);
        }
    }
    return std::optional<Value>();
}

PyResult<std::optional<PyError>> sequence_operand_error(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    using B = BinaryOperator;
    const Heap& heap = ctx.heap;
    auto kind_name = [&](Value v) -> const char* {
        if (sequence_items_of(heap, v, HeapObjectKind::List)) return "list";
        if (sequence_items_of(heap, v, HeapObjectKind::Tuple)) return "tuple";
        return nullptr;
    };
    const char *left = kind_name(a), *right = kind_name(b);
    if (B(op) == B::Add && left) {
        TRY_ASSIGN(tn, type_name(ctx, b));
        return std::optional(PyError::type_error(fmt::format("can only concatenate {} (not \"{}\") to {}", left, tn, left)));
    }
    if (B(op) == B::Mult && (left || right)) {
        TRY_ASSIGN(tn, type_name(ctx, left ? b : a));
        return std::optional(PyError::type_error(fmt::format("can't multiply sequence by non-int of type '{}'", tn)));
    }
    return std::optional<PyError>();
}

// ---- sorting ------------------------------------------------------------------------------------

namespace {

// The work the CPU budget still allows.
std::uint64_t remaining_work(const ResourceMeter& meter) {
    if (meter.stop_reason()) return 0;
    const std::uint64_t limit = meter.limits().cpu, used = meter.cpu_used();
    return used >= limit ? 0 : limit - used;
}

// The bottom-up merge over a permutation of the entries; `less(x, y)` answers key x < key y and
// may run Python code, so one unit is charged before each comparison.
template <class Less>
PyStatus merge_passes(RuntimeContext& ctx, std::vector<std::uint32_t>& order, bool reverse, Less&& less) {
    ResourceMeter& meter = ctx.machine.meter;
    const std::size_t n = order.size();
    std::vector<std::uint32_t> dest(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        std::size_t out = 0;
        for (std::size_t start = 0; start < n; start += 2 * width) {
            const std::size_t mid = std::min(start + width, n), end = std::min(mid + width, n);
            std::size_t i = start, j = mid;
            while (i < mid && j < end) {
                TRY_DO(python_charge_work(meter, 1));
                TRY_ASSIGN(right, reverse ? less(order[i], order[j]) : less(order[j], order[i]));
                dest[out++] = right ? order[j++] : order[i++];
            }
            while (i < mid) dest[out++] = order[i++];
            while (j < end) dest[out++] = order[j++];
        }
        order.swap(dest);
    }
    return {};
}

// The native keys sorted with their positions beside them: the merge walks contiguous entries.
// A whole merge is charged at its end when the budget surely covers it, else one unit before
// each comparison; the comparisons are those of merge_passes.
template <class K>
PyStatus merge_native(RuntimeContext& ctx, std::vector<std::pair<K, std::uint32_t>>& src, bool reverse) {
    ResourceMeter& meter = ctx.machine.meter;
    const std::size_t n = src.size();
    std::vector<std::pair<K, std::uint32_t>> dest(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        std::size_t out = 0;
        for (std::size_t start = 0; start < n; start += 2 * width) {
            const std::size_t mid = std::min(start + width, n), end = std::min(mid + width, n);
            std::size_t i = start, j = mid;
            const bool batch = remaining_work(meter) >= end - start;
            std::uint64_t compared = 0;
            while (i < mid && j < end) {
                if (batch) ++compared;
                else TRY_DO(python_charge_work(meter, 1));
                const bool right = reverse ? src[i].first < src[j].first : src[j].first < src[i].first;
                dest[out++] = right ? src[j++] : src[i++];
            }
            while (i < mid) dest[out++] = src[i++];
            while (j < end) dest[out++] = src[j++];
            if (compared) TRY_DO(python_charge_work(meter, compared));
        }
        src.swap(dest);
    }
    return {};
}

template <class K, class Read>
PyStatus sort_native(RuntimeContext& ctx, std::span<const Value> keys, std::vector<std::uint32_t>& order, bool reverse,
                     Read read) {
    std::vector<std::pair<K, std::uint32_t>> entries(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) entries[i] = {read(keys[i]), std::uint32_t(i)};
    TRY_DO(merge_native(ctx, entries, reverse));
    for (std::size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].second;
    return {};
}

enum class KeyClass { Int, Float, Str, Other };

KeyClass classify(const Heap& heap, std::span<const Value> keys) {
    if (keys.empty()) return KeyClass::Other;
    auto one = [&](const Value& v) {
        if (v.is_int() || v.is_bool()) return KeyClass::Int;
        if (v.is_float()) return KeyClass::Float;
        if (exact_str_view(heap, v)) return KeyClass::Str;
        return KeyClass::Other;
    };
    const KeyClass first = one(keys[0]);
    if (first == KeyClass::Other) return first;
    for (const Value& v : keys)
        if (one(v) != first) return KeyClass::Other;
    return first;
}

}  // namespace

PyStatus sort_values(RuntimeContext& ctx, std::vector<Value>& items, Value key, bool reverse) {
    Heap& heap = ctx.heap;
    ResourceMeter& meter = ctx.machine.meter;
    const std::size_t n = items.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) return fail(PyError::resource(std::string(kMemoryLimitText)));
    const bool keyed = key.is_present() && !key.is_none();
    std::vector<Value> keys;
    keys.reserve(n);
    for (const Value& item : items) {
        heap.push_root(item);
        if (keyed) {
            TRY_ASSIGN(k, call_immediate(ctx, key, std::span<const Value>(&item, 1), {}));
            heap.push_root(k);
            keys.push_back(k);
        } else {
            keys.push_back(item);
        }
        TRY_DO(charge_native_memory(ctx, kSortEntryBytes));
    }
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = std::uint32_t(i);
    switch (classify(heap, keys)) {
        case KeyClass::Int:
            TRY_DO(sort_native<std::int64_t>(ctx, keys, order, reverse, [](const Value& v) { return v.as_int(); }));
            break;
        case KeyClass::Float:
            TRY_DO(sort_native<double>(ctx, keys, order, reverse, [](const Value& v) { return v.as_float(); }));
            break;
        case KeyClass::Str:
            // UTF-8 byte order is code point order. Inline texts point into `keys`, which stays put.
            TRY_DO(sort_native<std::string_view>(ctx, keys, order, reverse,
                                                 [&](const Value& v) { return *exact_str_view(heap, v); }));
            break;
        case KeyClass::Other:
            TRY_DO(merge_passes(ctx, order, reverse, [&](std::uint32_t x, std::uint32_t y) -> PyResult<bool> {
                TRY_ASSIGN(r, compare_operation(ctx, std::uint8_t(CompareOperator::Lt), keys[x], keys[y]));
                if (r.is_bool()) return r.as_bool();
                return truth(ctx, r);
            }));
            break;
    }
    (void)meter;
    std::vector<Value> sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[i] = items[order[i]];
    items = std::move(sorted);
    return {};
}

}  // namespace tw::py::vm
