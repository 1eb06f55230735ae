// What the file commands (ls, cp, rm, ...) and the other commands that take file operands share:
// refusing options they do not implement, resolving operands, wording errors and charging work.
//
// Lines and messages are written with push_line / push_message (io.h); arguments are split with
// CommandArgs::parse (options.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/syscall_error.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;
struct CommandArgs;

// Exit statuses of the file commands.
inline constexpr std::int32_t kFileStatusOk = 0;       // every operand succeeded
inline constexpr std::int32_t kFileStatusFailed = 1;   // a missing operand, or an operand failed
inline constexpr std::int32_t kFileStatusUsage = 2;    // an unimplemented option or another usage error

// Refuses the first short flag that is not one of the ASCII letters in `allowed`, as
// "COMMAND: unimplemented option '-F'", or else the first long option, as
// "COMMAND: unimplemented option '--NAME'" (its value is not shown). True when a refusal was
// written to `err`; the caller then ends with kFileStatusUsage before touching any operand.
bool report_unimplemented_option(std::string_view command, std::span<const char32_t> flags,
                                 std::string_view allowed,
                                 std::span<const std::pair<std::string_view, std::string_view>> long_options,
                                 Bytes& err);
bool report_unimplemented_option(std::string_view command, const CommandArgs& args, std::string_view allowed,
                                 Bytes& err);

// The operand as an absolute, normalised path, resolved against the working directory.
std::string operand_path(Syscalls& sys, std::string_view operand);

// The metadata of an operand resolved against the working directory: "stat" (`follow` true,
// symbolic links followed) or "lstat" (`follow` false, a final link described itself).
Result<FileStat, SyscallError> stat_operand(Syscalls& sys, std::string_view operand, bool follow);

// The kind of a described node.
inline bool stat_is_directory(const FileStat& st) { return st.file_type == 1; }
inline bool stat_is_symlink(const FileStat& st) { return st.file_type == 2; }
inline bool stat_is_regular(const FileStat& st) { return st.file_type == 0; }

// The path of `source`'s base name inside `directory`: "DIR/NAME", the directory without its
// trailing slashes ("/NAME" for the root).
std::string target_in_directory(std::string_view directory, std::string_view source);

// "COMMAND: cannot VERB 'OPERAND': ERROR" for a failed operation on one operand.
void push_cannot(Bytes& err, std::string_view command, std::string_view verb, std::string_view operand,
                 const SyscallError& error);
// "COMMAND: ERROR" for a failure whose text already names the path.
void push_failure(Bytes& err, std::string_view command, const SyscallError& error);

// Charges work the command is about to do to the CPU budget. Nothing when the charge was
// taken; otherwise the status the command must end with at once (137), writing nothing more.
std::optional<std::int32_t> charge_work(Syscalls& sys, std::uint64_t units);

}  // namespace tw
