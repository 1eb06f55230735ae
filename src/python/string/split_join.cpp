#include "python/string/split_join.h"

#include <algorithm>

#include "base/sat.h"

namespace tw::py {

namespace {

// Positions of whitespace runs: skips whitespace forward (backward) from p.
inline bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

std::size_t skip_space(std::string_view s, std::size_t p) {
    while (p < s.size()) {
        const auto c = static_cast<unsigned char>(s[p]);
        if (c < 0x80) {
            if (!ascii_space(c)) break;
            ++p;
            continue;
        }
        std::size_t q = p;
        if (!is_str_whitespace(utf8_next(s, q))) break;
        p = q;
    }
    return p;
}
std::size_t skip_word(std::string_view s, std::size_t p) {
    while (p < s.size()) {
        const auto c = static_cast<unsigned char>(s[p]);
        if (c < 0x80) {
            if (ascii_space(c)) break;
            ++p;
            continue;
        }
        std::size_t q = p;
        if (is_str_whitespace(utf8_next(s, q))) break;
        p = q;
    }
    return p;
}
std::size_t skip_space_back(std::string_view s, std::size_t p) {
    while (p > 0) {
        std::size_t q = p;
        if (!is_str_whitespace(utf8_prev(s, q))) break;
        p = q;
    }
    return p;
}
std::size_t skip_word_back(std::string_view s, std::size_t p) {
    while (p > 0) {
        std::size_t q = p;
        if (is_str_whitespace(utf8_prev(s, q))) break;
        p = q;
    }
    return p;
}

std::uint64_t limit_of(std::int64_t maxsplit) { return maxsplit < 0 ? ~std::uint64_t(0) : std::uint64_t(maxsplit); }

}  // namespace

PyResult<StrPieces> str_split(std::string_view text, std::optional<std::string_view> sep, std::int64_t maxsplit) {
    const std::uint64_t limit = limit_of(maxsplit);
    StrPieces out;
    if (sep) {
        if (sep->empty()) return fail(PyError::value_error("empty separator"));
        std::size_t p = 0;
        for (std::uint64_t cuts = 0; cuts < limit; ++cuts) {
            std::size_t at = find_bytes(text, *sep, p);
            if (at == kNotFound) break;
            out.views.push_back(text.substr(p, at - p));
            p = at + sep->size();
        }
        out.views.push_back(text.substr(p));
        return out;
    }
    std::size_t p = skip_space(text, 0);
    for (std::uint64_t runs = 0; p < text.size(); ++runs) {
        if (runs == limit) {
            // The remaining runs joined by one space each.
            auto rest = std::make_unique<std::string>();
            while (p < text.size()) {
                std::size_t e = skip_word(text, p);
                if (!rest->empty()) rest->push_back(' ');
                rest->append(text.substr(p, e - p));
                p = skip_space(text, e);
            }
            out.owned = std::move(rest);
            out.views.push_back(*out.owned);
            break;
        }
        std::size_t e = skip_word(text, p);
        out.views.push_back(text.substr(p, e - p));
        p = skip_space(text, e);
    }
    return out;
}

PyResult<StrPieces> str_rsplit(std::string_view text, std::optional<std::string_view> sep, std::int64_t maxsplit) {
    const std::uint64_t limit = limit_of(maxsplit);
    StrPieces out;
    if (sep) {
        if (sep->empty()) return fail(PyError::value_error("empty separator"));
        std::size_t e = text.size();
        for (std::uint64_t cuts = 0; cuts < limit; ++cuts) {
            std::size_t at = rfind_bytes(text, *sep, e);
            if (at == kNotFound) break;
            out.views.push_back(text.substr(at + sep->size(), e - at - sep->size()));
            e = at;
        }
        out.views.push_back(text.substr(0, e));
        std::reverse(out.views.begin(), out.views.end());
        return out;
    }
    std::size_t e = skip_space_back(text, text.size());
    if (e == 0) return out;
    if (maxsplit < 0) {
        for (std::size_t p = skip_space(text, 0); p < e;) {
            std::size_t q = skip_word(text, p);
            out.views.push_back(text.substr(p, q - p));
            p = skip_space(text, q);
        }
        return out;
    }
    for (std::uint64_t cuts = 0; cuts < limit && e > 0; ++cuts) {
        std::size_t b = skip_word_back(text, e);
        out.views.push_back(text.substr(b, e - b));
        e = skip_space_back(text, b);
    }
    if (e > 0) out.views.push_back(text.substr(0, e));
    std::reverse(out.views.begin(), out.views.end());
    return out;
}

PyResult<std::vector<std::string_view>> str_splitlines(Charges& charges, std::string_view text, bool keepends) {
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t p = 0; p < text.size();) {
        const std::size_t at = p;
        char32_t c = utf8_next(text, p);
        const bool boundary = (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E) || c == 0x85 || c == 0x2028 || c == 0x2029;
        if (!boundary) continue;
        if (c == '\r' && p < text.size() && text[p] == '\n') ++p;
        lines.push_back(text.substr(start, (keepends ? p : at) - start));
        start = p;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

PyStatus Joiner::add(Charges& charges, std::string_view item) {
    if (auto c = charges.charge_work(1); !c) return c;
    if (__builtin_add_overflow(total_, std::uint64_t(item.size()), &total_)) return fail_resource(too_large_);
    if (auto c = charges.charge_memory(sat_add(item.size(), 32)); !c) return c;
    if (count_++) out_.append(sep_);
    out_.append(item);
    return {};
}

PyResult<std::string> Joiner::finish(Charges& charges) {
    std::uint64_t size;
    if (__builtin_mul_overflow(std::uint64_t(sep_.size()), count_ > 1 ? count_ - 1 : 0, &size) ||
        __builtin_add_overflow(size, total_, &size))
        return fail_resource(too_large_);
    if (auto c = charges.charge_memory(size); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(size); !c) return fail(std::move(c.error()));
    return std::move(out_);
}

PyResult<std::string> str_replace(Charges& charges, std::string_view text, std::string_view old,
                                  std::string_view with, std::int64_t count) {
    const std::uint64_t limit = limit_of(count);
    // The match positions, found once (an empty `old` matches before every code point and at the end).
    std::vector<std::size_t> at;
    std::uint64_t matches;
    if (old.empty()) {
        matches = std::min(limit, sat_add(count_code_points(text), 1));
    } else {
        for (std::size_t p = 0; at.size() < limit;) {
            p = find_bytes(text, old, p);
            if (p == kNotFound) break;
            at.push_back(p);
            p += old.size();
        }
        matches = at.size();
    }
    const std::uint64_t growth = with.size() > old.size() ? with.size() - old.size() : 0;
    std::uint64_t size;
    if (__builtin_add_overflow(std::uint64_t(text.size()), sat_mul(growth, matches), &size))
        return fail_resource("replacement string is too large");
    if (auto c = charges.charge_memory(size); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(size); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(text.size() - matches * old.size() + matches * with.size());
    std::size_t p = 0;
    if (old.empty()) {
        for (std::uint64_t k = 0; k < matches; ++k) {
            out.append(with);
            if (p == text.size()) break;
            std::size_t q = p;
            utf8_next(text, q);
            out.append(text.substr(p, q - p));
            p = q;
        }
    } else {
        for (std::size_t m : at) {
            out.append(text.substr(p, m - p)).append(with);
            p = m + old.size();
        }
    }
    out.append(text.substr(p));
    return out;
}

}  // namespace tw::py
