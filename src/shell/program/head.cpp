// head: the first lines (or bytes) of each operand, with "==> NAME <==" headers when there are two
// or more operands. Nothing past the limit is read.
#include <charconv>

#include <fmt/format.h>

#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

using Unit = program::Head::Unit;

std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

ProgramContinuation refused(program::Head state, std::string_view message) {
    state.diagnostics.data = fmt::format("head: {}\n", message);
    state.status = 1;
    state.end_after_diagnostic = true;
    return ProgramContinuation{std::move(state)};
}

void close_input(program::Head& state, SyscallContext& sys) {
    if (state.input.kind == ProgramInput::Kind::File && !sys.close(state.input.fd)) state.status = 1;
    state.input = {};
}

}  // namespace

ProgramContinuation launch_head(std::span<const std::string> args) {
    program::Head state;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
            state.operands.push_back(arg);
            continue;
        }
        std::string_view option(arg);
        Unit unit;
        std::string_view value;
        if (option == "-n" || option == "-c") {
            if (i + 1 >= args.size())
                return refused(std::move(state), fmt::format("option requires an argument -- '{}'", option[1]));
            unit = option == "-n" ? Unit::Lines : Unit::Bytes;
            value = args[++i];
        } else if (option.starts_with("-n") || option.starts_with("-c")) {
            unit = option[1] == 'n' ? Unit::Lines : Unit::Bytes;
            value = option.substr(2);
        } else if (all_digits(option.substr(1))) {
            unit = Unit::Lines;
            value = option.substr(1);
        } else {
            return refused(std::move(state), fmt::format("unimplemented option '{}'", arg));
        }
        const std::optional<std::uint64_t> count = parse_count(value);
        if (!count)
            return refused(std::move(state), fmt::format("invalid number of {}: {}",
                                                         unit == Unit::Lines ? "lines" : "bytes", value));
        state.unit = unit;
        state.count = *count;
    }
    if (state.operands.empty()) state.operands.emplace_back("-");
    state.headers = state.operands.size() >= 2;
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_head(program::Head& state, SyscallContext& sys, std::uint64_t& budget) {
    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    if (state.end_after_diagnostic) return ProgramStep::finished(state.status);

    while (true) {
        if (state.input.kind == ProgramInput::Kind::None) {
            if (state.next_operand >= state.operands.size()) {
                if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
                return ProgramStep::finished(state.status);
            }
            const std::string& operand = state.operands[state.next_operand++];
            if (operand == "-" || operand == "/dev/stdin") {
                state.input = {ProgramInput::Kind::Stdin, 0, operand};
            } else {
                auto fd = sys.open(sys.getcwd(), operand, OpenFlags::input());
                if (!fd) {
                    state.diagnostics.append(fmt::format("head: {}: {}\n", operand, error_text(fd.error())));
                    state.status = 1;
                    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
                    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
                    continue;
                }
                state.input = {ProgramInput::Kind::File, *fd, operand};
            }
            if (state.headers) {
                state.out.append(fmt::format("{}==> {} <==\n", state.printed_any ? "\n" : "", operand));
                state.printed_any = true;
            }
            state.remaining = state.count;
        }

        if (state.remaining == 0) {
            close_input(state, sys);
            continue;
        }

        const std::uint64_t max =
            state.unit == Unit::Bytes ? std::min(state.remaining, kProgramStepBytes) : kProgramStepBytes;
        ProgramRead read = program_read(sys, state.input.fd, max);
        switch (read.kind) {
            case ProgramRead::Kind::Blocked: return ProgramStep::blocked(std::move(*read.wait));
            case ProgramRead::Kind::Exhausted: return ProgramStep::finished(kExhaustedStatus);
            case ProgramRead::Kind::Failed:
                state.diagnostics.append(fmt::format("head: {}: {}\n", state.input.operand, read.error));
                state.status = 1;
                close_input(state, sys);
                if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
                if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
                return ProgramStep::yield();
            case ProgramRead::Kind::End: close_input(state, sys); continue;
            case ProgramRead::Kind::Data: break;
        }

        BytesView kept(read.data);
        if (state.unit == Unit::Bytes) {
            state.remaining -= kept.size();
        } else {
            std::size_t from = 0;
            while (state.remaining > 0) {
                const std::size_t newline = kept.find('\n', from);
                if (newline == BytesView::npos) break;
                --state.remaining;
                from = newline + 1;
            }
            if (state.remaining == 0) kept = kept.substr(0, from);
        }
        state.out.append(kept);
        if (state.remaining == 0) close_input(state, sys);
        if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
        return ProgramStep::yield();
    }
}

}  // namespace tw
