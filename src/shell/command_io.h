// The handler contract of the command registry: what a builtin or native command receives and
// what a suspendable native answers. These are transient views built for one call: they borrow
// the caller's buffers and the machine and are never stored in machine state.
//
// Builtins get a BuiltinContext (the machine and the name they were run as) and work on the
// machine's active process directly. Natives get a NativeInvocation and reach the machine only
// through its system-call handle.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "kernel/scheduler.h"

namespace tw {

struct Machine;
class SyscallContext;
using Syscalls = SyscallContext;

// The standard streams of one handler call. `in` holds all the input available to the command
// (for a suspendable native run as a process: what has arrived so far; it survives between
// calls). Handlers append to `out` and `err`; the caller decides where those bytes go.
struct CommandIo {
    Bytes& in;
    Bytes& out;
    Bytes& err;
};

// What a Builtin or ContinuingBuiltin handler receives beside its arguments. The calling process
// is the machine's active process.
struct BuiltinContext {
    Machine& machine;
    std::string_view name;  // the command name as resolved
};

// The standard-input state a suspendable native keeps between the steps of its process: whether
// the end of input has been seen, and how many input bytes are charged to the memory budget (the
// owner releases them when the command finishes).
struct LiveInput {
    bool eof = false;
    std::uint64_t charged = 0;
    // The running state of a command that folds its input as it arrives (its counts, a digest
    // state): the bytes it folded are dropped from `CommandIo::in`, so a long input never piles
    // up (see command_fold_stdin).
    Bytes folded;
    // Output a streaming command has finished with on a step that did not finish the command:
    // the process writes it to standard output before calling the handler again (see
    // command_stream_out). Only complete pieces of output go here, in their final order.
    Bytes streamed;
    // How far a command that reads a file operand a piece a step has got (see
    // command_fold_input_lines).
    std::uint64_t position = 0;

    bool operator==(const LiveInput&) const = default;
};

// What a Native or SuspendableNative handler receives beside its streams.
struct NativeInvocation {
    Syscalls& sys;
    std::string_view name;              // the command name as resolved
    std::span<const std::string> args;  // argv without argv[0]
    // Present when the command runs as its own process and descriptor 0 can still deliver data;
    // absent in a nested dispatch, where `CommandIo::in` is complete from the start.
    LiveInput* live_input = nullptr;

    // The exported environment of the calling process as "NAME=VALUE" texts, sorted by name.
    // Built on demand: most commands never look at it.
    std::vector<std::string> env() const;
    // The value of one exported variable; absent when the name is not exported or has no value.
    std::optional<std::string_view> env_value(std::string_view name) const;
};

// The answer of a suspendable native: finished with a status, or not done yet. A handler that
// answers Yield or Blocked is called again from its beginning with the same arguments and the same
// input buffer, and must not have written anything to its streams in the call that did not finish
// (a streaming command hands such output over in `LiveInput::streamed` instead).
struct NativeStep {
    enum class Kind : std::uint8_t { Finished = 0, Yield = 1, Blocked = 2 };

    Kind kind = Kind::Finished;
    std::int32_t status = 0;           // Finished
    std::optional<WaitReason> reason;  // Blocked

    static NativeStep finished(std::int32_t status) { return {Kind::Finished, status, std::nullopt}; }
    static NativeStep yield() { return {Kind::Yield, 0, std::nullopt}; }
    static NativeStep blocked(WaitReason reason) { return {Kind::Blocked, 0, std::move(reason)}; }

    bool is_finished() const { return kind == Kind::Finished; }
    friend bool operator==(const NativeStep&, const NativeStep&) = default;
};
using StepResult = NativeStep;

}  // namespace tw
