// The builtin functions for numbers, characters and representations (chr .. len), for iteration,
// ordering and aggregation (sorted .. next) and for introspection, attributes and scopes
// (dir .. vars). Iterable arguments are materialized first: enumerate and zip give lists.
#include "python/vm/builtin_functions.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_types.h"
#include "python/types/stream_types.h"
#include "python/vm/mapping_slots.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/comparison.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/generators.h"
#include "python/vm/protocols.h"
#include "python/vm/sequence_support.h"
#include "python/vm/sequences.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

using Args = std::vector<Value>;

PyStatus arity(const Args& a, std::size_t lo, std::size_t hi) {
    if (a.size() < lo || a.size() > hi)
        return fail(PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, a.size())));
    return {};
}

Interpreter& interpreter_of(RuntimeContext& ctx) { return *ctx.interpreter; }

// ---- numbers, characters and representations -------------------------------------------------

std::string utf8_of(std::uint32_t c) {
    std::string s;
    if (c < 0x80) s.push_back(char(c));
    else if (c < 0x800) s += {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
    else if (c < 0x10000) s += {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    else s += {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    return s;
}

PyResult<Value> builtin_chr(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 1));
    const NumericView n = py_numeric_view(ctx.heap, a[0]);
    if (n.kind != NumericView::Small) return fail(PyError::unsupported("an integer is required for chr()"));
    const std::int64_t cp = n.small;
    if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return fail(PyError::value_error("chr() arg not in range(0x110000)"));
    return make_str(ctx, utf8_of(std::uint32_t(cp)));
}

PyResult<Value> builtin_ord(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 1));
    if (auto s = exact_str_view(ctx.heap, a[0])) {
        std::size_t chars = 0;
        for (unsigned char ch : *s) chars += (ch & 0xC0) != 0x80;
        if (chars != 1) return fail(PyError::unsupported("ord() expected a character"));
        std::uint32_t c = static_cast<unsigned char>((*s)[0]);
        if (s->size() > 1) {
            c &= (0xFFu >> (s->size() + 1));
            for (std::size_t i = 1; i < s->size(); ++i) c = (c << 6) | (static_cast<unsigned char>((*s)[i]) & 0x3F);
        }
        return Value::from_int(c);
    }
    const HeapSlot* slot = ctx.heap.get_if_object(a[0]);
    const std::string* bytes = nullptr;
    if (slot) {
        if (const auto* b = std::get_if<BytesPayload>(&slot->object)) bytes = &b->bytes;
        else if (const auto* ba = std::get_if<ByteArrayPayload>(&slot->object)) bytes = &ba->bytes;
    }
    if (!bytes) return fail(PyError::unsupported("ord() expected string of length 1"));
    if (bytes->size() != 1) return fail(PyError::unsupported("ord() expected a character"));
    return Value::from_int(static_cast<unsigned char>((*bytes)[0]));
}

PyResult<Value> builtin_radix(RuntimeContext& ctx, const Args& a, int base) {
    TRY_DO(arity(a, 1, 1));
    const NumericView n = py_numeric_view(ctx.heap, a[0]);
    BigInt z;
    if (n.kind == NumericView::Small) mpz_set_si(z.get(), n.small);
    else if (n.kind == NumericView::U64) mpz_import(z.get(), 1, -1, sizeof n.u64, 0, 0, &n.u64);
    else if (n.kind == NumericView::Big) mpz_set(z.get(), n.big->get());
    else return fail(PyError::unsupported("integer argument expected"));
    std::uint64_t bits = mpz_sgn(z.get()) == 0 ? 0 : mpz_sizeinbase(z.get(), 2), total;
    if (__builtin_add_overflow(bits, std::uint64_t(3), &total))
        return fail(PyError::unsupported("integer representation is too large"));
    TRY_DO(charge_native_memory(ctx, total));
    TRY_DO(python_charge_work(ctx.machine.meter, total));
    const bool negative = mpz_sgn(z.get()) < 0;
    mpz_abs(z.get(), z.get());
    std::string digits(mpz_sizeinbase(z.get(), base) + 2, '\0');
    mpz_get_str(digits.data(), base, z.get());
    digits.resize(std::char_traits<char>::length(digits.c_str()));
    const char* prefix = base == 2 ? "0b" : base == 8 ? "0o" : "0x";
    return make_str(ctx, (negative ? "-" : "") + std::string(prefix) + digits);
}

PyResult<Value> builtin_format(RuntimeContext& ctx, const NativeCall& c) {
    const Args& a = c.positional;
    if (!c.keywords.empty()) return fail(PyError::type_error("format() takes no keyword arguments"));
    if (a.empty()) return fail(PyError::type_error("format expected at least 1 argument, got 0"));
    if (a.size() > 2) return fail(PyError::type_error(fmt::format("format expected at most 2 arguments, got {}", a.size())));
    std::string spec;
    if (a.size() == 2) {
        auto s = exact_str_view(ctx.heap, a[1]);
        if (!s) {
            TRY_ASSIGN(tn, type_name(ctx, a[1]));
            return fail(PyError::type_error(fmt::format("format() argument 2 must be str, not {}", tn)));
        }
        spec = *s;
    }
    return format_field(ctx, a[0], -1, spec);
}

PyResult<Value> builtin_pow(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 2, 3));
    if (a.size() == 2 || a[2].is_none())
        return binary_operation(ctx, std::uint8_t(BinaryOperator::Pow), a[0], a[1], false);
    TRY_ASSIGN(base, pow_integer_operand(ctx, a[0]));
    TRY_ASSIGN(exponent, pow_integer_operand(ctx, a[1]));
    TRY_ASSIGN(modulus, pow_integer_operand(ctx, a[2]));
    auto to_mpz = [&](Value v, BigInt& z) {
        const NumericView n = py_numeric_view(ctx.heap, v);
        if (n.kind == NumericView::Small) mpz_set_si(z.get(), n.small);
        else if (n.kind == NumericView::U64) mpz_import(z.get(), 1, -1, sizeof n.u64, 0, 0, &n.u64);
        else mpz_set(z.get(), n.big->get());
    };
    BigInt b, e, m;
    to_mpz(base.integer, b), to_mpz(exponent.integer, e), to_mpz(modulus.integer, m);
    if (mpz_sgn(m.get()) == 0) return fail(PyError::zero_division_error("pow() 3rd argument cannot be 0"));
    auto sat_add = [](std::uint64_t x, std::uint64_t y) { return x > UINT64_MAX - y ? UINT64_MAX : x + y; };
    auto sat_mul = [](std::uint64_t x, std::uint64_t y) { return y && x > UINT64_MAX / y ? UINT64_MAX : x * y; };
    const std::uint64_t B = base.digits_bound, E = exponent.digits_bound, M = modulus.digits_bound;
    BigInt abs_m;
    mpz_abs(abs_m.get(), m.get());
    if (mpz_sgn(e.get()) < 0) {
        if (mpz_invert(b.get(), b.get(), abs_m.get()) == 0)
            return fail(PyError::value_error("base is not invertible for the given modulus"));
        mpz_neg(e.get(), e.get());
    }
    TRY_DO(python_charge_work(ctx.machine.meter, sat_mul(sat_add(B, M), std::max<std::uint64_t>(sat_mul(4, E), 1))));
    TRY_DO(charge_native_memory(ctx, std::max<std::uint64_t>(sat_mul(4, M), 1)));
    BigInt r;
    mpz_powm(r.get(), b.get(), e.get(), abs_m.get());
    // The result takes the modulus's sign: in (m, 0] for a negative modulus.
    if (mpz_sgn(m.get()) < 0 && mpz_sgn(r.get()) != 0) mpz_add(r.get(), r.get(), m.get());
    if (r.fits_i64()) return Value::from_int(r.to_i64());
    return ctx.heap.allocate_object(BigIntPayload{Box<BigInt>::make(r)}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> builtin_divmod(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 2, 2));
    static constexpr BinarySlotOperator kDivmod{"divmod()", DunderSlot::DivMod, DunderSlot::ReflectedDivMod};
    return py_binary_fallback(ctx, kDivmod, a[0], a[1]);
}

PyResult<Value> builtin_len(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 1));
    Value v = a[0];
    Interpreter& in = interpreter_of(ctx);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, v));
    if (cls) {
        TRY_ASSIGN(method, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__len__")));
        if (method) {
            TRY_ASSIGN(r, call_immediate(ctx, *method, std::span<const Value>(&v, 1), {}));
            const NumericView n = py_numeric_view(ctx.heap, r);
            if (r.is_float() || (n.kind != NumericView::Small && n.kind != NumericView::Big && n.kind != NumericView::U64))
                return fail(PyError::unsupported("__len__() should return an integer"));
            if ((n.kind == NumericView::Small && n.small < 0) || (n.kind == NumericView::Big && mpz_sgn(n.big->get()) < 0))
                return fail(PyError::unsupported("__len__() should return >= 0"));
            return r;
        }
    }
    TRY_ASSIGN(n, py_builtin_len(ctx, v));
    if (!n && ctx.heap.get_if_object(v)) {
        // Views, mapping proxies and the other mapping kinds answer through their slot.
        TRY_ASSIGN(mapped, call_mapping_slot(ctx, v, DunderSlot::Length, {}));
        if (mapped) return *mapped;
    }
    if (!n) {
        if (const HeapSlot* s = ctx.heap.get_if_object(v)) {
            if (const auto* b = std::get_if<BytesPayload>(&s->object)) n = b->bytes.size();
            else if (const auto* ba = std::get_if<ByteArrayPayload>(&s->object)) n = ba->bytes.size();
        }
    }
    if (!n) {
        TRY_ASSIGN(tn, type_name(ctx, v));
        return fail(PyError::type_error(fmt::format("object of type '{}' has no len()", tn)));
    }
    if (*n > std::uint64_t(INT64_MAX)) return fail(PyError::overflow_error("length is too large"));
    return Value::from_int(std::int64_t(*n));
}

// ---- iteration, ordering and aggregation ----------------------------------------------------

PyResult<Value> builtin_sorted(RuntimeContext& ctx, const NativeCall& c) {
    TRY_DO(arity(c.positional, 1, 1));
    std::optional<Value> key, reverse_value;
    for (const auto& [name, v] : c.keywords) {
        std::optional<Value>* target = name == "key" ? &key : name == "reverse" ? &reverse_value : nullptr;
        if (!target)
            return fail(PyError::unsupported(fmt::format("sorted() got an unexpected keyword {}", double_quoted(name))));
        if (*target)
            return fail(PyError::unsupported(fmt::format("sorted() got multiple values for keyword {}", double_quoted(name))));
        *target = v;
    }
    bool reverse = false;
    if (reverse_value) {
        TRY_ASSIGN(t, truth(ctx, *reverse_value));
        reverse = t;
    }
    TRY_ASSIGN(items, materialize_iterable(ctx, c.positional[0]));
    TRY_DO(sort_values(ctx, items, key.value_or(Value::absent()), reverse));
    return new_list(ctx, std::move(items));
}

PyResult<Value> builtin_minmax(RuntimeContext& ctx, const NativeCall& c, bool max) {
    const std::string_view name = max ? "max" : "min";
    const Value *key = nullptr, *dflt = nullptr;
    for (const auto& [k, v] : c.keywords) {
        if (k == "key") key = &v;
        else if (k == "default") dflt = &v;
        else return fail(PyError::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", name, k)));
    }
    if (key && key->is_none()) key = nullptr;
    const Args& a = c.positional;
    if (a.empty()) return fail(PyError::type_error(fmt::format("{} expected at least 1 argument, got 0", name)));
    std::vector<Value> items;
    if (a.size() == 1) {
        TRY_ASSIGN(all, materialize_iterable(ctx, a[0]));
        items = std::move(all);
    } else {
        if (dflt)
            return fail(PyError::type_error(
                fmt::format("Cannot specify a default for {}() with multiple positional arguments", name)));
        items = a;
    }
    std::optional<Value> best, best_key;
    for (const Value& item : items) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        Value k = item;
        if (key) {
            TRY_ASSIGN(r, call_immediate(ctx, *key, std::span<const Value>(&item, 1), {}));
            ctx.heap.push_root(r);
            k = r;
        }
        if (!best) {
            best = item, best_key = k;
            continue;
        }
        TRY_ASSIGN(r, compare_operation(ctx, std::uint8_t(max ? CompareOperator::Gt : CompareOperator::Lt), k, *best_key));
        TRY_ASSIGN(t, truth(ctx, r));
        if (t) best = item, best_key = k;
    }
    if (best) return *best;
    if (dflt) return *dflt;
    return fail(PyError::value_error(fmt::format("{}() iterable argument is empty", name)));
}

PyResult<Value> new_complex(RuntimeContext& ctx, double re, double im) {
    return ctx.heap.allocate_object(ComplexPayload{re, im}, ctx.roots, ctx.machine.meter);
}

// The float total with its compensation folded in (when it is non-zero and finite).
double folded(double total, double compensation) {
    return compensation != 0.0 && std::isfinite(compensation) ? total + compensation : total;
}

PyResult<Value> builtin_sum(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 2));
    Value start = a.size() > 1 ? a[1] : Value::from_int(0);
    if (exact_str_view(ctx.heap, start))
        return fail(PyError::type_error("sum() can't sum strings [use ''.join(seq) instead]"));
    if (const HeapSlot* s = ctx.heap.get_if_object(start)) {
        if (s->kind() == HeapObjectKind::Bytes) return fail(PyError::type_error("sum() can't sum bytes [use b''.join(seq) instead]"));
        if (s->kind() == HeapObjectKind::ByteArray)
            return fail(PyError::type_error("sum() can't sum bytearray [use b''.join(seq) instead]"));
    }
    TRY_ASSIGN(items, materialize_iterable(ctx, a[0]));
    enum class Mode { Integer, Float, Complex, Generic } mode = Mode::Generic;
    std::int64_t int_total = 0;
    double re = 0, im = 0, re_c = 0, im_c = 0;
    Value total = start;
    auto add = [&](Value x, Value y) { return binary_operation(ctx, std::uint8_t(BinaryOperator::Add), x, y, false); };
    // The mode a generic result selects, with its totals.
    auto enter = [&](Value v) {
        total = v;
        ctx.heap.push_root(v);
        const SumOperand op = sum_classify(ctx, v);
        if (op.kind == SumOperand::Float) mode = Mode::Float, re = op.real, re_c = 0;
        else if (op.kind == SumOperand::Complex) mode = Mode::Complex, re = op.real, im = op.imag, re_c = im_c = 0;
        else mode = Mode::Generic;
    };
    if (start.is_int()) mode = Mode::Integer, int_total = start.as_int();
    else if (start.is_float()) mode = Mode::Float, re = start.as_float();
    else if (sum_classify(ctx, start).kind == SumOperand::Complex) {
        const SumOperand op = sum_classify(ctx, start);
        mode = Mode::Complex, re = op.real, im = op.imag;
    }
    for (const Value& item : items) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        switch (mode) {
            case Mode::Integer: {
                std::int64_t r;
                if ((item.is_int() || item.is_bool()) && !__builtin_add_overflow(int_total, item.as_int(), &r)) {
                    int_total = r;
                    continue;
                }
                TRY_ASSIGN(v, add(Value::from_int(int_total), item));
                enter(v);
                continue;
            }
            case Mode::Float:
            case Mode::Complex: {
                const SumOperand op = sum_classify(ctx, item);
                // Integers and floats add to the real part; a complex ends float mode.
                const bool real = op.kind == SumOperand::Integer || op.kind == SumOperand::ConvertedInteger ||
                                  op.kind == SumOperand::Float;
                if (real || (mode == Mode::Complex && op.kind == SumOperand::Complex)) {
                    double x = op.kind == SumOperand::Integer ? double(op.integer) : op.real;
                    if (op.kind == SumOperand::ConvertedInteger) {
                        TRY_ASSIGN(converted, sum_int_to_float(op));
                        x = converted;
                    }
                    neumaier_add(re, re_c, x);
                    if (op.kind == SumOperand::Complex) neumaier_add(im, im_c, op.imag);
                    continue;
                }
                Value running = Value::from_float(folded(re, re_c));
                if (mode == Mode::Complex) {
                    TRY_ASSIGN(z, new_complex(ctx, folded(re, re_c), folded(im, im_c)));
                    running = z;
                }
                ctx.heap.push_root(running);
                TRY_ASSIGN(v, add(running, item));
                enter(v);
                continue;
            }
            case Mode::Generic: {
                TRY_ASSIGN(v, add(total, item));
                total = v;
                ctx.heap.push_root(v);
                continue;
            }
        }
    }
    switch (mode) {
        case Mode::Integer: return Value::from_int(int_total);
        case Mode::Float: return Value::from_float(folded(re, re_c));
        case Mode::Complex: return new_complex(ctx, folded(re, re_c), folded(im, im_c));
        case Mode::Generic: break;
    }
    return total;
}

PyResult<Value> builtin_any_all(RuntimeContext& ctx, const Args& a, bool any) {
    TRY_DO(arity(a, 1, 1));
    TRY_ASSIGN(items, materialize_iterable(ctx, a[0]));
    for (const Value& v : items) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        TRY_ASSIGN(t, truth(ctx, v));
        if (t == any) return Value::from_bool(any);
    }
    return Value::from_bool(!any);
}

PyResult<Value> builtin_enumerate(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 2));
    std::int64_t start = 0;
    if (a.size() > 1) {
        const Value& s = a[1];
        if (s.is_int() || s.is_bool()) {
            start = s.as_int();
        } else {
            TRY_ASSIGN(cls, instance_class_value(ctx.heap, interpreter_of(ctx).types, s));
            std::optional<Value> index;
            if (cls) {
                TRY_ASSIGN(m, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__index__")));
                if (m) {
                    TRY_ASSIGN(r, call_immediate(ctx, *m, std::span<const Value>(&s, 1), {}));
                    index = r;
                }
            }
            if (!index || !(index->is_int() || index->is_bool())) {
                if (index && is_big_int(ctx.heap, *index))
                    return fail(PyError::unsupported("enumerate index exceeds the bounded integer range"));
                TRY_ASSIGN(tn, type_name(ctx, s));
                return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
            }
            start = index->as_int();
        }
    }
    TRY_ASSIGN(items, materialize_iterable(ctx, a[0]));
    std::vector<Value> pairs;
    pairs.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        std::int64_t index;
        if (__builtin_add_overflow(start, std::int64_t(i), &index))
            return fail(PyError::unsupported("enumerate index exceeds the bounded integer range"));
        TRY_ASSIGN(t, new_tuple(ctx, {Value::from_int(index), items[i]}));
        ctx.heap.push_root(t);
        pairs.push_back(t);
    }
    return new_list(ctx, std::move(pairs));
}

PyResult<Value> builtin_zip(RuntimeContext& ctx, const Args& a) {
    std::vector<std::vector<Value>> columns;
    std::size_t n = a.empty() ? 0 : SIZE_MAX;
    for (const Value& v : a) {
        TRY_ASSIGN(items, materialize_iterable(ctx, v));
        n = std::min(n, items.size());
        columns.push_back(std::move(items));
    }
    std::vector<Value> rows;
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        std::vector<Value> row;
        row.reserve(columns.size());
        for (const auto& col : columns) row.push_back(col[i]);
        TRY_ASSIGN(t, new_tuple(ctx, std::move(row)));
        ctx.heap.push_root(t);
        rows.push_back(t);
    }
    return new_list(ctx, std::move(rows));
}

PyResult<Value> builtin_iter(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 1, 2));
    if (a.size() == 1 && is_stream_handle(a[0])) return a[0];  // a stream is its own iterator
    if (a.size() == 1) return get_iterator(ctx, a[0]);
    TRY_ASSIGN(ok, is_callable(ctx, a[0]));
    if (!ok) return fail(PyError::unsupported("iter(v, w): v must be callable"));
    return ctx.heap.allocate_object(CallableIteratorPayload{false, a[0], a[1]}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> builtin_next(RuntimeContext& ctx, const Args& a) {
    if (a.empty()) return fail(PyError::type_error("next expected at least 1 argument, got 0"));
    if (a.size() > 2) return fail(PyError::type_error(fmt::format("next expected at most 2 arguments, got {}", a.size())));
    // Generators run through the engine's stepping; every other iterator through the protocol.
    const HeapSlot* slot = ctx.heap.get_if_object(a[0]);
    if (slot && slot->kind() == HeapObjectKind::Generator && std::get<GeneratorPayload>(slot->object).record->coroutine)
        return fail(PyError::type_error("'coroutine' object is not an iterator"));
    auto r = slot && slot->kind() == HeapObjectKind::Generator ? generator_step(ctx, a[0], Value::none())
                                                              : py_next(ctx, a[0]);
    if (!r) {
        if (a.size() > 1 && r.error().is_raised_marker() &&
            pending_exception_is_instance(interpreter_of(ctx), "StopIteration")) {
            ctx.exec.pending_exception.reset();
            return a[1];
        }
        return fail(std::move(r.error()));
    }
    if (*r) return **r;
    if (a.size() > 1) return a[1];
    return fail(stop_iteration_for(ctx, a[0]));
}

// ---- introspection, attributes and scopes ----------------------------------------------------

// The scope global names of the innermost frame live in.
PyResult<Value> innermost_globals(RuntimeContext& ctx) {
    if (ctx.exec.frames.empty()) return fail(PyError::unsupported("global names require running Python code"));
    const Frame& f = ctx.exec.frames.back();
    return f.globals.is_present() ? f.globals : f.scope;
}

PyResult<Value> namespace_mapping(RuntimeContext& ctx, Value scope) {
    if (const HeapSlot* s = ctx.heap.get_if_object(scope); s && dict_table_of(const_cast<HeapObject&>(s->object)))
        return scope;
    return ctx.heap.allocate_object(NamespaceDictPayload{0, scope}, ctx.roots, ctx.machine.meter);
}

// The names bound in a scope value (a namespace object, a module or a dict with str keys).
std::vector<std::string> scope_names(RuntimeContext& ctx, Value scope) {
    std::vector<std::string> out;
    const HeapSlot* s = ctx.heap.get_if_object(scope);
    if (!s) return out;
    if (const auto* m = std::get_if<ModulePayload>(&s->object)) return scope_names(ctx, m->namespace_);
    if (const auto* n = std::get_if<NamespacePayload>(&s->object)) {
        for (const NamespaceEntry& e : n->scope->entries())
            if (e.value.is_present()) out.emplace_back(ctx.heap.symbols.name_of(e.symbol));
        return out;
    }
    if (const DictTable* t = dict_table_of(const_cast<HeapObject&>(s->object)))
        t->for_each_live([&](const DictSlot& d) {
            if (auto k = exact_str_view(ctx.heap, d.key)) out.emplace_back(*k);
        });
    return out;
}

PyResult<Value> builtin_locals(RuntimeContext& ctx) {
    for (auto it = ctx.exec.frames.rbegin(); it != ctx.exec.frames.rend(); ++it) {
        const Frame& f = *it;
        if (f.fast_locals == 1 && f.code && f.code->local_names) {
            std::vector<std::pair<Value, Value>> pairs;
            const auto& names = *f.code->local_names;
            for (std::size_t i = 0; i < names.size(); ++i) {
                const std::size_t at = f.locals_base + i;
                if (at >= ctx.exec.locals.size() || ctx.exec.locals[at].is_absent()) continue;
                TRY_ASSIGN(k, make_str(ctx, std::string(ctx.heap.symbols.name_of(Symbol(names[i])))));
                ctx.heap.push_root(k);
                pairs.emplace_back(k, ctx.exec.locals[at]);
            }
            return new_dict(ctx, pairs);
        }
        if (f.scope.is_present()) return namespace_mapping(ctx, f.scope);
    }
    TRY_ASSIGN(g, innermost_globals(ctx));
    return namespace_mapping(ctx, g);
}

PyResult<Value> names_list(RuntimeContext& ctx, std::vector<std::string> names) {
    TRY_DO(python_charge_work(ctx.machine.meter, names.size()));
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::vector<Value> out;
    out.reserve(names.size());
    for (std::string& n : names) {
        TRY_ASSIGN(v, make_str(ctx, std::move(n)));
        ctx.heap.push_root(v);
        out.push_back(v);
    }
    return new_list(ctx, std::move(out));
}

void add_type_names(RuntimeContext& ctx, TypeId id, std::vector<std::string>& out) {
    const TypeRegistry& types = interpreter_of(ctx).types;
    auto rec = types.get(id);
    if (!rec) return;
    auto add = [&](const TypeRecord& r) {
        for (const NamespaceEntry& e : r.namespace_.entries()) out.emplace_back(ctx.heap.symbols.name_of(e.symbol));
    };
    add(**rec);
    for (TypeId t : (*rec)->mro)
        if (auto r = types.get(t)) add(**r);
}

PyResult<Value> builtin_dir(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 0, 1));
    if (a.empty()) {
        TRY_ASSIGN(g, innermost_globals(ctx));
        return names_list(ctx, scope_names(ctx, g));
    }
    const Value x = a[0];
    Interpreter& in = interpreter_of(ctx);
    const HeapSlot* slot = ctx.heap.get_if_object(x);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, x));
    if (cls && slot && slot->kind() != HeapObjectKind::Class) {
        TRY_ASSIGN(hook, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__dir__")));
        if (hook) {
            TRY_ASSIGN(bound, load_attribute_optional(ctx, x, ctx.heap.symbols.intern_static("__dir__")));
            if (!bound) return fail(PyError::unsupported("__dir__ disappeared during lookup"));
            TRY_ASSIGN(result, call_immediate(ctx, *bound, {}, {}));
            TRY_ASSIGN(items, materialize_iterable(ctx, result));
            std::vector<std::pair<std::string_view, Value>> named;
            for (const Value& v : items) {
                auto s = exact_str_view(ctx.heap, v);
                if (!s) return fail(PyError::type_error("__dir__() must return strings"));
                named.emplace_back(*s, v);
            }
            TRY_DO(python_charge_work(ctx.machine.meter, named.size()));
            std::stable_sort(named.begin(), named.end(), [](const auto& l, const auto& r) { return l.first < r.first; });
            std::vector<Value> out;
            for (auto& [s, v] : named) out.push_back(v);
            return new_list(ctx, std::move(out));
        }
    }
    std::vector<std::string> names;
    if (auto def = decode_native_handle(x); def && def->tag == DefinitionTag::Module && def->module) {
        for (const NativeFunction& f : def->module->functions) names.emplace_back(f.name);
        for (const NativeConstant& c : def->module->constants) names.emplace_back(c.name);
    } else if (slot && slot->kind() == HeapObjectKind::Module) {
        names = scope_names(ctx, x);
    } else if (slot && slot->kind() == HeapObjectKind::Class) {
        TRY_ASSIGN(n, class_attribute_names(ctx, x));
        names = std::move(n);
    } else if (cls && slot) {
        TRY_ASSIGN(own, instance_attributes(ctx.heap, x));
        for (const NamespaceEntry& e : own) names.emplace_back(ctx.heap.symbols.name_of(e.symbol));
        TRY_ASSIGN(n, class_attribute_names(ctx, *cls));
        names.insert(names.end(), n.begin(), n.end());
    } else if (auto t = py_as_class(ctx, x); t && decode_native_handle(x)) {
        add_type_names(ctx, *t, names);
    } else {
        TRY_ASSIGN(id, py_type_id_of(ctx.heap, in.types, x));
        add_type_names(ctx, id, names);
    }
    return names_list(ctx, std::move(names));
}

PyResult<Value> builtin_super(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 0, 2));
    if (a.empty()) {
        auto pair = load_dunder_class(ctx);
        if (!pair) return fail(PyError::unsupported("super(): no current method context"));
        return ctx.heap.allocate_object(SuperPayload{pair->first, pair->second}, ctx.roots, ctx.machine.meter);
    }
    const HeapSlot* s = ctx.heap.get_if_object(a[0]);
    if (a.size() != 2 || !s || s->kind() != HeapObjectKind::Class)
        return fail(PyError::unsupported("super() expects a class and instance"));
    return ctx.heap.allocate_object(SuperPayload{a[0], a[1]}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> builtin_set_del_attr(RuntimeContext& ctx, const Args& a, bool set) {
    const std::size_t want = set ? 3 : 2;
    if (a.size() != want)
        return fail(PyError::type_error(fmt::format("{} expected {} arguments, got {}", set ? "setattr" : "delattr", want, a.size())));
    auto name = exact_str_view(ctx.heap, a[1]);
    if (!name) {
        TRY_ASSIGN(tn, type_name(ctx, a[1]));
        return fail(PyError::type_error(fmt::format("attribute name must be string, not '{}'", tn)));
    }
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(*name, ctx.machine.meter));
    if (set) {
        TRY_DO(store_attribute(ctx, a[0], symbol, a[2]));
    } else {
        TRY_DO(delete_attribute(ctx, a[0], symbol));
    }
    return Value::none();
}

PyResult<Value> builtin_vars(RuntimeContext& ctx, const Args& a) {
    TRY_DO(arity(a, 0, 1));
    if (a.empty()) return builtin_locals(ctx);
    auto found = load_attribute_optional(ctx, a[0], ctx.heap.symbols.intern_static("__dict__"));
    if (!found) {
        if (found.error().kind() == ErrorKindTag::Exception && found.error().detail()->class_name == "AttributeError")
            return fail(PyError::type_error("vars() argument must have __dict__ attribute"));
        return fail(std::move(found.error()));
    }
    if (*found) return **found;
    // An instance whose class does not answer __dict__ yet: its own attributes, in storage order.
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interpreter_of(ctx).types, a[0]));
    const HeapSlot* slot = ctx.heap.get_if_object(a[0]);
    if (!cls || !slot || slot->kind() != HeapObjectKind::Object)
        return fail(PyError::type_error("vars() argument must have __dict__ attribute"));
    TRY_ASSIGN(own, instance_attributes(ctx.heap, a[0]));
    std::vector<std::pair<Value, Value>> pairs;
    for (const NamespaceEntry& e : own) {
        TRY_ASSIGN(k, make_str(ctx, std::string(ctx.heap.symbols.name_of(e.symbol))));
        ctx.heap.push_root(k);
        pairs.emplace_back(k, e.value);
    }
    return new_dict(ctx, pairs);
}

}  // namespace

std::optional<PyResult<Value>> call_value_builtin(RuntimeContext& ctx, std::uint32_t id, const NativeCall& call) {
    const Args& a = call.positional;
    switch (id) {
        case 5: return builtin_chr(ctx, a);
        case 6: return builtin_ord(ctx, a);
        case 7: return builtin_radix(ctx, a, 2);
        case 8: return builtin_radix(ctx, a, 8);
        case 9: return builtin_radix(ctx, a, 16);
        case 10: {
            if (auto r = arity(a, 1, 1); !r) return fail(std::move(r.error()));
            auto text = repr_text(ctx, a[0]);
            if (!text) return fail(std::move(text.error()));
            return make_str(ctx, std::move(*text));
        }
        case 11: return builtin_format(ctx, call);
        case 12: {
            if (auto r = arity(a, 1, 1); !r) return fail(std::move(r.error()));
            auto h = hash_value(ctx, a[0]);
            if (!h) return fail(std::move(h.error()));
            return Value::from_int(std::int64_t(*h));
        }
        case 13: return builtin_dir(ctx, a);
        case 14:
        case 15: {
            if (auto r = arity(a, 2, 2); !r) return fail(std::move(r.error()));
            if (id == 15) {
                auto hooked = call_instance_check_hook(ctx, a[1], "__subclasscheck__", a[0]);
                if (!hooked) return fail(std::move(hooked.error()));
                if (*hooked) return Value::from_bool(**hooked);
            }
            auto r = id == 14 ? py_isinstance(ctx, a[0], a[1]) : py_issubclass(ctx, a[0], a[1]);
            if (!r) return fail(std::move(r.error()));
            return Value::from_bool(*r);
        }
        case 16: return builtin_len(ctx, a);
        case 17: return builtin_sorted(ctx, call);
        case 18: return builtin_minmax(ctx, call, false);
        case 19: return builtin_minmax(ctx, call, true);
        case 20: return builtin_sum(ctx, a);
        case 21: {
            if (auto r = arity(a, 1, 1); !r) return fail(std::move(r.error()));
            return py_abs(ctx, a[0]);
        }
        case 22: return builtin_pow(ctx, a);
        case 23: return builtin_divmod(ctx, a);
        case 24: {
            if (auto r = arity(a, 1, 1); !r) return fail(std::move(r.error()));
            auto r = is_callable(ctx, a[0]);
            if (!r) return fail(std::move(r.error()));
            return Value::from_bool(*r);
        }
        case 25: return builtin_enumerate(ctx, a);
        case 26: return builtin_zip(ctx, a);
        case 27: return builtin_any_all(ctx, a, true);
        case 28: return builtin_any_all(ctx, a, false);
        case 29: return builtin_iter(ctx, a);
        case 30: return builtin_next(ctx, a);
        case 31: return builtin_super(ctx, a);
        case 32: return builtin_set_del_attr(ctx, a, true);
        case 33: return builtin_set_del_attr(ctx, a, false);
        case 34: {
            if (auto r = arity(a, 0, 0); !r) return fail(std::move(r.error()));
            auto g = innermost_globals(ctx);
            if (!g) return fail(std::move(g.error()));
            return namespace_mapping(ctx, *g);
        }
        case 35: {
            if (auto r = arity(a, 0, 0); !r) return fail(std::move(r.error()));
            return builtin_locals(ctx);
        }
        case 36: return builtin_vars(ctx, a);
        default: return std::nullopt;
    }
}

}  // namespace tw::py::vm
