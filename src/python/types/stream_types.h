// Line iteration over the interpreter's standard streams: a stream is its own iterator and each
// step reads one line of standard input.
#pragma once

#include <optional>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/types.h"
#include "python/vm/call.h"

namespace tw::py {

class NativeRuntime;

// Whether the value is one of the standard stream handles.
bool is_stream_handle(Value v);

// The next line of a standard-input stream (str for sys.stdin, bytes for its buffer), newline
// kept; none at the end of input. Other streams fail with "only standard input is readable"; a
// line not yet written fails with the reader's suspension.
PyResult<std::optional<Value>> py_stream_next(NativeRuntime& rt, Value stream);

// The stream slots: `__iter__` answers the stream, `__next__` the next line or StopIteration.
SlotValue stream_iter(NativeRuntime& rt, Value self);
SlotValue stream_next(NativeRuntime& rt, Value self);

// The stream class's iteration methods "stream.__iter__" and "stream.__next__" (its reading and
// writing methods come with the sys module).
const NativeClass& stream_iteration_class();

// `next(stream)` or `next(stream, default)`: the line, the default at the end of input, or
// StopIteration; a line not yet written fails with the reader's suspension.
PyResult<Value> stream_next_or_default(NativeRuntime& rt, Value self, NativeCall c);

// The method row of "stream.__next__" with the default, repeated when a parked call wakes.
const NativeFunction& stream_next_row();

}  // namespace tw::py
