// Values and operators: building containers, hashing and equality of keys, iteration,
// subscripts, the binary, unary and comparison operators beyond the loop's fast paths, truth,
// and the repr / str / format texts of builtin values.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/number/int_text.h"
#include "python/number/hash.h"
#include "python/number/number.h"
#include "python/number/values.h"
#include "python/objects/float_text.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/comparison.h"
#include "python/vm/protocols.h"
#include "python/vm/iteration.h"
#include "python/types/hash_values.h"
#include "python/types/mapping_types.h"
#include "python/vm/mapping_slots.h"
#include "python/types/number_slots.h"
#include "python/types/string_types.h"
#include "python/vm/str_formatting.h"
#include "python/vm/repr.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/sequences.h"
#include "python/vm/repr.h"

namespace tw::py::vm {

namespace {


struct EngineKeys final : KeyProtocol {
    explicit EngineKeys(RuntimeContext& c) : ctx(c) {}
    PyResult<std::uint64_t> hash(const Value& key) override { return hash_value(ctx, key); }
    PyResult<bool> equal(const Value& stored, const Value& probe) override {
        if (stored == probe) return true;
        return values_equal(ctx, stored, probe);
    }
    bool simple_keys_by_bits() const override { return true; }
    RuntimeContext& ctx;
};

const HeapObject* object_of(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    return s ? &s->object : nullptr;
}

bool is_str(const Heap& heap, const Value& v) {
    if (v.is_inline_str()) return true;
    const HeapObject* o = object_of(heap, v);
    return o && std::holds_alternative<HeapStr>(*o);
}

std::string_view str_of(const Heap& heap, const Value& v) {
    if (v.is_inline_str()) return v.inline_str();
    return std::get<HeapStr>(*object_of(heap, v)).text;
}

bool is_integer(const Heap& heap, Value v) {
    if (v.is_int() || v.is_bool()) return true;
    const HeapObject* o = object_of(heap, v);
    return o && std::holds_alternative<BigIntPayload>(*o);
}
// Boxed floats are the payload of float subclasses' instances.
const FloatPayload* boxed_float(const Heap& heap, Value v) {
    const HeapObject* o = object_of(heap, v);
    return o ? std::get_if<FloatPayload>(o) : nullptr;
}
bool is_number(const Heap& heap, Value v) { return is_integer(heap, v) || v.is_float() || boxed_float(heap, v); }

std::string_view binary_symbol(std::uint8_t op) { return operator_text(BinaryOperator(op)); }

PyError unsupported_operands(RuntimeContext& ctx, std::string_view sym, Value a, Value b) {
    auto ta = type_name(ctx, a), tb = type_name(ctx, b);
    return PyError::type_error(fmt::format("unsupported operand type(s) for {}: '{}' and '{}'", sym,
                                           ta ? *ta : std::string("?"), tb ? *tb : std::string("?")));
}

// Numbers of any size: the arithmetic kernel of the number library (its charges, limits and
// messages), after the dispatch loop's small-integer and float fast paths declined.
PyResult<std::optional<Value>> number_binary(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    Heap& heap = ctx.heap;
    if (a.is_bool() && b.is_bool())
        if (auto r = py_bool_bitwise(BinaryOp(op), a.as_bool(), b.as_bool())) return std::optional(Value::from_bool(*r));
    auto x = numeric_operand(heap, a);
    if (!x) return std::optional<Value>();
    auto y = numeric_operand(heap, b);
    if (!y) return std::optional<Value>();
    const NumberEnv env{heap, ctx.machine.meter, ctx.roots};
    MeterCharges charges(env);
    TRY_ASSIGN(r, py_number_binary_op(charges, std::move(*x), std::move(*y), BinaryOp(op)));
    return number_value_to_py(env, std::move(r));
}

const std::vector<Value>* items_of(const Heap& heap, Value v, HeapObjectKind kind) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s || s->kind() != kind) return nullptr;
    return sequence_items(s->object);
}

PyResult<std::optional<Value>> sequence_binary(RuntimeContext& ctx, std::uint8_t op, Value a, Value b, bool inplace) {
    using B = BinaryOperator;
    Heap& heap = ctx.heap;
    if (B(op) == B::Add && is_str(heap, a) && is_str(heap, b)) {
        std::string_view x = str_of(heap, a), y = str_of(heap, b);
        TRY_DO(python_charge_work(ctx.machine.meter, (x.size() + y.size()) / 64 + 1));
        std::string s;
        s.reserve(x.size() + y.size());
        s.append(x).append(y);
        if (s.size() <= kMaxInlineStr) {
            TRY_ASSIGN(v, make_str(ctx, std::move(s)));
            return std::optional(v);
        }
        // The character count is the sum of the parts' counts: the text is not scanned again.
        auto chars = [&](const Value& v) -> std::uint64_t {
            if (v.is_inline_str()) return HeapStr::make(std::string(v.inline_str())).char_count;
            return std::get<HeapStr>(*object_of(heap, v)).char_count;
        };
        std::uint64_t count = chars(a) + chars(b);
        TRY_ASSIGN(v, heap.allocate_object(HeapStr{std::move(s), count}, ctx.roots, ctx.machine.meter));
        return std::optional(v);
    }
    TRY_ASSIGN(listed, sequence_binary_operation(ctx, op, a, b, inplace));
    if (listed) return listed;
    if (B(op) == B::Mult) {
        Value seq = a, count = b;
        if (is_integer(heap, a) && !is_integer(heap, b)) std::swap(seq, count);
        if (!count.is_int() && !count.is_bool()) return std::optional<Value>();
        std::int64_t n = std::max<std::int64_t>(count.as_int(), 0);
        if (is_str(heap, seq)) {
            std::string_view x = str_of(heap, seq);
            if (x.size() && std::uint64_t(n) > (std::uint64_t(1) << 30) / x.size())
                return fail(PyError::resource(std::string(kMemoryLimitText)));
            TRY_DO(python_charge_work(ctx.machine.meter, x.size() * n / 64 + 1));
            std::string s;
            s.reserve(x.size() * n);
            for (std::int64_t i = 0; i < n; ++i) s.append(x);
            TRY_ASSIGN(v, make_str(ctx, std::move(s)));
            return std::optional(v);
        }
    }
    return std::optional<Value>();
}

// Calls the program-class dunder `slot` of `self` with `args`; none when the class has none or
// the method answered NotImplemented.
// An instance of a program subclass of a builtin type (it carries the builtin's payload): the
// special methods its class defines come before the builtin's own behaviour.
bool builtin_subclass_instance(const HeapSlot* s) {
    return s && s->type_id >= kFirstProgramType && s->kind() != HeapObjectKind::Object &&
           s->kind() != HeapObjectKind::Exception;
}

PyResult<std::optional<Value>> call_dunder(RuntimeContext& ctx, Value self, DunderSlot slot, std::span<const Value> args) {
    Interpreter& in = interp(ctx);
    auto cls = instance_class_value(ctx.heap, in.types, self);
    if (!cls) return fail(std::move(cls.error()));
    if (!*cls) return std::optional<Value>();
    Symbol name = in.types.dunder_symbols()[std::size_t(slot)];
    TRY_ASSIGN(method, class_lookup(ctx, **cls, name));
    if (!method) return std::optional<Value>();
    std::vector<Value> all{self};
    all.insert(all.end(), args.begin(), args.end());
    TRY_ASSIGN(r, call_immediate(ctx, *method, all, {}));
    if (r.is_native() && r.native_kind() == NativeKind::NotImplemented) return std::optional<Value>();
    return std::optional(r);
}

constexpr DunderSlot kForward[] = {
    DunderSlot::Add,       DunderSlot::Subtract,    DunderSlot::Multiply,  DunderSlot::MatrixMultiply,
    DunderSlot::Power,     DunderSlot::Divide,      DunderSlot::FloorDivide, DunderSlot::Remainder,
    DunderSlot::LeftShift, DunderSlot::RightShift,  DunderSlot::BitwiseAnd, DunderSlot::BitwiseXor,
    DunderSlot::BitwiseOr,
};
constexpr DunderSlot kInplace[] = {
    DunderSlot::InplaceAdd,        DunderSlot::InplaceSubtract,   DunderSlot::InplaceMultiply,
    DunderSlot::InplaceMatrixMultiply, DunderSlot::InplacePower,  DunderSlot::InplaceDivide,
    DunderSlot::InplaceFloorDivide, DunderSlot::InplaceRemainder, DunderSlot::InplaceLeftShift,
    DunderSlot::InplaceRightShift, DunderSlot::InplaceBitwiseAnd, DunderSlot::InplaceBitwiseXor,
    DunderSlot::InplaceBitwiseOr,
};

PyResult<std::int64_t> index_of(RuntimeContext& ctx, Value key, std::uint64_t length, std::string_view what) {
    TRY_ASSIGN(index, py_as_index(ctx, key));
    if (!index) {
        TRY_ASSIGN(tn, type_name(ctx, key));
        return fail(PyError::type_error(fmt::format("{} indices must be integers or slices, not {}", what, tn)));
    }
    std::int64_t i = *index;
    if (i < 0) i += std::int64_t(length);
    return i;
}

// start, stop, step of a slice over `length` (Python's PySlice_AdjustIndices).
PyResult<std::array<std::int64_t, 3>> slice_indices(RuntimeContext& ctx, const SlicePayload& s, std::int64_t length) {
    auto get = [&](Value v, std::int64_t dflt) -> PyResult<std::int64_t> {
        if (v.is_none()) return dflt;
        TRY_ASSIGN(index, py_as_index(ctx, v));
        if (index) return *index;
        return fail(PyError::type_error("slice indices must be integers or None or have an __index__ method"));
    };
    TRY_ASSIGN(step, get(s.step, 1));
    if (step == 0) return fail(PyError::value_error("slice step cannot be zero"));
    std::int64_t lower = step < 0 ? -1 : 0, upper = step < 0 ? length - 1 : length;
    auto clamp = [&](Value v, std::int64_t dflt) -> PyResult<std::int64_t> {
        if (v.is_none()) return dflt;
        TRY_ASSIGN(i, get(v, 0));
        if (i < 0) {
            i += length;
            if (i < lower) i = lower;
        } else if (i > upper) {
            i = upper;
        }
        return i;
    };
    TRY_ASSIGN(start, clamp(s.start, step < 0 ? upper : lower));
    TRY_ASSIGN(stop, clamp(s.stop, step < 0 ? lower : upper));
    return std::array<std::int64_t, 3>{start, stop, step};
}

}  // namespace

// ---- values ---------------------------------------------------------------------------------

PyResult<Value> new_list(RuntimeContext& ctx, std::vector<Value> items) {
    return ctx.heap.allocate_object(ListPayload{std::move(items)}, ctx.roots, ctx.machine.meter);
}
PyResult<Value> new_tuple(RuntimeContext& ctx, std::vector<Value> items) {
    return ctx.heap.allocate_object(TuplePayload{std::move(items)}, ctx.roots, ctx.machine.meter);
}
PyResult<Value> new_dict(RuntimeContext& ctx, std::span<const std::pair<Value, Value>> pairs) {
    EngineKeys keys(ctx);
    return new_dict_from_pairs(ctx.heap, ctx.machine.meter, keys, ctx.roots, pairs);
}
PyResult<Value> new_set(RuntimeContext& ctx, std::span<const Value> items, bool frozen) {
    EngineKeys keys(ctx);
    TRY_ASSIGN(table, set_entries_from_values(ctx.machine.meter, keys, items));
    auto box = Box<SetTable>::make(std::move(table));
    if (frozen) return ctx.heap.allocate_object(FrozenSetPayload{std::move(box)}, ctx.roots, ctx.machine.meter);
    return ctx.heap.allocate_object(SetPayload{std::move(box)}, ctx.roots, ctx.machine.meter);
}
PyResult<Value> make_str(RuntimeContext& ctx, std::string text) {
    return new_str(ctx.heap, std::move(text), ctx.roots, ctx.machine.meter);
}
PyStatus dict_store(RuntimeContext& ctx, Value dict, Value key, Value v) {
    EngineKeys keys(ctx);
    return dict_set_item(ctx.heap, ctx.machine.meter, keys, ctx.roots, dict, key, v);
}
PyResult<bool> set_insert(RuntimeContext& ctx, Value set, Value element) {
    EngineKeys keys(ctx);
    return set_add(ctx.heap, ctx.machine.meter, keys, ctx.roots, set, element);
}
PyResult<std::optional<Value>> dict_lookup(RuntimeContext& ctx, Value dict, Value key) {
    EngineKeys keys(ctx);
    TRY_ASSIGN(found, dict_lookup_entry(ctx.heap, ctx.machine.meter, keys, dict, key));
    if (!found.slot) return std::optional<Value>();
    TRY_ASSIGN(slot, ctx.heap.get(dict));
    const DictTable* t = dict_table_of(const_cast<HeapObject&>(slot->object));
    return std::optional(ctx.heap.clone_value(t->slots[*found.slot].value));
}

PyResult<std::uint64_t> hash_value(RuntimeContext& ctx, Value v) {
    // Small integers hash to themselves (-1 is -2); everything else through the number library.
    if (v.is_int() || v.is_bool()) {
        const std::int64_t x = v.as_int();
        if (x > -std::int64_t(kHashModulus) && x < std::int64_t(kHashModulus)) return std::uint64_t(x == -1 ? -2 : x);
    }
    // A plain str: the hash of its text, with the charges of the general path (one unit, then
    // one per 32 bytes).
    std::string_view text;
    bool plain_str = v.is_inline_str();
    if (plain_str) {
        text = v.inline_str();
    } else if (const HeapSlot* s = ctx.heap.get_if_object(v);
               s && s->type_id == type_id(BuiltinType::String) && std::holds_alternative<HeapStr>(s->object)) {
        text = std::get<HeapStr>(s->object).text;
        plain_str = true;
    }
    if (plain_str) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1 + text.size() / 32));
        return std::uint64_t(py_hash_str(text));
    }
    EngineRuntime rt(ctx);
    return py_hash_key(rt, v);
}

PyResult<bool> values_equal(RuntimeContext& ctx, Value a, Value b) {
    TRY_ASSIGN(r, compare_operation(ctx, std::uint8_t(CompareOperator::Eq), a, b));
    if (r.is_bool()) return r.as_bool();
    return truth(ctx, r);
}

PyResult<bool> compare_holds(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    TRY_ASSIGN(r, compare_operation(ctx, op, a, b));
    if (r.is_bool()) return r.as_bool();
    return truth(ctx, r);
}

PyResult<std::vector<Value>> collect_iterable(RuntimeContext& ctx, Value iterable) {
    Heap& heap = ctx.heap;
    heap.push_root(iterable);
    if (const HeapSlot* s = heap.get_if_object(iterable)) {
        if (s->kind() == HeapObjectKind::CountIterator)
            return fail(PyError::unsupported("cannot materialize infinite itertools.count without a bound"));
        if (const std::vector<Value>* items = sequence_items(s->object);
            items && s->kind() != HeapObjectKind::Exception) {
            TRY_DO(python_charge_work(ctx.machine.meter, items->size()));
            return *items;
        }
    }
    TRY_ASSIGN(it, get_iterator(ctx, iterable));
    heap.push_root(it);
    std::vector<Value> out;
    for (;;) {
        TRY_ASSIGN(step, iterator_next(ctx, it));
        if (!step.item) break;
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        heap.push_root(*step.item);
        out.push_back(*step.item);
    }
    return out;
}

PyResult<Value> get_iterator(RuntimeContext& ctx, Value v) {
    // An instance of a subclass of a builtin container (it carries the container's payload): its
    // class's own __iter__ first. Plain instances take the instance protocol below.
    if (const HeapSlot* s = ctx.heap.get_if_object(v);
        s && s->type_id >= kFirstProgramType && s->kind() != HeapObjectKind::Object) {
        TRY_ASSIGN(custom, call_dunder(ctx, v, DunderSlot::Iter, {}));
        if (custom) return *custom;
    }
    TRY_ASSIGN(builtin, py_iter(ctx, v));
    if (builtin) return *builtin;
    if (ctx.heap.get_if_object(v)) {
        TRY_ASSIGN(mapped, call_mapping_slot(ctx, v, DunderSlot::Iter, {}));
        if (mapped) return *mapped;
        TRY_ASSIGN(custom, iterator_of_instance(ctx, v));
        if (custom) return *custom;
    }
    TRY_ASSIGN(stream, stream_iterator_for(ctx, v));
    if (stream) return *stream;
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("'{}' object is not iterable", tn)));
}

PyResult<IterStep> iterator_next(RuntimeContext& ctx, Value it) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(native, native_iterator_next(ctx, it));
    if (native) return *native;
    TRY_ASSIGN(slot, heap.slot_mut(it));
    if (auto* r = std::get_if<RangeIteratorPayload>(&slot->object)) {
        if (r->exhausted || !(r->step > 0 ? r->current < r->stop : r->current > r->stop)) {
            r->exhausted = true;
            return IterStep{};
        }
        Value v = Value::from_int(r->current);
        if (__builtin_add_overflow(r->current, r->step, &r->current)) r->exhausted = true;
        return IterStep{v};
    }
    if (auto* vi = std::get_if<ValuesIteratorPayload>(&slot->object)) {
        if (vi->position >= vi->values.size()) return IterStep{};
        return IterStep{heap.clone_value(vi->values[vi->position++])};
    }
    if (auto* si = std::get_if<SequenceIteratorPayload>(&slot->object)) {
        std::uint64_t pos = si->position;
        Value source = si->source;
        const HeapSlot* src = heap.get_if_object(source);
        const std::vector<Value>* items = src ? sequence_items(src->object) : nullptr;
        if (!items || pos >= items->size()) return IterStep{};
        Value v = (*items)[pos];
        std::get<SequenceIteratorPayload>((*heap.slot_mut(it))->object).position = pos + 1;
        return IterStep{heap.clone_value(v)};
    }
    if (std::holds_alternative<GeneratorPayload>(slot->object)) {
        TRY_ASSIGN(item, generator_step(ctx, it, Value::none()));
        return IterStep{item};
    }
    Interpreter& in = interp(ctx);
    auto cls = instance_class_value(heap, in.types, it);
    if (cls && *cls) {
        auto r = call_dunder(ctx, it, DunderSlot::Next, {});
        if (!r) {
            if (r.error().is_raised_marker() && pending_exception_is_instance(in, "StopIteration")) {
                ctx.exec.pending_exception.reset();
                return IterStep{};
            }
            if (auto k = r.error().kind(); k == ErrorKindTag::Exception && r.error().detail()->class_name == "StopIteration")
                return IterStep{};
            return fail(std::move(r.error()));
        }
        if (*r) return IterStep{**r};
    }
    TRY_ASSIGN(tn, type_name(ctx, it));
    return fail(PyError::type_error(fmt::format("'{}' object is not an iterator", tn)));
}

// ---- operators ------------------------------------------------------------------------------

PyResult<Value> binary_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b, bool inplace) {
    Heap& heap = ctx.heap;
    heap.push_root(a), heap.push_root(b);
    TRY_ASSIGN(num, number_binary(ctx, op, a, b));
    if (num) return *num;
    TRY_ASSIGN(seq, sequence_binary(ctx, op, a, b, inplace));
    if (seq) return *seq;
    if (BinaryOperator(op) == BinaryOperator::Mod && is_str(heap, a)) {
        EngineRuntime rt(ctx);
        TRY_ASSIGN(formatted, str_percent_slot(rt, a, b));
        if (formatted) return *formatted;
    }
    if (inplace) {
        TRY_ASSIGN(r, call_dunder(ctx, a, kInplace[op], std::span<const Value>(&b, 1)));
        if (r) return *r;
    }
    TRY_ASSIGN(forward, call_dunder(ctx, a, kForward[op], std::span<const Value>(&b, 1)));
    if (forward) return *forward;
    TRY_ASSIGN(reflected, call_dunder(ctx, b, DunderSlot(std::uint8_t(kForward[op]) + 1), std::span<const Value>(&a, 1)));
    if (reflected) return *reflected;
    // Builtin slot functions of other types (dict |, set operators, ...).
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(ta, py_type_id_of(heap, in.types, a));
    TRY_ASSIGN(entry, in.types.slot(ta, kForward[op]));
    bool handled_here = is_number(heap, a) || is_str(heap, a) || items_of(heap, a, HeapObjectKind::List) ||
                        items_of(heap, a, HeapObjectKind::Tuple);
    if (entry && entry->kind == SlotKind::Binary && ta < kFirstProgramType && !handled_here) {
        EngineRuntime rt(ctx);
        TRY_ASSIGN(r, entry->as_binary()(rt, a, b));
        if (r) return *r;
    }
    // The reflected slot of a set or dict view on the right ([3] | d.keys()).
    {
        TRY_ASSIGN(mapped, call_mapping_slot(ctx, b, DunderSlot(std::uint8_t(kForward[op]) + 1), std::span<const Value>(&a, 1)));
        if (mapped) return *mapped;
    }
    // A builtin right operand of another type: its reflected slot (int + complex, 2 * b'ab', ...).
    TRY_ASSIGN(tb, py_type_id_of(heap, in.types, b));
    const bool right_handled_here = is_number(heap, b) || is_str(heap, b) || items_of(heap, b, HeapObjectKind::List) ||
                                    items_of(heap, b, HeapObjectKind::Tuple);
    if (tb < kFirstProgramType && ta != tb && !right_handled_here) {
        TRY_ASSIGN(reflected_entry, in.types.slot(tb, DunderSlot(std::uint8_t(kForward[op]) + 1)));
        if (reflected_entry && reflected_entry->kind == SlotKind::Binary) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(r, reflected_entry->as_binary()(rt, b, a));
            if (r) return *r;
        }
    }
    TRY_ASSIGN(sequence_error, sequence_operand_error(ctx, op, a, b));
    if (sequence_error) return fail(std::move(*sequence_error));
    return fail(unsupported_operands(ctx, inplace ? std::string(binary_symbol(op)) + "=" : std::string(binary_symbol(op)), a, b));
}

PyResult<Value> unary_operation(RuntimeContext& ctx, std::uint8_t op, Value a) {
    using U = UnaryOperator;
    Heap& heap = ctx.heap;
    if (U(op) == U::Not) {
        TRY_ASSIGN(t, truth(ctx, a));
        return Value::from_bool(!t);
    }
    if (is_integer(heap, a)) {
        const NumberEnv env{heap, ctx.machine.meter, ctx.roots};
        MeterCharges charges(env);
        const UnaryOp kernel_op = U(op) == U::USub ? UnaryOp::Negative : U(op) == U::Invert ? UnaryOp::Invert : UnaryOp::Positive;
        TRY_ASSIGN(r, py_int_unary_op(charges, *numeric_operand(heap, a), kernel_op));
        TRY_ASSIGN(v, number_value_to_py(env, std::move(r)));
        if (v) return *v;
    }
    DunderSlot slot = U(op) == U::USub ? DunderSlot::Negative : U(op) == U::UAdd ? DunderSlot::Positive : DunderSlot::Invert;
    TRY_ASSIGN(r, call_dunder(ctx, a, slot, {}));
    if (r) return *r;
    TRY_ASSIGN(tn, type_name(ctx, a));
    return fail(PyError::type_error(fmt::format("bad operand type for unary {}: '{}'", operator_text(U(op)), tn)));
}

PyResult<bool> truth(RuntimeContext& ctx, Value v) {
    if (const HeapSlot* slot = ctx.heap.get_if_object(v);
        !slot || (slot->kind() != HeapObjectKind::Object && slot->kind() != HeapObjectKind::Exception)) {
        auto fast = py_truth_fast(ctx.heap, v);
        if (fast && *fast) return **fast;
        if (!slot) {
            if (!fast) return fail(std::move(fast.error()));
            return true;
        }
        if (slot->kind() != HeapObjectKind::Registered && slot->kind() != HeapObjectKind::NativeObject) return true;
    }
    TRY_ASSIGN(b, call_dunder(ctx, v, DunderSlot::Bool, {}));
    if (b) {
        if (!b->is_bool()) {
            TRY_ASSIGN(tn, type_name(ctx, *b));
            return fail(PyError::type_error(fmt::format("__bool__ should return bool, returned {}", tn)));
        }
        return b->as_bool();
    }
    TRY_ASSIGN(n, call_dunder(ctx, v, DunderSlot::Length, {}));
    if (n) return n->is_int() && n->as_int() != 0;
    return true;
}

PyResult<bool> contains(RuntimeContext& ctx, Value container, Value item) {
    Heap& heap = ctx.heap;
    if (is_str(heap, container)) {
        if (!is_str(heap, item)) {
            TRY_ASSIGN(tn, type_name(ctx, item));
            return fail(PyError::type_error(fmt::format("'in <string>' requires string as left operand, not {}", tn)));
        }
        std::string_view hay = str_of(heap, container), needle = str_of(heap, item);
        TRY_DO(python_charge_work(ctx.machine.meter, (hay.size() + needle.size()) / 16 + 1));
        return hay.find(needle) != std::string_view::npos;
    }
    const HeapSlot* slot = heap.get_if_object(container);
    if (builtin_subclass_instance(slot)) {
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::Contains, std::span<const Value>(&item, 1)));
        if (custom) return truth(ctx, *custom);
        slot = heap.get_if_object(container);
    }
    if (slot) {
        HeapObject& o = const_cast<HeapObject&>(slot->object);
        if (dict_table_of(o)) {
            TRY_ASSIGN(found, dict_lookup(ctx, container, item));
            return found.has_value();
        }
        if (set_table_of(o)) {
            EngineKeys keys(ctx);
            TRY_ASSIGN(found, set_lookup_entry(heap, ctx.machine.meter, keys, container, item));
            return found.slot.has_value();
        }
        TRY_ASSIGN(in_bytes, contains_in_bytes(ctx, container, item));
        if (in_bytes) return *in_bytes;
        if (slot->kind() == HeapObjectKind::Range && (item.is_int() || item.is_bool())) {
            auto r = std::get<RangePayload>(slot->object);
            const __int128 x = item.is_bool() ? (item.as_bool() ? 1 : 0) : item.as_int();
            if (r.step > 0 ? (x < r.start || x >= r.stop) : (x > r.start || x <= r.stop)) return false;
            return (x - r.start) % r.step == 0;
        }
        TRY_ASSIGN(mapped, call_mapping_slot(ctx, container, DunderSlot::Contains, std::span<const Value>(&item, 1)));
        if (mapped) return truth(ctx, *mapped);
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::Contains, std::span<const Value>(&item, 1)));
        if (custom) return truth(ctx, *custom);
    }
    if (!slot) {
        TRY_ASSIGN(tn, type_name(ctx, container));
        return fail(PyError::type_error(fmt::format("argument of type '{}' is not a container or iterable", tn)));
    }
    return contains_by_iteration(ctx, container, item);
}

// Equality of two slices (their start, stop and step), two generic aliases (origin and
// arguments) or two ranges (the same sequence); nothing for other kinds.
PyResult<std::optional<bool>> structural_equal(RuntimeContext& ctx, const HeapSlot& a, const HeapSlot& b) {
    std::vector<Value> x, y;
    if (const auto* s = std::get_if<SlicePayload>(&a.object)) {
        const auto& t = std::get<SlicePayload>(b.object);
        x = {s->start, s->stop, s->step}, y = {t.start, t.stop, t.step};
    } else if (const auto* g = std::get_if<GenericAliasPayload>(&a.object)) {
        const auto& h = std::get<GenericAliasPayload>(b.object);
        x = g->args, y = h.args;
        x.insert(x.begin(), g->origin), y.insert(y.begin(), h.origin);
    } else if (const auto* r = std::get_if<RangePayload>(&a.object)) {
        const auto& q = std::get<RangePayload>(b.object);
        auto length = [](const RangePayload& p) -> __int128 {
            if (p.step > 0 && p.start < p.stop) return (__int128(p.stop) - p.start - 1) / p.step + 1;
            if (p.step < 0 && p.start > p.stop) return (__int128(p.start) - p.stop - 1) / -__int128(p.step) + 1;
            return 0;
        };
        const __int128 n = length(*r);
        return std::optional(n == length(q) && (n == 0 || (r->start == q.start && (n == 1 || r->step == q.step))));
    } else {
        return std::optional<bool>();
    }
    if (x.size() != y.size()) return std::optional(false);
    TRY_DO(python_charge_work(ctx.machine.meter, x.size()));
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] == y[i]) continue;
        TRY_ASSIGN(eq, values_equal(ctx, x[i], y[i]));
        if (!eq) return std::optional(false);
    }
    return std::optional(true);
}

PyResult<Value> compare_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    using C = CompareOperator;
    Heap& heap = ctx.heap;
    C c = C(op);
    heap.push_root(a), heap.push_root(b);
    switch (c) {
        case C::Is: return Value::from_bool(a == b);
        case C::IsNot: return Value::from_bool(a != b);
        case C::In:
        case C::NotIn: {
            TRY_ASSIGN(r, contains(ctx, b, a));
            return Value::from_bool(c == C::In ? r : !r);
        }
        default: break;
    }
    auto order = [&](int cmp) {
        switch (c) {
            case C::Eq: return cmp == 0;
            case C::NotEq: return cmp != 0;
            case C::Lt: return cmp < 0;
            case C::LtE: return cmp <= 0;
            case C::Gt: return cmp > 0;
            default: return cmp >= 0;
        }
    };
    if (is_number(heap, a) && is_number(heap, b)) {
        // Exact order of integers of any size and floats; a NaN is unordered.
        const auto cmp = numeric_view_compare(py_numeric_view(heap, a), py_numeric_view(heap, b));
        if (!cmp) return Value::from_bool(c == C::NotEq);
        return Value::from_bool(order(*cmp));
    }
    if (is_str(heap, a) && is_str(heap, b)) {
        if (!is_exact_str(heap, a) || !is_exact_str(heap, b)) {
            TRY_ASSIGN(dunder, compare_dunder(ctx, op, a, b));
            if (dunder) return *dunder;
        }
        std::string_view x = str_of(heap, a), y = str_of(heap, b);
        TRY_DO(python_charge_work(ctx.machine.meter, std::min(x.size(), y.size()) / 16 + 1));
        int cmp = x.compare(y);
        return Value::from_bool(order(cmp));
    }
    const HeapSlot* sa = heap.get_if_object(a);
    const HeapSlot* sb = heap.get_if_object(b);
    if (builtin_subclass_instance(sa) || builtin_subclass_instance(sb)) {
        TRY_ASSIGN(dunder, compare_dunder(ctx, op, a, b));
        if (dunder) return *dunder;
        sa = heap.get_if_object(a), sb = heap.get_if_object(b);
    }
    auto is_bytes = [](const HeapSlot* s) {
        return s && (s->kind() == HeapObjectKind::Bytes || s->kind() == HeapObjectKind::ByteArray);
    };
    if (is_bytes(sa) && is_bytes(sb)) {
        EngineRuntime rt(ctx);
        TRY_ASSIGN(r, bytes_compare(rt, a, b, op));
        if (r) return Value::from_bool(*r);
    }
    if (sa && sb && sa->kind() == sb->kind() &&
        (sa->kind() == HeapObjectKind::List || sa->kind() == HeapObjectKind::Tuple)) {
        std::vector<Value> x = *sequence_items(sa->object), y = *sequence_items(sb->object);
        if (++ctx.exec.comparison_depth > 1000) {
            --ctx.exec.comparison_depth;
            return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded in comparison"));
        }
        struct Depth {
            ExecState& st;
            ~Depth() { --st.comparison_depth; }
        } depth{ctx.exec};
        std::size_t i = 0;
        for (; i < x.size() && i < y.size(); ++i) {
            if (x[i] == y[i]) continue;
            TRY_ASSIGN(eq, values_equal(ctx, x[i], y[i]));
            if (!eq) break;
        }
        if (i >= x.size() || i >= y.size()) {
            int cmp = x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
            return Value::from_bool(order(cmp));
        }
        if (c == C::Eq) return Value::from_bool(false);
        if (c == C::NotEq) return Value::from_bool(true);
        return compare_operation(ctx, op, x[i], y[i]);
    }
    if (sa && sb && (c == C::Eq || c == C::NotEq)) {
        HeapObject& oa = const_cast<HeapObject&>(sa->object);
        HeapObject& ob = const_cast<HeapObject&>(sb->object);
        if (DictTable* ta = dict_table_of(oa); ta && dict_table_of(ob)) {
            if (ta->live_count != dict_table_of(ob)->live_count) return Value::from_bool(c == C::NotEq);
            std::vector<std::pair<Value, Value>> items;
            ta->for_each_live([&](const DictSlot& s) { items.emplace_back(s.key, s.value); });
            for (const auto& [k, v] : items) {
                TRY_ASSIGN(other, dict_lookup(ctx, b, k));
                if (!other) return Value::from_bool(c == C::NotEq);
                TRY_ASSIGN(eq, values_equal(ctx, v, *other));
                if (!eq) return Value::from_bool(c == C::NotEq);
            }
            return Value::from_bool(c == C::Eq);
        }
        // An instance's __dict__ against a dict or another one: the same pairs.
        auto mapping = [](HeapObject& o, HeapObjectKind k) { return k == HeapObjectKind::NamespaceDict || dict_table_of(o); };
        if ((sa->kind() == HeapObjectKind::NamespaceDict || sb->kind() == HeapObjectKind::NamespaceDict) &&
            mapping(oa, sa->kind()) && mapping(ob, sb->kind())) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(x, rt.mapping_items(a));
            TRY_ASSIGN(y, rt.mapping_items(b));
            if (x.size() != y.size()) return Value::from_bool(c == C::NotEq);
            TRY_DO(python_charge_work(ctx.machine.meter, sat_mul(std::uint64_t(x.size()), std::uint64_t(y.size()))));
            for (const auto& [k, v] : x) {
                bool matched = false;
                for (const auto& [k2, v2] : y) {
                    TRY_ASSIGN(same_key, values_equal(ctx, k, k2));
                    if (!same_key) continue;
                    TRY_ASSIGN(same, values_equal(ctx, v, v2));
                    matched = same;
                    break;
                }
                if (!matched) return Value::from_bool(c == C::NotEq);
            }
            return Value::from_bool(c == C::Eq);
        }
        if (SetTable* ta = set_table_of(oa); ta && set_table_of(ob)) {
            if (ta->live_count != set_table_of(ob)->live_count) return Value::from_bool(c == C::NotEq);
            std::vector<Value> items;
            ta->for_each_live([&](const SetSlot& s) { items.push_back(s.key); });
            for (const Value& k : items) {
                TRY_ASSIGN(in, contains(ctx, b, k));
                if (!in) return Value::from_bool(c == C::NotEq);
            }
            return Value::from_bool(c == C::Eq);
        }
    }
    // Program classes: the rich comparison methods, then the reflected ones.
    static constexpr DunderSlot kSlots[] = {DunderSlot::Equal,    DunderSlot::NotEqual,    DunderSlot::LessThan,
                                            DunderSlot::LessEqual, DunderSlot::GreaterThan, DunderSlot::GreaterEqual};
    static constexpr std::uint8_t kReflect[] = {0, 1, 4, 5, 2, 3};
    // Sets and dict views: their comparison slots, then the reflected ones.
    {
        TRY_ASSIGN(mapped, call_mapping_slot(ctx, a, kSlots[op], std::span<const Value>(&b, 1)));
        if (mapped) return *mapped;
        TRY_ASSIGN(mapped_reflected, call_mapping_slot(ctx, b, kSlots[kReflect[op]], std::span<const Value>(&a, 1)));
        if (mapped_reflected) return *mapped_reflected;
    }
    if (sa && sb && sa->kind() == sb->kind() && (c == C::Eq || c == C::NotEq)) {
        TRY_ASSIGN(same, structural_equal(ctx, *sa, *sb));
        if (same) return Value::from_bool(*same == (c == C::Eq));
    }
    // The special methods of both operands, then identity or the TypeError.
    TRY_ASSIGN(dunder, compare_dunder(ctx, op, a, b));
    if (dunder) return *dunder;
    return compare_fallback(ctx, op, a, b);
}

// ---- subscripts ---------------------------------------------------------------------------------

PyStatus store_subscript(RuntimeContext& ctx, Value container, Value key, Value v) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(container);
    if (builtin_subclass_instance(slot)) {
        Value args[2] = {key, v};
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::SetItem, args));
        if (custom) return {};
        slot = heap.get_if_object(container);
    }
    if (slot) {
        if (dict_table_of(const_cast<HeapObject&>(slot->object))) return dict_store(ctx, container, key, v);
        if (slot->kind() == HeapObjectKind::List) return list_store_subscript(ctx, container, key, v);
        Value args[2] = {key, v};
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::SetItem, args));
        if (custom) return {};
        // An instance's __dict__: its mapping slot.
        if (slot->kind() == HeapObjectKind::NamespaceDict) {
            TRY_ASSIGN(mapped, call_mapping_slot(ctx, container, DunderSlot::SetItem, args));
            if (mapped) return {};
        }
        if (slot->kind() == HeapObjectKind::ByteArray) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(done, bytearray_setitem(rt, container, key, v));
            if (done) return {};
            TRY_ASSIGN(tn, type_name(ctx, key));
            return fail(PyError::type_error(fmt::format("bytearray indices must be integers or slices, not {}", tn)));
        }
    }
    TRY_ASSIGN(tn, type_name(ctx, container));
    return fail(PyError::type_error(fmt::format("'{}' object does not support item assignment", tn)));
}

PyStatus delete_subscript(RuntimeContext& ctx, Value container, Value key) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(container);
    if (builtin_subclass_instance(slot)) {
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::DeleteItem, std::span<const Value>(&key, 1)));
        if (custom) return {};
        slot = heap.get_if_object(container);
    }
    if (slot) {
        if (dict_table_of(const_cast<HeapObject&>(slot->object))) {
            EngineKeys keys(ctx);
            TRY_ASSIGN(found, dict_lookup_entry(heap, ctx.machine.meter, keys, container, key));
            if (!found.slot) {
                std::vector<Value> args{key};
                TRY_ASSIGN(e, new_exception(interp(ctx), ctx.machine.meter, "KeyError", std::move(args)));
                ctx.exec.pending_exception = e;
                return fail(PyError::raised());
            }
            dict_remove_slot(heap, ctx.machine.meter, container, *found.slot);
            return {};
        }
        if (slot->kind() == HeapObjectKind::List) return list_delete_subscript(ctx, container, key);
        if (slot->kind() == HeapObjectKind::ByteArray) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(done, bytearray_delitem(rt, container, key));
            if (done) return {};
            TRY_ASSIGN(tn, type_name(ctx, key));
            return fail(PyError::type_error(fmt::format("bytearray indices must be integers or slices, not {}", tn)));
        }
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::DeleteItem, std::span<const Value>(&key, 1)));
        if (custom) return {};
    }
    return fail(PyError::type_error("object does not support item deletion"));
}

// ---- text ---------------------------------------------------------------------------------------

// repr() of any value: the representation protocol (its cycle marks and depth limit included).
PyResult<std::string> repr_text(RuntimeContext& ctx, Value v) {
    if (v.is_int()) return int_decimal(v.as_int());
    return py_repr(ctx, v);
}

PyResult<std::string> str_text(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    if (is_str(heap, v)) return std::string(str_of(heap, v));
    if (v.is_int()) return int_decimal(v.as_int());
    const HeapSlot* slot = heap.get_if_object(v);
    if (slot && (slot->kind() == HeapObjectKind::Object || slot->kind() == HeapObjectKind::Exception)) {
        TRY_ASSIGN(custom, call_dunder(ctx, v, DunderSlot::String, {}));
        if (custom) {
            TRY_ASSIGN(text, str_view(heap, *custom));
            if (!text) return fail(PyError::type_error("__str__ returned non-string"));
            return std::string(*text);
        }
        TRY_ASSIGN(member, enum_member_text(ctx, v, DunderSlot::String));
        if (member) return std::move(*member);
        if (slot->kind() == HeapObjectKind::Exception) return exception_str(interp(ctx), v);
    }
    return repr_text(ctx, v);
}

PyResult<Value> format_field(RuntimeContext& ctx, Value v, std::int32_t conversion, std::string_view spec) {
    // The spec is paid for before any text is made: its largest number and its length.
    std::uint64_t largest = 0, run = 0;
    bool in_digits = false;
    for (char c : spec) {
        if (c >= '0' && c <= '9') {
            std::uint64_t next;
            if (!in_digits) run = 0;
            if (__builtin_mul_overflow(run, 10, &next) || __builtin_add_overflow(next, std::uint64_t(c - '0'), &run))
                run = std::numeric_limits<std::uint64_t>::max();
            in_digits = true;
            largest = std::max(largest, run);
        } else {
            in_digits = false;
        }
    }
    TRY_DO(python_charge_work(ctx.machine.meter, std::max<std::uint64_t>(largest, spec.size())));
    std::uint64_t native = largest > std::numeric_limits<std::uint64_t>::max() / 2 - spec.size()
                               ? std::numeric_limits<std::uint64_t>::max()
                               : 2 * (largest + spec.size());
    if (native) {
        TRY_DO(ctx.heap.reserve_memory(native, nullptr, ctx.roots, ctx.machine.meter));
        ctx.heap.record_native_charge(native);
    }
    if (spec.find_first_of("{}") != std::string_view::npos)
        return fail(PyError::unsupported("nested f-string format specifications are not implemented"));
    if (conversion == 'r' || conversion == 'a' || conversion == 's') {
        PyResult<std::string> t = conversion == 's' ? str_text(ctx, v) : repr_text(ctx, v);
        if (!t) return fail(std::move(t.error()));
        if (spec.empty()) return make_str(ctx, std::move(*t));
        TRY_ASSIGN(s, make_str(ctx, std::move(*t)));
        TRY_ASSIGN(text, format_with_spec(ctx, s, spec));
        return make_str(ctx, std::move(text));
    }
    if (conversion != -1)
        return fail(PyError::unsupported(fmt::format("unsupported f-string conversion !{}", char(conversion))));
    // A program class's __format__ decides its own text.
    TRY_ASSIGN(spec_value, make_str(ctx, std::string(spec)));
    TRY_ASSIGN(custom, call_dunder(ctx, v, DunderSlot::Format, std::span<const Value>(&spec_value, 1)));
    if (custom) {
        if (!is_str(ctx.heap, *custom)) return fail(PyError::type_error("__format__ must return a str"));
        return *custom;
    }
    if (spec.empty()) {
        if (is_str(ctx.heap, v)) return v;
        TRY_ASSIGN(t, str_text(ctx, v));
        return make_str(ctx, std::move(t));
    }
    TRY_ASSIGN(t, format_with_spec(ctx, v, spec));
    return make_str(ctx, std::move(t));
}

}  // namespace tw::py::vm
