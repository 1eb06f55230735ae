#include "python/vm/call.h"

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/vm/exec_state.h"

namespace tw::py {

Interpreter& NativeRuntime::interpreter() const {
    if (!ctx_->interpreter) panic("native runtime without an interpreter");
    return *ctx_->interpreter;
}
TypeRegistry& NativeRuntime::types() const { return interpreter().types; }
ResourceMeter& NativeRuntime::meter() const { return ctx_->machine.meter; }

PyResult<Value> NativeRuntime::call(Value callable, std::span<const Value> positional,
                                    std::span<const KeywordArgument> keywords) {
    return call_value(*ctx_, callable, positional, keywords);
}
PyResult<Value> NativeRuntime::call_symbols(Value callable, std::span<const Value> positional,
                                            std::span<const std::pair<Symbol, Value>> keywords) {
    return call_value_symbols(*ctx_, callable, positional, keywords);
}

PyResult<Value> call_value(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                           std::span<const KeywordArgument> keywords) {
    (void)ctx, (void)callable, (void)positional, (void)keywords;
    return fail(PyError::unsupported("calls from native code are not supported by the interpreter yet"));
}
PyResult<Value> call_value_symbols(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                                   std::span<const std::pair<Symbol, Value>> keywords) {
    (void)ctx, (void)callable, (void)positional, (void)keywords;
    return fail(PyError::unsupported("calls from native code are not supported by the interpreter yet"));
}
bool NativeRuntime::is_callable(Value) const { return false; }

}  // namespace tw::py
