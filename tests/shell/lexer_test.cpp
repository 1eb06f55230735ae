#include "shell/lexer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tw::ShellParseError;
using tw::ShellToken;
using tw::ShellTokenKind;

// Compact rendering of a token list: W(word) O(op) < > >> H<fd>[q](body) A(text) S<fd>(text)
// D<n> C F<fd>(op) $; newlines in texts show as \n.
std::string show(const std::vector<ShellToken>& tokens) {
    auto esc = [](const std::string& s) {
        std::string out;
        for (char c : s) out += c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    };
    std::string out;
    for (const auto& t : tokens) {
        if (!out.empty()) out += ' ';
        switch (t.kind) {
            case ShellTokenKind::Word: out += "W(" + esc(t.text) + ")"; break;
            case ShellTokenKind::Operator: out += "O(" + esc(t.text) + ")"; break;
            case ShellTokenKind::RedirectIn: out += "<"; break;
            case ShellTokenKind::RedirectOut: out += ">"; break;
            case ShellTokenKind::RedirectAppend: out += ">>"; break;
            case ShellTokenKind::HereDoc:
                out += "H" + std::to_string(t.fd) + (t.quoted ? "q" : "") + "(" + esc(t.text) + ")";
                break;
            case ShellTokenKind::ArithCommand: out += "A(" + esc(t.text) + ")"; break;
            case ShellTokenKind::HereString:
                out += "S" + std::to_string(t.fd) + "(" + esc(t.text) + ")";
                break;
            case ShellTokenKind::DupOutput: out += "D" + std::to_string(t.fd); break;
            case ShellTokenKind::CloseOutput: out += "C"; break;
            case ShellTokenKind::FdRedirect:
                out += "F" + std::to_string(t.fd) + "(" + esc(t.text) + ")";
                break;
            case ShellTokenKind::End: out += "$"; break;
        }
    }
    return out;
}

struct LexCase {
    const char* source;
    const char* tokens;
};

void expect_lexes(const LexCase& c) {
    auto r = tw::shell_lex(c.source);
    EXPECT_EQ(show(r.tokens), c.tokens) << "source: " << c.source;
    EXPECT_FALSE(r.error) << "source: " << c.source << " error: " << tw::error_text(*r.error);
    EXPECT_TRUE(r.complete) << "source: " << c.source;
}

TEST(ShellLex, WordsOperatorsAndComments) {
    const LexCase cases[] = {
        {"echo a#b # c", "W(echo) W(a#b) $"},
        {"#x\necho", "O(\\n) W(echo) $"},
        {"a;b", "W(a) O(;) W(b) $"},
        {"a && b || c & d", "W(a) O(&&) W(b) O(||) W(c) O(&) W(d) $"},
        {"a |& b | c", "W(a) O(|&) W(b) O(|) W(c) $"},
        {"case x in a) :;; b) :;& c) :;;& esac",
         "W(case) W(x) W(in) W(a) O()) W(:) O(;;) W(b) O()) W(:) O(;&) W(c) O()) W(:) O(;;&) "
         "W(esac) $"},
        {"(a)", "O(() W(a) O()) $"},
        {"echo a\\\nb", "W(echo) W(ab) $"},
        {"\\\necho", "W(echo) $"},
        {"x=(a 'b c' d) y", "W(x=(a 'b c' d)) W(y) $"},
        {"x+=(1\n2)", "W(x+=(1\\n2)) $"},
        {"echo 'a b'\"c d\"e\\ f", "W(echo) W('a b'\"c d\"e\\ f) $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, Redirections) {
    const LexCase cases[] = {
        {"2>&1", "F2(>&1) $"},
        {">&2", "D2 $"},
        {">&-", "C $"},
        {"3<&-", "F3(<&-) $"},
        {"<&3", "F0(<&3) $"},
        {"a2>f", "W(a2) > W(f) $"},
        {"a <f >g >>h >|i", "W(a) < W(f) > W(g) >> W(h) > W(i) $"},
        {"<>f 4<>g", "F0(<>) W(f) F4(<>) W(g) $"},
        {"&>f &>>g", "F1(&>) W(f) F1(&>>) W(g) $"},
        {"5>f 6>>g 7<h", "F5(>) W(f) F6(>>) W(g) F7(<) W(h) $"},
        {"99999999999>f", "F-1(>) W(f) $"},
        {"cat <<< 'a b'", "W(cat) S0('a b') $"},
        {"cat <<<", "W(cat) S0() $"},
        // Numbered here-documents and here-strings, and >| with a number.
        {"cat 3<<E\nx\nE\n", "W(cat) H3(x\\n) O(\\n) $"},
        {"cat 4<<<w", "W(cat) S4(w) $"},
        {"echo 3>|f", "W(echo) F3(>) W(f) $"},
        // The word after >& and <& may follow blanks and need not be digits.
        {"echo >& 2", "W(echo) D2 $"},
        {"echo 2>& 1", "W(echo) F2(>&1) $"},
        {"echo >&$fd", "W(echo) F1(>&$fd) $"},
        {"read <&\"$fd\"", "W(read) F0(<&\"$fd\") $"},
        {"echo >&", "W(echo) D1 $"},
        {"echo >&;", "W(echo) D1 O(;) $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, HereDocuments) {
    const LexCase cases[] = {
        {"cat <<EOF\nx\nEOF\necho", "W(cat) H0(x\\n) O(\\n) W(echo) $"},
        {"cat <<-'E'\n\tx\n\tE\n", "W(cat) H0q(x\\n) O(\\n) $"},
        {"cat <<\"E\"\n$x\nE\n", "W(cat) H0q($x\\n) O(\\n) $"},
        {"cat <<\\EOF\n$HOME\nEOF\n", "W(cat) H0q($HOME\\n) O(\\n) $"},
        {"cat <<E\"O\"F\nx\nEOF\n", "W(cat) H0q(x\\n) O(\\n) $"},
        {"cat <<A; cat <<B\na\nA\nb\nB\n", "W(cat) H0(a\\n) O(;) W(cat) H0(b\\n) O(\\n) $"},
        {"cat <<E | tr a b\nx\nE\n", "W(cat) H0(x\\n) O(|) W(tr) W(a) W(b) O(\\n) $"},
        {"cat <<E\n  E\nE\n", "W(cat) H0(  E\\n) O(\\n) $"},
        {"cat <<E\n\n\nE\n", "W(cat) H0(\\n\\n) O(\\n) $"},
        {"cat << E\nx\nE", "W(cat) H0(x\\n) O(\\n) $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, UnfinishedHereDocumentIsIncomplete) {
    auto r = tw::shell_lex("cat <<EOF\nx\n");
    EXPECT_EQ(show(r.tokens), "W(cat) H0(x\\n\\n) O(\\n) $");
    EXPECT_FALSE(r.complete);
    EXPECT_FALSE(r.error);

    r = tw::shell_lex("cat <<EOF");
    EXPECT_EQ(show(r.tokens), "W(cat) H0(\\n) $");
    EXPECT_FALSE(r.complete);

    // An empty delimiter matches the empty remainder.
    r = tw::shell_lex("cat <<''\nx\n");
    EXPECT_EQ(show(r.tokens), "W(cat) H0q(x\\n) O(\\n) $");
    EXPECT_TRUE(r.complete);
}

TEST(ShellLex, TrailingLineContinuationIsIncomplete) {
    for (const char* source : {"echo a \\\n", "echo a\\\n", "echo a |\\\n"}) {
        auto r = tw::shell_lex(source);
        EXPECT_FALSE(r.complete) << source;
        EXPECT_FALSE(r.error) << source;
    }
    for (const char* source : {"echo a\\\nb\n", "echo 'a\\\n'", "echo a \\\\\n", "# c \\\n"})
        EXPECT_TRUE(tw::shell_lex(source).complete) << source;
}

TEST(ShellLex, DoubleBracketMode) {
    const LexCase cases[] = {
        {"[[ a < b && c ]]", "W([[) W(a) W(<) W(b) W(&&) W(c) W(]]) $"},
        {"[[ (a || b) ]] && c", "W([[) W(() W(a) W(||) W(b) W()) W(]]) O(&&) W(c) $"},
        {"[[ 2>1 ]]", "W([[) W(2) W(>) W(1) W(]]) $"},
        {"[[ a &&\n b ]]", "W([[) W(a) W(&&) W(b) W(]]) $"},
        {"[[ a ]]; [[ b ]]", "W([[) W(a) W(]]) O(;) W([[) W(b) W(]]) $"},
        {"echo ]]", "W(echo) W(]]) $"},
        // The operand of =~ becomes one double-quoted word whose expansion is the pattern.
        {"[[ x =~ ^a(b|c)$ ]]", "W([[) W(x) W(=~) W(\"^a(b|c)$\") W(]]) $"},
        {"[[ x =~ ]]", "W([[) W(x) W(=~) W(\"\") W(]]) $"},
        {"[[ x =~ a]b ]]", "W([[) W(x) W(=~) W(\"a]b\") W(]]) $"},
        {"[[ x =~ ^[[:space:]]*$ ]]", "W([[) W(x) W(=~) W(\"^[[:space:]]*$\") W(]]) $"},
        {"[[ x =~ a|b&&c ]]", "W([[) W(x) W(=~) W(\"a|b\") W(&&) W(c) W(]]) $"},
        {"[[ (x =~ a) ]]", "W([[) W(() W(x) W(=~) W(\"a\") W()) W(]]) $"},
        {"[[ $x =~ $re ]]", "W([[) W($x) W(=~) W(\"${re}\") W(]]) $"},
        {"[[ x =~ $1$@${a}b ]]", "W([[) W(x) W(=~) W(\"${1}${@}${a}b\") W(]]) $"},
        {"[[ x =~ ^(a b)$ ]]", "W([[) W(x) W(=~) W(\"^(a b)$\") W(]]) $"},
        // Quoted sections keep their blanks and match literally.
        {"[[ x =~ ^\"a b\"$ ]]", "W([[) W(x) W(=~) W(\"^a b$\") W(]]) $"},
        {"[[ x =~ a\".\"b ]]", "W([[) W(x) W(=~) W(\"a\\\\.b\") W(]]) $"},
        {"[[ x =~ 'a|b'\\.c ]]", "W([[) W(x) W(=~) W(\"a\\\\|b\\\\.c\") W(]]) $"},
        {"[[ x =~ \"$p\"x ]]", "W([[) W(x) W(=~) W(\"${p}x\") W(]]) $"},
        {"[[ x =~ \\$ ]]", "W([[) W(x) W(=~) W(\"\\\\\\$\") W(]]) $"},
        {"[[ x =~ $'a\\tb' ]]", "W([[) W(x) W(=~) W(\"a\tb\") W(]]) $"},
        {"[[ x =~ a$ ]]", "W([[) W(x) W(=~) W(\"a$\") W(]]) $"},
        {"[[ x =~ $(f) ]]", "W([[) W(x) W(=~) W(\"$(f)\") W(]]) $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, SubstitutionsAreReadWhole) {
    const LexCase cases[] = {
        // Quotes, comments, case patterns and here-documents inside $( ) are respected.
        {"echo $(echo ')')", "W(echo) W($(echo ')')) $"},
        {"echo $(echo \")\" \\)) x", "W(echo) W($(echo \")\" \\))) W(x) $"},
        {"echo $(echo a # )\n) x", "W(echo) W($(echo a # )\\n)) W(x) $"},
        {"echo $(case x in x) echo;; (y) :;; esac) z",
         "W(echo) W($(case x in x) echo;; (y) :;; esac)) W(z) $"},
        {"echo $(case x in\nx) case y in y) ;; esac;;\nesac; (a)) z",
         "W(echo) W($(case x in\\nx) case y in y) ;; esac;;\\nesac; (a))) W(z) $"},
        {"echo $(echo case x in a) b", "W(echo) W($(echo case x in a)) W(b) $"},
        {"x=$(cat <<E\n)\nE\n) y", "W(x=$(cat <<E\\n)\\nE\\n)) W(y) $"},
        {"echo $(a $(b ')') c)", "W(echo) W($(a $(b ')') c)) $"},
        {"echo <(sort ')') >(cat)", "W(echo) W(<(sort ')')) W(>(cat)) $"},
        {"echo \"$(echo \"a b\")\" c", "W(echo) W(\"$(echo \"a b\")\") W(c) $"},
        {"echo `echo \\`echo hi\\`` z", "W(echo) W(`echo \\`echo hi\\``) W(z) $"},
        {"echo \"`echo \\\"a b\\\"`\"", "W(echo) W(\"`echo \\\"a b\\\"`\") $"},
        // Braced parameters keep blanks, quotes and nested braces.
        {"echo ${x:-a b} c", "W(echo) W(${x:-a b}) W(c) $"},
        {"echo \"${x:-\"a b\"}\" c", "W(echo) W(\"${x:-\"a b\"}\") W(c) $"},
        {"echo ${x:-{a}} ${y#\\}}", "W(echo) W(${x:-{a}}) W(${y#\\}}) $"},
        {"echo ${x:-$(echo })}", "W(echo) W(${x:-$(echo })}) $"},
        // ANSI-C quotes: \' does not end them.
        {"echo $'a\\'b' c", "W(echo) W($'a\\'b') W(c) $"},
        {"echo $\"a b\"", "W(echo) W($\"a b\") $"},
        {"echo \"$'\"", "W(echo) W(\"$'\") $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, ArithmeticPairsSingleParentheses) {
    const LexCase cases[] = {
        {"((a=(1+2)*3))", "A(a=(1+2)*3) $"},
        {"((1+(2*3)))", "A(1+(2*3)) $"},
        {"(( (1) + ((2)) ))", "A( (1) + ((2)) ) $"},
        {"((a))&&b", "A(a) O(&&) W(b) $"},
        {"((1+\\\n2))", "A(1+2) $"},
        {"((x == \")\"))", "A(x == \")\") $"},
        // Not arithmetic: the first '(' is a subshell.
        {"((echo a); (echo b))", "O(() O(() W(echo) W(a) O()) O(;) O(() W(echo) W(b) O()) O()) $"},
        {"echo $((1+(2*3)))", "W(echo) W($((1+(2*3)))) $"},
        {"echo $((a)+(b))", "W(echo) W($( (a)+(b))) $"},
        {"echo $((echo a) )", "W(echo) W($( (echo a) )) $"},
        {"echo \"$((1 + 2))\"", "W(echo) W(\"$((1 + 2))\") $"},
        {"for ((i=0; i<3; i++)); do", "W(for) A(i=0; i<3; i++) O(;) W(do) $"},
    };
    for (const auto& c : cases) expect_lexes(c);
}

TEST(ShellLex, ErrorsAreRecordedAndLexingGoesOn) {
    struct ErrorCase {
        const char* source;
        ShellParseError error;
        const char* tokens;
    };
    const ErrorCase cases[] = {
        {"echo 'abc", ShellParseError::unclosed_quote('\''), "W(echo) W('abc) $"},
        {"echo \"abc", ShellParseError::unclosed_quote('"'), "W(echo) W(\"abc) $"},
        {"echo `abc", ShellParseError::unclosed_quote('`'), "W(echo) W(`abc) $"},
        {"echo $'abc", ShellParseError::unclosed_quote('\''), "W(echo) W($'abc) $"},
        {"echo $(a", ShellParseError::unexpected_eof("`)`"), "W(echo) W($(a) $"},
        {"echo <(a", ShellParseError::unexpected_eof("`)`"), "W(echo) W(<(a) $"},
        {"x=(a b", ShellParseError::unexpected_eof("`)`"), "W(x=(a b) $"},
        {"echo ${a", ShellParseError::unexpected_eof("`}`"), "W(echo) W(${a) $"},
        {"((1+2", ShellParseError::unexpected_eof("`))`"), "A(1+2) $"},
        {"echo $((1+2", ShellParseError::unexpected_eof("`)`"), "W(echo) W($( (1+2) $"},
        {"[[ a", ShellParseError::unexpected_eof("`]]`"), "W([[) W(a) $"},
        // The first error is kept; the rest of the input is still read.
        {"echo 'a ; echo $(b", ShellParseError::unclosed_quote('\''), "W(echo) W('a ; echo $(b) $"},
        {"echo $(b 'c) ; d", ShellParseError::unclosed_quote('\''), "W(echo) W($(b 'c) ; d) $"},
    };
    for (const auto& c : cases) {
        auto r = tw::shell_lex(c.source);
        ASSERT_TRUE(r.error) << c.source;
        EXPECT_EQ(*r.error, c.error) << c.source << ": " << tw::error_text(*r.error);
        EXPECT_EQ(show(r.tokens), c.tokens) << c.source;
    }
}

TEST(ShellLex, NestingLimit) {
    auto nest = [](int n) {
        std::string s = "echo ";
        for (int i = 0; i < n; ++i) s += "\"$(";
        s += "x";
        for (int i = 0; i < n; ++i) s += ")\"";
        return s;
    };
    // Each level is a double quote and a substitution.
    auto ok = tw::shell_lex(nest(499));
    EXPECT_FALSE(ok.error);
    EXPECT_EQ(ok.tokens.size(), 3u);
    auto deep = tw::shell_lex(nest(500));
    ASSERT_TRUE(deep.error);
    EXPECT_EQ(tw::error_text(*deep.error), "commands are nested too deeply");
    EXPECT_EQ(deep.tokens.back().kind, ShellTokenKind::End);

    std::string arith = "((" + std::string(2000, '(') + "1" + std::string(2000, ')') + "))";
    auto a = tw::shell_lex(arith);
    ASSERT_TRUE(a.error);
    EXPECT_EQ(a.error->kind, ShellParseError::Kind::TooDeep);
}

TEST(ShellLex, ErrorTexts) {
    EXPECT_EQ(tw::error_text(ShellParseError::unexpected_eof("`fi`")),
              "unexpected end of file (expected `fi`)");
    EXPECT_EQ(tw::error_text(ShellParseError::unexpected_token("`;;`", "end of input")),
              "unexpected token `;;` (expected end of input)");
    EXPECT_EQ(tw::error_text(ShellParseError::unclosed_quote('`')), "unclosed ` quote");
    EXPECT_EQ(tw::error_text(ShellParseError::too_deep()), "commands are nested too deeply");
}

}  // namespace
