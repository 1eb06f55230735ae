// Command dispatch: running one expanded command word inside the step of the calling shell
// (Machine::dispatch_command, declared in kernel/machine.h with the launch operations), and the
// resolution of a command word that dispatch and the executor share.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "command_table/native_program.h"
#include "shell/launch.h"

namespace tw {

struct Machine;

// The 49 names the shell treats as its own builtins (`.`, `:`, `[`, `[[`, `alias`, ... `wait`):
// such a word is looked up in the registry by name and never searched along PATH.
bool is_builtin_name(std::string_view name);

// What a command word (one not taken as a builtin name) resolves to for the active process: the
// PATH search result, and for a found native-executable stub its program, or for a found regular
// file whether it is a WebAssembly module.
struct CommandResolution {
    SearchResult search;
    std::optional<NativeProgram> program;  // a found stub
    bool wasm = false;                     // a found regular file with the WebAssembly magic

    // A resumable program, a registered native, one of the shells sh, bash, dash, zsh, or a
    // WebAssembly file: these run in a process of their own.
    bool needs_own_process() const;
};
CommandResolution resolve_command_word(const Machine& machine, std::string_view word);

// The shells whose stubs start a fresh shell instance.
bool is_shell_program_name(std::string_view name);

// The messages dispatch writes and records.
inline constexpr std::string_view kNotImplementedReason = "not implemented in tarnwick";
inline constexpr std::string_view kCommandNotFoundReason = "command not found";

}  // namespace tw
