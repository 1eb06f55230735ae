// Command launch: the machine's exec (Machine::launch_command, declared in kernel/machine.h),
// the PATH search it shares with dispatch, and the admission of shell source.
//
// Launch replaces the continuation of an existing process with the program a command word names.
// It builds that program through the builders below; the resumable programs and the executor
// provide them, so launch never needs their types:
//   - the resumable programs: error_exit_program, native_command_program, resumable_program;
//   - the executor: shell_program_continuation, shell_stdin_continuation, shell_words_continuation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "command_table/native_program.h"
#include "commands/registry/registry.h"
#include "kernel/process.h"
#include "kernel/step.h"
#include "shell/ast.h"

namespace tw {

class Vfs;
struct VfsError;

// ---- PATH search ----

struct SearchResult {
    enum class Kind : std::uint8_t {
        Found = 0,     // an executable regular file or native stub
        Denied = 1,    // candidates existed, none executable: the first of them
        NotFound = 2,  // no candidate exists
    };
    Kind kind = Kind::NotFound;
    std::string path;  // absolute and normalised; empty for NotFound

    static SearchResult found(std::string path) { return {Kind::Found, std::move(path)}; }
    static SearchResult denied(std::string path) { return {Kind::Denied, std::move(path)}; }
    static SearchResult not_found() { return {}; }
    bool operator==(const SearchResult&) const = default;
};

// The search path when PATH is not set.
inline constexpr std::string_view kDefaultSearchPath = "/bin:/usr/bin";

// Resolves a command word: a word with "/" is only joined to `cwd`; any other word is tried in
// each entry of `path_var` (kDefaultSearchPath when absent; an empty entry is the cwd), in order.
SearchResult search_path(const Vfs& vfs, std::string_view cwd, std::optional<std::string_view> path_var,
                         std::string_view word);

// Whether the file at `path` (links followed) starts with the WebAssembly magic "\0asm". Any
// failure, and a shorter file, answer false.
bool file_has_wasm_magic(const Vfs& vfs, std::string_view path);

// The whole file as text, invalid UTF-8 replaced by U+FFFD.
Result<std::string, VfsError> vfs_read_text_lossy(Vfs& vfs, std::string_view cwd, std::string_view path);

// The launcher that system calls and child creation use to install a command in a process
// (Machine::launch_argv).
ArgvLauncher command_launcher();

// ---- Program builders (provided by the resumable programs and the executor) ----

// A program that writes `message` to descriptor 2 and exits with `status`.
ProcessContinuation error_exit_program(std::string message, std::int32_t status);
// A registry native run as the program of a process; `name` is the base name of its path and
// `args` is argv without argv[0].
ProcessContinuation native_command_program(const NativeCommand& command, std::string name,
                                           std::vector<std::string> args);
// The starting state of a resumable program for argv (argv[0] included). Arguments the program
// refuses at launch give its reporting program (an error exit or a pending diagnostic).
ProcessContinuation resumable_program(ProgramKind kind, std::vector<std::string> argv);
// A shell continuation running a parsed program; `separate_instance` marks a new shell (bash -c,
// a script) rather than a subshell.
ProcessContinuation shell_program_continuation(ShellCommandPtr program, bool separate_instance);
// A shell continuation that reads its commands from standard input.
ProcessContinuation shell_stdin_continuation();
// A shell continuation running already expanded words as one command, as if typed.
ProcessContinuation shell_words_continuation(std::vector<std::string> argv);

}  // namespace tw
