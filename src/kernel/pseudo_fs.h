// The pseudo filesystem: the paths under /dev and /proc are not stored in the tree but computed on
// demand from the live machine (its clock, meter, process table, scheduler and the active
// process). Every path operation of the machine asks here first and falls back to the tree only
// for a path that is no pseudo path. Rendering never changes the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/vfs.h"

namespace tw {

struct Machine;

// What a pseudo path renders to.
struct PseudoContent {
    enum class Kind : std::uint8_t { Bytes, Device, Listing, Link };
    Kind kind = Kind::Bytes;
    tw::Bytes bytes;                 // Bytes: the file content
    std::vector<std::string> names;  // Listing: the entries in their fixed order
    std::string target;              // Link: the target text

    static PseudoContent file(tw::Bytes bytes) { return {Kind::Bytes, std::move(bytes), {}, {}}; }
    static PseudoContent device() { return {Kind::Device, {}, {}, {}}; }
    static PseudoContent listing(std::vector<std::string> names) { return {Kind::Listing, {}, std::move(names), {}}; }
    static PseudoContent link(std::string target) { return {Kind::Link, {}, {}, std::move(target)}; }
};

// Every operation takes the machine, the caller's current directory (the base `path` is joined
// to) and the path text; an absent answer means "not a pseudo path".
class PseudoFs {
public:
    static constexpr std::uint64_t kEnvironLimit = 4194304;  // bytes of /proc/PID/environ
    static constexpr std::uint32_t kFileMode = 0444;
    static constexpr std::uint32_t kDeviceMode = 0666;
    static constexpr std::uint32_t kDirMode = 0555;
    static constexpr std::uint32_t kLinkMode = 0777;

    // The normalised absolute path with "/proc/self/REST" rewritten to "/proc/PID/REST" and, with
    // `follow`, "/proc/self" itself to "/proc/PID" (PID: the active process, decimal).
    static std::string parse_proc_path(const Machine& m, std::string_view cwd, std::string_view path, bool follow);

    // The content of a pseudo path, or TooLarge (normalised path, 4194304) for an environment
    // that does not fit.
    static std::optional<Result<PseudoContent, VfsError>> render(const Machine& m, std::string_view cwd,
                                                                 std::string_view path, bool follow);

    // The node of a pseudo path: files 0o444, devices 0o666 (empty), directories 0o555, links
    // 0o777; owner and group 0; the current wall-clock time; the path's fixed inode number.
    static std::optional<Result<VfsNode, VfsError>> lookup(const Machine& m, std::string_view cwd,
                                                           std::string_view path, bool follow);

    // The fixed inode number of a parsed pseudo path (0 for a text that is none).
    static std::uint64_t inode_of(std::string_view parsed);
};

}  // namespace tw
