// String literals and f-strings: runs of adjacent literals, f-string bodies and their fields.
#include "python/front/strings.h"

#include <utility>

#include "python/front/parser.h"

namespace tw {

namespace {

constexpr std::string_view kWhitespace = " \t\n\r\f\v";

bool is_opening(char c) { return c == '(' || c == '[' || c == '{'; }
bool is_closing(char c) { return c == ')' || c == ']' || c == '}'; }

// The UTF-8 sequence of the character starting at `text[i]` (one byte for invalid UTF-8).
std::string_view character_at(std::string_view text, std::size_t i) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + length > text.size()) length = 1;
    return text.substr(i, length);
}

// The index of the character that ends the replacement field opened just before `from`: the
// first closing bracket at depth 0 outside quotes; npos when the body ends first.
std::size_t field_end(std::string_view body, std::size_t from) {
    std::uint64_t depth = 0;
    char quote = 0;
    for (std::size_t j = from; j < body.size(); ++j) {
        char c = body[j];
        if (quote != 0) {
            if (c == quote && body[j - 1] != '\\') quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (is_opening(c)) {
            ++depth;
        } else if (is_closing(c)) {
            if (depth == 0) return j;
            --depth;
        }
    }
    return std::string_view::npos;
}

// Where a field's expression text ends: the first ":" or the first "!" not followed by "=" at
// depth 0 outside quotes (characters after a backslash skipped); npos when there is none.
std::size_t field_split_point(std::string_view field) {
    std::uint64_t depth = 0;
    char quote = 0;
    for (std::size_t k = 0; k < field.size(); ++k) {
        char c = field[k];
        if (c == '\\') {
            ++k;
            continue;
        }
        if (quote != 0) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            continue;
        }
        if (is_opening(c)) {
            ++depth;
        } else if (is_closing(c)) {
            if (depth > 0) --depth;
        } else if (depth == 0) {
            if (c == ':') return k;
            if (c == '!' && !(k + 1 < field.size() && field[k + 1] == '=')) return k;
        }
    }
    return std::string_view::npos;
}

Result<void, std::string> split_field(std::string_view field, std::vector<FStringPiece>& pieces) {
    const std::size_t split = field_split_point(field);
    std::string_view expression = field.substr(0, split);
    const std::string_view written = expression;

    // A self-documenting field: "expr=" (not "==", "!=", "<=", ">=").
    bool debug = false;
    std::string_view trimmed = expression;
    std::size_t last = trimmed.find_last_not_of(kWhitespace);
    trimmed = last == std::string_view::npos ? std::string_view() : trimmed.substr(0, last + 1);
    if (!trimmed.empty() && trimmed.back() == '=') {
        char before = trimmed.size() >= 2 ? trimmed[trimmed.size() - 2] : 0;
        if (before != '=' && before != '!' && before != '<' && before != '>') {
            debug = true;
            expression = trimmed.substr(0, trimmed.size() - 1);
        }
    }
    if (expression.find_first_not_of(kWhitespace) == std::string_view::npos)
        return std::unexpected(std::string("f-string field requires an expression"));

    FStringPiece piece;
    piece.kind = FStringPiece::Kind::Field;
    piece.text = std::string(expression);
    if (split == std::string_view::npos) {
        if (debug) piece.conversion = 'r';
    } else if (field[split] == '!') {
        if (split + 1 >= field.size())
            return std::unexpected(std::string("f-string conversion requires a conversion character"));
        char conversion = field[split + 1];
        if (conversion != 's' && conversion != 'r' && conversion != 'a')
            return std::unexpected("unsupported f-string conversion !" + std::string(character_at(field, split + 1)));
        piece.conversion = conversion;
        std::string_view rest = field.substr(split + 2);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::unexpected(std::string("expected ':' or '}' after f-string conversion"));
            piece.format_spec = std::string(rest.substr(1));
        }
    } else {
        piece.format_spec = std::string(field.substr(split + 1));
    }
    if (debug) pieces.push_back(FStringPiece{FStringPiece::Kind::Text, 0, std::string(written), {}});
    pieces.push_back(std::move(piece));
    return {};
}

}  // namespace

Result<std::vector<FStringPiece>, std::string> py_split_fstring(std::string_view body, bool raw) {
    std::vector<FStringPiece> pieces;
    std::string text;
    auto flush_text = [&] {
        if (text.empty()) return;
        pieces.push_back(FStringPiece{FStringPiece::Kind::Text, 0, std::move(text), {}});
        text.clear();
    };
    std::size_t i = 0;
    while (i < body.size()) {
        char c = body[i];
        if (c == '\\' && !raw) {
            auto consumed = py_decode_str_escape(body.substr(i + 1), text);
            if (!consumed) return std::unexpected(std::string(consumed.error()));
            // An unknown escape keeps its backslash; the next character is read normally.
            i += 1 + *consumed;
            continue;
        }
        if (c == '{') {
            if (i + 1 < body.size() && body[i + 1] == '{') {
                text += '{';
                i += 2;
                continue;
            }
            flush_text();
            std::size_t end = field_end(body, i + 1);
            if (end == std::string_view::npos)
                return std::unexpected(std::string("unterminated f-string expression"));
            auto split = split_field(body.substr(i + 1, end - i - 1), pieces);
            if (!split) return std::unexpected(std::move(split.error()));
            i = end + 1;
            continue;
        }
        if (c == '}') {
            if (i + 1 < body.size() && body[i + 1] == '}') {
                text += '}';
                i += 2;
                continue;
            }
            return std::unexpected(std::string("single '}' is not allowed in an f-string"));
        }
        text += c;
        ++i;
    }
    flush_text();
    return pieces;
}

// A run of adjacent String, Bytes and FString tokens: a Str or Bytes constant, or a JoinedStr
// when an f-string takes part.
Result<ExprId, SyntaxError> PyParser::parse_string_literals() {
    const SourceSpan start = current().span;
    constexpr std::string_view kMixed = "cannot mix bytes and nonbytes literals";
    bool seen_bytes = false;
    bool seen_text = false;
    bool seen_fstring = false;
    std::string bytes;
    std::vector<std::string_view> plain;  // str texts before the first f-string
    std::vector<FStringPart> parts;       // once an f-string was seen
    for (;;) {
        const Token& token = current();
        if (token.kind == TokenKind::Bytes) {
            if (seen_text) return std::unexpected(error_at(kMixed, token.span));
            seen_bytes = true;
            bytes += token.text;
        } else if (token.kind == TokenKind::String) {
            if (seen_bytes) return std::unexpected(error_at(kMixed, token.span));
            seen_text = true;
            if (seen_fstring)
                parts.push_back(FStringPart{FStringPart::Kind::Text, 0, builder_.add_text(token.text), kNoExpr});
            else
                plain.push_back(token.text);
        } else if (token.kind == TokenKind::FString) {
            if (seen_bytes) return std::unexpected(error_at(kMixed, token.span));
            seen_text = true;
            if (!seen_fstring) {
                seen_fstring = true;
                for (std::string_view t : plain)
                    parts.push_back(FStringPart{FStringPart::Kind::Text, 0, builder_.add_text(t), kNoExpr});
            }
            auto pieces = py_split_fstring(token.text, token.raw);
            if (!pieces) return std::unexpected(error_at(pieces.error(), token.span));
            for (const FStringPiece& piece : *pieces) {
                if (piece.kind == FStringPiece::Kind::Text) {
                    parts.push_back(FStringPart{FStringPart::Kind::Text, 0, builder_.add_text(piece.text), kNoExpr});
                    continue;
                }
                auto expr = parse_fstring_field(piece.text, token.span);
                if (!expr) return std::unexpected(std::move(expr.error()));
                if (piece.formatted())
                    parts.push_back(FStringPart{FStringPart::Kind::FormattedField, piece.conversion,
                                                builder_.add_text(piece.format_spec), *expr});
                else
                    parts.push_back(FStringPart{FStringPart::Kind::Field, 0, kNoText, *expr});
            }
        } else {
            break;
        }
        advance();
    }
    const SourceSpan span = span_from(start);
    if (seen_bytes) return builder_.add_constant_expr(builder_.bytes_constant(bytes), span);
    if (!seen_fstring) {
        if (plain.size() == 1) return builder_.add_constant_expr(builder_.str_constant(plain.front()), span);
        std::string joined;
        for (std::string_view t : plain) joined += t;
        return builder_.add_constant_expr(builder_.str_constant(joined), span);
    }
    auto list = builder_.list(parts);
    return builder_.add_expr(Expr::JoinedStr{list}, span);
}

// A field's expression, parsed as a module of its own from "(" + text + ")" into this parser's
// tree; its spans count from the opening parenthesis.
Result<ExprId, SyntaxError> PyParser::parse_fstring_field(std::string_view expression_text,
                                                          const SourceSpan& literal_span) {
    std::string source;
    source.reserve(expression_text.size() + 2);
    source += '(';
    source += expression_text;
    source += ')';
    auto invalid = [&](const SyntaxError& inner) {
        return error_at("invalid f-string expression: " + inner.message, literal_span);
    };
    auto tokens = py_tokenize(source);
    if (!tokens) return std::unexpected(invalid(tokens.error()));
    PyParser nested(std::move(*tokens), builder_);
    auto body = nested.parse_module_body();
    if (!body) return std::unexpected(invalid(body.error()));
    if (body->empty()) return std::unexpected(error_at("f-string braces must contain an expression", literal_span));
    const Stmt& first = builder_.tree().stmt(builder_.tree().list(*body).front());
    const auto* statement = std::get_if<Stmt::Expr>(&first.node);
    if (statement == nullptr)
        return std::unexpected(error_at("f-string braces must contain an expression", literal_span));
    return statement->value;
}

}  // namespace tw
