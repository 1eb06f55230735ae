#include "shell/parser.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

namespace {

using tw::ShellCommand;

std::string outline(const char* source) {
    auto r = tw::shell_parse(source);
    if (!r) return "error: " + tw::error_text(r.error());
    return tw::shell_command_outline(**r);
}

struct ParseCase {
    const char* source;
    const char* outline;
};

void expect_outlines(std::initializer_list<ParseCase> cases) {
    for (const auto& c : cases) EXPECT_EQ(outline(c.source), c.outline) << "source: " << c.source;
}

TEST(ShellParse, ListsAndChains) {
    expect_outlines({
        {"", "(list)"},
        {" ;\n# only a comment\n;", "(list)"},
        {"echo a", "(simple \"echo\" \"a\")"},
        {"echo a; echo b", "(list (simple \"echo\" \"a\") (simple \"echo\" \"b\"))"},
        {"echo a\necho b\n", "(list (simple \"echo\" \"a\") (simple \"echo\" \"b\"))"},
        {"a && b || c &", "(bg (or (and (simple \"a\") (simple \"b\")) (simple \"c\")))"},
        {"a & && b", "(and (bg (simple \"a\")) (simple \"b\"))"},
        {"a &&\n\n b", "(and (simple \"a\") (simple \"b\"))"},
        {"a && ;", "(and (simple \"a\") (simple))"},
        {"a | b |& c", "(pipe (simple \"a\") (simple \"b\" (dup 2 \"&1\")) (simple \"c\"))"},
        {"a |& b", "(pipe (simple \"a\" (dup 2 \"&1\")) (simple \"b\"))"},
        {"{ a; } |& b", "(pipe (redirected (group (simple \"a\")) (dup 2 \"&1\")) (simple \"b\"))"},
        {"{ a; } >f |& b",
         "(pipe (redirected (group (simple \"a\")) (write 1 \"f\") (dup 2 \"&1\")) (simple \"b\"))"},
        {"a |\n b", "(pipe (simple \"a\") (simple \"b\"))"},
        {"! a | b", "(not (pipe (simple \"a\") (simple \"b\")))"},
        {"time -p a | b", "(time-p (pipe (simple \"a\") (simple \"b\")))"},
        {"time", "(time (list))"},
        {"time; a", "(list (time (list)) (simple \"a\"))"},
        {"time ( a )", "(time (subshell (simple \"a\")))"},
    });
}

TEST(ShellParse, CompoundCommands) {
    expect_outlines({
        {"if a; then b; elif c; then d; else e; fi",
         "(if (simple \"a\") (simple \"b\") (elif (simple \"c\") (simple \"d\")) (else (simple \"e\")))"},
        {"if a\nthen b\nfi", "(if (simple \"a\") (simple \"b\"))"},
        {"while a; do b; done", "(while (simple \"a\") (simple \"b\"))"},
        {"until a; do b; done", "(until (simple \"a\") (simple \"b\"))"},
        {"for i in 1 2 do echo $i; done", "(for \"i\" (\"1\" \"2\") (simple \"echo\" \"$i\"))"},
        {"for i; do :; done", "(for \"i\" (\"\\\"$@\\\"\") (simple \":\"))"},
        {"for i\ndo :; done", "(for \"i\" (\"\\\"$@\\\"\") (simple \":\"))"},
        {"for i in; do :; done", "(for \"i\" () (simple \":\"))"},
        {"for ((i=0; i<3; i++)); do :; done", "(arith-for \"i=0\" \"i<3\" \"i++\" (simple \":\"))"},
        {"for ((;;)) do :; done", "(arith-for \"\" \"\" \"\" (simple \":\"))"},
        {"for (( i = 0 )); do :; done", "(arith-for \"i = 0\" \"\" \"\" (simple \":\"))"},
        {"for ((a=';'; b=\"x;\" ; c; d)) do :; done",
         "(arith-for \"a=';'\" \"b=\\\"x;\\\"\" \"c; d\" (simple \":\"))"},
        {"for ((a[1;2]=1; b; c)) do :; done", "(arith-for \"a[1;2]=1\" \"b\" \"c\" (simple \":\"))"},
        {"case x in a|b) echo;; (c) ;; esac",
         "(case \"x\" (arm (\"a\" \"b\") (simple \"echo\")) (arm (\"c\") -))"},
        {"case x in\n a) echo a;;\n *) echo b\nesac",
         "(case \"x\" (arm (\"a\") (simple \"echo\" \"a\")) (arm (\"*\") (simple \"echo\" \"b\")))"},
        {"case x in esac", "(case \"x\")"},
        // An empty last arm, and the ;& and ;;& terminators.
        {"case x in a) esac", "(case \"x\" (arm (\"a\") -))"},
        {"case x in\n a)\nesac", "(case \"x\" (arm (\"a\") -))"},
        {"case x in a) b;& c) d;;& e) ;& esac",
         "(case \"x\" (arm (\"a\") (simple \"b\") ;&) (arm (\"c\") (simple \"d\") ;;&) (arm (\"e\") - ;&))"},
        {"( )", "(subshell (list))"},
        {"(a; b)", "(subshell (list (simple \"a\") (simple \"b\")))"},
        {"{ a; b; }", "(group (list (simple \"a\") (simple \"b\")))"},
        {"((x = 1 + 2))", "(arith \"x = 1 + 2\")"},
        {"((a)) > f", "(redirected (arith \"a\") (write 1 \"f\"))"},
        {"if a; then b; fi 2>/dev/null <in",
         "(redirected (if (simple \"a\") (simple \"b\")) (write 2 \"/dev/null\") (read 0 \"in\"))"},
    });
}

TEST(ShellParse, Functions) {
    expect_outlines({
        {"f() { echo; } > out",
         "(function \"f\" (redirected (group (simple \"echo\")) (write 1 \"out\")))"},
        {"f()\n{ echo; }", "(function \"f\" (group (simple \"echo\")))"},
        {"f() ( a )", "(function \"f\" (subshell (simple \"a\")))"},
        {"function f { a; }", "(function \"f\" (group (simple \"a\")))"},
        {"function f() { a; }", "(function \"f\" (group (simple \"a\")))"},
        {"function ; { :; }", "(function \"\" (group (simple \":\")))"},
        {"f() g() { :; }", "(function \"f\" (function \"g\" (group (simple \":\"))))"},
        {"a.b-c() { :; }", "(function \"a.b-c\" (group (simple \":\")))"},
    });
}

TEST(ShellParse, SimpleCommandsAndRedirections) {
    expect_outlines({
        {"x=1 y[2]=3 cmd a=b", "(simple (= \"x\" \"1\") (= \"y[2]\" \"3\") \"cmd\" \"a=b\")"},
        {"a+=x b[i+1]+=y", "(simple (= \"a+\" \"x\") (= \"b[i+1]+\" \"y\"))"},
        {"=x cmd", "(simple \"=x\" \"cmd\")"},
        {"1a=b", "(simple \"1a=b\")"},
        {"a[1=b", "(simple \"a[1=b\")"},
        {">f x=1 cmd", "(simple \"x=1\" \"cmd\" (write 1 \"f\"))"},
        {"x=(1 2) y", "(simple (= \"x\" \"(1 2)\") \"y\")"},
        {"echo if then", "(simple \"echo\" \"if\" \"then\")"},
        {"[[ a == b ]]", "(simple \"[[\" \"a\" \"==\" \"b\" \"]]\")"},
        {"cmd 2>&1 >f &>g",
         "(simple \"cmd\" (dup 2 \"&1\") (write 1 \"f\") (write 1 \"g\") (dup 2 \"&1\"))"},
        {"cmd &>>log", "(simple \"cmd\" (append 1 \"log\") (dup 2 \"&1\"))"},
        {"cmd <a >b >>c <>d >|e",
         "(simple \"cmd\" (read 0 \"a\") (write 1 \"b\") (append 1 \"c\") (readwrite 0 \"d\") (write 1 \"e\"))"},
        {"cmd 3<a 4>b 5>>c 6<>d",
         "(simple \"cmd\" (read 3 \"a\") (write 4 \"b\") (append 5 \"c\") (readwrite 6 \"d\"))"},
        {"cmd >&2 >&- 3>&- 4<&- 5<&0 <&6",
         "(simple \"cmd\" (dup 1 \"&2\") (close 1 \"-\") (close 3 \"-\") (close 4 \"-\") (dup 5 \"&0\") "
         "(dup 0 \"&6\"))"},
        {"cmd >&", "(simple \"cmd\" (dup 1 \"&1\"))"},
        {"echo >&$fd", "(simple \"echo\" (dup 1 \"&$fd\"))"},
        {"cat <<< \"$x y\"", "(simple \"cat\" (herestring 0 \"\\\"$x y\\\"\"))"},
        {"cat <<E\n$x\nE\n", "(simple \"cat\" (heredoc 0 \"$x\\n\"))"},
        {"cat <<'E'\n$x\nE\n", "(simple \"cat\" (heredoc-literal 0 \"$x\\n\"))"},
        {"cat 3<<E <&3\nx\nE\n", "(simple \"cat\" (heredoc 3 \"x\\n\") (dup 0 \"&3\"))"},
    });
}

TEST(ShellParse, SyntaxErrors) {
    expect_outlines({
        {"if true; then fi", "error: unexpected token `fi` (expected command)"},
        {"{ }", "error: unexpected token `}` (expected command)"},
        {"a ;; b", "error: unexpected token `;;` (expected end of input)"},
        {"if true; then", "error: unexpected end of file (expected `fi`)"},
        {"if true\n", "error: unexpected end of file (expected `then`)"},
        {"while a; b", "error: unexpected end of file (expected `do`)"},
        {"for i in a; do b", "error: unexpected end of file (expected `done`)"},
        {"for", "error: unexpected end of file (expected word)"},
        {"for >", "error: unexpected token `>` (expected word)"},
        {"case x", "error: unexpected end of file (expected `in`)"},
        {"case x in a", "error: unexpected end of file (expected `)`)"},
        {"case x in a) b;; ", "error: unexpected end of file (expected `esac`)"},
        {"case x in a) b;; fi x", "error: unexpected token `x` (expected `)`)"},
        {"{ a", "error: unexpected end of file (expected `}`)"},
        {"(a", "error: unexpected end of file (expected `)`)"},
        {"a )", "error: unexpected token `)` (expected end of input)"},
        {"a |", "error: unexpected end of file (expected command)"},
        {"a | | b", "error: unexpected token `|` (expected command)"},
        {"&& a", "error: unexpected token `&&` (expected command)"},
        {"done", "error: unexpected token `done` (expected command)"},
        {"]]", "error: unexpected token `]]` (expected command)"},
        {"echo >", "error: unexpected end of file (expected word)"},
        {"echo > ;", "error: unexpected token `;` (expected word)"},
        {"echo > >f", "error: unexpected token `>` (expected word)"},
        {"echo >> <<<x", "error: unexpected token here-string (expected word)"},
        {"echo > 2>&1", "error: unexpected token redirection (expected word)"},
        {"echo > ((1))", "error: unexpected token arithmetic command (expected word)"},
        {"echo <\ncat <<E\nE\n", "error: unexpected token `\n` (expected word)"},
        {"f() ", "error: unexpected end of file (expected command)"},
        {"echo 'a", "error: unclosed ' quote"},
        {"echo $(a", "error: unexpected end of file (expected `)`)"},
        {"[[ a", "error: unexpected end of file (expected `]]`)"},
        // Lexing errors come first, even after a parse error.
        {"fi; echo 'a", "error: unclosed ' quote"},
    });
    // The first error is returned; the lexer's flag of an unfinished here-document is not one.
    EXPECT_TRUE(tw::shell_parse("cat <<EOF\nx\n").has_value());
}

std::string repeat(std::string_view unit, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += unit;
    return out;
}

TEST(ShellParse, NestingLimit) {
    const std::string too_deep = "error: commands are nested too deeply";
    EXPECT_EQ(outline(("a" + repeat(" && a", 1000)).c_str()), too_deep);
    EXPECT_NE(outline(("a" + repeat(" && a", 990)).c_str()), too_deep);
    EXPECT_EQ(outline((repeat("( ", 1000) + "a" + repeat(" )", 1000)).c_str()), too_deep);
    auto nested = tw::shell_parse(repeat("( ", 400) + "a" + repeat(" )", 400));
    ASSERT_TRUE(nested.has_value());
    EXPECT_TRUE((*nested)->is<ShellCommand::Subshell>());
    EXPECT_EQ(outline((repeat("f() ", 1000) + "{ :; }").c_str()), too_deep);
    EXPECT_EQ(outline((repeat("if a; then ", 600) + "b" + repeat("; fi", 600)).c_str()), too_deep);
    EXPECT_TRUE(tw::shell_parse(repeat("if a; then ", 490) + "b" + repeat("; fi", 490)).has_value());
}

void* parse_on_small_stack(void* out) {
    // The thread's 64 KiB stack is far below what 490 nested commands need: the parser runs on
    // fresh stack segments.
    auto r = tw::shell_parse(repeat("while a; do ", 490) + "b" + repeat("; done", 490));
    *static_cast<bool*>(out) = r.has_value() && tw::shell_value_modeled_size(**r) > 0;
    return nullptr;
}

TEST(ShellParse, DeepNestingOnASmallStack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    bool parsed = false;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, parse_on_small_stack, &parsed), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(parsed);
}

void* release_deep_tree(void* out) {
    // Releasing 20000 nested nodes recurses far beyond a 64 KiB stack.
    auto tree = tw::make_shell_command(ShellCommand::Simple{});
    for (int i = 0; i < 20000; ++i) tree = tw::make_shell_command(ShellCommand::Not{tree});
    tree.reset();
    *static_cast<bool*>(out) = true;
    return nullptr;
}

TEST(ShellParse, DeepTreesAreReleasedOnFreshSegments) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    bool released = false;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, release_deep_tree, &released), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(released);
}

TEST(ShellParse, RawTextsReachTheTree) {
    expect_outlines({
        {"echo \"$(echo \")\")\" '${x}' ${y:-a b} `a \\` b` $'\\''",
         "(simple \"echo\" \"\\\"$(echo \\\")\\\")\\\"\" \"'${x}'\" \"${y:-a b}\" \"`a \\\\` b`\" "
         "\"$'\\\\''\")"},
        {"case \"$x\" in 'a b'|*.c) ;; esac", "(case \"\\\"$x\\\"\" (arm (\"'a b'\" \"*.c\") -))"},
        {"for f in *.txt \"a b\"; do :; done", "(for \"f\" (\"*.txt\" \"\\\"a b\\\"\") (simple \":\"))"},
        {"echo $(case a in a) echo;; esac)", "(simple \"echo\" \"$(case a in a) echo;; esac)\")"},
        {"[[ $x =~ ^\"a b\"(c|d)$ ]]", "(simple \"[[\" \"$x\" \"=~\" \"\\\"^a b(c|d)$\\\"\" \"]]\")"},
    });
}

TEST(ShellParse, ModeledSize) {
    auto size = [](const char* source) {
        auto r = tw::shell_parse(source);
        EXPECT_TRUE(r.has_value()) << source;
        return r ? tw::shell_value_modeled_size(**r) : 0;
    };
    // 80 + assignment (1 + 1 + 48) + words (4 + 24, 2 + 24) + redirection (1 + 32).
    EXPECT_EQ(size("a=1 echo hi >f"), 217u);
    EXPECT_EQ(size(""), 80u);
    // FunctionDef 80 + 1 + BraceGroup 80 + Case (80 + 2 + pattern 25 + empty arm 80).
    EXPECT_EQ(size("f() { case $x in a) ;; esac; }"), 348u);
    // For 80 + 1 + 2 words (25 each) + Simple (80 + 25).
    EXPECT_EQ(size("for i in a b; do :; done"), 236u);
    // ArithFor 80 + 3 + 3 + 3 + Simple 105; Redirected around a Subshell: 80 + 33 + 80 + 105.
    EXPECT_EQ(size("for ((i=0;i<3;i++)); do :; done"), 194u);
    EXPECT_EQ(size("( : ) >f"), 298u);
    // If with elif and else: 80 + 4 * 105 + 105.
    EXPECT_EQ(size("if a; then b; elif c; then d; else e; fi"), 605u);
    // And 80 + 2 * 105; Pipeline 80 + 105 + Simple with a |& duplication (105 + 2 + 32).
    EXPECT_EQ(size("a && b"), 290u);
    EXPECT_EQ(size("a |& b"), 324u);
    // Words and patterns: Words 80 + 25 + 25.
    auto words = tw::make_shell_command(ShellCommand::Words{{"a", "b"}});
    EXPECT_EQ(tw::shell_value_modeled_size(*words), 130u);
}

TEST(ShellParse, Predicates) {
    for (const char* w : {"if", "then", "elif", "else", "fi", "for", "while", "until", "do", "done",
                          "case", "esac", "in", "function", "{", "}", "!", "[[", "]]"})
        EXPECT_TRUE(tw::is_shell_reserved_word(w)) << w;
    for (const char* w : {"time", "select", "((", "]", "{a", "If"})
        EXPECT_FALSE(tw::is_shell_reserved_word(w)) << w;
    for (const char* w : {"a=", "a=b", "_x1=2", "a+=b", "a[1]=x", "a[k]+=x", "a==b", "a=(1 2)"})
        EXPECT_TRUE(tw::is_assignment_word(w)) << w;
    for (const char* w : {"=a", "1a=b", "a", "a-b=c", "+=x", "a++=b", "a[1=b", "[1]=b", "a b=c"})
        EXPECT_FALSE(tw::is_assignment_word(w)) << w;
}

TEST(ShellParse, AliasHelpers) {
    EXPECT_EQ(tw::alias_value_words("ls -l 'a b'"),
              (std::vector<std::string>{"ls", "-l", "'a b'"}));
    EXPECT_FALSE(tw::alias_value_words(""));
    EXPECT_FALSE(tw::alias_value_words("a; b"));
    EXPECT_FALSE(tw::alias_value_words("x=1 ls"));
    EXPECT_FALSE(tw::alias_value_words("ls >f"));
    EXPECT_FALSE(tw::alias_value_words("if"));
    EXPECT_FALSE(tw::alias_value_words("ls 'a"));
    EXPECT_EQ(tw::alias_line("ll", "ls -l"), "alias ll='ls -l'\n");
    EXPECT_EQ(tw::alias_line("q", "echo 'hi'"), "alias q='echo '\\''hi'\\'''\n");
}

TEST(ShellParse, TreesAreSharedAndImmutable) {
    auto r = tw::shell_parse("f() { a; }");
    ASSERT_TRUE(r.has_value());
    tw::ShellCommandPtr tree = *r;
    const auto* def = tree->as<ShellCommand::FunctionDef>();
    ASSERT_NE(def, nullptr);
    // A function table keeps the body by reference: copying shares, not copies.
    tw::ShellCommandPtr body = def->body;
    tw::ShellCommandPtr copy = body;
    EXPECT_EQ(copy.get(), body.get());
    EXPECT_TRUE(body->is<ShellCommand::BraceGroup>());
}

}  // namespace
