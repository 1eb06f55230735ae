// The builtin function table, the constructors of the builtin types and the native methods of
// the builtin containers and strings that the engine provides.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/float_text.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_types.h"
#include "python/types/stream_types.h"
#include "python/vm/builtins_io.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/comparison.h"
#include "python/vm/generators.h"
#include "python/vm/builtin_functions.h"
#include "python/vm/sequences.h"

namespace tw::py::vm {

namespace {


PyError arity(std::uint64_t lo, std::uint64_t hi, std::uint64_t n) {
    return PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, n));
}
PyStatus check_arity(const NativeCall& c, std::uint64_t lo, std::uint64_t hi) {
    if (c.positional.size() < lo || c.positional.size() > hi) return fail(arity(lo, hi, c.positional.size()));
    return {};
}
RuntimeContext& ctx_of(NativeRuntime& rt) { return rt.context(); }

std::optional<std::string_view> text_of(const Heap& heap, const Value& v) {
    auto s = str_view(heap, v);
    if (!s || !*s) return std::nullopt;
    return **s;
}



struct MethodTable {
    TypeId type;
    std::span<const NativeFunction> rows;
};
const MethodTable kMethodTables[] = {
    {type_id(BuiltinType::List), list_native_class().functions},
    {type_id(BuiltinType::Tuple), tuple_native_class().functions},
    {type_id(BuiltinType::Generator), kGeneratorMethods},
};

}  // namespace

std::optional<Value> builtin_method(TypeId type, std::string_view name) {
    // The handles are interned once: interning takes the shared registry's lock.
    static const std::vector<std::vector<Value>> handles = [] {
        std::vector<std::vector<Value>> all;
        for (const MethodTable& t : kMethodTables) {
            std::vector<Value> row_handles;
            for (const NativeFunction& row : t.rows)
                row_handles.push_back(intern_static_definition(StaticDefinition::of_native_method(&row)));
            all.push_back(std::move(row_handles));
        }
        return all;
    }();
    for (std::size_t i = 0; i < std::size(kMethodTables); ++i) {
        const MethodTable& t = kMethodTables[i];
        if (t.type != type) continue;
        for (std::size_t j = 0; j < t.rows.size(); ++j)
            if (t.rows[j].name == name) return handles[i][j];
    }
    return std::nullopt;
}

// format(value, spec): the value protocol's format.
PyResult<std::string> format_with_spec(RuntimeContext& ctx, Value v, std::string_view spec) { return py_format(ctx, v, spec); }

namespace {

// `next(stream[, default])` from the builtin: none when the first argument is no stream. In the
// dispatch loop a line that is not there yet parks the call, which is repeated once input arrives.
std::optional<PyResult<StepOutcome>> builtin_next_on_stream(RuntimeContext& ctx, const NativeCall& call,
                                                            bool dispatch_loop) {
    const auto& a = call.positional;
    if (a.empty() || a.size() > 2 || !is_stream_handle(a[0])) return std::nullopt;
    ExecState& st = ctx.exec;
    NativeCall rest{std::vector<Value>(a.begin() + 1, a.end()), {}};
    EngineRuntime rt(ctx);
    PyResult<Value> r = stream_next_or_default(rt, a[0], rest);
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
    static const Value handle = intern_static_definition(StaticDefinition::of_native_method(&stream_next_row()));
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

}  // namespace

PyResult<StepOutcome> call_builtin_function(RuntimeContext& ctx, std::uint32_t id, NativeCall call, CallMode mode) {
    static constexpr std::uint32_t kTakesKeywords[] = {0, 11, 17, 18, 19};
    if (!call.keywords.empty() && std::find(std::begin(kTakesKeywords), std::end(kTakesKeywords), id) == std::end(kTakesKeywords))
        return fail(PyError::unsupported("this builtin does not accept keyword arguments"));
    ExecState& st = ctx.exec;
    const auto& a = call.positional;
    auto push = [&](PyResult<Value> r) -> PyResult<StepOutcome> {
        if (!r) return fail(std::move(r.error()));
        st.values.push_back(*r);
        return StepOutcome::of(StepOutcome::Next);
    };
    if (id == 30)  // next() on a stream may wait for input
        if (auto r = builtin_next_on_stream(ctx, call, mode == CallMode::Frame)) return std::move(*r);
    if (auto r = call_value_builtin(ctx, id, call)) return push(std::move(*r));
    switch (id) {
        case 0: return push(builtin_print(ctx, call));
        case 1: {
            TRY_DO(check_arity(call, 0, 1));
            if (!a.empty()) {
                TRY_ASSIGN(prompt, str_text(ctx, a[0]));
                TRY_DO(write_stdout(ctx, prompt));
            }
            bool saved = st.suspension_allowed;
            auto r = read_input_line(ctx);
            st.suspension_allowed = saved;
            if (!r && r.error().kind() == ErrorKindTag::Suspend) {
                if (mode != CallMode::Frame || !ctx.dispatched || st.synchronous_depth != 0)
                    return fail(PyError::unsupported("waiting for input inside a synchronous call"));
                ParkedCall parked;
                parked.kind = ParkedCall::Kind::InputLine;
                parked.wait = std::shared_ptr<const WaitReason>(std::move(r.error().take_detail()->wait));
                const Frame& f = st.frames.back();
                if (f.ip > 0) parked.position = f.code->positions.at(f.ip - 1);
                st.parked_call = Box<ParkedCall>::make(std::move(parked));
                return StepOutcome::of(StepOutcome::Blocked);
            }
            return push(std::move(r));
        }
        case 2: case 3: {
            const CodeRunner run = [](RuntimeContext& c, std::shared_ptr<const CodeObject> code, const FrameDescriptor& d) {
                return run_code_synchronously(c, std::move(code), d);
            };
            return id == 2 ? builtin_exec(ctx, call, run) : builtin_eval(ctx, call, run);
        }
        case 4: return fail(builtin_exit(ctx, call));
        default: break;
    }
    return fail(PyError::unsupported(fmt::format("builtin {} is not implemented", builtin_function_name(std::uint8_t(id)))));
}

}  // namespace tw::py::vm
