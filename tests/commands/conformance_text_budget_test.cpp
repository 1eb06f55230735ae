// Text commands whose output can grow far beyond their input stop at the output budget (status
// 137) instead of building the whole output in host memory first.
#include <string>
#include <vector>

#include "commands/text/layout_commands.h"
#include "commands/registry/registry.h"
#include "commands/text/line_commands.h"
#include "kernel/syscalls.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

Machine small_output_machine() {
    MachineLimits limits = kRoomyLimits;
    limits.output = 100'000;
    return fresh_machine(limits);
}

// A file `f` of one cell 50,000 characters wide followed by 200 short rows: aligned, every row is
// padded to the wide cell (10 MB of output from 50 KB of input).
void put_wide_table(Machine& m) {
    put_file(m, "/tmp/f", std::string(50'000, 'x') + " y\n" + [] {
        std::string rows;
        for (int i = 0; i < 200; ++i) rows += "a b\n";
        return rows;
    }());
}

TEST(OutputBudget, ColumnTableWiderThanTheBudget) {
    Machine m = small_output_machine();
    put_wide_table(m);
    EXPECT_EQ(run_in(m, "column -t f | wc -c").status, 137);
    Machine roomy = fresh_machine();
    put_wide_table(roomy);
    Ran r = run_in(roomy, "column -t f | wc -c");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "10050804\n");  // 201 rows of 50,004 bytes
}

TEST(OutputBudget, PasteOfOneFileManyTimes) {
    Machine m = small_output_machine();
    std::string names;
    for (int i = 0; i < 100; ++i) names += " f";
    put_file(m, "/tmp/f", std::string(2'000, 'z') + "\n");
    EXPECT_EQ(run_in(m, "paste" + names + " | wc -c").status, 137);
    // The "-" operands share standard input: its one line is written once.
    Machine fits = small_output_machine();
    put_file(fits, "/tmp/f", std::string(2'000, 'z') + "\n");
    std::string dashes;
    for (int i = 0; i < 100; ++i) dashes += " -";
    EXPECT_EQ(run_in(fits, "paste" + dashes + " < f | wc -c").out, "2100\n");
}

TEST(OutputBudget, JoinOfManyEqualKeys) {
    Machine m = small_output_machine();
    std::string rows;
    for (int i = 0; i < 300; ++i) rows += "k v\n";
    put_file(m, "/tmp/f", rows);
    // 300 x 300 pairs of "k v v\n": 540,000 bytes.
    EXPECT_EQ(run_in(m, "join f f | wc -c").status, 137);
    Machine roomy = fresh_machine();
    put_file(roomy, "/tmp/f", rows);
    EXPECT_EQ(run_in(roomy, "join f f | wc -c").out, "540000\n");
}

TEST(OutputBudget, CutListRepeatingWholeLinesWritesThemOnce) {
    Machine m = small_output_machine();
    std::string list = "1-";
    for (int i = 0; i < 10; ++i) list += "," + list;  // 2,048 copies of the whole line
    put_file(m, "/tmp/f", std::string(100, 'c') + "\n");
    const Ran r = run_in(m, "cut -c '" + list + "' f | wc -c");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "101\n");
}

TEST(WorkBudget, CutChargesEveryListItemOnEveryLine) {
    // Items that select nothing still cost a visit per line.
    MachineLimits limits = kRoomyLimits;
    limits.cpu = 2'000'000;
    Machine m = fresh_machine(limits);
    std::string list = "9-8";
    for (int i = 0; i < 12; ++i) list += "," + list;  // 8,192 empty ranges
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "ab\n";
    put_file(m, "/tmp/f", lines);
    EXPECT_EQ(run_in(m, "cut -c '" + list + "' f | wc -l").status, 137);
}

TEST(OutputBudget, EnvsubstOfALongValueManyTimes) {
    Machine m = small_output_machine();
    // 1,000 references of two bytes to a value of 1,000 bytes: 1 MB of output.
    std::string refs;
    for (int i = 0; i < 1000; ++i) refs += "$V";
    put_file(m, "/tmp/f", refs);
    EXPECT_EQ(run_in(m, "export V=$(printf '%1000s' x); envsubst < f | wc -c").status, 137);
    Machine fits = small_output_machine();
    put_file(fits, "/tmp/f", "$V$V");
    EXPECT_EQ(run_in(fits, "export V=$(printf '%1000s' x); envsubst < f | wc -c").out, "2000\n");
}

// Called directly: the refusal comes before the output is built, so the command's buffer stays
// within the budget.
TEST(OutputBudget, RefusedBeforeTheOutputIsBuilt) {
    Machine m = small_output_machine();
    SyscallContext sys(m);
    const auto call = [&](SuspendableNativeHandler handler, std::vector<std::string> args, std::string input) {
        Bytes in = std::move(input), out, err;
        CommandIo io{in, out, err};
        NativeInvocation invocation{sys, "cmd", args, nullptr};
        NativeStep step = NativeStep::yield();
        handler(step, invocation, io);
        EXPECT_TRUE(step.is_finished());
        EXPECT_EQ(step.status, 137);
        EXPECT_LE(out.size(), 100'000u);
    };
    std::string table = std::string(50'000, 'x') + " y\n";
    for (int i = 0; i < 200; ++i) table += "a b\n";
    call(&column_command, {"-t"}, table);
    std::string keys;
    for (int i = 0; i < 300; ++i) keys += "k v\n";
    call(&join_command, {"-", "-"}, keys);
    call(&paste_command, std::vector<std::string>(100, "-"), std::string(2'000, 'z') + "\n");
}

}  // namespace
}  // namespace tw::command_test
