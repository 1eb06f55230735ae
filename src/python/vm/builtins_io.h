// The builtins that connect a program with its machine and with the interpreter: print, input,
// exit/quit, exec and eval. The call dispatcher checks the keyword rules of the builtin table and
// calls these with the call's arguments.
#pragma once

#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <string_view>

#include "python/compiler/code.h"
#include "python/front/ast.h"
#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/vm/dispatch.h"
#include "python/vm/exec_state.h"

namespace tw::py {

struct RuntimeContext;

// print(*args, sep=' ', end='\n', file=None, flush=False).
PyResult<Value> builtin_print(RuntimeContext& ctx, const NativeCall& call);
// The prompt of input(): 0 or 1 arguments, str() of the prompt written to standard output.
PyStatus builtin_input_prompt(RuntimeContext& ctx, const NativeCall& call);
// exit()/quit(): the Exit error with the program's status. An int or bool is the status, None or
// no argument 0; any other value is written to standard error (its str()) and the status is 1.
PyError builtin_exit(RuntimeContext& ctx, const NativeCall& call);
// The status and the message of a SystemExit's code, as the program's end reports them.
struct ExitRequest {
    std::int32_t status = 0;
    // Written to standard error with a line end when the code is neither None nor an integer.
    std::optional<std::string> message;
};
PyResult<ExitRequest> exit_request_for_code(RuntimeContext& ctx, Value code);

// The module of exec/eval source: "exec() arg 1 must be a string, bytes or code object", the
// frame-depth limit, the size charges, then tokenizing and parsing.
PyResult<PyModuleTree> compile_exec_source(RuntimeContext& ctx, std::string_view builtin, Value source);
// What runs exec/eval code to completion in a fresh frame: the engine's synchronous run.
using CodeRunner = std::function<SliceResult(RuntimeContext&, std::shared_ptr<const CodeObject>, const FrameDescriptor&)>;
// The scope exec and eval run in: the innermost frame's namespace, or a new namespace of its
// bound local slots.
PyResult<FrameDescriptor> exec_default_namespaces(RuntimeContext& ctx);
// exec(source): None, or the Exit outcome of the executed code.
PyResult<StepOutcome> builtin_exec(RuntimeContext& ctx, const NativeCall& call, const CodeRunner& run);
// eval(source): the expression's value pushed (Next), or the Exit outcome.
PyResult<StepOutcome> builtin_eval(RuntimeContext& ctx, const NativeCall& call, const CodeRunner& run);

}  // namespace tw::py
