// The native methods of dict, its slot functions (reversal, deletion, union) and those of the
// namespace dict, and the shared pieces of the mapping and set methods.
#include <fmt/format.h>

#include <algorithm>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"
#include "python/objects/value_access.h"
#include "python/types/hash_values.h"
#include "python/types/mapping_support.h"
#include "python/types/native_args.h"
#include "python/types/stream_types.h"
#include "python/vm/call.h"
#include "python/vm/try.h"

namespace tw::py {


namespace mapargs {

PyStatus check(const NativeCall& call, std::string_view name, std::size_t min, std::size_t max, bool keywords) {
    TRY_DO(native_check_positional_arity(call.positional.size(), name, min, max));
    if (!keywords) TRY_DO(native_reject_keywords(!call.keywords.empty(), name));
    return {};
}

PyStatus expect_dict(NativeRuntime& rt, Value v) {
    if (const HeapSlot* s = rt.heap().get_if_object(v); s && dict_table_of(const_cast<HeapObject&>(s->object)))
        return {};
    const std::string name = rt.type_name(v);
    return fail(PyError::type_error(fmt::format("expected dict, got {}", name)));
}

PyError key_error(NativeRuntime& rt, Value key) {
    if (auto r = rt.set_pending_exception("KeyError", {key}); !r)
        return std::move(r.error());
    return PyError::raised();
}

PyResult<MappingPairs> dict_pairs(NativeRuntime& rt, Value dict) {
    TRY_ASSIGN(slot, rt.heap().get(dict));
    const DictTable* t = dict_table_of(const_cast<HeapObject&>(slot->object));
    if (!t) return fail(PyError::unsupported("dict handle changed object kind"));
    TRY_DO(python_charge_work(rt.meter(), t->live_count));
    MappingPairs out;
    out.reserve(t->live_count);
    t->for_each_live([&](const DictSlot& s) { out.emplace_back(s.key, s.value); });
    for (const auto& [k, v] : out) rt.heap().push_root(k), rt.heap().push_root(v);
    return out;
}

PyResult<std::vector<Value>> set_items(NativeRuntime& rt, Value set) {
    TRY_ASSIGN(slot, rt.heap().get(set));
    const SetTable* t = set_table_of(const_cast<HeapObject&>(slot->object));
    if (!t) return fail(PyError::type_error("expected set"));
    std::vector<Value> out;
    out.reserve(t->live_count);
    t->for_each_live([&](const SetSlot& s) { out.push_back(s.key); });
    for (const Value& v : out) rt.heap().push_root(v);
    return out;
}

bool is_set_value(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    return s && set_table_of(const_cast<HeapObject&>(s->object)) != nullptr;
}

bool is_frozen(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    return s && std::holds_alternative<FrozenSetPayload>(s->object);
}

PyResult<Value> new_view(NativeRuntime& rt, Value mapping, std::uint8_t kind) {
    return rt.heap().allocate_object(DictViewPayload{kind, mapping}, rt.roots(), rt.meter());
}

PyResult<Value> values_iterator(NativeRuntime& rt, std::vector<Value> values) {
    return rt.heap().allocate_object(ValuesIteratorPayload{0, std::move(values)}, rt.roots(), rt.meter());
}

namespace {

// Python's hash() and == through the runtime.
struct ValueKeys final : KeyProtocol {
    explicit ValueKeys(NativeRuntime& r) : rt(r) {}
    PyResult<std::uint64_t> hash(const Value& key) override { return py_hash_key(rt, key); }
    PyResult<bool> equal(const Value& stored, const Value& probe) override {
        if (stored == probe) return true;
        return rt.values_equal(stored, probe);
    }
    bool simple_keys_by_bits() const override { return true; }
    NativeRuntime& rt;
};

}  // namespace

PyStatus charge_temporary(NativeRuntime& rt, std::uint64_t bytes) {
    TRY_DO(rt.heap().reserve_memory(bytes, nullptr, rt.roots(), rt.meter()));
    rt.heap().record_native_charge(bytes);
    return {};
}

PyResult<std::optional<Value>> dict_remove(NativeRuntime& rt, Value dict, Value key) {
    ValueKeys keys(rt);
    return dict_remove_item(rt.heap(), rt.meter(), keys, dict, key);
}

PyResult<bool> set_discard(NativeRuntime& rt, Value set, Value x) {
    ValueKeys keys(rt);
    return py::set_discard(rt.heap(), rt.meter(), keys, set, x);
}

PyResult<bool> set_contains(NativeRuntime& rt, Value set, Value x) {
    if (!is_set_value(rt, set)) return rt.contains_native(set, x);
    ValueKeys keys(rt);
    TRY_ASSIGN(found, set_lookup_entry(rt.heap(), rt.meter(), keys, set, x));
    return found.slot.has_value();
}

PyResult<std::vector<SetSlot>> set_slots(NativeRuntime& rt, Value set) {
    TRY_ASSIGN(slot, rt.heap().get(set));
    const SetTable* t = set_table_of(const_cast<HeapObject&>(slot->object));
    if (!t) return fail(PyError::type_error("expected set"));
    std::vector<SetSlot> out;
    out.reserve(t->live_count);
    t->for_each_live([&](const SetSlot& s) { out.push_back(s); });
    for (const SetSlot& s : out) rt.heap().push_root(s.key);
    return out;
}

PyResult<bool> set_contains_slot(NativeRuntime& rt, Value set, const SetSlot& element) {
    if (const HeapSlot* s = rt.heap().get_if_object(set))
        if (const SetTable* t = set_table_of(const_cast<HeapObject&>(s->object))) {
            TRY_ASSIGN(quick, set_contains_simple(rt.meter(), *t, element.key, element.hash));
            if (quick) return *quick;
        }
    ValueKeys keys(rt);
    return set_contains_hashed(rt.heap(), rt.meter(), keys, set, element.key, element.hash);
}

PyResult<Value> new_set_distinct(NativeRuntime& rt, std::span<const SetSlot> elements, bool frozen) {
    return new_set_from_distinct(rt.heap(), rt.meter(), rt.roots(), elements, frozen);
}

PyResult<std::vector<Value>> collect_values(NativeRuntime& rt, Value iterable) {
    Heap& heap = rt.heap();
    heap.push_root(iterable);
    if (const HeapSlot* s = heap.get_if_object(iterable)) {
        if (s->kind() == HeapObjectKind::CountIterator)
            return fail(PyError::unsupported("cannot materialize infinite itertools.count without a bound"));
        if (const std::vector<Value>* items = sequence_items(s->object); items && s->kind() != HeapObjectKind::Exception) {
            TRY_DO(rt.charge_work(items->size()));
            return *items;
        }
    }
    TRY_ASSIGN(it, rt.get_iterator(iterable));
    heap.push_root(it);
    std::vector<Value> out;
    for (;;) {
        TRY_ASSIGN(step, rt.iterator_next(it));
        if (!step) break;
        TRY_DO(rt.charge_work(1));
        heap.push_root(*step);
        out.push_back(*step);
    }
    return out;
}

PyResult<Value> new_set_of(NativeRuntime& rt, std::span<const Value> items, bool frozen) {
    std::vector<Value> copy(items.begin(), items.end());
    return frozen ? rt.new_frozenset(std::move(copy)) : rt.new_set(std::move(copy));
}

}  // namespace mapargs

using namespace mapargs;

namespace {

// The pairs of a dict, a namespace dict or a mapping proxy, rooted; none for any other value.
PyResult<std::optional<MappingPairs>> builtin_mapping_items(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    if (!s || !(dict_table_of(const_cast<HeapObject&>(s->object)) || s->kind() == HeapObjectKind::MappingProxy ||
                s->kind() == HeapObjectKind::NamespaceDict))
        return std::optional<MappingPairs>();
    TRY_ASSIGN(items, rt.mapping_items(v));
    return std::optional(std::move(items));
}

// The pairs read through keys() and subscription of an object that has a `keys` attribute.
PyResult<std::optional<MappingPairs>> pairs_through_keys(NativeRuntime& rt, Value v) {
    if (v.is_int() || v.is_bool() || v.is_float() || v.is_none() || v.is_inline_str()) return std::optional<MappingPairs>();
    TRY_ASSIGN(keys, rt.getattr_optional(v, "keys"));
    if (!keys) return std::optional<MappingPairs>();
    TRY_ASSIGN(listed, rt.call(*keys, {}));
    rt.heap().push_root(listed);
    TRY_ASSIGN(all, collect_values(rt, listed));
    MappingPairs out;
    out.reserve(all.size());
    for (const Value& k : all) {
        TRY_ASSIGN(x, rt.subscript(v, k));
        rt.heap().push_root(x);
        out.emplace_back(k, x);
    }
    return std::optional(std::move(out));
}

// ---- dict methods -------------------------------------------------------------------------------

PyResult<Value> dict_update_impl(NativeRuntime& rt, Value self, const NativeCall& c) {
    TRY_DO(expect_dict(rt, self));
    MappingPairs pending;
    if (!c.positional.empty()) {
        Value arg = c.positional[0];
        TRY_ASSIGN(mapped, mapping_view(rt, arg));
        if (mapped) {
            pending = std::move(*mapped);
        } else {
            TRY_ASSIGN(it, rt.get_iterator(arg));
            rt.heap().push_root(it);
            for (;;) {
                TRY_ASSIGN(step, rt.iterator_next(it));
                if (!step) break;
                TRY_DO(python_charge_work(rt.meter(), 1));
                Value element = *step;
                rt.heap().push_root(element);
                const HeapSlot* s = rt.heap().get_if_object(element);
                const std::vector<Value>* items =
                    s && (s->kind() == HeapObjectKind::List || s->kind() == HeapObjectKind::Tuple)
                        ? sequence_items(s->object)
                        : nullptr;
                if (!items) {
                    TRY_ASSIGN(id, py_type_id_of(rt.heap(), rt.types(), element));
                    std::string_view kind = id < kBuiltinTypeCount ? builtin_type_enumerator(id) : "Object";
                    return fail(PyError::type_error(fmt::format("expected a sequence, got {}", kind)));
                }
                if (items->size() != 2)
                    return fail(PyError::value_error("dictionary update sequence element has length other than 2"));
                pending.emplace_back((*items)[0], (*items)[1]);
            }
        }
    }
    for (const auto& [name, v] : c.keywords) {
        TRY_ASSIGN(key, rt.new_str(name));
        pending.emplace_back(key, v);
    }
    for (const auto& [k, v] : pending) TRY_DO(rt.dict_set(self, k, v));
    return Value::none();
}

PyResult<Value> dict_init(NativeRuntime& rt, Value self, NativeCall c) {
    if (c.positional.size() > 1)
        return fail(PyError::type_error(fmt::format("dict expected at most 1 argument, got {}", c.positional.size())));
    return dict_update_impl(rt, self, c);
}

PyResult<Value> dict_update(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.update", 0, 1, true));
    return dict_update_impl(rt, self, c);
}

PyResult<Value> dict_getitem_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__getitem__", 1, 1));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(found, rt.dict_get(self, c.positional[0]));
    if (found) return *found;
    TRY_ASSIGN(missing, rt.getattr_optional(self, "__missing__"));
    if (missing) return rt.call(*missing, std::span<const Value>(&c.positional[0], 1));
    return fail(key_error(rt, c.positional[0]));
}

PyResult<Value> dict_setitem_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__setitem__", 2, 2));
    TRY_DO(expect_dict(rt, self));
    TRY_DO(rt.dict_set(self, c.positional[0], c.positional[1]));
    return Value::none();
}

PyResult<Value> dict_delitem_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__delitem__", 1, 1));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(removed, dict_remove(rt, self, c.positional[0]));
    if (!removed) return fail(key_error(rt, c.positional[0]));
    return Value::none();
}

PyResult<Value> dict_contains_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__contains__", 1, 1));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(found, rt.dict_get(self, c.positional[0]));
    return Value::from_bool(found.has_value());
}

// The keys of the receiver's own entries: a subclass whose __iter__ calls dict.__iter__ gets the
// entries, never its own __iter__ again.
PyResult<Value> dict_iter_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__iter__", 0, 0));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(pairs, dict_pairs(rt, self));
    std::vector<Value> keys;
    keys.reserve(pairs.size());
    for (const auto& kv : pairs) keys.push_back(kv.first);
    return values_iterator(rt, std::move(keys));
}

PyResult<Value> dict_repr_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.__repr__", 0, 0));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(text, rt.repr_builtin(self));
    return rt.new_str(std::move(text));
}

bool is_namespace_dict(NativeRuntime& rt, Value v);
PyResult<MappingPairs> namespace_pairs(NativeRuntime& rt, Value self);

template <bool Store>
PyResult<Value> dict_lookup_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict lookup", 1, 2));
    // An instance's __dict__ is read like a dict.
    const bool namespace_dict = !Store && is_namespace_dict(rt, self);
    if (!namespace_dict) TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(found, namespace_dict ? mapping_lookup(rt, self, c.positional[0]) : rt.dict_get(self, c.positional[0]));
    if (found) return *found;
    Value fallback = c.positional.size() > 1 ? c.positional[1] : Value::none();
    if (Store) TRY_DO(rt.dict_set(self, c.positional[0], fallback));
    return fallback;
}

template <std::uint8_t Kind>
PyResult<Value> dict_view_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict view", 0, 0));
    if (!is_namespace_dict(rt, self)) TRY_DO(expect_dict(rt, self));
    return new_view(rt, self, Kind);
}

PyResult<Value> dict_pop(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.pop", 1, 2));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(removed, dict_remove(rt, self, c.positional[0]));
    if (removed) return *removed;
    if (c.positional.size() > 1) return c.positional[1];
    return fail(key_error(rt, c.positional[0]));
}

PyResult<Value> dict_popitem(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.popitem", 0, 0));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(slot, rt.heap().get(self));
    DictTable* t = dict_table_of(const_cast<HeapObject&>(slot->object));
    if (!t || t->live_count == 0) {
        TRY_ASSIGN(text, rt.new_str("popitem(): dictionary is empty"));
        return fail(key_error(rt, text));
    }
    // Trailing holes are dropped on removal, so the last slot is live.
    std::uint64_t last = t->slots.size() - 1;
    Value key = rt.heap().clone_value(t->slots[last].key);
    Value value = rt.heap().clone_value(t->slots[last].value);
    dict_remove_slot(rt.heap(), rt.meter(), self, last);
    return rt.new_tuple({key, value});
}

PyResult<Value> dict_clear(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.clear", 0, 0));
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(slot, rt.heap().get(self));
    const DictTable* t = dict_table_of(const_cast<HeapObject&>(slot->object));
    const std::uint64_t n = t->live_count;
    TRY_ASSIGN(ms, rt.heap().slot_mut(self));
    dict_table_of(ms->object)->clear();
    rt.heap().shrink_object_size(self, n * kDictEntryBytes, rt.meter());
    return Value::none();
}

PyResult<Value> dict_copy(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "dict.copy", 0, 0));
    if (is_namespace_dict(rt, self)) {
        TRY_ASSIGN(pairs, namespace_pairs(rt, self));
        return rt.new_dict(pairs);
    }
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(pairs, dict_pairs(rt, self));
    return rt.new_dict(pairs);
}

PyResult<Value> dict_fromkeys(NativeRuntime& rt, Value, NativeCall c) {
    TRY_DO(check(c, "dict.fromkeys", 1, 2));
    Value value = c.positional.size() > 1 ? c.positional[1] : Value::none();
    TRY_ASSIGN(keys, collect_values(rt, c.positional[0]));
    MappingPairs pairs;
    pairs.reserve(keys.size());
    for (const Value& k : keys) pairs.emplace_back(k, value);
    return rt.new_dict(pairs);
}

constexpr NativeFunction kDictMethods[] = {
    {"dict", "__init__", nullptr, dict_init},
    {"dict", "__getitem__", nullptr, dict_getitem_method},
    {"dict", "__setitem__", nullptr, dict_setitem_method},
    {"dict", "__delitem__", nullptr, dict_delitem_method},
    {"dict", "__contains__", nullptr, dict_contains_method},
    {"dict", "__iter__", nullptr, dict_iter_method},
    {"dict", "__repr__", nullptr, dict_repr_method},
    {"dict", "get", nullptr, dict_lookup_method<false>},
    {"dict", "setdefault", nullptr, dict_lookup_method<true>},
    {"dict", "keys", nullptr, dict_view_method<0>},
    {"dict", "values", nullptr, dict_view_method<1>},
    {"dict", "items", nullptr, dict_view_method<2>},
    {"dict", "update", nullptr, dict_update},
    {"dict", "pop", nullptr, dict_pop},
    {"dict", "popitem", nullptr, dict_popitem},
    {"dict", "clear", nullptr, dict_clear},
    {"dict", "copy", nullptr, dict_copy},
};
constexpr NativeClass kDictClass{"dict", kDictMethods, {}};
constexpr NativeFunction kDictFromKeys{"dict", "fromkeys", nullptr, dict_fromkeys};

// The (str name, value) pairs of a namespace dict, rooted.
PyResult<MappingPairs> namespace_pairs(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(items, builtin_mapping_items(rt, self));
    if (!items) {
        const std::string name = rt.type_name(self);
        return fail(PyError::type_error(fmt::format("expected dict, got {}", name)));
    }
    return std::move(*items);
}

bool is_namespace_dict(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    return s && s->kind() == HeapObjectKind::NamespaceDict;
}

}  // namespace

PyResult<std::optional<MappingPairs>> mapping_view(NativeRuntime& rt, Value v) {
    TRY_ASSIGN(items, builtin_mapping_items(rt, v));
    if (items) return items;
    return pairs_through_keys(rt, v);
}

// ---- dict slots ---------------------------------------------------------------------------------

SlotValue dict_reversed(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(pairs, mapping_view(rt, self));
    if (!pairs) return fail(PyError::type_error("descriptor requires a dict"));
    TRY_DO(python_charge_work(rt.meter(), pairs->size()));
    std::vector<Value> keys;
    keys.reserve(pairs->size());
    for (auto it = pairs->rbegin(); it != pairs->rend(); ++it) keys.push_back(it->first);
    TRY_ASSIGN(iter, values_iterator(rt, std::move(keys)));
    return std::optional(iter);
}

SlotValue dict_delitem(NativeRuntime& rt, Value self, Value key) {
    TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(removed, dict_remove(rt, self, key));
    if (!removed) return fail(key_error(rt, key));
    return std::optional(Value::none());
}

namespace {

SlotValue dict_union(NativeRuntime& rt, Value left, Value right) {
    if (!expect_dict(rt, left) || !expect_dict(rt, right)) return std::optional<Value>();
    TRY_ASSIGN(right_pairs, dict_pairs(rt, right));
    TRY_ASSIGN(left_pairs, dict_pairs(rt, left));
    TRY_ASSIGN(copy, rt.new_dict(left_pairs));
    for (const auto& [k, v] : right_pairs) TRY_DO(rt.dict_set(copy, k, v));
    return std::optional(copy);
}

}  // namespace

SlotValue dict_or(NativeRuntime& rt, Value self, Value other) { return dict_union(rt, self, other); }
SlotValue dict_ror(NativeRuntime& rt, Value self, Value other) { return dict_union(rt, other, self); }

// ---- namespace dict slots -----------------------------------------------------------------------

SlotValue namespace_dict_getitem(NativeRuntime& rt, Value self, Value key) {
    if (!is_namespace_dict(rt, self)) TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(found, mapping_lookup(rt, self, key));
    if (!found) return fail(key_error(rt, key));
    return std::optional(*found);
}

SlotValue namespace_dict_setitem(NativeRuntime& rt, Value self, Value key, Value value) {
    if (!is_namespace_dict(rt, self)) TRY_DO(expect_dict(rt, self));
    const HeapSlot* s = rt.heap().get_if_object(self);
    const NamespaceDictPayload* nd = s ? std::get_if<NamespaceDictPayload>(&s->object) : nullptr;
    if (nd && nd->word == 1) {
        // An instance's __dict__: the attribute is stored as it is, past __setattr__ and
        // descriptors of the class.
        const Value owner = nd->namespace_;
        TRY_ASSIGN(name, str_view(rt.heap(), key));
        if (!name) return fail(PyError::type_error("attribute name must be string"));
        TRY_ASSIGN(symbol, rt.heap().symbols.intern(*name, rt.meter()));
        TRY_DO(instance_store_attr(StoreContext{rt.heap(), rt.roots(), rt.meter()}, owner, symbol, value));
        return std::optional(Value::none());
    }
    if (nd) return fail(PyError::type_error("'tarnwick.namespace_dict' object does not support item assignment"));
    TRY_DO(rt.dict_set(self, key, value));
    return std::optional(Value::none());
}

SlotValue namespace_dict_len(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(pairs, namespace_pairs(rt, self));
    return std::optional(Value::from_int(std::int64_t(pairs.size())));
}

SlotValue namespace_dict_contains(NativeRuntime& rt, Value self, Value key) {
    if (!is_namespace_dict(rt, self)) TRY_DO(expect_dict(rt, self));
    TRY_ASSIGN(found, mapping_lookup(rt, self, key));
    return std::optional(Value::from_bool(found.has_value()));
}

SlotValue namespace_dict_iter(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(pairs, namespace_pairs(rt, self));
    std::vector<Value> keys;
    keys.reserve(pairs.size());
    for (const auto& kv : pairs) keys.push_back(kv.first);
    TRY_ASSIGN(iter, values_iterator(rt, std::move(keys)));
    return std::optional(iter);
}

// ---- attaching ----------------------------------------------------------------------------------

const NativeClass& set_native_class();
const NativeClass& frozenset_native_class();
const NativeClass& dict_keys_native_class();
const NativeClass& dict_items_native_class();
const NativeClass& mappingproxy_native_class();
const NativeClass& enum_native_class();
const NativeClass& property_native_class();
const NativeClass& iterator_native_class();

void attach_mapping_classes(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::Dict), kDictClass);
    registry.attach_class_method(symbols, type_id(BuiltinType::Dict), kDictFromKeys);
    registry.attach_native_class(symbols, type_id(BuiltinType::Set), set_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::FrozenSet), frozenset_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::DictKeys), dict_keys_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::DictItems), dict_items_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::MappingProxy), mappingproxy_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Enum), enum_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Property), property_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Iterator), iterator_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Stream), stream_iteration_class());
}

}  // namespace tw::py
