#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/util/io.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20};

TEST(CommandIoHelpers, OperandsThatReadStandardInput) {
    using V = std::vector<std::string_view>;
    EXPECT_TRUE(command_operands_read_stdin(V{}));
    EXPECT_TRUE(command_operands_read_stdin(V{"a", "-"}));
    EXPECT_TRUE(command_operands_read_stdin(V{"/dev/stdin"}));
    EXPECT_FALSE(command_operands_read_stdin(V{"a", "--"}));
}

TEST(CommandIoHelpers, ReadInputsConcatenatesAndReportsEachFailure) {
    Machine m = Machine::build(kRoomy);
    ASSERT_TRUE(m.vfs.write_file("/w/a", "A\n", 0644).has_value());
    m.states.active_mut().cwd = "/w";
    SyscallContext sys(m);
    using V = std::vector<std::string_view>;
    CommandInputs none = command_read_inputs(sys, V{}, "in");
    EXPECT_EQ(none.contents, "in");
    CommandInputs r = command_read_inputs(sys, V{"a", "-", "missing", "/dev/stdin", "/w"}, "in");
    EXPECT_EQ(r.contents, "A\ninin");
    ASSERT_EQ(r.errors.size(), 2u);
    EXPECT_EQ(r.errors[0], "missing: No such file or directory: missing");
    EXPECT_TRUE(r.errors[1].starts_with("/w: Is a directory")) << r.errors[1];
}

TEST(CommandIoHelpers, ReadStdinInChunksUntilTheEnd) {
    Machine m = Machine::build(kRoomy);
    auto input = m.open_descriptions.insert_buffer(Bytes(5000, 'x'));
    ASSERT_TRUE(input.has_value());
    ASSERT_TRUE(m.install_descriptor(kFirstShellPid, 0, *input).has_value());
    SyscallContext sys(m);
    LiveInput live;
    Bytes in, out, err;
    CommandIo io{in, out, err};
    const std::vector<std::string> args;
    NativeInvocation invocation{sys, "wc", args, &live};
    const std::uint64_t memory = m.meter.memory_current();
    EXPECT_EQ(command_read_stdin(invocation, io), NativeStep::yield());
    EXPECT_EQ(in.size(), 4096u);
    EXPECT_EQ(command_read_stdin(invocation, io), NativeStep::yield());
    EXPECT_EQ(command_read_stdin(invocation, io), std::nullopt);
    EXPECT_TRUE(live.eof);
    EXPECT_EQ(in.size(), 5000u);
    EXPECT_EQ(live.charged, 5000u);
    EXPECT_EQ(m.meter.memory_current(), memory + 5000);
    EXPECT_EQ(command_read_stdin(invocation, io), std::nullopt);

    NativeInvocation nested{sys, "wc", args, nullptr};
    EXPECT_EQ(command_read_stdin(nested, io), std::nullopt);
}

TEST(CommandIoHelpers, ExportedEnvironment) {
    Machine m = Machine::build(kRoomy);
    ProcessState& state = m.states.active_mut();
    state.store_variable("ZED", "1");
    state.export_variable("ZED");
    state.store_variable("LOCAL", "2");
    state.export_variable("NOVALUE");
    SyscallContext sys(m);
    const std::vector<std::string> args;
    NativeInvocation invocation{sys, "env", args, nullptr};
    EXPECT_EQ(invocation.env_value("ZED"), "1");
    EXPECT_EQ(invocation.env_value("LOCAL"), std::nullopt);
    EXPECT_EQ(invocation.env_value("NOVALUE"), std::nullopt);
    const std::vector<std::string> env = invocation.env();
    EXPECT_TRUE(std::is_sorted(env.begin(), env.end()));
    EXPECT_NE(std::find(env.begin(), env.end(), "ZED=1"), env.end());
    EXPECT_EQ(std::find(env.begin(), env.end(), "LOCAL=2"), env.end());
}

}  // namespace
}  // namespace tw
