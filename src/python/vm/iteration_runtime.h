// The iteration and generator operations native modules reach through the runtime: iterator
// tests, stepping, coroutine steps for a native event loop, and making value and count iterators.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/vm/call.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

// A native iterator object, or a value whose class defines `__next__` (not None).
PyResult<bool> runtime_iterator_kind(RuntimeContext& ctx, Value v);
// Only an itertools.count iterator is infinite.
bool runtime_iterator_state(RuntimeContext& ctx, Value v);
// The value itself when it is an iterator, else iter(v); TypeError "expected an iterator".
PyResult<Value> runtime_get_iterator(RuntimeContext& ctx, Value v);
// The native iterator over a builtin iterable, or none (instances of program classes).
PyResult<std::optional<Value>> runtime_collect(RuntimeContext& ctx, Value v);
// Whether the value is an instance of a class defined in Python.
PyResult<bool> runtime_has_builtin_payload(RuntimeContext& ctx, Value v);
// The next item, or none when exhausted (a StopIteration counts as exhaustion).
PyResult<std::optional<Value>> runtime_iterator_next(RuntimeContext& ctx, Value it);
// Sends the value: the yielded value, or none when the generator finished.
PyResult<std::optional<Value>> runtime_generator_state(RuntimeContext& ctx, Value gen, Value v);
// A copy of the return value of a finished coroutine; RuntimeError "coroutine has not completed".
PyResult<Value> runtime_coroutine_result(RuntimeContext& ctx, Value coro);

using CoroutineStep = py::CoroutineStep;
PyResult<CoroutineStep> runtime_coroutine_step(RuntimeContext& ctx, Value coro, Value v);
PyStatus runtime_generator_close(RuntimeContext& ctx, Value gen);
// Throws an exception instance or class (deriving from BaseException) into the generator: the
// yielded value; StopIteration with the return value when it finishes.
PyResult<Value> runtime_generator_throw(RuntimeContext& ctx, Value gen, Value exc);
PyResult<Value> runtime_new_value_iterator(RuntimeContext& ctx, std::vector<Value> values);
PyResult<Value> runtime_new_count_iterator(RuntimeContext& ctx, std::int64_t start, std::int64_t step);

}  // namespace tw::py::vm
