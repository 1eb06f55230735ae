// The statements around exceptions: matching an `except` clause, `assert`, and the entry and the
// exits of `with` and `async with` blocks.
#pragma once

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"
#include "python/vm/step_outcome.h"

namespace tw::py::vm {

// Whether the exception is an instance of the clause's class specification: a builtin exception
// class, a class deriving from BaseException, or a tuple of such specifications (nested tuples
// allowed). Anything else fails with "catching classes that do not inherit from BaseException is
// not allowed".
PyResult<bool> exception_matches_spec(RuntimeContext& ctx, Value spec, Value exc);
// The class passed to `__exit__` for an exception.
PyResult<Value> exception_class_of(RuntimeContext& ctx, Value exc);

// The instructions: their operands are on the value stack of the top frame.
PyResult<StepOutcome> raise_assertion_error(RuntimeContext& ctx);
PyResult<StepOutcome> with_enter(RuntimeContext& ctx);
PyResult<StepOutcome> with_exit(RuntimeContext& ctx);
PyResult<StepOutcome> with_except_exit(RuntimeContext& ctx);
PyResult<StepOutcome> async_with_except_exit(RuntimeContext& ctx);
PyResult<StepOutcome> async_with_except_result(RuntimeContext& ctx);

}  // namespace tw::py::vm
