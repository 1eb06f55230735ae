#include "commands/util/text.h"

#include <fmt/format.h>

#include <charconv>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "commands/util/options.h"

namespace tw {

std::size_t count_byte(std::string_view text, char byte) {
    const char* p = text.data();
    const char* const end = p + text.size();
    std::size_t count = 0;
#if defined(__SSE2__)
    // Each lane of `lanes` counts matches in its byte; it is summed before a lane can overflow.
    const __m128i wanted = _mm_set1_epi8(byte);
    while (end - p >= 16) {
        __m128i lanes = _mm_setzero_si128();
        for (int round = 0; round < 255 && end - p >= 16; ++round, p += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(block, wanted));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; p < end; ++p) count += *p == byte;
    return count;
}

std::u32string utf8_chars(std::string_view text) {
    std::u32string chars;
    chars.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) chars.push_back(utf8_next_char(text, pos));
    return chars;
}

std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t c = utf8_next_char(text, pos);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default:
            if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
                out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
            else out.append(text.substr(start, pos - start));
        }
    }
    out += '"';
    return out;
}

std::size_t utf8_char_count(std::string_view text) {
    std::size_t n = 0;
    for (char c : text)
        if (utf8_char_start(c)) ++n;
    return n;
}

bool all_decimal_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
    if (!all_decimal_digits(text)) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
    return lines;
}

std::vector<std::string_view> split_records(std::string_view text, char end) {
    std::vector<std::string_view> records;
    for_each_piece(text, end, [&](std::string_view piece, bool terminated) {
        records.emplace_back(piece.data(), piece.size() + (terminated ? 1 : 0));
    });
    return records;
}

}  // namespace tw
