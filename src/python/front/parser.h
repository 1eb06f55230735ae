// The Python parser: the token list of `py_tokenize` to a syntax tree (python/front/ast.h).
//
// Hand-written recursive descent with one token of look-ahead (two for keyword arguments and a
// bounded forward scan for parenthesised `with` items) and no error recovery: the first
// SyntaxError ends the parse and is the result. The statement half lives in parser.cpp, the
// expression half in parser_expr.cpp, string literals and f-strings in strings.cpp.
//
// Depth is bounded so that deeply nested source ends in an orderly error, never in a stack
// overflow: at most 256 suites ("compound-statement nesting limit exceeded") and 256 guarded
// expression parses ("expression nesting limit exceeded") may be open at once, and all guarded
// recursion together with operator and trailer chains is capped at 1000 levels. Recursive steps
// continue on fresh stack segments when the current one runs low (base/stack.h).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "python/front/ast.h"
#include "python/front/lexer.h"
#include "python/front/tokens.h"

namespace tw {

// Parses a module's whole token list (ending with EndOfFile) into its syntax tree. An empty or
// blank source gives a tree with an empty body.
Result<PyModuleTree, SyntaxError> py_parse_module(TokenList tokens);

// py_tokenize followed by py_parse_module.
Result<PyModuleTree, SyntaxError> py_parse_source(std::string_view source);

// The state of one parse. Nodes go into a `PyTreeBuilder` that the caller owns; the f-string
// field parser runs a nested PyParser over each field's tokens into the same builder.
class PyParser {
public:
    static constexpr std::uint32_t kMaxExpressionDepth = 256;
    static constexpr std::uint32_t kMaxCompoundDepth = 256;
    static constexpr std::uint32_t kMaxRecursionDepth = 1000;

    PyParser(TokenList tokens, PyTreeBuilder& builder);

    // The module body: statements up to EndOfFile.
    Result<StmtList, SyntaxError> parse_module_body();

private:
    template <class T>
    using R = Result<T, SyntaxError>;

    enum class AnnotationContext : std::uint8_t { Parameter, Return, Variable };

    // --- primitives (parser.cpp)
    TokenKind peek_kind() const { return tokens_[position_].kind; }
    TokenKind peek_kind_at(std::size_t ahead) const;
    const Token& current() const { return tokens_[position_]; }
    const Token& advance();
    const Token& previous_token() const { return tokens_[position_ == 0 ? 0 : position_ - 1]; }
    // The span from `start` to the end of the last consumed token.
    SourceSpan span_from(const SourceSpan& start) const;
    SyntaxError error_at_current(std::string_view message) const;
    static SyntaxError error_at(std::string_view message, const SourceSpan& span);
    R<TextId> expect_name(std::string_view message);
    void skip_separators();
    bool is_compound(StmtId id) const { return builder_.tree().stmt(id).is_compound(); }
    const SourceSpan& span_of(ExprId id) const { return builder_.tree().expr(id).span; }

    // --- module, suites and statements (parser.cpp)
    R<StmtList> parse_suite();
    R<StmtList> parse_guarded_suite();
    R<StmtId> parse_statement();
    R<StmtId> parse_compound_or_simple(const SourceSpan& start, bool is_async);
    R<StmtId> parse_if(const SourceSpan& start);
    R<StmtId> parse_try(const SourceSpan& start);
    R<StmtId> parse_with(const SourceSpan& start, bool is_async);
    R<StmtId> parse_for(const SourceSpan& start, bool is_async);
    R<StmtId> parse_def(const SourceSpan& start, bool is_async);
    R<StmtId> parse_class(const SourceSpan& start);
    R<StmtId> parse_import(const SourceSpan& start);
    R<StmtId> parse_from_import(const SourceSpan& start);
    R<StmtId> parse_del(const SourceSpan& start);
    R<StmtId> parse_expression_statement(const SourceSpan& start);
    R<TextId> parse_dotted_name(std::string_view message, TextId* first_component);
    // Parameters of a def (up to RightParen) or a lambda (up to Colon).
    R<NodeList<Parameter>> parse_parameters(TokenKind end, std::string_view name_message);
    R<void> skip_annotation(AnnotationContext context);
    R<TargetId> to_target(ExprId id);
    R<ExprId> parse_target_list();

    // --- expressions (parser_expr.cpp)
    R<ExprId> parse_expression();
    R<ExprId> parse_expression_list();
    R<ExprId> parse_star_or_expression();
    R<ExprId> parse_atom_expr();
    R<ExprId> parse_lambda_or_conditional();
    R<ExprId> parse_or();
    R<ExprId> parse_and();
    R<ExprId> parse_not();
    R<ExprId> parse_comparison();
    R<ExprId> parse_binary(int level);
    R<ExprId> parse_unary();
    R<ExprId> parse_power();
    R<ExprId> parse_atom();
    R<ExprId> parse_parenthesised(const SourceSpan& start);
    R<ExprId> parse_list_display(const SourceSpan& start);
    R<ExprId> parse_brace_display(const SourceSpan& start);
    R<ExprId> parse_yield(const SourceSpan& start);
    R<NodeList<Comprehension>> parse_comprehension_clauses();
    R<ExprId> parse_subscript(ExprId value, const SourceSpan& start);
    R<ExprId> parse_subscript_element();
    R<ExprId> parse_call(ExprId func, const SourceSpan& start);
    // The lighter guard of the recursive `not`, unary and power levels.
    template <class F>
    R<ExprId> light_guard(F&& f);
    // Counts one more step of an operator or trailer chain.
    R<void> count_chain_step();

    // --- string literals and f-strings (strings.cpp)
    R<ExprId> parse_string_literals();
    R<ExprId> parse_fstring_field(std::string_view expression_text, const SourceSpan& literal_span);

    TokenList tokens_;
    std::size_t position_ = 0;
    std::uint32_t expression_depth_ = 0;
    std::uint32_t compound_depth_ = 0;
    std::uint32_t recursion_depth_ = 0;
    std::uint32_t scope_depth_ = 0;
    PyTreeBuilder& builder_;

    // Scratch stacks for the children of the node being built: a parse pushes above the mark it
    // took, hands the run to the builder and truncates back to the mark.
    std::vector<StmtId> stmt_scratch_;
    std::vector<ExprId> expr_scratch_;
    std::vector<TargetId> target_scratch_;
};

}  // namespace tw
