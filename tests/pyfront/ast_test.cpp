// The flat Python syntax tree: building, reading, copying subtrees, the dump form, depth.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "python/front/ast.h"

namespace tw {
namespace {

// Small constructors over a builder; spans are given only where a test looks at them.
struct Make {
    PyTreeBuilder b;

    ExprId name(std::string_view id, SourceSpan span = {}) { return b.add_expr(Expr::Name{b.intern(id)}, span); }
    ExprId num(std::int64_t v) { return b.add_constant_expr(PyTreeBuilder::int_constant(v), {}); }
    ExprId str(std::string_view s) { return b.add_constant_expr(b.str_constant(s), {}); }
    ExprId flt(double v) { return b.add_constant_expr(PyTreeBuilder::float_constant(v), {}); }
    TargetId tname(std::string_view id) { return b.add_target(Target::Name{b.intern(id)}); }
    StmtId stmt(Stmt::Node node) { return b.add_stmt(std::move(node), {}); }
    StmtId expr_stmt(ExprId e) { return stmt(Stmt::Expr{e}); }
    ExprId bin(BinaryOperator op, ExprId l, ExprId r) { return b.add_expr(Expr::BinaryOp{l, r, op}, {}); }
    StmtList body(std::initializer_list<StmtId> s) { return b.list(s); }
    PyModuleTree finish(std::initializer_list<StmtId> s) { return b.finish(b.list(s)); }
};

TEST(PyAst, KindNumbering) {
    static_assert(std::variant_size_v<Stmt::Node> == 26);
    static_assert(std::variant_size_v<Expr::Node> == 26);
    EXPECT_EQ((Stmt{Stmt::Import{}}.kind()), StmtKind::Import);
    EXPECT_EQ((Stmt{Stmt::Expr{}}.kind()), StmtKind::Expr);
    EXPECT_EQ(static_cast<int>(Stmt{Stmt::Expr{}}.kind()), 6);
    EXPECT_EQ(static_cast<int>(Stmt{Stmt::Decorated{}}.kind()), 13);
    EXPECT_EQ(static_cast<int>(Stmt{Stmt::AsyncWith{}}.kind()), 25);
    EXPECT_EQ(static_cast<int>(Expr{Expr::Name{}}.kind()), 3);
    EXPECT_EQ(static_cast<int>(Expr{Expr::Slice{}}.kind()), 18);
    EXPECT_EQ(static_cast<int>(Expr{Expr::Compare{}}.kind()), 25);
    EXPECT_EQ(static_cast<int>(ConstantKind::Bytes), 8);
    EXPECT_EQ(static_cast<int>(BinaryOperator::BitOr), 12);
    EXPECT_EQ(static_cast<int>(CompareOperator::IsNot), 9);
    EXPECT_EQ(static_cast<int>(ParamKind::VarKeyword), 4);
    EXPECT_TRUE((Stmt{Stmt::Try{}}.is_compound()));
    EXPECT_TRUE((Stmt{Stmt::Decorated{}}.is_compound()));
    EXPECT_FALSE((Stmt{Stmt::Return{}}.is_compound()));
    EXPECT_EQ(operator_text(CompareOperator::NotIn), "not in");
    EXPECT_EQ(operator_text(BinaryOperator::FloorDiv), "//");
    EXPECT_EQ(operator_text(UnaryOperator::Not), "not");
}

TEST(PyAst, TextsAreInternedOrStored) {
    PyTreeBuilder b;
    TextId a1 = b.intern("alpha");
    TextId a2 = b.intern("alpha");
    TextId l1 = b.add_text("alpha");
    TextId l2 = b.add_text("");
    EXPECT_EQ(a1, a2);
    EXPECT_NE(a1, l1);
    PyModuleTree t = b.finish({});
    EXPECT_EQ(t.text(a1), "alpha");
    EXPECT_EQ(t.text(l1), "alpha");
    EXPECT_EQ(t.text(l2), "");
    EXPECT_EQ(t.text_count(), 3u);
    // Texts may hold any bytes.
    PyTreeBuilder c;
    TextId z = c.add_text(std::string_view("a\0b", 3));
    PyModuleTree u = c.finish({});
    EXPECT_EQ(u.text(z), std::string_view("a\0b", 3));
}

TEST(PyAst, ReadingNodesAndLists) {
    Make m;
    // a = b = 1
    TargetList targets = m.b.list({m.tname("a"), m.tname("b")});
    StmtId assign = m.b.add_stmt(Stmt::Assign{targets, m.num(1)}, SourceSpan{0, 9, 1, 1});
    PyModuleTree t = m.finish({assign});

    ASSERT_EQ(t.body().size(), 1u);
    const Stmt& s = t.stmt(t.list(t.body())[0]);
    EXPECT_EQ(s.kind(), StmtKind::Assign);
    EXPECT_EQ(s.span, (SourceSpan{0, 9, 1, 1}));
    const auto& a = std::get<Stmt::Assign>(s.node);
    std::vector<std::string_view> names;
    for (TargetId id : t.list(a.targets)) names.push_back(t.text(std::get<Target::Name>(t.target(id).node).id));
    EXPECT_EQ(names, (std::vector<std::string_view>{"a", "b"}));
    const auto& c = t.constant(std::get<Expr::Constant>(t.expr(a.value).node).value);
    EXPECT_EQ(c.kind, ConstantKind::Int);
    EXPECT_EQ(c.int_value, 1);
    EXPECT_EQ(py_tree_dump(t), "Assign([Name(a), Name(b)], Constant(1))\n");
}

// A tree holding every statement and expression kind and every record, with its dump.
PyModuleTree every_kind(Make& m) {
    auto& b = m.b;
    std::vector<StmtId> top;
    top.push_back(m.stmt(Stmt::Import{b.list({ImportAlias{b.intern("a.b"), b.intern("a")}})}));
    top.push_back(m.stmt(Stmt::ImportFrom{b.intern("..pkg"), b.list({ImportAlias{b.intern("x"), b.intern("y")}})}));
    top.push_back(m.stmt(Stmt::ImportStar{b.intern("m")}));
    TargetId tup = b.add_target(Target::Tuple{b.list({m.tname("x"), b.add_target(Target::Starred{m.tname("y")})})});
    top.push_back(m.stmt(Stmt::Assign{b.list({tup}), b.add_expr(Expr::Tuple{b.list({m.num(1), m.num(2)})}, {})}));
    top.push_back(m.stmt(Stmt::AugAssign{BinaryOperator::MatMult, b.add_target(Target::Attribute{b.intern("f"), m.name("o")}), m.num(3)}));
    top.push_back(m.stmt(Stmt::Delete{b.add_target(Target::Subscript{m.name("d"), m.str("k")})}));
    StmtId inner_if = m.stmt(Stmt::If{m.name("b"), m.body({m.stmt(Stmt::Pass{})}), {}});
    top.push_back(m.stmt(Stmt::If{m.name("a"), m.body({m.stmt(Stmt::Break{})}), m.body({inner_if})}));
    top.push_back(m.stmt(Stmt::While{m.name("c"), m.body({m.stmt(Stmt::Continue{})}), m.body({m.stmt(Stmt::Pass{})})}));
    top.push_back(m.stmt(Stmt::For{m.tname("i"), m.name("r"), m.body({m.stmt(Stmt::Pass{})}), {}}));
    top.push_back(m.stmt(Stmt::AsyncFor{m.tname("i"), m.name("r"), m.body({m.stmt(Stmt::Pass{})}), {}}));
    std::vector<Parameter> params = {
        {b.intern("a"), kNoExpr, ParamKind::PositionalOnly},   {b.intern("b"), m.num(1), ParamKind::PositionalOrKeyword},
        {b.intern("args"), kNoExpr, ParamKind::VarPositional}, {b.intern("c"), kNoExpr, ParamKind::KeywordOnly},
        {b.intern("kw"), kNoExpr, ParamKind::VarKeyword},
    };
    StmtId fn = m.stmt(Stmt::FunctionDef{true, b.intern("f"), b.list(params),
                                         m.body({m.stmt(Stmt::Return{kNoExpr}),
                                                 m.stmt(Stmt::Global{b.list({b.intern("g"), b.intern("h")})}),
                                                 m.stmt(Stmt::Nonlocal{b.list({b.intern("n")})})})});
    top.push_back(m.stmt(Stmt::Decorated{b.list({m.name("deco")}), fn}));
    top.push_back(m.stmt(Stmt::ClassDef{b.intern("C"), b.list({m.name("B")}), m.name("M"), m.body({m.stmt(Stmt::Pass{})})}));
    top.push_back(m.stmt(Stmt::AnnAssign{m.tname("v"), kNoExpr}));
    top.push_back(m.stmt(Stmt::Assert{m.name("t"), m.str("msg")}));
    std::vector<ExceptClause> handlers = {
        {m.body({m.stmt(Stmt::Pass{})}), b.intern("e"), m.name("E")},
        {m.body({m.stmt(Stmt::Raise{m.name("X"), m.name("Y")})}), kNoText, kNoExpr},
    };
    top.push_back(m.stmt(Stmt::Try{m.body({m.stmt(Stmt::Pass{})}), b.list(handlers), m.body({m.stmt(Stmt::Pass{})}),
                                   m.body({m.stmt(Stmt::Raise{})})}));
    StmtId inner_with = m.stmt(Stmt::With{m.name("b"), kNoTarget, m.body({m.stmt(Stmt::Pass{})})});
    top.push_back(m.stmt(Stmt::With{m.name("a"), m.tname("x"), m.body({inner_with})}));
    top.push_back(m.stmt(Stmt::AsyncWith{m.name("a"), kNoTarget, m.body({m.stmt(Stmt::Pass{})})}));

    // Expressions.
    auto e = [&](ExprId x) { top.push_back(m.expr_stmt(x)); };
    std::vector<FStringPart> parts = {
        {FStringPart::Kind::Text, 0, b.add_text("a'b"), kNoExpr},
        {FStringPart::Kind::Field, 0, kNoText, m.name("x")},
        {FStringPart::Kind::FormattedField, 'r', b.add_text(">4"), m.name("y")},
        {FStringPart::Kind::FormattedField, 0, b.add_text(""), m.name("z")},
    };
    e(b.add_expr(Expr::JoinedStr{b.list(parts)}, {}));
    e(b.add_expr(Expr::List{b.list({b.add_expr(Expr::Starred{m.name("a")}, {}), m.name("b")})}, {}));
    e(b.add_expr(Expr::NamedExpr{b.intern("n"), m.num(5)}, {}));
    e(b.add_expr(Expr::Dict{b.list({DictItem{kNoExpr, m.name("d")}, DictItem{m.str("k"), m.num(1)}})}, {}));
    e(b.add_expr(Expr::Set{b.list({m.num(1)})}, {}));
    Comprehension clause{b.list({m.name("c1"), m.name("c2")}), m.name("xs"), m.tname("x")};
    e(b.add_expr(Expr::ListComp{m.name("x"), b.list({clause})}, {}));
    e(b.add_expr(Expr::SetComp{m.name("x"), b.list({clause})}, {}));
    e(b.add_expr(Expr::DictComp{b.list({clause}), m.name("k"), m.name("v")}, {}));
    e(b.add_expr(Expr::GeneratorExp{m.name("x"), b.list({clause})}, {}));
    e(b.add_expr(Expr::Yield{kNoExpr}, {}));
    e(b.add_expr(Expr::YieldFrom{m.name("g")}, {}));
    e(b.add_expr(Expr::Await{m.name("w")}, {}));
    e(b.add_expr(Expr::Attribute{b.intern("attr"), m.name("o")}, {}));
    ExprId slices = b.add_expr(Expr::Tuple{b.list({b.add_expr(Expr::Slice{m.num(1), m.num(2), kNoExpr}, {}),
                                                   b.add_expr(Expr::Slice{kNoExpr, kNoExpr, m.num(3)}, {})})},
                               {});
    e(b.add_expr(Expr::Subscript{m.name("x"), slices}, {}));
    std::vector<CallArg> args = {
        {CallArg::Kind::Positional, kNoText, m.str("s")},
        {CallArg::Kind::Starred, kNoText, m.name("a")},
        {CallArg::Kind::Keyword, b.intern("k"), m.num(1)},
        {CallArg::Kind::DoubleStarred, kNoText, m.name("b")},
    };
    e(b.add_expr(Expr::Call{b.list(args), m.name("f")}, {}));
    e(b.add_expr(Expr::Lambda{b.list({Parameter{b.intern("x"), kNoExpr, ParamKind::PositionalOrKeyword}}), m.name("x")}, {}));
    e(b.add_expr(Expr::UnaryOp{m.num(5), UnaryOperator::USub}, {}));
    e(m.bin(BinaryOperator::Pow, m.num(2), m.bin(BinaryOperator::Pow, m.num(3), m.num(2))));
    e(b.add_expr(Expr::IfExp{m.name("t"), m.name("a"), m.name("b")}, {}));
    e(b.add_expr(Expr::BoolOp{b.add_expr(Expr::BoolOp{m.name("a"), m.name("b"), BoolOperator::Or}, {}), m.name("c"),
                              BoolOperator::Or},
                 {}));
    e(b.add_expr(Expr::Compare{b.list({Comparison{CompareOperator::Lt, m.name("b")}, Comparison{CompareOperator::NotIn, m.name("c")}}),
                               m.name("a")},
                 {}));
    e(b.add_constant_expr(PyTreeBuilder::none_constant(), {}));
    e(b.add_constant_expr(PyTreeBuilder::ellipsis_constant(), {}));
    e(b.add_constant_expr(PyTreeBuilder::bool_constant(true), {}));
    e(b.add_constant_expr(b.big_int_constant("9223372036854775808"), {}));
    e(b.add_constant_expr(PyTreeBuilder::imaginary_constant(2), {}));
    e(b.add_constant_expr(b.bytes_constant(std::string_view("a\0\xff'", 4)), {}));
    e(m.str("it's\n"));
    return b.finish(b.list(top));
}

constexpr std::string_view kEveryKindDump =
    "Import([a.b as a])\n"
    "ImportFrom(..pkg, [x as y])\n"
    "ImportStar(m)\n"
    "Assign([Tuple([Name(x), Starred(Name(y))])], Tuple([Constant(1), Constant(2)]))\n"
    "AugAssign(MatMult, Attribute(Name(o), f), Constant(3))\n"
    "Delete(Subscript(Name(d), Constant('k')))\n"
    "If(Name(a), [Break], [If(Name(b), [Pass], [])])\n"
    "While(Name(c), [Continue], [Pass])\n"
    "For(Name(i), Name(r), [Pass], [])\n"
    "AsyncFor(Name(i), Name(r), [Pass], [])\n"
    "Decorated([Name(deco)], FunctionDef(async f, [pos:a, b=Constant(1), *args, kw:c, **kw], "
    "[Return(-), Global([g, h]), Nonlocal([n])]))\n"
    "ClassDef(C, [Name(B)], Name(M), [Pass])\n"
    "AnnAssign(Name(v), -)\n"
    "Assert(Name(t), Constant('msg'))\n"
    "Try([Pass], [Handler(Name(E), e, [Pass]), Handler(-, -, [Raise(Name(X), Name(Y))])], [Pass], [Raise(-, -)])\n"
    "With(Name(a), Name(x), [With(Name(b), -, [Pass])])\n"
    "AsyncWith(Name(a), -, [Pass])\n"
    "Expr(JoinedStr([\"a'b\", {Name(x)}, {Name(y)!r:>4}, {Name(z):}]))\n"
    "Expr(List([Starred(Name(a)), Name(b)]))\n"
    "Expr(NamedExpr(n, Constant(5)))\n"
    "Expr(Dict([**Name(d), Constant('k'): Constant(1)]))\n"
    "Expr(Set([Constant(1)]))\n"
    "Expr(ListComp(Name(x), [for Name(x) in Name(xs) if Name(c1) if Name(c2)]))\n"
    "Expr(SetComp(Name(x), [for Name(x) in Name(xs) if Name(c1) if Name(c2)]))\n"
    "Expr(DictComp(Name(k): Name(v), [for Name(x) in Name(xs) if Name(c1) if Name(c2)]))\n"
    "Expr(GeneratorExp(Name(x), [for Name(x) in Name(xs) if Name(c1) if Name(c2)]))\n"
    "Expr(Yield(-))\n"
    "Expr(YieldFrom(Name(g)))\n"
    "Expr(Await(Name(w)))\n"
    "Expr(Attribute(Name(o), attr))\n"
    "Expr(Subscript(Name(x), Tuple([Slice(Constant(1), Constant(2), -), Slice(-, -, Constant(3))])))\n"
    "Expr(Call(Name(f), [Constant('s'), *Name(a), k=Constant(1), **Name(b)]))\n"
    "Expr(Lambda([x], Name(x)))\n"
    "Expr(UnaryOp(USub, Constant(5)))\n"
    "Expr(BinaryOp(Pow, Constant(2), BinaryOp(Pow, Constant(3), Constant(2))))\n"
    "Expr(IfExp(Name(t), Name(a), Name(b)))\n"
    "Expr(BoolOp(Or, BoolOp(Or, Name(a), Name(b)), Name(c)))\n"
    "Expr(Compare(Name(a), [Lt Name(b), NotIn Name(c)]))\n"
    "Expr(Constant(None))\n"
    "Expr(Constant(...))\n"
    "Expr(Constant(True))\n"
    "Expr(Constant(9223372036854775808))\n"
    "Expr(Constant(2j))\n"
    "Expr(Constant(b\"a\\x00\\xff'\"))\n"
    "Expr(Constant(\"it's\\n\"))\n";

TEST(PyAst, DumpOfEveryKind) {
    Make m;
    PyModuleTree t = every_kind(m);
    EXPECT_EQ(py_tree_dump(t), kEveryKindDump);
}

TEST(PyAst, FloatConstantsDumpAsPythonReprs) {
    struct Case {
        double value;
        std::string_view text;
    };
    const Case cases[] = {
        {1.0, "1.0"},        {0.5, "0.5"},           {1e16, "1e+16"},     {1e15, "1000000000000000.0"},
        {0.0001, "0.0001"},  {1e-05, "1e-05"},       {0.1, "0.1"},        {123.456, "123.456"},
        {-2.5, "-2.5"},      {1.5e300, "1.5e+300"},  {5e-324, "5e-324"},  {std::numeric_limits<double>::infinity(), "inf"},
        {0.0, "0.0"},
    };
    for (const auto& c : cases) {
        Make m;
        ExprId e = m.flt(c.value);
        PyModuleTree t = m.finish({});
        EXPECT_EQ(py_expr_dump(t, e), "Constant(" + std::string(c.text) + ")") << c.text;
    }
}

TEST(PyAst, CopyingSubtreesBetweenTrees) {
    Make src;
    PyModuleTree from = every_kind(src);

    // Copy every statement into a fresh tree whose tables already hold other nodes.
    Make dst;
    ExprId before = dst.name("zzz");
    std::vector<StmtId> copied;
    for (StmtId s : from.list(from.body())) copied.push_back(dst.b.copy_stmt_from(from, s));
    PyModuleTree to = dst.b.finish(dst.b.list(copied));
    EXPECT_EQ(py_tree_dump(to), kEveryKindDump);
    EXPECT_EQ(py_expr_dump(to, before), "Name(zzz)");
    // Identifiers are interned in the receiving tree: every "x" is one text.
    EXPECT_LT(to.text_count(), from.text_count() + 10);

    // Spans travel with the nodes.
    Make m;
    ExprId e = m.bin(BinaryOperator::Add, m.name("a", SourceSpan{1, 2, 1, 2}), m.num(1));
    PyModuleTree one = m.finish({});
    PyTreeBuilder b;
    ExprId c = b.copy_expr_from(one, e);
    PyModuleTree two = b.finish({});
    EXPECT_EQ(py_expr_dump(two, c), "BinaryOp(Add, Name(a), Constant(1))");
    EXPECT_EQ(two.expr(std::get<Expr::BinaryOp>(two.expr(c).node).left).span, (SourceSpan{1, 2, 1, 2}));

    // Copying from the builder's own tree so far is allowed too.
    Make self;
    ExprId orig = self.bin(BinaryOperator::Sub, self.name("p"), self.str("q"));
    ExprId dup = self.b.copy_expr_from(self.b.tree(), orig);
    PyModuleTree t = self.finish({});
    EXPECT_NE(orig, dup);
    EXPECT_EQ(py_expr_dump(t, dup), py_expr_dump(t, orig));
}

TEST(PyAst, TreesAreValues) {
    Make m;
    PyModuleTree t = every_kind(m);
    PyModuleTree copy = t;
    EXPECT_EQ(copy, t);
    PyModuleTreePtr shared = std::make_shared<const PyModuleTree>(std::move(copy));
    EXPECT_EQ(py_tree_dump(*shared), kEveryKindDump);
    EXPECT_GT(t.modeled_size(), t.stmt_count() * sizeof(Stmt));
    // The builder starts afresh after finishing.
    PyModuleTree empty = m.b.finish({});
    EXPECT_EQ(empty.stmt_count(), 0u);
    EXPECT_EQ(empty.text_count(), 0u);
    EXPECT_EQ(py_tree_dump(empty), "");
}

// Nothing recurses on the host stack without headroom: a chain far deeper than any parser
// allows is dumped, copied, compared and released.
TEST(PyAst, DeepTrees) {
    constexpr int kDepth = 200000;
    Make m;
    ExprId e = m.name("x");
    for (int i = 0; i < kDepth; ++i) e = m.b.add_expr(Expr::UnaryOp{e, UnaryOperator::Invert}, {});
    StmtId s = m.expr_stmt(e);
    for (int i = 0; i < 1000; ++i) s = m.stmt(Stmt::If{m.name("c"), m.body({s}), {}});
    PyModuleTree t = m.finish({s});

    std::string dump = py_tree_dump(t);
    EXPECT_EQ(dump.size(), 1000 * std::string_view("If(Name(c), [], [])").size() +
                               kDepth * std::string_view("UnaryOp(Invert, )").size() +
                               std::string_view("Expr(Name(x))\n").size());

    PyTreeBuilder b;
    StmtId c = b.copy_stmt_from(t, t.list(t.body())[0]);
    PyModuleTree copy = b.finish(b.list({c}));
    EXPECT_EQ(copy.expr_count(), t.expr_count());
    EXPECT_EQ(py_tree_dump(copy), dump);
    PyModuleTree again = copy;
    EXPECT_EQ(again, copy);
}

}  // namespace
}  // namespace tw
