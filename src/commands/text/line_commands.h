// The line tools: tac, tail, printenv, envsubst, tr, uniq, cut and wc, and the small text helpers
// they share. The digest commands live in checksum.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "shell/command_io.h"

namespace tw {

// `tac [FILE...]`: lines from last to first.
void tac_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `tail [-n N|-c N|-N|+N] [FILE...]`.
void tail_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `printenv [NAME...]` (runs to completion).
std::int32_t printenv_command(NativeInvocation& invocation, CommandIo& io);
// `envsubst`: $NAME and ${NAME} of standard input replaced by exported values.
void envsubst_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `tr [-cds] SET1 [SET2]`.
void tr_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `uniq [-cdiu] [-f N] [-s N] [FILE]`.
void uniq_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `cut -f LIST [-d C] [-s] | -c LIST | -b LIST [FILE...]`.
void cut_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `wc [-clmw] [FILE...]`.
void wc_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// The set of `tr` after class replacement, escapes and ranges, as characters in order.
std::u32string tr_expand_set(std::string_view operand);

// ---- shared text helpers ----

// `bytes` as valid UTF-8: a view of `bytes` itself when it already is, otherwise a view of
// `storage`, which receives the text with each invalid sequence replaced by U+FFFD.
inline std::string_view valid_utf8_view(std::string_view bytes, std::string& storage);

// Decodes the character at `p` of text that is known to be valid UTF-8 and moves `p` past it.
inline char32_t next_valid_char(const unsigned char*& p) {
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
        ++p;
        return b0;
    }
    if (b0 < 0xE0) {
        const char32_t c = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        p += 2;
        return c;
    }
    if (b0 < 0xF0) {
        const char32_t c = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        p += 3;
        return c;
    }
    const char32_t c = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
                       (p[3] & 0x3F);
    p += 4;
    return c;
}

// Unicode White_Space.
inline bool is_unicode_space(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// The exported environment as a map from name to value.
std::map<std::string, std::string, std::less<>> exported_environment(const NativeInvocation& invocation);

// An unsigned decimal 64-bit number: digits only, one optional leading "+".
inline std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace tw

#include "base/utf8.h"

#include <cstring>

namespace tw::detail {

// Whether `bytes` is valid UTF-8: ASCII is skipped eight bytes at a time, other sequences are
// checked against the well-formed ranges (no overlong forms, no surrogates, nothing past U+10FFFF).
inline bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char b0 = *p;
        if (b0 < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
        else if (b0 == 0xE0) len = 3, lo = 0xA0;
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

}  // namespace tw::detail

inline std::string_view tw::valid_utf8_view(std::string_view bytes, std::string& storage) {
    if (detail::is_valid_utf8(bytes)) return bytes;
    storage = utf8_lossy(bytes);
    return storage;
}
