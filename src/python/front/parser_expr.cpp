// The Python parser: expressions.
//
// Precedence levels from loosest to tightest: lambda / conditional / assignment expression,
// or, and, not, comparison, |, ^, &, shifts, + -, * @ / // %, unary (and await), power, primary
// (atom and trailers).
#include <optional>
#include <utility>

#include "base/stack.h"
#include "python/front/parser.h"
#include "python/front/parser_internal.h"


namespace tw {

namespace {

constexpr std::string_view kExpressionLimit = "expression nesting limit exceeded";

using pyparse::ScratchMark;

// Restores a counter when the scope ends.
struct CounterRestore {
    std::uint32_t& counter;
    std::uint32_t saved;
    explicit CounterRestore(std::uint32_t& c) : counter(c), saved(c) {}
    ~CounterRestore() { counter = saved; }
};

// The operators of the binary levels |, ^, &, shifts, additive, multiplicative (0..5).
std::optional<BinaryOperator> binary_operator(int level, TokenKind kind) {
    switch (level) {
        case 0:
            if (kind == TokenKind::Pipe) return BinaryOperator::BitOr;
            break;
        case 1:
            if (kind == TokenKind::Caret) return BinaryOperator::BitXor;
            break;
        case 2:
            if (kind == TokenKind::Ampersand) return BinaryOperator::BitAnd;
            break;
        case 3:
            if (kind == TokenKind::LeftShift) return BinaryOperator::LShift;
            if (kind == TokenKind::RightShift) return BinaryOperator::RShift;
            break;
        case 4:
            if (kind == TokenKind::Plus) return BinaryOperator::Add;
            if (kind == TokenKind::Minus) return BinaryOperator::Sub;
            break;
        case 5:
            switch (kind) {
                case TokenKind::Star: return BinaryOperator::Mult;
                case TokenKind::At: return BinaryOperator::MatMult;
                case TokenKind::Slash: return BinaryOperator::Div;
                case TokenKind::DoubleSlash: return BinaryOperator::FloorDiv;
                case TokenKind::Percent: return BinaryOperator::Mod;
                default: break;
            }
            break;
        default: break;
    }
    return std::nullopt;
}

constexpr int kLastBinaryLevel = 5;

// Tokens after a comma that end an expression list (a trailing comma).
bool ends_expression_list(TokenKind k) {
    switch (k) {
        case TokenKind::KwIn:
        case TokenKind::PlusEqual:
        case TokenKind::MinusEqual:
        case TokenKind::Equal:
        case TokenKind::RightParen:
        case TokenKind::RightBracket:
        case TokenKind::RightBrace:
        case TokenKind::Colon:
        case TokenKind::Semicolon:
        case TokenKind::Newline:
        case TokenKind::Dedent:
        case TokenKind::EndOfFile: return true;
        default: return false;
    }
}

// Tokens after `yield` that leave it without a value.
bool ends_bare_yield(TokenKind k) {
    switch (k) {
        case TokenKind::Comma:
        case TokenKind::RightParen:
        case TokenKind::RightBracket:
        case TokenKind::RightBrace:
        case TokenKind::Colon:
        case TokenKind::Newline:
        case TokenKind::Dedent:
        case TokenKind::EndOfFile: return true;
        default: return false;
    }
}

}  // namespace

template <class F>
Result<ExprId, SyntaxError> PyParser::light_guard(F&& f) {
    if (recursion_depth_ >= kMaxRecursionDepth) return std::unexpected(error_at_current(kExpressionLimit));
    ++recursion_depth_;
    auto result = with_stack_headroom(f);
    --recursion_depth_;
    return result;
}

Result<void, SyntaxError> PyParser::count_chain_step() {
    if (recursion_depth_ >= kMaxRecursionDepth) return std::unexpected(error_at_current(kExpressionLimit));
    ++recursion_depth_;
    return {};
}

Result<ExprId, SyntaxError> PyParser::parse_expression() {
    if (expression_depth_ >= kMaxExpressionDepth || recursion_depth_ >= kMaxRecursionDepth)
        return std::unexpected(error_at_current(kExpressionLimit));
    ++expression_depth_;
    ++recursion_depth_;
    auto result = with_stack_headroom([&] { return parse_lambda_or_conditional(); });
    --expression_depth_;
    --recursion_depth_;
    return result;
}

Result<ExprId, SyntaxError> PyParser::parse_star_or_expression() {
    if (peek_kind() == TokenKind::Star) {
        advance();
        PY_TRY(ExprId operand, parse_expression());
        return builder_.add_expr(Expr::Starred{operand}, span_of(operand));
    }
    return parse_expression();
}

Result<ExprId, SyntaxError> PyParser::parse_expression_list() {
    PY_TRY(ExprId first, parse_star_or_expression());
    if (peek_kind() != TokenKind::Comma) return first;
    const SourceSpan start = span_of(first);
    ScratchMark elts(expr_scratch_);
    expr_scratch_.push_back(first);
    while (peek_kind() == TokenKind::Comma) {
        advance();
        if (ends_expression_list(peek_kind())) break;
        PY_TRY(ExprId e, parse_star_or_expression());
        expr_scratch_.push_back(e);
    }
    ExprList list = builder_.list(elts.items());
    return builder_.add_expr(Expr::Tuple{list}, span_from(start));
}

// Level 1: lambda, conditional expression, assignment expression.
Result<ExprId, SyntaxError> PyParser::parse_lambda_or_conditional() {
    if (peek_kind() == TokenKind::KwLambda) {
        const SourceSpan start = current().span;
        advance();
        PY_TRY(NodeList<Parameter> params, parse_parameters(TokenKind::Colon, "expected a lambda parameter"));
        if (peek_kind() != TokenKind::Colon)
            return std::unexpected(error_at_current("expected ':' after lambda parameters"));
        advance();
        PY_TRY(ExprId body, parse_expression());
        return builder_.add_expr(Expr::Lambda{params, body}, span_from(start));
    }
    PY_TRY(ExprId e, parse_or());
    if (peek_kind() == TokenKind::KwIf) {
        advance();
        PY_TRY(ExprId test, parse_or());
        if (peek_kind() != TokenKind::KwElse)
            return std::unexpected(error_at_current("expected 'else' in conditional expression"));
        advance();
        PY_TRY(ExprId orelse, parse_expression());
        e = builder_.add_expr(Expr::IfExp{test, e, orelse}, span_from(span_of(e)));
    }
    if (peek_kind() == TokenKind::ColonEqual) {
        advance();
        const Expr& target = builder_.tree().expr(e);
        if (target.kind() != ExprKind::Name)
            return std::unexpected(error_at("assignment expression target must be a name", target.span));
        TextId name = std::get<Expr::Name>(target.node).id;
        const SourceSpan start = target.span;
        PY_TRY(ExprId value, parse_expression());
        e = builder_.add_expr(Expr::NamedExpr{name, value}, span_from(start));
    }
    return e;
}

// Level 2: or.
Result<ExprId, SyntaxError> PyParser::parse_or() {
    CounterRestore restore(recursion_depth_);
    PY_TRY(ExprId left, parse_and());
    while (peek_kind() == TokenKind::KwOr) {
        PY_CHECK(count_chain_step());
        advance();
        PY_TRY(ExprId right, parse_and());
        left = builder_.add_expr(Expr::BoolOp{left, right, BoolOperator::Or}, span_from(span_of(left)));
    }
    return left;
}

// Level 3: and.
Result<ExprId, SyntaxError> PyParser::parse_and() {
    CounterRestore restore(recursion_depth_);
    PY_TRY(ExprId left, parse_not());
    while (peek_kind() == TokenKind::KwAnd) {
        PY_CHECK(count_chain_step());
        advance();
        PY_TRY(ExprId right, parse_not());
        left = builder_.add_expr(Expr::BoolOp{left, right, BoolOperator::And}, span_from(span_of(left)));
    }
    return left;
}

// Level 4: not.
Result<ExprId, SyntaxError> PyParser::parse_not() {
    if (peek_kind() != TokenKind::KwNot) return parse_comparison();
    const SourceSpan start = current().span;
    advance();
    PY_TRY(ExprId operand, light_guard([&] { return parse_not(); }));
    return builder_.add_expr(Expr::UnaryOp{operand, UnaryOperator::Not}, span_from(start));
}

// Level 5: comparison chains, kept flat.
Result<ExprId, SyntaxError> PyParser::parse_comparison() {
    PY_TRY(ExprId left, parse_binary(0));
    std::vector<Comparison> pairs;
    for (;;) {
        CompareOperator op;
        switch (peek_kind()) {
            case TokenKind::EqualEqual: op = CompareOperator::Eq; break;
            case TokenKind::NotEqual: op = CompareOperator::NotEq; break;
            case TokenKind::LessEqual: op = CompareOperator::LtE; break;
            case TokenKind::Less: op = CompareOperator::Lt; break;
            case TokenKind::GreaterEqual: op = CompareOperator::GtE; break;
            case TokenKind::Greater: op = CompareOperator::Gt; break;
            case TokenKind::KwIn: op = CompareOperator::In; break;
            case TokenKind::KwNot:
                advance();
                if (peek_kind() != TokenKind::KwIn)
                    return std::unexpected(error_at_current("expected 'in' after 'not' in comparison"));
                op = CompareOperator::NotIn;
                break;
            case TokenKind::KwIs:
                advance();
                if (peek_kind() == TokenKind::KwNot) {
                    op = CompareOperator::IsNot;
                } else {
                    op = CompareOperator::Is;
                    PY_TRY(ExprId right, parse_binary(0));
                    pairs.push_back(Comparison{op, right});
                    continue;
                }
                break;
            default:
                goto done;
        }
        advance();
        {
            PY_TRY(ExprId right, parse_binary(0));
            pairs.push_back(Comparison{op, right});
        }
    }
done:
    if (pairs.empty()) return left;
    auto list = builder_.list(pairs);
    return builder_.add_expr(Expr::Compare{list, left}, span_from(span_of(left)));
}

// Levels 6 to 11: the left-associative binary operators.
Result<ExprId, SyntaxError> PyParser::parse_binary(int level) {
    CounterRestore restore(recursion_depth_);
    auto operand = [&]() { return level == kLastBinaryLevel ? parse_unary() : parse_binary(level + 1); };
    PY_TRY(ExprId left, operand());
    while (auto op = binary_operator(level, peek_kind())) {
        PY_CHECK(count_chain_step());
        advance();
        PY_TRY(ExprId right, operand());
        left = builder_.add_expr(Expr::BinaryOp{left, right, *op}, span_from(span_of(left)));
    }
    return left;
}

// Level 12: unary operators and await.
Result<ExprId, SyntaxError> PyParser::parse_unary() {
    std::optional<UnaryOperator> op;
    switch (peek_kind()) {
        case TokenKind::Plus: op = UnaryOperator::UAdd; break;
        case TokenKind::Minus: op = UnaryOperator::USub; break;
        case TokenKind::Tilde: op = UnaryOperator::Invert; break;
        case TokenKind::KwAwait: {
            const SourceSpan start = current().span;
            advance();
            PY_TRY(ExprId operand, parse_atom_expr());
            return builder_.add_expr(Expr::Await{operand}, span_from(start));
        }
        default: return parse_power();
    }
    const SourceSpan start = current().span;
    advance();
    PY_TRY(ExprId operand, light_guard([&] { return parse_unary(); }));
    return builder_.add_expr(Expr::UnaryOp{operand, *op}, span_from(start));
}

// Level 13: power, right-nested through its unary-level operand.
Result<ExprId, SyntaxError> PyParser::parse_power() {
    PY_TRY(ExprId base, parse_atom_expr());
    if (peek_kind() != TokenKind::DoubleStar) return base;
    advance();
    PY_TRY(ExprId exponent, light_guard([&] { return parse_unary(); }));
    return builder_.add_expr(Expr::BinaryOp{base, exponent, BinaryOperator::Pow}, span_from(span_of(base)));
}

// Level 14: an atom and its trailers.
Result<ExprId, SyntaxError> PyParser::parse_atom_expr() {
    CounterRestore restore(recursion_depth_);
    const SourceSpan start = current().span;
    PY_TRY(ExprId e, parse_atom());
    for (;;) {
        TokenKind k = peek_kind();
        if (k != TokenKind::Dot && k != TokenKind::LeftParen && k != TokenKind::LeftBracket) break;
        PY_CHECK(count_chain_step());
        advance();
        if (k == TokenKind::Dot) {
            PY_TRY(TextId attr, expect_name("expected an attribute name after '.'"));
            e = builder_.add_expr(Expr::Attribute{attr, e}, span_from(start));
        } else if (k == TokenKind::LeftBracket) {
            PY_TRY(e, parse_subscript(e, start));
        } else {
            PY_TRY(e, parse_call(e, start));
        }
    }
    return e;
}

Result<ExprId, SyntaxError> PyParser::parse_atom() {
    const Token& token = current();
    const SourceSpan start = token.span;
    switch (token.kind) {
        case TokenKind::Name:
            advance();
            return builder_.add_expr(Expr::Name{builder_.intern(token.text)}, start);
        case TokenKind::Int:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::int_constant(token.int_value), start);
        case TokenKind::BigInt:
            advance();
            return builder_.add_constant_expr(builder_.big_int_constant(token.text), start);
        case TokenKind::Float:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::float_constant(token.float_value), start);
        case TokenKind::Imaginary:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::imaginary_constant(token.float_value), start);
        case TokenKind::KwNone:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::none_constant(), start);
        case TokenKind::KwTrue:
        case TokenKind::KwFalse:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::bool_constant(token.kind == TokenKind::KwTrue), start);
        case TokenKind::Ellipsis:
            advance();
            return builder_.add_constant_expr(PyTreeBuilder::ellipsis_constant(), start);
        case TokenKind::String:
        case TokenKind::Bytes:
        case TokenKind::FString:
            return parse_string_literals();
        case TokenKind::LeftParen:
            advance();
            return parse_parenthesised(start);
        case TokenKind::LeftBracket:
            advance();
            return parse_list_display(start);
        case TokenKind::LeftBrace:
            advance();
            return parse_brace_display(start);
        case TokenKind::KwYield:
            advance();
            return parse_yield(start);
        default:
            advance();
            return std::unexpected(error_at("expected an expression", start));
    }
}

Result<ExprId, SyntaxError> PyParser::parse_parenthesised(const SourceSpan& start) {
    if (peek_kind() == TokenKind::RightParen) {
        advance();
        return builder_.add_expr(Expr::Tuple{}, span_from(start));
    }
    PY_TRY(ExprId first, parse_star_or_expression());
    if (peek_kind() == TokenKind::KwFor) {
        advance();
        PY_TRY(NodeList<Comprehension> clauses, parse_comprehension_clauses());
        if (peek_kind() != TokenKind::RightParen)
            return std::unexpected(error_at_current("expected ')' after generator expression"));
        advance();
        return builder_.add_expr(Expr::GeneratorExp{first, clauses}, span_from(start));
    }
    if (peek_kind() == TokenKind::Comma) {
        ScratchMark elts(expr_scratch_);
        expr_scratch_.push_back(first);
        while (peek_kind() == TokenKind::Comma) {
            advance();
            if (peek_kind() == TokenKind::RightParen) break;
            PY_TRY(ExprId e, parse_star_or_expression());
            expr_scratch_.push_back(e);
        }
        if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after tuple"));
        advance();
        ExprList list = builder_.list(elts.items());
        return builder_.add_expr(Expr::Tuple{list}, span_from(start));
    }
    if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after expression"));
    advance();
    // The inner expression itself, its span widened to the parentheses.
    Expr::Node node = builder_.tree().expr(first).node;
    return builder_.add_expr(std::move(node), span_from(start));
}

Result<ExprId, SyntaxError> PyParser::parse_list_display(const SourceSpan& start) {
    if (peek_kind() == TokenKind::RightBracket) {
        advance();
        return builder_.add_expr(Expr::List{}, span_from(start));
    }
    PY_TRY(ExprId first, parse_star_or_expression());
    if (peek_kind() == TokenKind::KwFor) {
        advance();
        PY_TRY(NodeList<Comprehension> clauses, parse_comprehension_clauses());
        if (peek_kind() != TokenKind::RightBracket)
            return std::unexpected(error_at_current("expected ']' after list comprehension"));
        advance();
        return builder_.add_expr(Expr::ListComp{first, clauses}, span_from(start));
    }
    ScratchMark elts(expr_scratch_);
    expr_scratch_.push_back(first);
    while (peek_kind() == TokenKind::Comma) {
        advance();
        if (peek_kind() == TokenKind::RightBracket) break;
        PY_TRY(ExprId e, parse_star_or_expression());
        expr_scratch_.push_back(e);
    }
    if (peek_kind() != TokenKind::RightBracket) return std::unexpected(error_at_current("expected ']' after list display"));
    advance();
    ExprList list = builder_.list(elts.items());
    return builder_.add_expr(Expr::List{list}, span_from(start));
}

Result<ExprId, SyntaxError> PyParser::parse_brace_display(const SourceSpan& start) {
    if (peek_kind() == TokenKind::RightBrace) {
        advance();
        return builder_.add_expr(Expr::Dict{}, span_from(start));
    }
    std::vector<DictItem> items;
    if (peek_kind() == TokenKind::DoubleStar) {
        advance();
        PY_TRY(ExprId value, parse_expression());
        items.push_back(DictItem{kNoExpr, value});
    } else {
        PY_TRY(ExprId first, parse_star_or_expression());
        if (peek_kind() == TokenKind::Colon) {
            advance();
            PY_TRY(ExprId value, parse_expression());
            if (peek_kind() == TokenKind::KwFor) {
                advance();
                PY_TRY(NodeList<Comprehension> clauses, parse_comprehension_clauses());
                if (peek_kind() != TokenKind::RightBrace)
                    return std::unexpected(error_at_current("expected '}' after dictionary comprehension"));
                advance();
                return builder_.add_expr(Expr::DictComp{clauses, first, value}, span_from(start));
            }
            items.push_back(DictItem{first, value});
        } else if (peek_kind() == TokenKind::KwFor) {
            advance();
            PY_TRY(NodeList<Comprehension> clauses, parse_comprehension_clauses());
            if (peek_kind() != TokenKind::RightBrace)
                return std::unexpected(error_at_current("expected '}' after set comprehension"));
            advance();
            return builder_.add_expr(Expr::SetComp{first, clauses}, span_from(start));
        } else {
            ScratchMark elts(expr_scratch_);
            expr_scratch_.push_back(first);
            while (peek_kind() == TokenKind::Comma) {
                advance();
                if (peek_kind() == TokenKind::RightBrace) break;
                PY_TRY(ExprId e, parse_star_or_expression());
                expr_scratch_.push_back(e);
            }
            if (peek_kind() != TokenKind::RightBrace)
                return std::unexpected(error_at_current("expected '}' after set display"));
            advance();
            ExprList list = builder_.list(elts.items());
            return builder_.add_expr(Expr::Set{list}, span_from(start));
        }
    }
    while (peek_kind() == TokenKind::Comma) {
        advance();
        if (peek_kind() == TokenKind::RightBrace) break;
        if (peek_kind() == TokenKind::DoubleStar) {
            advance();
            PY_TRY(ExprId value, parse_expression());
            items.push_back(DictItem{kNoExpr, value});
            continue;
        }
        PY_TRY(ExprId key, parse_expression());
        if (peek_kind() != TokenKind::Colon)
            return std::unexpected(error_at_current("expected ':' between dictionary key and value"));
        advance();
        PY_TRY(ExprId value, parse_expression());
        items.push_back(DictItem{key, value});
    }
    if (peek_kind() != TokenKind::RightBrace)
        return std::unexpected(error_at_current("expected '}' after dictionary display"));
    advance();
    auto list = builder_.list(items);
    return builder_.add_expr(Expr::Dict{list}, span_from(start));
}

Result<NodeList<Comprehension>, SyntaxError> PyParser::parse_comprehension_clauses() {
    std::vector<Comprehension> clauses;
    for (;;) {
        Comprehension clause;
        PY_TRY(ExprId target, parse_target_list());
        PY_TRY(clause.target, to_target(target));
        if (peek_kind() != TokenKind::KwIn)
            return std::unexpected(error_at_current("expected 'in' after comprehension target"));
        advance();
        PY_TRY(clause.iter, parse_or());
        ScratchMark ifs(expr_scratch_);
        while (peek_kind() == TokenKind::KwIf) {
            advance();
            PY_TRY(ExprId condition, parse_or());
            expr_scratch_.push_back(condition);
        }
        clause.ifs = builder_.list(ifs.items());
        clauses.push_back(clause);
        if (peek_kind() != TokenKind::KwFor) break;
        advance();
    }
    return builder_.list(clauses);
}

Result<ExprId, SyntaxError> PyParser::parse_yield(const SourceSpan& start) {
    if (peek_kind() == TokenKind::KwFrom) {
        advance();
        PY_TRY(ExprId value, parse_expression());
        return builder_.add_expr(Expr::YieldFrom{value}, span_from(start));
    }
    if (ends_bare_yield(peek_kind())) return builder_.add_expr(Expr::Yield{kNoExpr}, span_from(start));
    PY_TRY(ExprId value, parse_expression_list());
    return builder_.add_expr(Expr::Yield{value}, span_from(start));
}

Result<ExprId, SyntaxError> PyParser::parse_subscript(ExprId value, const SourceSpan& start) {
    ScratchMark elts(expr_scratch_);
    bool comma = false;
    for (;;) {
        PY_TRY(ExprId element, parse_subscript_element());
        expr_scratch_.push_back(element);
        if (peek_kind() != TokenKind::Comma) break;
        advance();
        comma = true;
        if (peek_kind() == TokenKind::RightBracket) break;
    }
    if (peek_kind() != TokenKind::RightBracket) return std::unexpected(error_at_current("expected ']' after subscript"));
    ExprId index = elts.items().front();
    if (comma) {
        const SourceSpan first = span_of(index);
        ExprList list = builder_.list(elts.items());
        index = builder_.add_expr(Expr::Tuple{list}, span_from(first));
    }
    advance();
    return builder_.add_expr(Expr::Subscript{value, index}, span_from(start));
}

Result<ExprId, SyntaxError> PyParser::parse_subscript_element() {
    const SourceSpan start = current().span;
    ExprId lower = kNoExpr;
    if (peek_kind() != TokenKind::Colon) {
        PY_TRY(lower, parse_expression());
        if (peek_kind() != TokenKind::Colon) return lower;
    }
    advance();
    ExprId upper = kNoExpr;
    ExprId step = kNoExpr;
    TokenKind k = peek_kind();
    if (k != TokenKind::Comma && k != TokenKind::RightBracket && k != TokenKind::Colon) {
        PY_TRY(upper, parse_expression());
    }
    if (peek_kind() == TokenKind::Colon) {
        advance();
        k = peek_kind();
        if (k != TokenKind::Comma && k != TokenKind::RightBracket) {
            PY_TRY(step, parse_expression());
        }
    }
    return builder_.add_expr(Expr::Slice{lower, upper, step}, span_from(start));
}

Result<ExprId, SyntaxError> PyParser::parse_call(ExprId func, const SourceSpan& start) {
    std::vector<CallArg> args;
    bool keyword_seen = false;
    while (peek_kind() != TokenKind::RightParen) {
        CallArg arg;
        if (peek_kind() == TokenKind::DoubleStar) {
            advance();
            arg.kind = CallArg::Kind::DoubleStarred;
            PY_TRY(arg.value, parse_expression());
            keyword_seen = true;
        } else {
            bool keyword = false;
            if (peek_kind() == TokenKind::Name && peek_kind_at(1) == TokenKind::Equal) {
                arg.name = builder_.intern(current().text);
                advance();
                advance();
                keyword = true;
            }
            // A star right after "name=" is not taken: the value must be an expression.
            bool star = false;
            if (!keyword && peek_kind() == TokenKind::Star) {
                advance();
                star = true;
            }
            if (!keyword && keyword_seen)
                return std::unexpected(error_at_current("positional argument follows keyword argument"));
            PY_TRY(arg.value, parse_expression());
            if (!keyword && !star && peek_kind() == TokenKind::KwFor) {
                const SourceSpan value_start = span_of(arg.value);
                advance();
                PY_TRY(NodeList<Comprehension> clauses, parse_comprehension_clauses());
                arg.value = builder_.add_expr(Expr::GeneratorExp{arg.value, clauses}, span_from(value_start));
            }
            arg.kind = keyword ? CallArg::Kind::Keyword : star ? CallArg::Kind::Starred : CallArg::Kind::Positional;
            if (keyword) keyword_seen = true;
        }
        args.push_back(arg);
        if (peek_kind() != TokenKind::Comma) break;
        advance();
    }
    if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after call arguments"));
    advance();
    auto list = builder_.list(args);
    return builder_.add_expr(Expr::Call{list, func}, span_from(start));
}

}  // namespace tw
