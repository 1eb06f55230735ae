#include "shell/pattern.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <array>
#include <optional>

namespace tw {

namespace {

constexpr std::uint32_t kInvalidBase = 0x110000;

// Decodes one character at `i` and advances past it; an invalid byte is kInvalidBase + byte.
std::uint32_t decode_at(std::string_view s, std::size_t& i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    }
    if (len == 0 || i + len > s.size()) {
        ++i;
        return kInvalidBase + b0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kInvalidBase + b0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kInvalidBase + b0;
    }
    i += len;
    return cp;
}

std::uint32_t fold(std::uint32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= kInvalidBase) return c;
    return static_cast<std::uint32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
}

enum ClassBit : std::uint32_t {
    kAlpha = 1u << 0,
    kDigit = 1u << 1,
    kAlnum = 1u << 2,
    kUpper = 1u << 3,
    kLower = 1u << 4,
    kSpace = 1u << 5,
    kBlank = 1u << 6,
    kPunct = 1u << 7,
    kPrint = 1u << 8,
    kGraph = 1u << 9,
    kCntrl = 1u << 10,
    kXdigit = 1u << 11,
    kWord = 1u << 12,
    kInvalidClass = 1u << 31,  // an unknown class name: the set matches nothing
};

std::uint32_t class_bit(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 13> kNames{{
        {"alpha", kAlpha}, {"digit", kDigit}, {"alnum", kAlnum}, {"upper", kUpper},
        {"lower", kLower}, {"space", kSpace}, {"blank", kBlank}, {"punct", kPunct},
        {"print", kPrint}, {"graph", kGraph}, {"cntrl", kCntrl}, {"xdigit", kXdigit},
        {"word", kWord},
    }};
    for (const auto& [n, bit] : kNames)
        if (n == name) return bit;
    return kInvalidClass;
}

// The classes a character belongs to.
std::uint32_t classes_of(std::uint32_t c) {
    if (c >= kInvalidBase) return 0;
    std::uint32_t bits = 0;
    if (c < 0x80) {
        bool upper = c >= 'A' && c <= 'Z';
        bool lower = c >= 'a' && c <= 'z';
        bool digit = c >= '0' && c <= '9';
        bool alpha = upper || lower;
        if (alpha) bits |= kAlpha;
        if (upper) bits |= kUpper;
        if (lower) bits |= kLower;
        if (digit) bits |= kDigit;
        if (alpha || digit) bits |= kAlnum | kWord;
        if (c == '_') bits |= kWord;
        if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) bits |= kXdigit;
        if (c == ' ' || (c >= '\t' && c <= '\r')) bits |= kSpace;
        if (c == ' ' || c == '\t') bits |= kBlank;
        if (c < 0x20 || c == 0x7F) bits |= kCntrl;
        if (c >= 0x20 && c < 0x7F) bits |= kPrint;
        if (c > 0x20 && c < 0x7F) bits |= kGraph;
        if (c > 0x20 && c < 0x7F && !alpha && !digit) bits |= kPunct;
        return bits;
    }
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_LU:
        case UTF8PROC_CATEGORY_LT:
            bits |= kAlpha | kAlnum | kWord | kUpper | kPrint | kGraph;
            break;
        case UTF8PROC_CATEGORY_LL:
            bits |= kAlpha | kAlnum | kWord | kLower | kPrint | kGraph;
            break;
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_LO:
            bits |= kAlpha | kAlnum | kWord | kPrint | kGraph;
            break;
        case UTF8PROC_CATEGORY_ND:
        case UTF8PROC_CATEGORY_NL:
        case UTF8PROC_CATEGORY_NO:
        case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_MC:
        case UTF8PROC_CATEGORY_ME:
            bits |= kAlnum | kWord | kPrint | kGraph;
            break;
        case UTF8PROC_CATEGORY_ZS:
            bits |= kSpace | kBlank | kPrint;
            break;
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            bits |= kSpace;
            break;
        case UTF8PROC_CATEGORY_CC:
            bits |= kCntrl;
            break;
        case UTF8PROC_CATEGORY_PC:
            bits |= kPunct | kWord | kPrint | kGraph;
            break;
        case UTF8PROC_CATEGORY_PD:
        case UTF8PROC_CATEGORY_PS:
        case UTF8PROC_CATEGORY_PE:
        case UTF8PROC_CATEGORY_PI:
        case UTF8PROC_CATEGORY_PF:
        case UTF8PROC_CATEGORY_PO:
        case UTF8PROC_CATEGORY_SM:
        case UTF8PROC_CATEGORY_SC:
        case UTF8PROC_CATEGORY_SK:
        case UTF8PROC_CATEGORY_SO:
            bits |= kPunct | kPrint | kGraph;
            break;
        default:
            break;
    }
    return bits;
}

// A parsed bracket expression and where it ends.
struct BracketParse {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    std::uint32_t classes = 0;
    bool negated = false;
    std::size_t end = 0;  // just after the closing `]`
};

// One end of a range element at `j`: an escaped character, a collating symbol or equivalence
// class ([.c.] or [=c=]), or a plain character. Advances `j`.
std::uint32_t bracket_char(std::string_view p, std::size_t& j) {
    if (p[j] == '\\' && j + 1 < p.size()) {
        ++j;
        return decode_at(p, j);
    }
    if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == '.' || p[j + 1] == '=')) {
        char kind = p[j + 1];
        const char close[] = {kind, ']', 0};
        std::size_t k = p.find(close, j + 2);
        if (k != std::string_view::npos && k > j + 2) {
            std::size_t at = j + 2;
            std::uint32_t c = decode_at(p, at);
            j = k + 2;
            return c;
        }
    }
    return decode_at(p, j);
}

// Parses the bracket expression that starts at `start` (a `[`); nothing when it is not closed.
std::optional<BracketParse> parse_bracket(std::string_view p, std::size_t start) {
    BracketParse out;
    std::size_t j = start + 1;
    if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
        out.negated = true;
        ++j;
    }
    bool first = true;
    while (true) {
        if (j >= p.size()) return std::nullopt;
        if (p[j] == ']' && !first) {
            out.end = j + 1;
            return out;
        }
        first = false;
        if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
            std::size_t k = p.find(":]", j + 2);
            if (k != std::string_view::npos) {
                out.classes |= class_bit(p.substr(j + 2, k - (j + 2)));
                j = k + 2;
                continue;
            }
        }
        std::uint32_t lo = bracket_char(p, j);
        if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
            ++j;
            std::uint32_t hi = bracket_char(p, j);
            out.ranges.emplace_back(lo, hi);
        } else {
            out.ranges.emplace_back(lo, lo);
        }
    }
}

void append_regex_char(std::string& out, std::uint32_t c) {
    if (c >= kInvalidBase) {
        out += "(?!)";
        return;
    }
    if (c < 0x80 && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
        out += static_cast<char>(c);
        return;
    }
    out += fmt::format("\\x{{{:x}}}", c);
}

}  // namespace

PatternText pattern_text(std::string_view text) {
    PatternText out;
    out.chars.reserve(text.size());
    out.offsets.reserve(text.size() + 1);
    std::size_t i = 0;
    while (i < text.size()) {
        out.offsets.push_back(i);
        out.chars.push_back(decode_at(text, i));
    }
    out.offsets.push_back(text.size());
    return out;
}

std::uint32_t pattern_next_char(std::string_view text, std::size_t& i) { return decode_at(text, i); }

std::size_t pattern_char_count(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) decode_at(text, i);
    return count;
}

std::size_t pattern_char_offset(std::string_view text, std::size_t k) {
    std::size_t i = 0;
    for (std::size_t n = 0; n < k && i < text.size(); ++n) decode_at(text, i);
    return i;
}

ShellPattern ShellPattern::compile(std::string_view p, PatternOptions options) {
    ShellPattern out;
    out.caseless_ = options.caseless;
    std::size_t i = 0;
    auto literal = [&](std::uint32_t c) {
        out.tokens_.push_back({Token::Kind::Literal, options.caseless ? fold(c) : c});
    };
    while (i < p.size()) {
        char c = p[i];
        if (c == '\\') {
            if (i + 1 < p.size()) {
                ++i;
                literal(decode_at(p, i));
            } else {
                literal('\\');
                ++i;
            }
        } else if (c == '*') {
            ++i;
            out.has_wildcards_ = true;
            out.has_star_ = true;
            if (out.tokens_.empty() || out.tokens_.back().kind != Token::Kind::AnyRun)
                out.tokens_.push_back({Token::Kind::AnyRun, 0});
        } else if (c == '?') {
            ++i;
            out.has_wildcards_ = true;
            out.tokens_.push_back({Token::Kind::AnyChar, 0});
        } else if (c == '[') {
            if (auto b = parse_bracket(p, i)) {
                out.has_wildcards_ = true;
                CharSet set;
                set.negated = b->negated;
                set.classes = b->classes;
                set.ranges = std::move(b->ranges);
                out.tokens_.push_back({Token::Kind::Set, static_cast<std::uint32_t>(out.sets_.size())});
                out.sets_.push_back(std::move(set));
                i = b->end;
            } else {
                literal('[');
                ++i;
            }
        } else {
            literal(decode_at(p, i));
        }
    }
    out.tail_start_ = 0;
    for (std::size_t k = 0; k < out.tokens_.size(); ++k) {
        if (out.tokens_[k].kind == Token::Kind::AnyRun)
            out.tail_start_ = k + 1;
        else
            ++out.min_chars_;
    }
    return out;
}

std::string ShellPattern::literal_text() const {
    std::string out;
    for (const Token& t : tokens_) {
        if (t.kind != Token::Kind::Literal) continue;
        if (t.value >= kInvalidBase) {
            out += static_cast<char>(t.value - kInvalidBase);
            continue;
        }
        char buf[4];
        auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(t.value), reinterpret_cast<utf8proc_uint8_t*>(buf));
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool ShellPattern::set_matches(const CharSet& set, std::uint32_t c) const {
    if (set.classes & kInvalidClass) return false;
    bool in = false;
    if (set.classes != 0) {
        std::uint32_t have = classes_of(c);
        if (caseless_ && (set.classes & (kUpper | kLower)) && (have & kAlpha)) have |= kUpper | kLower;
        in = (have & set.classes) != 0;
    }
    for (std::size_t k = 0; !in && k < set.ranges.size(); ++k) {
        auto [lo, hi] = set.ranges[k];
        if (c >= lo && c <= hi) in = true;
        if (!in && caseless_ && c < kInvalidBase) {
            auto lower = fold(c);
            auto upper = static_cast<std::uint32_t>(utf8proc_toupper(static_cast<utf8proc_int32_t>(c)));
            in = (lower >= lo && lower <= hi) || (upper >= lo && upper <= hi);
        }
    }
    return in != set.negated;
}

bool ShellPattern::token_matches(const Token& token, std::uint32_t c) const {
    switch (token.kind) {
        case Token::Kind::Literal:
            return token.value == (caseless_ ? fold(c) : c);
        case Token::Kind::AnyChar:
            return true;
        case Token::Kind::Set:
            return set_matches(sets_[token.value], c);
        case Token::Kind::AnyRun:
            return false;
    }
    return false;
}

bool ShellPattern::matches_chars(std::span<const std::uint32_t> text, std::uint64_t* steps,
                                 std::uint64_t max_steps) const {
    std::uint64_t count = 1;
    struct Report {
        std::uint64_t* steps;
        std::uint64_t& count;
        ~Report() {
            if (steps) *steps += count;
        }
    } report{steps, count};
    const std::size_t n = text.size();
    if (n < min_chars_ || (!has_star_ && n != min_chars_)) return false;
    // The tokens after the last `*` must sit at the very end: a cheap early rejection for the
    // common patterns of the removal operators (*/, .*).
    if (has_star_) {
        std::size_t tail = tokens_.size() - tail_start_;
        for (std::size_t k = 0; k < tail; ++k) {
            ++count;
            if (!token_matches(tokens_[tokens_.size() - 1 - k], text[n - 1 - k])) return false;
        }
    }
    // Every element other than `*` takes exactly one character, so backtracking to the most
    // recent `*` is complete: O(n * m) at worst.
    std::size_t ti = 0, pi = 0;
    std::size_t star_pi = SIZE_MAX, star_ti = 0;
    const std::size_t m = tokens_.size();
    while (ti < n) {
        if (++count > max_steps) return false;
        if (pi < m && tokens_[pi].kind == Token::Kind::AnyRun) {
            star_pi = pi++;
            star_ti = ti;
            continue;
        }
        if (pi < m && token_matches(tokens_[pi], text[ti])) {
            ++pi;
            ++ti;
            continue;
        }
        if (star_pi != SIZE_MAX) {
            pi = star_pi + 1;
            ti = ++star_ti;
            continue;
        }
        return false;
    }
    while (pi < m && tokens_[pi].kind == Token::Kind::AnyRun) ++pi;
    return pi == m;
}

bool ShellPattern::matches(std::string_view text) const {
    PatternText t = pattern_text(text);
    return matches_chars(t.chars);
}

bool ShellPattern::matches_one(std::uint32_t c) const {
    return tokens_.size() == 1 && token_matches(tokens_[0], c);
}

bool shell_pattern_match(std::string_view pattern, std::string_view text, PatternOptions options) {
    return ShellPattern::compile(pattern, options).matches(text);
}

bool shell_pattern_has_wildcards(std::string_view p) {
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\') {
            ++i;
        } else if (c == '*' || c == '?') {
            return true;
        } else if (c == '[' && parse_bracket(p, i)) {
            return true;
        }
    }
    return false;
}

std::string shell_pattern_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string shell_pattern_unescape(std::string_view p) {
    std::string out;
    out.reserve(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\' && i + 1 < p.size()) ++i;
        out += p[i];
    }
    return out;
}

std::string shell_pattern_regex(std::string_view p) {
    std::string out = "^";
    std::size_t i = 0;
    while (i < p.size()) {
        char c = p[i];
        if (c == '\\') {
            if (i + 1 < p.size()) {
                ++i;
                append_regex_char(out, decode_at(p, i));
            } else {
                append_regex_char(out, '\\');
                ++i;
            }
        } else if (c == '*') {
            out += "(?s:.*)";
            ++i;
        } else if (c == '?') {
            out += "(?s:.)";
            ++i;
        } else if (c == '[') {
            auto b = parse_bracket(p, i);
            if (!b) {
                append_regex_char(out, '[');
                ++i;
                continue;
            }
            i = b->end;
            if (b->classes & kInvalidClass) {
                out += "(?!)";
                continue;
            }
            out += b->negated ? "[^" : "[";
            static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 13> kClassNames{{
                {kAlpha, "alpha"}, {kDigit, "digit"}, {kAlnum, "alnum"}, {kUpper, "upper"},
                {kLower, "lower"}, {kSpace, "space"}, {kBlank, "blank"}, {kPunct, "punct"},
                {kPrint, "print"}, {kGraph, "graph"}, {kCntrl, "cntrl"}, {kXdigit, "xdigit"},
                {kWord, "word"},
            }};
            for (const auto& [bit, name] : kClassNames)
                if (b->classes & bit) out += fmt::format("[:{}:]", name);
            bool any = b->classes != 0;
            for (auto [lo, hi] : b->ranges) {
                if (lo >= kInvalidBase || hi >= kInvalidBase || lo > hi) continue;
                any = true;
                out += fmt::format("\\x{{{:x}}}", lo);
                if (hi != lo) out += fmt::format("-\\x{{{:x}}}", hi);
            }
            if (!any) {
                // An empty set: nothing matches it, and its negation matches any character.
                out.resize(out.size() - (b->negated ? 2 : 1));
                out += b->negated ? "(?s:.)" : "(?!)";
                continue;
            }
            out += ']';
        } else {
            append_regex_char(out, decode_at(p, i));
        }
    }
    out += "\\z";
    return out;
}

}  // namespace tw
