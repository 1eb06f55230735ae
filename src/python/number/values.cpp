#include "python/number/values.h"

#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"

namespace tw::py {

PyStatus MeterCharges::charge_work(std::uint64_t units) { return python_charge_work(env_.meter, units); }

PyStatus MeterCharges::charge_memory(std::uint64_t bytes) {
    if (!env_.meter.charge_memory(bytes)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    env_.heap.record_native_charge(bytes);
    if (auto r = Heap::charge_object_cpu(bytes, env_.meter); !r) return r;
    return {};
}

PyResult<Value> new_int_value(NumberEnv env, const tw::BigInt& v) {
    if (auto s = v.to_i64()) return Value::from_int(*s);
    auto payload = Box<py::BigInt>::make();
    mpz_set(payload->get(), v.raw());
    return env.heap.allocate_object(HeapObject{BigIntPayload{std::move(payload)}}, env.roots, env.meter);
}

PyResult<Value> new_complex_value(NumberEnv env, double re, double im) {
    return env.heap.allocate_object(HeapObject{ComplexPayload{re, im}}, env.roots, env.meter);
}

PyResult<std::optional<Value>> number_value_to_py(NumberEnv env, NumberValue v) {
    switch (v.kind) {
        case NumberValue::NotHandled: return std::optional<Value>();
        case NumberValue::Small: return std::optional(Value::from_int(v.small));
        case NumberValue::Float: return std::optional(Value::from_float(v.real));
        case NumberValue::Big: {
            auto r = new_int_value(env, *v.big);
            if (!r) return fail(std::move(r.error()));
            return std::optional(*r);
        }
        case NumberValue::Complex: {
            auto r = new_complex_value(env, v.real, v.imag);
            if (!r) return fail(std::move(r.error()));
            return std::optional(*r);
        }
    }
    return std::optional<Value>();
}

namespace {

bool carries_registered_kind(const Heap& heap, const Value& v) {
    if (v.is_registered()) return true;
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::Registered;
}

// Whether a registered kind derives from float or complex, directly or through its bases.
bool kind_derives_from_float_or_complex(const ValueKindDef* kind, int depth = 0) {
    if (!kind || depth > 16) return false;
    for (const ValueKindBase& b : kind->bases) {
        if (b.tag == ValueKindBase::Float || b.tag == ValueKindBase::Complex) return true;
        if (kind_derives_from_float_or_complex(b.kind, depth + 1)) return true;
    }
    return false;
}

}  // namespace

std::optional<tw::BigInt> value_to_bigint(const Heap& heap, const Value& v) {
    const NumericView view = py_numeric_view(heap, v);
    switch (view.kind) {
        case NumericView::Small: return tw::BigInt(view.small);
        case NumericView::U64: return tw::BigInt::from_u64(view.u64);
        case NumericView::Big: {
            tw::BigInt out;
            mpz_set(out.raw(), view.big->get());
            return out;
        }
        default: return std::nullopt;
    }
}

std::optional<NumberOperand> numeric_operand(const Heap& heap, const Value& v) {
    if (v.is_int()) return NumberOperand::of_small(v.as_int());
    if (v.is_float()) return NumberOperand::of_float(v.as_float());
    if (v.is_bool()) return NumberOperand::of_small(v.as_bool());
    if (carries_registered_kind(heap, v)) return std::nullopt;
    const NumericView view = py_numeric_view(heap, v);
    switch (view.kind) {
        case NumericView::Small: return NumberOperand::of_small(view.small);
        case NumericView::Float: return NumberOperand::of_float(view.real);
        case NumericView::Big:
        case NumericView::U64: return NumberOperand::of_big(*value_to_bigint(heap, v));
        default: return std::nullopt;
    }
}

PyResult<ComplexOperand> complex_operand(const Heap& heap, const Value& v) {
    if (auto parts = registered_parts(heap, v); parts && !kind_derives_from_float_or_complex(parts->kind))
        return ComplexOperand{};
    const NumericView view = py_numeric_view(heap, v);
    switch (view.kind) {
        case NumericView::Small: return ComplexOperand::real(double(view.small));
        case NumericView::U64: return ComplexOperand::real(double(view.u64));
        case NumericView::Big: {
            auto d = bigint_to_double(view.big->get());
            if (!d) return fail(int_too_large_for_float());
            return ComplexOperand::real(*d);
        }
        case NumericView::Float: return ComplexOperand::real(view.real);
        case NumericView::Complex: return ComplexOperand::complex(view.real, view.imag);
        default: return ComplexOperand{};
    }
}

PyResult<ComplexParts> py_value_as_complex_parts(const Heap& heap, const Value& v) {
    const NumericView view = py_numeric_view(heap, v);
    switch (view.kind) {
        case NumericView::Small: return ComplexParts{0, double(view.small), 0};
        case NumericView::U64: return ComplexParts{0, double(view.u64), 0};
        case NumericView::Big: {
            auto d = bigint_to_double(view.big->get());
            if (!d) return fail(int_too_large_for_float());
            return ComplexParts{0, *d, 0};
        }
        case NumericView::Float: return ComplexParts{0, view.real, 0};
        case NumericView::Complex: return ComplexParts{1, view.real, view.imag};
        default: return ComplexParts{};
    }
}

namespace {

// An upper bound of the bytes a format can produce: padding (a fill is at most 4 bytes), the
// precision's digits, the value's own digits and a margin for signs, prefixes and separators.
std::uint64_t format_output_bound(std::string_view spec, std::uint64_t value_bytes) {
    auto parsed = FormatSpec::parse(spec, "", std::nullopt);
    std::uint64_t bound = sat_add(value_bytes, 400);
    if (!parsed) return bound;
    bound = sat_add(bound, sat_mul(parsed->width, 4));
    bound = sat_add(bound, sat_mul(parsed->precision, 2));
    return bound;
}

}  // namespace

PyResult<std::string> py_format_builtin(const Heap& heap, NumberCharges& charges, const Value& v,
                                        std::string_view spec, std::string_view type_name) {
    FormatResult<std::string> r;
    const NumericView view = py_numeric_view(heap, v);
    std::uint64_t value_bytes = 0;
    if (view.kind == NumericView::Big) value_bytes = sat_mul(mpz_sizeinbase(view.big->get(), 2), 2);
    else if (auto text = str_view(heap, v); text && *text) value_bytes = (*text)->size();
    const std::uint64_t bound = format_output_bound(spec, value_bytes);
    if (auto c = charges.charge_memory(bound); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(bound / 64 + 1); !c) return fail(std::move(c.error()));
    switch (view.kind) {
        case NumericView::Small:
        case NumericView::U64:
        case NumericView::Big: r = format_integer(*value_to_bigint(heap, v), spec, v.is_bool() ? "bool" : "int"); break;
        case NumericView::Float: r = format_float(view.real, spec); break;
        case NumericView::Complex: r = format_complex(view.real, view.imag, spec); break;
        default: {
            auto text = str_view(heap, v);
            if (!text) return fail(std::move(text.error()));
            if (!*text)
                return fail(PyError::type_error(fmt::format("unsupported format string passed to {}.__format__", type_name)));
            r = py_format_str(**text, spec);
        }
    }
    if (!r) return fail(r.error().to_py_error());
    return std::move(*r);
}

namespace {

bool is_integer_view(const NumericView& v) {
    return v.kind == NumericView::Small || v.kind == NumericView::Big || v.kind == NumericView::U64;
}

void set_view(mpz_ptr out, const NumericView& v) {
    if (v.kind == NumericView::Small) mpz_set_si(out, long(v.small));
    else if (v.kind == NumericView::U64) mpz_set_ui(out, static_cast<unsigned long>(v.u64));
    else mpz_set(out, v.big->get());
}

int sign_of(int c) { return (c > 0) - (c < 0); }

}  // namespace

std::optional<int> numeric_view_compare(const NumericView& a, const NumericView& b) {
    const bool ai = is_integer_view(a), bi = is_integer_view(b);
    if (ai && bi) {
        if (a.kind == NumericView::Small && b.kind == NumericView::Small) return (a.small > b.small) - (a.small < b.small);
        tw::BigInt x, y;
        set_view(x.raw(), a);
        set_view(y.raw(), b);
        return sign_of(mpz_cmp(x.raw(), y.raw()));
    }
    if (!ai && !bi) {
        if (std::isnan(a.real) || std::isnan(b.real)) return std::nullopt;
        return (a.real > b.real) - (a.real < b.real);
    }
    const NumericView& i = ai ? a : b;
    const double f = ai ? b.real : a.real;
    if (std::isnan(f)) return std::nullopt;
    tw::BigInt x;
    set_view(x.raw(), i);
    const int c = sign_of(mpz_cmp_d(x.raw(), f));  // integer against float
    return ai ? c : -c;
}

bool numeric_view_eq(const NumericView& a, const NumericView& b) {
    auto real_view = [](const NumericView& v, double x) {
        NumericView r;
        r.kind = NumericView::Float;
        r.real = x;
        return r;
    };
    if (a.kind == NumericView::Complex || b.kind == NumericView::Complex) {
        const double ai = a.kind == NumericView::Complex ? a.imag : 0.0;
        const double bi = b.kind == NumericView::Complex ? b.imag : 0.0;
        if (!(ai == bi)) return false;
        const NumericView ar = a.kind == NumericView::Complex ? real_view(a, a.real) : a;
        const NumericView br = b.kind == NumericView::Complex ? real_view(b, b.real) : b;
        const auto c = numeric_view_compare(ar, br);
        return c && *c == 0;
    }
    const auto c = numeric_view_compare(a, b);
    return c && *c == 0;
}

std::int64_t py_hash_numeric(const NumericView& v) {
    switch (v.kind) {
        case NumericView::Small: return py_hash_int(v.small);
        case NumericView::U64: return py_hash_u64(v.u64);
        case NumericView::Big: return py_hash_bigint(v.big->get());
        case NumericView::Float: return py_hash_float(v.real);
        case NumericView::Complex: return py_hash_complex(v.real, v.imag);
        default: return 0;
    }
}

std::optional<std::int64_t> py_identity(const Value& v) {
    std::string fed;
    auto word = [&](std::uint64_t w) {
        for (int i = 0; i < 8; ++i) fed.push_back(char((w >> (8 * i)) & 0xFF));
    };
    if (v.is_bool()) {
        fed.push_back(0);
        fed.push_back(char(v.as_bool()));
    } else if (v.is_int()) {
        fed.push_back(1);
        word(std::uint64_t(v.as_int()));
    } else if (v.is_float()) {
        fed.push_back(2);
        word(v.word0());
    } else if (v.is_none()) {
        fed.push_back(3);
    } else if (v.is_inline_str()) {
        fed.push_back(4);
        fed += v.inline_str();
        fed.push_back(char(0xFF));
    } else if (v.is_native()) {
        fed.push_back(5);
        word(v.native_index());
        fed.push_back(char(v.native_kind()));
    } else if (v.is_registered()) {
        fed.push_back(char(v.registered_kind()));
        word(v.registered_payload());
    } else {
        return std::nullopt;
    }
    return py_identity_from_bytes(fed);
}

}  // namespace tw::py
