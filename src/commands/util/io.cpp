#include "commands/util/io.h"

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {
constexpr std::uint64_t kStdinChunk = 4096;
// How much of a file operand a line-folding command takes a step.
constexpr std::size_t kFilePiece = std::size_t{1} << 20;
}

bool command_operands_read_stdin(std::span<const std::string_view> operands) {
    if (operands.empty()) return true;
    for (std::string_view op : operands)
        if (op == "-" || op == "/dev/stdin") return true;
    return false;
}

std::optional<NativeStep> command_read_stdin(NativeInvocation& invocation, CommandIo& io) {
    LiveInput* live = invocation.live_input;
    if (live == nullptr || live->eof) return std::nullopt;
    auto read = invocation.sys.read(0, kStdinChunk);
    if (!read) {
        fmt::format_to(std::back_inserter(io.err), "{}: cannot read standard input: {}\n", invocation.name,
                       error_text(read.error()));
        return NativeStep::finished(1);
    }
    if (read->blocked()) return NativeStep::blocked(*read->wait);
    if (read->data.empty()) {
        live->eof = true;
        return std::nullopt;
    }
    const std::uint64_t n = read->data.size();
    if (!invocation.sys.charge_memory(n)) return NativeStep::finished(invocation.sys.exhausted_status());
    live->charged = sat_add(live->charged, n);
    io.in += read->data;
    return NativeStep::yield();
}

Result<Bytes, SyscallError> command_read_file(Syscalls& sys, std::string_view operand) {
    return sys.read_file(sys.getcwd(), operand, sys.limits().memory);
}

CommandInputs command_read_inputs(Syscalls& sys, std::span<const std::string_view> operands, BytesView stdin_bytes) {
    CommandInputs inputs;
    if (operands.empty()) {
        inputs.contents.assign(stdin_bytes);
        return inputs;
    }
    std::optional<std::string> cwd;
    std::optional<std::uint64_t> memory_limit;
    for (std::string_view op : operands) {
        if (op == "-" || op == "/dev/stdin") {
            inputs.contents += stdin_bytes;
            continue;
        }
        if (!cwd) cwd = sys.getcwd();
        if (!memory_limit) memory_limit = sys.limits().memory;
        const std::uint64_t limit = sat_sub(*memory_limit, inputs.contents.size());
        auto bytes = sys.read_file(*cwd, op, limit);
        if (bytes && inputs.contents.empty()) inputs.contents = std::move(*bytes);
        else if (bytes) inputs.contents += *bytes;
        else inputs.errors.push_back(fmt::format("{}: {}", op, error_text(bytes.error())));
    }
    return inputs;
}

bool command_await_stdin(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                         std::span<const std::string_view> operands) {
    if (!command_operands_read_stdin(operands)) return false;
    auto s = command_read_stdin(invocation, io);
    if (!s) return false;
    step = *s;
    return true;
}

std::optional<std::string_view> command_gather_input(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                                                     std::span<const std::string_view> operands,
                                                     std::string_view name, LentBytes& storage) {
    if (command_await_stdin(step, invocation, io, operands)) return std::nullopt;
    if (operands.empty() || (operands.size() == 1 && (operands[0] == "-" || operands[0] == "/dev/stdin")))
        return std::string_view(io.in);
    if (operands.size() == 1) {
        Syscalls& sys = invocation.sys;
        auto lent = sys.lend_file(sys.getcwd(), operands[0], sys.limits().memory);
        if (!lent) {
            push_message(io.err, name, fmt::format("{}: {}", operands[0], error_text(lent.error())));
            step = NativeStep::finished(1);
            return std::nullopt;
        }
        storage = std::move(*lent);
        return storage.view();
    }
    CommandInputs inputs = command_read_inputs(invocation.sys, operands, io.in);
    if (!inputs.errors.empty()) {
        push_message(io.err, name, inputs.errors.front());
        step = NativeStep::finished(1);
        return std::nullopt;
    }
    storage = LentBytes::owned(std::move(inputs.contents));
    return storage.view();
}

bool command_fold_input_lines(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                              std::span<const std::string_view> operands, std::string_view name,
                              const std::function<bool(std::string_view, bool)>& fold) {
    if (operands.empty() || (operands.size() == 1 && operands[0] == "-"))
        return command_fold_lines(step, invocation, io, fold);
    LiveInput* live = invocation.live_input;
    if (operands.size() != 1 || operands[0] == "/dev/stdin" || live == nullptr) {
        LentBytes storage;
        const auto gathered = command_gather_input(step, invocation, io, operands, name, storage);
        if (!gathered) return true;
        (void)fold(*gathered, true);
        return false;
    }
    Syscalls& sys = invocation.sys;
    auto lent = sys.lend_file(sys.getcwd(), operands[0], sys.limits().memory);
    if (!lent) {
        push_message(io.err, name, fmt::format("{}: {}", operands[0], error_text(lent.error())));
        step = NativeStep::finished(1);
        return true;
    }
    const std::string_view all = lent->view();
    const std::size_t from = std::min<std::uint64_t>(live->position, all.size());
    std::size_t end = all.size();
    if (all.size() - from > kFilePiece) {
        const std::size_t feed = all.find('\n', from + kFilePiece - 1);
        if (feed != std::string_view::npos) end = feed + 1;
    }
    const bool last = end == all.size();
    if (!fold(all.substr(from, end - from), last) || last) return false;
    live->position = end;
    step = NativeStep::yield();
    return true;
}

void push_line(Bytes& buffer, std::string_view text) {
    buffer += text;
    buffer += '\n';
}

void push_message(Bytes& buffer, std::string_view name, std::string_view message) {
    buffer += name;
    buffer += ": ";
    buffer += message;
    buffer += '\n';
}

bool command_output_fits(Syscalls& sys, const Bytes& out, std::uint64_t more) {
    const std::uint64_t remaining = sys.output_remaining();
    if (sat_add(out.size(), more) < remaining) return true;
    sys.charge_output(sat_add(remaining, 1));
    return false;
}

}  // namespace tw
