// ps and the process snapshot helpers shared with pgrep, pkill, killall and lsof.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "commands/system/process_entry.h"
#include "commands/system/system_commands.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

std::string_view process_state_letter(const ProcessListEntry& entry) {
    switch (entry.status) {
    case ProcessStatus::Running: return "R";
    case ProcessStatus::Stopped: return "T";
    case ProcessStatus::Exited: return "Z";
    }
    return "R";
}

std::string_view process_command_name(const ProcessListEntry& entry) {
    static constexpr std::string_view kSpace = " \t\n\v\f\r";
    std::string_view line = entry.command;
    const std::size_t start = line.find_first_not_of(kSpace);
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    std::string_view word = line.substr(0, line.find_first_of(kSpace));
    if (const std::size_t slash = word.rfind('/'); slash != std::string_view::npos) word.remove_prefix(slash + 1);
    return word;
}

std::string_view process_user_name(const ProcessListEntry& entry) {
    auto it = entry.environment.find("USER");
    return it == entry.environment.end() ? std::string_view("user") : std::string_view(it->second);
}

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

namespace {

enum class Column : std::uint8_t { Pid, Ppid, Pgid, Sid, Stat, Comm, Cmd, User, Uid };

struct ColumnName {
    std::string_view name;
    Column column;
    std::string_view header;
};

constexpr std::array<ColumnName, 10> kColumns{{
    {"pid", Column::Pid, "PID"},
    {"ppid", Column::Ppid, "PPID"},
    {"pgid", Column::Pgid, "PGID"},
    {"sid", Column::Sid, "SID"},
    {"stat", Column::Stat, "STAT"},
    {"comm", Column::Comm, "COMMAND"},
    {"cmd", Column::Cmd, "CMD"},
    {"args", Column::Cmd, "CMD"},
    {"user", Column::User, "USER"},
    {"uid", Column::Uid, "UID"},
}};

const ColumnName* find_column(std::string_view item) {
    item = item.substr(0, item.find('='));
    for (const ColumnName& c : kColumns) {
        if (c.name == item) return &c;
    }
    return nullptr;
}

std::string column_value(const ProcessListEntry& e, Column column) {
    switch (column) {
    case Column::Pid: return std::to_string(e.pid);
    case Column::Ppid: return std::to_string(e.ppid);
    case Column::Pgid: return std::to_string(e.pgid);
    case Column::Sid: return std::to_string(e.sid);
    case Column::Stat: return std::string(process_state_letter(e));
    case Column::Comm: return std::string(process_command_name(e));
    case Column::Cmd: return e.command;
    case Column::User: return std::string(process_user_name(e));
    case Column::Uid: return std::to_string(e.uid);
    }
    return {};
}

// Splits at commas, keeping empty items.
std::vector<std::string_view> split_commas(std::string_view text) {
    std::vector<std::string_view> items;
    for (;;) {
        const std::size_t comma = text.find(',');
        items.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return items;
        text.remove_prefix(comma + 1);
    }
}

std::int32_t ps_error(CommandIo& io, std::string_view message) {
    push_message(io.err, "ps", message);
    return 2;
}

}  // namespace

std::int32_t ps_command(NativeInvocation& invocation, CommandIo& io) {
    bool bsd = false, full = false;
    std::optional<std::vector<const ColumnName*>> columns;
    std::optional<std::vector<std::uint32_t>> pids;
    const auto args = invocation.args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "aux") bsd = true;
        else if (arg == "-e" || arg == "-A") continue;
        else if (arg == "-f" || arg == "-ef") full = true;
        else if (arg == "-o") {
            if (++i == args.size()) return ps_error(io, "-o requires a column list");
            std::vector<const ColumnName*> chosen;
            for (std::string_view item : split_commas(args[i])) {
                const ColumnName* c = find_column(item);
                if (!c) return ps_error(io, "unsupported output column");
                chosen.push_back(c);
            }
            columns = std::move(chosen);
        } else if (arg == "-p" || arg == "--pid") {
            if (++i == args.size()) return ps_error(io, "-p requires a PID list");
            std::vector<std::uint32_t> list;
            for (std::string_view item : split_commas(args[i])) {
                auto pid = parse_process_id(item);
                if (!pid) return ps_error(io, "invalid PID list");
                list.push_back(*pid);
            }
            pids = std::move(list);
        } else {
            if (arg.find_first_not_of("0123456789") != std::string::npos)
                return ps_error(io, fmt::format("unsupported option {}", arg));
            auto pid = arg.empty() ? std::nullopt : parse_process_id(arg);
            if (!pid) return ps_error(io, "invalid PID");
            if (!pids) pids.emplace();
            pids->push_back(*pid);
        }
    }

    const std::vector<ProcessListEntry> list = invocation.sys.process_list();
    if (columns) {
        std::string header;
        for (const ColumnName* c : *columns) {
            if (!header.empty()) header += ' ';
            header += c->header;
        }
        push_line(io.out, header);
    } else if (bsd) {
        push_line(io.out, "USER       PID %CPU %MEM    VSZ   RSS TTY      STAT START   TIME COMMAND");
    } else if (full) {
        push_line(io.out, "UID          PID    PPID  C STIME TTY          TIME CMD");
    } else {
        push_line(io.out, "    PID TTY          TIME CMD");
    }
    for (const ProcessListEntry& e : list) {
        if (pids && std::find(pids->begin(), pids->end(), e.pid) == pids->end()) continue;
        if (columns) {
            std::string line;
            for (std::size_t k = 0; k < columns->size(); ++k) {
                if (k != 0) line += ' ';
                line += column_value(e, (*columns)[k]->column);
            }
            push_line(io.out, line);
        } else if (bsd) {
            push_line(io.out, fmt::format("{:<8}  {:>5}  0.0  0.0      0     0 ?        {:<4} 00:00   0:00 {}",
                                          process_user_name(e), e.pid, process_state_letter(e), e.command));
        } else if (full) {
            push_line(io.out, fmt::format("{:<10} {:>5} {:>7}  0 00:00 ?        00:00:00 {}", e.uid, e.pid, e.ppid,
                                          e.command));
        } else {
            push_line(io.out, fmt::format("{:>7} ?        00:00:00 {}", e.pid, e.command));
        }
    }
    return 0;
}

}  // namespace tw
