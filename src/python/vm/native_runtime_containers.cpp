// The container operations of the engine's native runtime: lists, tuples, dicts (and the
// namespace dicts of modules and objects), sets and their constructors. Each checks the heap kind
// of its handle, charges growth before the object changes and hands out copies.
#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/heap/mapping.h"
#include "python/objects/instance.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/namespace.h"
#include "python/vm/protocols.h"
#include "python/vm/repr.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kListItemBytes = 24;
constexpr std::uint64_t kNamespaceEntryBytes = 48;

struct RuntimeKeys final : KeyProtocol {
    explicit RuntimeKeys(RuntimeContext& c) : ctx(c) {}
    PyResult<std::uint64_t> hash(const Value& key) override { return vm::hash_value(ctx, key); }
    PyResult<bool> equal(const Value& stored, const Value& probe) override {
        if (stored == probe) return true;
        return vm::values_equal(ctx, stored, probe);
    }
    bool simple_keys_by_bits() const override { return true; }
    RuntimeContext& ctx;
};

PyError list_kind_error() { return PyError::runtime_error("list handle changed object kind"); }
PyError dict_kind_error() { return PyError::runtime_error("dict handle changed object kind"); }
PyError set_kind_error() { return PyError::runtime_error("set handle changed object kind"); }

template <class Payload>
const Payload* payload_of(Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    return s ? std::get_if<Payload>(&s->object) : nullptr;
}

// The work of moving `count` list items: 24 bytes each at one unit per 64 bytes.
PyStatus charge_moved_items(ResourceMeter& meter, std::uint64_t count) {
    return python_charge_work(meter, count * kListItemBytes / 64);
}

const DictTable* dict_table(Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return nullptr;
    if (const auto* d = std::get_if<DictPayload>(&s->object)) return d->table.get();
    if (const auto* d = std::get_if<DefaultDictPayload>(&s->object)) return d->table.get();
    return nullptr;
}

const NamespaceDictPayload* namespace_dict(Heap& heap, const Value& v) { return payload_of<NamespaceDictPayload>(heap, v); }

// The (name, value) entries behind a namespace dict, in order.
PyResult<std::vector<NamespaceEntry>> namespace_entries(Heap& heap, const NamespaceDictPayload& nd) {
    if (nd.word == 0) {
        TRY_ASSIGN(scope, scope_of(heap, nd.namespace_));
        std::vector<NamespaceEntry> out;
        for (const NamespaceEntry& e : scope->entries()) out.push_back(e);
        return out;
    }
    return instance_attributes(heap, nd.namespace_);
}

// A str key's symbol, or none for a key that is no str.
PyResult<std::optional<Symbol>> key_symbol(EngineRuntime& rt, const Value& key, bool intern) {
    TRY_ASSIGN(text, str_view(rt.heap(), key));
    if (!text) return std::optional<Symbol>();
    if (!intern) return rt.heap().symbols.lookup(*text);
    TRY_ASSIGN(s, rt.heap().symbols.intern(std::string(*text), rt.meter()));
    return std::optional(s);
}

// TypeError "namespace keys must be str, not {}" for a key stored into a namespace mapping.
PyError namespace_key_error(EngineRuntime& rt, const Value& key) {
    return PyError::type_error(fmt::format("namespace keys must be str, not {}", rt.type_name(key)));
}

PyStatus namespace_store(EngineRuntime& rt, const NamespaceDictPayload& nd, Symbol symbol, const Value& v) {
    if (nd.word == 0) return vm::store_scope_name(rt.context(), nd.namespace_, symbol, v);
    return instance_store_attr(StoreContext{rt.heap(), rt.roots(), rt.meter()}, nd.namespace_, symbol, v);
}

PyResult<std::optional<Value>> namespace_remove(EngineRuntime& rt, const NamespaceDictPayload& nd, Symbol symbol) {
    if (nd.word == 0) return vm::delete_scope_name(rt.context(), nd.namespace_, symbol);
    return instance_remove_attr(StoreContext{rt.heap(), rt.roots(), rt.meter()}, nd.namespace_, symbol);
}

// The slot and (rooted) value of a dict's entry for `key`, or none; hashing and comparing may
// run Python code.
PyResult<std::optional<std::pair<std::uint64_t, Value>>> find_entry(EngineRuntime& rt, const Value& mapping, const Value& key) {
    using Found = std::optional<std::pair<std::uint64_t, Value>>;
    if (!dict_table(rt.heap(), mapping)) return fail(dict_kind_error());
    RuntimeKeys keys(rt.context());
    TRY_ASSIGN(found, dict_lookup_entry(rt.heap(), rt.meter(), keys, mapping, key));
    if (!found.slot) return Found();
    const DictTable* t = dict_table(rt.heap(), mapping);
    if (!t) return fail(dict_kind_error());
    const DictSlot* s = t->get_slot(*found.slot);
    if (!s) return Found();
    return Found(std::pair{*found.slot, rt.heap().clone_value(s->value)});
}

// Replaces a list's, set's or dict's storage with a new one of `new_count` elements.
template <class Apply>
PyStatus replace_storage(EngineRuntime& rt, const Value& object, std::uint64_t element_bytes, std::uint64_t old_count,
                         std::uint64_t new_count, Apply&& apply) {
    std::uint64_t old_bytes = 0, new_bytes = 0;
    if (__builtin_mul_overflow(old_count, element_bytes, &old_bytes) ||
        __builtin_mul_overflow(new_count, element_bytes, &new_bytes))
        return fail(PyError::resource("modeled object size overflow"));
    TRY_ASSIGN(slot, rt.heap().get(object));
    const std::uint64_t recorded = slot->modeled_size;
    std::uint64_t size = recorded >= old_bytes ? recorded - old_bytes : 0;
    if (__builtin_add_overflow(size, new_bytes, &size)) return fail(PyError::resource("modeled object size overflow"));
    TRY_DO(Heap::charge_object_cpu(size, rt.meter()));
    if (new_bytes > old_bytes) TRY_DO(rt.heap().update_object_size(object, new_bytes - old_bytes, rt.roots(), rt.meter()));
    TRY_ASSIGN(mut, rt.heap().slot_mut(object));
    apply(mut->object);
    if (new_bytes < old_bytes) rt.heap().shrink_object_size(object, old_bytes - new_bytes, rt.meter());
    return {};
}

}  // namespace

// ---- lists and tuples --------------------------------------------------------------------------------

PyResult<std::uint64_t> EngineRuntime::list_len(Value list) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    return l->items.size();
}

PyResult<std::vector<Value>> EngineRuntime::list_to_vec(Value list) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    TRY_DO(charge_memory(l->items.size() * 16));
    l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    std::vector<Value> out = l->items;
    for (const Value& v : out) heap().push_root(v);
    return out;
}

PyStatus EngineRuntime::list_append(Value list, Value v) {
    if (!payload_of<ListPayload>(heap(), list)) return fail(list_kind_error());
    TRY_DO(heap().update_object_size(list, kListItemBytes, roots(), meter()));
    TRY_ASSIGN(slot, heap().slot_mut(list));
    std::get<ListPayload>(slot->object).items.push_back(v);
    return {};
}

PyStatus EngineRuntime::list_insert(Value list, std::uint64_t index, Value v) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    index = std::min<std::uint64_t>(index, l->items.size());
    TRY_DO(charge_moved_items(meter(), l->items.size() - index));
    TRY_DO(heap().update_object_size(list, kListItemBytes, roots(), meter()));
    TRY_ASSIGN(slot, heap().slot_mut(list));
    auto& items = std::get<ListPayload>(slot->object).items;
    items.insert(items.begin() + std::ptrdiff_t(std::min<std::uint64_t>(index, items.size())), v);
    return {};
}

PyStatus EngineRuntime::list_extend(Value list, std::vector<Value> values) {
    if (!payload_of<ListPayload>(heap(), list)) return fail(list_kind_error());
    std::uint64_t growth = 0;
    if (__builtin_mul_overflow(std::uint64_t(values.size()), kListItemBytes, &growth))
        return fail(PyError::resource("modeled object size overflow"));
    TRY_DO(heap().update_object_size(list, growth, roots(), meter()));
    TRY_ASSIGN(slot, heap().slot_mut(list));
    auto& items = std::get<ListPayload>(slot->object).items;
    items.insert(items.end(), values.begin(), values.end());
    return {};
}

PyResult<Value> EngineRuntime::list_pop(Value list, std::uint64_t index) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    if (index < l->items.size()) TRY_DO(charge_moved_items(meter(), l->items.size() - index));
    l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    if (index >= l->items.size()) return fail(PyError::index_error("pop index out of range"));
    TRY_ASSIGN(slot, heap().slot_mut(list));
    auto& items = std::get<ListPayload>(slot->object).items;
    Value v = heap().clone_value(items[index]);
    items.erase(items.begin() + std::ptrdiff_t(index));
    heap().shrink_object_size(list, kListItemBytes, meter());
    return v;
}

PyResult<std::optional<std::uint64_t>> EngineRuntime::list_index(Value list, Value v, std::uint64_t start,
                                                                 std::uint64_t stop) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    const std::uint64_t n = l->items.size();
    const std::uint64_t end = std::min(stop, n);
    for (std::uint64_t i = std::min(start, n); i < end; ++i) {
        l = payload_of<ListPayload>(heap(), list);
        if (!l) return fail(list_kind_error());
        if (i >= l->items.size()) return std::optional<std::uint64_t>();
        Value item = heap().clone_value(l->items[i]);
        TRY_DO(charge_work(1));
        TRY_ASSIGN(equal, vm::values_equal(*ctx_, item, v));
        if (equal) return std::optional(i);
    }
    return std::optional<std::uint64_t>();
}

PyStatus EngineRuntime::list_reverse(Value list) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    TRY_DO(charge_work(l->items.size()));
    TRY_ASSIGN(slot, heap().slot_mut(list));
    auto& items = std::get<ListPayload>(slot->object).items;
    std::reverse(items.begin(), items.end());
    return {};
}

PyStatus EngineRuntime::list_clear(Value list) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    const std::uint64_t removed = l->items.size();
    TRY_ASSIGN(slot, heap().slot_mut(list));
    std::get<ListPayload>(slot->object).items.clear();
    heap().shrink_object_size(list, removed * kListItemBytes, meter());
    return {};
}

PyStatus EngineRuntime::list_replace(Value list, std::vector<Value> values) {
    const auto* l = payload_of<ListPayload>(heap(), list);
    if (!l) return fail(list_kind_error());
    return replace_storage(*this, list, kListItemBytes, l->items.size(), values.size(),
                           [&](HeapObject& o) { std::get<ListPayload>(o).items = std::move(values); });
}

PyResult<std::vector<Value>> EngineRuntime::tuple_to_vec(Value tuple) {
    const auto* t = payload_of<TuplePayload>(heap(), tuple);
    if (!t) return fail(PyError::runtime_error("tuple handle changed object kind"));
    TRY_DO(charge_memory(t->items.size() * 16));
    t = payload_of<TuplePayload>(heap(), tuple);
    if (!t) return fail(PyError::runtime_error("tuple handle changed object kind"));
    std::vector<Value> out = t->items;
    for (const Value& v : out) heap().push_root(v);
    return out;
}

PyResult<std::optional<std::array<Value, 3>>> EngineRuntime::slice_parts(Value v) {
    const auto* s = payload_of<SlicePayload>(heap(), v);
    if (!s) return std::optional<std::array<Value, 3>>();
    std::array<Value, 3> parts{s->start, s->stop, s->step};
    for (const Value& p : parts) heap().push_root(p);
    return std::optional(parts);
}

// ---- dicts and namespace dicts ---------------------------------------------------------------------------

PyResult<std::vector<ValuePair>> EngineRuntime::dict_items(Value mapping) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        TRY_ASSIGN(entries, namespace_entries(heap(), *nd));
        std::vector<ValuePair> out;
        for (const NamespaceEntry& e : entries) {
            TRY_ASSIGN(key, new_str(std::string(heap().symbols.name_of(e.symbol))));
            out.emplace_back(key, heap().clone_value(e.value));
        }
        return out;
    }
    const DictTable* t = dict_table(heap(), mapping);
    if (!t) return fail(dict_kind_error());
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(t->live_count, std::uint64_t(32), &bytes)) return fail(PyError::resource("dict snapshot size overflow"));
    TRY_DO(charge_memory(bytes));
    t = dict_table(heap(), mapping);
    if (!t) return fail(dict_kind_error());
    std::vector<ValuePair> out;
    out.reserve(t->live_count);
    t->for_each_live([&](const DictSlot& s) { out.emplace_back(s.key, s.value); });
    for (const auto& [k, v] : out) heap().push_root(k), heap().push_root(v);
    return out;
}

PyResult<std::optional<Value>> EngineRuntime::dict_get(Value mapping, Value key) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        const NamespaceDictPayload copy = *nd;
        TRY_ASSIGN(symbol, key_symbol(*this, key, false));
        if (!symbol) return std::optional<Value>();
        TRY_ASSIGN(entries, namespace_entries(heap(), copy));
        for (const NamespaceEntry& e : entries)
            if (e.symbol == *symbol) return std::optional(heap().clone_value(e.value));
        return std::optional<Value>();
    }
    TRY_ASSIGN(found, find_entry(*this, mapping, key));
    if (!found) return std::optional<Value>();
    return std::optional(found->second);
}

PyStatus EngineRuntime::dict_set(Value mapping, Value key, Value v) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        const NamespaceDictPayload copy = *nd;
        TRY_ASSIGN(symbol, key_symbol(*this, key, true));
        if (!symbol) return fail(namespace_key_error(*this, key));
        return namespace_store(*this, copy, *symbol, v);
    }
    if (!dict_table(heap(), mapping)) return fail(dict_kind_error());
    RuntimeKeys keys(*ctx_);
    return dict_set_item(heap(), meter(), keys, roots(), mapping, key, v);
}

PyResult<std::optional<Value>> EngineRuntime::dict_remove(Value mapping, Value key) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        const NamespaceDictPayload copy = *nd;
        TRY_ASSIGN(symbol, key_symbol(*this, key, false));
        if (!symbol) return std::optional<Value>();
        return namespace_remove(*this, copy, *symbol);
    }
    TRY_ASSIGN(found, find_entry(*this, mapping, key));
    if (!found) return std::optional<Value>();
    dict_remove_slot(heap(), meter(), mapping, found->first);
    return std::optional(found->second);
}

PyResult<std::optional<Value>> EngineRuntime::dict_last_key(Value mapping) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        TRY_ASSIGN(entries, namespace_entries(heap(), *nd));
        if (entries.empty()) return std::optional<Value>();
        TRY_ASSIGN(key, new_str(std::string(heap().symbols.name_of(entries.back().symbol))));
        return std::optional(key);
    }
    const DictTable* t = dict_table(heap(), mapping);
    if (!t) return fail(dict_kind_error());
    for (std::uint64_t i = t->slots.size(); i > t->first_live; --i)
        if (!t->slots[i - 1].empty()) return std::optional(heap().clone_value(t->slots[i - 1].key));
    return std::optional<Value>();
}

PyStatus EngineRuntime::dict_update(Value mapping, std::vector<ValuePair> pairs) {
    if (const auto* nd = namespace_dict(heap(), mapping)) {
        const NamespaceDictPayload copy = *nd;
        std::vector<std::pair<Symbol, Value>> stores;
        for (const auto& [key, value] : pairs) {
            TRY_ASSIGN(symbol, key_symbol(*this, key, true));
            if (!symbol) return fail(namespace_key_error(*this, key));
            stores.emplace_back(*symbol, value);
        }
        TRY_ASSIGN(entries, namespace_entries(heap(), copy));
        std::unordered_set<Symbol> kept;
        for (const auto& s : stores) kept.insert(s.first);
        std::vector<Symbol> removed;
        for (const NamespaceEntry& e : entries)
            if (!kept.contains(e.symbol)) removed.push_back(e.symbol);
        TRY_DO(charge_work(removed.size() + stores.size()));
        for (Symbol s : removed) TRY_DO(namespace_remove(*this, copy, s));
        for (const auto& [symbol, value] : stores) TRY_DO(namespace_store(*this, copy, symbol, value));
        return {};
    }
    RuntimeKeys keys(*ctx_);
    TRY_ASSIGN(table, dict_entries_from_pairs(meter(), keys, pairs));
    const DictTable* t = dict_table(heap(), mapping);
    if (!t) return fail(dict_kind_error());
    const std::uint64_t old_count = t->live_count, new_count = table.live_count;
    return replace_storage(*this, mapping, kDictEntryBytes, old_count, new_count, [&](HeapObject& o) {
        if (auto* d = std::get_if<DictPayload>(&o)) *d->table = std::move(table);
        else std::get<DefaultDictPayload>(o).table.get()[0] = std::move(table);
    });
}

PyResult<Value> EngineRuntime::subscript(Value container, Value key) { return vm::subscript(*ctx_, container, key); }

// ---- sets ----------------------------------------------------------------------------------------------------

PyResult<std::vector<Value>> EngineRuntime::set_items(Value set) {
    auto table = [&]() -> const SetTable* {
        const HeapSlot* s = heap().get_if_object(set);
        if (!s) return nullptr;
        if (const auto* p = std::get_if<SetPayload>(&s->object)) return p->table.get();
        if (const auto* p = std::get_if<FrozenSetPayload>(&s->object)) return p->table.get();
        return nullptr;
    };
    const SetTable* t = table();
    if (!t) return fail(set_kind_error());
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(t->live_count, std::uint64_t(16), &bytes)) return fail(PyError::resource("set snapshot size overflow"));
    TRY_DO(charge_memory(bytes));
    t = table();
    if (!t) return fail(set_kind_error());
    std::vector<Value> out;
    t->for_each_live([&](const SetSlot& s) { out.push_back(s.key); });
    for (const Value& v : out) heap().push_root(v);
    return out;
}

PyResult<bool> EngineRuntime::set_is_frozen(Value set) {
    if (payload_of<SetPayload>(heap(), set)) return false;
    if (payload_of<FrozenSetPayload>(heap(), set)) return true;
    return fail(set_kind_error());
}

PyResult<bool> EngineRuntime::set_add(Value set, Value v) {
    if (!payload_of<SetPayload>(heap(), set)) return fail(set_kind_error());
    RuntimeKeys keys(*ctx_);
    return py::set_add(heap(), meter(), keys, roots(), set, v);
}

PyResult<bool> EngineRuntime::set_discard(Value set, Value v) {
    if (!payload_of<SetPayload>(heap(), set) && !payload_of<FrozenSetPayload>(heap(), set)) return fail(set_kind_error());
    RuntimeKeys keys(*ctx_);
    TRY_ASSIGN(found, set_lookup_entry(heap(), meter(), keys, set, v));
    if (!found.slot) return false;
    if (!payload_of<SetPayload>(heap(), set)) return fail(set_kind_error());
    return set_remove_slot(heap(), meter(), set, *found.slot);
}

// ---- iterators and generators -----------------------------------------------------------------------------

bool EngineRuntime::iterator_kind(Value v) {
    auto c = value_category(v);
    return c && (*c == ValueCategory::Iterator || *c == ValueCategory::Generator);
}

bool EngineRuntime::iterator_state(Value v) { return payload_of<CountIteratorPayload>(heap(), v) != nullptr; }

PyResult<Value> EngineRuntime::get_iterator(Value v) { return vm::get_iterator(*ctx_, v); }

bool EngineRuntime::has_builtin_payload(Value v) {
    auto c = value_category(v);
    return c && *c == ValueCategory::Instance;
}

PyResult<std::optional<Value>> EngineRuntime::iterator_next(Value iterator) {
    TRY_ASSIGN(step, vm::iterator_next(*ctx_, iterator));
    return step.item;
}

PyResult<std::optional<Value>> EngineRuntime::generator_state(Value generator, Value sent) {
    return vm::generator_step(*ctx_, generator, sent);
}

PyResult<Value> EngineRuntime::new_value_iterator(std::vector<Value> values) {
    return heap().allocate_object(ValuesIteratorPayload{0, std::move(values)}, roots(), meter());
}

PyResult<Value> EngineRuntime::new_count_iterator(std::int64_t start, std::int64_t step) {
    return heap().allocate_object(CountIteratorPayload{start, step}, roots(), meter());
}

// ---- constructors --------------------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::new_list(std::vector<Value> values) { return vm::new_list(*ctx_, std::move(values)); }
PyResult<Value> EngineRuntime::new_tuple(std::vector<Value> values) { return vm::new_tuple(*ctx_, std::move(values)); }
PyResult<Value> EngineRuntime::new_dict(std::vector<ValuePair> pairs) { return vm::new_dict(*ctx_, pairs); }
PyResult<Value> EngineRuntime::new_set(std::vector<Value> values) { return vm::new_set(*ctx_, values, false); }
PyResult<Value> EngineRuntime::new_frozenset(std::vector<Value> values) { return vm::new_set(*ctx_, values, true); }

PyResult<Value> EngineRuntime::new_defaultdict(Value factory) {
    return heap().allocate_object(DefaultDictPayload{Box<DictTable>::make(), factory}, roots(), meter());
}

PyResult<Value> EngineRuntime::dict_copy(Value mapping) {
    if (namespace_dict(heap(), mapping)) {
        TRY_ASSIGN(pairs, dict_items(mapping));
        return new_dict(std::move(pairs));
    }
    const HeapSlot* s = heap().get_if_object(mapping);
    if (!s) return fail(dict_kind_error());
    if (const auto* d = std::get_if<DictPayload>(&s->object)) {
        DictTable copy;
        d->table->for_each_live([&](const DictSlot& e) { copy.push(e); });
        return heap().allocate_object(DictPayload{Box<DictTable>::make(std::move(copy))}, roots(), meter());
    }
    if (const auto* d = std::get_if<DefaultDictPayload>(&s->object)) {
        DictTable copy;
        d->table->for_each_live([&](const DictSlot& e) { copy.push(e); });
        Value factory = d->default_factory;
        return heap().allocate_object(DefaultDictPayload{Box<DictTable>::make(std::move(copy)), factory}, roots(), meter());
    }
    return fail(dict_kind_error());
}

PyResult<Value> EngineRuntime::subscript_builtin(Value container, Value key) { return vm::subscript(*ctx_, container, key); }
PyResult<bool> EngineRuntime::contains_native(Value container, Value item) { return vm::contains(*ctx_, container, item); }

PyResult<std::vector<ValuePair>> EngineRuntime::mapping_items(Value v) {
    TRY_ASSIGN(items, py_mapping_items(*ctx_, v));
    if (!items) {
        std::string type = type_name(v);
        return fail(PyError::type_error(fmt::format("'{}' object is not a mapping", type)));
    }
    for (const auto& [k, value] : *items) heap().push_root(k), heap().push_root(value);
    return std::move(*items);
}

PyResult<Value> EngineRuntime::new_dict_view(std::uint8_t kind, Value mapping) {
    if (!mapping.is_object()) return fail(PyError::runtime_error("a dict view needs a mapping object"));
    return heap().allocate_object(DictViewPayload{kind, mapping}, roots(), meter());
}

std::optional<std::pair<std::uint8_t, Value>> EngineRuntime::dict_view_parts(Value v) {
    const auto* view = payload_of<DictViewPayload>(heap(), v);
    if (!view) return std::nullopt;
    return std::pair{view->sub_kind, heap().clone_value(view->mapping)};
}

PyResult<std::optional<Value>> EngineRuntime::set_first(Value set) {
    const HeapSlot* s = heap().get_if_object(set);
    const SetTable* t = nullptr;
    if (s) {
        if (const auto* p = std::get_if<SetPayload>(&s->object)) t = p->table.get();
        if (const auto* p = std::get_if<FrozenSetPayload>(&s->object)) t = p->table.get();
    }
    if (!t) return fail(set_kind_error());
    auto first = t->next_live(t->first_live);
    if (!first) return std::optional<Value>();
    return std::optional(heap().clone_value(t->slots[*first].key));
}

PyStatus EngineRuntime::set_replace(Value set, std::vector<Value> values) {
    if (payload_of<FrozenSetPayload>(heap(), set)) return fail(PyError::runtime_error("frozenset items cannot be replaced"));
    RuntimeKeys keys(*ctx_);
    TRY_ASSIGN(table, set_entries_from_values(meter(), keys, values));
    const auto* p = payload_of<SetPayload>(heap(), set);
    if (!p) return fail(set_kind_error());
    return replace_storage(*this, set, kSetEntryBytes, p->table->live_count, table.live_count,
                           [&](HeapObject& o) { *std::get<SetPayload>(o).table = std::move(table); });
}

PyResult<Value> EngineRuntime::type_call(Value cls, std::span<const Value> positional,
                                         std::span<const KeywordArgument> keywords) {
    const HeapSlot* s = heap().get_if_object(cls);
    const bool user_class = s && std::holds_alternative<ClassPayload>(s->object);
    auto d = decode_native_handle(cls);
    const bool native_class = d && (d->tag == DefinitionTag::BuiltinType || d->tag == DefinitionTag::ValueKind ||
                                    d->tag == DefinitionTag::ExceptionType);
    if (!user_class && !native_class) return fail(PyError::type_error("type.__call__ requires a class"));
    return call(cls, positional, keywords);
}

}  // namespace tw::py
