// The object model as the engine needs it: attribute lookup and assignment, functions, classes
// and instances, `type(x)`, isinstance and exception matching.
#include <fmt/format.h>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/mro.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/namespace.h"

namespace tw::py::vm {

namespace {

constexpr std::uint64_t kAttributeEntryBytes = 48;


const ClassRecord* class_record(const Heap& heap, Value cls) {
    const HeapSlot* slot = heap.get_if_object(cls);
    if (!slot) return nullptr;
    auto* c = std::get_if<ClassPayload>(&slot->object);
    return c ? c->record.get() : nullptr;
}

PyError attribute_error(RuntimeContext& ctx, Value obj, Symbol name) {
    std::string_view n = ctx.heap.symbols.name_of(name);
    if (const ClassRecord* c = class_record(ctx.heap, obj))
        return PyError::exception("AttributeError", fmt::format("type object '{}' has no attribute '{}'", c->name, n));
    if (const HeapSlot* slot = ctx.heap.get_if_object(obj))
        if (auto* m = std::get_if<ModulePayload>(&slot->object))
            return PyError::exception("AttributeError", fmt::format("module '{}' has no attribute '{}'", m->name, n));
    auto tn = type_name(ctx, obj);
    return PyError::exception("AttributeError",
                              fmt::format("'{}' object has no attribute '{}'", tn ? *tn : std::string("object"), n));
}

const Value* instance_attribute(const HeapSlot* slot, Symbol name) {
    if (!slot || !slot->attributes) return nullptr;
    for (const NamespaceEntry& e : slot->attributes->entries)
        if (e.symbol == name) return &e.value;
    return nullptr;
}

// Binds a value found on a class to `obj` by the descriptor rules.
PyResult<Value> bind_class_value(RuntimeContext& ctx, Value found, Value obj, Value cls, bool on_instance) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(found);
    if (!slot) {
        if (on_instance && found.is_native() &&
            (found.native_kind() == NativeKind::NativeMethod))
            return new_bound_method(heap, ctx.roots, ctx.machine.meter, obj, found);
        return found;
    }
    switch (slot->kind()) {
        case HeapObjectKind::Function:
            if (!on_instance) return found;
            return heap.allocate_object(BoundMethodPayload{found, obj, cls}, ctx.roots, ctx.machine.meter);
        case HeapObjectKind::StaticMethod: return heap.clone_value(std::get<StaticMethodPayload>(slot->object).callable);
        case HeapObjectKind::ClassMethod: {
            Value fn = std::get<ClassMethodPayload>(slot->object).callable;
            return heap.allocate_object(BoundMethodPayload{fn, cls, cls}, ctx.roots, ctx.machine.meter);
        }
        case HeapObjectKind::Property: {
            if (!on_instance) return found;
            Value getter = std::get<PropertyPayload>(slot->object).first;
            if (getter.is_absent() || getter.is_none())
                return fail(PyError::exception("AttributeError", "unreadable attribute"));
            Value args[1] = {obj};
            return call_immediate(ctx, getter, args, {});
        }
        default: return found;
    }
}

// The object.__init__ / BaseException.__init__ reached through super().
PyResult<Value> base_init(NativeRuntime& rt, Value self, NativeCall call) {
    Heap& heap = rt.heap();
    auto slot = heap.slot_mut(self);
    if (slot) {
        if (auto* e = std::get_if<ExceptionPayload>(&(*slot)->object)) e->args = std::move(call.positional);
    }
    return Value::none();
}
constexpr NativeFunction kBaseInit{"object", "__init__", nullptr, base_init};

PyResult<std::optional<Value>> super_lookup(RuntimeContext& ctx, Value super_obj, Symbol name) {
    Heap& heap = ctx.heap;
    auto slot = heap.get(super_obj);
    if (!slot) return fail(std::move(slot.error()));
    SuperPayload sp = std::get<SuperPayload>((*slot)->object);
    auto cls = instance_class_value(heap, interp(ctx).types, sp.object);
    if (!cls) return fail(std::move(cls.error()));
    Value start = *cls ? **cls : sp.object;
    const ClassRecord* rec = class_record(heap, start);
    if (!rec) return std::optional<Value>();
    std::vector<Value> chain{start};
    chain.insert(chain.end(), rec->mro.begin(), rec->mro.end());
    bool after = false;
    for (const Value& c : chain) {
        if (after) {
            const ClassRecord* r = class_record(heap, c);
            if (!r) continue;
            if (const Value* v = r->namespace_.get(name)) {
                TRY_ASSIGN(bound, bind_class_value(ctx, heap.clone_value(*v), sp.object, c, true));
                return std::optional(bound);
            }
        }
        if (c == sp.type) after = true;
    }
    std::string_view text = heap.symbols.name_of(name);
    if (text == "__init__") {
        Value handle = intern_static_definition(StaticDefinition::of_native_method(&kBaseInit));
        TRY_ASSIGN(bound, new_bound_method(heap, ctx.roots, ctx.machine.meter, sp.object, handle));
        return std::optional(bound);
    }
    return std::optional<Value>();
}

}  // namespace

PyResult<TypeId> class_type_id(RuntimeContext& ctx, Value cls) {
    if (const ClassRecord* r = class_record(ctx.heap, cls)) return r->type_id;
    if (auto def = decode_native_handle(cls)) {
        if (def->tag == DefinitionTag::BuiltinType) return TypeId(def->number);
        if (def->tag == DefinitionTag::ExceptionType) {
            if (auto id = interp(ctx).types.exception_id_by_name(def->name)) return *id;
            if (def->name == "BaseException") return type_id(BuiltinType::Exception);
        }
    }
    return fail(PyError::type_error("isinstance() arg 2 must be a type, a tuple of types, or a union"));
}

PyResult<Value> type_of(RuntimeContext& ctx, Value v) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(id, py_type_id_of(ctx.heap, in.types, v));
    TRY_ASSIGN(rec, in.types.get(id));
    if (rec->class_value.is_present()) return ctx.heap.clone_value(rec->class_value);
    if (id < kBuiltinTypeCount && id != type_id(BuiltinType::Exception))
        return intern_static_definition(StaticDefinition::of_builtin_type(id));
    if (auto name = in.types.exception_name_by_id(id))
        return intern_static_definition(StaticDefinition::of_exception(*name));
    if (id == type_id(BuiltinType::Exception))
        return intern_static_definition(StaticDefinition::of_exception("BaseException"));
    return intern_static_definition(StaticDefinition::of_builtin_type(type_id(BuiltinType::Object)));
}

PyResult<std::string> type_name(RuntimeContext& ctx, Value v) {
    return py_type_name(ctx.heap, interp(ctx).types, v);
}

PyResult<bool> isinstance(RuntimeContext& ctx, Value v, Value cls) {
    if (const HeapSlot* slot = ctx.heap.get_if_object(cls))
        if (auto* t = std::get_if<TuplePayload>(&slot->object)) {
            std::vector<Value> items = t->items;
            for (const Value& c : items) {
                TRY_ASSIGN(r, isinstance(ctx, v, c));
                if (r) return true;
            }
            return false;
        }
    TRY_ASSIGN(target, class_type_id(ctx, cls));
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(id, py_type_id_of(ctx.heap, in.types, v));
    if (target == type_id(BuiltinType::Int) && v.is_bool()) return true;
    if (target == type_id(BuiltinType::Object)) return true;
    return in.types.is_subtype(id, target);
}

PyResult<bool> exception_matches(RuntimeContext& ctx, Value exc, Value type) {
    if (const HeapSlot* slot = ctx.heap.get_if_object(type))
        if (std::holds_alternative<TuplePayload>(slot->object)) return isinstance(ctx, exc, type);
    auto def = decode_native_handle(type);
    bool is_class = class_record(ctx.heap, type) != nullptr ||
                    (def && (def->tag == DefinitionTag::ExceptionType || def->tag == DefinitionTag::BuiltinType));
    if (!is_class)
        return fail(PyError::type_error("catching classes that do not inherit from BaseException is not allowed"));
    return isinstance(ctx, exc, type);
}

PyResult<std::optional<std::string>> exception_class_name(RuntimeContext& ctx, Value v) {
    return exception_type_name(interp(ctx), v);
}

PyResult<std::optional<Value>> class_lookup(RuntimeContext& ctx, Value cls, Symbol name) {
    const ClassRecord* rec = class_record(ctx.heap, cls);
    if (!rec) return std::optional<Value>();
    if (const Value* v = rec->namespace_.get(name)) return std::optional(ctx.heap.clone_value(*v));
    for (const Value& base : rec->mro) {
        const ClassRecord* r = class_record(ctx.heap, base);
        if (!r) continue;
        if (const Value* v = r->namespace_.get(name)) return std::optional(ctx.heap.clone_value(*v));
    }
    return std::optional<Value>();
}

void invalidate_attribute_caches(RuntimeContext& ctx) { ++interp(ctx).attribute_epoch; }

void record_attribute_site(RuntimeContext& ctx, SiteEntry& site, Value obj, Symbol name, Value method, bool bound) {
    site = SiteEntry{};
    Heap& heap = ctx.heap;
    Interpreter& in = interp(ctx);
    const HeapSlot* slot = heap.get_if_object(obj);
    if (!slot) return;
    if (bound && slot->type_id < kFirstValueKindType && slot->kind() != HeapObjectKind::Object) {
        // A builtin type's native method: fixed for the type.
        if (auto m = builtin_method(slot->type_id, heap.symbols.name_of(name)); m && *m == method)
            site = SiteEntry{std::uint64_t(slot->type_id) << 32, 0, 3, name, method};
        return;
    }
    if (slot->kind() != HeapObjectKind::Object) return;
    auto cls = instance_class_value(heap, in.types, obj);
    if (!cls || !*cls) return;
    auto found = class_lookup(ctx, **cls, name);
    if (!found) return;
    std::uint64_t key = std::uint64_t(slot->type_id) << 32 | (in.attribute_epoch & 0xFFFFFFFF);
    if (bound) {
        const HeapSlot* f = *found ? heap.get_if_object(**found) : nullptr;
        if (!f || f->kind() != HeapObjectKind::Function || **found != method) return;
        site = SiteEntry{key, 0, 2, name, method};
        return;
    }
    // An instance attribute, with nothing on the class that could take precedence.
    if (*found) {
        const HeapSlot* f = heap.get_if_object(**found);
        if (f && f->kind() == HeapObjectKind::Property) return;
    }
    if (!slot->attributes) return;
    const auto& entries = slot->attributes->entries;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].symbol == name) {
            site = SiteEntry{key, std::uint32_t(i), 1, name, Value::absent()};
            return;
        }
}

PyResult<std::optional<Value>> load_attribute_optional(RuntimeContext& ctx, Value obj, Symbol name) {
    Heap& heap = ctx.heap;
    Interpreter& in = interp(ctx);
    const HeapSlot* slot = heap.get_if_object(obj);
    if (obj.is_object() && !slot) return fail(PyError::unsupported(Heap::stale_reference_message()));
    if (slot) {
        switch (slot->kind()) {
            case HeapObjectKind::Module: {
                Value ns = std::get<ModulePayload>(slot->object).namespace_;
                return scope_get_symbol(heap, ns, name);
            }
            case HeapObjectKind::Class: {
                std::string_view text = heap.symbols.name_of(name);
                const ClassRecord* rec = class_record(heap, obj);
                if (text == "__name__") {
                    TRY_ASSIGN(s, make_str(ctx, rec->name));
                    return std::optional(s);
                }
                TRY_ASSIGN(found, class_lookup(ctx, obj, name));
                if (!found) return std::optional<Value>();
                TRY_ASSIGN(bound, bind_class_value(ctx, *found, obj, obj, false));
                return std::optional(bound);
            }
            case HeapObjectKind::Super: return super_lookup(ctx, obj, name);
            case HeapObjectKind::Function: {
                std::string_view text = heap.symbols.name_of(name);
                if (text == "__name__") {
                    TRY_ASSIGN(s, make_str(ctx, std::get<FunctionPayload>(slot->object).record->name));
                    return std::optional(s);
                }
                if (const Value* v = instance_attribute(slot, name)) return std::optional(heap.clone_value(*v));
                return std::optional<Value>();
            }
            default: break;
        }
        TRY_ASSIGN(cls, instance_class_value(heap, in.types, obj));
        if (cls) {
            TRY_ASSIGN(found, class_lookup(ctx, *cls, name));
            if (found) {
                if (const HeapSlot* f = heap.get_if_object(*found); f && f->kind() == HeapObjectKind::Property) {
                    TRY_ASSIGN(bound, bind_class_value(ctx, *found, obj, *cls, true));
                    return std::optional(bound);
                }
            }
            if (const Value* v = instance_attribute(heap.get_if_object(obj), name)) return std::optional(heap.clone_value(*v));
            if (found) {
                TRY_ASSIGN(bound, bind_class_value(ctx, *found, obj, *cls, true));
                return std::optional(bound);
            }
            std::string_view text = heap.symbols.name_of(name);
            if (text == "__class__") return std::optional(*cls);
            if (text == "__dict__") {
                std::vector<std::pair<Value, Value>> pairs;
                if (const HeapSlot* s = heap.get_if_object(obj); s && s->attributes)
                    for (const NamespaceEntry& e : s->attributes->entries) {
                        TRY_ASSIGN(k, make_str(ctx, std::string(heap.symbols.name_of(e.symbol))));
                        pairs.emplace_back(k, e.value);
                    }
                TRY_ASSIGN(d, new_dict(ctx, pairs));
                return std::optional(d);
            }
        } else if (const Value* v = instance_attribute(slot, name)) {
            return std::optional(heap.clone_value(*v));
        }
        if (auto* e = std::get_if<ExceptionPayload>(&heap.get_if_object(obj)->object)) {
            if (heap.symbols.name_of(name) == "args") {
                TRY_ASSIGN(t, new_tuple(ctx, e->args));
                return std::optional(t);
            }
        }
        if (cls) {
            // __getattr__ answers what the normal lookup misses.
            TRY_ASSIGN(hook, class_lookup(ctx, *cls, heap.symbols.intern_static("__getattr__")));
            if (hook) {
                TRY_ASSIGN(key, make_str(ctx, std::string(heap.symbols.name_of(name))));
                Value args[2] = {obj, key};
                TRY_ASSIGN(r, call_immediate(ctx, *hook, args, {}));
                return std::optional(r);
            }
        }
    }
    std::string_view text = heap.symbols.name_of(name);
    if (text == "__class__") {
        TRY_ASSIGN(t, type_of(ctx, obj));
        return std::optional(t);
    }
    auto id = py_type_id_of(heap, in.types, obj);
    if (!id) return fail(std::move(id.error()));
    if (auto m = builtin_method(*id, text)) {
        TRY_ASSIGN(bound, new_bound_method(heap, ctx.roots, ctx.machine.meter, obj, *m));
        return std::optional(bound);
    }
    if (auto def = decode_native_handle(obj); def && def->tag == DefinitionTag::ExceptionType && text == "__name__") {
        TRY_ASSIGN(s, make_str(ctx, std::string(def->name)));
        return std::optional(s);
    }
    if (auto def = decode_native_handle(obj); def && def->tag == DefinitionTag::BuiltinType) {
        if (text == "__name__") {
            TRY_ASSIGN(s, make_str(ctx, std::string(builtin_type_name(def->number))));
            return std::optional(s);
        }
        if (auto m = builtin_method(def->number, text)) return std::optional(*m);
    }
    return std::optional<Value>();
}

PyResult<Value> load_attribute(RuntimeContext& ctx, Value obj, Symbol name) {
    TRY_ASSIGN(v, load_attribute_optional(ctx, obj, name));
    if (!v) return fail(attribute_error(ctx, obj, name));
    return *v;
}

PyResult<std::pair<Value, Value>> load_method(RuntimeContext& ctx, Value obj, Symbol name) {
    Heap& heap = ctx.heap;
    Value no_receiver = intern_static_definition(StaticDefinition::of(DefinitionTag::NoReceiver));
    const HeapSlot* slot = heap.get_if_object(obj);
    if (slot && (slot->kind() == HeapObjectKind::Object || slot->kind() == HeapObjectKind::Exception)) {
        TRY_ASSIGN(cls, instance_class_value(heap, interp(ctx).types, obj));
        if (cls && !instance_attribute(slot, name)) {
            TRY_ASSIGN(found, class_lookup(ctx, *cls, name));
            if (found)
                if (const HeapSlot* f = heap.get_if_object(*found); f && f->kind() == HeapObjectKind::Function)
                    return std::pair{*found, obj};
        }
    } else if (!obj.is_native() && !(slot && (slot->kind() == HeapObjectKind::Class ||
                                              slot->kind() == HeapObjectKind::Module ||
                                              slot->kind() == HeapObjectKind::Super))) {
        auto id = py_type_id_of(heap, interp(ctx).types, obj);
        if (!id) return fail(std::move(id.error()));
        if (auto m = builtin_method(*id, heap.symbols.name_of(name))) return std::pair{*m, obj};
    }
    TRY_ASSIGN(v, load_attribute(ctx, obj, name));
    return std::pair{v, no_receiver};
}

PyStatus store_attribute(RuntimeContext& ctx, Value obj, Symbol name, Value v) {
    Heap& heap = ctx.heap;
    const HeapSlot* cslot = heap.get_if_object(obj);
    if (!cslot) {
        TRY_ASSIGN(tn, type_name(ctx, obj));
        return fail(PyError::exception("AttributeError", fmt::format("'{}' object has no attribute '{}'", tn,
                                                                     heap.symbols.name_of(name))));
    }
    if (cslot->kind() == HeapObjectKind::Class) {
        bool fresh = !class_record(heap, obj)->namespace_.get(name);
        if (fresh) TRY_DO(heap.update_object_size(obj, kAttributeEntryBytes, ctx.roots, ctx.machine.meter));
        TRY_ASSIGN(slot, heap.slot_mut(obj));
        std::get<ClassPayload>(slot->object).record->namespace_.insert(name, v);
        invalidate_attribute_caches(ctx);
        return {};
    }
    if (cslot->kind() == HeapObjectKind::Module) {
        return store_scope_name(ctx, std::get<ModulePayload>(cslot->object).namespace_, name, v);
    }
    TRY_ASSIGN(cls, instance_class_value(heap, interp(ctx).types, obj));
    if (cls) {
        TRY_ASSIGN(found, class_lookup(ctx, *cls, name));
        if (found)
            if (const HeapSlot* f = heap.get_if_object(*found); f && f->kind() == HeapObjectKind::Property) {
                Value setter = std::get<PropertyPayload>(f->object).second;
                if (setter.is_absent() || setter.is_none())
                    return fail(PyError::exception("AttributeError", "can't set attribute"));
                Value args[2] = {obj, v};
                TRY_DO(call_immediate(ctx, setter, args, {}));
                return {};
            }
    } else if (cslot->kind() != HeapObjectKind::Object && cslot->kind() != HeapObjectKind::Function &&
               cslot->kind() != HeapObjectKind::Exception) {
        TRY_ASSIGN(tn, type_name(ctx, obj));
        return fail(PyError::exception("AttributeError", fmt::format("'{}' object has no attribute '{}'", tn,
                                                                     heap.symbols.name_of(name))));
    }
    if (!instance_attribute(cslot, name))
        TRY_DO(heap.update_object_size(obj, kAttributeEntryBytes, ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(slot, heap.slot_mut(obj));
    if (!slot->attributes) slot->attributes = Box<AttributeStore>::make();
    for (NamespaceEntry& e : slot->attributes->entries)
        if (e.symbol == name) {
            e.value = v;
            return {};
        }
    slot->attributes->entries.push_back(NamespaceEntry{name, v});
    return {};
}

PyStatus delete_attribute(RuntimeContext& ctx, Value obj, Symbol name) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(slot, heap.slot_mut(obj));
    if (auto* c = std::get_if<ClassPayload>(&slot->object)) {
        if (!c->record->namespace_.remove(name)) return fail(attribute_error(ctx, obj, name));
        invalidate_attribute_caches(ctx);
        return {};
    }
    if (slot->attributes) {
        auto& entries = slot->attributes->entries;
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->symbol == name) {
                entries.erase(it);
                heap.shrink_object_size(obj, kAttributeEntryBytes, ctx.machine.meter);
                return {};
            }
    }
    return fail(attribute_error(ctx, obj, name));
}

PyResult<Value> make_function(RuntimeContext& ctx, const FunctionInfo& info, std::vector<Value> defaults) {
    ExecState& st = ctx.exec;
    if (st.frames.empty()) return fail(PyError::unsupported("functions are created by running Python code"));
    const Frame& f = st.frames.back();
    Value closure = f.scope;
    if (f.class_body) {
        TRY_ASSIGN(ns, scope_of(ctx.heap, f.scope));
        if (!ns->parent) return fail(PyError::unsupported("a class body has a parent scope"));
        closure = *ns->parent;
    }
    auto rec = Box<FunctionRecord>::make();
    rec->name = std::string(ctx.heap.symbols.name_of(info.name));
    rec->code = info.code;
    rec->code_size = info.code->instructions.size();
    rec->defaults = std::move(defaults);
    rec->closure = closure;
    rec->globals = f.globals;
    rec->defining_class = Value::absent();
    return ctx.heap.allocate_object(FunctionPayload{std::move(rec)}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> make_class(RuntimeContext& ctx, const ClassInfo& info, std::vector<Value> bases, Value metaclass) {
    Heap& heap = ctx.heap;
    Interpreter& in = interp(ctx);
    ExecState& st = ctx.exec;
    std::string name(heap.symbols.name_of(info.name));
    // Bases: program classes and builtin / exception types.
    std::vector<TypeId> base_ids;
    std::vector<Value> class_bases;
    for (const Value& b : bases) {
        if (const ClassRecord* r = class_record(heap, b)) {
            base_ids.push_back(r->type_id);
            class_bases.push_back(b);
            continue;
        }
        auto id = class_type_id(ctx, b);
        if (!id) return fail(PyError::type_error("bases must be types"));
        base_ids.push_back(*id);
    }
    // The body.
    const Frame& outer = st.frames.back();
    std::size_t nslots = info.code->local_names ? info.code->local_names->size() : 0;
    TRY_ASSIGN(ns, bind_locals(in, ctx.machine.meter, outer.scope, info.code->local_names,
                               std::vector<Value>(nslots, Value::absent()), {}));
    heap.push_root(ns);
    TRY_ASSIGN(module_name, scope_get_symbol(heap, outer.globals, heap.symbols.intern_static("__name__")));
    if (module_name) TRY_DO(store_scope_name(ctx, ns, heap.symbols.intern_static("__module__"), *module_name));
    Value globals = outer.globals;
    FrameDescriptor d{std::nullopt, ns, globals, Value::absent(), true, true};
    SliceResult r = run_code_synchronously(ctx, info.code, d);
    if (!r) return fail(std::move(r.error().error));
    if (r->kind == StepOutcome::Exit) {
        PyError e = PyError::exit(r->status);
        return fail(std::move(e));
    }
    // The class record.
    TRY_ASSIGN(mro, py_compute_mro(heap, ctx.machine.meter, class_bases));
    TRY_ASSIGN(type_mro, type_mro_from_bases(in.types, base_ids.empty() ? std::vector<TypeId>{0} : base_ids));
    auto rec = Box<ClassRecord>::make();
    rec->name = name;
    rec->bases = bases;
    rec->mro = std::move(mro);
    {
        TRY_ASSIGN(body, scope_of(heap, ns));
        if (body->slot_names)
            for (std::size_t i = 0; i < body->slots.size(); ++i)
                if (body->slots[i].is_present()) rec->namespace_.insert((*body->slot_names)[i], body->slots[i]);
        for (const NamespaceEntry& e : body->entries()) rec->namespace_.insert(e.symbol, e.value);
    }
    rec->metaclass = metaclass.is_present() ? metaclass
                                            : intern_static_definition(StaticDefinition::of_builtin_type(type_id(BuiltinType::Type)));
    TypeRecord type;
    type.name = name;
    type.bases = base_ids.empty() ? std::vector<TypeId>{0} : base_ids;
    type.mro = type_mro;
    type.origin = TypeOrigin::Program;
    const auto& dunders = in.types.dunder_symbols();
    for (std::size_t i = 0; i < kDunderSlotCount; ++i)
        if (const Value* v = rec->namespace_.get(dunders[i])) {
            SlotEntry e;
            e.kind = SlotKind::Callable;
            e.value = *v;
            type.declared[i] = e;
            type.resolved[i] = e;
        }
    TypeId id = in.types.append(std::move(type));
    for (std::size_t i = 0; i < kDunderSlotCount; ++i)
        if (auto* t = in.types.get_mut(id); t && t->resolved[i].kind == SlotKind::Callable) t->resolved[i].owner = id;
    in.types.resolve_from_mro(id);
    rec->type_id = id;
    std::vector<Value> functions;
    for (const NamespaceEntry& e : rec->namespace_.entries()) {
        const HeapSlot* s = heap.get_if_object(e.value);
        if (!s) continue;
        if (s->kind() == HeapObjectKind::Function) functions.push_back(e.value);
        if (auto* sm = std::get_if<StaticMethodPayload>(&s->object)) functions.push_back(sm->callable);
        if (auto* cm = std::get_if<ClassMethodPayload>(&s->object)) functions.push_back(cm->callable);
    }
    TRY_ASSIGN(cls, heap.allocate_object(ClassPayload{std::move(rec)}, ctx.roots, ctx.machine.meter));
    if (auto* t = in.types.get_mut(id)) t->class_value = cls;
    for (const Value& f : functions) {
        auto s = heap.slot_mut(f);
        if (!s) continue;
        if (auto* fp = std::get_if<FunctionPayload>(&(*s)->object))
            if (fp->record->defining_class.is_absent()) fp->record->defining_class = cls;
    }
    invalidate_attribute_caches(ctx);
    return cls;
}

PyResult<StepOutcome> instantiate_class(RuntimeContext& ctx, Value cls, NativeCall call) {
    Heap& heap = ctx.heap;
    Interpreter& in = interp(ctx);
    const ClassRecord* rec = class_record(heap, cls);
    TypeId id = rec->type_id;
    std::string name = rec->name;
    TRY_ASSIGN(is_exc, in.types.is_subtype(id, type_id(BuiltinType::Exception)));
    PyResult<Value> made = is_exc ? heap.insert_object(id, ExceptionPayload{call.positional}, ctx.roots, ctx.machine.meter)
                                  : heap.insert_object(id, ObjectPayload{}, ctx.roots, ctx.machine.meter);
    if (!made) return fail(std::move(made.error()));
    Value instance = *made;
    TRY_ASSIGN(init, class_lookup(ctx, cls, heap.symbols.intern_static("__init__")));
    if (init) {
        std::vector<Value> args{instance};
        args.insert(args.end(), call.positional.begin(), call.positional.end());
        std::vector<std::pair<Symbol, Value>> kws;
        for (const auto& [k, v] : call.keywords) {
            TRY_ASSIGN(s, heap.symbols.intern(k, ctx.machine.meter));
            kws.emplace_back(s, v);
        }
        TRY_ASSIGN(r, call_immediate(ctx, *init, args, kws));
        if (!r.is_none()) {
            TRY_ASSIGN(tn, type_name(ctx, r));
            return fail(PyError::type_error(fmt::format("__init__() should return None, not '{}'", tn)));
        }
    } else if (!is_exc && (!call.positional.empty() || !call.keywords.empty())) {
        return fail(PyError::type_error(fmt::format("{}() takes no arguments", name)));
    }
    ctx.exec.values.push_back(instance);
    return StepOutcome::of(StepOutcome::Next);
}

}  // namespace tw::py::vm
