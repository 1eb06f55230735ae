// The error of a system call and of the kernel operations that programs reach through them.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "kernel/descriptors.h"
#include "kernel/vfs.h"

namespace tw {

struct SyscallError {
    // In this order.
    enum class Kind : std::uint8_t {
        File, Descriptor, InvalidArgument, IsDirectory, Permission, ResourceExhausted, NoSuchProcess,
        ExecutableFormat, Process,
    };
    Kind kind = Kind::InvalidArgument;
    // File: VfsError; Descriptor: DescriptorError; Process: the text; otherwise nothing.
    std::variant<std::monostate, VfsError, DescriptorError, std::string> payload;

    static SyscallError file(VfsError e) { return {Kind::File, std::move(e)}; }
    static SyscallError descriptor(DescriptorError e) { return {Kind::Descriptor, e}; }
    static SyscallError process(std::string text) { return {Kind::Process, std::move(text)}; }
    static SyscallError of(Kind kind) { return {kind, std::monostate{}}; }
    static SyscallError invalid_argument() { return of(Kind::InvalidArgument); }
    static SyscallError is_directory() { return of(Kind::IsDirectory); }
    static SyscallError permission() { return of(Kind::Permission); }
    static SyscallError resource_exhausted() { return of(Kind::ResourceExhausted); }
    static SyscallError no_such_process() { return of(Kind::NoSuchProcess); }
    static SyscallError executable_format() { return of(Kind::ExecutableFormat); }

    // The payload of File / Descriptor / Process; null for any other kind.
    const VfsError* vfs_error() const { return std::get_if<VfsError>(&payload); }
    const DescriptorError* descriptor_error() const { return std::get_if<DescriptorError>(&payload); }
    const std::string* process_text() const { return std::get_if<std::string>(&payload); }

    friend bool operator==(const SyscallError&, const SyscallError&) = default;
};

// The display text: the VfsError text, the descriptor error's variant name ("InvalidFd"),
// "invalid argument", "is a directory", "permission denied", "resource exhausted",
// "no such process", "unsupported executable format", or the carried text.
std::string error_text(const SyscallError& e);
// What the shell prints when one of its own writes to a descriptor fails.
std::string write_failure_text(const SyscallError& e);

}  // namespace tw
