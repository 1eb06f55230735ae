// The tar format: ustar headers in 512-byte blocks holding regular files, directories and
// symbolic links. Paths of 100 to 255 bytes use the prefix field; longer ones a per-file extended
// header with a "path" record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

struct TarFile {
    Bytes content;
};
struct TarDirectory {};
struct TarSymlink {
    std::string target;
};
using TarEntryKind = std::variant<TarFile, TarDirectory, TarSymlink>;

struct TarEntry {
    TarEntryKind kind;
    std::string path;        // relative, "/" as separator
    std::uint32_t mode = 0;  // written as mode & 07777
};

inline constexpr std::size_t kTarEntryLimit = 4096;

// The archive bytes of `entries` in order, charged to the memory and then the CPU budget, or a
// message ("archive exceeds the 16 MiB limit", "memory limit exceeded", "resource limit
// exceeded", "path is too long for the tar format", the link-target texts).
Result<Bytes, std::string> tar_write_archive(Syscalls& sys, const std::vector<TarEntry>& entries);

// The entries of an archive in order, or the message of the first fault. Charges nothing.
Result<std::vector<TarEntry>, std::string> tar_read_archive(BytesView archive);

// Nothing when `path` is a safe relative member path, else the message.
Result<void, std::string> tar_check_archive_path(std::string_view path);

Result<std::uint64_t, std::string> tar_parse_numeric_field(BytesView field);
Result<std::string, std::string> tar_header_text_field(BytesView field);

}  // namespace tw
