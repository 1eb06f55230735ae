// git history inside the machine: the ancestry walks, revision ranges, the line diff engine,
// tree comparison and the history commands.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "case_fixture.h"
#include "commands/git/history.h"
#include "kernel/syscalls.h"

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

}  // namespace
}  // namespace tw::command_test
