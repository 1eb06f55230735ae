#include "python/front/tokens.h"

#include <array>

#include <fmt/format.h>

namespace tw {

namespace {

struct KindInfo {
    std::string_view name;
    std::string_view text;
};

constexpr std::array<KindInfo, kTokenKindCount> kKinds{{
    {"Name", "identifier"},
    {"Int", "integer"},
    {"BigInt", "integer"},
    {"Float", "float"},
    {"Imaginary", "imaginary"},
    {"String", "str literal"},
    {"Bytes", "bytes literal"},
    {"FString", "f-string literal"},
    {"KwImport", "import"},
    {"KwFrom", "from"},
    {"KwAs", "as"},
    {"KwDel", "del"},
    {"KwNone", "None"},
    {"KwTrue", "True"},
    {"KwFalse", "False"},
    {"KwAnd", "and"},
    {"KwOr", "or"},
    {"KwNot", "not"},
    {"KwIn", "in"},
    {"KwIs", "is"},
    {"Plus", "+"},
    {"PlusEqual", "+="},
    {"Minus", "-"},
    {"MinusEqual", "-="},
    {"Arrow", "->"},
    {"Star", "*"},
    {"DoubleStar", "**"},
    {"StarEqual", "*="},
    {"DoubleStarEqual", "**="},
    {"Slash", "/"},
    {"DoubleSlash", "//"},
    {"SlashEqual", "/="},
    {"DoubleSlashEqual", "//="},
    {"Percent", "%"},
    {"PercentEqual", "%="},
    {"Ampersand", "&"},
    {"AmpersandEqual", "&="},
    {"Caret", "^"},
    {"CaretEqual", "^="},
    {"Tilde", "~"},
    {"Pipe", "|"},
    {"PipeEqual", "|="},
    {"Equal", "="},
    {"EqualEqual", "=="},
    {"NotEqual", "!="},
    {"Less", "<"},
    {"LeftShift", "<<"},
    {"LeftShiftEqual", "<<="},
    {"LessEqual", "<="},
    {"Greater", ">"},
    {"RightShift", ">>"},
    {"RightShiftEqual", ">>="},
    {"GreaterEqual", ">="},
    {"Dot", "."},
    {"Ellipsis", "..."},
    {"At", "@"},
    {"AtEqual", "@="},
    {"Comma", ","},
    {"LeftParen", "("},
    {"RightParen", ")"},
    {"LeftBracket", "["},
    {"RightBracket", "]"},
    {"LeftBrace", "{"},
    {"RightBrace", "}"},
    {"Colon", ":"},
    {"ColonEqual", ":="},
    {"Semicolon", ";"},
    {"Newline", "line end"},
    {"Indent", "indentation"},
    {"Dedent", "dedentation"},
    {"EndOfFile", "end of input"},
    {"KwIf", "if"},
    {"KwElif", "elif"},
    {"KwElse", "else"},
    {"KwWhile", "while"},
    {"KwFor", "for"},
    {"KwDef", "def"},
    {"KwClass", "class"},
    {"KwLambda", "lambda"},
    {"KwReturn", "return"},
    {"KwBreak", "break"},
    {"KwContinue", "continue"},
    {"KwGlobal", "global"},
    {"KwNonlocal", "nonlocal"},
    {"KwPass", "pass"},
    {"KwAssert", "assert"},
    {"KwTry", "try"},
    {"KwExcept", "except"},
    {"KwFinally", "finally"},
    {"KwRaise", "raise"},
    {"KwWith", "with"},
    {"KwYield", "yield"},
    {"KwAsync", "async"},
    {"KwAwait", "await"},
}};

// Escapes a text for the debug form: printable ASCII as is, the usual escapes, \xNN for other
// bytes.
std::string escape_for_debug(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7f)
                out += static_cast<char>(c);
            else
                out += fmt::format("\\x{:02x}", c);
        }
    }
    return out;
}

}  // namespace

std::string error_text(const SyntaxError& e) { return e.message; }

std::string_view token_kind_name(TokenKind kind) {
    auto i = static_cast<std::size_t>(kind);
    return i < kKinds.size() ? kKinds[i].name : std::string_view("?");
}

std::string_view token_kind_text(TokenKind kind) {
    auto i = static_cast<std::size_t>(kind);
    return i < kKinds.size() ? kKinds[i].text : std::string_view("?");
}

std::string token_debug(const Token& token) {
    auto name = token_kind_name(token.kind);
    switch (token.kind) {
    case TokenKind::Name:
    case TokenKind::BigInt:
        return fmt::format("{}({})", name, token.text);
    case TokenKind::Int:
        return fmt::format("{}({})", name, token.int_value);
    case TokenKind::Float:
    case TokenKind::Imaginary:
        return fmt::format("{}({})", name, token.float_value);
    case TokenKind::String:
    case TokenKind::Bytes:
        return fmt::format("{}(\"{}\")", name, escape_for_debug(token.text));
    case TokenKind::FString:
        return fmt::format("{}({}\"{}\")", name, token.raw ? "r" : "", escape_for_debug(token.text));
    default:
        return std::string(name);
    }
}

}  // namespace tw
