// The three static registries behind `import` and the builtins: the native modules by name, the
// Python modules stored in the system, and the values of builtin names. All are fixed at build
// time; nothing registers at run time.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/stdlib/stored_modules.h"

namespace tw::py {

struct NativeModule;
struct RuntimeContext;

// The descriptor of a native module, or null.
const NativeModule* native_module_by_name(std::string_view name);
// The stored module of that name, or none.
std::optional<StoredModule> frozen_module_source(std::string_view name);
// A native module or a stored Python module of that name exists.
bool is_bundled_python_module(std::string_view name);

// The standard-library module names (sorted bytewise), and the names the `builtins` module
// receives in order.
std::span<const std::string_view> stdlib_module_names();
std::span<const std::string_view> builtin_module_names();

namespace vm {
// The value of a builtin name: the names that live in stored modules (`open` in `_io`, `aiter`
// and `anext` in `_iteration`, the exception groups in `_exceptions`), the builtin types, the
// constants, the builtin functions and the exception classes bound in builtins; none otherwise.
PyResult<std::optional<Value>> builtin_value_by_name(RuntimeContext& ctx, std::string_view name);
// Only the names that live in stored modules (importing the module on first use); none for
// every other name.
PyResult<std::optional<Value>> stored_builtin_value(RuntimeContext& ctx, std::string_view name);
}  // namespace vm

}  // namespace tw::py
