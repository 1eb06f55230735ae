#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20};

TEST(FileCommand, RefusesTheFirstFlagOutsideTheSetThenAnyLongOption) {
    struct Case {
        std::vector<std::string> args;
        std::string allowed;
        std::string err;  // empty: nothing refused
    };
    const Case cases[] = {
        {{"-x", "f"}, "rRf", "rm: unimplemented option '-x'\n"},
        {{"-r", "-x", "f"}, "rRf", "rm: unimplemented option '-x'\n"},  // the first outside the set
        {{"-rfx"}, "rRf", "rm: unimplemented option '-x'\n"},
        {{"--parents", "d"}, "p", "rm: unimplemented option '--parents'\n"},
        {{"--mode=700", "d"}, "p", "rm: unimplemented option '--mode'\n"},  // the value is not shown
        {{"-q", "--mode=700"}, "p", "rm: unimplemented option '-q'\n"},     // flags before long options
        {{"-\xC3\xA9"}, "", "rm: unimplemented option '-\xC3\xA9'\n"},
        {{"-rf", "--", "-x", "-5"}, "rRf", ""},
        {{"-5", "a"}, "", ""},  // a dash and a digit is an operand
    };
    for (const Case& c : cases) {
        const CommandArgs args = CommandArgs::parse(c.args);
        Bytes err;
        EXPECT_EQ(report_unimplemented_option("rm", args, c.allowed, err), !c.err.empty()) << c.args[0];
        EXPECT_EQ(err, c.err);
    }
}

TEST(FileCommand, TargetInsideADirectory) {
    EXPECT_EQ(target_in_directory("dir", "a/b/file.txt"), "dir/file.txt");
    EXPECT_EQ(target_in_directory("dir///", "file"), "dir/file");
    EXPECT_EQ(target_in_directory("/", "x/y"), "/y");
    EXPECT_EQ(target_in_directory("d", "src/"), "d/src");
}

TEST(FileCommand, OperandsResolveAgainstTheWorkingDirectory) {
    Machine m = Machine::build(kRoomy);
    ASSERT_TRUE(m.vfs.write_file("/w/a", "A\n", 0644).has_value());
    m.states.active_mut().cwd = "/w";
    SyscallContext sys(m);
    EXPECT_EQ(operand_path(sys, "a/../b/./c"), "/w/b/c");
    EXPECT_EQ(operand_path(sys, "/etc/"), "/etc");

    auto st = stat_operand(sys, "a", true);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(stat_is_regular(*st));
    EXPECT_EQ(st->size, 2u);
    auto dir = stat_operand(sys, ".", false);
    ASSERT_TRUE(dir.has_value());
    EXPECT_TRUE(stat_is_directory(*dir));

    auto missing = stat_operand(sys, "nope", true);
    ASSERT_FALSE(missing.has_value());
    Bytes err;
    push_cannot(err, "ls", "access", "nope", missing.error());
    push_failure(err, "rm", missing.error());
    EXPECT_EQ(err,
              "ls: cannot access 'nope': No such file or directory: nope\n"
              "rm: No such file or directory: nope\n");
}

TEST(FileCommand, WorkChargesStopAtTheBudget) {
    Machine m = Machine::build({.cpu = 1000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20});
    SyscallContext sys(m);
    EXPECT_EQ(charge_work(sys, 10), std::nullopt);
    EXPECT_EQ(charge_work(sys, 1'000'000), std::optional<std::int32_t>(137));
}

TEST(FileCommand, PushLineOfAnEmptyTextIsOneNewline) {
    Bytes out;
    push_line(out, "");
    EXPECT_EQ(out, "\n");
}

}  // namespace
}  // namespace tw
