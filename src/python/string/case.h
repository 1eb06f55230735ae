// Case mapping and character classes of str: lower, upper, title, capitalize, swapcase and the
// is-predicates, over generated Unicode tables (full case mappings, final sigma).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "python/string/text.h"

namespace tw::py {

enum class CaseMap : std::uint8_t { Lower, Upper, Title, Capitalize, SwapCase };
PyResult<std::string> str_case_map(Charges& charges, std::string_view text, CaseMap map);

enum class StrPredicate : std::uint8_t {
    IsAlnum, IsAlpha, IsDigit, IsDecimal, IsNumeric, IsSpace, IsAscii, IsLower, IsUpper, IsTitle, IsIdentifier,
};
PyResult<bool> str_predicate(Charges& charges, std::string_view text, StrPredicate predicate);

// The single-code-point classes behind the predicates.
enum class CharClass : std::uint8_t {
    Uppercase, Lowercase, Titlecase, Cased, CaseIgnorable, Alphabetic, Decimal, Digit, Numeric, Space,
    IdentifierStart, IdentifierContinue,
};
bool char_in_class(char32_t c, CharClass cls);

// The Unicode version of the tables.
std::string_view str_unicode_version();

}  // namespace tw::py
