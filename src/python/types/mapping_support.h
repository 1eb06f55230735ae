// Shared pieces of the dict, set, view and mapping-proxy methods: argument checks, receiver
// checks, snapshots, and KeyError.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/mapping.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/types/mapping_types.h"

namespace tw::py {

class NativeRuntime;

namespace mapargs {

// The positional count, then (when `keywords` is false) no keywords.
PyStatus check(const NativeCall& call, std::string_view name, std::size_t min, std::size_t max, bool keywords = false);
// TypeError "expected dict, got {}" unless the value holds a dict table.
PyStatus expect_dict(NativeRuntime& rt, Value v);
// Raises KeyError with `key` as its one argument.
PyError key_error(NativeRuntime& rt, Value key);
// The pairs of a dict in insertion order, rooted; one work unit per pair.
PyResult<MappingPairs> dict_pairs(NativeRuntime& rt, Value dict);
// The elements of a set or frozenset in order, rooted (no charge).
PyResult<std::vector<Value>> set_items(NativeRuntime& rt, Value set);
// The elements of a set or frozenset with their hashes, rooted (no charge).
PyResult<std::vector<SetSlot>> set_slots(NativeRuntime& rt, Value set);
// Membership of a snapshot element (its hash already known) in a set.
PyResult<bool> set_contains_slot(NativeRuntime& rt, Value set, const SetSlot& element);
// A new set or frozenset of distinct elements taken from set snapshots.
PyResult<Value> new_set_distinct(NativeRuntime& rt, std::span<const SetSlot> elements, bool frozen);
// Whether the value is a set or frozenset (a value of the Set kind).
bool is_set_value(NativeRuntime& rt, Value v);
bool is_frozen(NativeRuntime& rt, Value v);
// A new view of `kind` (0 keys, 1 values, 2 items) over the mapping.
PyResult<Value> new_view(NativeRuntime& rt, Value mapping, std::uint8_t kind);
// An iterator over a snapshot of values.
PyResult<Value> values_iterator(NativeRuntime& rt, std::vector<Value> values);
// Native memory for a temporary, given back when the current native scope ends.
PyStatus charge_temporary(NativeRuntime& rt, std::uint64_t bytes);
// Removes `key` from a dict: its value, or none when absent.
PyResult<std::optional<Value>> dict_remove(NativeRuntime& rt, Value dict, Value key);
// Removes `x` from a set; true when it was present.
PyResult<bool> set_discard(NativeRuntime& rt, Value set, Value x);
// Membership through the set or dict index (hash and ==).
PyResult<bool> set_contains(NativeRuntime& rt, Value set, Value x);
// The items of any iterable, each rooted; one work unit per item (a list or tuple is copied at
// once). An itertools.count is refused: it never ends.
PyResult<std::vector<Value>> collect_values(NativeRuntime& rt, Value iterable);
// A new set, or frozenset when `frozen`, of the items.
PyResult<Value> new_set_of(NativeRuntime& rt, std::span<const Value> items, bool frozen);

}  // namespace mapargs

// Shared with the views: the mapping's pairs or TypeError "a dict view needs a mapping".
PyResult<MappingPairs> mapping_items_required(NativeRuntime& rt, Value mapping);
// The value under `key` in any mapping (dicts by hash, others by an ordered scan), or none.
PyResult<std::optional<Value>> mapping_lookup(NativeRuntime& rt, Value mapping, Value key);

}  // namespace tw::py
