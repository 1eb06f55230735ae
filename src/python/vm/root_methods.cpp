// The native methods and properties of the root types: object (the defaults every class
// inherits), type (class metadata), BaseException (arguments), module and iterator.
#include "python/vm/root_methods.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/native_args.h"
#include "python/vm/attributes.h"
#include "python/vm/builtin_functions.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/protocols.h"
#include "python/vm/repr.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

PyStatus check(const NativeCall& c, std::string_view name, std::size_t min, std::size_t max) {
    TRY_DO(native_check_positional_arity(c.positional.size(), name, min, max));
    return native_reject_keywords(!c.keywords.empty(), name);
}

const ClassRecord* record_of(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    const auto* c = s ? std::get_if<ClassPayload>(&s->object) : nullptr;
    return c ? c->record.get() : nullptr;
}

// ---- object -------------------------------------------------------------------------------

PyResult<Value> object_new(NativeRuntime& rt, Value cls, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    const ClassRecord* rec = record_of(ctx.heap, cls);
    if (!rec) {
        TRY_ASSIGN(tn, repr_text(ctx, cls));
        return fail(PyError::type_error(fmt::format("object.__new__({}) is not safe", tn)));
    }
    const bool arguments = !c.positional.empty() || !c.keywords.empty();
    if (arguments) {
        TRY_ASSIGN(init, class_lookup(ctx, cls, ctx.heap.symbols.intern_static("__init__")));
        if (!init) return fail(PyError::type_error(fmt::format("{}() takes no arguments", rec->name)));
    }
    TRY_ASSIGN(is_exc, ctx.interpreter->types.is_subtype(rec->type_id, type_id(BuiltinType::Exception)));
    if (is_exc) return ctx.heap.insert_object(rec->type_id, ExceptionPayload{c.positional}, ctx.roots, ctx.machine.meter);
    return ctx.heap.insert_object(rec->type_id, ObjectPayload{}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> object_init(NativeRuntime&, Value, NativeCall c) {
    if (!c.positional.empty() || !c.keywords.empty())
        return fail(PyError::type_error("object.__init__() takes exactly one argument (the instance to initialize)"));
    return Value::none();
}

PyResult<Value> object_init_subclass(NativeRuntime&, Value, NativeCall c) {
    TRY_DO(check(c, "object.__init_subclass__", 0, 0));
    return Value::none();
}

PyResult<Value> object_repr(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "object.__repr__", 0, 0));
    TRY_ASSIGN(text, py_default_object_repr(rt.context(), self));
    return make_str(rt.context(), std::move(text));
}

PyResult<Value> object_str(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "object.__str__", 0, 0));
    TRY_ASSIGN(text, repr_text(rt.context(), self));
    return make_str(rt.context(), std::move(text));
}

PyResult<Value> object_hash(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "object.__hash__", 0, 0));
    TRY_ASSIGN(n, rt.heap().object_identity(self));
    if (n) return Value::from_int(std::int64_t(*n));
    if (auto h = py_identity(self)) return Value::from_int(*h);
    return fail(PyError::unsupported("value has no identity"));
}

PyResult<Value> object_getattribute(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "object.__getattribute__", 1, 1));
    const Value key = c.positional[0];
    std::optional<std::string> name;
    if (key.is_inline_str()) name = std::string(key.inline_str());
    else if (const HeapSlot* s = ctx.heap.get_if_object(key); s && std::holds_alternative<HeapStr>(s->object))
        name = std::get<HeapStr>(s->object).text;
    if (!name) return fail(PyError::type_error("attribute name must be a string"));
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(*name, ctx.machine.meter));
    auto found = load_attribute_optional(ctx, self, symbol);
    if (found && *found) return **found;
    if (!found) {
        const PyError& e = found.error();
        const bool attribute_error =
            (e.is_raised_marker() && pending_exception_is_instance(*ctx.interpreter, "AttributeError")) ||
            (e.kind() == ErrorKindTag::Exception && e.detail() && e.detail()->class_name == "AttributeError");
        if (!attribute_error) return fail(std::move(found.error()));
        if (e.is_raised_marker()) ctx.exec.pending_exception.reset();
    }
    return fail(PyError::exception("AttributeError", fmt::format("attribute {} not found", double_quoted(*name))));
}

PyResult<Value> object_eq(NativeRuntime&, Value self, NativeCall c) {
    TRY_DO(check(c, "object.__eq__", 1, 1));
    if (self == c.positional[0]) return Value::from_bool(true);
    return not_implemented_value();
}

PyResult<Value> object_ne(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "object.__ne__", 1, 1));
    const Value other = c.positional[0];
    auto eq = load_attribute_optional(ctx, self, ctx.heap.symbols.intern_static("__eq__"));
    Value r;
    if (eq && *eq) {
        TRY_ASSIGN(called, call_value(ctx, **eq, std::span<const Value>(&other, 1)));
        r = called;
    } else {
        if (!eq && !(eq.error().kind() == ErrorKindTag::Exception && eq.error().detail()->class_name == "AttributeError"))
            return fail(std::move(eq.error()));
        r = self == other ? Value::from_bool(true) : not_implemented_value();
    }
    if (is_not_implemented(r)) return r;
    TRY_ASSIGN(t, truth(ctx, r));
    return Value::from_bool(!t);
}

// The name argument of __setattr__ / __delattr__.
PyResult<std::string> attribute_name(RuntimeContext& ctx, Value v) {
    if (v.is_inline_str()) return std::string(v.inline_str());
    if (const HeapSlot* s = ctx.heap.get_if_object(v); s && std::holds_alternative<HeapStr>(s->object))
        return std::get<HeapStr>(s->object).text;
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("attribute name must be string, not '{}'", tn)));
}

PyResult<Value> object_setattr(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "object.__setattr__"));
    if (c.positional.size() != 2)
        return fail(PyError::type_error(fmt::format("expected 2 arguments, got {}", c.positional.size())));
    TRY_ASSIGN(name, attribute_name(ctx, c.positional[0]));
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(name, ctx.machine.meter));
    TRY_DO(py_setattr(ctx, self, symbol, name, c.positional[1]));
    return Value::none();
}

PyResult<Value> object_delattr(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "object.__delattr__"));
    if (c.positional.size() != 1)
        return fail(PyError::type_error(fmt::format("expected 1 argument, got {}", c.positional.size())));
    TRY_ASSIGN(name, attribute_name(ctx, c.positional[0]));
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(name, ctx.machine.meter));
    TRY_DO(py_delattr(ctx, self, symbol, name));
    return Value::none();
}

PyResult<Value> object_class(NativeRuntime& rt, Value self) { return type_of(rt.context(), self); }

// ---- type ---------------------------------------------------------------------------------

PyResult<Value> type_new(NativeRuntime& rt, Value, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "type.__new__", 3, 3));
    TRY_ASSIGN(name, native_expect_str(rt, c.positional[0]));
    (void)ctx;
    return fail(PyError::unsupported(fmt::format("type() with three arguments is not supported by the interpreter yet ({})", name)));
}

PyResult<Value> type_call(NativeRuntime& rt, Value self, NativeCall c) {
    std::vector<KeywordArgument> keywords(c.keywords.begin(), c.keywords.end());
    return rt.call(self, c.positional, keywords);
}

// The class itself and its MRO as class values.
PyResult<std::vector<Value>> mro_values(RuntimeContext& ctx, Value cls) {
    auto id = py_as_class(ctx, cls);
    if (!id) return fail(PyError::type_error("descriptor 'mro' requires a type"));
    TRY_ASSIGN(rec, ctx.interpreter->types.get(*id));
    std::vector<Value> out{cls};
    for (TypeId t : rec->mro) {
        TRY_ASSIGN(v, py_type_value(ctx, t));
        out.push_back(v);
    }
    return out;
}

PyResult<Value> type_mro(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "type.mro", 0, 0));
    TRY_ASSIGN(items, mro_values(rt.context(), self));
    return new_list(rt.context(), std::move(items));
}

PyResult<Value> type_name_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    if (const ClassRecord* rec = record_of(ctx.heap, self)) return make_str(ctx, rec->name);
    auto id = py_as_class(ctx, self);
    if (!id) return fail(PyError::exception("AttributeError", "type has no __name__"));
    TRY_ASSIGN(rec, ctx.interpreter->types.get(*id));
    return make_str(ctx, rec->name);
}

PyResult<Value> type_qualname_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    if (auto q = qualname_of(ctx.heap, self)) return make_str(ctx, std::move(*q));
    return type_name_getter(rt, self);
}

PyResult<Value> type_module_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    if (const ClassRecord* rec = record_of(ctx.heap, self)) {
        if (const Value* v = rec->namespace_.get(ctx.heap.symbols.intern_static("__module__"))) return *v;
        return make_str(ctx, "__main__");
    }
    if (!py_as_class(ctx, self)) return fail(PyError::exception("AttributeError", "type has no __module__"));
    return make_str(ctx, "builtins");
}

PyResult<Value> type_bases_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    if (const ClassRecord* rec = record_of(ctx.heap, self)) {
        if (!rec->bases.empty()) return new_tuple(ctx, rec->bases);
    }
    auto id = py_as_class(ctx, self);
    if (!id) return fail(PyError::exception("AttributeError", "type has no __bases__"));
    TRY_ASSIGN(rec, ctx.interpreter->types.get(*id));
    std::vector<Value> bases;
    for (TypeId t : rec->bases) {
        TRY_ASSIGN(v, py_type_value(ctx, t));
        bases.push_back(v);
    }
    return new_tuple(ctx, std::move(bases));
}

PyResult<Value> type_mro_getter(NativeRuntime& rt, Value self) {
    if (!py_as_class(rt.context(), self)) return fail(PyError::exception("AttributeError", "type has no __mro__"));
    TRY_ASSIGN(items, mro_values(rt.context(), self));
    return new_tuple(rt.context(), std::move(items));
}

// ---- BaseException, module, iterator --------------------------------------------------------

const std::vector<Value>* exception_args(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    const auto* e = s ? std::get_if<ExceptionPayload>(&s->object) : nullptr;
    return e ? &e->args : nullptr;
}

PyResult<Value> exception_init(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    if (!c.keywords.empty()) {
        TRY_ASSIGN(tn, type_name(ctx, self));
        return fail(PyError::type_error(fmt::format("{}() takes no keyword arguments", tn)));
    }
    TRY_ASSIGN(args, new_tuple(ctx, std::move(c.positional)));
    const Symbol symbol = ctx.heap.symbols.intern_static("args");
    TRY_DO(py_setattr(ctx, self, symbol, "args", args));
    return Value::none();
}

PyResult<Value> exception_args_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    const std::vector<Value>* args = exception_args(ctx.heap, self);
    if (!args) return fail(PyError::type_error("descriptor 'args' requires an exception"));
    std::vector<Value> items = *args;
    TRY_ASSIGN(os, is_os_error_family(ctx, self));
    if (os && items.size() > 2 && items.size() <= 5) items.resize(2);
    return new_tuple(ctx, std::move(items));
}

PyResult<Value> exception_value_getter(NativeRuntime& rt, Value self) {
    RuntimeContext& ctx = rt.context();
    const std::vector<Value>* args = exception_args(ctx.heap, self);
    if (!args) return fail(PyError::type_error("descriptor 'value' requires an exception"));
    TRY_ASSIGN(id, ctx.heap.type_id_of(self));
    auto stop = ctx.interpreter->types.exception_id_by_name("StopIteration");
    bool is_stop = false;
    if (stop) {
        TRY_ASSIGN(sub, ctx.interpreter->types.is_subtype(id, *stop));
        is_stop = sub;
    }
    if (!is_stop) {
        TRY_ASSIGN(tn, type_name(ctx, self));
        return fail(PyError::exception("AttributeError", fmt::format("'{}' object has no attribute 'value'", tn)));
    }
    return args->empty() ? Value::none() : (*args)[0];
}

PyResult<Value> module_init(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "module.__init__", 1, 2));
    const HeapSlot* s = ctx.heap.get_if_object(self);
    const auto* m = s ? std::get_if<ModulePayload>(&s->object) : nullptr;
    if (!m) return fail(PyError::type_error("expected module"));
    TRY_ASSIGN(name, native_expect_str(rt, c.positional[0]));
    (void)name;
    const Value scope = m->namespace_;
    TRY_DO(store_scope_name(ctx, scope, ctx.heap.symbols.intern_static("__name__"), c.positional[0]));
    TRY_DO(store_scope_name(ctx, scope, ctx.heap.symbols.intern_static("__doc__"),
                            c.positional.size() > 1 ? c.positional[1] : Value::none()));
    return Value::none();
}

PyResult<Value> iterator_next_method(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "__next__", 0, 0));
    TRY_ASSIGN(it, get_iterator(ctx, self));
    TRY_ASSIGN(step, iterator_next(ctx, it));
    if (step.item) return *step.item;
    TRY_ASSIGN(e, new_exception(*ctx.interpreter, ctx.machine.meter, "StopIteration", {}));
    ctx.exec.pending_exception = e;
    return fail(PyError::raised());
}

constexpr NativeFunction kObjectMethods[] = {
    {"object", "__new__", nullptr, object_new},
    {"object", "__init__", nullptr, object_init},
    {"object", "__init_subclass__", nullptr, object_init_subclass},
    {"object", "__repr__", nullptr, object_repr},
    {"object", "__str__", nullptr, object_str},
    {"object", "__hash__", nullptr, object_hash},
    {"object", "__getattribute__", nullptr, object_getattribute},
    {"object", "__eq__", nullptr, object_eq},
    {"object", "__ne__", nullptr, object_ne},
    {"object", "__setattr__", nullptr, object_setattr},
    {"object", "__delattr__", nullptr, object_delattr},
};
constexpr NativeProperty kObjectProperties[] = {{"object", "__class__", object_class}};
constexpr NativeFunction kTypeMethods[] = {
    {"type", "__new__", nullptr, type_new},
    {"type", "__call__", nullptr, type_call},
    {"type", "mro", nullptr, type_mro},
};
constexpr NativeProperty kTypeProperties[] = {
    {"type", "__name__", type_name_getter},   {"type", "__qualname__", type_qualname_getter},
    {"type", "__module__", type_module_getter}, {"type", "__bases__", type_bases_getter},
    {"type", "__mro__", type_mro_getter},
};
constexpr NativeFunction kExceptionMethods[] = {{"BaseException", "__init__", nullptr, exception_init}};
constexpr NativeProperty kExceptionProperties[] = {
    {"BaseException", "args", exception_args_getter},
    {"BaseException", "value", exception_value_getter},
};
constexpr NativeFunction kModuleMethods[] = {{"module", "__init__", nullptr, module_init}};
constexpr NativeFunction kIteratorMethods[] = {{"iterator", "__next__", nullptr, iterator_next_method}};

}  // namespace

PyResult<bool> is_os_error_family(RuntimeContext& ctx, Value v) {
    if (!exception_args(ctx.heap, v)) return false;
    auto os = ctx.interpreter->types.exception_id_by_name("OSError");
    if (!os) return false;
    TRY_ASSIGN(id, ctx.heap.type_id_of(v));
    return ctx.interpreter->types.is_subtype(id, *os);
}

void attach_root_classes(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::Object), NativeClass{"object", kObjectMethods, kObjectProperties});
    registry.attach_native_class(symbols, type_id(BuiltinType::Type), NativeClass{"type", kTypeMethods, kTypeProperties});
    registry.attach_native_class(symbols, type_id(BuiltinType::Exception),
                                 NativeClass{"BaseException", kExceptionMethods, kExceptionProperties});
    registry.attach_native_class(symbols, type_id(BuiltinType::Module), NativeClass{"module", kModuleMethods, {}});
    registry.attach_native_class(symbols, type_id(BuiltinType::Iterator), NativeClass{"iterator", kIteratorMethods, {}});
}

}  // namespace tw::py::vm
