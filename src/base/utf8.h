// UTF-8 helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tw {

// Decodes `bytes` as UTF-8, replacing each maximal invalid subsequence with U+FFFD
// (the same substitution rule Python's errors="replace" uses).
std::string utf8_lossy(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
// Runs of ASCII are skipped eight bytes at a time.
bool utf8_valid(std::string_view bytes);

// The largest n' <= n such that text[0, n') ends on a character boundary of valid UTF-8
// (a position that is not a continuation byte). Cutting texts to a byte limit uses this.
std::size_t utf8_floor_boundary(std::string_view text, std::size_t n);

// Where an incomplete character at the end of `bytes` begins: the position of a lead byte in the
// last three bytes whose sequence runs past the end, else the size. Decoding the bytes before it
// and the bytes from it (once the rest has arrived) apart gives what decoding them together would.
std::size_t utf8_incomplete_tail(std::string_view bytes);

// Appends the UTF-8 encoding of one Unicode scalar value.
void utf8_append(std::string& out, char32_t c);

}  // namespace tw
