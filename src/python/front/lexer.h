// The Python lexer: source text to a flat token list, or the first SyntaxError.
//
// The language is Python 3 with ASCII identifiers; `match`, `case` and `type` are plain names.
// Indentation produces Indent/Dedent tokens (a tab advances to the next multiple of 8, a form
// feed resets the width); line feeds inside brackets and after a backslash join lines; blank and
// comment-only lines still produce a Newline (the parser skips runs of them). Bracket kinds are
// counted, not matched. The lexer keeps no state between calls and touches nothing but its
// result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "python/front/tokens.h"

namespace tw {

using TokenList = std::vector<Token>;

// Tokenizes one source (a module, an exec/eval/compile argument, an f-string field's text).
// The list always ends with EndOfFile. Invalid UTF-8 bytes read as U+FFFD, one character each.
Result<TokenList, SyntaxError> py_tokenize(std::string_view source);

// The value of an integer literal: `value` when it fits in a signed 64-bit integer, otherwise
// `big` is set and `digits` holds its decimal text (no sign, no leading zeros).
struct IntegerLiteral {
    bool big = false;
    std::int64_t value = 0;
    std::string digits;
    bool operator==(const IntegerLiteral&) const = default;
};

// Converts digit text (no prefix, sign or underscores) in a radix from 2 to 36 (letters of either
// case for digits above 9) to its value. None for empty text, a character that is not a digit of
// the radix, or a radix out of range.
std::optional<IntegerLiteral> lex_big_integer_literal(std::string_view digits, unsigned radix);

// Decodes one escape of a str literal (and of the literal text of a non-raw f-string).
// `rest` is the text right after the backslash. Appends the decoded character, if any, to `out`
// and returns how many bytes of `rest` the escape consumed:
//   - backslash + line feed: consumes 1, appends nothing;
//   - \" \' \\ \a \b \f \n \r \t \v: consumes 1;
//   - \x, \u, \U with 2, 4, 8 hex digits (either case): the character;
//   - 1 to 3 octal digits (taken greedily): the character with that code (at most 511);
//   - any other character: appends the backslash and consumes 0 (the character is then read as
//     ordinary text).
// Errors (the message): "unterminated escape sequence" when `rest` is empty, "truncated
// hexadecimal string escape", "string escape is not a Unicode scalar value",
// "\N{...} escapes are not supported". `*consumed_on_error`, when given, receives how far the
// escape was read before it failed.
Result<std::size_t, std::string_view> py_decode_str_escape(std::string_view rest, std::string& out,
                                                           std::size_t* consumed_on_error = nullptr);

// A character written as a quoted character literal, as "unexpected character {}" shows it:
// '$', '\t', '\'', '\\', '\0', '\u{7f}', 'é'.
std::string py_char_literal(char32_t c);

}  // namespace tw
