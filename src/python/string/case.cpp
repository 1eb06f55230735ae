#include "python/string/case.h"

#include <algorithm>
#include <span>

namespace tw::py {

namespace {

struct CodeRange {
    char32_t first, last;
};
struct CaseMapping {
    char32_t from;
    char32_t to[3];
};

#include "python/string/unicode_tables.inc"

bool in_ranges(std::span<const CodeRange> table, char32_t c) {
    auto it = std::upper_bound(table.begin(), table.end(), c, [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != table.begin() && c <= std::prev(it)->last;
}

const CaseMapping* find_mapping(std::span<const CaseMapping> table, char32_t c) {
    auto it = std::lower_bound(table.begin(), table.end(), c, [](const CaseMapping& m, char32_t v) { return m.from < v; });
    return it != table.end() && it->from == c ? &*it : nullptr;
}

void append_mapped(std::string& out, std::span<const CaseMapping> table, char32_t c) {
    if (const CaseMapping* m = find_mapping(table, c)) {
        for (char32_t x : m->to) {
            if (!x) break;
            append_code_point(out, x);
        }
        return;
    }
    append_code_point(out, c);
}

bool is_upper(char32_t c) { return c < 0x80 ? (c >= 'A' && c <= 'Z') : in_ranges(kUppercase, c); }
bool is_lower(char32_t c) { return c < 0x80 ? (c >= 'a' && c <= 'z') : in_ranges(kLowercase, c); }
bool is_title(char32_t c) { return c >= 0x80 && in_ranges(kTitlecase, c); }
bool is_cased(char32_t c) { return is_upper(c) || is_lower(c) || is_title(c); }
bool is_case_ignorable(char32_t c) { return in_ranges(kCaseIgnorable, c); }

void append_upper(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(char(c >= 'a' && c <= 'z' ? c - 32 : c));
        return;
    }
    append_mapped(out, kUpperMap, c);
}
void append_title(std::string& out, char32_t c) {
    if (c >= 0x80 && find_mapping(kTitleMap, c)) return append_mapped(out, kTitleMap, c);
    append_upper(out, c);
}

// Lowercases the code point at byte `at` (ending at `next`), with the final-sigma rule.
void append_lower(std::string& out, std::string_view s, std::size_t at, std::size_t next, char32_t c) {
    if (c < 0x80) {
        out.push_back(char(c >= 'A' && c <= 'Z' ? c + 32 : c));
        return;
    }
    if (c == 0x3A3) {
        bool before = false;
        for (std::size_t p = at; p > 0;) {
            char32_t b = utf8_prev(s, p);
            if (is_case_ignorable(b)) continue;
            before = is_cased(b);
            break;
        }
        bool after = false;
        for (std::size_t p = next; p < s.size();) {
            char32_t a = utf8_next(s, p);
            if (is_case_ignorable(a)) continue;
            after = is_cased(a);
            break;
        }
        append_code_point(out, before && !after ? 0x3C2 : 0x3C3);
        return;
    }
    append_mapped(out, kLowerMap, c);
}

}  // namespace

std::string_view str_unicode_version() { return kUnicodeVersion; }

bool char_in_class(char32_t c, CharClass cls) {
    switch (cls) {
        case CharClass::Uppercase: return is_upper(c);
        case CharClass::Lowercase: return is_lower(c);
        case CharClass::Titlecase: return is_title(c);
        case CharClass::Cased: return is_cased(c);
        case CharClass::CaseIgnorable: return is_case_ignorable(c);
        case CharClass::Alphabetic:
            return c < 0x80 ? ((c | 32) >= 'a' && (c | 32) <= 'z') : in_ranges(kAlphabetic, c);
        case CharClass::Decimal: return c < 0x80 ? (c >= '0' && c <= '9') : in_ranges(kDecimal, c);
        case CharClass::Digit: return c < 0x80 ? (c >= '0' && c <= '9') : in_ranges(kDigit, c);
        case CharClass::Numeric: return c < 0x80 ? (c >= '0' && c <= '9') : in_ranges(kNumeric, c);
        case CharClass::Space: return is_str_whitespace(c) || (c >= 0x1C && c <= 0x1F);
        case CharClass::IdentifierStart:
            return c < 0x80 ? ((c | 32) >= 'a' && (c | 32) <= 'z') || c == '_' : in_ranges(kIdentifierStart, c);
        case CharClass::IdentifierContinue:
            return c < 0x80 ? ((c | 32) >= 'a' && (c | 32) <= 'z') || c == '_' || (c >= '0' && c <= '9')
                            : in_ranges(kIdentifierContinue, c);
    }
    return false;
}

PyResult<std::string> str_case_map(Charges& charges, std::string_view text, CaseMap map) {
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(text.size());
    bool previous_cased = false;
    bool first = true;
    for (std::size_t p = 0; p < text.size();) {
        const std::size_t at = p;
        const char32_t c = utf8_next(text, p);
        switch (map) {
            case CaseMap::Lower: append_lower(out, text, at, p, c); break;
            case CaseMap::Upper: append_upper(out, c); break;
            case CaseMap::Title:
                if (previous_cased) append_lower(out, text, at, p, c);
                else append_title(out, c);
                previous_cased = is_cased(c);
                break;
            case CaseMap::Capitalize:
                if (first) append_title(out, c);
                else append_lower(out, text, at, p, c);
                break;
            case CaseMap::SwapCase:
                if (is_upper(c)) append_lower(out, text, at, p, c);
                else if (is_lower(c)) append_upper(out, c);
                else append_code_point(out, c);
                break;
        }
        first = false;
    }
    return out;
}

PyResult<bool> str_predicate(Charges& charges, std::string_view text, StrPredicate predicate) {
    if (predicate == StrPredicate::IsAscii)
        return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    auto every = [&](auto&& test) {
        if (text.empty()) return false;
        for (std::size_t p = 0; p < text.size();)
            if (!test(utf8_next(text, p))) return false;
        return true;
    };
    switch (predicate) {
        case StrPredicate::IsAlnum:
            return every([](char32_t c) { return char_in_class(c, CharClass::Alphabetic) || char_in_class(c, CharClass::Numeric); });
        case StrPredicate::IsAlpha: return every([](char32_t c) { return char_in_class(c, CharClass::Alphabetic); });
        case StrPredicate::IsDigit: return every([](char32_t c) { return char_in_class(c, CharClass::Digit); });
        case StrPredicate::IsDecimal: return every([](char32_t c) { return char_in_class(c, CharClass::Decimal); });
        case StrPredicate::IsNumeric: return every([](char32_t c) { return char_in_class(c, CharClass::Numeric); });
        case StrPredicate::IsSpace: return every([](char32_t c) { return char_in_class(c, CharClass::Space); });
        case StrPredicate::IsLower:
        case StrPredicate::IsUpper: {
            const bool want_lower = predicate == StrPredicate::IsLower;
            bool seen = false;
            for (std::size_t p = 0; p < text.size();) {
                const char32_t c = utf8_next(text, p);
                // A titlecase letter is cased but neither lower nor upper: it fails both tests.
                const bool up = is_upper(c), low = is_lower(c), title = is_title(c);
                if (!up && !low && !title) continue;
                if (want_lower ? !low : !up) return false;
                seen = true;
            }
            return seen;
        }
        case StrPredicate::IsTitle: {
            bool previous_cased = false, seen_cased = false;
            for (std::size_t p = 0; p < text.size();) {
                const char32_t c = utf8_next(text, p);
                if (is_upper(c) || is_title(c)) {
                    if (previous_cased) return false;
                    previous_cased = seen_cased = true;
                } else if (is_lower(c)) {
                    if (!previous_cased) return false;
                } else {
                    previous_cased = false;
                }
            }
            return seen_cased;
        }
        case StrPredicate::IsIdentifier: {
            if (text.empty()) return false;
            std::size_t p = 0;
            if (!char_in_class(utf8_next(text, p), CharClass::IdentifierStart)) return false;
            while (p < text.size())
                if (!char_in_class(utf8_next(text, p), CharClass::IdentifierContinue)) return false;
            return true;
        }
        case StrPredicate::IsAscii: break;
    }
    return false;
}

}  // namespace tw::py
