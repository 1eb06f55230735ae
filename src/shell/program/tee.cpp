// tee: standard input to standard output and to every named file. A chunk goes to the files when
// it is read and is then drained to standard output, so every destination sees every byte in
// order.
#include <fmt/format.h>

#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

void close_outputs(program::Tee& state, SyscallContext& sys) {
    for (const auto& output : state.outputs)
        if (!sys.close(output.fd)) state.status = 1;
    state.outputs.clear();
}

// Writes the whole chunk to one file; the error text on failure.
std::optional<std::string> write_all(SyscallContext& sys, std::int32_t fd, BytesView chunk) {
    while (!chunk.empty()) {
        auto written = sys.write(fd, chunk);
        if (!written) return error_text(written.error());
        if (written->blocked() || written->written == 0) return std::string("write would block");
        chunk.remove_prefix(std::min<std::uint64_t>(written->written, chunk.size()));
    }
    return std::nullopt;
}

}  // namespace

ProgramContinuation launch_tee(std::span<const std::string> args) {
    program::Tee state;
    bool options = true;
    for (const std::string& arg : args) {
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "-a" || arg == "--append")) {
            state.append = true;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            state.diagnostics.data = fmt::format("tee: unsupported option '{}'\n", arg);
            state.status = 2;
            state.end_after_diagnostic = true;
            return ProgramContinuation{std::move(state)};
        } else {
            state.files.push_back(arg);
        }
    }
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_tee(program::Tee& state, SyscallContext& sys, std::uint64_t& budget) {
    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    if (state.end_after_diagnostic || state.input_done) return ProgramStep::finished(state.status);

    if (!state.started) {
        state.started = true;
        const OpenFlags flags = state.append ? OpenFlags::append_output() : OpenFlags::output();
        const std::string cwd = sys.getcwd();
        for (const std::string& file : state.files) {
            auto fd = sys.open(cwd, file, flags);
            if (!fd) {
                state.diagnostics.append(fmt::format("tee: {}: {}\n", file, error_text(fd.error())));
                state.status = 1;
                continue;
            }
            state.outputs.push_back({*fd, file});
        }
        if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    }

    ProgramRead read = program_read(sys, 0, kProgramStepBytes);
    switch (read.kind) {
        case ProgramRead::Kind::Blocked: return ProgramStep::blocked(std::move(*read.wait));
        case ProgramRead::Kind::Exhausted: return ProgramStep::finished(kExhaustedStatus);
        case ProgramRead::Kind::Failed:
            state.diagnostics.append(fmt::format("tee: cannot read standard input: {}\n", read.error));
            state.status = 1;
            [[fallthrough]];
        case ProgramRead::Kind::End:
            close_outputs(state, sys);
            state.input_done = true;
            return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
        case ProgramRead::Kind::Data: break;
    }

    for (std::size_t i = 0; i < state.outputs.size();) {
        if (auto error = write_all(sys, state.outputs[i].fd, read.data)) {
            state.diagnostics.append(fmt::format("tee: {}: {}\n", state.outputs[i].name, *error));
            state.status = 1;
            (void)sys.close(state.outputs[i].fd);
            state.outputs.erase(state.outputs.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    state.out.append(read.data);
    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    return ProgramStep::yield();
}

}  // namespace tw
