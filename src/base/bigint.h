// Integers of any size, for the calculators (bc, expr) and the Python runtime. A thin value type
// over GMP: copies are deep, a moved-from value is zero.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <gmp.h>

namespace tw {

class BigInt {
public:
    BigInt() { mpz_init(value_); }
    explicit BigInt(std::int64_t v);
    static BigInt from_u64(std::uint64_t v);
    BigInt(const BigInt& other) { mpz_init_set(value_, other.value_); }
    BigInt(BigInt&& other) noexcept {
        mpz_init(value_);
        mpz_swap(value_, other.value_);
    }
    BigInt& operator=(const BigInt& other) {
        if (this != &other) mpz_set(value_, other.value_);
        return *this;
    }
    BigInt& operator=(BigInt&& other) noexcept {
        mpz_swap(value_, other.value_);
        // Zero without allocating: a fresh mpz_init holds no limbs.
        mpz_clear(other.value_);
        mpz_init(other.value_);
        return *this;
    }
    ~BigInt() { mpz_clear(value_); }

    // -1, 0 or 1.
    int sign() const { return mpz_sgn(value_); }
    bool is_zero() const { return sign() == 0; }
    // The number of bits of the magnitude (zero has 0).
    std::uint64_t bit_length() const;
    // The number of decimal digits of the magnitude (zero has 1).
    std::uint64_t decimal_digits() const;
    // Decimal text with a leading '-' when negative.
    std::string to_decimal() const;
    // The decimal digits of the magnitude.
    std::string magnitude_decimal() const;
    // The magnitude when it fits in 64 (or 32) unsigned bits.
    std::optional<std::uint64_t> magnitude_u64() const;
    // The value when it fits in a signed 64-bit number.
    std::optional<std::int64_t> to_i64() const;

    BigInt negated() const;
    BigInt abs() const;
    friend BigInt operator+(const BigInt& a, const BigInt& b);
    friend BigInt operator-(const BigInt& a, const BigInt& b);
    friend BigInt operator*(const BigInt& a, const BigInt& b);
    // Quotient truncated toward zero and the remainder with the sign of the dividend; the divisor
    // must not be zero.
    BigInt div_trunc(const BigInt& divisor) const;
    BigInt rem_trunc(const BigInt& divisor) const;
    BigInt pow(std::uint64_t exponent) const;
    // The value times 10^n, and divided by 10^n truncated toward zero.
    BigInt times_pow10(std::uint64_t n) const;
    BigInt div_pow10_trunc(std::uint64_t n) const;
    // The largest integer whose square does not exceed the value; the value must not be negative.
    BigInt isqrt() const;

    // The GMP integer itself, for operations this class does not wrap.
    mpz_srcptr raw() const { return value_; }
    mpz_ptr raw() { return value_; }

    friend bool operator==(const BigInt& a, const BigInt& b) { return mpz_cmp(a.value_, b.value_) == 0; }
    friend std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) {
        const int c = mpz_cmp(a.value_, b.value_);
        return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
    }

private:
    friend std::optional<BigInt> parse_decimal_bigint(std::string_view digits);
    mpz_t value_;
};

// The non-negative integer that a non-empty text of ASCII decimal digits denotes; nothing for any
// other text.
std::optional<BigInt> parse_decimal_bigint(std::string_view digits);

}  // namespace tw
