// Tokens of the Python front end, their positions and the front end's one error record.
//
// A `Token` is a `TokenKind` with its payload and its `SourceSpan`. Payloads:
//   Name      `text`: the identifier (ASCII letters, digits, "_")
//   Int       `int_value`: the value (signed 64-bit)
//   BigInt    `text`: the decimal digits of a larger integer (no sign, no underscores, no
//             leading zeros)
//   Float     `float_value`
//   Imaginary `float_value`: the imaginary part
//   String    `text`: the decoded text of a str literal (escapes applied; valid UTF-8)
//   Bytes     `text`: the bytes of a bytes literal (escapes applied)
//   FString   `text`: the body between the quotes exactly as written (escapes not applied,
//             fields not parsed); `raw` is set for the rf/fr prefixes
// Every other kind carries no payload (`text` empty, numbers 0).
//
// Spans: `start`/`end` are byte offsets into the normalised source (every "\r\n" and lone "\r"
// turned into "\n"); `line` and `column` are those of `start`, both from 1, the column counted in
// characters. A string literal's span starts at its prefix. Indent and Dedent span the leading
// blanks of their line (column 1); the closing Newline, Dedent and EndOfFile tokens carry the
// empty span at the end of the source.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

struct SourceSpan {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t line = 1;
    std::uint64_t column = 1;
    bool operator==(const SourceSpan&) const = default;
};

// The one error of the lexer and the parser: the message is the whole diagnosis.
struct SyntaxError {
    std::string message;
    SourceSpan span;
    bool operator==(const SyntaxError&) const = default;
};

// The message alone.
std::string error_text(const SyntaxError& e);

// The kinds in their fixed numbering 0..93.
enum class TokenKind : std::uint8_t {
    Name,
    Int,
    BigInt,
    Float,
    Imaginary,
    String,
    Bytes,
    FString,
    KwImport,
    KwFrom,
    KwAs,
    KwDel,
    KwNone,
    KwTrue,
    KwFalse,
    KwAnd,
    KwOr,
    KwNot,
    KwIn,
    KwIs,
    Plus,
    PlusEqual,
    Minus,
    MinusEqual,
    Arrow,
    Star,
    DoubleStar,
    StarEqual,
    DoubleStarEqual,
    Slash,
    DoubleSlash,
    SlashEqual,
    DoubleSlashEqual,
    Percent,
    PercentEqual,
    Ampersand,
    AmpersandEqual,
    Caret,
    CaretEqual,
    Tilde,
    Pipe,
    PipeEqual,
    Equal,
    EqualEqual,
    NotEqual,
    Less,
    LeftShift,
    LeftShiftEqual,
    LessEqual,
    Greater,
    RightShift,
    RightShiftEqual,
    GreaterEqual,
    Dot,
    Ellipsis,
    At,
    AtEqual,
    Comma,
    LeftParen,
    RightParen,
    LeftBracket,
    RightBracket,
    LeftBrace,
    RightBrace,
    Colon,
    ColonEqual,
    Semicolon,
    Newline,
    Indent,
    Dedent,
    EndOfFile,
    KwIf,
    KwElif,
    KwElse,
    KwWhile,
    KwFor,
    KwDef,
    KwClass,
    KwLambda,
    KwReturn,
    KwBreak,
    KwContinue,
    KwGlobal,
    KwNonlocal,
    KwPass,
    KwAssert,
    KwTry,
    KwExcept,
    KwFinally,
    KwRaise,
    KwWith,
    KwYield,
    KwAsync,
    KwAwait,
};

inline constexpr int kTokenKindCount = 94;

// The enumerator's name ("Name", "PlusEqual", "KwIf", ...).
std::string_view token_kind_name(TokenKind kind);

// The fixed source text of an operator, bracket or keyword ("+=", "(", "if"); for the kinds with
// a payload and for Newline, Indent, Dedent and EndOfFile a description ("identifier",
// "integer", "line end", "end of input", ...).
std::string_view token_kind_text(TokenKind kind);

// True for the 35 keyword kinds.
constexpr bool is_keyword(TokenKind kind) {
    return (kind >= TokenKind::KwImport && kind <= TokenKind::KwIs) ||
           (kind >= TokenKind::KwIf && kind <= TokenKind::KwAwait);
}

struct Token {
    TokenKind kind = TokenKind::EndOfFile;
    bool raw = false;              // FString: rf/fr prefix
    std::int64_t int_value = 0;    // Int
    double float_value = 0;        // Float, Imaginary
    std::string text;              // Name, BigInt, String, Bytes, FString
    SourceSpan span;
    bool operator==(const Token&) const = default;
};

// A one-line description for tests and diagnostics: the kind name and its payload, e.g.
// Name(x), Int(1), String("a\n"), FString(rf"{x}"), Colon.
std::string token_debug(const Token& token);

}  // namespace tw
