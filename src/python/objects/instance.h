// Attribute storage of heap objects: instances of program classes, exception instances and any
// other heap object that carries attributes outside its payload. Storage starts shaped (16
// modeled bytes per value, 48 for the first); a 33rd attribute or any removal converts it for
// good to a dictionary namespace (32 bytes per converted attribute, 48 per new entry). Growth is
// charged before the storage changes, and a failure leaves the storage as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;
struct RootSource;

inline constexpr std::size_t kMaxShapedAttributes = 32;
inline constexpr std::uint64_t kFirstAttributeBytes = 48;
inline constexpr std::uint64_t kShapedValueBytes = 16;
inline constexpr std::uint64_t kAttributeEntryBytes = 48;
inline constexpr std::uint64_t kConvertedAttributeBytes = 32;

// What a store or removal needs: the heap (with its shape table and symbols), the collector's
// roots and the memory meter.
struct StoreContext {
    Heap& heap;
    RootSource* roots;
    ResourceMeter& meter;
};

// The stored value of an attribute (not cloned), or none; a stale handle is an error.
PyResult<std::optional<Value>> instance_get_attr(const Heap& heap, const Value& obj, Symbol symbol);
// Stores or replaces an attribute.
PyStatus instance_store_attr(StoreContext sc, const Value& obj, Symbol symbol, const Value& value);
// Removes an attribute: the removed value, or none when the object did not have it.
PyResult<std::optional<Value>> instance_remove_attr(StoreContext sc, const Value& obj, Symbol symbol);
// The (symbol, value) attributes of an object in storage order; "invalid instance shape slot".
PyResult<std::vector<NamespaceEntry>> instance_attributes(const Heap& heap, const Value& obj);
// The attribute entries as (name text, value) pairs in storage order.
PyResult<std::vector<std::pair<std::string, Value>>> py_namespace_entries(const Heap& heap, const Value& obj);
// Replaces all attributes by `entries` (symbols distinct, in order). The new dictionary storage
// is charged and built first and swapped in last, so a refused charge leaves the object as it was.
PyStatus instance_replace_attributes(StoreContext sc, const Value& obj, const std::vector<NamespaceEntry>& entries);

}  // namespace tw::py
