// The list type: its native methods, item and slice assignment and deletion, and the storage
// helpers the sequence sources share. Appends, pops and item stores touch only the items they
// concern; the list's modeled size follows its length.
#include <fmt/format.h>

#include <algorithm>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/string/bytearray_ops.h"
#include "python/types/native_args.h"
#include "python/types/string_types.h"
#include "python/vm/call.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/sequence_support.h"
#include "python/vm/sequences.h"
#include "python/vm/try.h"

namespace tw::py::vm {

PyStatus charge_native_memory(RuntimeContext& ctx, std::uint64_t bytes) {
    if (bytes == 0) return {};
    if (!ctx.machine.meter.charge_memory(bytes)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    ctx.heap.record_native_charge(bytes);
    return Heap::charge_object_cpu(bytes, ctx.machine.meter);
}

PyResult<std::vector<Value>> sequence_items(RuntimeContext& ctx, Value sequence) {
    TRY_ASSIGN(slot, ctx.heap.get(sequence));
    const std::vector<Value>* items = sequence_items_of(ctx.heap, sequence, slot->kind());
    if (slot->kind() != HeapObjectKind::List && slot->kind() != HeapObjectKind::Tuple)
        return fail(PyError::unsupported("expected a list or tuple"));
    std::vector<Value> copy = *items;
    for (const Value& v : copy) ctx.heap.push_root(v);
    return copy;
}

namespace {

PyResult<std::vector<Value>*> list_storage(RuntimeContext& ctx, Value list) {
    TRY_ASSIGN(slot, ctx.heap.slot_mut(list));
    auto* payload = std::get_if<ListPayload>(&slot->object);
    if (!payload) return fail(PyError::unsupported("expected a list"));
    return &payload->items;
}

// The modeled size follows the length: growth is charged before the items change.
PyStatus grow(RuntimeContext& ctx, Value list, std::uint64_t items) {
    if (items == 0) return {};
    return ctx.heap.update_object_size(list, items * kValueSlotBytes, ctx.roots, ctx.machine.meter);
}
void shrink(RuntimeContext& ctx, Value list, std::uint64_t items) {
    const HeapSlot* slot = ctx.heap.get_if_object(list);
    if (!slot || items == 0) return;
    const std::uint64_t base = kSlotBytes;
    const std::uint64_t spare = slot->modeled_size > base ? slot->modeled_size - base : 0;
    ctx.heap.shrink_object_size(list, std::min(spare, items * kValueSlotBytes), ctx.machine.meter);
}

std::size_t list_length(const RuntimeContext& ctx, Value list) {
    const std::vector<Value>* items = sequence_items_of(ctx.heap, list, HeapObjectKind::List);
    return items ? items->size() : 0;
}

// A negative index counts from the end; the result must name an item.
PyResult<std::size_t> normalized_index(std::int64_t index, std::size_t length, const char* message) {
    if (index < 0) index += std::int64_t(length);
    if (index < 0 || std::uint64_t(index) >= length) return fail(PyError::index_error(message));
    return std::size_t(index);
}

}  // namespace

PyStatus list_extend_items(RuntimeContext& ctx, Value list, std::span<const Value> more) {
    TRY_DO(grow(ctx, list, more.size()));
    TRY_ASSIGN(items, list_storage(ctx, list));
    items->insert(items->end(), more.begin(), more.end());
    return {};
}

PyStatus list_replace_items(RuntimeContext& ctx, Value list, std::vector<Value> replacement) {
    const std::size_t old = list_length(ctx, list);
    if (replacement.size() > old) TRY_DO(grow(ctx, list, replacement.size() - old));
    TRY_ASSIGN(items, list_storage(ctx, list));
    items->swap(replacement);
    if (items->size() < old) shrink(ctx, list, old - items->size());
    for (const Value& v : replacement) ctx.heap.push_root(v);
    return {};
}

PyStatus method_prologue(RuntimeContext& ctx, const NativeCall& call, std::string_view name, std::size_t min,
                         std::size_t max, Value receiver, HeapObjectKind kind) {
    TRY_DO(native_check_positional_arity(call.positional.size(), name, min, max));
    TRY_DO(native_reject_keywords(!call.keywords.empty(), name));
    const HeapSlot* slot = ctx.heap.get_if_object(receiver);
    if (slot && slot->kind() == kind) return {};
    TRY_ASSIGN(tn, type_name(ctx, receiver));
    return fail(PyError::type_error(
        fmt::format("expected {}, got {}", kind == HeapObjectKind::List ? "list" : "tuple", tn)));
}

namespace {

RuntimeContext& ctx_of(NativeRuntime& rt) { return rt.context(); }

#define TW_PROLOGUE(name, min, max) \
    TRY_DO(method_prologue(ctx, c, name, min, max, self, HeapObjectKind::List))

PyResult<Value> list_init(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(native_check_positional_arity(c.positional.size(), "list.__init__", 0, 1));
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "list.__init__"));
    std::vector<Value> items;
    if (!c.positional.empty()) {
        TRY_ASSIGN(all, materialize_iterable(ctx, c.positional[0]));
        items = std::move(all);
    }
    TRY_DO(method_prologue(ctx, NativeCall{}, "list.__init__", 0, 0, self, HeapObjectKind::List));
    TRY_DO(list_replace_items(ctx, self, std::move(items)));
    return Value::none();
}

PyResult<Value> list_append(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.append", 1, 1);
    TRY_DO(list_extend_items(ctx, self, std::span<const Value>(&c.positional[0], 1)));
    return Value::none();
}

PyResult<Value> list_insert(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.insert", 2, 2);
    TRY_ASSIGN(index, index_argument(ctx, c.positional[0]));
    TRY_DO(grow(ctx, self, 1));
    TRY_ASSIGN(items, list_storage(ctx, self));
    const std::int64_t n = std::int64_t(items->size());
    if (index < 0) index += n;
    index = std::clamp<std::int64_t>(index, 0, n);
    items->insert(items->begin() + index, c.positional[1]);
    return Value::none();
}

PyResult<Value> list_extend(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.extend", 1, 1);
    TRY_ASSIGN(more, materialize_iterable(ctx, c.positional[0]));
    TRY_DO(list_extend_items(ctx, self, more));
    return Value::none();
}

PyResult<Value> list_pop(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.pop", 0, 1);
    std::int64_t index = -1;
    if (!c.positional.empty()) {
        TRY_ASSIGN(i, index_argument(ctx, c.positional[0]));
        index = i;
    }
    TRY_ASSIGN(items, list_storage(ctx, self));
    if (items->empty()) return fail(PyError::index_error("pop from empty list"));
    TRY_ASSIGN(at, normalized_index(index, items->size(), "pop index out of range"));
    Value v = (*items)[at];
    items->erase(items->begin() + std::ptrdiff_t(at));
    ctx.heap.push_root(v);
    shrink(ctx, self, 1);
    return v;
}

PyResult<Value> list_remove(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.remove", 1, 1);
    // The list is read again after each comparison: an __eq__ may change it.
    for (std::size_t i = 0; i < list_length(ctx, self); ++i) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        Value item = (*sequence_items_of(ctx.heap, self, HeapObjectKind::List))[i];
        ctx.heap.push_root(item);
        TRY_ASSIGN(eq, values_equal(ctx, item, c.positional[0]));
        if (!eq) continue;
        TRY_ASSIGN(items, list_storage(ctx, self));
        if (i < items->size()) {
            items->erase(items->begin() + std::ptrdiff_t(i));
            shrink(ctx, self, 1);
        }
        return Value::none();
    }
    return fail(PyError::value_error("list.remove(x): x not in list"));
}

PyResult<Value> list_reverse(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.reverse", 0, 0);
    TRY_ASSIGN(items, list_storage(ctx, self));
    std::reverse(items->begin(), items->end());
    return Value::none();
}

PyResult<Value> list_clear(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.clear", 0, 0);
    TRY_DO(list_replace_items(ctx, self, {}));
    return Value::none();
}

PyResult<Value> list_count(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.count", 1, 1);
    TRY_ASSIGN(items, sequence_items(ctx, self));
    return sequence_count_of(ctx, items, c.positional[0]);
}

PyResult<Value> list_index(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.index", 1, 3);
    TRY_ASSIGN(items, sequence_items(ctx, self));
    return sequence_index_of(ctx, items, c.positional, "list");
}

PyResult<Value> list_copy(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TW_PROLOGUE("list.copy", 0, 0);
    TRY_ASSIGN(items, sequence_items(ctx, self));
    return new_list(ctx, std::move(items));
}

PyResult<Value> list_sort(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(native_check_positional_arity(c.positional.size(), "list.sort", 0, 0));
    TRY_DO(method_prologue(ctx, NativeCall{}, "list.sort", 0, 0, self, HeapObjectKind::List));
    TRY_ASSIGN(key, native_keyword_value(c.keywords, "list.sort", "key"));
    TRY_ASSIGN(reverse_value, native_keyword_value(c.keywords, "list.sort", "reverse"));
    static constexpr std::string_view kAccepted[] = {"key", "reverse"};
    TRY_DO(native_reject_unsupported_keywords(c.keywords, "list.sort", kAccepted));
    bool reverse = false;
    if (reverse_value) {
        TRY_ASSIGN(t, truth(ctx, *reverse_value));
        reverse = t;
    }
    TRY_ASSIGN(snapshot, sequence_items(ctx, self));
    std::vector<Value> sorted = snapshot;
    TRY_DO(sort_values(ctx, sorted, key ? *key : Value::absent(), reverse));
    // A key function or comparison that changed the list: the sorted items win and the change
    // is reported rather than lost silently.
    const std::vector<Value>* now = sequence_items_of(ctx.heap, self, HeapObjectKind::List);
    const bool modified = !now || *now != snapshot;
    TRY_DO(list_replace_items(ctx, self, std::move(sorted)));
    if (modified) return fail(PyError::value_error("list modified during sort"));
    return Value::none();
}

#undef TW_PROLOGUE

constexpr NativeFunction kListMethods[] = {
    {"list", "__init__", nullptr, list_init}, {"list", "append", nullptr, list_append},
    {"list", "insert", nullptr, list_insert}, {"list", "extend", nullptr, list_extend},
    {"list", "pop", nullptr, list_pop},       {"list", "remove", nullptr, list_remove},
    {"list", "reverse", nullptr, list_reverse}, {"list", "clear", nullptr, list_clear},
    {"list", "count", nullptr, list_count},   {"list", "index", nullptr, list_index},
    {"list", "copy", nullptr, list_copy},     {"list", "sort", nullptr, list_sort},
};
constexpr NativeClass kListClass{"list", kListMethods, {}};

// The positions a slice key selects; nothing when the key is no slice.
PyResult<std::optional<ResolvedSlice>> slice_key(RuntimeContext& ctx, Value key, std::uint64_t length) {
    EngineRuntime rt(ctx);
    return strarg::slice_of(rt, key, length);
}

bool is_slice(const Heap& heap, Value key) {
    const HeapSlot* slot = heap.get_if_object(key);
    return slot && std::holds_alternative<SlicePayload>(slot->object);
}

// list.__setitem__: the answer, or nothing when the key is neither an int nor a slice.
PyResult<bool> list_setitem(RuntimeContext& ctx, Value self, Value key, Value value) {
    if (key.is_int() || key.is_bool()) {
        TRY_ASSIGN(items, list_storage(ctx, self));
        TRY_ASSIGN(at, normalized_index(key.as_int(), items->size(), "list assignment index out of range"));
        (*items)[at] = value;
        return true;
    }
    if (!is_slice(ctx.heap, key)) return false;
    // The assigned items are taken before the slice is resolved (a[1:2] = a sees the old list).
    TRY_ASSIGN(more, materialize_iterable(ctx, value));
    const std::uint64_t length = list_length(ctx, self);
    TRY_ASSIGN(slice, slice_key(ctx, key, length));
    const std::uint64_t n = more.size();
    if (slice->step == 1 && slice->start >= 0) {
        const std::uint64_t start = std::uint64_t(slice->start), count = slice->count;
        const std::uint64_t new_length = length - count + n;
        if (new_length > length) TRY_DO(charge_native_memory(ctx, (new_length - length) * kValueBytes));
        TRY_DO(python_charge_work(ctx.machine.meter, length + n));
        if (new_length > length) TRY_DO(grow(ctx, self, new_length - length));
        TRY_ASSIGN(items, list_storage(ctx, self));
        const auto first = items->begin() + std::ptrdiff_t(start);
        // Overwrite what both ranges share, then move only the tail.
        const std::uint64_t common = std::min(count, n);
        std::copy(more.begin(), more.begin() + std::ptrdiff_t(common), first);
        if (n > count) items->insert(first + std::ptrdiff_t(common), more.begin() + std::ptrdiff_t(common), more.end());
        else items->erase(first + std::ptrdiff_t(common), first + std::ptrdiff_t(count));
        if (new_length < length) shrink(ctx, self, length - new_length);
        return true;
    }
    if (n != slice->count)
        return fail(PyError::value_error(fmt::format(
            "attempt to assign sequence of size {} to extended slice of size {}", n, slice->count)));
    TRY_DO(python_charge_work(ctx.machine.meter, slice->count));
    TRY_ASSIGN(items, list_storage(ctx, self));
    for (std::uint64_t i = 0; i < n; ++i) (*items)[std::size_t(slice->start + slice->step * std::int64_t(i))] = more[i];
    return true;
}

PyResult<bool> list_delitem(RuntimeContext& ctx, Value self, Value key) {
    if (key.is_int() || key.is_bool()) {
        TRY_ASSIGN(items, list_storage(ctx, self));
        TRY_ASSIGN(at, normalized_index(key.as_int(), items->size(), "list assignment index out of range"));
        ctx.heap.push_root((*items)[at]);
        items->erase(items->begin() + std::ptrdiff_t(at));
        shrink(ctx, self, 1);
        return true;
    }
    if (!is_slice(ctx.heap, key)) return false;
    const std::uint64_t length = list_length(ctx, self);
    TRY_ASSIGN(slice, slice_key(ctx, key, length));
    TRY_DO(python_charge_work(ctx.machine.meter, length));
    if (slice->count == 0) return true;
    if (slice->step == 1 && slice->start >= 0) {
        TRY_ASSIGN(items, list_storage(ctx, self));
        const auto first = items->begin() + std::ptrdiff_t(slice->start);
        for (auto it = first; it != first + std::ptrdiff_t(slice->count); ++it) ctx.heap.push_root(*it);
        items->erase(first, first + std::ptrdiff_t(slice->count));
    } else {
        TRY_DO(charge_native_memory(ctx, length));
        std::vector<bool> marked(length, false);
        for (std::uint64_t i = 0; i < slice->count; ++i) marked[std::size_t(slice->start + slice->step * std::int64_t(i))] = true;
        TRY_ASSIGN(items, list_storage(ctx, self));
        std::size_t out = 0;
        for (std::size_t i = 0; i < items->size(); ++i) {
            if (i < marked.size() && marked[i]) {
                ctx.heap.push_root((*items)[i]);
                continue;
            }
            (*items)[out++] = (*items)[i];
        }
        items->resize(out);
    }
    shrink(ctx, self, slice->count);
    return true;
}

PyResult<std::string> list_key_error(RuntimeContext& ctx, Value key) {
    TRY_ASSIGN(tn, type_name(ctx, key));
    return fmt::format("list indices must be integers or slices, not {}", tn);
}

// ---- slot functions -------------------------------------------------------------------------

SlotValue list_setitem_slot(NativeRuntime& rt, Value self, Value key, Value value) {
    TRY_ASSIGN(done, list_setitem(rt.context(), self, key, value));
    if (!done) return std::optional<Value>();
    return std::optional(Value::none());
}
SlotValue list_delitem_slot(NativeRuntime& rt, Value self, Value key) {
    TRY_ASSIGN(done, list_delitem(rt.context(), self, key));
    if (!done) return std::optional<Value>();
    return std::optional(Value::none());
}
SlotValue list_concat_slot(NativeRuntime& rt, Value self, Value other) {
    return sequence_concat(rt.context(), SequenceKind::List, self, other);
}
SlotValue list_repeat_slot(NativeRuntime& rt, Value self, Value count) {
    return sequence_repeat(rt.context(), SequenceKind::List, self, count);
}
SlotValue tuple_concat_slot(NativeRuntime& rt, Value self, Value other) {
    return sequence_concat(rt.context(), SequenceKind::Tuple, self, other);
}
SlotValue tuple_repeat_slot(NativeRuntime& rt, Value self, Value count) {
    return sequence_repeat(rt.context(), SequenceKind::Tuple, self, count);
}
// reversed() of a list, tuple or range: an iterator that reads the sequence at each step, from
// the last item down.
SlotValue sequence_reversed_slot(NativeRuntime& rt, Value self) {
    const HeapSlot* slot = rt.context().heap.get_if_object(self);
    if (!slot || (slot->kind() != HeapObjectKind::List && slot->kind() != HeapObjectKind::Tuple &&
                  slot->kind() != HeapObjectKind::Range))
        return std::optional<Value>();
    TRY_ASSIGN(it, rt.native_reverse(self));
    return std::optional(it);
}

// The six comparisons of list and tuple: two of the same kind compare item by item through the
// engine's comparison; any other pair is not for these slots.
SlotCompare sequence_compare_slot(NativeRuntime& rt, Value left, Value right, std::uint8_t op) {
    RuntimeContext& ctx = rt.context();
    const HeapSlot* l = ctx.heap.get_if_object(left);
    const HeapSlot* r = ctx.heap.get_if_object(right);
    if (!l || !r || l->kind() != r->kind() || (l->kind() != HeapObjectKind::List && l->kind() != HeapObjectKind::Tuple) ||
        op > std::uint8_t(CompareOperator::GtE))
        return std::optional<bool>();
    TRY_ASSIGN(v, compare_operation(ctx, op, left, right));
    TRY_ASSIGN(t, truth(ctx, v));
    return std::optional(t);
}

}  // namespace

PyStatus list_store_subscript(RuntimeContext& ctx, Value list, Value key, Value value) {
    TRY_ASSIGN(done, list_setitem(ctx, list, key, value));
    if (done) return {};
    TRY_ASSIGN(message, list_key_error(ctx, key));
    return fail(PyError::type_error(std::move(message)));
}

PyStatus list_delete_subscript(RuntimeContext& ctx, Value list, Value key) {
    TRY_ASSIGN(done, list_delitem(ctx, list, key));
    if (done) return {};
    TRY_ASSIGN(message, list_key_error(ctx, key));
    return fail(PyError::type_error(std::move(message)));
}

const NativeClass& list_native_class() { return kListClass; }

void install_sequence_slots(TypeRegistry& registry) {
    using D = DunderSlot;
    auto put = [&](BuiltinType t, D s, SlotEntry e) { registry.get_mut(type_id(t))->resolved[std::size_t(s)] = e; };
    put(BuiltinType::List, D::SetItem, SlotEntry::ternary(list_setitem_slot));
    put(BuiltinType::List, D::DeleteItem, SlotEntry::binary(list_delitem_slot));
    put(BuiltinType::List, D::Add, SlotEntry::binary(list_concat_slot));
    put(BuiltinType::List, D::Multiply, SlotEntry::binary(list_repeat_slot));
    put(BuiltinType::List, D::ReflectedMultiply, SlotEntry::binary(list_repeat_slot));
    put(BuiltinType::Tuple, D::Add, SlotEntry::binary(tuple_concat_slot));
    put(BuiltinType::Tuple, D::Multiply, SlotEntry::binary(tuple_repeat_slot));
    put(BuiltinType::Tuple, D::ReflectedMultiply, SlotEntry::binary(tuple_repeat_slot));
    for (BuiltinType t : {BuiltinType::List, BuiltinType::Tuple})
        for (int c = int(D::Equal); c <= int(D::GreaterEqual); ++c) put(t, D(c), SlotEntry::rich_compare(sequence_compare_slot));
    for (BuiltinType t : {BuiltinType::List, BuiltinType::Tuple, BuiltinType::Range})
        put(t, D::Reversed, SlotEntry::unary(sequence_reversed_slot));
}

}  // namespace tw::py::vm
