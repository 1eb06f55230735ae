// Exception matching, assert, and the with-statement entry and exits.
#include "python/vm/statements.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

const StepOutcome kNext = StepOutcome::of(StepOutcome::Next);

PyError stack_effect_error() { return PyError::unsupported("invalid bytecode stack effect"); }

PyResult<Value> pop_operand(ExecState& st) {
    if (st.frames.empty() || st.values.size() <= st.frames.back().value_base) return fail(stack_effect_error());
    Value v = st.values.back();
    st.values.pop_back();
    return v;
}

PyResult<Value> pop_manager(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    if (st.with_stack.size() <= st.frames.back().with_base) return fail(PyError::unsupported("with stack underflow"));
    Value mgr = ctx.heap.clone_value(st.with_stack.back());
    st.with_stack.pop_back();
    return mgr;
}

PyResult<Value> active_exception(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    if (st.active_exceptions.empty()) return fail(PyError::unsupported("no active exception"));
    return ctx.heap.clone_value(st.active_exceptions.back());
}

PyError raise_pending(RuntimeContext& ctx, Value exc) {
    ctx.exec.pending_exception = exc;
    return PyError::raised();
}

// `__exit__(type, exception, None)` of the manager for the exception being handled.
PyResult<Value> call_exit_with_exception(RuntimeContext& ctx, Value mgr, std::string_view name, Value exc) {
    TRY_ASSIGN(method, load_attribute(ctx, mgr, ctx.heap.symbols.intern_static(name)));
    ctx.heap.push_root(method);
    TRY_ASSIGN(type, exception_class_of(ctx, exc));
    Value args[3] = {type, exc, Value::none()};
    return call_immediate(ctx, method, args, {});
}

PyError not_an_exception_class() {
    return PyError::unsupported("catching classes that do not inherit from BaseException is not allowed");
}

}  // namespace

PyResult<bool> exception_matches_spec(RuntimeContext& ctx, Value spec, Value exc) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(exc_type, py_type_id_of(ctx.heap, in.types, exc));
    if (spec.is_native()) {
        auto d = decode_native_handle(spec);
        if (!d || d->tag != DefinitionTag::ExceptionType) return fail(not_an_exception_class());
        auto id = exception_type_id_by_name(in.types, d->name);
        if (!id) return fail(PyError::unsupported("exception type is not registered"));
        return in.types.is_subtype(exc_type, *id);
    }
    const HeapSlot* slot = ctx.heap.get_if_object(spec);
    if (!slot) return fail(not_an_exception_class());
    if (const auto* t = std::get_if<TuplePayload>(&slot->object)) {
        std::vector<Value> items = t->items;
        for (const Value& v : items) ctx.heap.push_root(v);
        for (const Value& v : items) {
            TRY_DO(python_charge_work(ctx.machine.meter, 1));
            TRY_ASSIGN(m, exception_matches_spec(ctx, v, exc));
            if (m) return true;
        }
        return false;
    }
    if (slot->kind() != HeapObjectKind::Class) return fail(not_an_exception_class());
    TRY_ASSIGN(cls, class_type_id(ctx, spec));
    TRY_ASSIGN(is_exception, in.types.is_subtype(cls, type_id(BuiltinType::Exception)));
    if (!is_exception) return fail(not_an_exception_class());
    return in.types.is_subtype(exc_type, cls);
}

PyResult<Value> exception_class_of(RuntimeContext& ctx, Value exc) { return type_of(ctx, exc); }

PyResult<StepOutcome> raise_assertion_error(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    TRY_ASSIGN(msg, pop_operand(st));
    TRY_ASSIGN(test, pop_operand(st));
    ctx.heap.push_root(msg), ctx.heap.push_root(test);
    TRY_ASSIGN(ok, py_is_true(ctx, test));
    if (ok) return kNext;
    std::string text;
    if (!msg.is_none()) {
        TRY_ASSIGN(t, str_text(ctx, msg));
        text = std::move(t);
    }
    TRY_ASSIGN(e, new_exception_with_message(interp(ctx), ctx.machine.meter, "AssertionError", std::move(text)));
    return fail(raise_pending(ctx, e));
}

PyResult<StepOutcome> with_enter(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    TRY_ASSIGN(mgr, pop_operand(st));
    ctx.heap.push_root(mgr);
    for (std::string_view name : {"__exit__", "__enter__"}) {
        TRY_ASSIGN(found, py_getattr_by_name(ctx, mgr, name));
        if (found) continue;
        TRY_ASSIGN(tn, type_name(ctx, mgr));
        return fail(PyError::type_error(
            fmt::format("'{}' object does not support the context manager protocol (missed {} method)", tn, name)));
    }
    TRY_ASSIGN(enter, load_attribute(ctx, mgr, ctx.heap.symbols.intern_static("__enter__")));
    ctx.heap.push_root(enter);
    TRY_ASSIGN(result, call_immediate(ctx, enter, {}, {}));
    st.with_stack.push_back(mgr);
    st.values.push_back(result);
    return kNext;
}

PyResult<StepOutcome> with_exit(RuntimeContext& ctx) {
    TRY_ASSIGN(mgr, pop_manager(ctx));
    TRY_ASSIGN(exit, load_attribute(ctx, mgr, ctx.heap.symbols.intern_static("__exit__")));
    ctx.heap.push_root(exit);
    Value nones[3] = {Value::none(), Value::none(), Value::none()};
    TRY_DO(call_immediate(ctx, exit, nones, {}));
    return kNext;
}

PyResult<StepOutcome> with_except_exit(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    TRY_DO(pop_operand(st));
    TRY_ASSIGN(mgr, pop_manager(ctx));
    TRY_ASSIGN(exc, active_exception(ctx));
    TRY_ASSIGN(r, call_exit_with_exception(ctx, mgr, "__exit__", exc));
    ctx.heap.push_root(r);
    TRY_ASSIGN(suppress, py_is_true(ctx, r));
    if (!suppress) return fail(raise_pending(ctx, exc));
    st.pending_exception.reset();
    if (!st.active_exceptions.empty()) st.active_exceptions.pop_back();
    return kNext;
}

PyResult<StepOutcome> async_with_except_exit(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    TRY_ASSIGN(mgr, pop_operand(st));
    TRY_DO(pop_operand(st));
    ctx.heap.push_root(mgr);
    TRY_ASSIGN(exc, active_exception(ctx));
    TRY_ASSIGN(awaitable, call_exit_with_exception(ctx, mgr, "__aexit__", exc));
    st.values.push_back(awaitable);
    return kNext;
}

PyResult<StepOutcome> async_with_except_result(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    TRY_ASSIGN(r, pop_operand(st));
    ctx.heap.push_root(r);
    TRY_ASSIGN(exc, active_exception(ctx));
    st.active_exceptions.pop_back();
    TRY_ASSIGN(suppress, py_is_true(ctx, r));
    if (!suppress) return fail(raise_pending(ctx, exc));
    st.pending_exception.reset();
    return kNext;
}

}  // namespace tw::py::vm
