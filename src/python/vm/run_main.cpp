#include "python/vm/run_main.h"

#include <fmt/format.h>

#include <charconv>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/scheduler.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/namespace.h"

namespace tw::py {

namespace {

// The heap's modeled size against what the execution state has charged for it.
bool reconcile_memory_charge(Interpreter& in, ResourceMeter& meter) {
    std::uint64_t m = in.heap.total_bytes();
    (void)m;
    (void)meter;
    return !meter.stop_reason() || meter.stop_reason() != StopReason::memory_exhausted;
}

MainModuleStep finished(MainModuleExit::Kind kind, std::int32_t status = 0, std::string message = {}) {
    MainModuleStep s;
    s.kind = MainModuleStep::Kind::Finished;
    s.exit = MainModuleExit{kind, status, std::move(message)};
    return s;
}
MainModuleStep status(std::int32_t code) { return finished(MainModuleExit::Kind::Status, code); }
MainModuleStep exit_status(std::int32_t code) {
    MainModuleStep s = status(code);
    s.exit.requested = true;
    return s;
}

// A signed 32-bit decimal number: optional sign, digits only.
std::optional<std::int32_t> exit_number(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
        if (v > std::int64_t(1) << 32) return std::nullopt;
    }
    if (text[0] == '-') v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return std::int32_t(v);
}

std::string entry_file(Interpreter& in, const TracebackEntry& e, const std::string& display) {
    if (e.namespace_.is_absent()) return display;
    auto v = namespace_get_str(in.heap, e.namespace_, "__file__");
    if (!v || !*v) return display;
    auto text = str_view(in.heap, **v);
    if (!text || !*text) return display;
    return std::string(**text);
}

void print_traceback(Interpreter& in, RuntimeContext& ctx, Value exc, std::uint64_t line, const std::string& display) {
    std::string out = "Traceback (most recent call last):\n";
    std::vector<TracebackEntry> entries = std::move(in.state.traceback);
    in.state.traceback.clear();
    if (entries.empty()) {
        out += fmt::format("  File \"{}\", line {}, in <module>\n", display, line);
    } else {
        for (const TracebackEntry& e : entries) {
            std::string name = e.function.is_absent() ? "<module>" : frame_function_name(in.heap, e.function);
            out += fmt::format("  File \"{}\", line {}, in {}\n", entry_file(in, e, display), e.line, name);
        }
    }
    auto type = exception_type_name(in, exc);
    std::string class_name = type ? *type : "BaseException";
    std::string message;
    auto parts = exception_instance_parts(in, exc);
    StrRecursionGuard guard;
    if (parts && *parts) {
        auto t = exception_text(in, (*parts)->class_name, (*parts)->args, guard);
        if (t) message = std::move(*t);
        else if (auto s = vm::str_text(ctx, exc)) message = std::move(*s);
    } else if (auto s = vm::str_text(ctx, exc)) {
        message = std::move(*s);
    }
    if (auto custom = vm::str_text(ctx, exc); custom && parts && *parts) {
        // A program class with its own __str__ decides its message.
        auto cls = instance_class_value(in.heap, in.types, exc);
        if (cls && *cls) message = std::move(*custom);
    }
    out += message.empty() ? class_name + "\n" : fmt::format("{}: {}\n", class_name, message);
    vm::write_stderr(ctx, out);
}

}  // namespace

std::string program_display_name(std::span<const std::string> argv) {
    if (argv.empty() || argv[0] == "-" || argv[0].empty()) return "<stdin>";
    if (argv[0] == "-c") return "<string>";
    return argv[0];
}

MainModuleStep run_main_module(Interpreter& in, const CodeObjectPtr& main_code, Machine& machine,
                               std::span<const std::string> argv, std::string_view stdin_bytes, MainModuleMode mode,
                               std::string& stdout_buffer, std::string& stderr_buffer) {
    ResourceMeter& meter = machine.meter;
    RuntimeContext ctx{machine, argv, stdin_bytes, in.heap, in.state, stdout_buffer, stderr_buffer,
                       in.heap.root_depth(), mode.echo, mode.dispatched, &in, &in};
    struct ScopeExit {
        RuntimeContext& c;
        ~ScopeExit() { c.exit_scope(); }
    } scope_exit{ctx};
    if (!in.started) {
        if (!reconcile_memory_charge(in, meter)) return status(vm::kBudgetStopStatus);
        Value doc = Value::none();
        if (main_code->docstring) {
            auto d = new_str(in.heap, *main_code->docstring, &in, meter);
            if (!d) return status(vm::kBudgetStopStatus);
            doc = *d;
        }
        Value ns;
        if (auto existing = in.heap.find_module("__main__")) {
            auto slot = module_submodule_slot(in.heap, *existing, "__main__");
            if (!slot) return status(vm::kBudgetStopStatus);
            ns = *slot;
        } else {
            std::vector<std::pair<std::string, Value>> attrs{{"__name__", Value::try_inline_str("__main__")}, {"__doc__", doc}};
            if (!argv.empty() && argv[0] != "-c" && argv[0] != "-" && !argv[0].empty()) {
                auto file = new_str(in.heap, argv[0], &in, meter);
                if (!file) return status(vm::kBudgetStopStatus);
                attrs.emplace_back("__file__", *file);
            }
            auto module = new_module_object(in, meter, "__main__", attrs);
            if (!module) return status(vm::kBudgetStopStatus);
            if (!in.heap.insert_module("__main__", module->module)) return status(vm::kBudgetStopStatus);
            ns = module->namespace_;
        }
        FrameDescriptor d{std::nullopt, ns, ns, Value::absent(), false, false};
        auto frame = in.state.new_frame(main_code, 0, in.state.values.size(), d, FrameKind::entry());
        if (!frame) return status(vm::kBudgetStopStatus);
        in.state.frames.push_back(std::move(*frame));
        in.started = true;
    }
    SliceResult r = run_slice(ctx);
    if (!reconcile_memory_charge(in, meter)) return status(vm::kBudgetStopStatus);
    if (r) {
        if (r->kind == StepOutcome::Blocked) {
            if (!in.state.parked_call) panic("a blocked frame records its suspension");
            MainModuleStep s;
            s.kind = MainModuleStep::Kind::Blocked;
            s.wait = in.state.parked_call->wait;
            return s;
        }
        if (r->kind == StepOutcome::Pending) return MainModuleStep{};
    }
    // Completion.
    if (in.state.frames.empty()) panic("completed program must retain its root frame");
    while (!in.state.frames.empty()) {
        Frame f = std::move(in.state.frames.back());
        in.state.frames.pop_back();
        in.state.lower_water_marks(f);
    }
    std::uint64_t charged = in.state.charged_memory;
    in.state.charged_memory = 0;
    meter.release_memory(charged);
    if (r) {
        switch (r->kind) {
            case StepOutcome::Return:
            case StepOutcome::Yield:
            case StepOutcome::Halt: return finished(MainModuleExit::Kind::Success);
            case StepOutcome::Exit: return exit_status(r->status);
            default: panic(fmt::format("a completed program cannot end with {}", debug_text(*r)));
        }
    }
    SliceFailure failure = std::move(r.error());
    if (meter.stop_reason()) return status(vm::kBudgetStopStatus);
    auto message_of = [&](std::string_view m) {
        return finished(MainModuleExit::Kind::Message, 0,
                        fmt::format("{} at line {}, column {}", m, failure.position.line, failure.position.column));
    };
    if (auto left = error_to_pending_exception(in, meter, std::move(failure.error))) {
        if (left->kind() == ErrorKindTag::Exit) return exit_status(left->detail()->code);
        return message_of(left->message());
    }
    if (!in.state.pending_exception) return message_of("exception unwound without a pending exception");
    Value exc = *in.state.pending_exception;
    in.heap.push_root(exc);
    std::string display = program_display_name(argv);
    if (pending_exception_is_instance(in, "SystemExit")) {
        in.state.pending_exception.reset();
        in.state.traceback.clear();
        auto parts = exception_instance_parts(in, exc);
        std::vector<Value> args = parts && *parts ? (*parts)->args : std::vector<Value>{};
        if (args.empty() || args[0].is_none()) return exit_status(0);
        // A single int argument is the status itself; any other value is printed.
        if (args.size() == 1 && (args[0].is_int() || args[0].is_bool())) {
            std::int64_t v = args[0].as_int();
            if (v >= INT32_MIN && v <= INT32_MAX) return exit_status(std::int32_t(v));
        }
        auto text = exception_str(in, exc);
        std::string t = text ? *text : std::string("SystemExit");
        if (auto n = exit_number(t); n && args.size() == 1 && (args[0].is_int() || args[0].is_bool())) return exit_status(*n);
        vm::write_stderr(ctx, t + "\n");
        return exit_status(1);
    }
    in.state.pending_exception.reset();
    print_traceback(in, ctx, exc, failure.position.line, display);
    return status(1);
}

}  // namespace tw::py
