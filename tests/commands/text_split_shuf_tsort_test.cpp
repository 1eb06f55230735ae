// split, shuf and tsort. split agrees with GNU split on the cases below; shuf's order is its own
// fixed permutation, and tsort always takes the smallest ready node first (GNU's order differs).
#include <string>

#include "kernel/syscalls.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

std::string file_text(Machine& m, std::string_view path) {
    SyscallContext sys(m);
    auto bytes = sys.read_file("/tmp", path, 1 << 20);
    return bytes ? *bytes : "<" + error_text(bytes.error()) + ">";
}

TEST(SplitCommand, LineChunks) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "seq 2500 > big; split big").status, 0);
    EXPECT_TRUE(file_text(m, "xaa").starts_with("1\n2\n"));
    EXPECT_TRUE(file_text(m, "xaa").ends_with("\n1000\n"));
    EXPECT_TRUE(file_text(m, "xab").starts_with("1001\n"));
    EXPECT_TRUE(file_text(m, "xac").starts_with("2001\n"));
    EXPECT_TRUE(file_text(m, "xac").ends_with("\n2500\n"));
    EXPECT_EQ(file_text(m, "xad"), "<No such file or directory: xad>");

    ASSERT_EQ(run_in(m, "seq 1000 | split - one_").status, 0);
    EXPECT_TRUE(file_text(m, "one_aa").ends_with("\n1000\n"));
    EXPECT_EQ(file_text(m, "one_ab"), "<No such file or directory: one_ab>");

    ASSERT_EQ(run_in(m, "printf 'a\\nb\\nc' | split -l 2 - p_").status, 0);
    EXPECT_EQ(file_text(m, "p_aa"), "a\nb\n");
    EXPECT_EQ(file_text(m, "p_ab"), "c");  // the last line keeps its missing line feed
}

TEST(SplitCommand, ByteChunksAndFileMode) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "printf 0123456789 > data.txt; split -b 4 data.txt part_").status, 0);
    EXPECT_EQ(file_text(m, "part_aa"), "0123");
    EXPECT_EQ(file_text(m, "part_ab"), "4567");
    EXPECT_EQ(file_text(m, "part_ac"), "89");
    SyscallContext sys(m);
    auto stat = sys.stat("/tmp", "part_aa", true);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->mode & 0777, 0666u & ~static_cast<std::uint32_t>(sys.umask()));

    // Empty input writes no file at all.
    ASSERT_EQ(run_in(m, "printf '' | split - empty_").status, 0);
    EXPECT_EQ(file_text(m, "empty_aa"), "<No such file or directory: empty_aa>");
}

TEST(SplitCommand, SuffixesRunOutAfterZz) {
    Machine m = fresh_machine();
    const std::uint64_t memory_before = m.meter.memory_current();
    Ran r = run_in(m, "seq 677 | split -l 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "split: output file suffixes exhausted\n");
    EXPECT_EQ(file_text(m, "xzz"), "676\n");
    EXPECT_EQ(file_text(m, "xaz"), "26\n");
    EXPECT_EQ(file_text(m, "xba"), "27\n");
    EXPECT_EQ(m.meter.memory_current(), memory_before);
}

TEST(SplitCommand, Refusals) {
    expect_cases({
        {"split -b 1k f", "", 1, "split: invalid byte count\n"},
        {"split -b 0 f", "", 1, "split: invalid byte count\n"},
        {"split -l 0 f", "", 1, "split: invalid line count\n"},
        {"split -l", "", 1, "split: invalid line count\n"},
        {"split -n 2 f", "", 1, "split: unsupported option '-n'\n"},
        {"split a b c", "", 1, "split: extra operand\n"},
        {"split missing", "", 1, "split: missing: No such file or directory: missing\n"},
        {"printf 'a\\n' | split - no/such/dir_", "", 1,
         "split: no/such/dir_aa: No such file or directory: /tmp/no/such\n"},
    });
}

TEST(ShufCommand, FixedPermutation) {
    expect_cases({
        {"printf 'a\\nb\\n' | shuf", "b\na\n"},
        {"printf 'a\\nb\\nc\\n' | shuf", "a\nc\nb\n"},
        {"seq 5 | shuf", "3\n2\n5\n4\n1\n"},
        {"printf 'only' | shuf", "only\n"},
        {"printf '' | shuf", ""},
        {"seq 5 | shuf -n 2", "3\n2\n"},
        {"seq 3 | shuf -n 5", "1\n3\n2\n"},
        {"seq 3 | shuf --head-count 0", ""},
        {"seq 3 > f; shuf f", "1\n3\n2\n"},
    });
}

TEST(ShufCommand, SameInputSameOrder) {
    Ran first = run("seq 200 | shuf");
    Ran second = run("seq 200 | shuf");
    EXPECT_EQ(first.out, second.out);
    EXPECT_NE(first.out, run("seq 200").out);
}

TEST(ShufCommand, Refusals) {
    expect_cases({
        {"shuf -n x", "", 1, "shuf: invalid line count\n"},
        {"shuf -n", "", 1, "shuf: invalid line count\n"},
        {"shuf --head-count=2", "", 1, "shuf: unsupported option '--head-count=2'\n"},
        {"shuf -e a b", "", 1, "shuf: unsupported option '-e'\n"},
        {"shuf a b", "", 1, "shuf: extra operand\n"},
        {"shuf missing", "", 1, "shuf: missing: No such file or directory: missing\n"},
    });
}

TEST(TsortCommand, SmallestReadyNodeFirst) {
    expect_cases({
        {"printf 'b a\\nc a\\n' | tsort", "b\nc\na\n"},
        {"printf 'a b\\na c\\n' | tsort", "a\nb\nc\n"},
        {"printf 'a a\\n' | tsort", "a\n"},
        {"printf 'a b\\na b\\nb c\\n' | tsort", "a\nb\nc\n"},  // a repeated pair counts once
        {"printf 'x y\\na b\\nb c\\n' | tsort", "a\nb\nc\nx\ny\n"},
        {"printf '' | tsort", ""},
        {"printf 'a b' > g; tsort g", "a\nb\n"},
    });
}

TEST(TsortCommand, LoopsAndRefusals) {
    expect_cases({
        {"printf 'a b\\nb a\\n' | tsort", "", 1, "tsort: input contains a loop\n"},
        // Nodes outside the cycle are still written; nothing of the cycle or behind it.
        {"printf 'x y\\na b\\nb a\\nb z\\n' | tsort", "x\ny\n", 1, "tsort: input contains a loop\n"},
        {"printf 'a b c\\n' | tsort", "", 1, "tsort: input contains an odd number of tokens\n"},
        {"tsort a b", "", 1, "tsort: extra operand\n"},
        {"tsort -x", "", 1, "tsort: -x: No such file or directory: -x\n"},  // no options: an operand
    });
}

}  // namespace
}  // namespace tw::command_test
