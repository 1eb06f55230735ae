#include "base/bigint.h"

#include <limits>
#include <string>

#include "base/panic.h"

namespace tw {

namespace {

std::string mpz_text(const mpz_t v) {
    std::string text(mpz_sizeinbase(v, 10) + 2, '\0');
    mpz_get_str(text.data(), 10, v);
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

void set_u64(mpz_t v, std::uint64_t x) {
    // mpz_set_ui takes an unsigned long, which is 64 bits on every supported host.
    static_assert(sizeof(unsigned long) == 8);
    mpz_set_ui(v, static_cast<unsigned long>(x));
}

}  // namespace

BigInt::BigInt(std::int64_t v) {
    static_assert(sizeof(long) == 8);
    mpz_init_set_si(value_, static_cast<long>(v));
}

BigInt BigInt::from_u64(std::uint64_t v) {
    BigInt r;
    set_u64(r.value_, v);
    return r;
}

std::uint64_t BigInt::bit_length() const { return is_zero() ? 0 : mpz_sizeinbase(value_, 2); }

std::uint64_t BigInt::decimal_digits() const {
    if (is_zero()) return 1;
    // mpz_sizeinbase may answer one more than the exact count for base 10.
    const std::uint64_t estimate = mpz_sizeinbase(value_, 10);
    if (estimate <= 1) return 1;
    if (estimate <= 18) {
        const std::uint64_t magnitude = *magnitude_u64();
        std::uint64_t bound = 1;
        for (std::uint64_t i = 1; i < estimate; ++i) bound *= 10;
        return magnitude < bound ? estimate - 1 : estimate;
    }
    mpz_t bound;
    mpz_init(bound);
    mpz_ui_pow_ui(bound, 10, estimate - 1);
    const bool smaller = mpz_cmpabs(value_, bound) < 0;
    mpz_clear(bound);
    return smaller ? estimate - 1 : estimate;
}

std::string BigInt::to_decimal() const { return mpz_text(value_); }

std::string BigInt::magnitude_decimal() const {
    std::string text = mpz_text(value_);
    if (!text.empty() && text.front() == '-') text.erase(0, 1);
    return text;
}

std::optional<std::uint64_t> BigInt::magnitude_u64() const {
    if (mpz_sizeinbase(value_, 2) > 64) return std::nullopt;
    if (is_zero()) return 0;
    std::uint64_t out = 0;
    std::size_t count = 0;
    mpz_export(&out, &count, -1, sizeof out, 0, 0, value_);
    return out;
}

std::optional<std::int64_t> BigInt::to_i64() const {
    if (!mpz_fits_slong_p(value_)) return std::nullopt;
    return mpz_get_si(value_);
}

BigInt BigInt::negated() const {
    BigInt r;
    mpz_neg(r.value_, value_);
    return r;
}

BigInt BigInt::abs() const {
    BigInt r;
    mpz_abs(r.value_, value_);
    return r;
}

BigInt operator+(const BigInt& a, const BigInt& b) {
    BigInt r;
    mpz_add(r.value_, a.value_, b.value_);
    return r;
}

BigInt operator-(const BigInt& a, const BigInt& b) {
    BigInt r;
    mpz_sub(r.value_, a.value_, b.value_);
    return r;
}

BigInt operator*(const BigInt& a, const BigInt& b) {
    BigInt r;
    mpz_mul(r.value_, a.value_, b.value_);
    return r;
}

BigInt BigInt::div_trunc(const BigInt& divisor) const {
    expect(!divisor.is_zero(), "BigInt: division by zero");
    BigInt r;
    mpz_tdiv_q(r.value_, value_, divisor.value_);
    return r;
}

BigInt BigInt::rem_trunc(const BigInt& divisor) const {
    expect(!divisor.is_zero(), "BigInt: division by zero");
    BigInt r;
    mpz_tdiv_r(r.value_, value_, divisor.value_);
    return r;
}

BigInt BigInt::pow(std::uint64_t exponent) const {
    BigInt r;
    mpz_pow_ui(r.value_, value_, static_cast<unsigned long>(exponent));
    return r;
}

BigInt BigInt::times_pow10(std::uint64_t n) const {
    if (n == 0 || is_zero()) return *this;
    BigInt r;
    mpz_ui_pow_ui(r.value_, 10, static_cast<unsigned long>(n));
    mpz_mul(r.value_, r.value_, value_);
    return r;
}

BigInt BigInt::div_pow10_trunc(std::uint64_t n) const {
    if (n == 0 || is_zero()) return *this;
    // A power of ten longer than the value gives zero at once.
    if (n > mpz_sizeinbase(value_, 10)) return BigInt();
    BigInt r;
    mpz_ui_pow_ui(r.value_, 10, static_cast<unsigned long>(n));
    mpz_tdiv_q(r.value_, value_, r.value_);
    return r;
}

BigInt BigInt::isqrt() const {
    expect(sign() >= 0, "BigInt: square root of a negative number");
    BigInt r;
    mpz_sqrt(r.value_, value_);
    return r;
}

std::optional<BigInt> parse_decimal_bigint(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    BigInt r;
    const std::string text(digits);
    if (mpz_set_str(r.value_, text.c_str(), 10) != 0) return std::nullopt;
    return r;
}

}  // namespace tw
