#include "python/mod/python_command.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "commands/python_tools/venv.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/vfs.h"
#include "kernel/vfs_path.h"
#include "python/heap/heap.h"
#include "python/mod/python_repl.h"
#include "python/mod/python_run.h"
#include "python/stdlib/stored_modules.h"
#include "python/vm/compile.h"
#include "python/vm/exec_state.h"
#include "python/vm/run_main.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"
#include "shell/launch.h"
#include "shell/variables.h"

namespace tw::py {

class PythonRun {
public:
    std::unique_ptr<Interpreter> interpreter;
    CodeObjectPtr main;
    std::vector<std::string> argv;  // sys.argv
    std::string source;
    std::string stdin_bytes;  // the input of a run that does not suspend
    std::string out, err;
    std::string start_cwd;
    std::vector<std::string> sys_path;
};

void PythonRunDeleter::operator()(PythonRun* run) const { delete run; }

namespace {

constexpr std::string_view kVersionLine = "Python 3.14.0\n";
constexpr std::string_view kInterpreterStub = "#!tarnwick-python\n";
constexpr std::string_view kSitePackages = "/usr/lib/python3.14/site-packages";
constexpr std::string_view kStdlibDir = "/usr/lib/python3.14";
constexpr std::uint64_t kRunMemory = 10240;
constexpr std::uint64_t kRunWork = 100;

// A path as a quoted literal: double quotes, backslash escapes for quotes, backslashes and
// control characters.
std::string quoted_path(std::string_view path) {
    std::string q = "\"";
    for (char c : path) {
        switch (c) {
            case '"': q += "\\\""; break;
            case '\\': q += "\\\\"; break;
            case '\n': q += "\\n"; break;
            case '\t': q += "\\t"; break;
            case '\r': q += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                    q += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
                else
                    q += c;
        }
    }
    return q + "\"";
}

std::string_view active_cwd(Machine& machine) { return machine.states.active().cwd; }

PythonCommandResult finished(std::int32_t status) { return {status, nullptr}; }

// The paths that name the process's own standard input.
bool is_stdin_path(std::string_view path) {
    return path == "/dev/stdin" || path == "/dev/fd/0" || path == "/proc/self/fd/0";
}

// Whether argv names the program as the standard input ("-", /dev/stdin, or no operand at all),
// which the process gathers before the program starts.
bool python_program_from_stdin(std::span<const std::string> argv) {
    return argv.size() < 2 || argv[1] == "-" || is_stdin_path(argv[1]);
}

struct ModuleCommandRow {
    std::string_view name;
    PythonModuleCommand command = nullptr;
};
constexpr std::size_t kMaxModuleCommands = 8;
constinit std::array<ModuleCommandRow, kMaxModuleCommands> module_commands{};

PythonModuleCommand module_command(std::string_view name) {
    for (const ModuleCommandRow& row : module_commands)
        if (row.command && row.name == name) return row.command;
    return nullptr;
}

// A dotted module name: identifiers of letters, digits and underscores, none starting with a digit.
bool is_module_name(std::string_view name) {
    bool start = true;
    for (char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (c == '.') {
            if (start) return false;
            start = true;
        } else if (letter || (digit && !start) || static_cast<unsigned char>(c) >= 0x80) {
            start = false;
        } else {
            return false;
        }
    }
    return !start;
}

// The program `python -m NAME` runs: the module's file on the search path (a package runs its
// __main__.py), else a module stored in the system. Answers (sys.argv[0], source).
std::optional<std::pair<std::string, std::string>> find_main_module(Machine& machine, std::string_view name) {
    if (!is_module_name(name)) return std::nullopt;
    std::string relative(name);
    std::replace(relative.begin(), relative.end(), '.', '/');
    const std::string cwd(active_cwd(machine));
    // The search path's order: the working directory, the standard library, site-packages.
    auto file_in = [&](std::string_view dir) -> std::optional<std::pair<std::string, std::string>> {
        for (const std::string& file : {relative + ".py", relative + "/__main__.py"}) {
            const std::string path = path_join_normalize(dir, file);
            if (!machine.vfs.is_file_at("/", path)) continue;
            auto text = vfs_read_text_lossy(machine.vfs, "/", path);
            if (text) return std::pair{path, std::move(*text)};
        }
        return std::nullopt;
    };
    if (auto found = file_in(cwd)) return found;
    for (const StoredModule& stored : stored_modules()) {
        if (stored.name != name) continue;
        const std::string file = stored.file_name == "__init__.py" ? relative + "/__init__.py" : relative + ".py";
        return std::pair{fmt::format("{}/{}", kStdlibDir, file), std::string(stored.source)};
    }
    return file_in(kSitePackages);
}

}  // namespace

void register_python_module_command(std::string_view name, PythonModuleCommand command) {
    for (ModuleCommandRow& row : module_commands) {
        if (row.command && row.name != name) continue;
        row = {name, command};
        return;
    }
    panic("too many python -m commands");
}


void release_interpreter(Interpreter& in, Machine& machine) {
    // The heap's objects, the code table and the identifiers interned beyond the runtime's own.
    static const std::uint64_t fixed_symbols = Interpreter().heap.symbols.modeled_size();
    const std::uint64_t symbols = in.heap.symbols.modeled_size();
    std::uint64_t held = sat_add(in.heap.total_bytes(), std::exchange(in.state.charged_memory, 0));
    held = sat_add(held, in.heap.code_table.modeled_size);
    held = sat_add(held, symbols > fixed_symbols ? symbols - fixed_symbols : 0);
    machine.meter.release_memory(held);
}

void python_unsupported(Machine& machine, std::string_view reason, std::string& err) {
    machine.unsupported_labels.insert(fmt::format("python:{}", reason));
    err += fmt::format("python: unsupported by minimal shim: {}\n", reason);
}

MainCompileResult compile_main_source(std::string_view source, Interpreter& in, Machine& machine) {
    MainCompileResult result;
    auto compiled = compile_module_source(in.heap, machine.meter, source);
    if (!compiled) {
        result.status = kExhaustedStatus;
        return result;
    }
    if (!*compiled) {
        const SyntaxError& e = compiled->error();
        result.unsupported =
            fmt::format("{} at line {}, column {}", e.message, e.span.line, e.span.column);
        return result;
    }
    result.main = **compiled;
    return result;
}

PythonCommandResult python_command(Machine& machine, std::span<const std::string> argv, std::string stdin_bytes,
                                   std::string& out, std::string& err) {
    // A virtual environment's bin/python is the interpreter itself: run through its #! line, it
    // arrives as the script and stands for nothing further.
    if (argv.size() > 1 && !argv[1].starts_with('-')) {
        auto stub = vfs_read_text_lossy(machine.vfs, active_cwd(machine), argv[1]);
        if (stub && *stub == kInterpreterStub) {
            std::vector<std::string> rest{argv[0]};
            rest.insert(rest.end(), argv.begin() + 2, argv.end());
            return python_command(machine, rest, std::move(stdin_bytes), out, err);
        }
    }
    std::string source;
    std::vector<std::string> program_argv;
    bool path_from_cwd = false;
    const std::string_view first = argv.size() > 1 ? std::string_view(argv[1]) : std::string_view();
    if (argv.size() > 1 && (first == "--version" || first == "-V")) {
        out += kVersionLine;
        return finished(0);
    }
    if (argv.size() > 1 && first == "-m") {
        if (argv.size() < 3) return finished(1);
        if (argv[2] == "venv") {
            auto dir = std::find_if(argv.begin() + 3, argv.end(), [](const std::string& a) { return !a.starts_with('-'); });
            if (dir == argv.end()) return finished(1);
            if (!create_venv_layout(machine, *dir, false)) {
                err += "python: venv: No space left on device\n";
                return finished(1);
            }
            return finished(0);
        }
        if (PythonModuleCommand command = module_command(argv[2]))
            return finished(command(machine, std::span(argv).subspan(3), out, err));
        auto module = find_main_module(machine, argv[2]);
        if (!module) {
            python_unsupported(machine, fmt::format("module {}", argv[2]), err);
            return finished(2);
        }
        // The module runs as __main__ with the working directory first on the search path.
        source = std::move(module->second);
        program_argv.push_back(std::move(module->first));
        program_argv.insert(program_argv.end(), argv.begin() + 3, argv.end());
        path_from_cwd = true;
    } else if (argv.size() > 1 && first == "-c") {
        if (argv.size() < 3) {
            err += "python: argument expected for the -c option\n";
            return finished(2);
        }
        source = argv[2];
        program_argv.push_back("-c");
        program_argv.insert(program_argv.end(), argv.begin() + 3, argv.end());
    } else if (argv.size() > 1 && first == "-") {
        source = utf8_lossy(stdin_bytes);
        program_argv.push_back("-");
        program_argv.insert(program_argv.end(), argv.begin() + 2, argv.end());
    } else if (argv.size() > 1 && is_stdin_path(first)) {
        source = utf8_lossy(stdin_bytes);
        program_argv.assign(argv.begin() + 1, argv.end());
    } else if (argv.size() > 1 && first.starts_with('-')) {
        python_unsupported(machine, fmt::format("option {}", first), err);
        return finished(2);
    } else if (argv.size() > 1) {
        auto text = vfs_read_text_lossy(machine.vfs, active_cwd(machine), first);
        if (!text) {
            err += fmt::format("python: can't open file {}: {}\n", quoted_path(first), error_text(text.error()));
            return finished(2);
        }
        source = std::move(*text);
        program_argv.assign(argv.begin() + 1, argv.end());
    } else if (stdin_bytes.empty()) {
        if (!enter_python_repl(machine)) return finished(kExhaustedStatus);
        out += kReplBanner;
        return finished(0);
    } else {
        source = utf8_lossy(stdin_bytes);
        program_argv.push_back("");
    }

    // Preparing the run.
    ResourceMeter& meter = machine.meter;
    const std::uint64_t held = sat_add(source.size(), kRunMemory);
    if (!meter.charge_memory(held)) return finished(kExhaustedStatus);
    if (!meter.charge_cpu(sat_add(source.size(), kRunWork))) {
        meter.release_memory(held);
        return finished(kExhaustedStatus);
    }
    PythonRunPtr run(new PythonRun);
    run->interpreter = std::make_unique<Interpreter>();
    MainCompileResult compiled = compile_main_source(source, *run->interpreter, machine);
    meter.release_memory(held);
    if (!compiled.main) {
        release_interpreter(*run->interpreter, machine);
        if (compiled.unsupported) {
            python_unsupported(machine, *compiled.unsupported, err);
            return finished(2);
        }
        return finished(compiled.status);
    }
    const std::string cwd(active_cwd(machine));
    const std::string& arg0 = program_argv.front();
    if (path_from_cwd || arg0 == "-c" || arg0 == "-" || arg0.empty()) {
        run->sys_path.push_back(cwd);
    } else {
        const std::size_t slash = arg0.rfind('/');
        std::string dir = slash == std::string::npos ? std::string() : arg0.substr(0, slash);
        if (slash != std::string::npos && dir.empty()) dir = "/";
        run->sys_path.push_back(path_join_normalize(cwd, dir));
    }
    run->sys_path.emplace_back(kSitePackages);
    run->interpreter->initial_search_path = run->sys_path;
    run->main = std::move(*compiled.main);
    run->argv = std::move(program_argv);
    run->source = std::move(source);
    run->stdin_bytes = std::move(stdin_bytes);
    run->start_cwd = cwd;
    return {std::nullopt, std::move(run)};
}

PythonStep step_python_run(PythonRun& run, Machine& machine, bool may_suspend) {
    Interpreter& in = *run.interpreter;
    MainModuleStep step = run_main_module(in, run.main, machine, run.argv, run.stdin_bytes,
                                          MainModuleMode{.echo = false, .dispatched = may_suspend}, run.out, run.err);
    PythonStep answer;
    switch (step.kind) {
        case MainModuleStep::Kind::NotFinished: return answer;
        case MainModuleStep::Kind::Blocked:
            answer.kind = PythonStep::Kind::Blocked;
            answer.wait = *step.wait;
            return answer;
        case MainModuleStep::Kind::Finished: break;
    }
    // A program's chdir does not outlive it.
    ProcessState& state = machine.states.active_mut();
    if (state.cwd != run.start_cwd) set_variable(state, "PWD", run.start_cwd);
    answer.kind = PythonStep::Kind::Exited;
    switch (step.exit.kind) {
        case MainModuleExit::Kind::Success: answer.status = 0; break;
        case MainModuleExit::Kind::Status: answer.status = step.exit.status; break;
        case MainModuleExit::Kind::Message:
            python_unsupported(machine, step.exit.message, run.err);
            answer.status = 2;
            break;
    }
    release_interpreter(in, machine);
    return answer;
}

void take_python_output(PythonRun& run, std::string& out, std::string& err) {
    out += run.out;
    err += run.err;
    run.out.clear();
    run.err.clear();
}

PythonRunPtr clone_python_run(const PythonRun& run) {
    PythonRunPtr copy(new PythonRun);
    copy->interpreter = std::make_unique<Interpreter>(*run.interpreter);
    copy->main = run.main;
    copy->argv = run.argv;
    copy->source = run.source;
    copy->stdin_bytes = run.stdin_bytes;
    copy->out = run.out;
    copy->err = run.err;
    copy->start_cwd = run.start_cwd;
    copy->sys_path = run.sys_path;
    return copy;
}

void release_python_run(PythonRunPtr run, Machine& machine) {
    if (run && run->interpreter) release_interpreter(*run->interpreter, machine);
}

std::int32_t run_python_sync(Machine& machine, std::span<const std::string> argv, std::string& out, std::string& err,
                             std::string input) {
    PythonCommandResult r = python_command(machine, argv, std::move(input), out, err);
    if (r.finished) return *r.finished;
    for (;;) {
        PythonStep step = step_python_run(*r.run, machine, false);
        if (step.kind == PythonStep::Kind::Yield) continue;
        if (step.kind == PythonStep::Kind::Blocked) panic("internal error: entered unreachable code: synchronous Python cannot suspend");
        take_python_output(*r.run, out, err);
        return step.status;
    }
}

// ---- the process program ----

namespace {

class PythonProcess final : public ProgramImpl {
public:
    explicit PythonProcess(std::vector<std::string> argv) : argv_(std::move(argv)) {
        collect_input_ = python_program_from_stdin(argv_);
    }
    PythonProcess(const PythonProcess& other)
        : argv_(other.argv_),
          collect_input_(other.collect_input_),
          input_(other.input_),
          input_charged_(other.input_charged_),
          run_(other.run_ ? clone_python_run(*other.run_) : nullptr),
          out_(other.out_),
          err_(other.err_),
          status_(other.status_),
          started_(other.started_) {}

    std::unique_ptr<ProgramImpl> clone() const override { return std::make_unique<PythonProcess>(*this); }

    void cancel_wait(Machine& machine) override {
        machine.meter.release_memory(std::exchange(input_charged_, 0));
        release_python_run(std::move(run_), machine);
    }

    ProgramStep step(Machine& machine) override {
        // Output of the previous step first: a full pipe blocks the program before it goes on.
        if (auto s = drain(machine)) return *s;
        if (status_) return ProgramStep::finished(*status_);
        if (collect_input_) {
            auto read = machine.read_descriptor(kProgramChunk);
            if (!read) {
                machine.meter.release_memory(std::exchange(input_charged_, 0));
                return ProgramStep::finished(1);
            }
            if (read->blocked()) return ProgramStep::blocked(std::move(*read->wait));
            if (!read->data.empty()) {
                if (!machine.meter.charge_memory(read->data.size()) || !machine.meter.charge_cpu(read->data.size())) {
                    machine.meter.release_memory(std::exchange(input_charged_, 0));
                    return ProgramStep::finished(kExhaustedStatus);
                }
                input_charged_ = sat_add(input_charged_, read->data.size());
                input_ += read->data;
                return ProgramStep::yield();
            }
            collect_input_ = false;
        }
        if (!started_) {
            started_ = true;
            PythonCommandResult r = python_command(machine, argv_, std::move(input_), out_, err_);
            input_.clear();
            machine.meter.release_memory(std::exchange(input_charged_, 0));
            if (r.finished) return finish(machine, *r.finished);
            run_ = std::move(r.run);
        }
        PythonStep s = step_python_run(*run_, machine, true);
        take_python_output(*run_, out_, err_);
        switch (s.kind) {
            case PythonStep::Kind::Yield:
                if (auto d = drain(machine)) return *d;
                return ProgramStep::yield();
            case PythonStep::Kind::Blocked:
                if (auto d = drain(machine)) return *d;
                return ProgramStep::blocked(std::move(*s.wait));
            case PythonStep::Kind::Exited: run_.reset(); return finish(machine, s.status);
        }
        return ProgramStep::yield();
    }

private:
    static constexpr std::uint64_t kProgramChunk = 4096;

    ProgramStep finish(Machine& machine, std::int32_t status) {
        status_ = status;
        if (auto d = drain(machine)) return *d;
        return ProgramStep::finished(status);
    }

    // Writes what the program printed. The bytes were charged to the output budget when the
    // program wrote them; the writes cost CPU only.
    std::optional<ProgramStep> drain(Machine& machine) {
        SyscallContext sys(machine);
        for (auto [fd, buffer, written] : {std::tuple{1, &out_, &out_written_}, std::tuple{2, &err_, &err_written_}}) {
            while (*written < buffer->size()) {
                auto w = sys.write(fd, std::string_view(*buffer).substr(*written));
                if (!w) {
                    const DescriptorError* e = w.error().descriptor_error();
                    if (e != nullptr && *e == DescriptorError::BrokenPipe) return finish_now(machine, 141);
                    return finish_now(machine, 1);
                }
                if (w->blocked()) return ProgramStep::blocked(std::move(*w->wait));
                if (w->written == 0) return finish_now(machine, 1);
                *written += w->written;
                if (!machine.meter.charge_cpu(w->written)) return finish_now(machine, kExhaustedStatus);
            }
            buffer->clear();
            *written = 0;
        }
        return std::nullopt;
    }

    ProgramStep finish_now(Machine& machine, std::int32_t status) {
        out_.clear();
        err_.clear();
        out_written_ = err_written_ = 0;
        cancel_wait(machine);
        status_ = status;
        return ProgramStep::finished(status);
    }

    std::vector<std::string> argv_;
    bool collect_input_ = false;
    std::string input_;
    std::uint64_t input_charged_ = 0;
    PythonRunPtr run_;
    std::string out_, err_;
    std::uint64_t out_written_ = 0, err_written_ = 0;
    std::optional<std::int32_t> status_;
    bool started_ = false;
};

}  // namespace

ProcessContinuation python_process_program(std::vector<std::string> argv) {
    return ExtensionProgram(std::make_unique<PythonProcess>(std::move(argv)));
}

void builtin_python(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                    CommandIo& io) {
    (void)io;
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.emplace_back(context.name);
    argv.insert(argv.end(), args.begin(), args.end());
    ChildRequest request;
    request.argv = argv;
    auto launch = [&argv](Machine& machine, Pid pid, const std::vector<std::string>&) -> Result<void, std::string> {
        return machine.states.set_program(pid, python_process_program(argv));
    };
    auto child = context.machine.prepare_child(request, launch);
    if (!child) {
        outcome = CommandOutcome::done(125);
        return;
    }
    BuiltinContinuation::ChildQueue queue;
    queue.child = *child;
    queue.completes_entry = true;
    outcome = CommandOutcome::wait_child(BuiltinContinuation{std::move(queue)});
}

}  // namespace tw::py
