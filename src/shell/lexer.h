// The shell lexer: source text to tokens.
//
// `shell_lex` decides where words end, which operators and redirections exist, where
// here-document bodies are, and reads the text between `[[` and `]]` as plain words. It does not
// interpret words: their texts stay raw (see shell/ast.h for what a raw word holds). It never
// stops at an error: it records the first one and reads on, so that the token list always ends
// with `End`. It also says whether the input is complete: `complete` is false when a
// here-document is still waiting for its delimiter line, or when the input ends with a line
// continuation (a backslash and a newline outside quotes). Callers that collect input line by line
// also read on after the errors UnexpectedEof and UnclosedQuote, which mean the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

enum class ShellTokenKind : std::uint8_t {
    Word,            // text; in [[ ]] also && || & | ( ) < >; "<(...)" and ">(...)" words
    Operator,        // text: && || ;; ;& ;;& |& ; & | ( ) and "\n"
    RedirectIn,      // <
    RedirectOut,     // > and >|
    RedirectAppend,  // >>
    HereDoc,         // << or <<-: text = the body, quoted = the delimiter was quoted, fd
    ArithCommand,    // ((...)) at the start of a token: text = what lies between
    HereString,      // <<< word: text = the word, fd
    DupOutput,       // >&N: fd = N (1 when nothing usable follows)
    CloseOutput,     // >&-
    FdRedirect,      // fd + operator text: < > >> <> >&- <&- >&X <&X &> &>>
    End,
};

// FdRedirect texts: "<", ">", ">>", "<>", ">&-", "<&-", "&>", "&>>", and ">&" or "<&" followed
// by what was written after them: digits (possibly none) or a raw word ("<&$fd"). Its fd is the
// number written before the operator (-1 when it does not fit in 32 bits); "<>" and "<&" without
// a number carry 0, "&>", "&>>" and ">&word" without a number carry 1. HereDoc and HereString
// carry 0 unless a number was written before them (`3<<EOF`).
struct ShellToken {
    ShellTokenKind kind = ShellTokenKind::End;
    std::string text;
    std::int32_t fd = 0;
    bool quoted = false;

    bool operator==(const ShellToken&) const = default;
};

// The error of the lexer and of the parser.
struct ShellParseError {
    enum class Kind : std::uint8_t { UnexpectedEof, UnexpectedToken, UnclosedQuote, TooDeep };
    Kind kind = Kind::TooDeep;
    std::string found;     // UnexpectedToken
    std::string expected;  // UnexpectedEof, UnexpectedToken
    char quote = 0;        // UnclosedQuote: ', " or `

    static ShellParseError unexpected_eof(std::string expected) {
        return {Kind::UnexpectedEof, {}, std::move(expected), 0};
    }
    static ShellParseError unexpected_token(std::string found, std::string expected) {
        return {Kind::UnexpectedToken, std::move(found), std::move(expected), 0};
    }
    static ShellParseError unclosed_quote(char quote) { return {Kind::UnclosedQuote, {}, {}, quote}; }
    static ShellParseError too_deep() { return {Kind::TooDeep, {}, {}, 0}; }

    bool operator==(const ShellParseError&) const = default;
};

// "unexpected end of file (expected {})", "unexpected token {} (expected {})",
// "unclosed {} quote", "commands are nested too deeply"; no line end.
std::string error_text(const ShellParseError& error);

struct ShellLexResult {
    std::vector<ShellToken> tokens;  // always ends with one End token
    bool complete = true;            // false when a here-document body or a continued line
                                     // ran into the end
    std::optional<ShellParseError> error;
};

ShellLexResult shell_lex(std::string_view source);

}  // namespace tw
