// Class creation: the class statement, `type(name, bases, namespace)`, the class object with its
// type record, and the native rows of object and type that class creation and instantiation
// reach (`object.__new__`, `object.__init__`, `object.__init_subclass__`, `type.__new__`,
// `type.__call__`, the `__dict__` getters).
#include "python/vm/classes.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"
#include "python/objects/mro.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/namespace.h"
#include "python/vm/native_runtime.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

constexpr std::uint64_t kClassEntryBytes = 48;

Value builtin_type_value(BuiltinType t) { return intern_static_definition(StaticDefinition::of_builtin_type(type_id(t))); }

Symbol intern(RuntimeContext& ctx, std::string_view text) { return ctx.heap.symbols.intern_static(text); }

// The builtin types whose instances carry a payload that a subclass keeps.
bool is_payload_type(TypeId t) {
    switch (BuiltinType(t)) {
        case BuiltinType::Int: case BuiltinType::Float: case BuiltinType::String: case BuiltinType::Bytes:
        case BuiltinType::ByteArray: case BuiltinType::List: case BuiltinType::Tuple: case BuiltinType::Dict:
        case BuiltinType::Set: case BuiltinType::FrozenSet: case BuiltinType::Module: case BuiltinType::Complex:
            return true;
        default: return false;
    }
}

// What a base of a class statement is.
enum class BaseKind { UserClass, Object, Type, Payload, Enum, TestCase, Exception, OtherBuiltin, NotClass };

struct BaseInfo {
    BaseKind kind = BaseKind::NotClass;
    TypeId builtin = 0;       // Payload, OtherBuiltin
    std::string_view name;    // Exception: the class name
};

BaseInfo classify_base(const Heap& heap, Value b) {
    if (class_record_of(heap, b)) return {BaseKind::UserClass};
    auto d = decode_native_handle(b);
    if (!d) return {};
    if (d->tag == DefinitionTag::ExceptionType) return {BaseKind::Exception, 0, d->name};
    if (d->tag != DefinitionTag::BuiltinType) return {};
    switch (BuiltinType(d->number)) {
        case BuiltinType::Object: return {BaseKind::Object};
        case BuiltinType::Type: return {BaseKind::Type};
        case BuiltinType::Enum: return {BaseKind::Enum};
        case BuiltinType::TestCase: return {BaseKind::TestCase};
        case BuiltinType::Exception: return {BaseKind::Exception, 0, "BaseException"};
        default: break;
    }
    if (is_payload_type(d->number)) return {BaseKind::Payload, d->number};
    return {BaseKind::OtherBuiltin, d->number};
}

// The name of the builtin exception class a class derives from, through its bases.
std::string exception_base_of(const Heap& heap, std::span<const Value> bases) {
    for (const Value& b : bases) {
        BaseInfo info = classify_base(heap, b);
        if (info.kind == BaseKind::Exception) return std::string(info.name);
        if (const ClassRecord* r = class_record_of(heap, b); r && !r->exception_base.empty()) return r->exception_base;
    }
    return {};
}

bool has_enum_base(const Heap& heap, std::span<const Value> bases, const std::vector<Value>& class_mro) {
    auto direct = [&](const Value& b) { return classify_base(heap, b).kind == BaseKind::Enum; };
    if (std::any_of(bases.begin(), bases.end(), direct)) return true;
    for (const Value& c : class_mro)
        if (const ClassRecord* r = class_record_of(heap, c))
            if (std::any_of(r->bases.begin(), r->bases.end(), direct)) return true;
    return false;
}

// The instance layout of a new class from its bases (the layout rules of the class statement).
PyResult<std::uint32_t> layout_from_bases(RuntimeContext& ctx, std::span<const Value> bases) {
    const Heap& heap = ctx.heap;
    std::optional<std::uint32_t> payload;
    bool type_base = false, enum_base = false, testcase_base = false;
    std::size_t metaclass_bases = 0;
    for (const Value& b : bases) {
        BaseInfo info = classify_base(heap, b);
        std::optional<std::uint32_t> own;
        if (info.kind == BaseKind::Payload) own = info.builtin;
        if (info.kind == BaseKind::Type) type_base = true;
        if (info.kind == BaseKind::Enum) enum_base = true;
        if (info.kind == BaseKind::TestCase) testcase_base = true;
        if (const ClassRecord* r = class_record_of(heap, b)) {
            if (r->layout < kObjectLayout) own = r->layout;
            if (r->layout == kClassLayout) ++metaclass_bases;
        }
        if (own) {
            if (payload && *payload != *own)
                return fail(PyError::type_error("multiple bases have instance lay-out conflict"));
            payload = own;
        }
    }
    if (!exception_base_of(heap, bases).empty() && (enum_base || type_base || testcase_base || payload))
        return fail(PyError::unsupported("exception classes cannot use another instance layout"));
    for (const Value& b : bases) {
        BaseKind k = classify_base(heap, b).kind;
        if (k == BaseKind::Object && bases.size() > 1)
            return fail(PyError::unsupported("object cannot be combined with another direct base in this slice"));
        if (k == BaseKind::Type && bases.size() > 1)
            return fail(PyError::unsupported("type cannot be combined with another direct base in this slice"));
    }
    if (metaclass_bases > 1 || ((metaclass_bases || type_base) && payload))
        return fail(PyError::unsupported("multiple bases have incompatible instance layouts"));
    if (payload) return *payload;
    if (type_base || metaclass_bases) return kClassLayout;
    return kObjectLayout;
}

// The metaclass of a new class: the explicit one or `type`, made to agree with the bases'.
PyResult<Value> choose_metaclass(RuntimeContext& ctx, std::span<const Value> bases, Value explicit_meta) {
    TypeRegistry& types = interp(ctx).types;
    const bool given = explicit_meta.is_present();
    Value winner = given ? explicit_meta : builtin_type_value(BuiltinType::Type);
    for (const Value& b : bases) {
        const ClassRecord* r = class_record_of(ctx.heap, b);
        if (!r) continue;
        auto cid = py_as_class(ctx, winner);
        if (!cid) return fail(PyError::unsupported("metaclass must be a type"));
        auto bid = py_as_class(ctx, r->metaclass);
        if (!bid) return fail(PyError::unsupported("base class has an invalid metaclass"));
        TRY_ASSIGN(keeps, types.is_subtype(*cid, *bid));
        if (keeps) continue;
        TRY_ASSIGN(narrower, types.is_subtype(*bid, *cid));
        if (given || !narrower) return fail(PyError::unsupported("metaclass conflict between bases or explicit metaclass"));
        winner = r->metaclass;
    }
    auto wid = py_as_class(ctx, winner);
    if (!wid) return fail(PyError::unsupported("metaclass must be a type"));
    const ClassRecord* wr = class_record_of(ctx.heap, winner);
    if (*wid != type_id(BuiltinType::Type) && !(wr && wr->layout == kClassLayout))
        return fail(PyError::unsupported("metaclass must derive from type"));
    return winner;
}

// The value bound to `__name__` in the globals of the innermost frame.
PyResult<std::optional<Value>> current_module_name(RuntimeContext& ctx) {
    if (ctx.exec.frames.empty()) return std::optional<Value>();
    return scope_get_symbol(ctx.heap, ctx.exec.frames.back().globals, intern(ctx, "__name__"));
}

// Calls `callable` and gives its result; an exit request passes up as an Exit error.
PyResult<Value> call_with(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                          std::span<const KeywordArgument> keywords = {}) {
    return call_value(ctx, callable, positional, keywords);
}

PyResult<Value> tuple_of(RuntimeContext& ctx, std::vector<Value> items) {
    return ctx.heap.allocate_object(TuplePayload{std::move(items)}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> dict_of_entries(RuntimeContext& ctx, const std::vector<NamespaceEntry>& entries) {
    std::vector<std::pair<Value, Value>> pairs;
    for (const NamespaceEntry& e : entries) {
        TRY_ASSIGN(key, make_str(ctx, std::string(ctx.heap.symbols.name_of(e.symbol))));
        pairs.emplace_back(key, e.value);
    }
    return new_dict(ctx, pairs);
}

// Namespace entries from a dict with str keys.
PyResult<Namespace> namespace_from_dict(RuntimeContext& ctx, Value dict, std::string_view key_error, bool type_error) {
    const HeapSlot* s = ctx.heap.get_if_object(dict);
    std::vector<std::pair<Value, Value>> items;
    if (const DictTable* t = s ? dict_table_of(const_cast<HeapObject&>(s->object)) : nullptr)
        t->for_each_live([&](const DictSlot& e) { items.emplace_back(e.key, e.value); });
    TRY_DO(python_charge_work(ctx.machine.meter, items.size()));
    Namespace ns;
    for (const auto& [k, v] : items) {
        TRY_ASSIGN(text, value_to_owned_string(ctx.heap, k));
        if (!text) return fail(type_error ? PyError::type_error(std::string(key_error)) : PyError::unsupported(std::string(key_error)));
        TRY_ASSIGN(sym, ctx.heap.symbols.intern(*text, ctx.machine.meter));
        ns.insert(sym, v);
    }
    return ns;
}

// Runs `__init_subclass__` of the first base for a new class.
PyStatus run_init_subclass(RuntimeContext& ctx, Value cls, std::span<const Value> bases) {
    if (bases.empty()) return {};
    auto first = py_as_class(ctx, bases[0]);
    if (!first) return {};
    TRY_ASSIGN(hit, py_type_lookup(ctx, *first, intern(ctx, "__init_subclass__")));
    if (!hit) return {};
    auto id = py_as_class(ctx, cls);
    if (!id) return fail(PyError::unsupported("class has no registered type"));
    TRY_ASSIGN(bound, py_bind_special_method(ctx, hit->value, cls, *id, hit->owner));
    if (!bound) return fail(PyError::unsupported("__init_subclass__ descriptor has no value"));
    TRY_DO(call_with(ctx, *bound, {}));
    return {};
}

// Calls a user metaclass's `__init__` on a new class with (name, bases, namespace).
PyStatus run_metaclass_init(RuntimeContext& ctx, Value metaclass, Value cls, std::span<const Value> args) {
    TRY_ASSIGN(hit, py_mro_lookup(ctx, metaclass, intern(ctx, "__init__")));
    if (!hit) return {};
    TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, cls, metaclass, hit->owner));
    TRY_ASSIGN(r, call_with(ctx, bound, args));
    if (!r.is_none()) return fail(PyError::unsupported("metaclass __init__() should return None"));
    return {};
}

// ---- the __dict__ getter and the rows of object and type ------------------------------------

PyResult<Value> dict_getter(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(view, namespace_view(rt.context(), self));
    if (!view) return fail(PyError::exception("AttributeError", "this object has no __dict__"));
    return *view;
}
const NativeProperty kDictProperty{"object", "__dict__", dict_getter};

PyResult<Value> class_getter(NativeRuntime& rt, Value self) { return type_of(rt.context(), self); }
const NativeProperty kObjectProperties[] = {{"object", "__class__", class_getter}};

PyResult<Value> object_new_row(NativeRuntime& rt, Value cls, NativeCall call) {
    return object_new(rt.context(), cls, !call.positional.empty() || !call.keywords.empty());
}

PyResult<Value> object_init_row(NativeRuntime& rt, Value self, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    // An exception instance keeps its arguments (BaseException.__init__ reached through super()).
    if (const HeapSlot* s = ctx.heap.get_if_object(self); s && s->kind() == HeapObjectKind::Exception) {
        if (!call.keywords.empty()) {
            TRY_ASSIGN(tn, type_name(ctx, self));
            return fail(PyError::type_error(fmt::format("{}() takes no keyword arguments", tn)));
        }
        TRY_ASSIGN(m, ctx.heap.slot_mut(self));
        std::get<ExceptionPayload>(m->object).args = std::move(call.positional);
        return Value::none();
    }
    if (!call.positional.empty() || !call.keywords.empty())
        return fail(PyError::type_error("object.__init__() takes exactly one argument (the instance to initialize)"));
    return Value::none();
}

PyResult<Value> object_init_subclass_row(NativeRuntime&, Value, NativeCall call) {
    if (!call.keywords.empty())
        return fail(PyError::type_error("object.__init_subclass__() does not accept keyword arguments"));
    if (!call.positional.empty())
        return fail(PyError::type_error(fmt::format("object.__init_subclass__() expected 0..=0 positional arguments, got {}",
                                                    call.positional.size())));
    return Value::none();
}

PyResult<Value> type_new_row(NativeRuntime& rt, Value metaclass, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    if (!call.keywords.empty()) return fail(PyError::type_error("type.__new__() does not accept keyword arguments"));
    if (call.positional.size() != 3)
        return fail(PyError::type_error(
            fmt::format("type.__new__() expected 3..=3 positional arguments, got {}", call.positional.size())));
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, call.positional[0]));
    if (!text) {
        TRY_ASSIGN(tn, type_name(ctx, call.positional[0]));
        return fail(PyError::type_error(fmt::format("expected a string, got {}", tn)));
    }
    return type_new_class(ctx, metaclass, call.positional[0], call.positional[1], call.positional[2]);
}

PyResult<Value> type_call_row(NativeRuntime& rt, Value cls, NativeCall call) { return type_call(rt.context(), cls, std::move(call)); }

// `T.__new__(cls, *args)` of a builtin type T whose instances carry a payload.
PyResult<Value> builtin_type_new(RuntimeContext& ctx, TypeId t, Value cls, NativeCall call) {
    Heap& heap = ctx.heap;
    const std::string_view name = builtin_type_name(t);
    auto not_subtype = [&](std::string_view other) {
        return fail(PyError::type_error(fmt::format("{0}.__new__({1}): {1} is not a subtype of {0}", name, other)));
    };
    if (auto d = decode_native_handle(cls)) {
        if (d->tag == DefinitionTag::BuiltinType) {
            if (d->number == t) return py_call_builtin_type(ctx, t, std::move(call));
            return not_subtype(builtin_type_name(d->number));
        }
        if (d->tag == DefinitionTag::ExceptionType) return not_subtype(d->name);
    }
    const ClassRecord* r = class_record_of(heap, cls);
    if (!r) {
        TRY_ASSIGN(tn, type_name(ctx, cls));
        return fail(PyError::type_error(fmt::format("{}.__new__(X): X is not a type object ({})", name, tn)));
    }
    if (type_layouts_differ(r->layout, t)) return not_subtype(r->name);
    auto id = py_as_class(ctx, cls);
    if (!id) return fail(PyError::unsupported("builtin subclass has no registered type"));
    TRY_ASSIGN(value, py_call_builtin_type(ctx, t, std::move(call)));
    heap.push_root(value);
    TRY_ASSIGN(payload, builtin_subclass_payload_of(heap, value));
    return heap.insert_object(*id, std::move(payload), ctx.roots, ctx.machine.meter);
}

template <BuiltinType T>
PyResult<Value> builtin_new_row(NativeRuntime& rt, Value cls, NativeCall call) {
    return builtin_type_new(rt.context(), type_id(T), cls, std::move(call));
}

template <BuiltinType T>
constexpr NativeFunction kBuiltinNew[] = {{"builtin", "__new__", nullptr, builtin_new_row<T>}};

template <BuiltinType T>
void attach_builtin_new(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(T), NativeClass{builtin_type_name(type_id(T)), kBuiltinNew<T>, {}});
}

// object.__setattr__(name, value) and object.__delattr__(name): the generic store and
// deletion, whatever the class defines.
PyResult<Value> generic_attribute_row(NativeRuntime& rt, Value self, NativeCall call, bool store) {
    RuntimeContext& ctx = rt.context();
    const std::string_view row = store ? "object.__setattr__" : "object.__delattr__";
    if (!call.keywords.empty()) return fail(PyError::type_error(fmt::format("{}() does not accept keyword arguments", row)));
    const std::size_t want = store ? 2 : 1;
    if (call.positional.size() != want)
        return fail(PyError::type_error(fmt::format("expected {} argument{}, got {}", want, store ? "s" : "",
                                                    call.positional.size())));
    TRY_ASSIGN(name, value_to_owned_string(ctx.heap, call.positional[0]));
    if (!name) {
        TRY_ASSIGN(tn, type_name(ctx, call.positional[0]));
        return fail(PyError::type_error(fmt::format("attribute name must be string, not '{}'", tn)));
    }
    TRY_ASSIGN(sym, ctx.heap.symbols.intern(*name, ctx.machine.meter));
    const bool is_class = class_record_of(ctx.heap, self) != nullptr;
    if (store) {
        TRY_DO(py_setattr(ctx, self, sym, *name, call.positional[1]));
    } else {
        TRY_DO(py_delattr(ctx, self, sym, *name));
    }
    if (is_class) invalidate_attribute_caches(ctx);
    return Value::none();
}
PyResult<Value> object_setattr_row(NativeRuntime& rt, Value self, NativeCall call) {
    return generic_attribute_row(rt, self, std::move(call), true);
}
PyResult<Value> object_delattr_row(NativeRuntime& rt, Value self, NativeCall call) {
    return generic_attribute_row(rt, self, std::move(call), false);
}

const NativeFunction kObjectRows[] = {
    {"object", "__setattr__", nullptr, object_setattr_row},
    {"object", "__delattr__", nullptr, object_delattr_row},
    {"object", "__new__", nullptr, object_new_row},
    {"object", "__init__", nullptr, object_init_row},
    {"object", "__init_subclass__", nullptr, object_init_subclass_row},
};
const NativeFunction kTypeRows[] = {
    {"type", "__new__", nullptr, type_new_row},
    {"type", "__call__", nullptr, type_call_row},
};
const NativeProperty kDictProperties[] = {kDictProperty};

}  // namespace

bool type_layouts_equal(std::uint32_t a, std::uint32_t b) {
    auto kind = [](std::uint32_t v) { return v < kObjectLayout ? -1 : std::int64_t(v) - kObjectLayout; };
    if (kind(a) != kind(b)) return false;
    return kind(a) != -1 || a == b;
}

void attach_class_rows(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::Object), NativeClass{"object", kObjectRows, kObjectProperties});
    registry.attach_native_class(symbols, type_id(BuiltinType::Type), NativeClass{"type", kTypeRows, kDictProperties});
    attach_builtin_new<BuiltinType::Int>(registry, symbols);
    attach_builtin_new<BuiltinType::Float>(registry, symbols);
    attach_builtin_new<BuiltinType::String>(registry, symbols);
    attach_builtin_new<BuiltinType::Bytes>(registry, symbols);
    attach_builtin_new<BuiltinType::ByteArray>(registry, symbols);
    attach_builtin_new<BuiltinType::List>(registry, symbols);
    attach_builtin_new<BuiltinType::Tuple>(registry, symbols);
    attach_builtin_new<BuiltinType::Dict>(registry, symbols);
    attach_builtin_new<BuiltinType::Set>(registry, symbols);
    attach_builtin_new<BuiltinType::FrozenSet>(registry, symbols);
    attach_builtin_new<BuiltinType::Complex>(registry, symbols);
    for (BuiltinType t : {BuiltinType::Module, BuiltinType::Exception})
        registry.attach_native_class(symbols, type_id(t), NativeClass{"object", {}, kDictProperties});
}

PyResult<std::optional<Value>> namespace_view(RuntimeContext& ctx, Value obj) {
    EngineRuntime rt(ctx);
    return rt.attribute_dict(obj);
}

PyResult<std::vector<Value>> py_check_class_bases(RuntimeContext& ctx, std::span<const Value> bases) {
    std::vector<Value> out;
    for (const Value& b : bases) {
        BaseInfo info = classify_base(ctx.heap, b);
        switch (info.kind) {
            case BaseKind::UserClass: out.push_back(b); break;
            case BaseKind::OtherBuiltin:
                return fail(PyError::type_error(
                    fmt::format("subclassing the builtin type '{}' is not supported", builtin_type_name(info.builtin))));
            case BaseKind::NotClass: return fail(PyError::type_error("class bases must be classes"));
            default: break;
        }
    }
    return out;
}

PyResult<Value> py_build_class(RuntimeContext& ctx, ClassSpec spec) {
    Heap& heap = ctx.heap;
    Interpreter& in = interp(ctx);
    TypeRegistry& types = in.types;
    ResourceMeter& meter = ctx.machine.meter;
    for (const Value& b : spec.bases) heap.push_root(b);
    heap.push_root(spec.metaclass);
    // __dict__, __module__ and __hash__.
    TRY_ASSIGN(dict_sym, heap.symbols.intern("__dict__", meter));
    if (spec.class_mro.empty() && spec.layout != kClassLayout && !spec.ns.get(dict_sym))
        spec.ns.insert(dict_sym, intern_static_definition(StaticDefinition::of_getter(&kDictProperty)));
    TRY_ASSIGN(module_sym, heap.symbols.intern("__module__", meter));
    if (!spec.ns.get(module_sym)) {
        TRY_ASSIGN(m, current_module_name(ctx));
        if (m) spec.ns.insert(module_sym, *m);
    }
    TRY_ASSIGN(eq_sym, heap.symbols.intern("__eq__", meter));
    TRY_ASSIGN(hash_sym, heap.symbols.intern("__hash__", meter));
    if (spec.ns.get(eq_sym) && !spec.ns.get(hash_sym)) spec.ns.insert(hash_sym, Value::none());
    // The type MRO, charged once before the merge.
    std::vector<TypeId> base_ids;
    for (const Value& b : spec.bases)
        if (auto id = py_as_class(ctx, b)) base_ids.push_back(*id);
    if (base_ids.empty()) base_ids.push_back(type_id(BuiltinType::Object));
    std::uint64_t work = 0;
    for (TypeId id : base_ids) {
        TRY_ASSIGN(rec, types.get(id));
        std::uint64_t n;
        if (__builtin_add_overflow(work, 1 + rec->mro.size(), &n)) return fail(PyError::unsupported("class MRO is too large"));
        work = n;
    }
    TRY_DO(python_charge_work(meter, sat_mul(work, std::uint64_t(base_ids.size()))));
    TRY_ASSIGN(type_mro, type_mro_from_bases(types, base_ids));
    if (!py_as_class(ctx, spec.metaclass)) return fail(PyError::unsupported("metaclass must be a type"));
    // The class object.
    auto rec = Box<ClassRecord>::make();
    rec->name = spec.name;
    rec->bases = spec.bases;
    rec->mro = spec.class_mro;
    rec->namespace_ = spec.ns;
    for (auto& [field, value] : spec.fields) {
        rec->field_names.push_back(field);
        rec->slot_values.push_back(value);
    }
    rec->metaclass = spec.metaclass;
    rec->layout = spec.layout;
    rec->exception_base = spec.exception_base;
    TRY_ASSIGN(cls, heap.allocate_object(ClassPayload{std::move(rec)}, ctx.roots, meter));
    // The type record.
    if (types.size() >= 0xFFFFFFFFull) return fail(PyError::unsupported("too many Python types"));
    const TypeId id = TypeId(types.size());
    TypeRecord type;
    type.name = spec.name;
    type.bases = base_ids;
    type.mro = type_mro;
    type.origin = TypeOrigin::Program;
    const auto& dunders = types.dunder_symbols();
    for (std::size_t i = 0; i < kDunderSlotCount; ++i)
        if (const Value* v = spec.ns.get(dunders[i])) {
            SlotEntry e;
            e.kind = SlotKind::Callable;
            e.owner = id;
            e.value = *v;
            // A slot wrapper of another type (enum.Enum's __repr__ on an int-based enumeration)
            // brings that type's slot function.
            if (auto d = decode_native_handle(*v); d && d->tag == DefinitionTag::SlotWrapper && d->number == i)
                if (auto owner_slot = types.slot(d->owner, DunderSlot(i)); owner_slot && *owner_slot) e = **owner_slot;
            type.declared[i] = e;
            type.resolved[i] = e;
        }
    types.append(std::move(type));
    types.resolve_from_mro(id);
    {
        TRY_ASSIGN(m, heap.slot_mut(cls));
        std::get<ClassPayload>(m->object).record->type_id = id;
    }
    TypeRecord* t = types.get_mut(id);
    if (t->class_value.is_present()) return fail(PyError::unsupported("type construction finished more than once"));
    t->class_value = cls;
    // Enumeration members.
    for (const auto& [symbol, value] : spec.members) {
        if (value.is_absent()) break;
        HeapObject payload = ObjectPayload{};
        if (spec.layout < kObjectLayout) {
            TRY_ASSIGN(p, builtin_subclass_payload_of(heap, value));
            payload = std::move(p);
        }
        TRY_ASSIGN(member, heap.insert_object(id, std::move(payload), ctx.roots, meter));
        TRY_ASSIGN(name_text, make_str(ctx, std::string(heap.symbols.name_of(symbol))));
        StoreContext sc{heap, ctx.roots, meter};
        TRY_DO(instance_store_attr(sc, member, intern(ctx, "_name_"), name_text));
        TRY_DO(instance_store_attr(sc, member, intern(ctx, "_value_"), value));
        TRY_DO(heap.update_object_size(cls, kValueSlotBytes, ctx.roots, meter));
        TRY_ASSIGN(m, heap.slot_mut(cls));
        ClassRecord& r = *std::get<ClassPayload>(m->object).record;
        r.namespace_.insert(symbol, member);
        r.values.push_back(member);
    }
    // The defining class of the namespace's functions, also of those a static or class method
    // wraps (zero-argument super() and __class__ inside them need it).
    std::vector<NamespaceEntry> entries = spec.ns.entries();
    for (const NamespaceEntry& e : entries) {
        Value fn = e.value;
        if (const HeapSlot* w = heap.get_if_object(fn)) {
            if (auto* sm = std::get_if<StaticMethodPayload>(&w->object)) fn = sm->callable;
            if (auto* cm = std::get_if<ClassMethodPayload>(&w->object)) fn = cm->callable;
        }
        const HeapSlot* f = heap.get_if_object(fn);
        if (!f || f->kind() != HeapObjectKind::Function) continue;
        TRY_ASSIGN(m, heap.slot_mut(fn));
        std::get<FunctionPayload>(m->object).record->defining_class = cls;
    }
    invalidate_attribute_caches(ctx);
    // __set_name__ of the descriptors in the namespace.
    for (const NamespaceEntry& e : entries) {
        TRY_ASSIGN(owner, instance_class_value(heap, types, e.value));
        if (!owner) continue;
        TRY_ASSIGN(hit, py_mro_lookup(ctx, *owner, intern(ctx, "__set_name__")));
        if (!hit) continue;
        TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, e.value, *owner, hit->owner));
        TRY_ASSIGN(attr_name, make_str(ctx, std::string(heap.symbols.name_of(e.symbol))));
        Value args[2] = {cls, attr_name};
        TRY_DO(call_with(ctx, bound, args));
    }
    return cls;
}

PyResult<Value> type_new_class(RuntimeContext& ctx, Value metaclass, Value name, Value bases, Value ns) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(text, value_to_owned_string(heap, name));
    if (!text) return fail(PyError::unsupported("type name must be a string"));
    const HeapSlot* bs = heap.get_if_object(bases);
    if (!bs || bs->kind() != HeapObjectKind::Tuple) return fail(PyError::type_error("type.__new__() bases must be a tuple"));
    std::vector<Value> base_values = std::get<TuplePayload>(bs->object).items;
    const HeapSlot* ds = heap.get_if_object(ns);
    if (!ds || ds->kind() != HeapObjectKind::Dict) return fail(PyError::type_error("type.__new__() namespace must be a dict"));
    TRY_ASSIGN(entries, namespace_from_dict(ctx, ns, "type.__new__() keys must be strings", true));
    // The layout and exception base, base by base.
    std::uint32_t layout = kObjectLayout;
    std::string exception_base;
    for (const Value& b : base_values) {
        BaseInfo info = classify_base(heap, b);
        auto refuse = [] { return fail(PyError::type_error("type.__new__() bases must be classes")); };
        switch (info.kind) {
            case BaseKind::UserClass: {
                const ClassRecord* r = class_record_of(heap, b);
                if (r->layout != kObjectLayout) {
                    if (layout != kObjectLayout && layout != r->layout)
                        return fail(PyError::type_error("multiple bases have incompatible instance layouts"));
                    layout = r->layout;
                }
                if (exception_base.empty()) exception_base = r->exception_base;
                break;
            }
            case BaseKind::Object: case BaseKind::Enum: case BaseKind::TestCase: break;
            case BaseKind::Type:
                if (layout != kObjectLayout) return refuse();
                layout = kClassLayout;
                break;
            case BaseKind::Payload:
                if (layout != kObjectLayout) return refuse();
                layout = info.builtin;
                break;
            case BaseKind::Exception:
                if (layout != kObjectLayout) return refuse();
                if (exception_base.empty()) exception_base = std::string(info.name);
                break;
            default: return refuse();
        }
    }
    TRY_ASSIGN(user_bases, py_check_class_bases(ctx, base_values));
    TRY_ASSIGN(mro, py_compute_mro(heap, ctx.machine.meter, user_bases));
    ClassSpec spec;
    spec.name = *text;
    spec.bases = std::move(base_values);
    spec.class_mro = std::move(mro);
    spec.ns = std::move(entries);
    spec.metaclass = metaclass;
    spec.layout = layout;
    spec.exception_base = std::move(exception_base);
    TRY_ASSIGN(cls, py_build_class(ctx, std::move(spec)));
    heap.push_root(cls);
    const ClassRecord* r = class_record_of(heap, cls);
    std::vector<Value> bases_again = r->bases;
    TRY_DO(run_init_subclass(ctx, cls, bases_again));
    return cls;
}

PyResult<Value> object_new(RuntimeContext& ctx, Value cls, bool has_args) {
    Heap& heap = ctx.heap;
    auto not_safe = [](std::string_view n) {
        return fail(PyError::type_error(fmt::format("object.__new__({0}) is not safe, use {0}.__new__()", n)));
    };
    if (auto d = decode_native_handle(cls)) {
        if (d->tag == DefinitionTag::BuiltinType && d->number == type_id(BuiltinType::Object)) {
            if (has_args) return fail(PyError::type_error("object() takes no arguments"));
            return heap.insert_object(type_id(BuiltinType::Object), ObjectPayload{}, ctx.roots, ctx.machine.meter);
        }
        if (d->tag == DefinitionTag::BuiltinType) return not_safe(builtin_type_name(d->number));
        if (d->tag == DefinitionTag::ExceptionType) return not_safe(d->name);
    }
    const ClassRecord* r = class_record_of(heap, cls);
    if (!r) {
        TRY_ASSIGN(tn, type_name(ctx, cls));
        return fail(PyError::type_error(fmt::format("object.__new__(X): X is not a type object ({})", tn)));
    }
    std::string name = r->name;
    if (!r->exception_base.empty() || type_layouts_differ(r->layout, kObjectLayout)) return not_safe(name);
    if (has_args) {
        TRY_ASSIGN(has_new, py_mro_lookup(ctx, cls, intern(ctx, "__new__")));
        if (has_new) return fail(PyError::type_error("object.__new__() takes exactly one argument (the type to instantiate)"));
        TRY_ASSIGN(has_init, py_mro_lookup(ctx, cls, intern(ctx, "__init__")));
        if (!has_init) return fail(PyError::type_error(fmt::format("{}() takes no arguments", name)));
    }
    auto id = py_as_class(ctx, cls);
    if (!id) return fail(PyError::unsupported("class has no registered type"));
    return heap.insert_object(*id, ObjectPayload{}, ctx.roots, ctx.machine.meter);
}

PyStatus mark_dataclass(RuntimeContext& ctx, Value cls) {
    Heap& heap = ctx.heap;
    const ClassRecord* r = class_record_of(heap, cls);
    if (!r) return fail(PyError::runtime_error("class handle changed object kind"));
    // The fields of the data-class bases come first, the farthest base first; a field named again
    // keeps its first place and takes the later default.
    std::vector<std::string> names;
    std::vector<Value> defaults;
    auto merge = [&](const ClassRecord& from) {
        for (std::size_t i = 0; i < from.field_names.size(); ++i) {
            const Value d = i < from.slot_values.size() ? heap.clone_value(from.slot_values[i]) : Value::absent();
            auto at = std::find(names.begin(), names.end(), from.field_names[i]);
            if (at != names.end()) {
                defaults[std::size_t(at - names.begin())] = d;
            } else {
                names.push_back(from.field_names[i]);
                defaults.push_back(d);
            }
        }
    };
    for (auto base = r->mro.rbegin(); base != r->mro.rend(); ++base)
        if (const ClassRecord* b = class_record_of(heap, *base); b && b->dataclass) merge(*b);
    merge(*r);
    if (names.size() > r->field_names.size()) {
        const std::uint64_t added = names.size() - r->field_names.size();
        TRY_DO(heap.update_object_size(cls, sat_mul(added, std::uint64_t(48)), ctx.roots, ctx.machine.meter));
        r = class_record_of(heap, cls);
        if (!r) return fail(PyError::runtime_error("class handle changed object kind"));
    }
    {
        TRY_ASSIGN(m, heap.slot_mut(cls));
        ClassRecord& own = *std::get<ClassPayload>(m->object).record;
        own.field_names = names;
        own.slot_values = defaults;
    }
    std::vector<Value> items;
    for (std::string& n : names) {
        TRY_ASSIGN(s, make_str(ctx, std::move(n)));
        items.push_back(s);
    }
    TRY_ASSIGN(t, tuple_of(ctx, std::move(items)));
    TRY_ASSIGN(sym, ctx.heap.symbols.intern("__tarnwick_dataclass_field_names__", ctx.machine.meter));
    TRY_DO(store_attribute(ctx, cls, sym, t));
    TRY_ASSIGN(m, ctx.heap.slot_mut(cls));
    auto* c = std::get_if<ClassPayload>(&m->object);
    if (!c) return fail(PyError::runtime_error("class handle changed object kind"));
    c->record->dataclass = true;
    return {};
}

// ---- the class statement ------------------------------------------------------------------------

PyResult<Value> make_class(RuntimeContext& ctx, const ClassInfo& info, std::vector<Value> bases, Value metaclass) {
    Heap& heap = ctx.heap;
    ExecState& st = ctx.exec;
    ResourceMeter& meter = ctx.machine.meter;
    std::string name(heap.symbols.name_of(info.name));
    for (const Value& b : bases) heap.push_root(b);
    heap.push_root(metaclass);
    // A NamedTuple base makes the class by the collections helper.
    std::size_t named_tuple = 0;
    for (const Value& b : bases) {
        auto d = decode_native_handle(b);
        if (!d) continue;
        if ((d->tag == DefinitionTag::ValueKind && d->value_kind &&
             (d->value_kind->name == "typing.NamedTuple" || d->value_kind->name == "NamedTuple")) ||
            (d->tag == DefinitionTag::NativeFunction && d->function && d->function->owner == "typing" &&
             d->function->name == "NamedTuple"))
            ++named_tuple;
    }
    if (named_tuple && bases.size() != 1)
        return fail(PyError::type_error("can only inherit from a NamedTuple type and Generic"));
    std::vector<Value> user_bases;
    if (!named_tuple) {
        TRY_ASSIGN(checked, py_check_class_bases(ctx, bases));
        user_bases = std::move(checked);
    }
    std::uint32_t layout = kObjectLayout;
    std::string exception_base;
    Value meta = metaclass;
    std::vector<Value> class_mro;
    if (!named_tuple) {
        TRY_ASSIGN(l, layout_from_bases(ctx, bases));
        layout = l;
        exception_base = exception_base_of(heap, bases);
        TRY_ASSIGN(m, choose_metaclass(ctx, bases, metaclass));
        meta = m;
        TRY_ASSIGN(mro, py_compute_mro(heap, meter, user_bases));
        class_mro = std::move(mro);
    }
    heap.push_root(meta);
    const bool user_meta = class_record_of(heap, meta) != nullptr;
    // __prepare__ of a user metaclass.
    std::vector<std::pair<Symbol, Value>> initial;
    if (user_meta) {
        TRY_ASSIGN(hit, py_mro_lookup(ctx, meta, intern(ctx, "__prepare__")));
        if (hit) {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, meta, meta, hit->owner));
            TRY_ASSIGN(name_str, make_str(ctx, name));
            TRY_ASSIGN(bases_tuple, tuple_of(ctx, bases));
            Value args[2] = {name_str, bases_tuple};
            TRY_ASSIGN(prepared, call_with(ctx, bound, args));
            heap.push_root(prepared);
            const HeapSlot* ps = heap.get_if_object(prepared);
            if (!ps) return fail(PyError::unsupported("metaclass __prepare__() must return a mapping"));
            if (ps->kind() != HeapObjectKind::Dict)
                return fail(PyError::unsupported("metaclass __prepare__() must return a dict in this slice"));
            TRY_ASSIGN(ns, namespace_from_dict(ctx, prepared, "metaclass namespace keys must be strings", false));
            for (const NamespaceEntry& e : ns.entries()) initial.emplace_back(e.symbol, e.value);
        }
    }
    const Frame& outer = st.frames.back();
    Value outer_scope = outer.scope, globals = outer.globals;
    const Symbol module_sym = intern(ctx, "__module__");
    if (std::none_of(initial.begin(), initial.end(), [&](const auto& e) { return e.first == module_sym; })) {
        TRY_ASSIGN(module_name, scope_get_symbol(heap, globals, intern(ctx, "__name__")));
        if (module_name) initial.emplace_back(module_sym, *module_name);
    }
    // The qualified name is in the namespace while the body runs (the functions it defines take
    // theirs from it) and becomes the class's own afterwards.
    const Symbol qualname_sym = intern(ctx, "__qualname__");
    TRY_ASSIGN(qualname, qualified_name(ctx, outer, name));
    {
        TRY_ASSIGN(q, make_str(ctx, qualname));
        initial.emplace_back(qualname_sym, q);
    }
    // The body.
    std::size_t nslots = info.code->local_names ? info.code->local_names->size() : 0;
    TRY_ASSIGN(ns_value, bind_locals(interp(ctx), meter, outer_scope, info.code->local_names,
                                     std::vector<Value>(nslots, Value::absent()), initial));
    heap.push_root(ns_value);
    FrameDescriptor d{std::nullopt, ns_value, globals, Value::absent(), true, true};
    SliceResult r = run_code_synchronously(ctx, info.code, d);
    if (!r) {
        PyError e = std::move(r.error().error);
        auto k = e.kind();
        if (k && *k != ErrorKindTag::Exception && *k != ErrorKindTag::OsError) {
            const SourceSpan& at = r.error().position;
            if (auto* detail = e.detail())
                detail->message += fmt::format("\n in class {} at line {}, column {}", name, at.line, at.column);
        }
        return fail(std::move(e));
    }
    switch (r->kind) {
        case StepOutcome::Halt: break;
        case StepOutcome::Return: return fail(PyError::unsupported("'return' outside function"));
        case StepOutcome::Yield: return fail(PyError::unsupported("'yield' outside function"));
        case StepOutcome::Exit: return fail(PyError::unsupported(fmt::format("class body exited with status {}", r->status)));
        default: panic(fmt::format("a class body cannot end with {}", debug_text(*r)));
    }
    // The namespace entries, in order.
    Namespace ns;
    {
        TRY_ASSIGN(body, scope_of(heap, ns_value));
        for (const NamespaceEntry& e : body->entries()) ns.insert(e.symbol, e.value);
        if (body->slot_names)
            for (std::size_t i = 0; i < body->slots.size(); ++i)
                if (body->slots[i].is_present()) ns.insert((*body->slot_names)[i], body->slots[i]);
    }
    if (auto q = ns.remove(qualname_sym)) {
        TRY_ASSIGN(text, str_view(heap, *q));
        if (!text) {
            TRY_ASSIGN(tn, type_name(ctx, *q));
            return fail(PyError::type_error(fmt::format("type __qualname__ must be a str, not {}", tn)));
        }
        qualname = std::string(*text);
    }
    auto set_qualname = [&](Value cls) -> PyStatus {
        if (qualname == name) return {};
        TRY_ASSIGN(m, heap.slot_mut(cls));
        if (auto* c = std::get_if<ClassPayload>(&m->object)) c->record->qualname = qualname;
        return {};
    };
    const Symbol doc_sym = intern(ctx, "__doc__");
    if (!ns.get(doc_sym)) {
        Value doc = Value::none();
        if (info.code->docstring) {
            TRY_ASSIGN(s, make_str(ctx, *info.code->docstring));
            doc = s;
        }
        ns.insert(doc_sym, doc);
    }
    if (named_tuple) {
        std::vector<Value> field_names;
        std::vector<std::string> seen;
        for (const std::string& f : info.annotated_names) {
            if (std::find(seen.begin(), seen.end(), f) != seen.end()) continue;
            seen.push_back(f);
            TRY_ASSIGN(s, make_str(ctx, f));
            field_names.push_back(s);
        }
        TRY_ASSIGN(fields, tuple_of(ctx, std::move(field_names)));
        TRY_ASSIGN(ns_dict, dict_of_entries(ctx, ns.entries()));
        TRY_ASSIGN(name_str, make_str(ctx, name));
        Value module = Value::none();
        if (const Value* m = ns.get(module_sym)) module = *m;
        std::optional<Value> collections = heap.find_module("collections");
        if (!collections) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(imported, rt.import_module("collections"));
            collections = imported;
        }
        std::optional<Value> helper;
        if (collections) {
            TRY_ASSIGN(scope, module_submodule_slot(heap, *collections, "collections"));
            TRY_ASSIGN(h, namespace_get_str(heap, scope, "_namedtuple_from_class"));
            helper = h;
        }
        if (!helper) return fail(PyError::unsupported("collections._namedtuple_from_class is missing"));
        Value args[4] = {name_str, fields, ns_dict, module};
        return call_with(ctx, *helper, args);
    }
    // Annotated fields and enumeration members.
    ClassSpec spec;
    for (const std::string& f : info.annotated_names) {
        TRY_ASSIGN(sym, heap.symbols.intern(f, meter));
        const Value* v = ns.get(sym);
        spec.fields.emplace_back(f, v ? *v : Value::absent());
    }
    if (has_enum_base(heap, bases, class_mro)) {
        for (const NamespaceEntry& e : ns.entries()) {
            if (heap.symbols.name_of(e.symbol).starts_with("_")) continue;
            const HeapSlot* s = heap.get_if_object(e.value);
            if (s && s->kind() == HeapObjectKind::Function) continue;
            spec.members.emplace_back(e.symbol, e.value);
        }
        if (layout < kObjectLayout)
            for (DunderSlot slot : {DunderSlot::Repr, DunderSlot::String}) {
                const Symbol sym = intern(ctx, dunder_name(slot));
                if (!ns.get(sym))
                    ns.insert(sym, intern_static_definition(StaticDefinition::of_slot_wrapper(
                                       std::uint8_t(slot), type_id(BuiltinType::Enum))));
            }
    }
    std::vector<Value> bases_copy = bases;
    if (user_meta) {
        TRY_ASSIGN(hit, py_mro_lookup(ctx, meta, intern(ctx, "__new__")));
        if (hit) {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, meta, meta, hit->owner));
            TRY_ASSIGN(name_str, make_str(ctx, name));
            TRY_ASSIGN(bases_tuple, tuple_of(ctx, bases));
            TRY_ASSIGN(ns_dict, dict_of_entries(ctx, ns.entries()));
            Value args[4] = {meta, name_str, bases_tuple, ns_dict};
            // A plain function found on the metaclass receives it explicitly (`__new__` is static).
            const HeapSlot* hs = heap.get_if_object(hit->value);
            const bool plain = hs && hs->kind() == HeapObjectKind::Function;
            TRY_ASSIGN(made, call_with(ctx, plain ? hit->value : bound, plain ? std::span<const Value>(args, 4)
                                                                              : std::span<const Value>(args + 1, 3)));
            heap.push_root(made);
            if (!heap.get_if_object(made)) return fail(PyError::unsupported("metaclass __new__() must return a class"));
            if (!class_record_of(heap, made))
                return fail(PyError::unsupported("metaclass __new__() must return a class in this slice"));
            TRY_DO(set_qualname(made));
            // type.__new__ ran __init_subclass__ when it made the class.
            Value init_args[3] = {name_str, bases_tuple, ns_dict};
            TRY_DO(run_metaclass_init(ctx, meta, made, init_args));
            return made;
        }
    }
    spec.name = name;
    spec.bases = bases;
    spec.class_mro = std::move(class_mro);
    spec.ns = std::move(ns);
    spec.metaclass = meta;
    spec.layout = layout;
    spec.exception_base = std::move(exception_base);
    std::vector<NamespaceEntry> entries = spec.ns.entries();
    TRY_ASSIGN(cls, py_build_class(ctx, std::move(spec)));
    heap.push_root(cls);
    TRY_DO(set_qualname(cls));
    TRY_DO(run_init_subclass(ctx, cls, bases_copy));
    if (user_meta) {
        TRY_ASSIGN(name_str, make_str(ctx, name));
        TRY_ASSIGN(bases_tuple, tuple_of(ctx, bases_copy));
        TRY_ASSIGN(ns_dict, dict_of_entries(ctx, entries));
        Value init_args[3] = {name_str, bases_tuple, ns_dict};
        TRY_DO(run_metaclass_init(ctx, meta, cls, init_args));
    }
    return cls;
}

}  // namespace tw::py::vm
