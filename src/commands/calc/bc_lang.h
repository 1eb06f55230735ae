// The bc language: tokens, the syntax tree, the parser and the statement runner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "commands/calc/bc_number.h"

namespace tw {

struct BcToken {
    enum class Kind : std::uint8_t {
        Num, Str, Ident, If, While, For, Break, Quit, Define, Sqrt, Length, Scale, Ibase, Obase,
        Plus, Minus, Star, Slash, Percent, Caret, Assign,
        PlusEq, MinusEq, StarEq, SlashEq, PercentEq, CaretEq,
        EqEq, Ne, Lt, Le, Gt, Ge, Inc, Dec, LParen, RParen, LBrace, RBrace, Semicolon, Newline,
    };
    Kind kind;
    std::string text;  // Num, Str, Ident

    bool operator==(const BcToken&) const = default;
};

// The printed form of a token in messages: its name, and for Num, Str and Ident the text as a
// quoted string in parentheses: Num("12").
std::string bc_token_text(const BcToken& token);

// The tokens of a source text, or the first lexical error.
Result<std::vector<BcToken>, std::string> bc_tokenize(std::string_view source);

struct BcExpr;
using BcExprPtr = std::unique_ptr<BcExpr>;

struct BcExpr {
    enum class Kind : std::uint8_t {
        Number, Var, Assign, CompoundAssign, PreStep, PostStep, Negate, Arithmetic, Compare, Sqrt, Length,
        ScaleOf,
    };
    Kind kind;
    BcNumber number;      // Number
    BcVarName var;        // Var, Assign, CompoundAssign, PreStep, PostStep
    BcArith arith{};      // CompoundAssign, Arithmetic
    BcCompare compare{};  // Compare
    bool up = false;      // PreStep, PostStep
    BcExprPtr left;       // the operand, or the value of an assignment
    BcExprPtr right;
    std::uint32_t depth = 1;  // the height of this tree
};

struct BcStmt;
using BcStmtPtr = std::unique_ptr<BcStmt>;

struct BcStmt {
    enum class Kind : std::uint8_t { Empty, Expr, PrintString, Block, If, While, For, Break, Quit };
    Kind kind;
    BcExprPtr expr;             // Expr; the condition of If, While, For
    BcExprPtr start, step;      // For
    std::string text;           // PrintString
    std::vector<BcStmt> block;  // Block
    BcStmtPtr body;             // If, While, For
};

class BcParser {
public:
    explicit BcParser(std::vector<BcToken> tokens) : tokens_(std::move(tokens)) {}

    bool at_end() const { return pos_ >= tokens_.size(); }
    void skip_separators();
    void skip_newlines();
    Result<BcStmt, std::string> parse_statement();

private:
    const BcToken* peek() const { return at_end() ? nullptr : &tokens_[pos_]; }
    bool next_is(BcToken::Kind kind) const { return !at_end() && tokens_[pos_].kind == kind; }
    Result<void, std::string> expect(BcToken::Kind kind);
    Result<BcStmt, std::string> statement_body();
    Result<BcExprPtr, std::string> assignment();
    Result<BcExprPtr, std::string> comparison();
    Result<BcExprPtr, std::string> additive();
    Result<BcExprPtr, std::string> multiplicative();
    // A left-associative chain of `operand`s joined by the operators that `op_of` maps.
    template <class Operand, class OpOf>
    Result<BcExprPtr, std::string> chain(Operand operand, OpOf op_of);
    Result<BcExprPtr, std::string> unary();
    Result<BcExprPtr, std::string> postfix();
    Result<BcExprPtr, std::string> primary();
    Result<BcExprPtr, std::string> parenthesized();

    std::vector<BcToken> tokens_;
    std::size_t pos_ = 0;
    std::uint32_t depth_ = 0;  // nesting of statements and primaries being parsed
};

}  // namespace tw
