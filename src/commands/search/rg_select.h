// rg's option values and its file selection: counts, option values taken from the argument
// list, and the collector that decides whether a file is searched and loads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/vfs.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

// The largest context count rg accepts.
inline constexpr std::uint64_t kRgContextLimit = 1000;
// The largest file rg reads.
inline constexpr std::uint64_t kRgFileLimit = 4 * 1024 * 1024;

// What the collector reads of rg's options.
struct RgSelection {
    bool hidden = false;              // search hidden paths too
    std::vector<std::string> globs;   // -g; a leading "!" negates
    std::vector<std::string> types;   // -t
};

// A file chosen for searching: its display path, its bytes, and the flag the caller gave
// (whether a directory walk found it).
struct RgFile {
    std::string path;
    LentBytes contents;  // lent by the file system or the command's input; nothing in rg writes files
    bool walked = false;
};

// A decimal unsigned 64-bit count (a leading "+" allowed), else
// "option OPTION requires a non-negative integer".
Result<std::uint64_t, std::string> rg_parse_count(std::string_view option, std::string_view value);
// rg_parse_count, and above 1000 "option OPTION exceeds the context limit".
Result<std::uint64_t, std::string> rg_parse_context_count(std::string_view option, std::string_view value);
// Moves `index` to the next argument and answers it; without one, "option OPTION requires a
// value" (the index stays moved).
Result<std::string, std::string> rg_take_option_value(std::span<const std::string> args, std::size_t& index,
                                                      std::string_view option);
// rg_take_option_value, then rg_parse_context_count.
Result<std::uint64_t, std::string> rg_take_context_option(std::span<const std::string> args, std::size_t& index,
                                                          std::string_view option);

// Whether the type name (py, rust, ...) lists the file-name extension. An unknown type lists none.
bool rg_type_accepts(std::string_view type, std::string_view extension);

// Whether the selection keeps the path: not hidden (unless `hidden`), chosen by the last glob that
// matches the path or its last component, and of a listed type (when types are given).
bool rg_selects(const RgSelection& selection, std::string_view path);

// Offers one file to the search. A file the selection drops is skipped (success, nothing
// added). Otherwise the file is read (the path resolved against the working directory, at most
// kRgFileLimit bytes), its length charged to the memory budget and added to `charged`, and it is
// appended to `files`. Failures: the read error's text, or "memory limit exceeded".
Result<void, std::string> rg_collect_file(Syscalls& sys, const RgSelection& selection, std::string_view path,
                                          bool walked, std::vector<RgFile>& files, std::uint64_t& charged);

}  // namespace tw
