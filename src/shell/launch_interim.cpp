// Stand-ins for the program builders of launch.h, for as long as the executor does not provide
// them. Each file that provides a builder removes its stand-in here (the resumable programs'
// builders are in shell/program/program.cpp).
#include <fmt/format.h>

#include "kernel/machine.h"
#include "shell/launch.h"

namespace tw {

ProcessContinuation shell_program_continuation(ShellCommandPtr, bool) {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

ProcessContinuation shell_stdin_continuation() {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

ProcessContinuation shell_words_continuation(std::vector<std::string> argv) {
    return error_exit_program("tarnwick: the shell executor is not available yet\n", 126);
}

}  // namespace tw
