// Generators and coroutines: making them, cutting a yielding frame out into its record and
// splicing it back, delivering yields and returns to the consuming instruction, native steps with
// send/throw/close, delegation with `yield from`, and the methods of generator objects.
#include "python/vm/generators.h"

#include "python/vm/iteration.h"
#include "python/vm/iteration_runtime.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/iterating_calls.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

PyError stack_effect_error() { return PyError::unsupported("invalid bytecode stack effect"); }

PyError raise_pending(RuntimeContext& ctx, Value exc) {
    ctx.exec.pending_exception = exc;
    return PyError::raised();
}

// The instruction just before the top frame's resume position: what consumes the yields of the
// generator frame that was above it.
PyResult<const Instruction*> consumer_resume_instruction(const ExecState& st) {
    const Frame& f = st.frames.back();
    if (f.ip == 0 || f.ip - 1 >= f.code->instructions.size())
        return fail(PyError::unsupported("generator consumer has no resuming instruction"));
    return &f.code->instructions[f.ip - 1];
}

// The value just below a generator frame's values: the generator the frame runs.
GeneratorRecord* record_below(RuntimeContext& ctx, std::uint64_t value_base) {
    if (value_base == 0 || value_base > ctx.exec.values.size()) return nullptr;
    return generator_record(ctx.heap, ctx.exec.values[value_base - 1]);
}

bool is_generator(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::Generator;
}

// The return value of a finished generator, taken out of its record.
PyResult<Value> take_return_value(RuntimeContext& ctx, Value gen) {
    GeneratorRecord* r = generator_record(ctx.heap, gen);
    if (!r) return fail(PyError::unsupported("object is not a generator"));
    Value v = r->return_value;
    r->return_value = Value::none();
    ctx.heap.push_root(v);
    return v;
}

// What throwing into a generator suspended at `yield from` does once its delegate has answered.
struct DelegateThrow {
    enum Kind : std::uint8_t { Yield, Continue, ThrowOwn } kind = ThrowOwn;
    Value value;  // the yielded value, the delegate's result, or the exception for the own frame
};

// An error of the delegate as an exception to throw into the delegating frame.
PyResult<DelegateThrow> delegate_failed(RuntimeContext& ctx, PyError e) {
    TRY_ASSIGN(exc, propagate_pending_exception(interp(ctx), ctx.machine.meter, std::move(e)));
    return DelegateThrow{DelegateThrow::ThrowOwn, exc};
}

PyResult<DelegateThrow> throw_to_delegate(RuntimeContext& ctx, Value delegate, Value exc) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(closing, value_is_exception_type(in, exc, "GeneratorExit"));
    if (closing) {
        if (is_generator(ctx.heap, delegate)) {
            if (auto closed = close_generator(ctx, delegate); !closed) return delegate_failed(ctx, std::move(closed.error()));
        } else {
            TRY_ASSIGN(close, py_getattr_by_name(ctx, delegate, "close"));
            if (close) {
                if (auto r = call_value(ctx, *close, {}); !r) return delegate_failed(ctx, std::move(r.error()));
            }
        }
        return DelegateThrow{DelegateThrow::ThrowOwn, exc};
    }
    if (is_generator(ctx.heap, delegate)) {
        auto r = generator_step_mode(ctx, delegate, ResumeMode{ResumeMode::Throw, exc});
        if (!r) return delegate_failed(ctx, std::move(r.error()));
        if (*r) return DelegateThrow{DelegateThrow::Yield, **r};
        TRY_ASSIGN(v, take_return_value(ctx, delegate));
        return DelegateThrow{DelegateThrow::Continue, v};
    }
    TRY_ASSIGN(thrower, py_getattr_by_name(ctx, delegate, "throw"));
    if (!thrower) return DelegateThrow{DelegateThrow::ThrowOwn, exc};
    TRY_ASSIGN(answer, send_to_delegate(ctx, *thrower, std::span<const Value>(&exc, 1)));
    switch (answer.kind) {
        case DelegateAnswer::Produced: return DelegateThrow{DelegateThrow::Yield, answer.value};
        case DelegateAnswer::Stopped: return DelegateThrow{DelegateThrow::Continue, answer.value};
        default: return DelegateThrow{DelegateThrow::ThrowOwn, answer.value};
    }
}

PyResult<std::optional<Value>> step_in_scope(RuntimeContext& ctx, Value gen, ResumeMode mode) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    heap.push_root(gen), heap.push_root(mode.value);
    const std::size_t gen_at = st.values.size();
    st.values.push_back(gen);
    struct PopGenerator {
        ExecState& st;
        std::size_t at;
        ~PopGenerator() {
            if (st.values.size() > at) st.values.resize(at);
        }
    } pop_generator{st, gen_at};

    // A generator suspended at `yield from` hands the exception to its delegate first.
    if (mode.kind == ResumeMode::Throw) {
        GeneratorRecord* r = generator_record(heap, gen);
        if (!r) return fail(PyError::unsupported("object is not a generator"));
        if (!r->finished && !r->executing && r->resume_position < r->code->instructions.size() &&
            r->code->instructions[r->resume_position].op == PyOpcode::YieldFrom) {
            if (r->saved_values.empty()) return fail(PyError::unsupported("yield from lost its subiterator"));
            Value delegate = r->saved_values.back();
            std::uint64_t target = r->code->instructions[r->resume_position].a;
            heap.push_root(delegate);
            r->executing = true;
            auto answer = throw_to_delegate(ctx, delegate, mode.value);
            if (GeneratorRecord* again = generator_record(heap, gen)) again->executing = false;
            if (!answer) return fail(std::move(answer.error()));
            if (answer->kind == DelegateThrow::Yield) return std::optional(answer->value);
            if (answer->kind == DelegateThrow::Continue) mode = ResumeMode{ResumeMode::ContinueWith, answer->value, target};
            else mode.value = answer->value;
        }
    }

    Value sent = mode.kind == ResumeMode::Throw ? Value::none() : mode.value;
    const std::size_t depth = st.frames.size();
    TRY_ASSIGN(resume, generator_resume(ctx, gen, sent, false));
    if (!resume.resumed) {
        if (mode.kind == ResumeMode::Throw) return fail(raise_pending(ctx, mode.value));
        // A value the generator returned under a loop that has not been taken yet stays for the
        // StopIteration of this step.
        if (GeneratorRecord* r = generator_record(heap, gen)) r->return_value = resume.return_value;
        return std::optional<Value>();
    }
    if (mode.kind == ResumeMode::Throw) {
        const Frame& f = st.frames.back();
        SourceSpan at = f.code->positions.empty() ? SourceSpan{0, 0, 0, 0}
                                                  : f.code->positions[f.ip > 0 ? std::min<std::uint64_t>(f.ip - 1, f.code->positions.size() - 1) : 0];
        st.pending_exception = mode.value;
        if (auto failure = propagate_error(ctx, PyError::raised(), at)) return fail(std::move(failure->error));
    } else if (mode.kind == ResumeMode::ContinueWith) {
        // The delegate lies just below the value pushed for it.
        if (st.values.size() < std::size_t(st.frames.back().value_base) + 2)
            return fail(PyError::unsupported("yield from lost its subiterator"));
        st.values.erase(st.values.end() - 2);
        st.frames.back().ip = mode.position;
    }
    SliceResult result = run_frames_to_completion(ctx, depth);
    if (GeneratorRecord* r = generator_record(heap, gen); r && r->executing) {
        // The frame was discarded without yielding or returning.
        r->executing = false;
        r->finished = true;
    }
    if (!result) return fail(std::move(result.error().error));
    switch (result->kind) {
        case StepOutcome::Yield: return std::optional(result->value);
        case StepOutcome::Return: return std::optional<Value>();
        case StepOutcome::Exit: return fail(PyError::exit(result->status));
        default:
            return fail(PyError::unsupported("a generator step cannot end with " + debug_text(*result)));
    }
}

PyResult<GeneratorRecord*> expect_generator_arg(RuntimeContext& ctx, Value self) {
    GeneratorRecord* r = generator_record(ctx.heap, self);
    if (!r) return fail(PyError::type_error("expected a generator"));
    return r;
}

}  // namespace

PyError stop_iteration_for(RuntimeContext& ctx, Value gen) {
    std::vector<Value> args;
    if (generator_record(ctx.heap, gen)) {
        auto v = take_return_value(ctx, gen);
        if (!v) return std::move(v.error());
        if (!v->is_none()) args.push_back(*v);
    }
    auto e = new_exception(interp(ctx), ctx.machine.meter, "StopIteration", std::move(args));
    if (!e) return std::move(e.error());
    return raise_pending(ctx, *e);
}

namespace {

PyResult<Value> step_or_stop(RuntimeContext& ctx, Value gen, ResumeMode mode) {
    TRY_ASSIGN(r, generator_step_mode(ctx, gen, mode));
    if (r) return *r;
    return fail(stop_iteration_for(ctx, gen));
}

// The exception a throw() argument stands for: an instance, or a class instantiated with no
// arguments (any class deriving from BaseException, builtin or defined in Python).
PyResult<Value> thrown_exception(RuntimeContext& ctx, Value v, std::optional<Value> value) {
    Interpreter& in = interp(ctx);
    auto base = type_id(BuiltinType::Exception);
    if (auto t = py_as_class(ctx, v)) {
        TRY_ASSIGN(sub, in.types.is_subtype(*t, base));
        if (sub) {
            if (value && !value->is_none()) {
                TRY_ASSIGN(inst, value_is_exception_type(in, *value, "BaseException"));
                if (inst) return *value;
                return call_value(ctx, v, std::span<const Value>(&*value, 1));
            }
            return call_value(ctx, v, {});
        }
    } else if (exception_type_name(in, v)) {
        if (value && !value->is_none())
            return fail(PyError::type_error("instance exception may not have a separate value"));
        return v;
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error("exceptions must be classes or instances deriving from BaseException, not " + tn));
}

}  // namespace

GeneratorRecord* generator_record(Heap& heap, Value v) {
    if (!v.is_object()) return nullptr;
    auto slot = heap.slot_mut(v);
    if (!slot) return nullptr;
    auto* g = std::get_if<GeneratorPayload>(&(*slot)->object);
    return g ? g->record.get() : nullptr;
}

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

PyResult<ResumeResult> generator_resume(RuntimeContext& ctx, Value gen, Value sent, bool consumer) {
    ExecState& st = ctx.exec;
    if (st.call_depth >= ExecState::kMaxCallDepth)
        return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded"));
    GeneratorRecord* r = generator_record(ctx.heap, gen);
    if (!r) return fail(PyError::unsupported("object is not a generator"));
    if (r->executing) return fail(PyError::value_error("generator already executing"));
    if (r->finished) {
        Value v = r->return_value;
        r->return_value = Value::none();
        ctx.heap.push_root(v);
        return ResumeResult{false, v};
    }
    const bool started = r->resume_position != 0;
    if (!started && !sent.is_none())
        return fail(PyError::type_error("can't send non-None value to a just-started generator"));
    FrameDescriptor d{std::nullopt, r->scope, r->globals, r->function, true, false};
    TRY_ASSIGN(frame, st.new_frame(r->code, r->resume_position, st.values.size(), d, FrameKind::generator(consumer)));
    r->executing = true;
    st.values.insert(st.values.end(), r->saved_values.begin(), r->saved_values.end());
    st.active_exceptions.insert(st.active_exceptions.end(), r->saved_exceptions.begin(), r->saved_exceptions.end());
    for (const auto& h : r->saved_handlers)
        st.handlers.push_back(HandlerRecord{h[0], frame.value_base + h[1], frame.exc_base + h[2]});
    st.with_stack.insert(st.with_stack.end(), r->saved_with.begin(), r->saved_with.end());
    r->saved_values.clear();
    r->saved_exceptions.clear();
    r->saved_handlers.clear();
    r->saved_with.clear();
    if (started) st.values.push_back(sent);
    ++st.call_depth;
    st.frames.push_back(std::move(frame));
    return ResumeResult{true, Value::none()};
}

PyResult<StepOutcome> yield_value(RuntimeContext& ctx, Value v, std::uint64_t resume) {
    ExecState& st = ctx.exec;
    ctx.heap.push_root(v);
    for (;;) {
        Frame& f = st.frames.back();
        f.ip = resume;
        if (f.kind.tag != FrameKindTag::Generator) return StepOutcome::yielding(v);
        const bool consumer = f.kind.continues;
        // The frame's part of every stack moves into the record (whose lists keep their capacity).
        if (GeneratorRecord* r = record_below(ctx, f.value_base)) {
            auto tail = [](auto& stack, std::size_t base) {
                return stack.begin() + std::ptrdiff_t(std::min(base, stack.size()));
            };
            r->saved_values.assign(tail(st.values, f.value_base), st.values.end());
            r->saved_exceptions.assign(tail(st.active_exceptions, f.exc_base), st.active_exceptions.end());
            r->saved_with.assign(tail(st.with_stack, f.with_base), st.with_stack.end());
            r->saved_handlers.clear();
            for (std::size_t i = f.handler_base; i < st.handlers.size(); ++i) {
                const HandlerRecord& h = st.handlers[i];
                r->saved_handlers.push_back({h.handler_ip, h.value_height > f.value_base ? h.value_height - f.value_base : 0,
                                             h.exception_height > f.exc_base ? h.exception_height - f.exc_base : 0});
            }
            r->resume_position = resume;
            r->executing = false;
        }
        pop_frame(st);
        if (!consumer) return StepOutcome::yielding(v);
        if (st.frames.empty()) return fail(PyError::unsupported("generator consumer is not iterating"));
        TRY_ASSIGN(in, consumer_resume_instruction(st));
        if (in->op == PyOpcode::ForIter) {
            st.values.push_back(v);
            return StepOutcome::of(StepOutcome::Refresh);
        }
        if (in->op != PyOpcode::YieldFrom) return fail(PyError::unsupported("generator consumer is not iterating"));
        // The delegating generator yields the value in turn, to resume at its `yield from`.
        resume = st.frames.back().ip - 1;
    }
}

void finish_generator_frame(RuntimeContext& ctx) {
    const Frame& f = ctx.exec.frames.back();
    if (f.kind.tag != FrameKindTag::Generator) return;
    if (GeneratorRecord* r = record_below(ctx, f.value_base)) {
        r->finished = true;
        r->executing = false;
    }
}

PyResult<StepOutcome> return_from_generator(RuntimeContext& ctx, Value v) {
    ExecState& st = ctx.exec;
    ctx.heap.push_root(v);
    const Frame& f = st.frames.back();
    const bool consumer = f.kind.continues;
    GeneratorRecord* r = record_below(ctx, f.value_base);
    finish_generator_frame(ctx);
    pop_frame(st);
    if (!consumer) {
        if (r) r->return_value = v;
        return StepOutcome::returning(v);
    }
    if (!st.values.empty()) st.values.pop_back();  // the finished generator
    if (st.frames.empty()) return fail(PyError::unsupported("generator consumer is not iterating"));
    TRY_ASSIGN(in, consumer_resume_instruction(st));
    if (in->op == PyOpcode::ForIter) {
        if (r && steps_for_next(ctx, st.frames.back())) r->return_value = v;
        st.frames.back().ip = in->a;
        return StepOutcome::of(StepOutcome::Refresh);
    }
    if (in->op != PyOpcode::YieldFrom) return fail(PyError::unsupported("generator consumer is not iterating"));
    st.values.push_back(v);
    st.frames.back().ip = in->a;
    return StepOutcome::of(StepOutcome::Refresh);
}

PyResult<std::optional<Value>> generator_step_mode(RuntimeContext& ctx, Value gen, ResumeMode mode) {
    PyResult<std::optional<Value>> r = std::optional<Value>();
    {
        NativeCallScope scope(ctx);
        r = step_in_scope(scope.context, gen, mode);
    }
    if (r && *r) ctx.heap.push_root(**r);
    return r;
}

PyResult<std::optional<Value>> generator_step(RuntimeContext& ctx, Value gen, Value sent) {
    return generator_step_mode(ctx, gen, ResumeMode{ResumeMode::Send, sent});
}

PyStatus close_generator(RuntimeContext& ctx, Value gen) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(exit, new_exception(in, ctx.machine.meter, "GeneratorExit", {}));
    auto r = generator_step_mode(ctx, gen, ResumeMode{ResumeMode::Throw, exit});
    if (r) {
        if (!*r) return {};
        return fail(PyError::runtime_error("generator ignored GeneratorExit"));
    }
    if (!r.error().is_raised_marker()) {
        auto k = r.error().kind();
        const ErrorDetail* d = r.error().detail();
        if (k == ErrorKindTag::Exception && (d->class_name == "GeneratorExit" || d->class_name == "StopIteration"))
            return {};
        return fail(std::move(r.error()));
    }
    if (pending_exception_is_instance(in, "GeneratorExit") || pending_exception_is_instance(in, "StopIteration")) {
        ctx.exec.pending_exception.reset();
        return {};
    }
    return fail(std::move(r.error()));
}

PyResult<DelegateAnswer> send_to_delegate(RuntimeContext& ctx, Value callable, std::span<const Value> args) {
    auto r = call_value(ctx, callable, args);
    if (r) return DelegateAnswer{DelegateAnswer::Produced, *r};
    PyError e = std::move(r.error());
    if (!e.is_raised_marker() && e.kind() != ErrorKindTag::Exception && e.kind() != ErrorKindTag::OsError)
        return fail(std::move(e));
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(exc, propagate_pending_exception(in, ctx.machine.meter, std::move(e)));
    TRY_ASSIGN(stop, value_is_exception_type(in, exc, "StopIteration"));
    if (!stop) return DelegateAnswer{DelegateAnswer::Raised, exc};
    TRY_ASSIGN(parts, exception_instance_parts(in, exc));
    Value v = parts && !parts->args.empty() ? parts->args[0] : Value::none();
    return DelegateAnswer{DelegateAnswer::Stopped, v};
}

PyResult<StepOutcome> yield_from(RuntimeContext& ctx, std::uint64_t ip, std::uint64_t resume_target) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    Frame& f = st.frames.back();
    if (st.values.size() < std::size_t(f.value_base) + 2) return fail(stack_effect_error());
    Value sent = st.values.back();
    st.values.pop_back();
    Value delegate = st.values.back();
    heap.push_root(sent), heap.push_root(delegate);
    auto finish = [&](Value result) {
        st.values.back() = result;  // replaces the delegate
        return StepOutcome::jump(resume_target);
    };
    if (is_generator(heap, delegate)) {
        f.ip = ip + 1;
        auto resumed = generator_resume(ctx, delegate, sent, true);
        if (!resumed) return fail(std::move(resumed.error()));
        if (resumed->resumed) return StepOutcome::of(StepOutcome::Refresh);
        return finish(resumed->return_value);
    }
    DelegateAnswer answer;
    const HeapSlot* ds = heap.get_if_object(delegate);
    if (sent.is_none() && ds && ds->kind() == HeapObjectKind::StreamIterator) {
        // Standard input that is not there yet: the instruction runs again once it arrives.
        const bool bytes = std::get<StreamIteratorPayload>(ds->object).flag != 0;
        auto line = read_stdin_line(ctx, bytes);
        if (!line && line.error().kind() == ErrorKindTag::Suspend) {
            st.values.push_back(sent);
            ParkedCall parked;
            parked.kind = ParkedCall::Kind::WaitOnly;
            parked.wait = std::shared_ptr<const WaitReason>(std::move(line.error().take_detail()->wait));
            Frame& top = st.frames.back();
            if (ip < top.code->positions.size()) parked.position = top.code->positions[ip];
            top.ip = ip;
            st.parked_call = Box<ParkedCall>::make(std::move(parked));
            return StepOutcome::of(StepOutcome::Blocked);
        }
        if (!line) return fail(std::move(line.error()));
        answer = *line ? DelegateAnswer{DelegateAnswer::Produced, **line} : DelegateAnswer{DelegateAnswer::Stopped, Value::none()};
    } else if (sent.is_none()) {
        TRY_ASSIGN(next, py_getattr_by_name(ctx, delegate, "__next__"));
        if (!next) {
            TRY_ASSIGN(step, iterator_next(ctx, delegate));
            answer = step.item ? DelegateAnswer{DelegateAnswer::Produced, *step.item}
                               : DelegateAnswer{DelegateAnswer::Stopped, Value::none()};
        } else {
            TRY_ASSIGN(a, send_to_delegate(ctx, *next, {}));
            answer = a;
        }
    } else {
        TRY_ASSIGN(send, py_getattr_by_name(ctx, delegate, "send"));
        if (!send) {
            TRY_ASSIGN(tn, type_name(ctx, delegate));
            return fail(PyError::exception("AttributeError", fmt::format("'{}' object has no attribute 'send'", tn)));
        }
        TRY_ASSIGN(a, send_to_delegate(ctx, *send, std::span<const Value>(&sent, 1)));
        answer = a;
    }
    switch (answer.kind) {
        case DelegateAnswer::Produced: return yield_value(ctx, answer.value, ip);
        case DelegateAnswer::Stopped: return finish(answer.value);
        default: return fail(raise_pending(ctx, answer.value));
    }
}

PyResult<StepOutcome> resume_await(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    if (st.values.size() <= st.frames.back().value_base) return fail(stack_effect_error());
    Value outcome = st.values.back();
    st.values.pop_back();
    heap.push_root(outcome);
    const HeapSlot* s = heap.get_if_object(outcome);
    const auto* t = s ? std::get_if<TuplePayload>(&s->object) : nullptr;
    if (!t || t->items.size() != 2) return fail(PyError::unsupported("invalid coroutine scheduler outcome"));
    Value ok = t->items[0], payload = t->items[1];
    heap.push_root(payload);
    TRY_ASSIGN(good, py_is_true(ctx, ok));
    if (good) {
        st.values.push_back(payload);
        return StepOutcome::of(StepOutcome::Next);
    }
    if (!exception_type_name(interp(ctx), payload))
        return fail(PyError::unsupported("coroutine scheduler injected a non-exception"));
    return fail(raise_pending(ctx, payload));
}

PyResult<std::optional<Value>> stop_iteration_value(RuntimeContext& ctx, Value exc) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(stop, value_is_exception_type(in, exc, "StopIteration"));
    if (!stop) return std::optional<Value>();
    TRY_ASSIGN(parts, exception_instance_parts(in, exc));
    if (!parts || parts->args.empty()) return std::optional(Value::none());
    return std::optional(ctx.heap.clone_value(parts->args[0]));
}

PyResult<Value> generator_send_method(NativeRuntime& rt, Value self, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(expect_generator_arg(ctx, self));
    if (call.positional.size() != 1 || !call.keywords.empty())
        return fail(PyError::type_error(fmt::format("generator.send() takes exactly one argument ({} given)",
                                                    call.positional.size())));
    return step_or_stop(ctx, self, ResumeMode{ResumeMode::Send, call.positional[0]});
}

PyResult<Value> generator_throw_method(NativeRuntime& rt, Value self, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(expect_generator_arg(ctx, self));
    if (call.positional.empty() || call.positional.size() > 3 || !call.keywords.empty())
        return fail(PyError::type_error(
            fmt::format("throw expected at least 1 argument, got {}", call.positional.size())));
    std::optional<Value> value;
    if (call.positional.size() > 1) value = call.positional[1];
    TRY_ASSIGN(exc, thrown_exception(ctx, call.positional[0], value));
    ctx.heap.push_root(exc);
    return step_or_stop(ctx, self, ResumeMode{ResumeMode::Throw, exc});
}

PyResult<Value> generator_close_method(NativeRuntime& rt, Value self, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(expect_generator_arg(ctx, self));
    if (!call.positional.empty() || !call.keywords.empty())
        return fail(PyError::type_error("generator.close() takes no arguments"));
    TRY_DO(close_generator(ctx, self));
    return Value::none();
}

PyResult<Value> generator_next_method(NativeRuntime& rt, Value self, NativeCall call) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(expect_generator_arg(ctx, self));
    if (!call.positional.empty() || !call.keywords.empty())
        return fail(PyError::type_error("generator.__next__() takes no arguments"));
    return step_or_stop(ctx, self, ResumeMode{ResumeMode::Send, Value::none()});
}

PyResult<Value> generator_iter_method(NativeRuntime& rt, Value self, NativeCall) {
    TRY_DO(expect_generator_arg(rt.context(), self));
    return self;
}

// ---- the runtime's operations ------------------------------------------------------------------

PyResult<bool> runtime_iterator_kind(RuntimeContext& ctx, Value v) {
    if (is_native_iterator(ctx.heap, v)) return true;
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, v));
    if (!cls) return false;
    TRY_ASSIGN(next, class_lookup(ctx, *cls, interp(ctx).types.dunder_symbols()[std::size_t(DunderSlot::Next)]));
    return next && !next->is_none();
}

bool runtime_iterator_state(RuntimeContext& ctx, Value v) {
    const HeapSlot* s = ctx.heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::CountIterator;
}

PyResult<Value> runtime_get_iterator(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(already, runtime_iterator_kind(ctx, v));
    Value it = v;
    if (!already) {
        TRY_ASSIGN(made, get_iterator(ctx, v));
        it = made;
    }
    TRY_ASSIGN(ok, runtime_iterator_kind(ctx, it));
    if (!ok || !it.is_object()) return fail(PyError::type_error("expected an iterator"));
    return it;
}

PyResult<std::optional<Value>> runtime_collect(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(program, runtime_has_builtin_payload(ctx, v));
    if (program) return std::optional<Value>();
    auto it = get_iterator(ctx, v);
    if (!it) {
        if (it.error().kind() == ErrorKindTag::Exception) return std::optional<Value>();
        return fail(std::move(it.error()));
    }
    return std::optional(*it);
}

PyResult<bool> runtime_has_builtin_payload(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, v));
    return cls.has_value();
}

PyResult<std::optional<Value>> runtime_iterator_next(RuntimeContext& ctx, Value it) {
    if (generator_record(ctx.heap, it)) return generator_step(ctx, it, Value::none());
    TRY_ASSIGN(step, iterator_next(ctx, it));
    return step.item;
}

PyResult<std::optional<Value>> runtime_generator_state(RuntimeContext& ctx, Value gen, Value v) {
    if (!generator_record(ctx.heap, gen)) return fail(PyError::type_error("expected a generator"));
    return generator_step(ctx, gen, v);
}

PyResult<Value> runtime_coroutine_result(RuntimeContext& ctx, Value coro) {
    GeneratorRecord* r = generator_record(ctx.heap, coro);
    if (!r) return fail(PyError::type_error("expected a coroutine"));
    if (!r->finished) return fail(PyError::runtime_error("coroutine has not completed"));
    return ctx.heap.clone_value(r->return_value);
}

PyResult<CoroutineStep> runtime_coroutine_step(RuntimeContext& ctx, Value coro, Value v) {
    if (!generator_record(ctx.heap, coro)) return fail(PyError::type_error("expected a coroutine"));
    auto r = generator_step(ctx, coro, v);
    if (r) {
        if (*r) return CoroutineStep{CoroutineStep::Yielded, **r};
        TRY_ASSIGN(result, runtime_coroutine_result(ctx, coro));
        return CoroutineStep{CoroutineStep::Returned, result};
    }
    PyError e = std::move(r.error());
    if (!e.is_raised_marker() && e.kind() != ErrorKindTag::Exception && e.kind() != ErrorKindTag::OsError)
        return fail(std::move(e));
    TRY_ASSIGN(exc, propagate_pending_exception(interp(ctx), ctx.machine.meter, std::move(e)));
    return CoroutineStep{CoroutineStep::Raised, exc};
}

PyStatus runtime_generator_close(RuntimeContext& ctx, Value gen) {
    if (!generator_record(ctx.heap, gen)) return fail(PyError::type_error("expected a generator"));
    return close_generator(ctx, gen);
}

PyResult<Value> runtime_generator_throw(RuntimeContext& ctx, Value gen, Value exc) {
    if (!generator_record(ctx.heap, gen)) return fail(PyError::type_error("expected a generator"));
    TRY_ASSIGN(thrown, thrown_exception(ctx, exc, std::nullopt));
    ctx.heap.push_root(thrown);
    return step_or_stop(ctx, gen, ResumeMode{ResumeMode::Throw, thrown});
}

PyResult<Value> runtime_new_value_iterator(RuntimeContext& ctx, std::vector<Value> values) {
    return ctx.heap.allocate_object(ValuesIteratorPayload{0, std::move(values)}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> runtime_new_count_iterator(RuntimeContext& ctx, std::int64_t start, std::int64_t step) {
    return ctx.heap.allocate_object(CountIteratorPayload{start, step}, ctx.roots, ctx.machine.meter);
}

}  // namespace tw::py::vm
