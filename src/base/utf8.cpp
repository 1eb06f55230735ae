#include "base/utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace tw {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there.
// Follows the well-formed byte sequences of the Unicode standard (table 3-7).
std::size_t valid_sequence_at(std::string_view s, std::size_t i, std::size_t& maximal_invalid) {
    auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[i + k]); };
    const std::size_t left = s.size() - i;
    const std::uint8_t c = b(0);
    maximal_invalid = 1;
    if (c < 0x80) return 1;
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) { len = 3; lo = 0xA0; }
    else if (c >= 0xE1 && c <= 0xEC) len = 3;
    else if (c == 0xED) { len = 3; hi = 0x9F; }
    else if (c >= 0xEE && c <= 0xEF) len = 3;
    else if (c == 0xF0) { len = 4; lo = 0x90; }
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) { len = 4; hi = 0x8F; }
    else return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if (k >= left) return 0;
        std::uint8_t x = b(k);
        std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (x < l || x > h) return 0;
        maximal_invalid = k + 1;
    }
    return len;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 1;
        std::size_t n = valid_sequence_at(bytes, i, bad);
        if (n) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += bad;
        }
    }
    return out;
}

namespace {

// The first byte at or after `p` (before `end`) that is not ASCII, or `end`. Whole words of
// ASCII are skipped eight bytes at a time; in a word holding a non-ASCII byte the lowest such
// byte is found from the word's bits.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (const std::uint64_t high = word & kHighBits; high != 0) {
            if constexpr (std::endian::native == std::endian::little)
                return p + (std::countr_zero(high) >> 3);
            break;
        }
        p += 8;
    }
    while (p < end && *p < 0x80) ++p;
    return p;
}

}  // namespace

bool utf8_valid(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while ((p = skip_ascii(p, end)) < end) {
        // The well-formed sequences of table 3-7: no overlong forms, no surrogates, nothing past
        // U+10FFFF; only the second byte has a range narrower than 80..BF. Two-byte sequences,
        // the commonest, first.
        const unsigned char b0 = *p;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 == 0xE0) len = 3, lo = 0xA0;
        else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) len = 3;
        else if (b0 == 0xED) len = 3, hi = 0x9F;
        else if (b0 == 0xF0) len = 4, lo = 0x90;
        else if (b0 >= 0xF1 && b0 <= 0xF3) len = 4;
        else if (b0 == 0xF4) len = 4, hi = 0x8F;
        else return false;
        if (static_cast<std::size_t>(end - p) < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += len;
    }
    return true;
}

std::size_t utf8_floor_boundary(std::string_view text, std::size_t n) {
    if (n >= text.size()) return text.size();
    while (n > 0 && (static_cast<std::uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

std::size_t utf8_incomplete_tail(std::string_view bytes) {
    const std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto b = static_cast<std::uint8_t>(bytes[size - back]);
        if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

void utf8_append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace tw
