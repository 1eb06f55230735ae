// Moving and copying subtrees of the filesystem, and batch installs that apply a list of file
// steps all together or not at all. The machine-level operations (rename_path, copy_file,
// copy_tree, install_files) are members of Machine; this header holds what they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

class Vfs;
struct VfsError;

// One step of a batch install.
struct InstallOp {
    enum class Kind : std::uint8_t { CreateDirAll = 0, RemoveFile = 1, WriteFile = 2, CreateSymlink = 3 };
    Kind kind = Kind::CreateDirAll;
    std::string path;       // the directory, file or link path
    Bytes bytes;            // WriteFile
    std::uint32_t mode = 0; // WriteFile
    std::string target;     // CreateSymlink: the link's target text

    static InstallOp create_dir_all(std::string path) { return {Kind::CreateDirAll, std::move(path), {}, 0, {}}; }
    static InstallOp remove_file(std::string path) { return {Kind::RemoveFile, std::move(path), {}, 0, {}}; }
    static InstallOp write_file(std::string path, Bytes bytes, std::uint32_t mode) {
        return {Kind::WriteFile, std::move(path), std::move(bytes), mode, {}};
    }
    static InstallOp create_symlink(std::string link_path, std::string target) {
        return {Kind::CreateSymlink, std::move(link_path), {}, 0, std::move(target)};
    }

    // The bytes the step counts toward the batch's CPU charge: the path, plus the data of a
    // WriteFile or the target of a CreateSymlink.
    std::uint64_t counted_bytes() const;
};

inline constexpr std::size_t kMaxInstallOps = 10000;

// Copies one non-directory at the filesystem level, links in `from` followed: a regular file's
// bytes go through Vfs::write_file_mode (an existing regular file keeps its mode, owner and
// group); a native stub is copied as a stub for the same program. IsADir for a directory on
// either side; the parent of `to` must exist.
Result<void, VfsError> vfs_copy_file(Vfs& vfs, std::string_view base, std::string_view from, std::string_view to);

}  // namespace tw
