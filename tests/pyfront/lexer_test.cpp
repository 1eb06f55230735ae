// The Python lexer. Token streams, numbers and string values were checked against the reference
// interpreter's tokenize module; the messages are the lexer's own.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "python/front/lexer.h"

namespace tw {
namespace {

// The tokens in their debug form, blank-separated, or "error: <message>".
std::string lex(std::string_view source) {
    auto r = py_tokenize(source);
    if (!r)
        return "error: " + r.error().message;
    std::string out;
    for (const Token& t : *r) {
        if (!out.empty())
            out += ' ';
        out += token_debug(t);
    }
    return out;
}

struct StreamCase {
    std::string_view source;
    std::string_view tokens;
};

TEST(PyLexer, TokenStreams) {
    const StreamCase cases[] = {
        {"", "EndOfFile"},
        {"x", "Name(x) Newline EndOfFile"},
        {"x\n", "Name(x) Newline EndOfFile"},
        {"if x:\n  y", "KwIf Name(x) Colon Newline Indent Name(y) Newline Dedent EndOfFile"},
        // Blank and comment-only lines yield a Newline and leave the indentation alone.
        {"if a:\n  b\n\n  # c\n      # d\n  d\n",
         "KwIf Name(a) Colon Newline Indent Name(b) Newline Newline Newline Newline Name(d) Newline Dedent EndOfFile"},
        {"# only a comment", "EndOfFile"},
        {"# comment\n", "Newline EndOfFile"},
        {"   \n", "Newline EndOfFile"},
        {"x # trailing", "Name(x) Newline EndOfFile"},
        // Several levels close at once, and at the end of input.
        {"if a:\n if b:\n  c\nd", "KwIf Name(a) Colon Newline Indent KwIf Name(b) Colon Newline Indent Name(c) Newline "
                                  "Dedent Dedent Name(d) Newline EndOfFile"},
        {"if a:\n if b:\n  c", "KwIf Name(a) Colon Newline Indent KwIf Name(b) Colon Newline Indent Name(c) Newline "
                               "Dedent Dedent EndOfFile"},
        // A tab goes to the next multiple of 8: one tab and eight blanks are one level; a tab
        // after four blanks is width 8 as well.
        {"if a:\n\tb\n        c\n    \td", "KwIf Name(a) Colon Newline Indent Name(b) Newline Name(c) Newline "
                                          "Name(d) Newline Dedent EndOfFile"},
        // A form feed in the indentation resets the width.
        {"if a:\n    b\n  \f    c", "KwIf Name(a) Colon Newline Indent Name(b) Newline Name(c) Newline Dedent EndOfFile"},
        // Line feeds inside brackets and after a backslash join lines; no indentation check.
        {"x = (1,\n        2)\ny", "Name(x) Equal LeftParen Int(1) Comma Int(2) RightParen Newline Name(y) Newline EndOfFile"},
        {"x = 1 + \\\n        2\ny", "Name(x) Equal Int(1) Plus Int(2) Newline Name(y) Newline EndOfFile"},
        {"[\n# c\n]", "LeftBracket RightBracket Newline EndOfFile"},
        // Brackets are counted, not matched.
        {"(]", "LeftParen RightBracket Newline EndOfFile"},
        // Keywords are whole, case-sensitive words; the soft keywords are names.
        {"match case type print self _ None True False none", "Name(match) Name(case) Name(type) Name(print) "
                                                              "Name(self) Name(_) KwNone KwTrue KwFalse Name(none) "
                                                              "Newline EndOfFile"},
        {"iffy if_ _if", "Name(iffy) Name(if_) Name(_if) Newline EndOfFile"},
        // Longest match; no "<>" operator; "..." versus ".".
        {"a<>b", "Name(a) Less Greater Name(b) Newline EndOfFile"},
        {"**=**", "DoubleStarEqual DoubleStar Newline EndOfFile"},
        {"x.y ... .. ....", "Name(x) Dot Name(y) Ellipsis Dot Dot Ellipsis Dot Newline EndOfFile"},
        {"a->b:=c", "Name(a) Arrow Name(b) ColonEqual Name(c) Newline EndOfFile"},
        {"a;b", "Name(a) Semicolon Name(b) Newline EndOfFile"},
        // String prefixes in any case; other letter runs before a quote are names.
        {"ur'x'", "Name(ur) String(\"x\") Newline EndOfFile"},
        {"bu'x'", "Name(bu) String(\"x\") Newline EndOfFile"},
        {"U'x' Rb'\\n' bR'\\n' Fr'\\n' fR'a' rF'a' F'a' B'a'",
         "String(\"x\") Bytes(\"\\\\n\") Bytes(\"\\\\n\") FString(r\"\\\\n\") FString(r\"a\") FString(r\"a\") "
         "FString(\"a\") Bytes(\"a\") Newline EndOfFile"},
        {"f'{x!r}'", "FString(\"{x!r}\") Newline EndOfFile"},
        {"u b r f", "Name(u) Name(b) Name(r) Name(f) Newline EndOfFile"},
        // A quote of the same kind inside a field ends the f-string.
        {"f'{d['k']}'", "FString(\"{d[\") Name(k) String(\"]}\") Newline EndOfFile"},
        {"f'{d[\"k\"]}'", "FString(\"{d[\\\"k\\\"]}\") Newline EndOfFile"},
        // An escaped quote does not close an f-string, raw or not.
        {"f'\\''", "FString(\"\\\\'\") Newline EndOfFile"},
        {"rf'\\''", "FString(r\"\\\\'\") Newline EndOfFile"},
        {"f'''a\nb'''", "FString(\"a\\nb\") Newline EndOfFile"},
        // Adjacent literals stay separate tokens.
        {"'a' 'b'", "String(\"a\") String(\"b\") Newline EndOfFile"},
        // Numbers run into following names and digits.
        {"0b12 0x1g 1if", "Int(1) Int(2) Int(1) Name(g) Int(1) KwIf Newline EndOfFile"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lex(c.source), c.tokens) << "source: " << c.source;
}

// Every operator, bracket and keyword lexes from its own text to its own kind.
TEST(PyLexer, EveryFixedTextLexesToItsKind) {
    int checked = 0;
    for (int i = 0; i < kTokenKindCount; ++i) {
        auto kind = static_cast<TokenKind>(i);
        if (kind <= TokenKind::FString || (kind >= TokenKind::Newline && kind <= TokenKind::EndOfFile))
            continue;
        std::string text(token_kind_text(kind));
        // Brackets must balance: an opening one is closed, a closing one has something to close.
        bool closing = kind == TokenKind::RightParen || kind == TokenKind::RightBracket || kind == TokenKind::RightBrace;
        bool opening = kind == TokenKind::LeftParen || kind == TokenKind::LeftBracket || kind == TokenKind::LeftBrace;
        std::string source = closing ? "(" + text : opening ? text + ")" : text;
        auto r = py_tokenize(source);
        ASSERT_TRUE(r) << text << ": " << r.error().message;
        const Token& t = (*r)[closing ? 1 : 0];
        EXPECT_EQ(t.kind, kind) << text;
        EXPECT_EQ(t.span.end - t.span.start, text.size()) << text;
        EXPECT_EQ(is_keyword(kind), std::isalpha(static_cast<unsigned char>(text[0])) != 0) << text;
        ++checked;
    }
    EXPECT_EQ(checked, 94 - 8 - 4);
}

TEST(PyLexer, KindNumbering) {
    EXPECT_EQ(static_cast<int>(TokenKind::Name), 0);
    EXPECT_EQ(static_cast<int>(TokenKind::KwImport), 8);
    EXPECT_EQ(static_cast<int>(TokenKind::Plus), 20);
    EXPECT_EQ(static_cast<int>(TokenKind::Colon), 64);
    EXPECT_EQ(static_cast<int>(TokenKind::EndOfFile), 70);
    EXPECT_EQ(static_cast<int>(TokenKind::KwAwait), 93);
    EXPECT_EQ(token_kind_name(TokenKind::PipeEqual), "PipeEqual");
    EXPECT_EQ(token_kind_text(TokenKind::PipeEqual), "|=");
}

TEST(PyLexer, Spans) {
    // Columns count characters; offsets count bytes of the normalised text.
    auto r = py_tokenize("s = 'é' + x\nif s:\n    t");
    ASSERT_TRUE(r);
    const auto& t = *r;
    ASSERT_EQ(t.size(), 15u);
    EXPECT_EQ(t[2].span, (SourceSpan{4, 8, 1, 5}));  // 'é' is four bytes, three characters
    EXPECT_EQ(t[3].span, (SourceSpan{9, 10, 1, 9}));    // +
    EXPECT_EQ(t[4].span, (SourceSpan{11, 12, 1, 11}));  // x
    EXPECT_EQ(t[5].span, (SourceSpan{12, 13, 1, 12}));  // the line feed
    EXPECT_EQ(t[9].kind, TokenKind::Newline);
    EXPECT_EQ(t[10].kind, TokenKind::Indent);
    EXPECT_EQ(t[10].span, (SourceSpan{19, 23, 3, 1}));  // the leading blanks of line 3
    EXPECT_EQ(t[11].span, (SourceSpan{23, 24, 3, 5}));
    // The closing tokens carry the empty span at the end.
    for (std::size_t i = 12; i < 15; ++i) EXPECT_EQ(t[i].span, (SourceSpan{24, 24, 3, 6})) << i;

    // A literal's span starts at its prefix.
    auto p = py_tokenize("x = rb'a'");
    ASSERT_TRUE(p);
    EXPECT_EQ((*p)[2].span, (SourceSpan{4, 9, 1, 5}));

    // Carriage returns: every "\r\n" and lone "\r" ends a line, and spans refer to the
    // normalised text.
    auto c = py_tokenize("a\r\nb\rc");
    ASSERT_TRUE(c);
    EXPECT_EQ(lex("a\r\nb\rc"), "Name(a) Newline Name(b) Newline Name(c) Newline EndOfFile");
    EXPECT_EQ((*c)[2].span, (SourceSpan{2, 3, 2, 1}));
    EXPECT_EQ((*c)[4].span, (SourceSpan{4, 5, 3, 1}));
    EXPECT_EQ(lex("s = '''a\r\nb'''"), "Name(s) Equal String(\"a\\nb\") Newline EndOfFile");

    // Dedent tokens span the leading blanks of the dedenting line.
    auto d = py_tokenize("if a:\n    b\n  \nc");
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)[7].kind, TokenKind::Newline);
    EXPECT_EQ((*d)[8].kind, TokenKind::Dedent);
    EXPECT_EQ((*d)[8].span, (SourceSpan{15, 15, 4, 1}));
}

struct NumberCase {
    std::string_view source;
    std::string_view tokens;
};

TEST(PyLexer, Numbers) {
    const NumberCase cases[] = {
        {"0", "Int(0)"},
        {"007", "Int(7)"},
        {"1_000", "Int(1000)"},
        {"0_0", "Int(0)"},
        {"0x_1f", "Int(31)"},
        {"0X_FF", "Int(255)"},
        {"0o777", "Int(511)"},
        {"0O1_7", "Int(15)"},
        {"0b1010", "Int(10)"},
        {"0B_1", "Int(1)"},
        {"9223372036854775807", "Int(9223372036854775807)"},
        {"9223372036854775808", "BigInt(9223372036854775808)"},
        {"000000000000000000000009223372036854775807", "Int(9223372036854775807)"},
        {"00000000000000000000009223372036854775808", "BigInt(9223372036854775808)"},
        {"1_000_000_000_000_000_000_000", "BigInt(1000000000000000000000)"},
        {"0xFFFFFFFFFFFFFFFF", "BigInt(18446744073709551615)"},
        {"0x7fffffffffffffff", "Int(9223372036854775807)"},
        {"0x8000000000000000", "BigInt(9223372036854775808)"},
        {"0b1111111111111111111111111111111111111111111111111111111111111111111111", "BigInt(1180591620717411303423)"},
        {"0o777777777777777777777777777777", "BigInt(1237940039285380274899124223)"},
        {"1.", "Float(1)"},
        {".5", "Float(0.5)"},
        {"1e5", "Float(100000)"},
        {"1E+5", "Float(100000)"},
        {"1.e-2", "Float(0.01)"},
        {"1_2.3_4e1_0", "Float(123400000000)"},
        {"0.1", "Float(0.1)"},
        {"1e999", "Float(inf)"},
        {"1e-400", "Float(0)"},
        {"2j", "Imaginary(2)"},
        {"1.5e2J", "Imaginary(150)"},
        {"0j", "Imaginary(0)"},
        {".5j", "Imaginary(0.5)"},
        {"1_0j", "Imaginary(10)"},
        // Prefixed literals take no imaginary suffix.
        {"0x1j", "Int(1) Name(j)"},
    };
    for (const auto& c : cases) {
        std::string expected = std::string(c.tokens) + " Newline EndOfFile";
        EXPECT_EQ(lex(c.source), expected) << "source: " << c.source;
    }
}

TEST(PyLexer, FloatsRoundCorrectly) {
    struct Case {
        std::string_view source;
        std::uint64_t bits;
    };
    const Case cases[] = {
        {"5e-324", 0x1},
        {"3e-324", 0x1},
        {"2e-324", 0x0},
        {"2.4703282292062328e-324", 0x1},
        {"2.4703282292062327e-324", 0x0},
        {"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFF},
        {"1.7976931348623158e308", 0x7FEFFFFFFFFFFFFF},
        {"1.7976931348623159e308", 0x7FF0000000000000},
        {"0.000000000000000000000000000001e-300", 0x0},
        {"123456789012345678901234567890.5e-10", std::bit_cast<std::uint64_t>(0x1.56a95319d63e1p+63)},
        {"0.1", std::bit_cast<std::uint64_t>(0.1)},
    };
    for (const auto& c : cases) {
        auto r = py_tokenize(c.source);
        ASSERT_TRUE(r) << c.source;
        EXPECT_EQ((*r)[0].kind, TokenKind::Float) << c.source;
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*r)[0].float_value), c.bits) << c.source;
    }
}

struct TextCase {
    std::string_view source;
    std::string_view text;
};

TEST(PyLexer, StrLiterals) {
    using namespace std::string_view_literals;
    const TextCase cases[] = {
        {R"('abc')", "abc"},
        {R"("a'b")", "a'b"},
        {R"('a\'b')", "a'b"},
        {R"('a\"b\\c')", "a\"b\\c"},
        {R"('\a\b\f\n\r\t\v')", "\a\b\f\n\r\t\v"},
        {R"('\x41\u00e9\U0001F600')", "A\u00e9\U0001F600"},
        {R"('\xfF')", "\u00ff"},
        {R"('\101')", "A"},
        {R"('\0')", "\0"sv},
        {R"('\1234')", "S4"},
        {R"('\777')", "\u01ff"},
        {R"('\8')", "\\8"},
        {R"('\d')", "\\d"},
        {R"('\é')", "\\é"},
        {"'a\\\nb'", "ab"},
        {"'''a\nb'''", "a\nb"},
        {R"('''a''b''')", "a''b"},
        {R"("""a"b""")", "a\"b"},
        {R"('''a\'''')", "a'"},
        {R"(u'é')", "é"},
        {R"('')", ""},
        {R"('''''')", ""},
        // Raw strings keep the backslash and the character after it.
        {R"(r'\n\'')", "\\n\\'"},
        {"r'a\\\nb'", "a\\\nb"},
        {R"(R'\\')", "\\\\"},
        {R"(r'''a\'''')", "a\\'"},
    };
    for (const auto& c : cases) {
        auto r = py_tokenize(c.source);
        ASSERT_TRUE(r) << c.source << ": " << r.error().message;
        EXPECT_EQ((*r)[0].kind, TokenKind::String) << c.source;
        EXPECT_EQ((*r)[0].text, c.text) << c.source;
        EXPECT_EQ((*r)[1].kind, TokenKind::Newline) << c.source;
    }
}

TEST(PyLexer, BytesLiterals) {
    using namespace std::string_view_literals;
    const TextCase cases[] = {
        {R"(b'abc')", "abc"},
        {R"(b'\x41\xff\x00')", "A\xff\0"sv},
        {R"(b'\101\377\0')", "A\xff\0"sv},
        {R"(b'\b\f\n\r\t\v\'\"\\')", "\b\f\n\r\t\v'\"\\"},
        // Not escapes in bytes: the backslash stays.
        {R"(b'\a\u\N\d')", "\\a\\u\\N\\d"},
        {"b'a\\\nb'", "ab"},
        {"b'''a\nb'''", "a\nb"},
        {R"(br'\x41\'')", "\\x41\\'"},
        {R"(Rb'\\')", "\\\\"},
    };
    for (const auto& c : cases) {
        auto r = py_tokenize(c.source);
        ASSERT_TRUE(r) << c.source << ": " << r.error().message;
        EXPECT_EQ((*r)[0].kind, TokenKind::Bytes) << c.source;
        EXPECT_EQ((*r)[0].text, c.text) << c.source;
    }
}

struct ErrorCase {
    std::string_view source;
    std::string_view message;
    SourceSpan span;
};

TEST(PyLexer, Errors) {
    using namespace std::string_view_literals;
    const ErrorCase cases[] = {
        {"a$", "unexpected character '$'", {1, 2, 1, 2}},
        {"a ? b", "unexpected character '?'", {2, 3, 1, 3}},
        {"x\\ y", "unexpected character '\\\\'", {1, 2, 1, 2}},
        {"x = 1 \\", "unexpected character '\\\\'", {6, 7, 1, 7}},
        {"\x01", "unexpected character '\\u{1}'", {0, 1, 1, 1}},
        {"a \f b", "unexpected character '\\u{c}'", {2, 3, 1, 3}},
        {"é = 1", "unexpected character 'é'", {0, 2, 1, 1}},
        {"a\xc2\xa0" "b", "unexpected character '\\u{a0}'", {1, 3, 1, 2}},
        {"a\xff" "b", "unexpected character '\xef\xbf\xbd'", {1, 2, 1, 2}},
        {"(\0)"sv, "unexpected character '\\0'", {1, 2, 1, 2}},
        {"if a:\n        b\n    c", "unindent does not match an outer indentation level", {16, 20, 3, 1}},
        {"x = (1,", "unclosed delimiter", {7, 7, 1, 8}},
        {"x = [1,\n", "unclosed delimiter", {8, 8, 2, 1}},
        {"x)", "unmatched closing delimiter", {1, 2, 1, 2}},
        {"(x))", "unmatched closing delimiter", {3, 4, 1, 4}},
        {"a!b", "expected '=' after '!'", {1, 2, 1, 2}},
        {"'abc", "unterminated string literal", {0, 4, 1, 1}},
        {"x = 'ab\ncd'", "unterminated string literal", {4, 7, 1, 5}},
        {"'''abc''", "unterminated string literal", {0, 8, 1, 1}},
        {"'abc\\", "unterminated escape sequence", {0, 5, 1, 1}},
        {"'\\x4'", "truncated hexadecimal string escape", {0, 4, 1, 1}},
        {"'\\u12'", "truncated hexadecimal string escape", {0, 5, 1, 1}},
        {"'\\ud800'", "string escape is not a Unicode scalar value", {0, 7, 1, 1}},
        {"'\\U00110000'", "string escape is not a Unicode scalar value", {0, 11, 1, 1}},
        {"'\\N{DASH}'", "\\N{...} escapes are not supported", {0, 3, 1, 1}},
        {"r'abc", "unterminated raw string literal", {0, 5, 1, 1}},
        {"r'abc\\", "unterminated raw string literal", {0, 6, 1, 1}},
        {"r'a\nb'", "unterminated raw string literal", {0, 3, 1, 1}},
        {"b'abc", "unterminated bytes literal", {0, 5, 1, 1}},
        {"b'a\nb'", "unterminated bytes literal", {0, 3, 1, 1}},
        {"b'\\", "unterminated bytes escape", {0, 3, 1, 1}},
        {"b'é'", "bytes literals must contain ASCII", {0, 2, 1, 1}},
        {"b'\\é'", "bytes literals must contain ASCII", {0, 3, 1, 1}},
        {"br'é'", "bytes literals must contain ASCII", {0, 3, 1, 1}},
        {"b'\\x4'", "invalid hexadecimal bytes escape", {0, 6, 1, 1}},
        {"b'\\xg0'", "invalid hexadecimal bytes escape", {0, 6, 1, 1}},
        {"b'\\777'", "octal bytes escape is out of range", {0, 6, 1, 1}},
        {"b'\\400'", "octal bytes escape is out of range", {0, 6, 1, 1}},
        {"br'abc", "unterminated raw bytes literal", {0, 6, 1, 1}},
        {"br'a\\", "unterminated raw bytes literal", {0, 5, 1, 1}},
        {"rb'a\nb'", "unterminated raw bytes literal", {0, 4, 1, 1}},
        {"f'abc", "unterminated f-string literal", {0, 5, 1, 1}},
        {"f'a\nb'", "unterminated f-string literal", {0, 3, 1, 1}},
        {"f'a\\", "unterminated escape sequence", {0, 4, 1, 1}},
        {"rf'a\\", "unterminated f-string literal", {0, 5, 1, 1}},
        {"1__0", "invalid decimal literal: misplaced underscore", {0, 3, 1, 1}},
        {"1._5", "invalid decimal literal: misplaced underscore", {0, 3, 1, 1}},
        {"1e_5", "invalid decimal literal: misplaced underscore", {0, 3, 1, 1}},
        {"1.5_e3", "invalid decimal literal: trailing underscore", {0, 4, 1, 1}},
        {"x = 1_", "invalid decimal literal: trailing underscore", {4, 6, 1, 5}},
        {"1e", "invalid decimal literal: exponent requires digits", {0, 2, 1, 1}},
        {"1e+", "invalid decimal literal: exponent requires digits", {0, 3, 1, 1}},
        {"1else", "invalid decimal literal: exponent requires digits", {0, 2, 1, 1}},
        {"0x", "invalid prefixed integer literal", {0, 2, 1, 1}},
        {"0x_", "invalid prefixed integer literal", {0, 3, 1, 1}},
        {"0x1_", "invalid prefixed integer literal", {0, 4, 1, 1}},
        {"0b1__0", "invalid prefixed integer literal", {0, 6, 1, 1}},
        {"0o__7", "invalid prefixed integer literal", {0, 5, 1, 1}},
        {"0b", "invalid prefixed integer literal", {0, 2, 1, 1}},
    };
    for (const auto& c : cases) {
        auto r = py_tokenize(c.source);
        ASSERT_FALSE(r) << "source: " << c.source;
        EXPECT_EQ(r.error().message, c.message) << "source: " << c.source;
        EXPECT_EQ(r.error().span, c.span) << "source: " << c.source << " got " << r.error().span.start << ".."
                                          << r.error().span.end << " " << r.error().span.line << ":"
                                          << r.error().span.column;
    }
}

TEST(PyLexer, InvalidUtf8InLiteralsBecomesReplacementCharacters) {
    auto r = py_tokenize("'a\xff\xc3" "b' f'\xe0\x80" "{x}'");
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0].text, "a\xef\xbf\xbd\xef\xbf\xbd" "b");
    EXPECT_EQ((*r)[1].text, "\xef\xbf\xbd\xef\xbf\xbd{x}");
    // Each invalid byte is one column.
    EXPECT_EQ((*r)[1].span.column, 8u);
}

TEST(PyLexer, BigIntegerLiteral) {
    struct Case {
        std::string_view digits;
        unsigned radix;
        std::optional<IntegerLiteral> value;
    };
    const Case cases[] = {
        {"0", 10, IntegerLiteral{false, 0, {}}},
        {"zz", 36, IntegerLiteral{false, 1295, {}}},
        {"Zz", 36, IntegerLiteral{false, 1295, {}}},
        {"7fffffffffffffff", 16, IntegerLiteral{false, std::numeric_limits<std::int64_t>::max(), {}}},
        {"18446744073709551616", 10, IntegerLiteral{true, 0, "18446744073709551616"}},
        {"0000018446744073709551616", 10, IntegerLiteral{true, 0, "18446744073709551616"}},
        {std::string_view("ffffffffffffffffffffffffffffffffffffffff"), 16,
         IntegerLiteral{true, 0, "1461501637330902918203684832716283019655932542975"}},
        {"", 10, std::nullopt},
        {"12a", 10, std::nullopt},
        {"2", 2, std::nullopt},
        {"1 2", 10, std::nullopt},
        {"-1", 10, std::nullopt},
        {"1_0", 10, std::nullopt},
        {"1", 37, std::nullopt},
        {"1", 1, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lex_big_integer_literal(c.digits, c.radix), c.value) << c.digits;
}

TEST(PyLexer, DecodeStrEscape) {
    struct Case {
        std::string_view rest;
        std::string_view out;
        std::size_t consumed;
    };
    const Case cases[] = {
        {"n", "\n", 1},        {"\nx", "", 1},         {"x41z", "A", 3},  {"u00e9", "é", 5},
        {"U0001F600", "\U0001F600", 9}, {"1234", "S", 3}, {"7z", "\x07", 1}, {"q", "\\", 0},
    };
    for (const auto& c : cases) {
        std::string out;
        auto r = py_decode_str_escape(c.rest, out);
        ASSERT_TRUE(r) << c.rest;
        EXPECT_EQ(*r, c.consumed) << c.rest;
        EXPECT_EQ(out, c.out) << c.rest;
    }
    std::string out;
    std::size_t used = 99;
    auto e = py_decode_str_escape("x4", out, &used);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error(), "truncated hexadecimal string escape");
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(py_decode_str_escape("", out).error(), "unterminated escape sequence");
    EXPECT_EQ(py_decode_str_escape("N{x}", out).error(), "\\N{...} escapes are not supported");
}

TEST(PyLexer, CharLiterals) {
    EXPECT_EQ(py_char_literal('$'), "'$'");
    EXPECT_EQ(py_char_literal('"'), "'\"'");
    EXPECT_EQ(py_char_literal('\''), "'\\''");
    EXPECT_EQ(py_char_literal('\\'), "'\\\\'");
    EXPECT_EQ(py_char_literal('\t'), "'\\t'");
    EXPECT_EQ(py_char_literal('\r'), "'\\r'");
    EXPECT_EQ(py_char_literal('\n'), "'\\n'");
    EXPECT_EQ(py_char_literal(0), "'\\0'");
    EXPECT_EQ(py_char_literal(0x7F), "'\\u{7f}'");
    EXPECT_EQ(py_char_literal(0x200B), "'\\u{200b}'");
    EXPECT_EQ(py_char_literal(0x301), "'\\u{301}'");
    EXPECT_EQ(py_char_literal(0x20AC), "'\xe2\x82\xac'");
    EXPECT_EQ(py_char_literal(0x1F600), "'\U0001F600'");
}

// Tokenizing is a loop, not a recursion: deeply nested brackets and indentation are fine.
TEST(PyLexer, DeepNesting) {
    std::string src(200000, '(');
    src += std::string(200000, ')');
    auto r = py_tokenize(src);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 400002u);

    std::string blocks;
    for (int i = 0; i < 2000; ++i) blocks += std::string(static_cast<std::size_t>(i), ' ') + "if x:\n";
    blocks += std::string(2000, ' ') + "pass\n";
    auto b = py_tokenize(blocks);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->back().kind, TokenKind::EndOfFile);
    EXPECT_EQ((*b)[b->size() - 2].kind, TokenKind::Dedent);
}

}  // namespace
}  // namespace tw
