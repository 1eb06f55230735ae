// Stand-ins for the program builders of launch.h that are not served yet: a registry native run
// as a process (the resumable programs' Native continuation) and the shell continuations (the
// executor). Each stand-in installs a program that reports what is missing and exits with 126;
// the file that provides a builder removes its stand-in here.
#include <fmt/format.h>

#include "shell/launch.h"

namespace tw {

ProcessContinuation native_command_program(const NativeCommand&, std::string name, std::vector<std::string>) {
    return error_exit_program(fmt::format("{}: native commands cannot run as a process yet\n", name), 126);
}

ProcessContinuation shell_program_continuation(ShellCommandPtr, bool) {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

ProcessContinuation shell_stdin_continuation() {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

ProcessContinuation shell_words_continuation(std::vector<std::string>) {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

}  // namespace tw
