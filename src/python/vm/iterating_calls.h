// Builtins that consume whole iterables, called with an iterable that only Python code can step
// (a generator, a callable iterator, standard input, an object whose class's __iter__ is a
// generator function, a subclass of a builtin container with its own __iter__): the items are collected by frames of the stored `_iteration` module that
// the dispatch loop runs, so a generator may wait for input and its frames show in a traceback.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "python/compiler/code.h"
#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

struct NativeCall;

namespace vm {

// The function `name` of the stored `_iteration` module, imported on first use: "frozen
// _iteration module lacks {name}".
PyResult<Value> iteration_module_function(RuntimeContext& ctx, std::string_view name);

// A call of `callee` (already taken off the value stack) that consumes such an iterable is
// handed to `_iteration.call_with_items`: its frame is pushed (Refresh) and collects those
// arguments into lists before it calls `callee`. None, with nothing changed, for every other call.
PyResult<std::optional<StepOutcome>> hand_over_iterating_call(RuntimeContext& ctx, Value callee, const NativeCall& call,
                                                              std::span<const std::pair<Symbol, Value>> keywords);

// A call site with *iterable arguments (`flags` one per argument, as the site gives them; no
// **mapping among them) where one of those iterables is of that kind: the callee and the
// arguments on the value stack are handed to `_iteration.call_unpacked`, whose frame expands them.
// None, with nothing changed, for every other site.
PyResult<std::optional<StepOutcome>> hand_over_unpacking_call(RuntimeContext& ctx, std::uint64_t positional,
                                                              std::span<const std::uint8_t> flags,
                                                              std::span<const KeywordName> keywords);

// Whether a frame runs code of the `_iteration` module (`globals` is its namespace): such frames
// are left out of tracebacks, as the builtins they serve are.
bool is_iteration_module_scope(RuntimeContext& ctx, Value globals);

}  // namespace vm
}  // namespace tw::py
