#include "commands/builtins/options.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <optional>
#include <string_view>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/command_io.h"

namespace tw {
namespace {

constexpr std::uint64_t kParamOverhead = 48;

// The options `shopt` lists and sets when no names are given, in their order.
constexpr std::array<std::string_view, 3> kListedShopts{"expand_aliases", "nullglob", "sourcepath"};
// Further options that pathname expansion and `case` honour; they are set and queried by name.
constexpr std::array<std::string_view, 3> kNamedShopts{"dotglob", "nocaseglob", "nocasematch"};

bool known_shopt(std::string_view name) {
    return std::ranges::find(kListedShopts, name) != kListedShopts.end() ||
           std::ranges::find(kNamedShopts, name) != kNamedShopts.end();
}

// The flag an option name of `set -o` stands for.
bool* named_flag(ShellOptions& options, std::string_view name) {
    if (name == "pipefail") return &options.pipefail;
    if (name == "errexit") return &options.errexit;
    if (name == "errtrace") return &options.errtrace;
    if (name == "nounset") return &options.nounset;
    return nullptr;
}

}  // namespace

std::optional<std::uint64_t> builtin_parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void set_positional_parameters(ProcessState& state, std::vector<std::string> params) {
    std::uint64_t size = 0;
    for (const std::string& p : params) size = sat_add(size, sat_add(p.size(), kParamOverhead));
    state.positional_params = std::move(params);
    state.positional_size = size;
}

std::int32_t builtin_set(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    ShellOptions& options = state.options;
    auto set_params_from = [&](std::size_t first) {
        set_positional_parameters(state, std::vector<std::string>(args.begin() + first, args.end()));
        return 0;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        const bool on = word.starts_with('-');
        if (word == "-e" || word == "+e") {
            options.errexit = on;
        } else if (word == "-E" || word == "+E") {
            options.errtrace = on;
        } else if (word == "-u" || word == "+u") {
            options.nounset = on;
        } else if (word == "-x" || word == "+x") {
            io.err += "set: xtrace is unimplemented\n";
            return 2;
        } else if (word == "-o" || word == "+o") {
            if (i + 1 == args.size()) return 0;
            const std::string& name = args[++i];
            bool* flag = named_flag(options, name);
            if (flag == nullptr) {
                fmt::format_to(std::back_inserter(io.err), "set: unimplemented option '{}'\n", name);
                return 2;
            }
            *flag = on;
        } else if (word == "--") {
            return set_params_from(i + 1);
        } else if (word.size() >= 2 && (word[0] == '-' || word[0] == '+')) {
            for (char letter : std::string_view(word).substr(1)) {
                switch (letter) {
                case 'e': options.errexit = on; break;
                case 'E': options.errtrace = on; break;
                case 'u': options.nounset = on; break;
                case 'o':
                    if (i + 1 == args.size() || args[i + 1] != "pipefail") {
                        io.err += "set: option name required after -o\n";
                        return 2;
                    }
                    ++i;
                    options.pipefail = on;
                    break;
                case 'x': io.err += "set: xtrace is unimplemented\n"; return 2;
                default:
                    fmt::format_to(std::back_inserter(io.err), "set: unimplemented option '-{}'\n", letter);
                    return 2;
                }
            }
        } else if (word == "-" || word == "+") {
            continue;
        } else {
            return set_params_from(i);
        }
    }
    return 0;
}

std::int32_t builtin_shopt(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    enum class Mode { Print, Enable, Disable, Query } mode = Mode::Print;
    std::span<const std::string> names = args;
    if (!args.empty() && args[0].starts_with('-')) {
        if (args[0] == "-s") mode = Mode::Enable;
        else if (args[0] == "-u") mode = Mode::Disable;
        else if (args[0] == "-q") mode = Mode::Query;
        else {
            fmt::format_to(std::back_inserter(io.err), "shopt: unsupported option {}\n", args[0]);
            return 2;
        }
        names = args.subspan(1);
    }
    std::vector<std::string> chosen(names.begin(), names.end());
    if (chosen.empty()) chosen.assign(kListedShopts.begin(), kListedShopts.end());
    std::int32_t status = 0;
    for (const std::string& name : chosen) {
        if (!known_shopt(name)) {
            fmt::format_to(std::back_inserter(io.err), "shopt: {}: invalid shell option name\n", name);
            status = 1;
            continue;
        }
        switch (mode) {
        case Mode::Enable: state.shopt_enabled.insert(name); break;
        case Mode::Disable: state.shopt_enabled.erase(name); break;
        case Mode::Query:
            if (!state.shopt_enabled.contains(name)) status = 1;
            break;
        case Mode::Print:
            fmt::format_to(std::back_inserter(io.out), "{}\t{}\n", name, state.shopt_enabled.contains(name) ? "on" : "off");
            break;
        }
    }
    return status;
}

std::int32_t builtin_shift(BuiltinContext& context, std::span<const std::string> args, CommandIo&) {
    ProcessState& state = context.machine.states.active_mut();
    std::uint64_t count = 1;
    if (!args.empty()) {
        std::optional<std::uint64_t> parsed = builtin_parse_count(args[0]);
        if (!parsed) return 1;
        count = *parsed;
    }
    if (count > state.positional_params.size()) return 1;
    if (count == 0) return 0;
    // Work in proportion to the parameters removed; those that stay are not moved.
    if (!context.machine.meter.charge_cpu(count)) return 137;
    std::uint64_t removed = 0;
    for (std::uint64_t i = 0; i < count; ++i)
        removed = sat_add(removed, sat_add(state.positional_params[i].size(), kParamOverhead));
    state.positional_params.drop_front(count);
    state.positional_size = sat_sub(state.positional_size, removed);
    return 0;
}

}  // namespace tw
