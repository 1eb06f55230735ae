// The arithmetic kernel against the host's python3: every operator on int, bool and float pairs
// (small, big, negative, zero, infinite and NaN operands), divmod, three-argument pow and round.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "pynumber/table.h"
#include "python/number/number.h"

namespace tw::py {
namespace {

using testing::decode_int;
using testing::encode_float_bits;
using testing::encode_int;
using testing::read_table;

// Work is free; memory stops at 1 GiB.
struct TestCharges final : NumberCharges {
    std::uint64_t work = 0, memory = 0, memory_limit = std::uint64_t(1) << 30;
    PyStatus charge_work(std::uint64_t units) override {
        work += units;
        return {};
    }
    PyStatus charge_memory(std::uint64_t bytes) override {
        if (bytes > memory_limit - memory) return fail(PyError::resource("memory limit exceeded"));
        memory += bytes;
        return {};
    }
};

NumberOperand decode_operand(const std::string& f) {
    if (f.starts_with("b:")) return NumberOperand::of_small(f[2] == '1');
    if (f.starts_with("f:")) {
        if (f == "f:nan") return NumberOperand::of_float(std::numeric_limits<double>::quiet_NaN());
        const std::uint64_t bits = std::stoull(f.substr(2), nullptr, 16);
        double x;
        std::memcpy(&x, &bits, 8);
        return NumberOperand::of_float(x);
    }
    tw::BigInt v = decode_int(f);
    if (auto s = v.to_i64()) return NumberOperand::of_small(*s);
    return NumberOperand::of_big(std::move(v));
}

std::string encode_error(const PyError& e) {
    if (e.kind() == ErrorKindTag::Resource) return "!Resource: " + std::string(e.message());
    return "!" + std::string(e.detail()->class_name) + ": " + std::string(e.message());
}

std::string encode(const NumberResult& r) {
    if (!r) return encode_error(r.error());
    switch (r->kind) {
        case NumberValue::NotHandled: return "~";
        case NumberValue::Small: return encode_int(tw::BigInt(r->small));
        case NumberValue::Big: return encode_int(*r->big);
        case NumberValue::Float: return "f:" + encode_float_bits(r->real);
        case NumberValue::Complex: return "c:" + encode_float_bits(r->real) + "," + encode_float_bits(r->imag);
    }
    return "?";
}

const std::map<std::string, BinaryOp> kOps = {
    {"+", BinaryOp::Add},         {"-", BinaryOp::Subtract},   {"*", BinaryOp::Multiply},
    {"**", BinaryOp::Power},      {"/", BinaryOp::Divide},     {"//", BinaryOp::FloorDivide},
    {"%", BinaryOp::Remainder},   {"<<", BinaryOp::LeftShift}, {">>", BinaryOp::RightShift},
    {"&", BinaryOp::BitwiseAnd},  {"^", BinaryOp::BitwiseXor}, {"|", BinaryOp::BitwiseOr},
};

TEST(NumberKernel, BinaryOperatorsMatchHostPython) {
    const auto rows = read_table("arith.txt");
    ASSERT_GT(rows.size(), 1000u);
    int failures = 0;
    for (const auto& row : rows) {
        TestCharges charges;
        const BinaryOp op = kOps.at(row.fields[1]);
        std::string got;
        const bool bools = row.fields[0].starts_with("b:") && row.fields[2].starts_with("b:");
        if (auto b = bools ? py_bool_bitwise(op, row.fields[0] == "b:1", row.fields[2] == "b:1") : std::nullopt)
            got = *b ? "b:1" : "b:0";
        else
            got = encode(py_number_binary_op(charges, decode_operand(row.fields[0]), decode_operand(row.fields[2]), op));
        if (got != row.fields[3] && ++failures <= 20)
            ADD_FAILURE() << "arith.txt:" << row.line << ": " << row.fields[0] << " " << row.fields[1] << " "
                          << row.fields[2] << "\n  want " << row.fields[3].substr(0, 200) << "\n  got  "
                          << got.substr(0, 200);
    }
    EXPECT_EQ(failures, 0);
}

TEST(NumberKernel, DivmodMatchesHostPython) {
    int failures = 0;
    for (const auto& row : read_table("divmod.txt")) {
        TestCharges charges;
        const NumberOperand a = decode_operand(row.fields[0]), b = decode_operand(row.fields[2]);
        auto q = py_number_binary_op(charges, a, b, BinaryOp::FloorDivide);
        std::string got;
        if (!q || q->kind == NumberValue::NotHandled) {
            got = encode(q);
        } else {
            auto r = py_number_binary_op(charges, a, b, BinaryOp::Remainder);
            got = r && r->kind != NumberValue::NotHandled ? "t:(" + encode(q) + ";" + encode(r) + ")" : encode(r);
        }
        if (got != row.fields[3] && ++failures <= 20)
            ADD_FAILURE() << "divmod.txt:" << row.line << ": want " << row.fields[3] << " got " << got;
    }
    EXPECT_EQ(failures, 0);
}

TEST(NumberKernel, ModularPowerMatchesHostPython) {
    int failures = 0;
    for (const auto& row : read_table("pow3.txt")) {
        TestCharges charges;
        const std::string got = encode(py_int_pow_mod(charges, decode_operand(row.fields[0]),
                                                      decode_operand(row.fields[1]), decode_operand(row.fields[2])));
        if (got != row.fields[3] && ++failures <= 20)
            ADD_FAILURE() << "pow3.txt:" << row.line << ": want " << row.fields[3] << " got " << got;
    }
    EXPECT_EQ(failures, 0);
}

TEST(NumberKernel, RoundMatchesHostPython) {
    int failures = 0;
    for (const auto& row : read_table("round.txt")) {
        TestCharges charges;
        const NumberOperand x = decode_operand(row.fields[0]);
        std::optional<std::int64_t> n;
        if (row.fields[1] != "n:") n = *decode_int(row.fields[1]).to_i64();
        const std::string got = x.kind == NumberOperand::Float
                                    ? encode(py_float_round(x.real, n))
                                    : encode(py_int_round(charges, x, n.value_or(0)));
        if (got != row.fields[2] && ++failures <= 20)
            ADD_FAILURE() << "round.txt:" << row.line << ": " << row.fields[0] << " " << row.fields[1] << " want "
                          << row.fields[2] << " got " << got;
    }
    EXPECT_EQ(failures, 0);
}

// The charges come before the work: a huge power or shift fails on the budget, not on an
// allocation of its size.
TEST(NumberKernel, HugeResultsFailOnTheBudgetFirst) {
    TestCharges charges;
    charges.memory_limit = std::uint64_t(1) << 26;
    auto p = py_number_binary_op(charges, NumberOperand::of_small(3), NumberOperand::of_small(4'000'000'000),
                                 BinaryOp::Power);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().message(), "memory limit exceeded");
    auto s = py_number_binary_op(charges, NumberOperand::of_small(1), NumberOperand::of_small(std::int64_t(1) << 40),
                                 BinaryOp::LeftShift);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), "memory limit exceeded");
    auto r = py_number_binary_op(charges, NumberOperand::of_small(1), NumberOperand::of_small(-1), BinaryOp::LeftShift);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "negative shift count");
    EXPECT_EQ(charges.memory, 0u);
}

TEST(NumberKernel, WorkChargesFollowTheOperandSizes) {
    TestCharges charges;
    tw::BigInt big(1);
    mpz_mul_2exp(big.raw(), big.raw(), 64 * 16 - 1);  // 16 words
    (void)py_number_binary_op(charges, NumberOperand::of_big(big), NumberOperand::of_big(big), BinaryOp::Multiply);
    EXPECT_EQ(charges.work, 16u + 16u + 16u * 4u);
    charges.work = 0;
    (void)py_number_binary_op(charges, NumberOperand::of_big(big), NumberOperand::of_small(3), BinaryOp::FloorDivide);
    EXPECT_EQ(charges.work, 16u + 1u + 16u * 1u);
    charges.work = 0;
    // 2 ** 640: 641 bits estimate 2 * 640 = 1280 bits, 20 words: 20 * isqrt(20) = 80.
    (void)py_number_binary_op(charges, NumberOperand::of_small(2), NumberOperand::of_small(640), BinaryOp::Power);
    EXPECT_EQ(charges.work, 80u);
    EXPECT_EQ(charges.memory, 160u);
    // The small fast path charges nothing.
    charges.work = 0;
    (void)py_number_binary_op(charges, NumberOperand::of_small(2), NumberOperand::of_small(3), BinaryOp::Add);
    EXPECT_EQ(charges.work, 0u);
}

TEST(NumberKernel, IssueExamples) {
    TestCharges charges;
    auto p = py_number_binary_op(charges, NumberOperand::of_small(2), NumberOperand::of_small(10000), BinaryOp::Power);
    ASSERT_TRUE(p && p->kind == NumberValue::Big);
    EXPECT_EQ(encode(py_number_binary_op(charges, NumberOperand::of_big(*p->big), NumberOperand::of_small(7),
                                         BinaryOp::Remainder)),
              "i:2");  // 2**10000 % 7
    tw::BigInt two64 = tw::BigInt::from_u64(~std::uint64_t(0)) + tw::BigInt(1);
    EXPECT_EQ(encode(py_number_binary_op(charges, NumberOperand::of_small(1), NumberOperand::of_big(two64),
                                         BinaryOp::LeftShift)),
              "!Resource: shift count is too large");
    EXPECT_EQ(encode(py_number_binary_op(charges, NumberOperand::of_small(-7), NumberOperand::of_small(2),
                                         BinaryOp::FloorDivide)),
              "i:-4");
}

TEST(NumberKernel, UnaryOperators) {
    TestCharges charges;
    const auto min64 = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_small(min64), UnaryOp::Negative)), "i:8000000000000000");
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_small(min64), UnaryOp::Absolute)), "i:8000000000000000");
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_small(1), UnaryOp::Invert)), "i:-2");
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_float(0.0), UnaryOp::Negative)),
              "f:" + encode_float_bits(-0.0));
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_float(1.5), UnaryOp::Invert)), "~");
    tw::BigInt two64 = tw::BigInt::from_u64(~std::uint64_t(0)) + tw::BigInt(1);
    EXPECT_EQ(encode(py_int_unary_op(charges, NumberOperand::of_big(two64), UnaryOp::Invert)), "i:-10000000000000001");
    EXPECT_EQ(charges.work, 2u);  // 2^64 has 65 bits
}

TEST(NumberKernel, SmallFastPath) {
    const auto min64 = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(py_int_small_binary_op(BinaryOp::FloorDivide, -7, 2), -4);
    EXPECT_EQ(py_int_small_binary_op(BinaryOp::Remainder, -7, 2), 1);
    EXPECT_EQ(py_int_small_binary_op(BinaryOp::Remainder, 7, -2), -1);
    EXPECT_EQ(py_int_small_binary_op(BinaryOp::Remainder, min64, -1), 0);
    EXPECT_FALSE(py_int_small_binary_op(BinaryOp::FloorDivide, min64, -1));
    EXPECT_FALSE(py_int_small_binary_op(BinaryOp::Multiply, min64, -1));
    EXPECT_FALSE(py_int_small_binary_op(BinaryOp::FloorDivide, 1, 0));
    EXPECT_FALSE(py_int_small_binary_op(BinaryOp::LeftShift, 1, 1));
}

TEST(NumberKernel, CorrectlyRoundedIntegerToFloat) {
    // 2^53 + 1 rounds to even (down), 2^53 + 3 up; a tie far above the 64-bit range too.
    tw::BigInt v = tw::BigInt(1);
    mpz_mul_2exp(v.raw(), v.raw(), 53);
    EXPECT_EQ(*bigint_to_double((v + tw::BigInt(1)).raw()), 9007199254740992.0);
    EXPECT_EQ(*bigint_to_double((v + tw::BigInt(3)).raw()), 9007199254740996.0);
    tw::BigInt huge(1);
    mpz_mul_2exp(huge.raw(), huge.raw(), 1024);
    EXPECT_FALSE(bigint_to_double(huge.raw()));
    // 2^1024 - 2^970 is the first value that rounds up to 2^1024.
    tw::BigInt edge = huge - tw::BigInt(1);
    EXPECT_FALSE(bigint_to_double(edge.raw()));
}

}  // namespace
}  // namespace tw::py
