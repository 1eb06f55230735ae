// The builtins of directories, variables, names and limits, and shell options: their texts,
// statuses and the state they leave, where bash behaves differently or the state is not visible
// from a script.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "exec_fixture.h"
#include "shell/language.h"

namespace tw::exec_test {
namespace {

struct Case {
    const char* source;
    const char* out;
    const char* err;
    std::int32_t status;
};

class BuiltinsVars : public ExecFixture {
protected:
    // Each case in a fresh machine.
    void run_cases(std::span<const Case> cases) {
        for (const Case& c : cases) {
            m = Machine::build(kLimits);
            reset_streams();
            RunResult r = run(c.source);
            EXPECT_EQ(r.failure, "") << c.source;
            EXPECT_EQ(r.out, c.out) << c.source;
            EXPECT_EQ(r.err, c.err) << c.source;
            EXPECT_EQ(r.status, c.status) << c.source;
        }
    }
};

// ---- directories ----

TEST_F(BuiltinsVars, DirectoryCases) {
    const Case cases[] = {
        {"unset HOME; cd; pwd", "/\n", "", 0},
        {"cd ''", "", "cd: : No such file or directory\n", 1},
        {"unset OLDPWD; cd -", "/tmp\n", "", 0},
        {"cd -P /tmp", "", "cd: too many arguments\n", 1},
        {"cd -P", "", "cd: -P: No such file or directory\n", 1},
        {"cd /etc/hostname", "", "cd: /etc/hostname: No such file or directory\n", 1},
        {"HOME=/nope; cd ~", "", "cd: /nope: No such file or directory\n", 1},
        {"cd /; pushd /tmp; pushd; popd; dirs", "/tmp /\n/ /tmp\n/tmp\n/tmp\n", "", 0},
        {"pushd", "", "pushd: no other directory\n", 1},
        {"pushd -", "", "pushd: usage: pushd [DIR]\n", 2},
        {"pushd /a /b", "", "pushd: usage: pushd [DIR]\n", 2},
        {"pushd /nope", "", "pushd: /nope: No such file or directory\n", 1},
        {"popd", "", "popd: directory stack empty\n", 1},
        {"popd +1", "", "popd: arguments are not supported\n", 2},
        {"pushd / >/dev/null; dirs -p", "/\n/tmp\n", "", 0},
        {"dirs -v", "", "dirs: only -c and -p are supported\n", 2},
        {"dirs +1", "", "dirs: only -c and -p are supported\n", 2},
    };
    run_cases(cases);
}

TEST_F(BuiltinsVars, FunctionListingReadsBackAsTheSameFunction) {
    RunResult r = run("f() { a=1 cmd x >out 2>&1 <in; x && y || z; ( sub; sh ); { g1; g2; } > f; "
                      "for i in 1 2; do echo $i; done; for ((i=0;i<3;i++)); do :; done; "
                      "until true; do :; done; case $x in a|b) echo ab;; *) echo d;& esac; (( x += 1 )); "
                      "! true; sleep 1 & cat <<EOF\nhello $x\nEOF\n"
                      "if a; then b; elif c; then d; else e; fi; time ls; echo \"q\" 's' $(date); }\n"
                      "declare -f f > /tmp/def; unset -f f; . /tmp/def; declare -f f > /tmp/def2; cat /tmp/def2");
    ASSERT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "f () \n{ \n    a=1 cmd x > out 2>&1 < in;\n    x && y || z;\n    ( sub; sh );\n    { \n        g1;\n"
              "        g2\n    } > f;\n    for i in 1 2;\n    do\n        echo $i;\n    done;\n"
              "    for ((i=0; i<3; i++))\n    do\n        :;\n    done;\n    until true; do\n        :;\n    done;\n"
              "    case $x in \n        a | b)\n            echo ab\n        ;;\n        *)\n            echo d\n        ;&\n"
              "    esac;\n    (( x += 1 ));\n    ! true;\n    sleep 1 &\n    cat <<EOF;\nhello $x\nEOF\n"
              "    if a; then\n        b;\n    elif c; then\n        d;\n    else\n        e;\n    fi;\n    time ls;\n"
              "    echo \"q\" 's' $(date)\n}\n");
    reset_streams();
    r = run("cmp /tmp/def /tmp/def2 && echo same");
    EXPECT_EQ(r.out, "same\n");
}

TEST_F(BuiltinsVars, CdSetsOldpwdAndPwd) {
    RunResult r = run("cd /; cd /tmp; cd -");
    EXPECT_EQ(r.out, "/\n");
    EXPECT_EQ(var("OLDPWD"), "/tmp");
    EXPECT_EQ(var("PWD"), "/");
    EXPECT_EQ(shell().cwd, "/");
}

TEST_F(BuiltinsVars, FailedPopdKeepsTheEntry) {
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/d").has_value());
    RunResult r = run("pushd /tmp/d >/dev/null; pushd /tmp >/dev/null");
    ASSERT_EQ(r.err, "");
    ASSERT_TRUE(m.vfs.remove_dir("/", "/tmp/d").has_value());
    reset_streams();
    r = run("popd");
    EXPECT_EQ(r.err, "popd: /tmp/d: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(shell().dir_stack.size(), 2u);
    EXPECT_EQ(shell().dir_stack.back(), "/tmp/d");
    EXPECT_EQ(shell().cwd, "/tmp");
}

TEST_F(BuiltinsVars, FailedPushdWithoutOperandKeepsTheStack) {
    shell().dir_stack = {"/tmp", "/nope"};
    RunResult r = run("pushd");
    EXPECT_EQ(r.err, "pushd: /nope: No such file or directory\n");
    EXPECT_EQ(shell().dir_stack, (std::vector<std::string>{"/tmp", "/nope"}));
}

TEST_F(BuiltinsVars, DirectoryStackLimit) {
    shell().dir_stack.assign(255, "/");
    RunResult r = run("pushd / >/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(shell().dir_stack.size(), 256u);
    reset_streams();
    r = run("pushd /");
    EXPECT_EQ(r.err, "pushd: directory stack limit exceeded\n");
    EXPECT_EQ(r.status, 1);
    reset_streams();
    r = run("pushd");
    EXPECT_EQ(r.err, "pushd: directory stack limit exceeded\n");
    EXPECT_EQ(shell().dir_stack.size(), 256u);
}

// ---- variables ----

TEST_F(BuiltinsVars, VariableCases) {
    const Case cases[] = {
        {"export", "", "", 0},
        {"readonly R=1; export R=2; echo $R", "1\n", "export: R: readonly variable\n", 0},
        {"readonly R=1; unset R", "", "unset: R: readonly variable\n", 1},
        {"a=(x y); readonly a; unset 'a[0]'", "", "unset: a: readonly variable\n", 1},
        {"readonly R=1; declare R=2", "", "declare: R: readonly variable\n", 1},
        {"readonly R=1; declare -p R", "declare -r R=\"1\"\n", "", 0},
        {"declare -r x=1; x=2; echo $x", "1\n", "tarnwick: x: readonly variable\n", 0},
        {"declare -p nothing", "", "", 0},
        {"x=1; declare x=2 -p; echo $x", "2\n", "", 0},
        {"declare -A m; declare -p m", "declare -A m=()\n", "", 0},
        {"a=(1 2); declare -A a; declare -p a", "declare -A a=()\n", "", 0},
        {"declare -A m=([b]=2 [a]=1); declare -p m", "declare -A m=([a]=\"1\" [b]=\"2\")\n", "", 0},
        {"declare -a s; declare -p s", "declare -a s=()\n", "", 0},
        {"s=v; declare -a s; declare -p s", "declare -a s=([0]=\"v\")\n", "", 0},
        {"declare -p -A m; declare -p m", "declare -A m=()\ndeclare -A m=()\n", "", 0},
        {"declare", "", "", 0},
        {"f() { echo fn; }; f=1; unset f; f; unset f; f", "fn\n", "f: command not found\n", 127},
        {"f() { echo fn; }; f=1; unset -v f; f; unset -v f; f", "fn\nfn\n", "", 0},
        {"f() { echo fn; }; f=1; unset -f f; echo $f; f", "1\n", "f: command not found\n", 127},
        {"a=(x y z); unset 'a[-1]' 'a[i]'; echo ${#a[@]}", "2\n", "", 0},
        {"a=([0]=x [10]=y); echo ${a[-1]}; a[-1]=z; a[-2]=w; echo ${a[@]} ${!a[@]}", "y\nx w z 0 9 10\n", "", 0},
        {"a=([2]=x [7]=y); unset 'a[-6]'; echo ${!a[@]}; unset 'a[-9]'", "7\n",
         "unset: [-9]: bad array subscript\n", 1},
        {"declare -x V=1; declare +x W=2; declare -p V W", "declare -x V=\"1\"\ndeclare -- W=\"2\"\n", "", 0},
        {"declare -r x=1; declare -p x; declare x=2", "declare -r x=\"1\"\n", "declare: x: readonly variable\n", 1},
        {"declare -i n=1", "", "declare: unimplemented option '-i'\n", 2},
        {"f() { local -n r=x; }; f", "", "local: unimplemented option '-n'\n", 2},
        {"unset HOME PATH PWD SHELL TERM USER HOSTNAME LANG; declare -x A=1 B; readonly C=2; declare -px",
         "declare -x A=\"1\"\ndeclare -x B\n", "", 0},
        {"readonly C=2; declare -A m=([k]=v); declare -pr; declare -pA", "declare -r C=\"2\"\ndeclare -A m=([k]=\"v\")\n", "", 0},
        {"f() { echo hi; }; declare -F; declare -F f nope", "declare -f f\nf\n", "", 1},
        {"f() { echo hi; } >/dev/null; declare -f f nope", "f () \n{ \n    echo hi\n} > /dev/null\n", "", 1},
        {"declare -A m=([k]=v [j]=w); unset 'm[\"k\"]'; echo ${!m[@]}", "j\n", "", 0},
        {"unset nothing 'nothing[1]'", "", "", 0},
        {"local x", "", "local: can only be used in a function\n", 1},
        {"f() { local x=2; local x; echo $x; }; f", "2\n", "", 0},
        {"x=g; f() { local x; echo \"[${x-unset}]\"; x=l; }; f; echo $x", "[unset]\ng\n", "", 0},
        {"export E=1; f() { local E=2; }; f; echo $E", "1\n", "", 0},
        {"f() { local -A m=([k]=v); declare -p m; }; f; declare -p m", "declare -A m=([k]=\"v\")\n", "", 0},
        {"readonly -x q 1x; echo $?", "1\n",
         "readonly: unsupported option -x\nreadonly: 1x: not a valid identifier\n", 0},
        {"readonly 1x -x; echo $?", "2\n",
         "readonly: 1x: not a valid identifier\nreadonly: unsupported option -x\n", 0},
        {"readonly R=1; readonly R=2", "", "readonly: R: readonly variable\n", 1},
        {"readonly b=2 a=1 c; readonly", "declare -r a=\"1\"\ndeclare -r b=\"2\"\ndeclare -r c=\"\"\n", "", 0},
        {"readonly -- r=(1 2); echo ${r[1]}; readonly -p", "2\ndeclare -r r=\"1\"\n", "", 0},
    };
    run_cases(cases);
}

TEST_F(BuiltinsVars, ExportMarksNamesWithAndWithoutValues) {
    RunResult r = run("export A=1 B -n; C=3; export C");
    EXPECT_EQ(r.status, 0);
    const auto& exported = shell().exported_names;
    for (const char* name : {"A", "B", "-n", "C"}) EXPECT_TRUE(exported.contains(name)) << name;
    EXPECT_EQ(var("A"), "1");
    EXPECT_EQ(var("B"), "<unset>");
    const auto environment = shell().environment_snapshot();
    EXPECT_EQ(environment.at("A"), "1");
    EXPECT_EQ(environment.at("C"), "3");
    EXPECT_FALSE(environment.contains("B"));
}

TEST_F(BuiltinsVars, ReadonlyRefusalLeavesTheNameUnexported) {
    RunResult r = run("readonly R=2; export R=3");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(shell().exported_names.contains("R"));
    EXPECT_EQ(var("R"), "2");
}

TEST_F(BuiltinsVars, AssignmentOperandsAreExpanded) {
    RunResult r = run("v='a b'; export P=\"$v\":~/x; declare Q=\"$v\" R=$(echo sub); "
                      "f() { local L=$1 M=\"$(echo two words)\"; g=\"$L|$M\"; }; f one");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(var("P"), "a b:/root/x");
    EXPECT_EQ(var("Q"), "a b");
    EXPECT_EQ(var("R"), "sub");
    EXPECT_EQ(var("g"), "one|two words");
}

TEST_F(BuiltinsVars, AssignmentOperandErrorsAreReported) {
    RunResult r = run("declare x=${nothing:?empty}; echo after");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("empty"), std::string::npos) << r.err;
    EXPECT_NE(r.status, 0);
}

TEST_F(BuiltinsVars, LocalSavesAreCountedAndReleased) {
    RunResult r = run("x=outer; f() { local x=in y; s=$x; }; f");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(var("s"), "in");
    EXPECT_EQ(var("x"), "outer");
    EXPECT_EQ(var("y"), "<unset>");
    EXPECT_EQ(shell().local_saved_size, 0u);
    EXPECT_TRUE(shell().local_scopes.empty());
}

// ---- names and limits ----

TEST_F(BuiltinsVars, NameCases) {
    const Case cases[] = {
        {"alias ll='ls -l'; alias ll", "alias ll='ls -l'\n", "", 0},
        {"alias q=\"echo 'a'\"; alias q", "alias q='echo '\\''a'\\'''\n", "", 0},
        {"alias 'x=a|b'", "", "alias: x: only simple-command aliases are supported\n", 2},
        {"alias 'y=A=1'", "", "alias: y: only simple-command aliases are supported\n", 2},
        {"alias a/b=ls", "", "alias: invalid alias name: a/b\n", 1},
        {"alias =ls", "", "alias: invalid alias name: \n", 1},
        {"alias -p", "", "alias: -p: not found\n", 1},
        {"alias b=ls a=cat; alias", "alias a='cat'\nalias b='ls'\n", "", 0},
        {"unalias", "", "unalias: usage: unalias [-a] name ...\n", 2},
        {"unalias nope", "", "unalias: nope: not found\n", 1},
        {"alias a=ls; unalias -a; alias", "", "", 0},
        {"hash -t ls", "", "hash: ls: not found\n", 1},
        {"hash ls; hash; hash -t ls", "/usr/bin/ls\tls\n/usr/bin/ls\n", "", 0},
        {"hash ls; hash -r; hash", "", "", 0},
        {"hash nope", "", "hash: nope: not found\n", 1},
        {"f() { :; }; type cd f ls", "cd is a shell builtin\nf is a function\nls is /usr/bin/ls\n", "", 0},
        {"type -t nope", "", "", 1},
        {"which cd nope", "/usr/bin/cd\n", "", 1},
        {"which ls", "/usr/bin/ls\n", "", 0},
        {"f() { :; }; command -v cd f ls", "cd\nf is a function\n/usr/bin/ls\n", "", 0},
        {"command -V cd", "cd is a shell builtin\n", "", 0},
        {"command -v", "", "", 0},
        {"command", "", "", 0},
        {"command --", "", "", 0},
        {"f() { echo f; }; command f", "", "f: command not found\n", 127},
        {"alias e='echo aliased'; command e", "", "e: command not found\n", 127},
        {"command -- echo hi", "hi\n", "", 0},
        {"command false", "", "", 1},
        {"ulimit -n", "1024\n", "", 0},
        {"ulimit -c", "", "ulimit: setting limits and this option are not supported\n", 2},
        {"ulimit -n 10", "", "ulimit: setting limits and this option are not supported\n", 2},
        {"umask", "0022\n", "", 0},
        {"umask 077; umask -S; umask", "u=rwx,g=,o=\n0077\n", "", 0},
        {"umask 0000; umask; umask -S", "0000\nu=rwx,g=rwx,o=rwx\n", "", 0},
        {"umask 00000027; umask", "0027\n", "", 0},
        {"umask 8", "", "umask: 8: invalid octal mask\n", 1},
        {"umask 1000", "", "umask: 1000: invalid octal mask\n", 1},
        {"umask u=rwx", "", "umask: u=rwx: invalid octal mask\n", 1},
        {"umask ''", "", "umask: : invalid octal mask\n", 1},
        {"umask -S 022", "", "umask: usage: umask [-S] [octal-mask]\n", 2},
    };
    run_cases(cases);
}

TEST_F(BuiltinsVars, UlimitReportsTheBudgets) {
    // kLimits: disk 64 MiB, memory 1 GiB, cpu 10^9 units.
    RunResult r = run("ulimit; ulimit -f; ulimit -t; ulimit -v; ulimit -a");
    EXPECT_EQ(r.out,
              "65536\n65536\n1000000000\n1048576\n"
              "file size               (blocks, -f) 65536\n"
              "open files                      (-n) 1024\n"
              "cpu time               (seconds, -t) 1000000000\n"
              "virtual memory           (kbytes, -v) 1048576\n");
}

TEST_F(BuiltinsVars, UlimitPrintsUnlimitedBudgets) {
    Machine roomy = Machine::build({.cpu = ~0ULL, .memory = ~0ULL, .disk = ~0ULL, .output = 1 << 20});
    std::swap(m, roomy);
    reset_streams();
    RunResult r = run("ulimit -f; ulimit -v; ulimit -t");
    EXPECT_EQ(r.out, "unlimited\nunlimited\n18446744073709551615\n");
}

TEST_F(BuiltinsVars, AliasLimit) {
    for (int i = 0; i < 256; ++i) shell_language(shell()).aliases.emplace(fmt::format("a{}", i), AliasRecord{"ls", {"ls"}});
    RunResult r = run("alias new=ls later=ls");
    EXPECT_EQ(r.err, "alias: alias limit exceeded\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(shell_language(shell()).aliases.contains("later"));
    reset_streams();
    r = run("alias a7=cat");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(shell_language(shell()).aliases.at("a7").text, "cat");
}

// ---- options and positional parameters ----

TEST_F(BuiltinsVars, OptionCases) {
    const Case cases[] = {
        {"set -o xtrace", "", "set: unimplemented option 'xtrace'\n", 2},
        {"set -x", "", "set: xtrace is unimplemented\n", 2},
        {"set +x", "", "set: xtrace is unimplemented\n", 2},
        {"set +v", "", "set: unimplemented option '-v'\n", 2},
        {"set -eo errexit", "", "set: option name required after -o\n", 2},
        {"set -o; echo $?", "0\n", "", 0},
        {"set; echo $#", "0\n", "", 0},
        {"set -- -e; printf '%s\\n' \"$1\"; false; echo $?", "-e\n1\n", "", 0},
        {"set a -e; echo \"$# $2\"", "2 -e\n", "", 0},
        {"set - +; echo $#", "0\n", "", 0},
        {"shopt", "expand_aliases\toff\nnullglob\toff\nsourcepath\toff\n", "", 0},
        {"shopt -s; shopt", "expand_aliases\ton\nnullglob\ton\nsourcepath\ton\n", "", 0},
        {"shopt -s nullglob; shopt -q nullglob; echo $?; shopt -q nullglob sourcepath", "0\n", "", 1},
        {"shopt -p", "", "shopt: unsupported option -p\n", 2},
        {"shopt -s foo", "", "shopt: foo: invalid shell option name\n", 1},
        {"shopt nullglob -s", "nullglob\toff\n", "shopt: -s: invalid shell option name\n", 1},
        {"shopt -s dotglob; shopt dotglob", "dotglob\ton\n", "", 0},
        {"set -- a b c; shift; echo $@", "b c\n", "", 0},
        {"set -- a b c; shift 4; echo $? $@", "1 a b c\n", "", 0},
        {"set -- a b c; shift -1; echo $?; shift x; echo $?; shift +2 z; echo $? $@", "1\n1\n0 c\n", "", 0},
        {"set -- a; shift 0; echo $? $@", "0 a\n", "", 0},
        // Shifts that reclaim the removed slots keep the order, the count and what follows.
        {"set -- 1 2 3 4 5 6 7 8 9 10; shift 3; echo $1 $#; shift; shift 2; echo \"$@\"; set -- x \"$@\"; echo $# $1 $2",
         "4 7\n7 8 9 10\n5 x 7\n", "", 0},
        {"f() { shift; echo $# \"$*\"; }; set -- a b c; shift; f \"$@\" z; echo $# $1", "2 c z\n2 b\n", "", 0},
        {"set -- a b c d e; shift 2; while [ $# -gt 0 ]; do echo $1; shift; done; echo $#", "c\nd\ne\n0\n", "", 0},
    };
    run_cases(cases);
}

TEST_F(BuiltinsVars, SetFlags) {
    RunResult r = run("set -euo pipefail");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(shell().options.errexit);
    EXPECT_TRUE(shell().options.nounset);
    EXPECT_TRUE(shell().options.pipefail);
    reset_streams();
    r = run("set +eu -E; set +o pipefail");
    EXPECT_EQ(shell().options, (ShellOptions{.errtrace = true}));
    // Flags set before a refusal stay set; nothing after it is applied.
    reset_streams();
    r = run("set -ex -u");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(shell().options.errexit);
    EXPECT_FALSE(shell().options.nounset);
}

TEST_F(BuiltinsVars, PositionalSizeFollowsTheParameters) {
    RunResult r = run("set -- abc de f; shift");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(shell().positional_params, (std::vector<std::string>{"de", "f"}));
    EXPECT_EQ(shell().positional_size, 2u + 48 + 1 + 48);
    reset_streams();
    r = run("set --");
    EXPECT_EQ(shell().positional_size, 0u);
}

TEST_F(BuiltinsVars, ErrexitAndNounsetStopTheShell) {
    RunResult r = run("set -e; false; echo no");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    reset_streams();
    r = run("set -u; echo $nothing; echo no");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "tarnwick: nothing: unbound variable\n");
}

}  // namespace
}  // namespace tw::exec_test
