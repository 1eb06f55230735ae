// Branches, switching, restoring, resetting, moving and removing files, tags, config and the ref
// plumbing of the machine's git against the host's git, ids masked.
//
// Differences the machine makes on purpose, kept out of the table (the machine's own forms are
// tested in git_work_test.cpp):
// - a detached checkout prints only the "Note: switching to" line and "HEAD is now at", without
//   the advice between them; a switch does not list the local changes it carries along;
// - "Already on" writes no reflog entry and does not change the previous branch; `switch -C`
//   announces "Switched to a new branch";
// - checking out or resetting paths prints nothing ("Updated N paths", "Unstaged changes");
// - `reset` lists a deleted file as "M"; a pathspec with --soft or --hard is a usage error (129);
// - `cat-file -p` of a tag name prints the tagged commit;
// - `config --show-origin` names the file by its absolute path; `config --list` is in key order;
//   `--unset` removes every value of a key; remote names are kept in lower case;
// - `ls-files -m` leaves out deleted files; `ls-tree` sorts a directory by its bare name, lists no
//   trees under -r, and a file operand selects nothing;
// - lightweight tags have no `tag -n` line text, and `tag -f` prints nothing;
// - short ref names strip only refs/heads/ or refs/tags/; `symbolic-ref --short` keeps the last
//   component; `rm` of a tracked file deleted from the work tree needs --cached;
// - `clean` compares path arguments with work-tree paths literally and keeps ignored files
//   inside an untracked directory it removes;
// - refusals and usage errors of branch, mv, rm, tag, restore and clean have the machine's own
//   wording.
#include "git_host_fixture.h"

namespace tw::command_test {
namespace {

constexpr const char* kTwoCommits =
    "echo a > a && mkdir d && echo f > d/f && git add . && git commit -qm one && echo b >> a && "
    "git commit -qam two && ";

TEST(GitWorkCompare, SequencesMatchTheHostsGit) {
    if (!host_has_git()) GTEST_SKIP() << "no git on the host";
    const std::string two = kTwoCommits;
    const std::vector<Sequence> table = {
        {"branch create, list, verbose, rename and delete",
         two + "git branch topic && git branch feature-x HEAD~1 && git branch && git branch -v && "
               "git branch topic; echo rc=$?; git branch -f topic HEAD~1 && git branch -v && "
               "git branch -d feature-x; echo rc=$?; git branch -m topic t2 && "
               "git branch && git branch -m renamed && git branch --show-current && "
               "git branch --format='%(refname:short) %(refname)' && git branch --list 't*' && "
               "git branch --merged && git branch --no-merged && git branch --contains HEAD~1"},
        {"switch and checkout of branches",
         two + "git switch -c t && git switch main && git switch t && git switch - && "
               "git checkout -b u HEAD~1 && cat a && git branch && git reflog"},
        {"a dirty file blocks the switch and changes nothing",
         two + "git branch old HEAD~1 && echo x >> a && git switch old; echo rc=$?; git status -s && "
               "git branch --show-current && git checkout -- a && git switch old && cat a"},
        {"local changes travel across a switch",
         two + "git branch old HEAD~1 && echo x >> d/f && echo n > n && git add n && git switch old >/dev/null && "
               "git status -s && cat d/f"},
        {"untracked files in the way of a switch",
         "echo a > a && git add a && git commit -qm one && git switch -qc side && echo u > u && git add u && "
         "git commit -qm side && git switch -q main && echo mine > u && git switch side; echo rc=$?; cat u"},
        {"restore and checkout of paths",
         two + "echo x >> a && git restore a && cat a && echo y >> a && git add a && git restore --staged a && "
               "git status -s && git restore --source=HEAD~1 a && cat a && git status -s && "
               "git checkout HEAD~1 -- d/f a && git status -s && "
               "git restore; echo rc=$?; git checkout nosuch; echo rc=$?"},
        {"restore of . leaves untracked files alone",
         two + "echo x >> a && echo u > u && git restore . && git status -s && cat u"},
        {"reset modes",
         two + "echo x >> a && git add a && git reset && git status -s && git reset --soft HEAD~1 && "
               "git status -s && git reset -q --hard && git status -s && cat a && git reset --hard HEAD@{2} && "
               "cat a && git reflog -2 && cat .git/ORIG_HEAD"},
        {"reset of paths and bad arguments",
         two + "echo x >> a && git add a && echo n > n && git add n && git reset -q a && git status -s && "
               "git reset nosuch; echo rc=$?"},
        {"reset in a repository without commits", "echo a > a && git add a && git reset && git status -s"},
        {"reset --hard removes files only staged and keeps untracked ones",
         two + "echo s > s && git add s && echo u > u && git reset --hard && ls"},
        {"mv of files and directories",
         two + "git mv a b && git status -s && git mv d e && git status -s && ls e && mkdir z && git mv b z && "
               "git mv e/f z/b; echo rc=$?; git mv -f e/f z/b && git status -s"},
        {"rm of files and directories",
         two + "git rm a && git status -s && git rm d; echo rc=$?; git rm -r d && git status -s && ls && "
               "git reset -q --hard && echo x >> a && git rm a; echo rc=$?; git rm --cached a && git status -s && "
               "git rm nothing; echo rc=$?; git rm --ignore-unmatch nothing; echo rc=$?"},
        {"clean",
         two + "printf '*.log\\n' > .gitignore && git add .gitignore && git commit -qm ig && echo u > u && "
               "echo l > x.log && mkdir -p n/m && echo 1 > n/m/1 && echo 2 > d/u && git clean 2>/dev/null; echo rc=$?; "
               "git clean -n && git clean -nx && git clean -nd && git clean -f d && ls d && cd d && "
               "git clean -fd && cd .. && git clean -fd && ls && git clean -fx && ls"},
        {"tags", two + "git tag v1 && git tag -a v2 -m 'release two' HEAD~1 && git tag && git tag -n v2 && "
                       "git tag v1; echo rc=$?; git tag -f v1 HEAD~1 >/dev/null && git tag --points-at HEAD~1 && "
                       "git tag -l 'v*' && git tag --format='%(refname) %(objectname:short)' && "
                       "git tag -d v1 && git tag -d v1; echo rc=$?; git cat-file -t v2"},
        {"config", "git config user.name Jo && git config user.name && git config User.Name && "
                   "git config --add a.b x && git config --add a.b y && git config --get-all a.b && "
                   "git config a.b && git config --get-regexp '^a' && git config --unset no.such; echo rc=$?; "
                   "git config --bool core.bare && git config c.d no && git config --bool c.d && "
                   "git config --global g.h i && "
                   "git config --global g.h && git config --local g.h; echo rc=$?"},
        {"remotes", "git remote add origin /srv/x.git && git remote add up u && git remote && git remote -v && "
                    "git remote get-url origin && git remote set-url origin /y && git remote get-url origin && "
                    "git remote remove up && git remote && git remote rm nope; echo rc=$?; "
                    "git remote get-url nope; echo rc=$?"},
        {"ls-files", two + "echo x >> a && rm d/f && echo u > u && printf 'i*\\n' > .gitignore && touch ign && "
                           "git ls-files && git ls-files -s && git ls-files -d && "
                           "git ls-files -o --exclude-standard && "
                           "git ls-files -o -i --exclude-standard && git ls-files -v && "
                           "cd d && git ls-files"},
        {"ls-tree", "mkdir -p a/c && echo 1 > a.txt && echo 2 > a/b.txt && echo 3 > a/c/d.txt && git add . && "
                    "git commit -qm one && git ls-tree -r HEAD && git ls-tree -d HEAD && "
                    "git ls-tree HEAD a/ && git ls-tree HEAD a// && git ls-tree --name-only -r HEAD"},
        {"cat-file", "echo hello > h && git add h && git commit -qm one && echo 2 >> h && git commit -qam two && "
                     "git cat-file -t $(git hash-object h) && git cat-file -s HEAD:h && git cat-file -p :h && "
                     "git cat-file -p HEAD~1:h && git cat-file -e HEAD:h && git cat-file -t HEAD && "
                     "git cat-file -p HEAD && git cat-file -s HEAD && git cat-file -e nope; echo rc=$?"},
        {"ref plumbing", two + "git branch feature/x && git tag v1 && git symbolic-ref HEAD && "
                               "git symbolic-ref --short HEAD && git show-ref && git show-ref main && git show-ref x && "
                               "git show-ref --verify refs/heads/main && "
                               "git show-ref --heads && git for-each-ref && git for-each-ref refs/tags && "
                               "git for-each-ref --format='%(refname:short)' && git symbolic-ref HEAD refs/heads/new && "
                               "git symbolic-ref --short HEAD && git symbolic-ref HEAD refs/heads/main && "
                               "git symbolic-ref --short HEAD"},
        {"history plumbing", two + "git rev-list HEAD && git rev-list -n 1 HEAD && git rev-list -1 HEAD && "
                                   "git rev-list --count HEAD && git branch side HEAD~1 && git switch -q side && "
                                   "echo s > s && git add s && git commit -qm side && git rev-list --all --count && "
                                   "git rev-list main..side && git merge-base main side && "
                                   "git merge-base --is-ancestor HEAD~1 HEAD; echo rc=$?; "
                                   "git merge-base --is-ancestor HEAD HEAD~1; echo rc=$?"},
        {"check-ignore", "printf '*.log\\n!keep.log\\n' > .gitignore && git check-ignore a.log b.txt keep.log; "
                         "echo rc=$?; git check-ignore -v a.log && git check-ignore -q a.log && "
                         "printf 'x.log\\ny\\n' | git check-ignore --stdin && git check-ignore b; echo rc=$?"},
    };
    expect_sequences_match_host(table);
}

}  // namespace
}  // namespace tw::command_test
