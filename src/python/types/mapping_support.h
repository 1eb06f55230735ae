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

struct RuntimeContext;

namespace mapargs {

// The positional count, then (when `keywords` is false) no keywords.
PyStatus check(const NativeCall& call, std::string_view name, std::size_t min, std::size_t max, bool keywords = false);
// TypeError "expected dict, got {}" unless the value holds a dict table.
PyStatus expect_dict(RuntimeContext& ctx, Value v);
// Raises KeyError with `key` as its one argument.
PyError key_error(RuntimeContext& ctx, Value key);
// The pairs of a dict in insertion order, rooted; one work unit per pair.
PyResult<MappingPairs> dict_pairs(RuntimeContext& ctx, Value dict);
// The elements of a set or frozenset in order, rooted (no charge).
PyResult<std::vector<Value>> set_items(RuntimeContext& ctx, Value set);
// The elements of a set or frozenset with their hashes, rooted (no charge).
PyResult<std::vector<SetSlot>> set_slots(RuntimeContext& ctx, Value set);
// Membership of a snapshot element (its hash already known) in a set.
PyResult<bool> set_contains_slot(RuntimeContext& ctx, Value set, const SetSlot& element);
// A new set or frozenset of distinct elements taken from set snapshots.
PyResult<Value> new_set_distinct(RuntimeContext& ctx, std::span<const SetSlot> elements, bool frozen);
// Whether the value is a set or frozenset (a value of the Set kind).
bool is_set_value(RuntimeContext& ctx, Value v);
bool is_frozen(RuntimeContext& ctx, Value v);
// A new view of `kind` (0 keys, 1 values, 2 items) over the mapping.
PyResult<Value> new_view(RuntimeContext& ctx, Value mapping, std::uint8_t kind);
// An iterator over a snapshot of values.
PyResult<Value> values_iterator(RuntimeContext& ctx, std::vector<Value> values);
// Native memory for a temporary, given back when the current native scope ends.
PyStatus charge_temporary(RuntimeContext& ctx, std::uint64_t bytes);
// Removes `key` from a dict: its value, or none when absent.
PyResult<std::optional<Value>> dict_remove(RuntimeContext& ctx, Value dict, Value key);
// Removes `x` from a set; true when it was present.
PyResult<bool> set_discard(RuntimeContext& ctx, Value set, Value x);
// Membership through the set or dict index (hash and ==).
PyResult<bool> set_contains(RuntimeContext& ctx, Value set, Value x);

}  // namespace mapargs

// Shared with the views: the mapping's pairs or TypeError "a dict view needs a mapping".
PyResult<MappingPairs> mapping_items_required(RuntimeContext& ctx, Value mapping);
// The value under `key` in any mapping (dicts by hash, others by an ordered scan), or none.
PyResult<std::optional<Value>> mapping_lookup(RuntimeContext& ctx, Value mapping, Value key);

}  // namespace tw::py
