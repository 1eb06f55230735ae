#include <gtest/gtest.h>

#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

class BootTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);

    const VfsNode& node(std::string_view path) {
        const VfsNode* n = m.vfs.node(path);
        EXPECT_NE(n, nullptr) << path;
        return *n;
    }
};

TEST_F(BootTest, BaseDirectoriesHaveFixedNumbersAndTimes) {
    EXPECT_EQ(m.vfs.tree().size(), 471u);
    EXPECT_EQ(node("/").node_id, 1u);
    EXPECT_EQ(node("/").mtime_ms, 0u);
    const char* dirs[] = {"/root", "/tmp", "/work", "/usr", "/usr/bin", "/bin"};
    for (std::uint64_t i = 0; i < 6; ++i) {
        const VfsNode& d = node(dirs[i]);
        EXPECT_TRUE(d.is_dir());
        EXPECT_EQ(d.node_id, i + 2) << dirs[i];
        EXPECT_EQ(d.mtime_ms, kBootWallMs);
        EXPECT_EQ(d.mode, 0755u);
    }
    // Stubs are numbered in insertion order from 8: the resumable programs first.
    EXPECT_EQ(node("/usr/bin/true").node_id, 8u);
    EXPECT_EQ(node("/bin/true").node_id, 9u);
    EXPECT_EQ(m.vfs.next_node_id(), 472u);
    // The base image costs nothing on the disk budget.
    EXPECT_EQ(m.vfs.used(), 0u);
    EXPECT_EQ(m.vfs.peak(), 0u);
    EXPECT_EQ(m.vfs.capacity(), kLimits.disk);
}

TEST_F(BootTest, StubsNameWhatTheyStandFor) {
    struct Case {
        const char* path;
        NativeProgram program;
    };
    const Case cases[] = {
        {"/usr/bin/cat", NativeProgram::resumable(ProgramKind::Cat)},
        {"/bin/cat", NativeProgram::resumable(ProgramKind::Cat)},
        {"/usr/bin/true", NativeProgram::resumable(ProgramKind::True)},
        {"/usr/bin/ls", NativeProgram::registered("/usr/bin/ls")},
        {"/bin/ls", NativeProgram::registered("/usr/bin/ls")},
        {"/usr/bin/cd", NativeProgram::named("cd")},
        {"/usr/bin/gcc", NativeProgram::named("gcc")},
        {"/bin/[[", NativeProgram::named("[[")},
        {"/bin/bash", NativeProgram::named("bash")},
    };
    for (const auto& c : cases) {
        const VfsNode& n = node(c.path);
        ASSERT_TRUE(n.is_native()) << c.path;
        EXPECT_EQ(*n.program(), c.program) << c.path;
        EXPECT_EQ(n.mtime_ms, kBootWallMs);
    }
    EXPECT_EQ(m.vfs.node("/usr/bin/."), nullptr);

    std::size_t stubs = 0;
    for (const auto& [path, n] : m.vfs.tree()) stubs += n.is_native();
    EXPECT_EQ(stubs, 464u);
    EXPECT_EQ(*m.vfs.list_child_names("/", "/usr/bin"), *m.vfs.list_child_names("/", "/bin"));
}

TEST_F(BootTest, DefaultShellIsRunningWithItsEnvironment) {
    const ProcessRecord* record = m.processes.find(kFirstShellPid);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->command, "bash");
    EXPECT_EQ(record->cwd, "/");
    EXPECT_EQ(record->pgid, kFirstShellPid);
    EXPECT_EQ(record->sid, kFirstShellPid);
    EXPECT_EQ(m.processes.next_pid(), 1235u);
    const std::map<std::string, std::string> env = {
        {"HOME", "/root"}, {"HOSTNAME", "sandbox"}, {"LANG", "C.UTF-8"},
        {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
        {"PWD", "/"}, {"SHELL", "/bin/bash"}, {"TERM", "xterm-256color"}, {"USER", "root"},
    };
    EXPECT_EQ(record->environment, env);
    const std::map<std::int32_t, std::string> fds = {{0, "pipe:[0]"}, {1, "pipe:[1]"}, {2, "pipe:[2]"}};
    EXPECT_EQ(record->open_fds, fds);

    const ProcessState& shell = m.states.active();
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    EXPECT_EQ(shell.shell_pid, kFirstShellPid);
    EXPECT_EQ(shell.variables.at("IFS"), " \t\n");
    EXPECT_FALSE(shell.exported_names.contains("IFS"));
    EXPECT_EQ(shell.environment_snapshot(), env);
    EXPECT_EQ(shell.random_state, 0x5EED5EED5EED5EEDULL);
    EXPECT_EQ(shell.random_seed, 1u);
    EXPECT_EQ(shell.umask, 0022);
    EXPECT_EQ(shell.next_job_number, 1u);
    EXPECT_TRUE(shell.err_trap_enabled);
    EXPECT_GT(shell.state_size_baseline, 0u);
    EXPECT_EQ(shell.state_size_baseline, shell.modeled_size());
    // Measured, not charged.
    EXPECT_EQ(m.meter.memory_current(), 0u);

    EXPECT_EQ(m.scheduler.running(), std::optional<Pid>(kFirstShellPid));
    EXPECT_EQ(m.hostname, "sandbox");
    EXPECT_EQ(m.clock.wall_time_ms(), kBootWallMs);
    EXPECT_EQ(m.meter.limits().disk, kLimits.disk);
}

TEST_F(BootTest, StandardDescriptionsAreEmptyInputAndTwoCaptures) {
    const auto& fds = m.states.active().descriptors.fds();
    ASSERT_EQ(fds.size(), 3u);
    auto in = m.open_descriptions.get(fds.at(0));
    ASSERT_TRUE(in.has_value());
    const auto* buffer = std::get_if<target::BufferedInput>(&(*in)->target);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(buffer->data.empty());
    EXPECT_EQ((*in)->references, 1u);
    EXPECT_TRUE(std::holds_alternative<target::OutputCapture>((*m.open_descriptions.get(fds.at(1)))->target));
    EXPECT_TRUE(std::holds_alternative<target::OutputCapture>((*m.open_descriptions.get(fds.at(2)))->target));
}

TEST_F(BootTest, CopiesAreIndependentSnapshots) {
    Machine copy = m;
    ASSERT_TRUE(copy.vfs.write_file("/work/a.txt", "hello", 0644).has_value());
    copy.states.active_mut().store_variable("X", "1");
    EXPECT_EQ(m.vfs.node("/work/a.txt"), nullptr);
    EXPECT_FALSE(m.states.active().variables.contains("X"));
    EXPECT_EQ(m.vfs.used(), 0u);
    EXPECT_EQ(copy.vfs.used(), 256u + 5u);
}

TEST_F(BootTest, FileRemovedWhileOpenStaysReadableUntilReleased) {
    ASSERT_TRUE(m.vfs.write_file("/tmp/data", "payload", 0644).has_value());
    auto number = m.open_descriptions.insert(target::File{.path = "/tmp/data", .readable = true});
    ASSERT_TRUE(number.has_value());
    ProcessState& shell = m.states.active_mut();
    ASSERT_TRUE(shell.descriptors.install(3, *number, m.open_descriptions).has_value());
    const std::uint64_t used = m.vfs.used();

    ASSERT_TRUE(m.remove_path("/", "/tmp/data").has_value());
    EXPECT_EQ(m.vfs.node("/tmp/data"), nullptr);
    EXPECT_EQ(m.vfs.used(), used);
    const auto& file = std::get<target::File>((*m.open_descriptions.get(*number))->target);
    ASSERT_TRUE(file.backing.orphan.has_value());
    EXPECT_EQ(file.path, "/tmp/data");
    EXPECT_EQ(*m.vfs.read_orphan_range(*file.backing.orphan, 0, 100), "payload");

    // A new file at the same path is independent of the orphan.
    ASSERT_TRUE(m.vfs.write_file("/tmp/data", "new", 0644).has_value());
    EXPECT_EQ(*m.vfs.read_orphan_range(*file.backing.orphan, 0, 100), "payload");

    const std::uint64_t orphan = *file.backing.orphan;
    ASSERT_TRUE(shell.descriptors.close(3, m.open_descriptions).has_value());
    m.drop_unreferenced_orphans();
    EXPECT_EQ(m.vfs.orphan(orphan), nullptr);
    EXPECT_EQ(m.vfs.used(), 256u + 3u);
}

TEST_F(BootTest, RemovingAFileNobodyHasOpenIsPlainRemoval) {
    ASSERT_TRUE(m.vfs.write_file("/tmp/x", "1", 0644).has_value());
    ASSERT_TRUE(m.remove_path("/tmp", "x").has_value());
    EXPECT_TRUE(m.vfs.orphans().empty());
    auto missing = m.remove_path("/tmp", "x");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(error_text(missing.error()), "No such file or directory: x");
}

TEST_F(BootTest, WalkPathFollowsLinksAndStopsAtForty) {
    ASSERT_TRUE(m.vfs.create_dir_all("/", "/a/b").has_value());
    ASSERT_TRUE(m.vfs.symlink("/", "a/b", "/link").has_value());
    EXPECT_EQ(*m.walk_path("/link"), "/a/b");
    EXPECT_EQ(m.walk_path("/nowhere/x").error(), VfsError::not_found("/nowhere"));

    // l0 -> l1 -> ... -> l39 -> /a: 40 links fail, 39 answer.
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(m.vfs.symlink("/", i == 39 ? "/a" : "/l" + std::to_string(i + 1), "/l" + std::to_string(i)).has_value());
    EXPECT_EQ(*m.walk_path("/l1"), "/a");
    EXPECT_EQ(m.walk_path("/l0").error().kind, VfsError::Kind::Loop);
}

TEST(BoundedCapture, AppendsUpToOneMebibyteThenReportsTheSafetyLimit) {
    Machine m = Machine::build(kLimits);
    Bytes buffer(kCaptureLimit - 1, 'x');
    EXPECT_EQ(bounded_buffer_append(m, buffer, "y"), BoundedAppend::Appended);
    EXPECT_EQ(m.meter.cpu_used(), 1u);
    EXPECT_EQ(m.meter.memory_current(), 2u);
    EXPECT_EQ(bounded_buffer_append(m, buffer, "z"), BoundedAppend::LimitExceeded);
    Bytes err;
    EXPECT_EQ(safety_limit_error(err, "python3", BoundedAppend::LimitExceeded), 2);
    EXPECT_EQ(err, "python3: generated wrapper exceeds the safety limit (1048576)\n");
    Bytes quiet;
    EXPECT_EQ(safety_limit_error(quiet, "python3", BoundedAppend::BudgetRefused), 137);
    EXPECT_TRUE(quiet.empty());
}

}  // namespace
}  // namespace tw
