// Saturating arithmetic for the machine's counters: sizes, charges and usage never wrap.
#pragma once

#include <cstdint>
#include <limits>

namespace tw {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}

// Stops at 0.
constexpr std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}

constexpr std::int64_t sat_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// a - b as a signed 64-bit value, saturating at the ends of the signed range.
constexpr std::int64_t signed_delta(std::uint64_t now, std::uint64_t start) {
    if (now >= start) {
        std::uint64_t d = now - start;
        return d > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(d);
    }
    std::uint64_t d = start - now;
    return d > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::min()
               : -static_cast<std::int64_t>(d);
}

}  // namespace tw
