// Calling a class: a metaclass `__call__`, abstract classes, enumeration lookups, `__new__` and
// `__init__`, instances of builtin subclasses with their payloads, exception arguments, the
// initialiser of data classes and classes whose instances are classes.
#include <fmt/format.h>

#include <algorithm>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

Symbol intern(RuntimeContext& ctx, std::string_view text) { return ctx.heap.symbols.intern_static(text); }

PyResult<StepOutcome> push(RuntimeContext& ctx, Value v) {
    ctx.exec.values.push_back(v);
    return StepOutcome::of(StepOutcome::Next);
}

// A nested call's failure as the outcome of the instantiation: a program exit passes up as Exit.
PyResult<StepOutcome> outcome_of(PyError e) {
    if (e.kind() == ErrorKindTag::Exit) return StepOutcome::exit(e.detail()->code);
    return fail(std::move(e));
}

// Pushes the result of a call, or turns its failure into the outcome.
PyResult<StepOutcome> finish(RuntimeContext& ctx, PyResult<Value> r) {
    if (!r) return outcome_of(std::move(r.error()));
    return push(ctx, *r);
}

PyResult<Value> call_with(RuntimeContext& ctx, Value callee, std::span<const Value> positional,
                          const std::vector<std::pair<std::string, Value>>& keywords) {
    return call_value(ctx, callee, positional, keywords);
}

// A field or keyword name as a string literal in double quotes.
std::string quoted(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

PyResult<std::optional<std::string>> abstract_error(RuntimeContext& ctx, const ClassRecord& rec) {
    const Value* v = rec.namespace_.get(intern(ctx, "__abstractmethods__"));
    if (!v) return std::optional<std::string>();
    const HeapSlot* s = ctx.heap.get_if_object(*v);
    const SetTable* t = s ? set_table_of(const_cast<HeapObject&>(s->object)) : nullptr;
    if (!t || t->live_count == 0) return std::optional<std::string>();
    std::vector<std::string> names;
    std::vector<Value> keys;
    t->for_each_live([&](const SetSlot& e) { keys.push_back(e.key); });
    for (const Value& k : keys) {
        TRY_ASSIGN(text, value_to_owned_string(ctx.heap, k));
        if (text) names.push_back("'" + *text + "'");
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) joined += (i ? ", " : "") + names[i];
    return std::optional(fmt::format("Can't instantiate abstract class {} without an implementation for abstract {} {}",
                                     rec.name, names.size() == 1 ? "method" : "methods", joined));
}

// The value of one data-class field that the call did not give.
PyResult<Value> field_default(RuntimeContext& ctx, const std::string& cls, const std::string& field, Value dflt) {
    auto missing = [&] {
        return fail(PyError::unsupported(fmt::format("{}() missing required argument: {}", cls, quoted(field))));
    };
    if (dflt.is_absent()) return missing();
    TRY_ASSIGN(owner, instance_class_value(ctx.heap, interp(ctx).types, dflt));
    if (!owner) return dflt;
    TRY_ASSIGN(marker, py_getattr_by_name(ctx, dflt, "_tarnwick_dataclass_field"));
    if (!marker) return dflt;
    TRY_ASSIGN(is_marker, truth(ctx, *marker));
    if (!is_marker) return dflt;
    auto attr = [&](std::string_view name, std::string_view lost) -> PyResult<Value> {
        TRY_ASSIGN(v, py_getattr_by_name(ctx, dflt, name));
        if (!v) return fail(PyError::unsupported(std::string(lost)));
        return *v;
    };
    TRY_ASSIGN(has_factory, attr("has_factory", "data class field lost factory marker"));
    TRY_ASSIGN(factory_given, truth(ctx, has_factory));
    if (factory_given) {
        TRY_ASSIGN(factory, attr("default_factory", "data class field lost default factory"));
        return call_value(ctx, factory, {});
    }
    TRY_ASSIGN(has_default, attr("has_default", "data class field lost default marker"));
    TRY_ASSIGN(default_given, truth(ctx, has_default));
    if (!default_given) return missing();
    return attr("default", "data class field lost default marker");
}

// The synthesised initialiser of a data class.
PyStatus dataclass_init(RuntimeContext& ctx, Value instance, const ClassRecord& rec, bool kw_only, const NativeCall& call) {
    const std::string& cls = rec.name;
    std::vector<std::string> names = rec.field_names;
    std::vector<Value> defaults = rec.slot_values;
    const std::size_t npos = call.positional.size();
    if (kw_only && npos) return fail(PyError::type_error(fmt::format("{}() accepts keyword arguments only", cls)));
    std::vector<std::pair<Symbol, Value>> values;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& field = names[i];
        std::optional<Value> given;
        std::size_t count = 0;
        for (const auto& [k, v] : call.keywords)
            if (k == field && count++ == 0) given = v;
        if ((i < npos && count) || count > 1)
            return fail(PyError::unsupported(fmt::format("{}() got multiple values for argument {}", cls, quoted(field))));
        Value v;
        if (given) {
            v = *given;
        } else if (i < npos) {
            v = call.positional[i];
        } else {
            TRY_ASSIGN(d, field_default(ctx, cls, field, i < defaults.size() ? defaults[i] : Value::absent()));
            ctx.heap.push_root(d);
            v = d;
        }
        TRY_ASSIGN(sym, ctx.heap.symbols.intern(field, ctx.machine.meter));
        values.emplace_back(sym, v);
    }
    if (npos > names.size())
        return fail(PyError::unsupported(
            fmt::format("{}() takes {} positional arguments but {} were given", cls, names.size(), npos)));
    for (const auto& [k, v] : call.keywords)
        if (std::find(names.begin(), names.end(), k) == names.end())
            return fail(PyError::unsupported(fmt::format("{}() got an unexpected keyword argument {}", cls, quoted(k))));
    StoreContext sc{ctx.heap, ctx.roots, ctx.machine.meter};
    for (const auto& [sym, v] : values) TRY_DO(instance_store_attr(sc, instance, sym, v));
    return {};
}

// A class whose instances are classes, called with (name, bases, namespace).
PyResult<StepOutcome> construct_class(RuntimeContext& ctx, Value cls, NativeCall call) {
    Heap& heap = ctx.heap;
    Value made;
    TRY_ASSIGN(hit, py_mro_lookup(ctx, cls, intern(ctx, "__new__")));
    if (hit) {
        const HeapSlot* hs = heap.get_if_object(hit->value);
        Value callee = hit->value;
        std::vector<Value> args = call.positional;
        if (hs && hs->kind() == HeapObjectKind::Function) {
            args.insert(args.begin(), cls);  // `__new__` takes the class explicitly
        } else {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, cls, cls, hit->owner));
            callee = bound;
        }
        auto r = call_with(ctx, callee, args, call.keywords);
        if (!r) return outcome_of(std::move(r.error()));
        made = *r;
    } else {
        if (!call.keywords.empty() || call.positional.size() != 3)
            return fail(PyError::unsupported("type construction expects name, bases, and namespace"));
        TRY_ASSIGN(text, value_to_owned_string(heap, call.positional[0]));
        if (!text) return fail(PyError::unsupported("type name must be a string"));
        auto r = type_new_class(ctx, cls, call.positional[0], call.positional[1], call.positional[2]);
        if (!r) return outcome_of(std::move(r.error()));
        made = *r;
    }
    heap.push_root(made);
    if (class_record_of(heap, made)) {
        TRY_ASSIGN(init, py_mro_lookup(ctx, cls, intern(ctx, "__init__")));
        if (init) {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, init->value, made, cls, init->owner));
            auto r = call_with(ctx, bound, call.positional, call.keywords);
            if (!r) return outcome_of(std::move(r.error()));
            if (!r->is_none()) return fail(PyError::unsupported("metaclass __init__() should return None"));
        }
    }
    return push(ctx, made);
}

}  // namespace

PyResult<HeapObject> builtin_subclass_payload_of(const Heap& heap, Value value) {
    if (value.is_inline_str()) {
        auto text = str_view(heap, value);
        if (!text || !*text) return fail(PyError::unsupported("value cannot be the payload of a builtin subclass instance"));
        return HeapObject(HeapStr::make(std::string(**text)));
    }
    if (value.is_bool()) return HeapObject(BigIntPayload{Box<BigInt>::make(BigInt(value.as_bool() ? 1 : 0))});
    if (value.is_int()) return HeapObject(BigIntPayload{Box<BigInt>::make(BigInt(value.as_int()))});
    if (value.is_float()) return HeapObject(FloatPayload{value.as_float()});
    if (const HeapSlot* s = heap.get_if_object(value)) {
        switch (s->kind()) {
            case HeapObjectKind::Str: case HeapObjectKind::Bytes: case HeapObjectKind::ByteArray:
            case HeapObjectKind::List: case HeapObjectKind::Tuple: case HeapObjectKind::Dict:
            case HeapObjectKind::Set: case HeapObjectKind::FrozenSet: case HeapObjectKind::BigInt:
            case HeapObjectKind::Complex: case HeapObjectKind::Float: return clone_payload(s->object);
            default: break;
        }
    }
    return fail(PyError::unsupported("value cannot be the payload of a builtin subclass instance"));
}

PyResult<Value> py_call_builtin_type(RuntimeContext& ctx, TypeId type, NativeCall call) {
    const std::size_t height = ctx.exec.values.size();
    TRY_ASSIGN(outcome, py_builtin_constructor(ctx, type, std::move(call)));
    if (outcome.kind != StepOutcome::Next || ctx.exec.values.size() != height + 1)
        return fail(PyError::unsupported(fmt::format("{}() did not produce a value", builtin_type_name(type))));
    Value v = ctx.exec.values.back();
    ctx.exec.values.pop_back();
    return ctx.heap.clone_value(v);
}

PyResult<Value> type_call(RuntimeContext& ctx, Value callee, NativeCall call) {
    if (class_record_of(ctx.heap, callee)) {
        const std::size_t height = ctx.exec.values.size();
        TRY_ASSIGN(outcome, py_instantiate(ctx, callee, std::move(call), false));
        if (outcome.kind == StepOutcome::Exit) {
            PyError e = PyError::exit(outcome.status);
            return fail(std::move(e));
        }
        if (ctx.exec.values.size() != height + 1) return fail(PyError::unsupported("invalid bytecode stack effect"));
        Value v = ctx.exec.values.back();
        ctx.exec.values.pop_back();
        return ctx.heap.clone_value(v);
    }
    if (auto d = decode_native_handle(callee);
        d && (d->tag == DefinitionTag::BuiltinType || d->tag == DefinitionTag::ExceptionType || d->tag == DefinitionTag::ValueKind))
        return call_value(ctx, callee, call.positional, call.keywords);
    return fail(PyError::type_error("type.__call__ requires a class"));
}

PyResult<StepOutcome> py_instantiate(RuntimeContext& ctx, Value cls, NativeCall call, bool direct) {
    Heap& heap = ctx.heap;
    heap.push_root(cls);
    for (const Value& v : call.positional) heap.push_root(v);
    for (const auto& kv : call.keywords) heap.push_root(kv.second);
    const ClassRecord* rec = class_record_of(heap, cls);
    if (!rec) return fail(PyError::unsupported("type.__call__ requires a class"));
    const std::string name = rec->name;
    const Value metaclass = rec->metaclass;
    const std::uint32_t layout = rec->layout;
    const bool exception = !rec->exception_base.empty();
    // A class that is not itself a data class takes the initialiser of the nearest data class it
    // derives from, unless a class before it defines __init__.
    Value dataclass_cls = rec->dataclass ? cls : Value::absent();
    if (!rec->dataclass) {
        const Symbol init_sym = intern(ctx, "__init__");
        if (!rec->namespace_.get(init_sym))
            for (const Value& base : rec->mro) {
                const ClassRecord* b = class_record_of(heap, base);
                if (!b) continue;
                if (b->dataclass) dataclass_cls = base;
                if (b->dataclass || b->namespace_.get(init_sym)) break;
            }
        rec = class_record_of(heap, cls);
    }
    const bool dataclass = dataclass_cls.is_present();
    const std::vector<Value> members = rec->values;

    // 2. The keyword-only option of a data class.
    bool kw_only = false;
    if (dataclass) {
        TRY_ASSIGN(flag, class_lookup(ctx, dataclass_cls, intern(ctx, "__tarnwick_dataclass_kw_only__")));
        if (flag) {
            TRY_ASSIGN(t, truth(ctx, *flag));
            kw_only = t;
        }
    }
    // 3. A metaclass __call__.
    if (direct && class_record_of(heap, metaclass)) {
        TRY_ASSIGN(hit, py_mro_lookup(ctx, metaclass, intern(ctx, "__call__")));
        if (hit) {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, cls, metaclass, hit->owner));
            return finish(ctx, call_with(ctx, bound, call.positional, call.keywords));
        }
    }
    // 4. Abstract classes.
    {
        TRY_ASSIGN(abstract, abstract_error(ctx, *class_record_of(heap, cls)));
        if (abstract) return fail(PyError::type_error(std::move(*abstract)));
    }
    // 5. Enumerations: a call looks a member up by value.
    if (!members.empty()) {
        if (!call.keywords.empty() || call.positional.size() != 1)
            return fail(PyError::unsupported(fmt::format("{}() expects one value", name)));
        const Symbol value_sym = intern(ctx, "_value_");
        for (const Value& m : members) {
            TRY_ASSIGN(v, instance_get_attr(heap, m, value_sym));
            if (!v) return fail(PyError::unsupported("enum member has no value"));
            TRY_ASSIGN(eq, values_equal(ctx, *v, call.positional[0]));
            if (eq) return push(ctx, m);
        }
        TRY_ASSIGN(r, repr_text(ctx, call.positional[0]));
        return fail(PyError::value_error(fmt::format("{} is not a valid {}", r, name)));
    }
    auto tid = py_as_class(ctx, cls);
    // 6, 7. The __new__ path.
    bool new_path = !exception && !dataclass && layout != kClassLayout;
    if (new_path && layout != kObjectLayout) {
        TRY_ASSIGN(found, py_mro_lookup(ctx, cls, intern(ctx, "__new__")));
        new_path = found.has_value();
    }
    if (new_path) {
        if (!tid) return fail(PyError::unsupported("class has no registered type"));
        TRY_ASSIGN(new_hit, py_type_lookup(ctx, *tid, intern(ctx, "__new__")));
        if (!new_hit) return fail(PyError::unsupported("class constructor has no descriptor"));
        const TypeId object = type_id(BuiltinType::Object);
        Value obj;
        if (new_hit->owner == object) {
            // object.__new__ itself: made here without a call.
            TRY_ASSIGN(made, object_new(ctx, cls, !call.positional.empty() || !call.keywords.empty()));
            obj = made;
        } else {
            TRY_ASSIGN(new_fn, py_bind_special_method(ctx, new_hit->value, std::nullopt, *tid, new_hit->owner));
            if (!new_fn) return fail(PyError::unsupported("__new__ descriptor has no value"));
            std::vector<Value> args{cls};
            args.insert(args.end(), call.positional.begin(), call.positional.end());
            auto made = call_with(ctx, *new_fn, args, call.keywords);
            if (!made) return outcome_of(std::move(made.error()));
            obj = *made;
        }
        heap.push_root(obj);
        TRY_ASSIGN(is_instance, isinstance(ctx, obj, cls));
        if (!is_instance) return push(ctx, obj);
        // 8. __init__.
        if (!class_record_of(heap, cls)) return fail(PyError::unsupported("type.__call__ requires a class"));
        std::optional<Value> init_fn;
        if (layout == kObjectLayout) {
            TRY_ASSIGN(init_hit, py_type_lookup(ctx, *tid, intern(ctx, "__init__")));
            if (!init_hit || (init_hit->owner == object && new_hit->owner != object)) return push(ctx, obj);
            if (init_hit->owner == object && call.positional.empty() && call.keywords.empty()) return push(ctx, obj);
            if (const HeapSlot* f = heap.get_if_object(init_hit->value); f && f->kind() == HeapObjectKind::Function) {
                // A plain function: called with the instance first, no bound method made.
                std::vector<Value> args{obj};
                args.insert(args.end(), call.positional.begin(), call.positional.end());
                auto r = call_with(ctx, init_hit->value, args, call.keywords);
                if (!r) return outcome_of(std::move(r.error()));
                if (!r->is_none()) {
                    TRY_ASSIGN(tn, type_name(ctx, *r));
                    return fail(PyError::type_error(fmt::format("__init__() should return None, not '{}'", tn)));
                }
                return push(ctx, obj);
            }
            TRY_ASSIGN(b, py_bind_special_method(ctx, init_hit->value, obj, *tid, init_hit->owner));
            init_fn = b;
        } else {
            TRY_ASSIGN(init_hit, py_mro_lookup(ctx, cls, intern(ctx, "__init__")));
            if (!init_hit) return push(ctx, obj);
            auto owner = py_as_class(ctx, init_hit->owner);
            if (!owner) return fail(PyError::unsupported("initializer class has no type"));
            TRY_ASSIGN(b, py_bind_special_method(ctx, init_hit->value, obj, *tid, *owner));
            init_fn = b;
        }
        if (!init_fn) return fail(PyError::unsupported("__init__ descriptor has no value"));
        auto r = call_with(ctx, *init_fn, call.positional, call.keywords);
        if (!r) return outcome_of(std::move(r.error()));
        if (!r->is_none()) {
            TRY_ASSIGN(tn, type_name(ctx, *r));
            return fail(PyError::type_error(fmt::format("__init__() should return None, not '{}'", tn)));
        }
        return push(ctx, obj);
    }
    // 9. The layout path.
    if (layout == kClassLayout || layout > kObjectLayout) return construct_class(ctx, cls, std::move(call));
    TRY_ASSIGN(user_init, class_lookup(ctx, cls, intern(ctx, "__init__")));
    std::optional<HeapObject> payload;
    if (layout < kObjectLayout) {
        const BuiltinType t = BuiltinType(layout);
        const bool filled_by_init = user_init && (t == BuiltinType::ByteArray || t == BuiltinType::List ||
                                                  t == BuiltinType::Dict || t == BuiltinType::Set);
        NativeCall args;
        if (!filled_by_init) args = call;
        TRY_ASSIGN(value, py_call_builtin_type(ctx, layout, std::move(args)));
        heap.push_root(value);
        TRY_ASSIGN(p, builtin_subclass_payload_of(heap, value));
        payload = std::move(p);
    }
    if (!tid) return fail(PyError::unsupported("class has no registered type"));
    HeapObject object = exception ? HeapObject(ExceptionPayload{call.positional})
                                  : payload ? std::move(*payload) : HeapObject(ObjectPayload{});
    TRY_ASSIGN(instance, heap.insert_object(*tid, std::move(object), ctx.roots, ctx.machine.meter));
    if (dataclass) {
        TRY_DO(dataclass_init(ctx, instance, *class_record_of(heap, dataclass_cls), kw_only, call));
        return push(ctx, instance);
    }
    if (!user_init) {
        if (exception && !call.keywords.empty())
            return fail(PyError::unsupported(fmt::format("{}() does not accept keyword arguments", name)));
        if (!exception && layout == kObjectLayout && (!call.positional.empty() || !call.keywords.empty()))
            return fail(PyError::type_error(fmt::format("{}() takes no arguments", name)));
        return push(ctx, instance);
    }
    const HeapSlot* fs = heap.get_if_object(*user_init);
    if (!fs) return fail(PyError::unsupported(fmt::format("{}.__init__ is not callable", name)));
    if (fs->kind() != HeapObjectKind::Function)
        return fail(PyError::unsupported(fmt::format("{}.__init__ is not a function", name)));
    std::vector<Value> args{instance};
    args.insert(args.end(), call.positional.begin(), call.positional.end());
    auto r = call_with(ctx, *user_init, args, call.keywords);
    if (!r) return outcome_of(std::move(r.error()));
    if (!r->is_none()) return fail(PyError::unsupported("__init__() should return None"));
    return push(ctx, instance);
}

PyResult<StepOutcome> instantiate_class(RuntimeContext& ctx, Value cls, NativeCall call) {
    return py_instantiate(ctx, cls, std::move(call), true);
}

}  // namespace tw::py::vm
