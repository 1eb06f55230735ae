// The iteration protocol beyond the builtin containers: the `ForIter` step (generators resumed
// as frames consuming into the loop, standard input that makes the program wait), iterators of
// program classes (`__iter__`, or `__getitem__` with 0, 1, 2 ...), and containment by iteration.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

struct IterStep;

enum class ForIterStep : std::uint8_t {
    Continue,   // an item was pushed
    Exhausted,  // the iterator was popped; the loop continues at its exit
    Resumed,    // a generator frame was pushed
    Blocked,    // standard input must arrive first; a wait-only call is parked
};
// One step of the `for` loop whose iterator is on top of the value stack; `ip` is the index of
// the `ForIter` instruction (the top frame's position must be that index).
PyResult<ForIterStep> for_iter_step(RuntimeContext& ctx, std::uint64_t ip);

// Iterators a native consumer steps beyond the builtin sequences (count, callable and standard
// input iterators); none for other values. Reading standard input that is not there fails.
PyResult<std::optional<IterStep>> native_iterator_next(RuntimeContext& ctx, Value it);

// A native iterator object (the kinds from the values iterator to the generator).
bool is_native_iterator(const Heap& heap, Value v);
// The iterator of an instance of a program class: `__iter__` (None: not iterable; its result must
// be an iterator), or the items of `__getitem__` with 0, 1, 2 ... up to IndexError or
// StopIteration; none when the class has neither.
PyResult<std::optional<Value>> iterator_of_instance(RuntimeContext& ctx, Value v);
// A new iterator over the standard input stream handle (text lines, or bytes lines for the byte
// stream); none for other values.
PyResult<std::optional<Value>> stream_iterator_for(RuntimeContext& ctx, Value v);

// `item in container` for bytes and bytearray containers: a bytes-like item as a contiguous run,
// an integer as one byte; none for other containers.
PyResult<std::optional<bool>> contains_in_bytes(RuntimeContext& ctx, Value container, Value item);
// `item in container` by stepping the container's iterator, one element at a time.
PyResult<bool> contains_by_iteration(RuntimeContext& ctx, Value container, Value item);

// The number of items of range(start, stop, step), computed without overflow; "range() arg 3
// must not be zero", "range is too large".
PyResult<std::uint64_t> range_length(std::int64_t start, std::int64_t stop, std::int64_t step);

// The bound special method `name` of a value: looked up on the class of an instance of a program
// class, as an attribute otherwise; none when absent.
PyResult<std::optional<Value>> lookup_dunder(RuntimeContext& ctx, Value v, std::string_view name);
// Calls `name` with no arguments: none for builtin numbers, str and bytes-like values (their
// callers convert them) and for values without the method.
PyResult<std::optional<Value>> call_conversion_dunder(RuntimeContext& ctx, Value v, std::string_view name);
// The first of the dunder methods the value defines, called; its result must be an int:
// TypeError "{} returned non-int (type {})".
PyResult<std::optional<Value>> call_int_conversion_slot(RuntimeContext& ctx, Value v,
                                                        std::span<const std::string_view> names);
// An index: ints and bools themselves, else `__index__`; none for other values; IndexError
// "cannot fit 'int' into an index-sized integer".
PyResult<std::optional<std::int64_t>> py_as_index(RuntimeContext& ctx, Value v);

}  // namespace tw::py::vm
