// Frame retirement, error unwinding through handlers and frames, synchronous runs and the
// resumption of a parked native call.
#include <fmt/format.h>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/generators.h"
#include "python/vm/iterating_calls.h"

namespace tw::py::vm {

Interpreter& interp(const RuntimeContext& ctx) {
    if (!ctx.interpreter) panic("runtime context without an interpreter");
    return *ctx.interpreter;
}

ResourceMeter& meter_of(const RuntimeContext& ctx) { return ctx.machine.meter; }

void pop_frame(ExecState& st) {
    if (st.frames.empty()) panic("bytecode execution requires an active frame");
    st.lower_water_marks(st.frames.back());
    st.frames.pop_back();
    if (st.call_depth > 0) --st.call_depth;
}

void append_error_location(PyError& e, std::string_view function, const SourceSpan& at) {
    ErrorDetail* d = e.detail();
    if (!d) return;
    d->message += fmt::format(" in {} at line {}, column {}", function, at.line, at.column);
}

namespace {

bool is_control_kind(const PyError& e) {
    auto k = e.kind();
    return k && (*k == ErrorKindTag::Unsupported || *k == ErrorKindTag::Resource || *k == ErrorKindTag::Exit ||
                 *k == ErrorKindTag::Suspend);
}

// A StopIteration leaving the body of a generator or coroutine would read as its end to whoever
// steps it: it is replaced by a RuntimeError.
PyError stop_iteration_left_body(RuntimeContext& ctx, const Frame& f) {
    ExecState& st = ctx.exec;
    bool coroutine = false;
    if (f.value_base > 0 && f.value_base <= st.values.size())
        if (const GeneratorRecord* r = generator_record(ctx.heap, st.values[f.value_base - 1])) coroutine = r->coroutine;
    st.pending_exception.reset();
    PyError e = PyError::exception("RuntimeError", coroutine ? "coroutine raised StopIteration" : "generator raised StopIteration");
    if (auto left = error_to_pending_exception(interp(ctx), ctx.machine.meter, std::move(e))) return std::move(*left);
    return PyError::raised();
}

}  // namespace

std::optional<SliceFailure> propagate_error(RuntimeContext& ctx, PyError error, SourceSpan position) {
    Interpreter& in = interp(ctx);
    ExecState& st = ctx.exec;
    if (auto left = error_to_pending_exception(in, ctx.machine.meter, std::move(error))) {
        error = std::move(*left);
    } else {
        error = PyError::raised();
    }
    std::vector<TracebackEntry> entries;
    for (;;) {
        if (st.frames.empty()) panic("bytecode execution requires an active frame");
        Frame& f = st.frames.back();
        if (error.is_raised_marker() && st.pending_exception) {
            if (st.handlers.size() > f.handler_base) {
                HandlerRecord h = st.handlers.back();
                st.handlers.pop_back();
                Value exc = *st.pending_exception;
                st.pending_exception.reset();
                if (st.values.size() > h.value_height) st.values.resize(h.value_height);
                if (st.active_exceptions.size() > h.exception_height) st.active_exceptions.resize(h.exception_height);
                st.values.push_back(exc);
                st.active_exceptions.push_back(exc);
                f.ip = h.handler_ip;
                return std::nullopt;
            }
        }
        TracebackEntry entry{f.function, f.globals, {}, position.line, {}};
        if (f.kind.tag == FrameKindTag::Entry) {
            entries.push_back(std::move(entry));
            break;
        }
        if (f.function.is_absent())
            return SliceFailure{PyError::unsupported("a called frame has no function"), position};
        std::string name = frame_function_name(ctx.heap, f.function);
        bool generator_stop = f.kind.tag == FrameKindTag::Generator && !f.kind.continues;
        if (f.kind.tag == FrameKindTag::Generator && error.is_raised_marker() && st.pending_exception &&
            pending_exception_is_instance(in, "StopIteration"))
            error = stop_iteration_left_body(ctx, f);
        finish_generator_frame(ctx);
        pop_frame(st);
        if (!error.is_raised_marker() && is_control_kind(error)) append_error_location(error, name, position);
        // The frames that collect the items for a builtin stand for that builtin's own loop.
        if (!is_iteration_module_scope(ctx, entry.namespace_)) entries.push_back(std::move(entry));
        if (generator_stop) break;
        if (st.frames.empty()) panic("an unwound call frame has a caller");
        const Frame& caller = st.frames.back();
        position = caller.ip > 0 ? caller.code->positions.at(caller.ip - 1) : SourceSpan{0, 0, 0, 0};
    }
    std::reverse(entries.begin(), entries.end());
    st.traceback = std::move(entries);
    return SliceFailure{std::move(error), position};
}

SliceResult run_frames_to_completion(RuntimeContext& ctx, std::size_t depth) {
    ExecState& st = ctx.exec;
    ++st.synchronous_depth;
    SliceResult result;
    for (;;) {
        result = run_slice(ctx);
        if (!result) break;
        if (result->kind == StepOutcome::Pending) continue;
        if (result->kind == StepOutcome::Blocked) {
            st.parked_call.reset();
            SourceSpan at{0, 0, 0, 0};
            if (!st.frames.empty()) {
                const Frame& f = st.frames.back();
                if (f.ip < f.code->positions.size()) at = f.code->positions[f.ip];
            }
            result = std::unexpected(SliceFailure{PyError::unsupported("waiting for input inside a synchronous call"), at});
        }
        break;
    }
    --st.synchronous_depth;
    while (st.frames.size() > depth) {
        Frame f = std::move(st.frames.back());
        st.frames.pop_back();
        st.lower_water_marks(f);
    }
    return result;
}

SliceResult run_code_synchronously(RuntimeContext& ctx, std::shared_ptr<const CodeObject> code,
                                   const FrameDescriptor& d) {
    ExecState& st = ctx.exec;
    auto frame = st.new_frame(std::move(code), 0, st.values.size(), d, FrameKind::entry());
    if (!frame) return std::unexpected(SliceFailure{std::move(frame.error()), SourceSpan{0, 0, 0, 0}});
    std::size_t depth = st.frames.size();
    st.frames.push_back(std::move(*frame));
    return run_frames_to_completion(ctx, depth);
}

std::expected<std::optional<StepOutcome>, SliceFailure> resume_parked_call(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    ParkedCall call = std::move(*st.parked_call);
    st.parked_call.reset();
    if (call.kind == ParkedCall::Kind::WaitOnly) return std::optional<StepOutcome>();
    bool saved = st.suspension_allowed;
    st.suspension_allowed = st.synchronous_depth == 0;
    PyResult<Value> r = fail(PyError::unsupported("invalid parked call"));
    if (call.kind == ParkedCall::Kind::InputLine) {
        r = read_input_line(ctx);
    } else {
        auto def = decode_native_handle(call.callee);
        NativeCall args{call.arguments, {}};
        for (const auto& [s, v] : call.keywords) args.keywords.emplace_back(std::string(ctx.heap.symbols.name_of(s)), v);
        for (const Value& v : args.positional) ctx.heap.push_root(v);
        EngineRuntime rt(ctx);
        if (def && call.kind == ParkedCall::Kind::FunctionCall && def->function && def->function->module_handler)
            r = def->function->module_handler(rt, std::move(args));
        else if (def && call.kind == ParkedCall::Kind::MethodCall && def->function && def->function->method_handler)
            r = def->function->method_handler(rt, call.receiver, std::move(args));
    }
    st.suspension_allowed = saved;
    if (r) {
        st.values.push_back(*r);
        return std::optional<StepOutcome>();
    }
    PyError e = std::move(r.error());
    if (e.kind() == ErrorKindTag::Exit) return std::optional(StepOutcome::exit(e.detail()->code));
    if (e.kind() == ErrorKindTag::Suspend) {
        auto wait = std::move(e.take_detail()->wait);
        call.wait = wait ? std::shared_ptr<const WaitReason>(std::move(wait)) : call.wait;
        st.parked_call = Box<ParkedCall>::make(std::move(call));
        return std::optional(StepOutcome::of(StepOutcome::Blocked));
    }
    if (auto failure = propagate_error(ctx, std::move(e), call.position)) return std::unexpected(std::move(*failure));
    return std::optional<StepOutcome>();
}

}  // namespace tw::py::vm
