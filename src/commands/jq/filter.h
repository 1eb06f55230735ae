// jq filters: tokens, the lexer, the syntax tree and the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "commands/jq/json.h"

namespace tw {

enum class JqTokenKind : std::uint8_t {
    Dot, Dollar, Identifier, String, Number, Null, True, False, If, Then, Else, End, And, Or, Pipe,
    Comma, Colon, LeftParen, RightParen, LeftBracket, RightBracket, LeftBrace, RightBrace, Eq, Ne, Lt,
    Le, Gt, Ge, Plus, Minus,
};

struct JqToken {
    JqTokenKind kind = JqTokenKind::Dot;
    // Dollar and Identifier: the name; String: the decoded text; Number: the text as written.
    std::string text;

    bool has_payload() const {
        return kind == JqTokenKind::Dollar || kind == JqTokenKind::Identifier || kind == JqTokenKind::String ||
               kind == JqTokenKind::Number;
    }
    bool operator==(const JqToken& o) const { return kind == o.kind && (!has_payload() || text == o.text); }
};

// The display form of a token in messages: `Pipe`, `Identifier("foo")`, `Number(Number(1.5))`.
std::string jq_token_display(const JqToken& token);
// `None` or `Some(...)`.
std::string jq_token_display(const std::optional<JqToken>& token);
// A text between double quotes with the escapes of the display form.
std::string jq_quoted(std::string_view text);

inline constexpr std::size_t kJqMaxTokens = 1024;
inline constexpr std::size_t kJqMaxDepth = 128;

class JqLexer {
public:
    explicit JqLexer(std::string_view text) : text_(text) {}

    static Result<std::vector<JqToken>, std::string> tokenize(std::string_view text);

private:
    std::optional<char32_t> peek_char() const;
    std::optional<char32_t> peek_second_char() const;
    std::optional<char32_t> bump();
    Result<std::string, std::string> identifier();
    Result<JqToken, std::string> number();
    Result<JqToken, std::string> string();
    Result<std::vector<JqToken>, std::string> run();

    std::string_view text_;
    std::size_t pos_ = 0;
};

enum class JqInfixOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, And, Or, Add };

struct JqAst;
using JqNode = std::unique_ptr<JqAst>;

struct JqAst {
    enum class Kind : std::uint8_t {
        Identity, Literal, Variable, Field, Index, Slice, Iterate, Pipe, ArrayConstruct, ObjectConstruct,
        Call, If, Infix, Negate,
    };

    Kind kind = Kind::Identity;
    JqInfixOp op = JqInfixOp::Eq;     // Infix
    std::string name;                 // Variable, Field, Call
    JsonValue value;                  // Literal
    std::optional<std::int64_t> start; // Slice
    std::optional<std::int64_t> end;   // Slice
    // Field, Slice, Iterate, Negate: {target}; Index: {target, index}; Pipe and Infix: {left,
    // right}; If: {condition, then, else}; ArrayConstruct, Call: the elements or arguments;
    // ObjectConstruct: the member values, with their keys in `keys`.
    std::vector<JqNode> children;
    std::vector<std::string> keys;
};

class JqParser {
public:
    explicit JqParser(const std::vector<JqToken>& tokens) : tokens_(tokens) {}

    static Result<JqNode, std::string> parse_filter(const std::vector<JqToken>& tokens);

private:
    Result<JqNode, std::string> nested();
    Result<JqNode, std::string> parse_or();
    Result<JqNode, std::string> parse_and();
    Result<JqNode, std::string> parse_comparison();
    Result<JqNode, std::string> parse_additive();
    Result<JqNode, std::string> parse_unary();
    Result<JqNode, std::string> parse_postfix();
    Result<JqNode, std::string> parse_primary();

    std::optional<JqToken> token_at(std::size_t pos) const;
    std::optional<JqToken> next_token();
    bool eat(JqTokenKind kind);
    Result<void, std::string> expect(JqTokenKind kind);
    std::optional<std::int64_t> optional_integer();

    const std::vector<JqToken>& tokens_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
};

}  // namespace tw
