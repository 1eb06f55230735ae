// Moving bytes and directories between the host and a machine's filesystem without running
// anything inside it: nothing is charged but disk, nothing is logged, and the operations work the
// same on a machine whose budgets are exhausted. Every check is made before the first change.
//
// Two families: the environment forms resolve relative paths against the active process's
// directory and create no missing parents for a file; the container forms take paths resolved
// against "/work" and create what is missing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/vfs.h"

namespace tw {

struct Machine;

// ---- environment forms ----

// Writes one regular file into an existing directory. An existing file keeps its mode, owner and
// group; anything else at the path (a link, a stub; not a directory) is replaced by a new file
// with `mode`, stored unchanged.
Result<void, VfsError> environment_write_file(Machine& machine, std::string_view path, Bytes data,
                                              std::uint32_t mode);
// The whole content of a regular file, links followed.
Result<Bytes, VfsError> environment_read_file(Machine& machine, std::string_view path);
// One directory in an existing parent, or with `parents` every missing component (an existing
// directory is then no error).
Result<void, VfsError> environment_mkdir(Machine& machine, std::string_view path, bool parents);

// ---- container forms ----

inline constexpr std::string_view kContainerHome = "/work";

// A container path: refused with "container path contains NUL", else joined to "/work" and
// normalised.
Result<std::string, std::string> resolve_container_path(std::string_view path);
// Writes a regular file at an absolute path, creating missing ancestors with mode 0o755; the new
// file takes `mode` even when one was there. "invalid file mode" above 0o7777.
Result<void, std::string> container_write_file(Machine& machine, std::string_view absolute, Bytes data,
                                               std::uint32_t mode);
Result<Bytes, VfsError> container_read_file(Machine& machine, std::string_view absolute);
// Creates the directory and its missing ancestors (0o755), then gives the final directory `mode`,
// also when it existed. "invalid directory mode" above 0o7777.
Result<void, std::string> container_mkdir(Machine& machine, std::string_view absolute, std::uint32_t mode);

}  // namespace tw
