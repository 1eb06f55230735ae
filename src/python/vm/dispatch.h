// The driver and the dispatch loop. A caller runs a program by calling `run_slice` again and
// again; each call runs at most 64 instructions of the top frames, charges one CPU unit per
// instruction (counted locally and charged once per slice), and ends with a `StepOutcome`
// (`Pending`: call again) or a failure with the position of the instruction it escaped from.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

#include "python/compiler/code.h"
#include "python/heap/error.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

inline constexpr std::uint64_t kSliceInstructions = 64;

// The loop's view of the top frame, rebuilt whenever the top frame changes.
struct Cursor {
    enum class Locals : std::uint8_t { Fast, Heap, None };
    Locals locals = Locals::None;
    std::uint32_t locals_base = 0;
    std::uint32_t value_base = 0;
    const CodeObject* code = nullptr;  // kept alive by the top frame
    std::uint64_t ip = 0;
    std::uint64_t end = 0;  // the number of instructions of `code`

    // "bytecode execution requires an active frame" on an empty stack (a broken invariant).
    static Cursor from_top_frame(const std::vector<Frame>& frames) {
        Cursor c;
        c.refresh(frames);
        return c;
    }
    // Rebuilt in place: the loop reads the fields right after.
    [[gnu::always_inline]] void refresh(const std::vector<Frame>& frames) {
        if (frames.empty()) [[unlikely]]
            no_active_frame();
        const Frame& f = frames.back();
        locals = f.fast_locals ? Locals::Fast : f.own_scope ? Locals::Heap : Locals::None;
        locals_base = f.locals_base;
        value_base = f.value_base;
        code = f.code;
        ip = f.ip;
        end = f.code->instructions.size();
    }

private:
    [[noreturn]] static void no_active_frame();
};

struct SliceFailure {
    PyError error;
    SourceSpan position;  // zero for failures outside an instruction
};
using SliceResult = std::expected<StepOutcome, SliceFailure>;

SliceResult run_slice(RuntimeContext& ctx);
// Starts at most `budget` instructions; `steps` counts the instructions not yet charged.
SliceResult dispatch_slice(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget, std::uint64_t& steps);

// Writes the cursor's instruction index into the top frame; the cursor must be over the top
// frame's code (a broken invariant otherwise).
void sync_cursor(const Cursor& cursor, ExecState& state);
// The source position of an instruction (a broken invariant beyond the code).
const SourceSpan& position_at(const CodeObject& code, std::uint64_t ip);

}  // namespace tw::py
