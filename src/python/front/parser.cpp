// The Python parser: module, suites and statements.
#include "python/front/parser.h"
#include "python/front/parser_internal.h"

#include <algorithm>
#include <utility>

#include "base/stack.h"


namespace tw {

namespace {

constexpr std::string_view kCompoundLimit = "compound-statement nesting limit exceeded";

using pyparse::ScratchMark;

std::optional<BinaryOperator> augmented_operator(TokenKind kind) {
    switch (kind) {
        case TokenKind::PlusEqual: return BinaryOperator::Add;
        case TokenKind::MinusEqual: return BinaryOperator::Sub;
        case TokenKind::StarEqual: return BinaryOperator::Mult;
        case TokenKind::AtEqual: return BinaryOperator::MatMult;
        case TokenKind::DoubleStarEqual: return BinaryOperator::Pow;
        case TokenKind::SlashEqual: return BinaryOperator::Div;
        case TokenKind::DoubleSlashEqual: return BinaryOperator::FloorDiv;
        case TokenKind::PercentEqual: return BinaryOperator::Mod;
        case TokenKind::LeftShiftEqual: return BinaryOperator::LShift;
        case TokenKind::RightShiftEqual: return BinaryOperator::RShift;
        case TokenKind::AmpersandEqual: return BinaryOperator::BitAnd;
        case TokenKind::CaretEqual: return BinaryOperator::BitXor;
        case TokenKind::PipeEqual: return BinaryOperator::BitOr;
        default: return std::nullopt;
    }
}

bool is_opening(TokenKind k) {
    return k == TokenKind::LeftParen || k == TokenKind::LeftBracket || k == TokenKind::LeftBrace;
}
bool is_closing(TokenKind k) {
    return k == TokenKind::RightParen || k == TokenKind::RightBracket || k == TokenKind::RightBrace;
}

}  // namespace

Result<PyModuleTree, SyntaxError> py_parse_module(TokenList tokens) {
    PyTreeBuilder builder;
    PyParser parser(std::move(tokens), builder);
    auto body = parser.parse_module_body();
    if (!body) return std::unexpected(std::move(body.error()));
    return builder.finish(*body);
}

Result<PyModuleTree, SyntaxError> py_parse_source(std::string_view source) {
    auto tokens = py_tokenize(source);
    if (!tokens) return std::unexpected(std::move(tokens.error()));
    return py_parse_module(std::move(*tokens));
}

PyParser::PyParser(TokenList tokens, PyTreeBuilder& builder)
    : tokens_(std::move(tokens)), builder_(builder) {
    // The token list always ends with EndOfFile, so the current token always exists.
    if (tokens_.empty() || tokens_.back().kind != TokenKind::EndOfFile) {
        SourceSpan end;
        if (!tokens_.empty()) {
            const SourceSpan& last = tokens_.back().span;
            end = SourceSpan{last.end, last.end, last.line, last.column};
        }
        tokens_.push_back(Token{TokenKind::EndOfFile, false, 0, 0, {}, end});
    }
}

// ---------------------------------------------------------------------------------------------
// Primitives

TokenKind PyParser::peek_kind_at(std::size_t ahead) const {
    std::size_t i = std::min(position_ + ahead, tokens_.size() - 1);
    return tokens_[i].kind;
}

const Token& PyParser::advance() {
    const Token& t = tokens_[position_];
    if (t.kind != TokenKind::EndOfFile) ++position_;
    return t;
}

SourceSpan PyParser::span_from(const SourceSpan& start) const {
    const SourceSpan& last = previous_token().span;
    return SourceSpan{start.start, std::max(start.start, last.end), start.line, start.column};
}

SyntaxError PyParser::error_at_current(std::string_view message) const {
    return SyntaxError{std::string(message), current().span};
}

SyntaxError PyParser::error_at(std::string_view message, const SourceSpan& span) {
    return SyntaxError{std::string(message), span};
}

Result<TextId, SyntaxError> PyParser::expect_name(std::string_view message) {
    if (peek_kind() != TokenKind::Name) return std::unexpected(error_at_current(message));
    return builder_.intern(advance().text);
}

void PyParser::skip_separators() {
    while (peek_kind() == TokenKind::Semicolon || peek_kind() == TokenKind::Newline) advance();
}

// ---------------------------------------------------------------------------------------------
// Module and suites

Result<StmtList, SyntaxError> PyParser::parse_module_body() {
    ScratchMark body(stmt_scratch_);
    skip_separators();
    while (peek_kind() != TokenKind::EndOfFile) {
        PY_TRY(StmtId s, parse_statement());
        stmt_scratch_.push_back(s);
        if (!is_compound(s)) {
            TokenKind k = peek_kind();
            if (k != TokenKind::Semicolon && k != TokenKind::Newline && k != TokenKind::EndOfFile)
                return std::unexpected(error_at_current("expected a newline or ';' after statement"));
        }
        skip_separators();
    }
    return builder_.list(body.items());
}

Result<StmtList, SyntaxError> PyParser::parse_suite() {
    if (peek_kind() != TokenKind::Colon) return std::unexpected(error_at_current("expected ':' before suite"));
    advance();
    ScratchMark body(stmt_scratch_);
    if (peek_kind() == TokenKind::Newline) {
        advance();
        skip_separators();
        if (peek_kind() != TokenKind::Indent) return std::unexpected(error_at_current("expected an indented suite"));
        advance();
        skip_separators();
        for (;;) {
            TokenKind k = peek_kind();
            if (k == TokenKind::Dedent) {
                advance();
                if (body.empty())
                    return std::unexpected(error_at_current("expected at least one statement in suite"));
                break;
            }
            if (k == TokenKind::EndOfFile)
                return std::unexpected(error_at_current("expected the end of an indented suite"));
            PY_TRY(StmtId s, parse_statement());
            stmt_scratch_.push_back(s);
            if (!is_compound(s)) {
                TokenKind after = peek_kind();
                if (after != TokenKind::Semicolon && after != TokenKind::Newline && after != TokenKind::Dedent)
                    return std::unexpected(error_at_current("expected a newline or ';' after statement"));
            }
            skip_separators();
        }
        return builder_.list(body.items());
    }
    for (;;) {
        PY_TRY(StmtId s, parse_statement());
        if (is_compound(s))
            return std::unexpected(error_at_current("compound statement is not allowed in a simple suite"));
        stmt_scratch_.push_back(s);
        if (peek_kind() == TokenKind::Semicolon) {
            advance();
            if (peek_kind() == TokenKind::Newline) break;
            continue;
        }
        break;
    }
    if (peek_kind() != TokenKind::Newline) return std::unexpected(error_at_current("expected a newline after simple suite"));
    advance();
    return builder_.list(body.items());
}

Result<StmtList, SyntaxError> PyParser::parse_guarded_suite() {
    if (compound_depth_ >= kMaxCompoundDepth || recursion_depth_ >= kMaxRecursionDepth)
        return std::unexpected(error_at_current(kCompoundLimit));
    ++compound_depth_;
    ++recursion_depth_;
    auto result = with_stack_headroom([&] { return parse_suite(); });
    --compound_depth_;
    --recursion_depth_;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Statements

Result<StmtId, SyntaxError> PyParser::parse_statement() {
    const SourceSpan start = current().span;
    ScratchMark decorators(expr_scratch_);
    while (peek_kind() == TokenKind::At) {
        advance();
        PY_TRY(ExprId d, parse_expression());
        expr_scratch_.push_back(d);
        if (peek_kind() != TokenKind::Newline) return std::unexpected(error_at_current("expected a newline after decorator"));
        advance();
        skip_separators();
    }
    bool is_async = false;
    if (peek_kind() == TokenKind::KwAsync) {
        advance();
        is_async = true;
        TokenKind k = peek_kind();
        if (k != TokenKind::KwDef && k != TokenKind::KwFor && k != TokenKind::KwWith)
            return std::unexpected(error_at_current("expected 'def', 'for', or 'with' after 'async'"));
    }
    PY_TRY(StmtId statement, parse_compound_or_simple(start, is_async));
    if (decorators.empty()) return statement;
    StmtKind kind = builder_.tree().stmt(statement).kind();
    if (kind != StmtKind::FunctionDef && kind != StmtKind::ClassDef)
        return std::unexpected(error_at_current("decorators may only be applied to functions and classes"));
    ExprList list = builder_.list(decorators.items());
    return builder_.add_stmt(Stmt::Decorated{list, statement}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_compound_or_simple(const SourceSpan& start, bool is_async) {
    switch (peek_kind()) {
        case TokenKind::KwIf:
            advance();
            return parse_if(start);
        case TokenKind::KwTry:
            advance();
            return parse_try(start);
        case TokenKind::KwWith:
            advance();
            return parse_with(start, is_async);
        case TokenKind::KwWhile: {
            advance();
            PY_TRY(ExprId test, parse_expression());
            PY_TRY(StmtList body, parse_guarded_suite());
            StmtList orelse;
            if (peek_kind() == TokenKind::KwElse) {
                advance();
                PY_TRY(orelse, parse_guarded_suite());
            }
            return builder_.add_stmt(Stmt::While{test, body, orelse}, span_from(start));
        }
        case TokenKind::KwFor:
            advance();
            return parse_for(start, is_async);
        case TokenKind::KwDef:
            advance();
            return parse_def(start, is_async);
        case TokenKind::KwClass:
            advance();
            return parse_class(start);
        case TokenKind::KwFrom:
            advance();
            return parse_from_import(start);
        case TokenKind::KwImport:
            advance();
            return parse_import(start);
        case TokenKind::KwDel:
            advance();
            return parse_del(start);
        case TokenKind::KwReturn: {
            advance();
            ExprId value = kNoExpr;
            TokenKind k = peek_kind();
            if (k != TokenKind::Semicolon && k != TokenKind::Newline && k != TokenKind::Dedent &&
                k != TokenKind::EndOfFile) {
                PY_TRY(value, parse_expression_list());
            }
            return builder_.add_stmt(Stmt::Return{value}, span_from(start));
        }
        case TokenKind::KwBreak:
            advance();
            return builder_.add_stmt(Stmt::Break{}, span_from(start));
        case TokenKind::KwContinue:
            advance();
            return builder_.add_stmt(Stmt::Continue{}, span_from(start));
        case TokenKind::KwPass:
            advance();
            return builder_.add_stmt(Stmt::Pass{}, span_from(start));
        case TokenKind::KwGlobal:
        case TokenKind::KwNonlocal: {
            bool global = advance().kind == TokenKind::KwGlobal;
            std::vector<TextId> names;
            for (;;) {
                PY_TRY(TextId name, expect_name(global ? "expected a binding after 'global'"
                                                       : "expected a binding after 'nonlocal'"));
                names.push_back(name);
                if (peek_kind() != TokenKind::Comma) break;
                advance();
            }
            TextList list = builder_.list(names);
            if (global) return builder_.add_stmt(Stmt::Global{list}, span_from(start));
            return builder_.add_stmt(Stmt::Nonlocal{list}, span_from(start));
        }
        case TokenKind::KwAssert: {
            advance();
            PY_TRY(ExprId test, parse_expression());
            ExprId msg = kNoExpr;
            if (peek_kind() == TokenKind::Comma) {
                advance();
                PY_TRY(msg, parse_expression());
            }
            return builder_.add_stmt(Stmt::Assert{test, msg}, span_from(start));
        }
        case TokenKind::KwRaise: {
            advance();
            ExprId exc = kNoExpr;
            ExprId cause = kNoExpr;
            TokenKind k = peek_kind();
            if (k != TokenKind::Semicolon && k != TokenKind::Newline && k != TokenKind::Dedent &&
                k != TokenKind::EndOfFile) {
                PY_TRY(exc, parse_expression_list());
                if (peek_kind() == TokenKind::KwFrom) {
                    advance();
                    PY_TRY(cause, parse_expression());
                }
            }
            return builder_.add_stmt(Stmt::Raise{exc, cause}, span_from(start));
        }
        default:
            return parse_expression_statement(start);
    }
}

Result<StmtId, SyntaxError> PyParser::parse_if(const SourceSpan& start) {
    PY_TRY(ExprId test, parse_expression());
    PY_TRY(StmtList body, parse_guarded_suite());
    StmtList orelse;
    if (peek_kind() == TokenKind::KwElif) {
        const SourceSpan elif_start = current().span;
        advance();
        // The rest of the chain is a guarded recursion without a counter of its own. It keeps one
        // level free for the branch's test, so that a chain too long for the shared limit fails
        // here, as the statement nesting it is, rather than in the test expression.
        if (recursion_depth_ + 1 >= kMaxRecursionDepth) return std::unexpected(error_at_current(kCompoundLimit));
        ++recursion_depth_;
        auto nested = with_stack_headroom([&] { return parse_if(elif_start); });
        --recursion_depth_;
        if (!nested) return std::unexpected(std::move(nested.error()));
        StmtId only = *nested;
        orelse = builder_.list(std::span<const StmtId>(&only, 1));
    } else if (peek_kind() == TokenKind::KwElse) {
        advance();
        PY_TRY(orelse, parse_guarded_suite());
    }
    return builder_.add_stmt(Stmt::If{test, body, orelse}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_try(const SourceSpan& start) {
    PY_TRY(StmtList body, parse_guarded_suite());
    std::vector<ExceptClause> handlers;
    while (peek_kind() == TokenKind::KwExcept) {
        advance();
        ExceptClause clause;
        if (peek_kind() != TokenKind::Colon && peek_kind() != TokenKind::KwAs) {
            PY_TRY(clause.type, parse_expression());
        }
        if (peek_kind() == TokenKind::KwAs) {
            advance();
            PY_TRY(clause.name, expect_name("expected an exception binding after 'as'"));
        }
        PY_TRY(clause.body, parse_guarded_suite());
        handlers.push_back(clause);
    }
    StmtList orelse;
    if (peek_kind() == TokenKind::KwElse) {
        advance();
        PY_TRY(orelse, parse_guarded_suite());
    }
    StmtList finalbody;
    if (peek_kind() == TokenKind::KwFinally) {
        advance();
        PY_TRY(finalbody, parse_guarded_suite());
    }
    if (handlers.empty() && finalbody.empty())
        return std::unexpected(error_at_current("try statement requires except or finally"));
    auto list = builder_.list(handlers);
    return builder_.add_stmt(Stmt::Try{body, list, orelse, finalbody}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_with(const SourceSpan& start, bool is_async) {
    // A parenthesised item list is recognised by the colon right after its closing parenthesis.
    bool parenthesised = false;
    if (peek_kind() == TokenKind::LeftParen) {
        std::uint64_t depth = 0;
        for (std::size_t i = position_; i < tokens_.size(); ++i) {
            TokenKind k = tokens_[i].kind;
            if (k == TokenKind::Newline || k == TokenKind::EndOfFile) break;
            if (is_opening(k)) {
                ++depth;
            } else if (is_closing(k)) {
                if (depth == 1) {
                    parenthesised = i + 1 < tokens_.size() && tokens_[i + 1].kind == TokenKind::Colon;
                    break;
                }
                if (depth > 0) --depth;
            }
        }
        if (parenthesised) advance();
    }
    struct Item {
        ExprId ctx;
        TargetId target;
    };
    std::vector<Item> items;
    for (;;) {
        Item item{kNoExpr, kNoTarget};
        PY_TRY(item.ctx, parse_expression());
        if (peek_kind() == TokenKind::KwAs) {
            advance();
            PY_TRY(ExprId target, parse_expression());
            PY_TRY(item.target, to_target(target));
        }
        items.push_back(item);
        if (peek_kind() != TokenKind::Comma) break;
        advance();
        if (parenthesised && peek_kind() == TokenKind::RightParen) break;
    }
    if (parenthesised) {
        if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after with items"));
        advance();
    }
    PY_TRY(StmtList body, parse_guarded_suite());
    const SourceSpan span = span_from(start);
    StmtId inner{};
    for (std::size_t i = items.size(); i-- > 0;) {
        if (i + 1 < items.size()) body = builder_.list(std::span<const StmtId>(&inner, 1));
        if (is_async)
            inner = builder_.add_stmt(Stmt::AsyncWith{items[i].ctx, items[i].target, body}, span);
        else
            inner = builder_.add_stmt(Stmt::With{items[i].ctx, items[i].target, body}, span);
    }
    return inner;
}

Result<StmtId, SyntaxError> PyParser::parse_for(const SourceSpan& start, bool is_async) {
    PY_TRY(ExprId target_expr, parse_target_list());
    PY_TRY(TargetId target, to_target(target_expr));
    if (peek_kind() != TokenKind::KwIn) return std::unexpected(error_at_current("expected 'in' after loop target"));
    advance();
    PY_TRY(ExprId iter, parse_expression());
    PY_TRY(StmtList body, parse_guarded_suite());
    StmtList orelse;
    if (peek_kind() == TokenKind::KwElse) {
        advance();
        PY_TRY(orelse, parse_guarded_suite());
    }
    if (is_async) return builder_.add_stmt(Stmt::AsyncFor{target, iter, body, orelse}, span_from(start));
    return builder_.add_stmt(Stmt::For{target, iter, body, orelse}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_def(const SourceSpan& start, bool is_async) {
    PY_TRY(TextId name, expect_name("expected a function name after 'def'"));
    if (peek_kind() != TokenKind::LeftParen) return std::unexpected(error_at_current("expected '(' after function name"));
    advance();
    PY_TRY(NodeList<Parameter> params, parse_parameters(TokenKind::RightParen, "expected a parameter name"));
    if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after parameters"));
    advance();
    if (peek_kind() == TokenKind::Arrow) {
        advance();
        PY_CHECK(skip_annotation(AnnotationContext::Return));
    }
    ++scope_depth_;
    auto body = parse_guarded_suite();
    --scope_depth_;
    if (!body) return std::unexpected(std::move(body.error()));
    return builder_.add_stmt(Stmt::FunctionDef{is_async, name, params, *body}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_class(const SourceSpan& start) {
    PY_TRY(TextId name, expect_name("expected a class name after 'class'"));
    ScratchMark bases(expr_scratch_);
    ExprId metaclass = kNoExpr;
    if (peek_kind() == TokenKind::LeftParen) {
        advance();
        while (peek_kind() != TokenKind::RightParen) {
            if (peek_kind() == TokenKind::Name && peek_kind_at(1) == TokenKind::Equal) {
                if (current().text != "metaclass")
                    return std::unexpected(error_at_current("unsupported class keyword argument"));
                if (present(metaclass)) return std::unexpected(error_at_current("metaclass passed more than once"));
                advance();
                advance();
                PY_TRY(metaclass, parse_expression());
            } else {
                if (present(metaclass))
                    return std::unexpected(error_at_current("positional class base follows metaclass keyword"));
                PY_TRY(ExprId base, parse_expression());
                expr_scratch_.push_back(base);
            }
            if (peek_kind() != TokenKind::Comma) break;
            advance();
        }
        if (peek_kind() != TokenKind::RightParen) return std::unexpected(error_at_current("expected ')' after class bases"));
        advance();
    }
    ExprList base_list = builder_.list(bases.items());
    ++scope_depth_;
    auto body = parse_guarded_suite();
    --scope_depth_;
    if (!body) return std::unexpected(std::move(body.error()));
    return builder_.add_stmt(Stmt::ClassDef{name, base_list, metaclass, *body}, span_from(start));
}

Result<TextId, SyntaxError> PyParser::parse_dotted_name(std::string_view message, TextId* first_component) {
    if (peek_kind() != TokenKind::Name) return std::unexpected(error_at_current(message));
    const Token& first = advance();
    if (peek_kind() != TokenKind::Dot) {
        TextId id = builder_.intern(first.text);
        if (first_component) *first_component = id;
        return id;
    }
    if (first_component) *first_component = builder_.intern(first.text);
    std::string path = first.text;
    while (peek_kind() == TokenKind::Dot) {
        advance();
        if (peek_kind() != TokenKind::Name) return std::unexpected(error_at_current("expected a name after '.'"));
        path += '.';
        path += advance().text;
    }
    return builder_.intern(path);
}

Result<StmtId, SyntaxError> PyParser::parse_import(const SourceSpan& start) {
    std::vector<ImportAlias> names;
    for (;;) {
        ImportAlias alias;
        PY_TRY(alias.path, parse_dotted_name("expected a module name after 'import'", &alias.bind));
        if (peek_kind() == TokenKind::KwAs) {
            advance();
            PY_TRY(alias.bind, expect_name("expected a binding after 'as'"));
        }
        names.push_back(alias);
        if (peek_kind() != TokenKind::Comma) break;
        advance();
    }
    auto list = builder_.list(names);
    return builder_.add_stmt(Stmt::Import{list}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_from_import(const SourceSpan& start) {
    std::string module;
    for (;;) {
        if (peek_kind() == TokenKind::Dot) {
            module += '.';
        } else if (peek_kind() == TokenKind::Ellipsis) {
            module += "...";
        } else {
            break;
        }
        advance();
    }
    if (peek_kind() != TokenKind::KwImport) {
        PY_TRY(TextId dotted, parse_dotted_name("expected a module name after 'from'", nullptr));
        module += builder_.tree().text(dotted);
    }
    if (module.empty()) return std::unexpected(error_at_current("expected a module name after 'from'"));
    if (peek_kind() != TokenKind::KwImport) return std::unexpected(error_at_current("expected 'import' after module name"));
    advance();
    TextId module_id = builder_.intern(module);
    if (peek_kind() == TokenKind::Star) {
        if (scope_depth_ != 0) return std::unexpected(error_at_current("import * only allowed at module level"));
        advance();
        return builder_.add_stmt(Stmt::ImportStar{module_id}, span_from(start));
    }
    bool parenthesised = false;
    if (peek_kind() == TokenKind::LeftParen) {
        advance();
        parenthesised = true;
    }
    std::vector<ImportAlias> names;
    for (;;) {
        ImportAlias alias;
        PY_TRY(alias.path, expect_name("expected a name to import"));
        alias.bind = alias.path;
        if (peek_kind() == TokenKind::KwAs) {
            advance();
            PY_TRY(alias.bind, expect_name("expected a binding after 'as'"));
        }
        names.push_back(alias);
        if (peek_kind() != TokenKind::Comma) break;
        advance();
        if (parenthesised && peek_kind() == TokenKind::RightParen) break;
    }
    if (parenthesised) {
        if (peek_kind() != TokenKind::RightParen)
            return std::unexpected(error_at_current("expected ')' after imported names"));
        advance();
    }
    auto list = builder_.list(names);
    return builder_.add_stmt(Stmt::ImportFrom{module_id, list}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_del(const SourceSpan& start) {
    ScratchMark targets(target_scratch_);
    PY_TRY(ExprId first, parse_atom_expr());
    PY_TRY(TargetId first_target, to_target(first));
    target_scratch_.push_back(first_target);
    bool comma = false;
    while (peek_kind() == TokenKind::Comma) {
        advance();
        comma = true;
        if (peek_kind() == TokenKind::Semicolon || peek_kind() == TokenKind::Newline) break;
        PY_TRY(ExprId e, parse_atom_expr());
        PY_TRY(TargetId t, to_target(e));
        target_scratch_.push_back(t);
    }
    TargetId target = first_target;
    if (comma) target = builder_.add_target(Target::Tuple{builder_.list(targets.items())});
    return builder_.add_stmt(Stmt::Delete{target}, span_from(start));
}

Result<StmtId, SyntaxError> PyParser::parse_expression_statement(const SourceSpan& start) {
    PY_TRY(ExprId first, parse_expression_list());
    TokenKind k = peek_kind();
    if (k == TokenKind::Colon) {
        advance();
        PY_CHECK(skip_annotation(AnnotationContext::Variable));
        ExprId value = kNoExpr;
        if (peek_kind() == TokenKind::Equal) {
            advance();
            PY_TRY(value, parse_expression_list());
        }
        PY_TRY(TargetId target, to_target(first));
        return builder_.add_stmt(Stmt::AnnAssign{target, value}, span_from(start));
    }
    if (k == TokenKind::Equal) {
        ScratchMark targets(target_scratch_);
        ExprId last = first;
        while (peek_kind() == TokenKind::Equal) {
            advance();
            PY_TRY(TargetId t, to_target(last));
            target_scratch_.push_back(t);
            PY_TRY(last, parse_expression_list());
        }
        TargetList list = builder_.list(targets.items());
        return builder_.add_stmt(Stmt::Assign{list, last}, span_from(start));
    }
    if (auto op = augmented_operator(k)) {
        advance();
        PY_TRY(TargetId target, to_target(first));
        PY_TRY(ExprId value, parse_expression_list());
        return builder_.add_stmt(Stmt::AugAssign{*op, target, value}, span_from(start));
    }
    return builder_.add_stmt(Stmt::Expr{first}, span_from(start));
}

// ---------------------------------------------------------------------------------------------
// Parameters, annotations and targets

Result<NodeList<Parameter>, SyntaxError> PyParser::parse_parameters(TokenKind end, std::string_view name_message) {
    std::vector<Parameter> params;
    bool star_marker = false;     // a bare "*" was seen
    bool star_parameter = false;  // a "*name" parameter was seen
    bool keyword_only = false;
    bool default_seen = false;
    while (peek_kind() != end) {
        if (peek_kind() == TokenKind::Slash) {
            advance();
            if (star_marker || star_parameter) return std::unexpected(error_at_current("/ must be ahead of *"));
            if (params.empty()) return std::unexpected(error_at_current("at least one argument must precede /"));
            if (params.front().kind == ParamKind::PositionalOnly)
                return std::unexpected(error_at_current("/ may appear only once"));
            for (Parameter& p : params) p.kind = ParamKind::PositionalOnly;
            if (peek_kind() != TokenKind::Comma) break;
            advance();
            continue;
        }
        bool double_star = false;
        bool star = false;
        if (peek_kind() == TokenKind::DoubleStar) {
            advance();
            double_star = true;
        } else if (peek_kind() == TokenKind::Star) {
            advance();
            star = true;
        }
        if (star && peek_kind() == TokenKind::Comma) {
            if (star_marker || star_parameter)
                return std::unexpected(error_at_current("multiple '*' parameters are not allowed"));
            star_marker = true;
            keyword_only = true;
            advance();
            continue;
        }
        if (star && star_parameter)
            return std::unexpected(error_at_current("multiple '*args' parameters are not allowed"));
        // A "*name" after a bare "*" would be a second star as well.
        if (star && star_marker && peek_kind() == TokenKind::Name)
            return std::unexpected(error_at_current("multiple '*' parameters are not allowed"));
        Parameter param;
        PY_TRY(param.name, expect_name(name_message));
        if (end == TokenKind::RightParen && peek_kind() == TokenKind::Colon) {
            advance();
            PY_CHECK(skip_annotation(AnnotationContext::Parameter));
        }
        if (peek_kind() == TokenKind::Equal) {
            advance();
            if (star || double_star)
                return std::unexpected(error_at_current("variadic parameters cannot have a default"));
            PY_TRY(param.default_value, parse_expression());
            if (!keyword_only) default_seen = true;
        } else if (!star && !double_star && !keyword_only && default_seen) {
            return std::unexpected(error_at_current("non-default argument follows default argument"));
        }
        if (star) {
            param.kind = ParamKind::VarPositional;
        } else if (double_star) {
            param.kind = ParamKind::VarKeyword;
        } else {
            param.kind = keyword_only ? ParamKind::KeywordOnly : ParamKind::PositionalOrKeyword;
        }
        params.push_back(param);
        if (star) {
            star_parameter = true;
            keyword_only = true;
        }
        if (double_star) {
            if (peek_kind() == TokenKind::Comma) {
                advance();
                if (peek_kind() != end) return std::unexpected(error_at_current("parameters cannot follow **kwargs"));
            }
            break;
        }
        if (peek_kind() != TokenKind::Comma) break;
        advance();
    }
    return builder_.list(params);
}

Result<void, SyntaxError> PyParser::skip_annotation(AnnotationContext context) {
    std::uint64_t depth = 0;
    std::uint64_t skipped = 0;
    for (;;) {
        TokenKind k = peek_kind();
        if (k == TokenKind::EndOfFile) break;
        if (depth == 0) {
            if (is_closing(k) || k == TokenKind::Newline || k == TokenKind::Dedent) break;
            bool stop = false;
            switch (context) {
                case AnnotationContext::Parameter:
                    stop = k == TokenKind::Equal || k == TokenKind::Comma;
                    break;
                case AnnotationContext::Return:
                    stop = k == TokenKind::Colon;
                    break;
                case AnnotationContext::Variable:
                    stop = k == TokenKind::Equal || k == TokenKind::Semicolon;
                    break;
            }
            if (stop) break;
        }
        if (is_opening(k)) {
            ++depth;
        } else if (is_closing(k)) {
            --depth;
        }
        advance();
        ++skipped;
    }
    if (skipped == 0) return std::unexpected(error_at_current("expected an annotation"));
    return {};
}

Result<TargetId, SyntaxError> PyParser::to_target(ExprId id) {
    const Expr& expr = builder_.tree().expr(id);
    switch (expr.kind()) {
        case ExprKind::Name:
            return builder_.add_target(Target::Name{std::get<Expr::Name>(expr.node).id});
        case ExprKind::Starred: {
            ExprId operand = std::get<Expr::Starred>(expr.node).value;
            auto inner = with_stack_headroom([&] { return to_target(operand); });
            if (!inner) return std::unexpected(std::move(inner.error()));
            return builder_.add_target(Target::Starred{*inner});
        }
        case ExprKind::Tuple:
        case ExprKind::List: {
            ExprList elts = expr.kind() == ExprKind::Tuple ? std::get<Expr::Tuple>(expr.node).elts
                                                           : std::get<Expr::List>(expr.node).elts;
            ScratchMark targets(target_scratch_);
            for (std::uint32_t i = 0; i < elts.count; ++i) {
                ExprId element = builder_.tree().list(elts)[i];
                auto t = with_stack_headroom([&] { return to_target(element); });
                if (!t) return std::unexpected(std::move(t.error()));
                target_scratch_.push_back(*t);
            }
            return builder_.add_target(Target::Tuple{builder_.list(targets.items())});
        }
        case ExprKind::Attribute: {
            const auto& a = std::get<Expr::Attribute>(expr.node);
            return builder_.add_target(Target::Attribute{a.attr, a.value});
        }
        case ExprKind::Subscript: {
            const auto& s = std::get<Expr::Subscript>(expr.node);
            return builder_.add_target(Target::Subscript{s.value, s.index});
        }
        default:
            return std::unexpected(error_at("cannot assign to this expression", expr.span));
    }
}

Result<ExprId, SyntaxError> PyParser::parse_target_list() {
    auto element = [&]() -> Result<ExprId, SyntaxError> {
        if (peek_kind() == TokenKind::Star) {
            advance();
            PY_TRY(ExprId operand, parse_atom_expr());
            SourceSpan span = span_of(operand);
            return builder_.add_expr(Expr::Starred{operand}, span);
        }
        return parse_atom_expr();
    };
    PY_TRY(ExprId first, element());
    if (peek_kind() != TokenKind::Comma) return first;
    const SourceSpan start = span_of(first);
    ScratchMark elts(expr_scratch_);
    expr_scratch_.push_back(first);
    while (peek_kind() == TokenKind::Comma) {
        advance();
        if (peek_kind() == TokenKind::KwIn) break;
        PY_TRY(ExprId e, element());
        expr_scratch_.push_back(e);
    }
    ExprList list = builder_.list(elts.items());
    return builder_.add_expr(Expr::Tuple{list}, span_from(start));
}

}  // namespace tw
