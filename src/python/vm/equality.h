// Equality of builtin values without running program code, and item reads of lists and tuples
// for loops that must see the current contents.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/value_access.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

// The element at `index` of a list or tuple as it is now (rooted), or none past the end;
// "sequence handle changed object kind" when the value is no longer a list or a tuple.
PyResult<std::optional<Value>> sequence_get_item(RuntimeContext& ctx, Value seq, std::uint64_t index);

enum class Equality : std::uint8_t { False, True, Undecided };
// Numbers of every representation exactly (an int equals a float only when the float is finite,
// integral and the same number), None, str by bytes, native handles; undecided otherwise.
Equality builtin_scalar_equal(const Heap& heap, Value a, Value b);
// Exact equality of two numeric views.
bool numeric_view_eq(const NumericView& a, const NumericView& b);
// builtin_scalar_equal, then lists and tuples element by element and ranges by their items;
// identity for every other value.
PyResult<bool> builtin_values_equal(RuntimeContext& ctx, Value a, Value b);
PyResult<bool> sequence_items_equal(RuntimeContext& ctx, std::span<const Value> a, std::span<const Value> b);

// "+", "-", ... "|" for the binary operators 0..12 (messages of unsupported operands).
std::string_view binary_operator_symbol(std::uint8_t op);

}  // namespace tw::py::vm
