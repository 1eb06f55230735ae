// Standard input and operand reading for native commands, and the shape of their messages.
#pragma once

#include <cstdint>
#include <functional>
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

// For a command that handles its input a line at a time and reads only standard input: calls
// `fold(lines, false)` with the whole lines received since the last call and drops them from
// `io.in`, then receives more; once the input has ended, calls `fold(rest, true)` with what is
// left (a last line without a line feed, or nothing). `fold` answers false to stop at once (the
// handler then answers its own step). True when the handler must answer `step` at once. In a
// nested dispatch the whole input is one `fold(input, true)`.
template <typename Fold>
bool command_fold_lines(NativeStep& step, NativeInvocation& invocation, CommandIo& io, Fold&& fold) {
    if (invocation.live_input != nullptr && !invocation.live_input->eof) {
        if (const std::size_t end = io.in.rfind('\n'); end != Bytes::npos) {
            if (!fold(std::string_view(io.in).substr(0, end + 1), false)) return false;
            io.in.erase(0, end + 1);
        }
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return true;
        }
    }
    (void)fold(std::string_view(io.in), true);
    io.in.clear();
    return false;
}

// command_fold_lines over the command's input: standard input as it arrives; a single file
// operand, when the command runs as its own process, a piece of about a mebibyte of whole lines a
// step (so its output is written as it goes); other operands gathered whole into one
// `fold(input, true)`. An operand that cannot be read gives "NAME: OPERAND: ERROR" and
// Finished(1). True when the handler must answer `step` at once.
bool command_fold_input_lines(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                              std::span<const std::string_view> operands, std::string_view name,
                              const std::function<bool(std::string_view, bool)>& fold);

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
