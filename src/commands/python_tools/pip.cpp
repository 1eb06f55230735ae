#include "commands/python_tools/pip.h"
#include "commands/python_tools/spec_text.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "base/case_map.h"
#include "commands/util/io.h"
#include "kernel/machine.h"
#include "shell/command_io.h"
#include "shell/launch.h"

namespace tw {
namespace {

std::string_view strip_char(std::string_view s, char c) {
    while (!s.empty() && s.front() == c) s.remove_prefix(1);
    while (!s.empty() && s.back() == c) s.remove_suffix(1);
    return s;
}

bool is_bundled(std::string_view name) {
    return std::ranges::find(kBundledPackages, name) != std::end(kBundledPackages);
}

// The cleaned specifier: trimmed, then stripped of double and then single quotes.
std::string_view clean_spec(std::string_view text) {
    return strip_char(strip_char(trim_spec_text(text), '"'), '\'');
}

// The name part of a cleaned specifier.
std::string_view spec_name_part(std::string_view s) {
    return s.substr(0, std::min(s.find_first_of("=<>!~[ ;@"), s.size()));
}

enum class InstallOption : std::uint8_t { Requirement, Quiet, NoDeps, NoCacheDir, DisableVersionCheck, NoProgress };

struct InstallOptionRow {
    std::string_view long_name;
    char short_letter;  // 0: none
    bool takes_value;
    InstallOption id;
};

constexpr InstallOptionRow kInstallOptions[] = {
    {"requirement", 'r', true, InstallOption::Requirement},
    {"quiet", 'q', false, InstallOption::Quiet},
    {"no-deps", 0, false, InstallOption::NoDeps},
    {"no-cache-dir", 0, false, InstallOption::NoCacheDir},
    {"disable-pip-version-check", 0, false, InstallOption::DisableVersionCheck},
    {"no-progress", 0, false, InstallOption::NoProgress},  // the launcher's table only
};

std::span<const InstallOptionRow> install_table(bool launcher) {
    return std::span(kInstallOptions).first(launcher ? 6 : 5);
}

struct RecordedOption {
    InstallOption id;
    std::string value;
};

bool is_global_flag(std::string_view arg) {
    return arg == "-q" || arg == "--quiet" || arg == "--disable-pip-version-check";
}

}  // namespace

std::string normalize_package_name(std::string_view text) {
    std::string name = utf8_to_lower(trim_spec_text(text));
    std::ranges::replace(name, '-', '_');
    return name;
}

std::string package_spec_name(std::string_view spec) {
    return normalize_package_name(spec_name_part(clean_spec(spec)));
}

Result<std::vector<std::string>, std::string> parse_package_specs(std::span<const std::string> specs) {
    std::vector<std::string> names;
    names.reserve(specs.size());
    for (const std::string& text : specs) {
        const std::string_view t = text;
        if (t.starts_with("git+") || t.contains("://") || t.starts_with(".") || t.ends_with(".whl") ||
            t.ends_with(".tar.gz"))
            return std::unexpected(fmt::format("unsupported package source '{}'", t));
        const std::string_view s = clean_spec(t);
        if (s.empty() || s.contains("://")) return std::unexpected(fmt::format("invalid package specification '{}'", t));
        const std::string_view name = spec_name_part(s);
        if (name.empty()) return std::unexpected(fmt::format("invalid package specification '{}'", t));
        std::string normalized = normalize_package_name(name);
        if (!is_bundled(normalized)) return std::unexpected(fmt::format("package '{}' is not bundled", normalized));
        names.push_back(std::move(normalized));
    }
    return names;
}

Result<std::vector<std::string>, std::string> read_requirements_file(Machine& m, std::string_view path) {
    auto text = vfs_read_text_lossy(m.vfs, m.states.active().cwd, path);
    if (!text) return std::unexpected(fmt::format("cannot read requirements file '{}': {}", path, text.error().to_message()));
    std::vector<std::string> names;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        line = trim_spec_text(line.substr(0, std::min(line.find('#'), line.size())));
        if (line.empty()) continue;
        if (line.starts_with("-")) return std::unexpected(fmt::format("unsupported requirement option '{}'", line));
        const std::string spec(line);
        auto parsed = parse_package_specs(std::span(&spec, 1));
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        names.insert(names.end(), parsed->begin(), parsed->end());
    }
    return names;
}

Result<PipInstallRequest, std::string> parse_pip_install_args(Machine& m, std::span<const std::string> args,
                                                              bool launcher) {
    const auto table = install_table(launcher);
    std::vector<std::string> operands;
    std::vector<RecordedOption> options;
    bool only_operands = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (only_operands || arg == "-" || !arg.starts_with("-")) {
            operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            only_operands = true;
            continue;
        }
        if (arg.starts_with("--")) {
            const std::string_view body = arg.substr(2);
            const std::size_t eq = body.find('=');
            const std::string_view name = body.substr(0, eq);
            const auto row = std::ranges::find(table, name, &InstallOptionRow::long_name);
            if (row == table.end()) return std::unexpected(fmt::format("unsupported option '--{}'", name));
            if (!row->takes_value) {
                if (eq != std::string_view::npos)
                    return std::unexpected(fmt::format("option '--{}' does not take an argument", name));
                options.push_back({row->id, {}});
            } else if (eq != std::string_view::npos) {
                options.push_back({row->id, std::string(body.substr(eq + 1))});
            } else if (i + 1 < args.size()) {
                options.push_back({row->id, args[++i]});
            } else {
                return std::unexpected(fmt::format("option '--{}' requires an argument", name));
            }
            continue;
        }
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char letter = arg[k];
            const auto row = std::ranges::find(table, letter, &InstallOptionRow::short_letter);
            if (row == table.end()) return std::unexpected(fmt::format("unsupported option '-{}'", letter));
            if (!row->takes_value) {
                options.push_back({row->id, {}});
                continue;
            }
            if (k + 1 < arg.size()) {
                options.push_back({row->id, std::string(arg.substr(k + 1))});
            } else if (i + 1 < args.size()) {
                options.push_back({row->id, args[++i]});
            } else {
                return std::unexpected(fmt::format("option '-{}' requires an argument", letter));
            }
            break;
        }
    }

    auto names = parse_package_specs(operands);
    if (!names) return std::unexpected(std::move(names.error()));
    for (const RecordedOption& option : options) {
        if (option.id != InstallOption::Requirement) continue;
        auto listed = read_requirements_file(m, option.value);
        if (!listed) return std::unexpected(std::move(listed.error()));
        names->insert(names->end(), listed->begin(), listed->end());
    }
    if (names->empty()) return std::unexpected(std::string("no packages specified"));
    return PipInstallRequest{std::move(*names), std::move(operands)};
}

void record_installed_packages(Machine& m, std::span<const std::string> names) {
    for (const std::string& name : names) {
        const std::string_view trimmed = trim_spec_text(name);
        if (trimmed.empty()) continue;
        m.installed_packages.try_emplace(std::string(trimmed), InstalledPackage{std::string(kBundledPackageVersion), {}});
    }
}

Result<void, std::string> pip_install(Machine& m, std::span<const std::string> args) {
    auto request = parse_pip_install_args(m, args, false);
    if (!request) return std::unexpected(std::move(request.error()));
    record_installed_packages(m, request->names);
    return {};
}

std::int32_t pip_command_run(Machine& m, std::span<const std::string> args, Bytes& out, Bytes& err) {
    std::size_t at = 0;
    while (at < args.size() && is_global_flag(args[at])) ++at;
    if (at == args.size() || args[at] == "--help" || args[at] == "-h") {
        push_line(out, "usage: pip {install,list,freeze,show} [OPTIONS]");
        return 0;
    }
    const std::string_view command = args[at];
    const auto rest = args.subspan(at + 1);
    if (command == "install") {
        auto installed = pip_install(m, rest);
        if (installed) return 0;
        m.unsupported_labels.insert(fmt::format("pip:{}", installed.error()));
        push_message(err, "pip", installed.error());
        return 1;
    }
    if (command == "list" || command == "freeze") {
        if (!rest.empty()) {
            push_line(err, "pip: unsupported option");
            return 2;
        }
        const std::string_view form = command == "list" ? "{} {}" : "{}=={}";
        for (const auto& entry : m.installed_packages)
            push_line(out, fmt::format(fmt::runtime(form), entry.first, kBundledPackageVersion));
        return 0;
    }
    if (command == "show") {
        if (rest.size() != 1) {
            push_line(err, "pip: show requires one package name");
            return 2;
        }
        const std::string& wanted = rest.front();
        auto found = m.installed_packages.find(normalize_package_name(wanted));
        if (found == m.installed_packages.end()) found = m.installed_packages.find(wanted);
        if (found == m.installed_packages.end()) {
            push_line(err, fmt::format("WARNING: Package(s) not found: {}", wanted));
            return 1;
        }
        push_line(out, fmt::format("Name: {}", wanted));
        push_line(out, fmt::format("Version: {}", kBundledPackageVersion));
        return 0;
    }
    m.unsupported_labels.insert(fmt::format("pip:{}", command));
    push_line(err, fmt::format("pip: unsupported command '{}'", command));
    return 2;
}

std::int32_t pip_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return pip_command_run(context.machine, args, io.out, io.err);
}

}  // namespace tw
