// git branch, switch, checkout, restore, reset, rm, mv, clean, ls-files, ls-tree, cat-file, tag,
// config, remote and the ref and history plumbing inside the machine: the behaviour of its own
// that the host's git does not share, the refusals, and the cases where nothing may be lost.
#include <gtest/gtest.h>

#include "case_fixture.h"
#include "commands/git/work_commands.h"

namespace tw::command_test {
namespace {

const std::string kRepo =
    "export GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x; mkdir -p /w && cd /w && git init -q -b main && "
    "echo a > a && mkdir d && echo f > d/f && git add . && git commit -qm one && echo b >> a && "
    "git commit -qam two && ";

Ran in_repo(const std::string& script) { return run(kRepo + script); }

TEST(GitRefFormat, AtomsAndFailures) {
    const std::string id = "0123456789abcdef0123456789abcdef01234567";
    EXPECT_EQ(git_for_each_ref_format("%(refname) %(refname:short) %(refname:lstrip=2)", "refs/heads/a/b", id),
              "refs/heads/a/b a/b a/b");
    EXPECT_EQ(git_for_each_ref_format("%(objectname:short)%(objecttype) 100% %x", "refs/tags/v", id),
              "0123456commit 100% %x");
    EXPECT_EQ(git_for_each_ref_format("%(objectname)", "refs/tags/v", id), id);
    for (std::string_view bad : {"%(subject)", "%(refname", "%(refname:lstrip=1)", "%(REFNAME)"})
        EXPECT_FALSE(git_for_each_ref_format(bad, "refs/heads/x", id)) << bad;
    EXPECT_TRUE(git_ref_pattern_matches("feat*", "feature/x"));
    EXPECT_FALSE(git_ref_pattern_matches("feat", "feature"));
}

TEST(GitBranch, RenameOntoItselfKeepsTheBranch) {
    Ran r = in_repo("git branch -M main main; echo rc=$?; git branch -m main; echo rc=$?; git branch && "
                    "git rev-parse --short main >/dev/null && echo kept");
    EXPECT_EQ(r.out, "rc=0\nrc=0\n* main\nkept\n");
}

TEST(GitBranch, MessagesOfItsOwn) {
    expect_cases({
        {kRepo + "git branch -d main", "", 1, "error: cannot delete branch 'main' checked out\n"},
        {kRepo + "git branch -D nope", "", 1, "error: branch 'nope' not found\n"},
        {kRepo + "git branch 'bad name'", "", 129, "usage: git branch NAME [START_POINT]\n"},
        {kRepo + "git branch -m x 'a b'", "", 128, "fatal: invalid branch name: a b\n"},
        {kRepo + "git branch x nosuch", "", 128, "fatal: not a valid object name: 'nosuch'\n"},
        {kRepo + "git branch --format='%(subject)'", "", 129, "error: unsupported branch format: %(subject)\n"},
        {kRepo + "git branch -r; git branch --bogus", "", 129, "error: unsupported branch option: --bogus\n"},
        {kRepo + "git branch -d", "", 129, "usage: git branch (-d|-D) NAME...\n"},
    });
    Ran detached = in_repo("git checkout -q HEAD~1 && git branch -v && git branch -m x");
    EXPECT_EQ(detached.err, "fatal: cannot rename a detached HEAD\n");
    EXPECT_EQ(detached.out.substr(0, 29), "* (HEAD detached at " + detached.out.substr(20, 7) + ") ");
}

TEST(GitSwitch, PreviousBranchDetachAndRefusals) {
    Ran detach = in_repo("git checkout HEAD~1");
    EXPECT_EQ(detach.status, 0);
    EXPECT_TRUE(detach.err.starts_with("Note: switching to 'HEAD~1'.\nHEAD is now at ")) << detach.err;
    EXPECT_TRUE(detach.err.ends_with(" one\n")) << detach.err;
    expect_cases({
        {"mkdir /w && cd /w && git init -q && git switch -", "", 128, "fatal: no previous branch to switch to\n"},
        {kRepo + "git switch HEAD~1", "", 128, "fatal: invalid reference: HEAD~1\n"},
        {kRepo + "git checkout -b a b c", "", 129, "usage: git checkout [-b] BRANCH | [REVISION] -- PATH...\n"},
        {kRepo + "git switch -c x && git switch -c x", "", 128,
         "Switched to a new branch 'x'\nfatal: a branch named 'x' already exists\n"},
        {kRepo + "git branch o HEAD~1 && git rev-parse HEAD > .git/MERGE_HEAD && git switch o; echo rc=$?; "
                 "test -e .git/PREV_HEAD || echo none",
         "rc=128\nnone\n", 0,
         "fatal: cannot switch branch while merging\nConsider \"git merge --abort\" to give it up.\n"},
    });
    // A refused switch has still named the branch it was leaving.
    Ran refused = in_repo("git branch o HEAD~1 && echo x >> a && git switch o; cat .git/PREV_HEAD; git status -s");
    EXPECT_EQ(refused.out, "main\n M a\n");
}

TEST(GitSwitch, StagedChangesSurviveTheSwitch) {
    Ran r = in_repo("git branch o HEAD~1 && echo n > n && git add n && git rm -q --cached d/f && git switch -q o && "
                    "git status -s && cat .git/PREV_HEAD && git switch -q - && git branch --show-current");
    EXPECT_EQ(r.out, "D  d/f\nA  n\n?? d/\nmain\nmain\n");
}

TEST(GitCheckout, ConflictSides) {
    const std::string conflicted =
        kRepo + "git hash-object -w d/f >/dev/null && git hash-object -w a > /tmp/theirs && "
                "printf '2\\t%s\\ta\\n3\\t%s\\ta\\n3\\t%s\\td/f\\n' $(git rev-parse HEAD~1:a) $(cat /tmp/theirs) "
                "$(git rev-parse :d/f) > .git/MERGE_STAGES && echo junk > a && echo junk > d/f && ";
    expect_cases({
        {conflicted + "git checkout --theirs a d/f && cat a d/f", "Updated 2 paths from the index\na\nb\nf\n"},
        {conflicted + "git restore --ours a && cat a", "Updated 1 path from the index\na\n"},
        {conflicted + "git checkout --ours d/f; cat d/f", "junk\n", 0, "error: path 'd/f' does not have their version\n"},
        {conflicted + "git checkout --ours", "", 129, "usage: git checkout --ours|--theirs PATH...\n"},
    });
}

TEST(GitRestore, OnlyTrackedPathsAreTouched) {
    Ran r = in_repo("echo u > u && mkdir e && echo v > e/v && echo x >> a && git restore . && cat u e/v a && "
                    "git restore --source=HEAD~1 . && cat u a && git status -s");
    EXPECT_EQ(r.out, "u\nv\na\nb\nu\na\n M a\n?? e/\n?? u\n");
    expect_cases({
        {kRepo + "git restore --source=nope a", "", 128, "fatal: unknown restore source\n"},
        {kRepo + "git restore -s", "", 129, "error: --source requires a revision\n"},
        {kRepo + "git restore", "", 128, "fatal: you must specify path(s) to restore\n"},
    });
}

TEST(GitReset, OwnListingAndRefusals) {
    expect_cases({
        {kRepo + "rm d/f && git reset", "Unstaged changes after reset:\nM\td/f\n"},
        {kRepo + "git reset --hard a", "", 129, "error: a pathspec cannot be combined with --soft or --hard\n"},
        {kRepo + "git reset --soft HEAD~1 && git reflog -1 | cut -d' ' -f2-", "HEAD@{0}: reset: moving to HEAD~1\n"},
    });
}

TEST(GitRmMv, RefusalsLeaveEverythingInPlace) {
    expect_cases({
        {kRepo + "rm a && git rm a; git rm -q --cached a && git status -s", "D  a\n", 0, "fatal: pathspec 'a' is missing\n"},
        {kRepo + "git rm ../x", "", 128, "fatal: pathspec '../x' is outside the working tree\n"},
        {kRepo + "git rm .git/HEAD", "", 128, "fatal: pathspec '.git/HEAD' is outside the working tree\n"},
        {kRepo + "git rm", "", 129, "error: git rm requires between 1 and 256 file paths\n"},
        {kRepo + "git mv a d/f x; echo rc=$?; git status -s", "rc=129\n", 0,
         "error: destination must be a directory when moving several sources\n"},
        {kRepo + "echo u > u && git mv u v; git status -s", "?? u\n", 0, "fatal: bad source, source=u, destination=v\n"},
        {kRepo + "git mv a", "", 129, "usage: git mv SOURCE... DESTINATION\n"},
    });
    Ran conflicted = in_repo("printf '2\\t%s\\ta\\n' $(git rev-parse :a) > .git/MERGE_STAGES && echo x >> a && "
                             "git rm -q a && test ! -e .git/MERGE_STAGES && git status -s");
    EXPECT_EQ(conflicted.out, "D  a\n");
    Ran moved = in_repo("echo u > d/u && git mv d e && ls d && ls e && ln -s a l && git add l && git mv l m && "
                        "git ls-files -s m | cut -c1-6 && readlink m");
    EXPECT_EQ(moved.out, "u\nf\n120000\na\n");
}

TEST(GitClean, StaysInItsDirectoryAndKeepsIgnoredFiles) {
    Ran sub = in_repo("echo u > u && echo v > d/v && mkdir d/n && echo 1 > d/n/1 && cd d && git clean -fd && cd .. && "
                      "ls u && ls d && git clean -f . && ls u");
    EXPECT_EQ(sub.out, "Removing d/n/\nRemoving d/v\nu\nf\nu\n");
    Ran ignored = in_repo("echo '*.env' > .gitignore && mkdir n && echo s > n/secret.env && echo t > n/t && "
                          "git clean -fd && cat n/secret.env && git clean -fdx && ls");
    EXPECT_EQ(ignored.out, "Removing .gitignore\nRemoving n/\ns\nRemoving n/\na\nd\n");
    EXPECT_EQ(in_repo("git clean").err, "fatal: clean.requireForce is true and -f not given: refusing to clean\n");
}

TEST(GitTag, DeletingATagRemovesItsAnnotation) {
    Ran r = in_repo("git tag -a v1 -m note && git tag -d v1 >/dev/null && git tag v1 && git tag -n && "
                    "git cat-file -t v1 && git tag -a v2 -m x && git tag -f v2 && git cat-file -t v2");
    EXPECT_EQ(r.out, "v1\ncommit\ncommit\n");
    expect_cases({
        {kRepo + "git tag bad..name", "", 128, "fatal: invalid tag name: bad..name\n"},
        {kRepo + "git tag -x", "", 129, "error: unsupported tag option: -x\n"},
        {kRepo + "git tag v HEAD~5", "", 128, "fatal: not a valid object name: 'HEAD~5'\n"},
        {kRepo + "git tag -a v -m 'first\nsecond' && git tag -n", "v               first\n"},
        {kRepo + "git tag --points-at nope", "", 128,
         "fatal: ambiguous argument 'nope': unknown revision or path not in the working tree.\n"
         "Use '--' to separate paths from revisions, like this:\n'git <command> [<revision>...] -- [<file>...]'\n"},
    });
}

TEST(GitConfigCommand, ScopesAndRefusals) {
    expect_cases({
        {kRepo + "git config --system a.b", "", 129, "error: the system configuration scope is not available\n"},
        {kRepo + "git config --foo", "", 129, "error: unsupported config option: --foo\n"},
        {kRepo + "git config", "", 129, "usage: git config [--local|--global] [--get|--unset|--list] NAME [VALUE]\n"},
        {kRepo + "git config a.b 'x\ny'", "", 128, "fatal: invalid config key or value\n"},
        {kRepo + "git config nodot x", "", 128, "fatal: invalid config key or value\n"},
        {kRepo + "git config --get-regexp '('", "", 128, "fatal: invalid --get-regexp pattern\n"},
        {kRepo + "git config --add a.b x && git config --add a.b y && git config --unset a.b; git config a.b; "
                 "echo rc=$?",
         "rc=1\n"},
        {kRepo + "git config --bool a.b; echo rc=$? && git config a.b '' && git config --bool a.b", "rc=1\ntrue\n"},
        {"cd / && git config a.b", "", 128,
         "fatal: not a git repository (or any parent up to mount point /)\n"
         "Stopping at filesystem boundary (GIT_DISCOVERY_ACROSS_FILESYSTEM not set).\n"},
        {"cd / && git config --global a.b c && git config --global a.b && cat /root/.gitconfig",
         "c\n[a]\n\tb = c\n"},
        {kRepo + "git config --show-origin --get core.bare", "file:/w/.git/config\tfalse\n"},
    });
    Ran many = in_repo("for i in $(seq 1 300); do git config k.n$i v || break; done; echo $i");
    EXPECT_EQ(many.err, "fatal: too many config entries\n");
}

TEST(GitRemoteCommand, NamesAndRefusals) {
    expect_cases({
        {kRepo + "git remote add Up u && git remote && git config remote.up.url", "up\nu\n"},
        {kRepo + "git remote add 'a b' u", "", 128, "fatal: invalid remote name: a b\n"},
        {kRepo + "git remote add a", "", 129, "usage: git remote [-v] [add|remove|get-url|set-url ...]\n"},
        {kRepo + "git remote show origin", "", 129, "usage: git remote [-v] [add|remove|get-url|set-url ...]\n"},
        {kRepo + "git remote set-url nope u", "", 2, "error: No such remote 'nope'\n"},
        {kRepo + "git config --global remote.g.url x && git remote && git remote get-url g", "g\n", 2,
         "error: No such remote 'g'\n"},
    });
}

TEST(GitInspect, CatFileLsTreeAndLsFiles) {
    expect_cases({
        {kRepo + "git cat-file -p -t HEAD", "commit\n"},
        {kRepo + "git cat-file -p HEAD | sed 1d | head -2 | cut -d' ' -f1", "parent\nauthor\n"},
        {kRepo + "git cat-file -e nope", "", 128, "fatal: Not a valid object name nope\n"},
        {kRepo + "git cat-file HEAD", "", 129, "usage: git cat-file (-p|-t|-s|-e) OBJECT\n"},
        {kRepo + "git tag -a v -m m && git cat-file -t v && git cat-file -t refs/tags/v && git cat-file -p v | head -1 "
                 "| cut -c1-5",
         "tag\ntag\ntree \n"},
        {kRepo + "echo 1 > a.txt && git add a.txt && git commit -qm t && git ls-tree --name-only HEAD && "
                 "git ls-tree HEAD a.txt x y",
         "a\na.txt\nd\n"},
        {kRepo + "git ls-tree", "", 129, "usage: git ls-tree [-r] [--name-only] REVISION [PATH...]\n"},
        {kRepo + "git ls-files -i", "", 129, "error: --ignored requires --exclude-standard and --others or --cached\n"},
        {kRepo + "rm d/f && echo x >> a && git ls-files -m -d", "a\nd/f\n"},
        {kRepo + "git ls-files --error-unmatch nope", "", 1, "error: pathspec did not match any files\n"},
        {kRepo + "echo hello > h && git add h && git ls-files -s h && git rev-list --count HEAD",
         "100644 ce013625030ba8dba906f756967f9e9ca394464a 0\th\n2\n"},
        {kRepo + "printf '1\\t%s\\ta\\n3\\t%s\\ta\\n' $(git rev-parse :a) $(git rev-parse :d/f) > .git/MERGE_STAGES && "
                 "git ls-files -u | cut -c1-7,49-",
         "100644 1\ta\n100644 3\ta\n"},
    });
}

TEST(GitRefPlumbing, OwnFormsAndRefusals) {
    expect_cases({
        {kRepo + "git branch feature/x && git switch -q feature/x && git symbolic-ref --short HEAD", "x\n"},
        {kRepo + "git symbolic-ref HEAD refs/tags/v", "", 128, "fatal: only refs/heads/* can be pointed at by HEAD\n"},
        {kRepo + "git checkout -q HEAD~1 && git symbolic-ref HEAD", "", 1, "fatal: ref HEAD is not a symbolic ref\n"},
        {kRepo + "git symbolic-ref HEAD refs/heads/unborn && git symbolic-ref HEAD && git reflog | wc -l",
         "refs/heads/unborn\n2\n"},
        {kRepo + "git symbolic-ref", "", 129, "usage: git symbolic-ref [--short] HEAD [REF]\n"},
        {kRepo + "git tag main && git show-ref main | cut -c42- && git show-ref --verify main; echo rc=$?",
         "refs/heads/main\nrefs/tags/main\nrc=1\n"},
        {kRepo + "git show-ref --heads --tags", "", 1, ""},
        {kRepo + "git for-each-ref --format='%(subject)'", "", 129,
         "error: unsupported for-each-ref format: %(subject)\n"},
        {kRepo + "git tag v1 && git for-each-ref 'refs/t*' --format='%(refname:short)'", "v1\n"},
    });
}

TEST(GitHistoryPlumbing, CountsErrorsAndTheReflog) {
    const std::string rev_error =
        "fatal: ambiguous argument '{}': unknown revision or path not in the working tree.\n"
        "Use '--' to separate paths from revisions, like this:\n'git <command> [<revision>...] -- [<file>...]'\n";
    auto report = [&](std::string_view arg) {
        std::string text = rev_error;
        text.replace(text.find("{}"), 2, arg);
        return text;
    };
    expect_cases({
        {"mkdir /w && cd /w && git init -q && git rev-list", "", 128, report("HEAD")},
        {kRepo + "git rev-list HEAD nosuch", "", 128, report("HEAD nosuch")},
        {kRepo + "git rev-list -n x HEAD", "", 129, "error: rev-list count must be a non-negative integer\n"},
        {kRepo + "git rev-list --max-count=1 HEAD | wc -l && git rev-list -n0 --count HEAD", "1\n0\n"},
        {kRepo + "git reflog main", "", 129, "error: only HEAD is logged, not main\n"},
        {kRepo + "git reflog -n", "", 129, "error: -n requires a count\n"},
        {kRepo + "git reflog -1 | cut -c8-", " HEAD@{0}: commit: two\n"},
        {kRepo + "git merge-base HEAD", "", 129, "usage: git merge-base [--is-ancestor] REVISION REVISION\n"},
        {kRepo + "git merge-base HEAD nope", "", 128, report("HEAD nope")},
        {kRepo + "git check-ignore -n x", "", 129, "error: check-ignore: -n requires -v\n"},
        {kRepo + "echo '*.o' > .gitignore && git check-ignore -v -n a.o b", ".gitignore:1:*.o\ta.o\n::\tb\n"},
        {kRepo + "git hash-object", "", 129, "usage: git hash-object [-w] [--stdin] [FILE...]\n"},
        {kRepo + "git hash-object -t tree a", "", 129, "error: unsupported object type: tree\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
