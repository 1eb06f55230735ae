// How a command run inside the shell's own step continues: the CommandOutcome that dispatch and
// the continuing builtins answer, and the state of a builtin that has not finished yet
// (BuiltinContinuation), which the executor keeps in a frame and hands back to the resume step.
// Both are plain values that deep-copy with the machine.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "kernel/process.h"
#include "kernel/scheduler.h"
#include "shell/ast.h"

namespace tw {

// ---- The state of a suspended builtin ----

struct BuiltinContinuation {
    // A blocking flock: retry the lock request.
    struct Flock {
        std::int32_t fd;
        std::uint8_t operation;  // 0 shared, 1 exclusive, 2 unlock
        bool nonblocking;
        bool operator==(const Flock&) const = default;
    };
    // `wait`: the jobs still to wait for, in order.
    struct Wait {
        std::vector<Pid> pids;
        std::int32_t status = 0;
        bool operands_given = false;
        bool operator==(const Wait&) const = default;
    };
    // `fg`: the job (its pid is also its process group).
    struct Foreground {
        Pid pid = 0;
        bool operator==(const Foreground&) const = default;
    };
    // Commands run one after another as child processes; `child` is running.
    struct ChildQueue {
        std::deque<ChildRequest> queue;  // not yet started, front first
        Pid child = 0;
        std::int32_t status = 0;  // the status of the previous command
        bool stop_on_failure = false;
        // The waiting process recorded an entry for the command (a script run by path), which
        // the queue's end completes; a word run as its own process has none.
        bool completes_entry = false;
    };
    // A Python program being collected from standard input before it runs.
    struct PythonStdin {
        std::vector<std::string> argv;  // the command name first
        Bytes input;
        std::uint64_t charged = 0;  // bytes of `input` charged to the memory budget
        bool operator==(const PythonStdin&) const = default;
    };

    using State = std::variant<Flock, Wait, Foreground, ChildQueue, PythonStdin>;
    State state;
};

// ---- The outcome of a command ----

struct CommandOutcome {
    // The tag values are fixed: they are the variant's indices.
    enum class Tag : std::uint32_t {
        Done = 0,
        Yield = 1,
        DoneWithData = 2,
        Block = 3,
        WaitChild = 4,
        RunProgram = 5,
        RunSourced = 6,
    };

    // The command has ended.
    // (No member initializers in the first alternatives: the variant must be default
    // constructible inside the enclosing class; value-initialisation gives 0.)
    struct Done {
        std::int32_t status;
    };
    // Not done: resume at the next step of this process.
    struct Yield {
        BuiltinContinuation state;
    };
    // Ended with bytes still to write (a resumed builtin has no buffers of its own).
    struct DoneWithData {
        std::int32_t status = 0;
        std::string name;
        Bytes output;
        Bytes error;
    };
    // Not done: resume once `reason` is satisfied.
    struct Block {
        BuiltinContinuation state;
        WaitReason reason;
    };
    // A child was started; the process already waits for it (`state` is a ChildQueue).
    struct WaitChild {
        BuiltinContinuation state;
    };
    // A parsed program to run in the current shell (eval, command).
    struct RunProgram {
        ShellCommandPtr program;
    };
    // A parsed program to run as a sourced script (source, .).
    struct RunSourced {
        ShellCommandPtr program;
    };

    using Value = std::variant<Done, Yield, DoneWithData, Block, WaitChild, RunProgram, RunSourced>;
    Value value;

    static CommandOutcome done(std::int32_t status) { return {Done{status}}; }
    static CommandOutcome yield(BuiltinContinuation state) { return {Yield{std::move(state)}}; }
    static CommandOutcome done_with_data(std::int32_t status, std::string name, Bytes output, Bytes error) {
        return {DoneWithData{status, std::move(name), std::move(output), std::move(error)}};
    }
    static CommandOutcome block(BuiltinContinuation state, WaitReason reason) {
        return {Block{std::move(state), std::move(reason)}};
    }
    static CommandOutcome wait_child(BuiltinContinuation state) { return {WaitChild{std::move(state)}}; }
    static CommandOutcome run_program(ShellCommandPtr program) { return {RunProgram{std::move(program)}}; }
    static CommandOutcome run_sourced(ShellCommandPtr program) { return {RunSourced{std::move(program)}}; }

    Tag tag() const { return static_cast<Tag>(value.index()); }
    // The status of Done and DoneWithData; 0 for the others.
    std::int32_t status() const {
        if (const auto* d = std::get_if<Done>(&value)) return d->status;
        if (const auto* d = std::get_if<DoneWithData>(&value)) return d->status;
        return 0;
    }
    bool is_done() const { return tag() == Tag::Done || tag() == Tag::DoneWithData; }

    template <class T>
    T* as() {
        return std::get_if<T>(&value);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&value);
    }
};

}  // namespace tw
