#include <fmt/format.h>

#include <charconv>

#include "base/stack.h"
#include "commands/jq/filter.h"

namespace tw {

namespace {

using K = JqTokenKind;
using Parsed = Result<JqNode, std::string>;

JqNode make(JqAst::Kind kind) {
    auto node = std::make_unique<JqAst>();
    node->kind = kind;
    return node;
}

JqNode make(JqAst::Kind kind, JqNode a) {
    auto node = make(kind);
    node->children.push_back(std::move(a));
    return node;
}

JqNode make(JqAst::Kind kind, JqNode a, JqNode b) {
    auto node = make(kind, std::move(a));
    node->children.push_back(std::move(b));
    return node;
}

JqNode infix(JqInfixOp op, JqNode a, JqNode b) {
    auto node = make(JqAst::Kind::Infix, std::move(a), std::move(b));
    node->op = op;
    return node;
}

JqNode literal(JsonValue value) {
    auto node = make(JqAst::Kind::Literal);
    node->value = std::move(value);
    return node;
}

std::string nesting_message() { return fmt::format("expression nesting exceeds the {}-level limit", kJqMaxDepth); }

}  // namespace

Result<JqNode, std::string> JqParser::parse_filter(const std::vector<JqToken>& tokens) {
    JqParser parser(tokens);
    auto node = parser.nested();
    if (!node) return node;
    if (parser.pos_ < tokens.size())
        return std::unexpected(fmt::format("unexpected token {}", jq_token_display(tokens[parser.pos_])));
    return node;
}

std::optional<JqToken> JqParser::token_at(std::size_t pos) const {
    if (pos >= tokens_.size()) return std::nullopt;
    return tokens_[pos];
}

std::optional<JqToken> JqParser::next_token() {
    if (pos_ >= tokens_.size()) return std::nullopt;
    return tokens_[pos_++];
}

bool JqParser::eat(JqTokenKind kind) {
    if (pos_ < tokens_.size() && tokens_[pos_].kind == kind && !tokens_[pos_].has_payload()) {
        ++pos_;
        return true;
    }
    return false;
}

Result<void, std::string> JqParser::expect(JqTokenKind kind) {
    if (eat(kind)) return {};
    return std::unexpected(
        fmt::format("expected {}, found {}", jq_token_display(JqToken{kind, {}}), jq_token_display(token_at(pos_))));
}

std::optional<std::int64_t> JqParser::optional_integer() {
    const std::size_t saved = pos_;
    const bool minus = eat(K::Minus);
    if (pos_ < tokens_.size() && tokens_[pos_].kind == K::Number) {
        const std::string& text = tokens_[pos_].text;
        std::int64_t v = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
        if (r.ec == std::errc() && r.ptr == text.data() + text.size()) {
            ++pos_;
            // The negation of the smallest integer stays itself rather than overflowing.
            if (minus) v = v == INT64_MIN ? v : -v;
            return v;
        }
    }
    pos_ = saved;
    return std::nullopt;
}

Parsed JqParser::nested() {
    if (depth_ >= kJqMaxDepth) return std::unexpected(nesting_message());
    ++depth_;
    auto result = with_stack_headroom([&]() -> Parsed {
        auto left = parse_or();
        if (!left) return left;
        JqNode node = std::move(*left);
        while (eat(K::Pipe)) {
            auto right = parse_or();
            if (!right) return right;
            node = make(JqAst::Kind::Pipe, std::move(node), std::move(*right));
        }
        return node;
    });
    --depth_;
    return result;
}

Parsed JqParser::parse_or() {
    auto left = parse_and();
    if (!left) return left;
    JqNode node = std::move(*left);
    while (eat(K::Or)) {
        auto right = parse_and();
        if (!right) return right;
        node = infix(JqInfixOp::Or, std::move(node), std::move(*right));
    }
    return node;
}

Parsed JqParser::parse_and() {
    auto left = parse_comparison();
    if (!left) return left;
    JqNode node = std::move(*left);
    while (eat(K::And)) {
        auto right = parse_comparison();
        if (!right) return right;
        node = infix(JqInfixOp::And, std::move(node), std::move(*right));
    }
    return node;
}

Parsed JqParser::parse_comparison() {
    static constexpr std::pair<K, JqInfixOp> kOps[] = {
        {K::Eq, JqInfixOp::Eq}, {K::Ne, JqInfixOp::Ne}, {K::Le, JqInfixOp::Le},
        {K::Lt, JqInfixOp::Lt}, {K::Ge, JqInfixOp::Ge}, {K::Gt, JqInfixOp::Gt},
    };
    auto left = parse_additive();
    if (!left) return left;
    JqNode node = std::move(*left);
    for (;;) {
        std::optional<JqInfixOp> op;
        for (const auto& [kind, o] : kOps)
            if (eat(kind)) {
                op = o;
                break;
            }
        if (!op) return node;
        auto right = parse_additive();
        if (!right) return right;
        node = infix(*op, std::move(node), std::move(*right));
    }
}

Parsed JqParser::parse_additive() {
    auto left = parse_unary();
    if (!left) return left;
    JqNode node = std::move(*left);
    while (eat(K::Plus)) {
        auto right = parse_unary();
        if (!right) return right;
        node = infix(JqInfixOp::Add, std::move(node), std::move(*right));
    }
    return node;
}

Parsed JqParser::parse_unary() {
    if (!eat(K::Minus)) return parse_postfix();
    if (depth_ >= kJqMaxDepth) return std::unexpected(nesting_message());
    ++depth_;
    auto operand = with_stack_headroom([&] { return parse_unary(); });
    --depth_;
    if (!operand) return operand;
    return make(JqAst::Kind::Negate, std::move(*operand));
}

Parsed JqParser::parse_postfix() {
    auto primary = parse_primary();
    if (!primary) return primary;
    JqNode node = std::move(*primary);
    for (;;) {
        if (eat(K::Dot)) {
            auto name = next_token();
            if (!name || name->kind != K::Identifier) return std::unexpected(std::string("expected field name after '.'"));
            auto field = make(JqAst::Kind::Field, std::move(node));
            field->name = std::move(name->text);
            node = std::move(field);
            continue;
        }
        if (!eat(K::LeftBracket)) return node;
        if (eat(K::RightBracket)) {
            node = make(JqAst::Kind::Iterate, std::move(node));
            continue;
        }
        const auto start = optional_integer();
        if (eat(K::Colon)) {
            const auto end = optional_integer();
            if (auto r = expect(K::RightBracket); !r) return std::unexpected(std::move(r.error()));
            auto slice = make(JqAst::Kind::Slice, std::move(node));
            slice->start = start;
            slice->end = end;
            node = std::move(slice);
            continue;
        }
        JqNode index;
        if (start) {
            index = literal(JsonValue::number(std::to_string(*start)));
        } else {
            auto expr = nested();
            if (!expr) return expr;
            index = std::move(*expr);
        }
        if (auto r = expect(K::RightBracket); !r) return std::unexpected(std::move(r.error()));
        node = make(JqAst::Kind::Index, std::move(node), std::move(index));
    }
}

Parsed JqParser::parse_primary() {
    auto token = next_token();
    if (!token) return std::unexpected(std::string("expected expression"));
    switch (token->kind) {
    case K::Dot: {
        if (pos_ < tokens_.size() && tokens_[pos_].kind == K::Identifier) {
            auto field = make(JqAst::Kind::Field, make(JqAst::Kind::Identity));
            field->name = tokens_[pos_++].text;
            return field;
        }
        return make(JqAst::Kind::Identity);
    }
    case K::Dollar: {
        auto node = make(JqAst::Kind::Variable);
        node->name = std::move(token->text);
        return node;
    }
    case K::Identifier: {
        auto node = make(JqAst::Kind::Call);
        node->name = std::move(token->text);
        if (eat(K::LeftParen) && !eat(K::RightParen)) {
            for (;;) {
                auto arg = nested();
                if (!arg) return arg;
                node->children.push_back(std::move(*arg));
                if (eat(K::RightParen)) break;
                if (auto r = expect(K::Comma); !r) return std::unexpected(std::move(r.error()));
            }
        }
        return node;
    }
    case K::String: return literal(JsonValue::string(std::move(token->text)));
    case K::Number: return literal(JsonValue::number(std::move(token->text)));
    case K::Null: return literal(JsonValue());
    case K::True: return literal(JsonValue::boolean(true));
    case K::False: return literal(JsonValue::boolean(false));
    case K::If: {
        auto node = make(JqAst::Kind::If);
        for (K after : {K::Then, K::Else, K::End}) {
            auto part = nested();
            if (!part) return part;
            node->children.push_back(std::move(*part));
            if (auto r = expect(after); !r) return std::unexpected(std::move(r.error()));
        }
        return node;
    }
    case K::LeftParen: {
        auto inner = nested();
        if (!inner) return inner;
        if (auto r = expect(K::RightParen); !r) return std::unexpected(std::move(r.error()));
        return inner;
    }
    case K::LeftBracket: {
        auto node = make(JqAst::Kind::ArrayConstruct);
        if (eat(K::RightBracket)) return node;
        for (;;) {
            auto element = nested();
            if (!element) return element;
            node->children.push_back(std::move(*element));
            if (eat(K::RightBracket)) break;
            if (auto r = expect(K::Comma); !r) return std::unexpected(std::move(r.error()));
        }
        return node;
    }
    case K::LeftBrace: {
        auto node = make(JqAst::Kind::ObjectConstruct);
        if (eat(K::RightBrace)) return node;
        for (;;) {
            auto key = next_token();
            if (!key || (key->kind != K::Identifier && key->kind != K::String))
                return std::unexpected(fmt::format("expected object key, found {}", jq_token_display(key)));
            if (auto r = expect(K::Colon); !r) return std::unexpected(std::move(r.error()));
            auto value = nested();
            if (!value) return value;
            node->keys.push_back(std::move(key->text));
            node->children.push_back(std::move(*value));
            if (eat(K::RightBrace)) break;
            if (auto r = expect(K::Comma); !r) return std::unexpected(std::move(r.error()));
        }
        return node;
    }
    default: return std::unexpected(fmt::format("unexpected token {}", jq_token_display(*token)));
    }
}

}  // namespace tw
