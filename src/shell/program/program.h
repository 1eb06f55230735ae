// Resumable programs: commands that run as the program of their own process and advance one small
// step each time the scheduler steps that process (cat streaming through a full pipe, yes feeding
// a reader that may leave at any time). Between steps a program keeps its whole state in a
// ProgramContinuation, a plain value copied with the machine.
//
// The launcher (command launch) builds the starting state from the arguments with
// `launch_program`; argument errors become an ErrorExit continuation or a pending diagnostic
// inside the program's own state. `Machine::program_step` resumes a continuation by one step.
// Every effect goes through the system-call interface of the process.
//
// Accounting: every step costs 1 unit of CPU work; every byte read costs 1 unit before it is
// used; every byte written to standard output or error costs 1 unit and 1 byte of output. At most
// 4096 bytes are read and at most 4096 bytes written per step.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "command_table/native_program.h"
#include "commands/registry/registry.h"
#include "kernel/process.h"
#include "kernel/step.h"
#include "shell/command_io.h"
#include "shell/program/find.h"
#include "shell/program/make.h"

namespace tw {

class SyscallContext;

// The most bytes a program moves in one step, in each direction.
inline constexpr std::uint64_t kProgramStepBytes = 4096;

// Bytes on their way to a descriptor and how many of them are written already.
struct PendingBytes {
    Bytes data;
    std::uint64_t written = 0;

    bool pending() const { return written < data.size(); }
    // Appends; a fully written buffer is emptied first so it does not grow without end.
    void append(BytesView bytes);
    friend bool operator==(const PendingBytes&, const PendingBytes&) = default;
};

// Where a program reads from now.
struct ProgramInput {
    enum class Kind : std::uint8_t { None, Stdin, File };
    Kind kind = Kind::None;
    std::int32_t fd = 0;    // 0 for Stdin, the opened number for File
    std::string operand;    // as written by the user
    friend bool operator==(const ProgramInput&, const ProgramInput&) = default;
};

namespace program {

// `true` and `false`.
struct Exit {
    std::int32_t status = 0;
    friend bool operator==(const Exit&, const Exit&) = default;
};

// A program whose arguments were refused at launch: writes the message to descriptor 2 and ends.
struct ErrorExit {
    Bytes message;
    std::uint64_t written = 0;
    std::int32_t status = 1;
    friend bool operator==(const ErrorExit&, const ErrorExit&) = default;
};

struct Pwd {
    std::optional<PendingBytes> line;  // absent before the first step
    friend bool operator==(const Pwd&, const Pwd&) = default;
};

struct Yes {
    PendingBytes block;  // the line repeated to fill at most 4096 bytes
    friend bool operator==(const Yes&, const Yes&) = default;
};

struct Cat {
    std::vector<std::string> operands;  // still to be read, next first
    std::size_t next_operand = 0;
    bool number_lines = false;
    std::uint64_t next_line = 1;
    bool at_line_start = true;
    ProgramInput input;
    PendingBytes out;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    bool end_after_diagnostic = false;  // an option was refused at launch
    friend bool operator==(const Cat&, const Cat&) = default;
};

struct Tee {
    struct Output {
        std::int32_t fd = 0;
        std::string name;
        friend bool operator==(const Output&, const Output&) = default;
    };
    std::vector<std::string> files;
    bool append = false;
    bool started = false;  // the files are open
    std::vector<Output> outputs;
    PendingBytes out;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    bool input_done = false;            // end of input or a read error: finish once drained
    bool end_after_diagnostic = false;  // an option was refused at launch
    friend bool operator==(const Tee&, const Tee&) = default;
};

struct Head {
    enum class Unit : std::uint8_t { Lines, Bytes };
    Unit unit = Unit::Lines;
    std::uint64_t count = 10;
    std::vector<std::string> operands;
    std::size_t next_operand = 0;
    bool headers = false;
    std::uint64_t remaining = 0;  // of the current file
    ProgramInput input;
    bool printed_any = false;  // a header has been written already
    PendingBytes out;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    bool end_after_diagnostic = false;
    friend bool operator==(const Head&, const Head&) = default;
};

// A registry command run as the program of its own process.
struct Native {
    bool suspendable = false;               // SuspendableNative (else Native)
    NativeHandler handler = nullptr;        // Native
    SuspendableNativeHandler suspendable_handler = nullptr;  // SuspendableNative
    std::string name;                       // the base name of the registered path
    std::vector<std::string> args;          // argv without argv[0]
    std::uint64_t cost = 0;
    std::uint64_t memory = 0;
    std::uint64_t cpu_start = 0;
    std::uint64_t disk_start = 0;
    std::uint64_t memory_charged = 0;  // the registered memory while it is held
    Bytes input;                       // standard input gathered so far
    LiveInput live;                    // its end flag and the bytes of it charged to memory
    PendingBytes streamed;             // output handed over on a step that did not finish
    PendingBytes out;
    PendingBytes err;
    std::int32_t status = 0;
    bool started = false;
    bool handler_done = false;
    bool usage_recorded = false;
    friend bool operator==(const Native&, const Native&) = default;
};


// ---- programs that wait on the clock or start other commands ----

// `sleep` and `usleep`: one timer, then the end.
struct Sleep {
    PendingBytes diagnostics;  // a refused operand or a failed timer
    std::int32_t status = 0;
    std::uint64_t total_ns = 0;
    bool timer_set = false;
    std::uint64_t deadline = 0;  // monotonic nanoseconds
    friend bool operator==(const Sleep&, const Sleep&) = default;
};

// `timeout`: the command as a child, watched against a deadline.
struct Timeout {
    std::vector<std::string> args;  // read on the first step
    bool options_done = false;
    std::uint64_t duration_ns = 0;
    std::optional<std::uint64_t> kill_after_ns;
    Signal signal = Signal::TERM;
    bool preserve_status = false;
    bool foreground = false;
    std::optional<Pid> child;
    std::optional<std::uint64_t> deadline;  // armed deadline, monotonic nanoseconds
    bool timed_out = false;
    bool killed = false;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    bool finishing = false;  // only the diagnostic is left to write
    friend bool operator==(const Timeout&, const Timeout&) = default;
};

// `env`, `nohup` and `nice`: they settle how the command runs, then hand their process to it.
struct Env {
    std::vector<std::string> args;
    bool started = false;
    PendingBytes out;          // the listing without a command
    PendingBytes diagnostics;
    std::int32_t status = 0;
    friend bool operator==(const Env&, const Env&) = default;
};

struct Nohup {
    std::vector<std::string> args;  // without a first "--"
    bool started = false;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    friend bool operator==(const Nohup&, const Nohup&) = default;
};

struct Nice {
    std::vector<std::string> args;
    bool started = false;
    PendingBytes out;  // "0" without a command
    PendingBytes diagnostics;
    std::int32_t status = 0;
    friend bool operator==(const Nice&, const Nice&) = default;
};

// `xargs`: all of standard input, then its command lines one child at a time.
struct Xargs {
    std::vector<std::string> args;
    Bytes input;
    std::uint64_t charged = 0;  // memory held for the input and the command lines
    bool input_done = false;
    bool lines_built = false;
    std::vector<std::vector<std::string>> lines;
    std::size_t next_line = 0;
    std::optional<Pid> child;
    PendingBytes diagnostics;
    std::int32_t status = 0;
    bool finishing = false;  // no more command runs: drain and end
    friend bool operator==(const Xargs&, const Xargs&) = default;
};

// `make`: the engine, started on the first step, and the text to write before the end.
struct Make {
    std::vector<std::string> args;
    PendingBytes final_text;
    std::optional<MakeEngine> engine;
    std::int32_t exit_status = 0;
    bool started = false;
    bool finishing = false;  // only `final_text` is left to write
    friend bool operator==(const Make&, const Make&) = default;
};

}  // namespace program

// The state of one running resumable program, one alternative per running shape.
struct ProgramContinuation {
    using State = std::variant<program::Exit, program::ErrorExit, program::Pwd, program::Yes, program::Cat,
                               program::Tee, program::Head, program::Native, program::Find,
                               program::Sleep, program::Timeout, program::Env, program::Nohup, program::Nice,
                               program::Xargs, program::Make>;
    State state;

    friend bool operator==(const ProgramContinuation&, const ProgramContinuation&) = default;
};

// The starting state of a resumable program for its arguments (argv without argv[0]). Absent for
// the kinds that this build does not run as resumable programs yet.
std::optional<ProgramContinuation> launch_program(ProgramKind kind, std::span<const std::string> args);

// A program that writes `message` to descriptor 2 and ends with `status`.
ProgramContinuation error_exit_state(Bytes message, std::int32_t status);

// A registry command run as the program of a process.
ProgramContinuation native_state(const NativeCommand& command, std::string name, std::vector<std::string> args);

// Gives back what a program dropped before its end still holds on the machine (the memory a
// Native program charged).
void release_program(ProgramContinuation& program, SyscallContext& sys);

// The process program that runs a resumable program: each scheduler step of the process is one
// `Machine::program_step`.
ProcessContinuation resumable_process_program(ProgramContinuation program);

// The builders command launch installs programs with (shell/launch.h).
//   error_exit_program(message, status), resumable_program(kind, argv with argv[0]),
//   native_command_program(command, name, args)

// ---- the shared pieces of every program ----

// Writes what is left of `out` to `fd`, spending `budget` (bytes this step may still write).
// Absent: everything is written and the program goes on. Otherwise the step's answer: Yield when
// the budget is spent, Blocked when the descriptor cannot take bytes now (the same bytes are
// written on a later step), Finished(137) on a refused charge, Finished(141) for a pipe without
// reader, Finished(1) for any other failure.
std::optional<ProgramStep> drain_output(SyscallContext& sys, std::int32_t fd, PendingBytes& out,
                                        std::uint64_t& budget);

// drain_output, answering Finished(final_status) once everything is written.
ProgramStep drain_then_finish(SyscallContext& sys, std::int32_t fd, PendingBytes& out, std::uint64_t& budget,
                              std::int32_t final_status);

// Reads at most `max` bytes from `fd` and charges one CPU unit per byte read.
struct ProgramRead {
    enum class Kind : std::uint8_t { Data, End, Blocked, Failed, Exhausted };
    Kind kind = Kind::End;
    Bytes data;                      // Data
    std::optional<WaitReason> wait;  // Blocked
    std::string error;               // Failed: the error's display text
};
ProgramRead program_read(SyscallContext& sys, std::int32_t fd, std::uint64_t max);

// ---- the programs (one file each) ----

ProgramContinuation launch_yes(std::span<const std::string> args);
ProgramContinuation launch_cat(std::span<const std::string> args);
ProgramContinuation launch_tee(std::span<const std::string> args);
ProgramContinuation launch_head(std::span<const std::string> args);
// The command line is parsed here; a refused one is reported by the program's first step.
ProgramContinuation launch_find(std::span<const std::string> args);

ProgramStep step_pwd(program::Pwd& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_yes(program::Yes& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_cat(program::Cat& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_tee(program::Tee& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_head(program::Head& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_native(program::Native& state, SyscallContext& sys, std::uint64_t& budget);

ProgramContinuation launch_sleep(std::span<const std::string> args);
ProgramContinuation launch_usleep(std::span<const std::string> args);
ProgramContinuation launch_nohup(std::span<const std::string> args);

ProgramStep step_sleep(program::Sleep& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_timeout(program::Timeout& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_env(program::Env& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_nohup(program::Nohup& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_nice(program::Nice& state, SyscallContext& sys, std::uint64_t& budget);
ProgramStep step_xargs(program::Xargs& state, SyscallContext& sys, std::uint64_t& budget);
void release_xargs(program::Xargs& state, SyscallContext& sys);
ProgramStep step_make(program::Make& state, SyscallContext& sys, std::uint64_t& budget);
void release_make(program::Make& state, SyscallContext& sys);

// A duration: a decimal number with an optional fraction and an optional unit suffix (ns, us,
// µs, ms, s, m, h, d; seconds without one), in nanoseconds. Errors are the message texts
// "invalid duration {}" and "duration is too large: {}".
Result<std::uint64_t, std::string> parse_duration(std::string_view text);

// The environment and directory of the calling process, as a child request carries them.
ChildRequest::Configuration own_configuration(SyscallContext& sys);

// One look at a child the program waits on: nothing while it runs; once it has ended, its status
// (the child is reaped then). "cannot wait for child: {reason}" or "cannot reap child: {reason}"
// when the look or the reaping fails.
Result<std::optional<std::int32_t>, std::string> poll_child(SyscallContext& sys, Pid child);

}  // namespace tw
