// hash(x) of every value: the user class's __hash__, the unhashable builtin kinds, and the fixed
// builtin hashes of numbers, strings, bytes, tuples, slices, ranges, frozensets, generic aliases,
// native handles and registered values; everything else hashes by identity.
#pragma once

#include <cstdint>

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw::py {

class NativeRuntime;

inline constexpr std::uint32_t kMaxHashDepth = 256;

// hash(x): py_hash at depth 0.
PyResult<std::int64_t> py_hash_entry(NativeRuntime& rt, Value v);
// The hash a dict or set stores for a key: small integers hash to themselves at no charge (-1
// is -2); everything else is hash(x).
PyResult<std::uint64_t> py_hash_key(NativeRuntime& rt, Value v);
PyResult<std::int64_t> py_hash(NativeRuntime& rt, Value v, std::uint32_t depth);
// The hash of a value without a user __hash__.
PyResult<std::int64_t> py_hash_builtin(NativeRuntime& rt, Value v, std::uint32_t depth);
// TypeError "unhashable type: '{}'".
PyError py_unhashable_error(NativeRuntime& rt, Value v);

}  // namespace tw::py
