// A booted machine with the default shell (1234) active and running, and small helpers that
// turn the I/O operations' answers into values a test can compare.
#pragma once

#include <gtest/gtest.h>

#include "kernel/machine.h"

namespace tw::testing {

inline constexpr MachineLimits kIoLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

class IoFixture : public ::testing::Test {
protected:
    explicit IoFixture(MachineLimits limits = kIoLimits) : m(Machine::build(limits)) {}

    Machine m;

    static std::string text(const SyscallError& e) { return error_text(e); }

    // Installs a new description at `fd` of the active process.
    std::int32_t install(std::int32_t fd, Result<std::uint32_t, DescriptorError> number) {
        EXPECT_TRUE(number.has_value());
        if (number) {
            EXPECT_TRUE(m.install_active_descriptor(fd, *number).has_value());
        }
        return fd;
    }
    // Installs a new pipe's ends at `r` and `w`; answers the pipe number.
    std::uint32_t pipe_at(std::int32_t r, std::int32_t w) {
        auto ends = m.open_descriptions.create_pipe();
        EXPECT_TRUE(ends.has_value());
        install(r, ends->first);
        install(w, ends->second);
        return std::get<target::PipeRead>((*m.open_descriptions.get(ends->first))->target).pipe;
    }
    std::uint32_t description(std::int32_t fd) const { return *m.states.active().descriptors.lookup(fd); }
    const target::File& file_of(std::int32_t fd) const {
        return std::get<target::File>((*m.open_descriptions.get(description(fd)))->target);
    }

    void open(std::int32_t fd, std::string_view path, OpenFlags flags) {
        auto r = m.open_at(fd, "/", path, flags);
        ASSERT_TRUE(r.has_value()) << path << ": " << text(r.error());
    }
    std::string open_error(std::int32_t fd, std::string_view path, OpenFlags flags) {
        auto r = m.open_at(fd, "/", path, flags);
        return r ? "ok" : text(r.error());
    }

    // Bytes read, "<block>" for would-block, or the error's text.
    std::string read(std::int32_t fd, std::uint64_t n) {
        auto r = m.read_fd(fd, n);
        if (!r) return "error: " + text(r.error());
        return r->blocked() ? "<block>" : r->data;
    }
    // The count written, "<block>", or the error's text.
    std::string write(std::int32_t fd, BytesView bytes) {
        auto r = m.write_fd(fd, bytes);
        if (!r) return "error: " + text(r.error());
        return r->blocked() ? "<block>" : std::to_string(r->written);
    }

    // The bytes of the regular file at a canonical path, or "<none>".
    std::string contents(std::string_view path) const {
        const VfsNode* n = m.vfs.node(path);
        return n && n->is_file() ? *n->data() : "<none>";
    }

    // The shell's task blocks on `reason` (it must be running).
    void block_shell(WaitReason reason) {
        if (m.scheduler.running() != kFirstShellPid) {
            ASSERT_EQ(*m.scheduler.dispatch(), kFirstShellPid);
        }
        ASSERT_TRUE(m.scheduler.block_running(std::move(reason)).has_value());
    }
    TaskKind shell_task() const { return m.scheduler.task_state(kFirstShellPid)->kind(); }
};

}  // namespace tw::testing
