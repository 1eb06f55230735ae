// The run behind `patch`, `apply_patch`, the harness's apply-patch request and `git apply`: every
// file patch is computed against a staged view of the filesystem, and the results are installed
// in one batch only when all of them succeed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "shell/command_io.h"

namespace tw {

inline constexpr std::uint64_t kMaxPatchBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kMaxPatchFiles = 10000;

struct PatchOptions {
    std::uint64_t strip = 0;            // leading components removed from unified-diff names
    std::optional<std::string> input;   // the patch file; absent: standard input
    // `patch` only: the file every file patch applies to (its first operand), whatever the
    // headers name.
    std::optional<std::string> target;
};

// `apply_patch [PATCHFILE]` (strip 1), or `patch [-pN] [-i PATCHFILE] [ORIGFILE [PATCHFILE]]`.
Result<PatchOptions, std::string> patch_parse_options(bool apply_patch_mode, std::span<const std::string> args);

// Parses the options in `args`, reads the patch (from `io.in` or the named file), stages every
// file patch against `cwd` and installs the results all together unless `check_only`. Messages go
// to `io.err` as "patch: MESSAGE". 0 done, 1 a file patch or the install failed, 2 a usage, input
// or parse failure, 137 a budget refused. Nothing is installed unless every file patch succeeds.
std::uint32_t patch_command_run(Syscalls& sys, std::span<const std::string> args, CommandIo& io,
                                bool apply_patch_mode, std::string_view cwd, bool check_only);

// Appends "patch: MESSAGE" and a newline.
void patch_report_error(Bytes& err, std::string_view message);

}  // namespace tw
