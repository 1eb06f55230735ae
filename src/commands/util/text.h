// Text helpers shared by the commands: UTF-8 checks and decoding, white space, decimal numbers,
// and the cutting of a text at its line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"

namespace tw {

// ---- UTF-8 ----

// Whether `bytes` is valid UTF-8 (utf8_valid).
inline bool is_valid_utf8(std::string_view bytes) { return utf8_valid(bytes); }

// `bytes` as valid UTF-8: a view of `bytes` itself when it already is, otherwise a view of
// `storage`, which receives the text with each invalid sequence replaced by U+FFFD.
inline std::string_view valid_utf8_view(std::string_view bytes, std::string& storage) {
    if (is_valid_utf8(bytes)) return bytes;
    storage = utf8_lossy(bytes);
    return storage;
}

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

// Whether the byte `c` begins a character of UTF-8 text (it is not a continuation byte).
inline bool utf8_char_start(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// The byte length of the character that starts at text[i] (by its first byte, clipped to the
// text; a stray continuation byte counts as one).
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t length = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return length < text.size() - i ? length : text.size() - i;
}

// The characters of `text` (`utf8_next_char`: an invalid byte gives U+FFFD).
std::u32string utf8_chars(std::string_view text);
// The number of characters of valid UTF-8 `text`.
std::size_t utf8_char_count(std::string_view text);

// A text shown in a message: in double quotes, with backslash escapes for quotes and backslashes,
// \t \r \n \0, and \u{HEX} for the other control characters (C0, DEL and C1).
std::string debug_quote(std::string_view text);

// ---- white space ----

// The Unicode White_Space property.
inline bool is_white_space(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// ---- decimal numbers ----

// Whether `text` is one or more decimal digits and nothing else.
bool all_decimal_digits(std::string_view text);

// An unsigned decimal number (digits only) that fits in 64 bits.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

// The same after one optional leading "+".
inline std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return parse_decimal_u64(text);
}

// ---- line ends ----

// Calls `piece(text, terminated)` for each piece of `text` that `end` closes, without the `end`
// (terminated true), and for a last piece without one (terminated false). The empty rest after a
// final `end` is no piece, and an empty text has none.
template <typename Piece>
void for_each_piece(std::string_view text, char end, Piece piece) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t at = text.find(end, start);
        if (at == std::string_view::npos) {
            piece(text.substr(start), false);
            return;
        }
        piece(text.substr(start, at - start), true);
        start = at + 1;
    }
}

// Calls `line(text)` for each line: the pieces closed by line feeds, one carriage return before a
// line feed dropped (a last line without a line feed keeps its own).
template <typename Line>
void for_each_line(std::string_view text, Line line) {
    for_each_piece(text, '\n', [&](std::string_view piece, bool terminated) {
        if (terminated && piece.ends_with('\r')) piece.remove_suffix(1);
        line(piece);
    });
}

// How many bytes of `text` equal `byte`, sixteen at a time.
std::size_t count_byte(std::string_view text, char byte);

// The lines of `for_each_line`, as views into `text`.
std::vector<std::string_view> split_lines(std::string_view text);

// The pieces of `for_each_piece` with their `end` kept (a last piece may lack it), as views into
// `text`.
std::vector<std::string_view> split_records(std::string_view text, char end = '\n');

}  // namespace tw
