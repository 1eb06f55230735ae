// Values and operators: building containers, hashing and equality of keys, iteration,
// subscripts, the binary, unary and comparison operators beyond the loop's fast paths, truth,
// and the repr / str / format texts of builtin values.
#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/float_text.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/comparison.h"
#include "python/vm/protocols.h"
#include "python/vm/iteration.h"
#include "python/types/hash_values.h"
#include "python/vm/str_formatting.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/sequences.h"

namespace tw::py::vm {

namespace {


constexpr std::uint64_t kHashModulus = (std::uint64_t(1) << 61) - 1;

struct EngineKeys final : KeyProtocol {
    explicit EngineKeys(RuntimeContext& c) : ctx(c) {}
    PyResult<std::uint64_t> hash(const Value& key) override { return hash_value(ctx, key); }
    PyResult<bool> equal(const Value& stored, const Value& probe) override {
        if (stored == probe) return true;
        return values_equal(ctx, stored, probe);
    }
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

// Int, bool and heap big int as an mpz; false for other values.
bool to_mpz(const Heap& heap, Value v, BigInt& out) {
    if (v.is_int() || v.is_bool()) {
        mpz_set_si(out.get(), v.as_int());
        return true;
    }
    if (const HeapObject* o = object_of(heap, v))
        if (auto* b = std::get_if<BigIntPayload>(o)) {
            mpz_set(out.get(), b->value->get());
            return true;
        }
    return false;
}
bool is_integer(const Heap& heap, Value v) {
    if (v.is_int() || v.is_bool()) return true;
    const HeapObject* o = object_of(heap, v);
    return o && std::holds_alternative<BigIntPayload>(*o);
}
bool is_number(const Heap& heap, Value v) { return is_integer(heap, v) || v.is_float(); }

PyResult<Value> from_mpz(RuntimeContext& ctx, const BigInt& z) {
    if (z.fits_i64()) return Value::from_int(z.to_i64());
    TRY_DO(python_charge_work(ctx.machine.meter, z.word_count()));
    auto box = Box<BigInt>::make(z);
    return ctx.heap.allocate_object(BigIntPayload{std::move(box)}, ctx.roots, ctx.machine.meter);
}

double to_double(const Heap& heap, Value v) {
    if (v.is_float()) return v.as_float();
    if (v.is_int() || v.is_bool()) return double(v.as_int());
    BigInt z;
    to_mpz(heap, v, z);
    return mpz_get_d(z.get());
}

std::string_view binary_symbol(std::uint8_t op) { return operator_text(BinaryOperator(op)); }

PyError unsupported_operands(RuntimeContext& ctx, std::string_view sym, Value a, Value b) {
    auto ta = type_name(ctx, a), tb = type_name(ctx, b);
    return PyError::type_error(fmt::format("unsupported operand type(s) for {}: '{}' and '{}'", sym,
                                           ta ? *ta : std::string("?"), tb ? *tb : std::string("?")));
}

// Python's float floor division and modulo.
std::pair<double, double> float_divmod(double x, double y) {
    double mod = std::fmod(x, y);
    double div = (x - mod) / y;
    if (mod != 0) {
        if ((y < 0) != (mod < 0)) {
            mod += y;
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, y);
    }
    double floordiv;
    if (div != 0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, x / y);
    }
    return {floordiv, mod};
}

PyResult<std::optional<Value>> number_binary(RuntimeContext& ctx, std::uint8_t op, Value a, Value b) {
    using B = BinaryOperator;
    Heap& heap = ctx.heap;
    if (!is_number(heap, a) || !is_number(heap, b)) return std::optional<Value>();
    if (a.is_float() || b.is_float() || B(op) == B::Div) {
        if (!a.is_float() && !b.is_float() && B(op) != B::Div) return std::optional<Value>();
        double x = to_double(heap, a), y = to_double(heap, b);
        switch (B(op)) {
            case B::Add: return std::optional(Value::from_float(x + y));
            case B::Sub: return std::optional(Value::from_float(x - y));
            case B::Mult: return std::optional(Value::from_float(x * y));
            case B::Div:
                if (y == 0)
                    return fail(PyError::zero_division_error(a.is_float() || b.is_float() ? "float division by zero"
                                                                                          : "division by zero"));
                return std::optional(Value::from_float(x / y));
            case B::FloorDiv:
            case B::Mod: {
                if (y == 0)
                    return fail(PyError::zero_division_error(B(op) == B::Mod ? "float modulo" : "float floor division by zero"));
                auto [d, m] = float_divmod(x, y);
                return std::optional(Value::from_float(B(op) == B::Mod ? m : d));
            }
            case B::Pow: {
                if (x == 0 && y < 0)
                    return fail(PyError::zero_division_error("0.0 cannot be raised to a negative power"));
                return std::optional(Value::from_float(std::pow(x, y)));
            }
            default: return std::optional<Value>();
        }
    }
    BigInt x, y, r;
    to_mpz(heap, a, x);
    to_mpz(heap, b, y);
    switch (B(op)) {
        case B::Add: mpz_add(r.get(), x.get(), y.get()); break;
        case B::Sub: mpz_sub(r.get(), x.get(), y.get()); break;
        case B::Mult: mpz_mul(r.get(), x.get(), y.get()); break;
        case B::FloorDiv:
        case B::Mod:
            if (y.is_zero()) return fail(PyError::zero_division_error("integer division or modulo by zero"));
            if (B(op) == B::FloorDiv) mpz_fdiv_q(r.get(), x.get(), y.get());
            else mpz_fdiv_r(r.get(), x.get(), y.get());
            break;
        case B::Pow: {
            if (mpz_sgn(y.get()) < 0) {
                double fx = mpz_get_d(x.get()), fy = mpz_get_d(y.get());
                if (fx == 0) return fail(PyError::zero_division_error("0.0 cannot be raised to a negative power"));
                return std::optional(Value::from_float(std::pow(fx, fy)));
            }
            if (!mpz_fits_ulong_p(y.get())) return fail(PyError::overflow_error("exponent too large"));
            unsigned long e = mpz_get_ui(y.get());
            std::uint64_t bits = x.bit_length() * e;
            TRY_DO(python_charge_work(ctx.machine.meter, bits / 64 + 1));
            if (bits > (std::uint64_t(1) << 26)) return fail(PyError::resource(std::string(kMemoryLimitText)));
            mpz_pow_ui(r.get(), x.get(), e);
            break;
        }
        case B::LShift:
        case B::RShift: {
            if (mpz_sgn(y.get()) < 0) return fail(PyError::value_error("negative shift count"));
            if (!mpz_fits_ulong_p(y.get())) return fail(PyError::overflow_error("too many digits in integer"));
            unsigned long s = mpz_get_ui(y.get());
            if (B(op) == B::LShift) {
                if (x.bit_length() + s > (std::uint64_t(1) << 26)) return fail(PyError::resource(std::string(kMemoryLimitText)));
                mpz_mul_2exp(r.get(), x.get(), s);
            } else {
                mpz_fdiv_q_2exp(r.get(), x.get(), s);
            }
            break;
        }
        case B::BitAnd: mpz_and(r.get(), x.get(), y.get()); break;
        case B::BitOr: mpz_ior(r.get(), x.get(), y.get()); break;
        case B::BitXor: mpz_xor(r.get(), x.get(), y.get()); break;
        default: return std::optional<Value>();
    }
    if (a.is_bool() && b.is_bool() && (B(op) == B::BitAnd || B(op) == B::BitOr || B(op) == B::BitXor))
        return std::optional(Value::from_bool(mpz_sgn(r.get()) != 0));
    TRY_ASSIGN(v, from_mpz(ctx, r));
    return std::optional(v);
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

PyResult<std::string> sequence_repr(RuntimeContext& ctx, const std::vector<Value>& items, char open, char close,
                                    bool tuple) {
    std::string out(1, open);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        TRY_ASSIGN(t, repr_text(ctx, items[i]));
        out += t;
    }
    if (tuple && items.size() == 1) out += ",";
    out += close;
    return out;
}

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

std::vector<std::int64_t> slice_positions(const std::array<std::int64_t, 3>& r) {
    std::vector<std::int64_t> out;
    if (r[2] > 0)
        for (std::int64_t i = r[0]; i < r[1]; i += r[2]) out.push_back(i);
    else
        for (std::int64_t i = r[0]; i > r[1]; i += r[2]) out.push_back(i);
    return out;
}

// Code points of a UTF-8 text, as byte offsets (plus the end).
std::vector<std::size_t> char_offsets(std::string_view s) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) out.push_back(i);
    out.push_back(s.size());
    return out;
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
    EngineRuntime rt(ctx);
    TRY_ASSIGN(h, py_hash_entry(rt, v));
    return std::uint64_t(h);
}

PyResult<bool> values_equal(RuntimeContext& ctx, Value a, Value b) {
    TRY_ASSIGN(r, compare_operation(ctx, std::uint8_t(CompareOperator::Eq), a, b));
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
    Heap& heap = ctx.heap;
    if (is_str(heap, v)) {
        std::string_view s = str_of(heap, v);
        auto offs = char_offsets(s);
        std::vector<Value> chars;
        TRY_DO(python_charge_work(ctx.machine.meter, offs.size()));
        for (std::size_t i = 0; i + 1 < offs.size(); ++i) {
            TRY_ASSIGN(c, make_str(ctx, std::string(s.substr(offs[i], offs[i + 1] - offs[i]))));
            chars.push_back(c);
        }
        return heap.allocate_object(ValuesIteratorPayload{0, std::move(chars)}, ctx.roots, ctx.machine.meter);
    }
    const HeapSlot* slot = heap.get_if_object(v);
    if (slot) {
        switch (slot->kind()) {
            case HeapObjectKind::List:
            case HeapObjectKind::Tuple:
                return heap.allocate_object(SequenceIteratorPayload{0, v}, ctx.roots, ctx.machine.meter);
            case HeapObjectKind::Range: {
                auto r = std::get<RangePayload>(slot->object);
                return heap.allocate_object(RangeIteratorPayload{false, r.start, r.stop, r.step}, ctx.roots, ctx.machine.meter);
            }
            case HeapObjectKind::Dict:
            case HeapObjectKind::DefaultDict:
            case HeapObjectKind::Set:
            case HeapObjectKind::FrozenSet: {
                std::vector<Value> keys;
                HeapObject& o = const_cast<HeapObject&>(slot->object);
                if (DictTable* t = dict_table_of(o)) t->for_each_live([&](const DictSlot& s) { keys.push_back(s.key); });
                if (SetTable* t = set_table_of(o)) t->for_each_live([&](const SetSlot& s) { keys.push_back(s.key); });
                TRY_DO(python_charge_work(ctx.machine.meter, keys.size()));
                return heap.allocate_object(ValuesIteratorPayload{0, std::move(keys)}, ctx.roots, ctx.machine.meter);
            }
            case HeapObjectKind::ValuesIterator:
            case HeapObjectKind::SequenceIterator:
            case HeapObjectKind::ReversedIterator:
            case HeapObjectKind::RangeIterator:
            case HeapObjectKind::CountIterator:
            case HeapObjectKind::CallableIterator:
            case HeapObjectKind::StreamIterator:
            case HeapObjectKind::Generator: return v;
            default: break;
        }
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
    // A complex right operand: its reflected slot (int + complex, float * complex, ...).
    TRY_ASSIGN(tb, py_type_id_of(heap, in.types, b));
    if (tb == type_id(BuiltinType::Complex) && ta != tb) {
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
        BigInt x, r;
        to_mpz(heap, a, x);
        if (U(op) == U::USub) mpz_neg(r.get(), x.get());
        else if (U(op) == U::Invert) mpz_com(r.get(), x.get());
        else mpz_set(r.get(), x.get());
        return from_mpz(ctx, r);
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
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::Contains, std::span<const Value>(&item, 1)));
        if (custom) return truth(ctx, *custom);
    }
    if (!slot) {
        TRY_ASSIGN(tn, type_name(ctx, container));
        return fail(PyError::type_error(fmt::format("argument of type '{}' is not a container or iterable", tn)));
    }
    return contains_by_iteration(ctx, container, item);
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
        if (a.is_float() || b.is_float()) {
            double x = to_double(heap, a), y = to_double(heap, b);
            if (std::isnan(x) || std::isnan(y)) return Value::from_bool(c == C::NotEq);
            // An integer beyond 2**53 is compared with the float exactly.
            constexpr double exact = 9007199254740992.0;
            if ((a.is_float() || std::fabs(x) < exact) && (b.is_float() || std::fabs(y) < exact))
                return Value::from_bool(order(x < y ? -1 : x > y ? 1 : 0));
            TRY_ASSIGN(r, py_rich_compare(ctx, RichCompareOp(op), a, b));
            return Value::from_bool(r);
        }
        BigInt x, y;
        to_mpz(heap, a, x);
        to_mpz(heap, b, y);
        return Value::from_bool(order(mpz_cmp(x.get(), y.get())));
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
    // The special methods of both operands, then identity or the TypeError.
    TRY_ASSIGN(dunder, compare_dunder(ctx, op, a, b));
    if (dunder) return *dunder;
    return compare_fallback(ctx, op, a, b);
}

// ---- subscripts ---------------------------------------------------------------------------------

PyResult<Value> subscript(RuntimeContext& ctx, Value container, Value key) {
    Heap& heap = ctx.heap;
    if (is_str(heap, container)) {
        std::string s(str_of(heap, container));
        auto offs = char_offsets(s);
        std::int64_t n = std::int64_t(offs.size() - 1);
        if (const HeapObject* ko = object_of(heap, key); ko && std::holds_alternative<SlicePayload>(*ko)) {
            TRY_ASSIGN(r, slice_indices(ctx, std::get<SlicePayload>(*ko), n));
            std::string out;
            for (std::int64_t i : slice_positions(r)) out.append(s, offs[i], offs[i + 1] - offs[i]);
            return make_str(ctx, std::move(out));
        }
        TRY_ASSIGN(i, index_of(ctx, key, std::uint64_t(n), "string"));
        if (i < 0 || i >= n) return fail(PyError::index_error("string index out of range"));
        return make_str(ctx, s.substr(offs[i], offs[i + 1] - offs[i]));
    }
    const HeapSlot* slot = heap.get_if_object(container);
    if (slot) {
        HeapObjectKind kind = slot->kind();
        if (kind == HeapObjectKind::List || kind == HeapObjectKind::Tuple) {
            const std::vector<Value>& items = *sequence_items(slot->object);
            std::int64_t n = std::int64_t(items.size());
            if (const HeapObject* ko = object_of(heap, key); ko && std::holds_alternative<SlicePayload>(*ko)) {
                TRY_ASSIGN(r, slice_indices(ctx, std::get<SlicePayload>(*ko), n));
                std::vector<Value> out;
                const std::vector<Value>& again = *sequence_items(heap.get_if_object(container)->object);
                for (std::int64_t i : slice_positions(r)) out.push_back(again[i]);
                TRY_DO(python_charge_work(ctx.machine.meter, out.size() / 8 + 1));
                return kind == HeapObjectKind::List ? new_list(ctx, std::move(out)) : new_tuple(ctx, std::move(out));
            }
            TRY_ASSIGN(i, index_of(ctx, key, std::uint64_t(n), kind == HeapObjectKind::List ? "list" : "tuple"));
            if (i < 0 || i >= n)
                return fail(PyError::index_error(kind == HeapObjectKind::List ? "list index out of range"
                                                                              : "tuple index out of range"));
            return heap.clone_value((*sequence_items(heap.get_if_object(container)->object))[i]);
        }
        if (dict_table_of(const_cast<HeapObject&>(slot->object))) {
            TRY_ASSIGN(found, dict_lookup(ctx, container, key));
            if (found) return *found;
            if (auto* dd = std::get_if<DefaultDictPayload>(&heap.get_if_object(container)->object);
                dd && !dd->default_factory.is_none() && dd->default_factory.is_present()) {
                TRY_ASSIGN(v, call_immediate(ctx, dd->default_factory, {}, {}));
                TRY_DO(dict_store(ctx, container, key, v));
                return v;
            }
            auto cls = instance_class_value(heap, interp(ctx).types, container);
            std::vector<Value> args{key};
            auto e = new_exception(interp(ctx), ctx.machine.meter, "KeyError", std::move(args));
            if (!e) return fail(std::move(e.error()));
            ctx.exec.pending_exception = *e;
            return fail(PyError::raised());
        }
        if (kind == HeapObjectKind::Range) {
            auto r = std::get<RangePayload>(slot->object);
            std::int64_t n = r.step > 0 ? (r.stop > r.start ? (r.stop - r.start + r.step - 1) / r.step : 0)
                                        : (r.start > r.stop ? (r.start - r.stop - r.step - 1) / -r.step : 0);
            TRY_ASSIGN(i, index_of(ctx, key, std::uint64_t(n), "range"));
            if (i < 0 || i >= n) return fail(PyError::index_error("range object index out of range"));
            return Value::from_int(r.start + i * r.step);
        }
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::GetItem, std::span<const Value>(&key, 1)));
        if (custom) return *custom;
        if (kind == HeapObjectKind::Class) {
            return heap.allocate_object(GenericAliasPayload{container, {key}}, ctx.roots, ctx.machine.meter);
        }
    }
    TRY_ASSIGN(tn, type_name(ctx, container));
    return fail(PyError::type_error(fmt::format("'{}' object is not subscriptable", tn)));
}

PyStatus store_subscript(RuntimeContext& ctx, Value container, Value key, Value v) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(container);
    if (slot) {
        if (dict_table_of(const_cast<HeapObject&>(slot->object))) return dict_store(ctx, container, key, v);
        if (slot->kind() == HeapObjectKind::List) return list_store_subscript(ctx, container, key, v);
        Value args[2] = {key, v};
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::SetItem, args));
        if (custom) return {};
        if (slot->kind() == HeapObjectKind::ByteArray)
            return fail(PyError::type_error("object does not support item assignment"));
    }
    TRY_ASSIGN(tn, type_name(ctx, container));
    return fail(PyError::type_error(fmt::format("'{}' object does not support item assignment", tn)));
}

PyStatus delete_subscript(RuntimeContext& ctx, Value container, Value key) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(container);
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
        TRY_ASSIGN(custom, call_dunder(ctx, container, DunderSlot::DeleteItem, std::span<const Value>(&key, 1)));
        if (custom) return {};
    }
    return fail(PyError::type_error("object does not support item deletion"));
}

// ---- text ---------------------------------------------------------------------------------------

PyResult<std::string> repr_text(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    if (v.is_none()) return std::string("None");
    if (v.is_bool()) return std::string(v.as_bool() ? "True" : "False");
    if (v.is_int()) return fmt::format("{}", v.as_int());
    if (v.is_float()) return py_float_repr(v.as_float());
    if (is_str(heap, v)) return py_str_repr(str_of(heap, v));
    if (auto def = decode_native_handle(v)) {
        switch (def->tag) {
            case DefinitionTag::BuiltinType: return fmt::format("<class '{}'>", builtin_type_name(def->number));
            case DefinitionTag::ExceptionType: return fmt::format("<class '{}'>", def->name);
            case DefinitionTag::Function:
                return fmt::format("<built-in function {}>", builtin_function_name(std::uint8_t(def->number)));
            case DefinitionTag::Ellipsis: return std::string("Ellipsis");
            case DefinitionTag::NotImplemented: return std::string("NotImplemented");
            case DefinitionTag::NativeFunction:
            case DefinitionTag::NativeMethod:
                return fmt::format("<built-in function {}>", def->function ? def->function->name : "?");
            default: return std::string("<native>");
        }
    }
    const HeapSlot* slot = heap.get_if_object(v);
    if (!slot) return fail(PyError::unsupported(Heap::stale_reference_message()));
    if (++ctx.exec.comparison_depth > 1000) {
        --ctx.exec.comparison_depth;
        return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded while getting the repr of an object"));
    }
    struct Depth {
        ExecState& st;
        ~Depth() { --st.comparison_depth; }
    } depth{ctx.exec};
    switch (slot->kind()) {
        case HeapObjectKind::List: {
            std::vector<Value> items = std::get<ListPayload>(slot->object).items;
            return sequence_repr(ctx, items, '[', ']', false);
        }
        case HeapObjectKind::Tuple: {
            std::vector<Value> items = std::get<TuplePayload>(slot->object).items;
            return sequence_repr(ctx, items, '(', ')', true);
        }
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict: {
            std::vector<std::pair<Value, Value>> items;
            dict_table_of(const_cast<HeapObject&>(slot->object))
                ->for_each_live([&](const DictSlot& s) { items.emplace_back(s.key, s.value); });
            std::string out = "{";
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (i) out += ", ";
                TRY_ASSIGN(k, repr_text(ctx, items[i].first));
                TRY_ASSIGN(x, repr_text(ctx, items[i].second));
                out += k + ": " + x;
            }
            return out + "}";
        }
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet: {
            std::vector<Value> items;
            set_table_of(const_cast<HeapObject&>(slot->object))->for_each_live([&](const SetSlot& s) { items.push_back(s.key); });
            bool frozen = slot->kind() == HeapObjectKind::FrozenSet;
            if (items.empty()) return std::string(frozen ? "frozenset()" : "set()");
            TRY_ASSIGN(inner, sequence_repr(ctx, items, '{', '}', false));
            return frozen ? "frozenset(" + inner + ")" : inner;
        }
        case HeapObjectKind::BigInt: return std::get<BigIntPayload>(slot->object).value->to_decimal();
        case HeapObjectKind::Float: return py_float_repr(std::get<FloatPayload>(slot->object).value);
        case HeapObjectKind::Complex: {
            auto c = std::get<ComplexPayload>(slot->object);
            return py_complex_repr(c.real, c.imag);
        }
        case HeapObjectKind::Range: {
            auto r = std::get<RangePayload>(slot->object);
            if (r.step == 1) return fmt::format("range({}, {})", r.start, r.stop);
            return fmt::format("range({}, {}, {})", r.start, r.stop, r.step);
        }
        case HeapObjectKind::Function:
            return fmt::format("<function {} at 0x{:x}>", std::get<FunctionPayload>(slot->object).record->name,
                               0x7f0000000000ull + v.handle().index * 0x40ull);
        case HeapObjectKind::Class: return fmt::format("<class '__main__.{}'>", std::get<ClassPayload>(slot->object).record->name);
        case HeapObjectKind::Module: return fmt::format("<module '{}'>", std::get<ModulePayload>(slot->object).name);
        case HeapObjectKind::Slice: {
            auto s = std::get<SlicePayload>(slot->object);
            TRY_ASSIGN(a, repr_text(ctx, s.start));
            TRY_ASSIGN(b, repr_text(ctx, s.stop));
            TRY_ASSIGN(c, repr_text(ctx, s.step));
            return fmt::format("slice({}, {}, {})", a, b, c);
        }
        default: break;
    }
    TRY_ASSIGN(custom, call_dunder(ctx, v, DunderSlot::Repr, {}));
    if (custom) {
        TRY_ASSIGN(text, str_view(heap, *custom));
        if (!text) return fail(PyError::type_error("__repr__ returned non-string"));
        return std::string(*text);
    }
    if (slot->kind() == HeapObjectKind::Exception) {
        auto parts = exception_instance_parts(interp(ctx), v);
        auto name = exception_type_name(interp(ctx), v);
        std::vector<Value> args = parts && *parts ? (*parts)->args : std::vector<Value>{};
        std::string out = (name ? *name : std::string("BaseException"));
        TRY_ASSIGN(inner, sequence_repr(ctx, args, '(', ')', false));
        return out + inner;
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fmt::format("<__main__.{} object at 0x{:x}>", tn, 0x7f0000000000ull + v.handle().index * 0x40ull);
}

PyResult<std::string> str_text(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    if (is_str(heap, v)) return std::string(str_of(heap, v));
    const HeapSlot* slot = heap.get_if_object(v);
    if (slot && (slot->kind() == HeapObjectKind::Object || slot->kind() == HeapObjectKind::Exception)) {
        TRY_ASSIGN(custom, call_dunder(ctx, v, DunderSlot::String, {}));
        if (custom) {
            TRY_ASSIGN(text, str_view(heap, *custom));
            if (!text) return fail(PyError::type_error("__str__ returned non-string"));
            return std::string(*text);
        }
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
