// Decimal text of integers that fit in 64 bits, made without allocating.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw::py {

struct IntDecimal {
    char digits[20];  // "-9223372036854775808" is the longest
    std::size_t size = 0;
    std::string_view view() const { return {digits, size}; }
};

inline IntDecimal int_decimal_digits(std::int64_t v) {
    IntDecimal d;
    d.size = std::size_t(std::to_chars(d.digits, d.digits + sizeof d.digits, v).ptr - d.digits);
    return d;
}

inline std::string int_decimal(std::int64_t v) { return std::string(int_decimal_digits(v).view()); }

}  // namespace tw::py
