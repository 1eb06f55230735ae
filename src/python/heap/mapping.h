// Dict and set storage: insertion-ordered entry slots with holes, and an open-addressing index
// from the 64-bit Python hash of a key to the slots that hold keys with that hash. Keys are compared only within
// the candidates of one hash; every comparison may run Python code, so a lookup re-resolves the
// table before each one and skips slots that vanished meanwhile.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;
struct RootSource;

struct DictSlot {
    std::uint64_t hash = 0;
    Value key;  // absent: an empty slot
    Value value;
    bool empty() const { return key.is_absent(); }
};

struct SetSlot {
    std::uint64_t hash = 0;
    Value key;  // the element; absent: an empty slot
    bool empty() const { return key.is_absent(); }
};

// Insertion-ordered entry slots with a compact open-addressing index: each index cell is a
// 32-bit slot number (0 empty, 1 a removed entry, otherwise the slot number + 2), so a probe
// touches 4 bytes per cell and consecutive keys stay on few cache lines.
template <class Slot>
struct MappingStorage {
    std::vector<Slot> slots;
    std::uint64_t first_live = 0;
    std::uint64_t live_count = 0;

    const Slot* get_slot(std::uint64_t i) const {
        return i < slots.size() && !slots[i].empty() ? &slots[i] : nullptr;
    }
    // Registers the new slot under its hash, appends it and counts it.
    void push(Slot slot);
    // Empties slot i, drops trailing holes, advances first_live and compacts when more than 8
    // slots remain with more holes than entries. True when the slot was live.
    bool remove_at(std::uint64_t i);
    // Empties the table.
    void clear() {
        const std::uint64_t v = version_;
        *this = MappingStorage{};
        version_ = v + 1;
    }
    // Room for `n` entries without growing the index.
    void reserve(std::uint64_t n);
    // Calls f(slot index) for every live slot whose hash is `hash`, in probe order.
    template <class F>
    void for_each_candidate(std::uint64_t hash, F&& f) const {
        if (cells_.empty()) return;
        const std::uint64_t mask = cells_.size() - 1;
        std::uint64_t i = hash & mask, perturb = hash;
        for (;;) {
            const std::uint32_t c = cells_[i];
            if (c == 0) return;
            if (c >= 2 && slots[c - 2].hash == hash) f(std::uint64_t(c - 2));
            perturb >>= 5;
            i = (i * 5 + perturb + 1) & mask;
        }
    }
    // A walk over the candidates of one hash, one at a time (`next_candidate`).
    struct Probe {
        std::uint64_t at = 0, perturb = 0;
        bool started = false;
    };
    // The next live slot whose hash is `hash`, or none at the end of the probe path.
    std::optional<std::uint64_t> next_candidate(std::uint64_t hash, Probe& p) const {
        if (cells_.empty()) return std::nullopt;
        const std::uint64_t mask = cells_.size() - 1;
        if (!p.started) {
            p = Probe{hash & mask, hash, true};
        } else {
            p.perturb >>= 5;
            p.at = (p.at * 5 + p.perturb + 1) & mask;
        }
        for (;;) {
            const std::uint32_t c = cells_[p.at];
            if (c == 0) return std::nullopt;
            if (c >= 2 && slots[c - 2].hash == hash) return std::uint64_t(c - 2);
            p.perturb >>= 5;
            p.at = (p.at * 5 + p.perturb + 1) & mask;
        }
    }
    // Changes whenever an entry is added or removed or the index is rebuilt.
    std::uint64_t version() const { return version_; }
    // The candidate slots of `hash`, copied (lookups copy before any Python code runs).
    void candidates(std::uint64_t hash, std::vector<std::uint64_t>& out) const {
        out.clear();
        for_each_candidate(hash, [&](std::uint64_t i) { out.push_back(i); });
    }
    // Calls f(slot) for every live slot in insertion order.
    template <class F>
    void for_each_live(F&& f) const {
        for (std::uint64_t i = first_live; i < slots.size(); ++i)
            if (!slots[i].empty()) f(slots[i]);
    }
    // The next live slot index at or after `pos`, or none.
    std::optional<std::uint64_t> next_live(std::uint64_t pos) const {
        if (pos < first_live) pos = first_live;
        for (; pos < slots.size(); ++pos)
            if (!slots[pos].empty()) return pos;
        return std::nullopt;
    }
    // Index cells in use (entries and removed entries) and the index size.
    std::uint64_t index_used() const { return used_; }
    std::uint64_t index_size() const { return cells_.size(); }

private:
    void compact();
    void rebuild_index(std::uint64_t capacity);
    void index_insert(std::uint64_t hash, std::uint64_t slot);

    std::vector<std::uint32_t> cells_;
    std::uint64_t used_ = 0;
    std::uint64_t version_ = 0;
};

using DictTable = MappingStorage<DictSlot>;
using SetTable = MappingStorage<SetSlot>;

extern template struct MappingStorage<DictSlot>;
extern template struct MappingStorage<SetSlot>;

// Modeled bytes per live entry.
inline constexpr std::uint64_t kDictEntryBytes = 96;
inline constexpr std::uint64_t kSetEntryBytes = 72;

// How keys are hashed and compared: Python's hash() and ==, which may run Python code and may
// change the very table being searched. The interpreter implements it over its runtime context.
struct KeyProtocol {
    virtual PyResult<std::uint64_t> hash(const Value& key) = 0;
    // `stored` is the key in the table, the left operand.
    virtual PyResult<bool> equal(const Value& stored, const Value& probe) = 0;
    // True when inline ints and inline strs are equal exactly when their bits are (Python's ==):
    // lookups of such keys then skip `equal`.
    virtual bool simple_keys_by_bits() const { return false; }

protected:
    ~KeyProtocol() = default;
};

struct LookupResult {
    std::uint64_t hash = 0;
    std::optional<std::uint64_t> slot;
};

// Finds `key` in the dict (or defaultdict) `dict`: charges one work unit per candidate compared;
// "dict handle changed object kind" when the handle stops naming a dict.
PyResult<LookupResult> dict_lookup_entry(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value dict,
                                         const Value& key);
// The same for sets and frozensets ("set handle changed object kind").
PyResult<LookupResult> set_lookup_entry(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set,
                                        const Value& element);

// Membership of an element whose hash is known.
PyResult<bool> set_contains_hashed(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set,
                                   const Value& element, std::uint64_t hash);
// The same for an inline int or str element, decided without running Python code when every
// candidate of its hash is an inline int or str (the candidates looked at are charged like
// comparisons); none when some candidate needs a real ==.
PyResult<std::optional<bool>> set_contains_simple(ResourceMeter& meter, const SetTable& set, const Value& element,
                                                  std::uint64_t hash);
// A new set (or frozenset) of elements known to be distinct, with their hashes; nothing is compared.
PyResult<Value> new_set_from_distinct(Heap& heap, ResourceMeter& meter, RootSource* roots,
                                      std::span<const SetSlot> elements, bool frozen);
// Inserts or replaces `key` -> `value`. A new entry grows the object by 96 bytes, charged
// before the table changes; a refused charge leaves the dict unchanged.
PyStatus dict_set_item(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots, Value dict,
                       const Value& key, const Value& value);
// Finds and removes `key`: its value, or none when absent.
PyResult<std::optional<Value>> dict_remove_item(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value dict,
                                               const Value& key);
// Finds and removes `element`; true when it was present.
PyResult<bool> set_discard(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, Value set, const Value& element);
// Removes the entry in slot i and gives its 96 bytes back. True when the slot was live.
bool dict_remove_slot(Heap& heap, ResourceMeter& meter, Value dict, std::uint64_t slot);
// Adds `element` when absent (72 bytes, charged first). True when added.
PyResult<bool> set_add(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots, Value set,
                       const Value& element);
bool set_remove_slot(Heap& heap, ResourceMeter& meter, Value set, std::uint64_t slot);

// Tables built from values in order: hashed, compared with the keys already present (the first
// occurrence keeps its place, a later pair replaces a dict value). One work unit per comparison.
PyResult<DictTable> dict_entries_from_pairs(ResourceMeter& meter, KeyProtocol& keys,
                                            std::span<const std::pair<Value, Value>> pairs);
PyResult<SetTable> set_entries_from_values(ResourceMeter& meter, KeyProtocol& keys, std::span<const Value> values);
// A new dict object holding the pairs; nothing is allocated when hashing or comparing fails.
PyResult<Value> new_dict_from_pairs(Heap& heap, ResourceMeter& meter, KeyProtocol& keys, RootSource* roots,
                                    std::span<const std::pair<Value, Value>> pairs);

}  // namespace tw::py
