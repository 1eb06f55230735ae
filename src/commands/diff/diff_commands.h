// The comparison and patching commands: diff, cmp, patch and apply_patch.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/syscall_error.h"
#include "shell/command_io.h"

namespace tw {

enum class WhitespaceMode : std::uint8_t { None = 0, Change = 1, All = 2 };

struct DiffOptions {
    bool unified = false;
    bool brief = false;
    bool new_file = false;  // a file that cannot be read counts as empty
    WhitespaceMode whitespace = WhitespaceMode::None;
};

// `diff [-u] [-r] [-q] [-N] [-b] [-w] LEFT RIGHT`: 0 equal, 1 different, 2 trouble.
std::int32_t diff_command(NativeInvocation& invocation, CommandIo& io);
// `cmp FILE1 FILE2`: 0 equal bytes, 1 different, 2 trouble.
std::int32_t cmp_command(NativeInvocation& invocation, CommandIo& io);

// Compares two files (paths relative to the working directory, also the names shown) and writes
// the result: 0 equal, 1 different, 2 trouble, or 137 when a budget refuses the comparison.
std::int32_t diff_compare_files(Syscalls& sys, std::string_view left, std::string_view right,
                                const DiffOptions& options, Bytes& out, Bytes& err);
// Every path below the absolute `root` (relative, "/"-separated) with whether it is a directory
// (links followed). A root that is not a directory gives an empty listing.
Result<std::map<std::string, bool>, SyscallError> diff_list_tree(Syscalls& sys, std::string_view root);
// The comparison key of a line (without its terminator) under a white-space mode.
std::string diff_normalize_line(std::string_view line, WhitespaceMode whitespace);

// `patch [-pN] [-i PATCHFILE] [ORIGFILE [PATCHFILE]]` and `apply_patch [PATCHFILE]`: one body for
// both, selected by `apply_patch_mode`.
NativeStep patch_command_step(NativeInvocation& invocation, CommandIo& io, bool apply_patch_mode);
void patch_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void apply_patch_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
