// The awk syntax tree. Built once by the parser, never changed afterwards, and read by the
// program check and the evaluator. Every node owns its children.
//
// Names are resolved while parsing: each scalar name, array name and distinct regular-expression
// literal gets a slot number, so that the runtime finds them by index. The first scalar slots are
// the special variables, in the order of `AwkSpecial`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

enum class AwkExprKind : std::uint8_t { Str, Num, Regex, Var, Field, Index, Call, Assign, Infix, Unary, IncDec };

enum class AwkInfixOp : std::uint8_t {
    Or, And, Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, Match, NotMatch, In, Concat, Add, Sub, Mul,
    Div, Rem,
};
enum class AwkUnaryOp : std::uint8_t { Not, Plus, Negate };
enum class AwkAssignOp : std::uint8_t { Set, Add, Sub, Mul, Div, Rem };

// The special variables, which occupy the first scalar slots.
enum class AwkSpecial : std::uint32_t { NR, FNR, NF, FILENAME, FS, OFS, ORS, RS, Count };
inline constexpr std::uint32_t kAwkSpecialCount = static_cast<std::uint32_t>(AwkSpecial::Count);

// The builtin functions, in the order their names are tested; Unknown for any other name.
enum class AwkBuiltin : std::uint8_t {
    Length, Substr, Index, Tolower, Toupper, Int, Log, Split, Sub, Gsub, Match, Sprintf, Unknown,
};

struct AwkExpr;
using AwkExprPtr = std::unique_ptr<AwkExpr>;

// One expression node. Which fields mean something depends on the kind:
//   Str     text
//   Num     number, and text: its text form, made once
//   Regex   text: the source; slot: the literal's slot
//   Var     text: the name; slot: the scalar slot
//   Field   kids[0]: the operand
//   Index   text: the array name; slot: the array slot; kids: the subscripts (one or more)
//   Call    text: the function name; builtin; kids: the arguments
//   Assign  op (AwkAssignOp); kids[0]: the target (a Var, Field or Index node); kids[1]: the value
//   Infix   op (AwkInfixOp); kids[0], kids[1]: left and right
//   Unary   op (AwkUnaryOp); kids[0]: the operand
//   IncDec  prefix, delta (+1 or -1); kids[0]: the target
struct AwkExpr {
    AwkExprKind kind = AwkExprKind::Str;
    std::uint8_t op = 0;
    bool prefix = false;
    std::int8_t delta = 0;
    AwkBuiltin builtin = AwkBuiltin::Unknown;
    std::uint32_t slot = 0;
    double number = 0;
    std::string text;
    std::vector<AwkExprPtr> kids;

    // Whether the node is a writable place: a variable, a field or an array element.
    bool is_lvalue() const {
        return kind == AwkExprKind::Var || kind == AwkExprKind::Field || kind == AwkExprKind::Index;
    }
};

enum class AwkStmtKind : std::uint8_t {
    Block, If, While, For, ForIn, Break, Continue, Delete, Next, NextFile, Exit, Print, Printf, ExprStmt,
};

struct AwkStmt;
using AwkStmtPtr = std::unique_ptr<AwkStmt>;

// One statement:
//   Block     body: the statements
//   If        exprs[0]: the condition; body[0]: then; body[1] (when present): else
//   While     exprs[0]: the condition; body[0]
//   For       exprs[0..2]: init, condition, step (each may be null); body[0]
//   ForIn     var, var_slot: the loop variable; array, array_slot: the array; body[0]
//   Delete    exprs[0]: the element (an Index node)
//   Exit      exprs: the code, when given
//   Print     exprs: the arguments (none: the record)
//   Printf    exprs: the format and the values
//   ExprStmt  exprs[0]
struct AwkStmt {
    AwkStmtKind kind = AwkStmtKind::Block;
    std::vector<AwkExprPtr> exprs;
    std::vector<AwkStmtPtr> body;
    std::string var;
    std::string array;
    std::uint32_t var_slot = 0;
    std::uint32_t array_slot = 0;
};

enum class AwkPatternKind : std::uint8_t { Begin, End, Always, Expr };

struct AwkRule {
    std::vector<AwkStmtPtr> action;
    AwkPatternKind pattern = AwkPatternKind::Always;
    AwkExprPtr expr;  // Expr patterns
};

struct AwkProgram {
    std::vector<AwkRule> rules;
    std::vector<std::string> scalar_names;   // by slot; the special variables first
    std::vector<std::string> array_names;    // by slot
    std::vector<std::string> regex_sources;  // by slot
};

}  // namespace tw
