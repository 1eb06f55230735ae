// The two operations of the `raise` statement, on the current frame of the execution state.
#pragma once

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Interpreter;

// Calls a class without arguments through the interpreter's call machinery and gives the
// instance; null where no such machinery is at hand.
using ClassCaller = PyResult<Value> (*)(Interpreter& in, ResourceMeter& meter, Value cls);

// `raise X` (with an operand popped from the value stack) or a bare `raise`. On success the new
// exception is pending and the result is the raised marker. Errors: "invalid bytecode stack
// effect", "exceptions must derive from BaseException", "exception class produced a
// non-exception instance", "No active exception to reraise" (Unsupported).
PyError raise_exception(Interpreter& in, ResourceMeter& meter, bool has_operand, ClassCaller call_class);
// `raise X from C`: the cause is popped first and must be None, an exception instance or an
// exception class (TypeError "exception causes must derive from BaseException").
PyError raise_exception_from(Interpreter& in, ResourceMeter& meter, ClassCaller call_class);

}  // namespace tw::py
