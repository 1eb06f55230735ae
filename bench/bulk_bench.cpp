// tarnwick-bulk-bench: bulk data through the machine's byte paths, side by side with the host's
// own tools on the same bytes.
//
//   tarnwick-bulk-bench [--mib 16,64,256] [--only NAME,...] [--mode file|pipe] [--reps N] [--no-host]
//
// Sizes come from --mib, else from TW_BULK_MIB, else 16. Every workload runs in a forked child
// (a fresh machine with the data written into /tmp/in first), once with the file as operand or
// redirection ("file") and once through a pipe from cat ("pipe"); the host runs the same command
// line under /bin/sh with LC_ALL=C on a host copy of the same bytes. Times are the best of the
// repetitions; the table shows the ratio machine/host, milliseconds per MiB (to judge growth
// with the data), the machine's host peak RSS above what it held before the action (the data
// itself already lives in the machine's filesystem) and the host tool's peak RSS. Nothing is
// asserted: this is a measuring tool.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "corpus_random.h"

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Workload {
    std::string_view name;
    std::string_view command;  // "IN" stands for the input: a file operand; dropped after a pipe
    bool redirect = false;     // the file mode reads "< /tmp/in" instead of an operand
    bool no_input = false;     // the command makes its own data ("SIZE" is the byte count)
    std::string_view serial;   // non-empty: a second host run with this command, on one thread
};

constexpr Workload kWorkloads[] = {
    {"zero", "head -c SIZE /dev/zero | wc -c", false, true},
    {"grep", "grep -c foo IN", false, false},
    {"grep-E", "grep -cE 'fo[a-z]+ ba[rz]' IN", false, false},
    {"wc-l", "wc -l IN", false, false},
    {"tr", "tr a-z A-Z IN > /dev/null", true, false},
    {"sort", "sort IN > /dev/null", false, false, "sort --parallel=1 IN > /dev/null"},
    {"uniq-c", "uniq -c IN > /dev/null", false, false},
    {"cut", "cut -d, -f2 IN > /dev/null", false, false},
    {"md5sum", "md5sum IN", false, false},
    {"sha256sum", "sha256sum IN", false, false},
};

// Lines of comma-separated words, some in capitals, about one line in sixty holding "foo" and
// some holding words of the "fo... ba." form; a few lines repeat so that uniq has runs to count.
std::string make_data(std::uint64_t bytes) {
    static constexpr const char* kWords[] = {
        "alpha", "Bravo", "charlie", "delta", "echo", "foxtrot", "golf", "Hotel", "india", "juliet",
        "kilo", "lima", "mike", "november", "oscar", "papa", "quebec", "romeo", "sierra", "tango",
        "uniform", "victor", "whiskey", "xray", "yankee", "zulu", "the", "a", "of", "and", "12", "2026",
        "forma", "bar", "fooz", "baz", "foo", "straße"};
    tw::bench::CorpusRandom random;
    std::string text;
    text.reserve(bytes + 256);
    std::string line;
    while (text.size() < bytes) {
        if (!line.empty() && random.next() % 8 == 0) {
            text += line;
            continue;
        }
        line.clear();
        const int words = 3 + static_cast<int>(random.next() % 9);
        for (int w = 0; w < words; ++w) {
            if (w > 0) line += (random.next() % 3 == 0) ? ' ' : ',';
            line += kWords[random.next() % std::size(kWords)];
        }
        line += '\n';
        text += line;
    }
    text.resize(bytes);
    if (!text.empty()) text.back() = '\n';
    return text;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The command line for one mode, reading `path`.
std::string command_line(std::string_view command, const Workload& w, bool pipe, std::string_view path,
                         std::uint64_t bytes) {
    std::string cmd(command);
    if (w.no_input) return replace_all(cmd, "SIZE", std::to_string(bytes));
    if (pipe) return fmt::format("cat {} | {}", path, replace_all(cmd, " IN", ""));
    return replace_all(cmd, " IN", fmt::format("{}{}", w.redirect ? " < " : " ", path));
}

std::uint64_t status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field)) return std::strtoull(line.c_str() + std::string_view(field).size(), nullptr, 10);
    return 0;
}

// Resets the peak RSS of this process to its current RSS.
void reset_peak_rss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

struct Measure {
    double seconds = 0;
    double rss_mib = 0;    // machine: peak above the baseline; host: the tool's peak
    std::string output;    // the first word of standard output
    std::string problem;   // non-empty when the run failed
    std::uint64_t cpu = 0; // machine: CPU units charged
};

std::string first_word(std::string_view out) {
    const std::size_t end = out.find_first_of(" \t\n");
    std::string word(out.substr(0, end == std::string_view::npos ? out.size() : end));
    return word.empty() ? "-" : word;
}

// Runs in a child: a fresh machine, the data in /tmp/in, `reps` timed actions. Writes one line
// "SECONDS RSS_MIB CPU WORD|PROBLEM" to `fd`.
[[noreturn]] void machine_child(int fd, const std::string& source, std::uint64_t bytes, bool needs_data, int reps) {
    const tw::MachineLimits limits{.cpu = 1'000'000'000'000'000ULL,
                                   .memory = 64ULL << 30,
                                   .disk = 64ULL << 30,
                                   .output = 64ULL << 30};  // every rep of a pipe workload counts
    tw::Machine machine = tw::Machine::build(limits);
    if (needs_data && !machine.vfs.write_file("/tmp/in", make_data(bytes), 0644)) std::_Exit(3);
    reset_peak_rss();
    const std::uint64_t base_kib = status_kib("VmRSS:");
    Measure m;
    m.seconds = 1e30;
    const std::uint64_t cpu_before = machine.run_action("true", "").outcome.usage.cpu_used;
    for (int r = 0; r < reps; ++r) {
        const auto start = Clock::now();
        tw::ActionResult result = machine.run_action(source, "");
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        m.seconds = std::min(m.seconds, s);
        if (r == 0) m.cpu = result.outcome.usage.cpu_used - cpu_before;
        if (result.outcome.exit_status != 0 || !result.err.empty())
            m.problem = fmt::format("status {} {:?}", result.outcome.exit_status, result.err.substr(0, 80));
        m.output = first_word(result.out);
    }
    const std::uint64_t peak_kib = status_kib("VmHWM:");
    m.rss_mib = static_cast<double>(peak_kib > base_kib ? peak_kib - base_kib : 0) / 1024.0;
    const std::string line = fmt::format("{} {} {} {}\n", m.seconds, m.rss_mib, m.cpu,
                                         m.problem.empty() ? m.output : "!" + replace_all(m.problem, " ", "_"));
    if (::write(fd, line.data(), line.size()) < 0) std::_Exit(4);
    std::_Exit(0);
}

// In the parent after a fork: closes the pipe's write end, reads the read end to its end and
// closes it.
std::string read_and_close(const int fds[2]) {
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    return text;
}

Measure run_in_machine(const std::string& source, std::uint64_t bytes, bool needs_data, int reps) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        machine_child(fds[1], source, bytes, needs_data, reps);
    }
    const std::string text = read_and_close(fds);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Measure m;
    std::istringstream in(text);
    std::string word;
    if (!(in >> m.seconds >> m.rss_mib >> m.cpu >> word)) {
        m.problem = fmt::format("child failed (wait status {})", status);
        return m;
    }
    if (word.starts_with('!')) m.problem = word.substr(1);
    else m.output = word;
    return m;
}

// One run of `command` under /bin/sh: its time, peak RSS and first word of output.
Measure run_on_host_once(const std::string& command) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        ::setenv("LC_ALL", "C", 1);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    const std::string out = read_and_close(fds);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m.rss_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    m.output = first_word(out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) m.problem = fmt::format("wait status {}", status);
    return m;
}

Measure run_on_host(const std::string& command, int reps) {
    Measure best;
    best.seconds = 1e30;
    for (int r = 0; r < reps; ++r) {
        Measure m = run_on_host_once(command);
        if (m.seconds < best.seconds) {
            const double rss = std::max(best.rss_mib, m.rss_mib);
            best = m;
            best.rss_mib = rss;
        }
    }
    return best;
}

std::vector<std::string> split_list(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        items.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sizes_text = std::getenv("TW_BULK_MIB") ? std::getenv("TW_BULK_MIB") : "16";
    std::vector<std::string> only;
    int reps = 3;
    bool host = true;
    std::string mode;  // empty: both
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) sizes_text = argv[++i];
        else if (arg == "--only" && i + 1 < argc) only = split_list(argv[++i]);
        else if (arg == "--reps" && i + 1 < argc) reps = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--mode" && i + 1 < argc) mode = argv[++i];
        else if (arg == "--no-host") host = false;
        else {
            fmt::print(stderr, "usage: tarnwick-bulk-bench [--mib 16,64,256] [--only NAME,...] [--mode file|pipe] [--reps N] [--no-host]\n");
            return 2;
        }
    }
    const std::string host_path = fmt::format("/tmp/tw-bulk-bench-{}.txt", ::getpid());

    // "ratio1" compares with the host tool held to one thread, where it would use more.
    fmt::print("{:<10} {:<5} {:>5} {:>9} {:>9} {:>6} {:>6} {:>8} {:>9} {:>9} {:>9}  {}\n", "workload", "mode", "MiB",
               "machine", "host", "ratio", "ratio1", "ms/MiB", "m.rss+MiB", "h.rss MiB", "units/B", "check");
    for (const std::string& size_text : split_list(sizes_text)) {
        const std::uint64_t mib = std::strtoull(size_text.c_str(), nullptr, 10);
        const std::uint64_t bytes = mib << 20;
        if (host) {
            std::ofstream file(host_path, std::ios::binary | std::ios::trunc);
            const std::string data = make_data(bytes);
            file.write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        for (const Workload& w : kWorkloads) {
            if (!only.empty() && std::find(only.begin(), only.end(), w.name) == only.end()) continue;
            for (const bool pipe : {false, true}) {
                if (w.no_input && pipe) continue;
                if (!mode.empty() && !w.no_input && mode != (pipe ? "pipe" : "file")) continue;
                const Measure m =
                    run_in_machine(command_line(w.command, w, pipe, "/tmp/in", bytes), bytes, !w.no_input, reps);
                std::optional<Measure> h;
                std::optional<Measure> serial;
                if (host) {
                    const std::string line = command_line(w.command, w, pipe, host_path, bytes);
                    run_on_host_once(line);  // warms the page cache
                    h = run_on_host(line, reps);
                    if (!w.serial.empty()) serial = run_on_host(command_line(w.serial, w, pipe, host_path, bytes), reps);
                }
                std::string check = m.problem.empty() ? "" : "machine: " + m.problem;
                if (h && !h->problem.empty()) check += " host: " + h->problem;
                if (check.empty() && h && m.output != h->output) check = fmt::format("differs: {} vs {}", m.output, h->output);
                if (check.empty()) check = "ok";
                const std::string ratio1 = serial ? fmt::format("{:.2f}", m.seconds / serial->seconds) : "-";
                fmt::print("{:<10} {:<5} {:>5} {:>8.3f}s {:>8.3f}s {:>6.2f} {:>6} {:>8.2f} {:>9.1f} {:>9.1f} {:>9.2f}  {}\n",
                           w.name, w.no_input ? "-" : pipe ? "pipe" : "file", mib, m.seconds,
                           h ? h->seconds : 0.0, h ? m.seconds / h->seconds : 0.0, ratio1,
                           1000.0 * m.seconds / static_cast<double>(mib), m.rss_mib, h ? h->rss_mib : 0.0,
                           static_cast<double>(m.cpu) / static_cast<double>(bytes), check);
                std::fflush(stdout);
            }
        }
    }
    if (host) ::unlink(host_path.c_str());
    return 0;
}
