// git history inside the machine: the ancestry walks, revision ranges, the line diff engine,
// tree comparison and the history commands.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "case_fixture.h"
#include "commands/git/history.h"
#include "kernel/syscalls.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace tw::command_test {
namespace {

// A hand-made history in /w: commit ids are the letter repeated 40 times.
struct FakeCommit {
    char id;
    std::string parents;  // letters
    std::int64_t time;
};

std::string fake_id(char c) { return std::string(40, c); }

Machine fake_history(std::initializer_list<FakeCommit> commits, char head) {
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "mkdir -p /w && cd /w && git init -q").status, 0);
    for (const FakeCommit& c : commits) {
        std::string text;
        for (char p : c.parents) text += "parent " + fake_id(p) + "\n";
        text += "author A <a@x> " + std::to_string(c.time) + " +0000\n\nmsg " + std::string(1, c.id) + "\n";
        put_file(m, "/w/.git/commits/" + fake_id(c.id) + ".commit", text);
        put_file(m, "/w/.git/commits/" + fake_id(c.id) + ".tree", "");
    }
    put_file(m, "/w/.git/refs/heads/main", fake_id(head) + "\n");
    return m;
}

std::string letters(const std::vector<CommitRecord>& records) {
    std::string out;
    for (const CommitRecord& r : records) out += r.id.front();
    return out;
}

TEST(GitHistory, AncestryWalks) {
    // a - b - c - e (merge of c and d), d branches from b; f is unrelated.
    Machine m = fake_history({{'a', "", 1}, {'b', "a", 2}, {'c', "b", 3}, {'d', "b", 5}, {'e', "cd", 4}, {'f', "", 9}},
                             'e');
    SyscallContext sys(m);
    std::vector<std::string> all = git_ancestors(sys, "/w", fake_id('e'));
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all.front(), fake_id('e'));
    EXPECT_EQ(all[1], fake_id('d'));  // the last parent is popped first
    EXPECT_EQ(git_merge_base(sys, "/w", fake_id('c'), fake_id('d')), fake_id('b'));
    EXPECT_EQ(git_merge_base(sys, "/w", fake_id('e'), fake_id('b')), fake_id('b'));
    EXPECT_EQ(git_merge_base(sys, "/w", fake_id('b'), fake_id('e')), fake_id('b'));
    EXPECT_FALSE(git_merge_base(sys, "/w", fake_id('f'), fake_id('e')));
    EXPECT_EQ(letters(git_collect_commits(sys, "/w", fake_id('e'))), "ecba");
    // A missing parent ends that line without an error.
    EXPECT_EQ(letters(git_collect_commits(sys, "/w", fake_id('z'))), "");
}

TEST(GitHistory, TopologicalWalkAndRanges) {
    Machine m = fake_history({{'a', "", 1}, {'b', "a", 2}, {'c', "b", 3}, {'d', "b", 5}, {'e', "cd", 4}, {'f', "", 4}},
                             'e');
    SyscallContext sys(m);
    auto walk = [&](std::vector<std::string> args, bool first_parent = false) {
        auto r = git_walk_commits(sys, "/w", args, first_parent);
        return r ? letters(*r) : std::string("<fail>");
    };
    // The merge comes before its newer parent d; equal times keep breadth-first discovery.
    EXPECT_EQ(walk({"HEAD"}), "edcba");
    EXPECT_EQ(walk({"HEAD", fake_id('f')}), "edfcba");  // d (time 5) is ready once e is out
    EXPECT_EQ(walk({fake_id('f'), "HEAD"}), "fedcba");
    EXPECT_EQ(walk({"HEAD"}, true), "ecba");
    EXPECT_EQ(walk({fake_id('c') + ".." + fake_id('d')}), "d");
    EXPECT_EQ(walk({"^" + fake_id('c'), fake_id('d')}), "d");
    EXPECT_EQ(walk({fake_id('c') + "..." + fake_id('d')}), "d");
    EXPECT_EQ(walk({fake_id('d') + "..." + fake_id('c')}), "c");
    EXPECT_EQ(walk({fake_id('c') + ".."}), "ed");
    EXPECT_EQ(walk({"HEAD..HEAD"}), "");
    EXPECT_EQ(walk({"^HEAD"}), "");
    EXPECT_EQ(walk({fake_id('f') + "..." + fake_id('e')}), "<fail>");
    EXPECT_EQ(walk({"..HEAD"}), "<fail>");
    EXPECT_EQ(walk({"nope"}), "<fail>");
}

TEST(GitHistory, WalksStopAtTheLimit) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "mkdir -p /w && cd /w && git init -q").status, 0);
    std::string parent;
    for (int i = 0; i <= 10000; ++i) {
        std::string id = fmt::format("{:040x}", i + 1);
        std::string text = parent.empty() ? "" : "parent " + parent + "\n";
        text += fmt::format("author A <a@x> {} +0000\n\nm\n", i);
        put_file(m, "/w/.git/commits/" + id + ".commit", text);
        parent = id;
    }
    SyscallContext sys(m);
    EXPECT_EQ(git_ancestors(sys, "/w", parent).size(), 10000u);
    EXPECT_EQ(git_collect_commits(sys, "/w", parent).size(), 10000u);
    EXPECT_EQ(git_topo_walk(sys, "/w", {parent}).size(), 10000u);
}

// ---- comparison with the host's git ----

// Runs `script` with the host's git in a fresh temporary repository (fixed identity and dates,
// UTC); nothing when there is no host git.
std::optional<std::string> host_git_output(const std::string& script) {
    if (std::system("git --version >/dev/null 2>&1") != 0) return std::nullopt;
    char dir_template[] = "/tmp/tw-git-compare-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return std::nullopt;
    const std::string prelude = fmt::format(
        "mkdir {0}/repo && cd {0}/repo && export HOME={0} GIT_CONFIG_NOSYSTEM=1 TZ=UTC LC_ALL=C GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x "
        "GIT_COMMITTER_NAME=A GIT_COMMITTER_EMAIL=a@x && at() {{ export GIT_AUTHOR_DATE=\"@$1 +0000\" "
        "GIT_COMMITTER_DATE=\"@$1 +0000\"; }} && at 1700000000 && git init -q -b main && git config core.pager cat && ",
        dir);
    const std::string path = fmt::format("{}/.script", dir);
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (f == nullptr) return std::nullopt;
        std::string text = prelude + "{\n" + script + "\n} 2>&1; echo \"[status $?]\"\n";
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::string out;
    if (std::FILE* p = popen(fmt::format("bash {} 2>&1", path).c_str(), "r")) {
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    (void)std::system(fmt::format("rm -rf {}", dir).c_str());
    return out;
}

std::string machine_git_output(const std::string& script) {
    const std::string prelude =
        "export GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x && at() { export GIT_AUTHOR_DATE=\"@$1\"; } && "
        "at 1700000000 && mkdir -p /w && cd /w && git init -q && ";
    Ran r = run(prelude + "{\n" + script + "\n} 2>&1; echo \"[status $?]\"\n");
    return r.out + r.err;
}

// Commit ids differ from real git's (the store has its own commit format): every id is masked.
std::string mask_ids(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    while (i < text.size()) {
        std::size_t j = i;
        while (j < text.size() && hex(text[j])) ++j;
        if (j - i >= 7 && (i == 0 || !word(text[i - 1])) && (j == text.size() || !word(text[j]))) {
            out += "<id>";
            i = j;
        } else if (j > i) {
            out.append(text, i, j - i);
            i = j;
        } else {
            out += text[i++];
        }
    }
    return out;
}

void expect_same_as_host(const std::vector<std::string>& scripts) {
    for (const std::string& script : scripts) {
        SCOPED_TRACE(script);
        auto host = host_git_output(script);
        if (!host) GTEST_SKIP() << "no host git";
        EXPECT_EQ(mask_ids(machine_git_output(script)), mask_ids(*host));
    }
}

TEST(GitCompare, DiffMatchesHostGit) {
    const std::string base =
        "printf 'a\\nb\\nc\\nd\\ne\\nf\\ng\\nh\\n' > f && echo x > g && mkdir d && echo y > d/h && "
        "git add . && git commit -qm one && ";
    expect_same_as_host({
        base + "printf 'a\\nB\\nc\\nd\\ne\\nf\\ng\\nh\\nI\\n' > f && git diff && git diff --stat && "
               "git diff --numstat && git diff --shortstat && git diff --name-status && git diff --exit-code; echo $?",
        base + "rm g && echo new > n && git add n && git diff --cached && git diff --cached --name-only && "
               "git diff HEAD --stat && git diff -- g && git diff d",
        base + "mv g g2 && git add -A && git diff --cached --name-status && git diff --cached && git diff --cached --stat && "
               "git diff --cached --summary",
        base + "chmod +x g && git diff && git diff --summary",
        base + "printf 'x \\n' > g && git diff --check; echo $? && git diff -w --stat",
        base + "echo z >> f && git commit -qam two && git diff HEAD~1 HEAD && git diff HEAD~1..HEAD --stat && "
               "git diff -U0 HEAD~1 && git diff -R HEAD~1 --name-status",
        base + "printf 'no newline' > g && git diff && git diff --no-prefix",
    });
}

TEST(GitCompare, LogAndShowMatchHostGit) {
    const std::string history =
        "echo a > f && git add f && git commit -qm 'first one' && at 1700000100 && "
        "printf 'a\\nb\\n' > f && echo g > g && git add . && git commit -qm 'second: a/b' -m 'body line' && "
        "at 1700003700 && git rm -q g 2>/dev/null || rm g && git add -A && git commit -qm third && ";
    expect_same_as_host({
        history + "git log && git log --oneline && git log --format='%h %an <%ae> %s' -n 2 && git log -2 --stat",
        history + "git log --pretty=format:'%H%n%P|%ad|%ai|%aI|%as|%aD|%at' && echo && git log --format='%B%x41%n%%%C(red)%Creset'",
        history + "git log --reverse --oneline --name-status && git log --skip=1 --format=%s && git log -1 -p",
        history + "git log --pretty=short -1 && git log --pretty=full -1 && git log --pretty=fuller -1 && "
                  "git log --pretty=oneline -1",
        history + "git log --oneline -- g && git log --format=%s --grep=SEC -i && git log --format=%s -S b && "
                  "git log --format=%s -G '^g' && git log --oneline HEAD~2..HEAD && git log --oneline ^HEAD~1 HEAD",
        history + "git log --format=%s --since=1700000101 && git log --format=%s --until=1700000100 --author=A",
        history + "git show && git show -s --format=%s HEAD~1 && git show HEAD~1:f && git show --stat HEAD~1 && "
                  "git show :f && git show --name-status HEAD",
        history + "git log --oneline --decorate && git log --format='%d|%D' -1",
    });
}

TEST(GitCompare, SummariesBlameGrepArchiveMatchHostGit) {
    const std::string history =
        "printf 'one\\ntwo\\nthree\\nfour\\n' > f && mkdir src && printf 'int x;\\nfoo food\\n' > src/a.c && "
        "chmod +x src/a.c && git add . && git commit -qm 'first one' && at 1700000100 && "
        "export GIT_AUTHOR_NAME=B GIT_COMMITTER_NAME=B && "
        "printf 'one\\nTWO\\nthree\\nfour\\nfive\\n' > f && git commit -qam second && at 1700003700 && "
        "echo x > x && git add x && git commit -qm third && ";
    expect_same_as_host({
        history + "git shortlog HEAD~1 && git shortlog -sn HEAD && git shortlog -se HEAD~1",
        history + "git blame -s f && echo six >> f && git blame -s f | sed 's/^0\\{8\\}/ZERO/' && git blame -s -L 2,3 f && "
                  "git blame -s -L 4, HEAD~1 -- f && git blame -s -L ,1 HEAD~2 f",
        history + "git grep -n o && git grep -c o && git grep -l foo && git grep -L zzz; echo $? && git grep -w foo && "
                  "git grep -F -i 'TWO' HEAD~1 && git grep -v o -- src && cd src && git grep int && git grep nothing; echo $?",
        history + "git archive HEAD | tar t | grep -v /$ && mkdir ../t && git archive HEAD | (cd ../t && tar x) && "
                  "cat ../t/src/a.c && test -x ../t/src/a.c && test ! -x ../t/f && cd src && "
                  "git archive HEAD | tar t && git archive HEAD~2 -- a.c | tar t",
    });
}

// Refusals use this git's own texts (unsupported options are named, not merely invalid).
TEST(GitDiff, RefusalsAndStatuses) {
    const std::string repo = "mkdir -p /w && cd /w && git init -q && echo a > a && git add a && git commit -qm m && ";
    expect_cases({
        {repo + "git diff --frob", "", 129, "error: unsupported diff option: --frob\n"},
        {repo + "git diff -U", "", 129, "error: unsupported diff option: -U\n"},
        {repo + "git diff -z --stat", "", 129, "error: -z is supported with --name-only, --name-status, or patch output\n"},
        {repo + "echo b > a && git diff --quiet --stat", "", 1},
        {repo + "echo b > a && git diff --exit-code --diff-filter=A", "", 1},
        {repo + "echo u > u && git diff --exit-code", "", 0},
        {repo + "echo b > a && git diff --diff-filter=m --name-only", "a\n"},
        {"cd /tmp && printf 'a\\nb\\n' > x && printf 'a\\nc\\n' > y && git diff --no-index x y",
         "diff --git a/x b/y\nindex 422c2b7..0f7bc76 100644\n--- a/x\n+++ b/y\n@@ -1,2 +1,2 @@\n a\n-b\n+c\n", 1},
        {"cd /tmp && git diff --no-index x", "", 129, "usage: git diff --no-index PATH PATH\n"},
        {"cd /tmp && git diff --no-index x y", "", 128, "fatal: cannot read 'x' or 'y': No such file or directory\n"},
        // An added empty file has no hunks and therefore no patch at all.
        {repo + "touch e && git add e && git diff --cached && git diff --cached --name-status", "A\te\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
