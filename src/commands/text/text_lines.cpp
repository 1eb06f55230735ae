#include "commands/text/text_lines.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/utf8.h"
#include "commands/util/options.h"

namespace tw {

std::vector<std::string> text_lines(BytesView bytes) {
    const std::string text = utf8_lossy(bytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        lines.emplace_back(text.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> split_to_fields(std::string_view line, char32_t separator) {
    std::string sep;
    utf8_append(sep, separator);
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = line.find(sep, start);
        if (at == std::string_view::npos) {
            fields.emplace_back(line.substr(start));
            return fields;
        }
        fields.emplace_back(line.substr(start, at - start));
        start = at + sep.size();
    }
}

bool is_white_space(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default: return c >= 0x2000 && c <= 0x200A;
    }
}

std::vector<std::string_view> split_whitespace(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    std::size_t word_start = std::string_view::npos;
    while (pos < line.size()) {
        const std::size_t here = pos;
        const char32_t c = utf8_next_char(line, pos);
        if (is_white_space(c)) {
            if (word_start != std::string_view::npos) {
                words.push_back(line.substr(word_start, here - word_start));
                word_start = std::string_view::npos;
            }
        } else if (word_start == std::string_view::npos) {
            word_start = here;
        }
    }
    if (word_start != std::string_view::npos) words.push_back(line.substr(word_start));
    return words;
}

std::u32string utf8_chars(std::string_view text) {
    std::u32string chars;
    chars.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) chars.push_back(utf8_next_char(text, pos));
    return chars;
}

std::size_t utf8_char_count(std::string_view text) {
    std::size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

namespace {

bool equals_ignoring_case(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<double> parse_decimal_double(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    double value = 0;
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
        value = HUGE_VAL;
    } else if (equals_ignoring_case(text, "nan")) {
        value = std::nan("");
    } else {
        // Digits, an optional fraction and an optional exponent; at least one digit before the
        // exponent. from_chars alone would also take words and "nan(...)".
        std::size_t i = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
        if (i < text.size() && text[i] == '.') {
            ++i;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
        }
        if (digits == 0) return std::nullopt;
        if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
            ++i;
            if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
            const std::size_t exponent_start = i;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
            if (i == exponent_start) return std::nullopt;
        }
        if (i != text.size()) return std::nullopt;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (end != text.data() + text.size()) return std::nullopt;
        // Out of range: from_chars leaves the value alone; strtod gives the nearest double (0, a
        // subnormal, or infinity).
        if (ec == std::errc::result_out_of_range) {
            const std::string copy(text);
            value = std::strtod(copy.c_str(), nullptr);
        } else if (ec != std::errc{}) {
            return std::nullopt;
        }
    }
    return negative ? -value : value;
}

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace tw
