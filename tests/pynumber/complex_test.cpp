// Complex arithmetic, and the format cases the host's python3 cannot check.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "python/number/complex.h"
#include "python/number/format_spec.h"

namespace tw::py {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

ComplexOperand c(double re, double im) { return ComplexOperand::complex(re, im); }
ComplexOperand r(double x) { return ComplexOperand::real(x); }

std::string error_of(const PyResult<Complex>& res) { return res ? "" : std::string(res.error().message()); }

TEST(ComplexKernel, RealOperandsKeepSignedZeros) {
    auto a = py_complex_binary_op(ComplexOp::Add, c(1, -0.0), r(1.0));
    EXPECT_EQ(a->re, 2.0);
    EXPECT_TRUE(std::signbit(a->im));
    auto s = py_complex_binary_op(ComplexOp::Subtract, r(1.0), c(0, 0.0));
    EXPECT_TRUE(std::signbit(s->im));
    auto m = py_complex_binary_op(ComplexOp::Multiply, c(1, 2), r(2));
    EXPECT_EQ(*m, (Complex{2, 4}));
    auto p = py_complex_binary_op(ComplexOp::Multiply, c(1, 2), c(3, -4));
    EXPECT_EQ(*p, (Complex{11, 2}));
}

TEST(ComplexKernel, DivisionByZero) {
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Divide, c(1, 1), r(0))), "division by zero");
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Divide, c(1, 1), c(0, 0))), "division by zero");
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Divide, r(1), c(0.0, 0))), "division by zero");
    auto q = py_complex_binary_op(ComplexOp::Divide, c(1, 2), c(3, 4));
    EXPECT_DOUBLE_EQ(q->re, 0.44);
    EXPECT_DOUBLE_EQ(q->im, 0.08);
}

TEST(ComplexKernel, InfinitiesAreRecovered) {
    auto m = py_complex_binary_op(ComplexOp::Multiply, c(kInf, kNan), c(1, 1));
    EXPECT_TRUE(std::isinf(m->re) || std::isinf(m->im));
    auto k = py_complex_binary_op(ComplexOp::Multiply, c(kInf, kNan), r(2));
    EXPECT_TRUE(std::isinf(k->re));
}

TEST(ComplexKernel, Powers) {
    auto i2 = py_complex_binary_op(ComplexOp::Power, c(0, 1), r(2));
    EXPECT_EQ(*i2, (Complex{-1, 0}));
    EXPECT_EQ(*py_complex_binary_op(ComplexOp::Power, c(0, 0), r(0)), (Complex{1, 0}));
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Power, c(0, 0), r(-1))), "zero to a negative or complex power");
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Power, c(0, 0), c(0, 1))), "zero to a negative or complex power");
    EXPECT_EQ(*py_complex_binary_op(ComplexOp::Power, c(0, 0), r(0.5)), (Complex{0, 0}));
    EXPECT_EQ(error_of(py_complex_binary_op(ComplexOp::Power, c(1e200, 0), r(2))), "complex exponentiation");
    auto general = py_complex_binary_op(ComplexOp::Power, c(2, 0), r(101));
    EXPECT_DOUBLE_EQ(general->re, std::ldexp(1.0, 101));
}

TEST(ComplexKernel, Absolute) {
    EXPECT_EQ(py_complex_abs(1.5e308, 1.5e308).error().message(), "absolute value too large");
    EXPECT_NEAR(*py_complex_abs(1e308, 1e308), 1.4142135623730951e308, 1e293);
    EXPECT_TRUE(std::isinf(*py_complex_abs(kInf, kNan)));
}

TEST(FormatSpec, FractionGrouping) {
    EXPECT_EQ(*format_float(1234.56789, ".4_f"), "1234.567_9");
    EXPECT_EQ(*format_float(1234.56789, ",.6,f"), "1,234.567,890");
    EXPECT_EQ(format_float(1.5, ".2_n").error().message, "Cannot specify '_' with 'n'.");
    EXPECT_EQ(*format_complex(1.25, -2.5, ".3_f"), "1.250-2.500j");
}

TEST(FormatSpec, ComplexLayout) {
    EXPECT_EQ(*format_complex(1, 2, "8"), "  (1+2j)");
    EXPECT_EQ(*format_complex(0, 2, "5"), "   2j");
    EXPECT_EQ(*format_complex(1, 2, ".1f"), "1.0+2.0j");
    EXPECT_EQ(format_complex(0, 1, "010").error().message, "Zero padding is not allowed in complex format specifier");
    EXPECT_EQ(format_complex(0, 1, "=10").error().message,
              "'=' alignment flag is not allowed in complex format specifier");
    EXPECT_EQ(*format_complex(1, 2, "^9"), " (1+2j)  ");
}

}  // namespace
}  // namespace tw::py
