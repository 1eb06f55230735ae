// The dict views (keys, values, items) and mappingproxy: live views over a mapping's pairs,
// their slot functions and methods, and the engine's entry to the slots of these kinds.
#include <fmt/format.h>

#include <algorithm>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_support.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"
#include "python/vm/try.h"

namespace tw::py {

using namespace mapargs;

PyResult<MappingPairs> mapping_items_required(NativeRuntime& rt, Value mapping) {
    TRY_ASSIGN(pairs, mapping_view(rt, mapping));
    if (!pairs) return fail(PyError::type_error("a dict view needs a mapping"));
    return std::move(*pairs);
}

namespace {

const DictTable* dict_table(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    return s ? dict_table_of(const_cast<HeapObject&>(s->object)) : nullptr;
}

}  // namespace

PyResult<std::optional<Value>> mapping_lookup(NativeRuntime& rt, Value mapping, Value key) {
    if (dict_table(rt, mapping)) return rt.dict_get(mapping, key);
    TRY_ASSIGN(pairs, mapping_items_required(rt, mapping));
    for (const auto& [k, v] : pairs) {
        TRY_DO(python_charge_work(rt.meter(), 1));
        TRY_ASSIGN(eq, rt.values_equal(k, key));
        if (eq) return std::optional(v);
    }
    return std::optional<Value>();
}

namespace {

struct ViewParts {
    std::uint8_t kind = 0;
    Value mapping;
};

std::optional<ViewParts> view_parts(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    const auto* p = s ? std::get_if<DictViewPayload>(&s->object) : nullptr;
    if (!p || p->sub_kind > 2) return std::nullopt;
    return ViewParts{p->sub_kind, p->mapping};
}

PyResult<ViewParts> expect_dict_view(NativeRuntime& rt, Value v) {
    if (auto parts = view_parts(rt, v)) return *parts;
    return fail(PyError::type_error("descriptor requires a dict view"));
}

// The items of a view: keys, values, or new (key, value) tuples.
PyResult<std::vector<Value>> view_items(NativeRuntime& rt, const ViewParts& view) {
    TRY_ASSIGN(pairs, mapping_items_required(rt, view.mapping));
    std::vector<Value> out;
    out.reserve(pairs.size());
    for (const auto& [k, v] : pairs) {
        if (view.kind == 2) {
            TRY_ASSIGN(t, rt.new_tuple({k, v}));
            out.push_back(t);
        } else {
            out.push_back(view.kind == 0 ? k : v);
        }
    }
    return out;
}

// The number of pairs: a dict's own count, without reading its pairs.
PyResult<std::uint64_t> mapping_size(NativeRuntime& rt, Value mapping) {
    if (const DictTable* t = dict_table(rt, mapping)) return t->live_count;
    TRY_ASSIGN(pairs, mapping_items_required(rt, mapping));
    return pairs.size();
}

PyResult<bool> contained(NativeRuntime& rt, const ViewParts& view, Value x) {
    switch (view.kind) {
        case 0: {
            TRY_ASSIGN(found, mapping_lookup(rt, view.mapping, x));
            return found.has_value();
        }
        case 1: {
            TRY_ASSIGN(pairs, mapping_items_required(rt, view.mapping));
            for (const auto& kv : pairs) {
                TRY_DO(python_charge_work(rt.meter(), 1));
                TRY_ASSIGN(eq, rt.values_equal(kv.second, x));
                if (eq) return true;
            }
            return false;
        }
        default: {
            const HeapSlot* s = rt.heap().get_if_object(x);
            const auto* t = s ? std::get_if<TuplePayload>(&s->object) : nullptr;
            if (!t || t->items.size() != 2) return false;
            const Value key = t->items[0], value = t->items[1];
            TRY_ASSIGN(found, mapping_lookup(rt, view.mapping, key));
            if (!found) return false;
            return rt.values_equal(*found, value);
        }
    }
}

PyResult<bool> all_items_contained(NativeRuntime& rt, std::span<const Value> items, Value container) {
    for (const Value& x : items) {
        TRY_DO(python_charge_work(rt.meter(), 1));
        TRY_ASSIGN(in, rt.contains_native(container, x));
        if (!in) return false;
    }
    return true;
}

enum class ViewCompare { Equal, Subset, Superset };

SlotValue view_compare(NativeRuntime& rt, Value self, Value other, ViewCompare mode, bool strict) {
    std::vector<Value> theirs;
    if (is_set_value(rt, other)) {
        TRY_ASSIGN(items, set_items(rt, other));
        theirs = std::move(items);
    } else if (auto parts = view_parts(rt, other); parts && parts->kind != 1) {
        TRY_ASSIGN(items, view_items(rt, *parts));
        theirs = std::move(items);
    } else {
        return std::optional<Value>();
    }
    TRY_ASSIGN(view, expect_dict_view(rt, self));
    TRY_ASSIGN(own, view_items(rt, view));
    const std::size_t n = own.size(), m = theirs.size();
    bool answer = false;
    switch (mode) {
        case ViewCompare::Equal:
            if (n == m) {
                TRY_ASSIGN(r, all_items_contained(rt, own, other));
                answer = r;
            }
            break;
        case ViewCompare::Subset:
            if (strict ? n < m : n <= m) {
                TRY_ASSIGN(r, all_items_contained(rt, own, other));
                answer = r;
            }
            break;
        case ViewCompare::Superset:
            if (strict ? n > m : n >= m) {
                TRY_ASSIGN(r, all_items_contained(rt, theirs, self));
                answer = r;
            }
            break;
    }
    return std::optional(Value::from_bool(answer));
}

// A new set of the left operand's items, then its method `method` called with the right one.
SlotValue view_set_operation(NativeRuntime& rt, Value left, Value right, std::string_view method) {
    TRY_ASSIGN(items, collect_values(rt, left));
    TRY_ASSIGN(result, new_set_of(rt, items, false));
    TRY_ASSIGN(update, rt.getattr_optional(result, method));
    if (!update) return fail(PyError::exception("RuntimeError", "set lacks an update method"));
    TRY_DO(rt.call(*update, std::span<const Value>(&right, 1)));
    return std::optional(result);
}

// ---- methods ------------------------------------------------------------------------------------

PyResult<Value> view_isdisjoint(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "isdisjoint", 1, 1));
    TRY_ASSIGN(it, rt.get_iterator(c.positional[0]));
    rt.heap().push_root(it);
    for (;;) {
        TRY_ASSIGN(step, rt.iterator_next(it));
        if (!step) break;
        TRY_DO(python_charge_work(rt.meter(), 1));
        TRY_ASSIGN(view, expect_dict_view(rt, self));
        TRY_ASSIGN(in, contained(rt, view, *step));
        if (in) return Value::from_bool(false);
    }
    return Value::from_bool(true);
}

PyResult<Value> proxy_get(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "mappingproxy.get", 1, 2));
    TRY_ASSIGN(found, mapping_lookup(rt, self, c.positional[0]));
    if (found) return *found;
    return c.positional.size() > 1 ? c.positional[1] : Value::none();
}

template <std::uint8_t Kind>
PyResult<Value> proxy_view(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "mappingproxy view", 0, 0));
    return new_view(rt, self, Kind);
}

PyResult<Value> proxy_copy(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "mappingproxy.copy", 0, 0));
    TRY_ASSIGN(pairs, mapping_items_required(rt, self));
    return rt.new_dict(pairs);
}

constexpr NativeFunction kKeysMethods[] = {{"dict_keys", "isdisjoint", nullptr, view_isdisjoint}};
constexpr NativeFunction kItemsMethods[] = {{"dict_items", "isdisjoint", nullptr, view_isdisjoint}};
constexpr NativeFunction kProxyMethods[] = {
    {"mappingproxy", "get", nullptr, proxy_get},
    {"mappingproxy", "keys", nullptr, proxy_view<0>},
    {"mappingproxy", "values", nullptr, proxy_view<1>},
    {"mappingproxy", "items", nullptr, proxy_view<2>},
    {"mappingproxy", "copy", nullptr, proxy_copy},
};
constexpr NativeClass kKeysClass{"dict_keys", kKeysMethods, {}};
constexpr NativeClass kItemsClass{"dict_items", kItemsMethods, {}};
constexpr NativeClass kProxyClass{"mappingproxy", kProxyMethods, {}};

}  // namespace

const NativeClass& dict_keys_native_class() { return kKeysClass; }
const NativeClass& dict_items_native_class() { return kItemsClass; }
const NativeClass& mappingproxy_native_class() { return kProxyClass; }

// ---- view slots ---------------------------------------------------------------------------------

SlotValue view_len(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(view, expect_dict_view(rt, self));
    TRY_ASSIGN(n, mapping_size(rt, view.mapping));
    return std::optional(Value::from_int(std::int64_t(n)));
}

SlotValue view_iter(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(view, expect_dict_view(rt, self));
    TRY_ASSIGN(items, view_items(rt, view));
    TRY_ASSIGN(it, values_iterator(rt, std::move(items)));
    return std::optional(it);
}

SlotValue view_reversed(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(view, expect_dict_view(rt, self));
    TRY_ASSIGN(items, view_items(rt, view));
    TRY_DO(python_charge_work(rt.meter(), items.size()));
    std::reverse(items.begin(), items.end());
    TRY_ASSIGN(it, values_iterator(rt, std::move(items)));
    return std::optional(it);
}

SlotValue view_contains(NativeRuntime& rt, Value self, Value x) {
    TRY_ASSIGN(view, expect_dict_view(rt, self));
    TRY_ASSIGN(in, contained(rt, view, x));
    return std::optional(Value::from_bool(in));
}

SlotValue view_eq(NativeRuntime& rt, Value s, Value o) { return view_compare(rt, s, o, ViewCompare::Equal, false); }
SlotValue view_lt(NativeRuntime& rt, Value s, Value o) { return view_compare(rt, s, o, ViewCompare::Subset, true); }
SlotValue view_le(NativeRuntime& rt, Value s, Value o) { return view_compare(rt, s, o, ViewCompare::Subset, false); }
SlotValue view_gt(NativeRuntime& rt, Value s, Value o) { return view_compare(rt, s, o, ViewCompare::Superset, true); }
SlotValue view_ge(NativeRuntime& rt, Value s, Value o) { return view_compare(rt, s, o, ViewCompare::Superset, false); }

SlotValue view_and(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, s, o, "intersection_update"); }
SlotValue view_rand(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, o, s, "intersection_update"); }
SlotValue view_or(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, s, o, "update"); }
SlotValue view_ror(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, o, s, "update"); }
SlotValue view_xor(NativeRuntime& rt, Value s, Value o) {
    return view_set_operation(rt, s, o, "symmetric_difference_update");
}
SlotValue view_rxor(NativeRuntime& rt, Value s, Value o) {
    return view_set_operation(rt, o, s, "symmetric_difference_update");
}
SlotValue view_sub(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, s, o, "difference_update"); }
SlotValue view_rsub(NativeRuntime& rt, Value s, Value o) { return view_set_operation(rt, o, s, "difference_update"); }

// ---- mappingproxy slots -------------------------------------------------------------------------

SlotValue proxy_getitem(NativeRuntime& rt, Value self, Value key) {
    TRY_ASSIGN(found, mapping_lookup(rt, self, key));
    if (!found) return fail(key_error(rt, key));
    return std::optional(*found);
}

SlotValue proxy_len(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(n, mapping_size(rt, self));
    return std::optional(Value::from_int(std::int64_t(n)));
}

SlotValue proxy_contains(NativeRuntime& rt, Value self, Value key) {
    TRY_ASSIGN(found, mapping_lookup(rt, self, key));
    return std::optional(Value::from_bool(found.has_value()));
}

SlotValue proxy_iter(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(items, view_items(rt, ViewParts{0, self}));
    TRY_ASSIGN(it, values_iterator(rt, std::move(items)));
    return std::optional(it);
}

// ---- the engine's entry -------------------------------------------------------------------------

PyResult<std::optional<Value>> call_mapping_slot(NativeRuntime& rt, Value self, DunderSlot slot,
                                                 std::span<const Value> args) {
    const HeapSlot* s = rt.heap().get_if_object(self);
    if (!s) return std::optional<Value>();
    switch (s->kind()) {
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet:
        case HeapObjectKind::DictView: break;
        case HeapObjectKind::MappingProxy:
        case HeapObjectKind::NamespaceDict:
            // Their comparisons are the containers' generic ones.
            if (slot >= DunderSlot::Equal && slot <= DunderSlot::GreaterEqual) return std::optional<Value>();
            break;
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict:
            if (slot == DunderSlot::Reversed || slot == DunderSlot::BitwiseOr || slot == DunderSlot::ReflectedBitwiseOr)
                break;
            return std::optional<Value>();
        default: return std::optional<Value>();
    }
    const TypeId type = s->type_id;
    if (type >= kBuiltinTypeCount) return std::optional<Value>();
    TRY_ASSIGN(entry, rt.types().slot(type, slot));
    if (!entry) return std::optional<Value>();
    switch (entry->kind) {
        case SlotKind::Unary:
            if (args.empty()) return entry->as_unary()(rt, self);
            break;
        case SlotKind::Binary:
            if (args.size() == 1) return entry->as_binary()(rt, self, args[0]);
            break;
        case SlotKind::Ternary:
            if (args.size() == 2) return entry->as_ternary()(rt, self, args[0], args[1]);
            break;
        case SlotKind::RichCompare: {
            if (args.size() != 1 || slot < DunderSlot::Equal || slot > DunderSlot::GreaterEqual) break;
            TRY_ASSIGN(r, entry->as_rich_compare()(rt, self, args[0],
                                                   std::uint8_t(std::uint8_t(slot) - std::uint8_t(DunderSlot::Equal))));
            if (!r) return std::optional<Value>();
            return std::optional(Value::from_bool(*r));
        }
        default: break;
    }
    return std::optional<Value>();
}

}  // namespace tw::py
