#include "python/vm/attributes.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/vm/protocol_support.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/instance.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/generators.h"
#include "python/vm/exec_state.h"
#include "python/vm/namespace.h"
#include "python/vm/runtime_context.h"
#include "python/vm/slot_call.h"
#include "python/vm/values.h"

namespace tw::py {

using protocol::charge_native;
using protocol::meter_of;
using protocol::types_of;

namespace {


using Found = std::optional<Value>;

StoreContext store_context(RuntimeContext& ctx) { return {ctx.heap, ctx.roots, ctx.machine.meter}; }

constexpr std::uint64_t kClassEntryBytes = 48;
constexpr std::uint64_t kArgsElementBytes = 24;

const HeapSlot* heap_slot(RuntimeContext& ctx, Value v) { return ctx.heap.get_if_object(v); }

const ClassRecord* class_record(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return nullptr;
    auto* c = std::get_if<ClassPayload>(&s->object);
    return c ? c->record.get() : nullptr;
}

bool is_kind(const HeapSlot* s, HeapObjectKind k) { return s && s->kind() == k; }

PyResult<Value> make_str(RuntimeContext& ctx, std::string text) {
    return new_str(ctx.heap, std::move(text), ctx.roots, meter_of(ctx));
}

// Whether a heap object is an instance of a program class.
PyResult<std::optional<Value>> program_class_of(RuntimeContext& ctx, Value v) {
    return instance_class_value(ctx.heap, types_of(ctx), v);
}

// Whether the value's type is, or derives from, BaseException.
bool is_exception_instance(RuntimeContext& ctx, Value v) {
    const HeapSlot* s = heap_slot(ctx, v);
    if (!s || s->kind() == HeapObjectKind::Class) return false;
    auto r = types_of(ctx).is_subtype(s->type_id, type_id(BuiltinType::Exception));
    return r && *r;
}

std::optional<StaticDefinition> definition(Value v) {
    if (!v.is_native()) return std::nullopt;
    return decode_native_handle(v);
}
bool is_tag(Value v, DefinitionTag tag) {
    auto d = definition(v);
    return d && d->tag == tag;
}

PyResult<Value> call_getter(RuntimeContext& ctx, const NativeProperty* getter, Value receiver) {
    EngineRuntime rt(ctx);
    return getter->getter(rt, receiver);
}

PyResult<Value> bound_method(RuntimeContext& ctx, Value function, Value receiver, Value owner) {
    return ctx.heap.allocate_object(BoundMethodPayload{function, receiver, owner}, ctx.roots, meter_of(ctx));
}

// Reads a name from an object's attribute storage.
PyResult<Found> stored_attribute(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol) {
    if (!symbol || !obj.is_object()) return Found();
    TRY_ASSIGN(v, instance_get_attr(ctx.heap, obj, *symbol));
    if (v) return Found(ctx.heap.clone_value(*v));
    return Found();
}

// A name in a namespace object (a scope) without walking its parents.
PyResult<Found> namespace_lookup(RuntimeContext& ctx, Value scope, std::optional<Symbol> symbol) {
    if (!symbol) return Found();
    TRY_ASSIGN(ns, scope_of(ctx.heap, scope));
    if (const Value* v = ns->find(*symbol)) return Found(ctx.heap.clone_value(*v));
    return Found();
}

// Binds `name` in a scope object, growing its modeled size for a new entry.
PyStatus scope_store(RuntimeContext& ctx, Value scope, Symbol symbol, std::optional<Value> value) {
    TRY_ASSIGN(ns, scope_of(ctx.heap, scope));
    const auto slot = Namespace::slot_index(ns->slot_names.get(), symbol);
    if (!slot && value && !ns->get(symbol))
        TRY_DO(ctx.heap.update_object_size(scope, kClassEntryBytes, ctx.roots, meter_of(ctx)));
    TRY_ASSIGN(mut, ctx.heap.slot_mut(scope));
    Namespace& target = *std::get<NamespacePayload>(mut->object).scope;
    if (slot && *slot < target.slots.size()) {
        target.slots[*slot] = value.value_or(Value::absent());
        return {};
    }
    if (value) target.insert(symbol, *value);
    else target.remove(symbol);
    return {};
}

std::string_view module_name_of(const HeapSlot* s) { return std::get<ModulePayload>(s->object).name; }

// Calls a program-defined descriptor method (`__get__`, `__set__`, `__delete__`) of `descriptor`.
PyResult<Found> call_descriptor_method(RuntimeContext& ctx, Value descriptor, std::string_view method,
                                       std::span<const Value> args) {
    TRY_ASSIGN(cls, program_class_of(ctx, descriptor));
    if (!cls) return Found();
    auto symbol = ctx.heap.symbols.lookup(method);
    TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, symbol));
    if (!hit) return Found();
    TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, descriptor, *cls, hit->owner));
    TRY_ASSIGN(r, call_value(ctx, bound, args));
    return Found(r);
}

// The attributes of class objects.
PyResult<Found> class_object_attribute(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, TypeId mtid) {
    auto ctid = py_as_class(ctx, obj);
    if (!ctid) return fail(PyError::unsupported("class has no registered type"));
    TRY_ASSIGN(meta, py_type_lookup(ctx, mtid, symbol));
    TRY_ASSIGN(own, py_type_lookup(ctx, *ctid, symbol));
    if (own) return py_bind_special_method(ctx, own->value, std::nullopt, *ctid, own->owner);
    if (meta) return py_bind_special_method(ctx, meta->value, obj, mtid, meta->owner);
    return Found();
}

// super(start, receiver).name.
PyResult<Found> super_attribute(RuntimeContext& ctx, const SuperPayload sp, std::optional<Symbol> symbol,
                                std::string_view name) {
    TypeRegistry& types = types_of(ctx);
    auto start = py_as_class(ctx, sp.type);
    if (!start) return fail(PyError::unsupported("super() start has an invalid class"));
    if (!sp.object.is_object()) return fail(PyError::unsupported("super() receiver is not an instance or class"));
    const HeapSlot* rs = heap_slot(ctx, sp.object);
    if (!rs) return fail(PyError::unsupported(Heap::stale_reference_message()));
    TypeId rt;
    TRY_ASSIGN(rcls, program_class_of(ctx, sp.object));
    if (rcls) {
        rt = rs->type_id;
    } else if (rs->kind() == HeapObjectKind::Class) {
        auto rid = py_as_class(ctx, sp.object);
        if (!rid) return fail(PyError::unsupported("super() receiver has an invalid class"));
        TRY_ASSIGN(sub, types.is_subtype(*rid, *start));
        rt = sub ? *rid : rs->type_id;
    } else {
        return fail(PyError::unsupported("super() receiver is not an instance or class"));
    }
    TRY_ASSIGN(rrec, types.get(rt));
    const std::vector<TypeId> mro = rrec->mro;
    std::size_t begin = 0;
    if (rt != *start) {
        auto it = std::find(mro.begin(), mro.end(), *start);
        if (it == mro.end())
            return fail(PyError::unsupported("super(type, obj): obj is not an instance or subtype of type"));
        begin = std::size_t(it - mro.begin()) + 1;
    }
    if (symbol) {
        for (std::size_t i = begin; i < mro.size(); ++i) {
            TRY_DO(python_charge_work(meter_of(ctx), 1));
            TRY_ASSIGN(rec, types.get(mro[i]));
            const Namespace* ns = &rec->namespace_;
            if (const ClassRecord* c = class_record(ctx.heap, rec->class_value)) ns = &c->namespace_;
            if (const Value* v = ns->get(*symbol)) {
                Value found = ctx.heap.clone_value(*v);
                return py_bind_special_method(ctx, found, sp.object, rt, mro[i]);
            }
        }
    }
    return fail(PyError::unsupported(fmt::format("super object has no attribute {}", name)));
}

// `__module__`, `__mro__` and `__bases__` of builtin class handles, and `__name__` of builtin
// function handles and native rows.
PyResult<Found> class_metadata_attribute(RuntimeContext& ctx, Value obj, std::string_view name) {
    auto d = definition(obj);
    if (!d) return Found();
    if (name == "__name__") {
        switch (d->tag) {
            case DefinitionTag::Function: {
                TRY_ASSIGN(s, make_str(ctx, std::string(builtin_function_name(std::uint8_t(d->number)))));
                return Found(s);
            }
            case DefinitionTag::NativeFunction:
            case DefinitionTag::NativeMethod:
            case DefinitionTag::NativeClassMethod: {
                TRY_ASSIGN(s, make_str(ctx, std::string(d->function->name)));
                return Found(s);
            }
            case DefinitionTag::BuiltinType: {
                TRY_ASSIGN(s, make_str(ctx, std::string(builtin_type_name(d->number))));
                return Found(s);
            }
            case DefinitionTag::ExceptionType: {
                TRY_ASSIGN(s, make_str(ctx, std::string(d->name)));
                return Found(s);
            }
            default: return Found();
        }
    }
    auto id = py_as_class(ctx, obj);
    if (!id || class_record(ctx.heap, obj)) return Found();
    TRY_ASSIGN(rec, types_of(ctx).get(*id));
    if (name == "__module__") {
        std::string module = "builtins";
        if (d->tag == DefinitionTag::ExceptionType) {
            if (const ExceptionClassRow* row = exception_class_by_name(d->name)) module = row->module;
        } else if (auto dot = rec->name.find('.'); dot != std::string::npos) {
            module = rec->name.substr(0, dot);
        }
        TRY_ASSIGN(s, make_str(ctx, std::move(module)));
        return Found(s);
    }
    if (name == "__mro__" || name == "__bases__") {
        std::vector<TypeId> ids = name == "__bases__" ? rec->bases : rec->mro;
        std::vector<Value> items;
        if (name == "__mro__") items.push_back(obj);
        for (TypeId t : ids) {
            TRY_ASSIGN(v, py_type_value(ctx, t));
            items.push_back(v);
        }
        TRY_ASSIGN(t, ctx.heap.allocate_object(TuplePayload{std::move(items)}, ctx.roots, meter_of(ctx)));
        return Found(t);
    }
    return Found();
}

// Attributes answered by the fields of builtin heap objects (step 8 of the default lookup).
PyResult<Found> heap_object_attribute(RuntimeContext& ctx, Value obj, const HeapSlot* slot,
                                      std::optional<Symbol> symbol, std::string_view name, bool& answered) {
    answered = true;
    switch (slot->kind()) {
        case HeapObjectKind::Function: {
            const FunctionRecord& f = *std::get<FunctionPayload>(slot->object).record;
            if (name == "__name__") {
                TRY_ASSIGN(s, make_str(ctx, f.name));
                return Found(s);
            }
            TRY_ASSIGN(stored, stored_attribute(ctx, obj, symbol));
            if (stored) return stored;
            if (name == "__doc__") return Found(Value::none());
            if (name == "__module__" && f.globals.is_object()) {
                auto sym = ctx.heap.symbols.lookup("__name__");
                TRY_ASSIGN(m, namespace_lookup(ctx, f.globals, sym));
                if (m) return m;
            }
            answered = false;
            return Found();
        }
        case HeapObjectKind::BoundMethod: {
            const BoundMethodPayload b = std::get<BoundMethodPayload>(slot->object);
            if (name == "__self__") return Found(b.receiver);
            if (name == "__func__") return Found(b.function.is_present() ? b.function : b.owner);
            if (name == "__class__" || b.function.is_absent()) {
                answered = false;
                return Found();
            }
            return py_getattr(ctx, b.function, std::nullopt, name);
        }
        case HeapObjectKind::GenericAlias: {
            const GenericAliasPayload& g = std::get<GenericAliasPayload>(slot->object);
            if (name == "__origin__") return Found(g.origin);
            if (name == "__args__") {
                TRY_ASSIGN(t, ctx.heap.allocate_object(TuplePayload{g.args}, ctx.roots, meter_of(ctx)));
                return Found(t);
            }
            return Found();
        }
        case HeapObjectKind::Slice: {
            const SlicePayload& s = std::get<SlicePayload>(slot->object);
            if (name == "start") return Found(s.start);
            if (name == "stop") return Found(s.stop);
            if (name == "step") return Found(s.step);
            return Found();
        }
        case HeapObjectKind::StaticMethod:
        case HeapObjectKind::ClassMethod: {
            Value wrapped = slot->kind() == HeapObjectKind::StaticMethod
                                ? std::get<StaticMethodPayload>(slot->object).callable
                                : std::get<ClassMethodPayload>(slot->object).callable;
            if (name == "__func__" || name == "__wrapped__") return Found(wrapped);
            TRY_ASSIGN(r, py_getattr(ctx, wrapped, std::nullopt, name));
            if (!r && name == "__isabstractmethod__") return Found(Value::from_bool(false));
            return r;
        }
        default: answered = false; return Found();
    }
}

// Steps 5 to 9 of the default lookup, after the class and native-module steps.
PyResult<Found> instance_lookup(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, std::string_view name) {
    Heap& heap = ctx.heap;
    TypeRegistry& types = types_of(ctx);
    TRY_ASSIGN(tid, py_type_id_of(heap, types, obj));
    TRY_ASSIGN(cls, program_class_of(ctx, obj));
    const HeapSlot* slot = heap_slot(ctx, obj);
    const bool class_object = is_kind(slot, HeapObjectKind::Class);
    const bool super_object = is_kind(slot, HeapObjectKind::Super);

    // Builtin values: their methods, slot wrappers and native properties.
    if (!cls && !class_object && !super_object) {
        TRY_ASSIGN(hit, py_type_lookup(ctx, tid, symbol));
        if (hit) {
            if (auto d = definition(hit->value)) {
                if (d->tag == DefinitionTag::NativeMethod || d->tag == DefinitionTag::SlotWrapper)
                    return py_bind_special_method(ctx, hit->value, obj, tid, hit->owner);
                if (d->tag == DefinitionTag::NativeGetter) {
                    TRY_ASSIGN(v, call_getter(ctx, d->getter, obj));
                    return Found(v);
                }
            }
        }
    }

    // Modules.
    if (is_kind(slot, HeapObjectKind::Module)) {
        const Value ns = std::get<ModulePayload>(slot->object).namespace_;
        TRY_ASSIGN(hit, py_type_lookup(ctx, tid, symbol));
        if (hit) {
            TRY_ASSIGN(data, py_is_data_descriptor(ctx, hit->value));
            if (data) return py_bind_special_method(ctx, hit->value, obj, tid, hit->owner);
        }
        TRY_ASSIGN(own, namespace_lookup(ctx, ns, symbol));
        if (own) return own;
        if (hit) return py_bind_special_method(ctx, hit->value, obj, tid, hit->owner);
        if (name != "__class__") {
            TRY_ASSIGN(hook, namespace_lookup(ctx, ns, heap.symbols.lookup("__getattr__")));
            if (hook) {
                TRY_ASSIGN(key, make_str(ctx, std::string(name)));
                Value args[1] = {key};
                TRY_ASSIGN(r, call_value(ctx, *hook, args));
                return Found(r);
            }
        }
        return Found();
    }

    // Instances of program classes.
    if (cls) {
        if (!py_as_class(ctx, *cls)) return fail(PyError::unsupported("instance has no registered class"));
        TRY_ASSIGN(hit, py_type_lookup(ctx, tid, symbol));
        if (hit && is_tag(hit->value, DefinitionTag::NativeGetter) && is_exception_instance(ctx, obj)) {
            TRY_ASSIGN(stored, stored_attribute(ctx, obj, symbol));
            if (stored) return stored;
        }
        if (hit) {
            TRY_ASSIGN(data, py_is_data_descriptor(ctx, hit->value));
            if (data) return py_bind_special_method(ctx, hit->value, obj, tid, hit->owner);
        }
        TRY_ASSIGN(stored, stored_attribute(ctx, obj, symbol));
        if (stored) return stored;
        if (hit) return py_bind_special_method(ctx, hit->value, obj, tid, hit->owner);
        return Found();
    }

    // Other heap objects.
    if (slot) {
        if (is_exception_instance(ctx, obj)) {
            TRY_ASSIGN(stored, stored_attribute(ctx, obj, symbol));
            if (stored) return stored;
            if (name == "value") return vm::stop_iteration_value(ctx, obj);
        }
        if (class_object) return class_object_attribute(ctx, obj, symbol, tid);
        if (super_object) return super_attribute(ctx, std::get<SuperPayload>(slot->object), symbol, name);
        bool answered = false;
        TRY_ASSIGN(r, heap_object_attribute(ctx, obj, slot, symbol, name, answered));
        if (answered) return r;
    }
    return class_metadata_attribute(ctx, obj, name);
}

bool is_attribute_error(RuntimeContext& ctx, const PyError& e) {
    if (e.is_raised_marker()) return pending_exception_is_instance(*ctx.interpreter, "AttributeError");
    const ErrorDetail* d = e.detail();
    return d && d->kind == ErrorKindTag::Exception && exception_name_is_subclass(d->class_name, "AttributeError");
}

// The dunder slots of a class and of every class deriving from it, rebuilt from their namespaces.
PyStatus refresh_slots(RuntimeContext& ctx, TypeId changed) {
    TypeRegistry& types = types_of(ctx);
    TRY_DO(python_charge_work(meter_of(ctx), types.size()));
    const auto& dunders = types.dunder_symbols();
    for (TypeId id = 0; id < types.size(); ++id) {
        TRY_ASSIGN(rec, types.get(id));
        if (id != changed && std::find(rec->mro.begin(), rec->mro.end(), changed) == rec->mro.end()) continue;
        const ClassRecord* cls = class_record(ctx.heap, rec->class_value);
        if (!cls) continue;
        TypeRecord* mut = types.get_mut(id);
        if (!mut) return fail(PyError::unsupported("invalid type reference"));
        SlotTable declared{};
        for (std::size_t s = 0; s < kDunderSlotCount; ++s)
            if (const Value* v = cls->namespace_.get(dunders[s])) {
                declared[s].kind = SlotKind::Callable;
                declared[s].owner = id;
                declared[s].value = *v;
            }
        mut->declared = declared;
        mut->resolved = declared;
        types.resolve_from_mro(id);
    }
    return {};
}

// obj.__dict__ = value for an instance of a program class.
PyStatus replace_dict(RuntimeContext& ctx, Value obj, Value value) {
    Heap& heap = ctx.heap;
    const HeapSlot* vs = heap_slot(ctx, value);
    std::vector<std::pair<Value, Value>> pairs;
    if (vs && (vs->kind() == HeapObjectKind::Dict || vs->kind() == HeapObjectKind::DefaultDict)) {
        dict_table_of(const_cast<HeapObject&>(vs->object))->for_each_live([&](const DictSlot& s) {
            pairs.emplace_back(s.key, s.value);
        });
    } else if (is_kind(vs, HeapObjectKind::NamespaceDict)) {
        const Value target = std::get<NamespaceDictPayload>(vs->object).namespace_;
        TRY_ASSIGN(entries, py_namespace_entries(heap, target));
        for (auto& [name, v] : entries) {
            TRY_ASSIGN(key, make_str(ctx, name));
            pairs.emplace_back(key, v);
        }
    } else {
        TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), value));
        return fail(PyError::type_error(fmt::format("__dict__ must be set to a dictionary, not a '{}'", tn)));
    }
    std::vector<NamespaceEntry> entries;
    entries.reserve(pairs.size());
    for (const auto& [key, v] : pairs) {
        TRY_ASSIGN(text, value_to_owned_string(heap, key));
        if (!text) {
            TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), key));
            return fail(PyError::type_error(fmt::format("namespace keys must be str, not {}", tn)));
        }
        TRY_ASSIGN(sym, heap.symbols.intern(*text, meter_of(ctx)));
        entries.push_back({sym, v});
    }
    TRY_ASSIGN(current, instance_attributes(heap, obj));
    TRY_DO(python_charge_work(meter_of(ctx), current.size() + entries.size()));
    // Later duplicates of a key replace the earlier value in place, as a dict would.
    std::vector<NamespaceEntry> unique;
    for (const NamespaceEntry& e : entries) {
        auto it = std::find_if(unique.begin(), unique.end(), [&](const NamespaceEntry& u) { return u.symbol == e.symbol; });
        if (it != unique.end()) it->value = e.value;
        else unique.push_back(e);
    }
    return instance_replace_attributes(store_context(ctx), obj, unique);
}

PyStatus store_exception_args(RuntimeContext& ctx, Value obj, Value value) {
    const HeapSlot* s = heap_slot(ctx, obj);
    if (!std::holds_alternative<ExceptionPayload>(s->object))
        return fail(PyError::unsupported("exception instance has a non-exception layout"));
    std::vector<Value> items;
    const HeapSlot* vs = heap_slot(ctx, value);
    if (const auto* seq = vs ? sequence_items(vs->object) : nullptr) {
        items = *seq;
    } else if (is_kind(vs, HeapObjectKind::Range)) {
        const RangePayload r = std::get<RangePayload>(vs->object);
        for (std::int64_t i = r.start; r.step > 0 ? i < r.stop : i > r.stop; i += r.step) {
            TRY_DO(python_charge_work(meter_of(ctx), 1));
            items.push_back(Value::from_int(i));
        }
    } else {
        return fail(PyError::unsupported("exception args must be a sequence"));
    }
    const std::size_t count = std::get<ExceptionPayload>(s->object).args.size();
    if (items.size() > count)
        TRY_DO(ctx.heap.update_object_size(obj, kArgsElementBytes * (items.size() - count), ctx.roots, meter_of(ctx)));
    TRY_ASSIGN(mut, ctx.heap.slot_mut(obj));
    std::get<ExceptionPayload>(mut->object).args = std::move(items);
    return {};
}

PyStatus store_function_attr(RuntimeContext& ctx, Value fn, Symbol symbol, std::string_view name,
                             std::optional<Value> value) {
    if (name == "__name__") {
        std::optional<std::string> text;
        if (value) {
            TRY_ASSIGN(t, value_to_owned_string(ctx.heap, *value));
            text = std::move(t);
        }
        if (!text) return fail(PyError::type_error("__name__ must be set to a string object"));
        TRY_ASSIGN(mut, ctx.heap.slot_mut(fn));
        std::get<FunctionPayload>(mut->object).record->name = std::move(*text);
        return {};
    }
    if (value) return instance_store_attr(store_context(ctx), fn, symbol, *value);
    TRY_ASSIGN(removed, instance_remove_attr(store_context(ctx), fn, symbol));
    if (!removed) return fail(PyError::exception("AttributeError", fmt::format("'function' object has no attribute '{}'", name)));
    return {};
}

// The class a found value is an instance of has `method` (`__set__` or `__delete__`).
PyResult<bool> descriptor_has(RuntimeContext& ctx, Value found, std::string_view method) {
    TRY_ASSIGN(cls, program_class_of(ctx, found));
    if (!cls) return false;
    TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, ctx.heap.symbols.lookup(method)));
    return hit.has_value();
}

}  // namespace

std::optional<TypeId> py_as_class(RuntimeContext& ctx, Value v) {
    if (const ClassRecord* c = class_record(ctx.heap, v)) return c->type_id;
    auto d = definition(v);
    if (!d) return std::nullopt;
    switch (d->tag) {
        case DefinitionTag::BuiltinType: return TypeId(d->number);
        case DefinitionTag::ValueKind: {
            const auto& kinds = types_of(ctx).value_kinds();
            auto it = std::find(kinds.begin(), kinds.end(), d->value_kind);
            if (it == kinds.end()) return std::nullopt;
            return kFirstValueKindType + TypeId(it - kinds.begin());
        }
        case DefinitionTag::ExceptionType:
            if (d->name == "BaseException") return type_id(BuiltinType::Exception);
            return types_of(ctx).exception_id_by_name(d->name);
        default: return std::nullopt;
    }
}

PyResult<Value> py_type_value(RuntimeContext& ctx, TypeId id) {
    TypeRegistry& types = types_of(ctx);
    TRY_ASSIGN(rec, types.get(id));
    if (rec->class_value.is_present()) return ctx.heap.clone_value(rec->class_value);
    if (id == type_id(BuiltinType::Exception)) return intern_static_definition(StaticDefinition::of_exception("BaseException"));
    if (id < kBuiltinTypeCount) return intern_static_definition(StaticDefinition::of_builtin_type(id));
    if (auto name = types.exception_name_by_id(id)) return intern_static_definition(StaticDefinition::of_exception(*name));
    if (id >= kFirstValueKindType && id < kFirstValueKindType + kValueKindCount)
        if (const ValueKindDef* k = value_kind_at(id - kFirstValueKindType))
            return intern_static_definition(StaticDefinition::of_value_kind(k));
    return fail(PyError::unsupported("type construction is incomplete"));
}

PyResult<std::optional<TypeHit>> py_type_lookup(RuntimeContext& ctx, TypeId type, std::optional<Symbol> symbol) {
    TypeRegistry& types = types_of(ctx);
    TRY_ASSIGN(rec, types.get(type));
    std::vector<TypeId> chain;
    chain.reserve(rec->mro.size() + 1);
    chain.push_back(type);
    chain.insert(chain.end(), rec->mro.begin(), rec->mro.end());
    for (TypeId t : chain) {
        TRY_DO(python_charge_work(meter_of(ctx), 1));
        if (!symbol) continue;
        TRY_ASSIGN(r, types.get(t));
        const Namespace* ns = &r->namespace_;
        if (const ClassRecord* c = class_record(ctx.heap, r->class_value)) ns = &c->namespace_;
        if (const Value* v = ns->get(*symbol)) return std::optional(TypeHit{t, ctx.heap.clone_value(*v)});
    }
    return std::optional<TypeHit>();
}

PyResult<std::optional<ClassHit>> py_mro_lookup(RuntimeContext& ctx, Value cls, std::optional<Symbol> symbol) {
    const ClassRecord* rec = class_record(ctx.heap, cls);
    if (!rec) return std::optional<ClassHit>();
    std::vector<Value> chain{cls};
    chain.insert(chain.end(), rec->mro.begin(), rec->mro.end());
    for (const Value& c : chain) {
        TRY_DO(python_charge_work(meter_of(ctx), 1));
        const ClassRecord* r = class_record(ctx.heap, c);
        if (!r || !symbol) continue;
        if (const Value* v = r->namespace_.get(*symbol)) return std::optional(ClassHit{ctx.heap.clone_value(*v), c});
    }
    return std::optional<ClassHit>();
}

PyResult<bool> py_is_data_descriptor(RuntimeContext& ctx, Value v) {
    if (is_tag(v, DefinitionTag::NativeGetter)) return true;
    const HeapSlot* s = heap_slot(ctx, v);
    if (!s) return false;
    if (s->kind() == HeapObjectKind::Property) return true;
    TRY_ASSIGN(set, descriptor_has(ctx, v, "__set__"));
    if (set) return true;
    return descriptor_has(ctx, v, "__delete__");
}

AttrLookup py_bind_special_method(RuntimeContext& ctx, Value found, std::optional<Value> receiver,
                                  TypeId receiver_type, TypeId owner) {
    (void)owner;
    Heap& heap = ctx.heap;
    if (auto d = definition(found)) {
        switch (d->tag) {
            case DefinitionTag::NativeMethod:
            case DefinitionTag::SlotWrapper: {
                if (!receiver) return Found(found);
                TRY_ASSIGN(b, new_bound_method(heap, ctx.roots, meter_of(ctx), *receiver, found));
                return Found(b);
            }
            case DefinitionTag::NativeClassMethod: {
                Value cls = receiver && py_as_class(ctx, *receiver) ? *receiver : Value();
                if (cls.is_absent()) {
                    TRY_ASSIGN(t, py_type_value(ctx, receiver_type));
                    cls = t;
                }
                TRY_ASSIGN(b, new_bound_method(heap, ctx.roots, meter_of(ctx), cls, found));
                return Found(b);
            }
            case DefinitionTag::NativeGetter: {
                if (!receiver) return Found(found);
                TRY_ASSIGN(v, call_getter(ctx, d->getter, *receiver));
                return Found(v);
            }
            default: return Found(found);
        }
    }
    const HeapSlot* s = heap_slot(ctx, found);
    if (!s) return Found(found);
    switch (s->kind()) {
        case HeapObjectKind::Function: {
            if (!receiver) return Found(found);
            TRY_ASSIGN(cls, py_type_value(ctx, receiver_type));
            TRY_ASSIGN(b, bound_method(ctx, found, *receiver, cls));
            return Found(b);
        }
        case HeapObjectKind::StaticMethod: return Found(heap.clone_value(std::get<StaticMethodPayload>(s->object).callable));
        case HeapObjectKind::ClassMethod: {
            Value fn = std::get<ClassMethodPayload>(s->object).callable;
            Value cls;
            if (receiver && !py_as_class(ctx, *receiver)) {
                TRY_ASSIGN(t, py_type_value(ctx, receiver_type));
                cls = t;
            } else if (receiver) {
                cls = *receiver;
            } else {
                TRY_ASSIGN(t, py_type_value(ctx, receiver_type));
                cls = t;
            }
            TRY_ASSIGN(b, bound_method(ctx, fn, cls, cls));
            return Found(b);
        }
        case HeapObjectKind::Property: {
            if (!receiver) return Found(found);
            Value getter = std::get<PropertyPayload>(s->object).first;
            if (getter.is_absent() || getter.is_none()) {
                TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), *receiver));
                return fail(PyError::exception("AttributeError", fmt::format("property of '{}' object has no getter", tn)));
            }
            Value args[1] = {*receiver};
            TRY_ASSIGN(r, call_value(ctx, getter, args));
            return Found(r);
        }
        default: break;
    }
    // A program-defined descriptor: __get__(receiver or None, class).
    TRY_ASSIGN(cls, program_class_of(ctx, found));
    if (cls) {
        TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, heap.symbols.lookup("__get__")));
        if (hit) {
            TRY_ASSIGN(owner_cls, py_type_value(ctx, receiver_type));
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, found, *cls, hit->owner));
            Value args[2] = {receiver.value_or(Value::none()), owner_cls};
            TRY_ASSIGN(r, call_value(ctx, bound, args));
            return Found(r);
        }
    }
    return Found(found);
}

PyResult<Value> py_descriptor_get(RuntimeContext& ctx, Value found, Value receiver, Value receiver_class,
                                  Value owner_class) {
    auto rt = py_as_class(ctx, receiver_class);
    auto ot = py_as_class(ctx, owner_class);
    if (!rt) return fail(PyError::unsupported("user descriptor has no class receiver"));
    TRY_ASSIGN(r, py_bind_special_method(ctx, found, receiver, *rt, ot.value_or(*rt)));
    if (!r) return found;
    return *r;
}

PyError attribute_error_for(RuntimeContext& ctx, Value obj, std::string_view name) {
    Heap& heap = ctx.heap;
    auto attribute_error = [](std::string text) { return PyError::exception("AttributeError", std::move(text)); };
    auto type_name = [&]() {
        auto n = py_type_name(heap, types_of(ctx), obj);
        return n ? *n : std::string("object");
    };
    if (auto d = definition(obj)) {
        if (d->tag == DefinitionTag::Module)
            return attribute_error(fmt::format("module '{}' has no attribute '{}'", d->module->name, name));
        const bool dunder = name.size() >= 5 && name.starts_with("__") && name.ends_with("__");
        if (dunder) {
            if (d->tag == DefinitionTag::BuiltinType)
                return attribute_error(fmt::format("type object '{}' has no attribute '{}'", builtin_type_name(d->number), name));
            return attribute_error(fmt::format("'{}' object has no attribute '{}'", type_name(), name));
        }
    }
    const HeapSlot* s = heap_slot(ctx, obj);
    if (s) {
        if (const ClassRecord* c = class_record(heap, obj))
            return attribute_error(fmt::format("type object '{}' has no attribute '{}'", c->name, name));
        if (s->kind() == HeapObjectKind::Module)
            return attribute_error(fmt::format("module '{}' has no attribute '{}'", module_name_of(s), name));
        auto rec = types_of(ctx).get(s->type_id);
        if (s->kind() == HeapObjectKind::Object || s->kind() == HeapObjectKind::Exception ||
            (rec && (*rec)->origin == TypeOrigin::Program))
            return attribute_error(fmt::format("'{}' object has no attribute '{}'", type_name(), name));
    } else if (!obj.is_native()) {
        const bool dunder = name.size() >= 5 && name.starts_with("__") && name.ends_with("__");
        if (dunder) return attribute_error(fmt::format("'{}' object has no attribute '{}'", type_name(), name));
    }
    return PyError::unsupported(fmt::format("attribute {} is not implemented", name));
}

AttrLookup py_getattr_by_name(RuntimeContext& ctx, Value obj, std::string_view name) {
    return py_getattr(ctx, obj, ctx.heap.symbols.lookup(name), name);
}

AttrLookup py_getattr(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, std::string_view name) {
    Heap& heap = ctx.heap;
    AttrLookup primary = Found();
    bool hooked = false;
    if (const HeapSlot* s = heap_slot(ctx, obj)) {
        TRY_ASSIGN(cls, program_class_of(ctx, obj));
        if (cls || s->kind() == HeapObjectKind::Class) {
            TRY_ASSIGN(entry, types_of(ctx).slot(s->type_id, DunderSlot::GetAttribute));
            if (entry && entry->kind == SlotKind::Callable) {
                hooked = true;
                TRY_ASSIGN(key, make_str(ctx, std::string(name)));
                primary = invoke_slot_wrapper(ctx, obj, DunderSlot::GetAttribute, "__getattribute__", {key});
            }
        }
    }
    if (!hooked) primary = py_generic_getattr(ctx, obj, symbol, name);
    if (primary && *primary) return primary;
    if (primary) return py_getattr_hook(ctx, obj, name);
    if (!is_attribute_error(ctx, primary.error())) return primary;
    // An AttributeError of the primary lookup gives `__getattr__` its chance.
    TRY_ASSIGN(type, py_type_id_of(heap, types_of(ctx), obj));
    TRY_ASSIGN(hook, py_type_lookup(ctx, type, heap.symbols.lookup("__getattr__")));
    if (!hook) return primary;
    if (primary.error().is_raised_marker()) ctx.exec.pending_exception.reset();
    return py_getattr_hook(ctx, obj, name);
}

AttrLookup py_getattr_hook(RuntimeContext& ctx, Value obj, std::string_view name) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(type, py_type_id_of(heap, types_of(ctx), obj));
    TRY_ASSIGN(hook, py_type_lookup(ctx, type, heap.symbols.lookup("__getattr__")));
    if (!hook) return Found();
    // The builtin `object` type has no __getattr__; only program classes reach here.
    TRY_ASSIGN(bound, py_bind_special_method(ctx, hook->value, obj, type, hook->owner));
    if (!bound) return fail(PyError::unsupported("__getattr__ descriptor has no value"));
    TRY_ASSIGN(key, make_str(ctx, std::string(name)));
    Value args[1] = {key};
    TRY_ASSIGN(r, call_value(ctx, *bound, args));
    return Found(r);
}

AttrLookup py_generic_getattr(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, std::string_view name) {
    Heap& heap = ctx.heap;
    TypeRegistry& types = types_of(ctx);
    // 1. Data descriptors of the metaclass answer a class's own attributes first.
    if (auto as_class = py_as_class(ctx, obj)) {
        TRY_ASSIGN(meta, py_type_id_of(heap, types, obj));
        TRY_ASSIGN(hit, py_type_lookup(ctx, meta, symbol));
        if (hit) {
            TRY_ASSIGN(data, py_is_data_descriptor(ctx, hit->value));
            if (data) return py_bind_special_method(ctx, hit->value, obj, meta, hit->owner);
        }
    }
    auto d = definition(obj);
    // 2. Native modules: function rows, then constants.
    if (d && d->tag == DefinitionTag::Module) {
        for (const NativeFunction& f : d->module->functions)
            if (f.name == name) return Found(intern_static_definition(StaticDefinition::of_native_function(&f)));
        for (const NativeConstant& c : d->module->constants)
            if (c.name == name) {
                EngineRuntime rt(ctx);
                TRY_ASSIGN(v, native_constant_to_value(*ctx.interpreter, meter_of(ctx), &rt, c));
                return Found(v);
            }
    }
    // 3. Builtin class handles.
    if (d && (d->tag == DefinitionTag::BuiltinType || d->tag == DefinitionTag::ValueKind ||
              d->tag == DefinitionTag::ExceptionType)) {
        auto id = py_as_class(ctx, obj);
        if (!id) {
            if (d->tag == DefinitionTag::ExceptionType) return fail(PyError::unsupported("exception type is not registered"));
            return fail(PyError::unsupported("value kind is not registered"));
        }
        TRY_ASSIGN(hit, py_type_lookup(ctx, *id, symbol));
        if (hit) {
            if (d->tag == DefinitionTag::BuiltinType) {
                auto hd = definition(hit->value);
                const bool class_method = hd && hd->tag == DefinitionTag::NativeClassMethod;
                const bool class_getitem = hd && hd->tag == DefinitionTag::SlotWrapper &&
                                           hd->number == std::uint32_t(DunderSlot::ClassGetItem);
                if (class_method || class_getitem) {
                    TRY_ASSIGN(b, new_bound_method(heap, ctx.roots, meter_of(ctx), obj, hit->value));
                    return Found(b);
                }
            }
            return Found(hit->value);
        }
    }
    return instance_lookup(ctx, obj, symbol, name);
}

PyError reject_builtin_attribute_store(RuntimeContext& ctx, Value obj, std::string_view name) {
    Heap& heap = ctx.heap;
    auto tn = py_type_name(heap, types_of(ctx), obj);
    const std::string type_name = tn ? *tn : std::string("object");
    auto attribute_error = [](std::string text) { return PyError::exception("AttributeError", std::move(text)); };
    std::optional<TypeHit> hit;
    if (auto t = py_type_id_of(heap, types_of(ctx), obj))
        if (auto h = py_type_lookup(ctx, *t, heap.symbols.lookup(name))) hit = *h;
    if (hit) {
        if (auto d = definition(hit->value); d && d->tag == DefinitionTag::NativeGetter)
            return attribute_error(fmt::format("attribute '{}' of '{}' objects is not writable", d->getter->name, d->getter->owner));
        return attribute_error(fmt::format("'{}' object attribute '{}' is read-only", type_name, name));
    }
    if (auto full = py_getattr_by_name(ctx, obj, name); full && *full)
        return attribute_error(fmt::format("'{}' object attribute '{}' is read-only", type_name, name));
    else if (!full && full.error().is_raised_marker())
        ctx.exec.pending_exception.reset();
    return attribute_error(fmt::format("'{}' object has no attribute '{}' and no __dict__ for setting new attributes",
                                       type_name, name));
}

PyStatus py_set_class_attr(RuntimeContext& ctx, Value cls, Symbol symbol, std::string_view name,
                           std::optional<Value> value) {
    if (name == "__dict__" || name == "__name__" || name == "__bases__" || name == "__mro__")
        return fail(PyError::unsupported(fmt::format("assigning or deleting a class's {} is not supported", name)));
    const ClassRecord* rec = class_record(ctx.heap, cls);
    if (!rec) return fail(PyError::unsupported("class attribute store on a non-class"));
    const TypeId id = rec->type_id;
    if (value) {
        if (!rec->namespace_.get(symbol))
            TRY_DO(ctx.heap.update_object_size(cls, kClassEntryBytes, ctx.roots, meter_of(ctx)));
        TRY_ASSIGN(mut, ctx.heap.slot_mut(cls));
        std::get<ClassPayload>(mut->object).record->namespace_.insert(symbol, *value);
    } else {
        if (!rec->namespace_.get(symbol)) return fail(attribute_error_for(ctx, cls, name));
        TRY_ASSIGN(mut, ctx.heap.slot_mut(cls));
        std::get<ClassPayload>(mut->object).record->namespace_.remove(symbol);
    }
    return refresh_slots(ctx, id);
}

PyStatus py_setattr(RuntimeContext& ctx, Value obj, Symbol symbol, std::string_view name, Value value) {
    Heap& heap = ctx.heap;
    const HeapSlot* s = heap_slot(ctx, obj);
    if (obj.is_object() && !s) return fail(PyError::unsupported(Heap::stale_reference_message()));
    const bool exception = is_exception_instance(ctx, obj);
    if (s && name == "args" && exception) return store_exception_args(ctx, obj, value);
    if (is_kind(s, HeapObjectKind::Module))
        return scope_store(ctx, std::get<ModulePayload>(s->object).namespace_, symbol, value);
    TRY_ASSIGN(cls, program_class_of(ctx, obj));
    if (cls) {
        if (name == "__dict__") return replace_dict(ctx, obj, value);
        auto tid = py_as_class(ctx, *cls);
        if (!tid) return fail(PyError::unsupported("instance has no registered class"));
        TRY_ASSIGN(hit, py_type_lookup(ctx, *tid, symbol));
        if (hit) {
            const HeapSlot* hs = heap_slot(ctx, hit->value);
            if (is_kind(hs, HeapObjectKind::Property)) {
                Value setter = std::get<PropertyPayload>(hs->object).second;
                if (setter.is_absent() || setter.is_none()) {
                    TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), obj));
                    return fail(PyError::exception("AttributeError",
                                                   fmt::format("property '{}' of '{}' object has no setter", name, tn)));
                }
                Value args[2] = {obj, value};
                TRY_DO(call_value(ctx, setter, args));
                return {};
            }
            Value args[2] = {obj, value};
            TRY_ASSIGN(called, call_descriptor_method(ctx, hit->value, "__set__", args));
            if (called) return {};
            if (auto d = definition(hit->value); d && d->tag == DefinitionTag::NativeGetter) {
                const bool plain = exception && (name == "args" || name == "errno" || name == "strerror" ||
                                                 name == "filename" || name == "filename2");
                if (!plain) {
                    TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), obj));
                    return fail(PyError::exception("AttributeError",
                                                   fmt::format("attribute '{}' of '{}' objects is not writable", name, tn)));
                }
            }
        }
        return instance_store_attr(store_context(ctx), obj, symbol, value);
    }
    if (is_kind(s, HeapObjectKind::Function)) return store_function_attr(ctx, obj, symbol, name, value);
    if (is_kind(s, HeapObjectKind::Class)) return py_set_class_attr(ctx, obj, symbol, name, value);
    if (exception) return instance_store_attr(store_context(ctx), obj, symbol, value);
    return fail(reject_builtin_attribute_store(ctx, obj, name));
}

PyStatus py_delattr(RuntimeContext& ctx, Value obj, Symbol symbol, std::string_view name) {
    Heap& heap = ctx.heap;
    const HeapSlot* s = heap_slot(ctx, obj);
    if (!s) {
        if (obj.is_object()) return fail(PyError::unsupported(Heap::stale_reference_message()));
        return fail(reject_builtin_attribute_store(ctx, obj, name));
    }
    if (s->kind() == HeapObjectKind::Module) {
        if (name == "__dict__" || name == "__class__") return fail(reject_builtin_attribute_store(ctx, obj, name));
        const Value ns = std::get<ModulePayload>(s->object).namespace_;
        TRY_ASSIGN(present, namespace_lookup(ctx, ns, symbol));
        if (!present) return fail(attribute_error_for(ctx, obj, name));
        return scope_store(ctx, ns, symbol, std::nullopt);
    }
    TRY_ASSIGN(cls, program_class_of(ctx, obj));
    if (cls) {
        auto tid = py_as_class(ctx, *cls);
        if (!tid) return fail(PyError::unsupported("instance has no registered class"));
        TRY_ASSIGN(hit, py_type_lookup(ctx, *tid, symbol));
        if (hit) {
            if (is_kind(heap_slot(ctx, hit->value), HeapObjectKind::Property)) {
                TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), obj));
                return fail(PyError::exception("AttributeError",
                                               fmt::format("property '{}' of '{}' object has no deleter", name, tn)));
            }
            Value args[1] = {obj};
            TRY_ASSIGN(called, call_descriptor_method(ctx, hit->value, "__delete__", args));
            if (called) return {};
            if (is_tag(hit->value, DefinitionTag::NativeGetter)) {
                TRY_ASSIGN(tn, py_type_name(heap, types_of(ctx), obj));
                return fail(PyError::exception("AttributeError",
                                               fmt::format("attribute '{}' of '{}' objects is not deletable", name, tn)));
            }
        }
        TRY_ASSIGN(removed, instance_remove_attr(store_context(ctx), obj, symbol));
        if (!removed) return fail(attribute_error_for(ctx, obj, name));
        return {};
    }
    if (is_exception_instance(ctx, obj)) {
        TRY_ASSIGN(removed, instance_remove_attr(store_context(ctx), obj, symbol));
        if (!removed) return fail(attribute_error_for(ctx, obj, name));
        return {};
    }
    if (s->kind() == HeapObjectKind::Function) return store_function_attr(ctx, obj, symbol, name, std::nullopt);
    if (s->kind() == HeapObjectKind::Class) return py_set_class_attr(ctx, obj, symbol, name, std::nullopt);
    return fail(reject_builtin_attribute_store(ctx, obj, name));
}

}  // namespace tw::py
