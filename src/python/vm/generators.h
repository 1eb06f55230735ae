// Generators and coroutines: a suspended body lives in its generator record (its part of every
// stack of the execution state cut off into it); resuming pushes a frame built from the record on
// the program's one frame stack. A frame resumed by a `for` loop or a `yield from` of the frame
// below hands its yields and its return to that instruction; one resumed by native code ends the
// run it was resumed in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "python/compiler/code.h"
#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/vm/runtime_context.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

struct GeneratorRecord;

namespace vm {

// The record of a generator object, or null for any other value.
GeneratorRecord* generator_record(Heap& heap, Value v);

struct ResumeResult {
    bool resumed = false;
    Value return_value;  // not resumed: the return value taken out of the finished record
};
// Pushes a frame that continues the generator lying on top of the value stack (the value sent is
// pushed for the suspended `yield`). `consumer`: the frame below consumes its yields.
PyResult<ResumeResult> generator_resume(RuntimeContext& ctx, Value gen, Value sent, bool consumer);

// How a native step resumes a generator.
struct ResumeMode {
    enum Kind : std::uint8_t { Send, Throw, ContinueWith } kind = Send;
    Value value;                 // the value sent, the exception thrown, or the delegate's result
    std::uint64_t position = 0;  // ContinueWith: where the delegating frame continues
};
// Runs the generator until it yields (the value) or finishes (none; the record keeps the return
// value); a Python exception leaving its body is pending with the raised marker.
PyResult<std::optional<Value>> generator_step_mode(RuntimeContext& ctx, Value gen, ResumeMode mode);
// Throws GeneratorExit into the generator; RuntimeError "generator ignored GeneratorExit".
PyStatus close_generator(RuntimeContext& ctx, Value gen);

// `YieldValue` and its delivery to the consumer of the generator frame.
PyResult<StepOutcome> yield_value(RuntimeContext& ctx, Value v, std::uint64_t resume);
// `ReturnValue` (and the end of the body) in a generator frame.
PyResult<StepOutcome> return_from_generator(RuntimeContext& ctx, Value v);
// Marks the generator of the top frame (a generator frame being discarded) finished.
void finish_generator_frame(RuntimeContext& ctx);
// `YieldFrom` at instruction `ip` with its resume target.
PyResult<StepOutcome> yield_from(RuntimeContext& ctx, std::uint64_t ip, std::uint64_t resume_target);
// `ResumeAwait`: the (ok, payload) outcome the scheduler delivered.
PyResult<StepOutcome> resume_await(RuntimeContext& ctx);

// What a delegate answered to a call of its send/throw/__next__.
struct DelegateAnswer {
    enum Kind : std::uint8_t { Produced, Stopped, Raised } kind = Produced;
    Value value;  // the produced value, the stop value, or the exception
};
PyResult<DelegateAnswer> send_to_delegate(RuntimeContext& ctx, Value callable, std::span<const Value> args);

// Raises the StopIteration of an exhausted iterator: a generator's carries its return value.
PyError stop_iteration_for(RuntimeContext& ctx, Value it);
// `value` of a StopIteration: its first argument, or None; none for other exceptions.
PyResult<std::optional<Value>> stop_iteration_value(RuntimeContext& ctx, Value exc);

// The methods of generator and coroutine objects.
PyResult<Value> generator_send_method(NativeRuntime& rt, Value self, NativeCall call);
PyResult<Value> generator_throw_method(NativeRuntime& rt, Value self, NativeCall call);
PyResult<Value> generator_close_method(NativeRuntime& rt, Value self, NativeCall call);
PyResult<Value> generator_next_method(NativeRuntime& rt, Value self, NativeCall call);
PyResult<Value> generator_iter_method(NativeRuntime& rt, Value self, NativeCall call);

inline constexpr NativeFunction kGeneratorMethods[] = {
    {"generator", "send", nullptr, generator_send_method},
    {"generator", "throw", nullptr, generator_throw_method},
    {"generator", "close", nullptr, generator_close_method},
    {"generator", "__next__", nullptr, generator_next_method},
    {"generator", "__iter__", nullptr, generator_iter_method},
};

}  // namespace vm
}  // namespace tw::py
