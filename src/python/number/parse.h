// Number parsing: the integer parser with Python's rules for bases, prefixes, signs and
// underscores, the reader of a float literal prefix (for the complex parser) and the float text
// parser of float().
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/bigint.h"
#include "python/heap/error.h"

namespace tw::py {

inline constexpr std::uint64_t kIntMaxStrDigits = 4300;

// int(text, base): the integer or ValueError with Python's messages.
PyResult<tw::BigInt> py_int_parse(std::string_view text, std::int64_t base);

struct FloatPrefix {
    bool found = false;
    double value = 0;
    std::size_t end = 0;
};
// The longest float literal starting at `offset`; never fails.
FloatPrefix py_float_parse(std::string_view text, std::size_t offset);

// float(text): white space trimmed, underscores between digits, "inf"/"nan" names; nothing for
// text that is no float literal.
std::optional<double> py_float_from_text(std::string_view text);

// The shorter of the two equals the start of the longer, ASCII letters compared without case.
bool ascii_prefix_eq_ignore_case(std::string_view a, std::string_view b);
// The number of ASCII digits starting at `position`.
std::size_t ascii_digit_run(std::string_view text, std::size_t position);

// The length of the Unicode white space (as str.strip() knows it) at the start or end of text.
std::size_t leading_space(std::string_view text);
std::size_t trailing_space(std::string_view text);

}  // namespace tw::py
