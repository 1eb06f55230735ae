#include "python/vm/slot_call.h"

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exec_state.h"
#include "python/vm/repr.h"

namespace tw::py {

namespace {

PyResult<std::optional<Value>> value_or_absent(SlotValue r) {
    if (!r) return fail(std::move(r.error()));
    return *r;
}

// A method a program class defines for the slot.
PyResult<std::optional<Value>> call_program_slot(RuntimeContext& ctx, const SlotEntry& e, Value receiver,
                                                 std::vector<Value>& args) {
    Heap& heap = ctx.heap;
    Value callable = heap.clone_value(e.value);
    if (!receiver.is_object()) return std::optional<Value>();
    const HeapSlot* fslot = heap.get_if_object(callable);
    if (fslot && fslot->kind() == HeapObjectKind::Function) {
        std::vector<Value> full;
        full.reserve(args.size() + 1);
        full.push_back(receiver);
        full.insert(full.end(), args.begin(), args.end());
        auto r = call_value(ctx, callable, full);
        if (!r) return fail(std::move(r.error()));
        return std::optional(*r);
    }
    TypeRegistry& types = ctx.interpreter->types;
    auto cls = instance_class_value(heap, types, receiver);
    if (!cls) return fail(std::move(cls.error()));
    Value receiver_class;
    if (*cls) {
        receiver_class = **cls;
    } else if (const HeapSlot* s = heap.get_if_object(receiver); s && s->kind() == HeapObjectKind::Class) {
        Value meta = std::get<ClassPayload>(s->object).record->metaclass;
        if (meta.is_object()) receiver_class = meta;
    }
    if (receiver_class.is_absent()) return std::optional<Value>();
    auto owner = types.class_value(e.owner);
    if (!owner) return fail(std::move(owner.error()));
    auto bound = py_descriptor_get(ctx, callable, receiver, receiver_class, *owner);
    if (!bound) return fail(std::move(bound.error()));
    auto r = call_value(ctx, *bound, args);
    if (!r) return fail(std::move(r.error()));
    return std::optional(*r);
}

}  // namespace

PyResult<bool> has_slot(RuntimeContext& ctx, Value receiver, DunderSlot slot) {
    TypeRegistry& types = ctx.interpreter->types;
    auto t = py_type_id_of(ctx.heap, types, receiver);
    if (!t) return fail(std::move(t.error()));
    auto e = types.slot(*t, slot);
    if (!e) return fail(std::move(e.error()));
    return *e != nullptr;
}

PyResult<std::optional<Value>> invoke_slot_wrapper(RuntimeContext& ctx, Value receiver, DunderSlot slot,
                                                   std::string_view dunder, std::vector<Value> args) {
    (void)dunder;
    TypeRegistry& types = ctx.interpreter->types;
    auto t = py_type_id_of(ctx.heap, types, receiver);
    if (!t) return fail(std::move(t.error()));
    auto found = types.slot(*t, slot);
    if (!found) return fail(std::move(found.error()));
    if (!*found) return std::optional<Value>();
    const SlotEntry e = **found;
    const std::size_t n = args.size();
    auto wrong = [](const char* text) { return fail(PyError::unsupported(text)); };
    EngineRuntime rt(ctx);
    switch (e.kind) {
        case SlotKind::Callable: return call_program_slot(ctx, e, receiver, args);
        case SlotKind::NativeMethod: {
            auto r = e.method->method_handler(rt, receiver, NativeCall{std::move(args), {}});
            if (!r) return fail(std::move(r.error()));
            return std::optional(*r);
        }
        case SlotKind::BuiltinRepr: {
            if (n != 0) return wrong("representation slot received arguments");
            ReprVisited visited;
            auto text = py_container_repr(ctx, receiver, visited);
            if (!text) return fail(std::move(text.error()));
            auto s = new_str(ctx.heap, std::move(*text), ctx.roots, ctx.machine.meter);
            if (!s) return fail(std::move(s.error()));
            return std::optional(*s);
        }
        case SlotKind::BuiltinHash:
            if (n != 0) return wrong("hash slot received arguments");
            return fail(PyError::unsupported("builtin hash is not implemented"));
        case SlotKind::RichCompare: {
            if (n != 1) return wrong("comparison slot received the wrong number of arguments");
            const std::uint8_t op = std::uint8_t(std::uint8_t(slot) - std::uint8_t(DunderSlot::Equal));
            if (std::uint8_t(slot) < std::uint8_t(DunderSlot::Equal) || op >= 6)
                return wrong("comparison slot invoked for a non-comparison operator");
            auto r = e.as_rich_compare()(rt, receiver, args[0], op);
            if (!r) return fail(std::move(r.error()));
            if (!*r) return std::optional<Value>();
            return std::optional(Value::from_bool(**r));
        }
        case SlotKind::Binary:
            if (n != 1) return wrong("binary protocol slot received the wrong number of arguments");
            return value_or_absent(e.as_binary()(rt, receiver, args[0]));
        case SlotKind::Ternary:
            if (n != 2) return wrong("ternary protocol slot received the wrong number of arguments");
            return value_or_absent(e.as_ternary()(rt, receiver, args[0], args[1]));
        case SlotKind::Unary:
            if (n != 0) return wrong("unary protocol slot received arguments");
            return value_or_absent(e.as_unary()(rt, receiver));
        case SlotKind::Empty: break;
    }
    return std::optional<Value>();
}

}  // namespace tw::py
