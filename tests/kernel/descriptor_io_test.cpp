#include "io_fixture.h"

namespace tw {
namespace {

using testing::IoFixture;
using testing::kIoLimits;

// ---- pipes ----

class PipeTest : public IoFixture {};

TEST_F(PipeTest, FillsAtCapacityAndAReadWakesTheWriter) {
    const std::uint32_t p = pipe_at(5, 6);
    EXPECT_EQ(write(6, Bytes(100000, 'a')), "65536");
    EXPECT_EQ(write(6, "b"), "<block>");
    auto blocked = m.write_fd(6, "b");
    EXPECT_EQ(blocked->wait, WaitReason::pipe_writable(p));

    block_shell(WaitReason::pipe_writable(p));
    EXPECT_EQ(read(5, 4096).size(), 4096u);
    EXPECT_EQ(shell_task(), TaskKind::Ready);
    EXPECT_EQ(write(6, Bytes(10000, 'c')), "4096");
}

TEST_F(PipeTest, WriterGoneMeansEndOfInput) {
    const std::uint32_t p = pipe_at(5, 6);
    auto empty = m.read_fd(5, 10);
    EXPECT_EQ(empty->wait, WaitReason::pipe_readable(p));

    block_shell(WaitReason::pipe_readable(p));
    EXPECT_EQ(write(6, "hello"), "5");
    EXPECT_EQ(shell_task(), TaskKind::Ready);

    ASSERT_TRUE(m.states.active_mut().descriptors.close(6, m.open_descriptions));
    EXPECT_EQ(read(5, 3), "hel");
    EXPECT_EQ(read(5, 10), "lo");
    auto end = m.read_fd(5, 10);
    EXPECT_TRUE(end->at_end());
}

TEST_F(PipeTest, ReaderGoneIsABrokenPipe) {
    pipe_at(5, 6);
    ASSERT_TRUE(m.states.active_mut().descriptors.close(5, m.open_descriptions));
    EXPECT_EQ(write(6, "x"), "error: BrokenPipe");
}

TEST_F(PipeTest, TrafficWakesAncestorsWaitingForActivity) {
    // 1234 -> 1300 -> 1301; the grandchild writes, the shell waits for activity of its child.
    for (Pid pid : {1300u, 1301u}) {
        ProcessRecord record;
        record.pid = pid;
        record.ppid = pid - (pid == 1300 ? 66 : 1);
        m.processes.insert(record);
        ProcessState state = m.states.active();
        state.descriptors = *state.descriptors.inherit(m.open_descriptions);
        ASSERT_TRUE(m.states.insert(pid, std::move(state)));
    }
    auto [r, w] = *m.open_descriptions.create_pipe();
    ASSERT_TRUE(m.states.select(1301));
    install(5, r);
    install(6, w);
    block_shell(WaitReason::child_activity(1300));
    EXPECT_EQ(write(6, "x"), "1");
    EXPECT_EQ(shell_task(), TaskKind::Ready);
}

// ---- input buffers and captures ----

class BufferTest : public IoFixture {};

TEST_F(BufferTest, OpenInputBlocksUntilExtendedAndEndsWhenClosed) {
    const std::uint32_t in = *m.open_descriptions.insert_open_input();
    install(0, in);
    EXPECT_EQ(m.read_fd(0, 10)->wait, WaitReason::input_readable(in));

    block_shell(WaitReason::input_readable(in));
    ASSERT_TRUE(m.append_input(in, "hi"));
    EXPECT_EQ(shell_task(), TaskKind::Ready);
    EXPECT_EQ(read(0, 10), "hi");
    EXPECT_EQ(read(0, 10), "<block>");

    block_shell(WaitReason::input_readable(in));
    ASSERT_TRUE(m.close_input(in));
    EXPECT_EQ(shell_task(), TaskKind::Ready);
    EXPECT_TRUE(m.read_fd(0, 10)->at_end());

    const std::uint32_t capture = description(1);
    EXPECT_EQ(m.append_input(in, "late").error(), DescriptorError::WrongAccess);
    EXPECT_EQ(m.append_input(capture, "x").error(), DescriptorError::WrongAccess);
    EXPECT_EQ(m.append_input(9999, "x").error(), DescriptorError::InvalidFd);
    const std::uint32_t other = *m.open_descriptions.insert_open_input();
    EXPECT_EQ(m.append_input(other, Bytes(kMaxBufferedBytes + 1, 'x')).error(), DescriptorError::OutputLimit);
}

TEST_F(BufferTest, CaptureRefusesPastItsBoundAndKeepsWhatItHas) {
    ASSERT_EQ(write(1, Bytes(4194300, 'x')), "4194300");
    EXPECT_EQ(write(1, "12345"), "error: OutputLimit");
    EXPECT_EQ(m.open_descriptions.take_captured_bytes(description(1))->size(), 4194300u);

    Bytes out(4194300, 'x');
    append_bounded_output(out, "12345");
    EXPECT_EQ(out.size(), 4194304u);
    EXPECT_EQ(out.substr(out.size() - 4), "1234");
}

TEST_F(BufferTest, HostCaptureKeepsWhatFitsNotesTheCutAndStopsTheRun) {
    const std::uint32_t number = description(1);
    std::get<target::OutputCapture>((*m.open_descriptions.get_mut(number))->target).host = true;
    ASSERT_EQ(write(1, Bytes(4194300, 'x')), "4194300");
    EXPECT_FALSE(m.meter.stop_reason());
    EXPECT_EQ(write(1, "12345"), "4");
    EXPECT_EQ(m.meter.stop_reason(), StopReason::output_limit_exceeded);
    EXPECT_EQ(write(1, "6"), "0");
    const auto& capture = std::get<target::OutputCapture>((*m.open_descriptions.get(number))->target);
    EXPECT_TRUE(capture.cut);
    EXPECT_EQ(capture.data.size(), kMaxBufferedBytes);
}

TEST_F(BufferTest, MachineMessagesAreChargedAndCutToTheOutputBudget) {
    Machine small = Machine::build(MachineLimits{.cpu = 1000, .memory = 1 << 20, .disk = 1 << 20, .output = 10});
    EXPECT_EQ(small.charge_message_output(6), 6u);
    EXPECT_FALSE(small.meter.stop_reason());
    Bytes out;
    small.append_charged_message(out, "abcdefgh");
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(small.meter.stop_reason(), StopReason::output_limit_exceeded);
    EXPECT_EQ(small.meter.output_used(), 10u);
    small.append_charged_message(out, "more");
    EXPECT_EQ(out, "abcd");
}

TEST_F(BufferTest, WrongTargetsAreRefused) {
    pipe_at(5, 6);
    struct Case {
        std::int32_t fd;
        bool write;
        const char* expected;
    };
    const Case cases[] = {
        {1, false, "error: WrongAccess"},  // a capture is not readable
        {0, true, "error: WrongAccess"},   // an input buffer is not writable
        {5, true, "error: WrongAccess"},
        {6, false, "error: WrongAccess"},
        {42, false, "error: InvalidFd"},
        {42, true, "error: InvalidFd"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.write ? write(c.fd, "x") : read(c.fd, 1), c.expected) << c.fd;
}

// ---- devices ----

class DeviceTest : public IoFixture {};

TEST_F(DeviceTest, GeneratorsRestartWithEveryOpen) {
    open(5, "/dev/urandom", OpenFlags::input());
    open(6, "/dev/urandom", OpenFlags::input());
    open(7, "/dev/random", OpenFlags::input());
    const std::string a = read(5, 32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(read(6, 32), a);
    EXPECT_NE(read(7, 32), a);
    EXPECT_NE(a, std::string(32, '\0'));
    // The sequence continues within one open.
    EXPECT_NE(read(5, 32), a);
}

TEST_F(DeviceTest, ReadsAreMeteredAndCapped) {
    open(5, "/dev/zero", OpenFlags::input());
    const std::uint64_t before = m.meter.cpu_used();
    EXPECT_EQ(read(5, 10), std::string(10, '\0'));
    EXPECT_EQ(m.meter.cpu_used() - before, 10u);
    EXPECT_EQ(read(5, 100000).size(), 4096u);
    // Nothing asked, nothing charged.
    const std::uint64_t used = m.meter.cpu_used();
    EXPECT_EQ(read(5, 0), "");
    EXPECT_EQ(m.meter.cpu_used(), used);
}

TEST_F(DeviceTest, NullDeviceAccess) {
    open(5, "/dev/null", OpenFlags{.write = true});
    open(6, "/dev/null", OpenFlags{.read = true, .write = true});
    EXPECT_EQ(write(5, "discarded"), "9");
    EXPECT_EQ(read(5, 1), "error: WrongAccess");
    EXPECT_TRUE(m.read_fd(6, 10)->at_end());
    open(7, "/dev/zero", OpenFlags::input());
    EXPECT_EQ(write(7, "x"), "error: WrongAccess");
}

class SmallCpuTest : public IoFixture {
protected:
    SmallCpuTest() : IoFixture(MachineLimits{.cpu = 100, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20}) {}
};

TEST_F(SmallCpuTest, DeviceReadsTakeHalfOfWhatIsLeft) {
    open(0, "/dev/zero", OpenFlags::input());
    EXPECT_EQ(m.read_descriptor(1000)->data.size(), 50u);
    EXPECT_EQ(m.read_descriptor(1000)->data.size(), 25u);
    while (m.meter.cpu_used() < 99) ASSERT_TRUE(m.read_descriptor(1000));
    // One unit left: half of it is nothing, the read is refused and charged one unit (accepted).
    EXPECT_EQ(m.read_descriptor(1000).error(), "device read limit exceeded");
    EXPECT_EQ(m.meter.cpu_used(), 100u);
    // Now the charge itself is refused and the meter stops.
    EXPECT_EQ(m.read_descriptor(1000).error(), "CPU exhausted");
}

// ---- files ----

class FileIoTest : public IoFixture {
protected:
    void SetUp() override {
        m.sync_vfs_clock();
        ASSERT_TRUE(m.vfs.write_file_mode("/", "/tmp/f", "abc", 0644));
    }
};

TEST_F(FileIoTest, ReadAndWriteAtTheCursor) {
    open(5, "/tmp/f", OpenFlags{.read = true, .write = true});
    const std::uint64_t read_before = m.vfs.bytes_read();
    EXPECT_EQ(read(5, 2), "ab");
    EXPECT_EQ(m.read_description_at(5, 0, 100).value(), "abc");  // the cursor stays
    EXPECT_EQ(read(5, 10), "c");
    EXPECT_EQ(read(5, 10), "");
    EXPECT_EQ(m.vfs.bytes_read() - read_before, 6u);

    // A write past the end fills the gap with zero bytes.
    ASSERT_TRUE(m.open_descriptions.set_cursor(description(5), 5));
    EXPECT_EQ(write(5, "xy"), "2");
    EXPECT_EQ(contents("/tmp/f"), Bytes("abc\0\0xy", 7));
    EXPECT_EQ(file_of(5).cursor, 7u);

    EXPECT_EQ(text(m.read_description_at(0, 0, 1).error()), "invalid argument");
}

TEST_F(FileIoTest, AccessIsChecked) {
    open(0, "/tmp/f", OpenFlags{.write = true});
    EXPECT_EQ(read(0, 1), "error: permission denied");
    EXPECT_EQ(m.read_descriptor(1).error(), "descriptor is not open for reading");
    open(5, "/tmp/f", OpenFlags::input());
    EXPECT_EQ(write(5, "x"), "error: permission denied");
}

TEST_F(FileIoTest, AppendWritesAtTheEndOfTheMoment) {
    open(5, "/tmp/f", OpenFlags::append_output());
    EXPECT_EQ(file_of(5).cursor, 3u);
    EXPECT_EQ(write(5, "de"), "2");
    open(6, "/tmp/f", OpenFlags::output());  // truncates
    EXPECT_EQ(contents("/tmp/f"), "");
    EXPECT_EQ(write(5, "xy"), "2");
    EXPECT_EQ(contents("/tmp/f"), "xy");
    EXPECT_EQ(file_of(5).cursor, 2u);
}

TEST_F(FileIoTest, UnlinkedFileKeepsWorkingThroughItsDescriptions) {
    open(5, "/tmp/f", OpenFlags{.read = true, .write = true});
    ASSERT_TRUE(m.remove_path("/", "/tmp/f"));
    EXPECT_EQ(contents("/tmp/f"), "<none>");
    EXPECT_TRUE(file_of(5).backing.orphan.has_value());
    EXPECT_EQ(m.open_descriptions.display_name(description(5)), "/tmp/f");

    const std::uint64_t used = m.vfs.used();
    ASSERT_TRUE(m.open_descriptions.set_cursor(description(5), 3));
    EXPECT_EQ(write(5, "defg"), "4");
    EXPECT_EQ(m.vfs.used(), used + 4);
    ASSERT_TRUE(m.open_descriptions.set_cursor(description(5), 0));
    EXPECT_EQ(read(5, 100), "abcdefg");
    EXPECT_EQ(open_error(6, "/tmp/f", OpenFlags::input()), "No such file or directory: /tmp/f");

    // Appending to an orphan goes to its end.
    open(7, "/tmp/g", OpenFlags::append_output());
    ASSERT_TRUE(m.remove_path("/", "/tmp/g"));
    EXPECT_EQ(write(7, "12"), "2");
    EXPECT_EQ(write(7, "3"), "1");
    EXPECT_EQ(m.vfs.orphan(*file_of(7).backing.orphan)->data()->size(), 3u);
}

TEST_F(FileIoTest, PathDescriptionsFollowTheirPathOnly) {
    open(5, "/tmp/f", OpenFlags{.read = true, .write = true});
    // A move of the file rewrites the description's path; the bytes are found there.
    auto node = m.vfs.take_node("/tmp/f");
    m.vfs.store_node("/tmp/moved", std::move(*node));
    m.vfs.raise_peak();
    std::get<target::File>((*m.open_descriptions.get_mut(description(5)))->target).path = "/tmp/moved";
    EXPECT_EQ(read(5, 10), "abc");
    EXPECT_EQ(write(5, "d"), "1");
    EXPECT_EQ(contents("/tmp/moved"), "abcd");

    // Whatever else now sits at the path is reported, never assumed to be the file.
    open(6, "/tmp/moved", OpenFlags{.read = true, .write = true});
    ASSERT_TRUE(m.vfs.remove_file("/", "/tmp/moved"));
    EXPECT_EQ(read(6, 1), "error: No such file or directory: /tmp/moved");
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/moved"));
    EXPECT_EQ(read(6, 1), "error: Is a directory: /tmp/moved");
    EXPECT_EQ(write(6, "x"), "error: Is a directory: /tmp/moved");
    ASSERT_TRUE(m.vfs.remove_dir("/", "/tmp/moved"));
    m.vfs.store_node("/tmp/moved", VfsNode::native(NativeProgram::named("ls"), 0755, 900, 0));
    EXPECT_EQ(read(6, 1), "error: Invalid argument: opaque native executable: /tmp/moved");
    EXPECT_EQ(write(6, "x"), "error: Invalid argument: /tmp/moved");
}

class SmallDiskTest : public IoFixture {
protected:
    SmallDiskTest() : IoFixture(MachineLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1000, .output = 1 << 20}) {}
};

TEST_F(SmallDiskTest, FailedFirstWriteRemovesTheFileItsOpenCreated) {
    open(5, "/tmp/new", OpenFlags::output());
    EXPECT_TRUE(file_of(5).created);
    EXPECT_EQ(m.vfs.used(), 256u);
    EXPECT_EQ(write(5, Bytes(800, 'x')), "error: No space left on device");
    EXPECT_EQ(contents("/tmp/new"), "<none>");
    EXPECT_EQ(m.vfs.used(), 0u);
}

TEST_F(SmallDiskTest, FailedWriteNeverRemovesAFileHoldingData) {
    struct Case {
        const char* name;
        bool other_writes;  // another description fills the file first, then goes away
    };
    const Case cases[] = {
        {"written by another open", true},
        {"still open elsewhere, empty", false},
    };
    for (const auto& c : cases) {
        open(5, "/tmp/new", OpenFlags::output());
        open(6, "/tmp/new", OpenFlags{.write = true});
        if (c.other_writes) {
            EXPECT_EQ(write(6, "data"), "4");
            ASSERT_TRUE(m.states.active_mut().descriptors.close(6, m.open_descriptions));
        }
        EXPECT_EQ(write(5, Bytes(800, 'x')), "error: No space left on device") << c.name;
        EXPECT_EQ(contents("/tmp/new"), c.other_writes ? "data" : "") << c.name;
        ASSERT_TRUE(m.vfs.remove_file("/", "/tmp/new"));
    }
    // The same open after a successful write: the failure leaves the file as it was.
    open(5, "/tmp/later", OpenFlags::output());
    EXPECT_EQ(write(5, "ok"), "2");
    EXPECT_EQ(write(5, Bytes(800, 'x')), "error: No space left on device");
    EXPECT_EQ(contents("/tmp/later"), "ok");
}

}  // namespace
}  // namespace tw
