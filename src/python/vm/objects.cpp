// The object model as the engine needs it: attribute lookup and assignment, functions, classes
// and instances, `type(x)`, isinstance and exception matching.
#include <fmt/format.h>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/mro.h"
#include "python/objects/types.h"
#include "python/objects/instance.h"
#include "python/objects/value_access.h"
#include "python/vm/comparison.h"
#include "python/vm/attributes.h"
#include "python/vm/native_runtime.h"
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

bool has_instance_attribute(const Heap& heap, Value obj, Symbol name) {
    auto v = instance_get_attr(heap, obj, name);
    return v && *v;
}

// object.__init__ / BaseException.__init__ as reached through super(): an exception keeps its
// arguments.
PyResult<Value> base_init(NativeRuntime& rt, Value self, NativeCall call) {
    auto slot = rt.heap().slot_mut(self);
    if (slot)
        if (auto* e = std::get_if<ExceptionPayload>(&(*slot)->object)) e->args = std::move(call.positional);
    return Value::none();
}
constexpr NativeFunction kBaseInit{"object", "__init__", nullptr, base_init};

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
    TRY_ASSIGN(hooked, call_instance_check_hook(ctx, cls, "__instancecheck__", v));
    if (hooked) return *hooked;
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
    if (!slot->attributes || slot->attributes->dictionary) return;
    std::uint32_t shape = slot->attributes->shape;
    if (auto i = heap.shapes.slot_of(shape, name); i && *i < slot->attributes->shaped_values.size())
        site = SiteEntry{key, std::uint32_t(*i), 1, name, Value::from_int(shape)};
}

PyResult<std::optional<Value>> load_attribute_optional(RuntimeContext& ctx, Value obj, Symbol name) {
    Heap& heap = ctx.heap;
    std::string_view text = heap.symbols.name_of(name);
    const HeapSlot* slot = heap.get_if_object(obj);
    const bool super_init = slot && slot->kind() == HeapObjectKind::Super && text == "__init__";
    auto got = py_getattr(ctx, obj, name, text);
    // The lookup may have allocated: the slot table may have moved.
    slot = heap.get_if_object(obj);
    if (!got && !super_init) return fail(std::move(got.error()));
    if (got && *got) return got;
    if (super_init) {
        Value self = std::get<SuperPayload>(heap.get_if_object(obj)->object).object;
        Value handle = intern_static_definition(StaticDefinition::of_native_method(&kBaseInit));
        TRY_ASSIGN(bound, new_bound_method(heap, ctx.roots, ctx.machine.meter, self, handle));
        return std::optional(bound);
    }
    if (slot && text == "__name__") {
        if (auto* c = std::get_if<ClassPayload>(&slot->object)) {
            TRY_ASSIGN(n, make_str(ctx, c->record->name));
            return std::optional(n);
        }
        if (auto* f = std::get_if<FunctionPayload>(&slot->object)) {
            TRY_ASSIGN(n, make_str(ctx, f->record->name));
            return std::optional(n);
        }
    }
    if (slot)
        if (auto* e = std::get_if<ExceptionPayload>(&slot->object); e && text == "args") {
            TRY_ASSIGN(t, new_tuple(ctx, e->args));
            return std::optional(t);
        }
    // The native methods of the builtin containers and strings the engine provides.
    Interpreter& in = interp(ctx);
    auto id = py_type_id_of(heap, in.types, obj);
    if (!id) return fail(std::move(id.error()));
    if (auto m = builtin_method(*id, text)) {
        TRY_ASSIGN(bound, new_bound_method(heap, ctx.roots, ctx.machine.meter, obj, *m));
        return std::optional(bound);
    }
    if (auto def = decode_native_handle(obj); def && def->tag == DefinitionTag::BuiltinType)
        if (auto m = builtin_method(def->number, text)) return std::optional(*m);
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
        if (cls && !has_instance_attribute(heap, obj, name)) {
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
    bool is_class = class_record(ctx.heap, obj) != nullptr;
    TRY_DO(py_setattr(ctx, obj, name, ctx.heap.symbols.name_of(name), v));
    if (is_class) invalidate_attribute_caches(ctx);
    return {};
}

PyStatus delete_attribute(RuntimeContext& ctx, Value obj, Symbol name) {
    bool is_class = class_record(ctx.heap, obj) != nullptr;
    TRY_DO(py_delattr(ctx, obj, name, ctx.heap.symbols.name_of(name)));
    if (is_class) invalidate_attribute_caches(ctx);
    return {};
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
