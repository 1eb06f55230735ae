// git history inside the machine: the ancestry walks, revision ranges, the line diff engine,
// tree comparison and the history commands.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "case_fixture.h"
#include "commands/git/history.h"
#include "commands/git/merge.h"
#include "commands/git/line_diff_engine.h"
#include "commands/git/op_state.h"
#include "commands/git/pretty.h"
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

constexpr const char* kRepo = "mkdir -p /w && cd /w && git init -q && export GIT_AUTHOR_DATE=@1700000000 && ";

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
        "mkdir {0}/repo && cd {0}/repo && export HOME={0} GIT_CONFIG_NOSYSTEM=1 GIT_MERGE_AUTOEDIT=no GIT_EDITOR=true TZ=UTC LC_ALL=C GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x "
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
        base + "mkdir -p very/long/directory/name/for/the/stat/layout && seq 200 > very/long/directory/name/for/the/stat/layout/file.txt && "
               "seq 3 > s && git add . && git diff --cached --stat && printf 'x\\0y' > bin && git add bin && git diff --cached --numstat && "
               "git diff --cached -- bin",
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

// A patch from git diff applies with patch -p1 and gives the new tree.
TEST(GitDiff, PatchAppliesWithPatch) {
    Ran r = run(std::string(kRepo) +
                "seq 1 40 > f && echo keep > k && git add . && git commit -qm m && seq 1 40 | sed 's/^1[05]$/X/' > f && "
                "echo 41 >> f && echo new > n && git add n && rm k && git diff HEAD > /tmp/p && cp f /tmp/f.want && "
                "git show HEAD:f > f && git show HEAD:k > k && rm n && patch -p1 < /tmp/p && "
                "cmp f /tmp/f.want && cat n && test ! -e k && echo done");
    EXPECT_EQ(r.out, "new\ndone\n") << r.err;
    // The same patch applies with the host's patch.
    if (std::system("patch --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no host patch";
    Ran diff = run(std::string(kRepo) +
                   "seq 1 40 > f && echo keep > k && git add . && git commit -qm m && seq 1 40 | sed 's/^1[05]$/X/' > f && "
                   "printf 41 >> f && echo new > n && git add n && rm k && git diff HEAD");
    char dir_template[] = "/tmp/tw-git-patch-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    ASSERT_NE(dir, nullptr);
    const std::string patch_path = fmt::format("{}/p", dir);
    std::FILE* f = std::fopen(patch_path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(diff.out.data(), 1, diff.out.size(), f);
    std::fclose(f);
    const int status = std::system(
        fmt::format("cd {} && mkdir t && cd t && seq 1 40 > f && echo keep > k && patch -s -p1 < ../p && "
                    "seq 1 40 | sed 's/^1[05]$/X/' > ../want && printf 41 >> ../want && cmp -s f ../want && "
                    "test \"$(cat n)\" = new && test ! -e k",
                    dir)
            .c_str());
    (void)std::system(fmt::format("rm -rf {}", dir).c_str());
    EXPECT_EQ(status, 0) << diff.out;
}

// During a conflicted merge the work tree is compared with our side of each unmerged path.
TEST(GitDiff, UnmergedPathsShowOurSide) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, std::string(kRepo) + "echo base > f && echo g > g && git add . && git commit -qm m && "
                                             "echo ours > /tmp/o && git hash-object -w /tmp/o >/dev/null")
                  .status,
              0);
    {
        SyscallContext sys(m);
        MergeStages stages;
        stages["f"] = {git_blob_id("base\n"), git_blob_id("ours\n"), std::nullopt};
        stages["g"] = {git_blob_id("g\n"), std::nullopt, std::nullopt};
        ASSERT_TRUE(git_write_merge_stages(sys, "/w", stages));
    }
    Ran r = run_in(m, "cd /w && printf 'ours\\ntheirs\\n' > f && git diff --name-status && git diff f | tail -2");
    EXPECT_EQ(r.out, "U\tf\nU\tg\n ours\n+theirs\n") << r.err;
}

// Contents read for diffs are charged: a small CPU budget stops a long patch log.
TEST(GitLog, PatchOutputIsCharged) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, std::string(kRepo) + "seq 200000 > f && git add f && git commit -qm a && seq 2 200001 > f && "
                                             "git commit -qam b")
                  .status,
              0);
    MachineLimits small = kRoomyLimits;
    small.cpu = 2'000'000;
    Machine tight = fresh_machine(small);
    tight.vfs = m.vfs;
    Ran r = run_in(tight, "cd /w && git log -p | wc -l");
    EXPECT_NE(r.status, 0) << r.out << r.err;
    // Neither end of the files is shared, so the whole middle is replaced (the table's cut-off).
    EXPECT_EQ(run_in(m, "cd /w && git log -p | wc -l").out, "600024\n");
}

// A..B compares the two trees; A...B starts from their merge base.
TEST(GitDiff, RangesOfBranches) {
    Ran r = run(std::string(kRepo) +
                "echo 1 > f && git add f && git commit -qm base && git rev-parse HEAD > .git/refs/heads/feature && "
                "echo 2 > f && git commit -qam main && echo 'ref: refs/heads/feature' > .git/HEAD && echo g > g && "
                "git add g && git commit -qm feature && git diff --name-status main..feature && echo - && "
                "git diff --name-status main...feature && git diff --name-status feature...main && "
                "git log --format=%s main...feature");
    EXPECT_EQ(r.out, "A\tg\n-\nM\tf\nA\tg\nM\tf\nfeature\n") << r.err;
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

TEST(GitLineDiff, ScriptsAndHunks) {
    auto hunks = [](std::string_view a, std::string_view b, std::size_t context = 3) {
        auto x = split_diff_lines(a);
        auto y = split_diff_lines(b);
        return build_diff_hunks(line_diff(x, y), context);
    };
    EXPECT_EQ(hunks("", "a\nb\nc\n"), "@@ -0,0 +1,3 @@\n+a\n+b\n+c\n");
    EXPECT_EQ(hunks("", "a\n"), "@@ -0,0 +1 @@\n+a\n");
    EXPECT_EQ(hunks("a\n", ""), "@@ -1 +0,0 @@\n-a\n");
    EXPECT_EQ(hunks("x", "x\n"), "@@ -1 +1 @@\n-x\n\\ No newline at end of file\n+x\n");
    EXPECT_EQ(hunks("a\nb\n", "b\na\n"), "@@ -1,2 +1,2 @@\n-a\n b\n+a\n");
    EXPECT_EQ(hunks("1\n2\n3\n4\n5\n6\n", "1\n2\n3\n4\n5\nnew\n6\n", 0), "@@ -5,0 +6 @@\n+new\n");
    EXPECT_EQ(hunks("int f()\n  a\n  b\n  c\n  d\n", "int f()\n  a\n  b\n  c\n  D\n"),
              "@@ -2,4 +2,4 @@ int f()\n   a\n   b\n   c\n-  d\n+  D\n");
    // Changes 7 apart share a hunk with context 3; 8 apart do not.
    std::string base;
    for (int i = 0; i < 30; ++i) base += fmt::format("{}\n", i);
    auto edit = [&](int a, int b) {
        std::string t = base;
        for (int k : {a, b}) t.replace(t.find(fmt::format("\n{}\n", k)) + 1, fmt::format("{}", k).size(), "X");
        return hunks(base, t);
    };
    auto count = [](const std::string& h) { return std::count(h.begin(), h.end(), '@') / 4; };
    EXPECT_EQ(count(edit(10, 17)), 1);
    EXPECT_EQ(count(edit(10, 18)), 2);
    // A middle above 1000 lines is replaced wholesale, equal lines included.
    std::string big_old, big_new;
    for (int i = 0; i < 1003; ++i)
        big_old += fmt::format("{}\n", i), big_new += fmt::format("{}{}\n", i % 2 == 0 ? "" : "x", i);
    auto x = split_diff_lines(big_old);
    auto y = split_diff_lines(big_new);
    auto script = line_diff(x, y);
    EXPECT_EQ(script[1].tag, LineDiffTag::Delete);  // "0" stays a prefix; "1" is not kept
    EXPECT_EQ(std::count_if(script.begin(), script.end(), [](auto& op) { return op.tag == LineDiffTag::Keep; }), 2);
    // White-space modes; a kept line shows the new text.
    EXPECT_EQ(line_diff_counts("a b\n", "ab\r\n", WhitespaceMode::All), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
    EXPECT_EQ(line_diff_counts("  a   b\n", "a b", WhitespaceMode::Change), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
    EXPECT_EQ(line_diff_counts("ab\n", "a b\n", WhitespaceMode::Change), (std::pair<std::uint64_t, std::uint64_t>{1, 1}));
    std::vector<std::string_view> o{"a  b\n", "c\n"}, n{"a b\n", "d\n"};
    EXPECT_EQ(line_diff_whitespace(o, n, WhitespaceMode::Change).front().line, "a b\n");
}

TEST(GitPretty, FormatsAndDates) {
    GitCommit c{{std::string(40, 'p')}, "Ann", "a@x", 0, "Fix: a/b\n\nbody\n\n"};
    const std::string id(40, 'c');
    auto expand = [&](std::string_view f) { return git_expand_pretty_format(f, id, c, " (HEAD -> main, tag: v1)", 90061); };
    EXPECT_EQ(expand("%f|%b|%B"), "Fix--a-b|body\n|Fix: a/b\n\nbody\n");
    EXPECT_EQ(expand("%x00%x41%x4"), std::string("\0A\x04", 3));
    EXPECT_EQ(expand("%C(bold blue)%h%Creset|%D|%ar|%ad|%p"),
              "ccccccc|HEAD -> main, tag: v1|1 day ago|Thu Jan 1 00:00:00 1970 +0000|ppppppp");
    for (std::string_view bad : {"%xg1", "%q", "%", "%a", "%az"}) EXPECT_FALSE(expand(bad)) << bad;
    EXPECT_EQ(git_relative_date(0, 59), "59 seconds ago");
    EXPECT_EQ(git_relative_date(0, 60), "1 minute ago");
    EXPECT_EQ(git_relative_date(0, 86399), "23 hours ago");
    EXPECT_EQ(git_relative_date(100, 0), "0 seconds ago");
    const std::int64_t day = 86400;
    EXPECT_EQ(git_parse_date_arg("2024-02-30", 0), git_parse_date_arg("2024-03-01", 0));
    EXPECT_FALSE(git_parse_date_arg("2024-13-01", 0));
    EXPECT_EQ(git_parse_date_arg("2024-01-05T10:30Z", 0), *git_parse_date_arg("2024-01-05", 0) + 37800);
    EXPECT_EQ(git_parse_date_arg("1970-01-02", 0), day);
    EXPECT_EQ(git_parse_date_arg("3 weeks ago", 30 * day), 9 * day);
    EXPECT_EQ(git_parse_date_arg(" 1 week ", 30 * day), 23 * day);
    EXPECT_FALSE(git_parse_date_arg("3 fortnights ago", 0));
    ASSERT_TRUE(git_parse_pretty_name("%h", true));
    EXPECT_TRUE(git_parse_pretty_name("%h", true)->terminator);
    EXPECT_FALSE(git_parse_pretty_name("%h", false)->terminator);
    EXPECT_TRUE(git_parse_pretty_name("tformat:%h", false)->terminator);
    EXPECT_FALSE(git_parse_pretty_name("nonsense", false));
}


// Where this git deliberately differs from the host's: strict --since, no run collapsing in %f,
// %b always ends with a newline, shortlog keeps walk order, grep drops a CR, show writes commits
// back to back, and blame names no file after a rename.
TEST(GitLog, DeliberateBehaviours) {
    expect_cases({
        {std::string(kRepo) + "echo a > a && git add a && git commit -qm 'x: y/z' && git log --format='%f|%b|' "
                              "--since=1699999999 && git log --format=%s --since=1700000000",
         "x--y-z|\n|\n"},
        {std::string(kRepo) + "printf 'a\\r\\n' > a && git add a && git commit -qm one && git commit -q --allow-empty -m two 2>/dev/null; "
                              "git grep a | tr '\\r' R && git shortlog && git show -s --format=%s HEAD HEAD",
         "a:a\ntarnwick (2):\n      two\n      one\n\ntwo\ntwo\n"},
    });
}

TEST(GitLog, OptionsAndErrors) {
    const std::string three = std::string(kRepo) +
                              "for i in 1 2 3; do echo $i > f; git add f; GIT_AUTHOR_DATE=@$((1700000000 + i)) git commit -qm c$i; done && ";
    expect_cases({
        {three + "git log -2 --format=%s && git log -n 1 --format=%s && git log --max-count=1 --format=%s --skip=1 && "
                 "git log --pretty=format:%s && echo . && git log --skip=5 --oneline",
         "c3\nc2\nc3\nc2\nc3\nc2\nc1.\n"},
        {three + "git log -3x", "", 129, "error: unsupported log option: -3x\n"},
        {three + "git log --branches", "", 129, "error: unsupported log option: --branches\n"},
        {three + "git log -n x", "", 129, "error: log count must be a non-negative integer\n"},
        {three + "git log --since=soon", "", 129, "error: unsupported date: soon\n"},
        {three + "git log --pretty=nonsense", "", 128, "fatal: unsupported log format: --pretty\n"},
        {three + "git log --grep='('", "", 128, "fatal: invalid pattern: (\n"},
        {three + "git log nope", "", 128,
         "fatal: ambiguous argument 'nope': unknown revision or path not in the working tree.\n"
         "Use '--' to separate paths from revisions, like this:\n'git <command> [<revision>...] -- [<file>...]'\n"},
        {std::string(kRepo) + "git log", "", 128, "fatal: your current branch 'main' does not have any commits yet\n"},
        {three + "git show -p", "", 129, "error: unsupported show option: -p\n"},
        {three + "git show HEAD:missing.txt", "", 128, "fatal: path 'missing.txt' does not exist in 'HEAD'\n"},
        {three + "git log --decorate=no --oneline -1 | cut -c9- && git log --decorate --no-decorate --oneline -1 | cut -c9-",
         "c3\n(HEAD -> main) c3\n"},
    });
}

TEST(GitLog, GraphOverAMerge) {
    // m merges c (first parent) and d; both come from b.
    Machine m = fake_history({{'a', "", 1}, {'b', "a", 2}, {'c', "b", 3}, {'d', "b", 4}, {'m', "cd", 5}}, 'm');
    Ran r = run_in(m, "cd /w && git log --graph --format=%s");
    EXPECT_EQ(r.out, "*   msg m\n|\\\n| * msg d\n* | msg c\n|/\n* msg b\n* msg a\n");
    Ran stat = run_in(m, "cd /w && git log --oneline --merges && git log --oneline --no-merges --first-parent | wc -l");
    EXPECT_EQ(stat.out, "mmmmmmm msg m\n3\n");
}

TEST(GitDescribe, NearestTagOnTheFirstParentChain) {
    Machine m = fake_history({{'a', "", 1}, {'b', "a", 2}, {'c', "b", 3}, {'d', "c", 4}, {'e', "d", 5}}, 'e');
    put_file(m, "/w/.git/refs/tags/light", fake_id('d') + "\n");
    Ran only_light = run_in(m, "cd /w && git describe");
    EXPECT_EQ(only_light.status, 128);
    EXPECT_EQ(only_light.err, "fatal: No annotated tags can describe '" + fake_id('e') +
                                  "'.\nHowever, there were unannotated tags: try --tags.\n");
    EXPECT_EQ(run_in(m, "cd /w && git describe --tags && git describe --always HEAD~3").out, "light-1-geeeeeee\nbbbbbbb\n");
    put_file(m, "/w/.git/refs/tags/v1", fake_id('b') + "\n");
    put_file(m, "/w/.git/refs/tags/v2", fake_id('b') + "\n");
    put_file(m, "/w/.git/tags/v1.annotation", "author A <a@x> 1 +0000\n\nrelease\n");
    put_file(m, "/w/.git/tags/v2.annotation", "author A <a@x> 1 +0000\n\nrelease\n");
    EXPECT_EQ(run_in(m, "cd /w && git describe && git describe --long HEAD~3").out, "v2-3-geeeeeee\nv2\n");
    EXPECT_EQ(run_in(m, "cd /w && git show -s --oneline v1 | head -4").out,
              "tag v1\nTagger: A <a@x>\nDate:   Thu Jan 1 00:00:01 1970 +0000\n\n");
    EXPECT_EQ(run_in(m, "cd /w && git describe --frob").err, "error: unsupported describe option: --frob\n");
}

TEST(GitBlame, RenamesRangesAndDamagedStores) {
    const std::string repo = std::string(kRepo) +
                             "printf 'a\\nb\\n' > f && git add f && git commit -qm one && mv f g && git add -A && "
                             "git commit -qm two && printf 'a\\nB\\n' > g && git commit -qam three && ";
    Ran r = run(repo + "git blame -s g | awk '{print substr($1, 1, 1) == \"^\", length($1), $2, $3}'");
    EXPECT_EQ(r.out, "1 8 1) a\n0 8 2) B\n");
    expect_cases({
        {repo + "git blame -L 0 g", "", 129, "error: unsupported line range: 0\n"},
        {repo + "git blame -L 2,1 g", "", 129, "error: unsupported line range: 2,1\n"},
        {repo + "git blame --porcelain g", "", 129, "error: unsupported blame option: --porcelain\n"},
        {repo + "git blame", "", 129, "usage: git blame [-s] [-L RANGE] [REVISION] FILE\n"},
        {repo + "git blame HEAD~2 g", "", 128, "fatal: no such path g in HEAD~2\n"},
        {repo + "git blame -s -L 5, g", "", 129, "error: unsupported line range: 5,\n"},
        {repo + "git blame -s -L 2, g | cut -d' ' -f2-", "2) B\n"},
    });
    // A commit of the walk that cannot be read is named, not taken for a budget stop.
    Ran damaged = run(repo + "rm .git/commits/$(git log --format=%H -1 HEAD~1).commit; git blame g");
    EXPECT_EQ(damaged.status, 128);
    EXPECT_TRUE(damaged.err.starts_with("fatal: unable to read commit ")) << damaged.err;
    Ran worktree = run(repo + "echo c >> g && git blame g | tail -1");
    EXPECT_TRUE(worktree.out.starts_with("00000000 (Not Committed Yet ")) << worktree.out;
}

TEST(GitArchive, LimitsAndRefusals) {
    const std::string repo = std::string(kRepo) + "echo a > a && mkdir d && echo b > d/b && git add . && git commit -qm m && ";
    expect_cases({
        {repo + "git archive --format=zip HEAD", "", 129, "error: unsupported archive format; only tar is supported\n"},
        {repo + "git archive -o x HEAD", "", 129, "error: unsupported archive option: -o\n"},
        {repo + "git archive", "", 129, "usage: git archive [--format=tar] COMMIT [-- PATH...]\n"},
        {repo + "git archive nope", "", 128, "fatal: not a valid object name: nope\n"},
        {repo + "git archive HEAD -- zz", "", 128, "fatal: pathspec 'zz' did not match any files\n"},
        {repo + "ln -s a l && git add l && git commit -qm l && git archive HEAD", "", 128,
         "fatal: unsupported archive entry: symbolic link\n"},
        {repo + "git archive HEAD -- d | tar t", "d/b\n"},
    });
    Ran many = run(std::string(kRepo) + "mkdir m && cd m && for i in $(seq 4097); do echo $i > $i; done && cd .. && "
                   "git add . && git commit -qm m && git archive HEAD | wc -c; rm m/1 && git commit -qam less && "
                   "git archive HEAD | tar t | wc -l");
    EXPECT_EQ(many.err, "fatal: archive exceeds the 4096-entry limit\n");
    EXPECT_EQ(many.out, "0\n4096\n");
}

TEST(GitGrep, SelectionAndErrors) {
    const std::string repo = std::string(kRepo) +
                             "printf 'foo\\nfood\\na.b\\naxb\\n' > t && printf 'x\\0y' > bin && git add . && git commit -qm m && ";
    expect_cases({
        {repo + "git grep -w foo && git grep -F -w a.b && git grep -c -v foo && git grep y; echo $?",
         "t:foo\nt:a.b\nt:2\n1\n"},
        {repo + "git grep '('", "", 128, "fatal: invalid pattern: (\n"},
        {repo + "git grep -F '(' ; echo $?", "1\n"},
        {repo + "git grep", "", 129, "usage: git grep [-n] [-i] [-l] PATTERN [-- PATH...]\n"},
        {repo + "git grep -q x", "", 129, "error: unsupported grep option: -q\n"},
        {repo + "git grep -e foo t && git grep t -e axb && rm t && git grep foo; git grep food HEAD",
         "t:foo\nt:food\nt:axb\nHEAD:t:food\n"},
        {repo + "git grep foo -- HEAD; echo $?", "1\n"},
    });
}

// ---- merging ----

TEST(GitCompare, MergeMatchesHostGit) {
    const std::string base =
        "printf '1\\n2\\n3\\n4\\n5\\n6\\n' > f && echo g > g && git add . && git commit -qm one && "
        "git branch side && ";
    expect_same_as_host({
        // fast-forward, then already up to date
        base + "git switch -q side && echo h > h && git add h && at 1700000100 && git commit -qm two && "
               "git switch -q main && git merge side && git merge side && cat h && git log --format=%s",
        // clean true merge with the stat, on main and on another branch
        base + "printf '1\\nX\\n3\\n4\\n5\\n6\\n' > f && git commit -qam ours && git switch -q side && "
               "printf '1\\n2\\n3\\n4\\n5\\nY\\n' > f && rm g && echo n > n && git add -A && git commit -qm theirs && "
               "git switch -q main && at 1700000200 && git merge side | grep -v ^Auto-merging; cat f && ls && git log --format='%s %p' -1 && "
               "git status --short",
        base + "git switch -q side && echo s > s && git add s && git commit -qm s && git switch -q -c topic main && "
               "echo t > t && git add t && git commit -qm t && git merge side && git log --format=%s -1",
        // content conflict, resolved and continued ("Auto-merging" lines are the host's own)
        base + "printf '1\\nX\\n3\\n4\\n5\\n6\\n' > f && git commit -qam ours && git switch -q side && "
               "printf '1\\nY\\n3\\n4\\n5\\n6\\n' > f && git commit -qam theirs && git switch -q main && "
               "git merge side 2>&1 | grep -v ^Auto-merging; cat f && head -1 .git/MERGE_MSG | tr -d '\\n' && echo && "
               "echo fixed > f && git add f && git merge --continue >/dev/null && git log --format='%s' -1 && "
               "cat f && git status --short",
        // abort restores the tree
        base + "echo a > f && git commit -qam ours && git switch -q side && echo b > f && git commit -qam theirs && "
               "git switch -q main && git merge side >/dev/null 2>&1; git merge --abort && cat f && git status --short",
        // modify/delete and add/add
        base + "echo a > f && echo x > new && git add . && git commit -qm ours && git switch -q side && git rm -q f && "
               "echo y > new && git add new && git commit -qm theirs && git switch -q main && "
               "git merge side 2>&1 | grep -v ^Auto-merging; cat new && git status --short",
    });
}

TEST(GitMerge, TextMergeChunks) {
    struct TextCase {
        std::string base, ours, theirs, merged;
        bool conflict;
    };
    const std::vector<TextCase> cases = {
        // insertions after different lines merge in order
        {"a\nb\nc\nd\ne\n", "a\nb\nc\nd\nO\ne\n", "a\nb\nc\nd\ne\nT\n", "a\nb\nc\nd\nO\ne\nT\n", false},
        // touching regions form one conflicting chunk
        {"1\n2\n3\n4\n5\n", "1\nX\nX\n4\n5\n", "1\n2\n3\nY\n5\n",
         "1\n<<<<<<< HEAD\nX\nX\n4\n=======\n2\n3\nY\n>>>>>>> b\n5\n", true},
        // the same insertion on both sides appears once
        {"a\n", "a\nn\n", "a\nn\n", "a\nn\n", false},
        // ours' side lacks a final newline
        {"a\n", "o", "t\n", "<<<<<<< HEAD\no\n=======\nt\n>>>>>>> b\n", true},
        // add/add with an empty base
        {"", "x\n", "y\n", "<<<<<<< HEAD\nx\n=======\ny\n>>>>>>> b\n", true},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.ours + "|" + c.theirs);
        auto [text, conflict] = git_merge_text(c.base, c.ours, c.theirs, "HEAD", "b");
        EXPECT_EQ(text, c.merged);
        EXPECT_EQ(conflict, c.conflict);
    }
}

TEST(GitMerge, EntriesRenamesModesAndLinks) {
    const std::string repo = std::string(kRepo) +
                             "printf '1\\n2\\n3\\n' > f && echo l > target && ln -s target l && echo e > e && "
                             "git add . && git commit -qm base && git branch side && ";
    expect_cases({
        // a rename on ours follows theirs' edit to the new path
        {repo + "git mv f f2 && git commit -qm mv && git switch -q side && printf '1\\n2\\nT\\n' > f && "
                "git commit -qam edit && git switch -q main && git merge -q side 2>/dev/null && ls && cat f2",
         "e\nf2\nl\ntarget\n1\n2\nT\n"},
        // our mode change survives their edit
        {repo + "chmod +x e && git commit -qam x && git switch -q side && echo E >> f && chmod -x e && echo E > e && "
                "git commit -qam y && git switch -q main && git merge -q side && git ls-files -s e | cut -c1-6",
         "100755\n"},
        // links changed on both sides stay links and conflict
        {repo + "rm l && ln -s a l && git commit -qam a && git switch -q side && rm l && ln -s b l && git commit -qam b && "
                "git switch -q main && git merge side; readlink l",
         "a\n", 0, "CONFLICT (content): Merge conflict in l\n"
                   "Automatic merge failed; fix conflicts and then commit the result.\n"},
        // staged work is never dropped by a true merge
        {repo + "echo o >> f && git commit -qam o && git switch -q side && echo t > e && git commit -qam t && "
                "git switch -q main && echo new > n && git add n && git merge side; git diff --cached --name-only",
         "n\n", 0, "error: Your local changes would be overwritten by merge.\n"},
        {repo + "git merge --quit", "", 129, "error: unsupported merge option: --quit\n"},
        {repo + "git merge --abort; git merge --continue; git merge nope; git merge; echo $?",
         "129\n", 0,
         "fatal: There is no merge in progress (merge --abort).\n"
         "fatal: There is no merge in progress (merge --continue).\n"
         "merge: nope - not something we can merge\nusage: git merge [--no-ff|--ff-only] BRANCH\n"},
        // a local change in the way; then a conflict that cannot be continued until resolved
        {repo + "echo a > f && git commit -qam a && git switch -q side && echo b > f && git commit -qam b && "
                "git switch -q main && echo local > f && git merge side; cat f && git checkout -q f && "
                "git merge --ff-only side; git merge side 2>/dev/null; git merge --continue; echo $? && "
                "cat .git/MERGE_HEAD | wc -c && git commit -qm x; echo $?",
         "local\n1\n41\n1\n", 0,
         "error: Your local changes would be overwritten by merge.\n"
         "fatal: Not possible to fast-forward, aborting.\n"
         "error: Committing is not possible because you have unmerged files.\n"
         "error: Committing is not possible because you have unmerged files.\n"
         "hint: Fix them up in the work tree, and then use 'git add/rm <file>'\n"
         "hint: as appropriate to mark resolution and make a commit.\n"
         "fatal: Exiting because of an unresolved conflict.\n"},
        // --no-ff on a fast-forward makes a merge commit with both parents and their tree
        {repo + "git switch -q side && echo s > s && git add s && git commit -qm s && git switch -q main && "
                "git merge -q --no-ff -m joined side && git log --format='%s' -1 && git log --format=%p -1 | wc -w && "
                "git diff side HEAD | wc -c",
         "joined\n2\n0\n"},
    });
}

TEST(GitCompare, CherryPickAndRevertMatchHostGit) {
    const std::string base =
        "printf '1\\n2\\n3\\n' > f && git add f && git commit -qm one && git branch side && git switch -q side && "
        "echo a > a && git add a && git commit -qm A && printf '1\\nB\\n3\\n' > f && git commit -qam B && "
        "echo c > c && git add c && git commit -qm C && git switch -q main && ";
    expect_same_as_host({
        base + "git cherry-pick side~2 side | grep -v '^ Date:' && cat f && ls && git log --format=%s",
        base + "git cherry-pick side~1 >/dev/null && git revert HEAD | grep -v '^ Date:' && git log --format=%B -1 | sed 's/[0-9a-f]\\{40\\}/ID/' "
               "&& cat f",
        base + "git cherry-pick -n side~2 side && git status --short && git log --format=%s",
        // a conflict in the middle of a sequence, resolved and continued
        base + "printf '1\\nX\\n3\\n' > f && git commit -qam X && git cherry-pick side~2 side~1 side 2>/dev/null | grep -v -e ^Auto -e ^CONFLICT | "
               "grep -v '^ Date:'; ls .git/CHERRY_PICK_HEAD && printf '1\\nXB\\n3\\n' > f && git add f && "
               "git cherry-pick --continue >/dev/null; git log --format=%s && ls && git status --short",
        base + "printf '1\\nX\\n3\\n' > f && git commit -qam X && git cherry-pick side~2 side~1 side >/dev/null 2>&1; "
               "git cherry-pick --abort && git log --format=%s && cat f && git status --short",
    });
}

// Rebases compared by their results: the host's git reports on standard error with progress
// lines and hints of its own, where the machine writes "Successfully rebased" and the
// up-to-date line to standard output and its own conflict hints.
TEST(GitCompare, RebaseMatchesHostGit) {
    const std::string base =
        "printf '1\\n2\\n3\\n' > f && git add f && git commit -qm one && git branch side && echo m > m && "
        "git add m && at 1700000100 && git commit -qm M && git switch -q side && echo a > a && git add a && "
        "at 1700000200 && git commit -qm A && printf '1\\nB\\n3\\n' > f && git commit -qam B && ";
    const std::string done = " >/dev/null 2>&1; echo rc=$?; ";
    expect_same_as_host({
        // replayed onto the moved upstream, author times kept; then up to date
        base + "git rebase main" + done + "git log --format='%s %at' && git branch --show-current && ls && "
               "git reflog | head -4 && git rebase main 2>&1",
        // a branch without own commits is moved to its upstream
        base + "git switch -q main && git rebase side" + done + "git log --format=%s && ls",
        // the upstream already holds one of the changes: no commit for it
        base + "git switch -q main && echo a > a && git add a && git commit -qm A2 && git switch -q side && "
               "git rebase main" + done + "git log --format=%s",
        // a conflict, resolved and continued
        base + "git switch -q main && printf '1\\nX\\n3\\n' > f && git commit -qam X && git switch -q side && "
               "echo c > c && git add c && git commit -qm C && git rebase main" + done +
               "cat f && git status --short && echo XB > f && git add f && git rebase --continue" + done +
               "git log --format=%s && cat f && ls && git branch --show-current",
        // a conflict skipped, then one aborted
        base + "git switch -q main && printf '1\\nX\\n3\\n' > f && git commit -qam X && git switch -q side && "
               "git rebase main" + done + "git rebase --skip" + done + "git log --format=%s && git status --short && "
               "git reset -q --hard ORIG_HEAD && git rebase main" + done + "git rebase --abort" + done +
               "git log --format=%s && cat f && git status --short && git branch --show-current",
        // --onto and a BRANCH operand
        base + "git switch -q -c topic side~1 && echo t > t && git add t && git commit -qm T && git switch -q main && "
               "git rebase --onto main side~1 topic" + done + "git branch --show-current && git log --format=%s",
    });
}

// The host's stash list and show match. Where the machine differs on purpose: a refused or
// conflicting apply does not list the status, a bad reference is fatal (128) or a usage error
// (129) where the host reports an error with status 1, and a message keeps its tabs.
TEST(GitCompare, StashMatchesHostGit) {
    const std::string base = "printf '1\\n2\\n3\\n' > f && echo g > g && git add . && git commit -qm one && ";
    expect_same_as_host({
        base + "git stash && echo x >> f && echo u > u && git stash && git status --short && git stash list && "
               "git stash show && git stash show -p && echo n > n && git add n && git stash push -m second && "
               "git stash list && ls && git stash pop && git stash list && git stash apply stash@{0} && cat f",
        base + "echo u > u && git stash -u && ls && git stash pop | tail -1 | cut -c1-24 && ls && "
               "git stash clear && git stash list",
        // local changes in the way and a conflicting pop
        base + "echo s >> f && git stash -q && echo t >> f && git stash pop >/dev/null 2>&1; echo rc=$? && "
               "git stash list && cat f && git commit -qam t && git stash pop >/dev/null 2>&1; echo rc=$? && cat f && "
               "git stash list",
    });
}

// `git apply` against the host's: statistics (a deleted file counted for itself), checks and the
// index modes. The host's --summary lists creations and deletions where the machine prints
// nothing, and its failure messages are its own.
TEST(GitCompare, ApplyMatchesHostGit) {
    const std::string base =
        "printf '1\\n2\\n3\\n' > f && echo d > del && git add . && git commit -qm one && printf '1\\nB\\n3\\n' > f && "
        "mkdir -p sub && printf 'n\\nn2\\n' > sub/n && git add -A && git rm -q del && git diff --cached > ../p && "
        "git reset -q --hard && rm -rf sub && ";
    expect_same_as_host({
        base + "git apply --stat ../p && git apply --numstat ../p && git apply --check ../p && git status --short && "
               "git apply --cached --check ../p && git status --short",
        base + "git apply ../p && git status --short && cat f sub/n && git apply -R ../p && git status --short && cat f",
        base + "git apply --cached ../p && git status --short && git apply --index -R ../p 2>/dev/null; echo rc=$? && "
               "git reset -q --hard && git apply --index ../p && git status --short && git diff --cached --stat",
        base + "git apply --stat < ../p && git apply nope; echo rc=$?",
    });
}

TEST(GitCherryPick, RefusalsAndMachineForms) {
    const std::string repo = std::string(kRepo) +
                             "echo 1 > f && git add f && git commit -qm one && echo 2 > f && git commit -qam two && ";
    expect_cases({
        {repo + "git cherry-pick HEAD; ls .git/SEQUENCER", ".git/SEQUENCER\n", 0,
         "The previous cherry-pick is now empty, possibly due to conflict resolution.\nfatal: cherry-pick failed\n"},
        {repo + "git cherry-pick -m 0 HEAD", "", 129, "error: cherry-pick -m wants a parent number\n"},
        {repo + "git revert -m 1 HEAD 2>&1 | sed 's/[0-9a-f]\\{40\\}/ID/'",
         "error: mainline was specified but commit ID is not a merge.\nfatal: revert failed\n"},
        {repo + "git cherry-pick HEAD nope; git cherry-pick -x HEAD; git revert", "", 129,
         "fatal: bad revision 'nope'\nerror: unsupported cherry-pick option: -x\nusage: git revert [-n] [-m PARENT] COMMIT...\n"},
        {repo + "git cherry-pick --continue; git revert --skip", "", 128,
         "fatal: There is no cherry-pick in progress (cherry-pick --continue).\n"
         "fatal: There is no revert in progress (revert --abort).\n"},
    });
}

// ---- rewriting: rebase, stash, apply ----

constexpr const char* kMaskIds = " 2>&1 | sed 's/[0-9a-f]\\{7,40\\}/ID/g'";

TEST(GitRebase, ConflictStateContinueAndMachineForms) {
    const std::string repo = std::string(kRepo) +
                             "printf '1\\n2\\n3\\n' > f && git add f && git commit -qm one && git branch side && "
                             "printf '1\\nX\\n3\\n' > f && git commit -qam X && git switch -q side && ";
    const std::string three = repo + "echo a > a && git add a && git commit -qm A && printf '1\\nB\\n3\\n' > f && "
                                     "git commit -qam B && echo c > c && git add c && git commit -qm C && ";
    expect_cases({
        // a conflict on the second of three commits: the first is replayed, the state holds the rest
        {three + "git rebase main" + kMaskIds + "; grep -c todo .git/REBASE_STATE && git log --format=%s -1 && "
                 "git branch --show-current; git rebase --continue; echo $?; git rebase main; echo $?",
         "CONFLICT (content): Merge conflict in f\n"
         "error: could not apply ID (B)\n"
         "hint: Resolve all conflicts manually, mark them as resolved with\n"
         "hint: \"git add/rm <pathspec>\", then run \"git rebase --continue\".\n"
         "hint: You can instead skip this commit: run \"git rebase --skip\".\n"
         "hint: To abort and get back to the state before \"git rebase\", run\n"
         "hint: \"git rebase --abort\".\n2\nA\n1\n128\n",
         0,
         "error: you have unmerged paths\nhint: Mark them resolved with \"git add/rm <pathspec>\".\n"
         "fatal: a rebase is already in progress\nhint: try \"git rebase --continue\" or \"git rebase --abort\"\n"},
        // the resolution is committed with the "continue" action, then the rest is replayed
        {three + "git rebase main >/dev/null 2>&1; echo XB > f && git add f && git rebase --continue" + kMaskIds +
                 " && git reflog" + kMaskIds + " | head -3 && ls .git | grep -e REBASE -e MERGE | wc -l",
         "[detached HEAD ID] B\n 1 file changed, 1 insertion(+), 3 deletions(-)\n"
         "Successfully rebased and updated refs/heads/side.\n"
         "ID HEAD@{0}: rebase (finish): returning to refs/heads/side\nID HEAD@{1}: rebase (pick): C\n"
         "ID HEAD@{2}: rebase (continue): B\n0\n"},
        // a resolution equal to HEAD drops the commit
        {repo + "printf '1\\nB\\n3\\n' > f && git commit -qam B && git rebase main >/dev/null 2>&1; "
                "git checkout -q HEAD -- f && git add f && git rebase --continue && git log --format=%s",
         "Successfully rebased and updated refs/heads/side.\nX\none\n"},
        // --abort puts the branch back and leaves no trace of the stopped replay
        {repo + "echo n > n && printf '1\\nB\\n3\\n' > f && git add -A && git commit -qm B && "
                "git rebase main >/dev/null 2>&1; git rebase --abort && ls && cat f && git status --short && "
                "git branch --show-current && git log --format=%s && ls .git | grep -e REBASE -e MERGE | wc -l",
         "f\nn\n1\nB\n3\nside\nB\none\n0\n"},
        // --skip drops the stopped commit and goes on
        {three + "git rebase main >/dev/null 2>&1; git rebase --skip && git log --format=%s && git status --short && ls",
         "Successfully rebased and updated refs/heads/side.\nC\nA\nX\none\na\nc\nf\n"},
        // up to date: two commits ahead of an unchanged upstream, nothing written
        {repo + "echo a > a && git add a && git commit -qm A && git rebase main~1; echo $? && ls .git/ORIG_HEAD",
         "Current branch side is up to date.\n0\n", 2, "ls: cannot access '.git/ORIG_HEAD': No such file or directory\n"},
        // no own commits: the branch moves to the upstream
        {repo + "git rebase main && git reflog -1 | cut -d' ' -f2-",
         "Successfully rebased and updated refs/heads/side.\nHEAD@{0}: rebase (finish): returning to refs/heads/side\n"},
    });
}

TEST(GitRebase, Refusals) {
    const std::string repo = std::string(kRepo) +
                             "echo 1 > f && git add f && git commit -qm one && git branch side && echo 2 > f && "
                             "git commit -qam two && git switch -q side && echo s > s && git add s && git commit -qm s && ";
    expect_cases({
        {repo + "git rebase -i main; git rebase; git rebase --frob main; git rebase --onto; git rebase nope; "
                "git rebase --onto nope main; git rebase --skip; git rebase --abort",
         "", 128,
         "fatal: interactive rebase is not supported here\nusage: git rebase [--onto NEWBASE] UPSTREAM [BRANCH]\n"
         "error: unsupported rebase option: --frob\nerror: --onto requires a revision\n"
         "fatal: invalid upstream 'nope'\nfatal: invalid reference 'nope'\n"
         "fatal: No rebase in progress?\nfatal: No rebase in progress?\n"},
        {repo + "echo d >> s && git rebase main; git add s && git rebase main; git reset -q --hard && "
                "git checkout -q $(git rev-parse HEAD) && git rebase main; echo $?",
         "128\n", 0,
         "error: cannot rebase: You have unstaged changes.\nerror: Please commit or stash them.\n"
         "error: cannot rebase: Your index contains uncommitted changes.\nerror: Please commit or stash them.\n"
         "fatal: rebasing a detached HEAD is not supported here\n"},
        // --onto with an upstream that is an ancestor still replays
        {repo + "git rebase -q --onto main main~1 side && git log --format=%s && git branch --show-current",
         "Successfully rebased and updated refs/heads/side.\ns\ntwo\none\nside\n"},
    });
}

TEST(GitStash, ListFileIdsAndMachineForms) {
    const std::string repo = std::string(kRepo) + "printf '1\\n2\\n3\\n' > f && git add f && git commit -qm one && ";
    expect_cases({
        // ids grow from 1; a message keeps its tabs and loses its line breaks; clear starts again at 1
        {repo + "echo a >> f && git stash -q && echo b >> f && git stash -q -m 'tab\tin' && echo c >> f && "
                "git stash -q -m 'two\nlines' && cut -f1 .git/stash-list && ls .git/stash && git stash list" +
                kMaskIds + " && git stash clear && git stash list && echo d >> f && git stash -q && cut -f1 .git/stash-list",
         "3\n2\n1\n1.index\n1.work\n2.index\n2.work\n3.index\n3.work\n"
         "stash@{0}: On main: two lines\nstash@{1}: On main: tab\tin\nstash@{2}: WIP on main: ID one\n1\n"},
        // lines that do not parse are skipped
        {repo + "echo a >> f && git stash -q && printf 'x\\tb\\tc\\td\\n1\\tonly\\n' >> .git/stash-list && git stash list" +
                kMaskIds,
         "stash@{0}: WIP on main: ID one\n"},
        {repo + "echo a >> f && git stash -q && git stash drop stash@{5}; git stash drop foo; git stash show -x; "
                "git stash pop x; git stash frob; git stash -m; echo $?",
         "129\n", 0,
         "fatal: stash@{5} is not a valid reference\nusage: git stash drop [stash@{N}]\n"
         "error: unsupported stash option: -x\nusage: git stash pop [stash@{N}]\n"
         "error: unsupported stash command: frob\nerror: -m requires a message\n"},
        // quiet pop writes nothing, untracked files stay without -u
        {repo + "echo a >> f && echo u > u && git stash -q && ls && git stash -q pop && cat f && git stash list",
         "f\nu\n1\n2\n3\na\n"},
        {repo + "git stash && echo u > u && git stash && git stash list && git stash show; echo $?",
         "No local changes to save\nNo local changes to save\n128\n", 0,
         "fatal: stash@{0} is not a valid reference\n"},
        // a staged-only change to a stashed file does not block apply; unmerged paths block push
        {repo + "printf '1\\n2\\nS\\n' > f && git stash -q && printf 'T\\n2\\n3\\n' > f && git add f && "
                "git stash apply >/dev/null && cat f && git reset -q --hard && git switch -q -c b && echo B > f && "
                "git commit -qam b && git switch -q main && echo M > f && git commit -qam m && "
                "git merge b >/dev/null 2>&1; git stash; echo $?",
         "T\n2\nS\n1\n", 0, "f: needs merge\nerror: could not write index\n"},
        // a conflicting pop keeps the entry
        {repo + "echo s >> f && git stash -q && echo t >> f && git commit -qam t && git stash pop; echo $? && "
                "cat f && git stash list | wc -l && cat .git/MERGE_STAGES | wc -l",
         "1\n1\n2\n3\n<<<<<<< Updated upstream\nt\n=======\ns\n>>>>>>> Stashed changes\n1\n3\n", 0,
         "CONFLICT (content): Merge conflict in f\nThe stash entry is kept in case you need it again.\n"},
        {std::string(kRepo) + "echo a > a && git stash", "", 128, "fatal: You do not have the initial commit yet\n"},
    });
}

TEST(GitApply, ModesAndMendedCounts) {
    const std::string repo = std::string(kRepo) +
                             "printf '1\\n2\\n3\\n' > a && echo z > z && git add . && git commit -qm one && ";
    const std::string patch = "diff --git a/a b/a\n--- a/a\n+++ b/a\n@@ -1,3 +1,3 @@\n 1\n-2\n+B\n 3\n"
                              "diff --git a/z b/z\ndeleted file mode 100644\n--- a/z\n+++ /dev/null\n@@ -1 +0,0 @@\n-z\n";
    const std::string created = "--- /dev/null\n+++ b/n\n@@ -0,0 +1,2 @@\n+n\n+m\n";
    const std::string envelope = "*** Begin Patch\n*** Update File: a\n@@\n 1\n-2\n+E\n*** End Patch\n";
    expect_cases({
        // each file's lines count for that file, a deleted one included
        {repo + "cat > ../p && git apply --numstat ../p && git apply --stat < ../p && git apply --summary ../p",
         "1\t1\ta\n0\t1\tz\n a |    2 +-\n z |    1 -\n 2 files changed, 1 insertion(+), 2 deletions(-)\n", 0, "",
         patch},
        // a check never changes the index or the work tree, cached or not
        {repo + "cat > ../p && git apply --cached --check ../p && git apply --check ../p && git status --short && "
                "cat a && echo 9 > a && git add a && git apply --cached --check ../p; echo $? && git status --short",
         "1\n2\n3\n1\nM  a\n", 0, "error: patch failed at line 1\nerror: patch does not apply\n", patch},
        // --cached: a new file gets a plain entry and a blob, the work tree is untouched
        {repo + "git apply --cached && git status --short && git ls-files -s n | cut -c1-6 && git show :n",
         "AD n\n100644\nn\nm\n", 0, "", created},
        // context that matches the work tree but not the index
        {repo + "echo 9 > a && git add a && printf '1\\n2\\n3\\n' > a && git apply --cached; echo $? && git show :a",
         "1\n9\n", 0, "error: patch failed at line 1\nerror: patch does not apply\n", patch},
        // -R of a creation deletes the file again
        {repo + "printf 'n\\nm\\n' > n && git apply -R && ls", "a\nz\n", 0, "", created},
        {repo + "cat > ../p && git apply ../p && cat a && git checkout a && git apply --index ../p && "
                "git status --short && git reset -q --hard && git apply --cached ../p && git show :a && cat a",
         "1\nE\n3\nM  a\n1\nE\n3\n1\n2\n3\n", 0, "", envelope},
        {repo + "printf -- '--- a\\n+++ a\\n@@ -1 +1 @@\\n-1\\n+one\\n' > ../p && "
                "git apply -p0 ../p && head -1 a && git apply --frobnicate ../p; echo $?",
         "one\n2\n", 0, "git: unsupported apply option: --frobnicate\n"},
        {repo + "git apply nope; echo $?; cd / && git apply --cached", "128\n", 128,
         "error: can't open patch 'nope': No such file or directory\n"
         "fatal: not a git repository (or any parent up to mount point /)\n"
         "Stopping at filesystem boundary (GIT_DISCOVERY_ACROSS_FILESYSTEM not set).\n", created},
    });
}

}  // namespace
}  // namespace tw::command_test
