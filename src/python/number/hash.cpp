#include "python/number/hash.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "python/number/utf8_text.h"

namespace tw::py {

namespace {

std::int64_t not_minus_one(std::int64_t h) { return h == -1 ? -2 : h; }

struct SipState {
    std::uint64_t v0 = 0x736f6d6570736575ULL, v1 = 0x646f72616e646f6dULL, v2 = 0x6c7967656e657261ULL,
                  v3 = 0x7465646279746573ULL;
    void round() {
        v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
        v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
    }
    void compress(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t(p[i]) << (8 * i);
    return w;
}

// |x| mod P for an unsigned magnitude.
std::uint64_t mod_p(std::uint64_t m) { return m % kHashModulus; }

}  // namespace

std::uint64_t siphash13(std::string_view data) {
    SipState s;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.compress(load_le(p + i, 8));
    s.compress(load_le(p + i, n - i) | std::uint64_t(n & 0xFF) << 56);
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::int64_t py_hash_int(std::int64_t x) {
    const std::uint64_t mag = x < 0 ? 0 - std::uint64_t(x) : std::uint64_t(x);
    const std::int64_t h = std::int64_t(mod_p(mag));
    return not_minus_one(x < 0 ? -h : h);
}

std::int64_t py_hash_u64(std::uint64_t x) { return not_minus_one(std::int64_t(mod_p(x))); }

std::int64_t py_hash_bigint(mpz_srcptr x) {
    // 2^61 = 1 (mod P): fold the magnitude 61 bits at a time.
    const std::size_t bits = mpz_sgn(x) == 0 ? 0 : mpz_sizeinbase(x, 2);
    std::uint64_t acc = 0;
    std::size_t top = (bits + 60) / 61 * 61;
    mpz_t chunk;
    mpz_init(chunk);
    while (top > 0) {
        top -= 61;
        mpz_tdiv_q_2exp(chunk, x, top);
        mpz_abs(chunk, chunk);
        const std::uint64_t part = mpz_getlimbn(chunk, 0) & kHashModulus;
        // acc * 2^61 + part with 2^61 = 1: acc + part.
        acc += part;
        if (acc >= kHashModulus) acc -= kHashModulus;
    }
    mpz_clear(chunk);
    const std::int64_t h = std::int64_t(acc);
    return not_minus_one(mpz_sgn(x) < 0 ? -h : h);
}

std::int64_t py_hash_float(double x) {
    if (std::isnan(x)) return 0;
    if (std::isinf(x)) return x > 0 ? kInfHash : -kInfHash;
    int e = 0;
    double m = std::frexp(std::fabs(x), &e);
    std::uint64_t h = 0;
    while (m != 0) {
        h = ((h << 28) & kHashModulus) | (h >> 33);
        m *= 268435456.0;
        e -= 28;
        const auto y = std::uint64_t(m);
        m -= double(y);
        h += y;
        if (h >= kHashModulus) h -= kHashModulus;
    }
    e = ((e % 61) + 61) % 61;
    h = ((h << e) & kHashModulus) | (h >> (61 - e));
    std::int64_t r = std::int64_t(h);
    if (std::signbit(x)) r = -r;
    return not_minus_one(r);
}

std::int64_t py_hash_complex(double re, double im) {
    const std::uint64_t h = std::uint64_t(py_hash_float(re)) + kImagMultiplier * std::uint64_t(py_hash_float(im));
    return not_minus_one(std::int64_t(h));
}

std::int64_t py_hash_bytes(std::string_view data) {
    if (data.empty()) return 0;
    return not_minus_one(std::int64_t(siphash13(data)));
}

std::int64_t py_hash_str(std::string_view utf8) {
    bool ascii = true;
    for (unsigned char c : utf8)
        if (c >= 0x80) ascii = false;
    if (ascii) return py_hash_bytes(utf8);
    const std::u32string cps = utf8_code_points(utf8);
    char32_t widest = 0;
    for (char32_t c : cps) widest = std::max(widest, c);
    const std::size_t width = widest < 0x100 ? 1 : widest < 0x10000 ? 2 : 4;
    std::string fixed(cps.size() * width, '\0');
    for (std::size_t k = 0; k < cps.size(); ++k)
        for (std::size_t b = 0; b < width; ++b) fixed[k * width + b] = char((cps[k] >> (8 * b)) & 0xFF);
    return py_hash_bytes(fixed);
}

namespace {
constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

std::uint64_t mix_lanes(std::span<const std::int64_t> lanes) {
    std::uint64_t acc = kPrime5;
    for (std::int64_t h : lanes) {
        acc += std::uint64_t(h) * kPrime2;
        acc = std::rotl(acc, 31);
        acc *= kPrime1;
    }
    return acc;
}
}  // namespace

std::int64_t py_hash_tuple_lanes(std::span<const std::int64_t> lanes) {
    std::uint64_t acc = mix_lanes(lanes);
    acc += std::uint64_t(lanes.size()) ^ 0x27D4EB2F1663B4B6ULL;
    return acc == ~std::uint64_t(0) ? 1546275796 : std::int64_t(acc);
}

std::int64_t py_hash_slice_lanes(std::span<const std::int64_t> lanes) {
    const std::uint64_t acc = mix_lanes(lanes);
    return acc == ~std::uint64_t(0) ? 1546275796 : std::int64_t(acc);
}

std::int64_t py_hash_frozenset_lanes(std::span<const std::int64_t> lanes) {
    std::uint64_t acc = 0;
    for (std::int64_t lane : lanes) {
        const std::uint64_t h = std::uint64_t(lane);
        acc ^= (h ^ (h << 16) ^ 89869747ULL) * 3644798167ULL;
    }
    acc ^= (std::uint64_t(lanes.size()) + 1) * 1927868237ULL;
    acc ^= (acc >> 11) ^ (acc >> 25);
    if (acc == 0x42B651D87795708CULL) return 590923713;
    return std::int64_t(acc * 69069ULL + 907133923ULL);
}

std::int64_t py_identity_from_bytes(std::string_view fed) {
    const std::uint64_t h = siphash13(fed);
    return std::int64_t(0x500000000000ULL + 16 * (h & ((std::uint64_t(1) << 40) - 1)));
}

}  // namespace tw::py
