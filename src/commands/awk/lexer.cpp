#include "commands/awk/lexer.h"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/utf8.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

namespace {

using K = AwkTokenKind;

constexpr std::array<std::string_view, 53> kKindNames{
    "Ident", "Number", "String", "Regex", "Begin", "End", "If", "Else", "While", "For", "In", "Break",
    "Continue", "Delete", "Next", "NextFile", "Exit", "Print", "Printf", "LParen", "RParen", "LBrace",
    "RBrace", "LBracket", "RBracket", "Comma", "Semicolon", "Dollar", "Assign", "AddAssign", "SubAssign",
    "MulAssign", "DivAssign", "RemAssign", "Plus", "Minus", "Star", "Slash", "Percent", "PlusPlus",
    "MinusMinus", "Equal", "NotEqual", "Less", "LessEqual", "Greater", "GreaterEqual", "Match", "NotMatch",
    "And", "Or", "Not", "Eof",
};
static_assert(kKindNames.size() == static_cast<std::size_t>(K::Eof) + 1);

struct Keyword {
    std::string_view word;
    AwkTokenKind kind;
    bool regex_after;
};

constexpr std::array<Keyword, 15> kKeywords{{
    {"BEGIN", K::Begin, false}, {"END", K::End, false}, {"if", K::If, true}, {"else", K::Else, false},
    {"while", K::While, true}, {"for", K::For, true}, {"in", K::In, false}, {"break", K::Break, false},
    {"continue", K::Continue, false}, {"delete", K::Delete, true}, {"next", K::Next, false},
    {"nextfile", K::NextFile, false}, {"exit", K::Exit, true}, {"print", K::Print, true},
    {"printf", K::Printf, true},
}};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c); }

}  // namespace

std::string awk_float_display(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char buf[400];
    const double mag = std::fabs(x);
    if (mag != 0 && (mag >= 1e16 || mag < 1e-4)) {
        auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
        std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
        const std::size_t e = s.find('e');
        std::string out(s.substr(0, e));
        out += 'e';
        std::string_view exp = s.substr(e + 1);
        if (exp.front() == '+') exp.remove_prefix(1);
        else if (exp.front() == '-') {
            out += '-';
            exp.remove_prefix(1);
        }
        while (exp.size() > 1 && exp.front() == '0') exp.remove_prefix(1);
        out += exp;
        return out;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    std::string out(buf, static_cast<std::size_t>(r.ptr - buf));
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string awk_token_display(const AwkToken& token) {
    const std::string_view name = kKindNames[static_cast<std::size_t>(token.kind)];
    switch (token.kind) {
    case K::Ident:
    case K::String:
    case K::Regex: return fmt::format("{}({})", name, debug_quote(token.text));
    case K::Number: return fmt::format("{}({})", name, awk_float_display(token.number));
    default: return std::string(name);
    }
}

Result<std::vector<AwkToken>, std::string> AwkLexer::tokenize(std::string_view text) {
    AwkLexer lexer(text);
    if (auto ok = lexer.run(); !ok) return std::unexpected(std::move(ok.error()));
    return std::move(lexer.tokens_);
}

char32_t AwkLexer::bump() { return utf8_next_char(text_, pos_); }

void AwkLexer::push_token(AwkToken token, bool regex_allowed) {
    tokens_.push_back(std::move(token));
    regex_allowed_ = regex_allowed;
}

void AwkLexer::push_single(AwkTokenKind kind, bool regex_allowed) {
    ++pos_;
    push_kind(kind, regex_allowed);
}

void AwkLexer::op_or_assign(AwkTokenKind plain, AwkTokenKind assign) {
    ++pos_;
    if (peek_char() == '=') {
        ++pos_;
        push_kind(assign, true);
    } else {
        push_kind(plain, true);
    }
}

void AwkLexer::op_variants(AwkTokenKind plain, AwkTokenKind doubled, AwkTokenKind assign) {
    const char c = peek_char();
    ++pos_;
    if (peek_char() == c) {
        ++pos_;
        push_kind(doubled, false);
    } else if (peek_char() == '=') {
        ++pos_;
        push_kind(assign, true);
    } else {
        push_kind(plain, true);
    }
}

Result<void, std::string> AwkLexer::run() {
    while (!at_end()) {
        const char c = peek_char();
        Result<void, std::string> step{};
        switch (c) {
        case ' ':
        case '\t':
        case '\r': ++pos_; continue;
        case '\n':
        case ';': push_single(K::Semicolon, true); continue;
        case '#':
            while (!at_end() && peek_char() != '\n') ++pos_;
            continue;
        case '"': step = lex_string(); break;
        case '!':
            if (peek_second_char() == '=') {
                pos_ += 2;
                push_kind(K::NotEqual, true);
            } else if (peek_second_char() == '~') {
                pos_ += 2;
                push_kind(K::NotMatch, true);
            } else {
                push_single(K::Not, true);
            }
            continue;
        case '$': push_single(K::Dollar, true); continue;
        case '%': op_or_assign(K::Percent, K::RemAssign); continue;
        case '&':
            if (peek_second_char() != '&') break;
            pos_ += 2;
            push_kind(K::And, true);
            continue;
        case '|':
            if (peek_second_char() != '|') break;
            pos_ += 2;
            push_kind(K::Or, true);
            continue;
        case '(': push_single(K::LParen, true); continue;
        case ')': push_single(K::RParen, false); continue;
        case '*': op_or_assign(K::Star, K::MulAssign); continue;
        case '+': op_variants(K::Plus, K::PlusPlus, K::AddAssign); continue;
        case '-': op_variants(K::Minus, K::MinusMinus, K::SubAssign); continue;
        case ',': push_single(K::Comma, true); continue;
        case '/':
            if (regex_allowed_) {
                step = lex_regex();
                break;
            }
            op_or_assign(K::Slash, K::DivAssign);
            continue;
        case '<': op_or_assign(K::Less, K::LessEqual); continue;
        case '=': op_or_assign(K::Assign, K::Equal); continue;
        case '>': op_or_assign(K::Greater, K::GreaterEqual); continue;
        case '{': push_single(K::LBrace, true); continue;
        case '}': push_single(K::RBrace, false); continue;
        case '~': push_single(K::Match, true); continue;
        case '[': push_single(K::LBracket, true); continue;
        case ']': push_single(K::RBracket, false); continue;
        default:
            if (is_digit(c) || (c == '.' && is_digit(peek_second_char()))) step = lex_number();
            else if (is_word_start(c)) step = lex_word();
            else break;
            if (!step) return step;
            continue;
        }
        if (c == '"' || c == '/') {
            if (!step) return step;
            continue;
        }
        // Anything else is not part of the language.
        const std::size_t at = pos_;
        const char32_t bad = bump();
        std::string shown;
        utf8_append(shown, bad);
        return std::unexpected(fmt::format("unexpected character '{}' at byte {}", shown, at));
    }
    push_kind(K::Eof, regex_allowed_);
    return {};
}

Result<void, std::string> AwkLexer::lex_string() {
    ++pos_;
    std::string text;
    while (true) {
        if (at_end()) return std::unexpected(std::string("unterminated string literal"));
        const char c = peek_char();
        if (c == '"') {
            ++pos_;
            push_token(AwkToken{K::String, 0, std::move(text)}, false);
            return {};
        }
        if (c == '\n') return std::unexpected(std::string("newline in string literal"));
        if (c == '\\') {
            ++pos_;
            if (at_end()) return std::unexpected(std::string("unterminated string escape"));
            switch (peek_char()) {
            case 'b': text += '\b'; ++pos_; continue;
            case 'f': text += '\f'; ++pos_; continue;
            case 'n': text += '\n'; ++pos_; continue;
            case 'r': text += '\r'; ++pos_; continue;
            case 't': text += '\t'; ++pos_; continue;
            default: break;
            }
        }
        const std::size_t start = pos_;
        bump();
        text.append(text_.substr(start, pos_ - start));
    }
}

Result<void, std::string> AwkLexer::lex_number() {
    const std::size_t start = pos_;
    while (!at_end() && (is_digit(peek_char()) || peek_char() == '.')) ++pos_;
    if (peek_char() == 'e' || peek_char() == 'E') {
        ++pos_;
        if (peek_char() == '+' || peek_char() == '-') ++pos_;
        while (!at_end() && is_digit(peek_char())) ++pos_;
    }
    const std::string_view digits = text_.substr(start, pos_ - start);
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (end != digits.data() + digits.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return std::unexpected(fmt::format("invalid number '{}';", digits));
    if (ec == std::errc::result_out_of_range) value = std::strtod(std::string(digits).c_str(), nullptr);
    push_token(AwkToken{K::Number, value, {}}, false);
    return {};
}

Result<void, std::string> AwkLexer::lex_word() {
    const std::size_t start = pos_;
    while (!at_end() && is_word_char(peek_char())) ++pos_;
    const std::string_view word = text_.substr(start, pos_ - start);
    if (word == "function" || word == "getline") return std::unexpected(fmt::format("unsupported keyword '{}'", word));
    for (const Keyword& k : kKeywords) {
        if (k.word == word) {
            push_kind(k.kind, k.regex_after);
            return {};
        }
    }
    push_token(AwkToken{K::Ident, 0, std::string(word)}, false);
    return {};
}

Result<void, std::string> AwkLexer::lex_regex() {
    ++pos_;
    std::string source;
    while (true) {
        if (at_end()) return std::unexpected(std::string("unterminated regular expression"));
        const char c = peek_char();
        if (c == '/') {
            ++pos_;
            push_token(AwkToken{K::Regex, 0, std::move(source)}, false);
            return {};
        }
        if (c == '\n') return std::unexpected(std::string("newline in regular expression"));
        if (c == '\\') {
            ++pos_;
            if (at_end()) return std::unexpected(std::string("unterminated regular expression"));
            if (peek_char() == '/') {
                source += '/';
                ++pos_;
                continue;
            }
            source += '\\';
        }
        const std::size_t start = pos_;
        bump();
        source.append(text_.substr(start, pos_ - start));
    }
}

}  // namespace tw
