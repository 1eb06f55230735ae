// The special-method stage and the fallback of rich comparison, and the metaclass hooks of
// isinstance() and issubclass().
#include "python/vm/comparison.h"

#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

constexpr DunderSlot kForward[] = {DunderSlot::Equal,     DunderSlot::NotEqual,    DunderSlot::LessThan,
                                   DunderSlot::LessEqual, DunderSlot::GreaterThan, DunderSlot::GreaterEqual};
constexpr std::uint8_t kReflected[] = {0, 1, 4, 5, 2, 3};
constexpr std::string_view kText[] = {"==", "!=", "<", "<=", ">", ">=", "in", "not in", "is", "is not"};

// The method a program class (or a program class it derives from) defines for the slot; the
// builtin values were compared before this stage, so builtin slots are not consulted.
PyResult<std::optional<Value>> program_method(RuntimeContext& ctx, Value v, DunderSlot slot) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, v));
    if (!cls) return std::optional<Value>();
    return class_lookup(ctx, *cls, in.types.dunder_symbols()[std::size_t(slot)]);
}

// A method's answer: none for a missing method or NotImplemented.
PyResult<std::optional<Value>> answer(RuntimeContext& ctx, Value receiver, DunderSlot slot, Value other) {
    TRY_ASSIGN(method, program_method(ctx, receiver, slot));
    if (!method) return std::optional<Value>();
    Value args[2] = {receiver, other};
    TRY_ASSIGN(r, call_immediate(ctx, *method, args, {}));
    if (is_not_implemented(r)) return std::optional<Value>();
    ctx.heap.push_root(r);
    return std::optional(r);
}

// Whether `!=` on `v` falls back to its `__eq__`, negated: true unless its class derives from a
// builtin type, whose own `__ne__` compares the contents instead.
PyResult<bool> ne_falls_back_to_eq(RuntimeContext& ctx, Value v) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, v));
    if (!cls) return true;
    const ClassRecord* rec = class_record_of(ctx.heap, *cls);
    return !rec || rec->layout >= kObjectLayout;
}

// `__eq__` of `receiver` against `other`, for the negated `!=`: none when the receiver's class
// has a builtin `__ne__` or no answer.
PyResult<std::optional<Value>> eq_for_ne(RuntimeContext& ctx, Value receiver, Value other) {
    TRY_ASSIGN(falls_back, ne_falls_back_to_eq(ctx, receiver));
    if (!falls_back) return std::optional<Value>();
    return answer(ctx, receiver, DunderSlot::Equal, other);
}

}  // namespace

bool is_exact_str(const Heap& heap, Value v) {
    if (v.is_inline_str()) return true;
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::Str && s->type_id == type_id(BuiltinType::String);
}

PyResult<std::optional<Value>> compare_dunder(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    if (op > 5) return std::optional<Value>();
    Interpreter& in = interp(ctx);
    const DunderSlot forward = kForward[op], reflected = kForward[kReflected[op]];
    TRY_ASSIGN(ta, py_type_id_of(ctx.heap, in.types, a));
    TRY_ASSIGN(tb, py_type_id_of(ctx.heap, in.types, b));
    bool priority = false;
    if (ta != tb) {
        TRY_ASSIGN(sub, in.types.is_subtype(tb, ta));
        if (sub) {
            TRY_ASSIGN(method, program_method(ctx, b, reflected));
            priority = method.has_value();
        }
    }
    if (priority) {
        TRY_ASSIGN(r, answer(ctx, b, reflected, a));
        if (r) return r;
    }
    TRY_ASSIGN(f, answer(ctx, a, forward, b));
    if (f) return f;
    if (!priority) {
        TRY_ASSIGN(r, answer(ctx, b, reflected, a));
        if (r) return r;
    }
    if (op == 1) {
        TRY_ASSIGN(eq, eq_for_ne(ctx, a, b));
        if (!eq) {
            TRY_ASSIGN(back, eq_for_ne(ctx, b, a));
            eq = back;
        }
        if (eq) {
            TRY_ASSIGN(t, py_is_true(ctx, *eq));
            return std::optional(Value::from_bool(!t));
        }
    }
    return std::optional<Value>();
}

PyResult<Value> compare_fallback(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    if (op == 0) return Value::from_bool(values_identical(a, b));
    if (op == 1) return Value::from_bool(!values_identical(a, b));
    TRY_ASSIGN(na, type_name(ctx, a));
    TRY_ASSIGN(nb, type_name(ctx, b));
    return fail(PyError::type_error(fmt::format("'{}' not supported between instances of '{}' and '{}'",
                                                kText[std::min<std::size_t>(op, 9)], na, nb)));
}

PyResult<std::optional<bool>> call_instance_check_hook(RuntimeContext& ctx, Value cls, std::string_view hook,
                                                        Value other) {
    const HeapSlot* s = ctx.heap.get_if_object(cls);
    if (!s || s->kind() != HeapObjectKind::Class) return std::optional<bool>();
    const Value meta = std::get<ClassPayload>(s->object).record->metaclass;
    const HeapSlot* m = ctx.heap.get_if_object(meta);
    if (!m || m->kind() != HeapObjectKind::Class) return std::optional<bool>();
    TRY_ASSIGN(hit, py_mro_lookup(ctx, meta, ctx.heap.symbols.lookup(hook)));
    if (!hit) return std::optional<bool>();
    TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, cls, meta, hit->owner));
    ctx.heap.push_root(bound);
    TRY_ASSIGN(r, call_value(ctx, bound, std::span<const Value>(&other, 1)));
    ctx.heap.push_root(r);
    TRY_ASSIGN(t, py_is_true(ctx, r));
    return std::optional(t);
}

}  // namespace tw::py::vm
