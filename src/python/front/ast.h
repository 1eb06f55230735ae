// The Python syntax tree.
//
// A `PyModuleTree` is one flat value: vectors of `Stmt`, `Expr` and `Target` nodes addressed by
// 32-bit ids, contiguous lists of child ids or records addressed by `NodeList`s, a table of
// texts (identifiers interned; literal texts stored once each) and a table of constants. It is
// built once by a `PyTreeBuilder` and never changed afterwards, so code objects and machine
// snapshots share one tree through `PyModuleTreePtr`. Copying, comparing and releasing a tree
// never recurses, whatever its depth; nothing in it refers to the token list or the source.
//
// Reading a tree:
//     const Stmt& s = tree.stmt(id);
//     if (auto* assign = std::get_if<Stmt::Assign>(&s.node))
//         for (TargetId t : tree.list(assign->targets)) ...;
//     switch (s.kind()) { case StmtKind::If: ... }
//     std::string_view name = tree.text(std::get<Expr::Name>(e.node).id);
//
// The tree is smaller than Python's own: annotations are not kept, `with` items and `elif`
// chains nest (with a as x, b: holds With(b) as the only statement of With(a)'s body; an elif
// is an `orelse` holding exactly one If), boolean operations are binary and left-nested,
// comparisons keep their chain flat, and -1 is UnaryOp(USub, Constant 1).
//
// Spans: every Stmt and Expr carries the span from its first token to the end of the last token
// the parser consumed for it (a Starred expression starts at its operand; a bare comma Tuple at
// its first element; the nested With records of one statement share its span; an elif's If
// starts at the `elif`). Targets and the other records carry none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "python/front/tokens.h"

namespace tw {

// ---------------------------------------------------------------------------------------------
// Ids. Optional ids use the value 0xFFFFFFFF (kNoExpr, kNoTarget, kNoText).

enum class StmtId : std::uint32_t {};
enum class ExprId : std::uint32_t {};
enum class TargetId : std::uint32_t {};
enum class TextId : std::uint32_t {};
enum class ConstId : std::uint32_t {};

inline constexpr ExprId kNoExpr{0xFFFFFFFFu};
inline constexpr TargetId kNoTarget{0xFFFFFFFFu};
inline constexpr TextId kNoText{0xFFFFFFFFu};

constexpr bool present(ExprId id) { return id != kNoExpr; }
constexpr bool present(TargetId id) { return id != kNoTarget; }
constexpr bool present(TextId id) { return id != kNoText; }

// A list of T: `count` consecutive elements of the tree's table of T from `begin`.
template <class T>
struct NodeList {
    std::uint32_t begin = 0;
    std::uint32_t count = 0;
    constexpr bool empty() const { return count == 0; }
    constexpr std::size_t size() const { return count; }
    bool operator==(const NodeList&) const = default;
};

using StmtList = NodeList<StmtId>;
using ExprList = NodeList<ExprId>;
using TargetList = NodeList<TargetId>;
using TextList = NodeList<TextId>;

// ---------------------------------------------------------------------------------------------
// Operators, one byte each, in their fixed numbering.

enum class BinaryOperator : std::uint8_t {
    Add, Sub, Mult, MatMult, Pow, Div, FloorDiv, Mod, LShift, RShift, BitAnd, BitXor, BitOr,
};
enum class UnaryOperator : std::uint8_t { UAdd, USub, Invert, Not };
enum class BoolOperator : std::uint8_t { And, Or };
enum class CompareOperator : std::uint8_t { Eq, NotEq, Lt, LtE, Gt, GtE, In, NotIn, Is, IsNot };

// "+", "-", "*", "@", "**", "/", "//", "%", "<<", ">>", "&", "^", "|"
std::string_view operator_text(BinaryOperator op);
// "+", "-", "~", "not"
std::string_view operator_text(UnaryOperator op);
// "and", "or"
std::string_view operator_text(BoolOperator op);
// "==", "!=", "<", "<=", ">", ">=", "in", "not in", "is", "is not"
std::string_view operator_text(CompareOperator op);

// ---------------------------------------------------------------------------------------------
// Constants, numbered like the compiled constants.

enum class ConstantKind : std::uint8_t { None, Ellipsis, Bool, Int, BigInt, Float, Imaginary, Str, Bytes };

struct AstConstant {
    ConstantKind kind = ConstantKind::None;
    bool flag = false;              // Bool
    std::int64_t int_value = 0;     // Int
    double float_value = 0;         // Float, Imaginary (the imaginary part)
    TextId text = kNoText;          // BigInt (decimal digits), Str, Bytes
    bool operator==(const AstConstant&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Records without spans.

enum class ParamKind : std::uint8_t { PositionalOnly, PositionalOrKeyword, VarPositional, KeywordOnly, VarKeyword };

// One parameter of a def or lambda, in source order.
struct Parameter {
    TextId name = kNoText;
    ExprId default_value = kNoExpr;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool operator==(const Parameter&) const = default;
};

// One argument of a call. `name` only for Keyword. A bare generator argument is a Positional
// GeneratorExp.
struct CallArg {
    enum class Kind : std::uint8_t { Positional, Starred, DoubleStarred, Keyword };
    Kind kind = Kind::Positional;
    TextId name = kNoText;
    ExprId value = kNoExpr;
    bool operator==(const CallArg&) const = default;
};

// for `target` in `iter` if ifs...
struct Comprehension {
    ExprList ifs;
    ExprId iter = kNoExpr;
    TargetId target = kNoTarget;
    bool operator==(const Comprehension&) const = default;
};

// key: value, or **value (no key).
struct DictItem {
    ExprId key = kNoExpr;
    ExprId value = kNoExpr;
    bool operator==(const DictItem&) const = default;
};

// One piece of an f-string. Text: `text` (escapes applied, doubled braces reduced). Field:
// `expr`. FormattedField: `expr`, `format_spec` (raw text after ":", possibly empty) and
// `conversion` ('s', 'r', 'a', or 0 for none).
struct FStringPart {
    enum class Kind : std::uint8_t { Text, Field, FormattedField };
    Kind kind = Kind::Text;
    char conversion = 0;
    TextId text = kNoText;          // Text: the text; FormattedField: the format spec
    ExprId expr = kNoExpr;
    bool operator==(const FStringPart&) const = default;
};

// except `type` as `name`: body (type absent for a bare except).
struct ExceptClause {
    StmtList body;
    TextId name = kNoText;
    ExprId type = kNoExpr;
    bool operator==(const ExceptClause&) const = default;
};

// import `path` as `bind` (bind: the "as" name, or the first component of the path; in from
// imports the imported name).
struct ImportAlias {
    TextId path = kNoText;
    TextId bind = kNoText;
    bool operator==(const ImportAlias&) const = default;
};

// One (operator, operand) pair of a comparison chain.
struct Comparison {
    CompareOperator op = CompareOperator::Eq;
    ExprId value = kNoExpr;
    bool operator==(const Comparison&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Targets: the left side of an assignment, a for target, a del operand, a with's "as" binding.

struct Target {
    struct Name {
        TextId id = kNoText;
        bool operator==(const Name&) const = default;
    };
    struct Starred {
        TargetId target = kNoTarget;
        bool operator==(const Starred&) const = default;
    };
    // Both (a, b) and [a, b].
    struct Tuple {
        TargetList elts;
        bool operator==(const Tuple&) const = default;
    };
    struct Attribute {
        TextId attr = kNoText;
        ExprId value = kNoExpr;
        bool operator==(const Attribute&) const = default;
    };
    struct Subscript {
        ExprId value = kNoExpr;
        ExprId index = kNoExpr;
        bool operator==(const Subscript&) const = default;
    };
    using Node = std::variant<Name, Starred, Tuple, Attribute, Subscript>;
    Node node;
    bool operator==(const Target&) const = default;
};

enum class TargetKind : std::uint8_t { Name, Starred, Tuple, Attribute, Subscript };

// ---------------------------------------------------------------------------------------------
// Expressions: 26 kinds, numbered by their position in Expr::Node.

enum class ExprKind : std::uint8_t {
    Constant, JoinedStr, Starred, Name, NamedExpr, List, Tuple, Dict, Set, ListComp, SetComp,
    DictComp, GeneratorExp, Yield, YieldFrom, Await, Attribute, Subscript, Slice, Call, Lambda,
    UnaryOp, BinaryOp, IfExp, BoolOp, Compare,
};

struct Expr {
    struct Constant {
        ConstId value{};
        bool operator==(const Constant&) const = default;
    };
    struct JoinedStr {
        NodeList<FStringPart> parts;
        bool operator==(const JoinedStr&) const = default;
    };
    struct Starred {
        ExprId value = kNoExpr;
        bool operator==(const Starred&) const = default;
    };
    struct Name {
        TextId id = kNoText;
        bool operator==(const Name&) const = default;
    };
    struct NamedExpr {
        TextId target = kNoText;
        ExprId value = kNoExpr;
        bool operator==(const NamedExpr&) const = default;
    };
    struct List {
        ExprList elts;
        bool operator==(const List&) const = default;
    };
    struct Tuple {
        ExprList elts;
        bool operator==(const Tuple&) const = default;
    };
    struct Dict {
        NodeList<DictItem> items;
        bool operator==(const Dict&) const = default;
    };
    struct Set {
        ExprList elts;
        bool operator==(const Set&) const = default;
    };
    struct ListComp {
        ExprId elt = kNoExpr;
        NodeList<Comprehension> generators;
        bool operator==(const ListComp&) const = default;
    };
    struct SetComp {
        ExprId elt = kNoExpr;
        NodeList<Comprehension> generators;
        bool operator==(const SetComp&) const = default;
    };
    struct DictComp {
        NodeList<Comprehension> generators;
        ExprId key = kNoExpr;
        ExprId value = kNoExpr;
        bool operator==(const DictComp&) const = default;
    };
    struct GeneratorExp {
        ExprId elt = kNoExpr;
        NodeList<Comprehension> generators;
        bool operator==(const GeneratorExp&) const = default;
    };
    struct Yield {
        ExprId value = kNoExpr;  // optional
        bool operator==(const Yield&) const = default;
    };
    struct YieldFrom {
        ExprId value = kNoExpr;
        bool operator==(const YieldFrom&) const = default;
    };
    struct Await {
        ExprId value = kNoExpr;
        bool operator==(const Await&) const = default;
    };
    struct Attribute {
        TextId attr = kNoText;
        ExprId value = kNoExpr;
        bool operator==(const Attribute&) const = default;
    };
    struct Subscript {
        ExprId value = kNoExpr;
        ExprId index = kNoExpr;
        bool operator==(const Subscript&) const = default;
    };
    struct Slice {
        ExprId lower = kNoExpr;  // each optional
        ExprId upper = kNoExpr;
        ExprId step = kNoExpr;
        bool operator==(const Slice&) const = default;
    };
    struct Call {
        NodeList<CallArg> args;
        ExprId func = kNoExpr;
        bool operator==(const Call&) const = default;
    };
    struct Lambda {
        NodeList<Parameter> params;
        ExprId body = kNoExpr;
        bool operator==(const Lambda&) const = default;
    };
    struct UnaryOp {
        ExprId operand = kNoExpr;
        UnaryOperator op = UnaryOperator::UAdd;
        bool operator==(const UnaryOp&) const = default;
    };
    struct BinaryOp {
        ExprId left = kNoExpr;
        ExprId right = kNoExpr;
        BinaryOperator op = BinaryOperator::Add;
        bool operator==(const BinaryOp&) const = default;
    };
    struct IfExp {
        ExprId test = kNoExpr;
        ExprId body = kNoExpr;
        ExprId orelse = kNoExpr;
        bool operator==(const IfExp&) const = default;
    };
    struct BoolOp {
        ExprId left = kNoExpr;
        ExprId right = kNoExpr;
        BoolOperator op = BoolOperator::And;
        bool operator==(const BoolOp&) const = default;
    };
    struct Compare {
        NodeList<Comparison> comparators;  // at least one
        ExprId left = kNoExpr;
        bool operator==(const Compare&) const = default;
    };

    using Node = std::variant<Constant, JoinedStr, Starred, Name, NamedExpr, List, Tuple, Dict, Set,
                              ListComp, SetComp, DictComp, GeneratorExp, Yield, YieldFrom, Await,
                              Attribute, Subscript, Slice, Call, Lambda, UnaryOp, BinaryOp, IfExp,
                              BoolOp, Compare>;
    Node node;
    SourceSpan span;

    ExprKind kind() const { return static_cast<ExprKind>(node.index()); }
    bool operator==(const Expr&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Statements: 26 kinds, numbered by their position in Stmt::Node.

enum class StmtKind : std::uint8_t {
    Import, ImportFrom, ImportStar, Assign, AugAssign, Delete, Expr, If, While, For, AsyncFor,
    FunctionDef, ClassDef, Decorated, AnnAssign, Return, Break, Continue, Global, Nonlocal, Pass,
    Assert, Try, Raise, With, AsyncWith,
};

struct Stmt {
    struct Import {
        NodeList<ImportAlias> names;
        bool operator==(const Import&) const = default;
    };
    // `module` keeps its leading dots as written (".", "..pkg.sub").
    struct ImportFrom {
        TextId module = kNoText;
        NodeList<ImportAlias> names;
        bool operator==(const ImportFrom&) const = default;
    };
    struct ImportStar {
        TextId module = kNoText;
        bool operator==(const ImportStar&) const = default;
    };
    // targets left to right, at least one: a = b = 1 has [a, b].
    struct Assign {
        TargetList targets;
        ExprId value = kNoExpr;
        bool operator==(const Assign&) const = default;
    };
    struct AugAssign {
        BinaryOperator op = BinaryOperator::Add;
        TargetId target = kNoTarget;
        ExprId value = kNoExpr;
        bool operator==(const AugAssign&) const = default;
    };
    // One target; del a, b has a Target::Tuple.
    struct Delete {
        TargetId target = kNoTarget;
        bool operator==(const Delete&) const = default;
    };
    struct Expr {
        ExprId value = kNoExpr;
        bool operator==(const Expr&) const = default;
    };
    struct If {
        ExprId test = kNoExpr;
        StmtList body;
        StmtList orelse;
        bool operator==(const If&) const = default;
    };
    struct While {
        ExprId test = kNoExpr;
        StmtList body;
        StmtList orelse;
        bool operator==(const While&) const = default;
    };
    struct For {
        TargetId target = kNoTarget;
        ExprId iter = kNoExpr;
        StmtList body;
        StmtList orelse;
        bool operator==(const For&) const = default;
    };
    struct AsyncFor {
        TargetId target = kNoTarget;
        ExprId iter = kNoExpr;
        StmtList body;
        StmtList orelse;
        bool operator==(const AsyncFor&) const = default;
    };
    struct FunctionDef {
        bool is_async = false;
        TextId name = kNoText;
        NodeList<Parameter> params;
        StmtList body;
        bool operator==(const FunctionDef&) const = default;
    };
    struct ClassDef {
        TextId name = kNoText;
        ExprList bases;
        ExprId metaclass = kNoExpr;  // optional
        StmtList body;
        bool operator==(const ClassDef&) const = default;
    };
    // decorators in source order, not empty; definition a FunctionDef or ClassDef.
    struct Decorated {
        ExprList decorators;
        StmtId definition{};
        bool operator==(const Decorated&) const = default;
    };
    struct AnnAssign {
        TargetId target = kNoTarget;
        ExprId value = kNoExpr;  // optional
        bool operator==(const AnnAssign&) const = default;
    };
    struct Return {
        ExprId value = kNoExpr;  // optional
        bool operator==(const Return&) const = default;
    };
    struct Break {
        bool operator==(const Break&) const = default;
    };
    struct Continue {
        bool operator==(const Continue&) const = default;
    };
    struct Global {
        TextList names;
        bool operator==(const Global&) const = default;
    };
    struct Nonlocal {
        TextList names;
        bool operator==(const Nonlocal&) const = default;
    };
    struct Pass {
        bool operator==(const Pass&) const = default;
    };
    struct Assert {
        ExprId test = kNoExpr;
        ExprId msg = kNoExpr;  // optional
        bool operator==(const Assert&) const = default;
    };
    // At least one handler or a non-empty finalbody.
    struct Try {
        StmtList body;
        NodeList<ExceptClause> handlers;
        StmtList orelse;
        StmtList finalbody;
        bool operator==(const Try&) const = default;
    };
    struct Raise {
        ExprId exc = kNoExpr;    // optional
        ExprId cause = kNoExpr;  // optional
        bool operator==(const Raise&) const = default;
    };
    // One context item; several items nest.
    struct With {
        ExprId ctx = kNoExpr;
        TargetId target = kNoTarget;  // optional
        StmtList body;
        bool operator==(const With&) const = default;
    };
    struct AsyncWith {
        ExprId ctx = kNoExpr;
        TargetId target = kNoTarget;  // optional
        StmtList body;
        bool operator==(const AsyncWith&) const = default;
    };

    using Node = std::variant<Import, ImportFrom, ImportStar, Assign, AugAssign, Delete, Expr, If,
                              While, For, AsyncFor, FunctionDef, ClassDef, Decorated, AnnAssign,
                              Return, Break, Continue, Global, Nonlocal, Pass, Assert, Try, Raise,
                              With, AsyncWith>;
    Node node;
    SourceSpan span;

    StmtKind kind() const { return static_cast<StmtKind>(node.index()); }
    // If, While, For, AsyncFor, FunctionDef, ClassDef, Decorated, Try, With, AsyncWith.
    bool is_compound() const;
    bool operator==(const Stmt&) const = default;
};

// ---------------------------------------------------------------------------------------------
// The tree.

class PyTreeBuilder;

class PyModuleTree {
public:
    PyModuleTree() = default;

    // The module's statements.
    StmtList body() const { return body_; }

    const Stmt& stmt(StmtId id) const { return stmts_[index(id)]; }
    const Expr& expr(ExprId id) const { return exprs_[index(id)]; }
    const Target& target(TargetId id) const { return targets_[index(id)]; }
    const AstConstant& constant(ConstId id) const { return constants_[index(id)]; }
    // A text of the tree (an identifier, a literal's text or bytes, a format spec). The view
    // lives as long as the tree.
    std::string_view text(TextId id) const;

    std::span<const StmtId> list(StmtList l) const { return slice(stmt_refs_, l); }
    std::span<const ExprId> list(ExprList l) const { return slice(expr_refs_, l); }
    std::span<const TargetId> list(TargetList l) const { return slice(target_refs_, l); }
    std::span<const TextId> list(TextList l) const { return slice(text_refs_, l); }
    std::span<const Parameter> list(NodeList<Parameter> l) const { return slice(params_, l); }
    std::span<const CallArg> list(NodeList<CallArg> l) const { return slice(call_args_, l); }
    std::span<const Comprehension> list(NodeList<Comprehension> l) const { return slice(comprehensions_, l); }
    std::span<const DictItem> list(NodeList<DictItem> l) const { return slice(dict_items_, l); }
    std::span<const FStringPart> list(NodeList<FStringPart> l) const { return slice(fstring_parts_, l); }
    std::span<const ExceptClause> list(NodeList<ExceptClause> l) const { return slice(handlers_, l); }
    std::span<const ImportAlias> list(NodeList<ImportAlias> l) const { return slice(aliases_, l); }
    std::span<const Comparison> list(NodeList<Comparison> l) const { return slice(comparisons_, l); }

    std::size_t stmt_count() const { return stmts_.size(); }
    std::size_t expr_count() const { return exprs_.size(); }
    std::size_t target_count() const { return targets_.size(); }
    std::size_t constant_count() const { return constants_.size(); }
    std::size_t text_count() const { return text_refs_table_.size(); }

    // The bytes the tree occupies (its tables' element sizes times their lengths, the text pool),
    // for memory accounting of whoever keeps the tree.
    std::size_t modeled_size() const;

    // Structural equality of the stored tables (two trees built by the same steps are equal).
    bool operator==(const PyModuleTree&) const = default;

private:
    friend class PyTreeBuilder;

    struct TextRef {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        bool operator==(const TextRef&) const = default;
    };

    template <class Id>
    static std::size_t index(Id id) { return static_cast<std::size_t>(std::to_underlying(id)); }

    template <class T, class U>
    static std::span<const T> slice(const std::vector<T>& v, NodeList<U> l) {
        return std::span<const T>(v.data() + l.begin, l.count);
    }

    StmtList body_;
    std::vector<Stmt> stmts_;
    std::vector<Expr> exprs_;
    std::vector<Target> targets_;
    std::vector<AstConstant> constants_;
    std::string text_pool_;
    std::vector<TextRef> text_refs_table_;
    std::vector<StmtId> stmt_refs_;
    std::vector<ExprId> expr_refs_;
    std::vector<TargetId> target_refs_;
    std::vector<TextId> text_refs_;
    std::vector<Parameter> params_;
    std::vector<CallArg> call_args_;
    std::vector<Comprehension> comprehensions_;
    std::vector<DictItem> dict_items_;
    std::vector<FStringPart> fstring_parts_;
    std::vector<ExceptClause> handlers_;
    std::vector<ImportAlias> aliases_;
    std::vector<Comparison> comparisons_;
};

// Trees are shared immutably.
using PyModuleTreePtr = std::shared_ptr<const PyModuleTree>;

// Builds a tree bottom-up: children first, then the lists that hold them, then their parent;
// `finish` hands the tree over with its module body. Ids handed out stay valid in the finished
// tree. A builder that is dropped releases its partial tree.
//
// Limits: each table holds fewer than 2^32 - 1 entries and the text pool less than 4 GiB; a
// source that could reach them is far beyond what the lexer is given (tw::panic otherwise).
class PyTreeBuilder {
public:
    PyTreeBuilder() = default;

    StmtId add(Stmt s);
    ExprId add(Expr e);
    TargetId add(Target t);
    ConstId add(AstConstant c);

    StmtId add_stmt(Stmt::Node node, SourceSpan span) { return add(Stmt{std::move(node), span}); }
    ExprId add_expr(Expr::Node node, SourceSpan span) { return add(Expr{std::move(node), span}); }
    TargetId add_target(Target::Node node) { return add(Target{std::move(node)}); }

    // An identifier or other short text, stored once however often it is interned.
    TextId intern(std::string_view text);
    // A literal's text or bytes, stored as given (not looked up).
    TextId add_text(std::string_view text);

    // Shorthands for the constant expressions.
    ExprId add_constant_expr(AstConstant c, SourceSpan span);
    static AstConstant none_constant() { return {ConstantKind::None}; }
    static AstConstant ellipsis_constant() { return {ConstantKind::Ellipsis}; }
    static AstConstant bool_constant(bool b) { return {ConstantKind::Bool, b}; }
    static AstConstant int_constant(std::int64_t v) { return {ConstantKind::Int, false, v}; }
    static AstConstant float_constant(double v) { return {ConstantKind::Float, false, 0, v}; }
    static AstConstant imaginary_constant(double v) { return {ConstantKind::Imaginary, false, 0, v}; }
    AstConstant big_int_constant(std::string_view digits) { return {ConstantKind::BigInt, false, 0, 0, add_text(digits)}; }
    AstConstant str_constant(std::string_view text) { return {ConstantKind::Str, false, 0, 0, add_text(text)}; }
    AstConstant bytes_constant(std::string_view bytes) { return {ConstantKind::Bytes, false, 0, 0, add_text(bytes)}; }

    // Lists: the elements are copied to the end of their table and stay together.
    StmtList list(std::span<const StmtId> items) { return append(tree_.stmt_refs_, items); }
    ExprList list(std::span<const ExprId> items) { return append(tree_.expr_refs_, items); }
    TargetList list(std::span<const TargetId> items) { return append(tree_.target_refs_, items); }
    TextList list(std::span<const TextId> items) { return append(tree_.text_refs_, items); }
    NodeList<Parameter> list(std::span<const Parameter> items) { return append(tree_.params_, items); }
    NodeList<CallArg> list(std::span<const CallArg> items) { return append(tree_.call_args_, items); }
    NodeList<Comprehension> list(std::span<const Comprehension> items) { return append(tree_.comprehensions_, items); }
    NodeList<DictItem> list(std::span<const DictItem> items) { return append(tree_.dict_items_, items); }
    NodeList<FStringPart> list(std::span<const FStringPart> items) { return append(tree_.fstring_parts_, items); }
    NodeList<ExceptClause> list(std::span<const ExceptClause> items) { return append(tree_.handlers_, items); }
    NodeList<ImportAlias> list(std::span<const ImportAlias> items) { return append(tree_.aliases_, items); }
    NodeList<Comparison> list(std::span<const Comparison> items) { return append(tree_.comparisons_, items); }
    template <class T>
    auto list(std::initializer_list<T> items) { return list(std::span<const T>(items.begin(), items.size())); }
    template <class T>
    auto list(const std::vector<T>& items) { return list(std::span<const T>(items)); }

    // The tree as built so far (for reading back nodes while building).
    const PyModuleTree& tree() const { return tree_; }

    // Copies the expression `id` of another tree, with everything below it, into this builder
    // (spans kept as they are); the f-string field parser moves field expressions this way.
    ExprId copy_expr_from(const PyModuleTree& source, ExprId id);
    // The same for a statement.
    StmtId copy_stmt_from(const PyModuleTree& source, StmtId id);

    // Ends the build; the builder is left empty.
    PyModuleTree finish(StmtList body);

private:
    // The index the next `adding` entries of a table of `size` entries start at; panics when
    // the table would pass its 32-bit limit.
    static std::uint32_t next_index(std::size_t size, std::size_t adding = 1);

    template <class T>
    static NodeList<T> append(std::vector<T>& table, std::span<const T> items) {
        NodeList<T> l{next_index(table.size(), items.size()), static_cast<std::uint32_t>(items.size())};
        table.insert(table.end(), items.begin(), items.end());
        return l;
    }

    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    PyModuleTree tree_;
    std::unordered_map<std::string, TextId, TextHash, std::equal_to<>> interned_;
};

// A compact one-line text form of a node for tests and debugging; the module form writes each
// statement of the body on a line of its own. Nodes are written Kind(fields, ...) with the
// fields in source order, lists in brackets, identifiers bare, str constants quoted with
// Python's escapes, operators by their enumerator names and absent optional parts as "-":
//   Assign([Name(a), Name(b)], Constant(1))
//   If(Name(x), [Pass], [Expr(Call(Name(f), [Constant('s'), *Name(a), k=Constant(1), **Name(b)]))])
//   FunctionDef(f, [pos:a, b=Constant(1), *args, kw:c, **kw], [Return(-)])
//   Expr(ListComp(Name(x), [for Name(x) in Name(y) if Name(x)]))
//   Expr(JoinedStr(['a', {Name(x)}, {Name(y)!r:>4}]))
std::string py_tree_dump(const PyModuleTree& tree);
// Python's repr of a float, and of a str (bytes: false) or bytes literal's content.
std::string py_float_repr(double v);
std::string py_quote_text(std::string_view text, bool bytes);
std::string py_expr_dump(const PyModuleTree& tree, ExprId id);
std::string py_stmt_dump(const PyModuleTree& tree, StmtId id);

}  // namespace tw
