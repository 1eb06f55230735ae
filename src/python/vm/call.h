// The engine's call seam for native code: the `NativeRuntime` handle native functions and slot
// functions receive, and the synchronous entry that calls any callable value to completion.
// Python functions called from here run in a nested synchronous run of the dispatch loop (their
// frames are pushed on the program's own frame stack and popped before the call returns); a
// native callee that would suspend fails instead ("native call suspended outside scheduler
// dispatch") unless the program is being dispatched and the call is made at a call site.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Interpreter;
class TypeRegistry;

// A keyword argument of a call made by native code: the name's text and the value.
using KeywordArgument = std::pair<std::string, Value>;

// The handle of native code on the running interpreter. It is built over the runtime context of
// the native call and lives no longer than that call.
class NativeRuntime {
public:
    explicit NativeRuntime(RuntimeContext& ctx) : ctx_(&ctx) {}

    RuntimeContext& context() const { return *ctx_; }
    Interpreter& interpreter() const;
    Heap& heap() const { return ctx_->heap; }
    ExecState& exec() const { return ctx_->exec; }
    TypeRegistry& types() const;
    ResourceMeter& meter() const;

    // Calls any callable value with positional and keyword arguments and gives its result. Python
    // functions run to completion in a nested synchronous run; a Python exception the callee
    // raises and does not catch is pending when this fails with the raised marker.
    PyResult<Value> call(Value callable, std::span<const Value> positional,
                         std::span<const KeywordArgument> keywords = {});
    // The same with keyword names already interned.
    PyResult<Value> call_symbols(Value callable, std::span<const Value> positional,
                                 std::span<const std::pair<Symbol, Value>> keywords);
    // `callable(x)`.
    bool is_callable(Value v) const;

private:
    RuntimeContext* ctx_;
};

// The same entry as `NativeRuntime::call`, for code holding only the runtime context.
PyResult<Value> call_value(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                           std::span<const KeywordArgument> keywords = {});
PyResult<Value> call_value_symbols(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                                   std::span<const std::pair<Symbol, Value>> keywords);

}  // namespace tw::py
