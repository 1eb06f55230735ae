#include "python/number/number.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>

#include "base/panic.h"
#include "base/sat.h"

namespace tw::py {

namespace {

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();

PyError division_by_zero() { return PyError::zero_division_error("division by zero"); }
PyError zero_negative_power() { return PyError::zero_division_error("zero to a negative power"); }

void set_operand(mpz_ptr out, const NumberOperand& x) {
    if (x.kind == NumberOperand::Big) mpz_set(out, x.big->raw());
    else mpz_set_si(out, long(x.small));
}

tw::BigInt to_big(NumberOperand&& x) {
    expect(x.kind != NumberOperand::Float, "number kernel: float operand where an integer belongs");
    if (x.kind == NumberOperand::Big) return std::move(*x.big);
    return tw::BigInt(x.small);
}

std::uint64_t operand_words(const NumberOperand& x) {
    return x.kind == NumberOperand::Big ? py_int_word_count(x.big->raw()) : 1;
}

int operand_sign(const NumberOperand& x) {
    if (x.kind == NumberOperand::Big) return x.big->sign();
    return (x.small > 0) - (x.small < 0);
}

std::uint64_t isqrt_u64(std::uint64_t n) {
    auto r = std::uint64_t(std::sqrt(double(n)));
    while (r > 0 && (r > n / r)) --r;
    while ((r + 1) <= n / (r + 1)) ++r;
    return r;
}

// Rounds the non-negative integer q * 2^-shift (q > 0, `inexact` when bits below q were lost) to
// the nearest double, half to even; nothing on overflow.
std::optional<double> round_scaled(mpz_srcptr q, std::int64_t shift, bool inexact) {
    const auto qbits = std::int64_t(mpz_sizeinbase(q, 2));
    const std::int64_t top = qbits - 1 - shift;  // exponent of the leading bit
    if (top > 1023) return std::nullopt;
    // Bits of precision the result keeps: 53, fewer for subnormal results.
    const std::int64_t precision = top >= -1022 ? 53 : 53 - (-1022 - top);
    const std::int64_t drop = qbits - precision;
    if (drop <= 0) {
        // Exact: q fits the precision (only when nothing was lost).
        const double m = mpz_get_d(q);
        return std::ldexp(m, int(-shift));
    }
    mpz_t mant;
    mpz_init(mant);
    mpz_tdiv_q_2exp(mant, q, std::uint64_t(drop));
    const bool half = mpz_tstbit(q, std::uint64_t(drop - 1)) != 0;
    const bool below = inexact || (drop >= 2 && mpz_scan1(q, 0) < std::uint64_t(drop - 1));
    if (half && (below || mpz_odd_p(mant))) mpz_add_ui(mant, mant, 1);
    const double m = mpz_get_d(mant);  // at most 54 bits, exact
    mpz_clear(mant);
    const double r = std::ldexp(m, int(drop - shift));
    if (std::isinf(r)) return std::nullopt;
    return r;
}

NumberResult float_power(double base, double exponent) {
    if (base == 0 && std::isfinite(exponent) && exponent < 0) return fail(zero_negative_power());
    if (base < 0 && std::isfinite(base) && std::isfinite(exponent) && exponent != std::floor(exponent)) {
        const double r = std::pow(-base, exponent);
        const double t = exponent * std::numbers::pi;
        return NumberValue::of_complex(r * std::cos(t), r * std::sin(t));
    }
    const double r = std::pow(base, exponent);
    if (std::isinf(r) && std::isfinite(base) && std::isfinite(exponent))
        return fail(PyError::overflow_error("(34, 'Numerical result out of range')"));
    return NumberValue::of_float(r);
}

NumberResult float_binary(NumberOperand&& lhs, NumberOperand&& rhs, BinaryOp op) {
    switch (op) {
        case BinaryOp::MatrixMultiply:
        case BinaryOp::LeftShift:
        case BinaryOp::RightShift:
        case BinaryOp::BitwiseAnd:
        case BinaryOp::BitwiseXor:
        case BinaryOp::BitwiseOr: return NumberValue::not_handled();
        default: break;
    }
    auto a = py_int_to_double(lhs);
    if (!a) return fail(std::move(a.error()));
    auto b = py_int_to_double(rhs);
    if (!b) return fail(std::move(b.error()));
    const double x = *a, y = *b;
    switch (op) {
        case BinaryOp::Add: return NumberValue::of_float(x + y);
        case BinaryOp::Subtract: return NumberValue::of_float(x - y);
        case BinaryOp::Multiply: return NumberValue::of_float(x * y);
        case BinaryOp::Divide:
            if (y == 0) return fail(division_by_zero());
            return NumberValue::of_float(x / y);
        case BinaryOp::FloorDivide:
            if (y == 0) return fail(division_by_zero());
            return NumberValue::of_float(py_float_divmod(x, y).quotient);
        case BinaryOp::Remainder:
            if (y == 0) return fail(division_by_zero());
            return NumberValue::of_float(py_float_divmod(x, y).remainder);
        case BinaryOp::Power: return float_power(x, y);
        default: break;
    }
    panic("number kernel: operator reached the float path twice");
}

NumberResult int_shift(NumberCharges& charges, NumberOperand&& lhs, NumberOperand&& rhs, BinaryOp op) {
    if (operand_sign(rhs) < 0) return fail(PyError::value_error("negative shift count"));
    std::uint64_t count;
    if (rhs.kind == NumberOperand::Big) {
        auto c = rhs.big->magnitude_u64();
        if (!c) return fail(PyError::resource("shift count is too large"));
        count = *c;
    } else {
        count = std::uint64_t(rhs.small);
    }
    const std::uint64_t words = sat_add(operand_words(lhs), op == BinaryOp::LeftShift ? count / 64 : 0);
    if (auto r = charges.charge_work(words); !r) return fail(std::move(r.error()));
    if (auto r = charges.charge_memory(sat_mul(words, 8)); !r) return fail(std::move(r.error()));
    if (lhs.kind == NumberOperand::Small) {
        const std::int64_t a = lhs.small;
        if (op == BinaryOp::RightShift) return NumberValue::of_small(count >= 63 ? (a < 0 ? -1 : 0) : a >> count);
        if (a == 0) return NumberValue::of_small(0);
        if (count < 63) {
            const std::int64_t shifted = std::int64_t(std::uint64_t(a) << count);
            if ((shifted >> count) == a) return NumberValue::of_small(shifted);
        }
    }
    tw::BigInt a = to_big(std::move(lhs));
    tw::BigInt r;
    if (op == BinaryOp::LeftShift) mpz_mul_2exp(r.raw(), a.raw(), count);
    else mpz_fdiv_q_2exp(r.raw(), a.raw(), count);
    return NumberValue::of_integer(std::move(r));
}

NumberResult int_power(NumberCharges& charges, NumberOperand&& lhs, NumberOperand&& rhs) {
    if (operand_sign(rhs) < 0) {
        auto base = py_int_to_double(lhs);
        if (!base) return fail(std::move(base.error()));
        auto exponent = py_int_to_double(rhs);
        if (!exponent) return fail(std::move(exponent.error()));
        if (*base == 0) return fail(zero_negative_power());
        return NumberValue::of_float(std::pow(*base, *exponent));
    }
    std::uint64_t exponent;
    if (rhs.kind == NumberOperand::Big) {
        auto e = rhs.big->magnitude_u64();
        exponent = e ? *e : std::numeric_limits<std::uint64_t>::max();
    } else {
        exponent = std::uint64_t(rhs.small);
    }
    if (exponent > std::numeric_limits<std::uint32_t>::max())
        return fail(PyError::resource("power exponent is too large"));
    std::uint64_t base_bits;
    if (lhs.kind == NumberOperand::Big) base_bits = lhs.big->bit_length();
    else base_bits = lhs.small == 0 ? 0 : 64 - std::countl_zero(lhs.small < 0 ? 0 - std::uint64_t(lhs.small)
                                                                            : std::uint64_t(lhs.small));
    std::uint64_t bits;
    if (__builtin_mul_overflow(base_bits, exponent, &bits)) return fail(PyError::resource("power result is too large"));
    const std::uint64_t r = std::max<std::uint64_t>((bits + 63) / 64, 1);
    if (auto c = charges.charge_work(py_int_mul_cost(r, r)); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_memory(sat_mul(r, 8)); !c) return fail(std::move(c.error()));
    tw::BigInt base = to_big(std::move(lhs));
    tw::BigInt out;
    mpz_pow_ui(out.raw(), base.raw(), exponent);
    return NumberValue::of_integer(std::move(out));
}

constexpr std::int64_t kExactDouble = std::int64_t(1) << 53;

NumberResult int_true_divide(NumberOperand&& lhs, NumberOperand&& rhs) {
    if (operand_sign(rhs) == 0) return fail(division_by_zero());
    if (lhs.kind == NumberOperand::Small && rhs.kind == NumberOperand::Small && lhs.small >= -kExactDouble &&
        lhs.small <= kExactDouble && rhs.small >= -kExactDouble && rhs.small <= kExactDouble)
        return NumberValue::of_float(double(lhs.small) / double(rhs.small));
    mpz_t a, b;
    mpz_init(a);
    mpz_init(b);
    set_operand(a, lhs);
    set_operand(b, rhs);
    auto q = bigint_true_divide(a, b);
    mpz_clear(a);
    mpz_clear(b);
    if (!q) return fail(PyError::overflow_error("integer division result too large for a float"));
    return NumberValue::of_float(*q);
}

}  // namespace

NumberValue NumberValue::of_integer(tw::BigInt v) {
    if (auto s = v.to_i64()) return of_small(*s);
    NumberValue out;
    out.kind = Big;
    out.big = std::move(v);
    return out;
}

PyError int_too_large_for_float() { return PyError::overflow_error("int too large to convert to float"); }

std::optional<std::int64_t> py_int_small_binary_op(BinaryOp op, std::int64_t a, std::int64_t b) {
    std::int64_t r;
    switch (op) {
        case BinaryOp::Add:
            if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
            return r;
        case BinaryOp::Subtract:
            if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
            return r;
        case BinaryOp::Multiply:
            if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
            return r;
        case BinaryOp::FloorDivide: {
            if (b == 0 || (a == kMin64 && b == -1)) return std::nullopt;
            std::int64_t q = a / b;
            const std::int64_t m = a % b;
            if (m != 0 && ((m < 0) != (b < 0))) --q;
            return q;
        }
        case BinaryOp::Remainder: {
            if (b == 0) return std::nullopt;
            if (b == -1) return 0;
            std::int64_t m = a % b;
            if (m != 0 && ((m < 0) != (b < 0))) m += b;
            return m;
        }
        case BinaryOp::BitwiseAnd: return a & b;
        case BinaryOp::BitwiseXor: return a ^ b;
        case BinaryOp::BitwiseOr: return a | b;
        default: return std::nullopt;
    }
}

std::optional<bool> py_bool_bitwise(BinaryOp op, bool a, bool b) {
    switch (op) {
        case BinaryOp::BitwiseAnd: return a && b;
        case BinaryOp::BitwiseXor: return a != b;
        case BinaryOp::BitwiseOr: return a || b;
        default: return std::nullopt;
    }
}

NumberResult py_number_binary_op(NumberCharges& charges, NumberOperand lhs, NumberOperand rhs, BinaryOp op) {
    if (lhs.kind == NumberOperand::Float || rhs.kind == NumberOperand::Float)
        return float_binary(std::move(lhs), std::move(rhs), op);
    switch (op) {
        case BinaryOp::LeftShift:
        case BinaryOp::RightShift: return int_shift(charges, std::move(lhs), std::move(rhs), op);
        case BinaryOp::Power: return int_power(charges, std::move(lhs), std::move(rhs));
        case BinaryOp::Divide: return int_true_divide(std::move(lhs), std::move(rhs));
        default: break;
    }
    if (lhs.kind == NumberOperand::Small && rhs.kind == NumberOperand::Small)
        if (auto r = py_int_small_binary_op(op, lhs.small, rhs.small)) return NumberValue::of_small(*r);
    const std::uint64_t a = operand_words(lhs), b = operand_words(rhs);
    std::uint64_t work = sat_add(a, b);
    if (op == BinaryOp::Multiply) work = sat_add(work, py_int_mul_cost(a, b));
    else if (op == BinaryOp::FloorDivide || op == BinaryOp::Remainder)
        work = sat_add(work, sat_mul(sat_add(a > b ? a - b : 0, 1), b));
    if (auto r = charges.charge_work(work); !r) return fail(std::move(r.error()));
    if (op == BinaryOp::MatrixMultiply) return NumberValue::not_handled();
    if ((op == BinaryOp::FloorDivide || op == BinaryOp::Remainder) && operand_sign(rhs) == 0)
        return fail(division_by_zero());
    tw::BigInt x = to_big(std::move(lhs)), y = to_big(std::move(rhs));
    tw::BigInt r;
    switch (op) {
        case BinaryOp::Add: mpz_add(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::Subtract: mpz_sub(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::Multiply: mpz_mul(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::FloorDivide: mpz_fdiv_q(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::Remainder: mpz_fdiv_r(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::BitwiseAnd: mpz_and(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::BitwiseXor: mpz_xor(r.raw(), x.raw(), y.raw()); break;
        case BinaryOp::BitwiseOr: mpz_ior(r.raw(), x.raw(), y.raw()); break;
        default: panic("number kernel: integer operator answered twice");
    }
    return NumberValue::of_integer(std::move(r));
}

NumberResult py_int_unary_op(NumberCharges& charges, NumberOperand x, UnaryOp op) {
    switch (x.kind) {
        case NumberOperand::Float:
            switch (op) {
                case UnaryOp::Positive: return NumberValue::of_float(x.real);
                case UnaryOp::Negative: return NumberValue::of_float(-x.real);
                case UnaryOp::Invert: return NumberValue::not_handled();
                case UnaryOp::Absolute: return NumberValue::of_float(std::fabs(x.real));
            }
            break;
        case NumberOperand::Small:
            switch (op) {
                case UnaryOp::Positive: return NumberValue::of_small(x.small);
                case UnaryOp::Invert: return NumberValue::of_small(~x.small);
                case UnaryOp::Negative:
                case UnaryOp::Absolute:
                    if (x.small == kMin64) return NumberValue::of_integer(tw::BigInt::from_u64(std::uint64_t(1) << 63));
                    if (op == UnaryOp::Negative || x.small < 0) return NumberValue::of_small(-x.small);
                    return NumberValue::of_small(x.small);
            }
            break;
        case NumberOperand::Big: {
            if (auto r = charges.charge_work(py_int_word_count(x.big->raw())); !r) return fail(std::move(r.error()));
            tw::BigInt r;
            switch (op) {
                case UnaryOp::Positive: return NumberValue::of_integer(std::move(*x.big));
                case UnaryOp::Negative: mpz_neg(r.raw(), x.big->raw()); break;
                case UnaryOp::Invert: mpz_com(r.raw(), x.big->raw()); break;
                case UnaryOp::Absolute: mpz_abs(r.raw(), x.big->raw()); break;
            }
            return NumberValue::of_integer(std::move(r));
        }
    }
    panic("number kernel: unknown unary operator");
}

FloatDivMod py_float_divmod(double a, double b) {
    double mod = std::fmod(a, b);
    double div = (a - mod) / b;
    if (mod != 0) {
        if ((b < 0) != (mod < 0)) {
            mod += b;
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, b);
    }
    double floordiv;
    if (div != 0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, a / b);
    }
    return {floordiv, mod};
}

std::optional<double> bigint_to_double(mpz_srcptr v) {
    const int sign = mpz_sgn(v);
    if (sign == 0) return 0.0;
    if (mpz_sizeinbase(v, 2) <= 53) return mpz_get_d(v);
    mpz_t mag;
    mpz_init(mag);
    mpz_abs(mag, v);
    auto r = round_scaled(mag, 0, false);
    mpz_clear(mag);
    if (!r) return std::nullopt;
    return sign < 0 ? -*r : *r;
}

std::optional<double> bigint_true_divide(mpz_srcptr a, mpz_srcptr b) {
    expect(mpz_sgn(b) != 0, "bigint_true_divide: zero divisor");
    const bool negative = (mpz_sgn(a) < 0) != (mpz_sgn(b) < 0);
    if (mpz_sgn(a) == 0) return negative ? -0.0 : 0.0;
    mpz_t x, y, q, r;
    mpz_inits(x, y, q, r, nullptr);
    mpz_abs(x, a);
    mpz_abs(y, b);
    // Scale so that the quotient has at least 55 bits: q = floor(x * 2^shift / y).
    const auto na = std::int64_t(mpz_sizeinbase(x, 2)), nb = std::int64_t(mpz_sizeinbase(y, 2));
    const std::int64_t shift = 55 - (na - nb);
    if (shift >= 0) mpz_mul_2exp(x, x, std::uint64_t(shift));
    else mpz_mul_2exp(y, y, std::uint64_t(-shift));
    mpz_tdiv_qr(q, r, x, y);
    auto out = round_scaled(q, shift, mpz_sgn(r) != 0);
    mpz_clears(x, y, q, r, nullptr);
    if (!out) return std::nullopt;
    return negative ? -*out : *out;
}

PyResult<double> py_int_to_double(const NumberOperand& x) {
    switch (x.kind) {
        case NumberOperand::Float: return x.real;
        case NumberOperand::Small: return double(x.small);
        case NumberOperand::Big: {
            auto d = bigint_to_double(x.big->raw());
            if (!d) return fail(int_too_large_for_float());
            return *d;
        }
    }
    return 0.0;
}

std::uint64_t py_int_word_count(mpz_srcptr v) {
    const std::uint64_t bits = mpz_sgn(v) == 0 ? 0 : mpz_sizeinbase(v, 2);
    return std::max<std::uint64_t>((bits + 63) / 64, 1);
}

std::uint64_t py_int_mul_cost(std::uint64_t m, std::uint64_t n) {
    return sat_mul(std::max(m, n), isqrt_u64(std::min(m, n)));
}

std::uint64_t py_int_decimal_digits_bound(std::uint64_t bits) {
    std::uint64_t product;
    if (__builtin_mul_overflow(bits, std::uint64_t(30103), &product)) return 184467440737096ULL;
    return product / 100000 + 1;
}

NumberResult py_int_pow_mod(NumberCharges& charges, NumberOperand base, NumberOperand exponent,
                            NumberOperand modulus) {
    if (!base.is_integer() || !exponent.is_integer() || !modulus.is_integer()) return NumberValue::not_handled();
    if (operand_sign(modulus) == 0) return fail(PyError::value_error("pow() 3rd argument cannot be 0"));
    const std::uint64_t m = operand_words(modulus);
    std::uint64_t exponent_bits = 64;
    if (exponent.kind == NumberOperand::Big) exponent_bits = exponent.big->bit_length();
    const std::uint64_t work =
        sat_add(sat_add(operand_words(base), m), sat_mul(exponent_bits, sat_mul(2, py_int_mul_cost(m, m))));
    if (auto r = charges.charge_work(work); !r) return fail(std::move(r.error()));
    tw::BigInt b = to_big(std::move(base)), e = to_big(std::move(exponent)), mod = to_big(std::move(modulus));
    tw::BigInt modulus_abs = mod.abs();
    tw::BigInt r;
    if (e.sign() < 0) {
        tw::BigInt inverse;
        if (mpz_invert(inverse.raw(), b.raw(), modulus_abs.raw()) == 0) {
            if (mpz_cmp_ui(modulus_abs.raw(), 1) == 0) return NumberValue::of_small(0);
            return fail(PyError::value_error("base is not invertible for the given modulus"));
        }
        mpz_neg(e.raw(), e.raw());
        mpz_powm(r.raw(), inverse.raw(), e.raw(), modulus_abs.raw());
    } else {
        mpz_powm(r.raw(), b.raw(), e.raw(), modulus_abs.raw());
    }
    if (mod.sign() < 0 && r.sign() != 0) mpz_add(r.raw(), r.raw(), mod.raw());
    return NumberValue::of_integer(std::move(r));
}

PyResult<tw::BigInt> py_float_to_bigint(double x) {
    if (std::isnan(x)) return fail(PyError::value_error("cannot convert float NaN to integer"));
    if (std::isinf(x)) return fail(PyError::overflow_error("cannot convert float infinity to integer"));
    tw::BigInt out;
    mpz_set_d(out.raw(), x);
    return out;
}

namespace {

// round(M * 2^E / 10^k) half to even, times 10^k, for the non-negative finite x = M * 2^E.
std::optional<double> round_to_power_of_ten(double x, std::uint64_t k) {
    int e = 0;
    const double m = std::frexp(x, &e);
    tw::BigInt numerator, denominator, q, r, pow10;
    mpz_set_d(numerator.raw(), std::ldexp(m, 53));
    e -= 53;
    mpz_ui_pow_ui(pow10.raw(), 10, k);
    mpz_set(denominator.raw(), pow10.raw());
    if (e >= 0) mpz_mul_2exp(numerator.raw(), numerator.raw(), std::uint64_t(e));
    else mpz_mul_2exp(denominator.raw(), denominator.raw(), std::uint64_t(-e));
    mpz_fdiv_qr(q.raw(), r.raw(), numerator.raw(), denominator.raw());
    mpz_mul_2exp(r.raw(), r.raw(), 1);
    const int c = mpz_cmp(r.raw(), denominator.raw());
    if (c > 0 || (c == 0 && mpz_odd_p(q.raw()))) mpz_add_ui(q.raw(), q.raw(), 1);
    mpz_mul(q.raw(), q.raw(), pow10.raw());
    return bigint_to_double(q.raw());
}

}  // namespace

NumberResult py_float_round(double x, std::optional<std::int64_t> ndigits) {
    if (!ndigits) {
        auto i = py_float_to_bigint(std::nearbyint(x));
        if (!i) return fail(std::move(i.error()));
        return NumberValue::of_integer(std::move(*i));
    }
    const std::int64_t n = *ndigits;
    if (x == 0 || !std::isfinite(x) || n > 323) return NumberValue::of_float(x);
    if (n < -308) return NumberValue::of_float(0.0 * x);
    if (n >= 0) {
        char buffer[1100];
        const int len = std::snprintf(buffer, sizeof buffer, "%.*f", int(n), x);
        if (len > 0 && std::size_t(len) < sizeof buffer) return NumberValue::of_float(std::strtod(buffer, nullptr));
        // Too long for the buffer: the value is kept (its digits end long before n).
        return NumberValue::of_float(x);
    }
    auto r = round_to_power_of_ten(std::fabs(x), std::uint64_t(-n));
    if (!r) return fail(PyError::overflow_error("rounded value too large to represent"));
    return NumberValue::of_float(std::copysign(*r, x));
}

NumberResult py_int_round(NumberCharges& charges, NumberOperand x, std::int64_t ndigits) {
    if (!x.is_integer()) return NumberValue::not_handled();
    if (ndigits >= 0) {
        if (x.kind == NumberOperand::Small) return NumberValue::of_small(x.small);
        return NumberValue::of_integer(std::move(*x.big));
    }
    const std::uint64_t k = std::uint64_t(-(ndigits + 1)) + 1;
    tw::BigInt v = to_big(std::move(x));
    if (k > py_int_decimal_digits_bound(v.bit_length())) return NumberValue::of_small(0);
    const std::uint64_t words = py_int_word_count(v.raw());
    if (auto r = charges.charge_work(sat_add(sat_mul(words, 3), sat_mul(k / 19 + 1, words))); !r)
        return fail(std::move(r.error()));
    tw::BigInt pow10, q, r;
    mpz_ui_pow_ui(pow10.raw(), 10, k);
    mpz_fdiv_qr(q.raw(), r.raw(), v.raw(), pow10.raw());
    mpz_mul_2exp(r.raw(), r.raw(), 1);
    const int c = mpz_cmp(r.raw(), pow10.raw());
    if (c > 0 || (c == 0 && mpz_odd_p(q.raw()))) mpz_add_ui(q.raw(), q.raw(), 1);
    mpz_mul(q.raw(), q.raw(), pow10.raw());
    return NumberValue::of_integer(std::move(q));
}

}  // namespace tw::py
