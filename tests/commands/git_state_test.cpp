// git inside the machine: HEAD moves, ref names, configuration services, the state files of a
// pending operation as commit and status see them, restoring paths, the path selections of the
// status family, and a work tree of 10,000 files.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "case_fixture.h"
#include "commands/git/op_state.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscalls.h"

namespace tw::command_test {
namespace {

constexpr const char* kSetup = "mkdir -p /w && cd /w && git init -q && ";
const std::string kA(40, 'a');
const std::string kB(40, 'b');
const std::string kC(40, 'c');

// ---- pure services ----

TEST(GitRefs, NameCheck) {
    for (std::string_view good : {"main", "feature/x", "v1.0", "a-b_c"}) EXPECT_TRUE(git_ref_name_is_valid(good)) << good;
    for (std::string_view bad : {"", "-x", "x/", "/x", "a..b", "a b", "a\u00a0b", "a:b", "a\\b", "a~1", "a^", "a?",
                                 "a*", "a[b"})
        EXPECT_FALSE(git_ref_name_is_valid(bad)) << bad;
}

TEST(GitConfigServices, RemotesOutputLinesAndIdentityFields) {
    GitConfig c = git_config_parse_text(
        "[remote \"origin\"]\nurl = a\nurl = b\n[remote \"up\"]\nurl = u\nfetch = f\n[user]\nname = N\nemail =\n");
    EXPECT_EQ(git_remote_urls(c), (std::vector<std::pair<std::string, std::string>>{{"origin", "b"}, {"up", "u"}}));
    Bytes out;
    for (std::string_view v : {"Yes", "", "2", "on"}) git_config_output_line("k=", v, true, out);
    git_config_output_line("", "Yes", false, out);
    EXPECT_EQ(out, "k=true\nk=true\nk=false\nk=true\nYes\n");
    std::map<std::string, std::string> env{{"GIT_AUTHOR_NAME", ""}, {"GIT_AUTHOR_EMAIL", "e@x"}};
    EXPECT_EQ(git_identity_field(env, c, "GIT_AUTHOR_NAME", "user.name", "d"), "N");
    EXPECT_EQ(git_identity_field(env, c, "GIT_AUTHOR_EMAIL", "user.email", "d"), "e@x");
    EXPECT_EQ(git_identity_field({}, c, "GIT_AUTHOR_EMAIL", "user.email", "d"), "");
    EXPECT_EQ(git_identity_field({}, {}, "GIT_AUTHOR_NAME", "user.name", "d"), "d");
    std::vector<std::string> args{"-q", "--x", "first", "second"};
    EXPECT_EQ(git_first_operand(args), "first");
}

TEST(GitStoreServices, SubtreesPrefixesAndCounts) {
    GitTree tree{{"a/b", {kA}}, {"a/c/d", {kB, true}}, {"ab", {kC}}, {"z", {kC}}};
    auto below = git_subtree_entries(tree, "a/");
    ASSERT_EQ(below.size(), 2u);
    EXPECT_EQ(below[0].first, "b");
    EXPECT_EQ(below[1].first, "c/d");
    EXPECT_TRUE(below[1].second.executable);
    EXPECT_EQ(git_commit_ids_with_prefix({"abc1.commit", "abc1.tree", "abd2.commit", "x"}, "abc"),
              std::vector<std::string>{"abc1"});
    EXPECT_EQ(git_parse_dash_count("-12"), 12u);
    for (std::string_view bad : {"-1x", "-", "-99999999999999999999", "12", "--3"})
        EXPECT_FALSE(git_parse_dash_count(bad)) << bad;
}

TEST(GitOpState, MergeStagesTextAndCodes) {
    MergeStages s = git_parse_merge_stages("1\tb1\tp\n1\tb2\tp\n2\to\tp\n3\tt\tp\n4\tx\tq\n2\to\ta\tb\nbad\n");
    EXPECT_EQ(s.at("p"), (MergeStageIds{"b2", "o", "t"}));
    EXPECT_EQ(git_unmerged_status_code(s.at("q")), "DD");
    EXPECT_EQ(git_unmerged_status_code(s.at("a\tb")), "UD");
    EXPECT_EQ(git_unmerged_status_code({std::nullopt, std::nullopt, "t"}), "DU");
    EXPECT_EQ(git_unmerged_status_code({std::nullopt, "o", "t"}), "AA");
    EXPECT_EQ(git_unmerged_status_code(s.at("p")), "UU");
    EXPECT_EQ(git_format_merge_stages(s), "2\to\ta\tb\n1\tb2\tp\n2\to\tp\n3\tt\tp\n");
    EXPECT_EQ(git_parse_merge_stages(git_format_merge_stages(s)).at("a\tb"), s.at("a\tb"));
}

TEST(GitSelections, FoldCleanOperandsAndDisplay) {
    GitTree tracked{{"src/a.c", {kA}}};
    EXPECT_EQ(git_fold_untracked({"new/deep/y.c", "new/x.c", "notes.txt", "src/b.c"}, tracked),
              (std::vector<std::string>{"new/", "notes.txt", "src/b.c"}));

    std::vector<IgnoreRule> rules;
    git_parse_ignore_rules(rules, "", ".gitignore", "*.o\n");
    GitTree scan{{"build/x", {kA}}, {"build/y.o", {kA}}, {"builder", {kA}}, {"src/a.c", {kA}}, {"t.o", {kA}}};
    EXPECT_EQ(git_clean_candidates(scan, tracked, rules, false, {}), (std::vector<std::string>{"build/x", "builder"}));
    EXPECT_EQ(git_clean_candidates(scan, tracked, rules, true, {"build"}),
              (std::vector<std::string>{"build/x", "build/y.o"}));
    EXPECT_TRUE(git_clean_candidates(scan, tracked, rules, true, {"bui"}).empty());

    EXPECT_EQ(git_checked_worktree_operand("/w/s", "/w", "../a")->path, "a");
    EXPECT_EQ(git_checked_worktree_operand("/w", "/w", "../x").error(), "pathspec '../x' is outside the working tree");
    EXPECT_EQ(git_checked_worktree_operand("/w", "/w", ".git/config").error(),
              "pathspec '.git/config' is outside the working tree");
    EXPECT_EQ(git_checked_worktree_operand("/w", "/w", ".").error(), "pathspec '.' does not name a file");

    GitTree index{{"d", {kA}}, {"d/a", {kA}}, {"d/b/c", {kA}}, {"dx", {kA}}};
    EXPECT_EQ(git_rm_selection(index, "d"), (std::vector<std::string>{"d", "d/a", "d/b/c"}));
    EXPECT_EQ(git_paths_under(index, "d/"), (std::vector<std::string>{"d/a", "d/b/c"}));

    EXPECT_EQ(git_display_path("src/", "src/a.c"), "a.c");
    EXPECT_EQ(git_display_path("src/", "README"), "../README");
    EXPECT_EQ(git_display_path("a/b/", "x.txt"), "../../x.txt");
    EXPECT_EQ(git_display_rename("s/", std::string("s/a"), "b"), "a -> ../b");
    Bytes line;
    git_write_change_line(GitChangeKind::Modified, "a.c", line);
    git_write_change_line(GitChangeKind::Deleted, "b", line);
    EXPECT_EQ(line, "\tmodified:   a.c\n\tdeleted:    b\n");
    EXPECT_EQ(git_continue_hint(false, "rebase"), "  (all conflicts fixed: run \"git rebase --continue\")\n");
}

// ---- in a machine ----

class GitMachine : public ::testing::Test {
protected:
    Machine m = fresh_machine();
    SyscallContext sys{m};

    Ran sh(const std::string& source) { return run_in(m, source); }
    std::string head_id() { return git_resolve_head(sys, "/w").value_or("<none>"); }
};

TEST_F(GitMachine, SwitchAndDetachMoveHeadWithReflog) {
    ASSERT_EQ(sh(std::string(kSetup) + "echo a > a && git add a && git commit -qm one").status, 0);
    std::string one = head_id();
    EXPECT_FALSE(git_switch_head_to_branch(sys, "/w", "topic", "checkout: moving from main to topic"));
    EXPECT_EQ(git_current_branch(sys, "/w"), "topic");
    EXPECT_EQ(git_reflog_read(sys, "/w").size(), 1u);  // unborn: no entry
    EXPECT_FALSE(git_write_ref(sys, "/w", "refs/heads/topic", one));
    EXPECT_FALSE(git_detach_head(sys, "/w", one, "checkout: moving to x"));
    EXPECT_FALSE(git_current_branch(sys, "/w"));
    EXPECT_EQ(file_contents(m, "/w/.git/HEAD"), one + "\n");
    EXPECT_FALSE(git_switch_head_to_branch(sys, "/w", "topic", "checkout: moving from x to topic"));
    auto log = git_reflog_read(sys, "/w");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].message, "checkout: moving from x to topic");
    EXPECT_EQ(log[1].old_id, one);
    EXPECT_EQ(git_list_branches(sys, "/w"), (std::vector<std::string>{"main", "topic"}));
    EXPECT_FALSE(git_remove_git_file(sys, "/w", "refs/heads/topic"));
    EXPECT_TRUE(git_remove_git_file(sys, "/w", "refs/heads/topic"));
    EXPECT_TRUE(git_arg_is_worktree_path(sys, "/w", "/w/a"));
    EXPECT_FALSE(git_arg_is_worktree_path(sys, "/w", "/w/nope"));
}

TEST_F(GitMachine, ConfigurationSourcesReplaceWholeKeys) {
    ASSERT_EQ(sh(std::string(kSetup) + "true").status, 0);
    put_file(m, git_global_config_path(sys), "[user]\n\tname = G1\n\tname = G2\n\temail = g@x\n[core]\n\tpager = p\n");
    put_file(m, "/w/.git/config", "[user]\n\tname = R\n");
    GitConfig c = git_load_config(sys, "/w", {});
    EXPECT_EQ(c.at("user.name"), std::vector<std::string>{"R"});
    EXPECT_EQ(git_config_last(c, "core.pager"), "p");
    EXPECT_EQ(git_load_config(sys, "/w", {{"user.name", "C"}}).at("user.name"), std::vector<std::string>{"C"});
    GitIdentity id = git_author_identity(sys, "/w", {});
    EXPECT_EQ(id.name, "R");
    EXPECT_EQ(id.email, "g@x");
    EXPECT_FALSE(git_save_config(sys, "/w", {{"remote.o.url", {"u"}}}));
    EXPECT_EQ(file_contents(m, "/w/.git/config"), "[remote \"o\"]\n\turl = u\n");
}

TEST_F(GitMachine, ArgumentsThatNamePaths) {
    ASSERT_EQ(sh(std::string(kSetup) + "mkdir -p d/e && echo a > d/e/f && git add d && rm -r d").status, 0);
    EXPECT_TRUE(git_arg_is_worktree_path(sys, "/w", "/w/d/e/f"));  // deleted but still in the index
    EXPECT_TRUE(git_arg_is_worktree_path(sys, "/w", "/w/d"));      // a directory prefix of the index
    EXPECT_FALSE(git_arg_is_worktree_path(sys, "/w", "/w/d/e/g"));
    EXPECT_FALSE(git_arg_is_worktree_path(sys, "/w", "/w/d/e/f/g"));
    EXPECT_TRUE(git_arg_is_worktree_path(sys, "/w", "/elsewhere"));
}

TEST_F(GitMachine, RestoringPaths) {
    ASSERT_EQ(sh(std::string(kSetup) +
                 "mkdir s && echo a > s/a && echo b > b && git add . && git commit -qm one && echo a2 > s/a && "
                 "echo n > n && git add s/a n && echo a3 > s/a && rm b")
                  .status,
              0);
    Bytes err;
    // The index copy of s/a back into the work tree; b is restored from the index too.
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::nullopt, {"s/a", "b"}, false, true}, err), 0);
    EXPECT_EQ(file_contents(m, "/w/s/a"), "a2\n");
    EXPECT_EQ(file_contents(m, "/w/b"), "b\n");
    // A path new in the index leaves it and stays in the work tree.
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::nullopt, {"n"}, true, false}, err), 0);
    EXPECT_FALSE(git_read_index(sys, "/w")->contains("n"));
    EXPECT_EQ(file_contents(m, "/w/n"), "n\n");
    // Both sides from HEAD.
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::string("HEAD"), {"s"}, true, true}, err), 0);
    EXPECT_EQ(file_contents(m, "/w/s/a"), "a\n");
    EXPECT_EQ(sh("cd /w && git status --short").out, "?? n\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::string("nope"), {"s"}, true, false}, err), 128);
    EXPECT_EQ(err, "fatal: unknown restore source\n");
    err.clear();
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::nullopt, {"zz"}, false, true}, err), 128);
    EXPECT_EQ(err, "fatal: pathspec 'zz' did not match any files\n");
}

TEST_F(GitMachine, RestoringADeletedTreeRemovesFilesAndEmptiedDirectories) {
    ASSERT_EQ(sh(std::string(kSetup) + "echo a > a && git add a && git commit -qm one && mkdir -p x/y && "
                                       "echo 1 > x/y/z && git add x")
                  .status,
              0);
    put_file(m, "/w/.git/MERGE_STAGES", "2\t" + kA + "\tx/y/z\n2\t" + kB + "\tother\n");
    Bytes err;
    EXPECT_EQ(git_restore_paths(sys, "/w", {std::string("HEAD"), {"x"}, true, true}, err), 0) << err;
    EXPECT_EQ(file_contents(m, "/w/x/y/z"), "<missing>");
    EXPECT_FALSE(sys.stat("/", "/w/x", false).has_value());
    EXPECT_EQ(file_contents(m, "/w/.git/MERGE_STAGES"), "2\t" + kB + "\tother\n");
    git_clear_merge_stages_for(sys, "/w", {"other"});
    EXPECT_EQ(file_contents(m, "/w/.git/MERGE_STAGES"), "<missing>");
}

TEST_F(GitMachine, PendingOperationOrderAndStateFiles) {
    ASSERT_EQ(sh(std::string(kSetup) + "true").status, 0);
    EXPECT_FALSE(git_pending_operation(sys, "/w"));
    put_file(m, "/w/.git/REVERT_HEAD", kB + "\n");
    put_file(m, "/w/.git/MERGE_HEAD", "  \n");
    EXPECT_EQ(git_pending_operation(sys, "/w")->file, "REVERT_HEAD");
    put_file(m, "/w/.git/MERGE_HEAD", kA + "\n");
    EXPECT_EQ(git_pending_operation(sys, "/w")->id, kA);
    put_file(m, "/w/.git/SEQUENCER", "revert 1\nnocommit 2\nmainline 0\ntodo x\ntodo y\n");
    EXPECT_FALSE(git_read_sequencer(sys, "/w"));
    put_file(m, "/w/.git/SEQUENCER", "revert 1\nnocommit 2\nmainline 2\norig o\ntodo x\ntodo y\n");
    auto seq = git_read_sequencer(sys, "/w");
    ASSERT_TRUE(seq);
    EXPECT_TRUE(seq->revert);
    EXPECT_FALSE(seq->no_commit);
    EXPECT_EQ(seq->mainline, 2u);
    EXPECT_EQ(seq->remaining, (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(git_write_rebase_state(sys, "/w", {"topic", kA, "", {kB}}));
    EXPECT_EQ(git_read_rebase_state(sys, "/w")->remaining, std::vector<std::string>{kB});
    git_clear_rebase_state(sys, "/w");
    EXPECT_FALSE(git_read_rebase_state(sys, "/w"));
    EXPECT_FALSE(git_pending_operation(sys, "/w"));
}

TEST_F(GitMachine, CommitFinishesAPendingMerge) {
    ASSERT_EQ(sh(std::string(kSetup) + "echo a > a && git add a && git commit -qm one && echo b > b && git add b").status,
              0);
    std::string one = head_id();
    put_file(m, "/w/.git/MERGE_STAGES", "2\t" + kA + "\ta\n3\t" + kB + "\ta\n");
    put_file(m, "/w/.git/MERGE_HEAD", kC + "\n");
    put_file(m, "/w/.git/MERGE_MSG", "Merge branch 'x'\n\n");
    Ran status = sh("cd /w && git status && git status -s && git status --porcelain=v2");
    EXPECT_EQ(status.out,
              "On branch main\nYou have unmerged paths.\n  (fix conflicts and run \"git commit\")\n"
              "  (use \"git merge --abort\" to abort the merge)\n\n"
              "Changes to be committed:\n  (use \"git restore --staged <file>...\" to unstage)\n\tnew file:   b\n\n"
              "Unmerged paths:\n  (use \"git restore --staged <file>...\" to unstage)\n"
              "  (use \"git add <file>...\" to mark resolution)\n\tboth added:      a\n\n"
              "no changes added to commit (use \"git add\" and/or \"git commit -a\")\n"
              "AA a\nA  b\n1 A. N... 000000 100644 100644 " +
                  std::string(40, '0') + " " + git_blob_id("b\n") + " b\n" +
                  fmt::format("u AA N... 000000 100644 100644 100644 {} {} {} a\n", std::string(40, '0'), kA, kB));
    Ran refused = sh("cd /w && git commit");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "error: Committing is not possible because you have unmerged files.\n"
              "hint: Fix them up in the work tree, and then use 'git add/rm <file>'\n"
              "hint: as appropriate to mark resolution and make a commit.\n"
              "fatal: Exiting because of an unresolved conflict.\n");
    Ran done = sh("cd /w && git add a && git commit -q && ls .git");
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out.find("MERGE"), std::string::npos) << done.out;
    auto commit = git_read_commit(sys, "/w", head_id());
    ASSERT_TRUE(commit);
    EXPECT_EQ(commit->parents, (std::vector<std::string>{one, kC}));
    EXPECT_EQ(commit->message, "Merge branch 'x'");
}

TEST_F(GitMachine, StatusNamesTheOperationInProgress) {
    ASSERT_EQ(sh(std::string(kSetup) + "echo a > a && git add a && git commit -qm one").status, 0);
    put_file(m, "/w/.git/CHERRY_PICK_HEAD", kC + "\n");
    EXPECT_EQ(sh("cd /w && git status").out,
              "On branch main\nYou are currently cherry-picking commit ccccccc.\n"
              "  (all conflicts fixed: run \"git cherry-pick --continue\")\n"
              "  (use \"git cherry-pick --skip\" to skip this patch)\n"
              "  (use \"git cherry-pick --abort\" to cancel the cherry-pick operation)\n\n"
              "nothing to commit, working tree clean\n");
    put_file(m, "/w/.git/REBASE_STATE", "branch topic\norig " + kA + "\nonto " + kB + "\n");
    put_file(m, "/w/.git/MERGE_STAGES", "1\t" + kA + "\ta\n2\t" + kA + "\ta\n3\t" + kB + "\ta\n");
    EXPECT_EQ(sh("cd /w && git status").out,
              "On branch main\nYou are currently rebasing branch 'topic' on 'bbbbbbb'.\n"
              "  (fix conflicts and run \"git rebase --continue\")\n"
              "  (use \"git rebase --skip\" to skip this patch)\n"
              "  (use \"git rebase --abort\" to check out the original branch)\n\n"
              "Unmerged paths:\n  (use \"git restore --staged <file>...\" to unstage)\n"
              "  (use \"git add <file>...\" to mark resolution)\n\tboth modified:   a\n\n"
              "no changes added to commit (use \"git add\" and/or \"git commit -a\")\n");
}

// 10,000 files: the scan is charged for their paths and bytes, and a same-size rewrite made right
// after the commit is still seen.
TEST_F(GitMachine, TenThousandFileScan) {
    ASSERT_EQ(sh(std::string(kSetup) + "true").status, 0);
    std::uint64_t bytes = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string rel = fmt::format("d{}/f{}.txt", i / 100, i);
        std::string content = fmt::format("file {}\n", i);
        ASSERT_TRUE(m.vfs.create_dir_all("/", fmt::format("/w/d{}", i / 100)).has_value());
        put_file(m, "/w/" + rel, content);
        bytes += rel.size() + content.size();
    }
    Ran added = sh("cd /w && git add . && git commit -qm all && git status --short");
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "");
    std::uint64_t before = m.meter.cpu_used();
    EXPECT_EQ(sh("cd /w && git status --short").out, "");
    EXPECT_GE(m.meter.cpu_used() - before, bytes);
    put_file(m, "/w/d42/f4242.txt", "file 4243\n");
    EXPECT_EQ(sh("cd /w && git status --short").out, " M d42/f4242.txt\n");
}

}  // namespace
}  // namespace tw::command_test

namespace tw::command_test {
namespace {

// One file over the scan's limit of 100,000: refused with the exhausted status before anything is
// read or charged.
TEST(GitScanLimit, OneFileOverTheLimitIsRefusedUncharged) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "mkdir -p /w/.git").status, 0);
    for (int d = 0; d <= 100; ++d) ASSERT_TRUE(m.vfs.create_dir_all("/", fmt::format("/w/d{}", d)).has_value());
    for (int i = 0; i <= 100000; ++i) put_file(m, fmt::format("/w/d{}/{}", i / 1000, i), "");
    SyscallContext sys{m};
    std::uint64_t cpu = m.meter.cpu_used();
    std::uint64_t memory = sys.memory_used();
    Bytes err;
    auto scan = git_scan_worktree(sys, "/w", err);
    ASSERT_FALSE(scan);
    EXPECT_EQ(scan.error(), 137);
    EXPECT_EQ(err, "");
    EXPECT_EQ(m.meter.cpu_used(), cpu);
    EXPECT_EQ(sys.memory_used(), memory);
    ASSERT_TRUE(sys.remove("/", "/w/d0/0").has_value());
    auto fits = git_scan_worktree(sys, "/w", err);
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->size(), 100000u);
    EXPECT_EQ(sys.memory_used(), memory);
}

}  // namespace
}  // namespace tw::command_test
