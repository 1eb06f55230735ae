// The engine's native runtime: class metadata, comparisons, reversal, generic aliases, generic
// attribute stores, registered value kinds, operators and the builtin `__new__` of types.
#include <fmt/format.h>

#include <cmath>

#include <algorithm>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/number_slots.h"
#include "python/vm/attributes.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/native_runtime.h"
#include "python/vm/protocols.h"
#include "python/vm/repr.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kMaxComparisonDepth = 256;

std::string last_component(std::string_view name) {
    auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

// The number of a kind descriptor in the registry of value kinds, or none.
std::optional<std::uint8_t> kind_number(const ValueKindDef& kind) {
    const auto& kinds = value_kind_list();
    auto it = std::find(kinds.begin(), kinds.end(), &kind);
    if (it == kinds.end() || it - kinds.begin() >= 256) return std::nullopt;
    return std::uint8_t(it - kinds.begin());
}

PyError kind_not_registered() { return PyError::runtime_error("value kind is not registered"); }

const std::vector<Value>* sequence_items(const HeapSlot* s) {
    if (!s) return nullptr;
    if (const auto* l = std::get_if<ListPayload>(&s->object)) return &l->items;
    if (const auto* t = std::get_if<TuplePayload>(&s->object)) return &t->items;
    return nullptr;
}

bool dict_like(const HeapObject& o) {
    return std::holds_alternative<DictPayload>(o) || std::holds_alternative<DefaultDictPayload>(o) ||
           std::holds_alternative<NamespaceDictPayload>(o) || std::holds_alternative<MappingProxyPayload>(o);
}
bool set_like(const HeapObject& o) {
    return std::holds_alternative<SetPayload>(o) || std::holds_alternative<FrozenSetPayload>(o);
}

}  // namespace

// ---- class metadata and object kinds -------------------------------------------------------------------

PyResult<std::optional<Value>> EngineRuntime::class_attribute(Value v, std::uint8_t selector) {
    static constexpr std::string_view kNames[] = {"__name__", "__module__", "__bases__", "__mro__"};
    if (selector > 3) return std::optional<Value>();
    const HeapSlot* s = heap().get_if_object(v);
    if (const auto* c = s ? std::get_if<ClassPayload>(&s->object) : nullptr) {
        const ClassRecord& record = *c->record;
        if (selector == 0) {
            TRY_ASSIGN(name, new_str(record.name));
            return std::optional(name);
        }
        if (selector == 1) {
            auto symbol = heap().symbols.lookup("__module__");
            const Value* m = symbol ? record.namespace_.get(*symbol) : nullptr;
            if (!m) return std::optional<Value>();
            return std::optional(heap().clone_value(*m));
        }
        return getattr_optional(v, kNames[selector]);
    }
    if (selector != 0) {
        if (!decode_native_handle(v)) return std::optional<Value>();
        return getattr_optional(v, kNames[selector]);
    }
    auto d = decode_native_handle(v);
    if (!d) return std::optional<Value>();
    std::string name;
    if (d->tag == DefinitionTag::BuiltinType) name = builtin_type_name(d->number);
    else if (d->tag == DefinitionTag::ValueKind && d->value_kind) name = d->value_kind->name;
    else if (d->tag == DefinitionTag::ExceptionType) name = d->name;
    else return std::optional<Value>();
    TRY_ASSIGN(text, new_str(last_component(name)));
    return std::optional(text);
}

std::optional<std::uint8_t> EngineRuntime::native_object_kind(Value v) {
    const HeapSlot* s = heap().get_if_object(v);
    if (!s) return std::nullopt;
    if (std::holds_alternative<PropertyPayload>(s->object)) return 4;
    const auto* n = std::get_if<NativeObjectPayload>(&s->object);
    if (!n) return std::nullopt;
    switch (BuiltinType(n->object->type_id())) {
        case BuiltinType::Array: return 5;
        case BuiltinType::Regex: return 0;
        case BuiltinType::Match: return 1;
        case BuiltinType::ArgumentParser: return 2;
        case BuiltinType::RaisesContext: return 3;
        default: return std::nullopt;
    }
}

// ---- comparisons ----------------------------------------------------------------------------------------

PyResult<std::optional<int>> EngineRuntime::deep_compare(Value a, Value b) { return deep_compare_at(a, b, 0); }

PyResult<std::optional<int>> EngineRuntime::deep_compare_at(Value a, Value b, std::uint64_t depth) {
    using Order = std::optional<int>;
    if (depth >= kMaxComparisonDepth)
        return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded in comparison"));
    auto three_way = [](auto x, auto y) { return Order(x < y ? -1 : y < x ? 1 : 0); };
    const NumericView x = py_numeric_view(heap(), a), y = py_numeric_view(heap(), b);
    const bool real_x = x.kind == NumericView::Small || x.kind == NumericView::Big || x.kind == NumericView::U64 ||
                        x.kind == NumericView::Float;
    const bool real_y = y.kind == NumericView::Small || y.kind == NumericView::Big || y.kind == NumericView::U64 ||
                        y.kind == NumericView::Float;
    if (real_x && real_y) {
        if (x.kind == NumericView::Small && y.kind == NumericView::Small) return three_way(x.small, y.small);
        // A NaN is unordered: no ordering at all rather than a false "equal".
        if ((x.kind == NumericView::Float && std::isnan(x.real)) || (y.kind == NumericView::Float && std::isnan(y.real)))
            return Order();
        TRY_ASSIGN(less, py_rich_compare(*ctx_, RichCompareOp::Lt, a, b));
        if (less) return Order(-1);
        TRY_ASSIGN(greater, py_rich_compare(*ctx_, RichCompareOp::Lt, b, a));
        return Order(greater ? 1 : 0);
    }
    TRY_ASSIGN(sa, str_view(heap(), a));
    TRY_ASSIGN(sb, str_view(heap(), b));
    if (sa || sb) {
        if (!sa || !sb) return Order();
        return three_way(*sa, *sb);
    }
    const HeapSlot* ha = heap().get_if_object(a);
    const HeapSlot* hb = heap().get_if_object(b);
    if (!ha || !hb) return Order();
    if (const auto* ba = std::get_if<BytesPayload>(&ha->object)) {
        const auto* bb = std::get_if<BytesPayload>(&hb->object);
        if (!bb) return Order();
        return three_way(std::string_view(ba->bytes), std::string_view(bb->bytes));
    }
    const bool lists = std::holds_alternative<ListPayload>(ha->object) && std::holds_alternative<ListPayload>(hb->object);
    const bool tuples = std::holds_alternative<TuplePayload>(ha->object) && std::holds_alternative<TuplePayload>(hb->object);
    if (!lists && !tuples) return Order();
    for (std::uint64_t i = 0;; ++i) {
        const auto* xs = sequence_items(heap().get_if_object(a));
        const auto* ys = sequence_items(heap().get_if_object(b));
        if (!xs || !ys) return Order();
        if (i >= xs->size() || i >= ys->size()) return three_way(xs->size(), ys->size());
        Value xi = heap().clone_value((*xs)[i]), yi = heap().clone_value((*ys)[i]);
        TRY_DO(charge_work(1));
        TRY_ASSIGN(equal, item_equal(xi, yi));
        if (equal) continue;
        // The first unequal pair decides.
        return deep_compare_at(xi, yi, depth + 1);
    }
}

PyResult<bool> EngineRuntime::builtin_equal(Value a, Value b) {
    if (a == b) return true;
    TRY_ASSIGN(structural, compare(0, a, b));
    if (structural) return *structural;
    const NumericView x = py_numeric_view(heap(), a), y = py_numeric_view(heap(), b);
    if (x.kind != NumericView::None && y.kind != NumericView::None) return vm::values_equal(*ctx_, a, b);
    TRY_ASSIGN(sa, str_view(heap(), a));
    TRY_ASSIGN(sb, str_view(heap(), b));
    if (sa && sb) return *sa == *sb;
    TRY_ASSIGN(ba, to_bytes(a));
    TRY_ASSIGN(bb, to_bytes(b));
    if (ba && bb) return *ba == *bb;
    return false;
}

// Items of two containers: identical values are equal at once (a list holding itself); nested
// containers through the structural comparison, so that their depth counts; others by ==.
PyResult<bool> EngineRuntime::item_equal(Value a, Value b) {
    if (a == b) return true;
    TRY_ASSIGN(structural, compare(0, a, b));
    if (structural) return *structural;
    return vm::values_equal(*ctx_, a, b);
}

PyResult<std::optional<bool>> EngineRuntime::compare(std::uint8_t op, Value a, Value b) {
    if (!a.is_object() || !b.is_object()) return std::optional<bool>();
    TRY_ASSIGN(sa, heap().get(a));
    TRY_ASSIGN(sb, heap().get(b));
    const bool both_lists = std::holds_alternative<ListPayload>(sa->object) && std::holds_alternative<ListPayload>(sb->object);
    const bool both_tuples = std::holds_alternative<TuplePayload>(sa->object) && std::holds_alternative<TuplePayload>(sb->object);
    if (both_lists || both_tuples) {
        if (op > 5) return std::optional<bool>();
        ExecState& st = exec();
        if (st.comparison_depth >= kMaxComparisonDepth)
            return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded in comparison"));
        ++st.comparison_depth;
        struct Lower {
            ExecState& st;
            ~Lower() { --st.comparison_depth; }
        } lower{st};
        for (std::uint64_t i = 0;; ++i) {
            const auto* xs = sequence_items(heap().get_if_object(a));
            const auto* ys = sequence_items(heap().get_if_object(b));
            if (!xs || !ys) return fail(PyError::runtime_error("list handle changed object kind"));
            if (i >= xs->size() || i >= ys->size()) {
                const int order = xs->size() < ys->size() ? -1 : xs->size() > ys->size() ? 1 : 0;
                return std::optional(compare_order_holds(op, order));
            }
            Value x = heap().clone_value((*xs)[i]), y = heap().clone_value((*ys)[i]);
            TRY_DO(charge_work(1));
            TRY_ASSIGN(equal, item_equal(x, y));
            if (equal) continue;
            if (op == 0) return std::optional(false);
            if (op == 1) return std::optional(true);
            TRY_ASSIGN(r, vm::compare_holds(*ctx_, op, x, y));
            return std::optional(r);
        }
    }
    const bool dicts = dict_like(sa->object) && dict_like(sb->object);
    const bool sets = set_like(sa->object) && set_like(sb->object);
    if ((dicts || sets) && op <= 1) {
        TRY_ASSIGN(r, vm::values_equal(*ctx_, a, b));
        return std::optional(op == 0 ? r : !r);
    }
    return std::optional<bool>();
}

std::optional<BigInt> EngineRuntime::to_bigint(Value v) {
    const NumericView n = py_numeric_view(heap(), v);
    switch (n.kind) {
        case NumericView::Small: return BigInt(n.small);
        case NumericView::Big: return *n.big;
        case NumericView::U64: {
            BigInt b;
            mpz_set_ui(b.get(), n.u64);
            return b;
        }
        default: return std::nullopt;
    }
}

NumericView EngineRuntime::number_view(Value v) { return py_numeric_view(heap(), v); }

PyResult<std::string> EngineRuntime::repr_builtin(Value v) {
    ReprVisited visited;
    return py_container_repr(*ctx_, v, visited);
}

PyResult<std::string> EngineRuntime::format_fstring_field(Value v, std::int32_t conversion, std::string_view spec) {
    TRY_ASSIGN(text, vm::format_field(*ctx_, v, conversion, spec));
    TRY_ASSIGN(view, str_view(heap(), text));
    return std::string(view.value_or(""));
}

// ---- sequences and aliases ------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::reversed(Value v) {
    TRY_ASSIGN(type, py_type_id_of(heap(), types(), v));
    TRY_ASSIGN(reverse_slot, types().slot(type, DunderSlot::Reversed));
    // A class's own __reversed__; the builtin sequences' reversal is the reversed iterator below.
    if (reverse_slot && reverse_slot->kind == SlotKind::Callable) {
        TRY_ASSIGN(method, getattr(v, "__reversed__"));
        return call(method, {}, {});
    }
    const HeapSlot* s = heap().get_if_object(v);
    const bool builtin_sequence =
        v.is_inline_str() ||
        (s && (std::holds_alternative<HeapStr>(s->object) || std::holds_alternative<BytesPayload>(s->object) ||
               std::holds_alternative<ByteArrayPayload>(s->object) || std::holds_alternative<ListPayload>(s->object) ||
               std::holds_alternative<TuplePayload>(s->object) || std::holds_alternative<RangePayload>(s->object)));
    TRY_ASSIGN(getitem, types().slot(type, DunderSlot::GetItem));
    if (!builtin_sequence && !getitem)
        return fail(PyError::type_error(fmt::format("'{}' object is not reversible", type_name(v))));
    std::uint64_t length = 0;
    TRY_ASSIGN(len_slot, types().slot(type, DunderSlot::Length));
    if (!builtin_sequence && len_slot) {
        TRY_ASSIGN(method, getattr(v, "__len__"));
        TRY_ASSIGN(n, call(method, {}, {}));
        auto i = to_i64(n);
        if (!i) return fail(PyError::type_error("__len__() should return an integer"));
        if (*i < 0) return fail(PyError::value_error("__len__() should return >= 0"));
        length = std::uint64_t(*i);
    } else {
        TRY_ASSIGN(n, py_builtin_len(*ctx_, v));
        if (!n) return fail(PyError::type_error("reversed() requires a sequence"));
        length = *n;
    }
    return heap().allocate_object(ReversedIteratorPayload{length, v}, roots(), meter());
}

PyResult<Value> EngineRuntime::native_reverse(Value v) {
    TRY_ASSIGN(n, py_builtin_len(*ctx_, v));
    if (!n) return fail(PyError::unsupported("native reverse slot requires a sequence"));
    return heap().allocate_object(ReversedIteratorPayload{*n, v}, roots(), meter());
}

PyResult<Value> EngineRuntime::new_generic_alias(Value origin, Value args) {
    std::vector<Value> items;
    const HeapSlot* s = heap().get_if_object(args);
    if (const auto* t = s ? std::get_if<TuplePayload>(&s->object) : nullptr) items = t->items;
    else items.push_back(args);
    TRY_DO(charge_work(items.size()));
    return heap().allocate_object(GenericAliasPayload{origin, std::move(items)}, roots(), meter());
}

// ---- attributes and exceptions ----------------------------------------------------------------------------

PyStatus EngineRuntime::setattr_generic(Value v, std::string_view name, Value value) {
    TRY_ASSIGN(symbol, heap().symbols.intern(name, meter()));
    return py_setattr(*ctx_, v, symbol, name, value);
}

PyStatus EngineRuntime::delattr_generic(Value v, std::string_view name) {
    TRY_ASSIGN(symbol, heap().symbols.intern(name, meter()));
    return py_delattr(*ctx_, v, symbol, name);
}

PyStatus EngineRuntime::raise_stop_iteration(Value generator) {
    std::vector<Value> args;
    if (heap().get_if_object(generator)) {
        auto slot = heap().slot_mut(generator);
        if (slot) {
            if (auto* g = std::get_if<GeneratorPayload>(&(*slot)->object)) {
                Value taken = std::exchange(g->record->return_value, Value::none());
                if (!taken.is_none() && !taken.is_absent()) {
                    heap().push_root(taken);
                    args.push_back(taken);
                }
            }
        }
    }
    return set_pending_exception("StopIteration", std::move(args));
}

// ---- registered kinds -------------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::registered_kind_value(const ValueKindDef& kind, std::uint64_t payload) {
    auto number = kind_number(kind);
    if (!number) return fail(kind_not_registered());
    return Value::registered(*number, payload);
}

std::optional<std::uint64_t> EngineRuntime::is_registered_kind(Value v, const ValueKindDef& kind) {
    if (!v.is_registered() || value_kind_at(v.registered_kind()) != &kind) return std::nullopt;
    return v.registered_payload();
}

PyResult<Value> EngineRuntime::new_registered_object(const ValueKindDef& kind, std::array<std::uint64_t, 2> payload) {
    auto number = kind_number(kind);
    if (!number) return fail(kind_not_registered());
    const TypeId id = kBuiltinTypeCount + *number;
    return heap().insert_object(id, RegisteredPayload{*number, id, payload}, roots(), meter());
}

std::optional<std::array<std::uint64_t, 2>> EngineRuntime::registered_object_payload(Value v, const ValueKindDef& kind) {
    const HeapSlot* s = heap().get_if_object(v);
    const auto* r = s ? std::get_if<RegisteredPayload>(&s->object) : nullptr;
    if (!r || value_kind_at(r->kind) != &kind) return std::nullopt;
    return r->payload;
}

const ValueKindDef* EngineRuntime::registered_kind_of(Value v) {
    if (v.is_registered()) return value_kind_at(v.registered_kind());
    const HeapSlot* s = heap().get_if_object(v);
    const auto* r = s ? std::get_if<RegisteredPayload>(&s->object) : nullptr;
    return r ? value_kind_at(r->kind) : nullptr;
}

std::optional<std::string> EngineRuntime::native_type_name(Value v) {
    auto d = decode_native_handle(v);
    if (!d) return std::nullopt;
    if (d->tag == DefinitionTag::BuiltinType) return std::string(builtin_type_name(d->number));
    if (d->tag == DefinitionTag::ValueKind && d->value_kind) return std::string(d->value_kind->name);
    return std::nullopt;
}

std::optional<Value> EngineRuntime::builtin_by_name(std::string_view name) {
    for (TypeId id = 0; id < kBuiltinTypeCount; ++id)
        if (builtin_type_name(id) == name) return intern_static_definition(StaticDefinition::of_builtin_type(id));
    return std::nullopt;
}

PyResult<Value> EngineRuntime::registered_kind_class(const ValueKindDef& kind) {
    auto number = kind_number(kind);
    if (!number) return fail(kind_not_registered());
    return types().class_value(kBuiltinTypeCount + *number);
}

// ---- operators and construction ---------------------------------------------------------------------------

PyResult<Value> EngineRuntime::apply_operator(std::uint8_t kind, std::uint8_t code, std::span<const Value> operands) {
    const std::size_t arity = kind == 1 || kind == 2 ? 2 : 1;
    if (operands.size() != arity) return fail(PyError::runtime_error("operator received the wrong arity"));
    switch (kind) {
        case 1: return vm::binary_operation(*ctx_, code, operands[0], operands[1], false);
        case 2: return vm::compare_operation(*ctx_, code, operands[0], operands[1]);
        case 3: return py_abs(*ctx_, operands[0]);
        default: return vm::unary_operation(*ctx_, code, operands[0]);
    }
}

PyResult<Value> EngineRuntime::new_bigint(BigInt value) {
    if (value.fits_i64()) return Value::from_int(value.to_i64());
    TRY_DO(charge_work(mpz_size(value.get())));
    auto boxed = Box<BigInt>::make(std::move(value));
    return heap().allocate_object(BigIntPayload{std::move(boxed)}, roots(), meter());
}

PyResult<Value> EngineRuntime::type_new(TypeId builtin, Value cls, NativeCall arguments) {
    const std::string t_name(builtin_type_name(builtin));
    auto not_subtype = [&](std::string_view name) {
        return PyError::type_error(fmt::format("{0}.__new__({1}): {1} is not a subtype of {0}", t_name, name));
    };
    if (auto d = decode_native_handle(cls)) {
        if (d->tag == DefinitionTag::BuiltinType) {
            if (d->number != builtin) return fail(not_subtype(builtin_type_name(d->number)));
            return vm::construct_builtin_type(*ctx_, builtin, std::move(arguments));
        }
        if (d->tag == DefinitionTag::ValueKind && d->value_kind) return fail(not_subtype(last_component(d->value_kind->name)));
        if (d->tag == DefinitionTag::ExceptionType) return fail(not_subtype(d->name));
    }
    const HeapSlot* s = heap().get_if_object(cls);
    if (const auto* c = s ? std::get_if<ClassPayload>(&s->object) : nullptr) {
        const std::string name = c->record->name;
        const TypeId id = c->record->type_id;
        TRY_ASSIGN(record, types().get(id));
        const bool same_layout = std::find(record->mro.begin(), record->mro.end(), builtin) != record->mro.end();
        if (!same_layout) return fail(not_subtype(name));
        TRY_ASSIGN(value, vm::construct_builtin_type(*ctx_, builtin, std::move(arguments)));
        heap().push_root(value);
        const HeapSlot* made = heap().get_if_object(value);
        if (!made) return fail(PyError::unsupported("builtin subclass has no registered type"));
        return heap().insert_object(id, clone_payload(made->object), roots(), meter());
    }
    return fail(PyError::type_error(fmt::format("{}.__new__(X): X is not a type object ({})", t_name, type_name(cls))));
}

Value EngineRuntime::static_value(std::uint8_t selector) {
    auto type = [](BuiltinType t) { return intern_static_definition(StaticDefinition::of_builtin_type(type_id(t))); };
    switch (selector) {
        case 1: return type(BuiltinType::Enum);
        case 2: return type(BuiltinType::TestCase);
        case 3: return intern_static_definition(StaticDefinition::of(DefinitionTag::Environment));
        case 4: return intern_static_definition(StaticDefinition::of_stream(0));
        case 5: return intern_static_definition(StaticDefinition::of_stream(3));
        case 6: return intern_static_definition(StaticDefinition::of_stream(1));
        case 7: return intern_static_definition(StaticDefinition::of_stream(2));
        case 8: return type(BuiltinType::Array);
        default: return intern_static_definition(StaticDefinition::of(DefinitionTag::TypingList));
    }
}

}  // namespace tw::py
