// The builtin functions the call dispatcher runs by id (chr .. vars, without print, input, exec,
// eval and exit), and the native functions of the builtins module (getattr, map, round, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/vm/runtime_context.h"

namespace tw::py::vm {

// The result of builtin function `id`, or nothing for the ids handled elsewhere. Arity errors are
// Unsupported "expected {}..={} arguments, got {}".
std::optional<PyResult<Value>> call_value_builtin(RuntimeContext& ctx, std::uint32_t id, const NativeCall& call);

// A name written as a string literal in double quotes, with escapes: "x\"y".
std::string double_quoted(std::string_view text);

// The native function rows of the builtins module, by name.
const NativeFunction* builtins_native_row(std::string_view name);

}  // namespace tw::py::vm
