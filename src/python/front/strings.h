// F-string bodies: literal text and replacement fields.
//
// The lexer hands an f-string over as its raw body (escapes not applied, fields not parsed).
// `py_split_fstring` cuts a body into literal text (escapes decoded unless raw, "{{" and "}}"
// reduced) and replacement fields (expression text, conversion, format spec); the parser then
// parses each field's expression text on its own, wrapped in parentheses. Adjacent literals are
// joined by the parser (PyParser::parse_string_literals in strings.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tw {

// One piece of an f-string body.
//   Text:  `text` is the literal text.
//   Field: `text` is the expression text (for a self-documenting field, without its "=");
//          `conversion` is 's', 'r', 'a' or 0; `format_spec` the raw text after the ":" (braces
//          in it are not evaluated). A self-documenting field is preceded by a Text piece
//          holding the expression exactly as written up to the conversion or spec.
struct FStringPiece {
    enum class Kind : unsigned char { Text, Field };
    Kind kind = Kind::Text;
    char conversion = 0;
    std::string text;
    std::string format_spec;
    bool operator==(const FStringPiece&) const = default;

    // A field with a conversion or a non-empty format spec (a FormattedField of the tree).
    bool formatted() const { return conversion != 0 || !format_spec.empty(); }
};

// Splits an f-string body. The literal text before, between and after fields is one Text piece
// each (none when empty); an empty body gives no pieces. Errors are the message alone (the caller places it at the literal):
// "single '}' is not allowed in an f-string", "unterminated f-string expression",
// "f-string field requires an expression", "f-string conversion requires a conversion
// character", "unsupported f-string conversion !{}", "expected ':' or '}' after f-string
// conversion", and the escape errors of str literals for non-raw bodies.
Result<std::vector<FStringPiece>, std::string> py_split_fstring(std::string_view body, bool raw);

}  // namespace tw
