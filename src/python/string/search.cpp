#include "python/string/search.h"

#include <algorithm>
#include <bitset>

#include <fmt/format.h>

#include "base/sat.h"

namespace tw::py {

namespace {

// The byte range of a code-point window.
std::pair<std::size_t, std::size_t> window_bytes(StrText text, Window w) {
    std::size_t b0 = text.byte_offset(w.start);
    std::size_t b1 = text.ascii() ? w.end : b0 + StrText{text.bytes.substr(b0), text.chars - w.start}.byte_offset(w.end - w.start);
    return {b0, b1};
}

}  // namespace

PyResult<std::int64_t> str_find(Charges& charges, StrText text, std::string_view sub, SearchBounds bounds,
                                FindMode mode) {
    if (auto c = charges.charge_work(sat_add(text.bytes.size(), sub.size()) / 16 + 1); !c) return fail(std::move(c.error()));
    const bool backward = mode == FindMode::RFind || mode == FindMode::RIndex;
    const bool raise = mode == FindMode::Index || mode == FindMode::RIndex;
    Window w = search_bounds(text.chars, bounds);
    std::int64_t result = -1;
    if (w.exists) {
        if (sub.empty()) {
            result = std::int64_t(backward ? w.end : w.start);
        } else {
            auto [b0, b1] = window_bytes(text, w);
            std::string_view hay = text.bytes.substr(b0, b1 - b0);
            std::size_t at = backward ? rfind_bytes(hay, sub, hay.size()) : find_bytes(hay, sub);
            if (at != kNotFound)
                result = std::int64_t(w.start + (text.ascii() ? at : count_code_points(hay.substr(0, at))));
        }
    }
    if (result < 0 && raise) return fail(PyError::value_error("substring not found"));
    return result;
}

PyResult<std::int64_t> str_count(Charges& charges, StrText text, std::string_view sub, SearchBounds bounds) {
    if (auto c = charges.charge_work(sat_add(text.bytes.size(), sub.size()) / 16 + 1); !c) return fail(std::move(c.error()));
    Window w = search_bounds(text.chars, bounds);
    if (sub.empty()) return w.end >= w.start ? std::int64_t(w.end - w.start + 1) : 0;
    if (!w.exists) return 0;
    auto [b0, b1] = window_bytes(text, w);
    return std::int64_t(count_bytes(text.bytes.substr(b0, b1 - b0), sub));
}

PyResult<bool> str_affix_match(Charges& charges, StrText text, std::span<const Affix> candidates,
                               SearchBounds bounds, bool at_end, std::string_view method) {
    const std::uint64_t len = text.bytes.size();
    if (auto c = charges.charge_work(len / 16 + 1); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_memory(sat_mul(4, len)); !c) return fail(std::move(c.error()));
    Window w = search_bounds(text.chars, bounds);
    std::string_view window;
    if (w.exists) {
        auto [b0, b1] = window_bytes(text, w);
        window = text.bytes.substr(b0, b1 - b0);
    }
    for (const Affix& a : candidates) {
        if (a.wrong_type)
            return fail(PyError::type_error(fmt::format("tuple for {} must only contain str, not {}", method, *a.wrong_type)));
        if (auto c = charges.charge_work(a.text.size()); !c) return fail(std::move(c.error()));
        if (!w.exists) continue;
        // Both are whole UTF-8 texts, so a byte prefix (suffix) is a code-point prefix (suffix).
        if (at_end ? window.ends_with(a.text) : window.starts_with(a.text)) return true;
    }
    return false;
}

PyResult<std::string_view> str_strip(Charges& charges, std::string_view text,
                                     std::optional<std::string_view> chars, StripSide side) {
    const std::uint64_t len = text.size();
    const std::uint64_t width = std::max<std::uint64_t>(chars ? chars->size() : 0, 1);
    std::uint64_t product;
    const std::uint64_t work = __builtin_mul_overflow(len, width, &product) ? (std::uint64_t(1) << 60) : product / 16 + 1;
    if (auto c = charges.charge_work(work); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_memory(len); !c) return fail(std::move(c.error()));
    if (chars && chars->empty()) return text;

    // Membership: a byte table for ASCII members, a sorted list for the others.
    std::bitset<128> ascii;
    std::u32string others;
    if (chars) {
        for (std::size_t p = 0; p < chars->size();) {
            char32_t c = utf8_next(*chars, p);
            if (c < 128) ascii.set(c);
            else others.push_back(c);
        }
        std::sort(others.begin(), others.end());
    }
    auto strip_it = [&](char32_t c) {
        if (!chars) return is_str_whitespace(c);
        if (c < 128) return ascii.test(c);
        return std::binary_search(others.begin(), others.end(), c);
    };
    std::size_t b = 0, e = text.size();
    if (side != StripSide::Right) {
        while (b < e) {
            std::size_t p = b;
            if (!strip_it(utf8_next(text, p))) break;
            b = p;
        }
    }
    if (side != StripSide::Left) {
        while (e > b) {
            std::size_t p = e;
            if (!strip_it(utf8_prev(text, p))) break;
            e = p;
        }
    }
    return text.substr(b, e - b);
}

PyResult<std::array<std::string_view, 3>> str_partition(std::string_view text, std::string_view sep,
                                                        bool from_right) {
    if (sep.empty()) return fail(PyError::value_error("empty separator"));
    std::size_t at = from_right ? rfind_bytes(text, sep, text.size()) : find_bytes(text, sep);
    if (at == kNotFound) {
        if (from_right) return std::array<std::string_view, 3>{text.substr(0, 0), text.substr(0, 0), text};
        return std::array<std::string_view, 3>{text, text.substr(text.size()), text.substr(text.size())};
    }
    return std::array<std::string_view, 3>{text.substr(0, at), text.substr(at, sep.size()), text.substr(at + sep.size())};
}

std::optional<std::string_view> str_remove_affix(std::string_view text, std::string_view affix, bool suffix) {
    if (affix.empty()) return std::nullopt;
    if (suffix) {
        if (text.ends_with(affix)) return text.substr(0, text.size() - affix.size());
    } else if (text.starts_with(affix)) {
        return text.substr(affix.size());
    }
    return std::nullopt;
}

}  // namespace tw::py
