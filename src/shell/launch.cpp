#include "shell/launch.h"

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/spawn.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/dispatch.h"
#include "shell/parser.h"

namespace tw {

// ---- PATH search ----

namespace {

bool is_executable_candidate(const VfsNode& node) {
    return (node.is_file() || node.is_native()) && (node.mode & 0111) != 0;
}

}  // namespace

SearchResult search_path(const Vfs& vfs, std::string_view cwd, std::optional<std::string_view> path_var,
                         std::string_view word) {
    if (word.find('/') != std::string_view::npos) {
        std::string candidate = path_join_normalize(cwd, word);
        auto node = vfs.lookup("/", candidate, true);
        if (!node) return SearchResult::not_found();
        if (is_executable_candidate(**node)) return SearchResult::found(std::move(candidate));
        return SearchResult::denied(std::move(candidate));
    }
    const std::string_view search = path_var.value_or(kDefaultSearchPath);
    std::optional<std::string> denied;
    std::size_t start = 0;
    // An empty PATH has no entries at all; otherwise every ":"-separated piece is one (an empty
    // piece is the cwd).
    while (!search.empty() && start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string_view::npos) end = search.size();
        const std::string_view entry = search.substr(start, end - start);
        std::string candidate = path_join_normalize(path_join_normalize(cwd, entry), word);
        if (auto node = vfs.lookup("/", candidate, true)) {
            if (is_executable_candidate(**node)) return SearchResult::found(std::move(candidate));
            if (!denied) denied = std::move(candidate);
        }
        start = end + 1;
    }
    if (denied) return SearchResult::denied(std::move(*denied));
    return SearchResult::not_found();
}

bool file_has_wasm_magic(const Vfs& vfs, std::string_view path) {
    auto node = vfs.lookup("/", path, true);
    if (!node || !(*node)->is_file()) return false;
    const Bytes* data = (*node)->data();
    return data != nullptr && data->size() >= 4 && std::string_view(*data).substr(0, 4) == std::string_view("\0asm", 4);
}

Result<std::string, VfsError> vfs_read_text_lossy(Vfs& vfs, std::string_view cwd, std::string_view path) {
    auto bytes = vfs.read_bytes(cwd, path);
    if (!bytes) return std::unexpected(bytes.error());
    return utf8_lossy(*bytes);
}

ArgvLauncher command_launcher() {
    LaunchHooks hooks;
    hooks.launch = [](Machine& machine, Pid pid, const std::vector<std::string>& argv) {
        return machine.launch_argv(pid, argv);
    };
    hooks.spawn = [](Machine& machine, const SpawnRequest& request) { return machine.spawn_process(request); };
    return hooks;
}

// ---- Source admission ----

Result<ShellCommandPtr, std::int32_t> Machine::parse_source(std::string_view source, Bytes& err) {
    const std::uint64_t memory = sat_add(sat_mul(2, source.size()), 8192);
    if (!meter.charge_memory(memory)) return std::unexpected(kExhaustedStatus);
    if (!meter.charge_cpu(source.size())) {
        meter.release_memory(memory);
        return std::unexpected(kExhaustedStatus);
    }
    auto parsed = shell_parse(source);
    meter.release_memory(memory);
    if (parsed) return std::move(*parsed);
    std::string text = error_text(parsed.error());
    if (text.empty()) return std::unexpected(kExhaustedStatus);
    err += "tarnwick: syntax error: ";
    err += text;
    err += '\n';
    return std::unexpected(2);
}

// ---- Exec effects ----

Result<void, std::string> Machine::exec_reset(Pid pid) {
    ProcessState* state = states.find_mut(pid);
    if (state == nullptr) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    std::erase_if(state->signal_traps, [](const auto& entry) { return !entry.second.is_ignore(); });
    state->exit_trap.reset();
    state->err_trap.reset();
    state->err_trap_enabled = true;
    state->in_trap_handler = false;

    if (state->descriptors.cloexec().empty()) return {};
    std::vector<PipeEndpoint> ends;
    const std::vector<std::int32_t> marked(state->descriptors.cloexec().begin(), state->descriptors.cloexec().end());
    for (std::int32_t fd : marked) {
        if (auto number = state->descriptors.description_of(fd)) {
            const PipeEndpoint end = description_pipe_endpoint(open_descriptions, *number);
            if (end.is_pipe_end()) ends.push_back(end);
        }
        (void)state->descriptors.close(fd, open_descriptions);
    }
    for (const PipeEndpoint& end : ends) wake_pipe_waiters(end.pipe, end.wake_end());
    drop_unreferenced_orphans();
    refresh_open_fds(pid);
    return {};
}

// ---- Launch ----

namespace {

struct ShellLaunch {
    ShellOptions options;
    bool command_mode = false;
    bool read_stdin = false;
    std::vector<std::string> operands;
    std::optional<std::string> failure;  // an option error message
};

ShellLaunch parse_shell_arguments(const std::vector<std::string>& argv) {
    ShellLaunch launch;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "-" || word == "--") {
            ++i;
            break;
        }
        if (word.starts_with("--")) continue;
        if (word.size() < 2 || (word[0] != '-' && word[0] != '+')) break;
        const bool on = word[0] == '-';
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char letter = word[k];
            switch (letter) {
            case 'c': launch.command_mode = on; break;
            case 's': launch.read_stdin = on; break;
            case 'e': launch.options.errexit = on; break;
            case 'E': launch.options.errtrace = on; break;
            case 'u': launch.options.nounset = on; break;
            case 'x': launch.options.xtrace = on; break;
            case 'i':
            case 'l': break;
            case 'o': {
                if (i + 1 >= argv.size()) {
                    launch.failure = "bash: -o: option requires an argument\n";
                    return launch;
                }
                const std::string& name = argv[++i];
                if (name == "errexit") launch.options.errexit = on;
                else if (name == "errtrace") launch.options.errtrace = on;
                else if (name == "nounset") launch.options.nounset = on;
                else if (name == "xtrace") launch.options.xtrace = on;
                else if (name == "pipefail") launch.options.pipefail = on;
                else {
                    launch.failure = fmt::format("bash: {}: invalid option name\n", name);
                    return launch;
                }
                break;
            }
            default: {
                // The offending character, whole when it is a multi-byte one.
                std::size_t end = k + 1;
                while (end < word.size() && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80) ++end;
                launch.failure = fmt::format("bash: -{}: invalid option\n", word.substr(k, end - k));
                return launch;
            }
            }
        }
    }
    launch.operands.assign(argv.begin() + static_cast<std::ptrdiff_t>(std::min(i, argv.size())), argv.end());
    return launch;
}

// Everything but the exported variables of a shell is gone in a fresh shell instance.
void make_fresh_shell(ProcessState& state, Pid pid, std::string shell_name, std::vector<std::string> positional,
                      const ShellOptions& options) {
    for (auto it = state.variables.begin(); it != state.variables.end();) {
        if (state.exported_names.contains(it->first)) {
            ++it;
            continue;
        }
        state.variables_size = sat_sub(state.variables_size, variable_entry_size(it->first, it->second));
        it = state.variables.erase(it);
    }
    state.arrays.clear();
    state.arrays_size = 0;
    state.readonly_names.clear();
    state.hashed_commands.clear();
    state.dir_stack.clear();
    state.local_scopes.clear();
    state.local_saved_size = 0;
    state.job_table.clear();
    state.next_job_number = 1;
    state.shell_pid = pid;
    state.optind = 1;
    state.getopts_position = 1;
    state.shell_name = std::move(shell_name);
    std::uint64_t size = 0;
    for (const std::string& p : positional) size = sat_add(size, sat_add(p.size(), 48));
    state.positional_params = std::move(positional);
    state.positional_size = size;
    state.options = options;
}

}  // namespace

Result<void, std::string> Machine::launch_command(Pid pid, std::vector<std::string> argv, std::string_view word,
                                                  bool keep_argv0) {
    const ProcessState* state = states.find(pid);
    if (state == nullptr) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    if (argv.empty()) return std::unexpected(std::string("empty argv"));

    const std::string cwd = state->cwd;
    std::optional<std::string_view> path_var;
    if (auto it = state->variables.find("PATH"); it != state->variables.end()) path_var = it->second;
    SearchResult found = search_path(vfs, cwd, path_var, word);

    const auto record = [&](const std::vector<std::string>& installed, CommandTrust trust) {
        invocations.record(pid, installed, trust, std::nullopt, meter.cpu_used(), vfs.used());
    };
    // A program that only reports: installed as is, without the exec effects.
    const auto install_error_exit = [&](std::string message, std::int32_t status) -> Result<void, std::string> {
        if (auto r = states.set_program(pid, error_exit_program(std::move(message), status)); !r) return r;
        record(argv, CommandTrust::Real);
        return {};
    };
    const auto install_program = [&](ProcessContinuation program, CommandTrust trust) -> Result<void, std::string> {
        if (auto r = exec_reset(pid); !r) return r;
        if (auto r = states.set_program(pid, std::move(program)); !r) return r;
        record(argv, trust);
        return {};
    };
    // The executor runs the words as one command; it records the command when it dispatches it.
    const auto executor_form = [&]() -> Result<void, std::string> {
        if (auto r = exec_reset(pid); !r) return r;
        return states.set_program(pid, shell_words_continuation(argv));
    };

    const std::optional<ProgramKind> resumable_name = program_kind_from_name(argv[0]);
    switch (found.kind) {
    case SearchResult::Kind::Denied:
        if (resumable_name) return install_error_exit(fmt::format("{}: {}: permission denied\n", argv[0], found.path), 126);
        return executor_form();
    case SearchResult::Kind::NotFound:
        if (resumable_name) return install_error_exit(fmt::format("{}: command not found\n", argv[0]), 127);
        return executor_form();
    case SearchResult::Kind::Found: break;
    }

    auto node = vfs.lookup("/", found.path, true);
    if (!node || (*node)->is_dir() || (*node)->is_symlink()) {
        argv[0] = found.path;
        return executor_form();
    }
    if ((*node)->is_file()) {
        if (file_has_wasm_magic(vfs, found.path)) {
            if (!keep_argv0 && argv[0].find('/') == std::string::npos) argv[0] = found.path;
            return install_program(WasmImage{}, CommandTrust::Real);
        }
        argv[0] = found.path;
        return executor_form();
    }

    const NativeProgram program = *(*node)->program();
    switch (program.tag()) {
    case NativeProgram::Tag::Named:
        if (!is_shell_program_name(program.text())) {
            argv[0] = found.path;
            return executor_form();
        }
        break;
    case NativeProgram::Tag::Registered: {
        auto native = CommandRegistry::instance().native_for_path(program.text());
        if (!native) return install_error_exit("registered program needs a command continuation\n", 125);
        const CommandTrust trust = native->trust;
        std::vector<std::string> args(argv.begin() + 1, argv.end());
        return install_program(native_command_program(*native, std::string(program.name()), std::move(args)), trust);
    }
    case NativeProgram::Tag::Resumable: {
        const CommandTrust trust = program.kind() == ProgramKind::Make ? CommandTrust::Partial : CommandTrust::Real;
        return install_program(resumable_program(program.kind(), argv), trust);
    }
    }

    // A fresh shell instance: sh, bash, dash, zsh.
    ShellLaunch shell = parse_shell_arguments(argv);
    if (shell.failure) return install_error_exit(std::move(*shell.failure), 2);
    std::string shell_name = argv[0];
    std::vector<std::string> positional;
    std::optional<ProcessContinuation> continuation;
    const auto parse_text = [&](std::string_view text) -> std::optional<std::int32_t> {
        Bytes sink;
        auto parsed = parse_source(text, sink);
        if (!parsed) {
            (void)install_error_exit(utf8_lossy(sink), parsed.error());
            return parsed.error();
        }
        continuation = shell_program_continuation(std::move(*parsed), true);
        return std::nullopt;
    };
    if (shell.command_mode) {
        if (shell.operands.empty()) return install_error_exit("bash: -c: option requires an argument\n", 2);
        if (shell.operands.size() > 1) shell_name = shell.operands[1];
        if (shell.operands.size() > 2) positional.assign(shell.operands.begin() + 2, shell.operands.end());
        if (parse_text(shell.operands[0])) return {};
    } else if (shell.operands.empty() || shell.read_stdin) {
        positional = std::move(shell.operands);
        continuation = shell_stdin_continuation();
    } else {
        auto text = vfs_read_text_lossy(vfs, cwd, shell.operands[0]);
        if (!text) return install_error_exit(fmt::format("bash: {}: No such file or directory\n", shell.operands[0]), 127);
        shell_name = shell.operands[0];
        positional.assign(shell.operands.begin() + 1, shell.operands.end());
        if (parse_text(*text)) return {};
    }

    if (auto r = exec_reset(pid); !r) return r;
    ProcessState* target = states.find_mut(pid);
    if (target == nullptr) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    make_fresh_shell(*target, pid, std::move(shell_name), std::move(positional), shell.options);
    if (auto r = states.set_program(pid, std::move(*continuation)); !r) return r;
    record(argv, CommandTrust::Real);
    return {};
}

Result<void, std::string> Machine::launch_argv(Pid pid, const std::vector<std::string>& argv) {
    if (argv.empty()) return std::unexpected(std::string("empty argv"));
    const std::string word = argv[0];
    return launch_command(pid, argv, word, false);
}

Result<void, std::string> Machine::exec_argv(Pid pid, const std::vector<std::string>& argv) {
    std::string line = argv_display_line(argv);
    if (auto r = launch_argv(pid, argv); !r) return r;
    if (ProcessRecord* record = processes.find_mut(pid)) record->command = std::move(line);
    return {};
}

}  // namespace tw
