// Copying one explicitly selected host directory tree into a machine's filesystem: a depth-first
// walk in name order that refuses symbolic links and special files, skips well-known bulky
// directories, and, when the host tree is the root of a git work tree, imports its history. The
// import is one transaction: on any failure the filesystem is put back exactly as it was. Nothing
// outside the named host directory is read by the walk: every entry is opened relative to its
// already opened parent, never through a link. Nothing is charged but disk.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/vfs.h"

namespace tw {

struct Machine;

inline constexpr std::uint64_t kHostImportFileLimit = 200000;
inline constexpr std::size_t kReplaceableToolsBound = 200000;

// The result of a host tree import.
struct MountMetadata {
    std::uint64_t files = 0;
    std::vector<std::string> skipped_directories;  // last components, ascending bytes, each once

    // {"files":N,"skipped_directories":["name",...]}
    std::string to_json() const;
};

struct HostImportError {
    enum class Kind : std::uint8_t { Conflict, Failure };
    Kind kind = Kind::Failure;
    std::string message;
};

// The destination paths at which a package file may replace a built-in command stub.
using ReplaceableTools = std::set<std::string, std::less<>>;

// The import engine. With `import_git`, ".git" and the bulky directories are skipped and a work
// tree's history is imported; without it any ".git" is an error. With `package_options`, every
// destination passes check_package_destination first.
Result<MountMetadata, HostImportError> import_host_tree(Machine& machine, std::string_view host_root,
                                                        std::string_view destination_root, bool import_git,
                                                        const ReplaceableTools* package_options);

// `mount`: the filesystem clock synchronised, then the import with history; the JSON text of the
// result, or the failure's message.
Result<std::string, std::string> mount_host_tree(Machine& machine, std::string_view host_root,
                                                 std::string_view destination_root);

// `mount_package_tree`: a staging tree laid over the filesystem; content that would change is a
// Conflict, content already exactly in place is left alone.
Result<void, HostImportError> mount_package_tree(Machine& machine, std::string_view host_root,
                                                 std::string_view destination_root,
                                                 const std::vector<std::string>& replace_builtin_tools);

// Whether one package destination is written (false) or already in place (true); a VfsError for a
// conflict. `content` is the file's bytes, or null for a directory.
Result<bool, VfsError> check_package_destination(const Vfs& vfs, std::string_view destination, const Bytes* content,
                                                 std::uint32_t mode, bool replace_allowed);

}  // namespace tw
