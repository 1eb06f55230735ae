// The arithmetic kernel of int, bool and float: the thirteen binary and four unary operators
// with Python's results, signs and messages, and the work and memory charges that keep big
// integers inside the machine's budgets. Results are plain numbers; the caller turns them into
// Values (number_value_to_py), so the kernel needs nothing of the interpreter but the charges.
#pragma once

#include <cstdint>
#include <optional>

#include "base/bigint.h"
#include "python/heap/error.h"

namespace tw::py {

enum class BinaryOp : std::uint8_t {
    Add = 0,
    Subtract = 1,
    Multiply = 2,
    MatrixMultiply = 3,
    Power = 4,
    Divide = 5,
    FloorDivide = 6,
    Remainder = 7,
    LeftShift = 8,
    RightShift = 9,
    BitwiseAnd = 10,
    BitwiseXor = 11,
    BitwiseOr = 12,
};

enum class UnaryOp : std::uint8_t { Positive = 0, Negative = 1, Invert = 2, Absolute = 3 };

// One operand: an inline int (or a bool as 0/1), an owned big integer, or a float.
struct NumberOperand {
    enum Kind : std::uint8_t { Small, Big, Float } kind = Small;
    std::int64_t small = 0;
    std::optional<tw::BigInt> big;  // only for Big: small operands never touch GMP
    double real = 0;

    static NumberOperand of_small(std::int64_t v) { return {Small, v, {}, 0}; }
    static NumberOperand of_big(tw::BigInt v) { return {Big, 0, std::move(v), 0}; }
    static NumberOperand of_float(double v) { return {Float, 0, {}, v}; }
    bool is_integer() const { return kind != Float; }
};

// A kernel result before it becomes a Value: not handled (the caller tries the special methods),
// an integer (Small whenever it fits 64 bits), a float or a complex pair.
struct NumberValue {
    enum Kind : std::uint8_t { NotHandled, Small, Big, Float, Complex } kind = NotHandled;
    std::int64_t small = 0;
    std::optional<tw::BigInt> big;  // only for Big
    double real = 0, imag = 0;

    static NumberValue not_handled() { return {}; }
    static NumberValue of_small(std::int64_t v) { return {Small, v, {}, 0, 0}; }
    // Small when the value fits a signed 64-bit integer.
    static NumberValue of_integer(tw::BigInt v);
    static NumberValue of_float(double v) { return {Float, 0, {}, v, 0}; }
    static NumberValue of_complex(double re, double im) { return {Complex, 0, {}, re, im}; }
};
using NumberResult = PyResult<NumberValue>;

// The two budgets the kernel charges before it works.
class NumberCharges {
public:
    virtual PyStatus charge_work(std::uint64_t units) = 0;
    virtual PyStatus charge_memory(std::uint64_t bytes) = 0;

protected:
    ~NumberCharges() = default;
};

// The 64-bit fast path: the result, or nothing when the operator or an overflow needs the
// general path.
std::optional<std::int64_t> py_int_small_binary_op(BinaryOp op, std::int64_t a, std::int64_t b);

// &, ^ and | of two bools give a bool, as in Python; nothing for every other operator.
std::optional<bool> py_bool_bitwise(BinaryOp op, bool a, bool b);

NumberResult py_number_binary_op(NumberCharges& charges, NumberOperand lhs, NumberOperand rhs, BinaryOp op);
NumberResult py_int_unary_op(NumberCharges& charges, NumberOperand operand, UnaryOp op);

// Floor quotient and remainder of two floats; the divisor must not be zero.
struct FloatDivMod {
    double quotient, remainder;
};
FloatDivMod py_float_divmod(double a, double b);

// The correctly rounded float of an integer (half to even); nothing when it is beyond the float
// range.
std::optional<double> bigint_to_double(mpz_srcptr v);
// The correctly rounded float of the exact quotient a / b (b not zero); nothing when it is
// beyond the float range.
std::optional<double> bigint_true_divide(mpz_srcptr a, mpz_srcptr b);
// The float of an integer operand, or OverflowError "int too large to convert to float".
PyResult<double> py_int_to_double(const NumberOperand& operand);
// 64-bit words of the magnitude, at least 1.
std::uint64_t py_int_word_count(mpz_srcptr v);
// max(m, n) * isqrt(min(m, n)), saturating.
std::uint64_t py_int_mul_cost(std::uint64_t m, std::uint64_t n);
// An upper bound of the number of decimal digits of an integer's magnitude.
std::uint64_t py_int_decimal_digits_bound(std::uint64_t bit_length);

PyError int_too_large_for_float();

// pow(base, exponent, modulus) on three integers (a float operand is not handled): Python's
// modular power, negative exponents through the modular inverse.
NumberResult py_int_pow_mod(NumberCharges& charges, NumberOperand base, NumberOperand exponent,
                            NumberOperand modulus);
// round(x) (an int, half to even) and round(x, ndigits) (a float) of a float.
NumberResult py_float_round(double x, std::optional<std::int64_t> ndigits);
// round(x, ndigits) of an integer: x itself for ndigits >= 0, else half to even at 10^-ndigits.
NumberResult py_int_round(NumberCharges& charges, NumberOperand x, std::int64_t ndigits);
// int(x) of a float: ValueError for NaN, OverflowError for an infinity.
PyResult<tw::BigInt> py_float_to_bigint(double x);

}  // namespace tw::py
