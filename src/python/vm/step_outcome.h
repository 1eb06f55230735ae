// How one step of the dispatch loop ends.
#pragma once

#include <cstdint>
#include <string>

#include "python/heap/value.h"

namespace tw::py {

struct StepOutcome {
    enum Kind : std::uint8_t { Next, Jump, Refresh, Return, Yield, Halt, Exit, Pending, Blocked } kind = Next;
    std::uint64_t target = 0;  // Jump: the instruction index
    Value value;               // Return, Yield
    std::int32_t status = 0;   // Exit

    static StepOutcome jump(std::uint64_t ip) { return {Jump, ip}; }
    static StepOutcome returning(Value v) { return {Return, 0, v}; }
    static StepOutcome yielding(Value v) { return {Yield, 0, v}; }
    static StepOutcome exit(std::int32_t status) { return {Exit, 0, {}, status}; }
    static StepOutcome of(Kind k) { return {k}; }
};

// "Next", "Jump(12)", "Return(Int(1))", "Exit(3)", ...
std::string debug_text(const StepOutcome& o);

}  // namespace tw::py
