// Stand-ins for the program builders of launch.h, for as long as the resumable programs and the
// executor do not provide them. Each file that provides a builder removes its stand-in here.
//
// The error exit is complete: it writes its message to descriptor 2 (retrying a full pipe) and
// exits with its status. The others install an error exit that names the missing program kind.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "shell/launch.h"

namespace tw {
namespace {

struct ErrorExitStep {
    Bytes message;
    std::uint64_t written = 0;
    std::int32_t status = 0;

    ProgramStep operator()(Machine& machine) {
        while (written < message.size()) {
            auto r = machine.write_fd(2, BytesView(message).substr(written));
            if (!r) return ProgramStep::finished(status);
            if (r->blocked()) return ProgramStep::blocked(*r->wait);
            if (r->written == 0) return ProgramStep::finished(status);
            written += r->written;
        }
        return ProgramStep::finished(status);
    }
};

}  // namespace

ProcessContinuation error_exit_program(std::string message, std::int32_t status) {
    return CallbackProgram{ErrorExitStep{std::move(message), 0, status}};
}

ProcessContinuation native_command_program(const NativeCommand&, std::string name, std::vector<std::string>) {
    return error_exit_program(fmt::format("{}: native commands cannot run as a process yet\n", name), 126);
}

ProcessContinuation resumable_program(ProgramKind kind, std::vector<std::string>) {
    return error_exit_program(fmt::format("{}: resumable programs are not available yet\n", program_kind_name(kind)),
                              126);
}

}  // namespace tw
