#include "commands/text/text_lines.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/utf8.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

std::vector<std::string> text_lines(BytesView bytes) {
    std::vector<std::string> lines;
    for_each_line(utf8_lossy(bytes), [&](std::string_view line) { lines.emplace_back(line); });
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

}  // namespace tw
