#include "python/mod/python_repl.h"

#include <fmt/format.h>

#include <memory>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/language_state.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "python/heap/heap.h"
#include "python/mod/python_run.h"
#include "python/vm/exec_state.h"
#include "python/vm/run_main.h"

namespace tw::py {

namespace {

constexpr std::string_view kPrompt = ">>> ";
constexpr std::uint64_t kInputMemory = 10240;
constexpr std::uint64_t kInputWork = 100;

// The interactive interpreter kept in a process's slot; empty once the mode has ended.
struct PythonReplState final : LanguageState {
    static constexpr LanguageKind kKind = LanguageKind::Python;
    PythonReplState() : LanguageState(kKind) {}
    PythonReplState(const PythonReplState& other)
        : LanguageState(other),
          interpreter(other.interpreter ? std::make_unique<Interpreter>(*other.interpreter) : nullptr) {}

    std::unique_ptr<LanguageState> clone() const override { return std::make_unique<PythonReplState>(*this); }
    // The interpreter's heap is charged to the memory budget on its own.
    std::uint64_t modeled_size() const override { return 0; }
    std::uint64_t fork_size() const override { return 0; }

    std::unique_ptr<Interpreter> interpreter;
};

PythonReplState* repl_of(ProcessState& state) { return state.python_repl.get<PythonReplState>(); }

void end_repl(PythonReplState& repl, Machine& machine) {
    if (!repl.interpreter) return;
    release_interpreter(*repl.interpreter, machine);
    repl.interpreter.reset();
}

}  // namespace

bool enter_python_repl(Machine& machine) {
    ProcessState* shell = machine.states.find_mut(machine.states.active().ppid);
    if (shell == nullptr) shell = &machine.states.active_mut();
    PythonReplState& repl = shell->python_repl.get_or_create<PythonReplState>();
    end_repl(repl, machine);
    repl.interpreter = std::make_unique<Interpreter>();
    const ProcessState& active = machine.states.active();
    repl.interpreter->initial_search_path = {active.cwd, "/usr/lib/python3.14/site-packages"};
    return !machine.meter.stop_reason();
}

bool python_repl_active(const Machine& machine) {
    const auto* repl = machine.states.active().python_repl.get<PythonReplState>();
    return repl != nullptr && repl->interpreter != nullptr;
}

std::optional<std::int32_t> run_python_repl_action(Machine& machine, std::string_view source, std::string& out,
                                                   std::string& err) {
    ProcessState& shell = machine.states.active_mut();
    PythonReplState* repl = repl_of(shell);
    if (repl == nullptr || !repl->interpreter) return std::nullopt;
    ResourceMeter& meter = machine.meter;
    const std::uint64_t cpu_start = meter.cpu_used();
    const std::uint64_t disk_start = machine.vfs.used();

    std::int32_t status = 0;
    bool keep = false;
    const std::uint64_t held = sat_add(source.size(), kInputMemory);
    if (!meter.charge_memory(held)) {
        status = kExhaustedStatus;
        end_repl(*repl, machine);
    } else if (!meter.charge_cpu(sat_add(source.size(), kInputWork))) {
        meter.release_memory(held);
        status = kExhaustedStatus;
        end_repl(*repl, machine);
    } else {
        Interpreter& in = *repl->interpreter;
        MainCompileResult compiled = compile_main_source(source, in, machine);
        bool exited = false;
        std::optional<std::string> unsupported = std::move(compiled.unsupported);
        if (compiled.main) {
            // Each input runs as a fresh root frame in the same __main__ namespace.
            in.started = false;
            const std::vector<std::string> argv{""};
            for (;;) {
                MainModuleStep step = run_main_module(in, *compiled.main, machine, argv, {},
                                                      MainModuleMode{.echo = true, .dispatched = false}, out, err);
                if (step.kind == MainModuleStep::Kind::NotFinished) {
                    if (meter.stop_reason()) {
                        status = kExhaustedStatus;
                        break;
                    }
                    continue;
                }
                if (step.kind == MainModuleStep::Kind::Blocked)
                    panic("internal error: entered unreachable code: synchronous Python cannot suspend");
                if (step.exit.kind == MainModuleExit::Kind::Message) unsupported = step.exit.message;
                else if (step.exit.kind == MainModuleExit::Kind::Status && step.exit.requested) {
                    exited = true;
                    status = step.exit.status;
                }
                break;
            }
        } else if (!unsupported) {
            status = compiled.status;
        }
        meter.release_memory(held);
        if (unsupported) {
            machine.unsupported_labels.insert(fmt::format("python:{}", *unsupported));
            err += fmt::format("python: unsupported by minimal REPL: {}\n", *unsupported);
            status = 2;
        }
        if (exited || meter.stop_reason()) {
            end_repl(*repl, machine);
            if (meter.stop_reason()) status = kExhaustedStatus;
        } else {
            keep = true;
        }
    }
    if (keep) {
        // The prompt is output like any other.
        const std::uint64_t room = meter.output_remaining();
        meter.charge_output(kPrompt.size());
        out += kPrompt.substr(0, std::min<std::uint64_t>(room, kPrompt.size()));
        if (meter.stop_reason()) end_repl(*repl, machine);
    }
    machine.commands_seen.insert("python:repl");
    meter.record_command_usage("python:repl", cpu_start, disk_start, machine.vfs.used());
    shell.last_status = status;
    return status;
}

}  // namespace tw::py
