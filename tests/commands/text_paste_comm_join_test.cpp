// paste, comm and join. Expected outputs agree with the GNU tools (LC_ALL=C.UTF-8) on sorted,
// newline-terminated input unless a case says how they differ on purpose.
#include <string>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

constexpr std::string_view kTwoFiles = "printf 'a\\nb\\n' > f1; printf '1\\n2\\n3\\n' > f2; ";

TEST(PasteCommand, SideBySide) {
    const std::string files(kTwoFiles);
    expect_cases({
        {files + "paste f1 f2", "a\t1\nb\t2\n\t3\n"},
        {files + "paste -d , f1 f2", "a,1\nb,2\n,3\n"},
        {files + "paste -d, f2 f1 f2", "1,a,1\n2,b,2\n3,,3\n"},
        // The delimiters of the list are taken in turn; the escapes \t, \n, \\ and \0 (none).
        {files + "paste -d ',;' f1 f2 f1", "a,1;a\nb,2;b\n,3;\n"},
        {files + "paste -d '' f1 f2", "a1\nb2\n3\n"},
        {files + "paste -d '\\0' f1 f2", "a1\nb2\n3\n"},
        {files + "paste -d '\\t\\\\' f1 f2 f1", "a\t1\\a\nb\t2\\b\n\t3\\\n"},
        {files + "paste -d '\\n' f1 f2", "a\n1\nb\n2\n\n3\n"},
        {files + "paste -d", "", 0},  // the delimiter stays a tab; standard input is empty
        // The "-" operands share standard input: each takes its next line in turn.
        {"printf 'a\\nb\\nc\\n' | paste - -", "a\tb\nc\t\n"},
        {"printf 'x\\r\\ny' | paste - -", "x\ty\n"},
        {files + "seq 5 | paste - f1 -", "1\ta\t2\n3\tb\t4\n5\t\t\n"},
        {"printf 'a\\nb' | paste", "a\nb"},  // no operands: a byte-for-byte copy (GNU adds the line feed)
        {"paste -s f", "", 2, "paste: unimplemented option '-s'\n"},
        {"paste -- f", "", 2, "paste: unimplemented option '--'\n"},
        {files + "paste f1 missing f2", "", 1, "paste: missing: No such file or directory: missing\n"},
    });
}

constexpr std::string_view kCommFiles = "printf 'a\\nb\\nd\\n' > f1; printf 'b\\nc\\nd\\n' > f2; ";

TEST(CommCommand, ColumnsAndTheirSuppression) {
    const std::string files(kCommFiles);
    expect_cases({
        {files + "comm f1 f2", "a\n\t\tb\n\tc\n\t\td\n"},
        // Suppressed columns take their tab away from the columns after them.
        {files + "comm -1 f1 f2", "\tb\nc\n\td\n"},
        {files + "comm -2 f1 f2", "a\n\tb\n\td\n"},
        {files + "comm -3 f1 f2", "a\n\tc\n"},
        {files + "comm -12 f1 f2", "b\nd\n"},
        {files + "comm -13 f1 f2", "c\n"},
        {files + "comm -23 f1 f2", "a\n"},
        {files + "comm -1 -2 f1 f2", "b\nd\n"},
        {files + "comm f1 f2 -12", "b\nd\n"},
        {files + "comm -123 f1 f2", ""},
        {files + "comm -12x --check-order f1 f2", "b\nd\n"},  // other letters and long options are ignored
        {"printf 'a\\nb\\nb\\nd\\n' > f1; printf 'b\\nb\\nc\\nd\\n' > f2; comm f1 f2", "a\n\t\tb\n\t\tb\n\tc\n\t\td\n"},
        {"printf 'a\\nb\\n' > f1; comm f1 - < f1", "\t\ta\n\t\tb\n"},
        {"printf 'a\\n' > f1; comm -- f1 -12", "", 1, "comm: -12: No such file or directory: -12\n"},
        {"comm f1", "", 1, "comm: missing operand\n"},
        {"printf 'a\\n' > f1; comm f1 missing", "", 1, "comm: missing: No such file or directory: missing\n"},
    });
}

TEST(CommCommand, UnsortedInputMergesWithoutComplaint) {
    // GNU comm also warns that the input is not in sorted order and fails; here it just merges.
    expect_cases({
        {"printf 'c\\na\\n' > f1; printf 'b\\n' > f2; comm f1 f2", "\tb\nc\na\n"},
    });
}

constexpr std::string_view kJoinFiles = "printf '1 a\\n2 b\\n3 c\\n' > f1; printf '1 x\\n3 y\\n4 z\\n' > f2; ";

TEST(JoinCommand, Pairs) {
    const std::string files(kJoinFiles);
    expect_cases({
        {files + "join f1 f2", "1 a x\n3 c y\n"},
        {files + "join -a 1 f1 f2", "1 a x\n2 b\n3 c y\n"},
        {files + "join -a 2 f1 f2", "1 a x\n3 c y\n4 z\n"},
        // Unpaired lines of file 2 come after all pairs (GNU merges them in key order).
        {files + "join -a 2 f2 f1", "1 x a\n3 y c\n2 b\n"},
        {"printf 'a,1\\nb,2\\n' > f1; printf '1,x\\n2,y\\n' > f2; join -t , -1 2 f1 f2", "1,a,x\n2,b,y\n"},
        {"printf 'k a\\nk b\\n' > f1; printf 'k x\\nk y\\n' > f2; join f1 f2", "k a x\nk a y\nk b x\nk b y\n"},
        {"printf '1 a b\\n2 c\\n' > f1; printf 'q 1 z\\nr 2\\n' > f2; join -2 2 f1 f2", "1 a b q z\n2 c r\n"},
        // Leading and trailing white space make no fields (GNU keeps a trailing empty field: "1 a  x").
        {"printf '  1   a \\n' > f1; printf '1\\tx\\n' > f2; join f1 f2", "1 a x\n"},
        {"printf 'a,,b\\n' > f1; printf 'a,c\\n' > f2; join -t , f1 f2", "a,,b,c\n"},
        // A row without the join field never pairs.
        {"printf 'x\\n1 a\\n' > f1; printf 'x y\\n1 b\\n' > f2; join -1 2 -2 2 f1 f2", ""},
        // The inputs need not be sorted.
        {"printf '3 c\\n1 a\\n' > f1; printf '1 x\\n3 y\\n' > f2; join f1 f2", "3 c y\n1 a x\n"},
        {"printf '1 a\\n' > f1; join f1 - < f1", "1 a a\n"},
    });
}

TEST(JoinCommand, Refusals) {
    const std::string files(kJoinFiles);
    expect_cases({
        {files + "join -t", "", 1, "join: missing delimiter\n"},
        {files + "join -t '' f1 f2", "", 1, "join: missing delimiter\n"},
        {files + "join -1 0 f1 f2", "", 1, "join: invalid field number\n"},
        {files + "join -2 x f1 f2", "", 1, "join: invalid field number\n"},
        {files + "join -a 3 f1 f2", "", 1, "join: invalid file number\n"},
        {files + "join f1 f2 -a", "", 1, "join: invalid file number\n"},
        {files + "join -e x f1 f2", "", 1, "join: unsupported option '-e'\n"},
        {files + "join f1", "", 1, "join: expected two files\n"},
        {files + "join f1 f2 f1", "", 1, "join: expected two files\n"},
        {files + "join f1 missing", "", 1, "join: missing: No such file or directory: missing\n"},
    });
}

TEST(JoinCommand, ChargesTheFullComparisonAndReleasesItsMemory) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "seq 300 > a; seq 300 > b").status, 0);
    const std::uint64_t memory_before = m.meter.memory_current();
    const std::uint64_t cpu_before = m.meter.cpu_used();
    Ran r = run_in(m, "join a b > /dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(m.meter.cpu_used() - cpu_before, 300u * 300u);
    EXPECT_EQ(m.meter.memory_current(), memory_before);

    MachineLimits tight = kRoomyLimits;
    tight.cpu = 5'000'000;
    Machine small = fresh_machine(tight);
    ASSERT_EQ(run_in(small, "seq 3000 > a").status, 0);
    r = run_in(small, "join a a");  // nine million comparisons
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tw::command_test
