#include "python/front/lexer.h"
#include "base/utf8.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>

#include <fmt/format.h>
#include <gmp.h>

#include "base/panic.h"

namespace tw {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the UTF-8 character at p (p < end). Invalid bytes read as U+FFFD, one byte each.
inline std::size_t decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& out) {
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t avail = static_cast<std::size_t>(end - p);
    auto cont = [&](std::size_t i) { return i < avail && (p[i] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
        out = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
        if ((b0 == 0xE0 && p[1] < 0xA0) || (b0 == 0xED && p[1] > 0x9F)) {
            out = kReplacement;
            return 1;
        }
        out = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4 && cont(1) && cont(2) && cont(3)) {
        if ((b0 == 0xF0 && p[1] < 0x90) || (b0 == 0xF4 && p[1] > 0x8F)) {
            out = kReplacement;
            return 1;
        }
        out = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
              (p[3] & 0x3F);
        return 4;
    }
    out = kReplacement;
    return 1;
}


// Appends `text`, each invalid UTF-8 byte replaced by U+FFFD.
void append_lossy(std::string& out, std::string_view text) {
    auto* p = reinterpret_cast<const unsigned char*>(text.data());
    auto* end = p + text.size();
    while (p < end) {
        const unsigned char* run = p;
        while (p < end && *p < 0x80) ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end)
            break;
        char32_t c;
        std::size_t n = decode_utf8(p, end, c);
        if (c == kReplacement && n == 1)
            utf8_append(out, kReplacement);
        else
            out.append(reinterpret_cast<const char*>(p), n);
        p += n;
    }
}

inline bool is_ascii_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_name_char(int c) { return is_ascii_alpha(c) || is_ascii_digit(c) || c == '_'; }
inline bool is_octal_digit(int c) { return c >= '0' && c <= '7'; }
inline int hex_value(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
inline int digit_value(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Characters that a quoted character literal shows as \u{...}: controls, format characters,
// separators other than the blank, private use, non-characters and combining marks.
bool char_is_printable(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD)
        return false;
    if (c < 0x300)
        return c != 0xA0;
    if (c <= 0x36F)
        return false;  // combining diacritical marks
    if ((c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F || c == 0x1680 || c == 0x180E)
        return false;
    if ((c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || c == 0x205F || (c >= 0x2060 && c <= 0x206F))
        return false;
    if (c == 0x3000 || (c >= 0xD800 && c <= 0xF8FF) || (c >= 0xFDD0 && c <= 0xFDEF) || c == 0xFEFF ||
        (c >= 0xFFF9 && c <= 0xFFFB))
        return false;
    if ((c & 0xFFFE) == 0xFFFE || c >= 0xF0000 || (c >= 0xE0000 && c <= 0xE0FFF))
        return false;
    return true;
}

// The keywords by first letter.
TokenKind keyword_kind(std::string_view s) {
    auto is = [&](std::string_view k) { return s == k; };
    switch (s[0]) {
    case 'F': return is("False") ? TokenKind::KwFalse : TokenKind::Name;
    case 'N': return is("None") ? TokenKind::KwNone : TokenKind::Name;
    case 'T': return is("True") ? TokenKind::KwTrue : TokenKind::Name;
    case 'a':
        if (is("and")) return TokenKind::KwAnd;
        if (is("as")) return TokenKind::KwAs;
        if (is("assert")) return TokenKind::KwAssert;
        if (is("async")) return TokenKind::KwAsync;
        if (is("await")) return TokenKind::KwAwait;
        return TokenKind::Name;
    case 'b': return is("break") ? TokenKind::KwBreak : TokenKind::Name;
    case 'c':
        if (is("class")) return TokenKind::KwClass;
        if (is("continue")) return TokenKind::KwContinue;
        return TokenKind::Name;
    case 'd':
        if (is("def")) return TokenKind::KwDef;
        if (is("del")) return TokenKind::KwDel;
        return TokenKind::Name;
    case 'e':
        if (is("elif")) return TokenKind::KwElif;
        if (is("else")) return TokenKind::KwElse;
        if (is("except")) return TokenKind::KwExcept;
        return TokenKind::Name;
    case 'f':
        if (is("for")) return TokenKind::KwFor;
        if (is("from")) return TokenKind::KwFrom;
        if (is("finally")) return TokenKind::KwFinally;
        return TokenKind::Name;
    case 'g': return is("global") ? TokenKind::KwGlobal : TokenKind::Name;
    case 'i':
        if (is("if")) return TokenKind::KwIf;
        if (is("import")) return TokenKind::KwImport;
        if (is("in")) return TokenKind::KwIn;
        if (is("is")) return TokenKind::KwIs;
        return TokenKind::Name;
    case 'l': return is("lambda") ? TokenKind::KwLambda : TokenKind::Name;
    case 'n':
        if (is("not")) return TokenKind::KwNot;
        if (is("nonlocal")) return TokenKind::KwNonlocal;
        return TokenKind::Name;
    case 'o': return is("or") ? TokenKind::KwOr : TokenKind::Name;
    case 'p': return is("pass") ? TokenKind::KwPass : TokenKind::Name;
    case 'r':
        if (is("return")) return TokenKind::KwReturn;
        if (is("raise")) return TokenKind::KwRaise;
        return TokenKind::Name;
    case 't': return is("try") ? TokenKind::KwTry : TokenKind::Name;
    case 'w':
        if (is("while")) return TokenKind::KwWhile;
        if (is("with")) return TokenKind::KwWith;
        return TokenKind::Name;
    case 'y': return is("yield") ? TokenKind::KwYield : TokenKind::Name;
    default: return TokenKind::Name;
    }
}

constexpr std::string_view kUnterminatedEscape = "unterminated escape sequence";
constexpr std::string_view kTruncatedHex = "truncated hexadecimal string escape";
constexpr std::string_view kNotScalar = "string escape is not a Unicode scalar value";
constexpr std::string_view kNamedEscape = "\\N{...} escapes are not supported";

class Lexer {
public:
    explicit Lexer(std::string_view source)
        : src_(reinterpret_cast<const unsigned char*>(source.data())),
          size_(source.size()) {
        indent_stack_.push_back(0);
        tokens_.reserve(source.size() / 5 + 16);
    }

    [[nodiscard]] bool run();
    TokenList take_tokens() { return std::move(tokens_); }
    SyntaxError take_error() { return std::move(error_); }

private:
    // -- reading ------------------------------------------------------------------------------
    bool at_end() const { return position_ >= size_; }
    // The byte `k` places after the current position, or -1 past the end.
    int byte_at(std::size_t k = 0) const {
        return position_ + k < size_ ? static_cast<int>(src_[position_ + k]) : -1;
    }
    // Moves past one ASCII character other than a line feed.
    void advance_ascii(std::size_t n = 1) {
        position_ += n;
        column_ += n;
    }
    void advance_newline() {
        ++position_;
        ++line_;
        column_ = 1;
    }
    // Moves past the character at the position, whatever it is; returns it.
    char32_t advance_char() {
        if (at_end())
            return 0;
        char32_t c;
        std::size_t n = decode_utf8(src_ + position_, src_ + size_, c);
        position_ += n;
        if (c == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        return c;
    }
    char32_t peek_char() const {
        if (at_end())
            return 0;
        char32_t c;
        decode_utf8(src_ + position_, src_ + size_, c);
        return c;
    }
    std::string_view text(std::size_t from, std::size_t to) const {
        return std::string_view(reinterpret_cast<const char*>(src_) + from, to - from);
    }

    // -- tokens and errors --------------------------------------------------------------------
    void mark_start() {
        tok_pos_ = position_;
        tok_line_ = line_;
        tok_col_ = column_;
    }
    SourceSpan token_span() const { return SourceSpan{tok_pos_, position_, tok_line_, tok_col_}; }
    Token& emit(TokenKind kind) {
        Token& t = tokens_.emplace_back();
        t.kind = kind;
        t.span = token_span();
        return t;
    }
    // Records the error (from the token start to the position) and answers false; every
    // scanner answers false on failure and the main loop stops at the first.
    bool fail(std::string_view message) {
        error_ = SyntaxError{std::string(message), token_span()};
        return false;
    }

    // -- scanners -----------------------------------------------------------------------------
    [[nodiscard]] bool indentation();
    [[nodiscard]] bool name();
    [[nodiscard]] bool op(int c);
    [[nodiscard]] bool number();
    // Sets `consumed` to whether the run consumed anything.
    [[nodiscard]] bool digit_run(bool& consumed);
    [[nodiscard]] bool plain_string(std::size_t prefix);
    [[nodiscard]] bool raw_string(std::size_t prefix);
    // Raw bytes keep each backslash and the character after it.
    [[nodiscard]] bool bytes_literal(std::size_t prefix, bool raw);
    [[nodiscard]] bool fstring(std::size_t prefix, bool raw);
    // Consumes the prefix and the opening quote; returns the quote and whether it is tripled.
    std::pair<int, bool> open_quote(std::size_t prefix);
    // At a quote equal to `quote`: true (and consumed) when it closes the literal.
    bool closes(int quote, bool triple);
    void string_char(std::string& out);

    const unsigned char* src_;
    std::size_t size_;
    std::vector<std::uint64_t> indent_stack_;
    std::size_t position_ = 0;
    std::uint64_t line_ = 1;
    std::uint64_t column_ = 1;
    std::uint64_t bracket_depth_ = 0;
    bool at_line_start_ = true;

    std::size_t tok_pos_ = 0;
    std::uint64_t tok_line_ = 1;
    std::uint64_t tok_col_ = 1;

    TokenList tokens_;
    SyntaxError error_;
};

bool Lexer::indentation() {
    mark_start();
    std::uint64_t width = 0;
    for (;;) {
        int c = byte_at();
        if (c == ' ') {
            ++width;
        } else if (c == '\t') {
            width = width / 8 * 8 + 8;
        } else if (c == '\f') {
            width = 0;
        } else {
            break;
        }
        advance_ascii();
    }
    int c = byte_at();
    if (c == -1 || c == '\n' || c == '#')
        return true;  // blank or comment-only line
    at_line_start_ = false;
    expect(!indent_stack_.empty(), "python lexer indent stack is empty");
    if (width > indent_stack_.back()) {
        indent_stack_.push_back(width);
        emit(TokenKind::Indent);
    } else if (width < indent_stack_.back()) {
        while (width < indent_stack_.back()) {
            indent_stack_.pop_back();
            emit(TokenKind::Dedent);
            expect(!indent_stack_.empty(), "python lexer indent stack is empty");
        }
        if (width != indent_stack_.back())
            return fail("unindent does not match an outer indentation level");
    }
    return true;
}

bool Lexer::name() {
    std::size_t from = position_;
    std::size_t end = position_ + 1;
    while (end < size_ && is_name_char(src_[end])) ++end;
    advance_ascii(end - from);
    std::string_view s = text(from, end);
    TokenKind kind = keyword_kind(s);
    Token& t = emit(kind);
    if (kind == TokenKind::Name)
        t.text.assign(s);
    return true;
}

bool Lexer::op(int c) {
    auto next_is = [&](int k, int want) { return byte_at(k) == want; };
    auto one = [&](TokenKind k) {
        advance_ascii(1);
        emit(k);
        return true;
    };
    auto two = [&](TokenKind k) {
        advance_ascii(2);
        emit(k);
        return true;
    };
    auto three = [&](TokenKind k) {
        advance_ascii(3);
        emit(k);
        return true;
    };
    switch (c) {
    case '+': return next_is(1, '=') ? two(TokenKind::PlusEqual) : one(TokenKind::Plus);
    case '-':
        if (next_is(1, '>')) return two(TokenKind::Arrow);
        return next_is(1, '=') ? two(TokenKind::MinusEqual) : one(TokenKind::Minus);
    case '*':
        if (next_is(1, '*')) return next_is(2, '=') ? three(TokenKind::DoubleStarEqual) : two(TokenKind::DoubleStar);
        return next_is(1, '=') ? two(TokenKind::StarEqual) : one(TokenKind::Star);
    case '/':
        if (next_is(1, '/')) return next_is(2, '=') ? three(TokenKind::DoubleSlashEqual) : two(TokenKind::DoubleSlash);
        return next_is(1, '=') ? two(TokenKind::SlashEqual) : one(TokenKind::Slash);
    case '%': return next_is(1, '=') ? two(TokenKind::PercentEqual) : one(TokenKind::Percent);
    case '&': return next_is(1, '=') ? two(TokenKind::AmpersandEqual) : one(TokenKind::Ampersand);
    case '^': return next_is(1, '=') ? two(TokenKind::CaretEqual) : one(TokenKind::Caret);
    case '|': return next_is(1, '=') ? two(TokenKind::PipeEqual) : one(TokenKind::Pipe);
    case '@': return next_is(1, '=') ? two(TokenKind::AtEqual) : one(TokenKind::At);
    case '=': return next_is(1, '=') ? two(TokenKind::EqualEqual) : one(TokenKind::Equal);
    case '<':
        if (next_is(1, '<')) return next_is(2, '=') ? three(TokenKind::LeftShiftEqual) : two(TokenKind::LeftShift);
        return next_is(1, '=') ? two(TokenKind::LessEqual) : one(TokenKind::Less);
    case '>':
        if (next_is(1, '>')) return next_is(2, '=') ? three(TokenKind::RightShiftEqual) : two(TokenKind::RightShift);
        return next_is(1, '=') ? two(TokenKind::GreaterEqual) : one(TokenKind::Greater);
    case ':': return next_is(1, '=') ? two(TokenKind::ColonEqual) : one(TokenKind::Colon);
    case '!':
        if (next_is(1, '=')) return two(TokenKind::NotEqual);
        advance_ascii(1);
        return fail("expected '=' after '!'");
    case '~': return one(TokenKind::Tilde);
    case ',': return one(TokenKind::Comma);
    case ';': return one(TokenKind::Semicolon);
    case '(':
        ++bracket_depth_;
        return one(TokenKind::LeftParen);
    case '[':
        ++bracket_depth_;
        return one(TokenKind::LeftBracket);
    case '{':
        ++bracket_depth_;
        return one(TokenKind::LeftBrace);
    case ')':
    case ']':
    case '}': {
        advance_ascii(1);
        if (bracket_depth_ == 0)
            return fail("unmatched closing delimiter");
        --bracket_depth_;
        emit(c == ')' ? TokenKind::RightParen : c == ']' ? TokenKind::RightBracket : TokenKind::RightBrace);
        return true;
    }
    default: {
        char32_t ch = advance_char();
        return fail(fmt::format("unexpected character {}", py_char_literal(ch)));
    }
    }
}

// -- numbers ---------------------------------------------------------------------------------

bool Lexer::digit_run(bool& consumed) {
    std::size_t from = position_;
    for (;;) {
        int c = byte_at();
        if (is_ascii_digit(c)) {
            advance_ascii();
        } else if (c == '_') {
            bool misplaced = position_ == from || src_[position_ - 1] == '_';
            advance_ascii();
            if (misplaced)
                return fail("invalid decimal literal: misplaced underscore");
        } else {
            break;
        }
    }
    if (position_ > from && src_[position_ - 1] == '_')
        return fail("invalid decimal literal: trailing underscore");
    consumed = position_ > from;
    return true;
}

// The value of a decimal text of digits, '.', exponent (no underscores); correctly rounded,
// infinity when too large.
double decimal_to_double(std::string_view s) {
    double v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: decide by the decimal order of magnitude.
        std::size_t epos = s.find_first_of("eE");
        std::string_view mant = s.substr(0, epos);
        long long exp = 0;
        if (epos != std::string_view::npos) {
            std::string_view e = s.substr(epos + 1);
            bool neg = !e.empty() && e[0] == '-';
            if (!e.empty() && (e[0] == '-' || e[0] == '+'))
                e.remove_prefix(1);
            for (char c : e) {
                exp = exp * 10 + (c - '0');
                if (exp > 100000000)
                    break;
            }
            if (neg)
                exp = -exp;
        }
        std::size_t dot = mant.find('.');
        std::string_view int_part = mant.substr(0, dot);
        std::size_t first_nonzero = int_part.find_first_not_of('0');
        long long order;
        if (first_nonzero != std::string_view::npos) {
            order = static_cast<long long>(int_part.size() - first_nonzero);
        } else {
            std::string_view frac = dot == std::string_view::npos ? std::string_view() : mant.substr(dot + 1);
            std::size_t nz = frac.find_first_not_of('0');
            order = nz == std::string_view::npos ? -1000000000 : -static_cast<long long>(nz);
        }
        return order + exp > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return v;
}

bool Lexer::number() {
    int c0 = byte_at();
    int c1 = byte_at(1);
    if (c0 == '0' && (c1 == 'b' || c1 == 'B' || c1 == 'o' || c1 == 'O' || c1 == 'x' || c1 == 'X')) {
        unsigned radix = (c1 == 'b' || c1 == 'B') ? 2 : (c1 == 'o' || c1 == 'O') ? 8 : 16;
        advance_ascii(2);
        std::size_t from = position_;
        for (;;) {
            int c = byte_at();
            if (c == '_' || (c != -1 && static_cast<unsigned>(digit_value(c)) < radix))
                advance_ascii();
            else
                break;
        }
        std::string_view digits = text(from, position_);
        if (digits.empty() || digits == "_" || digits.back() == '_' || digits.find("__") != std::string_view::npos)
            return fail("invalid prefixed integer literal");
        if (digits[0] == '_')
            digits.remove_prefix(1);
        std::string clean;
        if (digits.find('_') != std::string_view::npos) {
            for (char ch : digits)
                if (ch != '_')
                    clean += ch;
            digits = clean;
        }
        auto value = lex_big_integer_literal(digits, radix);
        if (!value)
            return fail("invalid prefixed integer literal");
        if (value->big) {
            emit(TokenKind::BigInt).text = std::move(value->digits);
        } else {
            emit(TokenKind::Int).int_value = value->value;
        }
        return true;
    }

    std::size_t from = position_;
    bool is_float = false;
    bool consumed = false;
    if (c0 == '.') {
        advance_ascii();
        if (!digit_run(consumed))
            return false;
        is_float = true;
    } else {
        if (!digit_run(consumed))
            return false;
        if (byte_at() == '.') {
            if (byte_at(1) == '_') {
                advance_ascii(2);
                return fail("invalid decimal literal: misplaced underscore");
            }
            advance_ascii();
            if (is_ascii_digit(byte_at()) && !digit_run(consumed))
                return false;
            is_float = true;
        }
    }
    int e = byte_at();
    if (e == 'e' || e == 'E') {
        advance_ascii();
        if (byte_at() == '+' || byte_at() == '-')
            advance_ascii();
        if (!digit_run(consumed))
            return false;
        if (!consumed)
            return fail("invalid decimal literal: exponent requires digits");
        is_float = true;
    }
    std::string_view literal = text(from, position_);
    std::string clean;
    if (literal.find('_') != std::string_view::npos) {
        for (char ch : literal)
            if (ch != '_')
                clean += ch;
        literal = clean;
    }
    int j = byte_at();
    if (j == 'j' || j == 'J') {
        advance_ascii();
        emit(TokenKind::Imaginary).float_value = decimal_to_double(literal);
        return true;
    }
    if (is_float) {
        emit(TokenKind::Float).float_value = decimal_to_double(literal);
        return true;
    }
    auto value = lex_big_integer_literal(literal, 10);
    expect(value.has_value(), "python lexer: decimal digit run did not convert");
    if (value->big)
        emit(TokenKind::BigInt).text = std::move(value->digits);
    else
        emit(TokenKind::Int).int_value = value->value;
    return true;
}

// -- string literals -------------------------------------------------------------------------

std::pair<int, bool> Lexer::open_quote(std::size_t prefix) {
    advance_ascii(prefix);
    int quote = byte_at();
    expect(quote == '"' || quote == '\'', "python lexer: literal scanner entered without a quote");
    advance_ascii();
    if (byte_at() == quote && byte_at(1) == quote) {
        advance_ascii(2);
        return {quote, true};
    }
    return {quote, false};
}

bool Lexer::closes(int quote, bool triple) {
    if (!triple) {
        advance_ascii();
        return true;
    }
    if (byte_at(1) == quote && byte_at(2) == quote) {
        advance_ascii(3);
        return true;
    }
    return false;
}

// Appends the character at the position (ASCII or not) to `out` and moves past it; an invalid
// byte is stored as U+FFFD.
void Lexer::string_char(std::string& out) {
    int c = byte_at();
    if (c < 0x80) {
        out += static_cast<char>(c);
        if (c == '\n')
            advance_newline();
        else
            advance_ascii();
        return;
    }
    char32_t ch;
    std::size_t n = decode_utf8(src_ + position_, src_ + size_, ch);
    if (ch == kReplacement && n == 1)
        utf8_append(out, kReplacement);
    else
        out.append(reinterpret_cast<const char*>(src_ + position_), n);
    position_ += n;
    ++column_;
}

bool Lexer::plain_string(std::size_t prefix) {
    auto [quote, triple] = open_quote(prefix);
    std::string out;
    for (;;) {
        // Copy a run of ordinary ASCII characters at once.
        std::size_t run = position_;
        while (run < size_) {
            unsigned char b = src_[run];
            if (b == quote || b == '\\' || b == '\n' || b >= 0x80)
                break;
            ++run;
        }
        if (run > position_) {
            out.append(text(position_, run));
            advance_ascii(run - position_);
        }
        int c = byte_at();
        if (c == -1)
            return fail("unterminated string literal");
        if (c == quote) {
            if (closes(quote, triple))
                break;
            out += static_cast<char>(c);
            advance_ascii();
        } else if (c == '\n') {
            if (!triple)
                return fail("unterminated string literal");
            out += '\n';
            advance_newline();
        } else if (c == '\\') {
            advance_ascii();
            std::size_t used = 0;
            auto r = py_decode_str_escape(text(position_, size_), out, &used);
            std::size_t n = r ? *r : used;
            for (std::size_t i = 0; i < n; ++i) advance_char();
            if (!r)
                return fail(r.error());
        } else {
            string_char(out);
        }
    }
    emit(TokenKind::String).text = std::move(out);
    return true;
}

bool Lexer::raw_string(std::size_t prefix) {
    auto [quote, triple] = open_quote(prefix);
    std::string out;
    for (;;) {
        int c = byte_at();
        if (c == -1)
            return fail("unterminated raw string literal");
        if (c == quote) {
            if (closes(quote, triple))
                break;
            out += static_cast<char>(c);
            advance_ascii();
        } else if (c == '\n') {
            if (!triple)
                return fail("unterminated raw string literal");
            out += '\n';
            advance_newline();
        } else if (c == '\\') {
            out += '\\';
            advance_ascii();
            if (at_end())
                return fail("unterminated raw string literal");
            string_char(out);
        } else {
            string_char(out);
        }
    }
    emit(TokenKind::String).text = std::move(out);
    return true;
}

bool Lexer::bytes_literal(std::size_t prefix, bool raw) {
    const char* const unterminated = raw ? "unterminated raw bytes literal" : "unterminated bytes literal";
    auto [quote, triple] = open_quote(prefix);
    std::string out;
    for (;;) {
        int c = byte_at();
        if (c == -1)
            return fail(unterminated);
        if (c >= 0x80)
            return fail("bytes literals must contain ASCII");
        if (c == quote) {
            if (closes(quote, triple))
                break;
            out += static_cast<char>(c);
            advance_ascii();
        } else if (c == '\n') {
            if (!triple)
                return fail(unterminated);
            out += '\n';
            advance_newline();
        } else if (c == '\\' && raw) {
            out += '\\';
            advance_ascii();
            int e = byte_at();
            if (e == -1)
                return fail(unterminated);
            if (e >= 0x80)
                return fail("bytes literals must contain ASCII");
            out += static_cast<char>(e);
            if (e == '\n')
                advance_newline();
            else
                advance_ascii();
        } else if (c == '\\') {
            advance_ascii();
            int e = byte_at();
            if (e == -1)
                return fail("unterminated bytes escape");
            if (e >= 0x80)
                return fail("bytes literals must contain ASCII");
            switch (e) {
            case '\n': advance_newline(); continue;
            case '"':
            case '\'':
            case '\\': out += static_cast<char>(e); break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case 'x': {
                advance_ascii();
                int h1 = byte_at();
                int v1 = h1 == -1 ? -1 : hex_value(h1);
                if (h1 != -1)
                    advance_char();
                int h2 = byte_at();
                int v2 = h2 == -1 ? -1 : hex_value(h2);
                if (h1 != -1 && h2 != -1)
                    advance_char();
                if (v1 < 0 || v2 < 0 || h1 == -1 || h2 == -1)
                    return fail("invalid hexadecimal bytes escape");
                int value = v1 * 16 + v2;
                expect(value <= 0xFF, "python lexer: two hex digits exceed a byte");
                out += static_cast<char>(value);
                continue;
            }
            default:
                if (is_octal_digit(e)) {
                    int value = 0;
                    for (int i = 0; i < 3 && is_octal_digit(byte_at()); ++i) {
                        value = value * 8 + (byte_at() - '0');
                        advance_ascii();
                    }
                    if (value > 0xFF)
                        return fail("octal bytes escape is out of range");
                    out += static_cast<char>(value);
                    continue;
                }
                out += '\\';
                out += static_cast<char>(e);
                break;
            }
            advance_ascii();
        } else {
            out += static_cast<char>(c);
            advance_ascii();
        }
    }
    emit(TokenKind::Bytes).text = std::move(out);
    return true;
}

// The lexer only finds the end of an f-string; its body is parsed later. A backslash takes the
// character after it along in raw f-strings too, so that an escaped quote never closes the
// literal (the same rule as raw strings).
bool Lexer::fstring(std::size_t prefix, bool raw) {
    auto [quote, triple] = open_quote(prefix);
    std::size_t body_start = position_;
    std::size_t body_end;
    for (;;) {
        int c = byte_at();
        if (c == -1)
            return fail("unterminated f-string literal");
        if (c == quote) {
            body_end = position_;
            if (closes(quote, triple))
                break;
            advance_ascii();
        } else if (c == '\n') {
            if (!triple)
                return fail("unterminated f-string literal");
            advance_newline();
        } else if (c == '\\') {
            advance_ascii();
            if (at_end())
                return fail(raw ? "unterminated f-string literal" : kUnterminatedEscape);
            advance_char();
        } else {
            advance_char();
        }
    }
    Token& t = emit(TokenKind::FString);
    t.raw = raw;
    append_lossy(t.text, text(body_start, body_end));
    return true;
}

bool Lexer::run() {
    for (;;) {
        if (at_line_start_ && bracket_depth_ == 0 && !indentation())
            return false;
        if (at_end())
            break;
        int c = src_[position_];
        if (c == ' ' || c == '\t') {
            advance_ascii();
            continue;
        }
        mark_start();
        bool ok = true;
        switch (c) {
        case '\n':
            advance_newline();
            if (bracket_depth_ == 0) {
                at_line_start_ = true;
                emit(TokenKind::Newline);
            }
            break;
        case '#': {
            std::size_t end = position_;
            while (end < size_ && src_[end] != '\n') ++end;
            // Columns count characters: a comment may hold any text.
            while (position_ < end) advance_char();
            break;
        }
        case '\\':
            if (byte_at(1) == '\n') {
                advance_ascii();
                advance_newline();
                break;
            }
            advance_ascii();
            return fail(fmt::format("unexpected character {}", py_char_literal('\\')));
        case '"':
        case '\'':
            ok = plain_string(0);
            break;
        case 'u':
        case 'U': {
            int q = byte_at(1);
            if (q == '"' || q == '\'')
                ok = plain_string(1);
            else
                ok = name();
            break;
        }
        case 'b':
        case 'B': {
            int n1 = byte_at(1);
            int n2 = byte_at(2);
            if ((n1 == 'r' || n1 == 'R') && (n2 == '"' || n2 == '\''))
                ok = bytes_literal(2, true);
            else if (n1 == '"' || n1 == '\'')
                ok = bytes_literal(1, false);
            else
                ok = name();
            break;
        }
        case 'r':
        case 'R': {
            int n1 = byte_at(1);
            int n2 = byte_at(2);
            bool q2 = n2 == '"' || n2 == '\'';
            if ((n1 == 'f' || n1 == 'F') && q2)
                ok = fstring(2, true);
            else if ((n1 == 'b' || n1 == 'B') && q2)
                ok = bytes_literal(2, true);
            else if (n1 == '"' || n1 == '\'')
                ok = raw_string(1);
            else
                ok = name();
            break;
        }
        case 'f':
        case 'F': {
            int n1 = byte_at(1);
            int n2 = byte_at(2);
            if (n1 == '"' || n1 == '\'')
                ok = fstring(1, false);
            else if ((n1 == 'r' || n1 == 'R') && (n2 == '"' || n2 == '\''))
                ok = fstring(2, true);
            else
                ok = name();
            break;
        }
        case '.':
            if (is_ascii_digit(byte_at(1))) {
                ok = number();
            } else if (byte_at(1) == '.' && byte_at(2) == '.') {
                advance_ascii(3);
                emit(TokenKind::Ellipsis);
            } else {
                advance_ascii();
                emit(TokenKind::Dot);
            }
            break;
        default:
            if (is_ascii_digit(c))
                ok = number();
            else if (is_ascii_alpha(c) || c == '_')
                ok = name();
            else
                ok = op(c);
            break;
        }
        if (!ok)
            return false;
    }

    mark_start();
    if (bracket_depth_ != 0)
        return fail("unclosed delimiter");
    if (!tokens_.empty() && tokens_.back().kind != TokenKind::Newline)
        emit(TokenKind::Newline);
    while (indent_stack_.size() > 1) {
        indent_stack_.pop_back();
        emit(TokenKind::Dedent);
    }
    emit(TokenKind::EndOfFile);
    return true;
}

}  // namespace

Result<TokenList, SyntaxError> py_tokenize(std::string_view source) {
    std::string normalised;
    if (source.find('\r') != std::string_view::npos) {
        normalised.reserve(source.size());
        for (std::size_t i = 0; i < source.size(); ++i) {
            char c = source[i];
            if (c == '\r') {
                normalised += '\n';
                if (i + 1 < source.size() && source[i + 1] == '\n')
                    ++i;
            } else {
                normalised += c;
            }
        }
        source = normalised;
    }
    Lexer lexer(source);
    if (!lexer.run())
        return std::unexpected(lexer.take_error());
    return lexer.take_tokens();
}

std::optional<IntegerLiteral> lex_big_integer_literal(std::string_view digits, unsigned radix) {
    if (digits.empty() || radix < 2 || radix > 36)
        return std::nullopt;
    // Small values without the big-integer library.
    std::uint64_t value = 0;
    bool overflow = false;
    for (char c : digits) {
        unsigned d = static_cast<unsigned>(digit_value(static_cast<unsigned char>(c)));
        if (d >= radix)
            return std::nullopt;
        if (!overflow) {
            if (value > (std::numeric_limits<std::uint64_t>::max() - d) / radix)
                overflow = true;
            else
                value = value * radix + d;
        }
    }
    if (!overflow && value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return IntegerLiteral{false, static_cast<std::int64_t>(value), {}};

    std::string text(digits);
    mpz_t big;
    mpz_init(big);
    int rc = mpz_set_str(big, text.c_str(), static_cast<int>(radix));
    expect(rc == 0, "python lexer: validated digits did not convert");
    std::string decimal(mpz_sizeinbase(big, 10) + 2, '\0');
    mpz_get_str(decimal.data(), 10, big);
    decimal.resize(std::char_traits<char>::length(decimal.c_str()));
    mpz_clear(big);
    return IntegerLiteral{true, 0, std::move(decimal)};
}

Result<std::size_t, std::string_view> py_decode_str_escape(std::string_view rest, std::string& out,
                                                           std::size_t* consumed_on_error) {
    auto failed = [&](std::size_t consumed, std::string_view message) -> Result<std::size_t, std::string_view> {
        if (consumed_on_error)
            *consumed_on_error = consumed;
        return std::unexpected(message);
    };
    if (rest.empty())
        return failed(0, kUnterminatedEscape);
    char c = rest[0];
    switch (c) {
    case '\n': return 1;
    case '"':
    case '\'':
    case '\\': out += c; return 1;
    case 'a': out += '\a'; return 1;
    case 'b': out += '\b'; return 1;
    case 'f': out += '\f'; return 1;
    case 'n': out += '\n'; return 1;
    case 'r': out += '\r'; return 1;
    case 't': out += '\t'; return 1;
    case 'v': out += '\v'; return 1;
    case 'N': return failed(1, kNamedEscape);
    case 'x':
    case 'u':
    case 'U': {
        std::size_t want = c == 'x' ? 2 : c == 'u' ? 4 : 8;
        std::uint32_t value = 0;
        std::size_t i = 1;
        for (; i <= want; ++i) {
            int h = i < rest.size() ? hex_value(static_cast<unsigned char>(rest[i])) : -1;
            if (h < 0)
                return failed(i, kTruncatedHex);
            value = value * 16 + static_cast<std::uint32_t>(h);
        }
        if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
            return failed(i, kNotScalar);
        utf8_append(out, value);
        return i;
    }
    default:
        if (is_octal_digit(static_cast<unsigned char>(c))) {
            std::uint32_t value = 0;
            std::size_t i = 0;
            for (; i < 3 && i < rest.size() && is_octal_digit(static_cast<unsigned char>(rest[i])); ++i)
                value = value * 8 + static_cast<std::uint32_t>(rest[i] - '0');
            expect(value <= 0777, "python lexer: three octal digits exceed 511");
            utf8_append(out, value);
            return i;
        }
        out += '\\';
        return 0;
    }
}

std::string py_char_literal(char32_t c) {
    switch (c) {
    case '\t': return "'\\t'";
    case '\r': return "'\\r'";
    case '\n': return "'\\n'";
    case '\'': return "'\\''";
    case '\\': return "'\\\\'";
    case 0: return "'\\0'";
    default: break;
    }
    if (!char_is_printable(c))
        return fmt::format("'\\u{{{:x}}}'", static_cast<std::uint32_t>(c));
    std::string out = "'";
    utf8_append(out, c);
    out += '\'';
    return out;
}

}  // namespace tw
