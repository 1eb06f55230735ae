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
#include "python/vm/classes.h"
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
    // Stores through a class's own __setattr__ or __delattr__ are never cached.
    for (std::string_view hook : {"__setattr__", "__delattr__"})
        if (auto symbol = heap.symbols.lookup(hook)) {
            auto h = class_lookup(ctx, **cls, *symbol);
            if (!h || *h) return;
        }
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
    if (slot && (text == "__name__" || text == "__qualname__")) {
        // A bound method answers with its function's names.
        if (auto* b = std::get_if<BoundMethodPayload>(&slot->object); b && b->function.is_present())
            if (const HeapSlot* fs = heap.get_if_object(b->function); fs && fs->kind() == HeapObjectKind::Function)
                obj = b->function, slot = fs;
        if (text == "__qualname__")
            if (auto q = qualname_of(heap, obj)) {
                TRY_ASSIGN(n, make_str(ctx, std::move(*q)));
                return std::optional(n);
            }
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
    // The native methods of the builtin containers and strings the engine provides; an
    // instance of a subclass of a builtin type finds them by its payload's type.
    Interpreter& in = interp(ctx);
    auto id = py_type_id_of(heap, in.types, obj);
    if (!id) return fail(std::move(id.error()));
    if (slot && *id >= kFirstProgramType && slot->kind() != HeapObjectKind::Object)
        if (auto payload_type = heap.default_type_id(slot->object)) id = *payload_type;
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
    } else if (!obj.is_native() && !(slot && slot->type_id >= kFirstProgramType) &&
               !(slot && (slot->kind() == HeapObjectKind::Class ||
                                              slot->kind() == HeapObjectKind::Module ||
                                              slot->kind() == HeapObjectKind::Super))) {
        auto id = py_type_id_of(heap, interp(ctx).types, obj);
        if (!id) return fail(std::move(id.error()));
        if (auto m = builtin_method(*id, heap.symbols.name_of(name))) return std::pair{*m, obj};
    }
    TRY_ASSIGN(v, load_attribute(ctx, obj, name));
    return std::pair{v, no_receiver};
}

// The `__setattr__` or `__delattr__` a program class defines, called for one of its instances:
// false when the class has none.
PyResult<bool> call_attribute_hook(RuntimeContext& ctx, Value obj, std::string_view hook, Symbol name,
                                   std::optional<Value> v) {
    const HeapSlot* s = ctx.heap.get_if_object(obj);
    if (!s || s->kind() == HeapObjectKind::Class) return false;
    auto symbol = ctx.heap.symbols.lookup(hook);
    if (!symbol) return false;
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, obj));
    if (!cls) return false;
    TRY_ASSIGN(method, class_lookup(ctx, *cls, *symbol));
    if (!method) return false;
    TRY_ASSIGN(key, make_str(ctx, std::string(ctx.heap.symbols.name_of(name))));
    std::vector<Value> args{obj, key};
    if (v) args.push_back(*v);
    TRY_DO(call_immediate(ctx, *method, args, {}));
    return true;
}

PyStatus store_attribute(RuntimeContext& ctx, Value obj, Symbol name, Value v) {
    TRY_ASSIGN(hooked, call_attribute_hook(ctx, obj, "__setattr__", name, v));
    if (hooked) return {};
    bool is_class = class_record(ctx.heap, obj) != nullptr;
    TRY_DO(py_setattr(ctx, obj, name, ctx.heap.symbols.name_of(name), v));
    if (is_class) invalidate_attribute_caches(ctx);
    return {};
}

PyStatus delete_attribute(RuntimeContext& ctx, Value obj, Symbol name) {
    TRY_ASSIGN(hooked, call_attribute_hook(ctx, obj, "__delattr__", name, std::nullopt));
    if (hooked) return {};
    bool is_class = class_record(ctx.heap, obj) != nullptr;
    TRY_DO(py_delattr(ctx, obj, name, ctx.heap.symbols.name_of(name)));
    if (is_class) invalidate_attribute_caches(ctx);
    return {};
}

PyResult<std::string> qualified_name(RuntimeContext& ctx, const Frame& frame, std::string_view name) {
    Heap& heap = ctx.heap;
    if (frame.class_body) {
        // The class namespace holds the class's own qualified name while its body runs.
        TRY_ASSIGN(ns, scope_of(heap, frame.scope));
        if (const Value* q = ns->get(heap.symbols.intern_static("__qualname__"))) {
            TRY_ASSIGN(text, str_view(heap, *q));
            if (text) return fmt::format("{}.{}", *text, name);
        }
        return std::string(name);
    }
    if (frame.function.is_present())
        if (auto outer = qualname_of(heap, frame.function)) return fmt::format("{}.<locals>.{}", *outer, name);
    return std::string(name);
}

std::optional<std::string> qualname_of(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return std::nullopt;
    if (auto* c = std::get_if<ClassPayload>(&s->object))
        return c->record->qualname.empty() ? c->record->name : c->record->qualname;
    if (auto* f = std::get_if<FunctionPayload>(&s->object))
        return f->record->qualname.empty() ? f->record->name : f->record->qualname;
    return std::nullopt;
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
    TRY_ASSIGN(qualname, qualified_name(ctx, f, rec->name));
    if (qualname != rec->name) rec->qualname = std::move(qualname);
    rec->code = info.code;
    rec->code_size = info.code->instructions.size();
    rec->defaults = std::move(defaults);
    rec->closure = closure;
    rec->globals = f.globals;
    rec->defining_class = Value::absent();
    return ctx.heap.allocate_object(FunctionPayload{std::move(rec)}, ctx.roots, ctx.machine.meter);
}

}  // namespace tw::py::vm
