// Line iteration over the standard streams: `iter(stream)` is the stream itself and every step
// reads one line of standard input through the interpreter's reader.
#include "python/types/stream_types.h"

#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_support.h"
#include "python/vm/engine.h"
#include "python/vm/exec_state.h"
#include "python/vm/native_runtime.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint8_t kStdin = 0;
constexpr std::uint8_t kStdinBuffer = 3;

// The stream number of a stream handle; none for any other value.
std::optional<std::uint8_t> stream_number(Value v) {
    if (!v.is_native()) return std::nullopt;
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::Stream) return std::nullopt;
    return std::uint8_t(d->number);
}

PyError stop_iteration(NativeRuntime& rt) {
    if (auto r = rt.set_pending_exception("StopIteration", {}); !r) return std::move(r.error());
    return PyError::raised();
}

// `next(stream[, default])` as one repeatable native call: the line, the default at the end of
// input, or StopIteration.
PyResult<Value> next_or_default(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_ASSIGN(line, py_stream_next(rt, self));
    if (line) return *line;
    if (!c.positional.empty()) return c.positional.front();
    return fail(stop_iteration(rt));
}

constexpr NativeFunction kNextRow{"stream", "__next__", nullptr, next_or_default};

PyResult<Value> iter_method(NativeRuntime&, Value self, NativeCall c) {
    TRY_DO(mapargs::check(c, "stream.__iter__", 0, 0));
    return self;
}

PyResult<Value> next_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(mapargs::check(c, "stream.__next__", 0, 0));
    return next_or_default(rt, self, std::move(c));
}

constexpr NativeFunction kStreamMethods[] = {
    {"stream", "__iter__", nullptr, iter_method},
    {"stream", "__next__", nullptr, next_method},
};
constexpr NativeClass kStreamClass{"stream", kStreamMethods, {}};

}  // namespace

const NativeClass& stream_iteration_class() { return kStreamClass; }

bool is_stream_handle(Value v) { return stream_number(v).has_value(); }

PyResult<std::optional<Value>> py_stream_next(NativeRuntime& rt, Value stream) {
    auto n = stream_number(stream);
    if (!n) return fail(PyError::type_error("expected a stream"));
    if (*n != kStdin && *n != kStdinBuffer) return fail(PyError::value_error("only standard input is readable"));
    return vm::read_stdin_line(rt.context(), *n == kStdinBuffer);
}

SlotValue stream_iter(NativeRuntime&, Value self) { return std::optional(self); }

SlotValue stream_next(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(line, py_stream_next(rt, self));
    if (!line) return fail(stop_iteration(rt));
    return line;
}

std::optional<PyResult<StepOutcome>> builtin_next_on_stream(RuntimeContext& ctx, const NativeCall& call,
                                                            bool dispatch_loop) {
    const auto& a = call.positional;
    if (a.empty() || a.size() > 2 || !stream_number(a[0])) return std::nullopt;
    ExecState& st = ctx.exec;
    NativeCall rest{std::vector<Value>(a.begin() + 1, a.end()), {}};
    EngineRuntime rt(ctx);
    PyResult<Value> r = next_or_default(rt, a[0], rest);
    if (r) {
        st.values.push_back(*r);
        return PyResult<StepOutcome>(StepOutcome::of(StepOutcome::Next));
    }
    if (r.error().kind() != ErrorKindTag::Suspend) return PyResult<StepOutcome>(fail(std::move(r.error())));
    if (!dispatch_loop || !ctx.dispatched || !st.suspension_allowed || st.synchronous_depth != 0)
        return PyResult<StepOutcome>(fail(PyError::unsupported("native call suspended outside scheduler dispatch")));
    // Parked as the stream's own next: repeated with the same receiver and default on wake-up.
    ParkedCall parked;
    parked.kind = ParkedCall::Kind::MethodCall;
    static const Value handle = intern_static_definition(StaticDefinition::of_native_method(&kNextRow));
    parked.callee = handle;
    parked.receiver = a[0];
    parked.arguments = std::move(rest.positional);
    parked.wait = std::shared_ptr<const WaitReason>(std::move(r.error().take_detail()->wait));
    if (!st.frames.empty()) {
        const Frame& f = st.frames.back();
        if (f.ip > 0 && f.ip - 1 < f.code->positions.size()) parked.position = f.code->positions[f.ip - 1];
    }
    st.parked_call = Box<ParkedCall>::make(std::move(parked));
    return PyResult<StepOutcome>(StepOutcome::of(StepOutcome::Blocked));
}

}  // namespace tw::py
