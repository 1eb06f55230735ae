#include "io_fixture.h"

namespace tw {
namespace {

using testing::IoFixture;

class OpenTest : public IoFixture {
protected:
    void SetUp() override {
        m.sync_vfs_clock();
        ASSERT_TRUE(m.vfs.write_file_mode("/", "/tmp/old", "old", 0600));
        ASSERT_TRUE(m.vfs.symlink("/", "/tmp/old", "/tmp/link"));
    }
    std::size_t descriptions() const { return m.open_descriptions.descriptions().size(); }
};

TEST_F(OpenTest, LowestFreeNumberFromFive) {
    EXPECT_EQ(m.open_lowest("/", "/tmp/old", OpenFlags::input()).value(), 5);
    EXPECT_EQ(m.open_lowest("/tmp", "old", OpenFlags::input()).value(), 6);
    ASSERT_TRUE(m.states.active_mut().descriptors.close(5, m.open_descriptions));
    EXPECT_EQ(m.open_lowest("/", "/tmp/old", OpenFlags::input()).value(), 5);
    EXPECT_EQ(m.processes.find(kFirstShellPid)->open_fds.at(6), "/tmp/old");
}

TEST_F(OpenTest, FlagsAndRefusals) {
    using namespace std::literals;
    const OpenFlags excl{.write = true, .create = true, .exclusive = true};
    struct Case {
        std::int32_t fd;
        std::string_view path;
        OpenFlags flags;
        const char* expected;
    };
    const Case cases[] = {
        {-1, "/tmp/old", OpenFlags::input(), "invalid argument"},
        {5, "", OpenFlags::input(), "invalid argument"},
        {5, "/tmp/o\0ld"sv, OpenFlags::input(), "invalid argument"},
        {5, "/tmp/old", OpenFlags{.create = true}, "invalid argument"},
        {5, "/tmp/missing", OpenFlags::input(), "No such file or directory: /tmp/missing"},
        {5, "/tmp/missing", OpenFlags{.read = true, .create = true}, "No such file or directory: /tmp/missing"},
        {5, "/nodir/x", OpenFlags::output(), "No such file or directory: /nodir"},
        {5, "/tmp/old", excl, "File exists: /tmp/old"},
        {5, "/tmp/link", excl, "File exists: /tmp/link"},
        {5, "/tmp", excl, "File exists: /tmp"},
        {5, "/dev/null", excl, "File exists: /dev/null"},
        {5, "/tmp", OpenFlags{.read = true, .write = true}, "is a directory"},
        {5, "/tmp", OpenFlags{.read = true, .truncate = true}, "is a directory"},
        {5, "/tmp/old", OpenFlags{.read = true, .truncate = true}, "permission denied"},
    };
    for (const auto& c : cases) EXPECT_EQ(open_error(c.fd, c.path, c.flags), c.expected) << c.path;
    // Nothing was installed and no description was left behind; the file kept its bytes.
    EXPECT_FALSE(m.states.active().descriptors.is_open(5));
    EXPECT_EQ(descriptions(), 3u);
    EXPECT_EQ(contents("/tmp/old"), "old");
}

TEST_F(OpenTest, CreationTruncationAndModes) {
    open(5, "/tmp/a", OpenFlags{.write = true, .create = true, .exclusive = true});
    EXPECT_TRUE(file_of(5).created);
    EXPECT_EQ(m.vfs.node("/tmp/a")->mode, 0644u);
    m.states.active_mut().umask = 0;
    open(6, "/tmp/b", OpenFlags::output());
    EXPECT_EQ(m.vfs.node("/tmp/b")->mode, 0666u);

    // Truncation empties an existing file and keeps its mode; the open did not create it.
    open(7, "/tmp/old", OpenFlags::output());
    EXPECT_EQ(contents("/tmp/old"), "");
    EXPECT_EQ(m.vfs.node("/tmp/old")->mode, 0600u);
    EXPECT_FALSE(file_of(7).created);

    // Through a dangling link the target is created.
    ASSERT_TRUE(m.vfs.symlink("/", "/tmp/target", "/tmp/dangling"));
    open(8, "/tmp/dangling", OpenFlags::output());
    EXPECT_EQ(contents("/tmp/target"), "");
    EXPECT_EQ(file_of(8).path, "/tmp/target");
}

TEST_F(OpenTest, FileDescriptionsRecordWhatLaterCallsNeed) {
    open(5, "/tmp/link", OpenFlags{.read = true, .append = true});
    const target::File& f = file_of(5);
    EXPECT_EQ(f.path, "/tmp/old");
    EXPECT_EQ(f.cursor, 3u);
    EXPECT_TRUE(f.readable);
    EXPECT_FALSE(f.writable);
    EXPECT_TRUE(f.append);
    EXPECT_EQ((*m.open_descriptions.get(description(5)))->inode, m.vfs.node("/tmp/old")->node_id);

    open(6, "/tmp/../tmp", OpenFlags::input());
    const OpenDescription& dir = **m.open_descriptions.get(description(6));
    EXPECT_EQ(std::get<target::Directory>(dir.target).path, "/tmp");
    EXPECT_EQ(dir.inode, m.vfs.node("/tmp")->node_id);
}

TEST_F(OpenTest, DevicePathsAreNormalised) {
    struct Case {
        const char* path;
        const char* name;
    };
    const Case cases[] = {
        {"/dev/null", "/dev/null"},
        {"/dev/./zero", "/dev/zero"},
        {"/dev//urandom", "/dev/urandom"},
        {"/tmp/../dev/random", "/dev/random"},
    };
    std::int32_t fd = 10;
    for (const auto& c : cases) {
        open(fd, c.path, OpenFlags::output());  // create and truncate do not matter for devices
        EXPECT_EQ(m.open_descriptions.display_name(description(fd)), c.name);
        ++fd;
    }
    EXPECT_EQ(Machine::open_device_path("dev/zero"), DeviceKind::Zero);
    EXPECT_EQ(Machine::open_device_path("/dev/zeros"), std::nullopt);
}

TEST_F(OpenTest, ReplacingADescriptorReleasesTheOldOne) {
    const std::uint32_t capture = description(1);
    open(1, "/tmp/old", OpenFlags::input());
    EXPECT_FALSE(m.open_descriptions.get(capture));
    EXPECT_EQ(m.processes.find(kFirstShellPid)->open_fds.at(1), "/tmp/old");

    // Replacing the last write end of a pipe wakes its reader, who now sees the end.
    const std::uint32_t p = pipe_at(5, 6);
    block_shell(WaitReason::pipe_readable(p));
    open(6, "/dev/null", OpenFlags::output());
    EXPECT_EQ(shell_task(), TaskKind::Ready);
    EXPECT_TRUE(m.read_fd(5, 1)->at_end());
}

TEST_F(OpenTest, DirectoryDescriptorsAreLimitedPerProcess) {
    for (std::int32_t fd = 10; fd < 10 + 64; ++fd) open(fd, "/tmp", OpenFlags::input());
    EXPECT_EQ(open_error(100, "/tmp", OpenFlags::input()), "DescriptorLimit");
    // Replacing one of them with a file makes room again.
    open(10, "/tmp/old", OpenFlags::input());
    open(100, "/tmp", OpenFlags::input());
}

TEST_F(OpenTest, LimitsRefuseBeforeAnythingChanges) {
    // 256 descriptors: a new number is refused and the file is not created.
    const std::uint32_t capture = description(1);
    for (std::int32_t fd = 3; fd < 256; ++fd)
        ASSERT_TRUE(m.states.active_mut().descriptors.install(fd, capture, m.open_descriptions));
    ASSERT_EQ(m.states.active().descriptors.count(), 256u);
    EXPECT_EQ(open_error(300, "/tmp/new", OpenFlags::output()), "DescriptorLimit");
    EXPECT_EQ(m.open_lowest("/", "/tmp/new", OpenFlags::output()).error().kind, SyscallError::Kind::Descriptor);
    EXPECT_EQ(contents("/tmp/new"), "<none>");
    // Replacing an open number is allowed.
    open(255, "/tmp/old", OpenFlags::input());
}

TEST_F(OpenTest, DescriptionLimitRefusesBeforeCreatingOrTruncating) {
    while (m.open_descriptions.can_insert()) ASSERT_TRUE(m.open_descriptions.insert_capture());
    EXPECT_EQ(open_error(5, "/tmp/new", OpenFlags::output()), "DescriptionLimit");
    EXPECT_EQ(open_error(5, "/tmp/old", OpenFlags::output()), "DescriptionLimit");
    EXPECT_EQ(contents("/tmp/new"), "<none>");
    EXPECT_EQ(contents("/tmp/old"), "old");
}

}  // namespace
}  // namespace tw
