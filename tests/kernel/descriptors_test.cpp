#include <gtest/gtest.h>

#include "kernel/descriptors.h"

namespace tw {
namespace {

using DE = DescriptorError;

std::uint32_t refs(const OpenDescriptionTable& t, std::uint32_t n) { return (*t.get(n))->references; }

TEST(DescriptorTable, InstallLimitsAndReplacement) {
    OpenDescriptionTable t;
    DescriptorTable fds;
    const std::uint32_t a = *t.insert_capture();
    EXPECT_EQ(fds.install(-1, a, t).error(), DE::InvalidFd);
    EXPECT_EQ(fds.install(0, 999, t).error(), DE::InvalidFd);
    for (std::int32_t fd = 0; fd < 256; ++fd) ASSERT_TRUE(fds.install(fd, a, t)) << fd;
    EXPECT_EQ(fds.install(256, a, t).error(), DE::DescriptorLimit);
    EXPECT_EQ(refs(t, a), 256u);
    // Replacing an existing number of a full table is allowed; the same description keeps its count.
    EXPECT_TRUE(fds.install(7, a, t));
    EXPECT_EQ(refs(t, a), 256u);
    const std::uint32_t b = *t.insert_buffer("x");
    EXPECT_TRUE(fds.install(7, b, t));
    EXPECT_EQ(refs(t, a), 255u);
    EXPECT_EQ(*fds.lookup(7), b);
    EXPECT_EQ(fds.lookup(300).error(), DE::InvalidFd);
    // Close releases; the last reference removes the description.
    EXPECT_TRUE(fds.close(7, t));
    EXPECT_FALSE(t.get(b));
    EXPECT_EQ(fds.close(7, t).error(), DE::InvalidFd);
    fds.close_all(t);
    EXPECT_EQ(fds.count(), 0u);
    EXPECT_TRUE(t.descriptions().empty());
}

TEST(DescriptorTable, CloseOnExecMarks) {
    OpenDescriptionTable t;
    DescriptorTable fds;
    const std::uint32_t a = *t.insert_capture();
    ASSERT_TRUE(fds.install(3, a, t));
    EXPECT_EQ(fds.set_cloexec(4, true).error(), DE::InvalidFd);
    ASSERT_TRUE(fds.set_cloexec(3, true));
    EXPECT_TRUE(*fds.is_cloexec(3));
    // A child keeps the marks and holds its own references.
    auto child = fds.inherit(t);
    ASSERT_TRUE(child);
    EXPECT_TRUE(*child->is_cloexec(3));
    EXPECT_EQ(refs(t, a), 2u);
    // Installing onto a marked number clears its mark.
    ASSERT_TRUE(fds.install(3, a, t));
    EXPECT_FALSE(*fds.is_cloexec(3));
    EXPECT_EQ(refs(t, a), 2u);
}

TEST(DescriptorTable, FailedInheritGivesBackItsReferences) {
    OpenDescriptionTable t;
    DescriptorTable fds;
    const std::uint32_t a = *t.insert_capture();
    ASSERT_TRUE(fds.install(0, a, t));
    ASSERT_TRUE(fds.install(1, *t.insert_capture(), t));
    // Description 1 goes away behind the table's back: inherit must fail and undo fd 0's reference.
    (void)t.release(1);
    EXPECT_EQ(fds.inherit(t).error(), DE::InvalidFd);
    EXPECT_EQ(refs(t, a), 1u);
}

TEST(DescriptorTable, LowestFreeAndPipeEnds) {
    OpenDescriptionTable t;
    DescriptorTable fds;
    auto [r, w] = *t.create_pipe();
    const std::uint32_t cap = *t.insert_capture();
    EXPECT_EQ(fds.lowest_free(5, 260), 5);
    ASSERT_TRUE(fds.install(5, cap, t));
    ASSERT_TRUE(fds.install(6, w, t));
    ASSERT_TRUE(fds.install(8, r, t));
    EXPECT_EQ(fds.lowest_free(5, 260), 7);
    EXPECT_EQ(fds.lowest_free(5, 6), std::nullopt);
    EXPECT_EQ(fds.first_pipe_end(t), (PipeEndpoint{PipeEndKind::Write, 0}));
    EXPECT_EQ(fds.first_cloexec_pipe_end(t), std::nullopt);
    ASSERT_TRUE(fds.set_cloexec(8, true));
    EXPECT_EQ(fds.first_cloexec_pipe_end(t), (PipeEndpoint{PipeEndKind::Read, 0}));
    EXPECT_EQ(fds.pipe_ends(t).size(), 2u);
}

TEST(OpenDescriptionTable, ReleaseRules) {
    OpenDescriptionTable t;
    const std::uint32_t a = *t.insert_capture();
    // Unreferenced: release refuses and keeps it; release_if_unused removes it.
    EXPECT_EQ(t.release(a).error(), DE::InvalidFd);
    EXPECT_TRUE(t.get(a));
    t.release_if_unused(a);
    EXPECT_FALSE(t.get(a));
    // A held lock reports the change when its description goes.
    const std::uint32_t b = *t.insert_capture();
    ASSERT_TRUE(t.add_ref(b));
    (*t.get_mut(b))->lock_mode = LockMode::Exclusive;
    ASSERT_TRUE(t.release(b));
    EXPECT_TRUE(t.locks_changed());
}

TEST(OpenDescriptionTable, PipeLivesWhileAnEndIsLeft) {
    OpenDescriptionTable t;
    auto [r, w] = *t.create_pipe();
    ASSERT_TRUE(t.add_ref(r));
    ASSERT_TRUE(t.add_ref(w));
    const std::uint32_t pipe = std::get<target::PipeRead>((*t.get(r))->target).pipe;
    ASSERT_TRUE(t.release(r));
    ASSERT_TRUE(t.pipe_exists(pipe));
    EXPECT_EQ(t.pipes().at(pipe).readers, 0u);
    EXPECT_EQ(t.pipes().at(pipe).writers, 1u);
    ASSERT_TRUE(t.release(w));
    EXPECT_FALSE(t.pipe_exists(pipe));
}

TEST(OpenDescriptionTable, Limits) {
    OpenDescriptionTable t;
    for (std::size_t i = 0; i < kMaxPipes; ++i) ASSERT_TRUE(t.create_pipe()) << i;
    EXPECT_EQ(t.create_pipe().error(), DE::PipeLimit);
    EXPECT_EQ(t.descriptions().size(), 2 * kMaxPipes);
    while (t.descriptions().size() < kMaxDescriptions) ASSERT_TRUE(t.insert_capture());
    EXPECT_FALSE(t.can_insert());
    EXPECT_EQ(t.insert_capture().error(), DE::DescriptionLimit);
    EXPECT_EQ(t.insert_buffer(Bytes(kMaxBufferedBytes + 1, 'x')).error(), DE::OutputLimit);

    // Numbers are not reused: removing one and inserting answers a fresh number.
    OpenDescriptionTable u;
    const std::uint32_t first = *u.insert_capture();
    u.release_if_unused(first);
    EXPECT_EQ(*u.insert_capture(), first + 1);
}

TEST(OpenDescriptionTable, NamesTypesAndFields) {
    OpenDescriptionTable t;
    const std::uint32_t in = *t.insert_buffer("abc");
    auto [r, w] = *t.create_pipe();
    const std::uint32_t dir = *t.insert(target::Directory{"/tmp"});
    const std::uint32_t null = *t.insert_device(true, false);
    const std::uint32_t urandom = *t.insert(target::Device{.kind = DeviceKind::Urandom, .writable = true});
    const std::uint32_t file = *t.insert(target::File{.path = "/tmp/f", .readable = true, .writable = true});

    struct Case {
        std::uint32_t number;
        std::string name;
        FileTypeInfo type;
    };
    const Case cases[] = {
        {in, "pipe:[0]", {true, false, 0, FileTypeCode::Pipe}},
        {r, "pipe:[0]", {true, false, 0, FileTypeCode::Pipe}},
        {w, "pipe:[0]", {false, true, 0, FileTypeCode::Pipe}},
        {dir, "/tmp", {true, false, 0, FileTypeCode::Directory}},
        {null, "/dev/null", {true, false, 0, FileTypeCode::CharDevice}},
        {urandom, "/dev/urandom", {false, true, 0, FileTypeCode::CharDevice}},
        {file, "/tmp/f", {true, true, 0, FileTypeCode::Regular}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(t.display_name(c.number), c.name) << c.number;
        EXPECT_EQ(t.file_type(c.number), c.type) << c.number;
    }
    EXPECT_EQ(t.file_type(999), std::nullopt);

    EXPECT_TRUE(t.set_fd_flags(file, 4));
    EXPECT_FALSE(t.set_fd_flags(999, 4));
    EXPECT_EQ(t.file_type(file)->status_flags, 4);
    EXPECT_TRUE(t.set_cursor(file, 10));
    EXPECT_EQ(t.set_cursor(r, 10).error(), DE::WrongAccess);
    EXPECT_EQ(t.set_cursor(999, 10).error(), DE::InvalidFd);
    EXPECT_TRUE(t.set_inode(file, 42));
    EXPECT_EQ((*t.get(file))->inode, 42u);
    EXPECT_EQ((*t.classify_file(file))->cursor, 10u);
    EXPECT_EQ(*t.classify_file(r), std::nullopt);
    EXPECT_EQ(t.classify_file(999).error(), DE::InvalidFd);

    EXPECT_EQ(description_pipe_endpoint(t, w), (PipeEndpoint{PipeEndKind::Write, 0}));
    EXPECT_EQ(description_pipe_endpoint(t, dir).kind, PipeEndKind::NotPipe);
    EXPECT_EQ(description_pipe_endpoint(t, 999).kind, PipeEndKind::Missing);
    EXPECT_EQ(*subprocess_stream_endpoint(t, r), (PipeEndpoint{PipeEndKind::Read, 0}));
    EXPECT_EQ(error_text(subprocess_stream_endpoint(t, dir).error()), "subprocess endpoint is not a pipe");
    EXPECT_EQ(error_text(subprocess_stream_endpoint(t, 999).error()), "descriptor error: bad file descriptor");
}

TEST(OpenDescriptionTable, TakeCapturedOutput) {
    OpenDescriptionTable t;
    const std::uint32_t cap = *t.insert_capture();
    ASSERT_TRUE(t.write_bytes(cap, "ok \xff"));
    EXPECT_EQ(*t.take_captured_output(cap), "ok \xEF\xBF\xBD");
    EXPECT_EQ(*t.take_captured_output(cap), "");
    ASSERT_TRUE(t.write_bytes(cap, "more"));
    EXPECT_EQ(*t.take_captured_bytes(cap), "more");
    EXPECT_EQ(t.take_captured_output(999).error(), CaptureError::Missing);
    EXPECT_EQ(t.take_captured_output(*t.insert_buffer("x")).error(), CaptureError::NotCapture);
}

TEST(DescriptorError, TextsAndNames) {
    EXPECT_EQ(error_text(DE::InvalidFd), "bad file descriptor");
    EXPECT_EQ(error_text(DE::OutputLimit), "descriptor output limit exceeded");
    EXPECT_EQ(error_name(DE::ReferenceOverflow), "ReferenceOverflow");
}

}  // namespace
}  // namespace tw
