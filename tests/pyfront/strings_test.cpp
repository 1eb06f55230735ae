#include "python/front/strings.h"

#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "python/front/parser.h"

namespace tw {
namespace {

// The pieces as text: Text pieces quoted, fields as {expression!conversion:spec} (the parts
// that are set), or "error: message".
std::string split(std::string_view body, bool raw = false) {
    auto r = py_split_fstring(body, raw);
    if (!r) return "error: " + r.error();
    std::string out;
    for (const FStringPiece& p : *r) {
        if (!out.empty()) out += ' ';
        if (p.kind == FStringPiece::Kind::Text) {
            out += '"' + p.text + '"';
            continue;
        }
        out += '{' + p.text;
        if (p.conversion != 0) out += std::string("!") + p.conversion;
        if (!p.format_spec.empty()) out += ':' + p.format_spec;
        out += '}';
    }
    return out;
}

TEST(PyFString, Split) {
    struct Case {
        const char* body;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"abc", "\"abc\""},
        {"{{x}}", "\"{x}\""},
        {"a{x}b", "\"a\" {x} \"b\""},
        {"{x!r}", "{x!r}"},
        {"{x:>10}", "{x:>10}"},
        {"{x!s:^5}", "{x!s:^5}"},
        {"{x=}", "\"x=\" {x!r}"},
        {"{x = }", "\"x = \" {x !r}"},
        {"{ x=:>4}", "\" x=\" { x:>4}"},
        {"{x=!s}", "\"x=\" {x!s}"},
        {"{a==b}", "{a==b}"},
        {"{a!=b}", "{a!=b}"},
        {"{a<=b}{a>=b}", "{a<=b} {a>=b}"},
        {"{x:{w}}", "{x:{w}}"},
        {"{x:{w}.{p}f}", "{x:{w}.{p}f}"},
        {"{d['}']}", "{d['}']}"},
        {"{d[\"a:b\"]!r}", "{d[\"a:b\"]!r}"},
        {"{f(a, b)[0]:x}", "{f(a, b)[0]:x}"},
        {"{lambda: 1}", "{lambda: 1}"},  // the expression "lambda" with the format spec " 1"
        {"{(lambda: 1)()}", "{(lambda: 1)()}"},
        {"{x)", "{x}"},
        {"{'a\\'b'}", "{'a\\'b'}"},
        {"\\n{x}\\t", "\"\n\" {x} \"\t\""},
        {"\\x41\\u00e9\\101", "\"A\xc3\xa9" "A\""},
        {"\\{x}", "\"\\\" {x}"},
        {"\\d", "\"\\d\""},
        {"a\\\nb", "\"ab\""},
        {"{x!}", "error: f-string conversion requires a conversion character"},
        {"{x!z}", "error: unsupported f-string conversion !z"},
        {"{x!\xc3\xa9}", "error: unsupported f-string conversion !\xc3\xa9"},
        {"{x!rz}", "error: expected ':' or '}' after f-string conversion"},
        {"{}", "error: f-string field requires an expression"},
        {"{ }", "error: f-string field requires an expression"},
        {"{!r}", "error: f-string field requires an expression"},
        {"{=}", "error: f-string field requires an expression"},
        {"{x", "error: unterminated f-string expression"},
        {"{x['}", "error: unterminated f-string expression"},
        {"}", "error: single '}' is not allowed in an f-string"},
        {"a}b", "error: single '}' is not allowed in an f-string"},
        {"\\N{DASH}", "error: \\N{...} escapes are not supported"},
        {"\\x4", "error: truncated hexadecimal string escape"},
        {"\\ud800", "error: string escape is not a Unicode scalar value"},
        {"\\", "error: unterminated escape sequence"},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.body), c.expected) << "body: " << c.body;

    EXPECT_EQ(split("\\n{x}\\N", true), "\"\\n\" {x} \"\\N\"");
    EXPECT_EQ(split("{x!r}}}", true), "{x!r} \"}\"");
}

std::string parse(std::string_view source) {
    auto r = py_parse_source(source);
    if (!r) return fmt::format("error {}:{}: {}", r.error().span.line, r.error().span.column, r.error().message);
    std::string dump = py_tree_dump(*r);
    if (!dump.empty() && dump.back() == '\n') dump.pop_back();
    return dump;
}

TEST(PyFString, LiteralRuns) {
    struct Case {
        const char* source;
        const char* expected;
    };
    const Case cases[] = {
        {"'a' 'b'", "Expr(Constant('ab'))"},
        {"('a'\n 'b' \"c\")", "Expr(Constant('abc'))"},
        {"b'a' b'b'", "Expr(Constant(b'ab'))"},
        {"f''", "Expr(JoinedStr([]))"},
        {"f'{{x}}'", "Expr(JoinedStr(['{x}']))"},
        {"f'{x}'", "Expr(JoinedStr([{Name(x)}]))"},
        {"'a' f'{x}' 'b'", "Expr(JoinedStr(['a', {Name(x)}, 'b']))"},
        {"'a' 'b' f'c{x}'", "Expr(JoinedStr(['a', 'b', 'c', {Name(x)}]))"},
        {"f'{x!r}'", "Expr(JoinedStr([{Name(x)!r:}]))"},
        {"f'{x:>10}'", "Expr(JoinedStr([{Name(x):>10}]))"},
        {"f'{x!s:^5}'", "Expr(JoinedStr([{Name(x)!s:^5}]))"},
        {"f'a{x=}'", "Expr(JoinedStr(['a', 'x=', {Name(x)!r:}]))"},
        {"f'{x = }'", "Expr(JoinedStr(['x = ', {Name(x)!r:}]))"},
        {"f'{x=:>4}'", "Expr(JoinedStr(['x=', {Name(x):>4}]))"},
        {"f'{x=:}'", "Expr(JoinedStr(['x=', {Name(x)}]))"},
        {"f'{a==b}'", "Expr(JoinedStr([{Compare(Name(a), [Eq Name(b)])}]))"},
        {"f'{a!=b}'", "Expr(JoinedStr([{Compare(Name(a), [NotEq Name(b)])}]))"},
        {"f'{x:{w}}'", "Expr(JoinedStr([{Name(x):{w}}]))"},
        {"f'{d[\"k\"]}'", "Expr(JoinedStr([{Subscript(Name(d), Constant('k'))}]))"},
        {"f\"{'}'}\"", "Expr(JoinedStr([{Constant('}')}]))"},
        {"rf'\\n{x}'", "Expr(JoinedStr(['\\\\n', {Name(x)}]))"},
        {"f'\\n{x}'", "Expr(JoinedStr(['\\n', {Name(x)}]))"},
        {"f'''{\nx\n+ 1}'''", "Expr(JoinedStr([{BinaryOp(Add, Name(x), Constant(1))}]))"},
        {"f'{x, y}'", "Expr(JoinedStr([{Tuple([Name(x), Name(y)])}]))"},
        {"f'{yield}'", "Expr(JoinedStr([{Yield(-)}]))"},
        {"f'{f\"{a}\"}'", "Expr(JoinedStr([{JoinedStr([{Name(a)}])}]))"},
        {"f'''{f\"{f'{a}'}\"}'''", "Expr(JoinedStr([{JoinedStr([{JoinedStr([{Name(a)}])}])}]))"},
        {"x = f'{a}' f'{b!a}'", "Assign([Name(x)], JoinedStr([{Name(a)}, {Name(b)!a:}]))"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.source), c.expected) << "source: " << c.source;
}

TEST(PyFString, Errors) {
    struct Case {
        const char* source;
        const char* expected;
    };
    // Errors of a literal run are placed at the literal being processed.
    const Case cases[] = {
        {"'a' b'b'", "error 1:5: cannot mix bytes and nonbytes literals"},
        {"b'a' 'b'", "error 1:6: cannot mix bytes and nonbytes literals"},
        {"b'a' f'{x}'", "error 1:6: cannot mix bytes and nonbytes literals"},
        {"x = 'a' f'{x!}'", "error 1:9: f-string conversion requires a conversion character"},
        {"f'{x!z}'", "error 1:1: unsupported f-string conversion !z"},
        {"f'{x!rz}'", "error 1:1: expected ':' or '}' after f-string conversion"},
        {"f'{}'", "error 1:1: f-string field requires an expression"},
        {"f'{ }'", "error 1:1: f-string field requires an expression"},
        {"f'{x'", "error 1:1: unterminated f-string expression"},
        {"f'}'", "error 1:1: single '}' is not allowed in an f-string"},
        {"f'{a b}'", "error 1:1: invalid f-string expression: expected ')' after expression"},
        {"f'{a $ b}'", "error 1:1: invalid f-string expression: unexpected character '$'"},
        {"f'{x = 1}'", "error 1:1: invalid f-string expression: expected ')' after expression"},
        {"f'{import x}'", "error 1:1: invalid f-string expression: expected an expression"},
        {"f'\\N{DASH}'", "error 1:1: \\N{...} escapes are not supported"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.source), c.expected) << "source: " << c.source;
}

// A field's expression keeps the positions of its own parse: counted from the parenthesis put
// before the field text.
TEST(PyFString, FieldSpans) {
    auto r = py_parse_source("x = 1\ny = f'ab{  zz + 1}'");
    ASSERT_TRUE(r);
    const PyModuleTree& t = *r;
    const Stmt& assign = t.stmt(t.list(t.body())[1]);
    const Expr& joined = t.expr(std::get<Stmt::Assign>(assign.node).value);
    EXPECT_EQ(joined.span, (SourceSpan{10, 25, 2, 5}));
    auto parts = t.list(std::get<Expr::JoinedStr>(joined.node).parts);
    ASSERT_EQ(parts.size(), 2u);
    // "(  zz + 1)": the parenthesised expression spans the whole wrapped text.
    EXPECT_EQ(t.expr(parts[1].expr).span, (SourceSpan{0, 10, 1, 1}));
    const auto& sum = std::get<Expr::BinaryOp>(t.expr(parts[1].expr).node);
    EXPECT_EQ(t.expr(sum.left).span, (SourceSpan{3, 5, 1, 4}));
}

}  // namespace
}  // namespace tw
