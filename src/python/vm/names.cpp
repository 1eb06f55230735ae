// Names and scopes: namespace stores and deletes, the builtins with their cache, and the method
// context that answers `__class__` and the zero-argument `super()`.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/vm/engine.h"
#include "python/vm/protocols.h"
#include "python/vm/module_registry.h"
#include "python/vm/namespace.h"

namespace tw::py::vm {

namespace {

// Bytes a new entry adds to a namespace's modeled size.
constexpr std::uint64_t kNamespaceEntryBytes = 48;

// The builtin types a program reaches by name.
constexpr BuiltinType kNamedTypes[] = {
    BuiltinType::Object, BuiltinType::Type,  BuiltinType::Bool,      BuiltinType::Int,      BuiltinType::Float,
    BuiltinType::String, BuiltinType::Bytes, BuiltinType::ByteArray, BuiltinType::List,     BuiltinType::Tuple,
    BuiltinType::Dict,   BuiltinType::Set,   BuiltinType::FrozenSet, BuiltinType::Range,    BuiltinType::Property,
    BuiltinType::Complex, BuiltinType::Slice, BuiltinType::StaticMethod, BuiltinType::ClassMethod,
};

}  // namespace

PyStatus store_scope_name(RuntimeContext& ctx, Value scope, Symbol symbol, Value v) {
    auto ns = scope_of(ctx.heap, scope);
    if (!ns) return fail(std::move(ns.error()));
    if (auto i = Namespace::slot_index((*ns)->slot_names.get(), symbol)) {
        if (*i >= (*ns)->slots.size()) return fail(PyError::unsupported("invalid local slot"));
        auto slot = ctx.heap.slot_mut(scope);
        if (!slot) return fail(std::move(slot.error()));
        std::get<NamespacePayload>((*slot)->object).scope->slots[*i] = v;
        return {};
    }
    if (!(*ns)->get(symbol)) {
        if (auto grown = ctx.heap.update_object_size(scope, kNamespaceEntryBytes, ctx.roots, ctx.machine.meter); !grown)
            return grown;
    }
    auto slot = ctx.heap.slot_mut(scope);
    if (!slot) return fail(std::move(slot.error()));
    auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
    if (!payload) return fail(PyError::unsupported("invalid scope reference"));
    payload->scope->insert(symbol, v);
    return {};
}

PyResult<std::optional<Value>> delete_scope_name(RuntimeContext& ctx, Value scope, Symbol symbol) {
    auto slot = ctx.heap.slot_mut(scope);
    if (!slot) return fail(std::move(slot.error()));
    auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
    if (!payload) return fail(PyError::unsupported("invalid scope reference"));
    Namespace& ns = *payload->scope;
    if (auto i = Namespace::slot_index(ns.slot_names.get(), symbol)) {
        if (*i >= ns.slots.size()) return fail(PyError::unsupported("invalid local slot"));
        Value old = ns.slots[*i];
        ns.slots[*i] = Value::absent();
        return old.is_absent() ? std::optional<Value>() : std::optional(ctx.heap.clone_value(old));
    }
    auto old = ns.remove(symbol);
    if (old) {
        ctx.heap.push_root(*old);
        ctx.heap.shrink_object_size(scope, kNamespaceEntryBytes, ctx.machine.meter);
    }
    return old;
}

PyResult<std::optional<Value>> load_builtin(RuntimeContext& ctx, std::string_view name) {
    if (auto module = ctx.heap.find_module("builtins")) {
        auto ns = module_submodule_slot(ctx.heap, *module, "builtins");
        if (ns) {
            auto v = namespace_get_str(ctx.heap, *ns, name);
            if (!v) return fail(std::move(v.error()));
            if (*v) return *v;
        }
    }
    if (auto stored = stored_builtin_value(ctx, name); !stored || *stored) return stored;
    for (const BuiltinFunctionRow& row : kBuiltinFunctions)
        if (row.name == name) return std::optional(intern_static_definition(StaticDefinition::of_function(row.id)));
    for (BuiltinType t : kNamedTypes)
        if (builtin_type_name(type_id(t)) == name)
            return std::optional(intern_static_definition(StaticDefinition::of_builtin_type(type_id(t))));
    const TypeRegistry& types = interp(ctx).types;
    if (auto id = types.exception_id_by_name(name)) {
        if (auto text = types.exception_name_by_id(*id))
            return std::optional(intern_static_definition(StaticDefinition::of_exception(*text)));
    }
    if (name == "BaseException")
        return std::optional(intern_static_definition(StaticDefinition::of_exception("BaseException")));
    if (name == "NotImplemented") return std::optional(not_implemented_value());
    if (auto native = builtin_native_function(name)) return std::optional(*native);
    return std::optional<Value>();
}

PyStatus push_builtin_name(RuntimeContext& ctx, Symbol s) {
    Interpreter& in = interp(ctx);
    if (const Value* v = in.builtins_cache.get(s)) {
        ctx.exec.values.push_back(ctx.heap.clone_value(*v));
        return {};
    }
    std::string_view name = ctx.heap.symbols.name_of(s);
    auto v = load_builtin(ctx, name);
    if (!v) return fail(std::move(v.error()));
    if (!*v) return fail(PyError::exception("NameError", fmt::format("name '{}' is not defined", name)));
    in.builtins_cache.insert(s, **v);
    ctx.exec.values.push_back(**v);
    return {};
}

std::optional<std::pair<Value, Value>> load_dunder_class(RuntimeContext& ctx) {
    const ExecState& st = ctx.exec;
    for (auto it = st.frames.rbegin(); it != st.frames.rend(); ++it) {
        const Frame& f = *it;
        if (f.function.is_absent()) continue;
        const HeapSlot* slot = ctx.heap.get_if_object(f.function);
        if (!slot) continue;
        auto* fn = std::get_if<FunctionPayload>(&slot->object);
        if (!fn || fn->record->defining_class.is_absent()) continue;
        Value first = Value::absent();
        if (f.fast_locals) {
            if (f.locals_base < st.locals.size()) first = st.locals[f.locals_base];
        } else if (f.own_scope) {
            auto ns = scope_of(ctx.heap, f.scope);
            if (ns && !(*ns)->slots.empty()) first = (*ns)->slots[0];
        }
        if (first.is_absent()) return std::nullopt;
        return std::pair{ctx.heap.clone_value(fn->record->defining_class), ctx.heap.clone_value(first)};
    }
    return std::nullopt;
}

}  // namespace tw::py::vm
