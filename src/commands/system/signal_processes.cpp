// pgrep, pkill and killall: finding processes of the snapshot by name and signalling them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"
#include "commands/system/process_entry.h"
#include "commands/system/system_commands.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::int32_t kUsage = 2;

bool selectable(const ProcessListEntry& e, Pid self) { return e.pid != self && e.status != ProcessStatus::Exited; }

// The live processes other than the caller whose name (or, with `full`, whole command line)
// matches `pattern`: anywhere, or with `exact` by a leftmost match that covers the whole text.
Result<std::vector<ProcessListEntry>, std::string> match_processes(Syscalls& sys, std::string_view pattern,
                                                                   bool full, bool exact) {
    auto regex = Regex::compile(pattern);
    if (!regex) return std::unexpected(fmt::format("invalid pattern: {}", error_text(regex.error())));
    const Pid self = sys.getpid();
    std::vector<ProcessListEntry> matched;
    for (ProcessListEntry& e : sys.process_list()) {
        if (!selectable(e, self)) continue;
        const std::string_view text = full ? std::string_view(e.command) : process_command_name(e);
        auto found = regex->find(text);
        if (!found) return std::unexpected(fmt::format("invalid pattern: {}", error_text(found.error())));
        if (!*found) continue;
        if (exact && ((*found)->start() != 0 || (*found)->end() != text.size())) continue;
        matched.push_back(std::move(e));
    }
    return matched;
}

enum class SignalArg : std::uint8_t { NotSignal, Taken, Bad };

// Reads the signal options shared by pkill and killall at args[i]: "-s SIG", "--signal SIG" and
// "-SIG". NotSignal for an argument that is none of them.
SignalArg read_signal(std::span<const std::string> args, std::size_t& i, Signal& signal) {
    const std::string& arg = args[i];
    std::optional<Signal> parsed;
    if (arg == "-s" || arg == "--signal") {
        if (i + 1 == args.size()) return SignalArg::Bad;
        parsed = signal_parse(args[++i]);
        if (!parsed) return SignalArg::Bad;
    } else if (arg.size() >= 2 && arg.front() == '-') {
        parsed = signal_parse(std::string_view(arg).substr(1));
        if (!parsed) return SignalArg::NotSignal;
    } else {
        return SignalArg::NotSignal;
    }
    signal = *parsed;
    return SignalArg::Taken;
}

}  // namespace

std::int32_t pgrep_command(NativeInvocation& invocation, CommandIo& io) {
    bool full = false, exact = false, names = false, lines = false;
    std::optional<std::string_view> pattern;
    for (const std::string& arg : invocation.args) {
        if (pattern) {
            push_message(io.err, "pgrep", "too many patterns");
            return kUsage;
        }
        if (arg == "-f") full = true;
        else if (arg == "-x") exact = true;
        else if (arg == "-l") names = true;
        else if (arg == "-a") lines = true;
        else if (!arg.empty() && arg.front() == '-') {
            push_message(io.err, "pgrep", fmt::format("unsupported option {}", arg));
            return kUsage;
        } else {
            pattern = arg;
        }
    }
    if (!pattern) {
        push_message(io.err, "pgrep", "pattern required");
        return kUsage;
    }
    auto matched = match_processes(invocation.sys, *pattern, full, exact);
    if (!matched) {
        push_message(io.err, "pgrep", matched.error());
        return kUsage;
    }
    for (const ProcessListEntry& e : *matched) {
        if (lines) push_line(io.out, fmt::format("{} {}", e.pid, e.command));
        else if (names) push_line(io.out, fmt::format("{} {}", e.pid, process_command_name(e)));
        else push_line(io.out, std::to_string(e.pid));
    }
    return matched->empty() ? 1 : 0;
}

std::int32_t pkill_command(NativeInvocation& invocation, CommandIo& io) {
    bool full = false, exact = false;
    Signal signal = Signal::TERM;
    std::optional<std::string_view> pattern;
    const auto args = invocation.args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (pattern) {
            push_message(io.err, "pkill", "too many patterns");
            return kUsage;
        }
        if (arg == "-f") {
            full = true;
            continue;
        }
        if (arg == "-x") {
            exact = true;
            continue;
        }
        switch (read_signal(args, i, signal)) {
        case SignalArg::Taken: continue;
        case SignalArg::Bad: push_message(io.err, "pkill", "invalid or missing signal"); return kUsage;
        case SignalArg::NotSignal: break;
        }
        if (arg.size() >= 2 && arg.front() == '-') {
            push_message(io.err, "pkill", fmt::format("unsupported option {}", arg));
            return kUsage;
        }
        pattern = arg;
    }
    if (!pattern) {
        push_message(io.err, "pkill", "pattern required");
        return kUsage;
    }
    auto matched = match_processes(invocation.sys, *pattern, full, exact);
    if (!matched) {
        push_message(io.err, "pkill", matched.error());
        return kUsage;
    }
    bool sent = false;
    for (const ProcessListEntry& e : *matched) {
        if (invocation.sys.kill(0, e.pid, signal)) sent = true;
    }
    return sent ? 0 : 1;
}

std::int32_t killall_command(NativeInvocation& invocation, CommandIo& io) {
    Signal signal = Signal::TERM;
    std::vector<std::string_view> names;
    const auto args = invocation.args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        switch (read_signal(args, i, signal)) {
        case SignalArg::Taken: continue;
        case SignalArg::Bad: push_message(io.err, "killall", "invalid or missing signal"); return kUsage;
        case SignalArg::NotSignal: break;
        }
        if (arg.size() >= 2 && arg.front() == '-') {
            push_message(io.err, "killall", fmt::format("unsupported option {}", arg));
            return kUsage;
        }
        names.push_back(arg);
    }
    if (names.empty()) {
        push_message(io.err, "killall", "process name required");
        return kUsage;
    }
    const Pid self = invocation.sys.getpid();
    const std::vector<ProcessListEntry> list = invocation.sys.process_list();
    std::int32_t status = 0;
    for (std::string_view name : names) {
        bool sent = false;
        for (const ProcessListEntry& e : list) {
            if (!selectable(e, self) || process_command_name(e) != name) continue;
            if (invocation.sys.kill(0, e.pid, signal)) sent = true;
        }
        if (!sent) {
            push_line(io.err, fmt::format("{}: no process found", name));
            status = 1;
        }
    }
    return status;
}

}  // namespace tw
