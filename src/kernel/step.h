// What a process runs and what one step of it answers. A process's program is a
// ProcessContinuation, a value stored in its ProcessState; the step driver takes it out, runs one
// step with Machine::step_process and puts it back or drops it according to the ProgramStep.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/result.h"
#include "kernel/scheduler.h"

namespace tw {

struct Machine;
struct Trap;

// The answer of one process step.
struct ProgramStep {
    enum class Kind : std::uint8_t {
        Yield = 0,      // progress was made; run again later
        Blocked = 1,    // no progress until `reason` is satisfied
        WaitChild = 2,  // the step started a child and already blocked the process on it
        Replaced = 3,   // the program gave way to another one; the old continuation is dropped
        Finished = 4,   // the process is done with `status`
    };

    Kind kind = Kind::Yield;
    std::optional<WaitReason> reason;  // Blocked
    std::int32_t status = 0;           // Finished

    static ProgramStep yield() { return {Kind::Yield, std::nullopt, 0}; }
    static ProgramStep blocked(WaitReason reason) { return {Kind::Blocked, std::move(reason), 0}; }
    static ProgramStep wait_child() { return {Kind::WaitChild, std::nullopt, 0}; }
    static ProgramStep replaced() { return {Kind::Replaced, std::nullopt, 0}; }
    static ProgramStep finished(std::int32_t status) { return {Kind::Finished, std::nullopt, status}; }

    friend bool operator==(const ProgramStep&, const ProgramStep&) = default;
};

// Which loop drives a step: the host's top-level loop or a nested run inside a program.
enum class StepDriver : std::uint8_t { Host, Nested };

// "Yield", "Blocked(Timer(5))", "WaitChild", "Replaced", "Finished(0)".
std::string debug_text(const ProgramStep& step);

// A program given as a function of the machine, called once per scheduler step with its process
// active. The function object is copied with the machine, so it must own what it captures (by
// value) and reach the machine only through its argument.
struct CallbackProgram {
    std::function<ProgramStep(Machine&)> step;
};

// ---- WebAssembly ----

// What one scheduler step of a guest's threads answers.
struct GuestStepOutcome {
    enum class Kind : std::uint8_t { Continue, Blocked, BudgetExhausted, Finished };
    Kind kind = Kind::Continue;
    std::optional<WaitReason> reason;  // Blocked
    std::int32_t status = 0;           // Finished: the guest's exit status (0 for a normal end)
    std::string diagnostic;            // Finished: the description of the error that ended the guest
};

// A WebAssembly program image run as a process. The engine (admission, guest threads, fuel,
// clock registrations, exec requests) is not part of this build yet: an image cannot start, and
// stepping one ends its process with status 126.
struct WasmImage {
    // Memory charged on behalf of the image; given back once by release_resources.
    std::uint64_t local_charge = 0;

    // Runs the guest threads for one scheduler step.
    GuestStepOutcome step_threads(Machine& machine);
    // Gives back what the image holds on the machine (its memory charge); a second call gives
    // back nothing.
    void release_resources(Machine& machine);
};

// ---- Programs the kernel does not know ----

// A kind of program defined above the kernel (the shell executor, the resumable programs). The
// kernel steps it, copies it and drops it through this interface only.
class ProgramImpl {
public:
    virtual ~ProgramImpl() = default;
    // One step, with the program's process active.
    virtual ProgramStep step(Machine& machine) = 0;
    // A deep copy: machine snapshots copy every program.
    virtual std::unique_ptr<ProgramImpl> clone() const = 0;
    // Gives back what the program holds on the machine when it is dropped unfinished.
    virtual void cancel_wait(Machine& machine) {}
    // Arranges for the trap's command to run before the program's own work goes on. Only a shell
    // can; every other program refuses with "native process cannot run a shell signal handler".
    virtual Result<void, std::string> run_signal_handler(Machine& machine, const Trap& trap);
};

// The value form of a ProgramImpl: copying it clones the program.
struct ExtensionProgram {
    std::unique_ptr<ProgramImpl> impl;

    ExtensionProgram() = default;
    explicit ExtensionProgram(std::unique_ptr<ProgramImpl> program) : impl(std::move(program)) {}
    ExtensionProgram(const ExtensionProgram& other) : impl(other.impl ? other.impl->clone() : nullptr) {}
    ExtensionProgram& operator=(const ExtensionProgram& other) {
        if (this != &other) impl = other.impl ? other.impl->clone() : nullptr;
        return *this;
    }
    ExtensionProgram(ExtensionProgram&&) noexcept = default;
    ExtensionProgram& operator=(ExtensionProgram&&) noexcept = default;

    // The program as its concrete type, or null when it is another kind.
    template <class T>
    T* as() {
        return dynamic_cast<T*>(impl.get());
    }
    template <class T>
    const T* as() const {
        return dynamic_cast<const T*>(impl.get());
    }
};

// ---- The process continuation ----
//
// One alternative per kind of program the kernel knows, and ExtensionProgram for the kinds
// defined above it (shell continuations, resumable programs). Every alternative is a value that
// deep-copies with the machine: no pointers into the machine.
using ProcessContinuation = std::variant<CallbackProgram, WasmImage, ExtensionProgram>;

}  // namespace tw
