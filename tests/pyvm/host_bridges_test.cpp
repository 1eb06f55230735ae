#include <gtest/gtest.h>

#include <string>

#include "kernel/machine.h"
#include "python/vm/host_bridges.h"

namespace tw::py {
namespace {

struct HostBridges : ::testing::Test {
    Machine machine = Machine::build({.cpu = 100'000'000, .memory = 256 << 20, .disk = 64 << 20, .output = 1 << 20});

    void SetUp() override { ASSERT_TRUE(machine.vfs.create_dir_all("/", "/d").has_value()); }
    void write(const std::string& path, std::string bytes) {
        ASSERT_TRUE(machine.vfs.write_file(path, std::move(bytes), 0644).has_value());
    }
    // "kind errno filename message" of a failed read, or the text read.
    std::string read(const std::string& path) {
        auto r = vfs_read_text(machine, path);
        if (r) return "text:" + *r;
        const ErrorDetail* d = r.error().detail();
        std::string kind = d->kind == ErrorKindTag::OsError    ? "os"
                           : d->kind == ErrorKindTag::Resource ? "resource"
                           : d->kind == ErrorKindTag::Exception ? std::string(d->class_name)
                                                                : "other";
        return kind + " " + std::to_string(d->code) + " " + d->filename.value_or("-") + " " + d->message;
    }
};

TEST_F(HostBridges, ReadsAndRefuses) {
    write("/d/ok.txt", "héllo");
    write("/d/limit", std::string(kTextFileLimit, 'a'));
    write("/d/over", std::string(kTextFileLimit + 1, 'a'));
    write("/d/bad", "\xff\xfe");
    ASSERT_TRUE(machine.vfs.symlink("/", "/d/missing", "/d/dangling").has_value());
    EXPECT_EQ(read("/d/ok.txt"), "text:héllo");
    EXPECT_EQ(read("/d/limit").size(), 5 + kTextFileLimit);
    EXPECT_EQ(read("/d/over"), "resource 0 - text file exceeds the 4 MiB limit");
    EXPECT_EQ(read("/d/bad"), "RuntimeError 0 - file is not UTF-8: /d/bad");
    EXPECT_EQ(read("/d/nope"), "os 2 /d/nope No such file or directory");
    EXPECT_EQ(read("/d/dangling"), "os 2 /d/dangling No such file or directory");
    EXPECT_EQ(read("/d"), "os 21 /d Is a directory");
    EXPECT_EQ(read("d/ok.txt"), "text:héllo");  // relative to the active process's directory "/"
}

TEST_F(HostBridges, FilesystemErrorKinds) {
    struct Row {
        VfsError error;
        std::string expected;
    };
    const Row rows[] = {
        {VfsError::not_a_dir("/a"), "os 20 /a Not a directory"},
        {VfsError::exists("/a"), "os 17 /a File exists"},
        {VfsError::not_empty("/a"), "os 39 /a Directory not empty"},
        {VfsError::loop("/a"), "os 40 /a Too many levels of symbolic links"},
        {VfsError::read_only("/a"), "os 30 /a Read-only filesystem"},
        {VfsError::no_space(), "resource 0 - No space left on device"},
    };
    for (const Row& row : rows) {
        PyError e = vfs_error_to_os_error(row.error);
        const ErrorDetail* d = e.detail();
        std::string kind = d->kind == ErrorKindTag::OsError ? "os" : d->kind == ErrorKindTag::Resource ? "resource" : "other";
        EXPECT_EQ(kind + " " + std::to_string(d->code) + " " + d->filename.value_or("-") + " " + d->message, row.expected);
    }
}

TEST_F(HostBridges, RefusedChargesAreResourceErrors) {
    Machine small = Machine::build({.cpu = 10, .memory = 100, .disk = 1 << 20, .output = 1 << 20});
    EXPECT_EQ(python_charge_cpu(small, 11).error().message(), "Python CPU limit exceeded");
    EXPECT_EQ(python_charge_memory(small, 101).error().message(), "Python memory limit exceeded");
}

}  // namespace
}  // namespace tw::py
