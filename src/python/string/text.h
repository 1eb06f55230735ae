// Shared ground of the str and bytes algorithms: the budget seam every operation charges through,
// code-point walking over UTF-8 text (the str representation), code-point to byte position
// conversion that is constant time on ASCII text, the whitespace set and substring searching.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/heap/error.h"
#include "python/number/number.h"

namespace tw::py {

// Where the string algorithms charge their work and memory: the budget seam of the number
// kernel (`MeterCharges` of python/number/values.h charges a running program). Every charge is
// made before the work it pays for; a refused charge ends the operation before anything changes.
using Charges = NumberCharges;

// Error of a charge that may be refused (for resource errors of too-large results).
inline std::unexpected<PyError> fail_resource(std::string_view message) {
    return fail(PyError::resource(std::string(message)));
}

// ---- code points ------------------------------------------------------------------------------

inline bool utf8_is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes the code point at `pos` of valid UTF-8 and moves `pos` past it.
inline char32_t utf8_next(std::string_view s, std::size_t& pos) {
    const auto c0 = static_cast<unsigned char>(s[pos]);
    if (c0 < 0x80) {
        ++pos;
        return c0;
    }
    const auto at = [&](std::size_t k) { return char32_t(static_cast<unsigned char>(s[pos + k]) & 0x3F); };
    char32_t c;
    if (c0 < 0xE0) {
        c = (char32_t(c0 & 0x1F) << 6) | at(1);
        pos += 2;
    } else if (c0 < 0xF0) {
        c = (char32_t(c0 & 0x0F) << 12) | (at(1) << 6) | at(2);
        pos += 3;
    } else {
        c = (char32_t(c0 & 0x07) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
        pos += 4;
    }
    return c;
}

// Decodes the code point that ends at `pos` and moves `pos` to its first byte.
inline char32_t utf8_prev(std::string_view s, std::size_t& pos) {
    std::size_t p = pos - 1;
    while (p > 0 && utf8_is_continuation(static_cast<unsigned char>(s[p]))) --p;
    std::size_t q = p;
    pos = p;
    return utf8_next(s, q);
}

// The number of code points of valid UTF-8 text.
std::uint64_t count_code_points(std::string_view s);
// The code points of valid UTF-8 text.
std::u32string decode_code_points(std::string_view s);
// Appends the UTF-8 form of one Unicode scalar value.
void append_code_point(std::string& out, char32_t c);

// A str's text with its code-point count (a heap str keeps the count; an inline str counts its
// at most 15 bytes). Text whose count equals its byte length is ASCII: positions are bytes.
struct StrText {
    std::string_view bytes;
    std::uint64_t chars = 0;

    static StrText of(std::string_view s) { return {s, count_code_points(s)}; }
    bool ascii() const { return chars == bytes.size(); }
    // The byte offset of code point `index` (at most `chars`): constant time on ASCII text,
    // otherwise a walk from the nearer end.
    std::size_t byte_offset(std::uint64_t index) const;
};

// Byte offsets of every 64th code point of a non-ASCII text, for repeated indexing: each lookup
// walks at most 63 code points. ASCII text needs no checkpoints.
class CodePointIndex {
public:
    explicit CodePointIndex(StrText text);
    std::size_t byte_offset(std::uint64_t index) const;
    // The code point at `index` (below the count).
    char32_t at(std::uint64_t index) const;

private:
    StrText text_;
    std::vector<std::size_t> checkpoints_;  // byte offsets of code points 0, 64, 128, ...
};

// The whitespace of strip and split: the Unicode White_Space property.
bool is_str_whitespace(char32_t c);

// ---- substring search ---------------------------------------------------------------------------

inline constexpr std::size_t kNotFound = std::string_view::npos;

// The first occurrence of `needle` in `hay` at or after `from`; an empty needle is found at `from`.
std::size_t find_bytes(std::string_view hay, std::string_view needle, std::size_t from = 0);
// The last occurrence of a non-empty `needle` that ends at or before `end`.
std::size_t rfind_bytes(std::string_view hay, std::string_view needle, std::size_t end);
// Non-overlapping occurrences of a non-empty needle, left to right, at most `limit`.
std::uint64_t count_bytes(std::string_view hay, std::string_view needle,
                          std::uint64_t limit = ~std::uint64_t(0));

// ---- optional start and end arguments -----------------------------------------------------------

// The start and end of a search after argument conversion (nothing for absent or None).
struct SearchBounds {
    std::optional<std::int64_t> start, end;
};
// The window [start, end) over a sequence of `length` units; `exists` is false when end < start
// or start > length.
struct Window {
    std::uint64_t start = 0, end = 0;
    bool exists = false;
};
Window search_bounds(std::uint64_t length, SearchBounds bounds);

// One candidate of startswith/endswith: a text, or an item of another type (its type name).
struct Affix {
    std::string_view text;
    std::optional<std::string_view> wrong_type;  // set for an item that is not of the right type

    static Affix of(std::string_view t) { return {t, std::nullopt}; }
    static Affix wrong(std::string_view type_name) { return {{}, type_name}; }
};

}  // namespace tw::py
