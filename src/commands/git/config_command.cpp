// git config and git remote.
#include <fmt/format.h>

#include <algorithm>

#include "base/regex.h"
#include "commands/git/work_commands.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::size_t kMaxConfigKeys = 256;
constexpr std::size_t kMaxConfigValue = 4096;

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool valid_value(std::string_view value) {
    return value.size() <= kMaxConfigValue && value.find_first_of(std::string_view("\0\n\r", 3)) == std::string_view::npos;
}

constexpr std::string_view kConfigUsage = "usage: git config [--local|--global] [--get|--unset|--list] NAME [VALUE]";

}  // namespace

// ---- config ----

std::int32_t git_cmd_config(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    bool local = false, global = false, show_origin = false, boolean = false;
    std::vector<std::string> action;
    for (const std::string& a : args) {
        if (a == "--local") local = true;
        else if (a == "--global") global = true;
        else if (a == "--system") {
            git_report_error(err, "the system configuration scope is not available");
            return 129;
        } else if (a == "--show-origin") show_origin = true;
        else if (a == "--bool" || a == "--type=bool") boolean = true;
        else if (a == "--type=string") {
        } else if (a.starts_with("-") && a != "--list" && a != "-l" && a != "--get" && a != "--get-all" &&
                   a != "--get-regexp" && a != "--unset" && a != "--unset-all" && a != "--add") {
            git_report_error(err, fmt::format("unsupported config option: {}", a));
            return 129;
        } else {
            action.push_back(a);
        }
    }
    enum class Action : std::uint8_t { List, Get, GetAll, GetRegexp, Unset, Set, Add };
    auto is_name = [](const std::string& s) { return !s.starts_with("-"); };
    std::optional<Action> chosen;
    std::string name, value;
    if (action.size() == 1 && (action[0] == "--list" || action[0] == "-l")) {
        chosen = Action::List;
    } else if (action.size() == 1 && is_name(action[0])) {
        chosen = Action::Get;
        name = action[0];
    } else if (action.size() == 2 && is_name(action[1]) && !is_name(action[0])) {
        name = action[1];
        if (action[0] == "--get") chosen = Action::Get;
        else if (action[0] == "--get-all") chosen = Action::GetAll;
        else if (action[0] == "--get-regexp") chosen = Action::GetRegexp;
        else if (action[0] == "--unset" || action[0] == "--unset-all") chosen = Action::Unset;
    } else if (action.size() == 2 && is_name(action[0]) && is_name(action[1])) {
        chosen = Action::Set;
        name = action[0];
        value = action[1];
    } else if (action.size() == 3 && action[0] == "--add" && is_name(action[1])) {
        chosen = Action::Add;
        name = action[1];
        value = action[2];
    }
    if (!chosen) {
        git_report_error(err, kConfigUsage);
        return 129;
    }
    auto root = git_find_worktree(sys);
    if (!root && !global) {
        git_report_not_a_repository(err);
        return 128;
    }
    std::string path = global ? git_global_config_path(sys) : git_path(*root, "config");
    GitConfig file = global ? git_load_global_config(sys) : git_load_repo_config(sys, *root);
    GitConfig effective = (local || global) ? file : git_load_config(sys, *root, run.overrides);
    std::string origin = show_origin ? fmt::format("file:{}\t", path) : std::string();
    std::string key = *chosen == Action::GetRegexp ? name : lowered(name);
    auto save = [&]() -> std::int32_t {
        if (global) return git_write_file(sys, path, git_write_config(file)) ? 1 : 0;
        return git_save_config(sys, *root, file) ? 1 : 0;
    };
    switch (*chosen) {
    case Action::List:
        for (const auto& [k, values] : effective)
            for (const std::string& v : values) out += fmt::format("{}{}={}\n", origin, k, v);
        return 0;
    case Action::Get: {
        auto last = git_config_last(effective, key);
        if (!last) return 1;
        git_config_output_line(origin, *last, boolean, out);
        return 0;
    }
    case Action::GetAll: {
        auto it = effective.find(key);
        if (it == effective.end() || it->second.empty()) return 1;
        for (const std::string& v : it->second) git_config_output_line(origin, v, boolean, out);
        return 0;
    }
    case Action::GetRegexp: {
        auto regex = Regex::compile(key);
        if (!regex) {
            git_report_fatal(err, "invalid --get-regexp pattern");
            return 128;
        }
        bool any = false;
        for (const auto& [k, values] : effective) {
            auto found = regex->matches(k);
            if (!found || !*found) continue;
            for (const std::string& v : values) {
                git_config_output_line(fmt::format("{}{} ", origin, k), v, boolean, out);
                any = true;
            }
        }
        return any ? 0 : 1;
    }
    case Action::Unset:
        if (!file.erase(key)) return 5;
        return save();
    case Action::Set:
    case Action::Add:
        if (!git_valid_config_key(key) || !valid_value(value)) {
            git_report_fatal(err, "invalid config key or value");
            return 128;
        }
        if (!file.contains(key) && file.size() >= kMaxConfigKeys) {
            git_report_fatal(err, "too many config entries");
            return 128;
        }
        if (*chosen == Action::Set) file[key] = {value};
        else file[key].push_back(value);
        return save();
    }
    return 0;
}

// ---- remote ----

std::int32_t git_cmd_remote(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_find_worktree(sys);
    if (!root) {
        git_report_not_a_repository(err);
        return 128;
    }
    bool verbose = std::find(args.begin(), args.end(), std::string("-v")) != args.end();
    std::vector<std::string> words;
    for (const std::string& a : args)
        if (!a.starts_with("-")) words.push_back(a);
    GitConfig file = git_load_repo_config(sys, *root);
    auto key_of = [](const std::string& name) { return fmt::format("remote.{}.url", lowered(name)); };
    auto save = [&]() -> std::int32_t { return git_save_config(sys, *root, file) ? 1 : 0; };
    if (words.empty()) {
        for (const auto& [name, url] : git_remote_urls(git_load_config(sys, *root, run.overrides))) {
            if (verbose) run.io.out += fmt::format("{0}\t{1} (fetch)\n{0}\t{1} (push)\n", name, url);
            else run.io.out += name + "\n";
        }
        return 0;
    }
    const std::string& verb = words[0];
    if (words.size() == 3 && verb == "add") {
        std::string key = key_of(words[1]);
        if (!git_valid_config_key(key)) {
            git_report_fatal(err, fmt::format("invalid remote name: {}", words[1]));
            return 128;
        }
        if (!valid_value(words[2])) {
            git_report_fatal(err, "invalid config key or value");
            return 128;
        }
        file[key] = {words[2]};
        return save();
    }
    if (words.size() == 3 && verb == "set-url") {
        auto it = file.find(key_of(words[1]));
        if (it == file.end()) {
            err += fmt::format("error: No such remote '{}'\n", words[1]);
            return 2;
        }
        if (!valid_value(words[2])) {
            git_report_fatal(err, "invalid config key or value");
            return 128;
        }
        it->second = {words[2]};
        return save();
    }
    if (words.size() == 2 && (verb == "remove" || verb == "rm")) {
        if (!file.erase(key_of(words[1]))) {
            err += fmt::format("error: No such remote: '{}'\n", words[1]);
            return 2;
        }
        return save();
    }
    if (words.size() == 2 && verb == "get-url") {
        auto url = git_config_last(file, key_of(words[1]));
        if (!url) {
            err += fmt::format("error: No such remote '{}'\n", words[1]);
            return 2;
        }
        run.io.out += *url + "\n";
        return 0;
    }
    git_report_error(err, "usage: git remote [-v] [add|remove|get-url|set-url ...]");
    return 129;
}

}  // namespace tw
