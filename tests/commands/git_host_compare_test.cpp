// The machine's git against the host's git: each sequence runs in a fresh repository of both, with
// the same files, identity and dates, and their outputs must agree once object ids are masked.
//
// Differences the machine makes on purpose, kept out of the table:
// - porcelain v2 shows a staged rename as an ordinary "1 R." record with "OLD -> NEW";
// - an untracked directory holding only ignored and untracked files folds to "DIR/" in the
//   ignored list as well;
// - `add -n` and `add -v` also name the unchanged paths they process;
// - refusing an ignored file ends with "fatal: no files added" and no advice hint;
// - the unstaged-changes hint always says "git add <file>...", also when a file was deleted;
// - `-z` keeps the "OLD -> NEW" form of a rename record;
// - `-m` and `-F` may be given together;
// - only HEAD has a reflog for "@{N}";
// - "not a repository" is worded after the machine's mount point;
// - a detached HEAD always reads "HEAD detached at ID";
// - an empty repository without files still says "nothing to commit, working tree clean", and
//   the status that `commit` prints says "No commits yet" where the host says "Initial commit";
// - `rev-parse` answers its first query option and stops, and prints nothing for a revision it
//   cannot resolve;
// - unknown options and subcommands have the machine's own messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "case_fixture.h"
#include "git_host_fixture.h"
#include "commands/git/store.h"
#include "kernel/syscalls.h"

namespace tw::command_test {
namespace {

TEST(GitHostCompare, SequencesMatchTheHostsGit) {
    if (!host_has_git()) GTEST_SKIP() << "no git on the host";
    const std::vector<Sequence> table = {
        {"first commit and clean status",
         "echo hi > a && git add a && git commit -m m && git status && git status --short && git hash-object a"},
        {"long, short and v2 forms of every change",
         "echo hi > a && echo b > b && git add . && git commit -qm one && echo x >> a && echo n > n && "
         "mkdir d && echo 1 > d/f && git status && git add n && git status && rm b && git status -s && "
         "git status --porcelain=v2 --branch && git status -sb && git status --porcelain && git add b && "
         "git status"},
        {"staged deletion, rename and NUL records",
         "echo a > a && echo b > b && git add . && git commit -qm one && cp a c && rm a b && git add -A && "
         "git status && git commit -qm two && echo u > u && echo c >> c && git status -s -z | xargs -0 -n1 echo && "
         "git status"},
        {"paths shown from a subdirectory",
         "echo a > a && mkdir -p s/t && echo c > s/t/c && git add . && git commit -qm one && echo b >> a && "
         "echo c >> s/t/c && cd s && echo z > z && mkdir u && echo 1 > u/1 && git status && git status -s && "
         "git status -s -uall && git status --short . && git status --porcelain=v2"},
        {"untracked modes and ignored files",
         "printf '*.log\\n!keep.log\\nbuild/\\n/top.txt\\n' > .gitignore && mkdir -p build d e && "
         "touch x.log keep.log top.txt d/top.txt d/keep.log build/o e/z.log && git status -s --ignored && "
         "git status -s -uno && git status --ignored && git add . && git status -s && "
         "git add -f x.log && git status -s"},
        {"pathspecs of add",
         "mkdir -p src/x && echo 1 > src/x/a.c && echo 2 > src/b.h && echo 3 > top.c && git add '*.c' && "
         "git status -s && git add src && git status -s && rm src/b.h && git add src/b.h && git status -s && "
         "git add nothing; echo rc=$?"},
        {"add -u, -A and deletions",
         "echo a > a && echo b > b && git add . && git commit -qm one && rm a && echo b2 > b && echo c > c && "
         "git add -u && git status -s && git add -A && git status -s"},
        {"commit variants",
         "echo a > a && git add a && git commit -qm one && git commit -m empty; echo rc=$?; "
         "git commit --allow-empty -m e && echo b >> a && git commit -am two && git commit --amend -m three && "
         "chmod +x a && git commit -am exec && rm a && git commit -a -m four && git status --short"},
        {"commit summary of renames, deletions and mode changes",
         "echo a > a && echo b > b && printf '1\\n2\\n' > c && git add . && git commit -qm one && cp a a2 && "
         "rm a b && chmod +x c && printf '1\\n3\\n' > c && git add -A && git commit -m two && "
         "git commit --amend -m three"},
        {"executable bits and symbolic links",
         "echo a > a && ln -s a l && git add . && git commit -qm one && chmod +x a && rm l && ln -s b l && "
         "git status -s && git status --porcelain=v2 && git add -A && git commit -m two && git status && "
         "git hash-object l"},
        {"staged and unstaged changes of one file, untracked files left out of commits",
         "echo a > a && git add a && git commit -qm one && echo u > u && git commit -m x; echo rc=$?; "
         "echo b >> a && git add a && echo c >> a && git status && git status -s && git commit -m two && "
         "git status -s && git add -v a u && git commit -q -m three && git status"},
        {"commit message paragraphs and files",
         "echo a > a && git add a && printf 'from file\\n\\n\\n' > ../msg && git commit -q -F ../msg && "
         "echo b > a && git commit -q -a -m one -m two && git status -s"},
        {"commit of named paths only",
         "echo a > a && echo b > b && git add . && git commit -qm one && echo a2 > a && echo b2 > b && git add b && "
         "git commit -m only-a a && git status -s"},
        {"revisions",
         "echo a > a && git add a && git commit -qm one && echo b > a && git commit -qam two && "
         "git rev-parse --abbrev-ref HEAD && git rev-parse --symbolic-full-name HEAD && "
         "test $(git rev-parse HEAD~1) = $(git rev-parse HEAD^) && git rev-parse HEAD:a HEAD~1:a :a && "
         "test $(git rev-parse HEAD^{tree}) = $(git rev-parse HEAD:) && git rev-parse --short HEAD | wc -c && "
         "git rev-parse HEAD@{0} >/dev/null && git rev-parse HEAD@{1} >/dev/null && echo ok"},
        {"rev-parse from a subdirectory",
         "mkdir -p x/y && cd x/y && git rev-parse --show-prefix && git rev-parse --show-cdup && "
         "git rev-parse --is-inside-work-tree && git rev-parse --is-inside-git-dir && git rev-parse --is-bare-repository"},
        {"hash-object", "printf 'a\\0b' > bin && git hash-object bin && echo hi | git hash-object --stdin && "
                        "git hash-object -w bin && git hash-object nope; echo rc=$?"},
        {"not a repository", "cd / && git status; echo rc=$?", false},
        {"aliases", "git -c alias.st='status --short' st && echo x > x && git -c alias.st='status --short' st"},
    };
    expect_sequences_match_host(table);
}

// Ignore decisions against the host's `git check-ignore` for ordinary patterns, with ignore files
// at the top and in a subdirectory. Backslash escapes in patterns are not ordinary: the machine
// takes a backslash literally.
TEST(GitHostCompare, IgnoreDecisionsMatchCheckIgnore) {
    if (!host_has_git()) GTEST_SKIP() << "no git on the host";
    const std::vector<std::pair<std::string, std::string>> ignore_files = {
        {".gitignore", "*.log\n!keep.log\nbuild/\n/top.txt\ndoc/*.html\n**/tmp\ncache*/\n# c\n\\#hash\n*.[oa]\nq?.txt\n"},
        {"sub/.gitignore", "!x.log\n*.md\n/only-here\nnested/deep/\n"},
    };
    const std::vector<std::string> paths = {
        "a.log",       "keep.log",        "d/keep.log",    "d/x.log",         "build/x.o",      "d/build/y",
        "top.txt",     "d/top.txt",       "doc/a.html",    "doc/s/b.html",    "tmp/f",          "d/e/tmp/f",
        "cache1/z",    "cache",         "lib.a",           "lib.c",          "q1.txt",
        "q12.txt",     "sub/x.log",       "sub/y.log",     "sub/r.md",        "r.md",           "sub/only-here",
        "only-here",   "sub/nested/deep/f", "sub/s/nested/deep/f", "plain",   "d/plain.o"};
    std::string script = "git init -q . && ";
    Machine m = fresh_machine();
    SyscallContext sys{m};
    ASSERT_EQ(run_in(m, "mkdir -p /w/.git").status, 0);
    for (const auto& [name, text] : ignore_files) {
        script += fmt::format("mkdir -p $(dirname {0}) && printf %s {1} > {0} && ", name, shell_quote(text));
        ASSERT_TRUE(m.vfs.create_dir_all("/", "/w/sub").has_value());
        put_file(m, "/w/" + name, text);
    }
    std::string expected;
    for (const std::string& p : paths) {
        script += fmt::format("mkdir -p $(dirname {0}) && touch {0} && ", shell_quote(p));
        if (git_is_ignored(git_load_ignore_rules(sys, "/w"), p)) expected += p + "\n";
    }
    script += "git check-ignore";
    for (const std::string& p : paths) script += " " + shell_quote(p);
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-ign-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    std::string command = fmt::format("cd {0} && env -i PATH=/usr/bin:/bin HOME={0} GIT_CONFIG_NOSYSTEM=1 bash -c {1} >out",
                                      pattern, shell_quote(script));
    (void)std::system(command.c_str());
    std::string host = slurp(std::filesystem::path(pattern) / "out");
    std::filesystem::remove_all(pattern);
    EXPECT_EQ(expected, host);
}

TEST(GitHostCompare, IdMaskingLeavesWordsAlone) {
    EXPECT_EQ(mask_ids("[main (root-commit) 1a2b3c4] m"), "[main (root-commit) <id>] m");
    EXPECT_EQ(mask_ids("added deadbeef0 faced x1234567"), "added <id> faced x1234567");
}

}  // namespace
}  // namespace tw::command_test
