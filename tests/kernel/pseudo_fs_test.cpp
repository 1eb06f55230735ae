#include <fmt/format.h>
#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "kernel/pseudo_fs.h"

namespace tw {
namespace {

constexpr std::uint64_t kGiB = 1073741824;
constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = kGiB, .disk = 1 << 26, .output = 1 << 20};

class PseudoFsTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);

    std::string read(std::string_view path) {
        auto r = m.read_pseudo_file("/", path);
        EXPECT_TRUE(r.has_value()) << path << " is no pseudo path";
        if (!r) return {};
        EXPECT_TRUE(r->has_value()) << path << ": " << error_text(r->error());
        return r->value_or("");
    }

    // A second process with its record and task, the way child creation leaves them.
    Pid add_process(std::string command) {
        const Pid pid = m.processes.next_pid();
        m.processes.set_next_pid(pid + 1);
        ProcessRecord record;
        record.command = std::move(command);
        record.cwd = "/tmp";
        record.environment = {{"A", "1"}, {"B", "2"}};
        record.open_fds = {{0, "/dev/null"}};
        record.pid = pid;
        record.ppid = kFirstShellPid;
        record.pgid = pid;
        record.sid = kFirstShellPid;
        m.processes.insert(std::move(record));
        EXPECT_TRUE(m.scheduler.add_task(pid).has_value());
        return pid;
    }
};

TEST_F(PseudoFsTest, DevEntriesHaveFixedNodes) {
    EXPECT_EQ(*m.list_dir_names("/", "/dev"),
              (std::vector<std::string>{"null", "random", "stderr", "stdin", "stdout", "urandom", "zero"}));
    auto null = m.stat_path("/", "/dev/null", true);
    ASSERT_TRUE(null.has_value());
    EXPECT_EQ(null->size, 0u);
    EXPECT_EQ(null->mode, 0444u);
    EXPECT_EQ(null->ino, 2u);
    EXPECT_EQ(null->dev, 2u);
    EXPECT_EQ(m.stat_path("/", "/dev/zero", true)->mode, 0666u);
    auto dev = m.stat_path("/", "/dev", true);
    EXPECT_EQ(dev->file_type, 1);
    EXPECT_EQ(dev->size, 0u);
    EXPECT_EQ(dev->mode, 0555u);
    EXPECT_EQ(m.node_at("/", "/dev/null", true)->mtime_ms, m.clock.wall_time_ms());

    EXPECT_EQ(m.read_pseudo_file("/", "/dev/zero")->error().kind, VfsError::Kind::Invalid);
    EXPECT_EQ(m.read_pseudo_file("/", "/dev")->error().kind, VfsError::Kind::IsADir);
    EXPECT_EQ(m.read_pseudo_file("/", "/dev/stdin")->error().kind, VfsError::Kind::NotFound);
    EXPECT_EQ(read("/dev/null"), "");
    // Relative paths join the caller's directory.
    EXPECT_EQ(m.read_pseudo_file("/dev", "null")->value(), "");
}

TEST_F(PseudoFsTest, LinksAndSelf) {
    EXPECT_EQ(*m.read_link("/", "/proc/self"), "1234");
    EXPECT_EQ(*m.read_link("/", "/dev/stdout"), "/proc/self/fd/1");
    EXPECT_EQ(m.read_link("/", "/proc/meminfo").error(), VfsError::invalid("/proc/meminfo"));

    auto link = m.node_at("/", "/proc/self", false);
    ASSERT_TRUE(link && link->is_symlink());
    EXPECT_EQ(link->node_id, 10u);
    auto dir = m.node_at("/", "/proc/self", true);
    ASSERT_TRUE(dir && dir->is_dir());
    EXPECT_EQ(dir->node_id, (std::uint64_t{1234} << 32) + 1);
    EXPECT_EQ(m.stat_path("/", "/proc/self/status", true)->ino, (std::uint64_t{1234} << 32) + 6);

    EXPECT_EQ(*m.walk_path("/proc/self/fd"), "/proc/1234/fd");
    EXPECT_EQ(*m.list_dir_names("/", "/proc/self"),
              (std::vector<std::string>{"cmdline", "cwd", "environ", "fd", "status"}));
    EXPECT_EQ(read("/proc/self/cmdline"), std::string("bash\0", 5));

    m.states.active_mut().cwd = "/work";
    EXPECT_EQ(*m.read_link("/", "/proc/self/cwd"), "/work");
}

TEST_F(PseudoFsTest, StatusFollowsTheLiveProcessTable) {
    EXPECT_EQ(read("/proc/self/status"),
              "Name:\tbash\nState:\tR (running)\nPid:\t1234\nPPid:\t0\nNSpgid:\t1234\nNSsid:\t1234\n"
              "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n");

    const Pid child = add_process("sleep");
    const std::string dir = fmt::format("/proc/{}", child);
    EXPECT_EQ(m.list_dir_names("/", "/proc")->front(), "1234");
    EXPECT_EQ(m.list_dir_names("/", "/proc")->at(1), fmt::format("{}", child));
    auto state_line = [&] {
        std::string text = read(dir + "/status");
        auto at = text.find("State:\t");
        return text.substr(at + 7, text.find('\n', at) - at - 7);
    };
    EXPECT_EQ(state_line(), "R (running)");  // ready

    // Put the child through blocking and stopping, then let it finish.
    ASSERT_TRUE(m.scheduler.block_running(WaitReason::timer(5)).has_value());  // the shell blocks
    ASSERT_EQ(*m.scheduler.dispatch(), child);
    ASSERT_TRUE(m.scheduler.block_running(WaitReason::timer(9)).has_value());
    EXPECT_EQ(state_line(), "S (sleeping)");
    ASSERT_TRUE(m.scheduler.stop_task(child).has_value());
    EXPECT_EQ(state_line(), "T (stopped)");
    ASSERT_TRUE(m.scheduler.continue_task(child).has_value());
    ASSERT_TRUE(m.scheduler.wake(child).has_value());
    ASSERT_EQ(*m.scheduler.dispatch(), child);
    ASSERT_TRUE(m.scheduler.finish_running(-3).has_value());
    EXPECT_EQ(state_line(), "Z (zombie)");
    EXPECT_TRUE(read(dir + "/status").ends_with("Gid:\t0\t0\t0\t0\nExitCode:\t-3\n"));

    // The record's exit status takes precedence over the task's.
    m.processes.mark_exited(child, 7, "/tmp");
    EXPECT_TRUE(read(dir + "/status").ends_with("ExitCode:\t7\n"));

    // Reaped: gone from /proc, and the path falls through to the tree.
    ASSERT_TRUE(m.processes.reap(child).has_value());
    m.scheduler.remove_task(child);
    EXPECT_FALSE(m.read_pseudo_file("/", dir + "/status").has_value());
    EXPECT_EQ(m.node_at("/", dir, true).error().kind, VfsError::Kind::NotFound);
    EXPECT_EQ(*m.list_dir_names("/", "/proc"),
              (std::vector<std::string>{"1234", "cpuinfo", "meminfo", "mounts", "self", "uptime", "version"}));
}

TEST_F(PseudoFsTest, OtherProcessesReadTheirRecords) {
    const Pid child = add_process("worker");
    const std::string dir = fmt::format("/proc/{}", child);
    EXPECT_EQ(*m.read_link("/", dir + "/cwd"), "/tmp");
    EXPECT_EQ(read(dir + "/environ"), std::string("A=1\0B=2\0", 8));
    EXPECT_EQ(*m.list_dir_names("/", dir + "/fd"), std::vector<std::string>{"0"});
    EXPECT_EQ(*m.read_link("/", dir + "/fd/0"), "/dev/null");
    EXPECT_EQ(m.stat_path("/", dir + "/fd/0", false)->ino, (std::uint64_t{child} << 32) + (std::uint64_t{1} << 31));
    EXPECT_FALSE(m.read_pseudo_file("/", dir + "/fd/1").has_value());
}

TEST_F(PseudoFsTest, FixedFilesAndMachineFigures) {
    ASSERT_TRUE(m.meter.charge_memory(10 * 1048576));
    EXPECT_EQ(read("/proc/meminfo"),
              "MemTotal:       1048576 kB\nMemFree:        1038336 kB\nMemAvailable:   1038336 kB\n"
              "SwapTotal:      0 kB\nSwapFree:       0 kB\n");
    EXPECT_EQ(read("/proc/uptime"), "0.00 0.00\n");
    ASSERT_TRUE(m.advance_time_to(1'500'000'000).has_value());
    EXPECT_EQ(read("/proc/uptime"), "1.50 1.50\n");
    EXPECT_EQ(read("/proc/cpuinfo"), "processor\t: 0\nmodel name\t: tarnwick virtual CPU\n");
    EXPECT_EQ(read("/proc/version"), "Linux version 6.12.0-tarnwick (deterministic simulator)\n");
    EXPECT_EQ(read("/proc/mounts"), "tarnwick / rootfs rw 0 0\nproc /proc proc ro 0 0\ndev /dev devtmpfs ro 0 0\n");
    EXPECT_EQ(*m.file_size_at("/", "/proc/cpuinfo"), 48u);
    EXPECT_EQ(m.read_file_limited("/", "/proc/cpuinfo", 10).error(), VfsError::too_large("/proc/cpuinfo", 10));

    for (const char* path : {"/proc/abc", "/proc/99999", "/proc/1234/maps", "/proc/1234/fd/77", "/dev/tty"}) {
        EXPECT_FALSE(m.read_pseudo_file("/", path).has_value()) << path;
        EXPECT_EQ(m.node_at("/", path, true).error().kind, VfsError::Kind::NotFound) << path;
    }
}

TEST_F(PseudoFsTest, ActiveEnvironmentAndDescriptorsAreLive) {
    ProcessState& shell = m.states.active_mut();
    shell.export_variable("ZZ_UNSET");
    shell.store_variable("LOCAL", "x");
    shell.store_variable("AA", "1");
    shell.export_variable("AA");
    const std::string env = read("/proc/self/environ");
    EXPECT_TRUE(env.starts_with(std::string("AA=1\0HOME=/root\0", 16)));
    EXPECT_EQ(env.find("ZZ_UNSET"), std::string::npos);
    EXPECT_EQ(env.find("LOCAL"), std::string::npos);

    auto pipe = m.open_descriptions.create_pipe();
    ASSERT_TRUE(pipe.has_value());
    ASSERT_TRUE(shell.descriptors.install(5, pipe->first, m.open_descriptions).has_value());
    EXPECT_EQ(*m.list_dir_names("/", "/proc/self/fd"), (std::vector<std::string>{"0", "1", "2", "5"}));
    EXPECT_EQ(*m.read_link("/", "/proc/self/fd/5"), m.open_descriptions.display_name(pipe->first));
    EXPECT_TRUE(m.read_link("/", "/proc/self/fd/5")->starts_with("pipe:["));

    shell.store_variable("BIG", std::string(PseudoFs::kEnvironLimit, 'x'));
    shell.export_variable("BIG");
    const VfsError too_large = VfsError::too_large("/proc/1234/environ", PseudoFs::kEnvironLimit);
    EXPECT_EQ(m.read_pseudo_file("/", "/proc/self/environ")->error(), too_large);
    EXPECT_EQ(m.node_at("/", "/proc/self/environ", true).error(), too_large);
    EXPECT_EQ(m.stat_path("/", "/proc/self/environ", true).error().payload, SyscallError::file(too_large).payload);
}

TEST_F(PseudoFsTest, MutationsThereAreReadOnly) {
    m.sync_vfs_clock();
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/d").has_value());
    struct Case {
        const char* what;
        Result<void, VfsError> result;
    };
    const Case cases[] = {
        {"write", m.vfs.write_file("/proc/x", "x", 0644)},
        {"mkdir", m.vfs.mkdir("/", "/dev/sub")},
        {"symlink", m.vfs.symlink("/", "/tmp", "/proc/self/l")},
        {"remove", m.vfs.remove_file("/", "/dev/null")},
        {"chmod", m.vfs.chmod("/", "/proc/meminfo", 0777)},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.what;
        EXPECT_EQ(c.result.error().kind, VfsError::Kind::ReadOnly) << c.what;
    }
    for (auto r : {m.rename_path("/", "/tmp/d", "/proc/d"), m.rename_path("/", "/dev/null", "/tmp/n"),
                   m.copy_tree("/", "/tmp/d", "/dev/d", false), m.remove_path("/", "/dev/zero")}) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(std::get<VfsError>(r.error().payload).kind, VfsError::Kind::ReadOnly);
    }
    EXPECT_TRUE(m.vfs.is_dir_at("/", "/tmp/d"));
}

}  // namespace
}  // namespace tw
