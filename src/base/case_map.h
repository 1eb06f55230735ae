// Unicode case mapping of single characters and of UTF-8 texts: the simple mappings, and the full
// upper-case mapping in which one character may become several ("ß" becomes "SS").
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The simple (one-to-one) mappings; a character without one maps to itself.
char32_t unicode_simple_upper(char32_t c);
char32_t unicode_simple_lower(char32_t c);

// Appends the full upper-case or lower-case mapping of one character.
void utf8_append_upper(std::string& out, char32_t c);
void utf8_append_lower(std::string& out, char32_t c);

// The whole text mapped character by character (bytes that are not valid UTF-8 are kept).
std::string utf8_to_upper(std::string_view text);
std::string utf8_to_lower(std::string_view text);

}  // namespace tw
