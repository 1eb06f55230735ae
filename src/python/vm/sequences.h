// The list, tuple and slice types: their native method rows and slot functions, the operations
// other sequence code shares (index arguments, materializing an iterable, search, count,
// concatenation and repetition) and the stable merge sort behind list.sort and sorted().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/object.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

class TypeRegistry;
class Symbols;

namespace vm {

enum class SequenceKind : std::uint8_t { List, Tuple };

// An index argument as a signed 64-bit number: an int or bool only (no __index__). OverflowError
// "Python int too large to convert to C ssize_t" for a larger int, TypeError "'{}' object cannot
// be interpreted as an integer" for anything else.
PyResult<std::int64_t> index_argument(RuntimeContext& ctx, Value v);
// The items of any iterable, one work unit each; an endless itertools.count is refused with the
// resource error "cannot materialize infinite itertools.count without a bound".
PyResult<std::vector<Value>> materialize_iterable(RuntimeContext& ctx, Value iterable);
// item == needle for each item (the item on the left), one work unit each.
PyResult<Value> sequence_count_of(RuntimeContext& ctx, std::span<const Value> items, Value needle);
// list.index / tuple.index: `args` holds the needle and the optional start and stop.
PyResult<Value> sequence_index_of(RuntimeContext& ctx, std::span<const Value> items, std::span<const Value> args,
                                  std::string_view type_name);
// start, stop and step of a slice over `length` items, as slice.indices() gives them: negative
// bounds count from the end and are clamped. ValueError "slice step cannot be zero".
PyResult<std::array<std::int64_t, 3>> slice_bounds(const SlicePayload& slice, std::int64_t length);
// `left + right` of two lists or two tuples; nothing when the right operand is of another kind.
PyResult<std::optional<Value>> sequence_concat(RuntimeContext& ctx, SequenceKind kind, Value left, Value right);
// `sequence * count`; nothing when the count is no integer.
PyResult<std::optional<Value>> sequence_repeat(RuntimeContext& ctx, SequenceKind kind, Value sequence, Value count);

// The engine's binary operators over lists and tuples: +, * (either side) and the in-place forms
// (list += iterable extends the list in place). Nothing when neither operand is such a sequence
// or the operation does not apply.
PyResult<std::optional<Value>> sequence_binary_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b,
                                                          bool inplace);
// The TypeError of + or * that no operand answered when a list or tuple takes part ("can only
// concatenate list (not "int") to list", "can't multiply sequence by non-int of type 'float'").
PyResult<std::optional<PyError>> sequence_operand_error(RuntimeContext& ctx, std::uint8_t op, Value a, Value b);
// list[key] = value and del list[key] for the engine's subscription; TypeError "list indices must
// be integers or slices, not {}" for other keys.
PyStatus list_store_subscript(RuntimeContext& ctx, Value list, Value key, Value value);
PyStatus list_delete_subscript(RuntimeContext& ctx, Value list, Value key);

// Sorts `items` stably by `<` of their keys (the key function's results, or the items when `key`
// is absent or None): a bottom-up merge where the left run wins ties in both directions, one work
// unit charged before each comparison and 64 bytes of native memory per item.
PyStatus sort_values(RuntimeContext& ctx, std::vector<Value>& items, Value key, bool reverse);

// The method rows of list, tuple and slice, and where they are bound into the types.
const NativeClass& list_native_class();
const NativeClass& tuple_native_class();
const NativeClass& slice_native_class();
void attach_sequence_classes(TypeRegistry& registry, Symbols& symbols);
// The slot functions of list and tuple (+, *, item assignment and deletion, reversed).
void install_sequence_slots(TypeRegistry& registry);

}  // namespace vm
}  // namespace tw::py
