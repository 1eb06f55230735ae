#include "python/vm/call.h"

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/vm/engine.h"
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
    std::vector<std::pair<Symbol, Value>> named;
    named.reserve(keywords.size());
    for (const auto& [name, value] : keywords) {
        auto s = ctx.heap.symbols.intern(name, ctx.machine.meter);
        if (!s) return fail(std::move(s.error()));
        named.emplace_back(*s, value);
    }
    return vm::call_immediate(ctx, callable, positional, named);
}

PyResult<Value> call_value_symbols(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                                   std::span<const std::pair<Symbol, Value>> keywords) {
    return vm::call_immediate(ctx, callable, positional, keywords);
}

bool NativeRuntime::is_callable(Value v) const {
    auto r = vm::is_callable(*ctx_, v);
    return r && *r;
}

}  // namespace tw::py
