// repr() of every value. The dispatch honours a `__repr__` a program defines and otherwise uses
// the builtin form; containers print their elements through the dispatch. A visited set of the
// containers in progress prints a cycle as its marker ("[...]", "{...}") and stops nesting deeper
// than 256 containers with a RecursionError; nested representations move to a fresh stack
// segment when the thread's stack runs low.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw::py {

struct RuntimeContext;
class Heap;
class TypeRegistry;

inline constexpr std::size_t kMaxReprDepth = 256;

// Identities of the containers whose representation is in progress.
struct ReprVisited {
    std::vector<std::uint32_t> ids;
    bool contains(std::uint32_t id) const;
    // RecursionError when 256 identities are present already.
    PyStatus enter(std::uint32_t id);
    void leave(std::uint32_t id);
};

// repr(v) with a fresh visited set.
PyResult<std::string> py_repr(RuntimeContext& ctx, Value v);
// The stack guard, then the dispatch.
PyResult<std::string> py_repr_nested(RuntimeContext& ctx, Value v, ReprVisited& visited);
// A program's `__repr__`, else the container representation.
PyResult<std::string> py_repr_dispatch(RuntimeContext& ctx, Value v, ReprVisited& visited);
// Containers with their elements through the dispatch; other values by the builtin form.
PyResult<std::string> py_container_repr(RuntimeContext& ctx, Value v, ReprVisited& visited);
// The builtin form, which never calls a program's `__repr__`.
PyResult<std::string> py_repr_guarded(RuntimeContext& ctx, Value v, ReprVisited& visited);
PyResult<std::string> py_repr_fresh(RuntimeContext& ctx, Value v);
// "<{} object at 0x...>".
PyResult<std::string> py_default_object_repr(RuntimeContext& ctx, Value v);
// The quoted forms of str and bytes.
std::string py_bytes_repr(std::string_view bytes);
// The `id()` of a heap object: 0x7f0000000000 + 16 x (slot index + 1).
std::uint64_t heap_object_address(Value v);

// The (key, value) pairs of a dict, namespace dict or mapping proxy, each heap value rooted in
// the current scope; none when the value is no such mapping.
PyResult<std::optional<std::vector<std::pair<Value, Value>>>> py_mapping_items(RuntimeContext& ctx, Value v);

}  // namespace tw::py
