// cat: the operands' bytes in order, optionally with numbered lines. Each step first finishes
// writing what an earlier step produced (output, then diagnostics), then reads one chunk.
#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

void close_input(program::Cat& state, SyscallContext& sys) {
    if (state.input.kind == ProgramInput::Kind::File && !sys.close(state.input.fd)) state.status = 1;
    state.input = {};
}

void append_numbered(program::Cat& state, BytesView data) {
    Bytes& out = state.out.data;
    if (!state.out.pending()) {
        out.clear();
        state.out.written = 0;
    }
    std::size_t start = 0;
    while (start < data.size()) {
        if (state.at_line_start) {
            fmt::format_to(std::back_inserter(out), "{:>6}\t", state.next_line);
            state.next_line = sat_add(state.next_line, 1);
            state.at_line_start = false;
        }
        const std::size_t newline = data.find('\n', start);
        const std::size_t end = newline == BytesView::npos ? data.size() : newline + 1;
        out.append(data.substr(start, end - start));
        if (newline != BytesView::npos) state.at_line_start = true;
        start = end;
    }
}

}  // namespace

ProgramContinuation launch_cat(std::span<const std::string> args) {
    program::Cat state;
    bool options = true;
    for (const std::string& arg : args) {
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (options && arg.starts_with("--")) {
            state.diagnostics.data = fmt::format("cat: unimplemented option '{}'\n", arg);
            state.status = 2;
            state.end_after_diagnostic = true;
            return ProgramContinuation{std::move(state)};
        }
        if (options && arg.size() > 1 && arg[0] == '-') {
            for (char letter : std::string_view(arg).substr(1)) {
                if (letter == 'n') {
                    state.number_lines = true;
                    continue;
                }
                state.diagnostics.data = fmt::format("cat: unimplemented option '-{}'\n", letter);
                state.status = 2;
                state.end_after_diagnostic = true;
                return ProgramContinuation{std::move(state)};
            }
            continue;
        }
        state.operands.push_back(arg);
    }
    if (state.operands.empty()) state.operands.emplace_back("-");
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_cat(program::Cat& state, SyscallContext& sys, std::uint64_t& budget) {
    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    if (state.end_after_diagnostic) return ProgramStep::finished(state.status);

    while (true) {
        if (state.input.kind == ProgramInput::Kind::None) {
            if (state.next_operand >= state.operands.size()) return ProgramStep::finished(state.status);
            const std::string& operand = state.operands[state.next_operand++];
            if (operand == "-" || operand == "/dev/stdin") {
                state.input = {ProgramInput::Kind::Stdin, 0, operand};
            } else {
                auto fd = sys.open(sys.getcwd(), operand, OpenFlags::input());
                if (!fd) {
                    state.diagnostics.append(fmt::format("cat: {}: {}\n", operand, error_text(fd.error())));
                    state.status = 1;
                    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
                    continue;
                }
                state.input = {ProgramInput::Kind::File, *fd, operand};
            }
        }

        ProgramRead read = program_read(sys, state.input.fd, state.number_lines ? 512 : kProgramStepBytes);
        switch (read.kind) {
            case ProgramRead::Kind::Blocked: return ProgramStep::blocked(std::move(*read.wait));
            case ProgramRead::Kind::Exhausted: return ProgramStep::finished(kExhaustedStatus);
            case ProgramRead::Kind::Failed:
                state.diagnostics.append(fmt::format("cat: {}\n", read.error));
                state.status = 1;
                close_input(state, sys);
                if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
                return ProgramStep::yield();
            case ProgramRead::Kind::End: close_input(state, sys); continue;
            case ProgramRead::Kind::Data:
                if (state.number_lines) {
                    append_numbered(state, read.data);
                } else if (!state.out.pending()) {
                    state.out.data = std::move(read.data);
                    state.out.written = 0;
                } else {
                    state.out.data.append(read.data);
                }
                if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
                return ProgramStep::yield();
        }
    }
}

}  // namespace tw
