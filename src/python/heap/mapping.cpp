#include "python/heap/mapping.h"

#include <algorithm>

#include "base/panic.h"
#include "kernel/meter.h"
#include "python/heap/heap.h"

namespace tw::py {

void Candidates::copy_to(std::vector<std::uint64_t>& out) const {
    out.clear();
    if (many.empty()) out.push_back(one);
    else out.assign(many.begin(), many.end());
}

void MappingIndex::insert(std::uint64_t hash, std::uint64_t slot) {
    bool inserted;
    Candidates& c = map_.entry(hash, inserted);
    if (inserted) {
        c.one = slot;
        c.many.clear();
    } else if (c.many.empty()) {
        c.many.reserve(2);
        c.many.push_back(c.one);
        c.many.push_back(slot);
    } else {
        c.many.push_back(slot);
    }
}

void MappingIndex::remove(std::uint64_t hash, std::uint64_t slot) {
    Candidates* c = map_.find(hash);
    if (!c) return;
    if (c->many.empty()) {
        if (c->one == slot) map_.erase(hash);
        return;
    }
    std::erase(c->many, slot);
    if (c->many.empty()) {
        map_.erase(hash);
    } else if (c->many.size() == 1) {
        c->one = c->many.front();
        c->many.clear();
        c->many.shrink_to_fit();
    }
}

template <class Slot>
bool MappingStorage<Slot>::remove_at(std::uint64_t i) {
    if (i >= slots.size() || slots[i].empty()) return false;
    index.remove(slots[i].hash, i);
    slots[i] = Slot{};
    --live_count;
    while (!slots.empty() && slots.back().empty()) slots.pop_back();
    while (first_live < slots.size() && slots[first_live].empty()) ++first_live;
    if (first_live > slots.size()) first_live = slots.size();
    if (slots.size() > 8 && live_count < slots.size() - live_count) compact();
    return true;
}

template <class Slot>
void MappingStorage<Slot>::compact() {
    std::uint64_t out = 0;
    for (std::uint64_t i = 0; i < slots.size(); ++i)
        if (!slots[i].empty()) slots[out++] = slots[i];
    slots.resize(live_count);
    first_live = 0;
    index.clear();
    for (std::uint64_t i = 0; i < slots.size(); ++i) {
        expect(!slots[i].empty(), "compacted slots are live");
        index.insert(slots[i].hash, i);
    }
}

template struct MappingStorage<DictSlot>;
template struct MappingStorage<SetSlot>;

namespace {

template <bool IsDict>
auto* table_in(HeapObject& o) {
    if constexpr (IsDict) return dict_table_of(o);
    else return set_table_of(o);
}

template <bool IsDict>
PyResult<LookupResult> lookup(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value container,
                              const Value& key) {
    const char* changed = IsDict ? "dict handle changed object kind" : "set handle changed object kind";
    auto hash = keys.hash(key);
    if (!hash) return fail(std::move(hash.error()));
    auto resolve = [&]() -> PyResult<decltype(table_in<IsDict>(std::declval<HeapObject&>()))> {
        auto slot = heap.get(container);
        if (!slot) return fail(std::move(slot.error()));
        auto* t = table_in<IsDict>(const_cast<HeapObject&>((*slot)->object));
        if (!t) return fail(PyError::unsupported(changed));
        return t;
    };
    auto table = resolve();
    if (!table) return fail(std::move(table.error()));
    // A private copy of the candidates: comparisons may run code that changes the table. The
    // common single candidate needs no allocation.
    std::uint64_t single = 0;
    std::vector<std::uint64_t> several;
    std::span<const std::uint64_t> candidates;
    if (const Candidates* c = (*table)->index.candidates(*hash)) {
        if (c->many.empty()) {
            single = c->one;
            candidates = std::span(&single, 1);
        } else {
            several = c->many;
            candidates = several;
        }
    }
    for (std::uint64_t i : candidates) {
        if (!meter.charge_cpu(1)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        // The table may have been changed or replaced by Python code of an earlier comparison.
        auto t = resolve();
        if (!t) return fail(std::move(t.error()));
        const auto* slot = (*t)->get_slot(i);
        if (!slot) continue;
        Value stored = heap.clone_value(slot->key);
        auto eq = keys.equal(stored, key);
        if (!eq) return fail(std::move(eq.error()));
        if (*eq) return LookupResult{*hash, i};
    }
    return LookupResult{*hash, std::nullopt};
}

template <bool IsDict>
bool remove_slot(Heap& heap, ResourceMeter& meter, Value container, std::uint64_t i) {
    auto slot = heap.slot_mut(container);
    expect(slot.has_value(), "mapping is live");
    auto* table = table_in<IsDict>((*slot)->object);
    expect(table != nullptr, "mapping has a table");
    if (!table->remove_at(i)) return false;
    heap.shrink_object_size(container, IsDict ? kDictEntryBytes : kSetEntryBytes, meter);
    return true;
}

}  // namespace

PyResult<LookupResult> dict_lookup_entry(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value dict,
                                         const Value& key) {
    return lookup<true>(heap, meter, keys, dict, key);
}

PyResult<LookupResult> set_lookup_entry(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set,
                                        const Value& element) {
    return lookup<false>(heap, meter, keys, set, element);
}

PyStatus dict_set_item(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots, Value dict,
                       const Value& key, const Value& value) {
    auto found = dict_lookup_entry(heap, meter, keys, dict, key);
    if (!found) return fail(std::move(found.error()));
    if (found->slot) {
        auto slot = heap.slot_mut(dict);
        if (!slot) return fail(std::move(slot.error()));
        DictTable* t = dict_table_of((*slot)->object);
        if (!t) return fail(PyError::unsupported("dict handle changed object kind"));
        // The slot can only have vanished if the lookup's last comparison emptied it.
        if (*found->slot < t->slots.size() && !t->slots[*found->slot].empty()) {
            t->slots[*found->slot].value = value;
            return {};
        }
    }
    heap.push_root(key);
    heap.push_root(value);
    if (auto r = heap.update_object_size(dict, kDictEntryBytes, roots, meter); !r) return r;
    auto slot = heap.slot_mut(dict);
    if (!slot) return fail(std::move(slot.error()));
    DictTable* t = dict_table_of((*slot)->object);
    if (!t) return fail(PyError::unsupported("dict handle changed object kind"));
    t->push(DictSlot{found->hash, key, value});
    return {};
}

PyResult<bool> set_add(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots, Value set,
                       const Value& element) {
    auto found = set_lookup_entry(heap, meter, keys, set, element);
    if (!found) return fail(std::move(found.error()));
    if (found->slot) return false;
    heap.push_root(element);
    if (auto r = heap.update_object_size(set, kSetEntryBytes, roots, meter); !r) return fail(std::move(r.error()));
    auto slot = heap.slot_mut(set);
    if (!slot) return fail(std::move(slot.error()));
    SetTable* t = set_table_of((*slot)->object);
    if (!t) return fail(PyError::unsupported("set handle changed object kind"));
    t->push(SetSlot{found->hash, element});
    return true;
}

bool dict_remove_slot(Heap& heap, ResourceMeter& meter, Value dict, std::uint64_t slot) {
    return remove_slot<true>(heap, meter, dict, slot);
}

bool set_remove_slot(Heap& heap, ResourceMeter& meter, Value set, std::uint64_t slot) {
    return remove_slot<false>(heap, meter, set, slot);
}

namespace {

// The slot of `key` in a table being built (no Python code can change it meanwhile).
template <class Table>
PyResult<std::optional<std::uint64_t>> local_find(ResourceMeter& meter, KeyProtocol& keys, const Table& t,
                                                  std::uint64_t hash, const Value& key) {
    const Candidates* c = t.index.candidates(hash);
    if (!c) return std::optional<std::uint64_t>();
    std::vector<std::uint64_t> candidates;
    c->copy_to(candidates);
    for (std::uint64_t i : candidates) {
        if (!meter.charge_cpu(1)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        auto eq = keys.equal(t.slots[i].key, key);
        if (!eq) return fail(std::move(eq.error()));
        if (*eq) return std::optional(i);
    }
    return std::optional<std::uint64_t>();
}

}  // namespace

PyResult<DictTable> dict_entries_from_pairs(ResourceMeter& meter, KeyProtocol& keys,
                                            std::span<const std::pair<Value, Value>> pairs) {
    DictTable t;
    for (const auto& [key, value] : pairs) {
        auto hash = keys.hash(key);
        if (!hash) return fail(std::move(hash.error()));
        auto found = local_find(meter, keys, t, *hash, key);
        if (!found) return fail(std::move(found.error()));
        if (*found) t.slots[**found].value = value;
        else t.push(DictSlot{*hash, key, value});
    }
    return t;
}

PyResult<SetTable> set_entries_from_values(ResourceMeter& meter, KeyProtocol& keys, std::span<const Value> values) {
    SetTable t;
    for (const Value& v : values) {
        auto hash = keys.hash(v);
        if (!hash) return fail(std::move(hash.error()));
        auto found = local_find(meter, keys, t, *hash, v);
        if (!found) return fail(std::move(found.error()));
        if (!*found) t.push(SetSlot{*hash, v});
    }
    return t;
}

PyResult<Value> new_dict_from_pairs(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots,
                                    std::span<const std::pair<Value, Value>> pairs) {
    auto table = dict_entries_from_pairs(meter, keys, pairs);
    if (!table) return fail(std::move(table.error()));
    return heap.allocate_object(DictPayload{Box<DictTable>::make(std::move(*table))}, roots, meter);
}

}  // namespace tw::py
