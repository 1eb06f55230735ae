#include "commands/calc/bc_lang.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/stack.h"
#include "base/utf8.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using Kind = BcToken::Kind;

// How deep statements and expressions may nest; deeper source is refused before it runs.
constexpr std::uint32_t kMaxNesting = 10000;
constexpr std::string_view kTooDeep = "expression is nested too deeply";

constexpr std::array<std::string_view, 41> kTokenNames = {
    "Num", "Str", "Ident", "If", "While", "For", "Break", "Quit", "Define", "Sqrt", "Length", "Scale", "Ibase",
    "Obase", "Plus", "Minus", "Star", "Slash", "Percent", "Caret", "Assign", "PlusEq", "MinusEq", "StarEq",
    "SlashEq", "PercentEq", "CaretEq", "EqEq", "Ne", "Lt", "Le", "Gt", "Ge", "Inc", "Dec", "LParen", "RParen",
    "LBrace", "RBrace", "Semicolon", "Newline",
};

struct Keyword {
    std::string_view word;
    Kind kind;
};
constexpr std::array<Keyword, 13> kKeywords = {{
    {"if", Kind::If}, {"while", Kind::While}, {"for", Kind::For}, {"break", Kind::Break}, {"quit", Kind::Quit},
    {"define", Kind::Define}, {"auto", Kind::Define}, {"return", Kind::Define}, {"sqrt", Kind::Sqrt},
    {"length", Kind::Length}, {"scale", Kind::Scale}, {"ibase", Kind::Ibase}, {"obase", Kind::Obase},
}};
// Reserved words of the full language whose statements are not implemented. Reading them as
// variables would run a different program than the one written, so they are refused.
constexpr std::array<std::string_view, 7> kUnsupportedWords = {"else", "print", "continue", "halt",
                                                              "last", "read", "limits"};

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
            else
                out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string optional_token(const BcToken* token) {
    return token ? "Some(" + bc_token_text(*token) + ")" : "None";
}

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

BcExprPtr node(BcExpr::Kind kind) {
    auto e = std::make_unique<BcExpr>();
    e->kind = kind;
    return e;
}

// Sets the height of `e` from its children; false when it is beyond the nesting limit.
bool measured(BcExpr& e) {
    std::uint32_t below = 0;
    if (e.left) below = e.left->depth;
    if (e.right) below = std::max(below, e.right->depth);
    e.depth = below + 1;
    return e.depth <= kMaxNesting;
}

Result<BcExprPtr, std::string> finish(BcExprPtr e) {
    if (!measured(*e)) return std::unexpected(std::string(kTooDeep));
    return e;
}

}  // namespace

std::string bc_token_text(const BcToken& token) {
    std::string name(kTokenNames[static_cast<std::size_t>(token.kind)]);
    if (token.kind == Kind::Num || token.kind == Kind::Str || token.kind == Kind::Ident)
        name += "(" + quoted(token.text) + ")";
    return name;
}

Result<std::vector<BcToken>, std::string> bc_tokenize(std::string_view src) {
    std::vector<BcToken> tokens;
    std::size_t parens = 0;
    std::size_t i = 0;
    const std::size_t n = src.size();
    auto add = [&](Kind kind, std::size_t width) {
        tokens.push_back({kind, {}});
        i += width;
    };
    auto at = [&](std::size_t k) { return k < n ? src[k] : '\0'; };
    while (i < n) {
        const char c = src[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '\n') {
            if (parens == 0) tokens.push_back({Kind::Newline, {}});
            ++i;
        } else if (c == '#') {
            while (i < n && src[i] != '\n') ++i;
        } else if (c == '"') {
            const std::size_t close = src.find('"', i + 1);
            if (close == std::string_view::npos) return std::unexpected(std::string("unterminated string"));
            tokens.push_back({Kind::Str, std::string(src.substr(i + 1, close - i - 1))});
            i = close + 1;
        } else if (c == '/') {
            if (at(i + 1) == '*') {
                const std::size_t close = src.find("*/", i + 2);
                if (close == std::string_view::npos) return std::unexpected(std::string("unterminated comment"));
                i = close + 2;
            } else if (at(i + 1) == '=') {
                add(Kind::SlashEq, 2);
            } else {
                add(Kind::Slash, 1);
            }
        } else if (is_digit(c) || c == '.') {
            const std::size_t start = i;
            bool dot = false;
            std::uint64_t digits = 0;
            while (i < n && (is_digit(src[i]) || (src[i] == '.' && !dot))) {
                if (src[i] == '.')
                    dot = true;
                else
                    ++digits;
                ++i;
            }
            const std::string_view text = src.substr(start, i - start);
            if (text == ".") return std::unexpected(fmt::format("invalid number '{}'", text));
            if (digits > kBcMaxDigits)
                return std::unexpected(std::string("number exceeds the supported digit limit"));
            tokens.push_back({Kind::Num, std::string(text)});
        } else if (is_lower(c)) {
            const std::size_t start = i;
            while (i < n && (is_lower(src[i]) || is_digit(src[i]) || src[i] == '_')) ++i;
            const std::string_view word = src.substr(start, i - start);
            if (std::ranges::find(kUnsupportedWords, word) != kUnsupportedWords.end())
                return std::unexpected(fmt::format("unsupported keyword '{}'", word));
            auto keyword = std::ranges::find(kKeywords, word, &Keyword::word);
            if (keyword != kKeywords.end())
                tokens.push_back({keyword->kind, {}});
            else
                tokens.push_back({Kind::Ident, std::string(word)});
        } else if (c == '(') {
            ++parens;
            add(Kind::LParen, 1);
        } else if (c == ')') {
            if (parens > 0) --parens;
            add(Kind::RParen, 1);
        } else if (c == '!') {
            if (at(i + 1) != '=') return std::unexpected(std::string("logical operator '!' is not supported"));
            add(Kind::Ne, 2);
        } else if (c == '&' || c == '|') {
            return std::unexpected(fmt::format("logical operator '{}' is not supported", c));
        } else if (c == '[' || c == ']') {
            return std::unexpected(std::string("arrays are not supported"));
        } else if (c == '+') {
            at(i + 1) == '=' ? add(Kind::PlusEq, 2) : at(i + 1) == '+' ? add(Kind::Inc, 2) : add(Kind::Plus, 1);
        } else if (c == '-') {
            at(i + 1) == '=' ? add(Kind::MinusEq, 2) : at(i + 1) == '-' ? add(Kind::Dec, 2) : add(Kind::Minus, 1);
        } else if (c == '*') {
            at(i + 1) == '=' ? add(Kind::StarEq, 2) : add(Kind::Star, 1);
        } else if (c == '%') {
            at(i + 1) == '=' ? add(Kind::PercentEq, 2) : add(Kind::Percent, 1);
        } else if (c == '^') {
            at(i + 1) == '=' ? add(Kind::CaretEq, 2) : add(Kind::Caret, 1);
        } else if (c == '=') {
            at(i + 1) == '=' ? add(Kind::EqEq, 2) : add(Kind::Assign, 1);
        } else if (c == '<') {
            at(i + 1) == '=' ? add(Kind::Le, 2) : add(Kind::Lt, 1);
        } else if (c == '>') {
            at(i + 1) == '=' ? add(Kind::Ge, 2) : add(Kind::Gt, 1);
        } else if (c == ';') {
            add(Kind::Semicolon, 1);
        } else if (c == '{') {
            add(Kind::LBrace, 1);
        } else if (c == '}') {
            add(Kind::RBrace, 1);
        } else {
            std::size_t width = 1;
            while (i + width < n && !utf8_char_start(src[i + width])) ++width;
            return std::unexpected(fmt::format("unexpected character '{}'", src.substr(i, width)));
        }
    }
    return tokens;
}

// ---- parser ----

void BcParser::skip_separators() {
    while (next_is(Kind::Semicolon) || next_is(Kind::Newline)) ++pos_;
}

void BcParser::skip_newlines() {
    while (next_is(Kind::Newline)) ++pos_;
}

Result<void, std::string> BcParser::expect(Kind kind) {
    const std::string wanted(kTokenNames[static_cast<std::size_t>(kind)]);
    if (at_end()) return std::unexpected(fmt::format("expected {} but reached end of input", wanted));
    if (tokens_[pos_].kind != kind)
        return std::unexpected(fmt::format("expected {} but found {}", wanted, bc_token_text(tokens_[pos_])));
    ++pos_;
    return {};
}

Result<BcStmt, std::string> BcParser::parse_statement() {
    if (depth_ >= kMaxNesting) return std::unexpected(std::string(kTooDeep));
    ++depth_;
    auto result = with_stack_headroom([&] { return statement_body(); });
    --depth_;
    return result;
}

Result<BcStmt, std::string> BcParser::statement_body() {
    BcStmt stmt{};
    const BcToken* token = peek();
    if (!token) {
        stmt.kind = BcStmt::Kind::Empty;
        return stmt;
    }
    switch (token->kind) {
    case Kind::Str:
        stmt.kind = BcStmt::Kind::PrintString;
        stmt.text = token->text;
        ++pos_;
        return stmt;
    case Kind::Define:
        return std::unexpected(std::string("user-defined functions ('define'/'auto'/'return') are not supported"));
    case Kind::LBrace: {
        ++pos_;
        stmt.kind = BcStmt::Kind::Block;
        skip_separators();
        while (!at_end() && !next_is(Kind::RBrace)) {
            auto inner = parse_statement();
            if (!inner) return std::unexpected(inner.error());
            stmt.block.push_back(std::move(*inner));
            skip_separators();
        }
        if (auto e = expect(Kind::RBrace); !e) return std::unexpected(e.error());
        return stmt;
    }
    case Kind::If:
    case Kind::While: {
        stmt.kind = token->kind == Kind::If ? BcStmt::Kind::If : BcStmt::Kind::While;
        ++pos_;
        if (auto e = expect(Kind::LParen); !e) return std::unexpected(e.error());
        auto cond = assignment();
        if (!cond) return std::unexpected(cond.error());
        stmt.expr = std::move(*cond);
        if (auto e = expect(Kind::RParen); !e) return std::unexpected(e.error());
        break;
    }
    case Kind::For: {
        stmt.kind = BcStmt::Kind::For;
        ++pos_;
        if (auto e = expect(Kind::LParen); !e) return std::unexpected(e.error());
        const std::array<std::pair<BcExprPtr*, Kind>, 3> parts = {{
            {&stmt.start, Kind::Semicolon}, {&stmt.expr, Kind::Semicolon}, {&stmt.step, Kind::RParen}}};
        for (auto [slot, closer] : parts) {
            if (!next_is(closer)) {
                auto e = assignment();
                if (!e) return std::unexpected(e.error());
                *slot = std::move(*e);
            }
            if (auto e = expect(closer); !e) return std::unexpected(e.error());
        }
        break;
    }
    case Kind::Break:
    case Kind::Quit:
        stmt.kind = token->kind == Kind::Break ? BcStmt::Kind::Break : BcStmt::Kind::Quit;
        ++pos_;
        return stmt;
    default: {
        auto e = assignment();
        if (!e) return std::unexpected(e.error());
        stmt.kind = BcStmt::Kind::Expr;
        stmt.expr = std::move(*e);
        return stmt;
    }
    }
    // The body of if, while and for.
    skip_newlines();
    auto body = parse_statement();
    if (!body) return std::unexpected(body.error());
    stmt.body = std::make_unique<BcStmt>(std::move(*body));
    return stmt;
}

Result<BcExprPtr, std::string> BcParser::assignment() {
    auto target = comparison();
    if (!target) return target;
    const BcToken* token = peek();
    if (!token) return target;
    BcArith op{};
    bool compound = true;
    switch (token->kind) {
    case Kind::Assign: compound = false; break;
    case Kind::PlusEq: op = BcArith::Add; break;
    case Kind::MinusEq: op = BcArith::Sub; break;
    case Kind::StarEq: op = BcArith::Mul; break;
    case Kind::SlashEq: op = BcArith::Div; break;
    case Kind::PercentEq: op = BcArith::Mod; break;
    case Kind::CaretEq: op = BcArith::Pow; break;
    default: return target;
    }
    if ((*target)->kind != BcExpr::Kind::Var)
        return std::unexpected(std::string("assignment target must be a variable"));
    ++pos_;
    auto value = assignment();
    if (!value) return value;
    auto e = node(compound ? BcExpr::Kind::CompoundAssign : BcExpr::Kind::Assign);
    e->var = std::move((*target)->var);
    e->arith = op;
    e->left = std::move(*value);
    return finish(std::move(e));
}

Result<BcExprPtr, std::string> BcParser::comparison() {
    auto left = additive();
    if (!left) return left;
    const BcToken* token = peek();
    if (!token) return left;
    BcCompare op{};
    switch (token->kind) {
    case Kind::EqEq: op = BcCompare::Eq; break;
    case Kind::Ne: op = BcCompare::Ne; break;
    case Kind::Lt: op = BcCompare::Lt; break;
    case Kind::Le: op = BcCompare::Le; break;
    case Kind::Gt: op = BcCompare::Gt; break;
    case Kind::Ge: op = BcCompare::Ge; break;
    default: return left;
    }
    ++pos_;
    auto right = additive();
    if (!right) return right;
    auto e = node(BcExpr::Kind::Compare);
    e->compare = op;
    e->left = std::move(*left);
    e->right = std::move(*right);
    return finish(std::move(e));
}

template <class Operand, class OpOf>
Result<BcExprPtr, std::string> BcParser::chain(Operand operand, OpOf op_of) {
    auto left = (this->*operand)();
    while (left && !at_end()) {
        const std::optional<BcArith> op = op_of(tokens_[pos_].kind);
        if (!op) break;
        ++pos_;
        auto right = (this->*operand)();
        if (!right) return right;
        auto e = node(BcExpr::Kind::Arithmetic);
        e->arith = *op;
        e->left = std::move(*left);
        e->right = std::move(*right);
        left = finish(std::move(e));
    }
    return left;
}

Result<BcExprPtr, std::string> BcParser::additive() {
    return chain(&BcParser::multiplicative, [](Kind kind) -> std::optional<BcArith> {
        if (kind == Kind::Plus) return BcArith::Add;
        if (kind == Kind::Minus) return BcArith::Sub;
        return std::nullopt;
    });
}

Result<BcExprPtr, std::string> BcParser::multiplicative() {
    return chain(&BcParser::unary, [](Kind kind) -> std::optional<BcArith> {
        if (kind == Kind::Star) return BcArith::Mul;
        if (kind == Kind::Slash) return BcArith::Div;
        if (kind == Kind::Percent) return BcArith::Mod;
        return std::nullopt;
    });
}

Result<BcExprPtr, std::string> BcParser::unary() {
    if (depth_ >= kMaxNesting) return std::unexpected(std::string(kTooDeep));
    ++depth_;
    auto result = with_stack_headroom([&]() -> Result<BcExprPtr, std::string> {
        if (next_is(Kind::Minus)) {
            ++pos_;
            auto operand = unary();
            if (!operand) return operand;
            auto e = node(BcExpr::Kind::Negate);
            e->left = std::move(*operand);
            return finish(std::move(e));
        }
        auto base = postfix();
        if (!base || !next_is(Kind::Caret)) return base;
        ++pos_;
        auto exponent = unary();
        if (!exponent) return exponent;
        auto e = node(BcExpr::Kind::Arithmetic);
        e->arith = BcArith::Pow;
        e->left = std::move(*base);
        e->right = std::move(*exponent);
        return finish(std::move(e));
    });
    --depth_;
    return result;
}

Result<BcExprPtr, std::string> BcParser::postfix() {
    auto e = primary();
    if (!e || (*e)->kind != BcExpr::Kind::Var || !(next_is(Kind::Inc) || next_is(Kind::Dec))) return e;
    auto stepped = node(BcExpr::Kind::PostStep);
    stepped->up = tokens_[pos_++].kind == Kind::Inc;
    stepped->var = std::move((*e)->var);
    return stepped;
}

Result<BcExprPtr, std::string> BcParser::parenthesized() {
    if (auto e = expect(Kind::LParen); !e) return std::unexpected(e.error());
    auto inner = assignment();
    if (!inner) return inner;
    if (auto e = expect(Kind::RParen); !e) return std::unexpected(e.error());
    return inner;
}

namespace {

std::optional<BcVarName> variable_of(const BcToken& token) {
    switch (token.kind) {
    case Kind::Ident: return BcVarName{BcVarName::Kind::Named, token.text};
    case Kind::Scale: return BcVarName{BcVarName::Kind::Scale, {}};
    case Kind::Ibase: return BcVarName{BcVarName::Kind::Ibase, {}};
    case Kind::Obase: return BcVarName{BcVarName::Kind::Obase, {}};
    default: return std::nullopt;
    }
}

}  // namespace

Result<BcExprPtr, std::string> BcParser::primary() {
    const BcToken* token = peek();
    if (!token) return std::unexpected(fmt::format("unexpected token {}", optional_token(nullptr)));
    switch (token->kind) {
    case Kind::Inc:
    case Kind::Dec: {
        const bool up = token->kind == Kind::Inc;
        ++pos_;
        const BcToken* target = peek();
        auto var = target ? variable_of(*target) : std::nullopt;
        if (!var) return std::unexpected(fmt::format("expected a variable, found {}", optional_token(target)));
        ++pos_;
        auto e = node(BcExpr::Kind::PreStep);
        e->up = up;
        e->var = std::move(*var);
        return e;
    }
    case Kind::LParen: return parenthesized();
    case Kind::Num: {
        auto e = node(BcExpr::Kind::Number);
        e->number = bc_parse_literal(token->text);
        ++pos_;
        return e;
    }
    case Kind::Str: return std::unexpected(std::string("strings are not valid inside expressions"));
    case Kind::Sqrt:
    case Kind::Length:
    case Kind::Scale: {
        const Kind kind = token->kind;
        ++pos_;
        if (kind == Kind::Scale && !next_is(Kind::LParen)) {
            auto e = node(BcExpr::Kind::Var);
            e->var = {BcVarName::Kind::Scale, {}};
            return e;
        }
        auto inner = parenthesized();
        if (!inner) return inner;
        auto e = node(kind == Kind::Sqrt ? BcExpr::Kind::Sqrt
                      : kind == Kind::Length ? BcExpr::Kind::Length
                                             : BcExpr::Kind::ScaleOf);
        e->left = std::move(*inner);
        return finish(std::move(e));
    }
    case Kind::Ident:
    case Kind::Ibase:
    case Kind::Obase: {
        auto e = node(BcExpr::Kind::Var);
        e->var = *variable_of(*token);
        ++pos_;
        return e;
    }
    default: return std::unexpected(fmt::format("unexpected token {}", optional_token(token)));
    }
}

// ---- runner ----

BcResult<BcNumber> BcInterpreter::eval(const BcExpr& e) {
    return with_stack_headroom([&]() -> BcResult<BcNumber> {
        switch (e.kind) {
        case BcExpr::Kind::Number: return e.number;
        case BcExpr::Kind::Var: return get_variable(e.var);
        case BcExpr::Kind::Assign: {
            auto value = eval(*e.left);
            if (!value) return value;
            if (auto s = set_variable(e.var, *value); !s) return std::unexpected(s.error());
            return value;
        }
        case BcExpr::Kind::CompoundAssign: {
            const BcNumber current = get_variable(e.var);
            auto value = eval(*e.left);
            if (!value) return value;
            auto result = arithmetic(e.arith, current, *value);
            if (!result) return result;
            if (auto s = set_variable(e.var, *result); !s) return std::unexpected(s.error());
            return result;
        }
        case BcExpr::Kind::PreStep:
        case BcExpr::Kind::PostStep: {
            BcNumber old = get_variable(e.var);
            BcNumber stepped = step(old, e.up);
            if (auto s = set_variable(e.var, stepped); !s) return std::unexpected(s.error());
            return e.kind == BcExpr::Kind::PreStep ? std::move(stepped) : std::move(old);
        }
        case BcExpr::Kind::Negate: {
            auto value = eval(*e.left);
            if (!value) return value;
            return negate(*value);
        }
        case BcExpr::Kind::Arithmetic:
        case BcExpr::Kind::Compare: {
            auto left = eval(*e.left);
            if (!left) return left;
            auto right = eval(*e.right);
            if (!right) return right;
            if (e.kind == BcExpr::Kind::Compare) return compare(e.compare, *left, *right);
            return arithmetic(e.arith, *left, *right);
        }
        case BcExpr::Kind::Sqrt:
        case BcExpr::Kind::Length:
        case BcExpr::Kind::ScaleOf: {
            auto value = eval(*e.left);
            if (!value) return value;
            if (e.kind == BcExpr::Kind::Sqrt) return sqrt(*value);
            if (e.kind == BcExpr::Kind::Length) return length(*value);
            return scale_of(*value);
        }
        }
        return BcNumber{};
    });
}

BcFlow BcInterpreter::execute(const BcStmt& stmt, Bytes& out) {
    return with_stack_headroom([&]() -> BcFlow {
        auto failed = [](BcEvalError error) { return BcFlow{BcFlow::Kind::Error, std::move(error)}; };
        if (!charge(2)) return failed(BcEvalError::out_of_budget());
        switch (stmt.kind) {
        case BcStmt::Kind::Empty: return {};
        case BcStmt::Kind::Expr: {
            auto value = eval(*stmt.expr);
            if (!value) return failed(std::move(value.error()));
            if (stmt.expr->kind == BcExpr::Kind::Assign || stmt.expr->kind == BcExpr::Kind::CompoundAssign)
                return {};
            const std::string text = bc_format_number(*value);
            if (!command_output_fits(sys_, out, sat_add(text.size(), 1))) return failed(BcEvalError::out_of_budget());
            push_line(out, text);
            return {};
        }
        case BcStmt::Kind::PrintString:
            if (!command_output_fits(sys_, out, stmt.text.size())) return failed(BcEvalError::out_of_budget());
            out += stmt.text;
            return {};
        case BcStmt::Kind::Block:
            for (const BcStmt& inner : stmt.block) {
                BcFlow flow = execute(inner, out);
                if (flow.kind != BcFlow::Kind::Normal) return flow;
            }
            return {};
        case BcStmt::Kind::If: {
            auto cond = eval(*stmt.expr);
            if (!cond) return failed(std::move(cond.error()));
            if (cond->is_zero()) return {};
            return execute(*stmt.body, out);
        }
        case BcStmt::Kind::While:
        case BcStmt::Kind::For: {
            if (stmt.start) {
                if (auto v = eval(*stmt.start); !v) return failed(std::move(v.error()));
            }
            for (;;) {
                if (!charge(2)) return failed(BcEvalError::out_of_budget());
                if (stmt.expr) {
                    auto cond = eval(*stmt.expr);
                    if (!cond) return failed(std::move(cond.error()));
                    if (cond->is_zero()) return {};
                }
                BcFlow flow = execute(*stmt.body, out);
                if (flow.kind == BcFlow::Kind::Break) return {};
                if (flow.kind != BcFlow::Kind::Normal) return flow;
                if (stmt.step) {
                    if (auto v = eval(*stmt.step); !v) return failed(std::move(v.error()));
                }
            }
        }
        case BcStmt::Kind::Break: return {BcFlow::Kind::Break, {}};
        case BcStmt::Kind::Quit: return {BcFlow::Kind::Quit, {}};
        }
        return {};
    });
}

}  // namespace tw
