#include "module/host_git.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "base/utf8.h"
#include "commands/util/text.h"

namespace tw {
namespace {

constexpr std::size_t kReaderBuffer = 8192;
constexpr std::size_t kPipeChunk = 65536;

// Arguments placed before every command: replacement refs are ignored, and neither hooks nor a
// file-system monitor may run a program of the repository's choosing.
constexpr const char* kLeadingArgs[] = {"--no-replace-objects", "-c", "core.hooksPath=/dev/null",
                                        "-c", "core.fsmonitor=false"};

// The child's whole environment: nothing of the host process's is passed on.
constexpr const char* kChildEnvironment[] = {
    "PATH=/usr/local/bin:/usr/bin:/bin",
    "LC_ALL=C",
    "GIT_CONFIG_NOSYSTEM=1",
    "GIT_CONFIG_GLOBAL=/dev/null",
    "GIT_ATTR_NOSYSTEM=1",
    "GIT_NO_LAZY_FETCH=1",
    "GIT_OPTIONAL_LOCKS=0",
    "GIT_TERMINAL_PROMPT=0",
    "GIT_PAGER=cat",
    "PAGER=cat",
};

std::int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<std::int64_t> g_time_limit_ms{kHostGitTimeLimitMs};

std::int64_t deadline_from_now() { return now_ms() + g_time_limit_ms.load(); }

int poll_timeout(std::int64_t deadline_ms) {
    const std::int64_t left = deadline_ms - now_ms();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, 1 << 30));
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Starts git in `root`: standard input from `in_fd` (or /dev/null), output to `out_fd`, errors to
// `err_fd` (or /dev/null); nothing else of ours stays open in the child. The pid, or an errno.
Result<pid_t, int> spawn_git(std::string_view root, const HostGitArgs& args, int in_fd, int out_fd, int err_fd) {
    std::vector<std::string> argv_text = {"git"};
    for (const char* a : kLeadingArgs) argv_text.emplace_back(a);
    for (const std::string& a : args) argv_text.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const char* e : kChildEnvironment) envp.push_back(const_cast<char*>(e));
    envp.push_back(nullptr);
    const std::string directory(root);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
    else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // The host process may ignore or block signals (SIGPIPE above all); the child starts clean.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "git", &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return std::unexpected(rc);
    return pid;
}

std::string exit_status_text(int status) {
    if (WIFEXITED(status)) return fmt::format("exit status: {}", WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        std::string text = fmt::format("signal: {}", sig);
        if (const char* name = sigabbrev_np(sig)) text += fmt::format(" (SIG{})", name);
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return fmt::format("wait status: {}", status);
}

std::string_view trim_ascii(std::string_view s) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::int64_t set_host_git_time_limit_ms(std::int64_t ms) { return g_time_limit_ms.exchange(ms); }

std::string host_error_text(int error) { return fmt::format("{} (os error {})", std::strerror(error), error); }

Result<std::string, int> host_real_path(std::string_view path) {
    const std::string text(path);
    char* resolved = ::realpath(text.c_str(), nullptr);
    if (resolved == nullptr) return std::unexpected(errno);
    std::string result(resolved);
    ::free(resolved);
    return result;
}

std::string git_host_argument_text(const HostGitArgs& args) {
    std::string text;
    for (const std::string& a : args) {
        if (!text.empty()) text.push_back(' ');
        text += a;
    }
    return text;
}

bool HostGitCapture::success() const { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0; }

Result<HostGitCapture, std::string> git_host_run(std::string_view root, const HostGitArgs& args) {
    auto failure = [&](int error) {
        return std::unexpected(fmt::format("cannot run host git {}: {}", git_host_argument_text(args), host_error_text(error)));
    };
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return failure(errno);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(out[0]);
        ::close(out[1]);
        return failure(e);
    }
    auto pid = spawn_git(root, args, -1, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    if (!pid) {
        ::close(out[0]);
        ::close(err[0]);
        return failure(pid.error());
    }

    // Both streams are drained together so that neither can fill up and stall the child.
    HostGitCapture capture;
    int fds[2] = {out[0], err[0]};
    const std::int64_t deadline = deadline_from_now();
    std::string chunk(kPipeChunk, '\0');
    int read_error = 0;
    bool timed_out = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        const int ready = ::poll(p, 2, poll_timeout(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            read_error = errno;
            break;
        }
        if (ready == 0) {
            timed_out = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || p[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i], chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0) read_error = errno;
                close_fd(fds[i]);
                continue;
            }
            Bytes& into = i == 0 ? capture.out : capture.err;
            const std::size_t keep = i == 0 ? kHostGitOutputLimit + 1 : kHostGitStderrQuoted;
            const std::size_t room = keep - std::min(keep, into.size());
            into.append(chunk.data(), std::min(room, static_cast<std::size_t>(n)));
        }
        if (read_error != 0) break;
    }
    close_fd(fds[0]);
    close_fd(fds[1]);
    if (timed_out || read_error != 0) ::kill(*pid, SIGKILL);
    int status = 0;
    pid_t waited = -1;
    while ((waited = ::waitpid(*pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (timed_out)
        return std::unexpected(fmt::format("host git {} exceeded the {}-millisecond time limit",
                                           git_host_argument_text(args), g_time_limit_ms.load()));
    if (read_error != 0) return failure(read_error);
    if (waited < 0) return failure(errno);
    capture.wait_status = status;
    return capture;
}

std::string git_host_failure_text(const HostGitArgs& args, const HostGitCapture& capture) {
    const std::string err = utf8_lossy(std::string_view(capture.err).substr(0, kHostGitStderrQuoted));
    const std::string_view trimmed = trim_ascii(err);
    if (!trimmed.empty()) return fmt::format("host git {} failed: {}", git_host_argument_text(args), trimmed);
    return fmt::format("host git {} exited with status {}", git_host_argument_text(args),
                       exit_status_text(capture.wait_status));
}

Result<std::string, std::string> git_host_checked_output(const HostGitArgs& args, Bytes out) {
    if (out.size() > kHostGitOutputLimit)
        return std::unexpected(fmt::format("git {} output exceeds the {}-byte spike limit", git_host_argument_text(args),
                                           kHostGitOutputLimit));
    if (!utf8_valid(out)) return std::unexpected(fmt::format("git {} returned non-UTF-8 output", git_host_argument_text(args)));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return std::string(std::move(out));
}

Result<std::string, std::string> git_host_output(std::string_view root, const HostGitArgs& args) {
    auto capture = git_host_run(root, args);
    if (!capture) return std::unexpected(std::move(capture.error()));
    if (!capture->success()) return std::unexpected(git_host_failure_text(args, *capture));
    return git_host_checked_output(args, std::move(capture->out));
}

Result<std::string, std::string> parse_sha1_hex(std::string_view text, std::string_view label) {
    if (text.size() == 40 && std::all_of(text.begin(), text.end(), is_hex_digit)) return std::string(text);
    return std::unexpected(fmt::format("invalid SHA-1 for {}: {}", label, debug_quote(text)));
}

// ---- the object reader ----

Result<GitObjectReader, std::string> GitObjectReader::start(std::string_view root) {
    auto failure = [](int error) {
        return std::unexpected(fmt::format("cannot start host Git object reader: {}", host_error_text(error)));
    };
    int requests[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requests) != 0) return failure(errno);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(requests[0]);
        ::close(requests[1]);
        return failure(e);
    }
    // The child only reads its end; shutting the other direction makes that plain.
    ::shutdown(requests[1], SHUT_WR);
    auto pid = spawn_git(root, {"cat-file", "--batch"}, requests[1], out[1], -1);
    ::close(requests[1]);
    ::close(out[1]);
    if (!pid) {
        ::close(requests[0]);
        ::close(out[0]);
        return failure(pid.error());
    }
    GitObjectReader reader;
    reader.pid_ = *pid;
    reader.input_ = requests[0];
    reader.output_ = out[0];
    return reader;
}

GitObjectReader::GitObjectReader(GitObjectReader&& other) noexcept { *this = std::move(other); }

GitObjectReader& GitObjectReader::operator=(GitObjectReader&& other) noexcept {
    if (this == &other) return *this;
    close();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::exchange(other.input_, -1);
    output_ = std::exchange(other.output_, -1);
    buffer_ = std::move(other.buffer_);
    start_ = std::exchange(other.start_, 0);
    return *this;
}

void GitObjectReader::close() {
    close_fd(input_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_);
    }
    pid_ = -1;
    close_fd(output_);
    buffer_.clear();
    start_ = 0;
}

long GitObjectReader::fill(std::int64_t deadline_ms) {
    buffer_.erase(0, start_);
    start_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kReaderBuffer);
    long n = -1;
    while (true) {
        pollfd p{output_, POLLIN, 0};
        const int ready = ::poll(&p, 1, poll_timeout(deadline_ms));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) errno = ETIMEDOUT;
        if (ready <= 0) break;
        n = ::read(output_, buffer_.data() + had, kReaderBuffer);
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    buffer_.resize(had + static_cast<std::size_t>(std::max(n, 0L)));
    if (n == 0) errno = 0;
    return n;
}

bool GitObjectReader::read_exact(Bytes& into, std::size_t n, std::int64_t deadline_ms) {
    while (into.size() < n) {
        if (start_ == buffer_.size()) {
            if (fill(deadline_ms) <= 0) return false;
        }
        const std::size_t take = std::min(n - into.size(), buffer_.size() - start_);
        into.append(buffer_, start_, take);
        start_ += take;
    }
    return true;
}

Result<Bytes, std::string> GitObjectReader::read_object(std::string_view id_text, std::string_view type) {
    auto id = parse_sha1_hex(id_text, "object request");
    if (!id) return std::unexpected(std::move(id.error()));
    if (input_ < 0) return std::unexpected(std::string("host Git object reader is closed"));
    // Once a request has gone out, a failure leaves the stream at an unknown place: the reader is
    // closed, so that a later request cannot take the rest of this answer for its own.
    auto content = exchange(*id, type);
    if (!content) close();
    return content;
}

Result<Bytes, std::string> GitObjectReader::exchange(const std::string& id_text, std::string_view type) {
    const std::string* id = &id_text;
    const std::int64_t deadline = deadline_from_now();
    auto stream_error = [&](std::string_view what, int error) {
        if (error == ETIMEDOUT)
            return fmt::format("host Git object reader exceeded the {}-millisecond time limit", g_time_limit_ms.load());
        if (error == 0) return fmt::format("{} {}: unexpected end of stream", what, *id);
        return fmt::format("{} {}: {}", what, *id, host_error_text(error));
    };

    const std::string request = *id + "\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(input_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(fmt::format("cannot request Git object {}: {}", *id, host_error_text(errno)));
        sent += static_cast<std::size_t>(n);
    }

    // The header line, newline included, at most 512 bytes.
    std::string header;
    while (header.empty() || header.back() != '\n') {
        if (start_ == buffer_.size()) {
            errno = 0;
            const long n = fill(deadline);
            if (n < 0) return std::unexpected(stream_error("cannot read Git object header for", errno));
            if (n == 0) break;
        }
        const std::size_t nl = buffer_.find('\n', start_);
        const std::size_t end = nl == std::string::npos ? buffer_.size() : nl + 1;
        header.append(buffer_, start_, end - start_);
        start_ = end;
        if (header.size() > kHostGitHeaderLimit)
            return std::unexpected(fmt::format("Git object header for {} is too large", *id));
    }
    if (!utf8_valid(header)) return std::unexpected(fmt::format("Git object header for {} is not UTF-8", *id));
    while (!header.empty() && header.back() == '\n') header.pop_back();
    std::vector<std::string_view> words;
    for (std::string_view rest = header; !rest.empty();) {
        const std::size_t first = rest.find_first_not_of(" \t\n\r\f\v");
        if (first == std::string_view::npos) break;
        rest.remove_prefix(first);
        const std::size_t end = std::min(rest.size(), rest.find_first_of(" \t\n\r\f\v"));
        words.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    if (words.size() == 2 && words[1] == "missing") return std::unexpected(fmt::format("Git object {} is missing", *id));
    if (words.size() != 3) return std::unexpected(fmt::format("invalid Git object header for {}: {}", *id, header));
    if (words[0] != *id || words[1] != type)
        return std::unexpected(
            fmt::format("Git object {} resolved as {} {}, expected {}", *id, words[0], words[1], type));
    std::uint64_t size = 0;
    const std::string_view size_text = words[2];
    auto [ptr, ec] = std::from_chars(size_text.data(), size_text.data() + size_text.size(), size);
    if (ec != std::errc{} || ptr != size_text.data() + size_text.size() || size_text.front() == '+')
        return std::unexpected(fmt::format("Git object {} has an invalid size", *id));
    if (size > kHostGitObjectLimit)
        return std::unexpected(fmt::format("Git object {} exceeds the {}-byte spike limit", *id, kHostGitObjectLimit));

    Bytes content;
    content.reserve(size);
    errno = 0;
    if (!read_exact(content, size, deadline)) return std::unexpected(stream_error("cannot read Git object", errno));
    Bytes terminator;
    errno = 0;
    if (!read_exact(terminator, 1, deadline)) return std::unexpected(stream_error("cannot finish Git object", errno));
    if (terminator != "\n") return std::unexpected(fmt::format("Git object {} has no record terminator", *id));
    return content;
}

Result<Bytes, std::string> git_host_read_object(GitObjectReader& reader, std::string_view id, std::string_view type) {
    return reader.read_object(id, type);
}

}  // namespace tw
