// The program builders of launch.h that the resumable programs serve.
#include <fmt/format.h>

#include "shell/launch.h"
#include "shell/program/program.h"

namespace tw {

ProcessContinuation error_exit_program(std::string message, std::int32_t status) {
    return resumable_process_program(error_exit_state(std::move(message), status));
}

ProcessContinuation resumable_program(ProgramKind kind, std::vector<std::string> argv) {
    const std::span<const std::string> args =
        argv.empty() ? std::span<const std::string>() : std::span<const std::string>(argv).subspan(1);
    if (auto program = launch_program(kind, args)) return resumable_process_program(std::move(*program));
    return error_exit_program(fmt::format("{}: not available as a program yet\n", program_kind_name(kind)), 126);
}

}  // namespace tw
