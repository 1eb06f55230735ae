#include "commands/python_tools/uv.h"

#include <algorithm>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "commands/python_tools/pip.h"
#include "commands/python_tools/python_launch.h"
#include "commands/python_tools/spec_text.h"
#include "commands/python_tools/venv.h"
#include "commands/util/io.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "shell/command_io.h"
#include "shell/launch.h"

namespace tw {
namespace {

constexpr std::string_view kProjectTemplate = "[project]\nname = \"app\"\nversion = \"0.1.0\"\ndependencies = []\n";
constexpr std::string_view kDependencyListStart = "dependencies = [";
constexpr std::string_view kVenvDir = ".venv";

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Records the label "uv:LABEL" and writes "uv: MESSAGE".
void uv_report(Machine& m, Bytes& err, std::string_view label, std::string_view message) {
    m.unsupported_labels.insert(fmt::format("uv:{}", label));
    push_message(err, "uv", message);
}

std::string joined(std::span<const std::string> args) {
    std::string text;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ' ';
        text += args[i];
    }
    return text;
}

struct Project {
    std::string cwd;
    std::string path(std::string_view name) const { return path_join_normalize(cwd, name); }
};

Project project_of(Machine& m) {
    return {m.states.active().cwd};
}

// `uv add`: the specifiers go into pyproject.toml, each unless the dependency list already names
// that package.
std::int32_t uv_add(Machine& m, std::span<const std::string> args, Bytes& err) {
    auto request = parse_pip_install_args(m, args, true);
    if (!request) {
        uv_report(m, err, request.error(), request.error());
        return 1;
    }
    record_installed_packages(m, request->names);
    if (!request->specs.empty()) {
        const Project project = project_of(m);
        const std::string file = project.path("pyproject.toml");
        std::string text = vfs_read_text_lossy(m.vfs, "/", file).value_or(std::string());
        if (!text.contains("[project]")) text += kProjectTemplate;
        if (!text.contains("dependencies")) text += "dependencies = []\n";
        std::set<std::string, std::less<>> listed;
        for (const std::string& entry : pyproject_dependency_entries(text)) listed.insert(package_spec_name(entry));
        for (const std::string& spec : request->specs) {
            std::string name = package_spec_name(spec);
            if (listed.contains(name)) continue;
            const std::size_t at = text.find(kDependencyListStart);
            if (at == std::string::npos) continue;
            text.insert(at + kDependencyListStart.size(), fmt::format("\n    \"{}\",", spec));
            listed.insert(std::move(name));
        }
        if (auto written = m.vfs.write_file(file, std::move(text), 0644); !written) {
            push_message(err, "uv", fmt::format("cannot write pyproject.toml: {}", written.error().to_message()));
            return 1;
        }
    }
    (void)create_venv_layout(m, kVenvDir, true);
    return 0;
}

std::int32_t uv_init(Machine& m, std::span<const std::string> args, Bytes& err) {
    std::optional<std::string_view> selector;
    bool bad = false;
    for (std::size_t i = 0; i < args.size() && !bad; ++i) {
        const std::string_view arg = args[i];
        std::optional<std::string_view> given;
        if (arg == "--no-progress") continue;
        if (arg == "--python" || arg == "-p") {
            if (i + 1 < args.size()) given = args[++i];
        } else if (arg.starts_with("--python=")) {
            given = arg.substr(9);
        }
        if (given && is_modeled_python_selector(*given)) selector = given;
        else bad = true;
    }
    if (bad) {
        uv_report(m, err, "init-options", "unsupported init option or Python selector");
        return 2;
    }
    const Project project = project_of(m);
    if (m.vfs.is_file_at(project.cwd, "pyproject.toml")) return 0;
    std::string content(kProjectTemplate);
    if (selector) {
        std::string_view version = *selector;
        if (version.starts_with("python")) version.remove_prefix(6);
        content += fmt::format("requires-python = \">={}\"\n", version);
        if (auto written = m.vfs.write_file(project.path(".python-version"), fmt::format("{}\n", version), 0644);
            !written) {
            push_message(err, "uv", fmt::format("cannot record Python request: {}", written.error().to_message()));
            return 1;
        }
    }
    if (auto written = m.vfs.write_file(project.path("pyproject.toml"), std::move(content), 0644); !written) {
        push_message(err, "uv", fmt::format("cannot create pyproject.toml: {}", written.error().to_message()));
        return 1;
    }
    return 0;
}

// `uv sync` and `uv lock`: the packages of pyproject.toml and requirements.txt.
std::int32_t uv_sync(Machine& m, std::span<const std::string> args, Bytes& err) {
    if (!args.empty()) {
        uv_report(m, err, "sync-options", "unsupported sync or lock option");
        return 2;
    }
    const Project project = project_of(m);
    const bool has_project = m.vfs.is_file_at(project.cwd, "pyproject.toml");
    const bool has_requirements = m.vfs.is_file_at(project.cwd, "requirements.txt");
    auto collect = [&]() -> Result<std::vector<std::string>, std::string> {
        if (!has_project && !has_requirements)
            return std::unexpected(std::string("no pyproject.toml or requirements.txt found"));
        std::vector<std::string> names;
        if (has_project) {
            auto text = vfs_read_text_lossy(m.vfs, project.cwd, "pyproject.toml");
            if (!text) return std::unexpected(fmt::format("cannot read pyproject.toml: {}", text.error().to_message()));
            auto parsed = parse_package_specs(pyproject_dependency_entries(*text));
            if (!parsed) return parsed;
            names = std::move(*parsed);
        }
        if (has_requirements) {
            auto listed = read_requirements_file(m, "requirements.txt");
            if (!listed) return listed;
            names.insert(names.end(), listed->begin(), listed->end());
        }
        return names;
    };
    auto names = collect();
    if (!names) {
        uv_report(m, err, names.error(), names.error());
        return 1;
    }
    record_installed_packages(m, *names);
    (void)create_venv_layout(m, kVenvDir, true);
    return 0;
}

std::int32_t uv_venv(Machine& m, std::span<const std::string> args, Bytes& err) {
    if (args.size() > 1 || (args.size() == 1 && args[0].starts_with("-"))) {
        uv_report(m, err, "venv-arguments", "unsupported venv argument");
        return 2;
    }
    (void)create_venv_layout(m, args.empty() ? kVenvDir : std::string_view(args[0]), true);
    return 0;
}

// The result of launcher options: the command to run, or the message of a refusal.
struct LaunchRequest {
    std::vector<std::string> extras;
    std::span<const std::string> command;
};

Result<LaunchRequest, std::string> parse_launch(std::span<const std::string> args) {
    if (!args.empty() && args.front() == "--") args = args.subspan(1);
    LaunchRequest request;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--no-progress") continue;
        if (arg == "--") {
            ++i;
            break;
        }
        const std::size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        const bool python = name == "-p" || name == "--python";
        const bool with = name == "-w" || name == "--with";
        if (python || with) {
            std::string_view value;
            if (eq != std::string_view::npos) value = arg.substr(eq + 1);
            else if (i + 1 < args.size()) value = args[++i];
            else return std::unexpected(fmt::format("option '{}' requires a value", name));
            if (python && !is_modeled_python_selector(value))
                return std::unexpected(fmt::format("Python selector '{}' is not modeled", value));
            if (with) request.extras.emplace_back(value);
            continue;
        }
        if (arg.starts_with("-")) return std::unexpected(fmt::format("unsupported launcher option '{}'", arg));
        break;
    }
    request.command = args.subspan(i);
    return request;
}

// Runs python or pytest for `uvx`, `uv run` and `uv tool run`; nothing when the command is not
// one the launcher runs.
std::optional<std::int32_t> uv_launch(Machine& m, std::span<const std::string> args, CommandIo& io) {
    auto request = parse_launch(args);
    if (request) {
        auto names = parse_package_specs(request->extras);
        if (names) record_installed_packages(m, *names);
        else request = std::unexpected(std::move(names.error()));
    }
    if (!request) {
        uv_report(m, io.err, request.error(), request.error());
        return 2;
    }
    const std::span<const std::string> command = request->command;
    if (command.empty()) return std::nullopt;
    const std::string_view word = command.front();
    if (word == "pytest" || word.ends_with("/pytest")) return run_pytest_tool(m, command.subspan(1), io.out, io.err);
    if (word == "python" || word == "python3" || word == "python3.14")
        return run_python_tool(m, command, std::move(io.in), io.out, io.err);
    return std::nullopt;
}

}  // namespace

bool is_modeled_python_selector(std::string_view text) {
    if (text.starts_with("python")) text.remove_prefix(6);
    return text == "3.11" || text == "3.12" || text == "3.13" || text == "3.14";
}

std::vector<std::string> pyproject_dependency_entries(std::string_view text) {
    std::vector<std::string> entries;
    bool in_list = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = trim_spec_text(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        const bool examined = in_list || (line.starts_with("dependencies") && line.contains('['));
        if (!examined) continue;
        std::string_view rest = line;
        while (true) {
            const std::size_t quote = rest.find_first_of("\"'");
            std::string_view piece = trim_spec_text(rest.substr(0, quote));
            while (piece.ends_with(',')) piece.remove_suffix(1);
            if (!piece.empty() && is_ascii_letter(piece.front()) && !piece.starts_with("dependencies"))
                entries.emplace_back(piece);
            if (quote == std::string_view::npos) break;
            rest.remove_prefix(quote + 1);
        }
        in_list = !line.contains(']');
    }
    return entries;
}

std::int32_t uv_command_run(Machine& m, std::string_view invoked, std::span<const std::string> args, CommandIo& io) {
    const std::string_view first = args.empty() ? std::string_view() : std::string_view(args[0]);
    const auto rest = args.empty() ? args : args.subspan(1);
    if (first == "--help" || first == "-h") {
        push_line(io.out, "usage: uv {add,pip install,sync,lock,venv,run,tool run} ...");
        return 0;
    }
    if (first == "add") return uv_add(m, rest, io.err);
    if (first == "init") return uv_init(m, rest, io.err);
    if (first == "remove") {
        uv_report(m, io.err, "remove", "unsupported command 'remove'");
        return 2;
    }
    if (first == "sync" || first == "lock") return uv_sync(m, rest, io.err);
    if (first == "pip" && !rest.empty() && rest[0] == "install") {
        std::vector<std::string> install_args;
        for (const std::string& arg : rest.subspan(1))
            if (arg != "--system") install_args.push_back(arg);
        auto installed = pip_install(m, install_args);
        if (!installed) {
            uv_report(m, io.err, installed.error(), installed.error());
            return 1;
        }
        (void)create_venv_layout(m, kVenvDir, true);
        return 0;
    }
    if (first == "venv") return uv_venv(m, rest, io.err);

    std::optional<std::span<const std::string>> launched;
    if (invoked == "uvx") launched = args;
    else if (first == "run") launched = rest;
    else if (first == "tool" && rest.size() >= 1 && rest[0] == "run") launched = rest.subspan(1);
    if (launched) {
        if (auto status = uv_launch(m, *launched, io)) return *status;
    }

    const std::string invocation = joined(args);
    uv_report(m, io.err, invocation, fmt::format("unsupported invocation '{}'", invocation));
    return 2;
}

std::int32_t uv_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return uv_command_run(context.machine, context.name, args, io);
}

}  // namespace tw
