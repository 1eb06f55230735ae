// The native methods of set and frozenset and their slot functions (comparisons and the four
// operators). Every result keeps the receiver's insertion order, then the other operand's.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_support.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"
#include "python/vm/try.h"

namespace tw::py {

using namespace mapargs;

namespace {

PyStatus expect_set_value(NativeRuntime& rt, Value v) {
    if (is_set_value(rt, v)) return {};
    return fail(PyError::type_error("expected set"));
}

PyStatus expect_mutable_set(NativeRuntime& rt, Value v, std::string_view method) {
    TRY_DO(expect_set_value(rt, v));
    if (is_frozen(rt, v))
        return fail(PyError::type_error(
            fmt::format("descriptor '{}' for 'set' objects doesn't apply to a 'frozenset' object", method)));
    return {};
}

PyStatus charge(NativeRuntime& rt, std::uint64_t units) { return python_charge_work(rt.meter(), units); }

// Replaces the whole contents of a mutable set with `items` (the first of equal items kept).
PyStatus set_replace(NativeRuntime& rt, Value set, std::span<const Value> items) {
    TRY_ASSIGN(slot, rt.heap().slot_mut(set));
    SetTable* t = set_table_of(slot->object);
    if (!t) return fail(PyError::type_error("expected set"));
    const std::uint64_t n = t->live_count;
    t->clear();
    rt.heap().shrink_object_size(set, n * kSetEntryBytes, rt.meter());
    for (const Value& x : items) TRY_DO(rt.set_add(set, x));
    return {};
}

PyResult<Value> result_like(NativeRuntime& rt, Value receiver, std::span<const Value> items) {
    return new_set_of(rt, items, is_frozen(rt, receiver));
}

// A temporary frozenset of an iterable's items (hashing them: an unhashable item fails here);
// a set or frozenset serves as it is.
PyResult<Value> frozen_of(NativeRuntime& rt, Value iterable) {
    if (const HeapSlot* s = rt.heap().get_if_object(iterable)) {
        if (const SetTable* t = set_table_of(const_cast<HeapObject&>(s->object))) {
            TRY_DO(charge(rt, t->live_count));
            return iterable;
        }
    }
    TRY_ASSIGN(items, collect_values(rt, iterable));
    return new_set_of(rt, items, true);
}

// The receiver's items that are (keep = true) or are not members of every other argument.
PyResult<std::vector<SetSlot>> filter_items(NativeRuntime& rt, Value receiver, std::span<const Value> others,
                                          bool keep) {
    TRY_ASSIGN(current, set_slots(rt, receiver));
    for (const Value& other : others) {
        TRY_ASSIGN(frozen, frozen_of(rt, other));
        std::vector<SetSlot> kept;
        TRY_DO(charge(rt, current.size()));
        for (const SetSlot& x : current) {
            TRY_ASSIGN(member, set_contains_slot(rt, frozen, x));
            if (member == keep) kept.push_back(x);
        }
        TRY_DO(charge_temporary(rt, kept.size() * 16));
        current = std::move(kept);
    }
    return current;
}

// The receiver's items absent from `other`, then other's items absent from the receiver (each once).
PyResult<std::vector<Value>> symmetric_items(NativeRuntime& rt, Value receiver, Value other) {
    TRY_ASSIGN(other_items, collect_values(rt, other));
    TRY_ASSIGN(other_frozen, new_set_of(rt, other_items, true));
    TRY_ASSIGN(own, set_items(rt, receiver));
    TRY_ASSIGN(own_frozen, new_set_of(rt, own, true));
    TRY_ASSIGN(scratch, new_set_of(rt, {}, false));
    std::vector<Value> out;
    for (const Value& x : own) {
        TRY_DO(charge(rt, 1));
        TRY_ASSIGN(member, set_contains(rt, other_frozen, x));
        if (!member) out.push_back(x);
    }
    for (const Value& y : other_items) {
        TRY_DO(charge(rt, 1));
        TRY_ASSIGN(member, set_contains(rt, own_frozen, y));
        if (member) continue;
        TRY_ASSIGN(added, rt.set_add(scratch, y));
        if (added) out.push_back(y);
    }
    TRY_DO(charge_temporary(rt, out.size() * 16));
    return out;
}

// ---- methods ------------------------------------------------------------------------------------

PyResult<Value> set_init(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.__init__", 0, 1));
    std::vector<Value> items;
    if (!c.positional.empty()) {
        TRY_ASSIGN(all, collect_values(rt, c.positional[0]));
        items = std::move(all);
    }
    TRY_DO(expect_mutable_set(rt, self, "__init__"));
    TRY_DO(set_replace(rt, self, {}));
    for (const Value& x : items) TRY_DO(rt.set_add(self, x));
    return Value::none();
}

// add (0), remove (1), discard (2).
template <int Mode>
PyResult<Value> set_method_one(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set method", 1, 1));
    TRY_DO(expect_mutable_set(rt, self, Mode == 0 ? "add" : Mode == 1 ? "remove" : "discard"));
    const Value x = c.positional[0];
    if (Mode == 0) {
        TRY_DO(rt.set_add(self, x));
        return Value::none();
    }
    TRY_ASSIGN(removed, set_discard(rt, self, x));
    if (Mode == 1 && !removed) return fail(key_error(rt, x));
    return Value::none();
}

PyResult<Value> set_update(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "set.update"));
    TRY_DO(expect_mutable_set(rt, self, "update"));
    for (const Value& other : c.positional) {
        TRY_ASSIGN(items, collect_values(rt, other));
        for (const Value& x : items) TRY_DO(rt.set_add(self, x));
    }
    return Value::none();
}

PyResult<Value> set_pop(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.pop", 0, 0));
    TRY_DO(expect_mutable_set(rt, self, "pop"));
    TRY_ASSIGN(slot, rt.heap().get(self));
    const SetTable* t = set_table_of(const_cast<HeapObject&>(slot->object));
    auto first = t->next_live(0);
    if (!first) {
        TRY_ASSIGN(text, rt.new_str("pop from an empty set"));
        return fail(key_error(rt, text));
    }
    Value x = rt.heap().clone_value(t->slots[*first].key);
    set_remove_slot(rt.heap(), rt.meter(), self, *first);
    return x;
}

PyResult<Value> set_clear(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.clear", 0, 0));
    TRY_DO(expect_mutable_set(rt, self, "clear"));
    TRY_DO(set_replace(rt, self, {}));
    return Value::none();
}

PyResult<Value> set_union(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "set.union"));
    TRY_DO(expect_set_value(rt, self));
    const bool frozen = is_frozen(rt, self);
    TRY_ASSIGN(own, set_slots(rt, self));
    TRY_ASSIGN(result, new_set_distinct(rt, own, false));
    for (const Value& other : c.positional) {
        TRY_ASSIGN(it, rt.get_iterator(other));
        rt.heap().push_root(it);
        for (;;) {
            TRY_ASSIGN(step, rt.iterator_next(it));
            if (!step) break;
            TRY_DO(charge(rt, 1));
            TRY_DO(rt.set_add(result, *step));
        }
    }
    if (!frozen) return result;
    TRY_ASSIGN(items, set_slots(rt, result));
    return new_set_distinct(rt, items, true);
}

template <bool Keep>
PyResult<Value> set_filter(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(native_reject_keywords(!c.keywords.empty(), Keep ? "set.intersection" : "set.difference"));
    TRY_DO(expect_set_value(rt, self));
    TRY_ASSIGN(items, filter_items(rt, self, c.positional, Keep));
    return new_set_distinct(rt, items, is_frozen(rt, self));
}

template <bool Keep>
PyResult<Value> set_filter_update(NativeRuntime& rt, Value self, NativeCall c) {
    const char* name = Keep ? "intersection_update" : "difference_update";
    TRY_DO(native_reject_keywords(!c.keywords.empty(), Keep ? "set.intersection_update" : "set.difference_update"));
    TRY_DO(expect_mutable_set(rt, self, name));
    TRY_ASSIGN(kept, filter_items(rt, self, c.positional, Keep));
    std::vector<Value> items;
    items.reserve(kept.size());
    for (const SetSlot& x : kept) items.push_back(x.key);
    TRY_DO(set_replace(rt, self, items));
    return Value::none();
}

PyResult<Value> set_symmetric_difference(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.symmetric_difference", 1, 1));
    TRY_DO(expect_set_value(rt, self));
    TRY_ASSIGN(items, symmetric_items(rt, self, c.positional[0]));
    return result_like(rt, self, items);
}

PyResult<Value> set_symmetric_difference_update(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.symmetric_difference_update", 1, 1));
    TRY_DO(expect_mutable_set(rt, self, "symmetric_difference_update"));
    TRY_ASSIGN(items, symmetric_items(rt, self, c.positional[0]));
    TRY_DO(set_replace(rt, self, items));
    return Value::none();
}

PyResult<Value> set_issubset(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.issubset", 1, 1));
    TRY_DO(expect_set_value(rt, self));
    TRY_ASSIGN(own, set_slots(rt, self));
    TRY_ASSIGN(frozen, frozen_of(rt, c.positional[0]));
    for (const SetSlot& x : own) {
        TRY_DO(charge(rt, 1));
        TRY_ASSIGN(member, set_contains_slot(rt, frozen, x));
        if (!member) return Value::from_bool(false);
    }
    return Value::from_bool(true);
}

// issuperset (true: every element must be a member) and isdisjoint (false: none may be); the
// iterator is consumed only up to the first element that decides.
template <bool Superset>
PyResult<Value> set_membership_scan(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, Superset ? "set.issuperset" : "set.isdisjoint", 1, 1));
    TRY_DO(expect_set_value(rt, self));
    TRY_ASSIGN(it, rt.get_iterator(c.positional[0]));
    rt.heap().push_root(it);
    for (;;) {
        TRY_ASSIGN(step, rt.iterator_next(it));
        if (!step) break;
        TRY_DO(charge(rt, 1));
        TRY_ASSIGN(member, set_contains(rt, self, *step));
        if (member != Superset) return Value::from_bool(false);
    }
    return Value::from_bool(true);
}

PyResult<Value> set_copy(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "set.copy", 0, 0));
    TRY_DO(expect_set_value(rt, self));
    TRY_ASSIGN(items, set_slots(rt, self));
    return new_set_distinct(rt, items, is_frozen(rt, self));
}

constexpr NativeFunction kSetMethods[] = {
    {"set", "__init__", nullptr, set_init},
    {"set", "add", nullptr, set_method_one<0>},
    {"set", "remove", nullptr, set_method_one<1>},
    {"set", "discard", nullptr, set_method_one<2>},
    {"set", "update", nullptr, set_update},
    {"set", "pop", nullptr, set_pop},
    {"set", "clear", nullptr, set_clear},
    {"set", "union", nullptr, set_union},
    {"set", "intersection", nullptr, set_filter<true>},
    {"set", "difference", nullptr, set_filter<false>},
    {"set", "symmetric_difference", nullptr, set_symmetric_difference},
    {"set", "intersection_update", nullptr, set_filter_update<true>},
    {"set", "difference_update", nullptr, set_filter_update<false>},
    {"set", "symmetric_difference_update", nullptr, set_symmetric_difference_update},
    {"set", "issubset", nullptr, set_issubset},
    {"set", "issuperset", nullptr, set_membership_scan<true>},
    {"set", "isdisjoint", nullptr, set_membership_scan<false>},
    {"set", "copy", nullptr, set_copy},
};
constexpr NativeFunction kFrozenSetMethods[] = {
    {"frozenset", "union", nullptr, set_union},
    {"frozenset", "intersection", nullptr, set_filter<true>},
    {"frozenset", "difference", nullptr, set_filter<false>},
    {"frozenset", "symmetric_difference", nullptr, set_symmetric_difference},
    {"frozenset", "issubset", nullptr, set_issubset},
    {"frozenset", "issuperset", nullptr, set_membership_scan<true>},
    {"frozenset", "isdisjoint", nullptr, set_membership_scan<false>},
    {"frozenset", "copy", nullptr, set_copy},
};
constexpr NativeClass kSetClass{"set", kSetMethods, {}};
constexpr NativeClass kFrozenSetClass{"frozenset", kFrozenSetMethods, {}};

// ---- slots --------------------------------------------------------------------------------------

struct Subset {
    bool subset = false;
    bool fewer = false;
};

// Whether every element of a is in b; none when b is not a set value.
PyResult<std::optional<Subset>> set_is_subset(NativeRuntime& rt, Value a, Value b) {
    TRY_DO(expect_set_value(rt, a));
    TRY_ASSIGN(as, set_items(rt, a));
    if (!is_set_value(rt, b)) return std::optional<Subset>();
    TRY_ASSIGN(bs, set_items(rt, b));
    Subset r{true, as.size() < bs.size()};
    for (const Value& x : as) {
        TRY_DO(charge(rt, 1));
        TRY_ASSIGN(member, set_contains(rt, b, x));
        if (!member) {
            r.subset = false;
            break;
        }
    }
    return std::optional(r);
}

enum class SetOp { Sub, And, Xor, Or };

SlotValue set_binary_op(NativeRuntime& rt, Value self, Value other, SetOp op) {
    TRY_DO(expect_set_value(rt, self));
    const bool frozen = is_frozen(rt, self);
    TRY_ASSIGN(own, set_slots(rt, self));
    if (!is_set_value(rt, other)) return std::optional<Value>();
    TRY_ASSIGN(theirs, set_slots(rt, other));
    // The kept elements are distinct: each side's elements are, and an element of the other
    // side is kept only when the receiver lacks it.
    std::vector<SetSlot> kept;
    TRY_DO(charge(rt, own.size()));
    for (const SetSlot& x : own) {
        if (op == SetOp::Or) {
            kept.push_back(x);
            continue;
        }
        TRY_ASSIGN(member, set_contains_slot(rt, other, x));
        if ((op == SetOp::And) == member) kept.push_back(x);
    }
    if (op == SetOp::Xor || op == SetOp::Or) {
        TRY_DO(charge(rt, theirs.size()));
        for (const SetSlot& y : theirs) {
            TRY_ASSIGN(member, set_contains_slot(rt, self, y));
            if (!member) kept.push_back(y);
        }
    }
    // Each element of the result is modeled at 64 bytes while the operation runs.
    TRY_DO(charge_temporary(rt, kept.size() * 64));
    TRY_ASSIGN(result, new_set_distinct(rt, kept, frozen));
    return std::optional(result);
}

}  // namespace

const NativeClass& set_native_class() { return kSetClass; }
const NativeClass& frozenset_native_class() { return kFrozenSetClass; }

SlotCompare set_compare(NativeRuntime& rt, Value self, Value other, std::uint8_t op) {
    if (!is_set_value(rt, self)) return std::optional<bool>();
    if (op <= 1) {
        if (!is_set_value(rt, other)) return std::optional<bool>();
        const Value operands[2] = {self, other};
        TRY_ASSIGN(r, rt.apply_operator(2, op, operands));  // 0 ==, 1 !=
        TRY_ASSIGN(t, rt.is_true(r));
        return std::optional(t);
    }
    if (op > 5 || !is_set_value(rt, other)) return std::optional<bool>();
    const bool forward = op == 2 || op == 3, strict = op == 2 || op == 4;
    TRY_ASSIGN(r, forward ? set_is_subset(rt, self, other) : set_is_subset(rt, other, self));
    if (!r) return std::optional<bool>();
    return std::optional(r->subset && (!strict || r->fewer));
}

SlotValue set_sub(NativeRuntime& rt, Value self, Value other) { return set_binary_op(rt, self, other, SetOp::Sub); }
SlotValue set_and(NativeRuntime& rt, Value self, Value other) { return set_binary_op(rt, self, other, SetOp::And); }
SlotValue set_xor(NativeRuntime& rt, Value self, Value other) { return set_binary_op(rt, self, other, SetOp::Xor); }
SlotValue set_or(NativeRuntime& rt, Value self, Value other) { return set_binary_op(rt, self, other, SetOp::Or); }

}  // namespace tw::py
