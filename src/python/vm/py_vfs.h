// The machine's filesystem as the Python standard library reaches it: whole-file reads and
// writes, directory listing and changes, links, metadata and glob. Every path is taken from the
// working directory of the calling process unless it is absolute; filesystem failures come back
// as OSError (with the errno of their kind and the failing path).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"

namespace tw::py {

struct RuntimeContext;

// Files read into Python are at most this long; files created through PyVfs get mode 0o644.
inline constexpr std::uint64_t kPyVfsReadLimit = 4u << 20;
inline constexpr std::uint32_t kPyVfsFileMode = 0644;

struct VfsStat {
    std::uint64_t size = 0;   // content length, link target length, 0 for directories and programs
    std::uint64_t mtime = 0;  // virtual wall-clock milliseconds
    std::uint32_t mode = 0;   // permission bits
    std::uint8_t kind = 0;    // 0 file, 1 directory, 2 symbolic link, 3 native executable
};

class PyVfs {
public:
    virtual ~PyVfs() = default;

    virtual std::string getcwd() = 0;
    // Follows links in every component; NotADirectoryError "Not a directory: {path}" for a
    // non-directory.
    virtual PyStatus chdir(std::string_view path) = 0;
    // At most 4 MiB ("text file exceeds the 4 MiB limit" / "binary file exceeds the 4 MiB
    // limit", resource errors); the size is charged as memory and work before the read.
    // RuntimeError "file is not UTF-8: {path}".
    virtual PyResult<std::string> read_text(std::string_view path) = 0;
    virtual PyResult<std::string> read_bytes(std::string_view path) = 0;
    // Replace the whole file (mode 0o644 when created), creating missing parent directories.
    virtual PyStatus write_text(std::string_view path, std::string_view text) = 0;
    virtual PyStatus write_bytes(std::string_view path, std::string_view bytes) = 0;
    // Append, creating the file when missing (a link at the path is replaced by a new file);
    // answer the file's size afterwards.
    virtual PyResult<std::uint64_t> append_text(std::string_view path, std::string_view text) = 0;
    virtual PyResult<std::uint64_t> append_bytes(std::string_view path, std::string_view bytes) = 0;
    // A file or a link (never its target).
    virtual PyStatus remove_file(std::string_view path) = 0;
    // A node and everything below it; "/proc" and "/dev" are refused as read-only.
    virtual PyStatus remove_tree(std::string_view path) = 0;
    virtual PyStatus rename(std::string_view from, std::string_view to) = 0;
    // Links followed; only the filesystem tree is seen (not the entries of /proc and /dev).
    virtual bool exists(std::string_view path) = 0;
    virtual bool is_file(std::string_view path) = 0;
    virtual bool is_dir(std::string_view path) = 0;
    virtual bool is_symlink(std::string_view path) = 0;
    // Sorted names; /proc and /dev included.
    virtual PyResult<std::vector<std::string>> list_dir(std::string_view path) = 0;
    virtual PyResult<VfsStat> stat(std::string_view path, bool follow_symlinks) = 0;
    virtual PyStatus mkdir(std::string_view path, bool parents, bool exist_ok) = 0;
    virtual PyStatus rmdir(std::string_view path) = 0;
    // Keeps mode & 0o7777.
    virtual PyStatus chmod(std::string_view path, std::uint32_t mode) = 0;
    virtual PyStatus symlink(std::string_view target, std::string_view link_path) = 0;
    // OSError (errno 22) when the path is not a link.
    virtual PyResult<std::string> readlink(std::string_view path) = 0;
    // Sets the modification time to now.
    virtual PyStatus utime(std::string_view path) = 0;
    // (used, capacity) in bytes.
    virtual std::pair<std::uint64_t, std::uint64_t> disk_usage() = 0;
    // `*`, `?`, `[...]` / `[!...]` within one component, `**` for any number of whole components;
    // wildcards skip names starting with "."; matching paths in the tree's order, relative to the
    // working directory for a relative pattern; a pattern ending in "/" answers directories only,
    // each with a trailing "/". ValueError "invalid glob pattern: {reason}".
    virtual PyResult<std::vector<std::string>> glob(std::string_view pattern) = 0;
};

// The engine's implementation, acting for the active process of the context's machine.
std::unique_ptr<PyVfs> make_engine_vfs(RuntimeContext& ctx);

}  // namespace tw::py
