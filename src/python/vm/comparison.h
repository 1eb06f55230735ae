// Rich comparison beyond the builtin values: the special-method stage (forward, reflected and
// subclass-first operands, `!=` from `__eq__`) and the fallback, and the metaclass hooks of
// isinstance() and issubclass().
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

// A str whose type is exactly str (instances of subclasses compare through their methods).
bool is_exact_str(const Heap& heap, Value v);

// Operators 0..5 (==, !=, <, <=, >, >=): the first method result that is not NotImplemented,
// returned unchanged; none when every method declined.
PyResult<std::optional<Value>> compare_dunder(RuntimeContext& ctx, std::uint8_t op, Value a, Value b);
// Identity for == and !=; TypeError "'<' not supported between instances of 'A' and 'B'" else.
PyResult<Value> compare_fallback(RuntimeContext& ctx, std::uint8_t op, Value a, Value b);
// `__instancecheck__` / `__subclasscheck__` of a program-defined metaclass of `cls`, bound to the
// class and called with `other`; none when there is no such hook.
PyResult<std::optional<bool>> call_instance_check_hook(RuntimeContext& ctx, Value cls, std::string_view hook,
                                                        Value other);

}  // namespace tw::py::vm
