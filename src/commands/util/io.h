// Standard input and operand reading for native commands, and the shape of their messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "shell/command_io.h"

namespace tw {

struct SyscallError;
class LentBytes;

// True when the command reads standard input: no operands, or an operand "-" or "/dev/stdin".
bool command_operands_read_stdin(std::span<const std::string_view> operands);

// Receives more standard input for a suspendable native. Nothing: `io.in` is complete (always so
// in a nested dispatch). Otherwise the step the handler must answer at once: Yield after a chunk
// of at most 4096 bytes arrived (charged to the memory budget), Blocked when none is ready,
// Finished(1) with "NAME: cannot read standard input: ERROR" on a read error, Finished(137) when
// the memory budget refuses the chunk.
std::optional<NativeStep> command_read_stdin(NativeInvocation& invocation, CommandIo& io);

// The bytes of the file that `operand` names (relative to the working directory), at most the
// memory limit. "-" is a file name here.
Result<Bytes, SyscallError> command_read_file(Syscalls& sys, std::string_view operand);

// The operands' contents concatenated ("-" and "/dev/stdin" append `stdin` each time), or `stdin`
// alone without operands. Each operand that cannot be read adds "OPERAND: ERROR" to `errors`.
struct CommandInputs {
    Bytes contents;
    std::vector<std::string> errors;
};
CommandInputs command_read_inputs(Syscalls& sys, std::span<const std::string_view> operands, BytesView stdin_bytes);

// For a command that folds standard input as it arrives rather than gathering it: calls
// `fold(bytes)` with the bytes received since the last call, drops them from `io.in`, and receives
// more (`command_read_stdin`). True when the handler must answer `step` at once; false once the
// whole input has been folded. The command keeps its running state in `command_fold_state`.
template <typename Fold>
bool command_fold_stdin(NativeStep& step, NativeInvocation& invocation, CommandIo& io, Fold&& fold) {
    if (!io.in.empty()) {
        fold(std::string_view(io.in));
        io.in.clear();
    }
    auto s = command_read_stdin(invocation, io);
    if (!s) return false;
    step = *s;
    return true;
}

// Where a folding command keeps its state between steps: in the process's live input, or in
// `local` in a nested dispatch (whose input is complete from the start).
inline Bytes& command_fold_state(NativeInvocation& invocation, Bytes& local) {
    return invocation.live_input != nullptr ? invocation.live_input->folded : local;
}

// Where a command that streams its output puts what it has finished with: handed to the process
// (written before the handler is called again) when the command runs as its own process, `io.out`
// in a nested dispatch. Output put here stays written even if the command later fails.
inline Bytes& command_stream_out(NativeInvocation& invocation, CommandIo& io) {
    return invocation.live_input != nullptr ? invocation.live_input->streamed : io.out;
}

// Receives standard input when the operands ask for it (`command_operands_read_stdin`). True when
// the handler must answer `step` at once (the steps of `command_read_stdin`); false once `io.in`
// is complete or not wanted.
bool command_await_stdin(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                         std::span<const std::string_view> operands);

// The input of a command that reads its operands or standard input: awaits standard input when
// the operands ask for it, then reads the operands (`command_read_inputs`). Without operands the
// result is `io.in` itself; otherwise it views `storage`, which receives the contents. Nothing
// when the handler must answer `step` at once: a suspension while input is pending, or
// Finished(1) after "NAME: FIRST-ERROR" for an operand that cannot be read.
std::optional<std::string_view> command_gather_input(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                                                     std::span<const std::string_view> operands,
                                                     std::string_view name, LentBytes& storage);

// Appends `text` and a newline.
void push_line(Bytes& buffer, std::string_view text);
// Appends "NAME: MESSAGE" and a newline: the form of every command message.
void push_message(Bytes& buffer, std::string_view name, std::string_view message);

// Whether `more` bytes may still be added to `out`, a command's standard output under
// construction, within the output budget. When they may not, the budget is charged past its end
// (which stops the action) and the handler must finish with `sys.exhausted_status()`. Commands
// whose output can grow far beyond their input check this before they build it.
bool command_output_fits(Syscalls& sys, const Bytes& out, std::uint64_t more);


}  // namespace tw
