// Calls: collecting the arguments at a call site, dispatching on the kind of callee, binding
// arguments to a Python function's parameters and starting its frame.
#include <fmt/format.h>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/protocols.h"
#include "python/vm/exceptions.h"
#include "python/vm/iterating_calls.h"
#include "python/vm/namespace.h"
#include "python/vm/protocols.h"

namespace tw::py::vm {

namespace {

constexpr std::uint64_t kCallArgumentBytes = 64;

PyError stack_effect_error() { return PyError::unsupported("invalid bytecode stack effect"); }

std::uint64_t frame_value_base(const ExecState& st) { return st.frames.empty() ? 0 : st.frames.back().value_base; }

PyStatus charge_argument(RuntimeContext& ctx) {
    if (auto c = ctx.heap.reserve_memory(kCallArgumentBytes, nullptr, ctx.roots, ctx.machine.meter); !c) return c;
    ctx.heap.record_native_charge(kCallArgumentBytes);
    return python_charge_work(ctx.machine.meter, 1);
}

std::string plural(std::uint64_t n) { return n == 1 ? "" : "s"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<std::string_view>& names) {
    auto q = [](std::string_view n) { return fmt::format("'{}'", n); };
    if (names.size() == 1) return q(names[0]);
    if (names.size() == 2) return q(names[0]) + " and " + q(names[1]);
    std::string out;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) out += q(names[i]) + ", ";
    return out + "and " + q(names.back());
}

// The Python function at `fn_value` bound to the arguments on the stack (beneath them the
// callee), then started.
PyResult<StepOutcome> bind_arguments(RuntimeContext& ctx, Value fn_value, Value receiver, std::uint32_t npos,
                                     std::span<const KeywordName> keywords, CallMode mode) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    const HeapSlot* fslot = heap.get_if_object(fn_value);
    const FunctionPayload* fp = fslot ? std::get_if<FunctionPayload>(&fslot->object) : nullptr;
    if (!fp) return fail(PyError::unsupported("bound descriptor is not callable"));
    const FunctionRecord* rec = fp->record.get();
    const CodeObject& code = *rec->code;
    bool generator = code.has_yield || code.is_async;
    if (!generator && st.call_depth >= ExecState::kMaxCallDepth)
        return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded"));
    const std::uint64_t nkw = keywords.size();
    const bool has_receiver = receiver.is_present();
    const std::uint64_t given = npos + (has_receiver ? 1 : 0);
    const std::uint64_t p = code.positional_count;
    const std::uint64_t args_at = st.values.size() - nkw - npos;  // first positional value
    const std::uint64_t callee_at = args_at - 1;
    const std::vector<ParamSlot>& params = code.parameters;

    // The common call: exactly the positional parameters, nothing else to bind.
    if (nkw == 0 && given == p && params.size() == p && mode == CallMode::Frame && !code.vararg_index &&
        !code.kwarg_index && !code.needs_scope && !generator) {
        std::uint64_t nlocals = code.local_names ? code.local_names->size() : params.size();
        std::uint64_t locals_base = st.locals.size();
        // The locals grow in place: the receiver, the arguments, then unbound slots.
        if (has_receiver) st.locals.push_back(receiver);
        for (std::uint64_t i = args_at, end = st.values.size(); i < end; ++i) st.locals.push_back(st.values[i]);
        for (std::uint64_t i = given; i < nlocals; ++i) st.locals.push_back(Value::absent());
        if (given > nlocals) st.locals.resize(locals_base + nlocals);
        st.values.resize(callee_at);
        // The function (a root of the frame) holds its record and so the code object.
        if (!st.push_call_frame(&code, locals_base, rec->closure, rec->globals, fn_value)) {
            st.locals.resize(locals_base);
            return fail(PyError::unsupported("VM stack depth exceeds the frame index range"));
        }
        ++st.call_depth;
        return StepOutcome::of(StepOutcome::Refresh);
    }

    // Keyword targets: the parameter index, or kNoIndex for **kwargs.
    std::vector<std::uint32_t> kw_target;
    std::uint64_t kwonly_given = 0;
    if (given > p && !code.vararg_index) {
        for (const KeywordName& k : keywords)
            for (const ParamSlot& ps : params)
                if (ps.symbol == k.symbol && ps.kind == ParamKind::KeywordOnly) ++kwonly_given;
        std::uint64_t r = code.required_positional_count;
        std::string takes = r == p ? fmt::format("{} positional argument{}", p, plural(p))
                                   : fmt::format("from {} to {} positional arguments", r, p);
        std::string middle;
        std::string verb = given == 1 ? "was" : "were";
        if (kwonly_given) {
            middle = fmt::format(" positional argument{} (and {} keyword-only argument{})", plural(given), kwonly_given,
                                 plural(kwonly_given));
            verb = "were";
        }
        return fail(PyError::type_error(fmt::format("{}() takes {} but {}{} {} given", rec->name, takes, given, middle, verb)));
    }
    if (nkw) {
        kw_target.resize(nkw);
        for (std::uint64_t i = 0; i < nkw; ++i) {
            const KeywordName& k = keywords[i];
            if (k.present != 1) return fail(PyError::unsupported("invalid keyword argument metadata"));
            std::string_view kname = heap.symbols.name_of(k.symbol);
            auto repeated = [&] {
                for (std::uint64_t j = 0; j < i; ++j)
                    if (keywords[j].symbol == k.symbol) return true;
                return false;
            };
            std::uint32_t found = kNoIndex;
            for (std::uint32_t j = 0; j < params.size(); ++j)
                if (params[j].symbol == k.symbol) {
                    found = j;
                    break;
                }
            ParamKind kind = found == kNoIndex ? ParamKind::VarPositional : params[found].kind;
            if (kind == ParamKind::PositionalOrKeyword || kind == ParamKind::KeywordOnly) {
                if (found < std::min(given, p) || repeated())
                    return fail(PyError::type_error(fmt::format("{}() got multiple values for argument '{}'", rec->name, kname)));
                kw_target[i] = found;
                continue;
            }
            if (!code.kwarg_index) {
                if (kind == ParamKind::PositionalOnly)
                    return fail(PyError::type_error(fmt::format(
                        "{}() got some positional-only arguments passed as keyword arguments: '{}'", rec->name, kname)));
                return fail(PyError::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", rec->name, kname)));
            }
            if (repeated())
                return fail(PyError::type_error(fmt::format("{}() got multiple values for argument '{}'", rec->name, kname)));
            kw_target[i] = kNoIndex;
        }
    }
    // Missing parameters.
    if (given < code.required_positional_count || nkw || code.has_required_kwonly) {
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<std::string_view> missing;
            for (std::uint32_t j = 0; j < params.size(); ++j) {
                const ParamSlot& ps = params[j];
                bool positional = ps.kind == ParamKind::PositionalOnly || ps.kind == ParamKind::PositionalOrKeyword;
                if (pass == 0 ? !positional : ps.kind != ParamKind::KeywordOnly) continue;
                if (j < std::min(given, p) || ps.has_default) continue;
                bool named = false;
                for (std::uint64_t i = 0; i < nkw; ++i) named |= kw_target[i] == j;
                if (!named) missing.push_back(heap.symbols.name_of(ps.symbol));
            }
            if (!missing.empty())
                return fail(PyError::type_error(fmt::format("{}() missing {} required {} argument{}: {}", rec->name,
                                                            missing.size(), pass == 0 ? "positional" : "keyword-only",
                                                            plural(missing.size()), quoted_list(missing))));
        }
    }
    // *args and **kwargs.
    Value varargs = Value::absent(), varkw = Value::absent();
    if (code.vararg_index) {
        std::vector<Value> extra;
        if (has_receiver && p == 0) extra.push_back(receiver);
        std::uint64_t used = p > (has_receiver ? 1 : 0) ? p - (has_receiver ? 1 : 0) : 0;
        for (std::uint64_t j = std::min<std::uint64_t>(used, npos); j < npos; ++j) extra.push_back(st.values[args_at + j]);
        auto t = new_tuple(ctx, std::move(extra));
        if (!t) return fail(std::move(t.error()));
        varargs = *t;
    }
    if (code.kwarg_index) {
        std::vector<std::pair<Value, Value>> pairs;
        for (std::uint64_t i = 0; i < nkw; ++i) {
            if (kw_target[i] != kNoIndex) continue;
            auto key = make_str(ctx, std::string(heap.symbols.name_of(keywords[i].symbol)));
            if (!key) return fail(std::move(key.error()));
            pairs.emplace_back(*key, st.values[args_at + npos + i]);
        }
        auto d = new_dict(ctx, pairs);
        if (!d) return fail(std::move(d.error()));
        varkw = *d;
    }
    // Local slots.
    std::uint64_t nlocals = code.local_names ? code.local_names->size() : params.size();
    std::uint64_t locals_base = st.locals.size();
    st.locals.resize(locals_base + nlocals, Value::absent());
    Value* slots = st.locals.data() + locals_base;
    std::uint64_t shift = 0;
    if (has_receiver && p != 0) {
        slots[0] = receiver;
        shift = 1;
    }
    for (std::uint64_t j = 0; j < npos && j + shift < p; ++j) slots[j + shift] = st.values[args_at + j];
    for (std::uint64_t i = 0; i < nkw; ++i)
        if (kw_target[i] != kNoIndex) slots[kw_target[i]] = st.values[args_at + npos + i];
    if (code.vararg_index) slots[*code.vararg_index] = varargs;
    if (code.kwarg_index) slots[*code.kwarg_index] = varkw;
    if (rec->defaults.size() != code.default_indices.size()) {
        st.locals.resize(locals_base);
        return fail(PyError::unsupported(fmt::format("{}() has invalid default argument metadata", rec->name)));
    }
    for (std::size_t i = 0; i < code.default_indices.size(); ++i)
        if (slots[code.default_indices[i]].is_absent()) slots[code.default_indices[i]] = rec->defaults[i];
    st.values.resize(callee_at);

    // Generators and functions whose locals live in the heap move the bound slots into a namespace.
    Value own_scope = Value::absent();
    if (generator || code.needs_scope) {
        std::vector<Value> values(st.locals.begin() + std::ptrdiff_t(locals_base), st.locals.end());
        st.locals.resize(locals_base);
        heap.push_root(fn_value);
        for (const Value& v : values) heap.push_root(v);
        auto ns = bind_locals(interp(ctx), ctx.machine.meter, rec->closure, code.local_names, std::move(values), {});
        if (!ns) return fail(std::move(ns.error()));
        own_scope = *ns;
    }
    if (generator) {
        Value ns = own_scope;
        auto gen = make_generator(ctx, fn_value, ns, rec->globals, rec->code);
        if (!gen) return fail(std::move(gen.error()));
        st.values.push_back(*gen);
        return StepOutcome::of(StepOutcome::Next);
    }
    FrameDescriptor d{locals_base, rec->closure, rec->globals, fn_value, false, false};
    if (code.needs_scope) d = FrameDescriptor{std::nullopt, own_scope, rec->globals, fn_value, true, false};
    std::shared_ptr<const CodeObject> code_ptr = rec->code;
    ++st.call_depth;
    if (mode == CallMode::Frame) {
        auto frame = st.new_frame(std::move(code_ptr), 0, st.values.size(), d, FrameKind::call());
        if (!frame) {
            --st.call_depth;
            st.locals.resize(locals_base);
            return fail(std::move(frame.error()));
        }
        st.frames.push_back(std::move(*frame));
        return StepOutcome::of(StepOutcome::Refresh);
    }
    std::string name = rec->name;
    SliceResult r = run_code_synchronously(ctx, std::move(code_ptr), d);
    if (st.call_depth > 0) --st.call_depth;
    if (!r) {
        PyError e = std::move(r.error().error);
        auto k = e.kind();
        if (k && *k != ErrorKindTag::Exception && *k != ErrorKindTag::OsError)
            append_error_location(e, name, r.error().position);
        return fail(std::move(e));
    }
    switch (r->kind) {
        case StepOutcome::Return: st.values.push_back(r->value); return StepOutcome::of(StepOutcome::Next);
        case StepOutcome::Halt: st.values.push_back(Value::none()); return StepOutcome::of(StepOutcome::Next);
        case StepOutcome::Exit: return *r;
        case StepOutcome::Yield:
            return fail(PyError::unsupported(fmt::format("unexpected yield in ordinary function {}", name)));
        default: panic(fmt::format("an immediate call cannot end with {}", debug_text(*r)));
    }
}

// A native handler's result delivered as the call's outcome.
PyResult<StepOutcome> deliver(RuntimeContext& ctx, PyResult<Value> r, CallMode mode, ParkedCall parked) {
    ExecState& st = ctx.exec;
    if (r) {
        st.values.push_back(*r);
        return StepOutcome::of(StepOutcome::Next);
    }
    PyError e = std::move(r.error());
    auto k = e.kind();
    if (k == ErrorKindTag::Exit) return StepOutcome::exit(e.detail()->code);
    if (k == ErrorKindTag::Suspend) {
        if (mode != CallMode::Frame || !st.suspension_allowed || !ctx.dispatched)
            return fail(PyError::unsupported("native call suspended outside scheduler dispatch"));
        auto wait = std::move(e.take_detail()->wait);
        parked.wait = std::shared_ptr<const WaitReason>(std::move(wait));
        if (!st.frames.empty()) {
            const Frame& f = st.frames.back();
            if (f.ip > 0 && f.ip - 1 < f.code->positions.size()) parked.position = f.code->positions[f.ip - 1];
        }
        st.parked_call = Box<ParkedCall>::make(std::move(parked));
        return StepOutcome::of(StepOutcome::Blocked);
    }
    return fail(std::move(e));
}

PyResult<StepOutcome> call_native(RuntimeContext& ctx, Value handle, const NativeFunction* row, Value receiver,
                                  NativeCall call, CallMode mode, std::span<const std::pair<Symbol, Value>> kw_symbols) {
    ExecState& st = ctx.exec;
    ParkedCall parked;
    // Only a dispatched program can be parked: only then are the arguments kept for a repeat.
    if (mode == CallMode::Frame && ctx.dispatched) {
        parked.kind = receiver.is_present() ? ParkedCall::Kind::MethodCall : ParkedCall::Kind::FunctionCall;
        parked.callee = handle;
        parked.receiver = receiver;
        parked.arguments = call.positional;
        parked.keywords.assign(kw_symbols.begin(), kw_symbols.end());
    }
    bool saved = st.suspension_allowed;
    st.suspension_allowed = mode == CallMode::Frame && saved;
    EngineRuntime rt(ctx);
    PyResult<Value> r = fail(PyError::unsupported("native function has no handler"));
    if (receiver.is_present()) {
        if (row->method_handler) r = row->method_handler(rt, receiver, std::move(call));
    } else if (row->module_handler) {
        r = row->module_handler(rt, std::move(call));
    }
    st.suspension_allowed = saved;
    return deliver(ctx, std::move(r), mode, std::move(parked));
}

PyResult<StepOutcome> call_exception_type(RuntimeContext& ctx, std::string_view name, NativeCall call) {
    if (!call.keywords.empty()) return fail(PyError::type_error(fmt::format("{}() takes no keyword arguments", name)));
    std::string_view cls = name;
    if (name == "OSError" && call.positional.size() >= 2) {
        Value first = call.positional[0];
        if ((first.is_int() || first.is_bool()) && first.as_int() >= INT32_MIN && first.as_int() <= INT32_MAX)
            cls = errno_exception_class(std::int32_t(first.as_int()));
    }
    auto e = new_exception(interp(ctx), ctx.machine.meter, cls, std::move(call.positional));
    if (!e) return fail(std::move(e.error()));
    ctx.exec.values.push_back(*e);
    return StepOutcome::of(StepOutcome::Next);
}

}  // namespace

PyResult<StepOutcome> dispatch_call(RuntimeContext& ctx, std::uint32_t npos, std::span<const KeywordName> keywords,
                                    CallMode mode) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    std::uint64_t nargs = npos + keywords.size();
    if (st.values.size() < frame_value_base(st) + nargs + 1) return fail(stack_effect_error());
    Value callee = st.values[st.values.size() - nargs - 1];
    // Fast path: Python functions and methods over them.
    if (callee.is_object()) {
        const HeapSlot* slot = heap.resolve(callee.handle());
        if (slot) {
            if (slot->kind() == HeapObjectKind::Function)
                return bind_arguments(ctx, callee, Value::absent(), npos, keywords, mode);
            if (auto* bm = std::get_if<BoundMethodPayload>(&slot->object); bm && bm->function.is_object()) {
                Value fn = bm->function, self = bm->receiver;
                heap.push_root(callee);
                return bind_arguments(ctx, fn, self, npos, keywords, mode);
            }
        }
    }
    // General path.
    if (auto c = python_charge_work(ctx.machine.meter, nargs); !c) return fail(std::move(c.error()));
    NativeCall call;
    std::vector<std::pair<Symbol, Value>> kw_symbols;
    std::uint64_t at = st.values.size() - nargs;
    call.positional.assign(st.values.begin() + std::ptrdiff_t(at), st.values.begin() + std::ptrdiff_t(at + npos));
    for (std::size_t i = 0; i < keywords.size(); ++i) {
        if (keywords[i].present != 1) return fail(PyError::unsupported("invalid keyword argument metadata"));
        Value v = st.values[at + npos + i];
        call.keywords.emplace_back(std::string(heap.symbols.name_of(keywords[i].symbol)), v);
        kw_symbols.emplace_back(keywords[i].symbol, v);
    }
    for (const Value& v : call.positional) heap.push_root(v);
    for (const auto& kv : kw_symbols) heap.push_root(kv.second);
    heap.push_root(callee);
    st.values.resize(at - 1);
    if (mode == CallMode::Frame) {
        auto handed = hand_over_iterating_call(ctx, callee, call, kw_symbols);
        if (!handed) return fail(std::move(handed.error()));
        if (*handed) return **handed;
    }

    if (callee.is_object()) {
        auto slot = heap.get(callee);
        if (!slot) return fail(std::move(slot.error()));
        const HeapObject& o = (*slot)->object;
        if (std::holds_alternative<ClassPayload>(o)) return instantiate_class(ctx, callee, std::move(call));
        if (auto* bm = std::get_if<BoundMethodPayload>(&o)) {
            Value fn = bm->function, self = bm->receiver;
            if (fn.is_absent()) fn = bm->owner;
            auto def = decode_native_handle(fn);
            if (def && (def->tag == DefinitionTag::NativeMethod || def->tag == DefinitionTag::NativeClassMethod) &&
                def->function)
                return call_native(ctx, fn, def->function, self, std::move(call), mode, kw_symbols);
            if (def && def->tag == DefinitionTag::SlotWrapper)
                return deliver(ctx, call_slot_wrapper(ctx, def->owner, DunderSlot(def->number), self, call.positional, call.keywords),
                               CallMode::Immediate, {});
            return fail(PyError::unsupported("bound descriptor is not callable"));
        }
        if (auto* ga = std::get_if<GenericAliasPayload>(&o)) {
            Value origin = ga->origin;
            st.values.push_back(origin);
            for (const Value& v : call.positional) st.values.push_back(v);
            for (const auto& kv : kw_symbols) st.values.push_back(kv.second);
            std::vector<KeywordName> names;
            for (const auto& kv : kw_symbols) names.push_back(KeywordName{1, kv.first});
            return dispatch_call(ctx, std::uint32_t(call.positional.size()), names, mode);
        }
        // An instance: its class's __call__.
        auto cls = instance_class_value(heap, interp(ctx).types, callee);
        if (!cls) return fail(std::move(cls.error()));
        if (*cls) {
            auto method = class_lookup(ctx, **cls, heap.symbols.intern_static("__call__"));
            if (!method) return fail(std::move(method.error()));
            if (*method) {
                std::vector<Value> args{callee};
                args.insert(args.end(), call.positional.begin(), call.positional.end());
                auto r = call_immediate(ctx, **method, args, kw_symbols);
                if (!r) return fail(std::move(r.error()));
                st.values.push_back(*r);
                return StepOutcome::of(StepOutcome::Next);
            }
        }
    } else if (auto def = decode_native_handle(callee)) {
        switch (def->tag) {
            case DefinitionTag::BuiltinType: {
                return py_builtin_constructor(ctx, def->number, std::move(call));
            }
            case DefinitionTag::ExceptionType: return call_exception_type(ctx, def->name, std::move(call));
            case DefinitionTag::NativeFunction:
                if (def->function) return call_native(ctx, callee, def->function, Value::absent(), std::move(call), mode, kw_symbols);
                break;
            case DefinitionTag::NativeMethod:
            case DefinitionTag::NativeClassMethod: {
                if (call.positional.empty())
                    return fail(PyError::unsupported("unbound native method requires a receiver"));
                Value self = call.positional.front();
                call.positional.erase(call.positional.begin());
                return call_native(ctx, callee, def->function, self, std::move(call), mode, kw_symbols);
            }
            case DefinitionTag::SlotWrapper:
                if (call.positional.empty()) return fail(PyError::type_error("slot wrapper requires a receiver"));
                return deliver(ctx, call_slot_wrapper(ctx, def->owner, DunderSlot(def->number), call.positional.front(),
                                                      std::span(call.positional).subspan(1), call.keywords),
                               CallMode::Immediate, {});
            case DefinitionTag::Function: return call_builtin_function(ctx, def->number, std::move(call), mode);
            case DefinitionTag::ValueKind:
                if (def->value_kind && def->value_kind->constructor) {
                    EngineRuntime rt(ctx);
                    return deliver(ctx, def->value_kind->constructor(rt, std::move(call)), CallMode::Immediate, {});
                }
                break;
            default: break;
        }
    }
    auto name = type_name(ctx, callee);
    if (!name) return fail(std::move(name.error()));
    return fail(PyError::type_error(fmt::format("'{}' object is not callable", *name)));
}

PyResult<StepOutcome> call_site(RuntimeContext& ctx, const CodeObject& code, std::uint32_t site, bool method) {
    ExecState& st = ctx.exec;
    const CallSiteInfo& info = code.call_sites.at(site);
    std::uint64_t npos = info.positional_count;
    std::uint64_t nkw = info.keyword_names.size();
    std::span<const std::uint8_t> flags = info.flags;
    if (method) {
        std::uint64_t depth = npos + nkw;
        if (depth == 0 || st.values.size() < depth) return fail(PyError::unsupported("stack underflow"));
        Value r = st.values[st.values.size() - depth];
        if (r.is_native() && r.native_kind() == NativeKind::NoReceiver) {
            st.values.erase(st.values.end() - std::ptrdiff_t(depth));
            --npos;
            if (!flags.empty()) flags = flags.subspan(1);
        }
    }
    if (npos + nkw != flags.size()) return fail(PyError::unsupported("invalid bytecode call argument metadata"));
    if (st.values.size() < frame_value_base(st) + npos + nkw + 1) return fail(stack_effect_error());
    bool starred = false;
    for (std::uint8_t f : flags) starred |= f != 0;
    if (!starred) return dispatch_call(ctx, std::uint32_t(npos), info.keyword_names, CallMode::Frame);
    {
        auto handed = hand_over_unpacking_call(ctx, npos, flags, info.keyword_names);
        if (!handed) return fail(std::move(handed.error()));
        if (*handed) return **handed;
    }

    // Expand *iterable and **mapping arguments.
    Heap& heap = ctx.heap;
    std::vector<Value> args(st.values.end() - std::ptrdiff_t(npos + nkw), st.values.end());
    for (const Value& v : args) heap.push_root(v);
    st.values.resize(st.values.size() - npos - nkw);
    std::uint64_t pushed = 0;
    for (std::uint64_t i = 0; i < npos; ++i) {
        if (!flags[i]) {
            if (auto c = charge_argument(ctx); !c) return fail(std::move(c.error()));
            st.values.push_back(args[i]);
            ++pushed;
            continue;
        }
        auto items = collect_iterable(ctx, args[i]);
        if (!items) return fail(std::move(items.error()));
        for (const Value& v : *items) {
            if (auto c = charge_argument(ctx); !c) return fail(std::move(c.error()));
            st.values.push_back(v);
            ++pushed;
        }
    }
    std::vector<KeywordName> names;
    auto merge = [&](Symbol s, Value v) -> PyStatus {
        for (const KeywordName& k : names)
            if (k.symbol == s)
                return fail(PyError::type_error(
                    fmt::format("got multiple values for keyword argument '{}'", heap.symbols.name_of(s))));
        if (auto c = charge_argument(ctx); !c) return c;
        names.push_back(KeywordName{1, s});
        st.values.push_back(v);
        return {};
    };
    for (std::uint64_t i = 0; i < nkw; ++i) {
        const KeywordName& k = info.keyword_names[i];
        std::uint8_t flag = flags[npos + i];
        Value v = args[npos + i];
        if (k.present == 1 && flag == 0) {
            if (auto m = merge(k.symbol, v); !m) return fail(std::move(m.error()));
            continue;
        }
        if (k.present != 0 || flag != 1) return fail(PyError::unsupported("invalid keyword argument metadata"));
        const HeapSlot* slot = heap.get_if_object(v);
        const DictTable* table = slot ? dict_table_of(const_cast<HeapObject&>(slot->object)) : nullptr;
        if (!table) {
            auto tn = type_name(ctx, v);
            if (!tn) return fail(std::move(tn.error()));
            return fail(PyError::type_error(fmt::format("argument after ** must be a mapping, not {}", *tn)));
        }
        std::vector<std::pair<Value, Value>> items;
        table->for_each_live([&](const DictSlot& s) { items.emplace_back(s.key, s.value); });
        for (const auto& [key, value] : items) {
            auto text = str_view(heap, key);
            if (!text) return fail(std::move(text.error()));
            if (!*text) return fail(PyError::type_error("keywords must be strings"));
            auto s = heap.symbols.intern(**text, ctx.machine.meter);
            if (!s) return fail(std::move(s.error()));
            if (auto m = merge(*s, value); !m) return fail(std::move(m.error()));
        }
    }
    return dispatch_call(ctx, std::uint32_t(pushed), names, CallMode::Frame);
}

PyResult<Value> call_immediate(RuntimeContext& ctx, Value callee, std::span<const Value> positional,
                               std::span<const std::pair<Symbol, Value>> keywords) {
    ExecState& st = ctx.exec;
    std::uint64_t height = st.values.size();
    st.values.push_back(callee);
    for (const Value& v : positional) st.values.push_back(v);
    std::vector<KeywordName> names;
    names.reserve(keywords.size());
    for (const auto& [s, v] : keywords) {
        names.push_back(KeywordName{1, s});
        st.values.push_back(v);
    }
    auto r = dispatch_call(ctx, std::uint32_t(positional.size()), names, CallMode::Immediate);
    if (!r) {
        if (st.values.size() > height) st.values.resize(height);
        return fail(std::move(r.error()));
    }
    if (r->kind == StepOutcome::Exit) {
        if (st.values.size() > height) st.values.resize(height);
        PyError e = PyError::make(ErrorKindTag::Exit, fmt::format("callable exited with status {}", r->status));
        e.detail()->code = r->status;
        return fail(std::move(e));
    }
    if (r->kind != StepOutcome::Next || st.values.size() != height + 1)
        panic("an immediate call leaves exactly its result");
    Value v = st.values.back();
    st.values.pop_back();
    return ctx.heap.clone_value(v);
}

PyResult<bool> is_callable(RuntimeContext& ctx, Value v) {
    if (auto def = decode_native_handle(v)) {
        switch (def->tag) {
            case DefinitionTag::BuiltinType:
            case DefinitionTag::ExceptionType:
            case DefinitionTag::NativeFunction:
            case DefinitionTag::NativeMethod:
            case DefinitionTag::NativeClassMethod:
            case DefinitionTag::SlotWrapper:
            case DefinitionTag::Function:
            case DefinitionTag::ValueKind: return true;
            default: return false;
        }
    }
    const HeapSlot* slot = ctx.heap.get_if_object(v);
    if (!slot) return false;
    switch (slot->kind()) {
        case HeapObjectKind::Function:
        case HeapObjectKind::Class:
        case HeapObjectKind::BoundMethod:
        case HeapObjectKind::GenericAlias: return true;
        default: break;
    }
    auto cls = instance_class_value(ctx.heap, interp(ctx).types, v);
    if (!cls) return fail(std::move(cls.error()));
    if (!*cls) return false;
    auto m = class_lookup(ctx, **cls, ctx.heap.symbols.intern_static("__call__"));
    if (!m) return fail(std::move(m.error()));
    return m->has_value();
}

}  // namespace tw::py::vm
