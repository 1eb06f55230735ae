// Python's text forms of literals: the repr of a float and of a str or bytes literal.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The shortest digits that read back, positional notation for decimal exponents from -4 to 15,
// scientific otherwise; "nan", "inf", "-inf".
std::string py_float_repr(double v);

// The repr of a str (or, with `bytes`, of a bytes literal with its b prefix): single quotes
// unless the text holds one and no double quote; backslash escapes for the quote, the backslash,
// the control characters (and for bytes every byte above 0x7f).
std::string py_quote_text(std::string_view text, bool bytes);

}  // namespace tw
