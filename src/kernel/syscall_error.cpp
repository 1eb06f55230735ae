#include "kernel/syscall_error.h"

namespace tw {

std::string error_text(const SyscallError& e) {
    using K = SyscallError::Kind;
    switch (e.kind) {
    case K::File: return error_text(std::get<VfsError>(e.payload));
    case K::Descriptor: return std::string(error_name(std::get<DescriptorError>(e.payload)));
    case K::InvalidArgument: return "invalid argument";
    case K::IsDirectory: return "is a directory";
    case K::Permission: return "permission denied";
    case K::ResourceExhausted: return "resource exhausted";
    case K::NoSuchProcess: return "no such process";
    case K::ExecutableFormat: return "unsupported executable format";
    case K::Process: return std::get<std::string>(e.payload);
    }
    return {};
}

std::string write_failure_text(const SyscallError& e) {
    using K = SyscallError::Kind;
    switch (e.kind) {
    case K::File: return std::get<VfsError>(e.payload).to_message();
    case K::Descriptor: return std::string(error_text(std::get<DescriptorError>(e.payload)));
    case K::InvalidArgument: return "file cursor exceeds addressable memory";
    case K::IsDirectory: return "is a directory";
    case K::Permission: return "descriptor is not open for writing";
    case K::ResourceExhausted: return "resource limit exceeded";
    case K::NoSuchProcess: return "no such process";
    case K::ExecutableFormat: return "unsupported executable format";
    case K::Process: return std::get<std::string>(e.payload);
    }
    return {};
}

}  // namespace tw
