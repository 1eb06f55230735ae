#include "commands/calc/bc_number.h"

#include <algorithm>

#include <fmt/format.h>

#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kDigitLimit = "number exceeds the supported digit limit";
constexpr std::size_t kLineWidth = 68;

BcNumber one() { return BcNumber::integer(1); }

// The integers of both numbers at their common (larger) scale.
std::pair<BigInt, BigInt> aligned(const BcNumber& a, const BcNumber& b) {
    const std::uint64_t s = std::max(a.scale, b.scale);
    return {bc_rescale(a, s).unscaled, bc_rescale(b, s).unscaled};
}

BcNumber add(const BcNumber& a, const BcNumber& b) {
    auto [x, y] = aligned(a, b);
    return {x + y, std::max(a.scale, b.scale)};
}

// The modeled size of one stored variable.
std::uint64_t stored_size(const std::string& name, const BcNumber& value) {
    return 64 + name.size() + value.unscaled.bit_length() / 8;
}

std::uint64_t at_least_one(std::uint64_t units) { return units == 0 ? 1 : units; }

}  // namespace

BcNumber bc_parse_literal(std::string_view text) {
    std::string digits;
    std::uint64_t scale = 0;
    bool fraction = false;
    for (char c : text) {
        if (c == '.') {
            fraction = true;
            continue;
        }
        digits.push_back(c);
        if (fraction) ++scale;
    }
    auto value = parse_decimal_bigint(digits);
    return {value ? std::move(*value) : BigInt(), scale};
}

BcNumber bc_rescale(const BcNumber& x, std::uint64_t s) {
    if (s == x.scale) return x;
    if (s > x.scale) return {x.unscaled.times_pow10(s - x.scale), s};
    return {x.unscaled.div_pow10_trunc(x.scale - s), s};
}

std::string bc_format_number(const BcNumber& x) {
    if (x.is_zero()) return "0";
    const std::string digits = x.unscaled.magnitude_decimal();
    const std::uint64_t length = digits.size();
    std::string text;
    if (x.unscaled.sign() < 0) text.push_back('-');
    if (x.scale == 0) {
        text += digits;
    } else if (x.scale < length) {
        text.append(digits, 0, length - x.scale);
        text.push_back('.');
        text.append(digits, length - x.scale);
    } else {
        text.push_back('.');
        text.append(x.scale - length, '0');
        text += digits;
    }
    if (text.size() <= kLineWidth) return text;
    std::string wrapped;
    wrapped.reserve(text.size() + text.size() / kLineWidth * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != 0 && i % kLineWidth == 0) wrapped += "\\\n";
        wrapped.push_back(text[i]);
    }
    return wrapped;
}

BcInterpreter::~BcInterpreter() {
    if (memory_charged_ != 0) sys_.release_memory(memory_charged_);
}

bool BcInterpreter::charge(std::uint64_t units) { return sys_.charge_cpu(at_least_one(units)); }

BcNumber BcInterpreter::get_variable(const BcVarName& name) const {
    switch (name.kind) {
    case BcVarName::Kind::Scale: return {BigInt::from_u64(scale_), 0};
    case BcVarName::Kind::Ibase:
    case BcVarName::Kind::Obase: return BcNumber::integer(10);
    case BcVarName::Kind::Named: break;
    }
    auto it = variables_.find(name.name);
    return it == variables_.end() ? BcNumber{} : it->second;
}

BcResult<void> BcInterpreter::set_variable(const BcVarName& name, const BcNumber& value) {
    switch (name.kind) {
    case BcVarName::Kind::Named: {
        if (value.digits() > kBcMaxDigits) return std::unexpected(BcEvalError::text(kDigitLimit));
        const std::uint64_t size = stored_size(name.name, value);
        if (!sys_.charge_memory(size)) return std::unexpected(BcEvalError::out_of_budget());
        memory_charged_ += size;
        auto [it, inserted] = variables_.try_emplace(name.name, value);
        if (!inserted) {
            const std::uint64_t old_size = stored_size(name.name, it->second);
            sys_.release_memory(old_size);
            memory_charged_ -= old_size;
            it->second = value;
        }
        return {};
    }
    case BcVarName::Kind::Scale: {
        if (value.scale != 0 || value.unscaled.sign() < 0)
            return std::unexpected(BcEvalError::text("scale must be a non-negative integer"));
        const auto v = value.unscaled.magnitude_u64();
        if (!v) return std::unexpected(BcEvalError::text("scale value is out of range"));
        if (*v > kBcMaxScale)
            return std::unexpected(
                BcEvalError::text(fmt::format("scale exceeds the supported limit of {}", kBcMaxScale)));
        scale_ = *v;
        return {};
    }
    case BcVarName::Kind::Ibase:
    case BcVarName::Kind::Obase:
        if (value.scale != 0 || value.unscaled != BigInt(10))
            return std::unexpected(BcEvalError::text("only base 10 is supported for ibase/obase"));
        return {};
    }
    return {};
}

BcNumber BcInterpreter::multiply(const BcNumber& left, const BcNumber& right) const {
    const std::uint64_t exact = left.scale + right.scale;
    const std::uint64_t s = std::min(exact, std::max({scale_, left.scale, right.scale}));
    return bc_rescale({left.unscaled * right.unscaled, exact}, s);
}

BcResult<BcNumber> BcInterpreter::divide(const BcNumber& left, const BcNumber& right) const {
    if (right.is_zero()) return std::unexpected(BcEvalError::text("Divide by zero"));
    const BigInt numerator = left.unscaled.times_pow10(scale_ + right.scale);
    const BigInt denominator = right.unscaled.times_pow10(left.scale);
    return BcNumber{numerator.div_trunc(denominator), scale_};
}

BcResult<BcNumber> BcInterpreter::arithmetic(BcArith op, const BcNumber& left, const BcNumber& right) {
    const std::uint64_t d1 = left.digits();
    const std::uint64_t d2 = right.digits();
    std::uint64_t units = 0;
    switch (op) {
    case BcArith::Add:
    case BcArith::Sub: units = std::max(d1, d2); break;
    case BcArith::Mul: units = d1 * d2 / 8 + 1; break;
    case BcArith::Div:
    case BcArith::Mod: units = 4 * std::max(d1, d2) + 16; break;
    case BcArith::Pow: units = 4 * d1 + 16; break;
    }
    if (!charge(units)) return std::unexpected(BcEvalError::out_of_budget());

    BcResult<BcNumber> result = BcNumber{};
    switch (op) {
    case BcArith::Add: result = add(left, right); break;
    case BcArith::Sub: result = add(left, negate(right)); break;
    case BcArith::Mul: result = multiply(left, right); break;
    case BcArith::Div: result = divide(left, right); break;
    case BcArith::Mod: {
        auto q = divide(left, right);
        if (!q) return q;
        const BcNumber t = multiply(*q, right);
        const BcNumber r = add(left, negate(t));
        result = bc_rescale(r, std::max(scale_ + right.scale, left.scale));
        break;
    }
    case BcArith::Pow: {
        if (right.scale != 0) return std::unexpected(BcEvalError::text("non-integer exponent"));
        const auto magnitude = right.unscaled.magnitude_u64();
        if (!magnitude || *magnitude > UINT32_MAX)
            return std::unexpected(BcEvalError::text("exponent too large"));
        const std::uint64_t e = *magnitude;
        std::uint64_t pow_scale = 0;
        if (__builtin_mul_overflow(left.scale, e, &pow_scale) || pow_scale > kBcMaxPowScale)
            return std::unexpected(BcEvalError::text("exponent too large"));
        std::uint64_t pow_bits = 0;
        if (__builtin_mul_overflow(left.unscaled.bit_length(), e, &pow_bits) || pow_bits > kBcMaxPowBits)
            return std::unexpected(BcEvalError::text("result too large"));
        BcNumber p = e == 0 ? one()
                            : bc_rescale({left.unscaled.pow(e), pow_scale},
                                         std::min(std::max(left.scale, scale_), pow_scale));
        if (right.unscaled.sign() >= 0) {
            result = std::move(p);
        } else {
            if (p.is_zero()) return std::unexpected(BcEvalError::text("Divide by zero"));
            result = divide(one(), p);
        }
        break;
    }
    }
    if (result && result->digits() > kBcMaxDigits) return std::unexpected(BcEvalError::text(kDigitLimit));
    return result;
}

BcResult<BcNumber> BcInterpreter::sqrt(const BcNumber& x) {
    if (!charge(4 * x.digits() + 16)) return std::unexpected(BcEvalError::out_of_budget());
    if (x.unscaled.sign() < 0) return std::unexpected(BcEvalError::text("square root of a negative number"));
    const std::uint64_t r = std::max(scale_, x.scale);
    // r is at least the scale of x, so 2r - scale(x) is never negative.
    const BigInt n = x.unscaled.times_pow10(2 * r - x.scale);
    if (n.is_zero()) return BcNumber{BigInt(), r};
    return BcNumber{n.isqrt(), r};
}

BcNumber BcInterpreter::length(const BcNumber& x) {
    if (x.is_zero()) return one();
    return {BigInt::from_u64(std::max(x.digits(), x.scale)), 0};
}

BcNumber BcInterpreter::scale_of(const BcNumber& x) { return {BigInt::from_u64(x.scale), 0}; }

BcNumber BcInterpreter::compare(BcCompare op, const BcNumber& left, const BcNumber& right) {
    auto [x, y] = aligned(left, right);
    bool holds = false;
    switch (op) {
    case BcCompare::Eq: holds = x == y; break;
    case BcCompare::Ne: holds = x != y; break;
    case BcCompare::Lt: holds = x < y; break;
    case BcCompare::Le: holds = x <= y; break;
    case BcCompare::Gt: holds = x > y; break;
    case BcCompare::Ge: holds = x >= y; break;
    }
    return BcNumber::integer(holds ? 1 : 0);
}

BcNumber BcInterpreter::negate(const BcNumber& x) { return {x.unscaled.negated(), x.scale}; }

BcNumber BcInterpreter::step(const BcNumber& x, bool up) { return add(x, BcNumber::integer(up ? 1 : -1)); }

}  // namespace tw
