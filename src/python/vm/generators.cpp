// Generators stepped from native code: each step pushes the generator's frame over its saved
// stacks, runs it until it yields, returns or fails, and saves what the frame left.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"

namespace tw::py::vm {

PyResult<Value> make_generator(RuntimeContext& ctx, Value function, Value scope, Value globals,
                               std::shared_ptr<const CodeObject> code) {
    auto rec = Box<GeneratorRecord>::make();
    rec->function = function;
    rec->scope = scope;
    rec->globals = globals;
    rec->code_size = code->instructions.size();
    rec->code = std::move(code);
    rec->coroutine = rec->code->is_async;
    return ctx.heap.allocate_object(GeneratorPayload{std::move(rec)}, ctx.roots, ctx.machine.meter);
}

PyStatus save_generator_frame(RuntimeContext& ctx, std::uint64_t resume) {
    ExecState& st = ctx.exec;
    const Frame& f = st.frames.back();
    if (f.value_base == 0) return fail(PyError::unsupported("a generator frame has its generator beneath it"));
    Value gen = st.values[f.value_base - 1];
    auto slot = ctx.heap.slot_mut(gen);
    if (!slot) return fail(std::move(slot.error()));
    auto* g = std::get_if<GeneratorPayload>(&(*slot)->object);
    if (!g) return fail(PyError::unsupported("a generator frame has its generator beneath it"));
    GeneratorRecord& r = *g->record;
    r.saved_values.assign(st.values.begin() + f.value_base, st.values.end());
    r.saved_handlers.clear();
    for (std::size_t i = f.handler_base; i < st.handlers.size(); ++i) {
        const HandlerRecord& h = st.handlers[i];
        r.saved_handlers.push_back({h.handler_ip, h.value_height - f.value_base, h.exception_height - f.exc_base});
    }
    r.saved_exceptions.assign(st.active_exceptions.begin() + f.exc_base, st.active_exceptions.end());
    r.resume_position = resume;
    return {};
}

PyResult<std::optional<Value>> generator_step(RuntimeContext& ctx, Value gen, Value sent) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    heap.push_root(gen);
    auto slot = heap.slot_mut(gen);
    if (!slot) return fail(std::move(slot.error()));
    GeneratorRecord& r = *std::get<GeneratorPayload>((*slot)->object).record;
    if (r.finished) return std::optional<Value>();
    if (r.executing) return fail(PyError::value_error("generator already executing"));
    bool started = r.resume_position != 0;
    if (!started && !sent.is_none())
        return fail(PyError::type_error("can't send non-None value to a just-started generator"));
    r.executing = true;
    std::uint64_t depth_before = st.call_depth;
    ++st.call_depth;
    st.values.push_back(gen);
    FrameDescriptor d{std::nullopt, r.scope, r.globals, r.function, true, false};
    auto frame = st.new_frame(r.code, r.resume_position, st.values.size(), d, FrameKind::generator(false));
    if (!frame) {
        st.values.pop_back();
        st.call_depth = depth_before;
        return fail(std::move(frame.error()));
    }
    st.values.insert(st.values.end(), r.saved_values.begin(), r.saved_values.end());
    for (const auto& h : r.saved_handlers)
        st.handlers.push_back(HandlerRecord{h[0], frame->value_base + h[1], frame->exc_base + h[2]});
    st.active_exceptions.insert(st.active_exceptions.end(), r.saved_exceptions.begin(), r.saved_exceptions.end());
    if (started) st.values.push_back(sent);
    std::size_t depth = st.frames.size();
    st.frames.push_back(std::move(*frame));
    SliceResult result = run_frames_to_completion(ctx, depth);
    st.call_depth = depth_before;
    if (!st.values.empty()) st.values.pop_back();  // the generator beneath the frame
    auto again = heap.slot_mut(gen);
    if (!again) return fail(std::move(again.error()));
    GeneratorRecord& g = *std::get<GeneratorPayload>((*again)->object).record;
    g.executing = false;
    if (!result) {
        g.finished = true;
        return fail(std::move(result.error().error));
    }
    switch (result->kind) {
        case StepOutcome::Yield: return std::optional(result->value);
        case StepOutcome::Return:
        case StepOutcome::Halt:
            g.finished = true;
            g.return_value = result->kind == StepOutcome::Return ? result->value : Value::none();
            return std::optional<Value>();
        case StepOutcome::Exit: {
            g.finished = true;
            PyError e = PyError::exit(result->status);
            return fail(std::move(e));
        }
        default: return fail(PyError::unsupported("a generator step ended unexpectedly"));
    }
}

}  // namespace tw::py::vm
