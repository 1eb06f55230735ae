#include "python/heap/mapping.h"

#include <algorithm>

#include "base/panic.h"
#include "kernel/meter.h"
#include "python/heap/heap.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kMinIndexSize = 8;
// Slot numbers are stored as 32-bit cells (plus 2): far beyond any table the memory budget allows.
constexpr std::uint64_t kMaxSlots = std::uint64_t(UINT32_MAX) - 2;

// The smallest power of two that keeps `n` cells in use at most two thirds full.
std::uint64_t index_size_for(std::uint64_t n) {
    std::uint64_t size = kMinIndexSize;
    while (size * 2 <= n * 3) size *= 2;
    return size;
}

}  // namespace

template <class Slot>
void MappingStorage<Slot>::index_insert(std::uint64_t hash, std::uint64_t slot) {
    const std::uint64_t mask = cells_.size() - 1;
    std::uint64_t i = hash & mask, perturb = hash;
    while (cells_[i] >= 2) {
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
    if (cells_[i] == 0) ++used_;
    cells_[i] = std::uint32_t(slot + 2);
}

template <class Slot>
void MappingStorage<Slot>::rebuild_index(std::uint64_t capacity) {
    cells_.assign(index_size_for(capacity), 0);
    used_ = 0;
    ++version_;
    for (std::uint64_t i = first_live; i < slots.size(); ++i)
        if (!slots[i].empty()) index_insert(slots[i].hash, i);
}

template <class Slot>
void MappingStorage<Slot>::reserve(std::uint64_t n) {
    if (n <= live_count) return;
    slots.reserve(std::size_t(n));
    if (index_size_for(n) > cells_.size()) rebuild_index(n);
}

template <class Slot>
void MappingStorage<Slot>::push(Slot slot) {
    expect(slots.size() < kMaxSlots, "mapping slot numbers fit the index cells");
    // Keep the index at most two thirds full; removed entries are dropped when it is rebuilt.
    if ((used_ + 1) * 3 >= cells_.size() * 2) rebuild_index(std::max(live_count + 1, live_count * 2));
    index_insert(slot.hash, slots.size());
    slots.push_back(std::move(slot));
    ++live_count;
    ++version_;
}

template <class Slot>
bool MappingStorage<Slot>::remove_at(std::uint64_t i) {
    if (i >= slots.size() || slots[i].empty()) return false;
    // Mark the index cell of slot i removed: it lies on the probe path of the slot's hash.
    const std::uint64_t mask = cells_.size() - 1;
    std::uint64_t at = slots[i].hash & mask, perturb = slots[i].hash;
    while (cells_[at] != i + 2) {
        expect(cells_[at] != 0, "a live slot is in the index");
        perturb >>= 5;
        at = (at * 5 + perturb + 1) & mask;
    }
    cells_[at] = 1;
    slots[i] = Slot{};
    --live_count;
    ++version_;
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
        if (!slots[i].empty()) slots[out++] = std::move(slots[i]);
    slots.resize(live_count);
    first_live = 0;
    rebuild_index(live_count);
}

template struct MappingStorage<DictSlot>;
template struct MappingStorage<SetSlot>;

namespace {

template <bool IsDict>
auto* table_in(HeapObject& o) {
    if constexpr (IsDict) return dict_table_of(o);
    else return set_table_of(o);
}

// Keys whose equality is their bits: inline ints and inline strs (an inline str never equals
// another inline str with other bytes, nor an int).
bool is_simple_key(const Value& v) { return v.is_int() || v.is_inline_str(); }
bool same_simple_kind(const Value& a, const Value& b) {
    return (a.is_int() && b.is_int()) || (a.is_inline_str() && b.is_inline_str());
}

struct SimpleFind {
    std::optional<std::uint64_t> slot;
    std::uint64_t compared = 0;  // candidates looked at, each paid like a comparison
};

// The lookup of a simple key decided without running Python code: every candidate of its hash
// is the key itself or a simple key of its kind. None when some candidate needs a real ==.
template <class Table>
std::optional<SimpleFind> find_simple(const Table& t, std::uint64_t hash, const Value& key) {
    if (!is_simple_key(key)) return std::nullopt;
    SimpleFind r;
    typename Table::Probe probe;
    while (auto i = t.next_candidate(hash, probe)) {
        ++r.compared;
        const Value& stored = t.slots[*i].key;
        if (stored == key) {
            r.slot = *i;
            return r;
        }
        if (!same_simple_kind(stored, key)) return std::nullopt;
    }
    return r;
}

template <bool IsDict>
PyResult<LookupResult> lookup(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value container,
                              const Value& key, std::optional<std::uint64_t> known_hash = std::nullopt) {
    const char* changed = IsDict ? "dict handle changed object kind" : "set handle changed object kind";
    PyResult<std::uint64_t> hash = known_hash ? PyResult<std::uint64_t>(*known_hash) : keys.hash(key);
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
    if (auto quick = keys.simple_keys_by_bits() ? find_simple(**table, *hash, key) : std::nullopt) {
        if (!meter.charge_cpu(quick->compared)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        return LookupResult{*hash, quick->slot};
    }
    // The candidates are compared as the probe finds them while the table stays unchanged;
    // once a comparison (which may run Python code) changes or replaces the table, the rest is
    // a private copy of the candidates the changed table holds.
    {
        auto* t0 = *table;
        const std::uint64_t version = t0->version();
        typename std::remove_pointer_t<decltype(t0)>::Probe probe;
        for (;;) {
            auto i = (*table)->next_candidate(*hash, probe);
            if (!i) return LookupResult{*hash, std::nullopt};
            if (!meter.charge_cpu(1)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
            Value stored = (*table)->slots[*i].key;
            if (stored != key) heap.push_root(stored);
            auto eq = keys.equal(stored, key);
            if (!eq) return fail(std::move(eq.error()));
            if (*eq) return LookupResult{*hash, *i};
            table = resolve();
            if (!table) return fail(std::move(table.error()));
            if (*table != t0 || (*table)->version() != version) break;
        }
    }
    std::vector<std::uint64_t> several;
    (*table)->candidates(*hash, several);
    std::span<const std::uint64_t> candidates(several);
    bool first = true;
    for (std::uint64_t i : candidates) {
        if (!meter.charge_cpu(1)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        // The table may have been changed or replaced by Python code of an earlier comparison.
        if (!first) {
            table = resolve();
            if (!table) return fail(std::move(table.error()));
        }
        first = false;
        const auto* slot = (*table)->get_slot(i);
        if (!slot) continue;
        Value stored = slot->key;
        if (stored != key) heap.push_root(stored);
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

PyResult<bool> set_contains_hashed(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set,
                                   const Value& element, std::uint64_t hash) {
    auto found = lookup<false>(heap, meter, keys, set, element, hash);
    if (!found) return fail(std::move(found.error()));
    return found->slot.has_value();
}

PyResult<std::optional<bool>> set_contains_simple(ResourceMeter& meter, const SetTable& set, const Value& element,
                                                  std::uint64_t hash) {
    auto quick = find_simple(set, hash, element);
    if (!quick) return std::optional<bool>();
    if (!meter.charge_cpu(quick->compared)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
    return std::optional(quick->slot.has_value());
}

PyResult<Value> new_set_from_distinct(Heap& heap, ResourceMeter& meter, RootSource* roots,
                                      std::span<const SetSlot> elements, bool frozen) {
    SetTable t;
    t.reserve(elements.size());
    for (const SetSlot& e : elements) t.push(e);
    auto box = Box<SetTable>::make(std::move(t));
    if (frozen) return heap.allocate_object(FrozenSetPayload{std::move(box)}, roots, meter);
    return heap.allocate_object(SetPayload{std::move(box)}, roots, meter);
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

PyResult<std::optional<Value>> dict_remove_item(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value dict,
                                               const Value& key) {
    auto found = dict_lookup_entry(heap, meter, keys, dict, key);
    if (!found) return fail(std::move(found.error()));
    if (!found->slot) return std::optional<Value>();
    auto slot = heap.get(dict);
    if (!slot) return fail(std::move(slot.error()));
    const DictSlot* entry = dict_table_of(const_cast<HeapObject&>((*slot)->object))->get_slot(*found->slot);
    if (!entry) return std::optional<Value>();
    Value value = heap.clone_value(entry->value);
    heap.push_root(entry->key);
    dict_remove_slot(heap, meter, dict, *found->slot);
    return std::optional(value);
}

PyResult<bool> set_discard(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set, const Value& element) {
    auto found = set_lookup_entry(heap, meter, keys, set, element);
    if (!found) return fail(std::move(found.error()));
    return found->slot && set_remove_slot(heap, meter, set, *found->slot);
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
    typename Table::Probe probe;
    while (auto i = t.next_candidate(hash, probe)) {
        if (!meter.charge_cpu(1)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        auto eq = keys.equal(t.slots[*i].key, key);
        if (!eq) return fail(std::move(eq.error()));
        if (*eq) return std::optional(*i);
    }
    return std::optional<std::uint64_t>();
}

}  // namespace

PyResult<DictTable> dict_entries_from_pairs(ResourceMeter& meter, KeyProtocol& keys,
                                            std::span<const std::pair<Value, Value>> pairs) {
    DictTable t;
    t.reserve(pairs.size());
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
    t.reserve(values.size());
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
