// Small helpers of the sequence sources: reading list and tuple storage, changing a list's items
// with its modeled size kept, native memory charges and the argument checks of the method rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

// Modeled bytes of one Value in a native temporary, and of one sort entry.
inline constexpr std::uint64_t kValueBytes = 16;
inline constexpr std::uint64_t kSortEntryBytes = 64;

inline const std::vector<Value>* sequence_items_of(const Heap& heap, const Value& v, HeapObjectKind kind) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s || s->kind() != kind) return nullptr;
    return kind == HeapObjectKind::List ? &std::get<ListPayload>(s->object).items
                                        : &std::get<TuplePayload>(s->object).items;
}
inline const BigInt* big_int_of(const Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    const auto* b = s ? std::get_if<BigIntPayload>(&s->object) : nullptr;
    return b ? b->value.get() : nullptr;
}
inline bool is_big_int(const Heap& heap, const Value& v) { return big_int_of(heap, v) != nullptr; }
// The text of a str (not of a subclass instance); the view of an inline str points into `v`.
inline std::optional<std::string_view> exact_str_view(const Heap& heap, const Value& v) {
    if (v.is_inline_str()) return v.inline_str();
    const HeapSlot* s = heap.get_if_object(v);
    if (const auto* h = s ? std::get_if<HeapStr>(&s->object) : nullptr) return std::string_view(h->text);
    return std::nullopt;
}

// A native allocation: memory refunded when the native-call scope ends, plus one work unit per 64
// bytes.
PyStatus charge_native_memory(RuntimeContext& ctx, std::uint64_t bytes);

// A copy of the items of a list or tuple, each rooted; TypeError "expected list, got {}" style
// errors are the callers'.
PyResult<std::vector<Value>> sequence_items(RuntimeContext& ctx, Value sequence);
// Appends to a list / replaces its whole content, growing or shrinking its modeled size.
PyStatus list_extend_items(RuntimeContext& ctx, Value list, std::span<const Value> more);
PyStatus list_replace_items(RuntimeContext& ctx, Value list, std::vector<Value> items);

// The checks a method row makes first, in this order: positional count, keywords, receiver kind.
PyStatus method_prologue(RuntimeContext& ctx, const NativeCall& call, std::string_view name, std::size_t min,
                         std::size_t max, Value receiver, HeapObjectKind kind);

}  // namespace tw::py::vm
