// The native methods and slot functions of dict, the namespace dict, set and frozenset, the dict
// views and mappingproxy, enum members and property: the rows the type registry
// attaches and the slot functions it installs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/types.h"

namespace tw::py {

class NativeRuntime;

// Attaches the method and property rows of dict, set, frozenset, the views, mappingproxy,
// enum.Enum, property and iterator.
void attach_mapping_classes(TypeRegistry& registry, Symbols& symbols);

using MappingPairs = std::vector<std::pair<Value, Value>>;
// The (key, value) pairs of a mapping in its order, each rooted in the current scope: a dict, a
// namespace dict, a mapping proxy, or any object with a `keys` attribute (read through keys()
// and subscription). None for any other value.
PyResult<std::optional<MappingPairs>> mapping_view(NativeRuntime& rt, Value v);

// The builtin slot function of a set, frozenset, dict view, mapping proxy or namespace dict (the
// value kinds whose protocols are these slots), called with `args`: its answer, or none when the
// value is of another kind, the slot is empty or it answered not-applicable.
PyResult<std::optional<Value>> call_mapping_slot(NativeRuntime& rt, Value self, DunderSlot slot,
                                                 std::span<const Value> args);
// The repr or str slot of an instance of a subclass of enum.Enum: its text, or none for any other
// value.
PyResult<std::optional<std::string>> enum_member_text(NativeRuntime& rt, Value self, DunderSlot slot);

// dict.
SlotValue dict_reversed(NativeRuntime& rt, Value self);
SlotValue dict_or(NativeRuntime& rt, Value self, Value other);
SlotValue dict_ror(NativeRuntime& rt, Value self, Value other);
SlotValue dict_delitem(NativeRuntime& rt, Value self, Value key);
// The namespace dict.
SlotValue namespace_dict_iter(NativeRuntime& rt, Value self);
SlotValue namespace_dict_len(NativeRuntime& rt, Value self);
SlotValue namespace_dict_getitem(NativeRuntime& rt, Value self, Value key);
SlotValue namespace_dict_contains(NativeRuntime& rt, Value self, Value key);
SlotValue namespace_dict_setitem(NativeRuntime& rt, Value self, Value key, Value value);
// set and frozenset.
SlotCompare set_compare(NativeRuntime& rt, Value self, Value other, std::uint8_t op);
SlotValue set_sub(NativeRuntime& rt, Value self, Value other);
SlotValue set_and(NativeRuntime& rt, Value self, Value other);
SlotValue set_xor(NativeRuntime& rt, Value self, Value other);
SlotValue set_or(NativeRuntime& rt, Value self, Value other);
// The dict views.
SlotValue view_iter(NativeRuntime& rt, Value self);
SlotValue view_len(NativeRuntime& rt, Value self);
SlotValue view_reversed(NativeRuntime& rt, Value self);
SlotValue view_contains(NativeRuntime& rt, Value self, Value x);
SlotValue view_sub(NativeRuntime& rt, Value self, Value other);
SlotValue view_rsub(NativeRuntime& rt, Value self, Value other);
SlotValue view_and(NativeRuntime& rt, Value self, Value other);
SlotValue view_rand(NativeRuntime& rt, Value self, Value other);
SlotValue view_xor(NativeRuntime& rt, Value self, Value other);
SlotValue view_rxor(NativeRuntime& rt, Value self, Value other);
SlotValue view_or(NativeRuntime& rt, Value self, Value other);
SlotValue view_ror(NativeRuntime& rt, Value self, Value other);
SlotValue view_eq(NativeRuntime& rt, Value self, Value other);
SlotValue view_lt(NativeRuntime& rt, Value self, Value other);
SlotValue view_le(NativeRuntime& rt, Value self, Value other);
SlotValue view_gt(NativeRuntime& rt, Value self, Value other);
SlotValue view_ge(NativeRuntime& rt, Value self, Value other);
// mappingproxy.
SlotValue proxy_iter(NativeRuntime& rt, Value self);
SlotValue proxy_len(NativeRuntime& rt, Value self);
SlotValue proxy_getitem(NativeRuntime& rt, Value self, Value key);
SlotValue proxy_contains(NativeRuntime& rt, Value self, Value key);
// enum.Enum members.
SlotValue enum_repr(NativeRuntime& rt, Value self);
SlotValue enum_str(NativeRuntime& rt, Value self);
SlotValue enum_hash(NativeRuntime& rt, Value self);

}  // namespace tw::py
