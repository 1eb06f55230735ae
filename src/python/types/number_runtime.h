// What the numeric slot functions take from the runtime handle: the heap and budgets of the
// number kernel and the type registry for type names in messages.
#pragma once

#include <string>

#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/call.h"

namespace tw::py {

inline NumberEnv number_env(NativeRuntime& rt) {
    return {rt.heap(), rt.meter(), rt.roots()};
}

inline const TypeRegistry& number_types(NativeRuntime& rt) { return rt.types(); }

// The type name of a value for messages ("int", a class's name).
inline PyResult<std::string> number_type_name(NativeRuntime& rt, const Value& v) {
    return py_type_name(rt.heap(), number_types(rt), v);
}

// The value when it is callable, or TypeError "expected a callable, got {}". Inline: the
// callable test is the engine's.
inline PyResult<Value> native_expect_callable(NativeRuntime& rt, Value v) {
    if (rt.is_callable(v)) return v;
    auto type = number_type_name(rt, v);
    if (!type) return fail(std::move(type.error()));
    return fail(PyError::type_error("expected a callable, got " + *type));
}

// Shared by the int and float rows: `real` (an integer that fits 64 bits, bool included, as a
// plain int), `imag` (0.0 for a float, else 0), `conjugate()` (no arguments, then `real`).
PyResult<Value> number_real(NativeRuntime& rt, Value receiver);
PyResult<Value> number_imag(NativeRuntime& rt, Value receiver);
PyResult<Value> number_conjugate(NativeRuntime& rt, Value receiver, NativeCall call);
PyResult<Value> new_number_tuple(NativeRuntime& rt, std::vector<Value> items);

}  // namespace tw::py
