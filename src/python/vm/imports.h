// The import system: module names to module values for `import`, `from ... import`, the
// runtime's import_module and the builtins that live in stored modules. A name is looked up in
// the native registry, the module table (`sys.modules`), the builtins module, the stored Python
// modules and finally as a file along the search path in the machine's filesystem.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/compiler/code.h"
#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"
#include "python/vm/step_outcome.h"

namespace tw {
struct Machine;
}

namespace tw::py {

class Heap;
struct RuntimeContext;

struct ModuleFile {
    std::string path;
    std::string text;
};

// The first "{dir}/{name as path}.py" or "{dir}/{name as path}/__init__.py" that names a file;
// none when there is none. Charges the search before it starts.
PyResult<std::optional<ModuleFile>> find_module_file(Machine& machine, std::span<const std::string> directories,
                                                     std::string_view name);
// Compiles a module's source; syntax errors read "{message} in {label} at line {l}, column {c}".
PyResult<CodeObjectPtr> load_module_code(Machine& machine, Heap& heap, std::string_view source, std::string_view label);

namespace vm {

// Imports `name` (absolute or with leading dots) and pushes the module, or its top-level package
// when `return_top_level` is set and the name is dotted.
PyStatus import_module(RuntimeContext& ctx, std::string_view name, bool return_top_level);
// Imports and takes the value back off the stack: RuntimeError "module import produced no value".
PyResult<Value> import_module_value(RuntimeContext& ctx, std::string_view name);
// The directories searched for module files: the import-directory stack, then sys.path (or the
// initial search path), else the current directory.
PyResult<std::vector<std::string>> import_search_path(RuntimeContext& ctx);
// The `sys.path` list object, made from the initial search path on first use.
PyResult<Value> search_path_list(RuntimeContext& ctx);

// Runs a module's code over its namespace to completion. A file's directory (a label not
// starting with "<") is searched first while the body runs; failures that are no Python exception
// gain " in {label} at line {l}, column {c}".
PyResult<StepOutcome> run_module_code(RuntimeContext& ctx, const CodeObjectPtr& code, Value namespace_,
                                      const std::string& label);

// The import instructions.
PyStatus import_from(RuntimeContext& ctx, Symbol name);
PyStatus import_star(RuntimeContext& ctx);

// Whether the error is (or stands for a pending exception that is) an instance of the class; a
// match is consumed. Gives the error back when it does not match.
std::optional<PyError> pending_exception_is(RuntimeContext& ctx, PyError error, std::string_view class_name);

}  // namespace vm
}  // namespace tw::py
