#include "shell/brace.h"
#include "base/utf8.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "base/sat.h"
#include "shell/param_ops.h"

namespace tw {

namespace {

constexpr std::size_t npos = std::string_view::npos;

std::size_t skip_dollar_brace(std::string_view w, std::size_t i);

// The index of the `}` that closes the `{` at `open`, or npos.
std::size_t matching_close(std::string_view w, std::size_t open) {
    int depth = 0;
    std::size_t i = open;
    while (i < w.size()) {
        char c = w[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(w, i);
        } else if (c == '$' && i + 1 < w.size() && w[i + 1] == '{') {
            i = skip_dollar_brace(w, i);
        } else if (c == '{') {
            ++depth;
            ++i;
        } else if (c == '}') {
            if (--depth == 0) return i;
            ++i;
        } else {
            ++i;
        }
    }
    return npos;
}

// Index just after the `${...}` starting at `i`.
std::size_t skip_dollar_brace(std::string_view w, std::size_t i) {
    std::size_t close = matching_close(w, i + 1);
    return close == npos ? w.size() : close + 1;
}

// The parts of a brace body separated by commas at its top level.
std::vector<std::string_view> split_commas(std::string_view body) {
    std::vector<std::string_view> parts;
    int depth = 0;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < body.size()) {
        char c = body[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(body, i);
            continue;
        }
        if (c == '$' && i + 1 < body.size() && body[i + 1] == '{') {
            i = skip_dollar_brace(body, i);
            continue;
        }
        if (c == '{') ++depth;
        if (c == '}') --depth;
        if (c == ',' && depth == 0) {
            parts.push_back(body.substr(start, i - start));
            start = i + 1;
        }
        ++i;
    }
    parts.push_back(body.substr(start));
    return parts;
}

std::optional<std::int64_t> read_i64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty() || s[0] == '+') return std::nullopt;
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

// One UTF-8 character making up the whole text, or nothing.
std::optional<char32_t> single_char(std::string_view s) {
    if (s.empty()) return std::nullopt;
    auto b0 = static_cast<unsigned char>(s[0]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || s.size() != len) return std::nullopt;
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        auto b = static_cast<unsigned char>(s[k]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    return cp;
}


// An end written with a leading zero (after an optional sign) asks for padding.
bool has_leading_zero(std::string_view s) {
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    return s.size() > 1 && s[0] == '0';
}

std::string format_padded(std::int64_t v, std::size_t width) {
    std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    std::string digits = std::to_string(magnitude);
    std::string out = v < 0 ? "-" : "";
    std::size_t used = out.size() + digits.size();
    if (width > used) out.append(width - used, '0');
    return out + digits;
}

// The items of a sequence body, or nothing when the body is no sequence.
std::optional<std::vector<std::string>> sequence_items(std::string_view body) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t dots = body.find("..", start);
        if (dots == npos) {
            pieces.push_back(body.substr(start));
            break;
        }
        pieces.push_back(body.substr(start, dots - start));
        start = dots + 2;
    }
    if (pieces.size() != 2 && pieces.size() != 3) return std::nullopt;
    std::int64_t step = 0;  // 0: the default step
    if (pieces.size() == 3) step = read_i64(pieces[2]).value_or(0);
    std::vector<std::string> items;
    auto a = read_i64(pieces[0]);
    auto b = read_i64(pieces[1]);
    if (a && b) {
        std::int64_t s = step != 0 ? step : (*b >= *a ? 1 : -1);
        if (*a != *b && ((*b > *a) != (s > 0))) return std::nullopt;
        std::size_t width = 0;
        if (has_leading_zero(pieces[0]) || has_leading_zero(pieces[1]))
            width = std::max(pieces[0].size(), pieces[1].size());
        std::int64_t v = *a;
        while (items.size() < kBraceMaxItems) {
            if ((s > 0 && v > *b) || (s < 0 && v < *b)) break;
            items.push_back(format_padded(v, width));
            std::int64_t next = sat_add(v, s);
            if (next == v) break;  // saturated at the end of the range
            v = next;
        }
        return items;
    }
    auto ca = single_char(pieces[0]);
    auto cb = single_char(pieces[1]);
    if (!ca || !cb) return std::nullopt;
    std::int64_t s = step != 0 ? step : (*cb >= *ca ? 1 : -1);
    if (*ca != *cb && ((*cb > *ca) != (s > 0))) return std::vector<std::string>{};
    std::int64_t v = *ca;
    const std::int64_t end = *cb;
    while (items.size() < kBraceMaxItems) {
        if ((s > 0 && v > end) || (s < 0 && v < end)) break;
        if (v < 0xD800 || v > 0xDFFF) {
            std::string item;
            // Characters that later expansion would interpret are escaped so they stay themselves.
            if (v < 0x80 && std::string_view("\\'\"`$*?[]{},~").find(static_cast<char>(v)) != npos) item += '\\';
            utf8_append(item, static_cast<char32_t>(v));
            items.push_back(std::move(item));
        }
        if (__builtin_add_overflow(v, s, &v)) break;
    }
    return items;
}

// The alternatives of the brace expression at `open` (closing at `close`), or nothing.
std::optional<std::vector<std::string>> alternatives(std::string_view body) {
    auto parts = split_commas(body);
    if (parts.size() >= 2) {
        std::vector<std::string> out;
        out.reserve(parts.size());
        for (auto p : parts) out.emplace_back(p);
        return out;
    }
    return sequence_items(body);
}

}  // namespace

std::vector<std::string> expand_braces(std::string_view word, int level) {
    if (level >= kBraceMaxLevel) return {std::string(word)};
    std::size_t i = 0;
    while (i < word.size()) {
        char c = word[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(word, i);
            continue;
        }
        if (c == '$' && i + 1 < word.size() && word[i + 1] == '{') {
            i = skip_dollar_brace(word, i);
            continue;
        }
        if (c != '{') {
            ++i;
            continue;
        }
        std::size_t close = matching_close(word, i);
        if (close == npos) {
            ++i;
            continue;
        }
        auto alts = alternatives(word.substr(i + 1, close - i - 1));
        if (!alts) {
            ++i;
            continue;
        }
        std::string_view prefix = word.substr(0, i);
        std::string_view suffix = word.substr(close + 1);
        std::vector<std::string> out;
        for (const auto& alt : *alts) {
            std::string next;
            next.reserve(prefix.size() + alt.size() + suffix.size());
            next.append(prefix).append(alt).append(suffix);
            for (auto& w : expand_braces(next, level + 1)) {
                out.push_back(std::move(w));
                if (out.size() >= kBraceMaxWords) return out;
            }
        }
        if (out.empty()) return {std::string(word)};
        return out;
    }
    return {std::string(word)};
}

}  // namespace tw
