// The builtins about names and limits: alias and unalias (the alias table), hash (remembered
// command paths), type, which and command (what a name would run), ulimit (the machine's budgets,
// read only) and umask (the file-creation mask).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;
struct Machine;

// The path a command name resolves to through PATH (the empty text when unset) from the active
// process's directory; nothing when no executable is found. Functions and builtins are not
// consulted.
std::optional<std::string> lookup_command_path(const Machine& m, std::string_view name);

// Reports what each name would run (a function, a builtin when `with_builtins`, a path): verbose
// as "NAME is ..." lines, otherwise the name or path alone. Words starting with `-` are skipped.
// 0 when every name was found, else 1.
std::int32_t describe_command(const Machine& m, std::span<const std::string> names, std::string& out,
                              bool verbose, bool with_builtins);

std::int32_t builtin_alias(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_unalias(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_hash(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_type(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_which(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_ulimit(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_umask(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// command: -v/-V describe names; otherwise the words run as a command without functions or
// aliases.
void builtin_command(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                     CommandIo& io);

}  // namespace tw
