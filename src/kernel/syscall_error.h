// The error of a system call and of the kernel operations that programs reach through them.
#pragma once

#include <string>
#include <variant>

#include "kernel/descriptors.h"
#include "kernel/vfs.h"

namespace tw {

struct SyscallError {
    enum class Kind : std::uint8_t {
        File, Descriptor, InvalidArgument, IsDirectory, Permission, ResourceExhausted, NoSuchProcess,
        ExecutableFormat, Process,
    };
    Kind kind = Kind::InvalidArgument;
    std::variant<std::monostate, VfsError, DescriptorError, std::string> payload;

    static SyscallError file(VfsError e) { return {Kind::File, std::move(e)}; }
    static SyscallError descriptor(DescriptorError e) { return {Kind::Descriptor, e}; }
    static SyscallError process(std::string text) { return {Kind::Process, std::move(text)}; }
    static SyscallError of(Kind kind) { return {kind, std::monostate{}}; }
};

// The display text ("permission denied", the VfsError text, the descriptor error's name, ...).
std::string error_text(const SyscallError& e);
// What the shell prints when one of its own writes to a descriptor fails.
std::string write_failure_text(const SyscallError& e);

}  // namespace tw
