// The payload of a heap int outside the signed 64-bit range: a GMP integer with value semantics.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>

namespace tw::py {

class BigInt {
public:
    BigInt() { mpz_init(z_); }
    explicit BigInt(std::int64_t v) { mpz_init_set_si(z_, v); }
    BigInt(const BigInt& o) { mpz_init_set(z_, o.z_); }
    BigInt& operator=(const BigInt& o) {
        if (this != &o) mpz_set(z_, o.z_);
        return *this;
    }
    ~BigInt() { mpz_clear(z_); }

    mpz_ptr get() { return z_; }
    mpz_srcptr get() const { return z_; }
    bool is_zero() const { return mpz_sgn(z_) == 0; }
    // Significant bits of the magnitude (0 for zero).
    std::uint64_t bit_length() const { return is_zero() ? 0 : mpz_sizeinbase(z_, 2); }
    // 64-bit words of the magnitude, at least 1.
    std::uint64_t word_count() const { return (bit_length() + 63) / 64 ? (bit_length() + 63) / 64 : 1; }
    bool fits_i64() const { return mpz_fits_slong_p(z_) != 0; }
    std::int64_t to_i64() const { return mpz_get_si(z_); }
    std::string to_decimal() const;

private:
    mpz_t z_;
};

}  // namespace tw::py
