#include <algorithm>

#include <gtest/gtest.h>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "proc_support.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

using SK = SyscallError::Kind;

// The error of a result that must have failed.
template <class T>
SyscallError err(const Result<T, SyscallError>& r) {
    EXPECT_FALSE(r.has_value());
    return r ? SyscallError{} : r.error();
}

class SyscallTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);
    SyscallContext sys{m};

    // A File description installed at `fd` of the active process, as an open by path would make.
    void install_file(std::int32_t fd, std::string path, bool readable, bool writable) {
        auto number = m.open_descriptions.insert(
            target::File{.backing = {}, .path = path, .cursor = 0, .readable = readable, .writable = writable});
        ASSERT_TRUE(number.has_value());
        (*m.open_descriptions.get_mut(*number))->inode = m.vfs.node(path)->node_id;
        ASSERT_TRUE(m.states.active_mut().descriptors.install(fd, *number, m.open_descriptions).has_value());
    }

    void write(std::string_view path, std::string bytes) {
        ASSERT_TRUE(sys.write_file("/", path, std::move(bytes), 0644).has_value());
    }

};

// Resolving a path is charged in proportion to its components times its length: a deep path
// costs far more than a short one, and a budget too small for it refuses the call.
TEST_F(SyscallTest, PathResolutionIsChargedByLengthAndDepth) {
    EXPECT_EQ(path_resolution_work("/", "/tmp/file.txt"), 0u);
    EXPECT_EQ(path_resolution_work("/a/b", "c"), path_resolution_work("/", "/a/b/c"));
    std::string deep;
    for (int i = 0; i < 1000; ++i) deep += "/d";  // 1000 components, 2000 bytes
    const std::uint64_t work = path_resolution_work("/", deep);
    EXPECT_GE(work, 1000u * 2000 / 64);
    const auto cost = [&](auto call) {
        const std::uint64_t before = m.meter.cpu_used();
        call();
        return m.meter.cpu_used() - before;
    };
    EXPECT_EQ(cost([&] { (void)sys.stat("/", "/tmp", true); }), 0u);
    EXPECT_EQ(cost([&] { (void)sys.stat("/", deep, true); }), work);
    EXPECT_EQ(cost([&] { (void)sys.chmod("/", deep, 0644); }), work);
    EXPECT_EQ(cost([&] { (void)sys.rename("/", deep, deep + "/x"); }), work + path_resolution_work("/", deep + "/x"));

    Machine small = Machine::build({.cpu = work / 2, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    SyscallContext small_sys{small};
    EXPECT_EQ(err(small_sys.stat("/", deep, true)).kind, SK::ResourceExhausted);
}

TEST(SyscallTableTest, OperationsAreNumberedInInterfaceOrder) {
    EXPECT_EQ(syscall_name(SyscallNumber::Getpid), "getpid");
    EXPECT_EQ(syscall_name(static_cast<SyscallNumber>(26)), "open");
    EXPECT_EQ(syscall_name(static_cast<SyscallNumber>(60)), "host_tool_request");
    EXPECT_EQ(syscall_name(static_cast<SyscallNumber>(67)), "listeners");
    EXPECT_EQ(syscall_name(static_cast<SyscallNumber>(76)), "display_open");
    EXPECT_EQ(syscall_name(static_cast<SyscallNumber>(kSyscallCount - 1)), "record_unsupported");
}

TEST(SyscallErrorTest, DisplayAndWriteFailureTexts) {
    struct Case {
        SyscallError error;
        const char* display;
        const char* write_failure;
    };
    const Case cases[] = {
        {SyscallError::file(VfsError::not_found("/x")), "No such file or directory: /x", "No such file or directory: /x"},
        {SyscallError::descriptor(DescriptorError::InvalidFd), "InvalidFd", "bad file descriptor"},
        {SyscallError::descriptor(DescriptorError::BrokenPipe), "BrokenPipe", "broken pipe"},
        {SyscallError::invalid_argument(), "invalid argument", "file cursor exceeds addressable memory"},
        {SyscallError::is_directory(), "is a directory", "is a directory"},
        {SyscallError::permission(), "permission denied", "descriptor is not open for writing"},
        {SyscallError::resource_exhausted(), "resource exhausted", "resource limit exceeded"},
        {SyscallError::no_such_process(), "no such process", "no such process"},
        {SyscallError::executable_format(), "unsupported executable format", "unsupported executable format"},
        {SyscallError::process("empty argv"), "empty argv", "empty argv"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_text(c.error), c.display);
        EXPECT_EQ(write_failure_text(c.error), c.write_failure);
    }
}

// Lending a file answers what reading it answers (bytes, errors, the count of bytes read), for
// stored files, links, generated files and every failure; a lent view shows the stored bytes.
TEST_F(SyscallTest, LendingAFileAgreesWithReadingIt) {
    write("/work/f", "hello");
    ASSERT_TRUE(sys.mkdir_all("/", "/work/dir").has_value());
    ASSERT_TRUE(sys.symlink("/", "f", "/work/link").has_value());
    struct Case {
        const char* base;
        const char* path;
        std::uint64_t limit;
    };
    const Case cases[] = {{"/work", "f", 100},          {"/", "/work/link", 100}, {"/", "/work/f", 5},
                          {"/", "/work/f", 4},          {"/", "/work/dir", 100},  {"/", "/work/none", 100},
                          {"/", "/proc/meminfo", 1 << 20}, {"/", "/proc/meminfo", 3}, {"/", "/proc/self", 100}};
    for (const Case& c : cases) {
        const std::uint64_t before = m.vfs.bytes_read();
        auto read = sys.read_file(c.base, c.path, c.limit);
        const std::uint64_t read_count = m.vfs.bytes_read() - before;
        auto lent = sys.lend_file(c.base, c.path, c.limit);
        const std::uint64_t lend_count = m.vfs.bytes_read() - before - read_count;
        EXPECT_EQ(read_count, lend_count) << c.path;
        ASSERT_EQ(read.has_value(), lent.has_value()) << c.path << " " << c.limit;
        if (read) EXPECT_EQ(lent->view(), *read) << c.path;
        else EXPECT_EQ(lent.error(), read.error()) << c.path << " " << c.limit;
    }
    auto lent = sys.lend_file("/", "/work/f", 100);
    EXPECT_EQ(lent->view().data(), m.vfs.node("/work/f")->data()->data());
}

TEST_F(SyscallTest, IdentityEnvironmentAndHostname) {
    EXPECT_EQ(sys.getpid(), 1234u);
    EXPECT_EQ(sys.getppid(), 0u);
    EXPECT_EQ(sys.getuid(), 0u);
    const auto env = sys.environment();
    ASSERT_EQ(env.size(), 8u);
    EXPECT_EQ(env.front(), "HOME=/root");
    EXPECT_TRUE(std::ranges::is_sorted(env));
    EXPECT_EQ(sys.hostname(), "sandbox");

    const std::pair<std::string, bool> names[] = {
        {std::string(255, 'h'), true}, {std::string(256, 'h'), false}, {"", false}, {std::string("a\0b", 3), false},
    };
    for (const auto& [name, ok] : names) {
        EXPECT_EQ(sys.set_hostname(name).has_value(), ok) << name.size();
        if (!ok) {
            EXPECT_EQ(sys.set_hostname(name).error().kind, SK::InvalidArgument);
        }
    }
    EXPECT_EQ(sys.hostname(), std::string(255, 'h'));

    EXPECT_EQ(sys.umask(), 022);
    EXPECT_TRUE(sys.set_umask(0777).has_value());
    EXPECT_EQ(sys.umask(), 0777);
    EXPECT_EQ(sys.set_umask(01000).error().kind, SK::InvalidArgument);
    EXPECT_EQ(sys.umask(), 0777);
    EXPECT_EQ(sys.exhausted_status(), 137);
}

TEST_F(SyscallTest, ChdirStoresThePhysicalDirectory) {
    ASSERT_TRUE(sys.mkdir_all("/", "/work/real/sub").has_value());
    ASSERT_TRUE(sys.symlink("/", "real", "/work/link").has_value());
    write("/work/file", "x");

    ASSERT_TRUE(sys.chdir("/work/link/sub").has_value());
    EXPECT_EQ(sys.getcwd(), "/work/real/sub");
    ASSERT_TRUE(sys.chdir("..").has_value());
    EXPECT_EQ(sys.getcwd(), "/work/real");

    EXPECT_EQ(err(sys.chdir("../file")), SyscallError::file(VfsError::not_a_dir("/work/file")));
    EXPECT_EQ(err(sys.chdir("missing")).vfs_error()->kind, VfsError::Kind::NotFound);
    EXPECT_EQ(err(sys.chdir("")).kind, SK::InvalidArgument);
    EXPECT_EQ(err(sys.chdir(std::string("a\0", 2))).kind, SK::InvalidArgument);
    EXPECT_EQ(sys.getcwd(), "/work/real");
}

TEST_F(SyscallTest, FilesystemChangesThroughTheInterface) {
    ASSERT_TRUE(sys.set_umask(027).has_value());
    ASSERT_TRUE(sys.mkdir("/", "/work/d").has_value());
    EXPECT_EQ(sys.stat("/", "/work/d", true)->mode, 0750u);
    EXPECT_EQ(err(sys.mkdir("/", "/work/d")).vfs_error()->kind, VfsError::Kind::Exists);

    write("/work/d/f", "hello");
    ASSERT_TRUE(sys.chown("/work", "d/f", 1000, std::nullopt).has_value());
    auto st = sys.stat("/", "/work/d/f", true);
    EXPECT_EQ(st->uid, 1000u);
    EXPECT_EQ(st->gid, 0u);
    EXPECT_EQ(err(sys.chown("/", "/proc/x", 1, 1)).vfs_error()->kind, VfsError::Kind::ReadOnly);

    EXPECT_EQ(err(sys.chmod("/", "/work/d/f", 010000)).kind, SK::InvalidArgument);
    EXPECT_EQ(err(sys.chmod("/", "", 0644)).kind, SK::InvalidArgument);
    ASSERT_TRUE(sys.chmod("/", "/work/d/f", 0600).has_value());
    EXPECT_EQ(sys.stat("/", "/work/d/f", true)->mode, 0600u);

    EXPECT_EQ(*sys.read_file("/work", "d/f", 100), "hello");
    EXPECT_EQ(err(sys.read_file("/", "/work/d/f", 4)).vfs_error()->kind, VfsError::Kind::TooLarge);
    EXPECT_EQ(*sys.read_dir("/", "/work/d"), std::vector<std::string>{"f"});

    ASSERT_TRUE(sys.remove("/", "/work/d/f").has_value());
    ASSERT_TRUE(sys.rmdir("/", "/work/d").has_value());
    EXPECT_FALSE(sys.stat("/", "/work/d", false).has_value());
}

TEST_F(SyscallTest, LinksAndCanonicalPaths) {
    ASSERT_TRUE(sys.mkdir_all("/", "/work/abcdef").has_value());
    ASSERT_TRUE(sys.symlink("/", "/abcdef", "/work/l").has_value());
    ASSERT_TRUE(sys.symlink("/", "abcdef", "/work/rel").has_value());
    EXPECT_EQ(*sys.readlink("/", "/work/l", 3), "/ab");
    EXPECT_EQ(*sys.readlink("/", "/work/l", 100), "/abcdef");
    EXPECT_EQ(*sys.link_target("/", "/work/l"), "/abcdef");
    EXPECT_EQ(err(sys.readlink("/", "/work/abcdef", 10)), SyscallError::file(VfsError::invalid("/work/abcdef")));
    EXPECT_EQ(err(sys.readlink("/", "/work/none", 10)).vfs_error()->kind, VfsError::Kind::NotFound);

    EXPECT_EQ(*sys.resolve_directory("/work", "rel", true), "/work/abcdef");
    EXPECT_EQ(*sys.resolve_directory("/work", "rel/../x", false), "/work/x");
    EXPECT_EQ(*sys.resolve_directory("/work", "rel", false), "/work/abcdef");
    // Without the physical flag a missing path is answered with its canonical text.
    EXPECT_EQ(*sys.resolve_directory("/", "/work/rel/missing", false), "/work/abcdef/missing");
}

TEST_F(SyscallTest, WalkTreeIsPreOrderInByteOrderWithoutEnteringLinks) {
    ASSERT_TRUE(sys.mkdir_all("/", "/work/t/b").has_value());
    ASSERT_TRUE(sys.mkdir_all("/", "/work/t/A").has_value());
    write("/work/t/b/z", "");
    write("/work/t/a", "");
    ASSERT_TRUE(sys.symlink("/", "/work/t/b", "/work/t/c").has_value());
    EXPECT_EQ(*sys.walk_tree("/work", "t"),
              (std::vector<std::string>{"/work/t", "/work/t/A", "/work/t/a", "/work/t/b", "/work/t/b/z", "/work/t/c"}));
    EXPECT_EQ(*sys.walk_tree("/", "/work/t/a"), std::vector<std::string>{"/work/t/a"});
    EXPECT_EQ(err(sys.walk_tree("/", "/nope")).vfs_error()->kind, VfsError::Kind::NotFound);
}

TEST_F(SyscallTest, RandomBytesFollowTheProcessGenerator) {
    const std::uint64_t cpu = sys.cpu_used();
    Bytes a(16, '\0');
    ASSERT_TRUE(sys.random_bytes(a).has_value());
    EXPECT_EQ(sys.cpu_used(), cpu + 16);

    // Same starting state, same bytes; the state moves on.
    Machine other = Machine::build(kLimits);
    SyscallContext other_sys{other};
    Bytes b(16, '\0');
    ASSERT_TRUE(other_sys.random_bytes(b).has_value());
    EXPECT_EQ(a, b);
    Bytes c(16, '\0');
    ASSERT_TRUE(sys.random_bytes(c).has_value());
    EXPECT_NE(a, c);

    // The first byte of the boot state: bits 32..39 of state * 6364136223846793005 + 1.
    std::uint64_t s = 0x5EED5EED5EED5EEDULL * 6364136223846793005ULL + 1;
    EXPECT_EQ(static_cast<unsigned char>(a[0]), (s >> 32) & 0xFF);

    // A refused charge leaves the buffer alone.
    Machine poor = Machine::build({.cpu = 10, .memory = 1 << 20, .disk = 1 << 20, .output = 1 << 20});
    SyscallContext poor_sys{poor};
    Bytes d(11, 'x');
    EXPECT_EQ(err(poor_sys.random_bytes(d)).kind, SK::ResourceExhausted);
    EXPECT_EQ(d, Bytes(11, 'x'));
}

TEST_F(SyscallTest, UniqueIdsCountUpAndStopAtTheTop) {
    EXPECT_EQ(sys.next_unique_id(), 0u);
    EXPECT_EQ(sys.next_unique_id(), 1u);
    m.unique_counter = kU64Max - 1;
    EXPECT_EQ(sys.next_unique_id(), kU64Max - 1);
    EXPECT_EQ(sys.next_unique_id(), std::nullopt);
    EXPECT_EQ(sys.next_unique_id(), std::nullopt);
}

TEST_F(SyscallTest, ClocksAndSleep) {
    EXPECT_EQ(sys.file_time_now(), kBootWallMs);
    EXPECT_EQ(*sys.wall_time_ns(), Clock::kBootWallNs);
    EXPECT_EQ(*sys.monotonic_ns(0), static_cast<std::uint64_t>(Clock::kBootWallNs));
    EXPECT_EQ(*sys.monotonic_ns(1), 0u);

    auto key = sys.sleep(5'000'000);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->time_ns, 5'000'000u);
    EXPECT_EQ(m.clock.pending().at(*key), ClockEvent::timer_due(1234));
    EXPECT_EQ(m.clock.sleep_total_ns(), 5'000'000u);
    EXPECT_EQ(err(sys.sleep(Clock::kHorizonNs + 1)).kind, SK::InvalidArgument);
}

TEST_F(SyscallTest, MeterOperations) {
    const Limits limits = sys.limits();
    EXPECT_EQ(limits, kLimits);
    EXPECT_TRUE(sys.charge_memory(100));
    EXPECT_EQ(sys.memory_used(), 100u);
    sys.release_memory(1000);
    EXPECT_EQ(sys.memory_used(), 0u);
    EXPECT_TRUE(sys.charge_output(10));
    EXPECT_EQ(sys.output_remaining(), kLimits.output - 10);

    const std::uint64_t cpu = sys.cpu_used(), disk = sys.disk_used();
    write("/tmp/x", "abc");
    ASSERT_TRUE(sys.charge_cpu(7));
    sys.record_command_usage("touch", cpu, disk);
    ASSERT_EQ(m.meter.command_usage().size(), 1u);
    EXPECT_EQ(m.meter.command_usage()[0], (CommandUsage{"touch", 7, 259}));

    sys.record_unsupported("pip:install");
    EXPECT_EQ(m.unsupported_labels.labels(), std::vector<std::string>{"pip:install"});

    // A refused charge is sticky: the meter refuses everything afterwards.
    EXPECT_FALSE(sys.charge_output(kLimits.output));
    EXPECT_FALSE(sys.charge_cpu(1));
}

TEST_F(SyscallTest, PipeAndCloseChooseNumbersFromFive) {
    auto p = sys.pipe(true, 0x04);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(*p, (std::pair<std::int32_t, std::int32_t>{5, 6}));
    EXPECT_EQ(m.meter.memory_current(), kPipeMemoryCharge);
    EXPECT_EQ(*m.states.active().descriptors.is_cloexec(5), true);
    EXPECT_EQ((*sys.descriptor_file_type(5)), (std::array<std::uint8_t, 4>{1, 0, 0x04, 3}));
    EXPECT_EQ((*sys.descriptor_file_type(6)), (std::array<std::uint8_t, 4>{0, 1, 0x04, 3}));
    EXPECT_EQ(m.processes.find(1234)->open_fds.at(5), "pipe:[0]");

    auto q = sys.pipe(false, 0);
    EXPECT_EQ(*q, (std::pair<std::int32_t, std::int32_t>{7, 8}));
    ASSERT_TRUE(sys.close(5).has_value());
    EXPECT_EQ(err(sys.close(5)), SyscallError::descriptor(DescriptorError::InvalidFd));
    auto r = sys.pipe(false, 0);
    EXPECT_EQ(*r, (std::pair<std::int32_t, std::int32_t>{5, 9}));

    // Both ends of the first pipe gone: its memory comes back.
    ASSERT_TRUE(sys.close(6).has_value());
    EXPECT_EQ(m.meter.memory_current(), 2 * kPipeMemoryCharge);
}

TEST_F(SyscallTest, PipeRefusalsChangeNothing) {
    Machine poor = Machine::build({.cpu = 100, .memory = 1000, .disk = 1 << 20, .output = 1 << 20});
    SyscallContext poor_sys{poor};
    EXPECT_EQ(err(poor_sys.pipe(false, 0)).kind, SK::ResourceExhausted);
    EXPECT_TRUE(poor.open_descriptions.pipes().empty());
    EXPECT_EQ(poor.states.active().descriptors.count(), 3u);

    auto& fds = m.states.active_mut().descriptors;
    const std::uint32_t in = *fds.description_of(0);
    for (std::int32_t fd = 3; fd < 255; ++fd) ASSERT_TRUE(fds.install(fd, in, m.open_descriptions).has_value());
    EXPECT_EQ(fds.count(), 255u);
    EXPECT_EQ(err(sys.pipe(false, 0)), SyscallError::descriptor(DescriptorError::DescriptorLimit));
    EXPECT_TRUE(m.open_descriptions.pipes().empty());
}

TEST_F(SyscallTest, ReadinessOfPipesAndBuffers) {
    auto [rd, wr] = *sys.pipe(false, 0);
    const std::uint32_t pipe = 0;
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::pending(WaitReason::pipe_readable(pipe)));
    EXPECT_EQ(*sys.descriptor_readiness(wr, true), DescriptorReadiness::ready(kPipeCapacity));
    EXPECT_EQ(err(sys.descriptor_readiness(rd, true)), SyscallError::descriptor(DescriptorError::WrongAccess));

    auto& buffer = m.open_descriptions.pipes_mut().at(pipe).buffer;
    buffer.append(std::string(kPipeCapacity, 'x'));
    EXPECT_EQ(*sys.descriptor_readiness(wr, true), DescriptorReadiness::pending(WaitReason::pipe_writable(pipe)));
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::ready(kPipeCapacity));
    buffer.clear();

    ASSERT_TRUE(sys.close(wr).has_value());
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::closed(0));

    // Standard input is an empty closed buffer, standard output a capture.
    EXPECT_EQ(*sys.descriptor_readiness(0, false), DescriptorReadiness::closed(0));
    EXPECT_EQ(*sys.descriptor_readiness(1, true), DescriptorReadiness::ready(kMaxBufferedBytes));
    auto open_input = m.open_descriptions.insert(target::BufferedInput{.data = "ab", .cursor = 2, .closed = false});
    ASSERT_TRUE(m.states.active_mut().descriptors.install(9, *open_input, m.open_descriptions).has_value());
    EXPECT_EQ(*sys.descriptor_readiness(9, false), DescriptorReadiness::pending(WaitReason::input_readable(*open_input)));
}

TEST_F(SyscallTest, Dup2) {
    auto [rd, wr] = *sys.pipe(false, 0);
    ASSERT_TRUE(sys.dup2(wr, wr).has_value());
    EXPECT_EQ(m.open_descriptions.get(*m.states.active().descriptors.description_of(wr)).value()->references, 1u);

    ASSERT_TRUE(sys.dup2(wr, 42).has_value());
    EXPECT_EQ(*sys.descriptor_file_type(42), *sys.descriptor_file_type(wr));
    EXPECT_EQ(m.processes.find(1234)->open_fds.count(42), 1u);
    EXPECT_EQ(err(sys.dup2(77, 3)), SyscallError::descriptor(DescriptorError::InvalidFd));

    // Replacing the last write end lets the reader see the end of input.
    ASSERT_TRUE(sys.close(wr).has_value());
    ASSERT_TRUE(sys.dup2(0, 42).has_value());
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::closed(0));
}

TEST_F(SyscallTest, FileDescriptorsSeekStatAndTruncate) {
    write("/work/f", "0123456789");
    install_file(5, "/work/f", true, true);
    install_file(6, "/work/f", true, false);

    EXPECT_EQ(*sys.seek(5, 4, 0), 4u);
    EXPECT_EQ(*sys.descriptor_readiness(5, false), DescriptorReadiness::ready(6));
    EXPECT_EQ(*sys.seek(5, -1, 1), 3u);
    EXPECT_EQ(*sys.seek(5, 5, 2), 15u);  // past the end is allowed
    EXPECT_EQ(*sys.descriptor_readiness(5, false), DescriptorReadiness::ready(0));
    EXPECT_EQ(err(sys.seek(5, -11, 2)).kind, SK::InvalidArgument);
    EXPECT_EQ(err(sys.seek(5, 0, 3)).kind, SK::InvalidArgument);
    EXPECT_EQ(sys.descriptor_file_target(5)->cursor, 15u);

    auto [rd, wr] = *sys.pipe(false, 0);
    EXPECT_EQ(err(sys.seek(rd, 0, 0)), SyscallError::descriptor(DescriptorError::WrongAccess));
    auto null = m.open_descriptions.insert(target::NullDevice{.readable = true, .writable = true});
    ASSERT_TRUE(m.states.active_mut().descriptors.install(20, *null, m.open_descriptions).has_value());
    EXPECT_EQ(*sys.seek(20, 100, 0), 0u);
    EXPECT_EQ(err(sys.fstat(wr)), SyscallError::descriptor(DescriptorError::WrongAccess));

    const std::uint64_t node = m.vfs.node("/work/f")->node_id;
    EXPECT_EQ(sys.fstat(5)->ino, node);
    EXPECT_EQ(*sys.descriptor_inode(6), node);
    EXPECT_EQ(err(sys.descriptor_inode(rd)), SyscallError::descriptor(DescriptorError::WrongAccess));

    const std::uint64_t used = m.vfs.used();
    ASSERT_TRUE(sys.truncate(5, 4).has_value());
    EXPECT_EQ(*sys.read_file("/", "/work/f", 100), "0123");
    EXPECT_EQ(m.vfs.used(), used - 6);
    EXPECT_EQ(err(sys.truncate(6, 0)).kind, SK::Permission);
    EXPECT_EQ(err(sys.truncate(rd, 0)), SyscallError::descriptor(DescriptorError::WrongAccess));
}

TEST_F(SyscallTest, RemovedOpenFileLivesOnAsAnOrphanUntilClosed) {
    write("/work/f", "abc");
    install_file(5, "/work/f", true, true);
    const std::uint64_t node = m.vfs.node("/work/f")->node_id;
    const std::uint64_t used = m.vfs.used();

    ASSERT_TRUE(sys.remove("/", "/work/f").has_value());
    EXPECT_FALSE(sys.stat("/", "/work/f", false).has_value());
    auto target = sys.descriptor_file_target(5);
    ASSERT_TRUE(target->backing.orphan.has_value());
    EXPECT_EQ(target->path, "/work/f");
    EXPECT_EQ(sys.fstat(5)->ino, node);
    EXPECT_EQ(m.vfs.used(), used);

    ASSERT_TRUE(sys.truncate(5, 10).has_value());
    EXPECT_EQ(sys.fstat(5)->size, 10u);
    EXPECT_EQ(m.vfs.used(), used + 7);
    EXPECT_EQ(*sys.seek(5, 0, 2), 10u);

    ASSERT_TRUE(sys.close(5).has_value());
    EXPECT_TRUE(m.vfs.orphans().empty());
    EXPECT_EQ(m.vfs.used(), used - 256 - 3);
}

TEST_F(SyscallTest, DirectoryDescriptors) {
    ASSERT_TRUE(sys.mkdir_all("/", "/work/d").has_value());
    auto dir = m.open_descriptions.insert(target::Directory{"/work/d"});
    ASSERT_TRUE(m.states.active_mut().descriptors.install(5, *dir, m.open_descriptions).has_value());
    EXPECT_EQ(*sys.directory_path(5), "/work/d");
    EXPECT_EQ(sys.fstat(5)->file_type, 1);
    EXPECT_EQ(*sys.descriptor_readiness(5, false), DescriptorReadiness::ready(0));
    EXPECT_EQ(err(sys.directory_path(0)), SyscallError::descriptor(DescriptorError::WrongAccess));
    EXPECT_EQ(err(sys.directory_path(99)), SyscallError::descriptor(DescriptorError::InvalidFd));
    EXPECT_EQ(err(sys.descriptor_file_target(5)), SyscallError::descriptor(DescriptorError::WrongAccess));
}

TEST_F(SyscallTest, FlockSharedExclusiveAndUnlock) {
    write("/work/lock", "");
    install_file(5, "/work/lock", true, false);
    install_file(6, "/work/lock", true, false);
    install_file(7, "/work/lock", true, true);
    const std::uint64_t cpu = sys.cpu_used();

    EXPECT_EQ(sys.flock(5, 0), true);
    EXPECT_EQ(sys.flock(6, 0), true);
    EXPECT_EQ(sys.flock(7, 1), false);
    EXPECT_EQ(sys.cpu_used(), cpu + 3 * 4096);
    // Upgrading while another shared holder exists drops the first lock and fails.
    EXPECT_EQ(sys.flock(5, 1), false);
    EXPECT_EQ(m.open_descriptions.get(*m.states.active().descriptors.description_of(5)).value()->lock_mode,
              LockMode::None);
    EXPECT_EQ(sys.flock(6, 2), true);
    EXPECT_EQ(sys.flock(6, 2), true);  // unlocking without a lock succeeds
    EXPECT_EQ(sys.flock(7, 1), true);
    EXPECT_EQ(sys.flock(7, 1), true);  // same mode again: nothing changes

    EXPECT_EQ(err(sys.flock(99, 1)), SyscallError::descriptor(DescriptorError::InvalidFd));
    EXPECT_EQ(err(sys.flock(0, 1)), SyscallError::descriptor(DescriptorError::WrongAccess));
}

TEST_F(SyscallTest, ChildStatusChecksParentage) {
    auto child = [&](Pid pid, Pid ppid, ProcessStatus status, std::int32_t code, std::optional<Signal> sig) {
        ProcessRecord r;
        r.pid = pid;
        r.ppid = ppid;
        r.status = status;
        r.exit_code = code;
        r.term_signal = sig;
        m.processes.insert(std::move(r));
    };
    child(2000, 1234, ProcessStatus::Exited, 3, std::nullopt);
    child(2001, 1234, ProcessStatus::Exited, 143, Signal::TERM);
    child(2002, 1234, ProcessStatus::Running, 0, std::nullopt);
    child(2003, 999, ProcessStatus::Exited, 0, std::nullopt);

    EXPECT_EQ(*sys.wait_status(2000), WaitStatus::exited(3));
    EXPECT_EQ(*sys.wait_status(2001), WaitStatus::signaled(Signal::TERM));
    EXPECT_EQ(*sys.wait_status(2002), WaitStatus::running());
    EXPECT_EQ(err(sys.wait_status(2003)).kind, SK::Permission);
    EXPECT_EQ(err(sys.wait_status(5555)).kind, SK::InvalidArgument);
    EXPECT_EQ(*sys.child_state(2000), (ChildExit{true, 3}));
    EXPECT_EQ(sys.child_state(2002)->exited, false);

    EXPECT_EQ(err(sys.reap_child(2002)).kind, SK::InvalidArgument);
    EXPECT_EQ(err(sys.reap_child(2003)).kind, SK::Permission);
    EXPECT_EQ(*sys.reap_child(2000), 3);
    EXPECT_EQ(err(sys.reap_child(2000)).kind, SK::InvalidArgument);
    EXPECT_EQ(m.processes.find(2000), nullptr);
}

TEST_F(SyscallTest, ProcessListRefreshesTheCaller) {
    ASSERT_TRUE(sys.chdir("/tmp").has_value());
    m.states.active_mut().store_variable("NEW", "1");
    m.states.active_mut().export_variable("NEW");
    const auto list = sys.process_list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cwd, "/tmp");
    EXPECT_EQ(list[0].environment.at("NEW"), "1");
}

TEST_F(SyscallTest, HttpThroughTheInterface) {
    HttpRequest to_endpoint{.method = "POST", .url = std::string(kToolEndpointUrl), .headers = {}, .body = "{}"};
    auto refused = sys.host_tool_request(to_endpoint);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(error_text(refused.error()), "host tools endpoint is not enabled");
    EXPECT_EQ(sys.network_log_len(), 1u);

    // Without the endpoint its URL is matched against the routes like any other.
    ASSERT_TRUE(sys.add_http_route("http://tools.*", 202, "ok").has_value());
    auto answered = sys.host_tool_request(to_endpoint);
    ASSERT_TRUE(answered.has_value());
    EXPECT_EQ(std::get<HttpResponse>(*answered).status, 202);

    write("/srv/body", "file body");
    ASSERT_TRUE(sys.add_http_route_file("http://h/file", "/srv/body").has_value());
    HttpRequest get{.method = "GET", .url = "http://h/file", .headers = {}, .body = {}};
    EXPECT_EQ(std::get<HttpResponse>(*sys.host_tool_request(get)).body, "file body");
    EXPECT_EQ(sys.add_http_route("", 200, {}).error(), HttpRouteError::of(HttpRouteError::Kind::EmptyPattern));

    EXPECT_EQ(sys.network_log_len(), 3u);
    EXPECT_EQ(sys.network_log_entry(2)->url, "http://h/file");
    EXPECT_EQ(sys.network_log_entry(3), std::nullopt);

    sys.listen("svc");
    sys.listen("svc");
    EXPECT_EQ(sys.listeners(), std::vector<std::string>{"svc"});
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

using testing_support::run_until_host;

// A launcher that gives the process a program finishing with the number of its arguments.
Result<void, std::string> count_args_launcher(Machine& m, Pid pid, const std::vector<std::string>& argv) {
    const auto status = static_cast<std::int32_t>(argv.size());
    return m.states.set_program(pid, CallbackProgram{[status](Machine&) { return ProgramStep::finished(status); }});
}

class ForwardingTest : public ::testing::Test {
protected:
    Machine m = Machine::build(testing_support::kRoomyLimits);
    SyscallContext sys{m, count_args_launcher};
};

TEST_F(ForwardingTest, OpenWriteAndReadBackThroughDescriptors) {
    const OpenFlags rw{.read = true, .write = true, .create = true};
    EXPECT_EQ(*sys.open("/work", "f", rw), 5);
    EXPECT_EQ(*sys.write(5, "hello"), WriteOutcome::of(5));
    EXPECT_EQ(*sys.seek(5, 0, 0), 0u);
    EXPECT_EQ(*sys.read(5, 100), ReadOutcome::of("hello"));
    EXPECT_TRUE(sys.read(5, 100)->at_end());
    EXPECT_EQ(*sys.read_description(5, 1, 3), "ell");
    EXPECT_EQ(sys.stat("/", "/work/f", true)->mode, 0644u);

    EXPECT_EQ(*sys.open("/", "/work/f", OpenFlags::input()), 6);
    ASSERT_TRUE(sys.close(5).has_value());
    EXPECT_EQ(*sys.open("/", "/work/f", OpenFlags::append_output()), 5);
    EXPECT_EQ(*sys.write(5, "!"), WriteOutcome::of(1));
    EXPECT_EQ(*sys.read(6, 100), ReadOutcome::of("hello!"));
    EXPECT_EQ(err(sys.write(6, "x")).kind, SyscallError::Kind::Permission);

    EXPECT_EQ(err(sys.open("/", "", rw)).kind, SyscallError::Kind::InvalidArgument);
    EXPECT_EQ(err(sys.open("/", "/work/f", OpenFlags{})).kind, SyscallError::Kind::InvalidArgument);
    ASSERT_TRUE(sys.openat(9, "/", "/dev/null", OpenFlags{.read = true, .write = true}).has_value());
    EXPECT_EQ(*sys.seek(9, 10, 0), 0u);
    EXPECT_EQ(*sys.descriptor_file_type(9), (std::array<std::uint8_t, 4>{1, 1, 0, 2}));
}

TEST_F(ForwardingTest, PipeMovesBytesAndReportsReadiness) {
    auto [rd, wr] = *sys.pipe(false, 0);
    EXPECT_EQ(*sys.write(wr, "abc"), WriteOutcome::of(3));
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::ready(3));
    EXPECT_EQ(*sys.read(rd, 100), ReadOutcome::of("abc"));
    const auto blocked = sys.read(rd, 100);
    ASSERT_TRUE(blocked->blocked());
    EXPECT_EQ(*blocked->wait, WaitReason::pipe_readable(0));
    ASSERT_TRUE(sys.close(wr).has_value());
    EXPECT_TRUE(sys.read(rd, 100)->at_end());
    EXPECT_EQ(*sys.descriptor_readiness(rd, false), DescriptorReadiness::closed(0));
}

TEST_F(ForwardingTest, PrepareChildThenWaitAndReap) {
    auto child = sys.prepare_child(ChildRequest{.argv = {"job", "a", "b"}, .detached = true});
    ASSERT_TRUE(child.has_value()) << error_text(child.error());
    EXPECT_EQ(*sys.wait_status(*child), WaitStatus::running());
    EXPECT_EQ(m.processes.find(*child)->command, "job a b");

    ASSERT_TRUE(run_until_host(m).has_value());
    EXPECT_EQ(*sys.wait_status(*child), WaitStatus::exited(3));
    EXPECT_EQ(*sys.reap_child(*child), 3);
    EXPECT_EQ(err(sys.child_state(*child)).kind, SyscallError::Kind::InvalidArgument);
    EXPECT_EQ(m.scheduler.find_task(*child), nullptr);

    SyscallContext without_launch{m};
    EXPECT_EQ(err(without_launch.prepare_child(ChildRequest{.argv = {"x"}})),
              SyscallError::process("command launch is not available"));
    EXPECT_EQ(err(sys.prepare_child(ChildRequest{})), SyscallError::process("empty argv"));
}

TEST_F(ForwardingTest, SetupChildStateRunsArgvInTheCaller) {
    EXPECT_EQ(err(sys.setup_child_state({}, std::nullopt)).kind, SyscallError::Kind::InvalidArgument);
    ChildRequest::Configuration config{.directory = "/tmp", .environment = std::nullopt};
    ASSERT_TRUE(sys.setup_child_state({"env", "x"}, config).has_value());
    EXPECT_EQ(sys.getcwd(), "/tmp");
    EXPECT_TRUE(m.states.active().program.has_value());
    EXPECT_EQ(m.processes.find(sys.getpid())->command, "env x");
}

TEST_F(ForwardingTest, KillAndSignalDispositions) {
    EXPECT_EQ(err(sys.kill(0, 99999, Signal::TERM)), SyscallError::no_such_process());
    EXPECT_EQ(err(sys.kill(1, 99999, Signal::TERM)), SyscallError::no_such_process());
    auto child = sys.prepare_child(ChildRequest{.argv = {"job"}, .detached = true});
    ASSERT_TRUE(sys.kill(0, *child, Signal::USR1).has_value());
    EXPECT_TRUE(m.states.find(*child)->pending_signals.contains(Signal::USR1));

    for (Signal s : {Signal::KILL, Signal::STOP}) {
        EXPECT_EQ(err(sys.ignore_signal(s)).kind, SyscallError::Kind::InvalidArgument);
        EXPECT_EQ(err(sys.set_signal_disposition(s, false)).kind, SyscallError::Kind::InvalidArgument);
    }
    auto& traps = m.states.active_mut().signal_traps;
    traps[Signal::TERM] = Trap::command("echo bye");
    ASSERT_TRUE(sys.ignore_signal(Signal::TERM).has_value());
    EXPECT_EQ(traps.at(Signal::TERM), Trap::ignore());
    ASSERT_TRUE(sys.set_signal_disposition(Signal::TERM, false).has_value());
    EXPECT_FALSE(traps.contains(Signal::TERM));
}

TEST_F(ForwardingTest, TreeOperationsDisplayAndPseudoLinks) {
    ASSERT_TRUE(sys.install_files("/work", {InstallOp::create_dir_all("pkg"),
                                            InstallOp::write_file("pkg/a.txt", "A", 0644)})
                    .has_value());
    ASSERT_TRUE(sys.rename("/work", "pkg/a.txt", "pkg/b.txt").has_value());
    ASSERT_TRUE(sys.copy_file("/work", "pkg/b.txt", "c.txt").has_value());
    ASSERT_TRUE(sys.copy_tree("/work", "pkg", "pkg2", true).has_value());
    EXPECT_EQ(*sys.read_file("/", "/work/c.txt", 10), "A");
    EXPECT_EQ(*sys.read_file("/", "/work/pkg2/b.txt", 10), "A");
    EXPECT_EQ(*sys.walk_tree("/", "/work/pkg"), (std::vector<std::string>{"/work/pkg", "/work/pkg/b.txt"}));

    EXPECT_EQ(*sys.readlink("/", "/proc/self", 2), "12");
    EXPECT_EQ(*sys.link_target("/", "/proc/self"), "1234");

    EXPECT_EQ(*sys.display_open(2, 2, 1), 1u);
    EXPECT_EQ(sys.display_open(2, 2, 1).error(), DisplayError::Busy);
    ASSERT_TRUE(sys.display_present(1, Bytes(16, '\x7f'), 8).has_value());
    EXPECT_EQ(m.display.generation, 1u);
    EXPECT_EQ(*sys.input_poll_key(1), KeyEvent{});
    ASSERT_TRUE(sys.display_close(1).has_value());
    EXPECT_EQ(sys.display_close(1).error(), DisplayError::BadHandle);
}

}  // namespace
}  // namespace tw
