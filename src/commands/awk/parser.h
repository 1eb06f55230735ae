// The awk parser: tokens to a syntax tree, by recursive descent with one nesting counter that
// bounds every kind of recursion, and stack growth for what that counter allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "commands/awk/ast.h"
#include "commands/awk/lexer.h"

namespace tw {

inline constexpr std::size_t kAwkMaxNesting = 1000;

class AwkParser {
public:
    // One operator of a binary level: its token and its node's operator.
    struct OpEntry {
        AwkTokenKind token;
        AwkInfixOp op;
    };

    // The program of `tokens` (which end with Eof), or the first error's message.
    static Result<AwkProgram, std::string> parse_program(std::vector<AwkToken> tokens);

private:
    using Fail = std::unexpected<std::string>;
    template <class T>
    using R = Result<T, std::string>;

    explicit AwkParser(std::vector<AwkToken> tokens);

    const AwkToken& peek() const { return tokens_[pos_]; }
    bool peek_is(AwkTokenKind kind) const { return tokens_[pos_].kind == kind; }
    bool eat(AwkTokenKind kind);
    void skip_newlines();
    R<void> expect(AwkTokenKind kind, std::string_view message);
    bool at_statement_end() const;

    // Guarded entry points: check and raise the nesting counter, grow the stack when needed.
    R<AwkExprPtr> parse_guarded();
    R<AwkStmtPtr> parse_statement_guarded();
    R<AwkExprPtr> parse_unary_guarded();
    R<void> enter();

    R<AwkStmtPtr> parse_statement();
    R<std::vector<AwkExprPtr>> parse_print_args();
    R<AwkExprPtr> parse_assignment();
    R<AwkExprPtr> parse_or();
    R<AwkExprPtr> parse_and();
    R<AwkExprPtr> parse_comparison();
    R<AwkExprPtr> parse_concatenation();
    R<AwkExprPtr> parse_additive();
    R<AwkExprPtr> parse_multiplicative();
    R<AwkExprPtr> parse_unary();
    R<AwkExprPtr> parse_primary();
    R<std::vector<AwkExprPtr>> parse_list(AwkTokenKind close);

    // One left-associative operator level over `next`.
    R<AwkExprPtr> parse_level(R<AwkExprPtr> (AwkParser::*next)(), std::span<const OpEntry> table);

    std::uint32_t scalar_slot(const std::string& name);
    std::uint32_t array_slot(const std::string& name);
    std::uint32_t regex_slot(const std::string& source);

    std::vector<AwkToken> tokens_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    AwkProgram program_;
    std::unordered_map<std::string, std::uint32_t> scalars_, arrays_, regexes_;
};

}  // namespace tw
