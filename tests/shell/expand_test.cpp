#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "shell/assign.h"
#include "shell/expand.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

using Texts = std::vector<std::string>;

class ExpandTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);
    ProcessState& st() { return m.states.active_mut(); }

    void SetUp() override { st().cwd = "/tmp"; }

    // Applies "name=value" texts as a script's assignments would.
    void assign(std::string_view text) {
        std::size_t eq = text.find('=');
        run_assignments(m, text.substr(0, eq), text.substr(eq + 1));
    }
    std::string pending() {
        auto& e = st().pending_error;
        return e && e->message ? *e->message : std::string();
    }
};

struct ExpandCase {
    Texts setup;   // assignments applied first
    Texts params;  // positional parameters
    const char* word;
    Texts fields;  // the fields of the word
};

// Each case applies its assignments and positional parameters to a fresh shell, then expands the
// word with splitting in a directory where nothing matches.
const ExpandCase kCases[] = {
    {{}, {}, "plain", {"plain"}},
    {{}, {}, "'a b'", {"a b"}},
    {{}, {}, "\"a  b\"", {"a  b"}},
    {{}, {}, "\"\"", {""}},
    {{}, {}, "''", {""}},
    {{}, {}, "$u", {}},
    {{}, {}, "\"$u\"", {""}},
    {{}, {}, "a\\ b", {"a b"}},
    {{}, {}, "\\\\", {"\\"}},
    {{}, {}, "a\"b\"'c'", {"abc"}},
    {{"x='a b'"}, {}, "$x", {"a", "b"}},
    {{"x='a b'"}, {}, "\"$x\"", {"a b"}},
    {{"x='  a   b  '"}, {}, "$x", {"a", "b"}},
    {{"x='  a   b  '"}, {}, "y${x}z", {"y", "a", "b", "z"}},
    {{}, {"1", "2"}, "x$@", {"x1", "2"}},
    {{}, {"1", "2"}, "\"x$@\"", {"x1", "2"}},
    {{}, {"1", "2"}, "x$@y", {"x1", "2y"}},
    {{}, {"a b", "c d"}, "\"$@\"", {"a b", "c d"}},
    {{}, {"a b", "c d"}, "\"x$@y\"", {"xa b", "c dy"}},
    {{}, {"a b", "c d"}, "$@", {"a", "b", "c", "d"}},
    {{}, {"a b", "c d"}, "\"$*\"", {"a b c d"}},
    {{}, {"a b", "c d"}, "$*", {"a", "b", "c", "d"}},
    {{}, {}, "\"$@\"", {}},
    {{}, {}, "\"x$@\"", {"x"}},
    {{}, {}, "\"$*\"", {""}},
    {{}, {"", ""}, "\"$@\"", {"", ""}},
    {{}, {"", "a"}, "$@", {"a"}},
    {{}, {"a b", "c"}, "\"${@}\"", {"a b", "c"}},
    {{"IFS=:"}, {"a b", "c d"}, "\"$*\"", {"a b:c d"}},
    {{"IFS="}, {"a b", "c d"}, "\"$*\"", {"a bc d"}},
    {{"IFS="}, {"a b", "c d"}, "$*", {"a b", "c d"}},
    {{"IFS=:", "x=a::b"}, {}, "$x", {"a", "", "b"}},
    {{"IFS=:", "x=:a"}, {}, "$x", {"", "a"}},
    {{"IFS=:", "x=a:"}, {}, "$x", {"a"}},
    {{"IFS=' :'", "x='a : b'"}, {}, "$x", {"a", "b"}},
    {{"IFS=' :'", "x=' :a'"}, {}, "$x", {"", "a"}},
    {{"IFS=' :'", "x='a: :b'"}, {}, "$x", {"a", "", "b"}},
    {{"IFS=': '", "x='a  ::  b'"}, {}, "$x", {"a", "", "b"}},
    {{"IFS=:"}, {"a b", "c:d"}, "$@", {"a b", "c", "d"}},
    {{"IFS=:", "x=a:b"}, {}, "\"$x\"", {"a:b"}},
    {{}, {}, "$((1+2))", {"3"}},
    {{}, {}, "$(( x + 1 ))", {"1"}},
    {{"x=3"}, {}, "$(( $x * 2 ))", {"6"}},
    {{"x=3"}, {}, "$(( ${x} + 1))", {"4"}},
    {{}, {}, "$(( \"1\" + 2 ))", {"3"}},
    {{}, {}, "$((2**10))", {"1024"}},
    {{"x='*'"}, {}, "$x", {"*"}},
    {{}, {}, "\\*.txt", {"*.txt"}},
    {{}, {}, "$", {"$"}},
    {{}, {}, "a$", {"a$"}},
    {{}, {}, "\"$\"", {"$"}},
    {{}, {}, "$/", {"$/"}},
    {{}, {"a b", "c"}, "$1x", {"a", "bx"}},
    {{}, {"a", "b"}, "$10", {"a0"}},
    {{}, {"a", "b"}, "${10}", {}},
    {{}, {}, "$'a\\tb'", {"a\tb"}},
    {{}, {}, "$'\\x41\\101\\u00e9'", {"AA\xc3\xa9"}},
    {{}, {}, "$'it\\'s'", {"it's"}},
    {{}, {}, "$\"hi there\"", {"hi there"}},
    {{}, {}, "~", {"/root"}},
    {{}, {}, "~/x", {"/root/x"}},
    {{}, {}, "~root", {"/root"}},
    {{}, {}, "~nosuch", {"~nosuch"}},
    {{}, {}, "a~", {"a~"}},
    {{}, {}, "\"~\"", {"~"}},
    {{"HOME='/a b'"}, {}, "~/x", {"/a b/x"}},
    {{"f=archive.tar.gz"}, {}, "${f#*.}", {"tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f##*.}", {"gz"}},
    {{"f=archive.tar.gz"}, {}, "${f%.*}", {"archive.tar"}},
    {{"f=archive.tar.gz"}, {}, "${f%%.*}", {"archive"}},
    {{"f=archive.tar.gz"}, {}, "${f#x}", {"archive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f#}", {"archive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f/a/A}", {"Archive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f//a/A}", {"Archive.tAr.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f/*/X}", {"X"}},
    {{"f=archive.tar.gz"}, {}, "${f//./}", {"archivetargz"}},
    {{"f=archive.tar.gz"}, {}, "${f/#a/A}", {"Archive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f/#r/A}", {"archive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f/%gz/GZ}", {"archive.tar.GZ"}},
    {{"f=archive.tar.gz"}, {}, "${f/#/P}", {"Parchive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f/%/S}", {"archive.tar.gzS"}},
    {{"f=archive.tar.gz"}, {}, "\"${f//[ar]/_}\"", {"__chive.t__.gz"}},
    {{"f=archive.tar.gz"}, {}, "\"${f/a/[&]}\"", {"[a]rchive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "\"${f/a/[\\&]}\"", {"[&]rchive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "\"${f/a/\"&\"}\"", {"&rchive.tar.gz"}},
    {{"f=archive.tar.gz"}, {}, "${f//}", {"archive.tar.gz"}},
    {{"f=/usr/lib/x.so"}, {}, "${f##*/}", {"x.so"}},
    {{"f=/usr/lib/x.so"}, {}, "${f%/*}", {"/usr/lib"}},
    {{"x='*a*b'"}, {}, "\"${x#'*'}\"", {"a*b"}},
    {{"x='*a*b'"}, {}, "${x#\"*\"}", {"a*b"}},
    {{"x='*a*b'"}, {}, "\"${x#\\*}\"", {"a*b"}},
    {{"x='*a*b'", "y='*'"}, {}, "\"${x#$y}\"", {"*a*b"}},
    {{"x='*a*b'", "y='*'"}, {}, "\"${x##$y}\"", {""}},
    {{"x='*a*b'", "y='*'"}, {}, "${x#\"$y\"}", {"a*b"}},
    {{"x='*a*b'"}, {}, "\"${x//'*'/-}\"", {"-a-b"}},
    {{"y=abc"}, {}, "\"${y/b/'&'}\"", {"a&c"}},
    {{"y=abc"}, {}, "${y/b/&&}", {"abbc"}},
    {{"y=abc"}, {}, "\"${y/b/x\\\\y}\"", {"ax\\yc"}},
    {{"y=abc"}, {}, "${y/b/'x y'}", {"ax", "yc"}},
    {{"y=abc"}, {}, "${y//?/<&>}", {"<a><b><c>"}},
    {{"y=abc"}, {}, "${y//b*/X}", {"aX"}},
    {{"y=abc"}, {}, "${y/b}", {"ac"}},
    {{"s=hello"}, {}, "${s^}", {"Hello"}},
    {{"s=hello"}, {}, "${s^^}", {"HELLO"}},
    {{"s=hello"}, {}, "${s^^[a-h]}", {"HEllo"}},
    {{"s=hello"}, {}, "${s^[l]}", {"hello"}},
    {{"s=HELLO"}, {}, "${s,}", {"hELLO"}},
    {{"s=HELLO"}, {}, "${s,,[A-H]}", {"heLLO"}},
    {{"s=hello"}, {}, "${s~~}", {"HELLO"}},
    {{"s=hello"}, {}, "${s:1}", {"ello"}},
    {{"s=hello"}, {}, "${s:1:2}", {"el"}},
    {{"s=hello"}, {}, "${s: -2}", {"lo"}},
    {{"s=hello"}, {}, "${s:(-2):1}", {"l"}},
    {{"s=hello"}, {}, "${s:1:-1}", {"ell"}},
    {{"s=hello"}, {}, "${s:-2}", {"hello"}},
    {{"s=hello"}, {}, "\"${s:10}\"", {""}},
    {{"s=hello", "i=1"}, {}, "${s:i:i+1}", {"el"}},
    {{"s=hello"}, {}, "${#s}", {"5"}},
    {{}, {}, "${#}", {"0"}},
    {{}, {"a", "b", "c"}, "${#}", {"3"}},
    {{}, {"a", "b", "c"}, "${#@}", {"3"}},
    {{}, {"a", "b", "c"}, "${#*}", {"3"}},
    {{}, {}, "${?}", {"0"}},
    {{}, {}, "${#?}", {"1"}},
    {{}, {"ab", "cd"}, "\"${@/a/X}\"", {"Xb", "cd"}},
    {{}, {"ab", "cd"}, "\"${*/a/X}\"", {"Xb cd"}},
    {{}, {"ab", "cd"}, "\"${@:1:1}\"", {"ab"}},
    {{}, {"ab", "cd"}, "\"${@: -1}\"", {"cd"}},
    {{}, {"ab", "cd"}, "${@^}", {"Ab", "Cd"}},
    {{}, {"ab", "cd"}, "\"${@#?}\"", {"b", "d"}},
    {{}, {"ab", "cd"}, "\"${@:-d}\"", {"ab", "cd"}},
    {{}, {}, "\"${@:-d}\"", {"d"}},
    {{}, {}, "${u:-a b}", {"a", "b"}},
    {{}, {}, "${u:-\"a b\"}", {"a b"}},
    {{}, {}, "\"${u:-\"a b\"}\"", {"a b"}},
    {{}, {}, "\"${u:-'x'}\"", {"'x'"}},
    {{}, {}, "${u:-'x y'}", {"x y"}},
    {{}, {}, "\"${u:-\\\"q\\\"}\"", {"\"q\""}},
    {{}, {}, "\"${u:-a\\}b}\"", {"a}b"}},
    {{}, {}, "${u:-a\\}b}", {"a}b"}},
    {{}, {}, "\"${u:-\"}\"}\"", {"}"}},
    {{}, {}, "\"${u:-'}'}\"", {"'}'"}},
    {{}, {}, "\"${u:-~}\"", {"~"}},
    {{}, {}, "${u:-~}", {"/root"}},
    {{}, {}, "${u:-~/a}", {"/root/a"}},
    {{}, {}, "\"${u:-\\*}\"", {"\\*"}},
    {{}, {}, "${u:-\\*}", {"*"}},
    {{}, {}, "\"${u:-a\\b}\"", {"a\\b"}},
    {{}, {}, "${u-$HOME}", {"/root"}},
    {{"z='a b'"}, {}, "${u-$z}", {"a", "b"}},
    {{"z='a b'"}, {}, "${u-\"$z\"}", {"a b"}},
    {{}, {}, "${u:+\"a b\"}", {}},
    {{"y=1"}, {}, "${y:+\"a b\"}", {"a b"}},
    {{"y=1"}, {}, "${y:+a b}", {"a", "b"}},
    {{"y=1"}, {}, "\"${y:+'a b'}\"", {"'a b'"}},
    {{"y=1"}, {}, "${y:+'a b'}", {"a b"}},
    {{"x="}, {}, "${x:-a}", {"a"}},
    {{"x="}, {}, "\"${x-a}\"", {""}},
    {{"x="}, {}, "\"${x:+a}\"", {""}},
    {{"x="}, {}, "${x+a}", {"a"}},
    {{}, {}, "\"${x+a}\"", {""}},
    {{}, {}, "${u:=\"a b\"}", {"a", "b"}},
    {{}, {}, "\"${v:=x y}\"", {"x y"}},
    {{"a=(p q r)"}, {}, "\"${a[@]}\"", {"p", "q", "r"}},
    {{"a=(p q r)"}, {}, "${a[1]}", {"q"}},
    {{"a=(p q r)"}, {}, "${a[-1]}", {"r"}},
    {{"a=(p q r)"}, {}, "${a[i]}", {"p"}},
    {{"a=(p q r)", "i=2"}, {}, "${a[i]}", {"r"}},
    {{"a=(p q r)", "i=2"}, {}, "${a[i-1]}", {"q"}},
    {{"a=(p q r)", "i=2"}, {}, "${a[$i]}", {"r"}},
    {{"a=(p q r)"}, {}, "${a}", {"p"}},
    {{"a=(p q r)"}, {}, "\"${a[@]:1:2}\"", {"q", "r"}},
    {{"a=(p q r)"}, {}, "${#a[@]}", {"3"}},
    {{"a=(p q r)"}, {}, "${#a[1]}", {"1"}},
    {{"a=(p q r)"}, {}, "\"${a[*]}\"", {"p q r"}},
    {{"a=(p q r)", "IFS=:"}, {}, "\"${a[*]}\"", {"p:q:r"}},
    {{"a=(p q r)"}, {}, "\"${!a[@]}\"", {"0", "1", "2"}},
    {{"a=(p q r)"}, {}, "\"${a[@]/q/x}\"", {"p", "x", "r"}},
    {{"a=(p q r)"}, {}, "\"${a[@]/#/x}\"", {"xp", "xq", "xr"}},
    {{"a=(p q r)"}, {}, "\"${a[@]^^}\"", {"P", "Q", "R"}},
    {{"a=('x y' z)"}, {}, "${a[@]}", {"x", "y", "z"}},
    {{"a=('x y' z)"}, {}, "\"${a[@]}\"", {"x y", "z"}},
    {{"a=()"}, {}, "\"${a[@]}\"", {}},
    {{"a=()"}, {}, "\"x${a[@]}\"", {"x"}},
    {{"a=(x [5]=y z)"}, {}, "\"${!a[@]}\"", {"0", "5", "6"}},
    {{"a=([5]=y [2]=x z)"}, {}, "\"${!a[@]}\"", {"2", "3", "5"}},
    {{"a=(p q r)"}, {}, "\"${a[@]:+alt}\"", {"alt"}},
    {{"x=5"}, {}, "\"${x[0]}\"", {"5"}},
    {{"x=5"}, {}, "\"${x[1]}\"", {""}},
    {{"x=5"}, {}, "\"${#x[@]}\"", {"1"}},
    {{"x1=1", "x2=2"}, {}, "${!x*}", {"x1", "x2"}},
    {{"x1=1", "x2=2"}, {}, "\"${!x@}\"", {"x1", "x2"}},
    {{"x1=1", "y=x1"}, {}, "${!y}", {"1"}},
    {{"y=x1"}, {}, "${!y:-d}", {"d"}},
    {{"a=(p q r)", "y='a[1]'"}, {}, "${!y}", {"q"}},
    {{"x='a b'"}, {}, "${x@Q}", {"'a", "b'"}},
    {{"x='a b'"}, {}, "\"${x@Q}\"", {"'a b'"}},
    {{"q=\"it's\""}, {}, "\"${q@Q}\"", {"'it'\\''s'"}},
    {{"s=hello"}, {}, "\"${s@U}\"", {"HELLO"}},
    {{"s=hello"}, {}, "\"${s@u}\"", {"Hello"}},
    {{"t='a\\tb'"}, {}, "\"${t@E}\"", {"a\tb"}},
    {{}, {}, "{a,b}", {"a", "b"}},
    {{}, {}, "x{1..3}", {"x1", "x2", "x3"}},
    {{}, {}, "{01..3}", {"01", "02", "03"}},
    {{"x=1"}, {}, "${x}{a,b}", {"1a", "1b"}},
    {{"x=1"}, {}, "\"${x}\"{a,b}", {"1a", "1b"}},
    {{}, {}, "\"${u:-{a,b}}\"", {"{a,b}"}},
    {{}, {}, "${u:-{a,b}}", {"{a,b}"}},
    {{"a=('' x '')"}, {}, "\"${a[@]}\"", {"", "x", ""}},
    {{"a=('' x '')"}, {}, "${a[@]}", {"x"}},
    {{}, {"1", "2"}, "\"a$@b$@c\"", {"a1", "2b1", "2c"}},
    {{}, {"1 2", "3"}, "${u:-$@}", {"1", "2", "3"}},
    {{}, {"1 2", "3"}, "\"${u:-$@}\"", {"1 2", "3"}},
    {{}, {"1 2", "3"}, "${u:-\"$@\"}", {"1 2", "3"}},
    {{"x=' a '"}, {}, "\"$x\"$x", {" a ", "a"}},
    {{"x=' a '"}, {}, "$x\"\"", {"a", ""}},
    {{}, {}, "\"\"$u", {""}},
    {{"IFS=:", "x=':a::b:'"}, {}, "$x", {"", "a", "", "b"}},
    {{"IFS=:", "x=':a::b:'"}, {}, "y${x}y", {"y", "a", "", "b", "y"}},
    {{"IFS=', '", "x='a, b,,c ,d'"}, {}, "$x", {"a", "b", "", "c", "d"}},
    {{"IFS="}, {}, "$u", {}},
    {{"IFS=", "x='a b'"}, {}, "$x", {"a b"}},
    {{"x='a\tb'"}, {}, "$x", {"a", "b"}},
    {{"x=$'a\tb'"}, {}, "$x", {"a", "b"}},
    {{"x=$'a\nb'"}, {}, "\"$x\"", {"a\nb"}},
    {{}, {"a", "b"}, "$#", {"2"}},
    {{}, {}, "$?", {"0"}},
    {{"x=5"}, {}, "$((x+=2))$x", {"77"}},
    {{"x=5"}, {}, "$(( x > 3 ? 10 : 20 ))", {"10"}},
    {{}, {}, "$((-7/2))_$((1<<64))_$((0x1F))_$((2#101))", {"-3_1_31_5"}},
    {{"a=(1 2 3)"}, {}, "$((a[1]+a[2]))", {"5"}},
    {{"v='1 + 2'"}, {}, "$((v * 2))", {"6"}},
    {{"n=3"}, {}, "${n:+$((n*n))}", {"9"}},
    {{}, {}, "${#u}", {"0"}},
    {{"u=abc"}, {}, "${#u[0]}", {"3"}},
    {{}, {"x"}, "${1+set}${2+set}${2-unset}", {"setunset"}},
    {{"x=ab"}, {}, "${x:1:1}${x: -1:1}", {"bb"}},
    {{"s='a b c'"}, {}, "${s// /_}", {"a_b_c"}},
    {{"s='a b c'"}, {}, "\"${s// /}\"", {"abc"}},
    {{"p=/a/b"}, {}, "${p//\\//:}", {":a:b"}},
    {{"p=/a/b"}, {}, "${p//\"/\"/:}", {":a:b"}},
    {{}, {}, "a{1..3}\"{x,y}\"", {"a1{x,y}", "a2{x,y}", "a3{x,y}"}},
    {{}, {}, "\"{\"a,b}", {"{a,b}"}},
    {{}, {}, "~+", {"/tmp/empty"}},
    {{"IFS=:"}, {"a", "", "b"}, "$@", {"a", "", "b"}},
    {{"IFS=:"}, {"a", "", "b"}, "x$@y", {"xa", "", "by"}},
    {{"IFS="}, {"a", "", "b"}, "$@", {"a", "b"}},
    {{"IFS=' :'"}, {"a", "", "b"}, "$*", {"a", "b"}},
    {{"IFS=:", "arr=(q '' r)"}, {}, "${arr[@]}", {"q", "", "r"}},
    {{"IFS=a"}, {}, "xay", {"xay"}},
    {{"IFS=:"}, {}, "a:b", {"a:b"}},
    {{"IFS=:"}, {}, "${u:-a:b}", {"a", "b"}},
    {{"IFS=:"}, {}, "${u:-\"a:b\"}", {"a:b"}},
};

TEST_F(ExpandTest, FieldsOfWords) {
    for (const auto& c : kCases) {
        Machine fresh = Machine::build(kLimits);
        m = fresh;
        st().cwd = "/tmp/empty";
        st().positional_params = c.params;
        for (const auto& s : c.setup) assign(s);
        EXPECT_EQ(expand_words(m, c.word, true), c.fields) << c.word;
        EXPECT_EQ(pending(), "") << c.word;
    }
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

struct ErrorCase {
    Texts setup;
    const char* word;
    const char* message;  // the pending error's message
    Texts fields;
};

TEST_F(ExpandTest, FailuresAreRecordedAsFatalPendingErrors) {
    const ErrorCase cases[] = {
        {{}, "${x:?}", "tarnwick: x: parameter null or not set\n", {}},
        {{"x="}, "a${x:?}b", "tarnwick: x: parameter null or not set\n", {"ab"}},
        {{}, "${x?}", "tarnwick: x: parameter not set\n", {}},
        {{}, "${x?oops}", "tarnwick: oops\n", {}},
        {{}, "${x:?\"is empty\"}", "tarnwick: is empty\n", {}},
        {{"a=(p)"}, "${a[3]:?}", "tarnwick: a[3]: parameter null or not set\n", {}},
        {{}, "$((1/0))", "tarnwick: 1/0: division by 0 (error token is \"0\")\n", {"0"}},
        {{}, "x$((2+))y", "tarnwick: 2+: arithmetic syntax error: operand expected (error token is \"+\")\n", {"x0y"}},
        {{"s=hello"}, "${s:1/0}", "tarnwick: 1/0: division by 0 (error token is \"0\")\n", {"hello"}},
        {{}, "${x:?first}${y:?second}", "tarnwick: first\n", {}},
        {{}, "${1:=x}", "tarnwick: $1: cannot assign in this way\n", {}},
        {{}, "${!x}", "tarnwick: x: invalid indirect expansion\n", {}},
        {{}, "${%x}", "tarnwick: ${%x}: bad substitution\n", {}},
    };
    for (const auto& c : cases) {
        m = Machine::build(kLimits);
        for (const auto& s : c.setup) assign(s);
        EXPECT_EQ(expand_words(m, c.word, true), c.fields) << c.word;
        EXPECT_EQ(pending(), c.message) << c.word;
        EXPECT_TRUE(st().pending_error && st().pending_error->fatal) << c.word;
        EXPECT_EQ(st().pending_error ? st().pending_error->status : 0, 1);
    }
}

TEST_F(ExpandTest, UnusedOperandsAreNotExpanded) {
    assign("x=set");
    EXPECT_EQ(expand_words(m, "${x:-${y:?needed}}", true), Texts{"set"});
    EXPECT_EQ(expand_words(m, "${x:+ok}${u:+$((1/0))}", true), Texts{"ok"});
    EXPECT_EQ(expand_words(m, "${x:=$((n=5))}", true), Texts{"set"});
    EXPECT_EQ(pending(), "");
    EXPECT_FALSE(lookup_parameter(st(), "n"));
}

TEST_F(ExpandTest, Nounset) {
    st().options.nounset = true;
    struct Case {
        const char* word;
        Texts fields;
        const char* message;
    };
    const Case cases[] = {
        {"$x", {}, "tarnwick: x: unbound variable\n"},
        {"${x}", {}, "tarnwick: x: unbound variable\n"},
        {"\"$1\"", {""}, "tarnwick: 1: unbound variable\n"},
        {"${x:-d}", {"d"}, ""},
        {"${#x}", {"0"}, ""},
        {"${a[3]}", {}, ""},
        {"$@", {}, ""},
        {"\"$*\"", {""}, ""},
        {"$((x + 1))", {"0"}, "tarnwick: x: unbound variable\n"},
    };
    for (const auto& c : cases) {
        st().pending_error.reset();
        EXPECT_EQ(expand_words(m, c.word, true), c.fields) << c.word;
        EXPECT_EQ(pending(), c.message) << c.word;
    }
    EXPECT_EQ(expand_words(m, "$-", true), Texts{"huB"});
    st().options.nounset = false;
    st().options.errexit = true;
    st().options.xtrace = true;
    EXPECT_EQ(expand_words(m, "$-", true), Texts{"ehxB"});
}

TEST_F(ExpandTest, AssigningOperators) {
    EXPECT_EQ(expand_words(m, "${x:=a}", true), Texts{"a"});
    EXPECT_EQ(lookup_parameter(st(), "x"), "a");
    EXPECT_EQ(expand_words(m, "${y=b}", true), Texts{"b"});
    EXPECT_EQ(lookup_parameter(st(), "y"), "b");
    assign("z=");
    EXPECT_EQ(expand_words(m, "\"${z=b}\"", true), Texts{""});
    EXPECT_EQ(lookup_parameter(st(), "z"), "");

    // A read-only name is refused and keeps its value.
    assign("r=");
    st().readonly_names.insert("r");
    EXPECT_EQ(expand_words(m, "${r:=a}", true), Texts{});
    EXPECT_EQ(pending(), "tarnwick: r: readonly variable\n");
    EXPECT_TRUE(st().pending_error->fatal);
    EXPECT_EQ(lookup_parameter(st(), "r"), "");

    // An element is assigned on its own; the rest of the array stays.
    st().pending_error.reset();
    assign("a=(p '' r)");
    EXPECT_EQ(expand_words(m, "${a[1]:=v}", true), Texts{"v"});
    EXPECT_EQ(array_values(st(), "a"), (Texts{"p", "v", "r"}));
    EXPECT_EQ(expand_words(m, "${a[5]=w}", true), Texts{"w"});
    EXPECT_EQ(array_keys(st(), "a"), (Texts{"0", "1", "2", "5"}));
    EXPECT_EQ(pending(), "");
}

TEST_F(ExpandTest, WithoutSplitting) {
    st().positional_params = {"a b", "c"};
    struct Case {
        const char* word;
        Texts fields;
    };
    const Case cases[] = {
        {"$@", {"a b c"}},
        {"\"$@\"", {"a b", "c"}},
        {"x\"$@\"y", {"xa b", "cy"}},
        {"$*", {"a b c"}},
        {"\"$*\"", {"a b c"}},
        {"$u", {}},
        {"\"\"", {""}},
        {"{a,b}", {"{a,b}"}},
        {"*", {"*"}},
        {"~", {"/root"}},
        {"a\\ b'c'", {"a bc"}},
    };
    for (const auto& c : cases) EXPECT_EQ(expand_words(m, c.word, false), c.fields) << c.word;
    EXPECT_EQ(expand_word_text(m, "\"$@\""), "a b c");
    EXPECT_EQ(expand_assignment_value(m, "~/x:~/y:a~"), "/root/x:/root/y:a~");
    EXPECT_EQ(expand_word_text(m, "~/x:~/y"), "/root/x:~/y");
}

TEST_F(ExpandTest, PatternWords) {
    assign("y='*'");
    EXPECT_EQ(expand_pattern_word(m, "\"*\"x*"), "\\*x*");
    EXPECT_EQ(expand_pattern_word(m, "$y"), "*");
    EXPECT_EQ(expand_pattern_word(m, "\"$y\""), "\\*");
    EXPECT_EQ(expand_pattern_word(m, "a\\?[bc]"), "a\\?[bc]");
    EXPECT_EQ(expand_pattern_word(m, "'[!a]'"), "\\[!a\\]");
}

TEST_F(ExpandTest, HereDocumentBodies) {
    assign("x=1");
    const std::string body = "a\\$x \\x \"q\" 'q' $x ${u:-\"d\"} ${u:-'d'} \\\\ \\\njoined $((1+1))\n";
    EXPECT_EQ(expand_heredoc_body(m, body), "a$x \\x \"q\" 'q' 1 d 'd' \\ joined 2\n");
    st().positional_params = {"p", "q"};
    EXPECT_EQ(expand_heredoc_body(m, "[$@] [$*]\n"), "[p q] [p q]\n");
    EXPECT_EQ(pending(), "");
}

TEST_F(ExpandTest, ArithmeticTexts) {
    assign("x=4");
    EXPECT_EQ(expand_arith_text(m, "$x + ${x} * \"2\""), "4 + 4 * 2");
    EXPECT_EQ(arith_expand(m, "x * 2 + 1"), 9);
    EXPECT_EQ(arith_expand(m, "1 +"), 0);
    EXPECT_EQ(pending(), "tarnwick: 1 +: arithmetic syntax error: operand expected (error token is \"+\")\n");
}

TEST_F(ExpandTest, CommandSubstitutionReachingExpansion) {
    EXPECT_EQ(expand_words(m, "a$(echo hi)b", true), Texts{"ab"});
    EXPECT_EQ(expand_words(m, "\"`date`\"", true), Texts{""});
    EXPECT_EQ(st().last_status, 125);
    EXPECT_EQ(m.stderr_bytes,
              "tarnwick: internal error: command substitution reached synchronous expansion: echo hi\n"
              "tarnwick: internal error: command substitution reached synchronous expansion: date\n");
}

TEST_F(ExpandTest, DeepNestingIsRefusedAt1000Levels) {
    auto nested = [](std::size_t depth) {
        std::string w;
        for (std::size_t i = 0; i < depth; ++i) w += "${u:-";
        w += "x";
        w += std::string(depth, '}');
        return w;
    };
    EXPECT_EQ(expand_words(m, nested(1000), true), Texts{"x"});
    EXPECT_EQ(pending(), "");
    EXPECT_EQ(expand_words(m, nested(1001), true), Texts{});
    EXPECT_EQ(pending(), "tarnwick: parameter expansions are nested too deeply\n");
}

TEST_F(ExpandTest, ExpandedTextIsChargedAndARefusalStopsTheWord) {
    assign("x=0123456789");
    std::uint64_t before = st().expansion_charge;
    EXPECT_EQ(expand_words(m, "$x$x", true), Texts{"01234567890123456789"});
    EXPECT_EQ(st().expansion_charge - before, 20u);

    Machine tight = Machine::build({.cpu = 1'000'000, .memory = 1, .disk = 1 << 20, .output = 1 << 20});
    m = tight;
    assign("x=0123456789");
    EXPECT_EQ(expand_words(m, "a${x}b", true), Texts{"a"});
    EXPECT_TRUE(m.meter.stop_reason().has_value());
    EXPECT_FALSE(charge_expansion_memory(m, 1));
}

TEST_F(ExpandTest, DollarAndListEntryPoints) {
    st().positional_params = {"a b", "c"};
    assign("x=val");
    auto d = expand_dollar(m, "$x rest");
    EXPECT_EQ(d.value, "val");
    EXPECT_EQ(d.consumed, 2u);
    d = expand_dollar(m, "${x%l}tail");
    EXPECT_EQ(d.value, "va");
    EXPECT_EQ(d.consumed, 6u);
    EXPECT_EQ(expand_dollar(m, "$").value, "$");
    auto l = expand_list_parameter(m, "$@x", true);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->fields, (Texts{"a b", "c"}));
    EXPECT_EQ(l->consumed, 2u);
    l = expand_list_parameter(m, "$*", true);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->fields, Texts{"a b c"});
    assign("arr=(1 2 3)");
    l = expand_list_parameter(m, "${arr[@]:1}", true);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->fields, (Texts{"2", "3"}));
    EXPECT_FALSE(expand_list_parameter(m, "$x", true));
    EXPECT_EQ(lookup_parameter_for_expansion(m, "x/a/A"), "vAl");
    EXPECT_EQ(expand_parameter_op(m, "f", "a.b.c", "%%.*"), "a");
    EXPECT_EQ(expand_parameter_op(m, "f", std::nullopt, ":-\"d e\""), "d e");
    EXPECT_EQ(lookup_parameter_checked(m, "nosuch"), "");
}

TEST_F(ExpandTest, CaseConversionUsesFullUnicodeMappings) {
    assign("S=ÉCOLE");
    assign("g=straße");
    EXPECT_EQ(expand_words(m, "${S,,}", true), Texts{"école"});
    EXPECT_EQ(expand_words(m, "${g^^}", true), Texts{"STRASSE"});
    EXPECT_EQ(expand_words(m, "${g^}", true), Texts{"Straße"});
    assign("t=éa");
    EXPECT_EQ(expand_words(m, "${#t}", true), Texts{"2"});
    EXPECT_EQ(expand_words(m, "${t:1}", true), Texts{"a"});
}

}  // namespace
}  // namespace tw

#include <pthread.h>

namespace tw {
namespace {

// Deep ${...} nesting keeps working on a thread with a small stack: evaluation moves to fresh
// stack segments as the stack runs low.
TEST_F(ExpandTest, DeepNestingOnASmallStack) {
    struct Job {
        Machine* m;
        std::vector<std::string> fields;
    } job{&m, {}};
    std::string word;
    for (int i = 0; i < 1000; ++i) word += "${u:-";
    word += "deep";
    word += std::string(1000, '}');
    static std::string shared_word;
    shared_word = word;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        auto* j = static_cast<Job*>(p);
        j->fields = expand_words(*j->m, shared_word, true);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(job.fields, Texts{"deep"});
}

}  // namespace
}  // namespace tw
