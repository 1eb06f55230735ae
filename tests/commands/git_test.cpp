// git inside the machine: the store's ids, the command entry, init, add, commit, status and
// rev-parse.
#include <gtest/gtest.h>

#include "case_fixture.h"
#include "commands/git/store.h"

namespace tw::command_test {
namespace {

constexpr const char* kSetup = "mkdir -p /w && cd /w && git init -q && ";

TEST(GitStore, BlobIdsEqualRealGit) {
    EXPECT_EQ(git_blob_id("hi\n"), "45b983be36b73c0788dc9cbcb76cbb80fc7bb057");
    EXPECT_EQ(git_blob_id("hello\n"), "ce013625030ba8dba906f756967f9e9ca394464a");
    EXPECT_EQ(git_blob_id(""), "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391");
}

TEST(GitStore, TreeTextRoundTripsAndRejectsMalformedLines) {
    std::string id(40, 'a');
    GitTree tree{{"a/b", {id, false, false}}, {"c", {id, true, false}}, {"l", {id, false, true}}};
    std::string text = git_format_tree(tree);
    EXPECT_EQ(text, "612f62\t" + id + "\n63\t" + id + "\t100755\n6c\t" + id + "\t120000\n");
    EXPECT_EQ(git_parse_tree(text), tree);
    for (std::string bad : {"6g\t" + id + "\n", "612\t" + id + "\n", "61\t" + id.substr(1) + "\n", std::string("\n")})
        EXPECT_FALSE(git_parse_tree(bad).has_value()) << bad;
    auto loose = git_parse_tree("61\t" + id + "\t777\n");
    ASSERT_TRUE(loose);
    EXPECT_FALSE(loose->at("a").executable);
}

TEST(GitStore, CommitTextParsesAuthorAtLastAngle) {
    auto c = git_parse_commit("parent p1\nauthor A <b> <a@x> -5 +0000\n\nmsg\n");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->parents, std::vector<std::string>{"p1"});
    EXPECT_EQ(c->author_name, "A <b>");
    EXPECT_EQ(c->author_email, "a@x");
    EXPECT_EQ(c->time, -5);
    EXPECT_EQ(c->message, "msg\n");
    EXPECT_EQ(git_parse_commit("author A <a> zz +0000\n\nm")->time, 0);
    EXPECT_FALSE(git_parse_commit("author A a\n\nm"));
}

TEST(GitStore, GlobAndPathspecs) {
    EXPECT_TRUE(git_pathspec_match("*.c", "src/x/y.c"));
    EXPECT_TRUE(git_pathspec_match("src", "src/a"));
    EXPECT_TRUE(git_pathspec_match("src", "src"));
    EXPECT_FALSE(git_pathspec_match("src", "srcx"));
    EXPECT_FALSE(git_pathspec_match("a?c", "a/c"));
    EXPECT_FALSE(git_glob_match("[!a]", "/"));
    EXPECT_TRUE(git_glob_match("[a-", "[a-"));
    EXPECT_TRUE(git_glob_match("**/x", "x"));
    EXPECT_TRUE(git_glob_match("**/x", "a/x"));
}

TEST(GitStore, IgnoreRules) {
    std::vector<IgnoreRule> rules;
    git_parse_ignore_rules(rules, "", ".gitignore", "*.log\n!keep.log\n/a.txt\nbuild/\n!build/x.o\n  foo\n # x\n#c\n");
    EXPECT_FALSE(git_is_ignored(rules, "keep.log"));
    EXPECT_FALSE(git_is_ignored(rules, "d/keep.log"));
    EXPECT_TRUE(git_is_ignored(rules, "d/x.log"));
    EXPECT_TRUE(git_is_ignored(rules, "a.txt"));
    EXPECT_FALSE(git_is_ignored(rules, "d/a.txt"));
    EXPECT_TRUE(git_is_ignored(rules, "build/x.o"));
    EXPECT_TRUE(git_is_ignored(rules, "  foo"));
    EXPECT_TRUE(git_is_ignored(rules, " # x"));
}

TEST(GitStore, ConfigTextAndWriter) {
    GitConfig c = git_config_parse_text("[user]\nname = A\nname = B\n[Remote \"Origin\"]\nurl = \"u\"\n[core]\nbare\n");
    EXPECT_EQ(git_config_last(c, "user.name"), "B");
    EXPECT_EQ(git_config_last(c, "remote.Origin.url"), "u");
    EXPECT_EQ(git_config_last(c, "core.bare"), "true");
    EXPECT_EQ(git_write_config(c), "[core]\n\tbare = true\n[remote \"Origin\"]\n\turl = u\n[user]\n\tname = A\n\tname = B\n");
}

TEST(GitCommand, EverydayLoop) {
    Ran r = run(std::string(kSetup) + "echo hi > a && git add a && git commit -qm m && git status --short && git hash-object a");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "45b983be36b73c0788dc9cbcb76cbb80fc7bb057\n");
    EXPECT_EQ(r.status, 0);
    Ran first = run(std::string(kSetup) + "echo hi > a && git add a && git commit -m m | sed 's/ [0-9a-f]\\{7\\}]/ X]/'");
    EXPECT_EQ(first.out, "[main (root-commit) X] m\n 1 file changed, 1 insertion(+)\n create mode 100644 a\n");
}

TEST(GitCommand, EntryErrorsAndStatuses) {
    expect_cases({
        {"cd / && git status", "", 128,
         "fatal: not a git repository (or any parent up to mount point /)\n"
         "Stopping at filesystem boundary (GIT_DISCOVERY_ACROSS_FILESYSTEM not set).\n"},
        {"git --version status", "git version 2.45.0 (tarnwick)\n"},
        {"git -q status", "", 129, "error: unsupported global option: -q\n"},
        {"git --work-tree=x status", "", 129, "error: --work-tree is unsupported; run git inside the tree\n"},
        {"git -c foo=bar status", "", 128, "fatal: invalid config key: foo\n"},
        {"git -c user.name status", "", 129, "error: -c requires NAME=VALUE\n"},
        {"git fetch", "", 128, "fatal: git fetch needs network access, which the simulation does not provide\n"},
        {"git gc", "", 129, "error: unsupported subcommand: gc\n"},
        {"git frob", "", 1, "git: 'frob' is not a git command. See 'git --help'.\n"},
        {std::string(kSetup) + "git status --frob", "", 129, "error: unsupported status option: --frob\n"},
        {std::string(kSetup) + "git add", "", 0, "Nothing specified, nothing added.\nhint: Maybe you wanted to say 'git add .'?\n"},
        {std::string(kSetup) + "git rev-parse", "", 128,
         "fatal: ambiguous argument 'HEAD': unknown revision or path not in the working tree.\n"
         "Use '--' to separate paths from revisions, like this:\n'git <command> [<revision>...] -- [<file>...]'\n"},
    });
}

TEST(GitCommand, AliasLoopIsBounded) {
    Ran r = run(std::string(kSetup) + "git -c alias.a=b -c alias.b=a a");
    EXPECT_EQ(r.status, 128);
    EXPECT_EQ(r.err, "fatal: alias loop detected: expansion of 'a' does not terminate\n");
    Ran ok = run(std::string(kSetup) + "git -c alias.st='status --short' st");
    EXPECT_EQ(ok.status, 0);
}

TEST(GitCommand, InitLayoutAndReinit) {
    Ran r = run("mkdir /w && cd /w && git init && cat .git/HEAD .git/config && git init -b x && cat .git/HEAD");
    EXPECT_EQ(r.out,
              "Initialized empty Git repository in /w/.git/\nref: refs/heads/main\n[core]\n\tbare = false\n"
              "\tfilemode = true\n\tlogallrefupdates = true\n\trepositoryformatversion = 0\n"
              "Reinitialized existing Git repository in /w/.git/\nref: refs/heads/main\n");
}

TEST(GitCommand, StatusLongFormAndSameSizeRewrite) {
    Ran r = run(std::string(kSetup) +
                "echo aa > a && echo b > b && mkdir d && echo c > d/c && git add a b && git commit -qm m && "
                "echo bb > a && rm b && echo n > n && git add n && git status && "
                "git add -A && git commit -qm two && echo xy > a && git status --short");
    EXPECT_EQ(r.out,
              "On branch main\nChanges to be committed:\n  (use \"git restore --staged <file>...\" to unstage)\n"
              "\tnew file:   n\n\nChanges not staged for commit:\n"
              "  (use \"git add <file>...\" to update what will be committed)\n"
              "  (use \"git restore <file>...\" to discard changes in working directory)\n"
              "\tmodified:   a\n\tdeleted:    b\n\nUntracked files:\n"
              "  (use \"git add <file>...\" to include in what will be committed)\n\td/\n\n"
              " M a\n");
}

TEST(GitCommand, RevParseQueries) {
    Ran r = run(std::string(kSetup) +
                "mkdir -p x/y && echo hi > a && git add a && git commit -qm m && cd x/y && git rev-parse --show-prefix "
                "--x && git rev-parse --show-cdup && git rev-parse --abbrev-ref HEAD && git rev-parse HEAD:a && "
                "test $(git rev-parse HEAD^{tree}) = $(git rev-parse HEAD:) && git rev-parse --short HEAD | wc -c");
    EXPECT_EQ(r.out, "x/y/\n../../\nmain\n45b983be36b73c0788dc9cbcb76cbb80fc7bb057\n8\n");
    EXPECT_EQ(r.status, 0);
}

TEST(GitCommand, IgnoredOperandsAndUnreadableFiles) {
    Ran r = run(std::string(kSetup) + "echo '*.log' > .gitignore && echo x > x.log && git add x.log");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "The following paths are ignored by one of your .gitignore files:\nx.log\n"
              "hint: Use -f if you really want to add them.\nfatal: no files added\n");
}

// A tracked file larger than the memory budget cannot be read: the scan reports it and fails
// instead of leaving it out, so `git add .` never stages the removal of a file that exists.
TEST(GitCommand, UnreadableTrackedFileIsNotStagedAsDeleted) {
    MachineLimits limits = kRoomyLimits;
    limits.memory = 64ULL << 20;
    Machine m = fresh_machine(limits);
    ASSERT_EQ(run_in(m, std::string(kSetup) + "echo small > big && git add big && git commit -qm m").status, 0);
    put_file(m, "/w/big", std::string((64ULL << 20) + 1, 'x'));
    Ran r = run_in(m, "cd /w && git add .");
    EXPECT_EQ(r.status, 128);
    EXPECT_TRUE(r.err.starts_with("fatal: unable to read 'big'")) << r.err;
    EXPECT_TRUE(file_contents(m, "/w/.git/index").starts_with("626967\t")) << file_contents(m, "/w/.git/index");
}

}  // namespace
}  // namespace tw::command_test
