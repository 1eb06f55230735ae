// Line and field splitting and decimal fractions, shared by the line and layout tools.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace tw {

// The lines of `bytes`: decoded as UTF-8 (invalid sequences become U+FFFD), split at line feeds,
// one carriage return before each line feed removed. A last line without a line feed counts; the
// empty piece after a final line feed does not, and empty content has no lines.
std::vector<std::string> text_lines(BytesView bytes);

// The pieces of `line` between the occurrences of `separator`, empty pieces kept: a line without
// the separator is one field, an empty line one empty field.
std::vector<std::string> split_to_fields(std::string_view line, char32_t separator);

// The runs of non-white-space characters of `line` (no empty fields).
std::vector<std::string_view> split_whitespace(std::string_view line);

// A decimal floating-point number: optional sign, digits with an optional fraction and exponent,
// or the words inf, infinity and nan in any letter case; nothing around it.
std::optional<double> parse_decimal_double(std::string_view text);

}  // namespace tw
