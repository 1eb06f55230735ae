#include "kernel/pseudo_fs.h"

#include <charconv>
#include <map>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::string_view kProcSelf = "/proc/self";

// The fixed inode numbers of the named pseudo paths.
struct NamedInode {
    std::string_view path;
    std::uint64_t inode;
};
constexpr NamedInode kNamedInodes[] = {
    {"/dev", 1},          {"/dev/null", 2},      {"/dev/random", 3},   {"/dev/urandom", 4}, {"/dev/zero", 5},
    {"/dev/stdin", 6},    {"/dev/stdout", 7},    {"/dev/stderr", 8},   {"/proc", 9},        {"/proc/self", 10},
    {"/proc/uptime", 11}, {"/proc/meminfo", 12}, {"/proc/cpuinfo", 13}, {"/proc/version", 14},
    {"/proc/mounts", 15},
};

constexpr std::uint64_t kFdInodeBase = std::uint64_t{1} << 31;

template <class T>
std::optional<T> parse_number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool is_pseudo_root(std::string_view p) {
    for (std::string_view root : {std::string_view("/proc"), std::string_view("/dev")})
        if (p.starts_with(root) && (p.size() == root.size() || p[root.size()] == '/')) return true;
    return false;
}

// "/proc/PID/ENTRY" split into the pid text and the entry (empty for "/proc/PID").
std::pair<std::string_view, std::string_view> split_process_path(std::string_view parsed) {
    std::string_view rest = parsed.substr(6);  // after "/proc/"
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {rest, {}};
    return {rest.substr(0, slash), rest.substr(slash + 1)};
}

// The open descriptors of a process: read from its live descriptor table while it has one, from
// the listing kept in its record otherwise.
std::map<std::int32_t, std::string> open_fd_listing(const Machine& m, const ProcessRecord& record) {
    const ProcessState* state = m.states.find(record.pid);
    if (!state) return record.open_fds;
    std::map<std::int32_t, std::string> listing;
    for (const auto& [fd, number] : state->descriptors.fds())
        if (m.open_descriptions.get(number)) listing.emplace(fd, m.open_descriptions.display_name(number));
    return listing;
}

Bytes status_text(const Machine& m, const ProcessRecord& record) {
    std::string_view state = "R (running)";
    std::string exit_part;
    const TaskState* task = m.scheduler.find_task(record.pid);
    if (record.status == ProcessStatus::Exited) {
        state = "Z (zombie)";
        exit_part = fmt::format("ExitCode:\t{}\n", record.exit_code);
    } else if (task && task->kind() == TaskKind::Exited) {
        state = "Z (zombie)";
        exit_part = fmt::format("ExitCode:\t{}\n", task->exit_status());
    } else if (record.status == ProcessStatus::Stopped) {
        state = "T (stopped)";
    } else if (task && task->kind() == TaskKind::Blocked) {
        state = "S (sleeping)";
    } else if (task && task->kind() == TaskKind::Stopped) {
        state = "T (stopped)";
    }
    return fmt::format("Name:\t{}\nState:\t{}\nPid:\t{}\nPPid:\t{}\nNSpgid:\t{}\nNSsid:\t{}\nUid:\t0\t0\t0\t0\n"
                       "Gid:\t0\t0\t0\t0\n{}",
                       record.command, state, record.pid, record.ppid, record.pgid, record.sid, exit_part);
}

std::optional<Result<PseudoContent, VfsError>> render_process(const Machine& m, std::string_view parsed) {
    const auto [pid_text, entry] = split_process_path(parsed);
    const auto pid = parse_number<Pid>(pid_text);
    if (!pid) return std::nullopt;
    const ProcessRecord* record = m.processes.find(*pid);
    if (!record) return std::nullopt;
    const bool active = *pid == m.states.active_pid();
    const ProcessState* live = active ? m.states.find(*pid) : nullptr;

    if (entry.empty()) return PseudoContent::listing({"cmdline", "cwd", "environ", "fd", "status"});
    if (entry == "cwd") return PseudoContent::link(live ? live->cwd : record->cwd);
    if (entry == "cmdline") {
        Bytes out = record->command;
        out += '\0';
        return PseudoContent::file(std::move(out));
    }
    if (entry == "environ") {
        const std::map<std::string, std::string> snapshot =
            live ? live->environment_snapshot() : std::map<std::string, std::string>{};
        const auto& env = live ? snapshot : record->environment;
        Bytes out;
        for (const auto& [name, value] : env) {
            const std::uint64_t total = sat_add(sat_add(out.size(), name.size()), sat_add(value.size(), 2));
            if (total > PseudoFs::kEnvironLimit)
                return std::unexpected(VfsError::too_large(parsed, PseudoFs::kEnvironLimit));
            out += name;
            out += '=';
            out += value;
            out += '\0';
        }
        return PseudoContent::file(std::move(out));
    }
    if (entry == "status") return PseudoContent::file(status_text(m, *record));
    if (entry == "fd") {
        std::vector<std::string> names;
        for (const auto& [fd, _] : open_fd_listing(m, *record)) names.push_back(fmt::format("{}", fd));
        return PseudoContent::listing(std::move(names));
    }
    if (entry.starts_with("fd/")) {
        const auto fd = parse_number<std::int32_t>(entry.substr(3));
        if (!fd) return std::nullopt;
        auto listing = open_fd_listing(m, *record);
        auto it = listing.find(*fd);
        if (it == listing.end()) return std::nullopt;
        return PseudoContent::link(std::move(it->second));
    }
    return std::nullopt;
}

}  // namespace

std::string PseudoFs::parse_proc_path(const Machine& m, std::string_view cwd, std::string_view path, bool follow) {
    std::string p = path_join_normalize(cwd, path);
    if (!p.starts_with(kProcSelf)) return p;
    const std::string_view rest = std::string_view(p).substr(kProcSelf.size());
    if (rest.starts_with('/') || (rest.empty() && follow))
        return fmt::format("/proc/{}{}", m.states.active_pid(), rest);
    return p;
}

std::optional<Result<PseudoContent, VfsError>> PseudoFs::render(const Machine& m, std::string_view cwd,
                                                                std::string_view path, bool follow) {
    const std::string p = parse_proc_path(m, cwd, path, follow);
    if (!is_pseudo_root(p)) return std::nullopt;

    if (p == "/dev") return PseudoContent::listing({"null", "random", "stderr", "stdin", "stdout", "urandom", "zero"});
    if (p == "/dev/null") return PseudoContent::file({});
    if (p == "/dev/random" || p == "/dev/urandom" || p == "/dev/zero") return PseudoContent::device();
    if (p == "/dev/stdin") return PseudoContent::link("/proc/self/fd/0");
    if (p == "/dev/stdout") return PseudoContent::link("/proc/self/fd/1");
    if (p == "/dev/stderr") return PseudoContent::link("/proc/self/fd/2");
    if (p == kProcSelf) return PseudoContent::link(fmt::format("{}", m.states.active_pid()));
    if (p == "/proc") {
        std::vector<std::string> names{"cpuinfo", "meminfo", "mounts", "self", "uptime", "version"};
        for (const auto& [pid, _] : m.processes.records()) names.push_back(fmt::format("{}", pid));
        return PseudoContent::listing(std::move(names));
    }
    if (p == "/proc/uptime") {
        const double seconds = static_cast<double>(m.clock.now_ns()) / 1'000'000'000.0;
        return PseudoContent::file(fmt::format("{:.2f} {:.2f}\n", seconds, seconds));
    }
    if (p == "/proc/meminfo") {
        const std::uint64_t limit = m.meter.limits().memory;
        const std::uint64_t total = limit / 1024;
        const std::uint64_t free = sat_sub(limit, m.meter.memory_current()) / 1024;
        return PseudoContent::file(fmt::format("MemTotal:       {} kB\nMemFree:        {} kB\nMemAvailable:   {} kB\n"
                                               "SwapTotal:      0 kB\nSwapFree:       0 kB\n",
                                               total, free, free));
    }
    if (p == "/proc/cpuinfo") return PseudoContent::file("processor\t: 0\nmodel name\t: tarnwick virtual CPU\n");
    if (p == "/proc/version") return PseudoContent::file("Linux version 6.12.0-tarnwick (deterministic simulator)\n");
    if (p == "/proc/mounts")
        return PseudoContent::file("tarnwick / rootfs rw 0 0\nproc /proc proc ro 0 0\ndev /dev devtmpfs ro 0 0\n");
    if (p.starts_with("/proc/")) return render_process(m, p);
    return std::nullopt;
}

std::uint64_t PseudoFs::inode_of(std::string_view parsed) {
    for (const auto& named : kNamedInodes)
        if (named.path == parsed) return named.inode;
    if (!parsed.starts_with("/proc/")) return 0;
    const auto [pid_text, entry] = split_process_path(parsed);
    const auto pid = parse_number<Pid>(pid_text);
    if (!pid) return 0;
    const std::uint64_t high = std::uint64_t{*pid} << 32;
    if (entry.empty()) return high + 1;
    if (entry == "cwd") return high + 2;
    if (entry == "cmdline") return high + 3;
    if (entry == "environ") return high + 4;
    if (entry == "fd") return high + 5;
    if (entry == "status") return high + 6;
    if (entry.starts_with("fd/"))
        if (const auto fd = parse_number<std::int32_t>(entry.substr(3)))
            return high + kFdInodeBase + static_cast<std::uint64_t>(static_cast<std::int64_t>(*fd));
    return 0;
}

std::optional<Result<VfsNode, VfsError>> PseudoFs::lookup(const Machine& m, std::string_view cwd,
                                                          std::string_view path, bool follow) {
    auto content = render(m, cwd, path, follow);
    if (!content) return std::nullopt;
    if (!*content) return std::unexpected(std::move(content->error()));
    const std::uint64_t inode = inode_of(parse_proc_path(m, cwd, path, follow));
    const std::uint64_t now = m.clock.wall_time_ms();
    PseudoContent& c = **content;
    switch (c.kind) {
    case PseudoContent::Kind::Bytes: return VfsNode::file(std::move(c.bytes), kFileMode, inode, now);
    case PseudoContent::Kind::Device: return VfsNode::file({}, kDeviceMode, inode, now);
    case PseudoContent::Kind::Listing: return VfsNode::directory(kDirMode, inode, now);
    case PseudoContent::Kind::Link: return VfsNode::symlink(std::move(c.target), kLinkMode, inode, now);
    }
    return std::nullopt;
}

}  // namespace tw
