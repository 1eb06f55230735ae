#include <fmt/format.h>

#include "commands/jq/filter.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

namespace {

constexpr std::string_view kKindNames[] = {
    "Dot", "Dollar", "Identifier", "String", "Number", "Null", "True", "False", "If", "Then", "Else",
    "End", "And", "Or", "Pipe", "Comma", "Colon", "LeftParen", "RightParen", "LeftBracket",
    "RightBracket", "LeftBrace", "RightBrace", "Eq", "Ne", "Lt", "Le", "Gt", "Ge", "Plus", "Minus",
};

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

// Characters shown by their code in the display form: controls and invisible format characters.
bool shown_as_code(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF;
}

// The escape of one character in the display form; `quote` is the delimiter that is escaped.
void append_escaped(std::string& out, char32_t c, char32_t quote) {
    switch (c) {
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case 0: out += "\\0"; return;
    case '\\': out += "\\\\"; return;
    default: break;
    }
    if (c == quote) {
        out += '\\';
        out += static_cast<char>(c);
        return;
    }
    if (shown_as_code(c)) {
        out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        return;
    }
    utf8_append(out, c);
}

std::string char_display(char32_t c) {
    std::string out = "'";
    append_escaped(out, c, '\'');
    out += '\'';
    return out;
}

}  // namespace

std::string jq_quoted(std::string_view text) {
    std::string out = "\"";
    std::size_t pos = 0;
    while (pos < text.size()) append_escaped(out, utf8_next_char(text, pos), '"');
    out += '"';
    return out;
}

std::string jq_token_display(const JqToken& token) {
    const std::string_view name = kKindNames[static_cast<std::size_t>(token.kind)];
    switch (token.kind) {
    case JqTokenKind::Dollar:
    case JqTokenKind::Identifier:
    case JqTokenKind::String: return fmt::format("{}({})", name, jq_quoted(token.text));
    case JqTokenKind::Number: return fmt::format("Number(Number({}))", token.text);
    default: return std::string(name);
    }
}

std::string jq_token_display(const std::optional<JqToken>& token) {
    if (!token) return "None";
    return fmt::format("Some({})", jq_token_display(*token));
}

std::optional<char32_t> JqLexer::peek_char() const {
    if (pos_ >= text_.size()) return std::nullopt;
    std::size_t p = pos_;
    return utf8_next_char(text_, p);
}

std::optional<char32_t> JqLexer::peek_second_char() const {
    if (pos_ >= text_.size()) return std::nullopt;
    std::size_t p = pos_;
    utf8_next_char(text_, p);
    if (p >= text_.size()) return std::nullopt;
    return utf8_next_char(text_, p);
}

std::optional<char32_t> JqLexer::bump() {
    if (pos_ >= text_.size()) return std::nullopt;
    return utf8_next_char(text_, pos_);  // a byte that is not UTF-8 is U+FFFD and moves one byte
}

Result<std::string, std::string> JqLexer::identifier() {
    const auto first = peek_char();
    if (!first || !(*first == '_' || is_ascii_letter(*first))) return std::unexpected(std::string("expected identifier"));
    const std::size_t start = pos_;
    bump();
    while (const auto c = peek_char()) {
        if (!(*c == '_' || is_ascii_letter(*c) || is_ascii_digit(*c))) break;
        bump();
    }
    return std::string(text_.substr(start, pos_ - start));
}

Result<JqToken, std::string> JqLexer::number() {
    const std::size_t start = pos_;
    if (peek_char() == U'-') bump();
    while (const auto c = peek_char()) {
        if (!(is_ascii_digit(*c) || *c == '+' || *c == '-' || *c == '.' || *c == 'e' || *c == 'E')) break;
        bump();
    }
    const std::string_view lexeme = text_.substr(start, pos_ - start);
    auto value = json_read_one(lexeme);
    if (!value || !value->is_number()) return std::unexpected(fmt::format("invalid number {}", jq_quoted(lexeme)));
    return JqToken{JqTokenKind::Number, std::string(lexeme)};
}

Result<JqToken, std::string> JqLexer::string() {
    const std::size_t start = pos_;
    bump();
    bool escaped = false;
    for (;;) {
        const auto c = bump();
        if (!c) return std::unexpected(std::string("unterminated string"));
        if (escaped) {
            escaped = false;
        } else if (*c == '\\') {
            escaped = true;
        } else if (*c == '"') {
            break;
        }
    }
    auto value = json_read_one(text_.substr(start, pos_ - start));
    if (!value) return std::unexpected(fmt::format("invalid string: {}", value.error().text()));
    return JqToken{JqTokenKind::String, value->text()};
}

Result<std::vector<JqToken>, std::string> JqLexer::tokenize(std::string_view text) { return JqLexer(text).run(); }

Result<std::vector<JqToken>, std::string> JqLexer::run() {
    std::vector<JqToken> tokens;
    const auto single = [&](JqTokenKind kind) {
        bump();
        tokens.push_back({kind, {}});
    };
    const auto pair = [&](JqTokenKind kind) {
        bump();
        bump();
        tokens.push_back({kind, {}});
    };
    for (;;) {
        while (const auto c = peek_char()) {
            if (!is_white_space(*c)) break;
            bump();
        }
        const auto c = peek_char();
        if (!c) return tokens;
        switch (*c) {
        case '[': single(JqTokenKind::LeftBracket); continue;
        case ']': single(JqTokenKind::RightBracket); continue;
        case '{': single(JqTokenKind::LeftBrace); continue;
        case '}': single(JqTokenKind::RightBrace); continue;
        case '|': single(JqTokenKind::Pipe); continue;
        case '(': single(JqTokenKind::LeftParen); continue;
        case ')': single(JqTokenKind::RightParen); continue;
        case '+': single(JqTokenKind::Plus); continue;
        case ',': single(JqTokenKind::Comma); continue;
        case ':': single(JqTokenKind::Colon); continue;
        case '.': single(JqTokenKind::Dot); continue;
        case '=':
            if (peek_second_char() == U'=') {
                pair(JqTokenKind::Eq);
                continue;
            }
            break;
        case '!':
            if (peek_second_char() == U'=') {
                pair(JqTokenKind::Ne);
                continue;
            }
            break;
        case '<':
            if (peek_second_char() == U'=') pair(JqTokenKind::Le);
            else single(JqTokenKind::Lt);
            continue;
        case '>':
            if (peek_second_char() == U'=') pair(JqTokenKind::Ge);
            else single(JqTokenKind::Gt);
            continue;
        case '-': {
            const auto next = peek_second_char();
            if (!next || !is_ascii_digit(*next)) {
                single(JqTokenKind::Minus);
                continue;
            }
            auto token = number();
            if (!token) return std::unexpected(std::move(token.error()));
            tokens.push_back(std::move(*token));
            continue;
        }
        case '$': {
            bump();
            auto name = identifier();
            if (!name) return std::unexpected(std::move(name.error()));
            tokens.push_back({JqTokenKind::Dollar, std::move(*name)});
            continue;
        }
        case '"': {
            auto token = string();
            if (!token) return std::unexpected(std::move(token.error()));
            tokens.push_back(std::move(*token));
            continue;
        }
        default: break;
        }
        if (is_ascii_digit(*c)) {
            auto token = number();
            if (!token) return std::unexpected(std::move(token.error()));
            tokens.push_back(std::move(*token));
            continue;
        }
        if (*c == '_' || is_ascii_letter(*c)) {
            auto name = identifier();
            if (!name) return std::unexpected(std::move(name.error()));
            static constexpr std::pair<std::string_view, JqTokenKind> kKeywords[] = {
                {"null", JqTokenKind::Null}, {"true", JqTokenKind::True}, {"false", JqTokenKind::False},
                {"if", JqTokenKind::If},     {"then", JqTokenKind::Then}, {"else", JqTokenKind::Else},
                {"end", JqTokenKind::End},   {"and", JqTokenKind::And},   {"or", JqTokenKind::Or},
            };
            JqToken token{JqTokenKind::Identifier, std::move(*name)};
            for (const auto& [word, kind] : kKeywords)
                if (token.text == word) {
                    token.kind = kind;
                    token.text.clear();
                }
            tokens.push_back(std::move(token));
            continue;
        }
        return std::unexpected(fmt::format("unexpected character {}", char_display(*c)));
    }
}

}  // namespace tw
