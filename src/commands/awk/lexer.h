// The awk lexer: program text to tokens. Line ends are statement separators (the same token as
// ";"), and whether a "/" starts a regular expression or divides depends on the previous token.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tw {

enum class AwkTokenKind : std::uint8_t {
    Ident, Number, String, Regex, Begin, End, If, Else, While, For, In, Break, Continue, Delete, Next,
    NextFile, Exit, Print, Printf, LParen, RParen, LBrace, RBrace, LBracket, RBracket, Comma, Semicolon,
    Dollar, Assign, AddAssign, SubAssign, MulAssign, DivAssign, RemAssign, Plus, Minus, Star, Slash,
    Percent, PlusPlus, MinusMinus, Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, Match,
    NotMatch, And, Or, Not, Eof,
};

struct AwkToken {
    AwkTokenKind kind = AwkTokenKind::Eof;
    double number = 0;  // Number
    std::string text;   // Ident: the name; String: the text after escapes; Regex: the source
};

// How a token is named in parser messages: the kind's name, and for the four kinds with a payload
// the payload in parentheses (Ident("x"), Number(2.0), String("a\tb"), Regex("a/b")).
std::string awk_token_display(const AwkToken& token);

// The shortest text that reads back as `x`, with at least one digit after the point, in exponent
// form ("1e16", "1e-5") at or above 1e16 and below 1e-4.
std::string awk_float_display(double x);

class AwkLexer {
public:
    // The tokens of `text`, ending with Eof, or the first error's message.
    static Result<std::vector<AwkToken>, std::string> tokenize(std::string_view text);

private:
    explicit AwkLexer(std::string_view text) : text_(text) {}
    Result<void, std::string> run();

    bool at_end() const { return pos_ >= text_.size(); }
    // The character at `pos_` and the one after it (0 at the end); ASCII decisions only.
    char peek_char() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    char peek_second_char() const { return pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0'; }
    // Moves past the character at `pos_` (a whole UTF-8 sequence) and answers it.
    char32_t bump();

    void push_token(AwkToken token, bool regex_allowed);
    void push_kind(AwkTokenKind kind, bool regex_allowed) { push_token(AwkToken{kind, 0, {}}, regex_allowed); }
    void push_single(AwkTokenKind kind, bool regex_allowed);
    void op_or_assign(AwkTokenKind plain, AwkTokenKind assign);
    void op_variants(AwkTokenKind plain, AwkTokenKind doubled, AwkTokenKind assign);

    Result<void, std::string> lex_string();
    Result<void, std::string> lex_number();
    Result<void, std::string> lex_word();
    Result<void, std::string> lex_regex();

    std::vector<AwkToken> tokens_;
    std::string_view text_;
    std::size_t pos_ = 0;
    bool regex_allowed_ = true;
};

}  // namespace tw
